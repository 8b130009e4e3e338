// Program and Verify over a device held in memory: what ends up on it, and
// where each transfer stops.
#include "imager/transfer.h"

#include "iso_files.h"

#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <unistd.h>

using namespace imager;
using namespace imager::testing;

namespace {

constexpr char kFill = '\x5A';

// A CD-ROM area of `sectors` sectors filled with 5Ah, with sectors that
// cannot be written or read, and a record of the sectors read.
struct MemoryDevice : SectorDevice {
    explicit MemoryDevice(uint32_t sectors) : bytes(size_t(sectors) * 2048, kFill) {}
    bool writeSector(uint32_t lba, const uint8_t* data) override {
        if (failWrite.count(lba) || size_t(lba + 1) * 2048 > bytes.size()) return false;
        std::memcpy(bytes.data() + size_t(lba) * 2048, data, 2048);
        return true;
    }
    bool readSector(uint32_t lba, uint8_t* data) override {
        read.insert(lba);
        if (failRead.count(lba) || size_t(lba + 1) * 2048 > bytes.size()) return false;
        std::memcpy(data, bytes.data() + size_t(lba) * 2048, 2048);
        return true;
    }
    std::string sector(uint32_t s) const { return bytes.substr(size_t(s) * 2048, 2048); }
    std::string bytes;
    std::set<uint32_t> failWrite, failRead, read;
};

struct CountingProgress : TransferProgress {
    void begin(uint32_t n) override { ++begins, range = n, steps = 0; }
    void step() override { ++steps; }
    int begins = 0;
    uint32_t range = 0, steps = 0;
};

class TransferTest : public ::testing::Test {
protected:
    // An image of `sectors` sectors with the descriptor of a volume of
    // `volume` sectors, `lead` bytes into the file.
    void makeImage(uint32_t sectors, uint32_t volume, size_t lead = 0) {
        content = patterned(size_t(sectors) * 2048, 21);
        std::memcpy(content.data() + 32768 + 1, "CD001", 5);
        for (int i = 0; i < 4; ++i) content[32768 + 80 + i] = char(volume >> (8 * i));
        const std::string path = dir.file("image.iso");
        writeFile(path, patterned(lead, 22) + content);
        ASSERT_TRUE(image.open(path));
        ASSERT_EQ(image.findStart(), SearchResult::Found);
        ASSERT_EQ(image.start(), lead);
    }
    std::string sector(uint32_t s) const { return content.substr(size_t(s) * 2048, 2048); }

    TempDir dir;
    std::string content;
    DiscImage image;
    CountingProgress progress;
};

TEST_F(TransferTest, ProgramWritesTheVolumeAndNothingAfterIt) {
    makeImage(40, 30, 4096);
    MemoryDevice dev(64);
    const TransferResult r = programImage(image, dev, progress);
    EXPECT_TRUE(r.ok());
    EXPECT_EQ(r.sectors, 30u);
    for (uint32_t s = 0; s < 30; ++s) ASSERT_EQ(dev.sector(s), sector(s)) << s;
    for (uint32_t s = 30; s < 64; ++s) ASSERT_EQ(dev.sector(s), std::string(2048, kFill)) << s;
    EXPECT_EQ(progress.begins, 1);
    EXPECT_EQ(progress.range, 30u);
    EXPECT_EQ(progress.steps, 30u);

    MemoryDevice checked(64);
    checked.bytes = dev.bytes;
    EXPECT_TRUE(verifyImage(image, checked, progress).ok());
    EXPECT_EQ(progress.steps, 30u);
    EXPECT_EQ(checked.read.size(), 30u);
}

// Regression: Program reported success although the device refused a write.
TEST_F(TransferTest, ProgramStopsAtTheFirstSectorTheDeviceRefuses) {
    makeImage(40, 40);
    MemoryDevice dev(64);
    dev.failWrite = {17, 30};
    const TransferResult r = programImage(image, dev, progress);
    EXPECT_EQ(r.outcome, TransferOutcome::DeviceFailed);
    EXPECT_EQ(r.sector, 17u);
    for (uint32_t s = 0; s < 17; ++s) ASSERT_EQ(dev.sector(s), sector(s)) << s;
    for (uint32_t s = 17; s < 64; ++s) ASSERT_EQ(dev.sector(s), std::string(2048, kFill)) << s;
    EXPECT_EQ(progress.steps, 17u);

    // A volume larger than the device fails at the device's end.
    MemoryDevice small(25);
    const TransferResult r2 = programImage(image, small, progress);
    EXPECT_EQ(r2.outcome, TransferOutcome::DeviceFailed);
    EXPECT_EQ(r2.sector, 25u);
}

// Regression: Program wrote stale buffer contents for sectors the image file
// did not hold and reported success.
TEST_F(TransferTest, ProgramStopsAtTheFirstSectorTheImageDoesNotHold) {
    makeImage(40, 100);   // the descriptor claims more than the file has
    MemoryDevice dev(128);
    const TransferResult r = programImage(image, dev, progress);
    EXPECT_EQ(r.outcome, TransferOutcome::ImageReadFailed);
    EXPECT_EQ(r.sector, 40u);
    EXPECT_EQ(dev.sector(39), sector(39));
    for (uint32_t s = 40; s < 128; ++s) ASSERT_EQ(dev.sector(s), std::string(2048, kFill)) << s;
    EXPECT_EQ(progress.range, 100u);
    EXPECT_EQ(progress.steps, 40u);

    MemoryDevice back(128);
    back.bytes = dev.bytes;
    const TransferResult v = verifyImage(image, back, progress);
    EXPECT_EQ(v.outcome, TransferOutcome::ImageReadFailed);
    EXPECT_EQ(v.sector, 40u);
    EXPECT_EQ(back.read.count(40), 0u);
}

TEST_F(TransferTest, VerifyStopsAtTheFirstDifferenceAndReadsNothingAfterIt) {
    makeImage(40, 40);
    MemoryDevice dev(64);
    ASSERT_TRUE(programImage(image, dev, progress).ok());
    dev.bytes[12 * 2048 + 2047] ^= 1;   // the last byte of sector 12
    dev.bytes[20 * 2048] ^= 1;
    const TransferResult r = verifyImage(image, dev, progress);
    EXPECT_EQ(r.outcome, TransferOutcome::Differs);
    EXPECT_EQ(r.sector, 12u);
    EXPECT_EQ(*dev.read.rbegin(), 12u);
    EXPECT_EQ(dev.read.size(), 13u);
    EXPECT_EQ(progress.steps, 13u);   // the differing sector was read: a step

    // A sector the device cannot read is a failure, not a comparison with
    // what the buffer held before.
    dev.bytes[12 * 2048 + 2047] ^= 1;
    dev.bytes[20 * 2048] ^= 1;
    dev.failRead = {5};
    dev.read.clear();
    const TransferResult r2 = verifyImage(image, dev, progress);
    EXPECT_EQ(r2.outcome, TransferOutcome::DeviceFailed);
    EXPECT_EQ(r2.sector, 5u);
    EXPECT_EQ(dev.read.size(), 6u);
}

TEST_F(TransferTest, VolumeOfZeroSectorsTransfersNothing) {
    makeImage(40, 0);
    MemoryDevice dev(64);
    TransferResult r = programImage(image, dev, progress);
    EXPECT_TRUE(r.ok());
    EXPECT_EQ(r.sectors, 0u);
    EXPECT_EQ(dev.bytes, std::string(64 * 2048, kFill));
    EXPECT_EQ(progress.begins, 1);
    EXPECT_EQ(progress.range, 0u);
    r = verifyImage(image, dev, progress);
    EXPECT_TRUE(r.ok());
    EXPECT_TRUE(dev.read.empty());
}

TEST_F(TransferTest, NoVolumeWithoutAStartOrADescriptor) {
    writeFile(dir.file("junk.bin"), patterned(100000, 23));
    ASSERT_TRUE(image.open(dir.file("junk.bin")));
    EXPECT_EQ(image.findStart(), SearchResult::ShortRead);
    MemoryDevice dev(64);
    EXPECT_EQ(programImage(image, dev, progress).outcome, TransferOutcome::NoVolume);
    EXPECT_EQ(verifyImage(image, dev, progress).outcome, TransferOutcome::NoVolume);
    EXPECT_EQ(progress.begins, 0);
    EXPECT_EQ(dev.bytes, std::string(64 * 2048, kFill));

    // The descriptor gone after the search (the file was cut short).
    makeImage(40, 40);
    ASSERT_EQ(::truncate(dir.file("image.iso").c_str(), 32768 + 100), 0);
    EXPECT_EQ(programImage(image, dev, progress).outcome, TransferOutcome::NoVolume);
    EXPECT_EQ(dev.bytes, std::string(64 * 2048, kFill));
}

}  // namespace
