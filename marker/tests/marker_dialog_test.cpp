// Retirex's dialog, run headless from scripts on the virtual clock, with the
// simulated flash disk checked through the device library afterwards.
#include "marker/marker_dialog.h"

#include "scanner/tests/script_run.h"

#include <velk.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <memory>
#include <vector>

#include <sys/stat.h>
#include <unistd.h>

using namespace marker;
using scanner::testing::ScriptedTest;

namespace {

struct Retired {
    int chip;
    uint32_t block;
    int64_t start, end;   // program clock around the retire
};

class MarkerDialogTest : public ScriptedTest {
protected:
    std::string runDialog(const std::string& script) {
        return run("Retirex", script, [&] {
            MarkerDialog dlg([&](VelkHandle h) {
                ++markersMade;
                struct Recording : BlockMarker {
                    VelkBlockMarker real;
                    std::vector<Retired>& out;
                    Recording(VelkHandle h, std::vector<Retired>& o) : real(h), out(o) {}
                    void markBad(uint8_t c, uint32_t b) override {
                        const int64_t t0 = ui::nowMs();
                        real.markBad(c, b);
                        out.push_back({c, b, t0, ui::nowMs()});
                    }
                };
                return std::make_unique<Recording>(h, retired);
            });
            result = dlg.runModal();
        });
    }
    std::string writeLog(const std::string& name, const std::string& text) {
        const std::string path = file(name);
        std::FILE* f = std::fopen(path.c_str(), "wb");
        std::fwrite(text.data(), 1, text.size(), f);
        std::fclose(f);
        return path;
    }
    static std::string record(int chip, int block, int spares, bool bad) {
        std::string s = "Flash #" + std::to_string(chip) + ", Block #" + std::to_string(block) + "\n";
        for (int i = 0; i < spares; ++i) s += "    FF FF FF FF FF FF FF FF FF FF FF FF FF FF FF FF\n";
        return s + (bad ? "Block Status : Fail\n\n" : "Block Status : OK\n\n");
    }
    // A log of 12 blocks on chip 0 with the given bad ones.
    static std::string logWithBad(std::vector<int> bad, int spares = 2) {
        std::string s =
            "This flash Page size is  512 bytes\nFlash quantity : 1\nTotal blocks   : 0xC\nTotal pages    : 0x180\n" +
            std::string(55, '=') + "\nFlash Number #0 : Block Size = 32 Pages\n\n";
        int n = 0;
        for (int b = 0; b < 12; ++b) {
            bool isBad = std::find(bad.begin(), bad.end(), b) != bad.end();
            n += isBad;
            s += record(0, b, spares, isBad);
        }
        return s + "Bad blocks : " + std::to_string(n) + "\n";
    }

    int result = -1;
    int markersMade = 0;
    std::vector<Retired> retired;
};

bool has(const std::string& transcript, const std::string& line) {
    return transcript.find(line) != std::string::npos;
}

}  // namespace

TEST_F(MarkerDialogTest, OpenFileNeedsAModeAndReportsUnreadableFile) {
    createDevice("fd", "flashdisk", {"chips=1", "blocks=16"});
    std::filesystem::create_directory(work() + "/folder.log");
    std::string t = runDialog(
        "expect-title Retirex\nexpect 1002 checked no\nexpect 1003 checked no\n"
        "click 57601\n"   // no mode selected: no file dialog, nothing
        "click 1003\nanswer OK\nfile " + file("missing.log") + "\nclick 57601\n"
        "answer OK\nfile " + work() + "/folder.log\nclick 57601\n"
        "expect 1001 count 0\n");   // the end of the script closes as Escape does
    const std::string error = "box \"Error\" error OK \"Error to read log file\" -> OK";
    EXPECT_NE(t.find(error), t.rfind(error)) << t;
    EXPECT_EQ(t.find("file open"), t.rfind("file open", t.find(error))) << t;
    EXPECT_TRUE(has(t, "dialog \"Retirex\" closed Cancel")) << t;
    EXPECT_TRUE(retired.empty());
}

// Regression: a log that never ends (a FIFO, a link to /dev/zero) hung the
// marker for ever. Such a file is refused with the open-failure message and
// nothing is marked; a real log still works afterwards.
TEST_F(MarkerDialogTest, FifoOrLinkToDevZeroIsRefusedAsALogThatCannotBeRead) {
    createDevice("fd", "flashdisk", {"chips=1", "blocks=16"});
    ASSERT_EQ(::mkfifo(file("fifo.log").c_str(), 0600), 0);
    ASSERT_EQ(::symlink("/dev/zero", file("zero.log").c_str()), 0);
    const std::string good = writeLog("scan.log", logWithBad({5}));
    std::string t = runDialog(
        "click 1003\n"
        "answer OK\nfile " + file("fifo.log") + "\nclick 57601\nexpect 1001 count 0\n"
        "answer OK\nfile " + file("zero.log") + "\nclick 57601\nexpect 1001 count 0\n"
        "file " + good + "\nclick 57601\nexpect 1001 count 2\n"
        "click 2\n");
    EXPECT_EQ(exitCode, 0) << t;
    const std::string error = "box \"Error\" error OK \"Error to read log file\" -> OK";
    ASSERT_NE(t.find(error), std::string::npos) << t;
    EXPECT_NE(t.find(error), t.rfind(error)) << t;
    ASSERT_EQ(retired.size(), 1u);   // only the real log's bad block
    device::List list = device::List::phyDrives(0, 0);
    for (uint32_t b = 0; b < 16; ++b) EXPECT_EQ(VelkIsGoodBlock(list.get(), 0, 0, b), b == 5 ? 0 : 1) << b;
}

TEST_F(MarkerDialogTest, ShowModeListsBadBlockLinesAndNeverTouchesTheDevice) {
    createDevice("fd", "flashdisk", {"chips=1", "blocks=16"});
    const std::string allGood = writeLog("good.log", logWithBad({}));
    const std::string bad59 = writeLog("bad59.log", logWithBad({5, 9}, 0));
    std::string t = runDialog(
        "click 1002\n"
        "file " + allGood + "\nclick 57601\nexpect 1001 count 0\n"
        "file " + bad59 + "\nclick 57601\nexpect 1001 count 4\n"
        "expect 1001 item:0 Flash #0, Block #5\\n\nexpect 1001 item:1 Block Status : Fail\\n\n"
        "expect 1001 item:2 Flash #0, Block #9\\n\nexpect 1001 item:3 Block Status : Fail\\n\n"
        "file -\nclick 57601\nexpect 1001 count 0\n"   // a new file empties the list, also when cancelled
        "click 2\n");
    EXPECT_TRUE(has(t, "file open \"LOG File (*.log)|*.log||\" -> \"" + bad59 + "\"")) << t;
    EXPECT_EQ(exitCode, 0);
    EXPECT_EQ(markersMade, 0);
    device::List list = device::List::phyDrives(0, 0);
    EXPECT_EQ(VelkIsGoodBlock(list.get(), 0, 0, 5) + VelkIsGoodBlock(list.get(), 0, 0, 9), 2);
}

TEST_F(MarkerDialogTest, MarkModeErasesThenRetiresEachBadBlockInFileOrder) {
    createDevice("fd", "flashdisk", {"chips=2", "blocks=16", "bad=none"});
    {   // data in page 4 of every block concerned: the erase must clear it
        device::List list = device::List::phyDrives(0, 0);
        std::vector<uint8_t> page(512, 0x3C);
        for (auto [c, b] : {std::pair{0, 9}, {0, 5}, {1, 2}, {0, 6}})
            ASSERT_EQ(VelkWritePhysical(list.get(), 0, uint8_t(c), uint32_t(b), 4, page.data()), 1);
    }
    std::string text = logWithBad({9});
    text += record(0, 5, 1, true);    // out of block order: file order counts
    text += record(1, 2, 0, true);
    text += record(0, 6, 0, false);   // short good record before... 
    text += record(0, 7, 0, true);    // ...a bad one: 6 must not be taken
    const std::string path = writeLog("scan.log", text);
    std::string t = runDialog(
        "click 1003\n"
        "file " + path + "\n"
        "click 57601\n"
        "expect 1001 count 8\n"
        "expect 1001 item:0 Flash #0, Block #9\\n\n"
        "expect 1001 item:2 Flash #0, Block #5\\n\n"
        "expect 1001 item:4 Flash #1, Block #2\\n\n"
        "expect 1001 item:6 Flash #0, Block #7\\n\n"
        "click 2\n");
    EXPECT_EQ(exitCode, 0) << t;
    ASSERT_EQ(retired.size(), 4u);
    const std::vector<std::pair<int, uint32_t>> order = {{0, 9}, {0, 5}, {1, 2}, {0, 7}};
    for (size_t i = 0; i < retired.size(); ++i) {
        EXPECT_EQ(std::make_pair(retired[i].chip, retired[i].block), order[i]);
        EXPECT_EQ(retired[i].end - retired[i].start, kRetirePauseMs);
        if (i) {
            EXPECT_GE(retired[i].start, retired[i - 1].end);
        }
    }
    // The device afterwards: bad marks on exactly those blocks, their data
    // erased (a retire before the erase would have lost the mark).
    device::List list = device::List::phyDrives(0, 0);
    std::vector<uint8_t> page(512);
    for (auto [c, b] : order) {
        EXPECT_EQ(VelkIsGoodBlock(list.get(), 0, uint8_t(c), b), 0) << c << ":" << b;
        ASSERT_EQ(VelkReadPhysical(list.get(), 0, uint8_t(c), b, 4, page.data()), 1);
        EXPECT_EQ(page[0], 0xFF);
    }
    EXPECT_EQ(VelkIsGoodBlock(list.get(), 0, 0, 6), 1);
    ASSERT_EQ(VelkReadPhysical(list.get(), 0, 0, 6, 4, page.data()), 1);
    EXPECT_EQ(page[0], 0x3C);
}

TEST_F(MarkerDialogTest, MarkModeWithoutDeviceListsOnlyAndSaysSo) {
    const std::string path = writeLog("scan.log", logWithBad({5, 9}));
    std::string t = runDialog(
        "click 1003\n"
        "file " + path + "\n"
        "answer OK\n"
        "click 57601\n"
        "expect 1001 count 4\n"
        "click 2\n");
    EXPECT_TRUE(has(t, "box \"Information\" error OK \"Device not found\\nThe bad blocks are listed but not marked.\" -> OK"))
        << t;
    EXPECT_EQ(markersMade, 0);
}

TEST(MarkerTemplate, ControlsComeInTheListedOrderSoTabStartsAtOpenFile) {
    // Regression: the radio buttons came first, so Tab went through them before "Open File".
    std::vector<int> order;
    for (const ui::ControlTemplate& c : markerDialogTemplate().controls)
        if (c.id != -1) order.push_back(c.id);
    EXPECT_EQ(order, (std::vector<int>{IDC_OPEN_FILE, ui::IDCANCEL, IDC_SHOW_BAD, IDC_MARK_BAD, IDC_BLOCK_LIST}));
}
