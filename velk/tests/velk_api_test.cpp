// The device library's operations against the simulated controller: results
// are checked on the simulator's state (what is on the LUN, the flash, the
// EEPROM, the ROM), read back through the library.
#include "sim_fixture.h"

#include "regstore.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <numeric>
#include <random>
#include <poll.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace velktest;

namespace {

constexpr uint8_t kFill = 0xA5;  // neither 00h nor FFh

std::vector<uint8_t> pattern(size_t n, uint32_t seed) {
    std::vector<uint8_t> v(n);
    std::mt19937 rng(seed);
    for (auto& b : v) b = uint8_t(rng());
    return v;
}

class VelkApi : public SimTest {};

}  // namespace

TEST_F(VelkApi, DeviceListsMatchVendorAndProduct) {
    EXPECT_EQ(VelkCreateDeviceList(0, 0, 1), nullptr) << "empty bus lists nothing";
    create("fd", "flashdisk");
    create("cd", "cdrom");
    {
        Handle any(VelkCreateDeviceList(0, 0));
        EXPECT_NE(any.h, nullptr);
    }
    Handle cd(VelkCreateDeviceList(0x3A7C, 0x070A, 1));
    ASSERT_NE(cd.h, nullptr);
    uint32_t sectors = 0, bl = 0;
    ASSERT_EQ(VelkReadCapacity(cd, 0, &sectors, &bl), 1);
    EXPECT_EQ(bl, 2048u) << "the cdrom profile's LUN 0 has 2048-byte sectors";
    EXPECT_EQ(VelkCreateDeviceList(0x1234, 0, 1), nullptr);
    EXPECT_EQ(VelkCreateDeviceList(0x3A7C, 0x9999), nullptr);
    VelkHandle phy = VelkCreatePhyDrvList(0, 0x0721);
    ASSERT_NE(phy, nullptr);
    EXPECT_EQ(VelkIsGoodBlock(phy, 0, 0, 0), 1);
    EXPECT_EQ(VelkDestroyPhyDrvList(phy), 1);
    EXPECT_EQ(VelkDestroyDeviceList(nullptr), 0);
    // Unplugged devices are not listed.
    ASSERT_EQ(VelkSimUnplug("cd"), 1);
    EXPECT_EQ(VelkCreateDeviceList(0x3A7C, 0x070A), nullptr);
}

TEST_F(VelkApi, UnpluggedHandleFailsSafelyAndRecovers) {
    create("r", "reader");
    Handle h(VelkCreateDeviceList(0, 0, 1));
    ASSERT_NE(h.h, nullptr);
    ASSERT_EQ(VelkSimUnplug("r"), 1);
    std::vector<uint8_t> buf(512, kFill);
    DRIVE_INFO_COMMON* info = nullptr;
    uint8_t count = 0;
    uint32_t s = 7, b = 7;
    EXPECT_EQ(VelkOpenDevice(h, 0), 0);
    EXPECT_EQ(VelkReadLBA(h, 0, 0, 1, buf.data()), 0);
    EXPECT_EQ(VelkWriteLBA(h, 0, 0, 1, buf.data()), 0);
    EXPECT_EQ(VelkGetDriveInfo(h, &info, &count), 0);
    EXPECT_EQ(VelkReadCapacity(h, 0, &s, &b), 0);
    EXPECT_EQ(s, 7u) << "outputs untouched while gone";
    EXPECT_TRUE(std::all_of(buf.begin(), buf.end(), [](uint8_t v) { return v == kFill; }));
    ASSERT_EQ(VelkSimPlug("r"), 1);
    EXPECT_EQ(VelkReadLBA(h, 0, 0, 1, buf.data()), 1) << "the same handle works again once plugged";
    // A removed device: the handle stays safe.
    ASSERT_EQ(VelkSimRemove("r"), 1);
    EXPECT_EQ(VelkReadLBA(h, 0, 0, 1, buf.data()), 0);
    EXPECT_EQ(VelkEraseExternalROM(h, 0), 0);
}

TEST_F(VelkApi, DriveInformationOfAReader) {
    create("r", "reader");
    Handle h(VelkCreateDeviceList(0, 0, 1));
    DRIVE_INFO_COMMON* info = nullptr;
    uint8_t count = 0;
    ASSERT_EQ(VelkGetDriveInfo(h, &info, &count), 1);
    ASSERT_EQ(count, 4);
    EXPECT_EQ(info[0].LunCount, 4);
    EXPECT_EQ(info[0].DeviceClass, 0x10);
    // CF and SD/MMC hold media, SM/XD and MS/Pro are empty.
    EXPECT_EQ(info[0].MediaFlags, VELK_MEDIA_CF);
    EXPECT_EQ(info[1].MediaFlags, 0);
    EXPECT_EQ(info[2].MediaFlags, VELK_MEDIA_SDMMC);
    EXPECT_EQ(info[3].MediaFlags, 0);
    EXPECT_EQ(uint8_t(info[4].DriveLetter), 0xFF) << "end marker after the last LUN";
    for (int i = 0; i < 4; ++i) EXPECT_EQ(info[i].DriveLetter, char('D' + i));
    // Inserting a medium shows in the next query, in place.
    ASSERT_EQ(VelkSimSetMedia("r", 3, 1), 1);
    DRIVE_INFO_COMMON* again = nullptr;
    ASSERT_EQ(VelkGetDriveInfo(h, &again, &count), 1);
    EXPECT_EQ(again, info) << "the record stays where it is";
    EXPECT_EQ(info[3].MediaFlags, VELK_MEDIA_MS);
    // Firmware version from the ROM (bytes 32-35 of FirmwareInfo).
    ASSERT_NE(info[0].FirmwareInfo, 0u);
    const uint8_t* fw = reinterpret_cast<const uint8_t*>(info) + info[0].FirmwareInfo;
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(fw) + 32, 4), "0100");
    EXPECT_EQ(VelkGetDriveInfo(h, nullptr, &count), 0);
    EXPECT_EQ(VelkGetDriveInfo(h, &info, nullptr), 0);
}

TEST_F(VelkApi, DriveInformationFaults) {
    create("r", "reader16", {"version=1A2B"});
    Handle h(VelkCreateDeviceList(0, 0, 1));
    DRIVE_INFO_COMMON* info = nullptr;
    uint8_t count = 0;
    ASSERT_EQ(VelkGetDriveInfo(h, &info, &count), 1);
    const uint8_t* fw = reinterpret_cast<const uint8_t*>(info) + info[0].FirmwareInfo;
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(fw) + 32, 4), "1A2B");
    ASSERT_EQ(VelkSimFault("r", "lun-count 3"), 1);
    ASSERT_EQ(VelkGetDriveInfo(h, &info, &count), 1);
    EXPECT_EQ(count, 4);
    EXPECT_EQ(info[0].LunCount, 3) << "a LunCount fault makes the device disagree with the out-count";
    ASSERT_EQ(VelkSimFault("r", "drive-info"), 1);
    DRIVE_INFO_COMMON* untouched = nullptr;
    EXPECT_EQ(VelkGetDriveInfo(h, &untouched, &count), 0);
    EXPECT_EQ(untouched, nullptr);
    ASSERT_EQ(VelkSimFault("r", "clear"), 1);
    EXPECT_EQ(VelkGetDriveInfo(h, &info, &count), 1);
    EXPECT_EQ(info[0].LunCount, 4);
}

TEST_F(VelkApi, LbaReadWriteAndEmptySlots) {
    create("r", "reader", {"lun0.size=1M"});
    Handle h(VelkCreateDeviceList(0, 0, 1));
    uint32_t sectors = 0, bl = 0;
    ASSERT_EQ(VelkReadCapacity(h, 0, &sectors, &bl), 1);
    EXPECT_EQ(sectors, 2048u);
    EXPECT_EQ(bl, 512u);
    auto data = pattern(512, 1);
    std::vector<uint8_t> back(512);
    for (uint32_t lba : {0u, 1u, sectors - 1}) {
        auto d = pattern(512, lba + 10);
        ASSERT_EQ(VelkWriteLBA(h, 0, lba, 1, d.data()), 1);
        ASSERT_EQ(VelkReadLBA(h, 0, lba, 1, back.data()), 1);
        EXPECT_EQ(back, d) << "lba " << lba;
    }
    EXPECT_EQ(VelkWriteLBA(h, 0, sectors, 1, data.data()), 0) << "one past the end";
    EXPECT_EQ(VelkReadLBA(h, 0, 0xFFFFFFFFu, 1, back.data()), 0);
    EXPECT_EQ(VelkReadLBA(h, 0, 0, 2, back.data()), 0) << "one sector per call";
    EXPECT_EQ(VelkReadLBA(h, 0, 0, 1, nullptr), 0);
    EXPECT_EQ(VelkReadLBA(h, 9, 0, 1, back.data()), 0) << "no such LUN";
    // Empty slot (LUN 1): capacity reports 0 and fails, I/O fails.
    sectors = bl = 99;
    EXPECT_EQ(VelkReadCapacity(h, 1, &sectors, &bl), 0);
    EXPECT_EQ(sectors, 0u);
    uint8_t type = 0xEE;
    EXPECT_EQ(VelkGetLunMediaType(h, 1, &type), 1);
    EXPECT_EQ(type, 0);
    EXPECT_EQ(VelkGetLunMediaType(h, 2, &type), 1);
    EXPECT_EQ(type, VELK_MEDIA_SDMMC);
    EXPECT_EQ(VelkReadLBA(h, 1, 0, 1, back.data()), 0);
    // Ejecting keeps the data for the next insertion.
    ASSERT_EQ(VelkSimSetMedia("r", 0, 0), 1);
    EXPECT_EQ(VelkReadLBA(h, 0, 0, 1, back.data()), 0);
    ASSERT_EQ(VelkSimSetMedia("r", 0, 1), 1);
    ASSERT_EQ(VelkReadLBA(h, 0, 1, 1, back.data()), 1);
    EXPECT_EQ(back, pattern(512, 11));
}

TEST_F(VelkApi, WriteProtectRefusesWrites) {
    create("fd", "flashdisk", {"lun0.size=1M"});
    Handle h(VelkCreateDeviceList(0, 0));
    auto d = pattern(512, 3);
    ASSERT_EQ(VelkWriteLBA(h, 0, 5, 1, d.data()), 1);
    ASSERT_EQ(VelkSimSetWriteProtect("fd", 1), 1);
    uint8_t status = 0;
    ASSERT_EQ(VelkGetUFDStatus(h, 0, &status), 1);
    EXPECT_EQ(status & 1, 1);
    auto other = pattern(512, 4);
    EXPECT_EQ(VelkWriteLBA(h, 0, 5, 1, other.data()), 0);
    uint8_t progress = 0, abort = 0;
    EXPECT_EQ(VelkLogicalFormat(h, 0, &progress, &abort), 0);
    std::vector<uint8_t> back(512);
    ASSERT_EQ(VelkReadLBA(h, 0, 5, 1, back.data()), 1);
    EXPECT_EQ(back, d) << "nothing changed under write protection";
    ASSERT_EQ(VelkSimSetWriteProtect("fd", 0), 1);
    ASSERT_EQ(VelkGetUFDStatus(h, 0, &status), 1);
    EXPECT_EQ(status & 1, 0);
}

TEST_F(VelkApi, LbaFaults) {
    create("r", "ide", {"lun0.size=1M"});
    Handle h(VelkCreateDeviceList(0, 0));
    auto d = pattern(512, 5);
    std::vector<uint8_t> back(512, kFill);
    ASSERT_EQ(VelkWriteLBA(h, 0, 100, 1, d.data()), 1);
    ASSERT_EQ(VelkSimFault("r", "lba-read 0 100"), 1);
    EXPECT_EQ(VelkReadLBA(h, 0, 100, 1, back.data()), 0);
    EXPECT_EQ(back, std::vector<uint8_t>(512, kFill)) << "a failed read leaves the buffer";
    EXPECT_EQ(VelkReadLBA(h, 0, 101, 1, back.data()), 1);
    ASSERT_EQ(VelkSimFault("r", "lba-write 0 7"), 1);
    EXPECT_EQ(VelkWriteLBA(h, 0, 7, 1, d.data()), 0);
    ASSERT_EQ(VelkSimFault("r", "clear"), 1);
    ASSERT_EQ(VelkSimFault("r", "lba-corrupt 0 100"), 1);
    ASSERT_EQ(VelkReadLBA(h, 0, 100, 1, back.data()), 1);
    EXPECT_NE(back, d) << "the sector reads back wrong";
    EXPECT_EQ(VelkSimFault("r", "lba-read 0 999999"), 0) << "outside the LUN";
    EXPECT_EQ(VelkSimFault("r", "lba-read x 1"), 0);
}

TEST_F(VelkApi, LogicalFormatWritesAFileSystemAndMovesProgress) {
    create("fd", "flashdisk", {"lun0.size=32M"});
    Handle h(VelkCreateDeviceList(0, 0));
    uint8_t progress = 0, abort = 0;
    ASSERT_EQ(VelkLogicalFormat(h, 0, &progress, &abort), 1);
    EXPECT_EQ(progress, 100);
    std::vector<uint8_t> boot(512);
    ASSERT_EQ(VelkReadLBA(h, 0, 0, 1, boot.data()), 1);
    EXPECT_EQ(boot[510], 0x55);
    EXPECT_EQ(boot[511], 0xAA);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(boot.data()) + 54, 5), "FAT16") << "32 MiB formats as FAT16";
    // Abort set before the call: returns 0, progress not raised to 100.
    progress = 0;
    abort = 1;
    EXPECT_EQ(VelkLogicalFormat(h, 0, &progress, &abort), 0);
    EXPECT_LT(progress, 100);
    // NULL progress/abort are allowed; the CD-ROM area is not formatted.
    EXPECT_EQ(VelkLogicalFormat(h, 0, nullptr, nullptr), 1);
    create("cd", "cdrom");
    Handle cd(VelkCreateDeviceList(0x3A7C, 0x070A));
    progress = 0;
    abort = 0;
    EXPECT_EQ(VelkLogicalFormat(cd, 0, &progress, &abort), 0);
    EXPECT_EQ(progress, 100) << "a refused format still lets a progress follower finish";
    EXPECT_EQ(VelkLogicalFormat(cd, 1, &progress, &abort), 1) << "the data LUN formats";
}

// The LUN image as the checkers see it: fsck.fat -n accepts it, mdir lists it.
TEST_F(VelkApi, LogicalFormatPassesFsckAndMtoolsAtEveryFatSize) {
    if (std::system("command -v fsck.fat >/dev/null && command -v mdir >/dev/null") != 0)
        GTEST_SKIP() << "dosfstools and mtools are not installed (scripts/install-deps.sh installs them)";
    struct Case {
        const char* size;
        const char* fat;
    };
    for (auto [size, fat] : {Case{"4M", "FAT12"}, Case{"64M", "FAT16"}, Case{"600M", "FAT32"}}) {
        SCOPED_TRACE(size);
        std::string name = std::string("fd") + size;
        create(name, "flashdisk", {std::string("lun0.size=") + size});
        Handle h(VelkCreateDeviceList(0, 0));
        ASSERT_NE(h.h, nullptr);
        uint8_t progress = 0, abort = 0;
        ASSERT_EQ(VelkLogicalFormat(h, 0, &progress, &abort), 1);
        std::vector<uint8_t> boot(512);
        ASSERT_EQ(VelkReadLBA(h, 0, 0, 1, boot.data()), 1);
        std::string bs(boot.begin(), boot.end());
        EXPECT_NE(bs.find(fat), std::string::npos) << "chosen by size as mkfs.fat chooses";
        std::string img = dir_ + "/devices/" + name + "/lun0.img";
        EXPECT_EQ(std::system(("fsck.fat -n '" + img + "' >/dev/null 2>&1").c_str()), 0);
        EXPECT_EQ(std::system(("MTOOLS_SKIP_CHECK=1 mdir -i '" + img + "' :: >/dev/null 2>&1").c_str()), 0);
        ASSERT_EQ(VelkSimUnplug(name.c_str()), 1);
    }
}

TEST_F(VelkApi, LogicalFormatWriteFaultFails) {
    create("fd", "flashdisk", {"lun0.size=8M"});
    Handle h(VelkCreateDeviceList(0, 0));
    ASSERT_EQ(VelkSimFault("fd", "lba-write 0 1"), 1);
    uint8_t progress = 0, abort = 0;
    EXPECT_EQ(VelkLogicalFormat(h, 0, &progress, &abort), 0);
    EXPECT_EQ(progress, 100);
}

TEST_F(VelkApi, SafeRemoveAndAutoReplug) {
    create("a", "reader");
    create("b", "reader", {"autoreplug=500"});
    uint64_t seq = VelkSimBusSequence();
    {
        Handle h(VelkCreateDeviceList(0, 0x0760));
        ASSERT_EQ(VelkSafeRemove(h, 0), 1);
        EXPECT_EQ(VelkOpenDevice(h, 0), 0);
    }
    EXPECT_GT(VelkSimBusSequence(), seq) << "a detach is a bus change";
    EXPECT_EQ(VelkSimNextScheduledChange(), -1) << "a removes until plugged";
    clock_.advance(100000);
    VelkSimDeviceInfo devs[4];
    ASSERT_EQ(VelkSimListDevices(devs, 4), 2);
    EXPECT_EQ(devs[0].attached, 0);
    EXPECT_EQ(devs[1].attached, 1);
    // b comes back by itself 500 ms later on the simulator's clock.
    ASSERT_EQ(VelkSimUnplug("a"), 1);
    Handle hb(VelkCreateDeviceList(0, 0));
    ASSERT_NE(hb.h, nullptr);
    ASSERT_EQ(VelkSafeRemove(hb, 0), 1);
    EXPECT_EQ(VelkSimNextScheduledChange(), clock_.now.load() + 500);
    seq = VelkSimBusSequence();
    clock_.advance(499);
    EXPECT_EQ(VelkOpenDevice(hb, 0), 0);
    EXPECT_EQ(VelkSimBusSequence(), seq);
    clock_.advance(1);
    EXPECT_GT(VelkSimBusSequence(), seq) << "the re-attach counts once due";
    EXPECT_EQ(VelkOpenDevice(hb, 0), 1);
    EXPECT_EQ(VelkSimNextScheduledChange(), -1);
    // plug brings a back.
    ASSERT_EQ(VelkSimPlug("a"), 1);
    ASSERT_EQ(VelkSimListDevices(devs, 4), 2);
    EXPECT_EQ(devs[0].attached, 1);
}

TEST_F(VelkApi, FlashGeometryOfBothProfiles) {
    create("fd", "flashdisk");
    create("fd2", "flashdisk2k");
    {
        Handle h(VelkCreateDeviceList(0, 0x0721));
        _FlashDiskInfo* fi = nullptr;
        ASSERT_EQ(VelkGetFlashInfo(h, 0, &fi), 1);
        EXPECT_EQ(fi[0].ChipCount, 2);
        EXPECT_EQ(fi[0].PageSize, 512);
        EXPECT_EQ(fi[0].BlockCount, 1024u);
        EXPECT_EQ(fi[1].BlockCount, 1024u);
        EXPECT_EQ(fi[0].PagesPerBlock, 32);
    }
    Handle h(VelkCreateDeviceList(0, 0x0722));
    _FlashDiskInfo* fi = nullptr;
    ASSERT_EQ(VelkGetFlashInfo(h, 0, &fi), 1);
    const uint8_t* raw = reinterpret_cast<const uint8_t*>(fi);
    uint32_t b0, b1;
    uint16_t p1;
    std::memcpy(&b0, raw + 16, 4);
    std::memcpy(&b1, raw + 4116 + 16, 4);
    std::memcpy(&p1, raw + 4116 + 20, 2);
    EXPECT_EQ(raw[4], 2);
    EXPECT_EQ(b0, 1024u);
    EXPECT_EQ(b1, 512u) << "chips of different sizes";
    EXPECT_EQ(p1, 64);
    EXPECT_EQ(fi[0].PageSize, 2048);
    // No NAND on a reader: a geometry of 0 chips, not a failure.
    create("r", "reader");
    Handle r(VelkCreateDeviceList(0, 0x0760));
    ASSERT_EQ(VelkGetFlashInfo(r, 0, &fi), 1);
    EXPECT_EQ(fi[0].ChipCount, 0);
    EXPECT_EQ(fi[0].PageSize, 0);
    EXPECT_EQ(fi[0].BlockCount, 0u);
    uint32_t cis = 1;
    std::memcpy(&cis, reinterpret_cast<const uint8_t*>(fi) + VELK_CIS_PARAMS_FIELD, 4);
    EXPECT_EQ(cis, 0u);   // no flash, so no CIS block either
    EXPECT_EQ(VelkWriteCisBlock(r, 0), 0);
}

TEST_F(VelkApi, NandProgramsOnlyClearBitsAndErasesToFF) {
    for (const char* profile : {"flashdisk", "flashdisk2k"}) {
        SCOPED_TRACE(profile);
        create(profile, profile, {"bad=none"});
        Handle h(VelkCreateDeviceList(0, std::string(profile) == "flashdisk" ? 0x0721 : 0x0722));
        _FlashDiskInfo* fi = nullptr;
        ASSERT_EQ(VelkGetFlashInfo(h, 0, &fi), 1);
        const size_t ps = fi[0].PageSize, ss = ps == 512 ? 16 : 64;
        uint8_t chip = 1;
        uint32_t block = fi[1].BlockCount - 1;
        uint8_t page = uint8_t(fi[1].PagesPerBlock - 1);
        std::vector<uint8_t> data(ps), spare(ss);
        ASSERT_EQ(VelkReadPhysical(h, 0, chip, block, page, data.data()), 1);
        EXPECT_TRUE(std::all_of(data.begin(), data.end(), [](uint8_t v) { return v == 0xFF; })) << "fresh flash is erased";
        auto a = pattern(ps, 7), sp = pattern(ss, 8);
        ASSERT_EQ(VelkWritePhysical(h, 0, chip, block, page, a.data()), 1);
        ASSERT_EQ(VelkWriteRedundant(h, 0, chip, block, page, sp.data()), 1);
        ASSERT_EQ(VelkReadPhysical(h, 0, chip, block, page, data.data()), 1);
        EXPECT_EQ(data, a);
        ASSERT_EQ(VelkReadRedundant(h, 0, chip, block, page, spare.data()), 1);
        EXPECT_EQ(spare, sp);
        // Programming again ANDs: bits can only be cleared.
        auto b = pattern(ps, 9);
        ASSERT_EQ(VelkWritePhysical(h, 0, chip, block, page, b.data()), 1);
        ASSERT_EQ(VelkReadPhysical(h, 0, chip, block, page, data.data()), 1);
        for (size_t i = 0; i < ps; ++i) ASSERT_EQ(data[i], uint8_t(a[i] & b[i])) << i;
        // The neighbouring page is untouched.
        ASSERT_EQ(VelkReadPhysical(h, 0, chip, block, uint8_t(page - 1), data.data()), 1);
        EXPECT_TRUE(std::all_of(data.begin(), data.end(), [](uint8_t v) { return v == 0xFF; }));
        ASSERT_EQ(VelkEraseBlock(h, 0, chip, block), 1);
        ASSERT_EQ(VelkReadPhysical(h, 0, chip, block, page, data.data()), 1);
        EXPECT_TRUE(std::all_of(data.begin(), data.end(), [](uint8_t v) { return v == 0xFF; }));
        ASSERT_EQ(VelkReadRedundant(h, 0, chip, block, page, spare.data()), 1);
        EXPECT_TRUE(std::all_of(spare.begin(), spare.end(), [](uint8_t v) { return v == 0xFF; }));
        // Out of range everywhere.
        EXPECT_EQ(VelkReadPhysical(h, 0, 2, 0, 0, data.data()), 0);
        EXPECT_EQ(VelkReadPhysical(h, 0, chip, block + 1, 0, data.data()), 0);
        EXPECT_EQ(VelkReadPhysical(h, 0, chip, block, uint8_t(page + 1), data.data()), 0);
        EXPECT_EQ(VelkEraseBlock(h, 0, 0, fi[0].BlockCount), 0);
        EXPECT_EQ(VelkIsGoodBlock(h, 0, 9, 0), 0);
    }
}

TEST_F(VelkApi, BadBlocksFactoryAndRetired) {
    create("fd", "flashdisk");  // factory-bad: chip 0 block 17, chip 1 block 300
    Handle h(VelkCreatePhyDrvList(0, 0));
    EXPECT_EQ(VelkIsGoodBlock(h, 0, 0, 17), 0);
    EXPECT_EQ(VelkIsGoodBlock(h, 0, 1, 300), 0);
    EXPECT_EQ(VelkIsGoodBlock(h, 0, 0, 16), 1);
    uint8_t spare[16];
    ASSERT_EQ(VelkReadRedundant(h, 0, 0, 17, 0, spare), 1);
    EXPECT_NE(spare[5], 0xFF) << "the bad mark sits in the spare area of page 0";
    // A factory-bad block stays bad through an erase.
    ASSERT_EQ(VelkEraseBlock(h, 0, 0, 17), 1);
    EXPECT_EQ(VelkIsGoodBlock(h, 0, 0, 17), 0);
    // Retiring as the marker does: erase, then mark.
    ASSERT_EQ(VelkEraseBlock(h, 0, 1, 42), 1);
    ASSERT_EQ(VelkRetirex(h, 0, 1, 42), 1);
    EXPECT_EQ(VelkIsGoodBlock(h, 0, 1, 42), 0);
    ASSERT_EQ(VelkReadRedundant(h, 0, 1, 42, 1, spare), 1);
    EXPECT_EQ(spare[5], 0x00);
    EXPECT_EQ(VelkRetirex(h, 0, 2, 0), 0);
    // Injected faults.
    ASSERT_EQ(VelkSimFault("fd", "bad-block 0 99"), 1);
    EXPECT_EQ(VelkIsGoodBlock(h, 0, 0, 99), 0);
    ASSERT_EQ(VelkSimFault("fd", "erase 0 5"), 1);
    uint8_t page[512];
    std::memset(page, 0, sizeof page);
    ASSERT_EQ(VelkWritePhysical(h, 0, 0, 5, 0, page), 1);
    EXPECT_EQ(VelkEraseBlock(h, 0, 0, 5), 0);
    ASSERT_EQ(VelkReadPhysical(h, 0, 0, 5, 0, page), 1);
    EXPECT_EQ(page[0], 0) << "a failed erase changes nothing";
    ASSERT_EQ(VelkSimFault("fd", "page-read 0 6 3"), 1);
    EXPECT_EQ(VelkReadPhysical(h, 0, 0, 6, 3, page), 0);
    EXPECT_EQ(VelkReadRedundant(h, 0, 0, 6, 3, spare), 0);
    EXPECT_EQ(VelkReadPhysical(h, 0, 0, 6, 2, page), 1);
    EXPECT_EQ(VelkSimFault("fd", "bad-block 2 0"), 0) << "no chip 2";

    // At 2048-byte pages the mark is byte 0 of the 64-byte spare.
    create("fd2", "flashdisk2k");  // factory-bad: chip 0 block 5
    Handle h2(VelkCreatePhyDrvList(0, 0x0722));
    EXPECT_EQ(VelkIsGoodBlock(h2, 0, 0, 5), 0);
    EXPECT_EQ(VelkIsGoodBlock(h2, 0, 1, 5), 1);
    uint8_t spare64[64];
    ASSERT_EQ(VelkReadRedundant(h2, 0, 0, 5, 1, spare64), 1);
    EXPECT_EQ(spare64[0], 0x00);
    EXPECT_EQ(spare64[5], 0xFF);
    ASSERT_EQ(VelkRetirex(h2, 0, 1, 511), 1);
    EXPECT_EQ(VelkIsGoodBlock(h2, 0, 1, 511), 0);
    EXPECT_EQ(VelkIsGoodBlock(h2, 0, 1, 512), 0) << "chip 1 has 512 blocks";
}

TEST_F(VelkApi, FormatProgressPairAndCisRecord) {
    create("fd", "flashdisk");
    {
        Handle h(VelkCreateDeviceList(0, 0));
        ASSERT_EQ(VelkSetLastFormatProgress(h, 0, 2, -5), 1);
        int32_t a = 0, b = 0;
        ASSERT_EQ(VelkGetLastFormatProgress(h, 0, &a, &b), 1);
        EXPECT_EQ(a, 2);
        EXPECT_EQ(b, -5);
        EXPECT_EQ(VelkGetLastFormatProgress(h, 0, nullptr, nullptr), 1);
        EXPECT_EQ(VelkGetLastFormatProgress(h, 0, &a, nullptr), 1);
        EXPECT_EQ(VelkWriteCisBlock(h, 0), 0) << "no flash record loaded yet";
        _FlashDiskInfo* fi = nullptr;
        ASSERT_EQ(VelkGetFlashInfo(h, 0, &fi), 1);
        uint32_t off = 0;
        std::memcpy(&off, reinterpret_cast<uint8_t*>(fi) + 32936, 4);
        ASSERT_NE(off, 0u);
        uint8_t* cis = reinterpret_cast<uint8_t*>(fi) + off;
        EXPECT_EQ(cis[409], 0);
        EXPECT_EQ(cis[410], 0);
        cis[409] = 1;
        cis[410] = 1;
        ASSERT_EQ(VelkWriteCisBlock(h, 0), 1);
    }
    // A new list (as after a replug) loads the stored values.
    Handle h(VelkCreateDeviceList(0, 0));
    _FlashDiskInfo* fi = nullptr;
    ASSERT_EQ(VelkGetFlashInfo(h, 0, &fi), 1);
    uint32_t off = 0;
    std::memcpy(&off, reinterpret_cast<uint8_t*>(fi) + 32936, 4);
    const uint8_t* cis = reinterpret_cast<uint8_t*>(fi) + off;
    EXPECT_EQ(cis[409], 1);
    EXPECT_EQ(cis[410], 1);
}

TEST_F(VelkApi, ButtonPressIsConsumedOnce) {
    create("cd", "cdrom");
    Handle h(VelkCreateDeviceList(0x3A7C, 0x070A));
    uint8_t st = 9;
    ASSERT_EQ(VelkQueryButtonState(h, 0, &st), 1);
    EXPECT_EQ(st, 0);
    ASSERT_EQ(VelkSimPressButton("cd"), 1);
    ASSERT_EQ(VelkQueryButtonState(h, 0, &st), 1);
    EXPECT_EQ(st, 1);
    ASSERT_EQ(VelkQueryButtonState(h, 0, &st), 1);
    EXPECT_EQ(st, 0);
    EXPECT_EQ(VelkQueryButtonState(h, 0, nullptr), 0);
}

TEST_F(VelkApi, EepromWordsAndFaults) {
    create("r", "reader");
    Handle h(VelkCreateDeviceList(0, 0));
    std::array<uint16_t, 64> words{};
    ASSERT_EQ(VelkReadEEPROM(h, 0, 0, 64, words.data()), 1);
    EXPECT_EQ(words[0], 0x3A7C);
    EXPECT_EQ(words[1], 0x0760);
    uint16_t w = 0x1234;
    ASSERT_EQ(VelkWriteEEPROM(h, 0, 63, 1, &w), 1);
    uint16_t r = 0;
    ASSERT_EQ(VelkReadEEPROM(h, 0, 63, 1, &r), 1);
    EXPECT_EQ(r, 0x1234);
    EXPECT_EQ(VelkReadEEPROM(h, 0, 64, 1, &r), 0);
    EXPECT_EQ(VelkReadEEPROM(h, 0, 63, 2, words.data()), 0) << "runs past word 63";
    EXPECT_EQ(VelkReadEEPROM(h, 0, 0, 0, words.data()), 0);
    // A failing word: the words before it are written, it and later are not.
    ASSERT_EQ(VelkSimFault("r", "eeprom-word 10"), 1);
    std::array<uint16_t, 4> zeros{};
    EXPECT_EQ(VelkWriteEEPROM(h, 0, 8, 4, zeros.data()), 0);
    ASSERT_EQ(VelkReadEEPROM(h, 0, 0, 64, words.data()), 1);
    EXPECT_EQ(words[8], 0);
    EXPECT_EQ(words[9], 0);
    EXPECT_NE(words[10], 0);
    EXPECT_EQ(VelkSimFault("r", "eeprom-word 64"), 0);
}

TEST_F(VelkApi, UnreadableEepromWordFailsTheReadsOverIt) {
    create("r", "reader");
    Handle h(VelkCreateDeviceList(0, 0));
    ASSERT_EQ(VelkSimFault("r", "eeprom-read 20"), 1);
    std::array<uint16_t, 64> words{};
    words.fill(0x5A5A);
    EXPECT_EQ(VelkReadEEPROM(h, 0, 0, 64, words.data()), 0);
    EXPECT_EQ(words[0], 0x5A5A) << "words untouched by a failed read";
    uint16_t w = 0;
    EXPECT_EQ(VelkReadEEPROM(h, 0, 19, 1, &w), 1);
    EXPECT_EQ(VelkReadEEPROM(h, 0, 20, 1, &w), 0);
    EXPECT_EQ(VelkReadEEPROM(h, 0, 21, 1, &w), 1);
    EXPECT_EQ(VelkReadEepData(h, 0), 0);
    EXPECT_EQ(VelkSimFault("r", "eeprom-read 64"), 0);
    ASSERT_EQ(VelkSimFault("r", "clear"), 1);
    EXPECT_EQ(VelkReadEepData(h, 0), 1);
}

TEST_F(VelkApi, EepDataRoundTripThroughTheEeprom) {
    create("fd", "flashdisk");
    Handle h(VelkCreateDeviceList(0, 0));
    DRIVE_INFO_COMMON* info = nullptr;
    uint8_t count = 0;
    ASSERT_EQ(VelkReadEepData(h, 0), 1);
    ASSERT_EQ(VelkGetDriveInfo(h, &info, &count), 1);
    uint8_t* rec = reinterpret_cast<uint8_t*>(info) + info[0].EepRecord;
    uint32_t valid = 0;
    std::memcpy(&valid, rec, 4);
    EXPECT_EQ(valid, 1u) << "a new device holds a consistent image";
    EXPECT_STREQ(reinterpret_cast<char*>(rec + 10), "VELK");
    // Change the product string and write with mode 3.
    std::memset(rec + 74, 0, 64);
    std::strcpy(reinterpret_cast<char*>(rec + 74), "Stick");
    ASSERT_EQ(VelkWriteEepData(h, 0, 3), 1);
    std::memset(rec, 0, VELK_EEP_RECORD_SIZE);
    ASSERT_EQ(VelkReadEepData(h, 0), 1);
    std::memcpy(&valid, rec, 4);
    EXPECT_EQ(valid, 1u);
    EXPECT_STREQ(reinterpret_cast<char*>(rec + 74), "Stick");
    // An erased EEPROM decodes as not valid.
    uint16_t zero = 0;
    for (uint16_t i = 0; i < 64; ++i) ASSERT_EQ(VelkWriteEEPROM(h, 0, i, 1, &zero), 1);
    ASSERT_EQ(VelkReadEepData(h, 0), 1);
    std::memcpy(&valid, rec, 4);
    EXPECT_EQ(valid, 0u);
    EXPECT_EQ(VelkWriteEepData(h, 0, 4), 0) << "unknown mode";
    ASSERT_EQ(VelkSimFault("fd", "eep-data-write"), 1);
    EXPECT_EQ(VelkWriteEepData(h, 0, 3), 0);
}

TEST_F(VelkApi, EepCopyInTheExternalRom) {
    create("r", "reader16");
    Handle h(VelkCreateDeviceList(0, 0));
    DRIVE_INFO_COMMON* info = nullptr;
    uint8_t count = 0;
    ASSERT_EQ(VelkGetDriveInfo(h, &info, &count), 1);
    ASSERT_EQ(VelkReadEepData(h, 0), 1);
    uint8_t* rec = reinterpret_cast<uint8_t*>(info) + info[0].EepRecord;
    std::memset(rec + 82, 0, 64);
    std::strcpy(reinterpret_cast<char*>(rec + 82), "Copy");
    ASSERT_EQ(VelkWriteEepData(h, 0, 2), 1);
    std::array<uint8_t, 128> copy{};
    ASSERT_EQ(VelkReadEepDataFromExternalROM(h, 0, 128, copy.data()), 1);
    std::array<uint8_t, 128> rom{};
    ASSERT_EQ(VelkReadExternalROM(h, 0, 0x5F80, 128, rom.data()), 1);
    EXPECT_EQ(copy, rom) << "class 16h keeps the copy at 5F80h";
    // The EEPROM itself is unchanged by mode 2.
    std::array<uint16_t, 64> words{};
    ASSERT_EQ(VelkReadEEPROM(h, 0, 0, 64, words.data()), 1);
    EXPECT_NE(std::memcmp(words.data(), copy.data(), 128), 0);
    EXPECT_EQ(VelkReadEepDataFromExternalROM(h, 0, 129, copy.data()), 0);
    EXPECT_EQ(VelkReadEepDataFromExternalROM(h, 0, 0, copy.data()), 0);
}

TEST_F(VelkApi, RomAreaSignatureAndSizes) {
    struct Case {
        const char* profile;
        std::vector<std::string> sets;
        uint32_t size;
        const char* sig;
    };
    std::vector<Case> cases = {{"reader", {}, 0x10000, "XROM"},    {"reader12", {}, 0xC000, "XROM"},
                               {"reader12", {"rom=64K"}, 0x10000, "XROM"}, {"reader16", {}, 0x6000, "6389"},
                               {"flashdisk", {}, 0x10000, "6352"},  {"ide", {}, 0x10000, "XROM"}};
    int n = 0;
    for (auto& c : cases) {
        SCOPED_TRACE(c.profile);
        std::string name = "d" + std::to_string(n++);
        create(name, c.profile, c.sets);
        Handle h(VelkCreateDeviceList(0, 0));
        ASSERT_NE(h.h, nullptr);
        uint32_t start = 1, size = 0;
        ASSERT_EQ(VelkGetFirmwareSize(h, 0, &start, &size), 1);
        EXPECT_EQ(start, 0u);
        EXPECT_EQ(size, c.size);
        std::vector<uint8_t> rom(size);
        ASSERT_EQ(VelkReadExternalROM(h, 0, start, size, rom.data()), 1);
        EXPECT_EQ(std::string(reinterpret_cast<char*>(rom.data()) + 0xFC, 4), c.sig);
        EXPECT_EQ(VelkReadExternalROM(h, 0, start, size + 1, rom.data()), 0);
        EXPECT_EQ(VelkReadExternalROM(h, 0, 0xFFFFFFFFu, 2, rom.data()), 0) << "start + length wraps";
        ASSERT_EQ(VelkSimRemove(name.c_str()), 1);
    }
}

TEST_F(VelkApi, FirmwareWriteKeepsTheEepWindowAndMovesProgress) {
    for (auto [profile, window] : {std::pair<const char*, uint32_t>{"reader16", 0x5F80}, {"reader12", 0xBF80}}) {
        SCOPED_TRACE(profile);
        create(profile, profile);
        Handle h(VelkCreateDeviceList(0, std::string(profile) == "reader16" ? 0x0766 : 0x0762));
        uint32_t start = 0, size = 0;
        ASSERT_EQ(VelkGetFirmwareSize(h, 0, &start, &size), 1);
        std::vector<uint8_t> before(size);
        ASSERT_EQ(VelkReadExternalROM(h, 0, 0, size, before.data()), 1);
        auto image = pattern(size, 21);
        uint8_t progress = 0, status = 0;
        ASSERT_EQ(VelkWriteFirmware(h, 0, size, image.data(), &progress, &status), 1);
        EXPECT_EQ(progress, 100);
        EXPECT_EQ(status, 1);
        std::vector<uint8_t> back(size);
        progress = 0;
        ASSERT_EQ(VelkReadFirmware(h, 0, size, back.data(), &progress, &status), 1);
        EXPECT_EQ(progress, 100);
        for (uint32_t i = 0; i < size; ++i) {
            bool inWindow = i >= window && i < window + 128;
            ASSERT_EQ(back[i], inWindow ? before[i] : image[i]) << "index " << i;
        }
        EXPECT_EQ(VelkWriteFirmware(h, 0, size + 1, image.data(), &progress, &status), 0);
        EXPECT_EQ(VelkWriteFirmware(h, 0, 0, image.data(), nullptr, nullptr), 0);
    }
}

TEST_F(VelkApi, FirmwareAndRomFaults) {
    create("fd", "flashdisk");
    Handle h(VelkCreateDeviceList(0, 0));
    auto image = pattern(4096, 31);
    std::vector<uint8_t> before(4096), back(4096);
    ASSERT_EQ(VelkReadExternalROM(h, 0, 0, 4096, before.data()), 1);
    ASSERT_EQ(VelkSimFault("fd", "fw-write"), 1);
    uint8_t progress = 0, status = 0;
    EXPECT_EQ(VelkWriteFirmware(h, 0, 4096, image.data(), &progress, &status), 0);
    EXPECT_EQ(status, 2);
    ASSERT_EQ(VelkReadExternalROM(h, 0, 0, 4096, back.data()), 1);
    EXPECT_TRUE(std::equal(back.begin(), back.begin() + 2048, image.begin())) << "failed after a partial write";
    EXPECT_TRUE(std::equal(back.begin() + 2048 + 64, back.end(), before.begin() + 2048 + 64));
    ASSERT_EQ(VelkSimFault("fd", "clear"), 1);
    ASSERT_EQ(VelkSimFault("fd", "fw-read"), 1);
    EXPECT_EQ(VelkReadFirmware(h, 0, 4096, back.data(), &progress, &status), 0);
    ASSERT_EQ(VelkSimFault("fd", "rom-write"), 1);
    auto other = pattern(256, 32);
    ASSERT_EQ(VelkReadExternalROM(h, 0, 0x100, 256, before.data()), 1);
    EXPECT_EQ(VelkWriteExternalROM(h, 0, 0x100, 256, other.data()), 0);
    ASSERT_EQ(VelkReadExternalROM(h, 0, 0x100, 256, back.data()), 1);
    EXPECT_TRUE(std::equal(back.begin(), back.begin() + 256, before.begin())) << "nothing written";
    ASSERT_EQ(VelkSimFault("fd", "clear"), 1);
    ASSERT_EQ(VelkWriteExternalROM(h, 0, 0x100, 256, other.data()), 1);
    ASSERT_EQ(VelkReadExternalROM(h, 0, 0x100, 256, back.data()), 1);
    EXPECT_TRUE(std::equal(back.begin(), back.begin() + 256, other.begin()));
}

TEST_F(VelkApi, RomEraseDropsTheDeviceForASecond) {
    create("fd", "flashdisk");
    Handle h(VelkCreateDeviceList(0, 0));
    uint64_t seq = VelkSimBusSequence();
    ASSERT_EQ(VelkEraseExternalROM(h, 0), 1);
    EXPECT_GT(VelkSimBusSequence(), seq);
    EXPECT_EQ(VelkCreateDeviceList(0, 0), nullptr) << "off the bus right after the erase";
    clock_.advance(999);
    EXPECT_EQ(VelkOpenDevice(h, 0), 0);
    clock_.advance(1);
    ASSERT_EQ(VelkOpenDevice(h, 0), 1);
    std::vector<uint8_t> rom(0x10000);
    ASSERT_EQ(VelkReadExternalROM(h, 0, 0, 0x10000, rom.data()), 1);
    EXPECT_TRUE(std::all_of(rom.begin(), rom.end(), [](uint8_t v) { return v == 0xFF; }));
    DRIVE_INFO_COMMON* info = nullptr;
    uint8_t count = 0;
    ASSERT_EQ(VelkGetDriveInfo(h, &info, &count), 1);
    const uint8_t* fw = reinterpret_cast<const uint8_t*>(info) + info[0].FirmwareInfo;
    EXPECT_EQ(fw[32], 0xFF) << "the version comes from the (now erased) ROM";
    // With the no-re-enumeration fault it stays away until plugged.
    ASSERT_EQ(VelkSimFault("fd", "no-reenum"), 1);
    ASSERT_EQ(VelkEraseExternalROM(h, 0), 1);
    clock_.advance(60000);
    EXPECT_EQ(VelkOpenDevice(h, 0), 0);
    EXPECT_EQ(VelkSimNextScheduledChange(), -1);
    ASSERT_EQ(VelkSimPlug("fd"), 1);
    EXPECT_EQ(VelkOpenDevice(h, 0), 1);
}

// A device that keeps its place on the bus through a ROM erase: no removal,
// no arrival, and it answers at once (the writer's timer-3 fallback).
TEST_F(VelkApi, NoDropKeepsTheDeviceOnTheBusThroughAnErase) {
    create("fd", "flashdisk");
    Handle h(VelkCreateDeviceList(0, 0));
    ASSERT_EQ(VelkSimFault("fd", "no-drop"), 1);
    const uint64_t seq = VelkSimBusSequence();
    ASSERT_EQ(VelkEraseExternalROM(h, 0), 1);
    EXPECT_EQ(VelkSimBusSequence(), seq) << "no detach and no attach";
    EXPECT_EQ(VelkSimNextScheduledChange(), -1);
    ASSERT_EQ(VelkOpenDevice(h, 0), 1);
    std::vector<uint8_t> rom(0x10000);
    ASSERT_EQ(VelkReadExternalROM(h, 0, 0, 0x10000, rom.data()), 1);
    EXPECT_TRUE(std::all_of(rom.begin(), rom.end(), [](uint8_t v) { return v == 0xFF; })) << "erased all the same";
    clock_.advance(60000);
    EXPECT_EQ(VelkSimBusSequence(), seq);
    Handle again(VelkCreateDeviceList(0, 0));
    EXPECT_NE(again.h, nullptr);
}

// rom-corrupt: the named byte reads back inverted through both read paths,
// the store itself keeps what was written.
TEST_F(VelkApi, RomCorruptInvertsOneByteOfEveryRead) {
    create("fd", "flashdisk");
    Handle h(VelkCreateDeviceList(0, 0));
    std::vector<uint8_t> image(0x100, 0x5A), back(0x100);
    uint8_t progress = 0, status = 0;
    ASSERT_EQ(VelkWriteFirmware(h, 0, 0x100, image.data(), &progress, &status), 1);
    ASSERT_EQ(VelkSimFault("fd", "rom-corrupt 0x7f"), 1);
    ASSERT_EQ(VelkReadFirmware(h, 0, 0x100, back.data(), &progress, &status), 1);
    EXPECT_EQ(back[0x7F], 0xA5);
    EXPECT_EQ(back[0x7E], 0x5A);
    ASSERT_EQ(VelkReadExternalROM(h, 0, 0x70, 0x20, back.data()), 1);
    EXPECT_EQ(back[0x0F], 0xA5);
    EXPECT_EQ(back[0x10], 0x5A);
    ASSERT_EQ(VelkSimFault("fd", "clear"), 1);
    ASSERT_EQ(VelkReadExternalROM(h, 0, 0x7F, 1, back.data()), 1);
    EXPECT_EQ(back[0], 0x5A);
}

TEST_F(VelkApi, RealisticTimingSleepsOnTheSimulatorClock) {
    create("demo", "flashdisk", {"timing=realistic", "lun0.size=8M"});
    Handle h(VelkCreateDeviceList(0, 0));
    std::vector<uint8_t> image(8192, 0x11);
    int64_t t0 = clock_.now.load();
    uint8_t progress = 0, status = 0;
    ASSERT_EQ(VelkWriteFirmware(h, 0, 8192, image.data(), &progress, &status), 1);
    int64_t spent = clock_.now.load() - t0;
    EXPECT_GE(spent, 2000);
    EXPECT_LE(spent, 6000) << "a few seconds";
    t0 = clock_.now.load();
    uint8_t abort = 0;
    ASSERT_EQ(VelkLogicalFormat(h, 0, &progress, &abort), 1);
    EXPECT_GE(clock_.now.load() - t0, 2000);
}

// With realistic timing a scan of the demo device was over at once, so its
// progress bar never showed moving: the scan's calls now cost time per block.
TEST_F(VelkApi, RealisticTimingGivesTheScanAPerBlockCost) {
    create("demo", "demo");
    create("fast", "flashdisk");
    auto scan = [&](bool erase) {
        Handle h(VelkCreateDeviceList(0, 0));
        _FlashDiskInfo* fi = nullptr;
        EXPECT_EQ(VelkGetFlashInfo(h, 0, &fi), 1);
        uint8_t spare[16];
        const int64_t t0 = clock_.now.load();
        for (uint8_t c = 0; c < 2; ++c)
            for (uint32_t b = 0; b < 1024; ++b) {
                for (uint8_t p = 0; p < 2; ++p) {
                    VelkIsGoodBlock(h, 0, c, b);
                    VelkReadRedundant(h, 0, c, b, p, spare);
                }
                if (erase) VelkEraseBlock(h, 0, c, b);
            }
        return clock_.now.load() - t0;
    };
    const int64_t plain = scan(false);
    EXPECT_GE(plain, 3000) << "a few seconds for 2 x 1024 blocks";
    EXPECT_LE(plain, 6000);
    const int64_t erasing = scan(true);
    EXPECT_GE(erasing, plain + 2000) << "erasing on the way costs more";
    EXPECT_LE(erasing, 15000);
    ASSERT_EQ(VelkSimUnplug("demo"), 1);
    EXPECT_EQ(scan(true), 0) << "instant timing costs nothing";
}

TEST_F(VelkApi, BusWatchWakesOnAttachAndDetach) {
    create("r", "reader");
    int fd = VelkSimBusWatchFd();
    ASSERT_GE(fd, 0);
    VelkSimDrainWatch();
    pollfd p{fd, POLLIN, 0};
    EXPECT_EQ(poll(&p, 1, 0), 0) << "quiet bus, nothing to read";
    // A change made by another process.
    pid_t kid = fork();
    ASSERT_GE(kid, 0);
    if (kid == 0) _exit(VelkSimUnplug("r") == 1 ? 0 : 1);
    int st = 0;
    ASSERT_EQ(waitpid(kid, &st, 0), kid);
    ASSERT_EQ(WEXITSTATUS(st), 0);
    EXPECT_EQ(poll(&p, 1, 1000), 1);
    VelkSimDrainWatch();
    EXPECT_EQ(poll(&p, 1, 0), 0);
    uint64_t seq = VelkSimBusSequence();
    ASSERT_EQ(VelkSimPlug("r"), 1);
    EXPECT_EQ(poll(&p, 1, 1000), 1);
    EXPECT_GT(VelkSimBusSequence(), seq);
}

TEST_F(VelkApi, RegistryRecordAtFirstAttachAndBusListing) {
    create("cd", "cdrom", {"rev=0200"});
    VelkSimDeviceInfo d[2];
    ASSERT_EQ(VelkSimListDevices(d, 2), 1);
    EXPECT_STREQ(d[0].name, "cd");
    EXPECT_STREQ(d[0].profile, "cdrom");
    EXPECT_EQ(d[0].vid, 0x3A7C);
    EXPECT_EQ(d[0].pid, 0x070A);
    EXPECT_EQ(d[0].rev, 0x0200);
    EXPECT_EQ(d[0].lunCount, 2);
    EXPECT_EQ(d[0].attached, 1);
    regstore::Store reg(std::filesystem::path(dir_) / "registry");
    std::string key = regstore::usbDeviceKey(0x3A7C, 0x070A) + "\\" + d[0].instance;
    EXPECT_TRUE(reg.keyExists(key)) << key;
    auto hw = reg.value(key, "HardwareID");
    ASSERT_TRUE(hw.has_value());
    ASSERT_FALSE(hw->strings.empty());
    EXPECT_EQ(hw->strings[0], "USB\\Vid_3a7c&Pid_070a&Rev_0200");
    EXPECT_EQ(VelkSimListDevices(nullptr, 0), 1);
}

// Spare areas of neighbouring blocks share a 4 KiB unit of the store: erasing
// or programming one block leaves its neighbours as they were, and a unit
// erased as a whole reads (and programs) as fresh flash again.
TEST_F(VelkApi, NeighbouringBlocksStayApartThroughProgramAndErase) {
    for (const char* profile : {"flashdisk", "flashdisk2k"}) {
        SCOPED_TRACE(profile);
        create(profile, profile, {"bad=0:3"});
        Handle h(VelkCreateDeviceList(0, std::string(profile) == "flashdisk" ? 0x0721 : 0x0722));
        _FlashDiskInfo* fi = nullptr;
        ASSERT_EQ(VelkGetFlashInfo(h, 0, &fi), 1);
        const size_t ps = fi[0].PageSize, ss = ps == 512 ? 16 : 64, mark = ps == 512 ? 5 : 0;
        const uint8_t last = uint8_t(fi[0].PagesPerBlock - 1);
        std::vector<uint8_t> data(ps), spare(ss);
        auto allFF = [](const std::vector<uint8_t>& v) {
            return std::all_of(v.begin(), v.end(), [](uint8_t x) { return x == 0xFF; });
        };
        // Program the first and last page of blocks 0..19 of both chips.
        for (uint8_t c = 0; c < 2; ++c)
            for (uint32_t b = 0; b < 20; ++b)
                for (uint8_t p : {uint8_t(0), last}) {
                    auto d = pattern(ps, c * 1000 + b * 10 + p), s = pattern(ss, c * 1000 + b * 10 + p + 5000);
                    s[mark] = 0xFF;  // keep the block good
                    ASSERT_EQ(VelkWritePhysical(h, 0, c, b, p, d.data()), 1);
                    ASSERT_EQ(VelkWriteRedundant(h, 0, c, b, p, s.data()), 1);
                }
        auto expectProgrammed = [&](uint8_t c, uint32_t b) {
            for (uint8_t p : {uint8_t(0), last}) {
                auto d = pattern(ps, c * 1000 + b * 10 + p), s = pattern(ss, c * 1000 + b * 10 + p + 5000);
                s[mark] = 0xFF;
                if (c == 0 && b == 3 && p <= 1) s[mark] = 0x00;  // factory-bad: its mark stays
                ASSERT_EQ(VelkReadPhysical(h, 0, c, b, p, data.data()), 1);
                EXPECT_EQ(data, d) << int(c) << ":" << b << " page " << int(p);
                ASSERT_EQ(VelkReadRedundant(h, 0, c, b, p, spare.data()), 1);
                EXPECT_EQ(spare, s) << int(c) << ":" << b << " page " << int(p);
            }
        };
        auto expectErased = [&](uint8_t c, uint32_t b) {
            for (uint8_t p = 0; p <= last; ++p) {
                ASSERT_EQ(VelkReadPhysical(h, 0, c, b, p, data.data()), 1);
                EXPECT_TRUE(allFF(data)) << int(c) << ":" << b << " page " << int(p);
                ASSERT_EQ(VelkReadRedundant(h, 0, c, b, p, spare.data()), 1);
                EXPECT_TRUE(allFF(spare)) << int(c) << ":" << b << " page " << int(p);
            }
        };
        for (uint8_t c = 0; c < 2; ++c)
            for (uint32_t b = 0; b < 20; ++b) expectProgrammed(c, b);
        // One block in the middle.
        ASSERT_EQ(VelkEraseBlock(h, 0, 1, 9), 1);
        expectErased(1, 9);
        for (uint32_t b = 0; b < 20; ++b)
            if (b != 9) expectProgrammed(1, b);
        for (uint32_t b = 0; b < 20; ++b) expectProgrammed(0, b);
        // Every block of chip 0 up to 15: whole units of the store go back to
        // erased; the factory-bad block gets its mark back.
        for (uint32_t b = 0; b < 16; ++b) ASSERT_EQ(VelkEraseBlock(h, 0, 0, b), 1);
        for (uint32_t b = 0; b < 16; ++b) {
            SCOPED_TRACE(b);
            if (b == 3) {
                EXPECT_EQ(VelkIsGoodBlock(h, 0, 0, 3), 0);
                ASSERT_EQ(VelkReadRedundant(h, 0, 0, 3, 1, spare.data()), 1);
                EXPECT_EQ(spare[mark], 0x00);
                continue;
            }
            expectErased(0, b);
            EXPECT_EQ(VelkIsGoodBlock(h, 0, 0, b), 1);
        }
        for (uint32_t b = 16; b < 20; ++b) expectProgrammed(0, b);
        for (uint32_t b = 0; b < 20; ++b)
            if (b != 9) expectProgrammed(1, b);
        // Programmable again after the erase, and the last block of the last
        // chip sits at the end of the store.
        auto d = pattern(ps, 77);
        ASSERT_EQ(VelkWritePhysical(h, 0, 0, 6, 1, d.data()), 1);
        ASSERT_EQ(VelkReadPhysical(h, 0, 0, 6, 1, data.data()), 1);
        EXPECT_EQ(data, d);
        const uint32_t endBlock = fi[1].BlockCount - 1;
        const uint8_t endPage = uint8_t(fi[1].PagesPerBlock - 1);
        std::vector<uint8_t> zeros(ss, 0);
        ASSERT_EQ(VelkWriteRedundant(h, 0, 1, endBlock, endPage, zeros.data()), 1);
        ASSERT_EQ(VelkReadRedundant(h, 0, 1, endBlock, endPage, spare.data()), 1);
        EXPECT_EQ(spare, zeros);
        ASSERT_EQ(VelkReadPhysical(h, 0, 1, endBlock, endPage, data.data()), 1);
        EXPECT_TRUE(allFF(data)) << "page data and spare area are apart";
        ASSERT_EQ(VelkRetirex(h, 0, 1, endBlock), 1);
        EXPECT_EQ(VelkIsGoodBlock(h, 0, 1, endBlock), 0);
        EXPECT_EQ(VelkIsGoodBlock(h, 0, 1, endBlock - 1), 1);
    }
}

// The scanner's pattern over fresh flash touches (almost) no store page, and
// faults of one kind cost the other operations nothing and go with "clear".
TEST_F(VelkApi, ScanOfFreshFlashTouchesFewPages) {
    create("fd", "flashdisk");  // 2 chips x 1024 blocks, factory-bad 0:17, 1:300
    Handle h(VelkCreatePhyDrvList(0, 0));
    uint8_t spare[16];
    auto scan = [&] {
        uint32_t bad = 0;
        for (uint8_t c = 0; c < 2; ++c)
            for (uint32_t b = 0; b < 1024; ++b) {
                bool isBad = false;
                for (uint8_t p = 0; p < 2; ++p) {
                    isBad |= VelkIsGoodBlock(h, 0, c, b) == 0;
                    EXPECT_EQ(VelkReadRedundant(h, 0, c, b, p, spare), 1);
                }
                bad += isBad;
            }
        return bad;
    };
    rusage before{}, after{};
    getrusage(RUSAGE_SELF, &before);
    EXPECT_EQ(scan(), 2u);
    getrusage(RUSAGE_SELF, &after);
    EXPECT_LT(after.ru_minflt - before.ru_minflt, 64) << "page faults for 2048 blocks";
    ASSERT_EQ(VelkSimFault("fd", "page-read 1 5 0"), 1);
    EXPECT_EQ(VelkReadRedundant(h, 0, 1, 5, 0, spare), 0);
    EXPECT_EQ(VelkReadRedundant(h, 0, 1, 5, 1, spare), 1);
    EXPECT_EQ(VelkIsGoodBlock(h, 0, 1, 5), 1);
    ASSERT_EQ(VelkSimFault("fd", "clear"), 1);
    EXPECT_EQ(VelkReadRedundant(h, 0, 1, 5, 0, spare), 1);
    EXPECT_EQ(scan(), 2u);
}
