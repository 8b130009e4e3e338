// The loader's line reading: pieces of the 255-byte buffer, CR LF, files
// read through a fixed buffer, and where reading stops.
#include <gtest/gtest.h>

#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

#include "eep_file.h"
#include "eep_test_files.h"
#include "tests/support/temp_dir.h"

using namespace eep;
using testsupport::TempDir;

namespace {

std::vector<std::string> piecesOf(LineReader& r) {
    std::vector<std::string> out;
    std::string_view piece;
    while (r.next(piece)) out.emplace_back(piece);
    return out;
}

// The pieces the loader must see: CR LF becomes LF, then the text is cut
// after every LF and after 254 characters.
std::vector<std::string> expectedPieces(const std::string& content) {
    std::string text;
    for (size_t k = 0; k < content.size(); ++k) {
        if (content[k] == '\r' && k + 1 < content.size() && content[k + 1] == '\n') continue;
        text.push_back(content[k]);
    }
    std::vector<std::string> out;
    std::string cur;
    for (char c : text) {
        cur.push_back(c);
        if (c == '\n' || cur.size() == kPieceChars) out.push_back(std::exchange(cur, {}));
    }
    if (!cur.empty()) out.push_back(cur);
    return out;
}

struct OpenFile {
    int fd = -1;
    explicit OpenFile(const std::string& path) : fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC)) {}
    ~OpenFile() {
        if (fd >= 0) ::close(fd);
    }
};

}  // namespace

TEST(EepLineReader, FileAndMemoryGiveThePiecesOfTheLoader) {
    const unsigned seed = std::random_device{}();
    std::printf("seed %u\n", seed);
    std::mt19937 rng(seed);
    TempDir dir;
    for (int round = 0; round < 20; ++round) {
        SCOPED_TRACE("seed " + std::to_string(seed) + " round " + std::to_string(round));
        // Lines of every length around the piece size, CR LF and lone CRs,
        // some of them just at the end of the file's read buffer.
        std::string content;
        const size_t size = LineReader::kReadBuffer + rng() % 4096;
        while (content.size() < size) {
            const size_t len = rng() % 3 ? rng() % 8 : kPieceChars - 2 + rng() % 4;
            content.append(len, char('a' + rng() % 26));
            const unsigned end = rng() % 4;
            content += end == 0 ? "\r\n" : end == 1 ? "\r" : "\n";
        }
        const size_t edge = LineReader::kReadBuffer - 1;
        content[edge] = '\r';
        content[edge + 1] = '\n';
        dir.write("f.eep", content);

        LineReader mem(content);
        const auto expected = expectedPieces(content);
        EXPECT_EQ(piecesOf(mem), expected);
        OpenFile f(dir.file("f.eep"));
        ASSERT_GE(f.fd, 0);
        LineReader file(f.fd, content.size());
        EXPECT_EQ(piecesOf(file), expected);
        EXPECT_FALSE(file.failed());
        EXPECT_EQ(file.consumed(), content.size());
        file.rewind();
        EXPECT_EQ(piecesOf(file), expected);

        // Bytes beyond the limit (a file that grew since it was opened) are not read.
        LineReader limited(f.fd, 300);
        EXPECT_EQ(piecesOf(limited), expectedPieces(content.substr(0, 300)));
    }
}

TEST(EepLineReader, BothPassesStopAtEnd) {
    TempDir dir;
    const std::string head = eep_test::readerFile();
    const size_t end = head.find("[END]\n") + 6;
    dir.write("f.eep", head + std::string(1 << 20, '\n') + "[START]\n");
    OpenFile f(dir.file("f.eep"));
    LineReader lines(f.fd, head.size() + (1 << 20) + 8);
    const ParseResult r = parseEep(lines, ParseRequest{});
    EXPECT_TRUE(r.loaded);
    EXPECT_EQ(lines.consumed(), end);   // not one line after "[END]"

    // A string tag that takes an "[END]" as its definition ends the
    // validation there, but the body goes on to the next "[END]": the one
    // reading serves both and stops at the later one.
    const std::string eaten = "[CheckSumIndex]\n0001\n[START]\n0000\n[S-STR]\n[END]\n0002\n[END]\n";
    const std::string withTail = eaten + "0003\n[START]\n";
    LineReader inMemory(withTail);
    const ParseResult e = parseEep(inMemory, ParseRequest{});
    EXPECT_TRUE(e.loaded);
    EXPECT_EQ(e.wordCount, 2);
    EXPECT_EQ(inMemory.consumed(), eaten.size());

    // A read that fails (a folder) is a read failure of the validation.
    OpenFile folder(dir.path());
    LineReader unreadable(folder.fd, 1000);
    EXPECT_EQ(parseEep(unreadable, ParseRequest{}).messages,
              (std::vector<Message>{{"Error to Read file", "Error", Icon::Error},
                                    {"Setup File with an invalid format", "Error", Icon::Error}}));
    EXPECT_TRUE(unreadable.failed());
}
