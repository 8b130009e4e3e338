#include "eeprom_dump.h"

#include <cstdio>

namespace writer {

namespace {

// Word positions are bytes: a string can start no further than word 255, and
// nothing is read beyond the 256 words such a position can reach.
constexpr unsigned kMaxWords = 256;

uint8_t lo(uint16_t w) { return static_cast<uint8_t>(w & 0xFF); }
uint8_t hi(uint16_t w) { return static_cast<uint8_t>(w >> 8); }

// Appends a character; false once the text has ended at a NUL.
bool append(std::string& text, uint8_t c) {
    if (c == 0) return false;
    text.push_back(static_cast<char>(c));
    return true;
}

}  // namespace

std::vector<std::string> dumpLines(const std::vector<uint16_t>& words) {
    std::vector<std::string> lines;
    char buf[16];
    for (size_t i = 0; i < words.size(); ++i) {
        if (i % 8 == 0) {
            std::snprintf(buf, sizeof buf, "%02X    ", static_cast<unsigned>(i) & 0xFFu);
            lines.emplace_back(buf);
        }
        std::snprintf(buf, sizeof buf, "%04X ", words[i]);
        lines.back() += buf;
    }
    return lines;
}

std::string decodeDescriptor(const WordReader& read, unsigned position) {
    std::string text;
    if (position == 0) return text;
    const auto header = read(position);
    if (!header) return text;
    const unsigned n = lo(*header);
    const unsigned chars = n >= 2 ? (n - 2) / 2 : 0;
    if (chars == 0) return text;
    const auto first = read(position + 1);
    if (!first) return text;
    const bool packed = n > 1 && hi(*first) != 0;
    unsigned taken = 0;
    for (unsigned w = position + 1; taken < chars && w < position + 1 + kMaxWords; ++w) {
        const auto word = w == position + 1 ? first : read(w);
        if (!word) break;
        if (!append(text, lo(*word))) break;
        if (++taken == chars || !packed) continue;
        if (!append(text, hi(*word))) break;
        ++taken;
    }
    return text;
}

std::string decodeCardNames(const WordReader& read, unsigned position) {
    std::string text;
    if (position == 0) return text;
    for (unsigned w = position; w < position + kMaxWords; ++w) {
        const auto word = read(w);
        if (!word || lo(*word) == 0) break;
        append(text, lo(*word));
        if (!append(text, hi(*word))) break;
    }
    return text;
}

DumpStrings decodeStrings(const WordReader& read, CardNames cardNames) {
    DumpStrings s;
    if (const auto w3 = read(3); w3 && *w3 > 0x00FF)
        s.cardType = cardNames == CardNames::Plain ? decodeCardNames(read, hi(*w3)) : decodeDescriptor(read, hi(*w3));
    if (const auto w4 = read(4)) {
        s.vendor = decodeDescriptor(read, lo(*w4));
        s.product = decodeDescriptor(read, hi(*w4));
    }
    if (const auto w5 = read(5)) {
        s.serial = decodeDescriptor(read, lo(*w5));
        s.interface = decodeDescriptor(read, hi(*w5));
    }
    return s;
}

}  // namespace writer
