// eeprom_dump.h - the text of "Dump EEPROM": the word lines and the strings
// decoded from the EEPROM words (the "Dump Dialog" shows both). The words
// come through a reader, so the same decode serves the device's EEPROM (read
// word by word) and a copy held in memory.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace writer {

// Word `index` of the EEPROM, or nothing when it cannot be read.
using WordReader = std::function<std::optional<uint16_t>(unsigned index)>;

// One line per 8 words: the index of the line's first word as "%02X    ",
// then each word as "%04X ". A last line holds the words that are left.
std::vector<std::string> dumpLines(const std::vector<uint16_t>& words);

struct DumpStrings {
    std::string vendor, product, serial, interface, cardType;
};

// A string descriptor at word `position` (0 = none): its header's low byte
// is the length n in bytes, for (n - 2) / 2 characters, one per word from
// position + 1 in the low byte, or two per word (low byte first) when n > 1
// and the high byte of word position + 1 is not zero. A failed read or a NUL
// character ends the text.
std::string decodeDescriptor(const WordReader& read, unsigned position);

// The card names at word `position` (0 = none): no header, two characters per
// word (low byte first) up to the first word whose low byte is 0. A failed
// read or a NUL character ends the text.
std::string decodeCardNames(const WordReader& read, unsigned position);

// How the card names are laid out: the EEPROM's own dump reads them without
// a header; the EEP copy in the external ROM holds them as a descriptor like
// the other strings.
enum class CardNames { Plain, Descriptor };

// The strings of an EEPROM: the card names at the high byte of word 3 (when
// word 3 exceeds 00FFh), vendor and product at the low and high byte of word
// 4, serial and interface at those of word 5.
DumpStrings decodeStrings(const WordReader& read, CardNames cardNames = CardNames::Plain);

}  // namespace writer
