#include "eep_text.h"

#include <algorithm>
#include <cstring>
#include <limits>

namespace eep {

Pieces::Pieces(std::string_view content) {
    // Library searches (memchr) rather than byte loops: the loader also runs
    // under the fuzzer, where every byte comparison is traced.
    size_t from = 0;
    for (size_t cr; (cr = content.find("\r\n", from)) != std::string_view::npos; from = cr + 1)
        text_.append(content.substr(from, cr - from));
    text_.append(content.substr(from));

    const char* base = text_.data();
    for (size_t pos = 0; pos < text_.size();) {
        const size_t room = std::min(text_.size() - pos, kPieceChars);
        const void* nl = std::memchr(base + pos, '\n', room);
        const size_t len = nl ? static_cast<size_t>(static_cast<const char*>(nl) - (base + pos)) + 1 : room;
        spans_.push_back(Span{pos, len});
        pos += len;
    }
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

int hexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}
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
    size_t k = 0;
    while (k < text.size() && (text[k] == ' ' || text[k] == '\t')) ++k;
    if (k == text.size() || hexDigit(text[k]) < 0) return std::nullopt;
    unsigned value = 0;
    for (; k < text.size() && hexDigit(text[k]) >= 0; ++k)
        value = ((value << 4) | static_cast<unsigned>(hexDigit(text[k]))) & 0xFFFFu;
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
