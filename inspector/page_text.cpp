#include "inspector/page_text.h"

#include <algorithm>
#include <cstdio>

namespace inspector {

namespace {

int hexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

std::string withoutSpaces(std::string_view text) {
    std::string out(text.size(), '\0');
    char* to = out.data();
    size_t n = 0;
    for (char c : text) {
        to[n] = c;
        n += c != ' ';
    }
    out.resize(n);
    return out;
}

// Converts the digits into consecutive 4-byte slots of out, at most
// maxGroups groups of 8 characters.
ParseResult parseGroups(const std::string& digits, uint8_t* out, size_t maxGroups) {
    for (size_t g = 0; g < maxGroups && g * 8 < digits.size(); ++g) {
        const std::string_view group = std::string_view(digits).substr(g * 8, 8);
        if (!hexGroup(group, out + 4 * g)) return ParseResult::Bad;
    }
    return ParseResult::Ok;
}

}  // namespace

std::string hexText(const uint8_t* bytes, size_t n) {
    static const char digits[] = "0123456789abcdef";
    std::string s(3 * n, ' ');
    for (size_t i = 0; i < n; ++i) {
        s[3 * i] = digits[bytes[i] >> 4];
        s[3 * i + 1] = digits[bytes[i] & 0x0F];
    }
    return s;
}

std::string addressColumn(size_t pageSize, size_t firstRow) {
    const size_t rows = pageSize / 16;
    std::string s;
    if (firstRow >= rows) return s;
    s.reserve((rows - firstRow) * kLabelChars);
    char label[24];
    for (size_t r = firstRow; r < rows; ++r) {
        std::snprintf(label, sizeof label, "0x%04zxh", r * 16);
        s += label;
    }
    return s;
}

bool hexGroup(std::string_view digits, uint8_t out[4]) {
    if (digits.size() > 8) return false;
    uint32_t v = 0;
    for (char c : digits) {
        const int d = hexDigit(c);
        if (d < 0) return false;
        v = v << 4 | static_cast<uint32_t>(d);
    }
    const size_t bytes = (digits.size() + 1) / 2;
    uint8_t slot[4] = {0, 0, 0, 0};
    for (size_t i = 0; i < bytes; ++i) slot[i] = static_cast<uint8_t>(v >> (8 * (bytes - 1 - i)));
    std::copy(slot, slot + 4, out);
    return true;
}

ParseResult parseSpare(std::string_view text, uint8_t* out) {
    text = text.substr(0, std::min(text.size(), kSpareTextLimit));
    if (text.empty()) return ParseResult::Empty;
    std::string digits = withoutSpaces(text);
    if (digits.size() > 32) digits.resize(32);
    return parseGroups(digits, out, kShownSpareBytes / 4);
}

ParseResult parseData(std::string_view text, uint8_t* out, size_t n) {
    const size_t take = n == 0 ? 0 : 3 * n - 1;
    text = text.substr(0, std::min(text.size(), take));
    if (text.empty()) return ParseResult::Empty;
    std::string digits = withoutSpaces(text);
    if (digits.size() > 2 * n) digits.resize(2 * n);
    return parseGroups(digits, out, n / 4);
}

uint32_t fieldNumber(std::string_view text) {
    text = text.substr(0, std::min<size_t>(text.size(), 8));
    uint32_t v = 0;
    for (char c : text) {
        if (c < '0' || c > '9') break;
        v = v * 10 + static_cast<uint32_t>(c - '0');
    }
    return v;
}

}  // namespace inspector
