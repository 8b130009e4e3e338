// Production runs of the writer: ten devices in a row from one EEP file,
// replugged one after the other, in auto-increment and in boundary mode; the
// same through the Tavrin program with an operator's script; the EEP file
// through a SIGKILL at any moment, a read-only folder and a full one.
#include <linux/capability.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <random>
#include <thread>

#include "console/writer/writer_resources.h"
#include "writer_test_support.h"

using namespace writer;
using namespace writer_test;

namespace {

const std::string kLoad = "click \"&Load eep file\"\n";
const std::string kWriteOk = "answer OK\nclick \"&Write to EEPROM\"\n";

std::string replug(int from, int to) {
    return "unplug d" + std::to_string(from) + "\nplug d" + std::to_string(to) + "\nadvance 2000\n";
}

std::string serial6(int v) {
    char b[16];
    std::snprintf(b, sizeof b, "%06d", v);
    return b;
}

// Root may write anywhere; without these capabilities the folder's
// permissions hold for it too.
bool dropFileCapabilities() {
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[2]{};
    if (syscall(SYS_capget, &header, data) != 0) return false;
    for (int cap : {CAP_DAC_OVERRIDE, CAP_DAC_READ_SEARCH, CAP_FOWNER}) {
        data[cap / 32].effective &= ~(1u << (cap % 32));
        data[cap / 32].permitted &= ~(1u << (cap % 32));
    }
    return syscall(SYS_capset, &header, data) == 0;
}

class ProductionTest : public WriterTest {
protected:
    void devices(int n, const std::string& profile) {
        for (int i = 0; i < n; ++i) {
            createDevice("d" + std::to_string(i), profile);
            if (i > 0) unplug("d" + std::to_string(i));
        }
    }
    std::string serialOn(int i) { return eepromSerial(eeprom("d" + std::to_string(i))); }

    // Starts the Tavrin program on this test's bus with the script; its
    // transcript goes to `out` ("/dev/null" for none).
    pid_t startTavrin(const std::string& script, const std::string& out) {
        std::ofstream(path("script.txt")) << script;
        std::fflush(stdout);
        const pid_t pid = fork();
        if (pid == 0) {
            if (!std::freopen(out.c_str(), "w", stdout) || !std::freopen("/dev/null", "w", stderr)) _exit(99);
            setenv("VELK_SIM_DIR", busDir().c_str(), 1);
            setenv("XDG_RUNTIME_DIR", work().c_str(), 1);
            unsetenv("DISPLAY");
            unsetenv("WAYLAND_DISPLAY");
            execl(TAVRIN_EXE, "Tavrin", "--script", path("script.txt").c_str(), static_cast<char*>(nullptr));
            _exit(98);
        }
        return pid;
    }
    static int exitCodeOf(pid_t pid) {
        int status = 0;
        waitpid(pid, &status, 0);
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
};

}  // namespace

TEST_F(ProductionTest, TenReadersInAutoIncrementGetTenConsecutiveSerials) {
    devices(10, "reader");
    write("line.eep", readerEep("000123"));
    std::string script = "file line.eep\n" + kLoad;
    for (int i = 0; i < 10; ++i) {
        if (i > 0) script += replug(i - 1, i);
        script += kWriteOk + "expect 1901 text Programming and Verify EEPROM OK.........\n";
    }
    auto r = run(script + "click \"Exit\"\n");
    ASSERT_EQ(r.exitCode, 0) << r.transcript;
    for (int i = 0; i < 10; ++i) EXPECT_EQ(serialOn(i), serial6(123 + i)) << "device " << i;
    EXPECT_EQ(read("line.eep"), readerEep("000133")) << "the eleventh serial waits in the file";
}

TEST_F(ProductionTest, TenFlashDisksInBoundaryModeStopAtEnd) {
    devices(10, "flashdisk");
    write("line.eep", flashEep("000123"));
    std::string script = "click \"S/N Auto increment with boundary\"\ntext \"Start\" 0001\ntext \"End\" 0007\n"
                         "file line.eep\n" + kLoad;
    for (int i = 0; i < 10; ++i) {
        if (i > 0) script += replug(i - 1, i);
        script += kWriteOk;
    }
    auto r = run(script + "expect \"Start\" text 0007\nclick \"Exit\"\n");
    ASSERT_EQ(r.exitCode, 0) << r.transcript;
    for (int i = 0; i < 10; ++i) {
        char want[8];
        std::snprintf(want, sizeof want, "%04d", std::min(i + 1, 7));
        EXPECT_EQ(serialOn(i), want) << "device " << i;
    }
    EXPECT_EQ(read("line.eep"), flashEep("000123"));
}

// The console's button opens the writer; an operator's script names the
// controls as the dialog shows them.
TEST_F(ProductionTest, ThroughTheConsoleWithAnOperatorsScript) {
    devices(3, "reader");
    write("line.eep", readerEep("000500"));
    std::string script = "click \"F/&W && EEPROM\"\nexpect-title EEPROM/Flash Writer\nfile line.eep\n" + kLoad;
    for (int i = 0; i < 3; ++i) {
        if (i > 0) script += replug(i - 1, i);
        script += kWriteOk;
    }
    script += "click \"Exit\"\nclick \"E&xit\"\n";
    EXPECT_EQ(exitCodeOf(startTavrin(script, path("out.txt"))), 0) << read("out.txt");
    for (int i = 0; i < 3; ++i) EXPECT_EQ(serialOn(i), serial6(500 + i));
    EXPECT_EQ(read("line.eep"), readerEep("000503"));
}

// ---- the EEP file through crashes and full or read-only folders ------------------------------------

TEST_F(ProductionTest, KilledAroundTheReplaceTheFileHoldsTheOldOrTheNewSerial) {
    devices(1, "flashdisk");
    for (bool afterRename : {false, true}) {
        SCOPED_TRACE(afterRename ? "killed after the rename" : "killed before the rename");
        write("line.eep", flashEep("000123"));
        auto r = run("file line.eep\n" + kLoad + kWriteOk + "click \"Exit\"\n", [&](eep::SessionOptions& o) {
            o.rename = [afterRename](const char* from, const char* to) {
                if (afterRename) ::rename(from, to);
                ::raise(SIGKILL);
                return -1;
            };
        });
        EXPECT_EQ(r.exitCode, -1) << r.transcript;
        EXPECT_EQ(read("line.eep"), flashEep(afterRename ? "000124" : "000123"));
    }
}

// The process dies half way through the device's store write: the file is
// untouched and the EEPROM holds a whole image, the old or the new.
TEST_F(ProductionTest, KilledInsideTheEepromWriteLeavesFileAndEepromWhole) {
    devices(1, "flashdisk");
    write("line.eep", flashEep("000123"));
    fault("d0", "crash-mid-write");
    auto r = run("file line.eep\n" + kLoad + kWriteOk + "click \"Exit\"\n");
    EXPECT_EQ(r.exitCode, -1) << r.transcript;
    EXPECT_EQ(read("line.eep"), flashEep("000123"));
    device::List list = device::List::devices(0, 0, 1);
    ASSERT_TRUE(list);
    ASSERT_EQ(VelkReadEepData(list.get(), 0), 1);
    EXPECT_EQ(device::DriveInfo::query(list.get()).eepValid(), 1u);
}

// The Tavrin program killed with SIGKILL after a random time, while it
// programs one run after the other: the EEP file is always whole, with a
// serial from the run.
TEST_F(ProductionTest, KilledAtAnyMomentTheFileIsNeverMissingOrHalfWritten) {
    devices(1, "flashdisk");
    const unsigned seed = std::random_device{}();
    std::printf("seed %u\n", seed);
    std::fflush(stdout);
    std::mt19937 random(seed);
    std::string script = "click \"F/&W && EEPROM\"\nfile line.eep\n" + kLoad;
    for (int i = 0; i < 200; ++i) script += kWriteOk;
    write("line.eep", flashEep("000123"));
    int last = 123;
    for (int round = 0; round < 12; ++round) {
        const pid_t pid = startTavrin(script, "/dev/null");
        std::this_thread::sleep_for(std::chrono::microseconds(random() % 150000));
        kill(pid, SIGKILL);
        exitCodeOf(pid);
        const std::string content = read("line.eep");
        const std::string serial = fileSerial(content);
        ASSERT_EQ(serial.size(), 6u) << "seed " << seed << " round " << round << ":\n" << content;
        const int value = std::atoi(serial.c_str());
        EXPECT_EQ(content, flashEep(serial)) << "seed " << seed << " round " << round;
        EXPECT_GE(value, last) << "seed " << seed;
        last = value;
    }
    std::printf("serial in the file after the kills: %d\n", last);
    // After all that, a run to the end takes the file 20 serials further.
    std::string twenty = "click \"F/&W && EEPROM\"\nfile line.eep\n" + kLoad;
    for (int i = 0; i < 20; ++i) twenty += kWriteOk;
    ASSERT_EQ(exitCodeOf(startTavrin(twenty + "click \"Exit\"\nclick \"E&xit\"\n", path("out.txt"))), 0)
        << read("out.txt");
    EXPECT_EQ(read("line.eep"), flashEep(serial6(last + 20)));
}

TEST_F(ProductionTest, AReadOnlyFolderIsReportedAndKeepsTheFile) {
    devices(1, "flashdisk");
    std::filesystem::create_directory(path("ro"));
    write("ro/line.eep", flashEep("000123"));
    ASSERT_EQ(chmod(path("ro").c_str(), 0555), 0);
    auto r = run("file ro/line.eep\n" + kLoad + "answer OK\n" + kWriteOk +
                     "file ro/copy.eep\nanswer OK\nclick \"Save to eep file\"\nclick \"Exit\"\n",
                 {}, [] {
                     if (!dropFileCapabilities()) std::_Exit(90);
                 });
    chmod(path("ro").c_str(), 0755);
    ASSERT_EQ(r.exitCode, 0) << r.transcript;
    EXPECT_TRUE(has(r.transcript, "\"Error to write the next serial number into the eep file\" -> OK")) << r.transcript;
    EXPECT_TRUE(has(r.transcript, "box \"Error\" error OK \"Error to open new file\" -> OK")) << r.transcript;
    EXPECT_EQ(read("ro/line.eep"), flashEep("000123"));
    EXPECT_FALSE(std::filesystem::exists(path("ro/copy.eep")));
    EXPECT_EQ(serialOn(0), "000123") << "the device itself is programmed";
}

TEST_F(ProductionTest, AFullFolderIsReportedAndKeepsTheFile) {
    devices(1, "flashdisk");
    write("line.eep", flashEep("000123"));
    // No file may grow beyond 64 bytes: the new content cannot be written.
    auto r = run("file line.eep\n" + kLoad + "answer OK\n" + kWriteOk +
                     "file copy.eep\nanswer OK\nclick \"Save to eep file\"\n"
                     "file out.hex\nclick \"Save to hex\"\nexpect 1901 text Error to open file!!\nclick \"Exit\"\n",
                 {}, [] {
                     signal(SIGXFSZ, SIG_IGN);
                     rlimit limit{64, 64};
                     if (setrlimit(RLIMIT_FSIZE, &limit) != 0) std::_Exit(91);
                 });
    ASSERT_EQ(r.exitCode, 0) << r.transcript;
    EXPECT_TRUE(has(r.transcript, "\"Error to write the next serial number into the eep file\" -> OK")) << r.transcript;
    EXPECT_TRUE(has(r.transcript, "\"Error to open new file\" -> OK")) << r.transcript;
    EXPECT_EQ(read("line.eep"), flashEep("000123"));
    EXPECT_FALSE(std::filesystem::exists(path("copy.eep")));
    EXPECT_FALSE(std::filesystem::exists(path("out.hex")));
    for (const auto& e : std::filesystem::directory_iterator(work()))
        EXPECT_EQ(e.path().filename().string().find(".tmp"), std::string::npos) << e.path() << " left behind";
}
