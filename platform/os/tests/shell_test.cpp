// Tests of shellOpen with real windows (no headless front end): programs are
// spawned in the caller's directory, documents go to xdg-open, missing files
// start nothing, and ended programs do not linger as zombies. The spawned
// programs report through a FIFO, so the test waits for them without sleeps.
#include "os.h"
#include "os_test_support.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <thread>

namespace fs = std::filesystem;
using ostest::TempDir;
using ostest::writeFile;

namespace {

class Shell : public ::testing::Test {
protected:
    void SetUp() override {
        oldPath_ = std::getenv("PATH") ? std::getenv("PATH") : "";
        oldCwd_ = fs::current_path();
        fifo_ = dir_.path() / "report";
        ASSERT_EQ(::mkfifo(fifo_.c_str(), 0600), 0);
        ::setenv("OS_TEST_FIFO", fifo_.c_str(), 1);
        // Opened now (non-blocking) so that a writer never blocks on it.
        fd_ = ::open(fifo_.c_str(), O_RDONLY | O_NONBLOCK);
        ASSERT_GE(fd_, 0);
        // A writer of our own keeps poll() from seeing a hang-up between reports.
        keepOpen_ = ::open(fifo_.c_str(), O_WRONLY | O_NONBLOCK);
        ASSERT_GE(keepOpen_, 0);
    }
    void TearDown() override {
        if (fd_ >= 0) ::close(fd_);
        if (keepOpen_ >= 0) ::close(keepOpen_);
        ::setenv("PATH", oldPath_.c_str(), 1);
        fs::current_path(oldCwd_);
        ::unsetenv("OS_TEST_FIFO");
    }
    // One line a spawned program wrote; empty after 20 s without one.
    std::string report() {
        std::string line;
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (std::chrono::steady_clock::now() < deadline) {
            struct pollfd p{fd_, POLLIN, 0};
            ::poll(&p, 1, 100);
            char c;
            while (::read(fd_, &c, 1) == 1) {
                if (c == '\n') return line;
                line += c;
            }
        }
        return line;
    }

    TempDir dir_;
    fs::path fifo_;
    int fd_ = -1;
    int keepOpen_ = -1;
    std::string oldPath_;
    fs::path oldCwd_;
};

TEST_F(Shell, ProgramIsSpawnedInTheCallersDirectoryWithoutWaiting) {
    TempDir work;
    fs::path prog = dir_.path() / "Kesso";
    writeFile(prog, "#!/bin/sh\necho \"$PWD|$0|$#\" > \"$OS_TEST_FIFO\"\n", true);
    fs::current_path(work.path());
    ASSERT_TRUE(os::shellOpen(prog.string()));
    EXPECT_EQ(report(), work.path().string() + "|" + prog.string() + "|0");
}

TEST_F(Shell, DocumentGoesToXdgOpen) {
    TempDir bin;
    writeFile(bin.path() / "xdg-open", "#!/bin/sh\necho \"xdg-open $1\" > \"$OS_TEST_FIFO\"\n", true);
    ::setenv("PATH", (bin.path().string() + ":/usr/bin:/bin").c_str(), 1);
    fs::path doc = dir_.path() / "Readme.txt";
    writeFile(doc, "read me\n");
    ASSERT_TRUE(os::shellOpen(doc.string()));
    EXPECT_EQ(report(), "xdg-open " + doc.string());
    // A file without the execute permission is a document too.
    fs::path notExecutable = dir_.path() / "Setup";
    writeFile(notExecutable, "#!/bin/sh\n");
    ASSERT_TRUE(os::shellOpen(notExecutable.string()));
    EXPECT_EQ(report(), "xdg-open " + notExecutable.string());
}

TEST_F(Shell, MissingFilesAndMissingOpenerFail) {
    EXPECT_FALSE(os::shellOpen((dir_.path() / "Kitbox" / "Kesso").string()));
    EXPECT_FALSE(os::shellOpen((dir_.path() / "Readme.txt").string()));
    EXPECT_FALSE(os::shellOpen(""));
    TempDir emptyBin;
    ::setenv("PATH", emptyBin.path().c_str(), 1);  // no xdg-open anywhere
    fs::path doc = dir_.path() / "Readme.txt";
    writeFile(doc, "x");
    EXPECT_FALSE(os::shellOpen(doc.string()));
}

// Guards against zombies: an ended child that is never reaped still looks
// alive to the window registry, so a satellite would seem to run forever.
TEST_F(Shell, EndedProgramIsReaped) {
    fs::path prog = dir_.path() / "Quick";
    writeFile(prog, "#!/bin/sh\necho $$ > \"$OS_TEST_FIFO\"\n", true);
    ASSERT_TRUE(os::shellOpen(prog.string()));
    std::string pid = report();
    ASSERT_FALSE(pid.empty());
    fs::path proc = "/proc/" + pid;
    // Waits (bounded) for the process entry to go: it does once reaped.
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (fs::exists(proc) && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_FALSE(fs::exists(proc));
}

TEST_F(Shell, HeadlessRunsLogWhatTheyStartAndSpawnOnlyWhenAsked) {
    fs::path prog = dir_.path() / "Pelisk";
    writeFile(prog, "#!/bin/sh\necho \"ran $0\" > \"$OS_TEST_FIFO\"\n", true);
    fs::path doc = dir_.path() / "Readme.txt";
    writeFile(doc, "x");
    const std::string missingProg = (dir_.path() / "Kitbox" / "Kesso").string();
    const std::string missingDoc = (dir_.path() / "Missing.txt").string();
    std::vector<bool> results;
    std::string transcript;
    ::unsetenv("TAVRIN_SPAWN");
    ostest::runScript("", [&] {
        for (const auto& p : {prog.string(), doc.string(), missingProg, missingDoc}) results.push_back(os::shellOpen(p));
        ::setenv("TAVRIN_SPAWN", "1", 1);
        results.push_back(os::shellOpen(prog.string()));
        ::unsetenv("TAVRIN_SPAWN");
    }, &transcript);
    EXPECT_EQ(results, (std::vector<bool>{true, true, false, false, true}));
    EXPECT_EQ(transcript, "start " + prog.string() + "\nopen " + doc.string() + "\nstart " + missingProg +
                              "\nopen " + missingDoc + "\nstart " + prog.string() + "\n");
    EXPECT_EQ(report(), "ran " + prog.string());
}

}  // namespace
