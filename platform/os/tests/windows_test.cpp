// Tests of the window registry: exact titles, entries of ended processes,
// unsafe folders, and closing a window in this and in another process.
#include "os.h"
#include "os_internal.h"
#include "os_test_support.h"

#include "ui/dialog.h"

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <thread>

namespace fs = std::filesystem;
using ostest::TempDir;

namespace {

ui::DialogTemplate titled(const std::string& caption) {
    ui::DialogTemplate t;
    t.id = 900;
    t.caption = caption;
    t.cx = 100;
    t.cy = 50;
    return t;
}

// Waits (bounded) until another process has recorded a window of that title.
std::optional<std::string> awaitWindow(const std::string& title) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (std::chrono::steady_clock::now() < deadline) {
        if (auto h = os::findWindow(title)) return h;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return std::nullopt;
}

class WindowRegistry : public ::testing::Test {
protected:
    void SetUp() override { os::detail::setWindowRegistryDir(dir_.path() / "windows"); }
    void TearDown() override { os::detail::setWindowRegistryDir({}); }
    std::vector<std::string> entryFiles() const {
        std::vector<std::string> out;
        std::error_code ec;
        for (auto& e : fs::directory_iterator(dir_.path() / "windows", ec)) out.push_back(e.path().filename());
        return out;
    }
    TempDir dir_;
};

TEST_F(WindowRegistry, FindsExactTitlesOnlyAndFollowsRetitlesAndDestruction) {
    ui::Dialog ornel(titled("Ornel")), pelisk(titled("Peliskar"));
    std::string h1 = os::detail::recordWindow(ornel, "Ornel");
    std::string h2 = os::detail::recordWindow(pelisk, "Peliskar");
    EXPECT_NE(h1, h2);
    EXPECT_EQ(h1.substr(0, h1.find(':')), std::to_string(::getpid()));
    EXPECT_EQ(os::findWindow("Ornel"), h1);
    EXPECT_EQ(os::findWindow("Peliskar"), h2);
    for (const char* near : {"ornel", "Orne", "Ornel ", " Ornel", "", "Pelisk"})
        EXPECT_FALSE(os::findWindow(near)) << '"' << near << '"';

    // Retitled (Imbra shows the image path): the old title is no longer found.
    EXPECT_EQ(os::detail::recordWindow(ornel, "/tmp/image.iso\nsecond line"), h1);
    EXPECT_FALSE(os::findWindow("Ornel"));
    EXPECT_EQ(os::findWindow("/tmp/image.iso\nsecond line"), h1);

    os::detail::forgetWindow(ornel);
    EXPECT_FALSE(os::findWindow("/tmp/image.iso\nsecond line"));
    os::detail::forgetWindow(ornel);  // twice is harmless
    os::detail::forgetWindow(pelisk);
    EXPECT_TRUE(entryFiles().empty());
    EXPECT_FALSE(os::closeWindow(h1));  // this process no longer has it
    for (const char* h : {"", ":", "12", "12:", ":3", "a:1", "-1:1", "1:1:1", "99999999999:1", "1:99999999999999999999"})
        EXPECT_FALSE(os::closeWindow(h)) << h;
}

TEST_F(WindowRegistry, WindowsOfAnotherProcessAreSeenUntilItEnds) {
    int ready[2], go[2];
    ASSERT_EQ(::pipe(ready), 0);
    ASSERT_EQ(::pipe(go), 0);
    pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        // Records a window and ends without forgetting it, as a crash would.
        ui::Dialog d(titled("Ornel"));
        os::detail::recordWindow(d, "Ornel");
        char c = 1;
        if (::write(ready[1], &c, 1) != 1) ::_exit(2);
        if (::read(go[0], &c, 1) != 1) ::_exit(3);
        ::_exit(0);
    }
    char c;
    ASSERT_EQ(::read(ready[0], &c, 1), 1);
    auto h = os::findWindow("Ornel");
    ASSERT_TRUE(h);
    EXPECT_EQ(h->substr(0, h->find(':')), std::to_string(child));
    ASSERT_EQ(::write(go[1], &c, 1), 1);
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_EQ(WEXITSTATUS(status), 0);
    // The entry of the ended process is ignored and cleaned away.
    EXPECT_FALSE(os::findWindow("Ornel"));
    EXPECT_TRUE(entryFiles().empty());
    EXPECT_FALSE(os::closeWindow(*h));
    for (int fd : {ready[0], ready[1], go[0], go[1]}) ::close(fd);
}

// Guards against a recycled process ID keeping a dead program's window alive.
TEST_F(WindowRegistry, EntryOfAReusedProcessIdIsIgnored) {
    ui::Dialog d(titled("Ornel"));
    std::string handle = os::detail::recordWindow(d, "Ornel");
    fs::path entry = dir_.path() / "windows" / (handle.replace(handle.find(':'), 1, ".") + ".win");
    ASSERT_TRUE(fs::exists(entry));
    // Same pid, other start time: the process that wrote it is gone.
    std::string text = ostest::readFile(entry);
    size_t at = text.find("start ");
    ASSERT_NE(at, std::string::npos);
    text.replace(at, text.find('\n', at) - at, "start 1");
    ostest::writeFile(entry, text);
    EXPECT_FALSE(os::findWindow("Ornel"));
    EXPECT_FALSE(fs::exists(entry));
    // Unreadable entries are skipped, not fatal.
    ostest::writeFile(dir_.path() / "windows" / "1.1.win", "garbage\n");
    ostest::writeFile(dir_.path() / "windows" / "2.1.win", "TAVRIN-WINDOW 1\npid x\ntitle Ornel\n");
    EXPECT_FALSE(os::findWindow("Ornel"));
    os::detail::forgetWindow(d);
}

TEST_F(WindowRegistry, FolderOthersCanWriteIsRefused) {
    fs::path shared = dir_.path() / "windows";
    fs::create_directories(shared);
    ::chmod(shared.c_str(), 0777);
    ui::Dialog d(titled("Ornel"));
    os::detail::recordWindow(d, "Ornel");
    EXPECT_TRUE(entryFiles().empty());
    EXPECT_FALSE(os::findWindow("Ornel"));
    os::detail::forgetWindow(d);

    // A symbolic link in its place is refused too.
    TempDir target;
    os::detail::setWindowRegistryDir(dir_.path() / "link");
    fs::create_directory_symlink(target.path(), dir_.path() / "link");
    ui::Dialog e(titled("Ornel"));
    os::detail::recordWindow(e, "Ornel");
    EXPECT_FALSE(os::findWindow("Ornel"));
    EXPECT_TRUE(fs::is_empty(target.path()));
    os::detail::forgetWindow(e);
}

// A headless program in a child process, driven through its script on a pipe:
// closeWindow from this process closes its dialog.
TEST_F(WindowRegistry, CloseReachesADialogOfAnotherProcess) {
    int script[2];
    ASSERT_EQ(::pipe(script), 0);
    fs::path transcript = dir_.path() / "child.txt";
    pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        ::dup2(script[0], 0);
        ::close(script[0]);
        ::close(script[1]);
        if (!std::freopen(transcript.c_str(), "w", stdout)) ::_exit(4);
        char arg0[] = "Ornel", arg1[] = "--script", arg2[] = "-";
        char* argv[] = {arg0, arg1, arg2, nullptr};
        int code = ui::runProgram(3, argv, {"Ornel", "Ornel"}, [] {
            os::detail::ensureHooks();
            ui::Dialog d(titled("Ornel Test"));
            d.runModal();
        });
        std::fflush(stdout);
        ::_exit(code);
    }
    ::close(script[0]);
    ::signal(SIGPIPE, SIG_IGN);
    // The runner reads ahead to the first line that acts before it starts the program.
    ASSERT_EQ(::write(script[1], "advance 1\n", 10), 10);
    auto h = awaitWindow("Ornel Test");
    if (!h) {
        ::close(script[1]);
        ::waitpid(child, nullptr, 0);
        FAIL() << "no window; the child wrote:\n" << ostest::readFile(transcript);
    }
    EXPECT_EQ(h->substr(0, h->find(':')), std::to_string(child));

    std::atomic<int> result{-1};
    std::thread closer([&] { result = os::closeWindow(*h) ? 1 : 0; });
    // The child's pollers run on every clock step of its script.
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (result < 0 && std::chrono::steady_clock::now() < deadline) {
        if (::write(script[1], "advance 1\n", 10) != 10) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    closer.join();
    ::close(script[1]);
    EXPECT_EQ(result, 1);
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    std::string out = ostest::readFile(transcript);
    EXPECT_NE(out.find("dialog \"Ornel Test\" closed Cancel"), std::string::npos) << out;
    EXPECT_FALSE(os::findWindow("Ornel Test"));
}

// In this process the close message is posted directly.
class CloseSelf : public ui::Dialog {
public:
    CloseSelf() : ui::Dialog(titled("Self")) {}
    bool onInitDialog() override {
        setTimer(1, 10);
        return true;
    }
    void onTimer(int) override {
        killTimer(1);
        handle = os::findWindow("Self");
        closed = handle && os::closeWindow(*handle);
    }
    std::optional<std::string> handle;
    bool closed = false;
};

TEST_F(WindowRegistry, DialogsOfAProgramAreRecordedAndClosableInProcess) {
    TempDir scriptDir;
    ostest::writeFile(scriptDir.path() / "s.txt", "advance 50\n");
    std::string path = (scriptDir.path() / "s.txt").string();
    char arg0[] = "Self", arg1[] = "--script";
    char* argv[] = {arg0, arg1, path.data(), nullptr};
    int result = -1;
    std::optional<std::string> handle;
    bool closed = false;
    testing::internal::CaptureStdout();
    ui::runProgram(3, argv, {"Self", "Self"}, [&] {
        os::detail::ensureHooks();  // an earlier run in this process cleared them
        CloseSelf d;
        result = d.runModal();
        handle = d.handle;
        closed = d.closed;
    });
    std::string out = testing::internal::GetCapturedStdout();
    ASSERT_TRUE(handle) << out;
    EXPECT_EQ(handle->substr(0, handle->find(':')), std::to_string(::getpid()));
    EXPECT_TRUE(closed);
    EXPECT_EQ(result, ui::IDCANCEL) << out;
    EXPECT_FALSE(os::findWindow("Self"));
    EXPECT_TRUE(entryFiles().empty());
}

}  // namespace
