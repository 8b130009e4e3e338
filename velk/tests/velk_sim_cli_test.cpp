// The velk-sim command: every profile made through the executable and read
// back through the device library; bad input answered with one line and exit 2.
#include "sim_fixture.h"

#include <cstring>
#include <fstream>
#include <sstream>
#include <sys/wait.h>

using namespace velktest;

namespace {

struct CliResult {
    int code = -1;
    std::string out, err;
};

class VelkSimCli : public SimTest {
protected:
    CliResult run(const std::string& args) {
        std::string outFile = dir_ + "/.out", errFile = dir_ + "/.err";
        std::string cmd = "VELK_SIM_DIR='" + dir_ + "' '" VELK_SIM_EXE "' " + args + " >'" + outFile + "' 2>'" + errFile + "'";
        int st = std::system(cmd.c_str());
        CliResult r;
        r.code = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
        std::ifstream o(outFile), e(errFile);
        std::stringstream so, se;
        so << o.rdbuf();
        se << e.rdbuf();
        r.out = so.str();
        r.err = se.str();
        return r;
    }
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
