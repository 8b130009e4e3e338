// The record views over the library's drive-information and flash records.
#include "device/records.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace {

// A library-style block: n elements, the end marker, then a firmware record
// and an EEP record reached through offsets.
struct DriveBlock {
    std::vector<uint8_t> bytes;
    DRIVE_INFO_COMMON* base() { return reinterpret_cast<DRIVE_INFO_COMMON*>(bytes.data()); }
    explicit DriveBlock(int n, int endAt) : bytes(2048, 0) {
        for (int i = 0; i < n + 1; ++i) {
            base()[i].DriveLetter = i == endAt ? char(0xFF) : char('D' + i);
            base()[i].LunCount = uint8_t(n);
            base()[i].MediaFlags = uint8_t(0x10 << (i % 4));
            base()[i].DeviceClass = 0x16;
            base()[i].FirmwareInfo = 1024;
            base()[i].EepRecord = 1100;
        }
        std::memcpy(bytes.data() + 1024 + 32, "1A2B", 4);
        uint32_t valid = 1;
        std::memcpy(bytes.data() + 1100, &valid, 4);
    }
};

}  // namespace

TEST(DriveInfoView, FieldsAndOffsetPointers) {
    DriveBlock b(3, 3);
    device::DriveInfo d(b.base(), 3);
    EXPECT_TRUE(d.valid());
    EXPECT_EQ(d.lunCount(), 3);
    EXPECT_TRUE(d.ready());
    EXPECT_EQ(d.deviceClass(), 0x16);
    EXPECT_EQ(d.driveLetter(1), 'E');
    EXPECT_EQ(d.mediaFlags(1), 0x20);
    uint8_t v[4];
    d.firmwareVersion(v);
    EXPECT_EQ(std::memcmp(v, "1A2B", 4), 0);
    EXPECT_EQ(d.firmwareInfo(0), b.bytes.data() + 1024);
    EXPECT_EQ(d.eepRecord(2), b.bytes.data() + 1100) << "offsets count from element 0, not from element i";
    EXPECT_EQ(d.eepValid(), 1u);
}

TEST(DriveInfoView, WalkStopsAtTheFirstEndMarkerWhateverTheCount) {
    DriveBlock b(4, 2);  // out-count says 4, the marker sits at element 2
    device::DriveInfo d(b.base(), 4);
    EXPECT_EQ(d.walkToEndMarker(), 2);
    EXPECT_EQ(d.count(), 4);
    DriveBlock none(0, 0);
    EXPECT_EQ(device::DriveInfo(none.base(), 0).walkToEndMarker(), 0);
}

TEST(DriveInfoView, LunCountMismatchIsNotReady) {
    DriveBlock b(3, 3);
    b.base()[0].LunCount = 2;
    EXPECT_FALSE(device::DriveInfo(b.base(), 3).ready());
}

TEST(DriveInfoView, EmptyViewAnswersNothing) {
    device::DriveInfo d;
    EXPECT_FALSE(d.valid());
    EXPECT_EQ(d.lunCount(), 0);
    EXPECT_EQ(d.firmwareInfo(0), nullptr);
    EXPECT_EQ(d.eepRecord(0), nullptr);
    EXPECT_EQ(d.walkToEndMarker(), 0);
    DriveBlock b(1, 1);
    b.base()[0].EepRecord = 0;
    EXPECT_EQ(device::DriveInfo(b.base(), 1).eepRecord(0), nullptr) << "offset 0 means none";
}

TEST(FlashInfoView, SecondChipLies4116BytesOnAndHeaderFieldsComeFromEntry0) {
    std::vector<uint8_t> rec(VELK_FLASH_INFO_ENTRIES * 4116 + 16 + 512, 0);
    auto put32 = [&](size_t off, uint32_t v) { std::memcpy(rec.data() + off, &v, 4); };
    auto put16 = [&](size_t off, uint16_t v) { std::memcpy(rec.data() + off, &v, 2); };
    rec[4] = 2;
    put16(12, 2048);
    put32(16, 1024);
    put16(20, 64);
    put32(4116 + 16, 512);
    put16(4116 + 20, 128);
    rec[4116 + 4] = 9;  // ChipCount of entry 1 is not read
    put16(4116 + 12, 512);
    const uint32_t cisOff = VELK_FLASH_INFO_ENTRIES * 4116 + 16;
    put32(32936, cisOff);
    device::FlashInfo f(reinterpret_cast<_FlashDiskInfo*>(rec.data()));
    EXPECT_EQ(f.chipCount(), 2);
    EXPECT_EQ(f.pageSize(), 2048);
    EXPECT_EQ(f.spareSize(), 64);
    EXPECT_EQ(f.blockCount(0), 1024u);
    EXPECT_EQ(f.pagesPerBlock(0), 64);
    EXPECT_EQ(f.blockCount(1), 512u);
    EXPECT_EQ(f.pagesPerBlock(1), 128);
    ASSERT_EQ(f.cisParams(), rec.data() + cisOff);
    f.setAccessTimeSel(1);
    f.setCopyBackOff(1);
    EXPECT_EQ(rec[cisOff + 409], 1);
    EXPECT_EQ(rec[cisOff + 410], 1);
    EXPECT_EQ(rec[cisOff + 408], 0);
    put16(12, 512);
    EXPECT_EQ(f.spareSize(), 16);
    device::FlashInfo none;
    EXPECT_EQ(none.cisParams(), nullptr);
    EXPECT_EQ(none.chipCount(), 0);
}

TEST(ListOwner, DestroysItsHandleAndQueriesWithout) {
    device::List empty;
    EXPECT_FALSE(empty);
    EXPECT_FALSE(device::DriveInfo::query(nullptr).valid());
    EXPECT_FALSE(device::FlashInfo::query(nullptr).valid());
    device::OpenScope scope(nullptr, 0);
    EXPECT_FALSE(scope.ok());
}
