// production_bench - figures of the read/write test and the format, on a
// simulated card reader in a temporary bus (warm page cache, one run):
//
//   1. cycles per second of the test's cycle (save, pattern write, read-back,
//      write-back, restore journal included) against the floor of four
//      512-byte pread/pwrite calls per cycle on a plain file, and of the
//      whole test dialog (worker, progress messages, dialog thread);
//   2. the format of a 32 GiB SD card through VelkLogicalFormat against
//      mkfs.fat -F 32 on a 32 GiB sparse image;
//   3. the CPU time of the format dialog's thread and its progress thread
//      while a realistic-timing format runs, as a share of one core.
//
// Prints figures; asserts nothing. Run from the build tree:
//   nice -n 10 build/console/production/bench/production_bench [CYCLES]
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "console/production/format_dialog.h"
#include "console/production/reader_test_dialog.h"
#include "console/production/restore_journal.h"
#include "console/production/test_cycle.h"
#include "platform/ui/frontend.h"

#include <velk.h>
#include <velk_sim.h>

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point t0)
{
    return std::chrono::duration<double>(Clock::now() - t0).count();
}

double threadCpuSeconds()
{
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) * 1e-9;
}

bool create(const std::string& name, std::vector<std::string> settings)
{
    std::vector<const char*> p;
    for (auto& s : settings)
        p.push_back(s.c_str());
    p.push_back(nullptr);
    if (VelkSimCreate(name.c_str(), "reader", p.data()))
        return true;
    std::printf("cannot create %s: %s\n", name.c_str(), VelkSimLastError());
    return false;
}

// A front end with a real event loop and no windows: it pumps when woken,
// at the model's next due time and when a poller's descriptor (the bus,
// the window registry) becomes readable, and answers every box with Yes / OK.
class LoopFrontend : public ui::Frontend {
public:
    LoopFrontend()
    {
        if (::pipe(wake_) != 0)
            wake_[0] = wake_[1] = -1;
        ::fcntl(wake_[0], F_SETFL, O_NONBLOCK);
        ::fcntl(wake_[1], F_SETFL, O_NONBLOCK);
    }
    ~LoopFrontend() override
    {
        ::close(wake_[0]);
        ::close(wake_[1]);
    }
    void createWindow(ui::Dialog&, ui::Dialog*) override {}
    void showWindow(ui::Dialog&) override {}
    void destroyWindow(ui::Dialog&, int) override {}
    void refresh(ui::Dialog&, const ui::Changes&) override {}
    void runLoop(ui::Dialog& d) override
    {
        while (!ui::detail::loopEnded(d)) {
            ui::detail::pump();
            if (ui::detail::loopEnded(d))
                break;
            std::vector<pollfd> fds{{wake_[0], POLLIN, 0}};
            for (int fd : ui::detail::pollerFds())
                fds.push_back({fd, POLLIN, 0});
            int timeout = -1;
            if (const auto due = ui::detail::nextDue())
                timeout = int(std::max<int64_t>(0, *due - ui::nowMs()));
            if (::poll(fds.data(), fds.size(), timeout) > 0) {
                char buf[64];
                while (::read(wake_[0], buf, sizeof buf) > 0) {
                }
                bool pollers = false;
                for (size_t i = 1; i < fds.size(); ++i)
                    pollers = pollers || (fds[i].revents & POLLIN);
                if (pollers)
                    ui::detail::runPollers();
            }
        }
    }
    void wake() override
    {
        const char c = 1;
        [[maybe_unused]] const ssize_t n = ::write(wake_[1], &c, 1);
    }
    int messageBox(ui::Dialog*, const std::string&, const std::string&, unsigned flags) override
    {
        return (flags & 0xF) == ui::MB_YESNO ? ui::IDYES : ui::IDOK;
    }
    std::optional<std::string> fileDialog(ui::Dialog*, bool, const ui::FileDialogSpec&) override { return {}; }
    void setBusyCursor(bool) override {}

private:
    int wake_[2];
};

// ---- 1. cycles ------------------------------------------------------------------

double floorCyclesPerSecond(const std::string& dir, uint32_t cycles, uint32_t sectors)
{
    const std::string path = dir + "/floor.img";
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600);
    std::vector<uint8_t> fill(size_t(sectors) * 512, 0x5A);
    if (fd < 0 || ::pwrite(fd, fill.data(), fill.size(), 0) != ssize_t(fill.size()))
        return 0;
    uint8_t pattern[512], save[512], back[512];
    production::TestRandom random(1);
    auto run = [&](uint32_t n) {
        for (uint32_t i = 0; i < n; ++i) {
            const off_t at = off_t(uint32_t(random.next()) % sectors) * 512;
            production::fillPattern(pattern, i);
            if (::pread(fd, save, 512, at) != 512 || ::pwrite(fd, pattern, 512, at) != 512 ||
                ::pread(fd, back, 512, at) != 512 || ::pwrite(fd, save, 512, at) != 512)
                return false;
        }
        return true;
    };
    run(cycles / 10);  // warm
    const auto t0 = Clock::now();
    const bool ok = run(cycles);
    const double s = secondsSince(t0);
    ::close(fd);
    ::unlink(path.c_str());
    return ok ? cycles / s : 0;
}

double engineCyclesPerSecond(const std::string& journalDir, uint32_t cycles, uint32_t sectors)
{
    VelkHandle h = VelkCreateDeviceList(0, 0, 1);
    if (!h)
        return 0;
    std::string err;
    auto journal = production::RestoreJournal::create(journalDir, production::DeviceIdentity::read(h), &err);
    if (!journal) {
        std::printf("%s\n", err.c_str());
        return 0;
    }
    production::SectorCycle cycle(h, *journal);
    production::TestRandom random(1);
    auto run = [&](uint32_t n) {
        for (uint32_t i = 0; i < n; ++i) {
            const uint32_t lba = uint32_t(random.next()) % sectors;
            if (cycle.run(0, sectors, lba, i) != production::CycleResult::Passed)
                return false;
        }
        return true;
    };
    run(cycles / 10);
    const auto t0 = Clock::now();
    const bool ok = run(cycles);
    const double s = secondsSince(t0);
    journal.reset();
    VelkDestroyDeviceList(h);
    return ok ? cycles / s : 0;
}

// The whole dialog: "Test" pressed with the count, until the dialog thread
// has shown "All LUN is tested completely.".
class TimedTest : public production::ReaderTestDialog {
public:
    explicit TimedTest(uint32_t count) : count_(count) {}
    bool onInitDialog() override
    {
        production::ReaderTestDialog::onInitDialog();
        setTimer(90, 10);
        return true;
    }
    void onTimer(int id) override
    {
        if (id != 90)
            return production::ReaderTestDialog::onTimer(id);
        killTimer(90);
        ui::detail::inputText(*this, production::IDC_TEST_TIMES, std::to_string(count_));
        t0_ = Clock::now();
        ui::detail::inputClick(*this, production::IDC_TEST);
    }
    void onUserMessage(unsigned msg, uintptr_t w, intptr_t l) override
    {
        production::ReaderTestDialog::onUserMessage(msg, w, l);
        if (msg == production::WM_TEST_PROGRESS && w == uintptr_t(production::kAllLuns)) {
            seconds = secondsSince(t0_);
            ui::detail::inputClick(*this, production::IDC_STOP);
            endDialog(ui::IDOK);
        }
    }
    double seconds = 0;

private:
    uint32_t count_;
    Clock::time_point t0_;
};

// ---- 2. 32 GiB format -------------------------------------------------------------

double velkFormatSeconds()
{
    VelkHandle h = VelkCreateDeviceList(0, 0, 1);
    if (!h)
        return 0;
    alignas(4) uint8_t progress = 0, abort = 0;
    const auto t0 = Clock::now();
    const int ok = VelkLogicalFormat(h, 2, &progress, &abort);
    const double s = secondsSince(t0);
    VelkDestroyDeviceList(h);
    return ok ? s : 0;
}

double mkfsSeconds(const std::string& image)
{
    // Made once: the second run finds the blocks of the first.
    if (!fs::exists(image)) {
        std::ofstream(image, std::ios::trunc);
        if (::truncate(image.c_str(), off_t(32) << 30) != 0)
            return 0;
    }
    const auto t0 = Clock::now();
    const pid_t pid = fork();
    if (pid == 0) {
        const int devnull = ::open("/dev/null", O_WRONLY);
        ::dup2(devnull, 1);
        ::dup2(devnull, 2);
        execlp("mkfs.fat", "mkfs.fat", "-F", "32", image.c_str(), static_cast<char*>(nullptr));
        execl("/usr/sbin/mkfs.fat", "mkfs.fat", "-F", "32", image.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    int st = 0;
    waitpid(pid, &st, 0);
    const double s = secondsSince(t0);
    return WIFEXITED(st) && WEXITSTATUS(st) == 0 ? s : 0;
}

// The cost of starting the program at all.
double mkfsStartSeconds()
{
    const auto t0 = Clock::now();
    const pid_t pid = fork();
    if (pid == 0) {
        const int devnull = ::open("/dev/null", O_WRONLY);
        ::dup2(devnull, 1);
        ::dup2(devnull, 2);
        execlp("mkfs.fat", "mkfs.fat", "--help", static_cast<char*>(nullptr));
        execl("/usr/sbin/mkfs.fat", "mkfs.fat", "--help", static_cast<char*>(nullptr));
        _exit(127);
    }
    int st = 0;
    waitpid(pid, &st, 0);
    return secondsSince(t0);
}

// ---- 3. CPU during a realistic format -----------------------------------------------

// utime + stime (clock ticks) of this process's threads, by name.
std::map<int, std::pair<std::string, long>> threadTimes()
{
    std::map<int, std::pair<std::string, long>> out;
    DIR* d = opendir("/proc/self/task");
    if (!d)
        return out;
    while (dirent* e = readdir(d)) {
        if (e->d_name[0] == '.')
            continue;
        std::ifstream f(std::string("/proc/self/task/") + e->d_name + "/stat");
        std::string s;
        std::getline(f, s);
        const size_t open = s.find('('), close = s.rfind(')');
        if (open == std::string::npos || close == std::string::npos)
            continue;
        std::istringstream rest(s.substr(close + 2));
        std::string field;
        long utime = 0, stime = 0;
        for (int i = 3; i <= 15 && rest >> field; ++i) {
            if (i == 14)
                utime = std::atol(field.c_str());
            if (i == 15)
                stime = std::atol(field.c_str());
        }
        out[std::atoi(e->d_name)] = {s.substr(open + 1, close - open - 1), utime + stime};
    }
    closedir(d);
    return out;
}

class TimedFormat : public production::FormatDialog {
public:
    bool onInitDialog() override
    {
        production::FormatDialog::onInitDialog();
        setTimer(90, 10);
        return true;
    }
    void onTimer(int id) override
    {
        if (id != 90)
            return production::FormatDialog::onTimer(id);
        killTimer(90);
        cpu0_ = threadCpuSeconds();
        t0_ = Clock::now();
        ui::detail::inputClick(*this, production::IDC_FORMAT);
    }
    void onUserMessage(unsigned msg, uintptr_t w, intptr_t l) override
    {
        production::FormatDialog::onUserMessage(msg, w, l);
        if (msg == production::WM_FORMAT_PROGRESS && w == 15) {
            seconds = secondsSince(t0_);
            dialogCpu = threadCpuSeconds() - cpu0_;
            endDialog(0);
        }
    }
    double seconds = 0, dialogCpu = 0;

private:
    double cpu0_ = 0;
    Clock::time_point t0_;
};

}  // namespace

int main(int argc, char** argv)
{
    const uint32_t cycles = argc > 1 ? uint32_t(std::strtoul(argv[1], nullptr, 10)) : 200000;
    char tmpl[] = "/tmp/production-bench-XXXXXX";
    if (!mkdtemp(tmpl)) {
        std::printf("cannot make a temporary folder\n");
        return 1;
    }
    const std::string dir = tmpl;
    fs::create_directories(dir + "/bus");
    fs::create_directories(dir + "/state");
    fs::create_directories(dir + "/windows");
    fs::create_directories(dir + "/work");
    ::chmod((dir + "/windows").c_str(), 0700);
    setenv("XDG_STATE_HOME", (dir + "/state").c_str(), 1);
    setenv("TAVRIN_WINDOWS_DIR", (dir + "/windows").c_str(), 1);
    fs::current_path(dir + "/work");
    VelkSimSetBusDir((dir + "/bus").c_str());

    LoopFrontend fe;
    ui::detail::setFrontend(&fe);
    ui::detail::setDialogThread();

    // 1. Cycles on a 64 MiB CF card (LBAs below 32768, as the test chooses them).
    const uint32_t sectors = 131072;
    if (!create("r", {"lun0.size=64M", "lun2.present=0"}))
        return 1;
    const double floor = floorCyclesPerSecond(dir, cycles, sectors);
    const double engine = engineCyclesPerSecond(production::journalDirectory(), cycles, sectors);
    std::printf("read/write test, %u cycles on LUN 0 (warm page cache)\n", cycles);
    std::printf("  floor: 4 x pread/pwrite of 512 bytes   %10.0f cycles/s\n", floor);
    std::printf("  test cycle with restore journal        %10.0f cycles/s   ratio %.2f (goal <= 2.0)\n", engine,
                engine > 0 ? floor / engine : 0.0);
    {
        TimedTest t(cycles);
        t.runModal();
        const double perSecond = t.seconds > 0 ? cycles / t.seconds : 0;
        std::printf("  whole dialog (worker, progress, UI)     %10.0f cycles/s   ratio %.2f\n", perSecond,
                    perSecond > 0 ? floor / perSecond : 0.0);
    }
    VelkSimRemove("r");

    // 2. 32 GiB: each twice, the second run counted (blocks allocated, cache warm).
    if (!create("sd", {"lun0.present=0", "lun2.size=32G"}))
        return 1;
    velkFormatSeconds();
    const double velk = velkFormatSeconds();
    const std::string image = dir + "/mkfs.img";
    mkfsSeconds(image);
    const double mkfs = mkfsSeconds(image);
    std::printf("format of a 32 GiB SD card (FAT32, second of two runs)\n");
    std::printf("  VelkLogicalFormat                      %10.3f s\n", velk);
    std::printf("  mkfs.fat -F 32 on a sparse image       %10.3f s   ratio %.2f (goal <= 1.2)\n", mkfs,
                mkfs > 0 ? velk / mkfs : 0.0);
    std::printf("  (of which starting mkfs.fat, --help:   %10.3f s)\n", mkfsStartSeconds());
    ::unlink(image.c_str());
    VelkSimRemove("sd");

    // 3. A realistic-timing format of one 64 MiB card.
    if (!create("slow", {"lun0.size=64M", "lun2.present=0", "timing=realistic"}))
        return 1;
    std::atomic<bool> sampling{true};
    std::map<int, std::pair<std::string, long>> last;
    std::mutex lastM;
    std::thread sampler([&] {
        while (sampling) {
            auto now = threadTimes();
            std::lock_guard lk(lastM);
            for (auto& [tid, v] : now)
                last[tid] = v;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    });
    double seconds = 0, dialogCpu = 0;
    {
        TimedFormat f;
        f.runModal();
        seconds = f.seconds;
        dialogCpu = f.dialogCpu;
    }
    sampling = false;
    sampler.join();
    const double tick = double(sysconf(_SC_CLK_TCK));
    double progressCpu = 0, jobCpu = 0;
    for (auto& [tid, v] : last) {
        if (v.first == "format progress")
            progressCpu += v.second / tick;
        if (v.first == "format job")
            jobCpu += v.second / tick;
    }
    std::printf("realistic-timing format of a 64 MiB card: %.2f s\n", seconds);
    std::printf("  dialog thread CPU                      %10.3f s\n", dialogCpu);
    std::printf("  progress thread CPU                    %10.3f s (clock ticks of 1/%.0f s)\n", progressCpu, tick);
    std::printf("  share of one core                      %9.2f %% (goal < 5%%)\n",
                seconds > 0 ? 100.0 * (dialogCpu + progressCpu) / seconds : 0.0);
    std::printf("  (the job thread, in the format call:   %10.3f s)\n", jobCpu);
    VelkSimRemove("slow");
    ui::detail::setFrontend(nullptr);
    std::error_code ec;
    fs::current_path("/");
    fs::remove_all(dir, ec);
    return 0;
}
