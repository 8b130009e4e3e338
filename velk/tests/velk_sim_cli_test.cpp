// The velk-sim command: every profile made through the executable and read
// back through the device library; bad input answered with one line and exit 2.
#include "sim_cli.h"
#include "sim_fixture.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <random>
#include <vector>

using namespace velktest;

namespace {

class VelkSimCli : public SimTest {
protected:
    CliResult run(const std::string& args) { return runCli(dir_, args); }
};

struct Expect {
    const char* profile;
    uint16_t pid;
    uint8_t cls;
    uint8_t luns;
    uint8_t chips;
    uint16_t pageSize;
};

}  // namespace

TEST_F(VelkSimCli, EveryProfileReadsBackThroughTheLibrary) {
    const Expect all[] = {
        {"reader", 0x0760, 0x10, 4, 0, 0},       {"reader12", 0x0762, 0x12, 4, 0, 0},
        {"reader14", 0x0764, 0x14, 4, 0, 0},     {"reader16", 0x0766, 0x16, 4, 0, 0},
        {"flashdisk", 0x0721, 0x21, 1, 2, 512},  {"flashdisk2k", 0x0722, 0x21, 1, 2, 2048},
        {"cdrom", 0x070A, 0x21, 2, 2, 512},      {"ide", 0x0701, 0x01, 1, 0, 0},
        {"demo", 0x0721, 0x21, 1, 2, 512},
    };
    int listed = 0;
    for (auto p = VelkSimProfiles(); *p; ++p) ++listed;
    EXPECT_EQ(listed, int(std::size(all))) << "every built-in profile is covered here";
    for (const auto& e : all) {
        SCOPED_TRACE(e.profile);
        CliResult r = run(std::string("create dev-") + e.profile + " --profile " + e.profile);
        ASSERT_EQ(r.code, 0) << r.err;
        Handle h(VelkCreateDeviceList(0x3A7C, e.pid, 1));
        ASSERT_NE(h.h, nullptr);
        DRIVE_INFO_COMMON* info = nullptr;
        uint8_t count = 0;
        ASSERT_EQ(VelkGetDriveInfo(h, &info, &count), 1);
        EXPECT_EQ(count, e.luns);
        EXPECT_EQ(info[0].LunCount, e.luns);
        EXPECT_EQ(info[0].DeviceClass, e.cls);
        EXPECT_EQ(uint8_t(info[count].DriveLetter), 0xFF);
        _FlashDiskInfo* fi = nullptr;
        if (e.chips) {
            ASSERT_EQ(VelkGetFlashInfo(h, 0, &fi), 1);
            EXPECT_EQ(fi[0].ChipCount, e.chips);
            EXPECT_EQ(fi[0].PageSize, e.pageSize);
        } else {
            ASSERT_EQ(VelkGetFlashInfo(h, 0, &fi), 1);
            EXPECT_EQ(fi[0].ChipCount, 0);
        }
        ASSERT_EQ(VelkReadEepData(h, 0), 1);
        ASSERT_EQ(VelkGetDriveInfo(h, &info, &count), 1);
        uint32_t valid = 0;
        std::memcpy(&valid, reinterpret_cast<uint8_t*>(info) + info[0].EepRecord, 4);
        EXPECT_EQ(valid, 1u) << "a new device carries a consistent EEPROM";
        // Leave only this device attached for the next lookup by PID.
        ASSERT_EQ(run(std::string("unplug dev-") + e.profile).code, 0);
    }
    CliResult list = run("list");
    EXPECT_EQ(list.code, 0);
    EXPECT_NE(list.out.find("dev-flashdisk2k"), std::string::npos);
}

TEST_F(VelkSimCli, SwitchesMediaButtonAndFaultsFromTheCommand) {
    ASSERT_EQ(run("create r --profile reader --set lun1.present=1 --set autoreplug=250").code, 0);
    Handle h(VelkCreateDeviceList(0, 0, 1));
    ASSERT_NE(h.h, nullptr);
    uint8_t type = 0;
    ASSERT_EQ(VelkGetLunMediaType(h, 1, &type), 1);
    EXPECT_EQ(type, VELK_MEDIA_SM);
    ASSERT_EQ(run("media r 1 out").code, 0);
    ASSERT_EQ(VelkGetLunMediaType(h, 1, &type), 1);
    EXPECT_EQ(type, 0);
    ASSERT_EQ(run("wp r on").code, 0);
    uint8_t st = 0;
    ASSERT_EQ(VelkGetUFDStatus(h, 0, &st), 1);
    EXPECT_EQ(st & 1, 1);
    ASSERT_EQ(run("button r").code, 0);
    ASSERT_EQ(VelkQueryButtonState(h, 0, &st), 1);
    EXPECT_EQ(st, 1);
    ASSERT_EQ(run("fault r drive-info").code, 0);
    DRIVE_INFO_COMMON* info = nullptr;
    uint8_t count = 0;
    EXPECT_EQ(VelkGetDriveInfo(h, &info, &count), 0);
    CliResult show = run("show r");
    EXPECT_EQ(show.code, 0);
    EXPECT_NE(show.out.find("drive-info"), std::string::npos) << show.out;
    EXPECT_NE(show.out.find("write-protect: on"), std::string::npos) << show.out;
    ASSERT_EQ(run("fault r clear").code, 0);
    ASSERT_EQ(run("unplug r").code, 0);
    EXPECT_EQ(VelkOpenDevice(h, 0), 0);
    ASSERT_EQ(run("plug r").code, 0);
    EXPECT_EQ(VelkOpenDevice(h, 0), 1);
    ASSERT_EQ(run("remove r").code, 0);
    EXPECT_EQ(VelkOpenDevice(h, 0), 0);
    EXPECT_EQ(run("list").out.find("\nr "), std::string::npos);
}

TEST_F(VelkSimCli, BadInputIsOneLineAndExitCode2) {
    ASSERT_EQ(run("create r --profile reader").code, 0);
    const char* bad[] = {
        "",                                     // no command
        "frobnicate",                           // unknown command
        "create x --profile nosuch",            // unknown profile
        "create x",                             // no profile
        "create r --profile reader",            // exists
        "create x --profile reader --set lun0.size=abc",  // bad number
        "create x --profile reader --set colour=blue",    // unknown setting
        "create ../x --profile reader",         // bad name
        "show nosuch",                          // no such device
        "media r x in",                         // bad number
        "media r 9 in",                         // no such LUN
        "media r 0 sideways",
        "wp r maybe",
        "fault r bad-block 0 1",                // reader has no flash
        "fault r warp-drive",                   // unknown fault
        "fault r eeprom-word 0x",               // bad number
        "plug nosuch",
    };
    for (const char* args : bad) {
        SCOPED_TRACE(args);
        CliResult r = run(args);
        EXPECT_EQ(r.code, 2);
        ASSERT_FALSE(r.err.empty());
        EXPECT_EQ(r.err.find('\n'), r.err.size() - 1) << "exactly one line: " << r.err;
        EXPECT_EQ(r.err.rfind("velk-sim: ", 0), 0u);
    }
    CliResult help = run("--help");
    EXPECT_EQ(help.code, 0);
    for (const char* word : {"bad-block", "lba-corrupt", "page-read", "no-reenum", "lun-count", "timing=", "autoreplug="})
        EXPECT_NE(help.out.find(word), std::string::npos) << word;
}

namespace {

// What the bus folder holds besides the bus's own files: device folders and
// scratch folders (".new-*", ".gone-*").
std::vector<std::string> deviceFolders(const std::string& bus) {
    std::vector<std::string> names;
    std::error_code ec;
    for (auto& e : std::filesystem::directory_iterator(bus + "/devices", ec)) names.push_back(e.path().filename());
    std::sort(names.begin(), names.end());
    return names;
}

// The only device on the bus reads back whole through the library: drive
// information, an EEPROM that decodes, the EEP copy in the ROM equal to the
// EEPROM, the flash geometry with its factory-bad blocks.
void expectWholeDevice(uint8_t chips, const std::vector<std::pair<uint8_t, uint32_t>>& bad) {
    Handle h(VelkCreateDeviceList(0, 0, 1));
    ASSERT_NE(h.h, nullptr) << "listed";
    DRIVE_INFO_COMMON* info = nullptr;
    uint8_t count = 0;
    ASSERT_EQ(VelkGetDriveInfo(h, &info, &count), 1);
    EXPECT_EQ(uint8_t(info[count].DriveLetter), 0xFF);
    ASSERT_EQ(VelkReadEepData(h, 0), 1);
    ASSERT_EQ(VelkGetDriveInfo(h, &info, &count), 1);
    uint32_t valid = 0;
    std::memcpy(&valid, reinterpret_cast<uint8_t*>(info) + info[0].EepRecord, 4);
    EXPECT_EQ(valid, 1u) << "the EEPROM decodes";
    uint16_t words[64];
    uint8_t copy[128];
    ASSERT_EQ(VelkReadEEPROM(h, 0, 0, 64, words), 1);
    ASSERT_EQ(VelkReadEepDataFromExternalROM(h, 0, 128, copy), 1);
    for (int i = 0; i < 64; ++i) ASSERT_EQ(copy[2 * i] | copy[2 * i + 1] << 8, words[i]) << "EEP copy word " << i;
    if (chips == 0) return;
    _FlashDiskInfo* fi = nullptr;
    ASSERT_EQ(VelkGetFlashInfo(h, 0, &fi), 1);
    EXPECT_EQ(fi[0].ChipCount, chips);
    for (auto& [c, b] : bad) EXPECT_EQ(VelkIsGoodBlock(h, 0, c, b), 0) << "factory-bad " << int(c) << ":" << b;
}

}  // namespace

// rom=4K with class=16 placed the EEP copy past the ROM and crashed create
// (SIGSEGV), depending on the order of the two settings.
TEST_F(VelkSimCli, RomAndClassInEitherOrderMakeAWholeDeviceOrOneLine) {
    struct Case {
        const char* a;
        const char* b;
        bool ok;
        uint32_t window;  // where the EEP copy lies
    } cases[] = {
        {"rom=4K", "class=16", false, 0},        {"rom=32K", "class=12", false, 0},
        {"rom=23K", "class=16", false, 0},       {"rom=47K", "class=12", false, 0},
        {"rom=24K", "class=16", true, 0x5F80},   {"rom=32K", "class=16", true, 0x5F80},
        {"rom=48K", "class=12", true, 0xBF80},   {"rom=4K", "class=10", true, 0x0F80},
        {"rom=16M", "class=21", true, 0xFFFF80}, {"rom=0x1080", "class=14", true, 0x1000},
    };
    for (const auto& c : cases)
        for (bool swap : {false, true}) {
            const std::string args = std::string("create w --profile flashdisk --set ") + (swap ? c.b : c.a) +
                                     " --set " + (swap ? c.a : c.b);
            SCOPED_TRACE(args);
            CliResult r = run(args);
            if (!c.ok) {
                EXPECT_TRUE(r.oneLineError()) << r.code << " " << r.err;
                EXPECT_NE(r.err.find("rom must be at least"), std::string::npos) << r.err;
                EXPECT_TRUE(deviceFolders(dir_).empty());
                continue;
            }
            ASSERT_EQ(r.code, 0) << r.err;
            CliResult show = run("show w");
            char at[32];
            std::snprintf(at, sizeof at, "EEP copy at %04Xh", c.window);
            EXPECT_NE(show.out.find(at), std::string::npos) << show.out;
            expectWholeDevice(2, {{0, 17}, {1, 300}});
            ASSERT_EQ(run("remove w").code, 0);
        }
}

// A profile's own factory-bad blocks follow a geometry made smaller; an
// explicit class never overrides an explicit signature, in either order.
TEST_F(VelkSimCli, DerivedSettingsDoNotDependOnTheirOrder) {
    ASSERT_EQ(run("create a --profile flashdisk --set chips=1").code, 0);
    expectWholeDevice(1, {{0, 17}});
    ASSERT_EQ(run("remove a").code, 0);
    ASSERT_EQ(run("create a --profile flashdisk --set blocks=16").code, 0) << "0:17 and 1:300 are gone with the blocks";
    expectWholeDevice(2, {});
    ASSERT_EQ(run("remove a").code, 0);
    CliResult r = run("create a --profile flashdisk --set blocks=16 --set bad=0:17");
    EXPECT_TRUE(r.oneLineError()) << r.err;
    EXPECT_NE(r.err.find("bad block 0:17 is outside the flash"), std::string::npos) << r.err;
    for (const char* order : {"--set signature=ABCD --set class=16", "--set class=16 --set signature=ABCD"}) {
        SCOPED_TRACE(order);
        ASSERT_EQ(run(std::string("create s --profile flashdisk ") + order).code, 0);
        Handle h(VelkCreateDeviceList(0, 0));
        uint8_t sig[4];
        ASSERT_EQ(VelkReadExternalROM(h, 0, 0xFC, 4, sig), 1);
        EXPECT_EQ(std::string(reinterpret_cast<char*>(sig), 4), "ABCD");
        ASSERT_EQ(run("remove s").code, 0);
    }
}

// Random sets of settings in random orders through the C ABI: each either
// makes a device that reads back whole or fails with one line and leaves
// nothing on the bus.
TEST_F(VelkSimCli, AnySettingsMakeAWholeDeviceOrOneLineAndNothingLeft) {
    const char* pool[] = {"rom=4K",        "rom=24K",        "rom=32K",      "rom=48K",          "rom=0x6000",
                          "class=10",      "class=12",       "class=14",     "class=16",         "class=21",
                          "class=01",      "chips=0",        "chips=1",      "chips=3",          "pagesize=512",
                          "pagesize=2048", "blocks=16",      "blocks=8,16",  "pages=4",          "pages=2,8",
                          "bad=0:1",       "bad=1:3",        "bad=none",     "bad=2:0",          "luns=1",
                          "luns=3",        "lun0.size=64K",  "lun1.size=1M", "lun0.media=cdrom", "lun2.present=0",
                          "signature=ABCD", "version=0200",  "timing=realistic", "rom=1M",       "lun0.sectors=1"};
    const char* profiles[] = {"reader", "reader12", "reader16", "flashdisk", "flashdisk2k", "cdrom", "ide"};
    uint32_t seed = 20240613;
    if (const char* s = std::getenv("VELK_TEST_SEED")) seed = uint32_t(std::strtoul(s, nullptr, 10));
    std::printf("seed %u (VELK_TEST_SEED)\n", seed);
    std::mt19937 rng(seed);
    int made = 0, refused = 0;
    for (int trial = 0; trial < 250; ++trial) {
        const char* profile = profiles[rng() % std::size(profiles)];
        std::vector<const char*> sets;
        for (size_t n = 1 + rng() % 6; sets.size() < n;) sets.push_back(pool[rng() % std::size(pool)]);
        std::string what = std::string(profile) + ":";
        for (auto* s : sets) what += std::string(" ") + s;
        SCOPED_TRACE("seed " + std::to_string(seed) + ", trial " + std::to_string(trial) + ": " + what);
        sets.push_back(nullptr);
        if (VelkSimCreate("s", profile, sets.data()) == 1) {
            ++made;
            VelkSimDeviceInfo info[2];
            ASSERT_EQ(VelkSimListDevices(info, 2), 1);
            EXPECT_EQ(info[0].damaged, 0);
            expectWholeDevice(0, {});
            ASSERT_EQ(VelkSimRemove("s"), 1);
        } else {
            ++refused;
            std::string e = VelkSimLastError();
            EXPECT_FALSE(e.empty());
            EXPECT_EQ(e.find('\n'), std::string::npos) << e;
        }
        ASSERT_TRUE(deviceFolders(dir_).empty()) << "nothing left on the bus";
    }
    EXPECT_GT(made, 20);
    EXPECT_GT(refused, 20);
}

// A line break in a --set value left a device folder that list hid, remove
// refused and create said existed.
TEST_F(VelkSimCli, LineBreakInASettingLeavesNoFolder) {
    for (const char* value : {"description=a\nb", "instance=5&1\n2", "description=tab\there", "version=01\r2"}) {
        SCOPED_TRACE(value);
        CliResult r = run(std::string("create x --profile flashdisk --set '") + value + "'");
        EXPECT_TRUE(r.oneLineError()) << r.err;
        EXPECT_NE(r.err.find("control character"), std::string::npos) << r.err;
        EXPECT_TRUE(deviceFolders(dir_).empty());
    }
    EXPECT_EQ(run("list").out.find("\nx "), std::string::npos);
    ASSERT_EQ(run("create x --profile flashdisk --set 'description=one line'").code, 0);
    ASSERT_EQ(run("remove x").code, 0);
}

// bad=256:5 marked block 0:5 and bad=0:4294967313 marked 0:17: numbers are
// range-checked before they are narrowed, in every setting and argument.
TEST_F(VelkSimCli, NumbersOutOfRangeAreRefusedBeforeNarrowing) {
    ASSERT_EQ(run("create r --profile flashdisk --set lun0.size=1M").code, 0);
    const char* bad[] = {
        "create x --profile flashdisk --set bad=256:5",
        "create x --profile flashdisk --set bad=0:4294967313",
        "create x --profile flashdisk --set bad=8:0",
        "create x --profile flashdisk --set bad=0x100:1",
        "create x --profile flashdisk --set bad=-1:1",
        "create x --profile flashdisk --set vid=0x10000",
        "create x --profile flashdisk --set pid=65536",
        "create x --profile flashdisk --set class=0x121",
        "create x --profile flashdisk --set luns=17",
        "create x --profile flashdisk --set luns=4294967297",
        "create x --profile flashdisk --set lun0.sectors=4294967296",
        "create x --profile flashdisk --set lun0.size=65537M",
        "create x --profile flashdisk --set lun0.size=18446744073709551615K",
        "create x --profile flashdisk --set lun4294967296.size=1M",
        "create x --profile flashdisk --set blocks=4294967297",
        "create x --profile flashdisk --set blocks=65537",
        "create x --profile flashdisk --set pages=257",
        "create x --profile flashdisk --set pages=4294967297",
        "create x --profile flashdisk --set chips=9",
        "create x --profile flashdisk --set chips=4294967297",
        "create x --profile flashdisk --set rom=4294967296",
        "create x --profile flashdisk --set rom=0x100000000",
        "create x --profile flashdisk --set autoreplug=18446744073709551616",
        "create x --profile flashdisk --set reenum=86400001",
        "fault r bad-block 4294967296 0",
        "fault r bad-block 256 5",
        "fault r bad-block 0 4294967313",
        "fault r page-read 0 0 4294967296",
        "fault r eeprom-word 4294967360",
        "fault r lun-count 256",
        "fault r lba-read 0 4294967296",
        "fault r lba-read 4294967296 0",
        "media r 4294967296 in",
        "media r 256 in",
        "media r -1 in",
        "media r 0x in",
    };
    for (const char* args : bad) {
        SCOPED_TRACE(args);
        CliResult r = run(args);
        EXPECT_TRUE(r.oneLineError()) << r.code << " " << r.err;
    }
    EXPECT_EQ(deviceFolders(dir_), std::vector<std::string>{"r"});
    CliResult show = run("show r");
    EXPECT_NE(show.out.find("faults:      none"), std::string::npos) << show.out;
    Handle h(VelkCreateDeviceList(0, 0));
    for (uint32_t b : {5u, 16u, 18u}) EXPECT_EQ(VelkIsGoodBlock(h, 0, 0, b), 1) << "block 0:" << b << " untouched";
}

// The README says numbers are decimal or 0x hexadecimal; media took decimal only.
TEST_F(VelkSimCli, MediaTakesAHexadecimalLun) {
    ASSERT_EQ(run("create r --profile reader").code, 0);
    Handle h(VelkCreateDeviceList(0, 0, 1));
    uint8_t type = 0xFF;
    ASSERT_EQ(VelkGetLunMediaType(h, 1, &type), 1);
    EXPECT_EQ(type, 0) << "SM/XD starts empty";
    ASSERT_EQ(run("media r 0x1 in").code, 0);
    ASSERT_EQ(VelkGetLunMediaType(h, 1, &type), 1);
    EXPECT_EQ(type, VELK_MEDIA_SM);
    ASSERT_EQ(run("media r 0X01 out").code, 0);
    ASSERT_EQ(VelkGetLunMediaType(h, 1, &type), 1);
    EXPECT_EQ(type, 0);
    ASSERT_EQ(run("fault r lba-read 0x2 0x10").code, 0);
    EXPECT_NE(run("show r").out.find("lba-read 2 16"), std::string::npos);
}
