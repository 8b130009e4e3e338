#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <sys/stat.h>

#include "atomic_replace.h"
#include "tests/support/temp_dir.h"

using namespace eep;
using testsupport::TempDir;

namespace {

bool replace(const TempDir& dir, const std::string& scratch, const std::string& content, const std::string& target,
             const std::string& source = "", ScratchFile::RenameFn rename = {}) {
    ScratchFile f(std::move(rename));
    return f.open(scratch) && f.commit(content, dir.file(target), source);
}

}  // namespace

TEST(AtomicReplace, ReplacesTheTargetAndConsumesTheScratch) {
    TempDir dir;
    dir.write("target.eep", "old");
    ::chmod(dir.file("target.eep").c_str(), 0640);
    dir.write("Temp.eep", "a much longer leftover");
    ASSERT_TRUE(replace(dir, dir.file("Temp.eep"), "new", "target.eep"));
    EXPECT_EQ(dir.read("target.eep"), "new");
    struct stat st {};
    ASSERT_EQ(::stat(dir.file("target.eep").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0640u);   // the replaced file's permissions
    ASSERT_TRUE(replace(dir, dir.file("Temp.eep"), "fresh", "new.eep"));
    EXPECT_EQ(dir.read("new.eep"), "fresh");
    EXPECT_EQ(dir.entries(), 2u);   // no scratch left
}

TEST(AtomicReplace, TheTargetSurvivesEveryFailure) {
    TempDir dir;
    dir.write("target.eep", "old");
    // The target is still whole when the rename happens (never deleted first).
    bool intactAtRename = false;
    EXPECT_FALSE(replace(dir, dir.file("Temp.eep"), "new", "target.eep", "", [&](const char*, const char*) {
        intactAtRename = dir.read("target.eep") == "old";
        errno = EIO;
        return -1;
    }));
    EXPECT_TRUE(intactAtRename);
    EXPECT_FALSE(replace(dir, dir.file("missing/Temp.eep"), "new", "target.eep"));
    std::filesystem::create_directory(dir.file("adir"));
    EXPECT_FALSE(replace(dir, dir.file("Temp.eep"), "new", "adir"));
    EXPECT_EQ(dir.read("target.eep"), "old");
    EXPECT_EQ(dir.entries(), 2u);   // target and adir; the scratch is gone again
}

TEST(AtomicReplace, AcrossFileSystemsGoesThroughAFileBesideTheTarget) {
    TempDir dir;
    dir.write("target.eep", "old");
    std::vector<std::string> renamed;
    ASSERT_TRUE(replace(dir, dir.file("Temp.eep"), "new", "target.eep", "", [&](const char* from, const char* to) {
        renamed.push_back(from);
        if (renamed.size() == 1) {
            errno = EXDEV;
            return -1;
        }
        return ::rename(from, to);
    }));
    ASSERT_EQ(renamed.size(), 2u);
    EXPECT_EQ(renamed[1].rfind(dir.file("target.eep.tmp"), 0), 0u);
    EXPECT_EQ(dir.read("target.eep"), "new");
    EXPECT_EQ(dir.entries(), 1u);

    TempDir other("/dev/shm");   // a real second file system, when there is one
    struct stat a {}, b {};
    if (!other.ok() || ::stat(dir.path().c_str(), &a) || ::stat(other.path().c_str(), &b) || a.st_dev == b.st_dev)
        GTEST_SKIP() << "no second file system";
    ASSERT_TRUE(replace(dir, other.file("Temp.eep"), "across", "target.eep"));
    EXPECT_EQ(dir.read("target.eep"), "across");
    EXPECT_EQ(dir.entries() + other.entries(), 1u);
}

TEST(AtomicReplace, ScratchThatIsTheTargetOrTheSourceIsLeftAlone) {
    // Regression: with the loaded file named Temp.eep, writing the scratch
    // truncated the very file being copied.
    TempDir dir;
    dir.write("Temp.eep", "template");
    ASSERT_TRUE(replace(dir, dir.file("Temp.eep"), "copy", "out.eep", dir.file("Temp.eep")));
    EXPECT_EQ(dir.read("Temp.eep"), "template");
    EXPECT_EQ(dir.read("out.eep"), "copy");
    ASSERT_TRUE(replace(dir, dir.file("Temp.eep"), "rewritten", "Temp.eep", dir.file("Temp.eep")));
    EXPECT_EQ(dir.read("Temp.eep"), "rewritten");
    EXPECT_EQ(dir.entries(), 2u);
}
