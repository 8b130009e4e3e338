// The tool panel driven by scripts through the headless front end, on a
// simulated bus of its own per test: the satellites it starts (by path, with
// the running-copy check against windows of other processes and the device
// probe), and the CIS settings it reads and writes on the simulated device.
#include "console/shell/tool_panel_dialog.h"

#include "console/shell/console_dialog.h"
#include "console/shell/resources.h"
#include "device/records.h"
#include "platform/os/os.h"
#include "platform/os/os_internal.h"
#include "platform/ui/scripted.h"
#include "tests/support/temp_bus.h"

#include <gtest/gtest.h>
#include <velk_sim.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <thread>

namespace console {
namespace {

namespace fs = std::filesystem;

struct Outcome {
    int exitCode = -1;
    std::string transcript;
    bool has(const std::string& line) const { return ("\n" + transcript).find("\n" + line + "\n") != std::string::npos; }
    bool mentions(const std::string& text) const { return transcript.find(text) != std::string::npos; }
};

// The box a message without a title of its own gives in the console.
std::string box(const std::string& text, const std::string& answer = "OK")
{
    return "box \"Tavrin\" warning OK \"" + text + "\" -> " + answer;
}
std::string infoBox(const std::string& text) { return "box \"Info\" none OK \"" + text + "\" -> OK"; }

// A dialog with a title of its own in another process, as a running
// satellite has: its window is in the window registry until the process
// ends. Button 1 retitles it (Imbra shows the path of a loaded image).
class WindowHolder {
public:
    WindowHolder(const std::string& title, const std::string& retitle = "")
    {
        int fds[2];
        if (::pipe(fds) != 0)
            return;
        pid_ = ::fork();
        if (pid_ == 0) {
            ::dup2(fds[0], 0);
            ::close(fds[0]);
            ::close(fds[1]);
            if (!std::freopen("/dev/null", "w", stdout))
                ::_exit(4);
            char arg0[] = "holder", arg1[] = "--script", arg2[] = "-";
            char* argv[] = {arg0, arg1, arg2, nullptr};
            const int rc = ui::runProgram(3, argv, {title, "holder"}, [&] {
                os::detail::ensureHooks();
                Holder d(title, retitle);
                d.runModal();
            });
            ::_exit(rc);
        }
        ::close(fds[0]);
        script_ = fds[1];
        ::signal(SIGPIPE, SIG_IGN);
        // The runner starts the program at the first line that acts.
        send("advance 1\n");
    }
    ~WindowHolder() { stop(); }

    bool awaitTitle(const std::string& title) const
    {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (std::chrono::steady_clock::now() < deadline) {
            if (os::findWindow(title))
                return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        return false;
    }
    void retitle() { send("click 1\n"); }
    // Ends the script: the holder's dialog closes and its process ends.
    void stop()
    {
        if (script_ >= 0)
            ::close(script_);
        script_ = -1;
        if (pid_ > 0)
            ::waitpid(pid_, nullptr, 0);
        pid_ = -1;
    }

private:
    class Holder : public ui::Dialog {
    public:
        Holder(const std::string& title, std::string retitle) : ui::Dialog(tmpl(title)), retitle_(std::move(retitle)) {}
        void onCommand(int id) override
        {
            if (id == 1)
                setTitle(retitle_);
            else
                ui::Dialog::onCommand(id);
        }

    private:
        static ui::DialogTemplate tmpl(const std::string& title)
        {
            ui::DialogTemplate t;
            t.caption = title;
            t.cx = 100;
            t.cy = 40;
            t.controls.push_back({1, ui::Kind::PushButton, "Load", {10, 10, 50, 14}, 0});
            return t;
        }
        std::string retitle_;
    };

    void send(const std::string& line)
    {
        if (script_ >= 0 && ::write(script_, line.data(), line.size()) != ssize_t(line.size()))
            ADD_FAILURE() << "the holder's script pipe closed";
    }

    pid_t pid_ = -1;
    int script_ = -1;
};

class ToolPanelTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(tmp_.busOk()) << VelkSimLastError();
        // The window registry every process of the test shares, as the
        // programs of one desktop session do.
        ::setenv("TAVRIN_WINDOWS_DIR", tmp_.file("windows").c_str(), 1);
        fs::create_directories(work());
    }
    void TearDown() override { ::unsetenv("TAVRIN_WINDOWS_DIR"); }

    std::string work() const { return tmp_.file("work"); }

    // The panel on its own, as the console opens it, with the working
    // directory cwd (default: work()).
    Outcome run(const std::string& script, const std::string& cwd = "")
    {
        const std::string dir = cwd.empty() ? work() : cwd;
        auto r = ui::scripting::runScript(script, {"Tavrin", "Tavrin"}, [&] {
            if (::chdir(dir.c_str()) != 0)
                return;
            ToolPanelDialog panel;
            panel.runModal();
        });
        return {r.exitCode, r.transcript};
    }

    void createDevice(const char* name, const char* profile)
    {
        ASSERT_NE(VelkSimCreate(name, profile, nullptr), 0) << VelkSimLastError();
    }

    // The CIS settings the simulated device holds now.
    static std::pair<int, int> deviceCis()
    {
        device::List list = device::List::devices(0, 0, 1);
        const device::FlashInfo info = device::FlashInfo::query(list.get(), 0);
        EXPECT_TRUE(info.cisParams());
        return {info.accessTimeSel(), info.copyBackOff()};
    }
    static void setDeviceCis(uint8_t accessTimeSel, uint8_t copyBackOff)
    {
        device::List list = device::List::devices(0, 0, 1);
        const device::FlashInfo info = device::FlashInfo::query(list.get(), 0);
        ASSERT_TRUE(info.cisParams());
        info.setAccessTimeSel(accessTimeSel);
        info.setCopyBackOff(copyBackOff);
        device::OpenScope open(list.get(), 0);
        ASSERT_NE(VelkWriteCisBlock(list.get(), 0), 0);
    }

    testsupport::TempBus tmp_;
};

std::string radios(int access50, int access30, int on, int off)
{
    auto line = [](int id, int v) { return "expect " + std::to_string(id) + " checked " + (v ? "yes" : "no") + "\n"; };
    return line(IDC_ACCESS_50NS, access50) + line(IDC_ACCESS_30NS, access30) + line(IDC_COPY_BACK_ON, on) +
           line(IDC_COPY_BACK_OFF, off);
}

TEST(ToolPanelTemplate, ButtonsComeInTheListedOrderSoTabReachesExitAfterTheCisButtons)
{
    // Regression: "E&xit" came first, so Tab went from it to the satellites.
    std::vector<int> order;
    for (const ui::ControlTemplate& c : console::toolPanelTemplate().controls)
        if (c.id >= 0 && c.kind != ui::Kind::GroupBox) order.push_back(c.id);
    EXPECT_EQ(order, (std::vector<int>{console::IDC_PELISK, console::IDC_ORNEL, console::IDC_IMBRA,
                                       console::IDC_RETIREX, console::IDC_READ_CIS, console::IDC_WRITE_CIS,
                                       console::IDC_EXIT, console::IDC_ACCESS_50NS, console::IDC_ACCESS_30NS,
                                       console::IDC_COPY_BACK_ON, console::IDC_COPY_BACK_OFF}));
}

TEST(SatellitePath, FollowsTheDriveRootRule)
{
    EXPECT_EQ(satellitePath("/", "/Kitbox/Pelisk"), "/Kitbox/Pelisk");
    EXPECT_EQ(satellitePath("/tools", "/Kitbox/Pelisk"), "/tools/Kitbox/Pelisk");
    EXPECT_EQ(satellitePath("/mnt/usb/", "/Kitbox/Ornel"), "/mnt/usb/Kitbox/Ornel");
    EXPECT_EQ(satellitePath("", "/Kitbox/Imbra"), std::nullopt);
}

TEST_F(ToolPanelTest, OpensWithItsCaptionsAndTheDefaultsChecked)
{
    const Outcome o = run("expect-title Usb Flash Disk Tools\n"
                          "expect 1207 text &Pelisk\nexpect 1208 text &Ornel\nexpect 1210 text &Imbra\n"
                          "expect 1213 text Retirex\nexpect 1212 text Read  CIS\nexpect 1211 text Write CIS\n"
                          "expect 1005 text E&xit\nexpect 1214 text 50 ns(Default)\nexpect 1216 text On   (Default)\n" +
                          radios(1, 0, 1, 0) + "click 1005\n");
    EXPECT_EQ(o.exitCode, 0) << o.transcript;
    EXPECT_TRUE(o.has("dialog \"Usb Flash Disk Tools\" closed OK")) << o.transcript;
}

TEST_F(ToolPanelTest, TheRadioButtonsFormTwoGroups)
{
    const Outcome o = run("click 1215\n" + radios(0, 1, 1, 0) + "click 1217\n" + radios(0, 1, 0, 1) + "click 1214\n" +
                          radios(1, 0, 0, 1) + "close\n");
    EXPECT_EQ(o.exitCode, 0) << o.transcript;
    EXPECT_TRUE(o.has("dialog \"Usb Flash Disk Tools\" closed Cancel")) << o.transcript;
}

TEST_F(ToolPanelTest, StartsEachSatelliteFromTheKitboxFolderWhenADeviceAnswers)
{
    createDevice("disk", "flashdisk");
    const Outcome o = run("click 1207\nclick 1208\nclick 1210\nclick 1213\nclick 1005\n");
    EXPECT_EQ(o.exitCode, 0) << o.transcript;
    for (const char* program : {"Pelisk", "Ornel", "Imbra", "Retirex"})
        EXPECT_TRUE(o.has("start " + work() + "/Kitbox/" + program)) << program << "\n" << o.transcript;
    EXPECT_FALSE(o.mentions("box ")) << o.transcript;
}

TEST_F(ToolPanelTest, WithoutADeviceOnlyRetirexStarts)
{
    createDevice("disk", "flashdisk");
    ASSERT_NE(VelkSimUnplug("disk"), 0);
    const Outcome o = run("answer OK\nclick 1207\nanswer OK\nclick 1208\nanswer OK\nclick 1210\nclick 1213\nclick 1005\n");
    EXPECT_EQ(o.exitCode, 0) << o.transcript;
    EXPECT_TRUE(o.has(box("Device not found"))) << o.transcript;
    for (const char* program : {"Pelisk", "Ornel", "Imbra"})
        EXPECT_FALSE(o.mentions("/Kitbox/" + std::string(program))) << program << "\n" << o.transcript;
    EXPECT_TRUE(o.has("start " + work() + "/Kitbox/Retirex")) << o.transcript;
}

TEST_F(ToolPanelTest, AtTheDriveRootThePathsHaveOneSeparatorExceptRetirexs)
{
    createDevice("disk", "flashdisk");
    const Outcome o = run("click 1207\nclick 1208\nclick 1210\nclick 1213\nclick 1005\n", "/");
    EXPECT_EQ(o.exitCode, 0) << o.transcript;
    EXPECT_TRUE(o.has("start /Kitbox/Pelisk")) << o.transcript;
    EXPECT_TRUE(o.has("start /Kitbox/Ornel")) << o.transcript;
    EXPECT_TRUE(o.has("start /Kitbox/Imbra")) << o.transcript;
    // Retirex's path is appended without the test.
    EXPECT_TRUE(o.has("start //Kitbox/Retirex")) << o.transcript;
}

// Guards against a start from an unknown working directory turning into an
// absolute path at the root of the file system.
TEST_F(ToolPanelTest, AnUnknownWorkingDirectoryStartsNothing)
{
    createDevice("disk", "flashdisk");
    const std::string gone = tmp_.file("gone");
    fs::create_directories(gone);
    auto r = ui::scripting::runScript("click 1207\nclick 1213\nclick 1005\n", {"Tavrin", "Tavrin"}, [&] {
        if (::chdir(gone.c_str()) != 0 || ::rmdir(gone.c_str()) != 0)
            return;
        ToolPanelDialog panel;
        panel.runModal();
    });
    EXPECT_EQ(r.exitCode, 0) << r.transcript;
    EXPECT_EQ(r.transcript.find("start "), std::string::npos) << r.transcript;
}

// ---- the running-copy check across processes ----

TEST_F(ToolPanelTest, ARunningOrnelInAnotherProcessBlocksASecondOneAlsoWithoutADevice)
{
    WindowHolder ornel("Ornel");
    ASSERT_TRUE(ornel.awaitTitle("Ornel"));
    Outcome o = run("answer OK\nclick 1208\nanswer OK\nclick 1207\nclick 1005\n");
    EXPECT_EQ(o.exitCode, 0) << o.transcript;
    EXPECT_TRUE(o.has(box("Ornel existed !"))) << o.transcript;
    // The window blocks only its own program; Pelisk gets to the device probe.
    EXPECT_TRUE(o.has(box("Device not found"))) << o.transcript;
    EXPECT_FALSE(o.mentions("start ")) << o.transcript;

    // With a device, still one Ornel only.
    createDevice("disk", "flashdisk");
    o = run("answer OK\nclick 1208\nclick 1005\n");
    EXPECT_TRUE(o.has(box("Ornel existed !"))) << o.transcript;
    EXPECT_FALSE(o.mentions("/Kitbox/Ornel")) << o.transcript;

    // Once it has ended, the next press starts one.
    ornel.stop();
    o = run("click 1208\nclick 1005\n");
    EXPECT_EQ(o.exitCode, 0) << o.transcript;
    EXPECT_TRUE(o.has("start " + work() + "/Kitbox/Ornel")) << o.transcript;
}

TEST_F(ToolPanelTest, APeliskarWindowBlocksPeliskButATitleOffByALetterDoesNot)
{
    createDevice("disk", "flashdisk");
    WindowHolder peliskar("Peliskar"), near("Ornel ");
    ASSERT_TRUE(peliskar.awaitTitle("Peliskar"));
    ASSERT_TRUE(near.awaitTitle("Ornel "));
    const Outcome o = run("answer OK\nclick 1207\nclick 1208\nclick 1005\n");
    EXPECT_EQ(o.exitCode, 0) << o.transcript;
    EXPECT_TRUE(o.has(box("Pelisk existed !"))) << o.transcript;
    EXPECT_FALSE(o.mentions("/Kitbox/Pelisk")) << o.transcript;
    EXPECT_TRUE(o.has("start " + work() + "/Kitbox/Ornel")) << o.transcript;
}

TEST_F(ToolPanelTest, AnImbraThatLoadedAnImageNoLongerBlocksASecondOne)
{
    createDevice("cd", "cdrom");
    const std::string image = tmp_.file("autorun.iso");
    WindowHolder imbra("Imbra", image);
    ASSERT_TRUE(imbra.awaitTitle("Imbra"));
    Outcome o = run("answer OK\nclick 1210\nclick 1005\n");
    EXPECT_TRUE(o.has(box("Imbra existed !"))) << o.transcript;
    EXPECT_FALSE(o.mentions("/Kitbox/Imbra")) << o.transcript;

    imbra.retitle();
    ASSERT_TRUE(imbra.awaitTitle(image));
    o = run("click 1210\nclick 1005\n");
    EXPECT_EQ(o.exitCode, 0) << o.transcript;
    EXPECT_TRUE(o.has("start " + work() + "/Kitbox/Imbra")) << o.transcript;
    EXPECT_FALSE(o.mentions("existed")) << o.transcript;
}

TEST_F(ToolPanelTest, RetirexStartsAlsoWhileACopyRunsAndWithoutADevice)
{
    WindowHolder retirex("Retirex");
    ASSERT_TRUE(retirex.awaitTitle("Retirex"));
    const Outcome o = run("click 1213\nclick 1213\nclick 1005\n");
    EXPECT_EQ(o.exitCode, 0) << o.transcript;
    const std::string line = "start " + work() + "/Kitbox/Retirex\n";
    const size_t first = o.transcript.find(line);
    ASSERT_NE(first, std::string::npos) << o.transcript;
    EXPECT_NE(o.transcript.find(line, first + 1), std::string::npos) << "started twice\n" << o.transcript;
}

// The real scanner program holds the window: started on a device, which is
// then unplugged (Ornel does not react to that).
TEST_F(ToolPanelTest, TheOrnelProgramItselfBlocksASecondCopy)
{
    createDevice("disk", "flashdisk");
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        ::dup2(fds[0], 0);
        ::close(fds[0]);
        ::close(fds[1]);
        if (::chdir(work().c_str()) != 0 || !std::freopen("/dev/null", "w", stdout))
            ::_exit(99);
        ::setenv("VELK_SIM_DIR", tmp_.bus().c_str(), 1);
        ::execl(ORNEL_EXE, "Ornel", "--script", "-", static_cast<char*>(nullptr));
        ::_exit(98);
    }
    ::close(fds[0]);
    ::signal(SIGPIPE, SIG_IGN);
    ASSERT_EQ(::write(fds[1], "advance 1\n", 10), 10);
    bool seen = false;
    for (auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
         !seen && std::chrono::steady_clock::now() < deadline;
         std::this_thread::sleep_for(std::chrono::milliseconds(2)))
        seen = os::findWindow("Ornel").has_value();
    ASSERT_NE(VelkSimUnplug("disk"), 0);
    const Outcome o = run("answer OK\nclick 1208\nclick 1005\n");
    ::close(fds[1]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    ASSERT_TRUE(seen) << "Ornel's window did not appear";
    EXPECT_EQ(o.exitCode, 0) << o.transcript;
    EXPECT_TRUE(o.has(box("Ornel existed !"))) << o.transcript;
    EXPECT_FALSE(o.mentions("start ")) << o.transcript;
}

// ---- CIS settings ----

TEST_F(ToolPanelTest, WriteCisStoresTheCheckedSettingsOnTheDevice)
{
    createDevice("disk", "flashdisk");
    ASSERT_EQ(deviceCis(), std::make_pair(0, 0));
    Outcome o = run("click 1215\nclick 1217\nanswer OK\nclick 1211\nclick 1005\n");
    EXPECT_EQ(o.exitCode, 0) << o.transcript;
    EXPECT_TRUE(o.has(infoBox("Write  CIS  SUCCESS "))) << o.transcript;
    EXPECT_EQ(deviceCis(), std::make_pair(1, 1));

    o = run("click 1217\nanswer OK\nclick 1211\nclick 1005\n");
    EXPECT_TRUE(o.has(infoBox("Write  CIS  SUCCESS "))) << o.transcript;
    EXPECT_EQ(deviceCis(), std::make_pair(0, 1));

    // The panel opens at the defaults again; writing them clears both.
    o = run("answer OK\nclick 1211\nclick 1005\n");
    EXPECT_EQ(deviceCis(), std::make_pair(0, 0));
}

TEST_F(ToolPanelTest, ReadCisShowsTheDevicesSettingsAndWritesThemBackUnchanged)
{
    createDevice("disk", "flashdisk");
    setDeviceCis(1, 0);
    Outcome o = run("answer OK\nclick 1212\n" + radios(0, 1, 1, 0) + "click 1005\n");
    EXPECT_EQ(o.exitCode, 0) << o.transcript;
    EXPECT_TRUE(o.has(infoBox("Read  CIS  SUCCESS "))) << o.transcript;
    EXPECT_EQ(deviceCis(), std::make_pair(1, 0));

    // Any value but 0 reads as the other setting and is written back as it is.
    setDeviceCis(0x5A, 7);
    o = run("answer OK\nclick 1212\n" + radios(0, 1, 0, 1) + "click 1005\n");
    EXPECT_EQ(o.exitCode, 0) << o.transcript;
    EXPECT_EQ(deviceCis(), std::make_pair(0x5A, 7));

    // Read, then write what was read: the round trip on the device.
    setDeviceCis(0, 9);
    o = run("answer OK\nclick 1212\n" + radios(1, 0, 0, 1) + "answer OK\nclick 1211\nclick 1005\n");
    EXPECT_EQ(o.exitCode, 0) << o.transcript;
    EXPECT_EQ(deviceCis(), std::make_pair(0, 1));
}

TEST_F(ToolPanelTest, CisCommandsWithoutADeviceSayDeviceNotFound)
{
    const Outcome o = run("click 1215\nanswer OK\nclick 1212\nanswer OK\nclick 1211\n" + radios(0, 1, 1, 0) +
                          "click 1005\n");
    EXPECT_EQ(o.exitCode, 0) << o.transcript;
    EXPECT_TRUE(o.has(box("Device  not  found  !!"))) << o.transcript;
    EXPECT_FALSE(o.mentions("CIS")) << o.transcript;
}

// Guards against reading or writing a record that a failed flash query did
// not provide: the radio buttons stay and the command fails.
TEST_F(ToolPanelTest, AFailedFlashQueryTouchesNoRecordAndFailsTheCommand)
{
    createDevice("reader", "reader");  // no NAND: no flash record
    const Outcome o = run("click 1215\nclick 1217\nanswer OK\nclick 1212\n" + radios(0, 1, 0, 1) +
                          "answer OK\nclick 1211\nclick 1005\n");
    EXPECT_EQ(o.exitCode, 0) << o.transcript;
    EXPECT_TRUE(o.has(box("Read  CIS  FAIL  !!"))) << o.transcript;
    EXPECT_TRUE(o.has(box("Write  CIS  FAIL  !!"))) << o.transcript;
    EXPECT_FALSE(o.mentions("SUCCESS")) << o.transcript;
}

// ---- from the console ----

TEST_F(ToolPanelTest, TheConsolesKitboxButtonOpensThePanelAtItsDefaultsEachTime)
{
    createDevice("disk", "flashdisk");
    auto r = ui::scripting::runScript("click 1006\nexpect-title Usb Flash Disk Tools\nclick 1215\nclick 1005\n"
                                      "expect-title Tavrin\nclick 1006\n" +
                                          radios(1, 0, 1, 0) + "close\nclick 1005\n",
                                      {"Tavrin", "Tavrin"}, [&] {
                                          if (::chdir(work().c_str()) != 0)
                                              return;
                                          ConsoleDialog console;
                                          console.runModal();
                                      });
    EXPECT_EQ(r.exitCode, 0) << r.transcript;
    EXPECT_NE(r.transcript.find("dialog \"Usb Flash Disk Tools\" closed OK"), std::string::npos) << r.transcript;
    EXPECT_NE(r.transcript.find("dialog \"Usb Flash Disk Tools\" closed Cancel"), std::string::npos) << r.transcript;
}

}  // namespace
}  // namespace console
