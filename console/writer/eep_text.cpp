#include "eep_text.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <limits>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace eep {

LineReader::LineReader(std::string_view content)
    : memory_(content), data_(content.data()), len_(content.size()) {}

LineReader::LineReader(int fd, uint64_t limit) : fd_(fd), limit_(limit), buf_(new char[kReadBuffer]) {}

void LineReader::rewind() {
    pos_ = 0;
    consumed_ = 0;
    failed_ = false;
    if (fd_ >= 0) {
        offset_ = 0;
        len_ = 0;
    }
}

bool LineReader::fill() {
    if (fd_ < 0 || failed_ || offset_ >= limit_) return false;
    const size_t want = static_cast<size_t>(std::min<uint64_t>(kReadBuffer, limit_ - offset_));
    ssize_t n;
    do {
        n = ::pread(fd_, buf_.get(), want, static_cast<off_t>(offset_));
    } while (n < 0 && errno == EINTR);
    if (n < 0) failed_ = true;
    if (n <= 0) return false;   // an error, or the file got shorter
    data_ = buf_.get();
    pos_ = 0;
    len_ = static_cast<size_t>(n);
    offset_ += len_;
    return true;
}

int LineReader::peekByte() {
    if (pos_ == len_ && !fill()) return -1;
    return static_cast<unsigned char>(data_[pos_]);
}

bool LineReader::next(std::string_view& piece) {
    // Library searches (memchr) rather than byte loops: the loader also runs
    // under the fuzzer, where every byte comparison is traced.
    if (pos_ == len_ && !fill()) return false;
    {   // The whole piece in the buffer and no CR in it: handed out in place.
        const char* from = data_ + pos_;
        const size_t room = std::min(len_ - pos_, kPieceChars);
        const void* nl = std::memchr(from, '\n', room);
        const size_t take = nl ? static_cast<size_t>(static_cast<const char*>(nl) - from) + 1 : room;
        const bool whole = nl || room == kPieceChars || (fd_ < 0 || offset_ >= limit_);
        if (whole && !std::memchr(from, '\r', take)) {
            pos_ += take;
            consumed_ += take;
            piece = std::string_view(from, take);
            return true;
        }
    }
    size_t n = 0;
    while (n < kPieceChars) {
        if (pos_ == len_ && !fill()) break;
        const char* from = data_ + pos_;
        size_t take = std::min(len_ - pos_, kPieceChars - n);
        const void* nl = std::memchr(from, '\n', take);
        if (nl) take = static_cast<size_t>(static_cast<const char*>(nl) - from) + 1;
        const void* cr = std::memchr(from, '\r', take);
        if (cr) take = static_cast<size_t>(static_cast<const char*>(cr) - from);
        std::memcpy(piece_ + n, from, take);
        n += take;
        pos_ += take;
        consumed_ += take;
        if (cr) {
            ++pos_;
            ++consumed_;
            if (peekByte() == '\n') {   // CR LF reads as LF and ends the line
                ++pos_;
                ++consumed_;
                piece_[n++] = '\n';
                break;
            }
            piece_[n++] = '\r';   // a lone CR is a character of the line
            continue;
        }
        if (nl) break;
    }
    if (n == 0) return false;
    piece = std::string_view(piece_, n);
    return true;
}

InputFile::~InputFile() {
    if (fd_ >= 0) ::close(fd_);
}

bool InputFile::open(const std::string& path) {
    if (fd_ >= 0) ::close(fd_);
    size_ = 0;
    // Without blocking: opening a FIFO for reading would wait for a writer.
    fd_ = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd_ < 0) return false;
    struct stat st {};
    if (::fstat(fd_, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd_);
        fd_ = -1;
        return false;
    }
    size_ = static_cast<uint64_t>(st.st_size);
    return true;
}

std::string_view lineText(std::string_view piece) {
    if (!piece.empty() && piece.back() == '\n') piece.remove_suffix(1);
    if (const void* nul = std::memchr(piece.data(), '\0', piece.size()))
        piece = piece.substr(0, static_cast<size_t>(static_cast<const char*>(nul) - piece.data()));
    return piece;
}

namespace {
struct TagName { std::string_view name; Tag tag; };
constexpr TagName kTags[] = {
    {"[START]", Tag::Start},           {"[END]", Tag::End},
    {"[CheckSumIndex]", Tag::CheckSumIndex},
    {"[V-STR]", Tag::VendorStr},       {"[P-STR]", Tag::ProductStr},
    {"[S-STR]", Tag::SerialStr},       {"[I-STR]", Tag::InterfaceStr},
    {"[INQ-V]", Tag::InquiryVendor},   {"[INQ-P]", Tag::InquiryProduct},
    {"[Card-STR]", Tag::CardStr},
};

// Hexadecimal digit values by character, -1 for every other character: one
// look-up per character instead of three range tests.
constexpr std::array<int8_t, 256> kHexDigits = [] {
    std::array<int8_t, 256> t{};
    t.fill(-1);
    for (int c = '0'; c <= '9'; ++c) t[c] = static_cast<int8_t>(c - '0');
    for (int c = 'a'; c <= 'f'; ++c) t[c] = static_cast<int8_t>(c - 'a' + 10);
    for (int c = 'A'; c <= 'F'; ++c) t[c] = static_cast<int8_t>(c - 'A' + 10);
    return t;
}();

int hexDigit(char c) { return kHexDigits[static_cast<unsigned char>(c)]; }
}  // namespace

Tag tagOf(std::string_view text) {
    if (text.empty() || text[0] != '[') return Tag::None;
    for (const auto& t : kTags)
        if (text.size() >= t.name.size() && std::memcmp(text.data(), t.name.data(), t.name.size()) == 0)
            return t.tag;
    return Tag::None;
}

bool isStringTag(Tag t) {
    return t != Tag::None && t != Tag::Start && t != Tag::End && t != Tag::CheckSumIndex;
}

std::optional<uint16_t> leadingHex(std::string_view text) {
    size_t k = text.find_first_not_of(" \t");
    if (k == std::string_view::npos || hexDigit(text[k]) < 0) return std::nullopt;
    unsigned value = 0;
    for (int d; k < text.size() && (d = hexDigit(text[k])) >= 0; ++k)
        value = ((value << 4) | static_cast<unsigned>(d)) & 0xFFFFu;
    return static_cast<uint16_t>(value);
}

std::optional<QuotedRun> quotedRun(std::string_view text) {
    size_t open = std::string_view::npos;
    for (size_t k = 0; k < text.size(); ++k) {
        if (text[k] == '#') return std::nullopt;
        if (text[k] != '"') continue;
        if (open == std::string_view::npos) {
            open = k;
        } else {
            if (k == open + 1) return std::nullopt;
            return QuotedRun{open + 1, k - open - 1};
        }
    }
    return std::nullopt;
}

int64_t leadingDecimal(std::string_view text) {
    constexpr int64_t kMax = std::numeric_limits<int64_t>::max();
    int64_t v = 0;
    for (char c : text) {
        if (c < '0' || c > '9') break;
        const int d = c - '0';
        v = (v > (kMax - d) / 10) ? kMax : v * 10 + d;
    }
    return v;
}

std::string hex2(uint8_t b) {
    static const char digits[] = "0123456789ABCDEF";
    return {digits[b >> 4], digits[b & 0xF]};
}

}  // namespace eep
