// Damaged device folders and damaged lock bytes: such a device is listed as
// damaged, every call on it fails with 0 or one line, velk-sim remove deletes
// it, and no call hangs or aborts. Checked through velk-sim and the C ABI.
#include "sim.h"  // the state record's layout, to damage it as a disk would
#include "sim_cli.h"
#include "sim_fixture.h"

#include <algorithm>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <functional>
#include <random>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace velktest;
namespace fs = std::filesystem;
using velk::sim::State;

namespace {

class Damage : public SimTest {
protected:
    CliResult run(const std::string& args) { return runCli(dir_, args); }
    std::string dev(const std::string& name, const std::string& file = "") const {
        return dir_ + "/devices/" + name + (file.empty() ? "" : "/" + file);
    }
    static void writeAt(const std::string& file, size_t off, const void* data, size_t n) {
        int fd = ::open(file.c_str(), O_WRONLY);
        ASSERT_GE(fd, 0) << file;
        ASSERT_EQ(pwrite(fd, data, n, off_t(off)), ssize_t(n));
        ::close(fd);
    }
    static void writeFile(const std::string& file, const std::string& text) {
        fs::remove(file);
        std::ofstream(file, std::ios::binary) << text;
    }
    // A thread id that no thread has now: a child's, after it ended.
    static pid_t goneTid() {
        pid_t kid = fork();
        if (kid == 0) _exit(0);
        waitpid(kid, nullptr, 0);
        return kid;
    }
    void setLockWord(const std::string& name, uint32_t word, int32_t owner) {
        const size_t at = offsetof(State, lock);
        writeAt(dev(name, "state"), at + offsetof(pthread_mutex_t, __data.__lock), &word, 4);
        writeAt(dev(name, "state"), at + offsetof(pthread_mutex_t, __data.__owner), &owner, 4);
    }
};

constexpr uint32_t kOwnerDied = 0x40000000;

struct Kind {
    const char* what;
    std::function<void(Damage&, const std::string& devDir)> damage;
};

}  // namespace

TEST_F(Damage, DamagedFoldersAreListedFailEveryCallAndAreRemoved) {
    std::mt19937 rng(7);
    const Kind kinds[] = {
        {"nand.bin truncated", [](Damage&, const std::string& d) { fs::resize_file(d + "/nand.bin", 1000); }},
        {"nand.bin missing", [](Damage&, const std::string& d) { fs::remove(d + "/nand.bin"); }},
        {"nand.map missing", [](Damage&, const std::string& d) { fs::remove(d + "/nand.map"); }},
        {"rom.bin missing", [](Damage&, const std::string& d) { fs::remove(d + "/rom.bin"); }},
        {"rom.bin grown", [](Damage&, const std::string& d) { fs::resize_file(d + "/rom.bin", 0x10001); }},
        {"lun0.img missing", [](Damage&, const std::string& d) { fs::remove(d + "/lun0.img"); }},
        {"lun0.img truncated", [](Damage&, const std::string& d) { fs::resize_file(d + "/lun0.img", 512); }},
        {"state missing", [](Damage&, const std::string& d) { fs::remove(d + "/state"); }},
        {"state truncated", [](Damage&, const std::string& d) { fs::resize_file(d + "/state", 100); }},
        {"state of another kind",
         [](Damage&, const std::string& d) {
             const uint32_t magic = 0x12345678;
             writeAt(d + "/state", offsetof(State, magic), &magic, 4);
         }},
        {"lock bytes all FFh",
         [](Damage&, const std::string& d) {
             std::vector<uint8_t> ff(sizeof(pthread_mutex_t), 0xFF);
             writeAt(d + "/state", offsetof(State, lock), ff.data(), ff.size());
         }},
        {"lock bytes random",
         [&rng](Damage&, const std::string& d) {
             std::vector<uint8_t> junk(sizeof(pthread_mutex_t));
             for (auto& b : junk) b = uint8_t(rng());
             junk[offsetof(pthread_mutex_t, __data.__kind)] ^= 0x5A;  // never the valid kind
             writeAt(d + "/state", offsetof(State, lock), junk.data(), junk.size());
         }},
        {"lock not recoverable",
         [](Damage&, const std::string& d) {
             const int32_t owner = 0x7FFFFFFE;
             writeAt(d + "/state", offsetof(State, lock) + offsetof(pthread_mutex_t, __data.__owner), &owner, 4);
         }},
        {"config missing", [](Damage&, const std::string& d) { fs::remove(d + "/config"); }},
        {"config with a bad value",
         [](Damage&, const std::string& d) { std::ofstream(d + "/config", std::ios::app) << "chips=99\n"; }},
        {"config of an unknown profile", [](Damage&, const std::string& d) { writeFile(d + "/config", "profile=nosuch\n"); }},
        {"config in binary", [](Damage&, const std::string& d) { writeFile(d + "/config", std::string("\x01\x02\0\xff", 4)); }},
        {"config with a value split over two lines",
         [](Damage&, const std::string& d) { writeFile(d + "/config", "profile=flashdisk\ndescription=a\nb\n"); }},
        {"folder without stores",
         [](Damage&, const std::string& d) {
             fs::remove_all(d);
             fs::create_directory(d);
         }},
    };
    ASSERT_EQ(run("create ok --profile reader --set lun0.size=1M").code, 0);
    for (const auto& kind : kinds) {
        SCOPED_TRACE(kind.what);
        ASSERT_EQ(run("create d --profile flashdisk --set lun0.size=1M").code, 0);
        kind.damage(*this, dev("d"));

        VelkSimDeviceInfo info[4] = {};
        ASSERT_EQ(VelkSimListDevices(info, 4), 2);
        EXPECT_STREQ(info[0].name, "d");
        EXPECT_EQ(info[0].damaged, 1);
        EXPECT_EQ(info[0].attached, 0);
        EXPECT_NE(info[0].problem[0], 0);
        EXPECT_EQ(info[1].damaged, 0);
        CliResult list = run("list");
        EXPECT_EQ(list.code, 0);
        EXPECT_NE(list.out.find("\nd "), std::string::npos) << list.out;
        EXPECT_NE(list.out.find("damaged: "), std::string::npos) << list.out;

        for (const char* cmd : {"show d", "plug d", "unplug d", "media d 0 out", "wp d on", "button d", "fault d clear",
                                "fault d lba-read 0 1", "create d --profile flashdisk"}) {
            SCOPED_TRACE(cmd);
            CliResult r = run(cmd);
            EXPECT_TRUE(r.oneLineError()) << r.code << " " << r.err;
        }
        EXPECT_EQ(VelkSimPlug("d"), 0);
        EXPECT_EQ(std::string(VelkSimLastError()).find('\n'), std::string::npos);
        EXPECT_EQ(VelkCreateDeviceList(0x3A7C, 0x0721), nullptr) << "the library does not list it";
        Handle any(VelkCreateDeviceList(0, 0, 1));
        ASSERT_NE(any.h, nullptr);
        DRIVE_INFO_COMMON* di = nullptr;
        uint8_t count = 0;
        ASSERT_EQ(VelkGetDriveInfo(any, &di, &count), 1);
        EXPECT_EQ(di[0].DeviceClass, 0x10) << "the healthy reader beside it";

        CliResult rm = run("remove d");
        ASSERT_EQ(rm.code, 0) << rm.err;
        EXPECT_FALSE(fs::exists(dev("d")));
        EXPECT_EQ(VelkSimListDevices(info, 4), 1);
        ASSERT_EQ(run("create d --profile flashdisk --set lun0.size=1M").code, 0) << "the name is free again";
        ASSERT_EQ(run("remove d").code, 0);
    }
}

// Damaged lock bytes hung every locker for ever: a lock word naming a thread
// that is gone (and that the kernel never handed on) is set up afresh.
TEST_F(Damage, LockHeldByAThreadThatIsGoneIsSetUpAfresh) {
    create("fd", "flashdisk", {"lun0.size=1M"});
    const pid_t gone = goneTid();
    for (uint32_t waiters : {0u, 0x80000000u}) {
        SCOPED_TRACE(waiters);
        setLockWord("fd", uint32_t(gone) | waiters, gone);
        Handle h(VelkCreateDeviceList(0, 0));
        ASSERT_NE(h.h, nullptr);
        std::vector<uint8_t> sec(512, 0xA5), back(512);
        ASSERT_EQ(VelkWriteLBA(h, 0, 3, 1, sec.data()), 1);
        ASSERT_EQ(VelkReadLBA(h, 0, 3, 1, back.data()), 1);
        EXPECT_EQ(back, sec);
    }
    // And another process takes it as usual afterwards.
    pid_t kid = fork();
    if (kid == 0) {
        VelkHandle h = VelkCreateDeviceList(0, 0);
        std::vector<uint8_t> sec(512, 0x3C);
        _exit(h && VelkWriteLBA(h, 0, 4, 1, sec.data()) == 1 ? 0 : 1);
    }
    int st = 0;
    ASSERT_EQ(waitpid(kid, &st, 0), kid);
    EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0);
}

// Lock bytes damaged while a handle is open: its calls fail at once instead
// of hanging or aborting inside the C library.
TEST_F(Damage, LockBytesDamagedUnderAnOpenHandleFailItsCalls) {
    create("fd", "flashdisk", {"lun0.size=1M"});
    Handle h(VelkCreateDeviceList(0, 0));
    std::vector<uint8_t> sec(512, 0xA5), back(512);
    ASSERT_EQ(VelkWriteLBA(h, 0, 0, 1, sec.data()), 1);
    std::vector<uint8_t> ff(sizeof(pthread_mutex_t), 0xFF);
    writeAt(dev("fd", "state"), offsetof(State, lock), ff.data(), ff.size());
    uint16_t w = 0;
    EXPECT_EQ(VelkWriteLBA(h, 0, 1, 1, sec.data()), 0);
    EXPECT_EQ(VelkReadLBA(h, 0, 0, 1, back.data()), 0);
    EXPECT_EQ(VelkReadEEPROM(h, 0, 0, 1, &w), 0);
    EXPECT_EQ(VelkEraseBlock(h, 0, 0, 1), 0);
    EXPECT_EQ(VelkSafeRemove(h, 0), 0);
    EXPECT_EQ(VelkSimRemove("fd"), 1);
    EXPECT_EQ(VelkOpenDevice(h, 0), 0) << "removed";
}

// A lock word that names a live thread which is not the owner glibc recorded
// (garbage that happens to be a live process's id) is not waited on for ever.
TEST_F(Damage, LockWordOfAnotherLiveThreadIsSetUpAfresh) {
    create("fd", "flashdisk", {"lun0.size=1M"});
    pid_t sleeper = fork();
    if (sleeper == 0) {
        pause();
        _exit(0);
    }
    setLockWord("fd", uint32_t(sleeper), 0);
    Handle h(VelkCreateDeviceList(0, 0));
    uint16_t w = 0x1234, back = 0;
    EXPECT_EQ(VelkWriteEEPROM(h, 0, 9, 1, &w), 1);
    EXPECT_EQ(VelkReadEEPROM(h, 0, 9, 1, &back), 1);
    EXPECT_EQ(back, 0x1234);
    kill(sleeper, SIGKILL);
    waitpid(sleeper, nullptr, 0);
}

// A holder that died with a journal entry that is not a write (garbage in the
// state record) costs nothing: the entry is dropped, no store changes.
TEST_F(Damage, JournalGarbageLeftByADeadHolderIsDropped) {
    create("fd", "flashdisk", {"lun0.size=64K", "bad=none"});
    const size_t j = offsetof(State, journal);
    struct Entry {
        uint32_t valid, kind, store, len;
        uint64_t offset;
    };
    const Entry entries[] = {
        {7, 0, uint32_t(velk::sim::StoreId::Lun0), 512, 0},                  // not a valid mark
        {1, 9, uint32_t(velk::sim::StoreId::Lun0), 512, 0},                  // no such kind
        {1, 0, 99, 512, 0},                                                  // no such store
        {1, 0, uint32_t(velk::sim::StoreId::Lun0), 512, 65536 - 511},        // past the end
        {1, 0, uint32_t(velk::sim::StoreId::Lun0), 100000, 0},               // longer than a slot
        {1, 1, 0, 0, uint64_t(5) << 32 | 3},                                 // erase on a chip it lacks
        {1, 1, 0, 0, uint64_t(0) << 32 | 4096},                              // erase past the last block
    };
    Handle h(VelkCreateDeviceList(0, 0));
    std::vector<uint8_t> sec(512, 0xA5), page(512, 0x0F);
    ASSERT_EQ(VelkWriteLBA(h, 0, 0, 1, sec.data()), 1);
    ASSERT_EQ(VelkWriteLBA(h, 0, 127, 1, sec.data()), 1);
    ASSERT_EQ(VelkWritePhysical(h, 0, 0, 3, 0, page.data()), 1);
    const pid_t gone = goneTid();
    for (const Entry& e : entries) {
        SCOPED_TRACE(std::to_string(e.valid) + " " + std::to_string(e.kind) + " " + std::to_string(e.store));
        std::vector<uint8_t> junk(velk::sim::kJournalBytes, 0x00);
        writeAt(dev("fd", "state"), j + offsetof(velk::sim::Journal, data), junk.data(), junk.size());
        writeAt(dev("fd", "state"), j + offsetof(velk::sim::Journal, kind), &e.kind, 4);
        writeAt(dev("fd", "state"), j + offsetof(velk::sim::Journal, store), &e.store, 4);
        writeAt(dev("fd", "state"), j + offsetof(velk::sim::Journal, len), &e.len, 4);
        writeAt(dev("fd", "state"), j + offsetof(velk::sim::Journal, offset), &e.offset, 8);
        writeAt(dev("fd", "state"), j + offsetof(velk::sim::Journal, valid), &e.valid, 4);
        setLockWord("fd", uint32_t(gone) | kOwnerDied, gone);
        std::vector<uint8_t> back(512);
        ASSERT_EQ(VelkReadLBA(h, 0, 0, 1, back.data()), 1);
        EXPECT_EQ(back, sec);
        ASSERT_EQ(VelkReadLBA(h, 0, 127, 1, back.data()), 1);
        EXPECT_EQ(back, sec);
        ASSERT_EQ(VelkReadPhysical(h, 0, 0, 3, 0, back.data()), 1);
        EXPECT_EQ(back, page);
    }
}

// A store that shrinks under an open handle faulted (SIGBUS) on the next
// access and ended the process: now that call and every later one on the
// handle fail, and the device reads as damaged.
TEST_F(Damage, StoreShrunkUnderAnOpenHandleFailsCallsInsteadOfSigbus) {
    create("fd", "flashdisk", {"lun0.size=1M"});
    Handle h(VelkCreateDeviceList(0, 0));
    std::vector<uint8_t> sec(512, 0xA5), back(512);
    for (uint32_t lba = 0; lba < 16; ++lba) ASSERT_EQ(VelkWriteLBA(h, 0, lba, 1, sec.data()), 1);
    std::vector<uint8_t> rom(256);
    ASSERT_EQ(VelkReadExternalROM(h, 0, 0, 256, rom.data()), 1);
    fs::resize_file(dev("fd", "lun0.img"), 0);
    EXPECT_EQ(VelkReadLBA(h, 0, 1, 1, back.data()), 0);
    EXPECT_EQ(VelkWriteLBA(h, 0, 2, 1, sec.data()), 0);
    EXPECT_EQ(VelkReadExternalROM(h, 0, 0, 256, rom.data()), 0) << "the handle is done with";
    VelkSimDeviceInfo info[2] = {};
    ASSERT_EQ(VelkSimListDevices(info, 2), 1);
    EXPECT_EQ(info[0].damaged, 1);
    EXPECT_NE(std::string(info[0].problem).find("lun0.img"), std::string::npos) << info[0].problem;
    ASSERT_EQ(VelkSimRemove("fd"), 1);

    // The same for the ROM, on a fresh device.
    create("fd", "flashdisk", {"lun0.size=1M"});
    Handle h2(VelkCreateDeviceList(0, 0));
    std::vector<uint8_t> image(0x10000, 0x42);
    ASSERT_EQ(VelkWriteExternalROM(h2, 0, 0, 0x10000, image.data()), 1);
    fs::resize_file(dev("fd", "rom.bin"), 4096);
    EXPECT_EQ(VelkWriteExternalROM(h2, 0, 0x8000, 16, image.data()), 0);
    EXPECT_EQ(VelkReadExternalROM(h2, 0, 0x8000, 16, rom.data()), 0);
    EXPECT_EQ(VelkSimRemove("fd"), 1);
}

// A create or a removal that died left its scratch folder for good; the next
// one sweeps such folders away.
TEST_F(Damage, ScratchFoldersOfACreateThatDiedAreSweptAway) {
    for (const char* n : {".new-x-99999", ".gone-y-99998"}) {
        fs::create_directories(dev(n));
        std::ofstream(dev(n, "config")) << "profile=flashdisk\n";
    }
    VelkSimDeviceInfo info[2];
    EXPECT_EQ(VelkSimListDevices(info, 2), 0) << "scratch folders are not devices";
    create("z", "reader");
    EXPECT_FALSE(fs::exists(dev(".new-x-99999")));
    EXPECT_FALSE(fs::exists(dev(".gone-y-99998")));
    EXPECT_EQ(VelkSimListDevices(info, 2), 1);
}
