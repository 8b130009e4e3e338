// A read/write test killed with SIGKILL at a random moment, then started
// again: every LUN image ends byte-identical to what it was before the
// first start. Kill points come from the simulator (the process dies half
// way through its Nth store write) and from outside (SIGKILL after a random
// delay). The seeds are printed.
#include "production_fixture.h"

#include <fcntl.h>

#include <cerrno>
#include <csignal>
#include <chrono>
#include <cstdio>
#include <thread>

namespace production::testing {
namespace {

class KillTest : public ProductionTest {
protected:
    // Starts the test dialog in a child process on `script`; returns its pid.
    // The child's transcript goes to *transcriptFd when given (a pipe), else
    // nowhere.
    pid_t startChild(const std::string& script, int* transcriptFd = nullptr)
    {
        const std::string path = tmp_.file("kill-script.txt");
        tmp_.write("kill-script.txt", script);
        int fds[2] = {-1, -1};
        if (transcriptFd && pipe(fds) != 0)
            return -1;
        std::fflush(nullptr);
        const pid_t pid = fork();
        if (pid == 0) {
            const int out = transcriptFd ? fds[1] : ::open("/dev/null", O_WRONLY);
            if (out >= 0)
                ::dup2(out, 1);
            if (transcriptFd)
                ::close(fds[0]);
            std::string p = path;
            char arg0[] = "Tavrin", arg1[] = "--script";
            char* argv[] = {arg0, arg1, p.data(), nullptr};
            const int rc = ui::runProgram(3, argv, {"Tavrin", "Tavrin"}, [] {
                ReaderTestDialog d;
                d.runModal();
            });
            _exit(rc == 0 ? 0 : 3);
        }
        if (transcriptFd) {
            ::close(fds[1]);
            *transcriptFd = fds[0];
        }
        return pid;
    }
    // Reads the child's transcript until its dialog is open.
    static bool awaitOpened(int fd)
    {
        std::string got;
        char buf[256];
        while (got.find(" opened\n") == std::string::npos) {
            const ssize_t n = ::read(fd, buf, sizeof buf);
            if (n <= 0)
                return false;
            got.append(buf, size_t(n));
        }
        return true;
    }
    // Waits for the child; true when it was killed by SIGKILL.
    static bool killed(pid_t pid)
    {
        int st = 0;
        while (waitpid(pid, &st, 0) < 0 && errno == EINTR) {
        }
        return WIFSIGNALED(st) && WTERMSIG(st) == SIGKILL;
    }
    // The next start: restores what the killed run left and exits; the
    // transcript ends with "status TEXT", the status line it showed.
    Outcome restart()
    {
        return run("click 1041\n", [] {
            ReaderTestDialog d;
            d.runModal();
            ui::hooks::transcript("status " + d.text(console::IDC_LUN_STATUS));
        });
    }
    std::vector<std::string> images(const std::string& device) const
    {
        std::vector<std::string> v;
        for (int lun = 0; lun < 4; ++lun)
            v.push_back(image(device, lun));
        return v;
    }
    // Which LUNs and sectors differ, for failure messages.
    std::string differences(const std::vector<std::string>& a, const std::vector<std::string>& b) const
    {
        std::string s;
        for (size_t lun = 0; lun < a.size(); ++lun)
            if (a[lun] != b[lun])
                s += " LUN " + std::to_string(lun) + ":" + differingSectors(a[lun], b[lun]);
        return s;
    }
};

// Seen on the LUN right after the kill: the pattern of the killed cycle,
// 00h, 55h and AAh for cycles 0, 1 and 2; the restart puts the sector back.
TEST_F(KillTest, KilledInEachPatternWriteTheSectorHoldsThatPatternUntilTheRestart)
{
    createReader("r", {"lun0.sectors=1", "lun2.present=0"});
    fillLuns(21);
    const std::string before = image("r", 0);
    const uint8_t patterns[] = {0x00, 0x55, 0xAA};
    for (int cycle = 0; cycle < 3; ++cycle) {
        SCOPED_TRACE("cycle " + std::to_string(cycle));
        // Writes 1, 3, 5: the pattern writes of cycles 0, 1, 2.
        fault("r", "crash-at-write " + std::to_string(2 * cycle + 1));
        ASSERT_TRUE(killed(startChild("text 1038 3\nclick 1034\nwait\nclick 1041\n")));
        // Read through the library: its next user completes the write the
        // killed process was in.
        VelkHandle h = VelkCreateDeviceList(0, 0, 1);
        ASSERT_NE(h, nullptr);
        std::string during(512, '\0');
        EXPECT_EQ(VelkReadLBA(h, 0, 0, 1, reinterpret_cast<uint8_t*>(during.data())), 1);
        VelkDestroyDeviceList(h);
        EXPECT_TRUE(during == std::string(512, char(patterns[cycle]))) << "the pattern of cycle " << cycle;
        EXPECT_EQ(journalFiles(), 1u);
        const Outcome r = restart();
        EXPECT_EQ(r.exitCode, 0) << r.transcript;
        EXPECT_TRUE(r.has("status Restored 1 sector(s) left by an interrupted test.")) << r.transcript;
        EXPECT_EQ(image("r", 0), before) << "differs in sectors" << differingSectors(image("r", 0), before);
        EXPECT_EQ(journalFiles(), 0u);
    }
}

TEST_F(KillTest, KilledAtRandomStoreWritesEveryRestartRestoresEverything)
{
    createReader("r");
    fillLuns(22);
    const std::vector<std::string> before = images("r");
    const unsigned seed = unsigned(std::chrono::steady_clock::now().time_since_epoch().count());
    std::printf("KilledAtRandomStoreWrites seed %u\n", seed);
    std::mt19937 gen(seed);
    // 2 LUNs x 20 cycles x 2 writes per cycle.
    std::uniform_int_distribution<int> write(1, 80);
    for (int round = 0; round < 25; ++round) {
        const int n = write(gen);
        SCOPED_TRACE("seed " + std::to_string(seed) + ", round " + std::to_string(round) + ", write " +
                     std::to_string(n));
        fault("r", "crash-at-write " + std::to_string(n));
        ASSERT_TRUE(killed(startChild("text 1038 20\nclick 1034\nwait\nclick 1041\n")));
        const Outcome r = restart();
        ASSERT_EQ(r.exitCode, 0) << r.transcript;
        // Killed inside a pattern write or a write-back: one sector to put back.
        EXPECT_TRUE(r.has("status Restored 1 sector(s) left by an interrupted test.")) << r.transcript;
        const std::vector<std::string> after = images("r");
        ASSERT_TRUE(after == before) << "differs:" << differences(after, before);
        ASSERT_EQ(journalFiles(), 0u);
    }
}

TEST_F(KillTest, KilledFromOutsideAtRandomMomentsEveryRestartRestoresEverything)
{
    // Each transfer waits for the program clock, so most moments of a
    // cycle's real time fall inside its transfers: three of its four
    // transfers happen while a pattern is on the sector.
    createReader("r", {"lba-delay=1"});
    fillLuns(23);
    const std::vector<std::string> before = images("r");
    const unsigned seed = unsigned(std::chrono::steady_clock::now().time_since_epoch().count());
    std::printf("KilledFromOutsideAtRandomMoments seed %u\n", seed);
    std::mt19937 gen(seed);
    std::uniform_int_distribution<int> delayUs(0, 40000);
    int restoredRuns = 0;
    for (int round = 0; round < 30; ++round) {
        const int us = delayUs(gen);
        SCOPED_TRACE("seed " + std::to_string(seed) + ", round " + std::to_string(round) + ", after " +
                     std::to_string(us) + " us");
        int out = -1;
        const pid_t pid = startChild("text 1038 1000\nclick 1034\nwait\nclick 1041\n", &out);
        ASSERT_GT(pid, 0);
        // From the moment its window is open: the test starts right away.
        const bool opened = awaitOpened(out);
        std::this_thread::sleep_for(std::chrono::microseconds(us));
        ::kill(pid, SIGKILL);
        killed(pid);
        ::close(out);
        ASSERT_TRUE(opened);
        const Outcome r = restart();
        ASSERT_EQ(r.exitCode, 0) << r.transcript;
        restoredRuns += r.has("status Restored 1 sector(s) left by an interrupted test.");
        if (std::getenv("KILL_TEST_VERBOSE"))
            std::printf("after %d us: %s\n", us, r.transcript.substr(r.transcript.rfind("status")).c_str());
        const std::vector<std::string> after = images("r");
        ASSERT_TRUE(after == before) << "differs:" << differences(after, before);
        ASSERT_EQ(journalFiles(), 0u);
    }
    std::printf("KilledFromOutsideAtRandomMoments: %d of 30 restarts restored a sector\n", restoredRuns);
}

}  // namespace
}  // namespace production::testing
