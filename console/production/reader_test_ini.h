// reader_test_ini.h - ReaderTest.ini, the optional file in the working
// directory that gives the read/write test its default number of cycles:
//
//     [TEST_TIMES]
//     500
//
// Read line by line (lines of up to 254 characters; a longer line is read
// as several). A line beginning with "[TEST_TIMES]" opens the section; the
// next line holds the count as an unsigned decimal number. Nothing else is
// read. CR LF and LF line ends both work.
#pragma once

#include <cstdint>
#include <string>

namespace production {

struct ReaderTestIni {
    // The number of cycles per LUN: 100 unless the file gives another.
    uint32_t testTimes = 100;
    // The message the dialog shows, or empty (file missing, or read well).
    std::string message;
    // The reader's own result: false when the file could not be opened or
    // ended before the count's line.
    bool ok = false;
};

inline constexpr char kReaderTestIniName[] = "ReaderTest.ini";
inline constexpr uint32_t kDefaultTestTimes = 100;

ReaderTestIni readReaderTestIni(const std::string& path);

// Text as an unsigned decimal number: leading blanks skipped, reading stops
// at the first character that is not a digit; no digits give 0, and a value
// beyond 32 bits gives 4294967295.
uint32_t parseUnsigned(const std::string& text);

}  // namespace production
