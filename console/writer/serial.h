// serial.h - serial numbers from one programmed device to the next: where the
// serial text comes from when the file is parsed, the Start/End check of the
// boundary mode, and the next serial computed before each EEPROM write.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "eep_types.h"

namespace eep {

struct LocalTime {
    int year = 0, month = 1, day = 1, hour = 0, minute = 0, second = 0, millisecond = 0;
};
// The local time source of the random mode; tests pass a fixed one.
using Clock = std::function<LocalTime()>;
LocalTime systemLocalTime();

// The random mode's 17-digit time stamp: year, month, day, hour, minute,
// second (two digits each, four for the year) and milliseconds (three).
std::string timeStamp(const LocalTime& t);

// The line that replaces the file's "[S-STR]" definition line at parse time:
// the time stamp in quotes (random), the "Start" text in quotes (boundary);
// nothing in auto increment (the file's line is used as written).
std::optional<std::string> serialLineFor(const SerialSettings& s, const Clock& clock);

// A "Start" or "End" text as a value: the leading digits of at most 19
// characters.
int64_t editValue(std::string_view text);
// The boundary B: the "End" value in boundary mode, else the int64 maximum.
int64_t boundaryOf(const SerialSettings& s);

// The Start/End check of the boundary mode (both edits filled, End not below
// Start); the message when the run must not start.
std::optional<Message> checkStartEnd(const SerialSettings& s);

// The serial state a parse leaves behind.
struct SerialState {
    bool freshlyParsed = false;
    bool isNumeric = false;
    bool keepsWidth = false;
};

struct NextSerial {
    bool computed = false;
    std::string text;       // the next serial, as stored for the next device
    std::string imageText;  // further runs: the advanced text written into the image
};

// Computes the next serial from the serial descriptor whose position is the
// low byte of word 5. On a further run without reparse it first advances the
// serial in the image. The text never holds more characters than the serial's
// width; a value that would need more starts again at 1.
NextSerial computeNextSerial(Image& image, SerialState& state, const SerialSettings& s);

}  // namespace eep
