// Several processes and threads on one device; processes killed mid-write;
// arguments out of range. Checked on the resulting stores.
#include "sim_fixture.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <csignal>
#include <cstring>
#include <functional>
#include <random>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

using namespace velktest;

namespace {

constexpr uint8_t kFill = 0xA5;  // neither 00h nor FFh

// Sector contents that name their LBA and a generation, so a torn sector shows.
void sectorPattern(uint8_t* buf, size_t n, uint32_t lba, uint32_t gen) {
    for (size_t i = 0; i < n; i += 8) {
        std::memcpy(buf + i, &lba, 4);
        std::memcpy(buf + i + 4, &gen, 4);
    }
}

// True when the sector is one whole write of lba (any generation), or never written.
bool wholeSector(const uint8_t* buf, size_t n, uint32_t lba) {
    if (std::all_of(buf, buf + n, [](uint8_t v) { return v == 0; })) return true;
    uint32_t l, g0;
    std::memcpy(&l, buf, 4);
    std::memcpy(&g0, buf + 4, 4);
    if (l != lba) return false;
    for (size_t i = 0; i < n; i += 8) {
        uint32_t a, g;
        std::memcpy(&a, buf + i, 4);
        std::memcpy(&g, buf + i + 4, 4);
        if (a != lba || g != g0) return false;
    }
    return true;
}

class Reliability : public SimTest {};

}  // namespace

TEST_F(Reliability, TwoProcessesHammeringOneDeviceLoseNoWrite) {
    create("fd", "flashdisk", {"lun0.size=1M", "bad=none"});
    constexpr int kIter = 400;
    pid_t kids[2];
    for (int p = 0; p < 2; ++p) {
        kids[p] = fork();
        ASSERT_GE(kids[p], 0);
        if (kids[p] == 0) {
            int bad = 0;
            VelkHandle h = VelkCreateDeviceList(0, 0);
            if (!h) _exit(10);
            std::vector<uint8_t> sec(512), page(512);
            for (int i = 0; i < kIter; ++i) {
                // Own sectors: interleaved with the other process.
                uint32_t lba = uint32_t(2 * i + p);
                sectorPattern(sec.data(), 512, lba, 1);
                bad += VelkOpenDevice(h, 0) != 1;
                bad += VelkWriteLBA(h, 0, lba, 1, sec.data()) != 1;
                bad += VelkCloseDevice(h, 0) != 1;
                // Shared NAND page: both clear their own bits of the same bytes;
                // an unlocked read-modify-write would lose some.
                std::fill(page.begin(), page.end(), 0xFF);
                page[size_t(i / 4)] = uint8_t(~(1u << (p + 2 * (i % 4))));
                bad += VelkWritePhysical(h, 0, 1, 7, 3, page.data()) != 1;
                // Own EEPROM words.
                uint16_t w = uint16_t(0x1000 * (p + 1) + i);
                bad += VelkWriteEEPROM(h, 0, uint16_t(32 * p + i % 32), 1, &w) != 1;
            }
            VelkDestroyDeviceList(h);
            _exit(bad ? 1 : 0);
        }
    }
    for (pid_t k : kids) {
        int st = 0;
        ASSERT_EQ(waitpid(k, &st, 0), k);
        ASSERT_TRUE(WIFEXITED(st));
        EXPECT_EQ(WEXITSTATUS(st), 0) << "every call of the child succeeded";
    }
    Handle h(VelkCreateDeviceList(0, 0));
    std::vector<uint8_t> sec(512), expect(512);
    for (uint32_t lba = 0; lba < 2 * kIter; ++lba) {
        ASSERT_EQ(VelkReadLBA(h, 0, lba, 1, sec.data()), 1);
        sectorPattern(expect.data(), 512, lba, 1);
        ASSERT_EQ(sec, expect) << "lba " << lba;
    }
    std::vector<uint8_t> page(512);
    ASSERT_EQ(VelkReadPhysical(h, 0, 1, 7, 3, page.data()), 1);
    for (int b = 0; b < kIter / 4; ++b) ASSERT_EQ(page[size_t(b)], 0x00) << "byte " << b << " lost a bit clear";
    for (size_t b = kIter / 4; b < page.size(); ++b) ASSERT_EQ(page[b], 0xFF);
    std::array<uint16_t, 64> words{};
    ASSERT_EQ(VelkReadEEPROM(h, 0, 0, 64, words.data()), 1);
    for (int i = 0; i < 32; ++i) {
        int last = (kIter - 1 - i) / 32 * 32 + i;  // the last iteration that wrote word i
        EXPECT_EQ(words[size_t(i)], uint16_t(0x1000 + last));
        EXPECT_EQ(words[size_t(32 + i)], uint16_t(0x2000 + last));
    }
}

TEST_F(Reliability, SigkillMidWritesLeavesStoresConsistent) {
    create("cd", "cdrom", {"lun0.size=2M", "bad=none"});
    const uint32_t sectors = 1024;  // 2 MiB of 2048-byte sectors
    for (int round = 0; round < 5; ++round) {
        SCOPED_TRACE(round);
        pid_t kid = fork();
        ASSERT_GE(kid, 0);
        if (kid == 0) {
            VelkHandle h = VelkCreateDeviceList(0x3A7C, 0x070A);
            if (!h) _exit(10);
            std::vector<uint8_t> sec(2048), page(512, 0);
            for (uint32_t gen = 1;; ++gen) {
                for (uint32_t lba = 0; lba < sectors; ++lba) {
                    sectorPattern(sec.data(), sec.size(), lba, gen);
                    VelkWriteLBA(h, 0, lba, 1, sec.data());
                    if (lba % 64 == 0) {
                        VelkEraseBlock(h, 0, 0, 3);
                        VelkWritePhysical(h, 0, 0, 3, 0, page.data());
                    }
                }
            }
        }
        // Let it run for a while, then kill it wherever it is.
        std::this_thread::sleep_for(std::chrono::milliseconds(30 + 17 * round));
        ASSERT_EQ(kill(kid, SIGKILL), 0);
        int st = 0;
        ASSERT_EQ(waitpid(kid, &st, 0), kid);
        ASSERT_TRUE(WIFSIGNALED(st));

        // The lock is usable, and every sector holds one whole write.
        Handle h(VelkCreateDeviceList(0x3A7C, 0x070A));
        ASSERT_NE(h.h, nullptr);
        std::vector<uint8_t> sec(2048);
        for (uint32_t lba = 0; lba < sectors; ++lba) {
            ASSERT_EQ(VelkReadLBA(h, 0, lba, 1, sec.data()), 1);
            ASSERT_TRUE(wholeSector(sec.data(), sec.size(), lba)) << "torn sector " << lba;
        }
        // The NAND block is either erased or erased-and-programmed, never between.
        std::vector<uint8_t> page(512);
        ASSERT_EQ(VelkReadPhysical(h, 0, 0, 3, 0, page.data()), 1);
        bool allFF = std::all_of(page.begin(), page.end(), [](uint8_t v) { return v == 0xFF; });
        bool all00 = std::all_of(page.begin(), page.end(), [](uint8_t v) { return v == 0x00; });
        EXPECT_TRUE(allFF || all00);
        ASSERT_EQ(VelkReadPhysical(h, 0, 0, 3, 1, page.data()), 1);
        EXPECT_TRUE(std::all_of(page.begin(), page.end(), [](uint8_t v) { return v == 0xFF; }));
        // And it still takes writes.
        sectorPattern(sec.data(), sec.size(), 0, 999);
        ASSERT_EQ(VelkWriteLBA(h, 0, 0, 1, sec.data()), 1);
    }
}

// A writer that dies half way through a store write (the crash-mid-write
// fault copies half, then SIGKILLs itself while holding the device lock).
TEST_F(Reliability, WriterKilledHalfWayIsCompletedByTheNextUser) {
    create("fd", "flashdisk", {"lun0.size=1M", "bad=none"});
    auto crashIn = [&](const std::function<void(VelkHandle)>& op) {
        ASSERT_EQ(VelkSimFault("fd", "crash-mid-write"), 1);
        pid_t kid = fork();
        ASSERT_GE(kid, 0);
        if (kid == 0) {
            VelkHandle h = VelkCreateDeviceList(0, 0);
            if (h) op(h);
            _exit(0);  // not reached when the fault fires
        }
        int st = 0;
        ASSERT_EQ(waitpid(kid, &st, 0), kid);
        ASSERT_TRUE(WIFSIGNALED(st) && WTERMSIG(st) == SIGKILL) << "the child died in the write";
    };
    std::vector<uint8_t> sec(512, kFill), page(512, 0x0F), rom(300, 0x42);
    uint16_t word = 0xBEEF;
    crashIn([&](VelkHandle h) { VelkWriteLBA(h, 0, 9, 1, sec.data()); });
    crashIn([&](VelkHandle h) { VelkWritePhysical(h, 0, 1, 2, 3, page.data()); });
    crashIn([&](VelkHandle h) { VelkWriteEEPROM(h, 0, 5, 1, &word); });
    crashIn([&](VelkHandle h) { VelkWriteExternalROM(h, 0, 0x200, 300, rom.data()); });
    // The next user (here, in another process) finds every write whole.
    Handle h(VelkCreateDeviceList(0, 0));
    std::vector<uint8_t> back(512);
    ASSERT_EQ(VelkReadLBA(h, 0, 9, 1, back.data()), 1);
    EXPECT_EQ(back, sec);
    ASSERT_EQ(VelkReadPhysical(h, 0, 1, 2, 3, back.data()), 1);
    EXPECT_EQ(back, page);
    uint16_t w = 0;
    ASSERT_EQ(VelkReadEEPROM(h, 0, 5, 1, &w), 1);
    EXPECT_EQ(w, 0xBEEF);
    std::vector<uint8_t> rback(300);
    ASSERT_EQ(VelkReadExternalROM(h, 0, 0x200, 300, rback.data()), 1);
    EXPECT_EQ(rback, rom);
    char desc[4096];
    VelkSimDescribe("fd", desc, sizeof desc);
    EXPECT_NE(std::string(desc).find("faults:      none"), std::string::npos) << "the fault is one-shot";
}

// crash-at-write N: the Nth store write from now dies half way (and is
// completed by the next user); the writes before it land; one shot.
TEST_F(Reliability, CrashAtTheNthWriteKillsThereAndIsCompletedByTheNextUser) {
    create("fd", "flashdisk", {"lun0.size=1M", "bad=none"});
    ASSERT_EQ(VelkSimFault("fd", "crash-at-write 3"), 1);
    pid_t kid = fork();
    ASSERT_GE(kid, 0);
    if (kid == 0) {
        VelkHandle h = VelkCreateDeviceList(0, 0);
        std::vector<uint8_t> sec(512);
        for (uint32_t lba = 0; h && lba < 5; ++lba) {
            sectorPattern(sec.data(), sec.size(), lba, 7);
            VelkWriteLBA(h, 0, lba, 1, sec.data());
        }
        _exit(0);  // not reached when the fault fires
    }
    int st = 0;
    ASSERT_EQ(waitpid(kid, &st, 0), kid);
    ASSERT_TRUE(WIFSIGNALED(st) && WTERMSIG(st) == SIGKILL) << "the child died in its third write";
    Handle h(VelkCreateDeviceList(0, 0));
    std::vector<uint8_t> back(512), want(512), zero(512, 0);
    for (uint32_t lba = 0; lba < 5; ++lba) {
        ASSERT_EQ(VelkReadLBA(h, 0, lba, 1, back.data()), 1);
        sectorPattern(want.data(), want.size(), lba, 7);
        EXPECT_EQ(back, lba < 3 ? want : zero) << "LBA " << lba;
    }
    // Gone after firing: this process writes freely.
    ASSERT_EQ(VelkWriteLBA(h, 0, 4, 1, want.data()), 1);
}

// lba-torn LUN LBA: the next write of that sector returns 0 with only its
// first half written; the write after it is whole again.
TEST_F(Reliability, TornWriteLeavesHalfTheSectorAndFiresOnce) {
    create("fd", "flashdisk", {"lun0.size=1M", "bad=none"});
    Handle h(VelkCreateDeviceList(0, 0));
    std::vector<uint8_t> old(512, kFill), next(512, 0x3C), back(512);
    ASSERT_EQ(VelkWriteLBA(h, 0, 6, 1, old.data()), 1);
    ASSERT_EQ(VelkSimFault("fd", "lba-torn 0 6"), 1);
    EXPECT_EQ(VelkWriteLBA(h, 0, 6, 1, next.data()), 0);
    ASSERT_EQ(VelkReadLBA(h, 0, 6, 1, back.data()), 1);
    EXPECT_TRUE(std::all_of(back.begin(), back.begin() + 256, [](uint8_t v) { return v == 0x3C; }));
    EXPECT_TRUE(std::all_of(back.begin() + 256, back.end(), [](uint8_t v) { return v == kFill; }));
    EXPECT_EQ(VelkWriteLBA(h, 0, 6, 1, next.data()), 1);
    ASSERT_EQ(VelkReadLBA(h, 0, 6, 1, back.data()), 1);
    EXPECT_EQ(back, next);
}

// lba-delay=MS: every sector transfer sleeps first on the simulator clock,
// and a device that leaves the bus meanwhile fails the transfer.
TEST_F(Reliability, LbaDelaySleepsBeforeEachTransfer) {
    create("fd", "flashdisk", {"lun0.size=1M", "bad=none", "lba-delay=7"});
    Handle h(VelkCreateDeviceList(0, 0));
    std::vector<uint8_t> sec(512, kFill);
    const int64_t t0 = VelkSimNow();
    ASSERT_EQ(VelkWriteLBA(h, 0, 1, 1, sec.data()), 1);
    ASSERT_EQ(VelkReadLBA(h, 0, 1, 1, sec.data()), 1);
    EXPECT_EQ(VelkSimNow() - t0, 14);
    ASSERT_EQ(VelkSimUnplug("fd"), 1);
    EXPECT_EQ(VelkReadLBA(h, 0, 1, 1, sec.data()), 0);
}

TEST_F(Reliability, ProgressByteReadByASecondThreadDuringTransferAndFormat) {
    create("fd", "flashdisk", {"timing=realistic", "lun0.size=16M"});
    // Realistic timing sleeps on the virtual clock; let the sleeps yield so the
    // reader thread gets to see the byte move.
    VelkSimSetClock(
        &VirtualClock::nowFn,
        [](void* ctx, int64_t ms) {
            static_cast<VirtualClock*>(ctx)->now.fetch_add(ms);
            std::this_thread::yield();
        },
        &clock_);
    Handle h(VelkCreateDeviceList(0, 0));
    uint8_t progress = 0, status = 0;
    std::vector<uint8_t> image(32 * 1024, 0x3C);
    std::atomic<bool> done{false};
    std::vector<int> seen;
    std::thread follower([&] {
        int last = -1;
        while (!done.load()) {
            int v = std::atomic_ref<uint8_t>(progress).load();
            if (v != last) seen.push_back(v), last = v;
        }
        seen.push_back(std::atomic_ref<uint8_t>(progress).load());
    });
    int rc = VelkWriteFirmware(h, 0, uint32_t(image.size()), image.data(), &progress, &status);
    done = true;
    follower.join();
    EXPECT_EQ(rc, 1);
    EXPECT_EQ(std::atomic_ref<uint8_t>(status).load(), 1);
    ASSERT_FALSE(seen.empty());
    EXPECT_EQ(seen.back(), 100);
    EXPECT_TRUE(std::is_sorted(seen.begin(), seen.end())) << "progress only rises";

    // Format, aborted from the other thread once it is under way.
    uint8_t fprog = 0, abort = 0;
    std::thread aborter([&] {
        while (std::atomic_ref<uint8_t>(fprog).load() == 0) std::this_thread::yield();
        std::atomic_ref<uint8_t>(abort).store(1);
    });
    int frc = VelkLogicalFormat(h, 0, &fprog, &abort);
    aborter.join();
    // Either it saw the abort (returns 0, progress below 100) or it finished first.
    if (frc == 0)
        EXPECT_LT(std::atomic_ref<uint8_t>(fprog).load(), 100);
    else
        EXPECT_EQ(std::atomic_ref<uint8_t>(fprog).load(), 100);

    // A full format followed from another thread reaches 100.
    fprog = 0;
    abort = 0;
    std::atomic<int> maxSeen{0};
    std::atomic<bool> fdone{false};
    std::thread watcher([&] {
        while (!fdone.load()) maxSeen = std::max<int>(maxSeen, std::atomic_ref<uint8_t>(fprog).load());
    });
    EXPECT_EQ(VelkLogicalFormat(h, 0, &fprog, &abort), 1);
    fdone = true;
    watcher.join();
    EXPECT_EQ(std::atomic_ref<uint8_t>(fprog).load(), 100);
}

TEST_F(Reliability, ThreadsOfOneProcessShareAHandle) {
    create("r", "reader", {"lun0.size=1M"});
    Handle h(VelkCreateDeviceList(0, 0, 1));
    std::vector<std::thread> ts;
    std::atomic<int> failures{0};
    for (int t = 0; t < 4; ++t)
        ts.emplace_back([&, t] {
            std::vector<uint8_t> sec(512), back(512);
            for (uint32_t i = 0; i < 200; ++i) {
                uint32_t lba = i * 4 + uint32_t(t);
                sectorPattern(sec.data(), 512, lba, 7);
                if (VelkWriteLBA(h, 0, lba, 1, sec.data()) != 1) ++failures;
                if (VelkReadLBA(h, 0, lba, 1, back.data()) != 1 || back != sec) ++failures;
                DRIVE_INFO_COMMON* info;
                uint8_t count;
                if (VelkGetDriveInfo(h, &info, &count) != 1 || count != 4) ++failures;
            }
        });
    for (auto& t : ts) t.join();
    EXPECT_EQ(failures.load(), 0);
}

// NAND reads of erased flash take no lock: a reader next to a thread that
// erases and programs blocks sees each spare area and page either erased or
// whole, and a factory-bad block never looks good while it is erased.
TEST_F(Reliability, NandReadersBesideAnEraserSeeWholeStates) {
    for (const char* profile : {"flashdisk", "flashdisk2k"}) {
        SCOPED_TRACE(profile);
        create(profile, profile, {"bad=0:2"});
        Handle h(VelkCreateDeviceList(0, std::string(profile) == "flashdisk" ? 0x0721 : 0x0722));
        _FlashDiskInfo* fi = nullptr;
        ASSERT_EQ(VelkGetFlashInfo(h, 0, &fi), 1);
        const size_t ps = fi[0].PageSize, ss = ps == 512 ? 16 : 64;
        std::atomic<bool> done{false};
        std::atomic<int> failures{0};
        std::thread writer([&] {
            std::vector<uint8_t> zeros(std::max(ps, ss), 0);
            for (int i = 0; i < 300; ++i) {
                for (uint32_t b = 0; b < 4; ++b) {
                    if (VelkEraseBlock(h, 0, 0, b) != 1) ++failures;
                    if (b == 2) continue;
                    if (VelkWriteRedundant(h, 0, 0, b, 0, zeros.data()) != 1) ++failures;
                    if (VelkWritePhysical(h, 0, 0, b, 1, zeros.data()) != 1) ++failures;
                }
            }
            done = true;
        });
        std::vector<uint8_t> spare(ss), data(ps);
        auto uniform = [](const std::vector<uint8_t>& v) {
            return std::all_of(v.begin(), v.end(), [&](uint8_t x) { return x == v[0] && (x == 0 || x == 0xFF); });
        };
        while (!done) {
            for (uint32_t b = 0; b < 4; ++b) {
                if (VelkReadRedundant(h, 0, 0, b, 0, spare.data()) != 1 || (b != 2 && !uniform(spare))) ++failures;
                if (VelkReadPhysical(h, 0, 0, b, 1, data.data()) != 1 || !uniform(data)) ++failures;
            }
            if (VelkIsGoodBlock(h, 0, 0, 2) != 0) ++failures;
        }
        writer.join();
        EXPECT_EQ(failures.load(), 0);
    }
}

// Out-of-range arguments: return 0, leave the caller's buffer and the store
// bytes next to the addressed region alone.
TEST_F(Reliability, OutOfRangeArgumentsTouchNothing) {
    create("fd", "flashdisk", {"lun0.size=64K", "bad=none"});
    Handle h(VelkCreateDeviceList(0, 0));
    std::vector<uint8_t> buf(70000, kFill);
    auto untouched = [&] { return std::all_of(buf.begin(), buf.end(), [](uint8_t v) { return v == kFill; }); };

    // LUN: 128 sectors. Fill the last one and its neighbour, then try beyond.
    std::vector<uint8_t> sec(512, kFill);
    ASSERT_EQ(VelkWriteLBA(h, 0, 126, 1, sec.data()), 1);
    ASSERT_EQ(VelkWriteLBA(h, 0, 127, 1, sec.data()), 1);
    std::vector<uint8_t> other(512, 0x3C);
    EXPECT_EQ(VelkWriteLBA(h, 0, 128, 1, other.data()), 0);
    EXPECT_EQ(VelkWriteLBA(h, 0, 0xFFFFFFFFu, 1, other.data()), 0);
    EXPECT_EQ(VelkWriteLBA(h, 0, 127, 0, other.data()), 0);
    EXPECT_EQ(VelkWriteLBA(h, 1, 0, 1, other.data()), 0);
    EXPECT_EQ(VelkWriteLBA(h, 255, 0, 1, other.data()), 0);
    EXPECT_EQ(VelkReadLBA(h, 0, 128, 1, buf.data()), 0);
    EXPECT_EQ(VelkReadLBA(h, 0, 0, 65535, buf.data()), 0);
    EXPECT_TRUE(untouched());
    std::vector<uint8_t> back(512);
    ASSERT_EQ(VelkReadLBA(h, 0, 127, 1, back.data()), 1);
    EXPECT_EQ(back, sec);
    ASSERT_EQ(VelkReadLBA(h, 0, 126, 1, back.data()), 1);
    EXPECT_EQ(back, sec);

    // NAND: program the last page of chip 0 and the first of chip 1 with the
    // fill byte; out-of-range writes must not clear any of their bits.
    std::vector<uint8_t> page(512, kFill), spare(16, kFill);
    ASSERT_EQ(VelkWritePhysical(h, 0, 0, 1023, 31, page.data()), 1);
    ASSERT_EQ(VelkWriteRedundant(h, 0, 0, 1023, 31, spare.data()), 1);
    ASSERT_EQ(VelkWritePhysical(h, 0, 1, 0, 0, page.data()), 1);
    std::vector<uint8_t> zeros(4096, 0);
    EXPECT_EQ(VelkWritePhysical(h, 0, 0, 1023, 32, zeros.data()), 0);
    EXPECT_EQ(VelkWritePhysical(h, 0, 0, 1024, 0, zeros.data()), 0);
    EXPECT_EQ(VelkWritePhysical(h, 0, 2, 0, 0, zeros.data()), 0);
    EXPECT_EQ(VelkWritePhysical(h, 0, 255, 0xFFFFFFFFu, 255, zeros.data()), 0);
    EXPECT_EQ(VelkWriteRedundant(h, 0, 0, 1023, 32, zeros.data()), 0);
    EXPECT_EQ(VelkWritePhysical(h, 1, 0, 0, 0, zeros.data()), 0) << "no device index 1";
    EXPECT_EQ(VelkEraseBlock(h, 0, 0, 1024), 0);
    EXPECT_EQ(VelkEraseBlock(h, 0, 8, 0), 0);
    EXPECT_EQ(VelkRetirex(h, 0, 0, 0xFFFFFFFFu), 0);
    EXPECT_EQ(VelkReadPhysical(h, 0, 0, 1023, 32, buf.data()), 0);
    EXPECT_EQ(VelkReadRedundant(h, 0, 3, 0, 0, buf.data()), 0);
    EXPECT_EQ(VelkWritePhysical(h, 0, 0, 0, 0, nullptr), 0);
    EXPECT_TRUE(untouched());
    std::vector<uint8_t> pg(512), sp(16);
    ASSERT_EQ(VelkReadPhysical(h, 0, 0, 1023, 31, pg.data()), 1);
    EXPECT_EQ(pg, page);
    ASSERT_EQ(VelkReadRedundant(h, 0, 0, 1023, 31, sp.data()), 1);
    EXPECT_EQ(sp, spare);
    ASSERT_EQ(VelkReadPhysical(h, 0, 1, 0, 0, pg.data()), 1);
    EXPECT_EQ(pg, page);
    ASSERT_EQ(VelkReadRedundant(h, 0, 1, 0, 0, sp.data()), 1);
    EXPECT_TRUE(std::all_of(sp.begin(), sp.end(), [](uint8_t v) { return v == 0xFF; }));

    // EEPROM: word 63 is the last.
    uint16_t words[4] = {0x1111, 0x2222, 0x3333, 0x4444};
    uint16_t w62 = 0, w63 = 0;
    ASSERT_EQ(VelkReadEEPROM(h, 0, 62, 1, &w62), 1);
    ASSERT_EQ(VelkReadEEPROM(h, 0, 63, 1, &w63), 1);
    EXPECT_EQ(VelkWriteEEPROM(h, 0, 62, 3, words), 0) << "runs past the end: nothing written";
    EXPECT_EQ(VelkWriteEEPROM(h, 0, 0xFFFF, 255, words), 0);
    uint16_t w = 0;
    ASSERT_EQ(VelkReadEEPROM(h, 0, 62, 1, &w), 1);
    EXPECT_EQ(w, w62);
    ASSERT_EQ(VelkReadEEPROM(h, 0, 63, 1, &w), 1);
    EXPECT_EQ(w, w63);
    EXPECT_EQ(VelkReadEEPROM(h, 0, 60, 5, reinterpret_cast<uint16_t*>(buf.data())), 0);
    EXPECT_TRUE(untouched());

    // External ROM: 64 KiB.
    std::vector<uint8_t> romBefore(0x10000);
    ASSERT_EQ(VelkReadExternalROM(h, 0, 0, 0x10000, romBefore.data()), 1);
    EXPECT_EQ(VelkWriteExternalROM(h, 0, 0xFF00, 0x101, zeros.data()), 0);
    EXPECT_EQ(VelkWriteExternalROM(h, 0, 0xFFFFFF00u, 0x200, zeros.data()), 0) << "start + length wraps";
    EXPECT_EQ(VelkWriteExternalROM(h, 0, 0, 0, zeros.data()), 0);
    EXPECT_EQ(VelkWriteFirmware(h, 0, 0x10001, buf.data(), nullptr, nullptr), 0);
    EXPECT_EQ(VelkReadExternalROM(h, 0, 0x10000, 1, buf.data()), 0);
    EXPECT_EQ(VelkReadFirmware(h, 0, 0x10001, buf.data(), nullptr, nullptr), 0);
    EXPECT_EQ(VelkReadEepDataFromExternalROM(h, 0, 129, buf.data()), 0);
    EXPECT_TRUE(untouched());
    std::vector<uint8_t> romAfter(0x10000);
    ASSERT_EQ(VelkReadExternalROM(h, 0, 0, 0x10000, romAfter.data()), 1);
    EXPECT_EQ(romAfter, romBefore);

    // NULL outputs where one is required.
    EXPECT_EQ(VelkReadCapacity(h, 0, nullptr, nullptr), 0);
    EXPECT_EQ(VelkGetLunMediaType(h, 0, nullptr), 0);
    EXPECT_EQ(VelkGetFlashInfo(h, 0, nullptr), 0);
    EXPECT_EQ(VelkGetUFDStatus(h, 0, nullptr), 0);
    EXPECT_EQ(VelkGetFirmwareSize(h, 0, nullptr, nullptr), 0);
    EXPECT_EQ(VelkReadEEPROM(h, 0, 0, 1, nullptr), 0);
    EXPECT_EQ(VelkOpenDevice(nullptr, 0), 0);
    EXPECT_EQ(VelkReadLBA(nullptr, 0, 0, 1, buf.data()), 0);
    EXPECT_EQ(VelkLogicalFormat(nullptr, 0, nullptr, nullptr), 0);
    EXPECT_TRUE(untouched());
}
