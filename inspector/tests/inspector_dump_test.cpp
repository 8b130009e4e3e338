// Save and Restore in the dialog: page dump files written from the view and
// written back to the simulated flash disk.
#include "inspector/page_dump.h"
#include "inspector/tests/inspector_test_support.h"

#include <filesystem>
#include <fstream>
#include <random>

using namespace inspector;
using namespace inspector::testing;

namespace {

std::string hex(const std::vector<uint8_t>& v) { return hexText(v.data(), v.size()); }

void writeText(const std::string& path, const std::string& text) { std::ofstream(path, std::ios::binary) << text; }

const std::string kSaveFilter = "\"Setup File (*.txt)|*.txt||\"";

class DumpTest : public InspectorTest {
protected:
    unsigned seed() {
        if (!seed_) {
            seed_ = std::random_device{}();
            std::cout << "[ seed     ] " << seed_ << "\n";
        }
        return seed_;
    }
    unsigned seed_ = 0;
};

}  // namespace

TEST_F(DumpTest, SaveWritesTheViewAndSaysWhere) {
    createDevice("fd", "flashdisk");
    std::vector<Page> b2;
    {
        Nand nand;
        b2 = nand.fillBlock(0, 2, 4, 2);
    }
    const std::string path = file("page");   // the dialog adds ".txt"
    const std::string t = runPeliskar(
        "text 1006 2\ntext 1008 3\nclick 1003\n"
        "file -\nclick 1026\n"
        "file " + path + "\nanswer OK\nclick 1026\n");
    EXPECT_EQ(exitCode, 0) << t;
    EXPECT_TRUE(has(t, "file save " + kSaveFilter + " -> cancel")) << t;
    EXPECT_TRUE(has(t, box("Pelisk", "none", "OK", "Finish to save file " + path + ".txt !", "OK"))) << t;
    const std::vector<uint8_t> spare16(b2[3].spare.begin(), b2[3].spare.begin() + 16);
    EXPECT_EQ(testsupport::readFile(path + ".txt"), dumpText(true, hex(spare16), hex(b2[3].data), 512));
    EXPECT_FALSE(std::filesystem::exists(path)) << "only the named file is made";
}

TEST_F(DumpTest, SaveThatCannotCreateTheFileSaysSoAndAFailedReplaceKeepsTheOldFile) {
    createDevice("fd", "flashdisk");
    const std::string old = file("old.txt");
    writeText(old, "kept");
    std::filesystem::create_directory(file("dir.txt"));
    const std::string t = runPeliskar(
        "file " + file("missing/x.txt") + "\nanswer OK\nclick 1026\n"
        "file " + file("dir.txt") + "\nanswer OK\nclick 1026\n"
        "file " + old + "\nanswer OK\nclick 1026\n");
    const std::string err = box("Error", "error", "OK", "Error to open file", "OK");
    ASSERT_TRUE(has(t, err)) << t;
    EXPECT_NE(t.find(err), t.rfind(err)) << t;
    EXPECT_NE(testsupport::readFile(old), "kept") << "an existing file is replaced";
    EXPECT_EQ(testsupport::readFile(old).substr(0, 16), "[Redundant_Area]");
    // Nothing left beside it.
    size_t files = 0;
    for (const auto& e : std::filesystem::directory_iterator(std::filesystem::path(old).parent_path()))
        files += e.path().filename().string().rfind("old.txt", 0) == 0;
    EXPECT_EQ(files, 1u);
}

// Save followed by Restore gives back the device's page data and the 16
// shown spare bytes, or the sector, on random contents.
struct RoundTrip {
    const char* profile;
    bool physical;
    unsigned bytes;   // page or sector size
};

class RoundTripTest : public DumpTest, public ::testing::WithParamInterface<RoundTrip> {};

TEST_P(RoundTripTest, SaveThenRestoreReproducesTheContents) {
    const RoundTrip rt = GetParam();
    createDevice("fd", rt.profile, {"lun0.size=2M"});
    std::mt19937 rng(seed());
    const std::string path = file("dump.txt");
    std::vector<Page> first;
    std::vector<uint8_t> sector;
    const unsigned block = 5, page = 3, lba = 77;
    {
        Nand nand;
        first = nand.fillBlock(1, block, 8, rng());
        sector = randomBytes(rng, rt.bytes);
        if (!rt.physical) nand.writeSector(lba, sector);
    }
    const std::string go = rt.physical ? "select 1029 1\ntext 1006 " + std::to_string(block) + "\ntext 1008 " +
                                             std::to_string(page) + "\nclick 1003\n"
                                       : "click 1004\ntext 1007 " + std::to_string(lba) + "\nclick 1003\n";
    std::string t = runPeliskar(go + "file " + path + "\nanswer OK\nclick 1026\n");
    ASSERT_EQ(exitCode, 0) << t;

    // Other contents on the device, then the file back.
    std::vector<Page> second;
    {
        Nand nand;
        second = nand.fillBlock(1, block, 8, rng());
        nand.writeSector(lba, randomBytes(rng, rt.bytes));
    }
    t = runPeliskar(go + "file " + path + "\nanswer OK\nclick 1027\n");
    ASSERT_EQ(exitCode, 0) << t;
    EXPECT_TRUE(has(t, rt.physical ? "Write data to Flash success !" : "Write data to Flash (logical area) success !"))
        << t;
    Nand nand;
    if (rt.physical) {
        const Page back = nand.read(1, block, page);
        EXPECT_EQ(back.data, first[page].data);
        EXPECT_TRUE(std::equal(back.spare.begin(), back.spare.begin() + 16, first[page].spare.begin()));
        for (unsigned i = 0; i < 8; ++i) {
            if (i == page) continue;
            EXPECT_EQ(nand.read(1, block, i), second[i]) << "page " << i;
        }
    } else {
        EXPECT_EQ(nand.sector(lba, rt.bytes), sector);
    }
}

INSTANTIATE_TEST_SUITE_P(Dumps, RoundTripTest,
                         ::testing::Values(RoundTrip{"flashdisk", true, 512}, RoundTrip{"flashdisk", false, 512},
                                           RoundTrip{"flashdisk2k", true, 2048}, RoundTrip{"flashdisk2k", false, 512},
                                           // Regression: Save kept one page of text, so a 2048-byte
                                           // sector on 512-byte-page flash came back as 512 bytes and zeros.
                                           RoundTrip{"cdrom", false, 2048}),
                         [](const auto& info) {
                             return std::string(info.param.profile) + (info.param.physical ? "_physical" : "_logical");
                         });

TEST_F(DumpTest, ALogicalDumpRestoredInPhysicalModeChangesNothingAndTheReverseWritesTheSector) {
    createDevice("fd", "flashdisk", {"lun0.size=2M"});
    std::mt19937 rng(seed());
    const std::vector<uint8_t> s4 = randomBytes(rng, 512);
    std::vector<Page> b0;
    {
        Nand nand;
        nand.writeSector(4, s4);
        b0 = nand.fillBlock(0, 0, 32, rng());
    }
    const std::string logical = file("logical.txt"), physical = file("physical.txt");
    std::string t = runPeliskar(
        "click 1004\ntext 1007 4\nclick 1003\nfile " + logical + "\nanswer OK\nclick 1026\n"
        "click 1005\nfile " + physical + "\nanswer OK\nclick 1026\n"
        // The logical file in physical mode: no spare section before [End].
        "text 1023 77\nfile " + logical + "\nclick 1027\nexpect 1023 text 77\n"
        // The physical file in logical mode: its data, at LBA 9.
        "click 1004\ntext 1007 9\nfile " + physical + "\nanswer OK\nclick 1027\n");
    EXPECT_EQ(exitCode, 0) << t;
    EXPECT_EQ(testsupport::readFile(logical).substr(0, 11), "[Data_Area]");
    Nand nand;
    EXPECT_EQ(nand.readBlock(0, 0, 32), b0) << "the logical file wrote nothing in physical mode";
    EXPECT_EQ(nand.sector(9), b0[0].data);
}

TEST_F(DumpTest, FilesWithoutEndUpperCaseDigitsCrLfAndEmptySections) {
    createDevice("fd", "flashdisk2k");
    std::vector<Page> before;
    {
        Nand nand;
        before = nand.fillBlock(0, 1, 64, 1);
    }
    const std::string noEnd = file("noend.txt"), upper = file("upper.txt"), empty = file("empty.txt"),
                      missing = file("none.txt");
    writeText(noEnd, "[Redundant_Area]\n\n\t\t01 02\n\n[Data_Area]\n\n0x0000h : 0a 0b\n\n");
    writeText(upper, "[Redundant_Area]\r\n\r\n\t\tAB CD EF\r\n\r\n[Data_Area]\r\n\r\n"
                     "0x0000h : DE AD BE EF 01 02 03 04 05 06 07 08 09 0A 0B 0C\r\n"
                     "0x0010h : FF\r\n\r\n\r\n[End]");
    writeText(empty, "[Redundant_Area]\n\n[Data_Area]\n\n0x0000h : 11\n\n\n[End]");
    const std::string t = runPeliskar(
        "text 1006 1\ntext 1008 2\n"
        "file " + missing + "\nanswer OK\nclick 1027\n"
        "file " + noEnd + "\nanswer OK\nclick 1027\n"
        // The spare text already placed stays in the box.
        "expect 1023 text 01 02\n"
        "file " + empty + "\nanswer No\nclick 1027\n"
        "text 1008 3\nfile " + upper + "\nanswer OK\nclick 1027\n"
        "expect 1023 text AB CD EF\n");
    EXPECT_EQ(exitCode, 0) << t;
    EXPECT_TRUE(has(t, box("Error", "error", "OK", "Error to open file", "OK"))) << t;
    EXPECT_TRUE(has(t, box("Error", "error", "OK", "Error to read file", "OK"))) << t;
    EXPECT_TRUE(has(t, box("Question", "question", "YesNo",
                           "Redundant Area is Empty !\nDo you still want to write data to Flash ?", "No")))
        << t;
    EXPECT_TRUE(has(t, box("Info", "none", "OK", "Write data to Flash success !", "OK"))) << t;
    Nand nand;
    const std::vector<Page> after = nand.readBlock(0, 1, 64);
    std::vector<uint8_t> data(2048, 0), spare(16, 0);
    const uint8_t d[] = {0xde, 0xad, 0xbe, 0xef, 1, 2, 3, 4, 5, 6, 7, 8, 9, 0x0a, 0x0b, 0x0c, 0xff};
    std::copy(std::begin(d), std::end(d), data.begin());
    spare[0] = 0xab;
    spare[1] = 0xcd;
    spare[2] = 0xef;
    for (unsigned i = 0; i < 64; ++i)
        EXPECT_EQ(after[i], i == 3 ? written(data, spare, 64) : before[i]) << "page " << i;
}
