// eep_text.h - how an EEP file is cut into lines and how a line is read:
// line pieces of a 255-byte read buffer, section tags, leading hexadecimal
// numbers and the first quoted run of a string definition.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace eep {

// The loader reads a line into a 255-byte buffer: at most 254 characters,
// line break included, per read. A longer line is read as several pieces and
// every piece counts as a line of its own.
inline constexpr size_t kPieceChars = 254;

// Where the writers put the text they make, piece by piece; false when it
// could not be written (the writer then stops).
using Sink = std::function<bool(std::string_view)>;

// Reads an EEP file one line piece at a time, as the loader and both
// writers do: CR LF reads as LF (files made on the original platform still
// load), each piece keeps its '\n' if it has one, the last piece may have
// none. Memory does not grow with the file: one piece buffer and, for a
// file, one fixed read buffer.
class LineReader {
public:
    // Reads content kept in memory (tests, the fuzz target).
    explicit LineReader(std::string_view content);
    // Reads the open descriptor fd (not owned, positioned anywhere) from its
    // start, at most `limit` bytes: the size the file had when it was opened,
    // so a file that keeps growing still ends.
    LineReader(int fd, uint64_t limit);
    LineReader(const LineReader&) = delete;
    LineReader& operator=(const LineReader&) = delete;

    // The next piece, valid until the next call. False at the end of the
    // input and when a read fails (failed() tells which).
    bool next(std::string_view& piece);
    // Back to the start of the input (a file is read with positioned reads,
    // so nothing else moves with it).
    void rewind();
    bool failed() const { return failed_; }
    // Bytes taken from the input since the start (or the last rewind).
    uint64_t consumed() const { return consumed_; }

    // Size of the read buffer of a file.
    static constexpr size_t kReadBuffer = 64 * 1024;

private:
    bool fill();      // file: reads the next part into buf_; false at the end
    int peekByte();   // the next input byte without taking it, -1 at the end

    int fd_ = -1;
    uint64_t limit_ = 0, offset_ = 0, consumed_ = 0;
    std::string_view memory_;
    std::unique_ptr<char[]> buf_;
    const char* data_ = nullptr;   // unread input: data_[pos_, len_)
    size_t pos_ = 0, len_ = 0;
    bool failed_ = false;
    char piece_[kPieceChars];
};

// An EEP file opened for the loader and the writers. Only a regular file
// opens: a FIFO, a device such as /dev/zero or a folder would never end or
// could not be read again from its start, so it counts as a file that
// cannot be opened.
class InputFile {
public:
    InputFile() = default;
    ~InputFile();
    InputFile(const InputFile&) = delete;
    InputFile& operator=(const InputFile&) = delete;
    bool open(const std::string& path);
    int fd() const { return fd_; }
    uint64_t size() const { return size_; }

private:
    int fd_ = -1;
    uint64_t size_ = 0;
};

// What the parser sees of a piece: the characters before its line break,
// ending early at a NUL byte.
std::string_view lineText(std::string_view piece);

enum class Tag { None, Start, End, CheckSumIndex, VendorStr, ProductStr, SerialStr,
                 InterfaceStr, InquiryVendor, InquiryProduct, CardStr };
// The section tag a line begins with, compared over the tag's own length.
Tag tagOf(std::string_view text);
bool isStringTag(Tag t);

// The hexadecimal number at the start of a line (leading blanks skipped,
// stopping at the first character that is not a hex digit), kept to 16 bits.
// Nothing when no hex digit follows the blanks.
std::optional<uint16_t> leadingHex(std::string_view text);

// The first run of characters between two double quotes of a string
// definition line. The scan stops at the first '#' and at the end of the
// line. Nothing when there are not two quotes or the run is empty.
struct QuotedRun {
    size_t begin = 0;   // offset of the first text character in the line
    size_t length = 0;
};
std::optional<QuotedRun> quotedRun(std::string_view text);

// Leading decimal digits as a value, saturating at the int64 maximum
// (no sign, no blanks); 0 when the text does not start with a digit.
int64_t leadingDecimal(std::string_view text);

// Two upper-case hexadecimal digits.
std::string hex2(uint8_t b);

}  // namespace eep
