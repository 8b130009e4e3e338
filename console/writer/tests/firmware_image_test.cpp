// The data side of firmware and ROM programming: transfer length, the image
// buffer and its padding, the compare windows, the ROM signature, the version
// text, and the progress follower's two ways to end.
#include <gtest/gtest.h>

#include <fstream>
#include <thread>
#include <vector>

#include "console/writer/firmware_image.h"
#include "console/writer/progress_follower.h"
#include "tests/support/temp_dir.h"

using namespace writer;

namespace {

std::string writeFile(const testsupport::TempDir& dir, const std::string& name, const std::string& content) {
    const std::string path = dir.path() + "/" + name;
    std::ofstream(path, std::ios::binary) << content;
    return path;
}

}  // namespace

TEST(FirmwareImage, TransferLengthIsTheSizeRoundedUpToSixtyFour) {
    EXPECT_EQ(transferLength(64), 64u);
    EXPECT_EQ(transferLength(65), 128u);
    EXPECT_EQ(transferLength(1), 64u);
    EXPECT_EQ(transferLength(127), 128u);
    EXPECT_EQ(transferLength(0x10000), 0x10000u);
}

TEST(FirmwareImage, TheFileFillsItsBufferAndThePadIsErasedFlash) {
    testsupport::TempDir dir;
    for (size_t size : {size_t(1), size_t(63), size_t(64), size_t(65), size_t(4097)}) {
        SCOPED_TRACE(size);
        const ImageRead r = readImageFile(writeFile(dir, "fw.bin", std::string(size, '\x11')));
        ASSERT_EQ(r.error, ImageReadError::None);
        EXPECT_EQ(r.image.fileSize, size);
        // S - (S mod 64) + 64 bytes: room for the transfer length.
        EXPECT_EQ(r.image.length, size - size % 64 + 64);
        EXPECT_GE(r.image.length, transferLength(size));
        for (size_t i = 0; i < r.image.length; ++i) ASSERT_EQ(r.image.data[i], i < size ? 0x11 : 0xFF) << i;
    }
}

TEST(FirmwareImage, MissingAndEmptyFilesAreRefused) {
    testsupport::TempDir dir;
    EXPECT_EQ(readImageFile(dir.path() + "/none.bin").error, ImageReadError::Open);
    EXPECT_EQ(readImageFile("").error, ImageReadError::Open);
    EXPECT_EQ(readImageFile(writeFile(dir, "empty.bin", "")).error, ImageReadError::Empty);
}

TEST(FirmwareImage, TheCompareSkipsOnlyTheClassesEepCopyWindow) {
    std::vector<uint8_t> a(0xC000, 0x5A);
    struct Case { uint8_t cls; size_t at; bool counted; };
    const Case cases[] = {
        {0x16, 0x5F80, false}, {0x16, 0x5FFF, false}, {0x16, 0x5F7F, true}, {0x16, 0x6000, true},
        {0x12, 0xBF80, false}, {0x12, 0xBFFF, false}, {0x12, 0xBF7F, true}, {0x12, 0x5F80, true},
        {0x10, 0x5F80, true},  {0x10, 0xBF80, true},  {0x21, 0x0000, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << std::hex << int(c.cls) << " at " << c.at);
        std::vector<uint8_t> b = a;
        b[c.at] ^= 0xFF;
        const auto d = firstCountedDifference(a.data(), b.data(), a.size(), c.cls);
        if (c.counted) {
            ASSERT_TRUE(d.has_value());
            EXPECT_EQ(*d, c.at);
        } else {
            EXPECT_FALSE(d.has_value());
        }
    }
    // The first counted difference, past earlier ones inside the window.
    std::vector<uint8_t> b = a;
    for (size_t i = 0x5F80; i <= 0x5FFF; ++i) b[i] = 0;
    b[0x6001] = 0;
    b[0x7000] = 0;
    EXPECT_EQ(firstCountedDifference(a.data(), b.data(), a.size(), 0x16), std::optional<size_t>(0x6001));
    EXPECT_EQ(firstCountedDifference(a.data(), b.data(), a.size(), 0x14), std::optional<size_t>(0x5F80));
}

TEST(FirmwareImage, SignaturesPerClass) {
    std::vector<uint8_t> rom(0x100, 0);
    auto sign = [&](const char* s) { std::copy(s, s + 4, rom.begin() + 0xFC); };
    sign("6352");
    EXPECT_TRUE(romSignatureValid(0x21, rom.data(), rom.size()));
    EXPECT_FALSE(romSignatureValid(0x16, rom.data(), rom.size()));
    EXPECT_FALSE(romSignatureValid(0x10, rom.data(), rom.size()));
    sign("XROM");
    EXPECT_TRUE(romSignatureValid(0x21, rom.data(), rom.size()));
    EXPECT_TRUE(romSignatureValid(0x10, rom.data(), rom.size()));
    EXPECT_TRUE(romSignatureValid(0x12, rom.data(), rom.size()));
    EXPECT_FALSE(romSignatureValid(0x16, rom.data(), rom.size()));
    sign("6389");
    EXPECT_TRUE(romSignatureValid(0x16, rom.data(), rom.size()));
    EXPECT_FALSE(romSignatureValid(0x21, rom.data(), rom.size()));
    EXPECT_FALSE(romSignatureValid(0x21, rom.data(), 0xFF)) << "too short to hold a signature";
}

TEST(FirmwareImage, VersionText) {
    const uint8_t v92[4] = {0, 0, 0, 0x92};
    EXPECT_EQ(firmwareVersionText(v92), "FW version: 0092");
    const uint8_t v100[4] = {'0', '1', '0', '0'};
    EXPECT_EQ(firmwareVersionText(v100), "0100");
    const uint8_t v93[4] = {0, 0, 0, 0x93};
    EXPECT_EQ(firmwareVersionText(v93), "") << "characters up to the first NUL, as the edit shows them";
}

// The follower ends when the transfer returns, also when the byte never
// reached 100 (a transfer that failed half way), and when the byte reaches
// 100 before the return is signalled.
TEST(ProgressFollower, EndsAtOneHundredOrWhenTheTransferReturns) {
    uint8_t byte = 0;
    ui::ManualResetEvent returned(false);
    std::vector<int> shown;
    std::thread follower([&] { followProgress(&byte, returned, [&](int p) { shown.push_back(p); }); });
    std::atomic_ref<uint8_t>(byte).store(37);
    returned.set();
    follower.join();
    EXPECT_LE(shown.size(), 1u);
    for (int p : shown) EXPECT_EQ(p, 37);

    ui::ManualResetEvent never(false);
    std::atomic_ref<uint8_t>(byte).store(100);
    shown.clear();
    std::thread second([&] { followProgress(&byte, never, [&](int p) { shown.push_back(p); }); });
    second.join();
    EXPECT_EQ(shown, std::vector<int>{100});
}
