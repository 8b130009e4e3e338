#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "eep_session.h"
#include "eep_test_files.h"
#include "tests/support/temp_dir.h"

using namespace eep;
using eep_test::readerFile;
using testsupport::TempDir;

namespace {

const LocalTime kNow{2026, 12, 7, 21, 5, 9, 42};

class EepSessionTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(dir.ok()); }

    EepSession session() {
        SessionOptions o;
        o.workDir = dir.path();
        o.clock = [] { return kNow; };
        return EepSession(o);
    }

    // The serial text of the descriptor the image's word 5 points at.
    static std::string imageSerial(const EepSession& s) {
        const Image& img = s.image();
        const size_t p = lo(img[5]);
        std::string text;
        for (size_t k = 0; k < (lo(img[p]) - 2u) / 2u; ++k) text.push_back(static_cast<char>(lo(img[p + 1 + k])));
        return text;
    }

    TempDir dir;
    SerialSettings autoMode;
};

}  // namespace

TEST_F(EepSessionTest, LoadFillsTheStateAndReportsFailures) {
    dir.write("reader.eep", readerFile());
    EepSession s = session();
    const LoadResult r = s.load(dir.file("reader.eep"), 0x12, autoMode);
    EXPECT_TRUE(r.loaded && s.loaded() && s.freshlyParsed() && s.serialIsNumeric());
    EXPECT_TRUE(r.messages.empty());
    EXPECT_EQ(r.fileTitle, "reader.eep");
    EXPECT_EQ(r.fullPath, dir.file("reader.eep"));
    EXPECT_EQ(r.fields->vid, "0C45");
    EXPECT_EQ(s.wordCount(), 64);
    EXPECT_EQ(s.checksumIndex(), 0x3F);

    EXPECT_TRUE(s.load("", 0x12, autoMode).messages.empty());   // a cancelled dialog
    EXPECT_FALSE(s.loaded());
    EXPECT_EQ(s.load(dir.file("none.eep"), 0x12, autoMode).messages,
              (std::vector<Message>{{"Error to open file", "Error", Icon::Error}}));
    dir.write("big.eep", eep_test::bodyFile(std::vector<std::string>(65, "0000")));
    EXPECT_FALSE(s.load(dir.file("big.eep"), 0x12, autoMode).loaded);
    EXPECT_FALSE(s.loaded());
}

TEST_F(EepSessionTest, AutoIncrementAcrossTwoRunsWithoutReload) {
    dir.write("reader.eep", readerFile());
    EepSession s = session();
    ASSERT_TRUE(s.load(dir.file("reader.eep"), 0x12, autoMode).loaded);

    // First run after loading: the device gets 000123, the file 000124.
    EXPECT_FALSE(s.reloadBeforeRun(SerialMode::AutoIncrement));
    EXPECT_EQ(s.nextSerial(autoMode).text, "000124");
    EXPECT_EQ(s.strings().serial, "000123");
    EXPECT_TRUE(s.handOff(autoMode).fileRewritten);
    EXPECT_NE(dir.read("reader.eep").find("\n\"000124\"\n"), std::string::npos);

    // Second run without saving or reloading: the image advances to 000124,
    // the file to 000125. The device receives the advanced serial.
    EXPECT_EQ(s.nextSerial(autoMode).text, "000125");
    EXPECT_EQ(imageSerial(s), "000124");
    EXPECT_EQ(s.strings().serial, "000124");
    EXPECT_TRUE(s.handOff(autoMode).fileRewritten);
    EXPECT_FALSE(dir.exists("Temp.eep"));

    // Apart from the serial the file is as it was.
    std::string expected = readerFile();
    expected.replace(expected.find("000123"), 6, "000125");
    EXPECT_EQ(dir.read("reader.eep"), expected);
}

TEST_F(EepSessionTest, BoundaryFromStartToEndOverFourRuns) {
    dir.write("reader.eep", readerFile());
    SerialSettings b{SerialMode::Boundary, "0005", "0007"};
    EepSession s = session();
    ASSERT_TRUE(s.load(dir.file("reader.eep"), 0x12, b).loaded);
    std::vector<std::string> shown;
    for (int run = 0; run < 4; ++run) {
        ASSERT_TRUE(s.reloadBeforeRun(b.mode));
        const ReloadResult r = s.reload(0x12, b);
        ASSERT_TRUE(r.runMayStart);
        ASSERT_TRUE(s.nextSerial(b).computed);
        EXPECT_EQ(imageSerial(s), b.start) << "run " << run;
        EXPECT_EQ(s.strings().serial, b.start) << "run " << run;
        const HandOffResult h = s.handOff(b);
        ASSERT_TRUE(h.startText);
        EXPECT_FALSE(h.fileRewritten);
        b.start = *h.startText;
        shown.push_back(b.start);
    }
    EXPECT_EQ(shown, (std::vector<std::string>{"0006", "0007", "0007", "0007"}));
    EXPECT_EQ(dir.read("reader.eep"), readerFile());   // the file keeps its serial
}

TEST_F(EepSessionTest, StartAboveEndStopsTheRunBeforeAnythingChanges) {
    dir.write("reader.eep", readerFile());
    EepSession s = session();
    ASSERT_TRUE(s.load(dir.file("reader.eep"), 0x12, autoMode).loaded);
    const Image before = s.image();
    const ReloadResult r = s.reload(0x12, SerialSettings{SerialMode::Boundary, "10", "9"});
    EXPECT_FALSE(r.runMayStart);
    EXPECT_EQ(r.messages, (std::vector<Message>{{"End number must more than Start number.", "", Icon::None}}));
    EXPECT_TRUE(s.loaded());
    EXPECT_EQ(s.image(), before);
    EXPECT_TRUE(s.reload(0x12, SerialSettings{SerialMode::Boundary, "10", "10"}).runMayStart);

    // A reload that cannot load the file again does not let the run start.
    ::unlink(dir.file("reader.eep").c_str());
    const ReloadResult gone = s.reload(0x12, SerialSettings{SerialMode::Boundary, "10", "10"});
    EXPECT_FALSE(gone.runMayStart);
    EXPECT_FALSE(s.loaded());
}

TEST_F(EepSessionTest, SerialsThatAreNotNumbersOrComeFromTheClock) {
    // A serial with a letter: no next value, nothing written back.
    EepSession s = session();
    dir.write("letter.eep", readerFile("\"12A4\""));
    ASSERT_TRUE(s.load(dir.file("letter.eep"), 0x12, autoMode).loaded);
    EXPECT_FALSE(s.serialIsNumeric());
    EXPECT_FALSE(s.nextSerial(autoMode).computed);
    const HandOffResult h = s.handOff(autoMode);
    EXPECT_FALSE(h.fileRewritten);
    EXPECT_FALSE(h.startText);
    EXPECT_EQ(dir.read("letter.eep"), readerFile("\"12A4\""));

    // Random mode: the time stamp is the serial; nothing is stored.
    const std::string shortFile = eep_test::bodyFile({"0C45", "6366", "0001", "0001", "0000", "0000", "0010",
                                                      "[S-STR]", "\"1\""});
    dir.write("short.eep", shortFile);
    const SerialSettings random{SerialMode::Random, "", ""};
    ASSERT_TRUE(s.load(dir.file("short.eep"), 0x12, random).loaded);
    EXPECT_EQ(s.strings().serial, "20261207210509042");
    EXPECT_EQ(imageSerial(s), "20261207210509042");
    EXPECT_TRUE(s.nextSerial(random).computed);
    const HandOffResult none = s.handOff(random);
    EXPECT_FALSE(none.fileRewritten);
    EXPECT_FALSE(none.startText);
    EXPECT_EQ(dir.read("short.eep"), shortFile);
}

TEST_F(EepSessionTest, LoadSaveLoadChangesOnlyWhatTheWriterDefines) {
    dir.write("reader.eep", readerFile());
    EepSession s = session();
    const LoadResult first = s.load(dir.file("reader.eep"), 0x12, autoMode);
    ASSERT_TRUE(first.loaded);
    FieldTexts f;
    first.fields->applyTo(f);
    const Image image = s.image();
    const Strings strings = s.strings();
    const Fields fields = s.fields();

    const SaveResult saved = s.saveAs(dir.file("copy.eep"), 0x12, f);
    ASSERT_TRUE(saved.saved);
    EXPECT_TRUE(saved.messages.empty());
    EXPECT_EQ(saved.fileTitle, "copy.eep");
    EXPECT_TRUE(s.savedFlag());
    EXPECT_EQ(s.savedPath(), dir.file("copy.eep"));
    EXPECT_FALSE(dir.exists("Temp.eep"));
    EXPECT_EQ(dir.read("reader.eep"), readerFile());

    // The saved copy loads to the same image, strings and settings.
    EepSession other = session();
    ASSERT_TRUE(other.load(dir.file("copy.eep"), 0x12, autoMode).loaded);
    EXPECT_EQ(other.image(), image);
    EXPECT_EQ(other.strings(), strings);
    EXPECT_EQ(other.fields(), fields);

    // Changed fields come back through the reload that a run does after a
    // save; the saved file becomes the loaded file.
    f.vid = "1D6B";
    f.config1 = "34";
    f.icons[kMS][1] = true;
    f.vendorStr = "Acme";
    ASSERT_TRUE(s.saveAs(dir.file("copy.eep"), 0x12, f).saved);
    ASSERT_TRUE(s.reloadBeforeRun(SerialMode::AutoIncrement));
    const ReloadResult r = s.reload(0x12, autoMode);
    ASSERT_TRUE(r.runMayStart);
    EXPECT_EQ(s.loadedPath(), dir.file("copy.eep"));
    EXPECT_FALSE(s.savedFlag());
    EXPECT_EQ(s.image()[0], 0x1D6B);
    EXPECT_EQ(s.image()[6], 0xA050);   // icon 1: SM + MS
    EXPECT_EQ(s.image()[9], 0x0034);
    EXPECT_EQ(s.strings().vendor, "Acme");
    EXPECT_NE(s.image()[63], image[63]);   // the checksum follows
    EXPECT_EQ(r.fields->vid, "1D6B");
    for (int w = 15; w < 63; ++w) {
        EXPECT_EQ(s.image()[w], image[w]) << "word " << w;   // behind the vendor string
    }
}

TEST_F(EepSessionTest, SaveStopsWithoutTouchingTheTarget) {
    dir.write("reader.eep", readerFile());
    dir.write("target.eep", "keep me");
    EepSession s = session();
    const LoadResult l = s.load(dir.file("reader.eep"), 0x12, autoMode);
    ASSERT_TRUE(l.loaded);
    FieldTexts f;
    l.fields->applyTo(f);

    EXPECT_FALSE(s.saveAs("", 0x12, f).saved);   // cancelled

    FieldTexts wrongIcons = f;
    wrongIcons.iconNumber = "00";
    EXPECT_EQ(s.saveAs(dir.file("target.eep"), 0x12, wrongIcons).messages,
              (std::vector<Message>{{"The icon display number is mismatch with reader icon setting.", "Error", Icon::Error}}));

    SessionOptions noWorkDir;
    noWorkDir.workDir = dir.file("missing");
    EepSession elsewhere(noWorkDir);
    ASSERT_TRUE(elsewhere.load(dir.file("reader.eep"), 0x12, autoMode).loaded);
    EXPECT_EQ(elsewhere.saveAs(dir.file("target.eep"), 0x12, f).messages,
              (std::vector<Message>{{"Error to open new file", "Error", Icon::Error}}));

    SessionOptions failingRename;
    failingRename.workDir = dir.path();
    failingRename.rename = [](const char*, const char*) { errno = EIO; return -1; };
    EepSession broken(failingRename);
    ASSERT_TRUE(broken.load(dir.file("reader.eep"), 0x12, autoMode).loaded);
    EXPECT_EQ(broken.saveAs(dir.file("target.eep"), 0x12, f).messages,
              (std::vector<Message>{{"Error to open new file", "Error", Icon::Error}}));
    EXPECT_FALSE(broken.savedFlag());
    broken.nextSerial(autoMode);
    EXPECT_FALSE(broken.handOff(autoMode).fileRewritten);
    EXPECT_EQ(dir.read("reader.eep"), readerFile());

    ::unlink(dir.file("reader.eep").c_str());
    EXPECT_EQ(s.saveAs(dir.file("target.eep"), 0x12, f).messages,
              (std::vector<Message>{{"Error to open file", "Error", Icon::Error}}));

    EXPECT_EQ(dir.read("target.eep"), "keep me");
    EXPECT_FALSE(s.savedFlag());
    EXPECT_FALSE(dir.exists("Temp.eep"));
}

namespace {

// Peak resident memory of this process, in KiB.
long peakRssKiB() {
    struct rusage u {};
    ::getrusage(RUSAGE_SELF, &u);
    return u.ru_maxrss;
}

// Runs fn in a child process and returns how far the child's peak resident
// memory rose above what it had when it started (KiB), or -1 when fn failed.
// A child of its own, so that what earlier tests touched does not hide the
// growth.
long peakGrowthKiB(const std::function<bool()>& fn) {
    int fds[2];
    if (::pipe(fds) != 0) return -1;
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::close(fds[0]);
        const long before = peakRssKiB();
        const long growth = fn() ? peakRssKiB() - before : -1;
        (void)!::write(fds[1], &growth, sizeof growth);
        ::_exit(0);
    }
    ::close(fds[1]);
    long growth = -1;
    if (pid < 0 || ::read(fds[0], &growth, sizeof growth) != sizeof growth) growth = -1;
    ::close(fds[0]);
    if (pid > 0) ::waitpid(pid, nullptr, 0);
    return growth;
}

}  // namespace

// Regression: the loader read the whole file and split all of it before
// validating, so blank lines after "[END]" cost memory without limit (30 MB
// of them took 880 MB) and an endless file ended in std::bad_alloc.
TEST_F(EepSessionTest, BlankLinesAfterEndCostNoMemoryToLoadSaveOrWriteBack) {
    constexpr size_t kTail = 8 << 20;
    {
        std::FILE* f = std::fopen(dir.file("tail.eep").c_str(), "wb");
        ASSERT_NE(f, nullptr);
        const std::string head = readerFile();
        std::fwrite(head.data(), 1, head.size(), f);
        const std::string blank(1 << 20, '\n');
        for (size_t k = 0; k < kTail; k += blank.size()) std::fwrite(blank.data(), 1, blank.size(), f);
        std::fclose(f);
    }
    const std::string path = dir.file("tail.eep"), copy = dir.file("copy.eep");
    const long growth = peakGrowthKiB([&] {
        EepSession s = session();
        if (!s.load(path, 0x12, autoMode).loaded || s.wordCount() != 64) return false;
        s.nextSerial(autoMode);
        if (!s.handOff(autoMode).fileRewritten) return false;   // the serial write-back copies the tail
        FieldTexts f;
        s.load(path, 0x12, autoMode).fields->applyTo(f);
        return s.saveAs(copy, 0x12, f).saved;                   // so does the save
    });
    std::printf("peak memory growth over load, write-back and save of a %zu MiB file: %ld KiB\n",
                kTail >> 20, growth);
    ASSERT_GE(growth, 0);
    EXPECT_LT(growth, 16 * 1024);   // whole-file reading took some 30 times the file
    // Both writers kept every line after "[END]".
    const std::string written = dir.read("tail.eep"), saved = dir.read("copy.eep");
    EXPECT_EQ(written.size(), readerFile().size() + kTail);
    EXPECT_NE(written.find("\"000124\""), std::string::npos);
    EXPECT_EQ(saved.size() - saved.find("[END]"), written.size() - written.find("[END]"));
}

// Regression: a FIFO or a link to /dev/zero chosen as the setup file made
// the load wait or read for ever.
TEST_F(EepSessionTest, FifoDeviceOrFolderIsAFileThatCannotBeOpened) {
    ASSERT_EQ(::mkfifo(dir.file("fifo.eep").c_str(), 0600), 0);
    ASSERT_EQ(::symlink("/dev/zero", dir.file("zero.eep").c_str()), 0);
    ASSERT_EQ(::mkdir(dir.file("folder.eep").c_str(), 0700), 0);
    dir.write("reader.eep", readerFile());
    EepSession s = session();
    for (const char* name : {"fifo.eep", "zero.eep", "folder.eep"}) {
        const LoadResult r = s.load(dir.file(name), 0x12, autoMode);
        EXPECT_EQ(r.messages, (std::vector<Message>{{"Error to open file", "Error", Icon::Error}})) << name;
        EXPECT_FALSE(r.loaded || s.loaded()) << name;
    }
    // A link to a regular file still loads.
    ASSERT_EQ(::symlink(dir.file("reader.eep").c_str(), dir.file("link.eep").c_str()), 0);
    EXPECT_TRUE(s.load(dir.file("link.eep"), 0x12, autoMode).loaded);
}
