#include "scanner/scan_engine.h"
#include "scanner/scan_log.h"

#include "fake_flash.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

using namespace scanner;
using namespace scanner::testing;
using testsupport::readFile;
using testsupport::TempDir;

namespace {

struct Scan {
    TempDir dir;
    FakeFlash dev;
    FakeControl ctl;
    ScanResult result;
    std::string log;

    std::string path() const { return dir.file("scan.log"); }
    const ScanResult& run(ScanOptions opt = {}) {
        result = ScanEngine(dev, ctl).run(path(), opt);
        log = std::filesystem::exists(path()) ? readFile(path()) : std::string();
        return result;
    }
    bool has(const std::string& what) const { return log.find(what) != std::string::npos; }
    // The log from the first line that starts with `from`.
    std::string tail(const std::string& from) const {
        size_t p = log.rfind("\n" + from);
        return p == std::string::npos ? std::string() : log.substr(p + 1);
    }
    long traced(const std::string& call) const { return std::count(dev.trace.begin(), dev.trace.end(), call); }
};

}  // namespace

TEST(ScanEngine, BlocksAreQueriedAndReadTwiceInOrderWithOneOpenPerChip) {
    Scan s;
    s.dev.geo = makeGeometry(2048, {{2, 64}, {0, 64}});
    // A 64-byte spare area fits the buffer; the log shows its first 16 bytes.
    s.dev.spareFill = [](uint8_t, uint32_t b, uint8_t page, uint8_t* buf) {
        for (size_t i = 0; i < 64; ++i) buf[i] = uint8_t(b * 0x40 + page * 0x20 + i);
    };
    s.dev.spareFails = {{0, 1, 0}};
    s.run();
    EXPECT_EQ(s.dev.trace, (std::vector<std::string>{"open", "good 0 0", "read 0 0 0", "good 0 0", "read 0 0 1",
                                                     "good 0 1", "read 0 1 0", "good 0 1", "read 0 1 1", "close",
                                                     "open", "close"}));
    EXPECT_EQ(s.tail("Flash #0, Block #0"),
              "Flash #0, Block #0\n"
              "    00 01 02 03 04 05 06 07 08 09 0A 0B 0C 0D 0E 0F\n"
              "    20 21 22 23 24 25 26 27 28 29 2A 2B 2C 2D 2E 2F\n"
              "Block Status : OK\n\n"
              "Flash #0, Block #1\n"
              "    60 61 62 63 64 65 66 67 68 69 6A 6B 6C 6D 6E 6F\n"
              "Block Status : OK\n\n" +
                  std::string(55, '=') +
                  "\nFlash Number #1 : Block Size = 64 Pages\n\n"   // a chip of 0 blocks: nothing more
                  "Bad blocks : 0\n");
}

TEST(ScanEngine, ZeroChipsGiveHeaderClosingLineAndAllGoodSummary) {
    Scan s;
    s.dev.geo = makeGeometry(512, {});
    ASSERT_EQ(s.run({true, false}).outcome, ScanOutcome::Completed);
    EXPECT_EQ(s.log,
              "This flash Page size is  512 bytes\nFlash quantity : 0\nTotal blocks   : 0x0\nTotal pages    : 0x0\n"
              "Bad blocks : 0\n");
    EXPECT_EQ(summaryText(s.result),
              "Flash quantity = 0\nTotal   blocks = 0x0\nTotal   pages  = 0x0\nBytes per page=512\n"
              "All blocks are good!");
    s.result.totalBlocks = 0x8000;
    s.result.totalPages = 0x1ABCDE;
    s.result.badTotal = 12;
    EXPECT_EQ(summaryText(s.result),
              "Flash quantity = 0\nTotal   blocks = 0x8000\nTotal   pages  = 0x1ABCDE\nBytes per page=512\n"
              "Bad   blocks   = 12\n");
}

TEST(ScanEngine, ZoneLinesForCompleteZonesShowRunningTotalOverChipsModulo256) {
    {   // chip 0: 1023 blocks, 3 bad, no zone line; chip 1: 2048 blocks, none bad, its
        // zones show 3; chip 2: 2500 blocks, zones 0 and 1 only, zone 1 counted at block 2047
        Scan s;
        s.dev.traceCalls = false;
        s.dev.geo = makeGeometry(512, {{1023, 32}, {2048, 32}, {2500, 32}});
        for (auto [c, b] : {std::pair{0, 0u}, {0, 500u}, {0, 1022u}, {2, 2047u}, {2, 2400u}}) s.dev.markBad(c, b);
        s.run();
        EXPECT_FALSE(s.has("Flash #0, Zone #"));
        EXPECT_TRUE(s.has("Block Status : OK\n\n"
                          "Flash #1, Zone #0 Bad Block total : 3\n"
                          "Flash #1, Zone #1 Bad Block total : 3\n"));
        EXPECT_EQ(s.tail("Flash #2, Zone #0"),
                  "Flash #2, Zone #0 Bad Block total : 3\nFlash #2, Zone #1 Bad Block total : 4\nBad blocks : 5\n");
    }
    {   // 257 bad blocks at the end of a zone show as 1
        Scan s;
        s.dev.traceCalls = false;
        s.dev.geo = makeGeometry(512, {{1024, 32}});
        for (uint32_t b = 0; b < 257; ++b) s.dev.markBad(0, b * 3);
        s.run();
        EXPECT_EQ(s.tail("Flash #0, Zone #0"), "Flash #0, Zone #0 Bad Block total : 1\nBad blocks : 257\n");
    }
}

// Guards against writing past a 128-entry zone table on a chip of more than
// 131072 blocks.
TEST(ScanEngine, ChipBeyond128ZonesKeepsEveryZoneTotal) {
    Scan s;
    s.dev.traceCalls = false;
    s.dev.geo = makeGeometry(512, {{130 * 1024, 32}});
    s.dev.spareFill = [](uint8_t, uint32_t, uint8_t, uint8_t* buf) { std::fill(buf, buf + kSpareBufferSize, 0xFF); };
    s.dev.markBad(0, 129 * 1024 + 7);
    s.run();
    EXPECT_EQ(s.tail("Flash #0, Zone #128"),
              "Flash #0, Zone #128 Bad Block total : 0\nFlash #0, Zone #129 Bad Block total : 1\nBad blocks : 1\n");
}

TEST(ScanEngine, EraseRulesFollowBothQueriesAndTheOptions) {
    auto scan = [](ScanOptions opt) {
        auto s = std::make_unique<Scan>();
        s->dev.geo = makeGeometry(512, {{6, 32}});
        s->dev.badFirst = {{0, 3}};    // bad on the first query only
        s->dev.badSecond = {{0, 4}};   // bad on the second query only
        s->run(opt);
        return s;
    };
    using Blocks = std::vector<std::pair<int, uint32_t>>;
    auto good = scan({false, true});   // erase-good never erases a block either query called bad
    EXPECT_EQ(good->dev.erased, (Blocks{{0, 0}, {0, 1}, {0, 2}, {0, 5}}));
    EXPECT_EQ(good->result.badTotal, 2u);
    EXPECT_EQ(std::vector<std::string>(good->dev.trace.begin(), good->dev.trace.begin() + 3),
              (std::vector<std::string>{"open", "getprogress", "close"}));
    EXPECT_EQ(std::vector<std::string>(good->dev.trace.end() - 3, good->dev.trace.end()),
              (std::vector<std::string>{"open", "setprogress 1 0", "close"}));

    auto all = scan({true, false});   // erase-all: every block, each after its two reads
    EXPECT_EQ(all->dev.erased.size(), 6u);
    auto at = std::find(all->dev.trace.begin(), all->dev.trace.end(), "erase 0 3");
    ASSERT_NE(at, all->dev.trace.end());
    EXPECT_EQ(*(at - 1), "read 0 3 1");

    auto none = scan({});   // no option: nothing erased, the format-progress pair left alone
    EXPECT_TRUE(none->dev.erased.empty());
    EXPECT_EQ(none->traced("getprogress") + none->traced("setprogress 1 0"), 0);
}

TEST(ScanEngine, ProgressCountsPagesOfFinishedBlocksAndNeverDividesByZero) {
    Scan s;
    s.dev.geo = makeGeometry(512, {{2, 32}, {2, 96}});   // 256 pages
    s.run();
    EXPECT_EQ(s.ctl.positions, (std::vector<int>{0, 12, 25, 62}));   // 0, 32, 64, 160 pages done

    Scan zero;   // blocks of 0 pages: total pages 0
    zero.dev.geo = makeGeometry(512, {{3, 0}});
    ASSERT_EQ(zero.run().outcome, ScanOutcome::Completed);
    EXPECT_EQ(zero.ctl.positions, (std::vector<int>{0}));
    EXPECT_TRUE(zero.has("Total pages    : 0x0\n"));
}

TEST(ScanEngine, StopEndsLogAfterLastCompleteRecord) {
    const std::string head =
        "This flash Page size is  512 bytes\nFlash quantity : 2\nTotal blocks   : 0x8\nTotal pages    : 0x100\n" +
        std::string(55, '=') + "\nFlash Number #0 : Block Size = 32 Pages\n\n";
    Scan before;   // stopped before the first block (as during the erase question)
    before.dev.geo = makeGeometry(512, {{4, 32}, {4, 32}});
    before.ctl.stopAt = 0;
    ASSERT_EQ(before.run({true, false}).outcome, ScanOutcome::Stopped);
    EXPECT_EQ(before.log, head);
    EXPECT_TRUE(before.dev.erased.empty());
    EXPECT_EQ(before.traced("setprogress 2 0"), 0);
    EXPECT_EQ(before.dev.openDepth, 0);

    Scan mid;   // stopped before block 6 overall (chip 1, block 2): no zone or closing line
    mid.dev.geo = makeGeometry(512, {{4, 32}, {4, 32}});
    mid.dev.markBad(1, 1);
    mid.dev.spareFails = {{1, 1, 0}, {1, 1, 1}};
    mid.ctl.stopAt = 6;
    ASSERT_EQ(mid.run().outcome, ScanOutcome::Stopped);
    EXPECT_EQ(mid.tail("Flash #1, Block #1"), "Flash #1, Block #1\nBlock Status : Fail\n\n");
    EXPECT_EQ(mid.dev.openDepth, 0);
    EXPECT_EQ(mid.dev.trace.back(), "close");
}

TEST(ScanEngine, FailedGeometryOrLogCreationMakesNoDeviceCall) {
    Scan s;
    {
        std::FILE* f = std::fopen(s.path().c_str(), "wb");
        std::fputs("older log\n", f);
        std::fclose(f);
    }
    s.dev.geometryFails = true;   // an older log stays as it was
    ASSERT_EQ(s.run().outcome, ScanOutcome::NoGeometry);
    EXPECT_EQ(s.log, "older log\n");
    EXPECT_EQ(s.dev.calls, 0);

    s.dev.geometryFails = false;
    s.dev.geo = makeGeometry(512, {{4, 32}});
    ScanResult r = ScanEngine(s.dev, s.ctl).run(s.dir.file("no/such/dir/scan.log"), {true, false});
    EXPECT_EQ(r.outcome, ScanOutcome::LogCreateFailed);
    EXPECT_EQ(s.dev.calls, 0);
    EXPECT_TRUE(s.ctl.positions.empty());
}

// Regression: when the device left the bus during a scan, every remaining
// block was logged "Block Status : Fail" (and the marker then retired them
// all on the next device). The scan stops as Stop stops it and the log ends
// with the last block really read.
TEST(ScanEngine, DeviceLeavingTheBusEndsTheLogWithTheLastBlockRead) {
    for (const char* lastCall : {"good 0 40", "read 0 40 0", "good 0 40 second", "read 0 40 1"}) {
        SCOPED_TRACE(lastCall);
        Scan s;
        s.dev.traceCalls = false;
        s.dev.geo = makeGeometry(512, {{100, 32}, {100, 32}});
        s.dev.markBad(0, 7);
        // The device goes away at one of the four calls of block 40.
        int goods = 0;
        s.dev.onCall = [&](const std::string& call) {
            if (call == "good 0 40") ++goods;
            const std::string name = call == "good 0 40" && goods == 2 ? "good 0 40 second" : call;
            if (name == lastCall) s.dev.gone = true;
        };
        ASSERT_EQ(s.run({false, true}).outcome, ScanOutcome::DeviceRemoved);
        EXPECT_EQ(s.tail("Flash #0, Block #39"), "Flash #0, Block #39\n"
                                                  "    27 28 29 2A 2B 2C 2D 2E 2F 30 31 32 33 34 35 36\n"
                                                  "    37 38 39 3A 3B 3C 3D 3E 3F 40 41 42 43 44 45 46\n"
                                                  "Block Status : OK\n\n");
        EXPECT_FALSE(s.has("Block #40"));
        EXPECT_FALSE(s.has("Bad blocks"));
        EXPECT_EQ(s.result.badTotal, 1u);   // block 7 only
        EXPECT_EQ(s.dev.openDepth, 0);
        EXPECT_EQ(s.traced("setprogress 2 0"), 0);   // as after Stop
    }
}

TEST(ScanEngine, FailingBlocksOfADevicePresentStayFailAndAGoneChipEndsAtItsChipLine) {
    Scan failing;   // the device is there: a block whose calls fail is a bad block
    failing.dev.geo = makeGeometry(512, {{4, 32}});
    failing.dev.markBad(0, 2);
    failing.dev.spareFails = {{0, 2, 0}, {0, 2, 1}, {0, 3, 1}};
    ASSERT_EQ(failing.run().outcome, ScanOutcome::Completed);
    EXPECT_EQ(failing.tail("Flash #0, Block #2"), "Flash #0, Block #2\nBlock Status : Fail\n\n"
                                                  "Flash #0, Block #3\n"
                                                  "    03 04 05 06 07 08 09 0A 0B 0C 0D 0E 0F 10 11 12\n"
                                                  "Block Status : OK\n\nBad blocks : 1\n");
    EXPECT_EQ(failing.dev.presenceChecks, 2);   // asked only after the blocks with a failed call
    Scan clean;
    clean.dev.geo = makeGeometry(512, {{50, 32}});
    clean.run();
    EXPECT_EQ(clean.dev.presenceChecks, 0);

    Scan gone;   // gone between the chips: chip 1 cannot be opened
    gone.dev.geo = makeGeometry(512, {{3, 32}, {3, 32}});
    int opens = 0;
    gone.dev.onCall = [&](const std::string& call) {
        if (call == "open" && ++opens == 2) gone.dev.gone = true;
    };
    ASSERT_EQ(gone.run().outcome, ScanOutcome::DeviceRemoved);
    EXPECT_EQ(gone.tail("Flash Number #1"), "Flash Number #1 : Block Size = 32 Pages\n\n");
    EXPECT_EQ(gone.dev.openDepth, 0);
}

// The record taken back never reached the file, however long the log: the
// log goes to the file only between records.
TEST(ScanEngine, DeviceLeavingLateInALongScanLeavesNoPartOfTheUnreadRecord) {
    Scan s;
    s.dev.traceCalls = false;
    s.dev.geo = makeGeometry(512, {{8192, 32}});
    for (uint32_t b = 0; b < 8192; b += 97) s.dev.markBad(0, b);
    s.dev.onCall = [&](const std::string& call) {
        if (call == "read 0 6543 1") s.dev.gone = true;
    };
    ASSERT_EQ(s.run().outcome, ScanOutcome::DeviceRemoved);
    ASSERT_GT(s.log.size(), 5u * 64 * 1024);
    EXPECT_EQ(s.log.substr(s.log.size() - 19), "Block Status : OK\n\n");
    EXPECT_EQ(s.log.rfind("Flash #0, Block #"), s.log.find("Flash #0, Block #6542\n"));
    EXPECT_EQ(s.result.badTotal, 6543u / 97 + 1);
}
