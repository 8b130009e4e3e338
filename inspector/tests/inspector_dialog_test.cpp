// Peliskar's dialog run headless from scripts, on the simulator's flashdisk
// (512-byte pages, 16-byte spares) and flashdisk2k (2048-byte pages, 64-byte
// spares) profiles, with the simulated NAND and LUN read back afterwards.
#include "inspector/tests/inspector_test_support.h"

#include <algorithm>
#include <random>

using namespace inspector;
using namespace inspector::testing;

namespace {

struct Profile {
    const char* name;
    unsigned pageSize, spareSize, pages, blocks0;
};
void PrintTo(const Profile& p, std::ostream* os) { *os << p.name; }

const Profile kSmall{"flashdisk", 512, 16, 32, 1024};
const Profile kLarge{"flashdisk2k", 2048, 64, 64, 1024};

std::string hex(const std::vector<uint8_t>& v) { return hexText(v.data(), v.size()); }
std::vector<uint8_t> first16(const std::vector<uint8_t>& v) { return {v.begin(), v.begin() + 16}; }

class DialogTest : public InspectorTest, public ::testing::WithParamInterface<Profile> {
protected:
    const Profile& p() const { return GetParam(); }
    void SetUp() override {
        InspectorTest::SetUp();
        createDevice("fd", p().name, {"lun0.size=4M"});
    }
};

std::string actionsLine(bool read, bool write, bool next, bool prev, bool erase, bool nextBlk, bool prevBlk) {
    auto e = [](int id, bool on) { return "expect " + std::to_string(id) + " enabled " + (on ? "yes\n" : "no\n"); };
    return e(IDC_READ, read) + e(IDC_WRITE, write) + e(IDC_NEXT_PAGE, next) + e(IDC_PREV_PAGE, prev) +
           e(IDC_ERASE_BLOCK, erase) + e(IDC_NEXT_BLOCK, nextBlk) + e(IDC_PREV_BLOCK, prevBlk);
}

}  // namespace

INSTANTIATE_TEST_SUITE_P(Profiles, DialogTest, ::testing::Values(kSmall, kLarge),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_P(DialogTest, StartsInPhysicalModeShowingPage0OfBlock0OfChip0) {
    std::vector<Page> block0;
    {
        Nand nand;
        ASSERT_TRUE(nand.ok());
        block0 = nand.fillBlock(0, 0, p().pages, 11);
    }
    const std::string labels = addressColumn(p().pageSize);
    const std::string t = runPeliskar(
        "expect-title Peliskar\n"
        "expect 1005 checked yes\nexpect 1004 checked no\n"
        "expect 1007 enabled no\nexpect 1029 enabled yes\nexpect 1006 enabled yes\nexpect 1008 enabled yes\n"
        "expect 1023 enabled yes\n"
        "expect 1029 count 2\nexpect 1029 item:0 0\nexpect 1029 item:1 1\nexpect 1029 text 0\n"
        "expect 1006 text 0\nexpect 1008 text 0\n"
        "expect 1023 text " + hex(first16(block0[0].spare)) + "\n"
        "expect 1001 text " + hex(block0[0].data) + "\n"
        "expect 1002 text " + labels + "\n" +
        actionsLine(true, true, true, false, true, true, false) +
        "click 1025\n");
    EXPECT_EQ(exitCode, 0) << t;
    EXPECT_TRUE(has(t, "dialog \"Peliskar\" closed OK")) << t;
    EXPECT_EQ(labels.size(), p().pageSize / 16 * 7);
}

TEST_P(DialogTest, WritingOnePageRewritesItsBlockAndNothingElse) {
    std::mt19937 rng(std::random_device{}());
    const unsigned seed = rng();
    SCOPED_TRACE("seed " + std::to_string(seed));
    rng.seed(seed);
    std::vector<Page> before, next;
    {
        Nand nand;
        before = nand.fillBlock(1, 7, p().pages, seed);
        next = nand.fillBlock(1, 8, p().pages, seed + 1);
    }
    const unsigned target = p().pages - 2;
    const std::vector<uint8_t> data = randomBytes(rng, p().pageSize), spare = randomBytes(rng, 16);
    const std::string t = runPeliskar(
        "select 1029 1\ntext 1006 7\ntext 1008 " + std::to_string(target) + "\nclick 1003\n"
        "text 1023 " + hex(spare) + "\ntext 1001 " + hex(data) + "\n"
        "answer OK\nclick 1034\n");
    EXPECT_TRUE(has(t, box("Info", "none", "OK", "Write data to Flash success !", "OK"))) << t;
    Nand nand;
    const std::vector<Page> after = nand.readBlock(1, 7, p().pages);
    for (unsigned i = 0; i < p().pages; ++i) {
        if (i == target) {
            // The 16 shown spare bytes as typed; bytes 16 and up as zero.
            EXPECT_EQ(after[i], written(data, spare, p().spareSize));
        } else {
            EXPECT_EQ(after[i], before[i]) << "page " << i << " was not written back as read";
        }
    }
    EXPECT_EQ(nand.readBlock(1, 8, p().pages), next);
    EXPECT_TRUE(erased(nand.read(1, 6, 0)));
}

TEST_P(DialogTest, ShortOddSpacedAndUpperCaseTextsAsTheParsesReadThem) {
    {
        Nand nand;
        nand.fillBlock(0, 2, p().pages, 5);
    }
    // Data: "a b c" is the digits abc, the bytes 0a bc, then zeros. Spare:
    // "A BC D" is the bytes ab cd.
    const std::string t = runPeliskar(
        "text 1006 2\ntext 1008 3\n"
        "text 1023 a BC d\ntext 1001 a b c\nanswer OK\nclick 1034\n"
        "text 1008 4\n"
        "text 1023 ff\ntext 1001 DE AD be EF 0 1 2\nanswer OK\nclick 1034\n");
    EXPECT_EQ(exitCode, 0) << t;
    Nand nand;
    Page pg = nand.read(0, 2, 3);
    std::vector<uint8_t> data(p().pageSize, 0);
    data[0] = 0x0a;
    data[1] = 0xbc;
    std::vector<uint8_t> spare(16, 0);
    spare[0] = 0xab;
    spare[1] = 0xcd;
    EXPECT_EQ(pg, written(data, spare, p().spareSize));
    pg = nand.read(0, 2, 4);
    std::fill(data.begin(), data.end(), 0);
    const uint8_t want[] = {0xde, 0xad, 0xbe, 0xef, 0x00, 0x12};
    std::copy(std::begin(want), std::end(want), data.begin());
    std::fill(spare.begin(), spare.end(), 0);
    spare[0] = 0xff;
    EXPECT_EQ(pg, written(data, spare, p().spareSize));
}

TEST_P(DialogTest, EmptyAreasAskAndBadDigitsStopTheWrite) {
    std::vector<Page> before;
    {
        Nand nand;
        before = nand.fillBlock(0, 5, p().pages, 9);
    }
    const std::string spareQ = "Redundant Area is Empty !\nDo you still want to write data to Flash ?";
    const std::string dataQ = "Data Area is Empty !\nDo you still want to write data to Flash ?";
    const std::string t = runPeliskar(
        "text 1006 5\n"
        "text 1023 \nanswer No\nclick 1034\n"                          // no write
        "text 1023 00 11 zz\nanswer OK\nclick 1034\n"                 // bad spare
        "text 1023 00\ntext 1001 0g\nanswer OK\nclick 1034\n"         // bad data
        "text 1001 \nanswer No\nclick 1034\n"                         // no write
        "text 1023 \ntext 1001 \nanswer Yes\nanswer Yes\nanswer OK\nclick 1034\n");  // zeros
    EXPECT_TRUE(has(t, box("Question", "question", "YesNo", spareQ, "No"))) << t;
    EXPECT_TRUE(has(t, box("Error", "error", "OK", "Redundant data input is incorrect !", "OK"))) << t;
    EXPECT_TRUE(has(t, box("Error", "error", "OK", "Data input is incorrect !", "OK"))) << t;
    EXPECT_TRUE(has(t, box("Question", "question", "YesNo", dataQ, "No"))) << t;
    EXPECT_TRUE(has(t, box("Question", "question", "YesNo", dataQ, "Yes"))) << t;
    Nand nand;
    const std::vector<Page> after = nand.readBlock(0, 5, p().pages);
    EXPECT_EQ(after[0], written(std::vector<uint8_t>(p().pageSize, 0), std::vector<uint8_t>(16, 0), p().spareSize));
    for (unsigned i = 1; i < p().pages; ++i) EXPECT_EQ(after[i], before[i]);
}

TEST_P(DialogTest, ClearedFieldsDisableQuietlyAndOutOfRangeNumbersSayWhy) {
    const std::string off = actionsLine(false, false, false, false, false, false, false);
    const std::string t = runPeliskar(
        "text 1006 \n" + off +
        "text 1006 3\n" + actionsLine(true, true, true, false, true, true, true) +
        "text 1008 \n" + off +
        "answer OK\ntext 1008 " + std::to_string(p().pages) + "\n" + off +
        "text 1008 0\n"
        "answer OK\ntext 1006 " + std::to_string(p().blocks0) + "\n" + off +
        // Both out of range: the page is checked first and alone reported.
        "answer OK\ntext 1008 99\n"
        "answer OK\ntext 1008 0\n"
        // A number past 16 bits is out of range, not block 1.
        "answer OK\ntext 1006 65537\n" + off +
        "text 1006 0\n" + actionsLine(true, true, true, false, true, true, false));
    EXPECT_EQ(exitCode, 0) << t;
    const std::string pageMsg =
        box("Info", "error", "OK", "Please enter an integer between 0 and " + std::to_string(p().pages - 1) + " in Page Field.", "OK");
    const std::string blockMsg = box("Info", "error", "OK",
        "Please enter an integer between 0 and " + std::to_string(p().blocks0 - 1) + " in Physical Block Field.", "OK");
    auto count = [&t](const std::string& line) {
        size_t n = 0;
        for (size_t at = t.find(line); at != std::string::npos; at = t.find(line, at + 1)) ++n;
        return n;
    };
    EXPECT_EQ(count(pageMsg), 2u) << t;
    EXPECT_EQ(count(blockMsg), 3u) << t;
    EXPECT_EQ(count("box "), 5u) << "clearing a field shows nothing\n" << t;
}

TEST_P(DialogTest, FirstAndLastPageBlockAndSector) {
    const std::string lastPage = std::to_string(p().pages - 1), lastBlock = std::to_string(p().blocks0 - 1);
    uint32_t sectors = 0, sectorSize = 0;
    {
        Nand nand;
        ASSERT_EQ(VelkReadCapacity(nand.handle(), 0, &sectors, &sectorSize), 1);
    }
    const std::string lastLba = std::to_string(sectors - 1);
    const std::string t = runPeliskar(
        // The last page: Next Page off.
        "text 1008 " + lastPage + "\n" + actionsLine(true, true, false, true, true, true, false) +
        // Next Page from the one before lands on it.
        "text 1008 " + std::to_string(p().pages - 2) + "\nclick 1009\nexpect 1008 text " + lastPage + "\n" +
        // The last block: Next Blk off; its last page: Prev Page and Prev Blk on.
        "text 1006 " + lastBlock + "\n" + actionsLine(true, true, false, true, true, false, true) +
        // Prev Page and Prev Blk.
        "click 1010\nexpect 1008 text " + std::to_string(p().pages - 2) + "\n"
        "click 1013\nexpect 1006 text " + std::to_string(p().blocks0 - 2) + "\nexpect 1008 text 0\n" +
        actionsLine(true, true, true, false, true, true, true) +
        // Logical: LBA 0 then the last LBA.
        "click 1004\nexpect 1007 text 0\nexpect 1007 enabled yes\nexpect 1006 enabled no\nexpect 1023 enabled no\n" +
        actionsLine(true, true, true, false, false, false, false) +
        "text 1007 " + lastLba + "\n" + actionsLine(true, true, false, true, false, false, false) +
        "click 1010\nexpect 1007 text " + std::to_string(sectors - 2) + "\n" +
        "click 1009\nexpect 1007 text " + lastLba + "\n" +
        "answer OK\ntext 1007 " + std::to_string(sectors) + "\n" +
        actionsLine(false, false, false, false, false, false, false) +
        "text 1007 \n" + actionsLine(false, false, false, false, false, false, false) +
        // Back to physical: the fields are still valid, and the page is read.
        "click 1005\n" + actionsLine(true, true, true, false, true, true, true));
    EXPECT_EQ(exitCode, 0) << t;
    EXPECT_TRUE(has(t, box("Info", "error", "OK",
                           "Please enter an integer between 0 and " + std::to_string(sectors - 1) +
                               " in Logical Address Field.",
                           "OK")))
        << t;
}

TEST_P(DialogTest, NextAndPrevBlockShowPage0OfTheNewBlock) {
    std::vector<Page> b3, b4;
    {
        Nand nand;
        b3 = nand.fillBlock(0, 3, 1, 31);
        b4 = nand.fillBlock(0, 4, 1, 41);
    }
    const std::string t = runPeliskar(
        "text 1006 3\ntext 1008 5\nclick 1012\n"
        "expect 1006 text 4\nexpect 1008 text 0\nexpect 1001 text " + hex(b4[0].data) + "\n"
        "text 1008 7\nclick 1013\n"
        "expect 1006 text 3\nexpect 1008 text 0\nexpect 1001 text " + hex(b3[0].data) + "\n"
        "expect 1023 text " + hex(first16(b3[0].spare)) + "\n");
    EXPECT_EQ(exitCode, 0) << t;
}

TEST_P(DialogTest, AFailedReadDuringNavigationStillMovesTheField) {
    std::vector<Page> b0;
    {
        Nand nand;
        b0 = nand.fillBlock(0, 0, 1, 3);
    }
    fault("fd", "page-read 0 0 1");
    const std::string t = runPeliskar(
        "answer OK\nclick 1009\n"
        "expect 1008 text 1\nexpect 1001 text " + hex(b0[0].data) + "\n"
        "expect 1023 text " + hex(first16(b0[0].spare)) + "\n");
    EXPECT_EQ(exitCode, 0) << t;
    EXPECT_TRUE(has(t, box("Error", "error", "OK", "Flash Data Read Fail!", "OK"))) << t;
}

TEST_P(DialogTest, ABlockWhosePagesCannotAllBeReadIsNeverErased) {
    std::vector<Page> before;
    {
        Nand nand;
        before = nand.fillBlock(0, 4, p().pages, 4);
    }
    fault("fd", "page-read 0 4 " + std::to_string(p().pages - 1));
    const std::string t = runPeliskar("text 1006 4\ntext 1001 00 11 22\nanswer OK\nclick 1034\n");
    EXPECT_TRUE(has(t, box("Error", "error", "OK", "Flash Data Read Error, so Writing Fail !", "OK"))) << t;
    fault("fd", "clear");
    Nand nand;
    EXPECT_EQ(nand.readBlock(0, 4, p().pages), before);
}

TEST_P(DialogTest, AFailedEraseLeavesTheBlockAndEraseBlkSaysNothing) {
    std::vector<Page> before;
    {
        Nand nand;
        before = nand.fillBlock(0, 9, p().pages, 12);
    }
    fault("fd", "erase 0 9");
    const std::string t = runPeliskar(
        "text 1006 9\ntext 1001 00 11 22\nanswer OK\nclick 1034\n"
        "text 1001 77\nclick 1011\nexpect 1001 text 77\n");
    EXPECT_TRUE(has(t, box("Error", "error", "OK", "Erase block fail!", "OK"))) << t;
    EXPECT_EQ(t.find("box", t.find("Erase block fail!")), std::string::npos) << "Erase Blk shows no message";
    Nand nand;
    EXPECT_EQ(nand.readBlock(0, 9, p().pages), before);
}

TEST_P(DialogTest, EraseBlkErasesTheBlockEvenWriteProtectedAndShowsThePage) {
    {
        Nand nand;
        nand.fillBlock(1, 3, p().pages, 77);
    }
    ASSERT_EQ(VelkSimSetWriteProtect("fd", 1), 1);
    const std::string ff = std::string(3 * p().pageSize, 'f');
    const std::string t = runPeliskar(
        "select 1029 1\ntext 1006 3\ntext 1008 2\nclick 1011\n"
        "expect 1006 text 3\nexpect 1008 text 2\nexpect 1023 text " + hex(std::vector<uint8_t>(16, 0xff)) + "\n");
    EXPECT_EQ(exitCode, 0) << t;
    Nand nand;
    for (const Page& pg : nand.readBlock(1, 3, p().pages)) EXPECT_TRUE(erased(pg));
}

TEST_P(DialogTest, WriteProtectStopsBothWrites) {
    std::vector<Page> before;
    std::vector<uint8_t> sector0;
    {
        Nand nand;
        before = nand.fillBlock(0, 1, p().pages, 1);
        sector0 = nand.sector(0);
    }
    ASSERT_EQ(VelkSimSetWriteProtect("fd", 1), 1);
    const std::string t = runPeliskar(
        "text 1006 1\nanswer OK\nclick 1034\n"
        "click 1004\nanswer OK\nclick 1034\n");
    const std::string wp = "The disk cannot be written!\nThe switched is in write protect mode.\n";
    const std::string line = box("Error", "error", "OK", wp, "OK");
    ASSERT_TRUE(has(t, line)) << t;
    EXPECT_NE(t.find(line), t.rfind(line)) << "both modes check the switch first";
    ASSERT_EQ(VelkSimSetWriteProtect("fd", 0), 1);
    Nand nand;
    EXPECT_EQ(nand.readBlock(0, 1, p().pages), before);
    EXPECT_EQ(nand.sector(0), sector0);
}

TEST_P(DialogTest, TheLogicalWriteChecksTheSwitchAgain) {
    // The switch goes on between the Write button's check and the logical
    // write's own.
    int calls = 0;
    const std::string t = runHooked(
        "click 1004\ntext 1007 5\ntext 1001 12 34\nanswer OK\nclick 1034\n",
        [&calls](HookedDevice& d) { d.statusBits = [&calls] { return ++calls >= 2 ? 1 : 0; }; });
    EXPECT_TRUE(has(t, box("Warning", "error", "OK", "WRITE PROTECT", "OK"))) << t;
    Nand nand;
    EXPECT_EQ(nand.sector(5), std::vector<uint8_t>(512, 0));
}

TEST_P(DialogTest, LogicalModeReadsAndWritesSectors) {
    std::mt19937 rng(std::random_device{}());
    const unsigned seed = rng();
    SCOPED_TRACE("seed " + std::to_string(seed));
    rng.seed(seed);
    const std::vector<uint8_t> s9 = randomBytes(rng, 512), typed = randomBytes(rng, 512);
    {
        Nand nand;
        nand.writeSector(9, s9);
    }
    const std::string t = runPeliskar(
        "click 1004\ntext 1007 9\nclick 1003\n"
        "expect 1001 text " + hex(s9) + "\n"
        // The address column has a label per 16 bytes of the page, also here.
        "expect 1002 text " + addressColumn(p().pageSize) + "\n"
        "text 1007 10\ntext 1001 " + hex(typed) + "\nanswer OK\nclick 1034\n"
        "text 1001 \nanswer No\nclick 1034\n");
    EXPECT_TRUE(has(t, box("Info", "none", "OK", "Write data to Flash (logical area) success !", "OK"))) << t;
    Nand nand;
    EXPECT_EQ(nand.sector(9), s9);
    EXPECT_EQ(nand.sector(10), typed);
}

TEST_P(DialogTest, AFailedLogicalWriteSaysSo) {
    fault("fd", "lba-write 0 3");
    const std::string t = runPeliskar("click 1004\ntext 1007 3\ntext 1001 01\nanswer OK\nclick 1034\n");
    EXPECT_TRUE(has(t, box("Error", "error", "OK", "Write data to Flash (logical area) fail!", "OK"))) << t;
}

TEST_P(DialogTest, TheAddressColumnFollowsTheDataBoxScroll) {
    const unsigned rows = p().pageSize / 16;
    const std::string t = runPeliskar(
        "expect 1001 line 0\n"
        "scroll 1001 10\nexpect 1001 line 10\nexpect 1002 text " + addressColumn(p().pageSize, 10) + "\n"
        "scroll 1001 " + std::to_string(rows - 1) + "\nexpect 1002 text " + addressColumn(p().pageSize, rows - 1) + "\n"
        // Past the last row: the box stops at its last row.
        "scroll 1001 9999\nexpect 1001 line " + std::to_string(rows - 1) + "\n"
        // A read shows the page from its first row again, with every label.
        "click 1003\nexpect 1001 line 0\nexpect 1002 text " + addressColumn(p().pageSize) + "\n"
        // Navigation reads too.
        "scroll 1001 3\nclick 1009\nexpect 1001 line 0\nexpect 1002 text " + addressColumn(p().pageSize) + "\n");
    EXPECT_EQ(exitCode, 0) << t;
}

class StartTest : public InspectorTest {};

TEST_F(StartTest, NoDeviceEndsWithAMessage) {
    const std::string t = runPeliskar("answer OK\n");
    EXPECT_EQ(exitCode, 0) << t;
    EXPECT_TRUE(has(t, box("Information", "error", "OK", "Device not found", "OK"))) << t;
    EXPECT_EQ(result, ui::IDCANCEL);
}

TEST_F(StartTest, ADeviceWithoutFlashEndsSilently) {
    createDevice("r", "reader");
    const std::string t = runPeliskar("");
    EXPECT_EQ(exitCode, 0) << t;
    EXPECT_FALSE(has(t, "box ")) << t;
    EXPECT_EQ(result, ui::IDCANCEL);
}

TEST_P(DialogTest, AboutBoxFromTheSystemMenu) {
    const std::string t = runPeliskar("click 16\nexpect-title About Peliskar\nclick 1\nexpect-title Peliskar\n");
    EXPECT_EQ(exitCode, 0) << t;
    EXPECT_TRUE(has(t, "dialog \"About Peliskar\" opened")) << t;
}

// Regression: a page write that failed in a block rewrite stopped the
// rewrite and left every later page of the block erased.
TEST_P(DialogTest, AFailedPageWriteStillWritesTheRestOfTheBlock) {
    std::vector<Page> before;
    {
        Nand nand;
        before = nand.fillBlock(0, 6, p().pages, 66);
    }
    constexpr unsigned failing = 3, target = 10;
    const std::string t = runHooked(
        "text 1006 6\ntext 1008 " + std::to_string(target) + "\ntext 1023 01 02\ntext 1001 aa bb\n"
        "answer OK\nclick 1034\n",
        [](HookedDevice& d) {
            d.before = [](const std::string& op, unsigned page) { return !(op == "writePhysical" && page == failing); };
        });
    EXPECT_TRUE(has(t, box("Error", "error", "OK", "Write data to Flash fail!", "OK"))) << t;
    EXPECT_FALSE(has(t, "success")) << t;
    Nand nand;
    const std::vector<Page> after = nand.readBlock(0, 6, p().pages);
    std::vector<uint8_t> data(p().pageSize, 0);
    data[0] = 0xaa;
    data[1] = 0xbb;
    std::vector<uint8_t> spare(16, 0);
    spare[0] = 1;
    spare[1] = 2;
    for (unsigned i = 0; i < p().pages; ++i) {
        if (i == failing) {
            EXPECT_EQ(after[i].spare, before[i].spare) << "its spare was written, its data failed";
            EXPECT_EQ(after[i].data, std::vector<uint8_t>(p().pageSize, 0xFF));
        } else if (i == target) {
            EXPECT_EQ(after[i], written(data, spare, p().spareSize));
        } else {
            EXPECT_EQ(after[i], before[i]) << "page " << i;
        }
    }
}

// More chips than the simulator's record holds (it has room for 8): the
// Flash Num list orders its items as text and the chip is the number of the
// selected item.
TEST_F(StartTest, MoreThanTenChipsAreOrderedAsTextAndAddressedByTheirNumber) {
    createDevice("fd", "flashdisk");   // the device list the dialog opens
    std::vector<ChipLimits> chips(12, ChipLimits{64, 32});
    chips[10] = ChipLimits{20, 8};
    auto flash = std::make_shared<MemoryFlash>(512, chips);
    const std::vector<uint8_t> mark(512, 0x3c);
    flash->at(10, 19, 7).data = mark;
    flash->at(1, 19, 7).data.assign(512, 0x11);   // item 1 is chip 1, not chip 10
    const std::string t = runPeliskar(
        "expect 1029 count 12\n"
        "expect 1029 item:0 0\nexpect 1029 item:1 1\nexpect 1029 item:2 10\nexpect 1029 item:3 11\n"
        "expect 1029 item:4 2\nexpect 1029 item:11 9\n"
        // Item 2 is chip 10, whose blocks have 8 pages.
        "text 1008 7\nselect 1029 2\nexpect 1029 text 10\nexpect 1009 enabled no\n"
        "answer OK\ntext 1008 8\n"
        "text 1008 7\ntext 1006 19\nclick 1003\nexpect 1001 text " + hexText(mark.data(), mark.size()) + "\n"
        "text 1001 c0 ff ee\ntext 1023 12\nanswer OK\nclick 1034\n"
        "select 1029 4\nexpect 1029 text 2\n",
        [flash](VelkHandle) { return std::make_unique<SharedDevice>(flash); });
    EXPECT_EQ(exitCode, 0) << t;
    EXPECT_TRUE(has(t, box("Info", "error", "OK", "Please enter an integer between 0 and 7 in Page Field.", "OK")))
        << t;
    EXPECT_TRUE(has(t, box("Info", "none", "OK", "Write data to Flash success !", "OK"))) << t;
    std::vector<uint8_t> data(512, 0);
    data[0] = 0xc0;
    data[1] = 0xff;
    data[2] = 0xee;
    EXPECT_EQ(flash->at(10, 19, 7).data, data);
    EXPECT_EQ(flash->at(10, 19, 7).spare, (std::vector<uint8_t>{0x12, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(flash->at(1, 19, 7).data, std::vector<uint8_t>(512, 0x11));
}

// Chips with different page counts: the rewrite holds the pages per block
// of chip 0 (taken at start), the checks use the selected chip's.
TEST_F(StartTest, ARewriteStaysInsideTheSelectedChipsBlock) {
    // Chip 1 has fewer pages than chip 0: only its own 32 are read and written.
    createDevice("fd", "flashdisk", {"pages=64,32"});
    std::vector<Page> before, next;
    {
        Nand nand;
        before = nand.fillBlock(1, 2, 32, 21);
        next = nand.fillBlock(1, 3, 32, 22);
    }
    std::string t = runPeliskar(
        "select 1029 1\ntext 1006 2\nanswer OK\ntext 1008 32\n"
        "text 1008 3\ntext 1023 01\ntext 1001 02\nanswer OK\nclick 1034\n");
    EXPECT_TRUE(has(t, box("Info", "error", "OK", "Please enter an integer between 0 and 31 in Page Field.", "OK")))
        << t;
    EXPECT_TRUE(has(t, box("Info", "none", "OK", "Write data to Flash success !", "OK"))) << t;
    {
        Nand nand;
        const std::vector<Page> after = nand.readBlock(1, 2, 32);
        std::vector<uint8_t> data(512, 0), spare(16, 0);
        data[0] = 2;
        spare[0] = 1;
        for (unsigned i = 0; i < 32; ++i)
            EXPECT_EQ(after[i], i == 3 ? written(data, spare, 16) : before[i]) << "page " << i;
        EXPECT_EQ(nand.readBlock(1, 3, 32), next);
    }
}

TEST_F(StartTest, ABlockWithMorePagesThanTheRewriteHoldsIsNeverErased) {
    // Chip 1 has more pages than chip 0: its blocks do not fit the buffers.
    createDevice("fd", "flashdisk", {"pages=32,64"});
    std::vector<Page> before;
    {
        Nand nand;
        before = nand.fillBlock(1, 2, 64, 23);
    }
    const std::string t = runPeliskar("select 1029 1\ntext 1006 2\ntext 1008 40\nclick 1003\nanswer OK\nclick 1034\n");
    EXPECT_TRUE(has(t, box("Error", "error", "OK", "Flash Data Read Error, so Writing Fail !", "OK"))) << t;
    Nand nand;
    EXPECT_EQ(nand.readBlock(1, 2, 64), before);
}

// Regression: Prev Page and Prev Blk, enabled on the last page of the last
// block even at page or block 0, read page 65535 and moved the field there.
TEST_F(StartTest, PrevAtTheFirstPageBlockOrSectorDoesNothing) {
    createDevice("fd", "flashdisk", {"chips=1", "blocks=1", "pages=1", "lun0.sectors=1"});
    const std::string t = runPeliskar(
        "expect 1010 enabled yes\nexpect 1013 enabled yes\nexpect 1009 enabled no\nexpect 1012 enabled no\n"
        "click 1010\nclick 1013\nexpect 1008 text 0\nexpect 1006 text 0\n"
        "click 1004\nexpect 1010 enabled yes\nclick 1010\nexpect 1007 text 0\n");
    EXPECT_EQ(exitCode, 0) << t;
    EXPECT_FALSE(has(t, "box ")) << t;
}
