// scan_log.h - the scan log `scan.log`: the lines the scanner writes.
//
// The log is the scanner's product and the marker's input. Each scan writes,
// in this order:
//
//     This flash Page size is  512 bytes
//     Flash quantity : 1
//     Total blocks   : 0x2
//     Total pages    : 0x40
//     =======================================================
//     Flash Number #0 : Block Size = 32 Pages
//
//     Flash #0, Block #0
//         FF FF FF FF FF FF FF FF FF FF FF FF FF FF FF FF
//     Block Status : OK
//
//     Flash #0, Zone #0 Bad Block total : 0        (one per complete 1024 blocks)
//     Bad blocks : 0
//
// Lines end in LF. A block record has zero, one or two spare-area lines (one
// per successful spare read of pages 0 and 1). A stopped scan ends after its
// last complete block record, without zone lines or the closing line.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

namespace scanner {

// Bytes of a spare area shown on a spare-area line.
inline constexpr int kSpareBytesShown = 16;

// The log path for a working directory: "scan.log" appended directly when the
// directory already ends in the separator (the root "/"), else "/scan.log".
// An empty directory (the working directory could not be found) gives an
// empty path, which cannot be created.
std::string scanLogPath(const std::string& directory);

// Formats the lines of the log into an internal buffer and hands the buffer
// to the file in large pieces, so a scan costs one write call per 64 KiB, not
// one per line. The buffer goes to the file only between records, so the
// block record being written can still be taken back. Without a file
// (default constructor) everything stays in the buffer: text() returns it
// (tests, benchmark).
class ScanLogWriter {
public:
    ScanLogWriter() = default;
    ~ScanLogWriter();
    ScanLogWriter(const ScanLogWriter&) = delete;
    ScanLogWriter& operator=(const ScanLogWriter&) = delete;

    // Creates or truncates the file. False when it cannot be created.
    bool create(const std::string& path);
    // Writes out what is buffered and closes the file. False when a write
    // failed at any time since create(). Harmless when nothing is open.
    bool close();

    // "This flash Page size is  %d bytes" .. "Total pages    : 0x%X".
    void header(uint16_t pageSize, uint8_t chipCount, uint32_t totalBlocks, uint32_t totalPages);
    // The 55-character separator, "Flash Number #%d : Block Size = %d Pages", empty line.
    void chipStart(uint8_t chip, uint16_t pagesPerBlock);
    // "Flash #%d, Block #%d": begins a block record.
    void blockLine(uint8_t chip, uint32_t block);
    // Takes back the block record begun by the last blockLine (before its
    // status line): nothing of it reaches the file.
    void dropBlockRecord();
    // Four blanks and the first 16 bytes of the spare area as "%02X" separated by blanks.
    void spareLine(const uint8_t* spare);
    // "Block Status : Fail" or "Block Status : OK", then an empty line.
    void statusLine(bool bad);
    // "Flash #%d, Zone #%d Bad Block total : %d".
    void zoneLine(uint8_t chip, uint32_t zone, uint8_t runningTotal);
    // "Bad blocks : %d".
    void closingLine(uint32_t badTotal);

    // Buffered text not yet handed to the file (all of it without a file).
    const std::string& text() const { return buf_; }

private:
    void put(std::string_view s) { buf_.append(s); }
    void putDec(uint32_t v);
    void putHex(uint32_t v);
    void endLine() { buf_.push_back('\n'); }
    void flushIfFull();   // at the end of a record or of a line outside one

    std::string buf_;
    size_t recordStart_ = 0;
    std::FILE* file_ = nullptr;
    bool failed_ = false;
};

}  // namespace scanner
