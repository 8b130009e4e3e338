// log_reader.h - finds the bad blocks of a scan log.
//
// A scan log holds one record per block:
//
//     Flash #0, Block #5
//         FF FF FF FF FF 00 FF FF FF FF FF FF FF FF FF FF     (0, 1 or 2 of these)
//     Block Status : Fail
//     <empty line>
//
// between header, chip, zone and closing lines. The reader takes a line that
// contains both "Flash #" and "Block #" for a block line and looks at most
// four lines further for "Block Status : Fail". The look-ahead stays inside
// the record: it ends at the record's own status line, whatever its verdict,
// and at the next block line (which is then read as a block line itself), so
// a short record never borrows the next record's verdict.
//
// Lines end in LF or CR LF. They are read as pieces of at most 254
// characters (line end included), so a longer line counts as several lines.
#pragma once

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace marker {

// Longest piece of a line read at once, line end included.
inline constexpr size_t kMaxLinePiece = 254;

// Reads a file or a byte string line by line. A CR LF pair reads as LF. Each
// piece keeps its LF when it ends the line; the text stops at a NUL byte.
class LineReader {
public:
    // Reads at most `limit` bytes of the file: the size the log had when it
    // was opened, so a log that keeps growing still ends.
    explicit LineReader(std::FILE* file, uint64_t limit = UINT64_MAX)
        : file_(file), remaining_(limit), buf_(64 * 1024) {}
    explicit LineReader(std::string_view bytes) : mem_(bytes), inMemory_(true) {}
    LineReader(const LineReader&) = delete;
    LineReader& operator=(const LineReader&) = delete;

    // The next piece into `out` (its room is reused, so reading allocates
    // nothing once the buffers have grown); false at the end of the input.
    bool next(std::string& out);
    // The same, as a value: nothing at the end of the input.
    std::optional<std::string> next();

private:
    int peek();   // the next byte without taking it, -1 at the end
    bool fill();

    std::FILE* file_ = nullptr;
    uint64_t remaining_ = 0;
    std::string_view mem_;
    bool inMemory_ = false;
    std::vector<char> buf_;   // file reads only
    size_t pos_ = 0, len_ = 0;
};

// Opens a scan log for reading. Only a regular file (or a link to one)
// opens: a FIFO, a device such as /dev/zero or a folder would never end or
// holds no lines, so it counts as a log that cannot be opened. `size` is the
// file's size at the time it was opened.
std::FILE* openLogFile(const std::string& path, uint64_t& size);

// A block the log reports bad: where it is, and the two lines to list.
struct BadBlock {
    uint8_t chip = 0;
    uint32_t block = 0;
    std::string blockLine;    // as read, line end included
    std::string statusLine;   // the "Block Status : Fail" line as read
};

// True for a block line: it contains both "Flash #" and "Block #".
bool isBlockLine(std::string_view line);

// Parses "Flash #%d, Block #%d" (blanks as the C scanf reads them). Nothing
// when the line does not follow the pattern or a number does not fit a chip
// (0..255) or block (0..4294967295) number.
struct BlockAddress { uint8_t chip; uint32_t block; };
std::optional<BlockAddress> parseBlockLine(std::string_view line);

class ScanLogReader {
public:
    explicit ScanLogReader(LineReader& lines) : lines_(lines) {}

    // The next bad block in file order, or nothing at the end of the log.
    // A block line that does not parse is skipped with its record: no block
    // is ever named by an earlier record's numbers.
    std::optional<BadBlock> next();

private:
    bool nextLine(std::string& out);

    LineReader& lines_;
    // The two line buffers: the current block line and the look-ahead line
    // (which holds the next record's block line when the look-ahead ends
    // there).
    std::string line_, ahead_;
    bool pushedBack_ = false;
};

}  // namespace marker
