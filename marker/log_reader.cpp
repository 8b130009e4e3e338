#include "log_reader.h"

#include <algorithm>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace marker {

// ---- LineReader -------------------------------------------------------------

bool LineReader::fill() {
    if (inMemory_ || !file_ || remaining_ == 0) return false;
    len_ = std::fread(buf_.data(), 1, static_cast<size_t>(std::min<uint64_t>(buf_.size(), remaining_)), file_);
    remaining_ -= len_;
    pos_ = 0;
    return len_ > 0;
}

std::FILE* openLogFile(const std::string& path, uint64_t& size) {
    // Without blocking: opening a FIFO for reading would wait for a writer.
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) return nullptr;
    struct stat st {};
    std::FILE* f = nullptr;
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) f = ::fdopen(fd, "rb");
    if (!f) {
        ::close(fd);
        return nullptr;
    }
    size = static_cast<uint64_t>(st.st_size);
    return f;
}

int LineReader::peek() {
    if (inMemory_) return pos_ < mem_.size() ? static_cast<unsigned char>(mem_[pos_]) : -1;
    if (pos_ >= len_ && !fill()) return -1;
    return static_cast<unsigned char>(buf_[pos_]);
}

bool LineReader::next(std::string& s) {
    // Library searches (memchr) rather than byte loops: the reader also runs
    // under the fuzzer, where every byte comparison is traced.
    s.clear();
    bool any = false;
    while (s.size() < kMaxLinePiece) {
        const char* base;
        size_t avail;
        if (inMemory_) {
            base = mem_.data() + pos_;
            avail = mem_.size() - pos_;
        } else {
            if (pos_ >= len_ && !fill()) break;
            base = buf_.data() + pos_;
            avail = len_ - pos_;
        }
        if (avail == 0) break;
        any = true;
        size_t take = std::min(avail, kMaxLinePiece - s.size());
        const void* nl = std::memchr(base, '\n', take);
        if (nl) take = static_cast<size_t>(static_cast<const char*>(nl) - base) + 1;
        const void* cr = std::memchr(base, '\r', take);
        if (cr) take = static_cast<size_t>(static_cast<const char*>(cr) - base);
        s.append(base, take);
        pos_ += take;
        if (cr) {
            ++pos_;
            if (peek() == '\n') {   // CR LF reads as LF and ends the line
                ++pos_;
                s.push_back('\n');
                break;
            }
            s.push_back('\r');
            continue;
        }
        if (nl) break;
    }
    if (!any) return false;
    // The text ends at a NUL byte, as the string functions that read it see it.
    if (const void* nul = std::memchr(s.data(), '\0', s.size()))
        s.resize(static_cast<size_t>(static_cast<const char*>(nul) - s.data()));
    return true;
}

std::optional<std::string> LineReader::next() {
    std::string s;
    if (!next(s)) return std::nullopt;
    return s;
}

// ---- parsing ------------------------------------------------------------------

namespace {

constexpr std::string_view kStatusFail = "Block Status : Fail";
constexpr std::string_view kStatusAny = "Block Status :";

bool contains(std::string_view line, std::string_view what) { return line.find(what) != std::string_view::npos; }

bool isSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; }

// Reads the input the way a scanf format does: a blank in the format skips
// any run of white space, %d skips white space and takes an optional sign and
// at least one digit, any other character must match.
class FormatScanner {
public:
    explicit FormatScanner(std::string_view in) : in_(in) {}

    bool literal(std::string_view fmt) {
        for (char f : fmt) {
            if (f == ' ') {
                skipSpace();
            } else {
                if (p_ >= in_.size() || in_[p_] != f) return false;
                ++p_;
            }
        }
        return true;
    }

    // A non-negative decimal number no greater than max.
    std::optional<uint32_t> number(uint32_t max) {
        skipSpace();
        if (p_ < in_.size() && (in_[p_] == '+' || in_[p_] == '-')) {
            if (in_[p_] == '-') return std::nullopt;
            ++p_;
        }
        size_t start = p_;
        uint64_t v = 0;
        while (p_ < in_.size() && in_[p_] >= '0' && in_[p_] <= '9') {
            v = v * 10 + uint64_t(in_[p_] - '0');
            if (v > max) return std::nullopt;
            ++p_;
        }
        if (p_ == start) return std::nullopt;
        return static_cast<uint32_t>(v);
    }

private:
    void skipSpace() {
        while (p_ < in_.size() && isSpace(in_[p_])) ++p_;
    }
    std::string_view in_;
    size_t p_ = 0;
};

}  // namespace

bool isBlockLine(std::string_view line) { return contains(line, "Flash #") && contains(line, "Block #"); }

std::optional<BlockAddress> parseBlockLine(std::string_view line) {
    FormatScanner s(line);
    if (!s.literal("Flash #")) return std::nullopt;
    auto chip = s.number(255);
    if (!chip || !s.literal(", Block #")) return std::nullopt;
    auto block = s.number(UINT32_MAX);
    if (!block) return std::nullopt;
    return BlockAddress{static_cast<uint8_t>(*chip), *block};
}

// ---- ScanLogReader ----------------------------------------------------------------

bool ScanLogReader::nextLine(std::string& out) {
    if (pushedBack_) {
        pushedBack_ = false;
        out.swap(ahead_);
        return true;
    }
    return lines_.next(out);
}

std::optional<BadBlock> ScanLogReader::next() {
    while (nextLine(line_)) {
        if (!isBlockLine(line_)) continue;
        std::optional<BlockAddress> at = parseBlockLine(line_);
        if (!at) continue;
        // At most four lines: two spare-area lines, the status line and the
        // empty line behind it; fewer when the record ends earlier.
        for (int i = 0; i < 4; ++i) {
            if (!lines_.next(ahead_)) return std::nullopt;
            if (contains(ahead_, kStatusFail)) return BadBlock{at->chip, at->block, line_, ahead_};
            if (contains(ahead_, kStatusAny)) break;   // the record's own verdict: good
            if (isBlockLine(ahead_)) {                  // the next record begins
                pushedBack_ = true;
                break;
            }
        }
    }
    return std::nullopt;
}

}  // namespace marker
