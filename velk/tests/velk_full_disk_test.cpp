// A full file system under the bus: stores are sparse, so a write may need
// space that is not there. Such a write fails (returns 0) and changes
// nothing, the device stays usable and removable, a create that cannot be
// backed leaves nothing behind, and a journal entry that cannot be finished is
// dropped. Each test runs in a child process with a private mount namespace
// whose bus lies on a small tmpfs; it is skipped where that is not permitted.
#include "sim_cli.h"
#include "sim_fixture.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <functional>
#include <sched.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace velktest;
namespace fs = std::filesystem;

namespace {

constexpr int kNoNamespace = 77;

class FullDisk : public SimTest {
protected:
    // Runs body in a child whose bus (bus()) lies on a tmpfs of `size`; the
    // child's failures show on its output and in its exit code.
    void onSmallFs(const char* size, const std::function<void()>& body) {
        small_ = dir_ + "/small";
        fs::create_directories(small_);
        std::fflush(nullptr);
        pid_t kid = fork();
        ASSERT_GE(kid, 0);
        if (kid == 0) {
            const std::string opts = std::string("size=") + size;
            if (unshare(CLONE_NEWNS) != 0 || mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
                mount("tmpfs", small_.c_str(), "tmpfs", 0, opts.c_str()) != 0)
                _exit(kNoNamespace);
            if (VelkSimSetBusDir(bus().c_str()) != 1) {
                std::fprintf(stderr, "bus: %s\n", VelkSimLastError());
                _exit(1);
            }
            body();
            std::fflush(nullptr);
            _exit(::testing::Test::HasFailure() ? 1 : 0);
        }
        int st = 0;
        ASSERT_EQ(waitpid(kid, &st, 0), kid);
        if (WIFEXITED(st) && WEXITSTATUS(st) == kNoNamespace)
            GTEST_SKIP() << "no private mount namespace with a tmpfs here (needs root: unshare -m, mount -t tmpfs)";
        ASSERT_TRUE(WIFEXITED(st)) << "the child died of signal " << (WIFSIGNALED(st) ? WTERMSIG(st) : 0);
        EXPECT_EQ(WEXITSTATUS(st), 0) << "the child's checks (above) failed";
    }
    std::string bus() const { return small_ + "/bus"; }
    // velk-sim on the small bus (its output kept on the test's own disk).
    CliResult cli(const std::string& args) const { return runCli(bus(), args, dir_); }

    // Fills the file system up, leaving `spare` bytes (about) free.
    void fill(size_t spare = 0) {
        const std::string file = small_ + "/filler";
        int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
        ASSERT_GE(fd, 0);
        std::vector<char> block(4096, 'f');
        while (::write(fd, block.data(), block.size()) == ssize_t(block.size())) {
        }
        ::close(fd);
        if (spare) {
            const auto size = fs::file_size(file);
            fs::resize_file(file, size > spare ? size - spare : 0);
        }
    }
    void unfill() { fs::remove(small_ + "/filler"); }

    std::vector<std::string> folders() const {
        std::vector<std::string> names;
        std::error_code ec;
        for (auto& e : fs::directory_iterator(bus() + "/devices", ec)) names.push_back(e.path().filename());
        std::sort(names.begin(), names.end());
        return names;
    }

    std::string small_;
};

void sectorPattern(std::vector<uint8_t>& sec, uint32_t lba) {
    for (size_t i = 0; i < sec.size(); ++i) sec[i] = uint8_t(lba * 7 + i % 251 + 1);
}

}  // namespace

// A LUN or NAND write on a full disk died with SIGBUS, holding the device lock
// with its journal entry marked valid.
TEST_F(FullDisk, WriteThatCannotBeBackedFailsAndTheDeviceStaysUsable) {
    onSmallFs("300k", [&] {
        create("fd", "flashdisk", {"lun0.size=4M", "bad=none"});
        Handle h(VelkCreateDeviceList(0, 0));
        ASSERT_NE(h.h, nullptr);
        std::vector<uint8_t> page(512, 0x0F), back(512), sec(512);
        ASSERT_EQ(VelkWritePhysical(h, 0, 0, 1, 0, page.data()), 1) << "there is room at first";

        uint32_t written = 0;
        for (; written < 8192; ++written) {
            sectorPattern(sec, written);
            if (VelkWriteLBA(h, 0, written, 1, sec.data()) != 1) break;
        }
        ASSERT_GT(written, 0u);
        ASSERT_LT(written, 8192u) << "the disk filled up";
        std::printf("%u sectors fitted\n", written);
        EXPECT_EQ(VelkWriteLBA(h, 0, 8000, 1, sec.data()), 0) << "still full";
        EXPECT_EQ(VelkWritePhysical(h, 0, 0, 900, 0, page.data()), 0) << "a fresh flash block needs room too";
        EXPECT_EQ(VelkWriteRedundant(h, 0, 1, 900, 0, page.data()), 0);
        EXPECT_EQ(VelkRetirex(h, 0, 1, 901), 0);

        // What was written is whole; what failed changed nothing.
        for (uint32_t lba = 0; lba < written; ++lba) {
            sectorPattern(sec, lba);
            ASSERT_EQ(VelkReadLBA(h, 0, lba, 1, back.data()), 1) << lba;
            ASSERT_EQ(back, sec) << "sector " << lba;
        }
        const std::vector<uint8_t> zeros(512, 0), erased(512, 0xFF);
        for (uint32_t lba : {written, 8000u, 8191u}) {
            ASSERT_EQ(VelkReadLBA(h, 0, lba, 1, back.data()), 1) << "reading unwritten space takes none";
            EXPECT_EQ(back, zeros) << "sector " << lba;
        }
        ASSERT_EQ(VelkReadPhysical(h, 0, 0, 900, 0, back.data()), 1);
        EXPECT_EQ(back, erased);
        EXPECT_EQ(VelkIsGoodBlock(h, 0, 1, 901), 1);
        ASSERT_EQ(VelkReadPhysical(h, 0, 0, 1, 0, back.data()), 1);
        EXPECT_EQ(back, page);

        // Stores written whole at creation keep working.
        uint16_t w = 0xBEEF, wb = 0;
        EXPECT_EQ(VelkWriteEEPROM(h, 0, 7, 1, &w), 1);
        EXPECT_EQ(VelkReadEEPROM(h, 0, 7, 1, &wb), 1);
        EXPECT_EQ(wb, 0xBEEF);
        EXPECT_EQ(VelkSetLastFormatProgress(h, 0, 2, 0), 1);
        std::vector<uint8_t> rom(256, 0x42), romBack(256);
        EXPECT_EQ(VelkWriteExternalROM(h, 0, 0x1000, 256, rom.data()), 1);
        EXPECT_EQ(VelkReadExternalROM(h, 0, 0x1000, 256, romBack.data()), 1);
        EXPECT_EQ(romBack, rom);
        // An erase gives space back.
        EXPECT_EQ(VelkEraseBlock(h, 0, 0, 1), 1);
        ASSERT_EQ(VelkReadPhysical(h, 0, 0, 1, 0, back.data()), 1);
        EXPECT_EQ(back, erased);

        // Another process sees the same, and the command still works.
        CliResult list = cli("list");
        EXPECT_EQ(list.code, 0);
        EXPECT_NE(list.out.find("\nfd "), std::string::npos) << list.out << list.err;
        EXPECT_EQ(list.out.find("damaged"), std::string::npos) << list.out;
        pid_t kid = fork();
        if (kid == 0) {
            VelkHandle k = VelkCreateDeviceList(0, 0);
            std::vector<uint8_t> s(512), b(512);
            sectorPattern(s, 0);
            _exit(k && VelkReadLBA(k, 0, 0, 1, b.data()) == 1 && b == s ? 0 : 1);
        }
        int st = 0;
        waitpid(kid, &st, 0);
        EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0);

        // Removable; the space comes back.
        CliResult rm = cli("remove fd");
        EXPECT_EQ(rm.code, 0) << rm.err;
        EXPECT_EQ(VelkReadLBA(h, 0, 0, 1, back.data()), 0) << "a handle on a removed device fails";
        VelkDestroyDeviceList(h.h);  // its stores go with the last handle
        h.h = nullptr;
        create("fd", "flashdisk", {"lun0.size=4M", "bad=none"});
        Handle h2(VelkCreateDeviceList(0, 0));
        sectorPattern(sec, 1);
        EXPECT_EQ(VelkWriteLBA(h2, 0, 1, 1, sec.data()), 1);
    });
}

// A create that could not be backed left a half-made folder (or died).
TEST_F(FullDisk, CreateThatCannotBeBackedFailsAndLeavesNothing) {
    onSmallFs("300k", [&] {
        ASSERT_TRUE(folders().empty());
        for (size_t spare : {size_t(0), size_t(8192), size_t(40960), size_t(69632)}) {
            SCOPED_TRACE(spare);
            fill(spare);
            EXPECT_EQ(VelkSimCreate("fd", "flashdisk", nullptr), 0);
            const std::string e = VelkSimLastError();
            EXPECT_NE(e.find("No space left"), std::string::npos) << e;
            EXPECT_EQ(e.find('\n'), std::string::npos) << e;
            EXPECT_TRUE(folders().empty()) << "no device folder, no scratch folder";
            CliResult r = cli("create fd --profile cdrom");
            EXPECT_TRUE(r.oneLineError()) << r.code << " " << r.err;
            EXPECT_TRUE(folders().empty());
            unfill();
        }
        CliResult list = cli("list");
        EXPECT_EQ(list.out.find("\nfd "), std::string::npos) << list.out;
        create("fd", "flashdisk");
        EXPECT_EQ(folders(), std::vector<std::string>{"fd"});
    });
}

// The bus itself on a full disk: its state file is written, not truncated
// into place, so setting the bus up fails instead of faulting later.
TEST_F(FullDisk, BusOnAFullDiskFailsToSetUp) {
    onSmallFs("64k", [&] {
        fill();
        EXPECT_EQ(VelkSimSetBusDir((small_ + "/other").c_str()), 0);
        EXPECT_NE(std::string(VelkSimLastError()).find("bus"), std::string::npos);
    });
}

// A writer killed mid-write leaves its journal entry for the next user to
// finish; when that write's range cannot be backed any more the replay died
// with SIGBUS in every later user. Now the entry is dropped.
TEST_F(FullDisk, JournalEntryThatCannotBeBackedIsDroppedOnReplay) {
    onSmallFs("300k", [&] {
        create("fd", "flashdisk", {"lun0.size=1M", "bad=none"});
        std::vector<uint8_t> sec(512), back(512);
        {
            Handle h(VelkCreateDeviceList(0, 0));
            sectorPattern(sec, 0);
            ASSERT_EQ(VelkWriteLBA(h, 0, 0, 1, sec.data()), 1);
        }
        ASSERT_EQ(VelkSimFault("fd", "crash-mid-write"), 1);
        pid_t kid = fork();
        if (kid == 0) {
            VelkHandle h = VelkCreateDeviceList(0, 0);
            std::vector<uint8_t> s(512, 0xA5);
            if (h) VelkWriteLBA(h, 0, 1000, 1, s.data());
            _exit(0);
        }
        int st = 0;
        ASSERT_EQ(waitpid(kid, &st, 0), kid);
        ASSERT_TRUE(WIFSIGNALED(st) && WTERMSIG(st) == SIGKILL) << "died in the write, lock held, entry valid";
        // The range the entry writes to loses its space, and the disk fills.
        {
            int fd = ::open((bus() + "/devices/fd/lun0.img").c_str(), O_RDWR);
            ASSERT_GE(fd, 0);
            ASSERT_EQ(fallocate(fd, FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE, 1000 * 512 / 4096 * 4096, 4096), 0);
            ::close(fd);
        }
        fill();
        for (int user = 0; user < 3; ++user) {
            SCOPED_TRACE(user);
            pid_t u = fork();
            if (u == 0) {
                VelkHandle h = VelkCreateDeviceList(0, 0);
                std::vector<uint8_t> s(512), b(512);
                sectorPattern(s, 0);
                const std::vector<uint8_t> zeros(512, 0);
                bool ok = h && VelkReadLBA(h, 0, 0, 1, b.data()) == 1 && b == s;
                ok = ok && VelkReadLBA(h, 0, 1000, 1, b.data()) == 1 && b == zeros;
                _exit(ok ? 0 : 1);
            }
            ASSERT_EQ(waitpid(u, &st, 0), u);
            ASSERT_TRUE(WIFEXITED(st)) << "user " << user << " died of signal " << WTERMSIG(st);
            EXPECT_EQ(WEXITSTATUS(st), 0) << "sector 0 whole, the dropped write not half there";
        }
        unfill();
        Handle h(VelkCreateDeviceList(0, 0));
        sectorPattern(sec, 1000);
        EXPECT_EQ(VelkWriteLBA(h, 0, 1000, 1, sec.data()), 1);
        ASSERT_EQ(VelkReadLBA(h, 0, 1000, 1, back.data()), 1);
        EXPECT_EQ(back, sec);
        EXPECT_EQ(VelkSimRemove("fd"), 1);
    });
}
