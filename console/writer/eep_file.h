// eep_file.h - the EEP setup file: validation, parse into the EEPROM image,
// the icon-setting check, and the two rewrites that the writers apply to a
// loaded file ("Save to eep file" and the serial write-back).
//
// Everything here works on the file's content in memory; reading and
// replacing files is the session's job (eep_session.h).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "eep_text.h"
#include "eep_types.h"

namespace eep {

// Which dialog fields the data lines fill: by device class (a load), or the
// fixed set of the reload before a programming run (VID, PID, card type, icon
// number, icon boxes and Config1 from lines 0, 1, 2, 3, 6-8 and 9, whatever
// the class).
enum class FieldMapping { ByClass, Reload };

struct ParseRequest {
    uint8_t deviceClass = 0x10;
    // The line that stands in for the file's "[S-STR]" definition line
    // (random and boundary serial modes); nothing = the line as written.
    std::optional<std::string> serialLine;
    FieldMapping mapping = FieldMapping::ByClass;
};

// The role of each line piece in the file, shared by the loader and the
// writers so that both agree on which line holds which word.
enum class LineKind { Outside, Start, Comment, StringTag, Definition, Data, End };
struct LineRole {
    LineKind kind = LineKind::Outside;
    Tag tag = Tag::None;   // Definition: the section's tag
    int word = -1;         // Data: the word index the line fills
};

struct ParseResult {
    bool valid = false;         // validation passed (the three sections exist)
    bool bodyComplete = false;  // "[END]" was reached by the parse
    bool loaded = false;        // valid, complete, and at most 64 words
    Image image{};
    int wordCount = 0;
    uint16_t checksumIndex = 0;
    Strings strings;
    Fields fields;
    FieldUpdate update;
    bool serialFound = false;
    bool serialIsNumeric = false;
    bool serialKeepsWidth = false;
    std::vector<Message> messages;
    Pieces pieces;
    std::vector<LineRole> roles;
};

// Validates and (when valid) parses an EEP file's content.
ParseResult parseEep(std::string_view content, const ParseRequest& request);

// The serial flags of a serial text: numeric when it has at least one digit
// and only digits, a space being allowed as its last character; a numeric
// text ending in a space keeps its width.
struct SerialFlags { bool numeric = false; bool keepsWidth = false; };
SerialFlags serialFlags(std::string_view text);

// The icon-setting check run before "Save to eep file"; a message when the
// save must stop. Always passes for device classes 1 to 3.
std::optional<Message> checkIconSetting(uint8_t deviceClass, const FieldTexts& fields);

// The content "Save to eep file" writes from a parsed template: the data lines
// of words 0, 1, 2, 3, 6, 7, 8 and 9 (up to the checksum word) get the
// dialog's texts over their leading characters, the vendor, product and
// card-name definition lines are rewritten, all other lines are copied.
std::string rewriteForSave(const ParseResult& parsed, uint8_t deviceClass, const FieldTexts& fields);

// The content of the serial write-back: the text after the first quote of
// each "[S-STR]" definition line is overwritten with the new serial. Nothing
// when no line has room for it (the file is then left alone).
std::optional<std::string> rewriteSerial(const ParseResult& parsed, std::string_view newSerial);

}  // namespace eep
