// The format dialog run from scripts on the simulated card reader, checked
// on the LUN images and the device's state afterwards.
#include "production_fixture.h"

#include <fcntl.h>

#include <fstream>

#include <atomic>
#include <thread>

namespace production::testing {
namespace {

const std::string kQuestion =
    "box \"Warning\" warning YesNo \"Format will erase all data on the memory card. Continue?\"";
const std::string kReplug = "box \"Tavrin\" none OK \"Please remove the device and reattach it.\" -> OK";

// A FAT boot sector: the signature at 510 and "FAT" in the type field (at
// 54 on FAT12/16, at 82 on FAT32).
bool hasFileSystem(const std::string& sector0)
{
    return sector0.size() >= 512 && uint8_t(sector0[510]) == 0x55 && uint8_t(sector0[511]) == 0xAA &&
           (sector0.compare(54, 3, "FAT") == 0 || sector0.compare(82, 5, "FAT32") == 0);
}

bool attached(const std::string& name)
{
    VelkSimDeviceInfo info[8];
    const int n = VelkSimListDevices(info, 8);
    for (int i = 0; i < n && i < 8; ++i)
        if (name == info[i].name)
            return info[i].attached != 0;
    return false;
}

// The bar positions after the dialog closed: "bars P0 ... P6".
void reportBars(ui::Dialog& d)
{
    std::string s = "bars";
    for (int r = 0; r < console::kLunRows; ++r)
        s += " " + std::to_string(d.pos(console::lunBarId(r)));
    ui::hooks::transcript(s);
}

std::vector<int> barsOf(const Outcome& r)
{
    std::vector<int> v;
    const size_t at = r.transcript.find("\nbars ");
    if (at == std::string::npos)
        return v;
    std::istringstream in(r.transcript.substr(at + 6));
    for (int i = 0, p = 0; i < console::kLunRows && in >> p; ++i)
        v.push_back(p);
    return v;
}

class FormatDialogTest : public ProductionTest {
protected:
    void SetUp() override
    {
        ProductionTest::SetUp();
        if (HasFatalFailure())
            return;
        createReader("r", settings());
        if (!big()) {
            fillLuns(31);
            before_ = hashes("r");
        }
    }
    virtual std::vector<std::string> settings() const { return {}; }
    // A 1 GiB LUN 0, not filled (its bar moves in many small steps).
    virtual bool big() const { return false; }
    std::string firstSector(const std::string& device, int lun) const
    {
        std::ifstream in(tmp_.bus() + "/devices/" + device + "/lun" + std::to_string(lun) + ".img", std::ios::binary);
        std::string s(512, '\0');
        in.read(s.data(), 512);
        return in ? s : std::string();
    }

    Outcome format(const std::string& script)
    {
        return run(script, [] {
            FormatDialog d;
            d.runModal();
            reportRows(d.panel());
            reportBars(d);
            ui::hooks::transcript("clock " + std::to_string(ui::nowMs()));
        });
    }
    std::vector<uint64_t> before_;
};

// Four LUNs, media in two: both are formatted, the empty ones are not
// touched, the device is told to leave, and the end message is shown.
TEST_F(FormatDialogTest, FormatsTheLunsWithMediaThenRemovesTheDevice)
{
    const Outcome r = format("expect 1042 enabled yes\nexpect 2 text Exit\nexpect 1014 text (D:) CF\n"
                         "expect 1020 text (F:) SD/MMC\n"
                         "answer Yes\nanswer OK\nclick 1042\nwait\n"
                         "expect 1012 text All LUN is format completely.\n"
                         "expect 2 text Exit\nexpect 1042 enabled no\nexpect 1014 text \n"
                         "click 2\n");
    EXPECT_EQ(r.exitCode, 0) << r.transcript;
    EXPECT_TRUE(r.has(kQuestion + " -> Yes")) << r.transcript;
    EXPECT_TRUE(r.has(kReplug)) << r.transcript;
    EXPECT_TRUE(r.has("dialog \"Format\" closed 0")) << r.transcript;
    EXPECT_TRUE(r.has("rows 2 2 2 2 2 2 2")) << "the format paints no marks\n" << r.transcript;
    EXPECT_TRUE(hasFileSystem(firstSector("r", 0)));
    EXPECT_TRUE(hasFileSystem(firstSector("r", 2)));
    const std::vector<uint64_t> after = hashes("r");
    EXPECT_EQ(after[1], before_[1]);
    EXPECT_EQ(after[3], before_[3]);
    EXPECT_FALSE(attached("r")) << "told to leave the bus";
}

TEST_F(FormatDialogTest, AnsweringNoFormatsNothingAndLeavesFormatDisabled)
{
    const Outcome r = format("answer No\nclick 1042\nwait\nexpect 2 text Exit\nexpect 1042 enabled no\n"
                         "expect 1014 text (D:) CF\nclick 2\n");
    EXPECT_EQ(r.exitCode, 0) << r.transcript;
    EXPECT_TRUE(r.has(kQuestion + " -> No")) << r.transcript;
    EXPECT_EQ(hashes("r"), before_);
    EXPECT_TRUE(attached("r"));
}

TEST_F(FormatDialogTest, ExitWhileIdleClosesAtOnce)
{
    const Outcome r = format("click 2\n");
    EXPECT_EQ(r.exitCode, 0) << r.transcript;
    EXPECT_TRUE(r.has("dialog \"Format\" closed 0")) << r.transcript;
    EXPECT_TRUE(r.has("clock 0")) << r.transcript;
}

TEST_F(FormatDialogTest, NoDeviceAtStartDisablesFormatUntilAnArrivalSettles)
{
    ASSERT_EQ(VelkSimUnplug("r"), 1);
    const Outcome r = format("expect 1042 enabled no\nplug r\nadvance 2000\nexpect 1042 enabled yes\n"
                         "expect 1014 text (D:) CF\nclick 2\n");
    EXPECT_EQ(r.exitCode, 0) << r.transcript;
}

TEST_F(FormatDialogTest, AfterTheFormatTheNextArrivalBringsFormatBack)
{
    const Outcome r = format("answer Yes\nanswer OK\nclick 1042\nwait\nexpect 1042 enabled no\n"
                         "plug r\nadvance 2000\nexpect 1042 enabled yes\nexpect 1020 text (F:) SD/MMC\n"
                         "expect 1012 text \nclick 2\n");
    EXPECT_EQ(r.exitCode, 0) << r.transcript;
}

TEST_F(FormatDialogTest, MediaTypeQueryDecidesAndFailedFormatsAreNotReported)
{
    // LUN 0's format fails on its first write; LUN 2 is formatted all the same.
    fault("r", "lba-write 0 0");
    const Outcome r = format("answer Yes\nanswer OK\nclick 1042\nwait\n"
                         "expect 1012 text All LUN is format completely.\nclick 2\n");
    EXPECT_EQ(r.exitCode, 0) << r.transcript;
    EXPECT_FALSE(hasFileSystem(firstSector("r", 0)));
    EXPECT_TRUE(hasFileSystem(firstSector("r", 2)));
}

class RealisticFormatTest : public FormatDialogTest {
protected:
    std::vector<std::string> settings() const override { return {"timing=realistic"}; }
};

class BigRealisticFormatTest : public FormatDialogTest {
protected:
    std::vector<std::string> settings() const override { return {"timing=realistic", "lun0.size=1G"}; }
    bool big() const override { return true; }
};

// The progress thread follows the byte: mid-format the bar is on its way,
// and it stops at the last value below 100 it saw.
TEST_F(BigRealisticFormatTest, ProgressBarsFollowEachFormat)
{
    const Outcome r = run("answer Yes\nanswer OK\nclick 1042\nadvance 1500\nwait\nclick 2\n", [] {
        struct D : FormatDialog {
            bool onInitDialog() override
            {
                setTimer(77, 1500);
                return FormatDialog::onInitDialog();
            }
            void onTimer(int id) override
            {
                if (id == 77) {
                    killTimer(77);
                    ui::hooks::transcript("mid " + std::to_string(pos(console::lunBarId(0))) + " " +
                                          std::to_string(pos(console::lunBarId(2))));
                }
                FormatDialog::onTimer(id);
            }
        } d;
        d.runModal();
        reportBars(d);
    });
    EXPECT_EQ(r.exitCode, 0) << r.transcript;
    const size_t mid = r.transcript.find("\nmid ");
    ASSERT_NE(mid, std::string::npos) << r.transcript;
    int m0 = -1, m2 = -1;
    std::istringstream(r.transcript.substr(mid + 5)) >> m0 >> m2;
    EXPECT_GT(m0, 10);
    EXPECT_LT(m0, 90);
    EXPECT_EQ(m2, 0) << "LUN 2 waits its turn";
    // After the job the device has left: the rows are cleared.
    EXPECT_EQ(barsOf(r), std::vector<int>(7, 0)) << r.transcript;
    EXPECT_TRUE(hasFileSystem(firstSector("r", 0)));
    EXPECT_TRUE(hasFileSystem(firstSector("r", 2)));
}

// Escape (and the close box) during a job is "Stop": the LUN in progress
// is aborted (its bar stops following), the next one is formatted, the
// dialog stays, and at the job end the status line is cleared.
TEST_F(BigRealisticFormatTest, EscapeDuringAJobStopsTheLunInProgressOnly)
{
    const Outcome r = run("answer Yes\nanswer OK\nclick 1042\nadvance 1000\nexpect 2 text Stop\nclose\n"
                          "expect 2 text Stop\nadvance 1000\nwait\nexpect 2 text Exit\nexpect 1012 text \n"
                          "expect 1042 enabled no\nclick 2\n",
                          [] {
                              struct D : FormatDialog {
                                  bool onInitDialog() override
                                  {
                                      setTimer(77, 2000);
                                      return FormatDialog::onInitDialog();
                                  }
                                  void onTimer(int id) override
                                  {
                                      if (id == 77) {
                                          killTimer(77);
                                          ui::hooks::transcript("mid " + std::to_string(pos(console::lunBarId(0))));
                                      }
                                      FormatDialog::onTimer(id);
                                  }
                              } d;
                              d.runModal();
                          });
    EXPECT_EQ(r.exitCode, 0) << r.transcript;
    EXPECT_TRUE(r.has(kReplug)) << r.transcript;
    EXPECT_TRUE(r.has("dialog \"Format\" closed 0")) << r.transcript;
    const size_t mid = r.transcript.find("\nmid ");
    ASSERT_NE(mid, std::string::npos) << r.transcript;
    const int m0 = std::stoi(r.transcript.substr(mid + 5));
    EXPECT_GT(m0, 10) << "where it was at the abort";
    EXPECT_LT(m0, 50) << "not followed after the abort";
    EXPECT_FALSE(hasFileSystem(firstSector("r", 0))) << "the aborted LUN";
    EXPECT_TRUE(hasFileSystem(firstSector("r", 2))) << "the next LUN";
}

TEST_F(RealisticFormatTest, RemovalMidFormatReturnsToNoDeviceAndComesBack)
{
    for (int at : {0, 10, 1000, 2990, 3500, 4500}) {
        SCOPED_TRACE("unplugged at " + std::to_string(at) + " ms");
        ASSERT_EQ(VelkSimPlug("r"), 1);
        const Outcome r = format("answer Yes\nclick 1042\nadvance " + std::to_string(at) +
                             "\nunplug r\nwait\n"
                             "expect 2 text Exit\nexpect 1042 enabled no\nexpect 1014 text \nexpect 1012 text \n"
                             "plug r\nadvance 2000\nexpect 1042 enabled yes\nexpect 1014 text (D:) CF\n"
                             "click 2\n");
        EXPECT_EQ(r.exitCode, 0) << r.transcript;
        EXPECT_FALSE(r.contains("Please remove the device")) << "no end message after a removal\n" << r.transcript;
        EXPECT_TRUE(r.has("dialog \"Format\" closed 0")) << r.transcript;
    }
}

// The progress message: (n, v) for v 0 or a multiple of 10, the text by
// v below or from 80; other values change nothing; 15 is the job's end.
TEST_F(FormatDialogTest, ProgressMessagesSetTheStatusLine)
{
    const Outcome r = run("advance 10\nexpect 1012 text \n"
                      "advance 10\nexpect 1012 text LUN 2 is formatting.....\n"
                      "advance 10\nexpect 1012 text LUN 2 is Building file system.....\n"
                      "advance 10\nexpect 1012 text LUN 2 is Building file system.....\n"
                      "advance 10\nexpect 1012 text LUN 3 is formatting.....\n"
                      "advance 10\nexpect 1012 text All LUN is format completely.\n"
                      "click 2\n",
                      [] {
                          struct D : FormatDialog {
                              int step = 0;
                              bool onInitDialog() override
                              {
                                  setTimer(70, 10);
                                  return FormatDialog::onInitDialog();
                              }
                              void onTimer(int id) override
                              {
                                  static const int msgs[][2] = {{2, 35}, {2, 40}, {2, 80}, {2, 85}, {3, 0}, {15, 0}};
                                  if (id == 70 && step < 6) {
                                      postMessage(WM_FORMAT_PROGRESS, uintptr_t(msgs[step][0]), msgs[step][1]);
                                      ++step;
                                  }
                                  FormatDialog::onTimer(id);
                              }
                          } d;
                          d.runModal();
                      });
    EXPECT_EQ(r.exitCode, 0) << r.transcript;
}

TEST_F(FormatDialogTest, FailedDriveQueryListsTheUnknownRowAndFormatsNothing)
{
    fault("r", "drive-info");
    const Outcome r = format("expect 1014 text (?:) Unknow\nanswer Yes\nanswer OK\nclick 1042\nwait\nclick 2\n");
    EXPECT_EQ(r.exitCode, 0) << r.transcript;
    EXPECT_EQ(hashes("r"), before_) << "no drive count: no LUN to format";
}

// Another program's "Device Driver Service" window is closed before any
// format, and the job looks again half a second later.
TEST_F(FormatDialogTest, ClosesOtherProgramsDeviceDriverServiceWindowsFirst)
{
    const std::string childOut = tmp_.file("child.txt");
    std::fflush(nullptr);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        // A program of its own with that window, its script fed by a
        // thread of its own so that its pollers keep running.
        int fds[2];
        if (pipe(fds) != 0 || !std::freopen(childOut.c_str(), "w", stdout))
            _exit(4);
        dup2(fds[0], 0);
        std::thread([fd = fds[1]] {
            const char line[] = "advance 1\n";
            for (int i = 0; i < 20000; ++i) {
                if (write(fd, line, sizeof line - 1) != ssize_t(sizeof line - 1))
                    break;
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
        }).detach();
        char arg0[] = "Service", arg1[] = "--script", arg2[] = "-";
        char* argv[] = {arg0, arg1, arg2, nullptr};
        ui::runProgram(3, argv, {"Service", "Service"}, [] {
            ui::DialogTemplate t;
            t.caption = "Device Driver Service";
            t.cx = 100;
            t.cy = 40;
            ui::Dialog d(t);
            d.runModal();
        });
        std::fflush(stdout);
        _exit(0);
    }
    // Wait until its window is there.
    bool seen = false;
    for (int i = 0; i < 2000 && !seen; ++i) {
        seen = testsupport::readFile(childOut).find("opened") != std::string::npos;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    ASSERT_TRUE(seen) << testsupport::readFile(childOut);
    const Outcome r = format("answer Yes\nanswer OK\nclick 1042\nwait\nclick 2\n");
    int st = 0;
    waitpid(child, &st, 0);
    EXPECT_EQ(r.exitCode, 0) << r.transcript;
    EXPECT_NE(testsupport::readFile(childOut).find("dialog \"Device Driver Service\" closed Cancel"),
              std::string::npos)
        << testsupport::readFile(childOut);
    // The look after the close came 500 ms later on the program clock.
    const size_t at = r.transcript.find("\nclock ");
    ASSERT_NE(at, std::string::npos);
    EXPECT_GE(std::stoll(r.transcript.substr(at + 7)), 500) << r.transcript;
    EXPECT_TRUE(hasFileSystem(firstSector("r", 0)));
}

}  // namespace
}  // namespace production::testing
