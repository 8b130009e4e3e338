// The console dialog driven by scripts through the headless front end, with
// a simulated bus of its own per test. Each run happens in a child process:
// the script runner owns the process's dialog thread and clock, and ends the
// process when an expectation fails.
#include "console/shell/console_dialog.h"
#include "tests/support/temp_bus.h"
#include "console/shell/resources.h"

#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "platform/ui/frontend.h"
#include "velk_sim.h"

namespace console {
namespace {

namespace fs = std::filesystem;

struct Knobs {
    std::optional<os::FileVersion> version = os::FileVersion{1, 4, 4, 4};
    std::optional<bool> walk;       // nothing: the real walk over the bus
    bool emptyProbe = false;        // the probe finds no device
};

// The console with its decisions' inputs under the test's control; it
// reports what it did into the transcript.
class TestConsole : public ConsoleDialog {
public:
    explicit TestConsole(const Knobs& k) : k_(k) {}

    void onTimer(int id) override
    {
        if (id == kSettleTimer)
            ui::hooks::transcript("test: settle tick");
        ConsoleDialog::onTimer(id);
    }

protected:
    std::optional<os::FileVersion> programVersion() const override { return k_.version; }
    bool usbChildWalk() const override { return k_.walk ? *k_.walk : ConsoleDialog::usbChildWalk(); }
    VelkHandle createProbeList() override
    {
        ui::hooks::transcript("test: probe");
        return k_.emptyProbe ? nullptr : ConsoleDialog::createProbeList();
    }
    void runWriterDialog() override { ui::hooks::transcript("test: writer"); }
    void runReadWriteTestDialog() override { ui::hooks::transcript("test: read/write test"); }
    void runFormatDialog() override { ui::hooks::transcript("test: format"); }
    void runToolPanelDialog() override
    {
        // The tool panel's seam doubles as the way into the system menu,
        // which scripts cannot reach: it lists the menu and picks the item.
        for (const ui::SystemMenuItem& item : ui::detail::systemMenu(*this))
            ui::hooks::transcript("test: menu " + std::to_string(item.cmd) + " " + item.text);
        ui::detail::inputSysCommand(*this, IDM_ABOUTBOX);
    }

private:
    Knobs k_;
};

// A bare dialog that opens the console from its button 1. Scripts can queue
// answers in it before the console's start-up asks its questions.
class Host : public ui::Dialog {
public:
    explicit Host(const Knobs& k) : ui::Dialog(hostTemplate()), k_(k) {}
    void onCommand(int id) override
    {
        if (id != 1)
            return ui::Dialog::onCommand(id);
        TestConsole console(k_);
        console.runModal();
        endDialog(ui::IDOK);
    }

private:
    static ui::DialogTemplate hostTemplate()
    {
        ui::DialogTemplate t;
        t.caption = "Host";
        t.cx = 100;
        t.cy = 40;
        t.controls.push_back({1, ui::Kind::PushButton, "Start", {10, 10, 50, 14}, 0});
        return t;
    }
    Knobs k_;
};

struct Outcome {
    int exitCode = -1;
    std::string transcript;
    bool has(const std::string& line) const
    {
        return ("\n" + transcript).find("\n" + line + "\n") != std::string::npos;
    }
    size_t countOf(const std::string& line) const
    {
        size_t n = 0;
        std::istringstream in(transcript);
        for (std::string l; std::getline(in, l);)
            n += l == line;
        return n;
    }
};

class ConsoleDialogTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(tmp_.busOk()) << VelkSimLastError();
        root_ = tmp_.path();
        fs::create_directories(root_ / "kit");
    }

    // Runs the console on `script` with the working directory kit/.
    // failRegistration: device-notification registration fails, and the
    // script starts in a host dialog (see Host).
    Outcome run(const std::string& script, const Knobs& knobs = {}, bool failRegistration = false)
    {
        const fs::path scriptFile = root_ / "script.txt";
        const fs::path outFile = root_ / "transcript.txt";
        std::ofstream(scriptFile) << script;
        std::fflush(nullptr);
        const pid_t pid = fork();
        if (pid == 0) {
            if (std::freopen(outFile.c_str(), "w", stdout) == nullptr || chdir(cwd_.empty() ? (root_ / "kit").c_str() : cwd_.c_str()) != 0)
                _exit(99);
            if (failRegistration)
                setenv("TAVRIN_FAIL_DEVICE_NOTIFICATION", "1", 1);
            std::string path = scriptFile.string();
            char arg0[] = "Tavrin", arg1[] = "--script";
            char* argv[] = {arg0, arg1, path.data(), nullptr};
            const int rc = ui::runProgram(3, argv, {"Tavrin", "Tavrin"}, [&] {
                if (failRegistration) {
                    Host host(knobs);
                    host.runModal();
                } else {
                    TestConsole dlg(knobs);
                    dlg.runModal();
                }
            });
            std::fflush(stdout);
            _exit(rc);
        }
        Outcome o;
        int status = 0;
        waitpid(pid, &status, 0);
        o.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        std::ifstream in(outFile);
        std::stringstream ss;
        ss << in.rdbuf();
        o.transcript = ss.str();
        return o;
    }

    std::string kit() const { return (root_ / "kit").string(); }

    testsupport::TempBus tmp_;
    fs::path root_;
    std::string cwd_;  // working directory of the run; empty: kit/
};

// The four device buttons, as script lines expecting one state.
std::string deviceButtons(bool enabled)
{
    std::string s;
    for (int id : ConsoleDialog::kDeviceButtons)
        s += "expect " + std::to_string(id) + " enabled " + (enabled ? "yes" : "no") + "\n";
    return s;
}

std::string otherButtons()
{
    std::string s;
    for (int id : {IDC_README, IDC_DRIVER_INSTALL, IDC_DELETE_REGISTRY, IDC_EXIT})
        s += "expect " + std::to_string(id) + " enabled yes\n";
    return s;
}

TEST_F(ConsoleDialogTest, StartUpWithADeviceShowsVersionAndEnabledButtons)
{
    ASSERT_NE(VelkSimCreate("disk", "flashdisk", nullptr), 0) << VelkSimLastError();
    const Outcome o = run("expect-title Tavrin -- 1.4.4.4\n" + deviceButtons(true) + otherButtons() +
                          "click 1005\n");
    EXPECT_EQ(o.exitCode, 0) << o.transcript;
    EXPECT_TRUE(o.has("dialog \"Tavrin -- 1.4.4.4\" opened")) << o.transcript;
    EXPECT_TRUE(o.has("dialog \"Tavrin -- 1.4.4.4\" closed OK")) << "Exit ends with OK\n" << o.transcript;
    EXPECT_EQ(o.countOf("test: probe"), 1u);
}

TEST_F(ConsoleDialogTest, VersionInTheTitle)
{
    Knobs k;
    k.version = os::FileVersion{0, 9, 1, 2};
    EXPECT_EQ(run("expect-title Tavrin -- 0.9.1.2\n", k).exitCode, 0);

    k.version = os::FileVersion{0, 0, 1, 2};
    EXPECT_EQ(run("expect-title Tavrin -- 0.1.2\n", k).exitCode, 0);

    k.version.reset();
    const Outcome o = run("expect-title Tavrin\n", k);
    EXPECT_EQ(o.exitCode, 0) << "no version resource: the title stays\n" << o.transcript;
}

TEST_F(ConsoleDialogTest, NoDeviceAtStartDisablesOnlyTheDeviceButtonsSilently)
{
    const Outcome o = run(deviceButtons(false) + otherButtons());
    EXPECT_EQ(o.exitCode, 0) << o.transcript;
    EXPECT_EQ(o.transcript.find("box "), std::string::npos) << "no message\n" << o.transcript;
    // Escape / the close box end the console with Cancel.
    EXPECT_TRUE(o.has("dialog \"Tavrin -- 1.4.4.4\" closed Cancel")) << o.transcript;
}

TEST_F(ConsoleDialogTest, RemovalDisablesAtOnceAndArrivalEnablesTwoSecondsLater)
{
    ASSERT_NE(VelkSimCreate("disk", "flashdisk", nullptr), 0) << VelkSimLastError();
    const Outcome o = run(deviceButtons(true) +
                          "unplug disk\n" + deviceButtons(false) +
                          "plug disk\n" + deviceButtons(false) +
                          "advance 1999\n" + deviceButtons(false) +
                          "advance 1\n" + deviceButtons(true) +
                          "advance 10000\n");
    EXPECT_EQ(o.exitCode, 0) << o.transcript;
    EXPECT_EQ(o.countOf("test: settle tick"), 1u) << o.transcript;
    EXPECT_EQ(o.countOf("test: probe"), 2u) << "start-up and the tick\n" << o.transcript;
}

TEST_F(ConsoleDialogTest, ArrivalsWithinTwoSecondsGiveOneTickTwoSecondsAfterTheLast)
{
    ASSERT_NE(VelkSimCreate("a", "flashdisk", nullptr), 0) << VelkSimLastError();
    ASSERT_NE(VelkSimCreate("b", "reader", nullptr), 0) << VelkSimLastError();
    ASSERT_NE(VelkSimCreate("c", "cdrom", nullptr), 0) << VelkSimLastError();
    for (const char* n : {"a", "b", "c"})
        ASSERT_NE(VelkSimUnplug(n), 0);
    const Outcome o = run(deviceButtons(false) +
                          "plug a\nadvance 1500\n"
                          "plug b\nadvance 1500\n"
                          "plug c\nadvance 1999\n" + deviceButtons(false) +
                          "advance 1\n" + deviceButtons(true) +
                          "advance 10000\n");
    EXPECT_EQ(o.exitCode, 0) << o.transcript;
    EXPECT_EQ(o.countOf("test: settle tick"), 1u) << o.transcript;
}

TEST_F(ConsoleDialogTest, ButtonsComeBackEvenWhenTheReprobeFindsNothing)
{
    ASSERT_NE(VelkSimCreate("disk", "flashdisk", nullptr), 0) << VelkSimLastError();
    ASSERT_NE(VelkSimUnplug("disk"), 0);
    Knobs k;
    k.emptyProbe = true;
    const Outcome o = run(deviceButtons(false) + "plug disk\nadvance 2000\n" + deviceButtons(true), k);
    EXPECT_EQ(o.exitCode, 0) << o.transcript;
    EXPECT_EQ(o.countOf("test: settle tick"), 1u) << o.transcript;
    EXPECT_EQ(o.countOf("test: probe"), 2u) << o.transcript;
}

TEST_F(ConsoleDialogTest, ArrivalWhoseWalkFindsNothingStartsNoTimer)
{
    ASSERT_NE(VelkSimCreate("disk", "flashdisk", nullptr), 0) << VelkSimLastError();
    ASSERT_NE(VelkSimUnplug("disk"), 0);
    Knobs k;
    k.walk = false;
    const Outcome o = run(deviceButtons(false) + "plug disk\nadvance 60000\n" + deviceButtons(false), k);
    EXPECT_EQ(o.exitCode, 0) << o.transcript;
    EXPECT_EQ(o.countOf("test: settle tick"), 0u) << o.transcript;
    EXPECT_EQ(o.countOf("test: probe"), 1u) << o.transcript;
}

TEST_F(ConsoleDialogTest, RemovalStopsAPendingSettleTimer)
{
    ASSERT_NE(VelkSimCreate("a", "flashdisk", nullptr), 0) << VelkSimLastError();
    ASSERT_NE(VelkSimCreate("b", "reader", nullptr), 0) << VelkSimLastError();
    ASSERT_NE(VelkSimUnplug("a"), 0);
    const Outcome o = run("plug a\nadvance 1000\nunplug b\n" + deviceButtons(false) +
                          "advance 60000\n" + deviceButtons(false));
    EXPECT_EQ(o.exitCode, 0) << o.transcript;
    EXPECT_EQ(o.countOf("test: settle tick"), 0u) << o.transcript;
}

TEST_F(ConsoleDialogTest, CommandsOpenTheirDocumentsAndPrograms)
{
    ASSERT_NE(VelkSimCreate("disk", "flashdisk", nullptr), 0) << VelkSimLastError();
    // Read Me exists, the rest does not: nothing is reported either way.
    std::ofstream(root_ / "kit" / "Readme.txt") << "read me\n";
    const Outcome o = run("click 1000\nclick 1004\nclick 1007\n"
                          "click 1001\nclick 1002\nclick 1003\n"
                          "expect-title Tavrin -- 1.4.4.4\n");
    EXPECT_EQ(o.exitCode, 0) << o.transcript;
    EXPECT_TRUE(o.has("open " + kit() + "/Readme.txt")) << o.transcript;
    EXPECT_TRUE(o.has("start " + kit() + "/Setup/Setup")) << o.transcript;
    EXPECT_TRUE(o.has("start " + kit() + "/Kitbox/Kesso")) << o.transcript;
    EXPECT_TRUE(o.has("test: writer"));
    EXPECT_TRUE(o.has("test: read/write test"));
    EXPECT_TRUE(o.has("test: format"));
    EXPECT_EQ(o.transcript.find("box "), std::string::npos) << o.transcript;
}

TEST_F(ConsoleDialogTest, PathsAtTheRootKeepTheDoubleSeparator)
{
    cwd_ = "/";
    const Outcome o = run("click 1000\nclick 1004\nclick 1007\n");
    EXPECT_EQ(o.exitCode, 0) << o.transcript;
    EXPECT_TRUE(o.has("open //Readme.txt")) << o.transcript;
    EXPECT_TRUE(o.has("start //Setup/Setup")) << o.transcript;
    EXPECT_TRUE(o.has("start //Kitbox/Kesso")) << o.transcript;
}

TEST_F(ConsoleDialogTest, AboutItemInTheSystemMenuOpensTheAboutBox)
{
    ASSERT_NE(VelkSimCreate("disk", "flashdisk", nullptr), 0) << VelkSimLastError();
    const Outcome o = run("click 1006\nexpect-title About Tavrin\nclick 1\nexpect-title Tavrin -- 1.4.4.4\n");
    EXPECT_EQ(o.exitCode, 0) << o.transcript;
    EXPECT_TRUE(o.has("test: menu 16 " + loadString(IDS_ABOUTBOX))) << o.transcript;
    EXPECT_TRUE(o.has("dialog \"About Tavrin\" closed OK")) << o.transcript;
}

TEST_F(ConsoleDialogTest, RegistrationFailureShowsTheErrorAndSkipsTheRest)
{
    // No device on the bus, yet the device buttons keep their template state.
    const Outcome o = run("answer OK\nclick 1\n" + deviceButtons(true) + otherButtons() +
                          "expect-title Tavrin\n"
                          "click 1000\nclick 1004\nclick 1007\n", {}, true);
    EXPECT_EQ(o.exitCode, 0) << o.transcript;
    EXPECT_TRUE(o.has("box \"Error\" error OK \"Error to register device notification\" -> OK")) << o.transcript;
    EXPECT_EQ(o.countOf("test: probe"), 0u) << o.transcript;
    // Read Me and Driver Install have no paths and start nothing; Delete
    // Registry builds its path at the click.
    EXPECT_EQ(o.transcript.find("Readme.txt"), std::string::npos) << o.transcript;
    EXPECT_EQ(o.transcript.find("Setup/Setup"), std::string::npos) << o.transcript;
    EXPECT_TRUE(o.has("start " + kit() + "/Kitbox/Kesso")) << o.transcript;
}

}  // namespace
}  // namespace console
