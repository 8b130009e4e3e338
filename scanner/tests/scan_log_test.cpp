#include "scanner/scan_log.h"

#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

using namespace scanner;
using testsupport::readFile;
using testsupport::TempDir;

TEST(ScanLogPath, RootGetsNameAppendedDirectlyOthersGetSeparator) {
    EXPECT_EQ(scanLogPath("/"), "/scan.log");   // the drive root
    EXPECT_EQ(scanLogPath("/home/op"), "/home/op/scan.log");
    EXPECT_EQ(scanLogPath("/home/op/"), "/home/op/scan.log");
    EXPECT_EQ(scanLogPath(""), "");   // unknown directory: never "/scan.log"
    ScanLogWriter w;
    EXPECT_FALSE(w.create(scanLogPath("")));
}

TEST(ScanLogWriter, NumbersAreUnsignedDecimalOrUpperCaseHexWithoutLeadingZeros) {
    ScanLogWriter w;
    w.header(2048, 255, 0, 0xFFFFFFFFu);
    w.blockLine(255, 4294967295u);
    uint8_t spare[16] = {0x00, 0x01, 0x7F, 0x80, 0xAB, 0xCD, 0xEF, 0xFF, 0x10, 0x09, 0xA0, 0x0A, 0xFE, 0xDC, 0x5A, 0xC3};
    w.spareLine(spare);
    w.zoneLine(3, 127, 255);
    w.closingLine(300);
    EXPECT_EQ(w.text(),
              "This flash Page size is  2048 bytes\n"
              "Flash quantity : 255\n"
              "Total blocks   : 0x0\n"
              "Total pages    : 0xFFFFFFFF\n"
              "Flash #255, Block #4294967295\n"
              "    00 01 7F 80 AB CD EF FF 10 09 A0 0A FE DC 5A C3\n"
              "Flash #3, Zone #127 Bad Block total : 255\n"
              "Bad blocks : 300\n");
}

TEST(ScanLogWriter, FileHoldsTheSameBytesAcrossBufferFlushesAndReplacesOlderLog) {
    TempDir dir;
    const std::string path = dir.file("scan.log");
    {
        std::FILE* f = std::fopen(path.c_str(), "wb");
        std::fputs("an older log, longer than the first lines of the new one ...\n", f);
        std::fclose(f);
    }
    ScanLogWriter mem, file;
    ASSERT_TRUE(file.create(path));
    uint8_t spare[16] = {};
    for (ScanLogWriter* w : {&mem, &file}) {
        w->header(512, 1, 5000, 160000);
        w->chipStart(0, 32);
        for (uint32_t b = 0; b < 5000; ++b) {   // well over one 64 KiB buffer
            w->blockLine(0, b);
            w->spareLine(spare);
            w->statusLine(b % 7 == 0);
        }
        w->closingLine(715);
    }
    ASSERT_TRUE(file.close());
    EXPECT_EQ(readFile(path), mem.text());
    EXPECT_FALSE(file.create(dir.file("missing/scan.log")));
}
