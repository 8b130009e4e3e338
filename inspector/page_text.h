// page_text.h - the texts of the page inspector's boxes: bytes as
// hexadecimal text, the address column, and the two parses that turn the
// spare and data texts back into bytes.
//
// No dialog and no device here: the dialog shows and takes these texts, the
// parses write only into the buffers they are given (their sizes are
// arguments), whatever the text holds.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace inspector {

// Bytes the spare box shows and a write takes: the first 16 of the spare area.
inline constexpr size_t kShownSpareBytes = 16;
// Characters of the spare text a parse (and a dump file) takes.
inline constexpr size_t kSpareTextLimit = 191;
// Characters of one row of the data box: 16 bytes of "xx ".
inline constexpr size_t kRowChars = 48;
// Characters of one address label ("0x07f0h").
inline constexpr size_t kLabelChars = 7;

// Every byte as two lower-case hexadecimal digits and a space:
// {0x00, 0xAB} -> "00 ab ". n bytes give 3 * n characters.
std::string hexText(const uint8_t* bytes, size_t n);

// The address column from row firstRow on: one label "0x%04xh" of the byte
// offset row * 16 per 16 bytes of a page of pageSize bytes, without
// separators. Empty when firstRow is past the last row.
std::string addressColumn(size_t pageSize, size_t firstRow = 0);

// The hex-group rule: up to 8 hexadecimal digits (either case) read as a
// big-endian number of ceil(k / 2) bytes placed at the start of a 4-byte
// slot, the rest zero ("abc" -> 0a bc 00 00; "" -> 00 00 00 00). False, with
// out untouched, when the group has more than 8 characters or one that is
// not a hexadecimal digit.
bool hexGroup(std::string_view digits, uint8_t out[4]);

enum class ParseResult {
    Ok,      // the bytes are written
    Empty,   // the text is empty: nothing written (the dialog asks first)
    Bad,     // a group is not hexadecimal: the bytes may be partly written
};

// The spare parse: the first kSpareTextLimit characters of text, every space
// removed; the first 32 remaining characters as four groups of 8 give the 16
// bytes of out (characters beyond the 32nd are ignored; where the text ends a
// group is shorter or empty). out must hold kShownSpareBytes bytes.
ParseResult parseSpare(std::string_view text, uint8_t* out);

// The data parse of n bytes: the first 3 * n - 1 characters of text, every
// space removed, at most 2 * n digits kept, cut into groups of 8, at most
// n / 4 groups; group i gives bytes 4 * i to 4 * i + 3 of out. Bytes after
// the last group are not touched (the dialog zeroes the buffer first). out
// must hold n bytes.
ParseResult parseData(std::string_view text, uint8_t* out, size_t n);

// A decimal field as the field checks read it: its first 8 characters,
// leading digits only (none: 0), as an unsigned number. Unlike a 16-bit
// conversion, "65537" stays 65537, so a number out of range never lands on
// another block.
uint32_t fieldNumber(std::string_view text);

}  // namespace inspector
