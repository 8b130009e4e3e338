// Imbra's dialog, run headless from scripts on the simulated bus, with real
// ISO images made by xorriso; the results are read back from the simulated
// CD-ROM LUN.
#include "imager/imbra_dialog.h"
#include "imager/velk_sector_device.h"

#include "iso_files.h"

#include "os/os.h"
#include "tests/support/temp_bus.h"
#include "ui/frontend.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <memory>
#include <vector>

#include <unistd.h>

using namespace imager;
using namespace imager::testing;

namespace {

constexpr char kFill = '\x5A';

// The script form of a text: line ends and backslashes escaped.
std::string esc(const std::string& s) {
    std::string out;
    for (char c : s) {
        if (c == '\r') out += "\\r";
        else if (c == '\n') out += "\\n";
        else if (c == '\\') out += "\\\\";
        else out += c;
    }
    return out;
}

// Script lines that check the whole log.
std::string expectLog(const std::vector<std::string>& lines) {
    std::string s = "expect 1005 count " + std::to_string(lines.size()) + "\n";
    for (size_t i = 0; i < lines.size(); ++i) s += "expect 1005 item:" + std::to_string(i) + " " + esc(lines[i]) + "\n";
    return s;
}

std::string expectButtons(bool load, bool image) {
    const char* l = load ? "yes" : "no";
    const char* i = image ? "yes" : "no";
    return std::string("expect 1000 enabled ") + l + "\nexpect 1001 enabled " + i + "\nexpect 1002 enabled " + i +
           "\nexpect 1003 enabled " + i + "\nexpect 1004 enabled yes\n";
}

bool has(const std::string& transcript, const std::string& text) { return transcript.find(text) != std::string::npos; }

// The velk device with a hook before each sector transfer and a record of
// the sectors read.
struct HookedDevice : SectorDevice {
    explicit HookedDevice(VelkHandle h) : dev(h) {}
    bool writeSector(uint32_t lba, const uint8_t* data) override {
        if (beforeWrite) beforeWrite(lba);
        return dev.writeSector(lba, data);
    }
    bool readSector(uint32_t lba, uint8_t* data) override {
        if (beforeRead) beforeRead(lba);
        read.push_back(lba);
        return dev.readSector(lba, data);
    }
    VelkSectorDevice dev;
    std::function<void(uint32_t)> beforeWrite, beforeRead;
    std::vector<uint32_t> read;
};

// A front end for dialogs that end during their initialisation: boxes of
// the start-up are answered here (OK) and recorded.
struct StartupFrontend : ui::Frontend {
    std::vector<std::string> boxes;
    int closedWith = -100;
    void createWindow(ui::Dialog&, ui::Dialog*) override {}
    void showWindow(ui::Dialog&) override {}
    void destroyWindow(ui::Dialog&, int result) override { closedWith = result; }
    void refresh(ui::Dialog&, const ui::Changes&) override {}
    void runLoop(ui::Dialog& d) override {
        if (!ui::detail::loopEnded(d)) d.endDialog(-1);   // stayed open: no start-up failure
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

class ImbraDialogTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(bus.busOk()) << VelkSimLastError();
        std::filesystem::create_directories(bus.file("work"));
        oldCwd = std::filesystem::current_path();
        std::filesystem::current_path(bus.file("work"));
    }
    void TearDown() override {
        os::failDeviceNotification(false);
        std::filesystem::current_path(oldCwd);
    }

    // The CD-ROM flash disk "cd", its first `filled` sectors set to 5Ah.
    void createCd(uint32_t filled = 400, std::vector<std::string> settings = {}) {
        settings.push_back("bad=none");
        std::vector<const char*> p;
        for (auto& s : settings) p.push_back(s.c_str());
        p.push_back(nullptr);
        ASSERT_EQ(VelkSimCreate("cd", "cdrom", p.data()), 1) << VelkSimLastError();
        device::List l = device::List::devices(kVendorId, kProductId);
        ASSERT_TRUE(l);
        const std::string fill(2048, kFill);
        for (uint32_t s = 0; s < filled; ++s)
            ASSERT_EQ(VelkWriteLBA(l.get(), 0, s, 1, reinterpret_cast<const uint8_t*>(fill.data())), 1);
    }
    void fault(const std::string& command) { ASSERT_EQ(VelkSimFault("cd", command.c_str()), 1) << VelkSimLastError(); }

    // Sector s of the CD-ROM LUN as the device holds it now.
    std::string lun(uint32_t s) {
        device::List l = device::List::devices(kVendorId, kProductId);
        std::string buf(2048, '\0');
        if (!l || !VelkReadLBA(l.get(), 0, s, 1, reinterpret_cast<uint8_t*>(buf.data()))) return "(unreadable)";
        return buf;
    }
    // Checks that LBAs [from, to) hold the image's sectors starting at `first`.
    void expectLunHolds(const std::string& iso, uint32_t from, uint32_t to, uint64_t start = 0) {
        const std::string bytes = readFile(iso);
        for (uint32_t s = from; s < to; ++s)
            ASSERT_EQ(lun(s), bytes.substr(start + uint64_t(s) * 2048, 2048)) << "LBA " << s;
    }
    void expectLunUntouched(uint32_t from, uint32_t to) {
        for (uint32_t s = from; s < to; ++s) ASSERT_EQ(lun(s), std::string(2048, kFill)) << "LBA " << s;
    }

    using DialogMaker = std::function<std::unique_ptr<ImbraDialog>(SectorDeviceFactory)>;
    // Runs Imbra headless from the script; hook, when given, sees each
    // device the dialog makes for a transfer.
    std::string run(const std::string& script, std::function<void(HookedDevice&)> hook = {},
                    DialogMaker makeDialog = {}) {
        const std::string path = bus.file("script.txt");
        writeFile(path, script);
        std::string arg0 = "Imbra", arg1 = "--script", arg2 = path;
        char* argv[] = {arg0.data(), arg1.data(), arg2.data(), nullptr};
        ::testing::internal::CaptureStdout();
        exitCode = ui::runProgram(3, argv, {"Imbra", "Imbra"}, [&] {
            SectorDeviceFactory factory = [&](VelkHandle h) -> std::unique_ptr<SectorDevice> {
                auto d = std::make_unique<HookedDevice>(h);
                if (hook) hook(*d);
                devices.push_back(d.get());
                return d;
            };
            std::unique_ptr<ImbraDialog> dlg =
                makeDialog ? makeDialog(factory) : std::make_unique<ImbraDialog>(factory);
            dlg->runModal();
        });
        devices.clear();
        return ::testing::internal::GetCapturedStdout();
    }

    testsupport::TempBus bus;
    std::filesystem::path oldCwd;
    int exitCode = -1;
    std::vector<HookedDevice*> devices;
};

TEST_F(ImbraDialogTest, StartsWithLoadOnlyAndThePollTakesOneButtonStatePerTick) {
    createCd();
    for (int i = 0; i < 3; ++i) VelkSimPressButton("cd");
    const std::string t = run("expect-title Imbra\n" + expectButtons(true, false) +
                              "expect 1005 count 0\nexpect 1006 pos 0\n"
                              "advance 200\n"
                              "click 1004\n");
    EXPECT_EQ(exitCode, 0) << t;
    EXPECT_TRUE(has(t, "dialog \"Imbra\" closed OK")) << t;
    // Two ticks took two presses; nothing else came of them.
    device::List l = device::List::devices(kVendorId, kProductId);
    uint8_t state = 9;
    ASSERT_EQ(VelkQueryButtonState(l.get(), 0, &state), 1);
    EXPECT_EQ(state, 1);
    ASSERT_EQ(VelkQueryButtonState(l.get(), 0, &state), 1);
    EXPECT_EQ(state, 0);
}

TEST_F(ImbraDialogTest, PlainIsoLoadsProgramsAndVerifies) {
    createCd();
    TempDir files;
    const std::string iso = makeIso(files, "plain.iso", 200000, 31);
    const uint32_t n = isoSectors(iso);
    const std::string t = run(
        "file " + iso + "\nclick 1000\n" + expectButtons(true, true) +
        expectLog({"Open File \"plain.iso\" OK!"}) + "expect-title " + iso + "\n"
        "click 1002\n" +
        expectLog({"Program..........\r\n", "Program OK.\r\n"}) +
        "expect 1006 range 0.." + std::to_string(n) + "\nexpect 1006 pos " + std::to_string(n) + "\n"
        "click 1003\n" +
        expectLog({"Program..........\r\n", "Program OK.\r\n", "Verify..........\r\n", "Verify OK."}) +
        "click 1001\n" +
        expectLog({"Program..........\r\n", "Program OK.\r\n", "Verify..........\r\n", "Verify OK."}) +
        "click 1004\n");
    EXPECT_EQ(exitCode, 0) << t;
    EXPECT_TRUE(has(t, "file open \"Nrg File(*.Nrg)|*.nrg|Any Type(*.*)|*.*||\" -> ")) << t;
    expectLunHolds(iso, 0, n);
    expectLunUntouched(n, n + 20);
}

TEST_F(ImbraDialogTest, NrgStyleFileProgramsTheVolumeFrom307200BytesIn) {
    createCd();
    TempDir files;
    const std::string iso = makeIso(files, "plain.iso", 60000, 32);
    const std::string nrg = makeNrg(files, "disc.nrg", iso);
    const uint32_t n = isoSectors(iso);
    const std::string t = run("file " + nrg + "\nclick 1000\n" + expectLog({"Open File \"disc.nrg\" OK!"}) +
                              "click 1001\n" +
                              expectLog({"Program..........\r\n", "Program OK.\r\n", "Verify..........\r\n",
                                         "Verify OK."}) +
                              "expect 1006 pos " + std::to_string(n) + "\nclick 1004\n");
    EXPECT_EQ(exitCode, 0) << t;
    expectLunHolds(iso, 0, n);   // the volume, not the lead-in
    expectLunUntouched(n, n + 20);
}

// Regression: after a failed search Program, Verify and Auto ran from an
// image start nobody had found.
TEST_F(ImbraDialogTest, WithoutCd001NothingRunsOnAGuessedStart) {
    createCd();
    TempDir files;
    const std::string iso = makeIso(files, "plain.iso", 60000, 33);
    std::string bytes = readFile(iso);
    for (size_t p = 32768; p + 6 <= bytes.size(); p += 2048)
        if (bytes.compare(p + 1, 5, "CD001") == 0) bytes[p + 1] = 'X';
    const std::string bad = files.file("nocd.iso");
    writeFile(bad, bytes);
    const std::string t = run(
        "file " + bad + "\nclick 1000\n" + expectButtons(true, true) +
        expectLog({"Open File \"nocd.iso\" OK!", "Read Volume Descriptor Error!!"}) +
        "click 1002\n" +
        expectLog({"Program..........\r\n", "Read Volume Descriptor Error!!", "Program Fail!\r\n"}) +
        "click 1003\n" +
        expectLog({"Program..........\r\n", "Read Volume Descriptor Error!!", "Program Fail!\r\n",
                   "Verify..........\r\n", "Read Volume Descriptor Error!!", "Verify Fail!\r\n"}) +
        "click 1001\n" +
        expectLog({"Program..........\r\n", "Read Volume Descriptor Error!!", "Program Fail!\r\n"}) +
        "expect 1006 pos 0\nclick 1004\n");
    EXPECT_EQ(exitCode, 0) << t;
    EXPECT_TRUE(devices.empty());
    expectLunUntouched(0, 400);
}

TEST_F(ImbraDialogTest, VolumeSizeZeroWritesNothingAndVerifiesOk) {
    createCd();
    TempDir files;
    const std::string iso = withVolumeSize(files, "empty.iso", makeIso(files, "plain.iso", 20000, 34), 0);
    const std::string t = run("file " + iso + "\nclick 1000\nclick 1001\n" +
                              expectLog({"Program..........\r\n", "Program OK.\r\n", "Verify..........\r\n",
                                         "Verify OK.", "Verify OK."}) +
                              "expect 1006 range 0..0\nclick 1004\n");
    EXPECT_EQ(exitCode, 0) << t;
    expectLunUntouched(0, 400);
}

TEST_F(ImbraDialogTest, VerifyStopsAtTheFirstDifferingSectorAndReadsNoFurther) {
    createCd();
    TempDir files;
    const std::string iso = makeIso(files, "plain.iso", 200000, 35);
    const uint32_t n = isoSectors(iso);
    ASSERT_GT(n, 60u);
    // Programmed in a first run; sectors 40 and 50 are then changed on the device.
    run("file " + iso + "\nclick 1000\nclick 1002\nclick 1004\n");
    ASSERT_EQ(exitCode, 0);
    {
        device::List l = device::List::devices(kVendorId, kProductId);
        const std::string other(2048, '\x33');
        for (uint32_t s : {40u, 50u})
            ASSERT_EQ(VelkWriteLBA(l.get(), 0, s, 1, reinterpret_cast<const uint8_t*>(other.data())), 1);
    }
    std::vector<uint32_t> read;
    const std::string t = run("file " + iso + "\nclick 1000\nclick 1003\n" +
                                  // Verify appends to the log of Load.
                                  expectLog({"Open File \"plain.iso\" OK!", "Verify..........\r\n", "Verify Fail!\r\n"}) +
                                  "expect 1006 range 0.." + std::to_string(n) + "\nexpect 1006 pos 41\nclick 1004\n",
                              [&](HookedDevice& d) { d.beforeRead = [&](uint32_t lba) { read.push_back(lba); }; });
    EXPECT_EQ(exitCode, 0) << t;
    ASSERT_FALSE(read.empty());
    EXPECT_EQ(read.back(), 40u);
    EXPECT_EQ(read.size(), 41u);
}

// Regression: Program reported "Program OK." although the device refused a write.
TEST_F(ImbraDialogTest, WriteFaultMidImageStopsProgramWithProgramFail) {
    createCd();
    TempDir files;
    const std::string iso = makeIso(files, "plain.iso", 200000, 36);
    const uint32_t n = isoSectors(iso);
    fault("lba-write 0 57");
    const std::string t = run("file " + iso + "\nclick 1000\nclick 1002\n" +
                              expectLog({"Program..........\r\n", "Program Fail!\r\n"}) +
                              "expect 1006 pos 57\n"
                              // Auto stops after the failed Program: no Verify.
                              "click 1001\n" + expectLog({"Program..........\r\n", "Program Fail!\r\n"}) +
                              expectButtons(true, true) + "click 1004\n");
    EXPECT_EQ(exitCode, 0) << t;
    expectLunHolds(iso, 0, 57);
    expectLunUntouched(57, n + 10);
}

// Regression: sectors the image file no longer held were written from an
// old buffer and Program reported success.
TEST_F(ImbraDialogTest, ImageCutShortAfterLoadStopsProgramAtTheFirstMissingSector) {
    createCd();
    TempDir files;
    const std::string iso = makeIso(files, "plain.iso", 200000, 37);
    const std::string bytes = readFile(iso);
    const std::string t = run("file " + iso + "\nclick 1000\nclick 1002\n" +
                                  expectLog({"Program..........\r\n", "Program Fail!\r\n"}) +
                                  "expect 1006 pos 80\nclick 1004\n",
                              // Cut when Program starts, after Load read the start.
                              [&](HookedDevice&) { ASSERT_EQ(::truncate(iso.c_str(), 80 * 2048 + 1000), 0); });
    EXPECT_EQ(exitCode, 0) << t;
    writeFile(iso, bytes);
    expectLunHolds(iso, 0, 80);
    expectLunUntouched(80, 200);
}

// Unplugged while Program or Verify runs: a failure line, the device buttons
// off once the removal arrives, everything back on the next arrival.
TEST_F(ImbraDialogTest, DeviceUnpluggedMidTransferFailsAndRecoversOnTheNextArrival) {
    createCd();
    TempDir files;
    const std::string iso = makeIso(files, "plain.iso", 200000, 38);
    const uint32_t n = isoSectors(iso);
    int transfers = 0;
    const std::string t = run(
        "file " + iso + "\nclick 1000\n"
        "click 1002\n" + expectLog({"Program..........\r\n", "Program Fail!\r\n"}) + "expect 1006 pos 30\n" +
        expectButtons(false, false) +
        "plug cd\n" + expectButtons(true, true) + expectLog({"Program..........\r\n", "Program Fail!\r\n"}) +
        "click 1002\n" + expectLog({"Program..........\r\n", "Program OK.\r\n"}) +
        "click 1003\n" +
        expectLog({"Program..........\r\n", "Program OK.\r\n", "Verify..........\r\n", "Verify Fail!\r\n"}) +
        "expect 1006 pos 21\n" + expectButtons(false, false) +
        "plug cd\nclick 1001\n" +
        expectLog({"Program..........\r\n", "Program OK.\r\n", "Verify..........\r\n", "Verify OK."}) +
        "click 1004\n",
        [&](HookedDevice& d) {
            ++transfers;
            if (transfers == 1)
                d.beforeWrite = [](uint32_t lba) { if (lba == 30) VelkSimUnplug("cd"); };
            if (transfers == 3)
                d.beforeRead = [](uint32_t lba) { if (lba == 20) VelkSimUnplug("cd"); };
        });
    EXPECT_EQ(exitCode, 0) << t;
    EXPECT_EQ(transfers, 5);
    expectLunHolds(iso, 0, n);
}

TEST_F(ImbraDialogTest, DeviceArrivingAfterAStartWithoutOneIsTaken) {
    TempDir files;
    const std::string iso = makeIso(files, "plain.iso", 20000, 39);
    ASSERT_EQ(VelkSimCreate("cd", "cdrom", nullptr), 1) << VelkSimLastError();
    ASSERT_EQ(VelkSimUnplug("cd"), 1);
    // Another kind of device coming and going changes nothing.
    ASSERT_EQ(VelkSimCreate("fd", "flashdisk", nullptr), 1) << VelkSimLastError();
    ASSERT_EQ(VelkSimUnplug("fd"), 1);
    VelkSimPressButton("cd");
    const std::string t = run(expectButtons(false, false) + "advance 500\n" +
                              "plug fd\n" + expectButtons(false, false) +
                              "plug cd\n" + expectButtons(true, false) +
                              "unplug fd\n" + expectButtons(true, false) +
                              "advance 100\n"   // the poll runs again
                              "file " + iso + "\nclick 1000\n" + expectButtons(true, true) +
                              "unplug cd\n" + expectButtons(false, false) +
                              "plug cd\n" + expectButtons(true, true) +
                              "click 1001\nexpect 1005 item:3 Verify OK.\nclick 1004\n");
    EXPECT_EQ(exitCode, 0) << t;
    expectLunHolds(iso, 0, isoSectors(iso));
    device::List l = device::List::devices(kVendorId, kProductId);
    uint8_t state = 9;
    ASSERT_EQ(VelkQueryButtonState(l.get(), 0, &state), 1);
    EXPECT_EQ(state, 0) << "the press was taken by the poll once the device came";
}

TEST_F(ImbraDialogTest, FailedRegistrationWithoutDeviceEndsTheProgram) {
    const std::string stopFlags = std::to_string(ui::MB_OK | ui::MB_ICONERROR);
    auto start = [](StartupFrontend& fe) {
        ui::detail::setDialogThread();
        ui::detail::setFrontend(&fe);
        ImbraDialog dlg;
        dlg.runModal();
        ui::detail::setFrontend(nullptr);
    };
    os::failDeviceNotification(true);
    {
        StartupFrontend fe;
        start(fe);
        EXPECT_EQ(fe.boxes, (std::vector<std::string>{"Warnning|" + stopFlags + "|RegisterDeviceNotification failed"}));
        EXPECT_EQ(fe.closedWith, ui::IDCANCEL);
    }
    {   // with a device the program runs without the notifications
        createCd(0);
        StartupFrontend fe;
        start(fe);
        EXPECT_TRUE(fe.boxes.empty());
        EXPECT_EQ(fe.closedWith, -1);
    }
    os::failDeviceNotification(false);
    VelkSimRemove("cd");
    // Registered and no device: only Exit, the dialog stays open.
    const std::string t = run(expectButtons(false, false) + "advance 1000\nclose\n");
    EXPECT_EQ(exitCode, 0) << t;
    EXPECT_TRUE(has(t, "dialog \"Imbra\" closed Cancel")) << t;
}

TEST_F(ImbraDialogTest, LoadCancelKeepsTheImageAndAFileThatCannotBeOpenedUnloadsIt) {
    createCd();
    TempDir files;
    const std::string iso = makeIso(files, "plain.iso", 20000, 40);
    const std::string t = run("file " + iso + "\nclick 1000\n"
                              "file -\nclick 1000\n" + expectLog({}) + expectButtons(true, true) +
                              "expect-title " + iso + "\n"
                              "click 1002\nexpect 1005 item:1 Program OK.\\r\\n\n"
                              "file " + files.file("missing.iso") + "\nclick 1000\n" +
                              expectLog({"The file was not opened\r\n"}) + expectButtons(true, false) +
                              "expect-title Imbra\n"
                              "file " + files.path() + "\nclick 1000\n" + expectLog({"The file was not opened\r\n"}) +
                              "click 1004\n");
    EXPECT_EQ(exitCode, 0) << t;
    expectLunHolds(iso, 0, isoSectors(iso));
}

// A system-menu item that asks the window registry for a window "Imbra".
struct ProbeDialog : ImbraDialog {
    ProbeDialog(SectorDeviceFactory f, std::vector<bool>& found) : ImbraDialog(std::move(f)), found_(found) {}
    bool onInitDialog() override {
        const bool r = ImbraDialog::onInitDialog();
        appendSystemMenu(4242, "probe");
        return r;
    }
    void onSysCommand(int cmd) override {
        if (cmd == 4242)
            found_.push_back(os::findWindow("Imbra").has_value());
        else
            ImbraDialog::onSysCommand(cmd);
    }
    std::vector<bool>& found_;
};

// The console recognises a running Imbra by its title, which a loaded image
// replaces with the image's path; with no image loaded it is "Imbra" again.
TEST_F(ImbraDialogTest, TitleIsThePathOfTheLoadedImage) {
    createCd();
    TempDir files;
    const std::string iso = makeIso(files, "plain.iso", 20000, 41);
    std::vector<bool> found;
    const std::string t = run("click 4242\nfile " + iso + "\nclick 1000\nclick 4242\n" + "expect-title " + iso +
                                  "\nfile " + files.file("missing.iso") + "\nclick 1000\nclick 4242\n"
                                  "click 16\nexpect-title About Imbra\nclick 1\n"
                                  "click 1004\n",
                              {}, [&](SectorDeviceFactory f) { return std::make_unique<ProbeDialog>(std::move(f), found); });
    EXPECT_EQ(exitCode, 0) << t;
    EXPECT_EQ(found, (std::vector<bool>{true, false, true}));
    EXPECT_TRUE(has(t, "dialog \"About Imbra\" opened")) << t;
}

}  // namespace
