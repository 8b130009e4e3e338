#include "scan_log.h"

#include <algorithm>
#include <charconv>

namespace scanner {

namespace {
// The buffer goes to the file once it holds this much.
constexpr size_t kFlushAt = 64 * 1024;
constexpr char kHexDigits[] = "0123456789ABCDEF";
}  // namespace

std::string scanLogPath(const std::string& directory) {
    if (directory.empty()) return {};   // unknown working directory: no log rather than one at the root
    if (!directory.empty() && directory.back() == '/') return directory + "scan.log";
    return directory + "/scan.log";
}

ScanLogWriter::~ScanLogWriter() { close(); }

bool ScanLogWriter::create(const std::string& path) {
    close();
    buf_.clear();
    recordStart_ = 0;
    failed_ = false;
    file_ = std::fopen(path.c_str(), "wb");
    if (file_) buf_.reserve(kFlushAt + 256);
    return file_ != nullptr;
}

bool ScanLogWriter::close() {
    if (!file_) return !failed_;
    if (!buf_.empty() && std::fwrite(buf_.data(), 1, buf_.size(), file_) != buf_.size()) failed_ = true;
    buf_.clear();
    if (std::fclose(file_) != 0) failed_ = true;
    file_ = nullptr;
    return !failed_;
}

void ScanLogWriter::flushIfFull() {
    if (file_ && buf_.size() >= kFlushAt) {
        if (std::fwrite(buf_.data(), 1, buf_.size(), file_) != buf_.size()) failed_ = true;
        buf_.clear();
    }
}

void ScanLogWriter::putDec(uint32_t v) {
    char tmp[16];
    auto r = std::to_chars(tmp, tmp + sizeof tmp, v);
    buf_.append(tmp, r.ptr);
}

void ScanLogWriter::putHex(uint32_t v) {
    char tmp[16];
    auto r = std::to_chars(tmp, tmp + sizeof tmp, v, 16);
    for (char* p = tmp; p != r.ptr; ++p)
        if (*p >= 'a' && *p <= 'f') *p = char(*p - 'a' + 'A');
    buf_.append(tmp, r.ptr);
}

void ScanLogWriter::header(uint16_t pageSize, uint8_t chipCount, uint32_t totalBlocks, uint32_t totalPages) {
    put("This flash Page size is  ");
    putDec(pageSize);
    put(" bytes");
    endLine();
    put("Flash quantity : ");
    putDec(chipCount);
    endLine();
    put("Total blocks   : 0x");
    putHex(totalBlocks);
    endLine();
    put("Total pages    : 0x");
    putHex(totalPages);
    endLine();
    flushIfFull();
}

void ScanLogWriter::chipStart(uint8_t chip, uint16_t pagesPerBlock) {
    buf_.append(55, '=');
    endLine();
    put("Flash Number #");
    putDec(chip);
    put(" : Block Size = ");
    putDec(pagesPerBlock);
    put(" Pages");
    endLine();
    endLine();
    flushIfFull();
}

void ScanLogWriter::blockLine(uint8_t chip, uint32_t block) {
    recordStart_ = buf_.size();
    put("Flash #");
    putDec(chip);
    put(", Block #");
    putDec(block);
    endLine();
}

void ScanLogWriter::spareLine(const uint8_t* spare) {
    // "    XX XX ... XX": 4 + 16 * 3 - 1 = 51 characters.
    char line[4 + kSpareBytesShown * 3];
    char* p = line;
    for (int i = 0; i < 4; ++i) *p++ = ' ';
    for (int i = 0; i < kSpareBytesShown; ++i) {
        if (i) *p++ = ' ';
        *p++ = kHexDigits[spare[i] >> 4];
        *p++ = kHexDigits[spare[i] & 0x0F];
    }
    buf_.append(line, p);
    endLine();
}

void ScanLogWriter::dropBlockRecord() { buf_.resize(std::min(recordStart_, buf_.size())); }

void ScanLogWriter::statusLine(bool bad) {
    put(bad ? "Block Status : Fail" : "Block Status : OK");
    endLine();
    endLine();
    flushIfFull();
}

void ScanLogWriter::zoneLine(uint8_t chip, uint32_t zone, uint8_t runningTotal) {
    put("Flash #");
    putDec(chip);
    put(", Zone #");
    putDec(zone);
    put(" Bad Block total : ");
    putDec(runningTotal);
    endLine();
    flushIfFull();
}

void ScanLogWriter::closingLine(uint32_t badTotal) {
    put("Bad blocks : ");
    putDec(badTotal);
    endLine();
    flushIfFull();
}

}  // namespace scanner
