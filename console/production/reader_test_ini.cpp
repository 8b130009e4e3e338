#include "reader_test_ini.h"

#include <cstdio>
#include <cstring>
#include <memory>

namespace production {

namespace {

// Lines are read into a 255-byte buffer: at most 254 characters at a time.
constexpr int kLineBuffer = 255;

struct FileCloser {
    void operator()(std::FILE* f) const { std::fclose(f); }
};

}  // namespace

uint32_t parseUnsigned(const std::string& text)
{
    size_t i = 0;
    while (i < text.size() && (text[i] == ' ' || text[i] == '\t'))
        ++i;
    uint64_t v = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        v = v * 10 + uint64_t(text[i] - '0');
        if (v > UINT32_MAX)
            return UINT32_MAX;
    }
    return uint32_t(v);
}

ReaderTestIni readReaderTestIni(const std::string& path)
{
    ReaderTestIni r;
    std::unique_ptr<std::FILE, FileCloser> f(std::fopen(path.c_str(), "rb"));
    if (!f)
        return r;  // no file: silently the default

    char line[kLineBuffer];
    for (;;) {
        if (!std::fgets(line, sizeof line, f.get())) {
            r.message = "Error to read ini file";
            return r;
        }
        if (std::strncmp(line, "[TEST_TIMES]", 12) == 0)
            break;
    }
    if (std::feof(f.get())) {
        // The header is the last line and has no line end.
        r.message = "Can't find the TestTimes in ini file.";
        r.ok = true;
        return r;
    }
    if (!std::fgets(line, sizeof line, f.get())) {
        r.message = "Error to read ini file.";
        return r;
    }
    const uint32_t n = parseUnsigned(line);
    r.testTimes = n == 0 ? kDefaultTestTimes : n;
    r.ok = true;
    return r;
}

}  // namespace production
