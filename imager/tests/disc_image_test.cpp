// The disc image: the start of the volume, its size, and sector reads, on
// real ISO images made by xorriso and on files built around them.
#include "imager/disc_image.h"

#include "iso_files.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>

#include <sys/stat.h>
#include <unistd.h>

using namespace imager;
using namespace imager::testing;

namespace {

std::string sectorOf(const std::string& bytes, uint64_t start, uint32_t s) {
    return bytes.substr(start + uint64_t(s) * 2048, 2048);
}

std::string readSector(DiscImage& img, uint32_t s, bool* ok = nullptr) {
    std::string buf(2048, '\x5A');
    const bool r = img.readSector(s, reinterpret_cast<uint8_t*>(buf.data()));
    if (ok) *ok = r;
    return buf;
}

class DiscImageTest : public ::testing::Test {
protected:
    TempDir dir;
};

TEST_F(DiscImageTest, PlainIsoStartsAtZeroAndEverySectorReadsAsInTheFile) {
    const std::string iso = makeIso(dir, "plain.iso", 150000, 1);
    const std::string bytes = readFile(iso);
    DiscImage img;
    ASSERT_TRUE(img.open(iso));
    EXPECT_FALSE(img.start());   // no search yet
    ASSERT_EQ(img.findStart(), SearchResult::Found);
    EXPECT_EQ(img.start(), 0u);
    const std::optional<uint32_t> n = img.volumeSectors();
    ASSERT_TRUE(n);
    EXPECT_EQ(*n, isoSectors(iso));   // xorriso makes the file exactly the volume
    for (uint32_t s = 0; s < *n; ++s) {
        bool ok = false;
        ASSERT_EQ(readSector(img, s, &ok), sectorOf(bytes, 0, s)) << "sector " << s;
        ASSERT_TRUE(ok);
    }
    // Out of order too (the read-ahead is not a stream).
    EXPECT_EQ(readSector(img, 3), sectorOf(bytes, 0, 3));
    EXPECT_EQ(readSector(img, *n - 1), sectorOf(bytes, 0, *n - 1));
    // Past the end of the file: a failure, the buffer untouched.
    bool ok = true;
    EXPECT_EQ(readSector(img, *n, &ok), std::string(2048, '\x5A'));
    EXPECT_FALSE(ok);
}

TEST_F(DiscImageTest, VolumeFurtherInIsFoundOnAny512ByteBoundary) {
    const std::string iso = makeIso(dir, "plain.iso", 40000, 2);
    const std::string isoBytes = readFile(iso);
    {   // .nrg-style: 150 sectors of lead-in, the volume, a chunk footer
        const std::string nrg = makeNrg(dir, "disc.nrg", iso);
        DiscImage img;
        ASSERT_TRUE(img.open(nrg));
        ASSERT_EQ(img.findStart(), SearchResult::Found);
        EXPECT_EQ(img.start(), kNrgOffset);
        ASSERT_EQ(img.volumeSectors(), isoSectors(iso));
        for (uint32_t s = 0; s < isoSectors(iso); ++s)
            ASSERT_EQ(readSector(img, s), sectorOf(isoBytes, 0, s)) << "sector " << s;
    }
    for (size_t lead : {512u, 1536u, 65536u + 512u}) {
        const std::string path = dir.file("lead.img");
        writeFile(path, patterned(lead, 3) + isoBytes);
        DiscImage img;
        ASSERT_TRUE(img.open(path));
        ASSERT_EQ(img.findStart(), SearchResult::Found) << lead;
        EXPECT_EQ(img.start(), lead);
        EXPECT_EQ(readSector(img, 17), sectorOf(isoBytes, 0, 17)) << lead;
    }
}

TEST_F(DiscImageTest, NoIdentifierOnA512ByteBoundaryEndsTheSearchAtTheEndOfTheFile) {
    const std::string iso = makeIso(dir, "plain.iso", 20000, 4);
    std::string bytes = readFile(iso);
    struct Case { const char* what; std::string bytes; };
    std::string shifted = patterned(100, 5) + bytes;   // "CD001" 100 bytes off every boundary
    std::string noId = bytes;
    for (size_t p = 32768; p + 6 <= noId.size(); p += 2048)
        if (std::memcmp(noId.data() + p + 1, "CD001", 5) == 0) noId[p + 1] = 'X';
    const Case cases[] = {
        {"no CD001 anywhere", noId},
        {"CD001 off the 512-byte grid", shifted},
        {"random data", patterned(300000, 6)},
        {"shorter than the descriptor", patterned(32768 + 511, 7)},
        {"empty", ""},
    };
    for (const Case& c : cases) {
        const std::string path = dir.file("no-volume.img");
        writeFile(path, c.bytes);
        DiscImage img;
        ASSERT_TRUE(img.open(path)) << c.what;
        EXPECT_EQ(img.findStart(), SearchResult::ShortRead) << c.what;
        EXPECT_EQ(img.lastSearch(), SearchResult::ShortRead) << c.what;
        EXPECT_FALSE(img.start()) << c.what;
        EXPECT_FALSE(img.volumeSectors()) << c.what;
        bool ok = true;
        readSector(img, 0, &ok);
        EXPECT_FALSE(ok) << c.what << ": no sector without a start";
    }
}

TEST_F(DiscImageTest, VolumeSpaceSizeIsTheLittleEndianValueAtByte80) {
    const std::string iso = makeIso(dir, "plain.iso", 20000, 8);
    for (uint32_t n : {0u, 1u, 0x04030201u, 0xFFFFFFFFu}) {
        DiscImage img;
        ASSERT_TRUE(img.open(withVolumeSize(dir, "sized.iso", iso, n)));
        ASSERT_EQ(img.findStart(), SearchResult::Found);
        EXPECT_EQ(img.volumeSectors(), n);
    }
}

TEST_F(DiscImageTest, OnlyRegularFilesAndBlockDevicesOpenAndNothingWaits) {
    DiscImage img;
    EXPECT_FALSE(img.open(dir.file("missing.iso")));
    EXPECT_FALSE(img.open(dir.path()));
    const std::string fifo = dir.file("pipe");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    EXPECT_FALSE(img.open(fifo));   // refused at once, no writer waited for
    EXPECT_FALSE(img.isOpen());

    // Opening another image forgets the start of the one before.
    const std::string iso = makeIso(dir, "plain.iso", 20000, 9);
    ASSERT_TRUE(img.open(iso));
    ASSERT_EQ(img.findStart(), SearchResult::Found);
    writeFile(dir.file("junk.bin"), patterned(70000, 10));
    ASSERT_TRUE(img.open(dir.file("junk.bin")));
    EXPECT_FALSE(img.start());
    img.close();
    EXPECT_FALSE(img.isOpen());
    EXPECT_FALSE(img.volumeSectors());
}

// Regression: sectors read ahead before the file changed were handed out
// again by the next transfer.
TEST_F(DiscImageTest, EachTransferReadsTheFileAsItIsNow) {
    const std::string iso = makeIso(dir, "plain.iso", 100000, 11);
    const std::string bytes = readFile(iso);
    DiscImage img;
    ASSERT_TRUE(img.open(iso));
    ASSERT_EQ(img.findStart(), SearchResult::Found);
    ASSERT_TRUE(img.volumeSectors());
    EXPECT_EQ(readSector(img, 20), sectorOf(bytes, 0, 20));   // reads ahead past sector 25
    ASSERT_EQ(::truncate(iso.c_str(), 25 * 2048), 0);
    ASSERT_TRUE(img.volumeSectors());                         // the next transfer starts
    bool ok = false;
    EXPECT_EQ(readSector(img, 24, &ok), sectorOf(bytes, 0, 24));
    EXPECT_TRUE(ok);
    readSector(img, 25, &ok);
    EXPECT_FALSE(ok) << "sector 25 is no longer in the file";

    // A last sector the file holds only in part is no sector.
    ASSERT_EQ(::truncate(iso.c_str(), 25 * 2048 - 1), 0);
    ASSERT_TRUE(img.volumeSectors());
    readSector(img, 24, &ok);
    EXPECT_FALSE(ok);
}

}  // namespace
