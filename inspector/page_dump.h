// page_dump.h - page dump files: the text file Save writes from the spare and
// data boxes and Restore reads back into them.
//
//     [Redundant_Area]                      (physical mode only: these four lines)
//
//     \t\t00 11 22 ... ff                  the spare box text as it stands
//
//     [Data_Area]
//
//     0x0000h : 00 01 02 ... 0f            one line per row of 16 bytes: a
//     0x0010h : 10 11 12 ... 1f            10-character label, 47 characters
//     ...
//                                          (two empty lines)
//
//     [End]                                (no line end after it)
//
// Lines end in LF here; files made on the other platform end them in CR LF,
// and the reader takes both. The file does not record the mode or the
// address: Restore uses the mode at the time and writes at the address the
// fields hold.
#pragma once

#include <cstddef>
#include <istream>
#include <optional>
#include <string>
#include <string_view>

namespace inspector {

// Markers; a line starts a section when its first characters are the marker.
inline constexpr std::string_view kSpareMarker = "[Redundant_Area]";
inline constexpr std::string_view kDataMarker = "[Data_Area]";
inline constexpr std::string_view kEndMarker = "[End]";
// Characters the reader takes per read: a longer line is read as several.
inline constexpr size_t kReadPiece = 255;

// Label of data line r: "0x0000h : ", "0x0100h : ", ... (r * 16 as four
// lower-case hexadecimal digits, more from row 4096 on).
std::string dumpLabel(size_t row);

// The whole file Save writes. physical: with the spare section (the spare
// text up to its first kSpareTextLimit characters). The data rows come from
// the first 3 * dataBytes - 1 characters of dataText: row r is the 47
// characters from 48 * r (fewer at the end of the text).
std::string dumpText(bool physical, std::string_view spareText, std::string_view dataText,
                     size_t dataBytes);

struct Restored {
    enum class Outcome {
        Ready,      // spare (physical mode) and data texts found: write them
        NotFound,   // "[End]" came before the section looked for: nothing changes
        ReadError,  // the file ended (or could not be read) inside a section
    };
    Outcome outcome = Outcome::ReadError;
    // Physical mode: the spare text once its section was read through; it
    // goes into the spare box even when the data section then fails.
    std::optional<std::string> spareText;
    // Ready: the data box text, 48 characters per data line taken.
    std::string dataText;
};

// Reads a dump file as Restore does. physical: the spare section is looked
// for first. Data lines: every line of the data section that is not empty;
// its text is the 47 characters that begin two characters after its first
// colon (fewer if the line ends before), followed by spaces up to 48. A line
// without a colon holds no data and is skipped. At most dataCapacity bytes
// (dataCapacity / 16 rows) are kept; later data lines are read and dropped.
Restored readDump(std::istream& in, bool physical, size_t dataCapacity);

}  // namespace inspector
