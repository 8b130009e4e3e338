// Ornel's dialog, run headless from scripts on the virtual clock.
#include "scanner/scan_dialog.h"
#include "scanner/scan_log.h"
#include "scanner/velk_flash_device.h"

#include "fake_flash.h"
#include "script_run.h"

#include "marker/log_reader.h"
#include "os/os.h"
#include "ui/frontend.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>

using namespace scanner;
using namespace scanner::testing;

namespace {

// Hands the dialog a view of a fake owned by the test; page 0 spare reads
// take 1 ms of program time, so a script can act while the scan runs.
struct SlowFlash : FlashDevice {
    FakeFlash& f;
    std::function<void(uint32_t block)> onBlock;
    explicit SlowFlash(FakeFlash& fake) : f(fake) {}
    bool geometry(Geometry& g) override { return f.geometry(g); }
    bool open() override { return f.open(); }
    bool present() override { return f.present(); }
    void close() override { f.close(); }
    bool isGoodBlock(uint8_t c, uint32_t b) override { return f.isGoodBlock(c, b); }
    bool readSpare(uint8_t c, uint32_t b, uint8_t p, uint8_t* buf) override {
        if (p == 0) {
            if (onBlock) onBlock(b);
            ui::sleepMs(1);
        }
        return f.readSpare(c, b, p, buf);
    }
    void eraseBlock(uint8_t c, uint32_t b) override { f.eraseBlock(c, b); }
    void touchFormatProgress() override { f.touchFormatProgress(); }
    void setFormatProgress(int32_t a, int32_t b) override { f.setFormatProgress(a, b); }
};

// A front end for dialogs that end during their initialisation: the
// scripted runner reads its first line only once the dialog is shown, so
// boxes of the start-up are answered here (OK) and recorded.
struct StartupFrontend : ui::Frontend {
    std::vector<std::string> boxes;
    int closedWith = -100;
    void createWindow(ui::Dialog&, ui::Dialog*) override {}
    void showWindow(ui::Dialog&) override {}
    void destroyWindow(ui::Dialog&, int result) override { closedWith = result; }
    void refresh(ui::Dialog&, const ui::Changes&) override {}
    void runLoop(ui::Dialog& d) override {
        if (!ui::detail::loopEnded(d)) d.endDialog(-1);   // stayed open: not a start-up failure
        ui::detail::pump();
    }
    void wake() override {}
    int messageBox(ui::Dialog*, const std::string& text, const std::string& title, unsigned flags) override {
        boxes.push_back(title + "|" + std::to_string(flags) + "|" + text);
        return ui::IDOK;
    }
    std::optional<std::string> fileDialog(ui::Dialog*, bool, const ui::FileDialogSpec&) override { return {}; }
    void setBusyCursor(bool) override {}
};

bool has(const std::string& transcript, const std::string& line) {
    return transcript.find(line) != std::string::npos;
}

class ScanDialogTest : public ScriptedTest {
protected:
    // A device on the bus, so that the dialog finds one; the scan itself
    // goes to `fake` when useFake is set.
    std::string runDialog(const std::string& script, bool useFake = false,
                          std::function<void(ScanDialog&, SlowFlash&)> setup = {}) {
        return run("Ornel", script, [&] {
            FlashDeviceFactory factory;
            std::unique_ptr<ScanDialog> dlg;
            if (useFake) {
                factory = [&](VelkHandle) {
                    auto d = std::make_unique<SlowFlash>(fake);
                    if (setup) setup(*dlg, *d);
                    return d;
                };
            }
            dlg = std::make_unique<ScanDialog>(factory);
            result = dlg->runModal();
        });
    }
    std::string log() const { return readFile(scanLogPath(work())); }
    bool logExists() const { return fileExists(scanLogPath(work())); }

    FakeFlash fake;
    int result = -1;
};

}  // namespace

TEST_F(ScanDialogTest, StartUpFailuresShowTheirMessageAndEndTheDialog) {
    const std::string stop = std::to_string(ui::MB_OK | ui::MB_ICONSTOP);
    auto start = [](StartupFrontend& fe) {
        ui::detail::setDialogThread();
        ui::detail::setFrontend(&fe);
        ScanDialog dlg;
        const int r = dlg.runModal();
        ui::detail::setFrontend(nullptr);
        return r;
    };
    {   // no device
        StartupFrontend fe;
        EXPECT_EQ(start(fe), 1);
        EXPECT_EQ(fe.boxes, (std::vector<std::string>{"Information|" + stop + "|Device not found"}));
    }
    {   // registration fails with a device present: the warning, then the dialog ends
        createDevice("fd", "flashdisk", {"chips=1", "blocks=4"});
        os::failDeviceNotification(true);
        StartupFrontend fe;
        EXPECT_EQ(start(fe), 0);
        os::failDeviceNotification(false);
        EXPECT_EQ(fe.boxes, (std::vector<std::string>{"Warnning|" + stop + "|RegisterDeviceNotification failed"}));
    }
    {   // both: each message, the missing device's last
        VelkSimRemove("fd");
        os::failDeviceNotification(true);
        StartupFrontend fe;
        start(fe);
        os::failDeviceNotification(false);
        EXPECT_EQ(fe.boxes, (std::vector<std::string>{"Warnning|" + stop + "|RegisterDeviceNotification failed",
                                                      "Information|" + stop + "|Device not found"}));
    }
}

TEST_F(ScanDialogTest, OpensIdleAndCheckBoxesExcludeEachOther) {
    createDevice("fd", "flashdisk", {"chips=1", "blocks=4"});
    std::string t = runDialog(
        "expect-title Ornel\nexpect 1008 enabled yes\nexpect 1010 text Close\nexpect 1006 visible no\n"
        "click 1000\nexpect 1000 checked yes\n"
        "click 1001\nexpect 1001 checked yes\nexpect 1000 checked no\n"
        "click 1000\nexpect 1000 checked yes\nexpect 1001 checked no\n"
        "click 1000\nexpect 1000 checked no\nexpect 1001 checked no\n"
        "click 1010\n");
    EXPECT_TRUE(has(t, "dialog \"Ornel\" closed 0")) << t;
    EXPECT_EQ(exitCode, 0);
    EXPECT_FALSE(logExists());
}

TEST_F(ScanDialogTest, ScanAsksBeforeEraseAllThenWritesLogAndShowsSummary) {
    createDevice("fd", "flashdisk", {"chips=1", "blocks=8", "pages=32", "bad=0:3"});
    const std::string question =
        "box \"Warning\" warning YesNo \"Note : You select \\\"Erase Blocks\\\" check box!\\n"
        "The program will erase all physical blocks no matter good or bad blocks!\\n"
        "Do you still want to continue?\" -> ";
    std::string t = runDialog(
        "click 1000\nanswer No\nclick 1008\nwait\n"   // declined: no scan, no log
        "expect 1010 text Close\nexpect 1008 enabled yes\n"
        "answer Yes\nanswer OK\nclick 1008\nwait\n"
        "expect 1010 text Close\nexpect 1008 enabled yes\nexpect 1006 visible no\nexpect 1007 pos 0\n"
        "click 1010\n");
    EXPECT_TRUE(has(t, question + "No\n" + question + "Yes\n")) << t;
    EXPECT_TRUE(has(t,
                    "box \"Scan Status\" none OK \"Flash quantity = 1\\nTotal   blocks = 0x8\\n"
                    "Total   pages  = 0x100\\nBytes per page=512\\nBad   blocks   = 1\\n\" -> OK"))
        << t;
    const std::string text = log();
    EXPECT_EQ(text.rfind("Flash #0, Block #3\n"), text.find("Flash #0, Block #3\n"));
    EXPECT_EQ(text.substr(text.size() - 15), "Bad blocks : 1\n");
}

TEST_F(ScanDialogTest, StopDuringScanEndsAfterCompleteRecordWithoutSummary) {
    createDevice("fd", "flashdisk", {"chips=1", "blocks=4"});
    fake.geo = makeGeometry(512, {{100, 32}});
    for (uint32_t b : {2u, 7u, 50u}) fake.markBad(0, b);
    std::string t = runDialog(
        "click 1008\n"
        "expect 1010 text Stop\nexpect 1008 enabled no\nexpect 1006 visible yes\n"
        "expect 1006 text Scanning Flash ....\n"
        "advance 10\n"
        "expect 1007 pos 9\n"
        "click 1010\n"
        "expect 1010 text Stop\n"
        "wait\n"
        "expect 1010 text Close\nexpect 1008 enabled yes\nexpect 1006 visible no\nexpect 1007 pos 0\n"
        "click 1010\n",
        true);
    EXPECT_EQ(exitCode, 0);
    EXPECT_FALSE(has(t, "box ")) << t;
    const std::string text = log();
    EXPECT_EQ(text.rfind("Flash #0, Block #"), text.find("Flash #0, Block #10\n"));   // the last record
    EXPECT_EQ(text.substr(text.size() - 19), "Block Status : OK\n\n");
    EXPECT_EQ(fake.openDepth, 0);

    // The marker lists the bad blocks the stopped scan got to.
    marker::LineReader lines{std::string_view(text)};
    marker::ScanLogReader reader(lines);
    std::vector<uint32_t> listed;
    while (auto b = reader.next()) listed.push_back(b->block);
    EXPECT_EQ(listed, (std::vector<uint32_t>{2, 7}));
}

// Guards against the dialog closing (Escape, close message) while the scan
// worker still runs against it.
TEST_F(ScanDialogTest, CloseMessageDuringScanStopsWorkerBeforeDialogEnds) {
    createDevice("fd", "flashdisk", {"chips=1", "blocks=4"});
    fake.geo = makeGeometry(512, {{100, 32}});
    std::string t = runDialog("click 1008\nwait\n", true, [](ScanDialog& d, SlowFlash& s) {
        s.onBlock = [&d](uint32_t b) {
            if (b == 5) d.postClose();
        };
    });
    EXPECT_TRUE(has(t, "dialog \"Ornel\" closed 0")) << t;
    EXPECT_FALSE(has(t, "box ")) << t;
    const std::string text = log();
    EXPECT_NE(text.find("Flash #0, Block #5\n"), std::string::npos);
    EXPECT_EQ(text.find("Flash #0, Block #7\n"), std::string::npos);
    EXPECT_EQ(text.find("Bad blocks"), std::string::npos);
    EXPECT_EQ(fake.openDepth, 0);
}

TEST_F(ScanDialogTest, OptionsAreReadOnceWhenTheScanStarts) {
    createDevice("fd", "flashdisk", {"chips=1", "blocks=4"});
    fake.geo = makeGeometry(512, {{20, 32}});
    fake.markBad(0, 4);
    runDialog("click 1001\nclick 1008\nadvance 3\nclick 1001\nclick 1000\nanswer OK\nwait\nclick 1010\n", true);
    EXPECT_EQ(fake.erased.size(), 19u);   // erase-good to the end; the bad block kept
    for (auto [c, b] : fake.erased) EXPECT_NE(b, 4u);
}

TEST_F(ScanDialogTest, FailuresBeforeTheScanAreReportedAndReturnToIdle) {
    createDevice("fd", "flashdisk", {"chips=1", "blocks=4"});
    const std::string script = "answer OK\nclick 1008\nwait\nexpect 1010 text Close\nexpect 1008 enabled yes\nclick 1010\n";
    fake.geometryFails = true;
    std::string t = runDialog(script, true);
    EXPECT_TRUE(has(t, "box \"Information\" error OK \"Device not found\" -> OK")) << t;

    // The working directory goes away: the log has nowhere to go.
    fake.geometryFails = false;
    fake.geo = makeGeometry(512, {{4, 32}});
    std::filesystem::create_directories(work() + "/gone");
    std::filesystem::current_path(work() + "/gone");
    std::filesystem::remove(work() + "/gone");
    t = runDialog(script, true);
    EXPECT_TRUE(has(t, "box \"Ornel\" none OK \"Create log file fail!\" -> OK")) << t;
    EXPECT_EQ(fake.calls, 0);
    EXPECT_FALSE(logExists());
    EXPECT_FALSE(fileExists("/scan.log"));
}

namespace {

// The library's device, 1 ms of program time per block (before the page 0
// spare read), so a script can unplug it while the scan runs.
struct SlowVelk : VelkFlashDevice {
    using VelkFlashDevice::VelkFlashDevice;
    bool readSpare(uint8_t c, uint32_t b, uint8_t p, uint8_t* buf) override {
        if (p == 0) ui::sleepMs(1);
        return VelkFlashDevice::readSpare(c, b, p, buf);
    }
};

class ScanOnBusTest : public ScanDialogTest {
protected:
    std::string runSlow(const std::string& script) {
        return run("Ornel", script, [&] {
            ScanDialog dlg([](VelkHandle h) { return std::make_unique<SlowVelk>(h); });
            result = dlg.runModal();
        });
    }
};

const std::string kRemovedBox = std::string("box \"Error\" error OK \"") +
                                "The scan stopped because the device was removed.\\n"
                                "scan.log ends with the last block read.\" -> OK";

}  // namespace

// Regression: Ornel said "Device not found" about a device without NAND,
// since the library failed its geometry query; the design's 0-chip scan
// could not happen.
TEST_F(ScanDialogTest, DeviceWithoutNandScansZeroChipsAndAllBlocksAreGood) {
    createDevice("fd", "flashdisk", {"chips=0"});
    std::string t = runDialog("expect 1008 enabled yes\nanswer OK\nclick 1008\nwait\nexpect 1010 text Close\nclick 1010\n");
    EXPECT_EQ(exitCode, 0) << t;
    EXPECT_FALSE(has(t, "Device not found")) << t;
    EXPECT_TRUE(has(t, "box \"Scan Status\" none OK \"Flash quantity = 0\\nTotal   blocks = 0x0\\n"
                       "Total   pages  = 0x0\\nBytes per page=0\\nAll blocks are good!\" -> OK"))
        << t;
    EXPECT_EQ(log(), "This flash Page size is  0 bytes\nFlash quantity : 0\nTotal blocks   : 0x0\n"
                     "Total pages    : 0x0\nBad blocks : 0\n");
}

// Regression: a device unplugged during a scan had every remaining block
// logged "Block Status : Fail". The removal stops the scan as Stop does, a
// message says why, and the log ends with the last block really read.
TEST_F(ScanOnBusTest, UnplugDuringScanStopsItSaysSoAndLogsOnlyBlocksRead) {
    createDevice("fd", "flashdisk", {"chips=1", "blocks=200", "bad=0:3"});
    std::string t = runSlow(
        "click 1008\nadvance 10\nexpect 1010 text Stop\n"
        "unplug fd\n"
        "answer OK\nwait\n"
        "expect 1010 text Close\nexpect 1008 enabled yes\nexpect 1006 visible no\n"
        "plug fd\nclick 1010\n");
    EXPECT_EQ(exitCode, 0) << t;
    EXPECT_TRUE(has(t, kRemovedBox)) << t;
    EXPECT_FALSE(has(t, "Scan Status")) << t;
    const std::string text = log();
    EXPECT_EQ(text.rfind("Flash #0, Block #"), text.find("Flash #0, Block #9\n"));
    EXPECT_EQ(text.substr(text.size() - 19), "Block Status : OK\n\n");
    EXPECT_EQ(text.find("Fail"), text.rfind("Fail"));   // block 3 only
    EXPECT_NE(text.find("Flash #0, Block #3\n    FF FF FF FF FF 00"), std::string::npos);
}

// The removal notice names no device: another device leaving the bus does
// not stop the scan.
TEST_F(ScanOnBusTest, RemovalOfAnotherDeviceLetsTheScanFinish) {
    createDevice("a-scanned", "flashdisk", {"chips=1", "blocks=40"});
    createDevice("z-other", "flashdisk", {"chips=1", "blocks=4"});
    std::string t = runSlow("click 1008\nadvance 10\nunplug z-other\nanswer OK\nwait\nclick 1010\n");
    EXPECT_EQ(exitCode, 0) << t;
    EXPECT_FALSE(has(t, "device was removed")) << t;
    EXPECT_TRUE(has(t, "box \"Scan Status\" none OK \"Flash quantity = 1\\nTotal   blocks = 0x28\\n")) << t;
    EXPECT_EQ(log().substr(log().size() - 15), "Bad blocks : 0\n");
}

// The removal notice alone stops the scan (here the scan's device keeps
// answering, so only the notice can tell): at the next block, as Stop does.
TEST_F(ScanDialogTest, RemovalNoticeStopsTheScanAtTheNextBlock) {
    createDevice("fd", "flashdisk", {"chips=1", "blocks=4"});
    fake.geo = makeGeometry(512, {{100, 32}});
    std::string t = runDialog("click 1008\nadvance 10\nunplug fd\nanswer OK\nwait\nexpect 1010 text Close\n"
                              "plug fd\nclick 1010\n",
                              true);
    EXPECT_EQ(exitCode, 0) << t;
    EXPECT_TRUE(has(t, kRemovedBox)) << t;
    const std::string text = log();
    EXPECT_EQ(text.rfind("Flash #0, Block #"), text.find("Flash #0, Block #10\n"));
    EXPECT_EQ(text.substr(text.size() - 19), "Block Status : OK\n\n");
    EXPECT_EQ(fake.openDepth, 0);
}
