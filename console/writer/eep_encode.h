// eep_encode.h - how the string sections and the checksum go into the
// EEPROM image.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "eep_text.h"
#include "eep_types.h"

namespace eep {

// The vendor, product, interface and serial texts are at most 64
// characters, the size of the device's string fields; a longer run between
// the quotes is cut there.
inline constexpr size_t kMaxStringChars = 64;

// How much of the run between the quotes a section takes as its text: 64
// characters for the four descriptor strings; the inquiry and card-name
// texts are taken whole, since their encodings apply sizes of their own (8
// and 16 characters with the clipping message, 10 card names of 4).
size_t textLimit(Tag tag);

// One string section, encoded.
struct EncodedString {
    int positionWord = 0;        // word 3..6 that records where the string lies
    bool positionInHigh = false; // in its high byte (else its low byte)
    std::string text;            // the text after adjustment / cutting / padding
    std::vector<uint16_t> words; // the words that follow at the position
    std::optional<Message> clipped;  // inquiry texts longer than their size
};

// Encodes a string definition's text (non-empty) for a string tag:
// descriptors for the vendor, product, serial and interface strings (the
// serial keeps its length; the others get one space when L % 4 == 3), packed
// and space-filled inquiry strings of 8 and 16 characters, and packed card
// names of 4 characters each. Characters are taken as bytes (00h-FFh).
EncodedString encodeString(Tag tag, std::string_view text);

// The number of words encodeString(tag, text) gives, found without encoding.
size_t encodedWordCount(Tag tag, std::string_view text);

// Splits at any of the separator characters, skipping empty names, and keeps
// at most maxNames names of at most maxChars characters each.
std::vector<std::string> splitNames(std::string_view text, std::string_view separators,
                                    size_t maxNames, size_t maxChars);

// Sets the high byte of word `index` to the checksum over words 0..index-1
// and the low byte of word `index`. index must lie inside the image.
void applyChecksum(Image& image, uint16_t index);

}  // namespace eep
