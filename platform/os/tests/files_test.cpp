// Tests of the current directory and the version resource: marker parsing,
// the search rules, and the resource that version.cmake gives a program.
#include "os.h"
#include "os_internal.h"
#include "os_test_support.h"

#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <iterator>

namespace fs = std::filesystem;
using ostest::TempDir;
using ostest::writeFile;

namespace {

std::string marker(const std::string& version) {
    return os::detail::versionMarkerPrefix() + version + std::string(1, '\0');
}

// Bytes that look like an executable around the marker: an ELF header and
// binary noise with NULs.
std::string fakeExecutable(const std::string& version, size_t paddingBefore = 300) {
    std::string bytes = "\x7f" "ELF\x02\x01\x01";
    for (size_t i = 0; bytes.size() < paddingBefore; ++i) bytes += char((i * 37) & 0xFF);
    return bytes + marker(version) + std::string(200, '\0');
}

std::string text(const std::optional<os::FileVersion>& v) {
    if (!v) return "none";
    return std::to_string(v->major) + "." + std::to_string(v->minor) + "." + std::to_string(v->build) + "." +
           std::to_string(v->revision);
}

// Restores the working directory and PATH after a test changed them.
class Environment {
public:
    Environment() : cwd_(fs::current_path()), path_(std::getenv("PATH") ? std::getenv("PATH") : "") {}
    ~Environment() {
        std::error_code ec;
        fs::current_path(cwd_, ec);
        ::setenv("PATH", path_.c_str(), 1);
    }

private:
    fs::path cwd_;
    std::string path_;
};

TEST(VersionResource, ReadsTheFirstWellFormedMarker) {
    TempDir dir;
    struct Case { std::string name, bytes, expected; };
    const std::string prefix = os::detail::versionMarkerPrefix();
    const std::vector<Case> cases = {
        {"plain 1.4.4.4", fakeExecutable("1.4.4.4"), "1.4.4.4"},
        {"plain 0.9.1.2", fakeExecutable("0.9.1.2"), "0.9.1.2"},
        {"largest parts", fakeExecutable("65535.0.65535.1"), "65535.0.65535.1"},
        // The search prefix alone (as a string constant of the reader would be)
        // comes before the real marker.
        {"bare prefix first", prefix + std::string(1, '\0') + fakeExecutable("2.3.4.5"), "2.3.4.5"},
        {"two markers", fakeExecutable("1.0.0.1") + marker("9.9.9.9"), "1.0.0.1"},
        // Across the 64 KiB read boundary.
        {"marker across chunks", fakeExecutable("7.6.5.4", 65536 - 10), "7.6.5.4"},
        {"marker at the very end", std::string(100, 'x') + marker("1.2.3.4"), "1.2.3.4"},
        {"three parts", fakeExecutable("1.4.4"), "none"},
        {"five parts", fakeExecutable("1.4.4.4.4"), "none"},
        {"part too large", fakeExecutable("65536.1.1.1"), "none"},
        {"too many digits", fakeExecutable("000001.1.1.1"), "none"},
        {"trailing letter", fakeExecutable("1.4.4.4x"), "none"},
        {"empty part", fakeExecutable("1..4.4"), "none"},
        {"cut off before NUL", std::string(50, 'x') + prefix + "1.4.4.4", "none"},
        {"no marker", std::string(5000, 'y'), "none"},
        {"empty file", "", "none"},
    };
    for (const auto& c : cases) {
        fs::path f = dir.path() / "prog";
        writeFile(f, c.bytes, true);
        EXPECT_EQ(text(os::detail::readVersionResource(f)), c.expected) << c.name;
    }
    EXPECT_EQ(text(os::detail::readVersionResource(dir.path() / "missing")), "none");
    EXPECT_EQ(text(os::detail::readVersionResource(dir.path())), "none");
}

TEST(VersionResource, SearchOrderIsOwnFolderThenCurrentDirectoryThenPath) {
    TempDir exe, cwd, p1, p2;
    auto put = [](const TempDir& d, const std::string& name) { writeFile(d.path() / name, "x", true); };
    put(exe, "A");
    put(cwd, "A");
    put(p1, "A");
    put(cwd, "B");
    put(p1, "B");
    put(p1, "C");
    put(p2, "C");
    put(p2, "D");
    fs::create_directory(p1.path() / "E");  // a folder of that name does not count
    put(p2, "E");
    const std::string path = p1.path().string() + ":" + p2.path().string();
    auto where = [&](const std::string& name, const std::string& pathEnv) {
        auto f = os::detail::searchFile(name, exe.path(), cwd.path(), pathEnv);
        return f ? f->string() : std::string("none");
    };
    EXPECT_EQ(where("A", path), (exe.path() / "A").string());
    EXPECT_EQ(where("B", path), (cwd.path() / "B").string());
    EXPECT_EQ(where("C", path), (p1.path() / "C").string());
    EXPECT_EQ(where("D", path), (p2.path() / "D").string());
    EXPECT_EQ(where("E", path), (p2.path() / "E").string());
    EXPECT_EQ(where("F", path), "none");
    EXPECT_EQ(where("", path), "none");
    EXPECT_EQ(where("D", ""), "none");
    // A name with a folder part is not searched for.
    EXPECT_EQ(where((p2.path() / "D").string(), ""), (p2.path() / "D").string());
    EXPECT_EQ(where("sub/D", path), "none");
}

TEST(VersionResource, FileVersionFindsFakeProgramsOnPathAndInCurrentDirectory) {
    Environment restore;
    TempDir onPath, here;
    writeFile(onPath.path() / "FakeTavrin", fakeExecutable("1.4.4.4"), true);
    writeFile(here.path() / "FakeTavrin", fakeExecutable("0.9.1.2"), true);
    writeFile(onPath.path() / "NoVersion", std::string(1000, 'z'), true);
    ::setenv("PATH", onPath.path().c_str(), 1);
    EXPECT_EQ(text(os::fileVersion("FakeTavrin")), "1.4.4.4");
    fs::current_path(here.path());
    EXPECT_EQ(text(os::fileVersion("FakeTavrin")), "0.9.1.2");
    EXPECT_EQ(text(os::fileVersion("NoVersion")), "none");
    EXPECT_EQ(text(os::fileVersion("Missing")), "none");
}

TEST(VersionResource, ProgramCarriesTheVersionItWasBuiltWith) {
    // This test program is built with tavrin_version_resource(os_test 3.0.12.7)
    // and is found in its own folder whatever the current directory.
    Environment restore;
    TempDir elsewhere;
    fs::current_path(elsewhere.path());
    ::setenv("PATH", "", 1);
    fs::path self = fs::read_symlink("/proc/self/exe");
    EXPECT_EQ(text(os::fileVersion(self.filename().string())), "3.0.12.7");
}

TEST(CurrentDirectory, LongPathsAreNotCut) {
    Environment restore;
    TempDir dir;
    fs::path deep = dir.path();
    for (int i = 0; i < 12; ++i) deep /= std::string(40, char('a' + i));
    fs::create_directories(deep);
    fs::current_path(deep);
    EXPECT_GT(deep.string().size(), 400u);
    EXPECT_EQ(os::currentDirectory(), deep.string());
}

}  // namespace

std::string contentOf(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

size_t entriesIn(const fs::path& dir) {
    return size_t(std::distance(fs::directory_iterator(dir), fs::directory_iterator()));
}

TEST(ReplaceFile, ReplacesWholeKeepsTheModeAndLeavesNoScratchBehind) {
    TempDir dir;
    const fs::path file = dir.path() / "page.txt";
    ASSERT_EQ(os::replaceFile(file.string(), "first"), os::Replaced::Done);
    EXPECT_EQ(contentOf(file), "first");
    fs::permissions(file, fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
    ASSERT_EQ(os::replaceFile(file.string(), std::string(100000, 'x')), os::Replaced::Done);
    EXPECT_EQ(contentOf(file), std::string(100000, 'x'));
    EXPECT_EQ(fs::status(file).permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
    ASSERT_EQ(os::replaceFile(file.string(), ""), os::Replaced::Done);
    EXPECT_EQ(fs::file_size(file), 0u);
    EXPECT_EQ(entriesIn(dir.path()), 1u);
}

TEST(ReplaceFile, FolderOrMissingFolderCannotBeCreatedAndTouchesNothing) {
    TempDir dir;
    fs::create_directory(dir.path() / "sub");
    EXPECT_EQ(os::replaceFile((dir.path() / "sub").string(), "x"), os::Replaced::CannotCreate);
    EXPECT_TRUE(fs::is_directory(dir.path() / "sub"));
    EXPECT_EQ(os::replaceFile((dir.path() / "none" / "f").string(), "x"), os::Replaced::CannotCreate);
    EXPECT_EQ(os::replaceFile("", "x"), os::Replaced::CannotCreate);
    EXPECT_EQ(entriesIn(dir.path()), 1u);
}
