#include "fat_format.h"
#include "fat_layout.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <map>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

using namespace velk::codec;
namespace fs = std::filesystem;

namespace {

using Sector = std::array<uint8_t, 512>;

uint32_t le(const uint8_t* p, int n) {
    uint32_t v = 0;
    for (int i = n - 1; i >= 0; --i)
        v = v << 8 | p[i];
    return v;
}

// A medium kept in memory that stores only sectors holding nonzero bytes,
// so that terabyte volumes cost little.
struct MemoryMedium {
    std::map<uint32_t, Sector> sectors;
    std::vector<std::pair<uint32_t, uint32_t>> calls;  // lba, count

    bool write(uint32_t lba, uint32_t count, const uint8_t* data) {
        calls.emplace_back(lba, count);
        for (uint32_t i = 0; i < count; ++i) {
            const uint8_t* s = data + 512 * i;
            static const Sector zero{};
            if (std::memcmp(s, zero.data(), 512) == 0)
                sectors.erase(lba + i);
            else
                std::memcpy(sectors[lba + i].data(), s, 512);
        }
        return true;
    }
    const Sector& at(uint32_t lba) { return sectors[lba]; }
};

FormatResult formatInto(MemoryMedium& m, uint32_t total, std::vector<int>* pcts = nullptr) {
    return formatFat(
        total, [&](uint32_t lba, uint32_t n, const uint8_t* d) { return m.write(lba, n, d); },
        [&](int p) {
            if (pcts)
                pcts->push_back(p);
        },
        [] { return false; }, 0x1234ABCD);
}

std::string fsType(const Sector& boot) {
    const bool fat32 = le(&boot[22], 2) == 0;
    return std::string(reinterpret_cast<const char*>(&boot[fat32 ? 82 : 54]), 8);
}

bool haveTool(const char* name) {
    for (const char* dir : {"/usr/sbin/", "/sbin/", "/usr/bin/", "/bin/"})
        if (access((std::string(dir) + name).c_str(), X_OK) == 0)
            return true;
    return false;
}

// Runs a shell command; returns its exit status and fills out with its output.
int run(const std::string& cmd, std::string* out = nullptr) {
    FILE* p = popen((cmd + " 2>&1").c_str(), "r");
    if (!p)
        return -1;
    std::string text;
    char buf[4096];
    while (size_t n = fread(buf, 1, sizeof buf, p))
        text.append(buf, n);
    const int st = pclose(p);
    if (out)
        *out = text;
    return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
}

class FatImage : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/velk-codec-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
    }
    void TearDown() override { fs::remove_all(dir_); }

    // A sparse image file of total sectors whose first `filled` sectors hold
    // the byte 0xA5, standing for an earlier file system's leftovers.
    std::string makeImage(const std::string& name, uint32_t total, uint32_t filled) {
        const std::string path = (dir_ / name).string();
        const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600);
        EXPECT_GE(fd, 0);
        EXPECT_EQ(ftruncate(fd, off_t(total) * 512), 0);
        const std::vector<uint8_t> junk(512 * 64, 0xA5);
        for (uint32_t s = 0; s < filled; s += 64)
            EXPECT_GT(pwrite(fd, junk.data(), 512 * std::min<uint32_t>(64, filled - s), off_t(s) * 512), 0);
        close(fd);
        return path;
    }

    // Formats the image file; abortAfter / failAt count write calls (-1: never).
    FormatResult formatFile(const std::string& path, uint32_t total, int abortAfter = -1, int failAt = -1,
                            std::vector<int>* pcts = nullptr) {
        const int fd = open(path.c_str(), O_RDWR);
        int calls = 0;
        const FormatResult r = formatFat(
            total,
            [&](uint32_t lba, uint32_t n, const uint8_t* d) {
                if (calls++ == failAt)
                    return false;
                return pwrite(fd, d, size_t(n) * 512, off_t(lba) * 512) == ssize_t(n) * 512;
            },
            [&](int p) {
                if (pcts)
                    pcts->push_back(p);
            },
            [&] { return abortAfter >= 0 && calls >= abortAfter; }, 0x1234ABCD);
        close(fd);
        writeCalls_ = calls;
        return r;
    }

    Sector readSector(const std::string& path, uint32_t lba) {
        Sector s{};
        const int fd = open(path.c_str(), O_RDONLY);
        EXPECT_EQ(pread(fd, s.data(), 512, off_t(lba) * 512), 512);
        close(fd);
        return s;
    }

    fs::path dir_;
    int writeCalls_ = 0;
};

struct Expected {
    uint32_t sectors;
    int bits;
    int clusterSectors;
    uint32_t clusters;
};

// Values mkfs.fat 4.2 chooses by default for image files of these sizes.
const Expected kMkfsChoices[] = {
    {100, 12, 4, 15},             {720, 12, 2, 354},           {1440, 12, 2, 713},
    {2400, 12, 1, 2371},          {2880, 12, 1, 2847},          {5760, 12, 2, 2863},
    {8192, 12, 4, 2036},          {16384, 12, 4, 4081},         {20000, 16, 4, 4981},
    {262144, 16, 4, 65399},       {300000, 16, 8, 37457},       {524800, 16, 16, 32778},
    {1048575, 16, 16, 65500},     {1048576, 32, 8, 130811},     {16777216, 32, 8, 2093057},
    {16777218, 32, 16, 1047549},  {67108864, 32, 32, 2096126},  {67108866, 32, 64, 1048318},
};

}  // namespace

TEST(FatLayoutTest, ChoosesTypeAndClusterSizeAsMkfsFatDoes) {
    for (const Expected& e : kMkfsChoices) {
        SCOPED_TRACE(e.sectors);
        const auto l = planFat(e.sectors);
        ASSERT_TRUE(l);
        EXPECT_EQ(l->fatBits, e.bits);
        EXPECT_EQ(l->sectorsPerCluster, e.clusterSectors);
        EXPECT_EQ(l->clusterCount, e.clusters);
        // The FAT must have an entry for every cluster plus the two reserved.
        EXPECT_GE(uint64_t(l->fatSectors) * 512 * 8 / l->fatBits, l->clusterCount + 2ull);
        EXPECT_LE(uint64_t(l->firstDataSector()) + uint64_t(l->clusterCount) * l->sectorsPerCluster,
                  l->usedSectors);
        EXPECT_LE(l->usedSectors, e.sectors);
    }
    EXPECT_FALSE(planFat(0));
    EXPECT_FALSE(planFat(99));
    EXPECT_TRUE(planFat(0xFFFFFFFFu));
}

TEST_F(FatImage, BootSectorMatchesMkfsFatForTheSameSize) {
    if (!haveTool("mkfs.fat"))
        GTEST_SKIP() << "mkfs.fat not installed";
    for (uint32_t total : {1440u, 5000u, 16400u, 33000u, 300001u, 1048576u, 4194305u}) {
        SCOPED_TRACE(total);
        const std::string ref = makeImage("ref.img", total, 0);
        ASSERT_EQ(run("mkfs.fat -i 1234ABCD " + ref), 0);
        const Sector want = readSector(ref, 0);
        MemoryMedium m;
        ASSERT_EQ(formatInto(m, total), FormatResult::Done);
        const Sector& got = m.at(0);
        EXPECT_EQ(fsType(got), fsType(want));
        EXPECT_EQ(got[13], want[13]) << "sectors per cluster";
        EXPECT_EQ(le(&got[14], 2), le(&want[14], 2)) << "reserved sectors";
        EXPECT_EQ(le(&got[17], 2), le(&want[17], 2)) << "root entries";
        EXPECT_EQ(got[21], want[21]) << "media";
        EXPECT_EQ(le(&got[22], 2), le(&want[22], 2)) << "FAT16 size";
        EXPECT_EQ(le(&got[19], 2) + le(&got[32], 4), le(&want[19], 2) + le(&want[32], 4)) << "total sectors";
        if (fsType(want) == "FAT32   ") {
            EXPECT_EQ(le(&got[36], 4), le(&want[36], 4)) << "FAT32 size";
        }
    }
}

TEST_F(FatImage, FsckAndMtoolsAcceptFormattedVolumes) {
    if (!haveTool("fsck.fat") || !haveTool("mdir"))
        GTEST_SKIP() << "dosfstools or mtools not installed";
    // Floppy, FAT12, FAT16 and FAT32 sizes; old contents must not survive in
    // the system area.
    for (uint32_t total : {2880u, 8000u, 100000u, 1048576u}) {
        SCOPED_TRACE(total);
        const std::string img = makeImage("vol.img", total, 4200);
        ASSERT_EQ(formatFile(img, total), FormatResult::Done);
        std::string out;
        EXPECT_EQ(run("fsck.fat -n " + img, &out), 0) << out;
        ASSERT_EQ(run("MTOOLS_SKIP_CHECK=1 mdir -i " + img + " ::", &out), 0) << out;
        EXPECT_NE(out.find("1234-ABCD"), std::string::npos) << out;
        EXPECT_NE(out.find("No files"), std::string::npos) << out;
        // The volume takes files: copy one in and check again.
        const std::string file = (dir_ / "hello.txt").string();
        ASSERT_EQ(run("echo hello > " + file), 0);
        ASSERT_EQ(run("MTOOLS_SKIP_CHECK=1 mcopy -i " + img + " " + file + " ::HELLO.TXT", &out), 0) << out;
        EXPECT_EQ(run("fsck.fat -n " + img, &out), 0) << out;
        EXPECT_EQ(run("MTOOLS_SKIP_CHECK=1 mtype -i " + img + " ::HELLO.TXT", &out), 0);
        EXPECT_EQ(out, "hello\n");
    }
}

TEST_F(FatImage, AbortLeavesNoFileSystemAndKeepsTheRest) {
    const uint32_t total = 100000;  // FAT16: 4 reserved, 2 x 100 FAT, 32 root
    const uint32_t systemEnd = 4 + 200 + 32;
    for (int after : {0, 1, 2, 4}) {
        SCOPED_TRACE(after);
        const std::string img = makeImage("vol.img", total, 400);
        std::vector<int> pcts;
        ASSERT_EQ(formatFile(img, total, after, -1, &pcts), FormatResult::Aborted);
        EXPECT_EQ(writeCalls_, after) << "no write once aborted";
        ASSERT_FALSE(pcts.empty());
        EXPECT_LT(pcts.back(), 100);
        const Sector boot = readSector(img, 0);
        EXPECT_EQ(boot[0], after == 0 ? 0xA5 : 0x00) << "boot sector cleared by the first write";
        EXPECT_EQ(readSector(img, systemEnd)[0], 0xA5) << "data area untouched";
        if (after > 0 && haveTool("fsck.fat")) {
            EXPECT_NE(run("fsck.fat -n " + img), 0);
        }
    }
    // Aborted just before the final boot-sector write: still not a volume.
    MemoryMedium probe;
    ASSERT_EQ(formatInto(probe, total), FormatResult::Done);
    const int lastCall = int(probe.calls.size()) - 1;
    const std::string img = makeImage("vol.img", total, 400);
    ASSERT_EQ(formatFile(img, total, lastCall), FormatResult::Aborted);
    EXPECT_EQ(readSector(img, 0)[510], 0x00);
}

TEST_F(FatImage, FailedWriteStopsAndReportsFailed) {
    const uint32_t total = 1048576;
    for (int failAt : {0, 3, 9}) {
        SCOPED_TRACE(failAt);
        const std::string img = makeImage("vol.img", total, 0);
        std::vector<int> pcts;
        EXPECT_EQ(formatFile(img, total, -1, failAt, &pcts), FormatResult::Failed);
        EXPECT_EQ(writeCalls_, failAt + 1) << "no write after the failure";
        EXPECT_LT(pcts.back(), 100);
        EXPECT_NE(readSector(img, 0)[510], 0x55);
    }
    // Guards: a volume too small for a file system reported as formatted.
    MemoryMedium m;
    EXPECT_EQ(formatInto(m, 99), FormatResult::Failed);
    EXPECT_TRUE(m.calls.empty());
}

TEST(FatFormatTest, ProgressRisesFromZeroToHundred) {
    for (uint32_t total : {2880u, 100000u, 4194304u}) {
        SCOPED_TRACE(total);
        MemoryMedium m;
        std::vector<int> pcts;
        ASSERT_EQ(formatInto(m, total, &pcts), FormatResult::Done);
        ASSERT_GE(pcts.size(), 3u);
        EXPECT_EQ(pcts.front(), 0);
        EXPECT_EQ(pcts.back(), 100);
        EXPECT_TRUE(std::is_sorted(pcts.begin(), pcts.end()));
        EXPECT_EQ(std::count(pcts.begin(), pcts.end(), 100), 1);
    }
}

TEST(FatFormatTest, LargeVolumesWriteOnlyTheSystemAreaInChunks) {
    for (uint32_t total : {2097152u, 0xFFFFFFFFu}) {  // 1 GiB and just under 2 TiB
        SCOPED_TRACE(total);
        MemoryMedium m;
        ASSERT_EQ(formatInto(m, total), FormatResult::Done);
        const auto l = planFat(total);
        uint64_t written = 0;
        for (auto [lba, count] : m.calls) {
            EXPECT_LE(count, 128u);
            EXPECT_LE(uint64_t(lba) + count, l->firstDataSector() + l->sectorsPerCluster);
            written += count;
        }
        // Both FATs, the reserved sectors and the root cluster, once each
        // (plus the sectors written twice: boot, FS info and FAT heads).
        EXPECT_LE(written, uint64_t(l->firstDataSector()) + l->sectorsPerCluster + 8);
        EXPECT_EQ(fsType(m.at(0)), "FAT32   ");
        EXPECT_EQ(le(&m.at(0)[67], 4), 0x1234ABCDu) << "volume ID";
        EXPECT_EQ(std::string(reinterpret_cast<const char*>(&m.at(0)[71]), 11), "NO NAME    ");
        const Sector& info = m.at(1);
        EXPECT_EQ(le(&info[488], 4), l->clusterCount - 1) << "free clusters";
    }
}
