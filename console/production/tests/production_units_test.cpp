// ReaderTest.ini, the patterns and the generator, the restore journal: on
// their own, without a dialog (the journal against the simulated reader).
#include "console/production/reader_test_ini.h"
#include "console/production/restore_journal.h"
#include "console/production/test_cycle.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <vector>

#include "tests/support/temp_bus.h"

#include <velk_sim.h>

namespace production {
namespace {

namespace fs = std::filesystem;

class IniTest : public ::testing::Test {
protected:
    ReaderTestIni read(const std::string& content)
    {
        dir_.write("ReaderTest.ini", content);
        return readReaderTestIni(dir_.file("ReaderTest.ini"));
    }
    testsupport::TempDir dir_;
};

TEST_F(IniTest, CountOnTheLineAfterTheHeader)
{
    struct Case { const char* file; uint32_t times; };
    const Case cases[] = {
        {"[TEST_TIMES]\n500\n", 500},
        {"[TEST_TIMES]\r\n500\r\n", 500},
        {"[TEST_TIMES] anything after it\n  42 cycles\n", 42},
        {"first\nsecond\n[TEST_TIMES]\n7", 7},
        {"[TEST_TIMES]\n0\n", 100},
        {"[TEST_TIMES]\nabc\n", 100},
        {"[TEST_TIMES]\n99999999999\n", 4294967295u},
        {"[TEST_TIMES]\n12\n[TEST_TIMES]\n34\n", 12},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.file);
        const ReaderTestIni r = read(c.file);
        EXPECT_EQ(r.testTimes, c.times);
        EXPECT_EQ(r.message, "");
        EXPECT_TRUE(r.ok);
    }
}

TEST_F(IniTest, MissingFileIsSilentAndProblemsHaveTheirMessages)
{
    ReaderTestIni r = readReaderTestIni(dir_.file("none.ini"));
    EXPECT_EQ(r.testTimes, 100u);
    EXPECT_EQ(r.message, "");
    EXPECT_FALSE(r.ok);

    r = read("[TEST]\n500\n");
    EXPECT_EQ(r.message, "Error to read ini file");
    EXPECT_EQ(r.testTimes, 100u);
    EXPECT_FALSE(r.ok);

    r = read("");
    EXPECT_EQ(r.message, "Error to read ini file");

    r = read("x\n[TEST_TIMES]");
    EXPECT_EQ(r.message, "Can't find the TestTimes in ini file.");
    EXPECT_EQ(r.testTimes, 100u);
    EXPECT_TRUE(r.ok);

    r = read("[TEST_TIMES]\n");
    EXPECT_EQ(r.message, "Error to read ini file.");
    EXPECT_FALSE(r.ok);
}

TEST_F(IniTest, LongLinesAreReadIn254CharacterPieces)
{
    // A header at character 254 of a long line starts a piece of its own.
    const std::string pad(254, 'x');
    EXPECT_EQ(read(pad + "[TEST_TIMES]\n33\n").testTimes, 33u);
    // The rest of a long header line counts as the next line.
    EXPECT_EQ(read("[TEST_TIMES]" + std::string(300, ' ') + "\n33\n").testTimes, 100u);
}

TEST(ParseUnsigned, BlanksDigitsAndTheEnd)
{
    EXPECT_EQ(parseUnsigned(""), 0u);
    EXPECT_EQ(parseUnsigned("   "), 0u);
    EXPECT_EQ(parseUnsigned(" \t 70000x"), 70000u);
    EXPECT_EQ(parseUnsigned("3"), 3u);
    EXPECT_EQ(parseUnsigned("-3"), 0u);
    EXPECT_EQ(parseUnsigned("4294967295"), 4294967295u);
    EXPECT_EQ(parseUnsigned("4294967296"), 4294967295u);
}

TEST(Patterns, FourWordsByCycle)
{
    uint8_t s[512];
    const uint8_t bytes[] = {0x00, 0x55, 0xAA, 0xFF, 0x00, 0x55};
    for (uint32_t i = 0; i < 6; ++i) {
        std::memset(s, 0x11, sizeof s);
        fillPattern(s, i);
        EXPECT_TRUE(std::all_of(s, s + 512, [&](uint8_t b) { return b == bytes[i]; })) << "cycle " << i;
    }
    EXPECT_EQ(patternWord(2), 0xAAAAAAAAu);
}

TEST(TestRandomTest, LinearCongruentialBitsSixteenToThirty)
{
    TestRandom r(0);
    // state 2531011 -> (2531011 >> 16) & 0x7FFF = 38
    EXPECT_EQ(r.next(), 38);
    EXPECT_EQ(r.next(), 7719);
    r.seed(1);
    EXPECT_EQ(r.next(), 41);
    TestRandom big(0xFFFFFFFFu);
    for (int i = 0; i < 1000; ++i) {
        const int v = big.next();
        ASSERT_GE(v, 0);
        ASSERT_LE(v, 32767);
    }
}

TEST(JournalFormat, SerialFromTheEepromsStringDescriptor)
{
    uint16_t w[64] = {};
    w[5] = 20;  // serial at word 20
    w[20] = 0x030A;  // 10 bytes: 4 characters
    const char* text = "A1b2";
    for (int i = 0; i < 4; ++i)
        w[21 + i] = uint16_t(uint8_t(text[i]));
    EXPECT_EQ(serialFromEeprom(w), "A1b2");
    w[20] = 0x020A;
    EXPECT_EQ(serialFromEeprom(w), "") << "not a string descriptor";
    w[20] = 0x03FF;
    for (int i = 21; i < 64; ++i)
        w[i] = 'x';
    EXPECT_EQ(serialFromEeprom(w), std::string(42, 'x')) << "cut before the checksum word";
    w[5] = 0;
    EXPECT_EQ(serialFromEeprom(w), "");
    EXPECT_EQ(restoredText(3), "Restored 3 sector(s) left by an interrupted test.");
    EXPECT_EQ(crc32("123456789", 9), 0xCBF43926u);
}

TEST(JournalFormat, StateFolderFromTheEnvironment)
{
    const char* state = std::getenv("XDG_STATE_HOME");
    const std::string saved = state ? state : "";
    setenv("XDG_STATE_HOME", "/x/state", 1);
    EXPECT_EQ(journalDirectory(), "/x/state/tavrin/restore");
    setenv("XDG_STATE_HOME", "relative", 1);
    setenv("HOME", "/home/op", 1);
    EXPECT_EQ(journalDirectory(), "/home/op/.local/state/tavrin/restore") << "a relative path is ignored";
    if (state)
        setenv("XDG_STATE_HOME", saved.c_str(), 1);
    else
        unsetenv("XDG_STATE_HOME");
}

// The journal against the simulated reader.
class JournalTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(bus_.busOk()) << VelkSimLastError();
        const char* settings[] = {"lun0.size=1M", "lun2.size=1M", nullptr};
        ASSERT_EQ(VelkSimCreate("r", "reader", settings), 1) << VelkSimLastError();
        h_ = VelkCreateDeviceList(0, 0, 1);
        ASSERT_NE(h_, nullptr);
        dir_ = bus_.file("journal");
        id_ = DeviceIdentity::read(h_);
    }
    void TearDown() override
    {
        if (h_)
            VelkDestroyDeviceList(h_);
    }
    std::vector<uint8_t> sector(uint8_t lun, uint32_t lba)
    {
        std::vector<uint8_t> v(512);
        EXPECT_EQ(VelkReadLBA(h_, lun, lba, 1, v.data()), 1);
        return v;
    }
    void put(uint8_t lun, uint32_t lba, uint8_t fill)
    {
        std::vector<uint8_t> v(512, fill);
        ASSERT_EQ(VelkWriteLBA(h_, lun, lba, 1, v.data()), 1);
    }
    // A journal left by a killed test: the entry is recorded, the pattern
    // written, and the run never ends (the file is closed but kept).
    std::string leaveEntry(uint8_t lun, uint32_t lba, uint8_t saved, uint8_t pattern,
                           const DeviceIdentity* id = nullptr)
    {
        put(lun, lba, saved);
        std::string err;
        auto j = RestoreJournal::create(dir_, id ? *id : id_, &err);
        EXPECT_TRUE(j) << err;
        if (!j)
            return {};
        const std::vector<uint8_t> s(512, saved);
        EXPECT_GE(j->record(lun, 2048, lba, s.data()), 0);
        put(lun, lba, pattern);
        const std::string path = j->path();
        // Keep the file: copy it aside, let the journal go, put it back.
        fs::copy_file(path, path + ".keep");
        j.reset();
        fs::rename(path + ".keep", path);
        return path;
    }

    testsupport::TempBus bus_;
    VelkHandle h_ = nullptr;
    std::string dir_;
    DeviceIdentity id_;
};

TEST_F(JournalTest, RunWithEverythingPutBackLeavesNoFile)
{
    std::string err;
    auto j = RestoreJournal::create(dir_, id_, &err);
    ASSERT_TRUE(j) << err;
    const std::string path = j->path();
    EXPECT_TRUE(fs::exists(path));
    EXPECT_EQ(fs::status(dir_).permissions() & fs::perms::all, fs::perms::owner_all);
    uint8_t s[512] = {};
    const int slot = j->record(0, 2048, 5, s);
    EXPECT_EQ(j->pending(), 1);
    j->clear(slot);
    EXPECT_EQ(j->pending(), 0);
    j.reset();
    EXPECT_FALSE(fs::exists(path));
    EXPECT_TRUE(fs::is_empty(dir_));
}

TEST_F(JournalTest, PendingEntryIsWrittenBackOnceAndTheFileRemoved)
{
    const std::string path = leaveEntry(2, 77, 0x3C, 0x55);
    ASSERT_FALSE(path.empty());
    EXPECT_EQ(sector(2, 77), std::vector<uint8_t>(512, 0x55));
    RestoreReport r = restorePending(dir_, h_);
    EXPECT_EQ(r.restored, 1);
    EXPECT_EQ(r.left, 0);
    EXPECT_EQ(sector(2, 77), std::vector<uint8_t>(512, 0x3C));
    EXPECT_FALSE(fs::exists(path));
    r = restorePending(dir_, h_);
    EXPECT_EQ(r.restored, 0);
}

TEST_F(JournalTest, ForeignDamagedAndBusyJournalsAreLeftAlone)
{
    DeviceIdentity other = id_;
    other.serial += "9";
    const std::string foreign = leaveEntry(0, 1, 0x11, 0x55, &other);
    const std::string damaged = leaveEntry(0, 2, 0x22, 0x55);
    {
        // One byte of the saved data changes: the entry no longer checks.
        std::fstream f(damaged, std::ios::in | std::ios::out | std::ios::binary);
        f.seekp(128 + 24 + 100);
        f.put('\x7E');
    }
    const std::string badHeader = leaveEntry(0, 3, 0x33, 0x55);
    {
        std::fstream f(badHeader, std::ios::in | std::ios::out | std::ios::binary);
        f.seekp(20);
        f.put('\x01');
    }
    const std::string busy = leaveEntry(0, 4, 0x44, 0x55);
    const int holder = ::open(busy.c_str(), O_RDONLY);
    ASSERT_GE(holder, 0);
    ASSERT_EQ(::flock(holder, LOCK_EX), 0);

    const auto damagedBytes = testsupport::readFile(damaged);
    const RestoreReport r = restorePending(dir_, h_);
    EXPECT_EQ(r.restored, 0);
    EXPECT_EQ(r.foreign, 1);
    EXPECT_EQ(r.damaged, 2);
    EXPECT_EQ(r.busy, 1);
    for (uint32_t lba = 1; lba <= 4; ++lba)
        EXPECT_EQ(sector(0, lba), std::vector<uint8_t>(512, 0x55)) << "nothing written to LBA " << lba;
    EXPECT_TRUE(fs::exists(foreign) && fs::exists(badHeader) && fs::exists(busy));
    EXPECT_EQ(testsupport::readFile(damaged), damagedBytes) << "a damaged journal is not touched";
    ::close(holder);
}

TEST_F(JournalTest, EntryForAnotherCapacityOrAnEmptySlotStaysPending)
{
    const std::string path = leaveEntry(2, 9, 0x66, 0x55);
    ASSERT_EQ(VelkSimSetMedia("r", 2, 0), 1);  // the card is out
    RestoreReport r = restorePending(dir_, h_);
    EXPECT_EQ(r.restored, 0);
    EXPECT_EQ(r.left, 1);
    EXPECT_TRUE(fs::exists(path));
    ASSERT_EQ(VelkSimSetMedia("r", 2, 1), 1);
    r = restorePending(dir_, h_);
    EXPECT_EQ(r.restored, 1);
    EXPECT_EQ(sector(2, 9), std::vector<uint8_t>(512, 0x66));
    EXPECT_FALSE(fs::exists(path));
}

// Two journals name the same sector (the second run saved what the first
// left): the older one is written last, so the sector gets its contents
// from before any test.
TEST_F(JournalTest, OlderJournalWinsForTheSameSector)
{
    leaveEntry(0, 12, 0x01, 0x55);
    leaveEntry(0, 12, 0x55, 0xAA);  // saved the first run's pattern
    const RestoreReport r = restorePending(dir_, h_);
    EXPECT_EQ(r.restored, 2);
    EXPECT_EQ(sector(0, 12), std::vector<uint8_t>(512, 0x01));
}

TEST_F(JournalTest, FullJournalRefusesMoreEntriesAndAFolderThatCannotBeMadeIsAnError)
{
    std::string err;
    auto j = RestoreJournal::create(dir_, id_, &err);
    ASSERT_TRUE(j);
    uint8_t s[512] = {};
    for (int i = 0; i < RestoreJournal::kSlots; ++i)
        ASSERT_EQ(j->record(0, 2048, uint32_t(i), s), i);
    EXPECT_EQ(j->record(0, 2048, 99, s), -1);
    j->clear(10);
    EXPECT_EQ(j->record(0, 2048, 99, s), 10);

    bus_.write("file", "x");
    EXPECT_FALSE(RestoreJournal::create(bus_.file("file") + "/sub", id_, &err));
    EXPECT_NE(err.find("restore journal"), std::string::npos) << err;
    EXPECT_FALSE(RestoreJournal::create("", id_, &err));
}

TEST_F(JournalTest, UnfinishedJournalOfAKilledMakerIsRemoved)
{
    fs::create_directories(dir_);
    std::ofstream(dir_ + "/rj-AbC123") << "half";
    std::ofstream(dir_ + "/notes.txt") << "mine";
    restorePending(dir_, h_);
    EXPECT_FALSE(fs::exists(dir_ + "/rj-AbC123"));
    EXPECT_TRUE(fs::exists(dir_ + "/notes.txt"));
}

TEST_F(JournalTest, CycleKeepsTheSectorAndTheJournalEmpty)
{
    put(0, 3, 0x9D);
    std::string err;
    auto j = RestoreJournal::create(dir_, id_, &err);
    ASSERT_TRUE(j);
    SectorCycle c(h_, *j);
    for (uint32_t i = 0; i < 8; ++i)
        EXPECT_EQ(c.run(0, 2048, 3, i), CycleResult::Passed);
    EXPECT_EQ(sector(0, 3), std::vector<uint8_t>(512, 0x9D));
    EXPECT_EQ(j->pending(), 0);

    ASSERT_EQ(VelkSimFault("r", "lba-write 0 3"), 1);
    EXPECT_EQ(c.run(0, 2048, 3, 0), CycleResult::PatternWriteFailed);
    EXPECT_EQ(j->pending(), 0) << "the sector never changed: nothing to restore";
    ASSERT_EQ(VelkSimFault("r", "clear"), 1);
    ASSERT_EQ(VelkSimFault("r", "lba-read 0 3"), 1);
    EXPECT_EQ(c.run(0, 2048, 3, 0), CycleResult::SaveReadFailed);
    EXPECT_EQ(sector(0, 4).size(), 512u);
}

}  // namespace
}  // namespace production
