// The scan engine over the device library and its simulated flash disk.
#include "scanner/scan_engine.h"
#include "scanner/scan_log.h"
#include "scanner/velk_flash_device.h"

#include "fake_flash.h"
#include "script_run.h"

#include "device/records.h"
#include "marker/log_reader.h"

#include <gtest/gtest.h>

#include <cstring>

using namespace scanner;
using namespace scanner::testing;

namespace {

class ScanDevice : public ScriptedTest {
protected:
    ScanResult scan(VelkHandle h, ScanOptions opt = {}) {
        VelkFlashDevice dev(h);
        FakeControl ctl;
        ScanResult r = ScanEngine(dev, ctl).run(logPath(), opt);
        log = readFile(logPath());
        return r;
    }
    std::string logPath() const { return scanLogPath(work()); }
    std::string log;
};

const std::string kSep = std::string(55, '=') + "\n";
const std::string kFF = "    FF FF FF FF FF FF FF FF FF FF FF FF FF FF FF FF\n";
const std::string kMark5 = "    FF FF FF FF FF 00 FF FF FF FF FF FF FF FF FF FF\n";

}  // namespace

TEST_F(ScanDevice, GoldenLogOfSimulatedDiskWithBadBlocksAndFailingSpareReads) {
    createDevice("fd", "flashdisk", {"chips=2", "blocks=4,2", "pages=32", "pagesize=512", "bad=0:2"});
    fault("fd", "page-read 0 1 1");
    fault("fd", "page-read 0 3 0");
    fault("fd", "page-read 0 3 1");
    fault("fd", "page-read 1 0 0");
    device::List list = device::List::devices(0, 0);
    ASSERT_TRUE(list);
    uint8_t spare[16];
    for (int i = 0; i < 16; ++i) spare[i] = uint8_t(i * 0x11);
    spare[5] = 0xFF;   // the bad-block mark stays clear
    ASSERT_EQ(VelkWriteRedundant(list.get(), 0, 0, 0, 0, spare), 1);
    spare[0] = 0x00;   // a bad mark: chip 1 block 1 turns bad through page 1 only
    spare[5] = 0x00;
    ASSERT_EQ(VelkWriteRedundant(list.get(), 0, 1, 1, 1, spare), 1);

    ScanResult r = scan(list.get());
    ASSERT_EQ(r.outcome, ScanOutcome::Completed);
    EXPECT_EQ(log,
              "This flash Page size is  512 bytes\n"
              "Flash quantity : 2\n"
              "Total blocks   : 0x6\n"
              "Total pages    : 0xC0\n" +
                  kSep +
                  "Flash Number #0 : Block Size = 32 Pages\n"
                  "\n"
                  "Flash #0, Block #0\n"
                  "    00 11 22 33 44 FF 66 77 88 99 AA BB CC DD EE FF\n" +
                  kFF +
                  "Block Status : OK\n"
                  "\n"
                  "Flash #0, Block #1\n" +
                  kFF +
                  "Block Status : OK\n"
                  "\n"
                  "Flash #0, Block #2\n" +
                  kMark5 + kMark5 +
                  "Block Status : Fail\n"
                  "\n"
                  "Flash #0, Block #3\n"
                  "Block Status : OK\n"
                  "\n" +
                  kSep +
                  "Flash Number #1 : Block Size = 32 Pages\n"
                  "\n"
                  "Flash #1, Block #0\n" +
                  kFF +
                  "Block Status : OK\n"
                  "\n"
                  "Flash #1, Block #1\n" +
                  kFF +
                  "    00 11 22 33 44 00 66 77 88 99 AA BB CC DD EE FF\n"
                  "Block Status : Fail\n"
                  "\n"
                  "Bad blocks : 2\n");
    EXPECT_EQ(summaryText(r),
              "Flash quantity = 2\nTotal   blocks = 0x6\nTotal   pages  = 0xC0\nBytes per page=512\n"
              "Bad   blocks   = 2\n");
}

TEST_F(ScanDevice, GeometryFromTheLibraryRecordPerChipAndNothingWithoutList) {
    createDevice("fd", "flashdisk2k", {"chips=3", "blocks=1023,2048,1", "pages=64,128,16"});
    device::List list = device::List::devices(0, 0);
    Geometry g;
    ASSERT_TRUE(VelkFlashDevice(list.get()).geometry(g));
    EXPECT_EQ(g.pageSize, 2048);
    ASSERT_EQ(g.chipCount(), 3);
    EXPECT_EQ(std::make_pair(g.chips[1].blockCount, g.chips[1].pagesPerBlock), std::make_pair(2048u, uint16_t(128)));
    EXPECT_EQ(std::make_pair(g.chips[2].blockCount, g.chips[2].pagesPerBlock), std::make_pair(1u, uint16_t(16)));
    VelkFlashDevice none(nullptr);
    uint8_t buf[kSpareBufferSize];
    EXPECT_FALSE(none.geometry(g) || none.readSpare(0, 0, 0, buf) || none.isGoodBlock(0, 0));
}

// Regression: the library failed the geometry query of a device without
// flash, so the scanner said "Device not found" about a device that is there.
// The library reports 0 chips and the scan gives the 0-chip log: the header
// lines and the closing line.
TEST_F(ScanDevice, DeviceWithoutFlashChipsGivesTheZeroChipLog) {
    createDevice("fd", "flashdisk", {"chips=0"});
    createDevice("rd", "reader");
    for (uint16_t pid : {0x0721, 0x0760}) {
        SCOPED_TRACE(pid);
        device::List list = device::List::devices(0x3A7C, pid);
        ASSERT_TRUE(list);
        ScanResult r = scan(list.get(), {false, true});
        ASSERT_EQ(r.outcome, ScanOutcome::Completed);
        EXPECT_EQ(log,
                  "This flash Page size is  0 bytes\nFlash quantity : 0\nTotal blocks   : 0x0\n"
                  "Total pages    : 0x0\nBad blocks : 0\n");
        EXPECT_EQ(summaryText(r), "Flash quantity = 0\nTotal   blocks = 0x0\nTotal   pages  = 0x0\n"
                                  "Bytes per page=0\nAll blocks are good!");
    }
}

namespace {

// The library's device, unplugged from the simulated bus just before the
// good-block query of block `at`.
struct UnpluggedAt : VelkFlashDevice {
    UnpluggedAt(VelkHandle h, std::string name, uint32_t at) : VelkFlashDevice(h), name_(std::move(name)), at_(at) {}
    bool isGoodBlock(uint8_t chip, uint32_t block) override {
        if (chip == 0 && block == at_ && !done_) {
            done_ = true;
            EXPECT_EQ(VelkSimUnplug(name_.c_str()), 1);
        }
        return VelkFlashDevice::isGoodBlock(chip, block);
    }
    std::string name_;
    uint32_t at_;
    bool done_ = false;
};

}  // namespace

// Regression: a device unplugged during a scan left a log with every
// remaining block marked "Fail", and the marker retired them all on the next
// device. Now the log ends with the last block read, and what the marker
// finds in it is exactly the device's bad blocks up to there.
TEST_F(ScanDevice, UnplugMidScanLeavesALogThatNamesOnlyRealBadBlocks) {
    createDevice("fd", "flashdisk", {"chips=2", "blocks=1024", "bad=0:17,0:300,1:5"});
    device::List list = device::List::devices(0, 0);
    ASSERT_TRUE(list);
    UnpluggedAt dev(list.get(), "fd", 600);
    FakeControl ctl;
    const ScanResult r = ScanEngine(dev, ctl).run(logPath(), {});
    log = readFile(logPath());
    EXPECT_EQ(r.outcome, ScanOutcome::DeviceRemoved);
    EXPECT_EQ(log.rfind("Flash #"), log.find("Flash #0, Block #599\n"));
    EXPECT_EQ(log.substr(log.size() - 19), "Block Status : OK\n\n");

    ASSERT_EQ(VelkSimPlug("fd"), 1);
    marker::LineReader lines{std::string_view(log)};
    marker::ScanLogReader reader(lines);
    std::vector<std::pair<int, uint32_t>> listed;
    while (auto b = reader.next()) listed.push_back({b->chip, b->block});
    EXPECT_EQ(listed, (std::vector<std::pair<int, uint32_t>>{{0, 17}, {0, 300}}));
}

TEST_F(ScanDevice, EraseOptionsOnTheSimulatedFlash) {
    // Page 3 of every block holds data; after the scan an erased block reads FFh.
    auto prepare = [&](VelkHandle h) {
        std::vector<uint8_t> page(512, 0x5A);
        for (uint32_t b = 0; b < 4; ++b) ASSERT_EQ(VelkWritePhysical(h, 0, 0, b, 3, page.data()), 1);
        ASSERT_EQ(VelkSetLastFormatProgress(h, 0, 77, 88), 1);
    };
    auto erased = [&](VelkHandle h) {
        std::vector<bool> out;
        std::vector<uint8_t> page(512);
        for (uint32_t b = 0; b < 4; ++b) {
            EXPECT_EQ(VelkReadPhysical(h, 0, 0, b, 3, page.data()), 1);
            out.push_back(page[0] == 0xFF && page[511] == 0xFF);
        }
        return out;
    };
    auto progress = [](VelkHandle h) {
        int32_t a = -1, b = -1;
        VelkGetLastFormatProgress(h, 0, &a, &b);
        return std::make_pair(a, b);
    };
    createDevice("fd", "flashdisk", {"chips=1", "blocks=4", "pages=32", "bad=0:1"});
    device::List list = device::List::devices(0, 0);
    VelkHandle h = list.get();

    prepare(h);
    scan(h);
    EXPECT_EQ(erased(h), (std::vector<bool>{false, false, false, false}));
    EXPECT_EQ(progress(h), std::make_pair(77, 88));   // untouched without an erase option

    scan(h, {false, true});   // erase-good: the bad block keeps its data
    EXPECT_EQ(erased(h), (std::vector<bool>{true, false, true, true}));
    EXPECT_EQ(progress(h), std::make_pair(1, 0));

    prepare(h);
    scan(h, {true, false});   // erase-all: every block, and the factory-bad one stays bad
    EXPECT_EQ(erased(h), (std::vector<bool>{true, true, true, true}));
    EXPECT_EQ(VelkIsGoodBlock(h, 0, 0, 1), 0);
    EXPECT_EQ(progress(h), std::make_pair(1, 0));
}
