// eep_file.h - the EEP setup file: validation, parse into the EEPROM image,
// the icon-setting check, and the two rewrites that the writers apply to a
// loaded file ("Save to eep file" and the serial write-back).
//
// Everything here reads the file line piece by line piece through a
// LineReader and writes through a Sink, so memory never grows with the file;
// opening and replacing files is the session's job (eep_session.h). The
// overloads on content in memory serve the tests and the fuzz target.
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
    // The request the file was parsed with: the writers follow the file's
    // layout with it, so that they give every line the role the parse gave it.
    ParseRequest request;
};

// Validates and (when valid) parses an EEP file from its start, in one
// reading that stops where the design stops: the validation once "[START]"
// and "[END]" have been seen (or at the end of the file), the parse at the
// body's "[END]"; lines after it are never read.
ParseResult parseEep(LineReader& lines, const ParseRequest& request);
ParseResult parseEep(std::string_view content, const ParseRequest& request);

// Follows a file piece by piece and tells each piece's role, exactly as the
// parse sees it (the parse itself runs on it): Outside before the first
// "[START]" and after "[END]", then the roles of the body, data lines with the
// word they fill (string sections advance the word by the words they take).
class BodyParser {
public:
    // Parses into `result` (its image filled with FFFFh by the caller); with
    // no result it only follows the layout: the roles, and the words that
    // string sections take, are found without decoding or encoding anything.
    BodyParser(ParseResult* result, const ParseRequest& request) : r_(result), req_(request) {}
    LineRole feed(std::string_view piece);
    bool ended() const { return state_ == State::After; }
    int64_t words() const { return word_; }

private:
    enum class State { Before, Body, Definition, After };
    ParseResult* r_;
    const ParseRequest& req_;
    State state_ = State::Before;
    Tag pending_ = Tag::None;
    int64_t word_ = 0;
};

// The serial flags of a serial text: numeric when it has at least one digit
// and only digits, a space being allowed as its last character; a numeric
// text ending in a space keeps its width.
struct SerialFlags { bool numeric = false; bool keepsWidth = false; };
SerialFlags serialFlags(std::string_view text);

// The icon-setting check run before "Save to eep file"; a message when the
// save must stop. Always passes for device classes 1 to 3.
std::optional<Message> checkIconSetting(uint8_t deviceClass, const FieldTexts& fields);

// "Save to eep file": copies the template (read from its start, parsed
// before into `parsed`) into `out`; the data lines of words 0, 1, 2, 3, 6, 7,
// 8 and 9 (up to the checksum word) get the dialog's texts over their leading
// characters, the vendor, product and card-name definition lines are
// rewritten, all other lines are copied. False when the template did not
// validate or `out` failed.
bool rewriteForSave(LineReader& in, const ParseResult& parsed, uint8_t deviceClass, const FieldTexts& fields,
                    const Sink& out);
std::string rewriteForSave(std::string_view content, const ParseResult& parsed, uint8_t deviceClass,
                           const FieldTexts& fields);

// The serial write-back: copies the file into `out` with the text after the
// first quote of each "[S-STR]" definition line overwritten by the new
// serial. Returns whether a line took it (none had room, or the file did not
// validate: the file is then to be left alone); without `out` only that is
// found out, reading no further than "[END]".
bool rewriteSerial(LineReader& in, const ParseResult& parsed, std::string_view newSerial, const Sink* out);
std::optional<std::string> rewriteSerial(std::string_view content, const ParseResult& parsed,
                                         std::string_view newSerial);

}  // namespace eep
