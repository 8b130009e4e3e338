// The built Tavrin program, run headless from a script in a kit folder with
// a bus directory of its own.
#include <gtest/gtest.h>
#include "tests/support/temp_bus.h"

#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "velk_sim.h"

namespace {

namespace fs = std::filesystem;

struct ProgramRun {
    int exitCode = -1;
    std::string out;
};

class TavrinProgramTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(tmp_.busOk()) << VelkSimLastError();
        root_ = tmp_.path();
        fs::create_directories(root_ / "kit");
    }

    ProgramRun tavrin(const std::string& script, const std::string& arg = "--script")
    {
        std::ofstream(root_ / "script.txt") << script;
        const fs::path out = root_ / "out.txt";
        const pid_t pid = fork();
        if (pid == 0) {
            if (chdir((root_ / "kit").c_str()) != 0 || !std::freopen(out.c_str(), "w", stdout) ||
                !std::freopen(out.c_str(), "a", stderr))
                _exit(99);
            setenv("VELK_SIM_DIR", (root_ / "bus").c_str(), 1);
            unsetenv("DISPLAY");
            unsetenv("WAYLAND_DISPLAY");
            unsetenv("QT_QPA_PLATFORM");
            const std::string scriptPath = (root_ / "script.txt").string();
            if (arg.empty())
                execl(TAVRIN_EXE, "Tavrin", static_cast<char*>(nullptr));
            else
                execl(TAVRIN_EXE, "Tavrin", arg.c_str(), scriptPath.c_str(), static_cast<char*>(nullptr));
            _exit(98);
        }
        int status = 0;
        waitpid(pid, &status, 0);
        ProgramRun r;
        r.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        std::ifstream in(out);
        std::stringstream ss;
        ss << in.rdbuf();
        r.out = ss.str();
        return r;
    }

    testsupport::TempBus tmp_;
    fs::path root_;
};

TEST_F(TavrinProgramTest, CarriesVersionOneFourFourFourInItsTitle)
{
    ASSERT_NE(VelkSimCreate("disk", "flashdisk", nullptr), 0) << VelkSimLastError();
    const ProgramRun r = tavrin("expect-title Tavrin -- 1.4.4.4\n"
                         "expect 1001 enabled yes\n"
                         "unplug disk\n"
                         "expect 1001 enabled no\n"
                         "plug disk\n"
                         "advance 2000\n"
                         "expect 1001 enabled yes\n"
                         "click 1005\n");
    EXPECT_EQ(r.exitCode, 0) << r.out;
    EXPECT_NE(r.out.find("dialog \"Tavrin -- 1.4.4.4\" closed OK"), std::string::npos) << r.out;
}

TEST_F(TavrinProgramTest, WithoutADisplayItSaysSoAndExitsWithTwo)
{
    const ProgramRun r = tavrin("", "");
    EXPECT_EQ(r.exitCode, 2) << r.out;
    EXPECT_NE(r.out.find("no display"), std::string::npos) << r.out;
}

}  // namespace
