// The read/write test dialog run from scripts on the simulated card reader,
// checked on what the simulator holds afterwards: every LUN image as it was.
#include "production_fixture.h"

#include "console/production/test_cycle.h"

namespace production::testing {
namespace {

const std::string kTitle = "ReaderTest";

class ReaderTestDialogTest : public ProductionTest {
protected:
    void SetUp() override
    {
        ProductionTest::SetUp();
        if (HasFatalFailure())
            return;
        createReader("r");
        fillLuns(11);
        before_ = hashes("r");
    }
    void expectImagesUnchanged(const std::string& why)
    {
        EXPECT_EQ(hashes("r"), before_) << why;
        EXPECT_EQ(journalFiles(), 0u) << "a clean run leaves no journal";
    }
    std::vector<uint64_t> before_;
};

TEST_F(ReaderTestDialogTest, OpensIdleWithTheReadersRowsAndTheDefaultCount)
{
    const Outcome r = runTest(
        "expect-title ReaderTest\n"
        "expect 1034 enabled yes\nexpect 1035 enabled yes\nexpect 1041 enabled yes\n"
        "expect 1038 count 2\nexpect 1038 item:0 100\nexpect 1038 item:1 Repeat\nexpect 1038 selected 0\n"
        "expect 1038 text 100\n"
        "expect 1039 enabled no\nexpect 1039 checked no\nexpect 1040 visible no\n"
        "expect 1013 text LUN0:\nexpect 1031 text LUN6:\n"
        "expect 1014 text (D:) CF\nexpect 1014 enabled yes\n"
        "expect 1017 text \nexpect 1017 enabled no\n"
        "expect 1020 text (F:) SD/MMC\n"
        "expect 1023 text \nexpect 1026 text \nexpect 1012 text \n"
        "click 1041\n");
    EXPECT_EQ(r.exitCode, 0) << r.transcript;
    EXPECT_TRUE(r.has("dialog \"ReaderTest\" closed OK")) << r.transcript;
    EXPECT_TRUE(r.has("rows 2 2 2 2 2 2 2")) << r.transcript;
}

// Each count runs that many cycles per LUN with media, marks them "O", and
// leaves every LUN image byte-identical.
TEST_F(ReaderTestDialogTest, CountsOneThreeAndHundredLeaveEveryImageIdentical)
{
    for (int count : {1, 3, 100}) {
        SCOPED_TRACE("count " + std::to_string(count));
        const std::string n = std::to_string(count);
        const Outcome r = runTest("text 1038 " + n + "\nclick 1034\nwait\n"
                              "expect 1012 text All LUN is tested completely.\n"
                              "expect 1034 enabled yes\n"
                              "expect 1015 range 0.." + n + "\nexpect 1015 pos " + n + "\n"
                              "expect 1021 range 0.." + n + "\nexpect 1021 pos " + n + "\n"
                              "expect 1018 pos 0\nexpect 1024 pos 0\n"
                              "click 1041\n");
        EXPECT_EQ(r.exitCode, 0) << r.transcript;
        EXPECT_TRUE(r.has("rows 1 2 1 2 2 2 2")) << r.transcript;
        EXPECT_TRUE(r.has(markLine(kTitle, 0, 1))) << r.transcript;
        EXPECT_TRUE(r.has(markLine(kTitle, 2, 1))) << r.transcript;
        expectImagesUnchanged("after " + n + " cycles");
    }
}

TEST_F(ReaderTestDialogTest, RepeatStoppedAfterSomePassesLeavesEveryImageIdentical)
{
    VelkSimRemove("r");
    createReader("r", {"lba-delay=1"});
    fillLuns(12);
    before_ = hashes("r");
    // A pass: 2 LUNs x 20 cycles x 4 transfers of 1 ms = 160 ms.
    const Outcome r = run("select 1038 1\nexpect 1039 enabled yes\nexpect 1040 enabled no\n"
                          "click 1034\nadvance 500\nexpect 1034 enabled no\n"
                          "click 1035\nwait\nexpect 1034 enabled yes\nclick 1041\n",
                          [] {
                              struct D : ReaderTestDialog {
                                  int passes = 0;
                                  void onUserMessage(unsigned msg, uintptr_t w, intptr_t l) override
                                  {
                                      passes += msg == WM_TEST_PROGRESS && w == uintptr_t(kAllLuns);
                                      ReaderTestDialog::onUserMessage(msg, w, l);
                                  }
                              } d;
                              d.runModal();
                              ui::hooks::transcript("passes " + std::to_string(d.passes));
                          });
    EXPECT_EQ(r.exitCode, 0) << r.transcript;
    EXPECT_TRUE(r.has("passes 3")) << r.transcript;
    expectImagesUnchanged("after Repeat was stopped");
}

TEST_F(ReaderTestDialogTest, IniCountIsOfferedFirstAndSelected)
{
    writeIni("; production line 3\n[TEST_TIMES] loops\n500\n");
    const Outcome r = runTest("expect 1038 count 2\nexpect 1038 item:0 500\nexpect 1038 item:1 Repeat\n"
                          "expect 1038 selected 0\nclick 1034\nwait\nexpect 1015 range 0..500\nexpect 1015 pos 500\n"
                          "click 1041\n");
    EXPECT_EQ(r.exitCode, 0) << r.transcript;
    expectImagesUnchanged("after 500 cycles");
}

TEST_F(ReaderTestDialogTest, IniProblemsShowTheirMessageAndKeepTheDefault)
{
    struct Case { const char* file; const char* message; };
    const Case cases[] = {
        {"[OTHER]\n7\n", "Error to read ini file"},
        {"[TEST_TIMES]", "Can't find the TestTimes in ini file."},
        {"[TEST_TIMES]\n", "Error to read ini file."},
        {"[TEST_TIMES]\r\nabc\r\n", nullptr},
        {"[TEST_TIMES]\n0\n", nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.file);
        writeIni(c.file);
        const Outcome r = runTest(std::string(c.message ? "answer OK\n" : "") + "expect 1038 item:0 100\nclick 1041\n");
        EXPECT_EQ(r.exitCode, 0) << r.transcript;
        if (c.message)
            EXPECT_TRUE(r.has("box \"Error\" error OK \"" + std::string(c.message) + "\" -> OK")) << r.transcript;
        else
            EXPECT_FALSE(r.contains("box ")) << r.transcript;
    }
}

TEST_F(ReaderTestDialogTest, TypedCountRunsThatManyCyclesAndAnEmptyOneIsRefused)
{
    const Outcome r = runTest("text 1038 \nanswer OK\nclick 1034\n"
                          "expect 1034 enabled yes\n"
                          "text 1038 3\nclick 1034\nwait\n"
                          "expect 1015 range 0..3\nexpect 1015 pos 3\nexpect 1021 pos 3\n"
                          "click 1041\n");
    EXPECT_EQ(r.exitCode, 0) << r.transcript;
    EXPECT_TRUE(r.has("box \"Error\" error OK \"Please assign the test times\" -> OK")) << r.transcript;
    expectImagesUnchanged("after 3 typed cycles");
}

// The bars take the count's low 16 bits; the test runs the whole count.
TEST_F(ReaderTestDialogTest, CountBeyondSixteenBitsCutsOnlyTheBarsRange)
{
    const Outcome r = runTest("text 1038 70000\nclick 1034\nwait\n"
                          "expect 1015 range 0..4464\nexpect 1015 pos 4464\n"
                          "expect 1012 text All LUN is tested completely.\nclick 1041\n");
    EXPECT_EQ(r.exitCode, 0) << r.transcript;
    EXPECT_TRUE(r.has("rows 1 2 1 2 2 2 2")) << r.transcript;
    expectImagesUnchanged("after 70000 cycles");
}

// One sector on LUN 0, so that every cycle uses LBA 0.
class OneSectorTest : public ReaderTestDialogTest {
protected:
    void SetUp() override
    {
        ProductionTest::SetUp();
        if (HasFatalFailure())
            return;
        createReader("r", {"lun0.sectors=1"});
        fillLuns(13);
        before_ = hashes("r");
    }
};

TEST_F(OneSectorTest, ReadBackMismatchInCycleZeroMarksTheLunAndTestsTheNext)
{
    fault("r", "lba-corrupt 0 0");
    const Outcome r = runTest("click 1034\nwait\nexpect 1015 pos 0\nexpect 1021 pos 100\n"
                          "expect 1012 text All LUN is tested completely.\nclick 1041\n");
    EXPECT_EQ(r.exitCode, 0) << r.transcript;
    EXPECT_TRUE(r.has("rows 0 2 1 2 2 2 2")) << r.transcript;
    EXPECT_TRUE(r.has(markLine(kTitle, 0, 0))) << r.transcript;
    const std::vector<uint64_t> after = hashes("r");
    EXPECT_EQ(after[2], before_[2]) << "the next LUN was tested and restored";
}

TEST_F(OneSectorTest, SaveReadFailureMarksTheLunAndWritesNothing)
{
    fault("r", "lba-read 0 0");
    const Outcome r = runTest("click 1034\nwait\nexpect 1015 pos 0\nclick 1041\n");
    EXPECT_EQ(r.exitCode, 0) << r.transcript;
    EXPECT_TRUE(r.has("rows 0 2 1 2 2 2 2")) << r.transcript;
    expectImagesUnchanged("nothing was written where nothing could be saved");
}

// Regression: a pattern write that fails after changing half the sector
// must still be followed by the write-back of the saved contents.
TEST_F(OneSectorTest, FailedPatternWriteStillWritesTheSavedContentsBack)
{
    fault("r", "lba-torn 0 0");
    const Outcome r = runTest("click 1034\nwait\nclick 1041\n");
    EXPECT_EQ(r.exitCode, 0) << r.transcript;
    EXPECT_TRUE(r.has("rows 0 2 1 2 2 2 2")) << "the LUN is still marked failed\n" << r.transcript;
    expectImagesUnchanged("the torn sector was written back");
}

TEST_F(OneSectorTest, RepeatWithStopWhenErrorCompletesThePassThenEnds)
{
    fault("r", "lba-corrupt 0 0");
    const Outcome r = runTest("select 1038 1\nclick 1039\nexpect 1039 checked yes\n"
                          "click 1034\nwait\n"
                          "expect 1012 text All LUN is tested completely.\nexpect 1034 enabled yes\n"
                          "expect 1021 range 0..20\nexpect 1021 pos 20\n"
                          "click 1041\n");
    EXPECT_EQ(r.exitCode, 0) << r.transcript;
    EXPECT_TRUE(r.has("rows 0 2 1 2 2 2 2")) << r.transcript;
}

// Repeat without "Stop when error" on a LUN whose every cycle fails: the
// stop request is honoured after the failed LUN as well.
TEST_F(OneSectorTest, RepeatWithFailuresCanStillBeStopped)
{
    VelkSimRemove("r");
    createReader("r", {"lun0.sectors=1", "lun2.present=0", "lba-delay=1"});
    fault("r", "lba-read 0 0");
    const Outcome r = runTest("select 1038 1\nclick 1034\nadvance 400\nexpect 1034 enabled no\n"
                          "click 1035\nwait\nexpect 1034 enabled yes\nclick 1041\n");
    EXPECT_EQ(r.exitCode, 0) << r.transcript;
    EXPECT_TRUE(r.has("rows 0 2 2 2 2 2 2")) << r.transcript;
}

// "Stop" mid-cycle: the cycle finishes with its write-back, the LUN keeps
// no mark, the status line its last text, and "Test" comes back.
TEST_F(ReaderTestDialogTest, StopDuringACycleFinishesItAndLeavesTheLunUnmarked)
{
    VelkSimRemove("r");
    createReader("r", {"lba-delay=1"});
    fillLuns(14);
    before_ = hashes("r");
    const Outcome r = runTest("click 1034\nadvance 6\nclick 1035\nwait\n"
                          "expect 1034 enabled yes\nexpect 1012 text LUN 0 is testing.....\n"
                          "expect 1015 pos 1\nclick 1041\n");
    EXPECT_EQ(r.exitCode, 0) << r.transcript;
    EXPECT_TRUE(r.has("rows 2 2 2 2 2 2 2")) << r.transcript;
    EXPECT_FALSE(r.contains("text \"O\"")) << r.transcript;
    expectImagesUnchanged("the stopped cycle wrote its sector back");
}

TEST_F(ReaderTestDialogTest, ModeSwitchEnablesStopWhenErrorOnlyForRepeat)
{
    const Outcome r = runTest("select 1038 1\nexpect 1039 enabled yes\nexpect 1040 enabled no\nclick 1039\n"
                          "select 1038 0\nexpect 1039 enabled no\nexpect 1039 checked no\nexpect 1040 enabled yes\n"
                          "click 1041\n");
    EXPECT_EQ(r.exitCode, 0) << r.transcript;
}

// Exit waits its 1000 ms and then for the worker; Escape waits for the
// worker too: neither ends the dialog under a running test.
TEST_F(ReaderTestDialogTest, ExitAndEscapeDuringATestWaitForTheWorker)
{
    VelkSimRemove("r");
    createReader("r", {"lba-delay=1"});
    fillLuns(15);
    before_ = hashes("r");
    Outcome r = runTest("text 1038 1000\nclick 1034\nadvance 3\nclick 1041\n");
    EXPECT_EQ(r.exitCode, 0) << r.transcript;
    EXPECT_TRUE(r.has("dialog \"ReaderTest\" closed OK")) << r.transcript;
    expectImagesUnchanged("after Exit during a test");

    r = runTest("text 1038 1000\nclick 1034\nadvance 3\nclose\n");
    EXPECT_EQ(r.exitCode, 0) << r.transcript;
    EXPECT_TRUE(r.has("dialog \"ReaderTest\" closed Cancel")) << r.transcript;
    expectImagesUnchanged("after Escape during a test");

    r = runTest("click 1041\n");
    EXPECT_TRUE(r.has("dialog \"ReaderTest\" closed OK")) << "Exit while idle\n" << r.transcript;
}

TEST_F(ReaderTestDialogTest, FailedDriveQueryGivesOneUnknownRowThatIsTested)
{
    fault("r", "drive-info");
    const Outcome r = runTest("expect 1014 text (?:) Unknow\nexpect 1017 text \nexpect 1020 text \n"
                          "text 1038 5\nclick 1034\nwait\nexpect 1015 pos 5\nclick 1041\n");
    EXPECT_EQ(r.exitCode, 0) << r.transcript;
    EXPECT_TRUE(r.has("rows 1 2 2 2 2 2 2")) << r.transcript;
    expectImagesUnchanged("after the test of the unknown LUN");
}

TEST_F(ReaderTestDialogTest, NoDeviceAtStartDisablesTestUntilAnArrivalSettles)
{
    ASSERT_EQ(VelkSimUnplug("r"), 1);
    const Outcome r = runTest("expect 1034 enabled no\nexpect 1014 text \n"
                          "plug r\nadvance 1999\nexpect 1034 enabled no\nadvance 1\n"
                          "expect 1034 enabled yes\nexpect 1014 text (D:) CF\nclick 1041\n");
    EXPECT_EQ(r.exitCode, 0) << r.transcript;
}

// A re-enumeration whose LUN count does not match the drive count leaves
// the dialog without a device until the next arrival.
TEST_F(ReaderTestDialogTest, ReenumerationWithMismatchedLunCountStaysWithoutDevice)
{
    fault("r", "lun-count 3");
    // The device settles at the second arrival: the fault goes just before
    // that re-probe.
    const Outcome r = run(
        "unplug r\nexpect 1034 enabled no\nplug r\nadvance 2000\nexpect 1034 enabled no\nexpect 1014 text \n"
        "unplug r\nplug r\nadvance 2000\nexpect 1034 enabled yes\nexpect 1014 text (D:) CF\nclick 1041\n",
        [] {
            struct D : ReaderTestDialog {
                int ticks = 0;
                void onTimer(int id) override
                {
                    if (id == console::LunPanel::kSettleTimer && ticks++ == 1)
                        VelkSimFault("r", "clear");
                    ReaderTestDialog::onTimer(id);
                }
            } d;
            d.runModal();
        });
    EXPECT_EQ(r.exitCode, 0) << r.transcript;
}

// Unplugged between the pattern write and the write-back: the dialog goes
// to its no-device state, the worker ends, and after the next arrival the
// saved sector goes back from the journal.
TEST_F(ReaderTestDialogTest, RemovalMidCycleComesBackAndRestoresTheSector)
{
    VelkSimRemove("r");
    createReader("r", {"lba-delay=1"});
    fillLuns(16);
    before_ = hashes("r");
    const Outcome r = runTest("click 1034\nadvance 3\nunplug r\nadvance 5\nwait\n"
                          "expect 1034 enabled no\nexpect 1014 text \nexpect 1012 text \n"
                          "plug r\nadvance 2000\n"
                          "expect 1034 enabled yes\nexpect 1014 text (D:) CF\n"
                          "expect 1012 text Restored 1 sector(s) left by an interrupted test.\n"
                          "click 1041\n");
    EXPECT_EQ(r.exitCode, 0) << r.transcript;
    expectImagesUnchanged("the sector cut off by the removal came back");
}

TEST_F(ReaderTestDialogTest, RemovalAtAnyMomentNeverHangsOrCrashes)
{
    VelkSimRemove("r");
    createReader("r", {"lba-delay=1"});
    fillLuns(17);
    before_ = hashes("r");
    for (int at : {0, 1, 2, 4, 7, 50, 90, 159, 161, 300}) {
        SCOPED_TRACE("unplugged at " + std::to_string(at) + " ms");
        const Outcome r = runTest("click 1034\nadvance " + std::to_string(at) + "\nunplug r\nwait\n"
                              "expect 1034 enabled no\nplug r\nadvance 2000\nexpect 1034 enabled yes\n"
                              "text 1038 5\nclick 1034\nwait\nexpect 1012 text All LUN is tested completely.\n"
                              "click 1041\n");
        EXPECT_EQ(r.exitCode, 0) << r.transcript;
        EXPECT_EQ(hashes("r"), before_);
    }
}

}  // namespace
}  // namespace production::testing
