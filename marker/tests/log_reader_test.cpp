#include "marker/log_reader.h"

#include "scanner/scan_engine.h"
#include "scanner/tests/fake_flash.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

#include <vector>

#include <sys/stat.h>
#include <unistd.h>

using namespace marker;
using Blocks = std::vector<std::pair<int, uint32_t>>;

namespace {

std::vector<BadBlock> badBlocks(std::string_view text) {
    LineReader lines(text);
    ScanLogReader reader(lines);
    std::vector<BadBlock> out;
    while (auto b = reader.next()) out.push_back(std::move(*b));
    return out;
}

Blocks addresses(std::string_view text) {
    Blocks out;
    for (const BadBlock& b : badBlocks(text)) out.push_back({b.chip, b.block});
    return out;
}

std::string crlf(const std::string& s) {
    std::string out;
    for (char c : s) out += c == '\n' ? "\r\n" : std::string(1, c);
    return out;
}

std::string record(int chip, int block, int spares, bool bad) {
    std::string s = "Flash #" + std::to_string(chip) + ", Block #" + std::to_string(block) + "\n";
    for (int i = 0; i < spares; ++i) s += "    FF FF FF FF FF FF FF FF FF FF FF FF FF FF FF FF\n";
    return s + (bad ? "Block Status : Fail\n\n" : "Block Status : OK\n\n");
}

const std::string kHead = "This flash Page size is  512 bytes\nFlash quantity : 1\nTotal blocks   : 0x400\n"
                          "Total pages    : 0x8000\n" + std::string(55, '=') +
                          "\nFlash Number #0 : Block Size = 32 Pages\n\n";

}  // namespace

TEST(LineReader, ReadsLfAndCrLfLinesInPiecesOf254) {
    std::string text = std::string("one\r\ntwo\na\rb\n") + std::string(254, 'x') + "\r\n" + std::string(300, 'y') +
                       "\n" + std::string("ab\0cd\n", 6) + "last";
    LineReader r{std::string_view(text)};
    for (std::string want : {"one\n", "two\n", "a\rb\n"}) EXPECT_EQ(r.next(), want);
    EXPECT_EQ(r.next(), std::string(254, 'x'));
    EXPECT_EQ(r.next(), "\n");
    EXPECT_EQ(r.next(), std::string(254, 'y'));
    EXPECT_EQ(r.next(), std::string(46, 'y') + "\n");
    EXPECT_EQ(r.next(), "ab");   // the text ends at a NUL byte
    EXPECT_EQ(r.next(), "last");
    EXPECT_EQ(r.next(), std::nullopt);

    // From a file, across its 64 KiB read buffer, the pieces are the same.
    testsupport::TempDir dir;
    std::string big;
    for (int i = 0; i < 20000; ++i) big += i % 3 ? "line " + std::to_string(i) + "\r\n" : std::string(260, 'q') + "\n";
    std::FILE* f = std::fopen(dir.file("x.log").c_str(), "w+b");
    std::fwrite(big.data(), 1, big.size(), f);
    std::rewind(f);
    LineReader fromFile(f), fromMemory{std::string_view(big)};
    for (size_t n = 0;; ++n) {
        auto a = fromFile.next();
        ASSERT_EQ(a, fromMemory.next()) << "piece " << n;
        if (!a) break;
    }
    std::fclose(f);
}

// Regression: the marker read a log that never ends (a FIFO, a link to
// /dev/zero) for ever. Only regular files open, and a log is read as far as
// it reached when it was opened.
TEST(LineReader, OnlyRegularLogsOpenAndReadingStopsAtTheirSizeWhenOpened) {
    testsupport::TempDir dir;
    ASSERT_EQ(::mkfifo(dir.file("fifo.log").c_str(), 0600), 0);
    ASSERT_EQ(::symlink("/dev/zero", dir.file("zero.log").c_str()), 0);
    uint64_t size = 0;
    for (const char* name : {"fifo.log", "zero.log", "missing.log", ""})
        EXPECT_EQ(openLogFile(dir.file(name), size), nullptr) << name;

    dir.write("grows.log", record(0, 1, 0, true));
    std::FILE* f = openLogFile(dir.file("grows.log"), size);
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(size, record(0, 1, 0, true).size());
    {   // lines added after the open are not read
        std::FILE* w = std::fopen(dir.file("grows.log").c_str(), "ab");
        const std::string more = record(0, 2, 0, true);
        std::fwrite(more.data(), 1, more.size(), w);
        std::fclose(w);
    }
    LineReader lines(f, size);
    ScanLogReader reader(lines);
    std::vector<uint32_t> bad;
    while (auto b = reader.next()) bad.push_back(b->block);
    std::fclose(f);
    EXPECT_EQ(bad, std::vector<uint32_t>{1});
}

TEST(BlockLine, ParsesLikeTheScanFormatAndRejectsNumbersThatDoNotFit) {
    auto is = [](std::string_view s, int chip, uint32_t block) {
        auto a = parseBlockLine(s);
        return a && a->chip == chip && a->block == block;
    };
    EXPECT_TRUE(is("Flash #0, Block #5\n", 0, 5));
    EXPECT_TRUE(is("Flash  #  +2,Block#7 trailing text", 2, 7));   // blanks as scanf skips them
    EXPECT_TRUE(is("Flash #255, Block #4294967295\n", 255, 4294967295u));
    for (const char* bad : {" Flash #0, Block #5", "Flash #256, Block #5", "Flash #0, Block #4294967296",
                            "Flash #-1, Block #5", "Flash #0, Block #-5", "Flash #2 , Block #7", "Flash #0, Block #",
                            "Flash #99999999999999999999, Block #5"})
        EXPECT_FALSE(parseBlockLine(bad)) << bad;
    EXPECT_TRUE(isBlockLine("Block #1 Flash #2"));
    EXPECT_FALSE(isBlockLine("Flash Number #0 : Block Size = 32 Pages\n"));
    EXPECT_FALSE(isBlockLine("Flash #0, Zone #0 Bad Block total : 3\n"));
}

TEST(ScanLogReader, ListsBadBlocksInFileOrderWithTheirLines) {
    std::string good = kHead, bad = kHead;
    for (int b = 0; b < 12; ++b) {
        good += record(0, b, 2, false);
        bad += record(0, b, b % 3, b == 5 || b == 9);
    }
    EXPECT_TRUE(badBlocks(good + "Bad blocks : 0\n").empty());
    for (const std::string& text : {bad + "Bad blocks : 2\n", crlf(bad + "Bad blocks : 2\n")}) {
        auto v = badBlocks(text);
        ASSERT_EQ(v.size(), 2u);
        EXPECT_EQ(v[0].blockLine, "Flash #0, Block #5\n");
        EXPECT_EQ(v[0].statusLine, "Block Status : Fail\n");
        EXPECT_EQ(v[1].blockLine, "Flash #0, Block #9\n");
        EXPECT_EQ(v[1].statusLine, "Block Status : Fail\n");
    }
}

TEST(ScanLogReader, ChipAndZoneLinesAreNeverBlockLines) {
    std::string log = kHead + record(0, 1, 1, false) + "Flash #0, Zone #0 Bad Block total : 3\nBlock Status : Fail\n" +
                      std::string(55, '=') + "\nFlash Number #1 : Block Size = 32 Pages\nBlock Status : Fail\n\n" +
                      record(1, 4, 0, true) + "Flash #1, Zone #0 Bad Block total : 4\nBad blocks : 4\n";
    EXPECT_EQ(addresses(log), (Blocks{{1, 4}}));
}

// Guards against listing a good block on the strength of the next record's
// "Fail", and against losing the next record's block line to the look-ahead.
TEST(ScanLogReader, LookAheadStaysInsideTheRecord) {
    EXPECT_EQ(addresses(kHead + record(0, 0, 0, false) + record(0, 1, 0, true) + record(0, 2, 1, false) +
                        record(0, 3, 0, true) + record(0, 4, 0, true)),
              (Blocks{{0, 1}, {0, 3}, {0, 4}}));
    // The record's own verdict ends it, even when a stray verdict follows.
    EXPECT_TRUE(addresses("Flash #0, Block #1\nBlock Status : OK\n\nBlock Status : Fail\n").empty());
    // A record cut short without its status line does not borrow the next verdict.
    EXPECT_EQ(addresses(kHead + "Flash #0, Block #7\n" + record(0, 8, 0, true)), (Blocks{{0, 8}}));
    // The verdict counts only within four lines of the block line.
    EXPECT_TRUE(addresses("Flash #0, Block #7\n    1\n    2\n    3\n    4\nBlock Status : Fail\n").empty());
    EXPECT_EQ(addresses("Flash #0, Block #7\n    1\n    2\n    3\nBlock Status : Fail\n"), (Blocks{{0, 7}}));
}

// Guards against retiring the block of an earlier record when a line holds
// both markers but does not parse, or names a chip beyond 255.
TEST(ScanLogReader, UnparsableBlockLineNamesNoBlock) {
    std::string log = kHead + record(0, 3, 2, true) + "Block #9 of Flash #0\nBlock Status : Fail\n\n" +
                      "Flash #300, Block #1\nBlock Status : Fail\n\n" + record(0, 4, 2, false);
    EXPECT_EQ(addresses(log), (Blocks{{0, 3}}));
    // A block line piece at the start of a long line still counts.
    auto v = badBlocks("Flash #0, Block #2" + std::string(250, ' ') + "\nBlock Status : Fail\n");
    ASSERT_EQ(v.size(), 1u);
    EXPECT_EQ(v[0].blockLine.size(), kMaxLinePiece);
}

// For every stop point of a scan, the listed blocks are exactly the bad ones
// the scan got to, with LF and with CR LF line ends.
TEST(ScanLogReader, ReadsTheLogOfAScanStoppedAtAnyBlock) {
    using namespace scanner;
    using namespace scanner::testing;
    using testsupport::readFile;
    using testsupport::TempDir;
    const Blocks bad = {{0, 0}, {0, 2}, {0, 3}, {1, 1}, {1, 4}, {1, 5}};
    for (long stop = 0; stop <= 12; ++stop) {
        TempDir dir;
        FakeFlash dev;
        dev.geo = makeGeometry(512, {{6, 32}, {6, 32}});
        for (auto [c, b] : bad) dev.markBad(c, b);
        // Records of 0, 1 and 2 spare lines, good and bad.
        dev.spareFails = {{0, 0, 0}, {0, 0, 1}, {0, 1, 0}, {0, 1, 1}, {0, 2, 1}, {1, 0, 0}, {1, 0, 1}, {1, 4, 0}};
        FakeControl ctl;
        ctl.stopAt = stop < 12 ? stop : -1;
        ScanEngine(dev, ctl).run(dir.file("scan.log"), {});
        const std::string text = readFile(dir.file("scan.log"));
        Blocks expected;
        for (auto [c, b] : bad)
            if (c * 6 + long(b) < stop) expected.push_back({c, b});
        EXPECT_EQ(addresses(text), expected) << "stopped before block " << stop;
        EXPECT_EQ(addresses(crlf(text)), expected) << "CR LF, stopped before block " << stop;
    }
}
