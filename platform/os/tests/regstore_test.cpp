// Tests of the file-backed registry: name rules, value round trips, hostile
// key names, atomicity against other processes, and the USB device record.
#include "regstore.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <set>

namespace fs = std::filesystem;
using regstore::Store;
using regstore::Value;

namespace {

class RegStore : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/regstore-test-XXXXXX";
        ASSERT_NE(::mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
    }
    void TearDown() override {
        std::error_code ec;
        fs::remove_all(dir_, ec);
    }
    fs::path root() const { return dir_ / "registry"; }

    static Value str(const std::string& s) {
        Value v;
        v.strings = {s};
        return v;
    }
    // Every file below the root whose name marks it as left over from a write.
    std::vector<std::string> leftovers() const {
        std::vector<std::string> out;
        for (auto& e : fs::recursive_directory_iterator(root())) {
            std::string n = e.path().filename().string();
            if (n.rfind("%tmp", 0) == 0 || n.rfind("%del", 0) == 0) out.push_back(n);
        }
        return out;
    }

    fs::path dir_;
};

TEST_F(RegStore, KeyAndValueNamesIgnoreCase) {
    Store s(root());
    ASSERT_TRUE(s.createKey("SYSTEM\\CurrentControlSet\\Enum"));
    EXPECT_TRUE(s.keyExists("system\\currentcontrolset\\ENUM"));
    EXPECT_FALSE(s.keyExists("system\\currentcontrolset\\Enumx"));

    // A second spelling of an existing key reuses it instead of adding a twin.
    ASSERT_TRUE(s.createKey("SYSTEM\\CURRENTCONTROLSET\\Enum\\USB"));
    EXPECT_EQ(s.subkeys("SYSTEM"), std::vector<std::string>{"CurrentControlSet"});

    ASSERT_TRUE(s.setValue("system\\currentcontrolset\\enum", "Class", str("USB")));
    ASSERT_TRUE(s.setValue("SYSTEM\\CurrentControlSet\\Enum", "CLASS", str("Net")));
    auto v = s.value("SYSTEM\\CurrentControlSet\\Enum", "class");
    ASSERT_TRUE(v);
    EXPECT_EQ(v->strings, std::vector<std::string>{"Net"});
    // Replaced in place: still a single value, under its first spelling.
    std::ifstream in(root() / "SYSTEM" / "CurrentControlSet" / "Enum" / "%values");
    std::string all((std::istreambuf_iterator<char>(in)), {});
    EXPECT_NE(all.find("\tClass\t"), std::string::npos);
    EXPECT_EQ(all.find("CLASS"), std::string::npos);

    EXPECT_FALSE(s.value("SYSTEM\\CurrentControlSet\\Enum", "Missing"));
    EXPECT_FALSE(s.value("SYSTEM\\Nowhere", "Class"));
    EXPECT_FALSE(s.setValue("SYSTEM\\Nowhere", "Class", str("x")));  // no implicit key
}

TEST_F(RegStore, SubkeysInCaseInsensitiveOrder) {
    Store s(root());
    for (const char* k : {"beta", "Alpha", "gamma", "Delta", "alpha2", "_x", "Zeta"})
        ASSERT_TRUE(s.createKey(std::string("Root\\") + k));
    EXPECT_EQ(s.subkeys("Root"),
              (std::vector<std::string>{"_x", "Alpha", "alpha2", "beta", "Delta", "gamma", "Zeta"}));
    EXPECT_TRUE(s.subkeys("Missing").empty());
    EXPECT_EQ(s.subkeys(""), std::vector<std::string>{"Root"});
}

TEST_F(RegStore, ValuesRoundTripEveryType) {
    Store s(root());
    ASSERT_TRUE(s.createKey("K"));
    Value multi;
    multi.type = Value::Type::MultiString;
    multi.strings = {"USB\\Vid_3a7c&Pid_0760", "tab\there", "two\r\nlines", "", "back\\\\slash\\"};
    Value empty;
    empty.type = Value::Type::MultiString;
    Value dword;
    dword.type = Value::Type::Dword;
    dword.dword = 0xFFFFFFFFu;
    ASSERT_TRUE(s.setValue("K", "Multi", multi));
    ASSERT_TRUE(s.setValue("K", "Empty", empty));
    ASSERT_TRUE(s.setValue("K", "Dword", dword));
    ASSERT_TRUE(s.setValue("K", "", str("default value")));
    ASSERT_TRUE(s.setValue("K", "name\twith\\odd\nchars", str("\\n is not a newline")));

    auto m = s.value("K", "multi");
    ASSERT_TRUE(m);
    EXPECT_EQ(m->type, Value::Type::MultiString);
    EXPECT_EQ(m->strings, multi.strings);
    auto e = s.value("K", "Empty");
    ASSERT_TRUE(e);
    EXPECT_EQ(e->type, Value::Type::MultiString);
    EXPECT_TRUE(e->strings.empty());
    auto d = s.value("K", "DWORD");
    ASSERT_TRUE(d);
    EXPECT_EQ(d->type, Value::Type::Dword);
    EXPECT_EQ(d->dword, 0xFFFFFFFFu);
    EXPECT_EQ(s.value("K", "")->strings, std::vector<std::string>{"default value"});
    EXPECT_EQ(s.value("K", "NAME\tWITH\\ODD\nCHARS")->strings,
              std::vector<std::string>{"\\n is not a newline"});
}

TEST_F(RegStore, DamagedValueLinesAreSkippedNotFatal) {
    Store s(root());
    ASSERT_TRUE(s.createKey("K"));
    std::ofstream(root() / "K" / "%values") << "REGSTORE 1\n"
                                            << "S\tGood\tyes\n"
                                            << "D\tTooBig\t4294967296\n"
                                            << "S\tBadEscape\tx\\q\n"
                                            << "X\tUnknown\t1\n"
                                            << "S\tTruncated\n"
                                            << "D\tCount\t7\n";
    EXPECT_EQ(s.value("K", "Good")->strings, std::vector<std::string>{"yes"});
    EXPECT_EQ(s.value("K", "Count")->dword, 7u);
    for (const char* bad : {"TooBig", "BadEscape", "Unknown", "Truncated"}) EXPECT_FALSE(s.value("K", bad)) << bad;
}

TEST_F(RegStore, HostileKeyNamesStayInsideTheirParent) {
    Store s(root());
    // Names a key may legally have that would mean something else as file names.
    const std::vector<std::string> names = {"..", ".", "a/b", "%values", "%lock", "%41", ".hidden", "%tmp.1"};
    for (const auto& n : names) ASSERT_TRUE(s.createKey("Top\\" + n)) << n;
    ASSERT_TRUE(s.setValue("Top\\..", "v", str("inside")));

    std::set<std::string> listed;
    for (auto& n : s.subkeys("Top")) listed.insert(n);
    EXPECT_EQ(listed, std::set<std::string>(names.begin(), names.end()));
    // Nothing escaped into the root's parent or the root itself.
    EXPECT_EQ(s.subkeys(""), std::vector<std::string>{"Top"});
    EXPECT_FALSE(fs::exists(dir_ / "v"));
    EXPECT_EQ(s.value("Top\\..", "v")->strings, std::vector<std::string>{"inside"});
    // The store's own files never show up as keys.
    EXPECT_TRUE(s.subkeys("Top\\..").empty());
    ASSERT_TRUE(s.deleteKey("Top\\.."));
    EXPECT_TRUE(s.keyExists("Top"));
    EXPECT_TRUE(s.keyExists("Top\\a/b"));
}

TEST_F(RegStore, MalformedPathsAreRefused) {
    Store s(root());
    for (const char* p : {"A\\\\B", "\\A", "A\\"}) {
        EXPECT_FALSE(s.createKey(p)) << p;
        EXPECT_FALSE(s.keyExists(p)) << p;
    }
    EXPECT_FALSE(s.deleteKey(""));  // the root is not a key
    EXPECT_FALSE(s.deleteKey("Missing"));
    EXPECT_TRUE(s.keyExists(""));   // created by the first attempted write
}

TEST_F(RegStore, DeleteRemovesTheWholeSubtreeAndLeavesNoDebris) {
    Store s(root());
    ASSERT_TRUE(s.createKey("A\\B\\C\\D"));
    ASSERT_TRUE(s.createKey("A\\Keep"));
    ASSERT_TRUE(s.setValue("A\\B\\C", "x", str("1")));
    ASSERT_TRUE(s.deleteKey("a\\b"));
    EXPECT_FALSE(s.keyExists("A\\B"));
    EXPECT_FALSE(s.keyExists("A\\B\\C\\D"));
    EXPECT_EQ(s.subkeys("A"), std::vector<std::string>{"Keep"});
    EXPECT_TRUE(leftovers().empty());
}

// Guards against lost updates: setValue is read-modify-write of one file, so
// writers in different processes must not overwrite each other's values.
TEST_F(RegStore, ConcurrentWritersInTwoProcessesLoseNothing) {
    Store s(root());
    ASSERT_TRUE(s.createKey("Shared"));
    constexpr int kPerProcess = 60;
    pid_t child = ::fork();
    ASSERT_GE(child, 0);
    const char* who = child == 0 ? "child" : "parent";
    bool ok = true;
    for (int i = 0; i < kPerProcess; ++i) {
        ok = s.setValue("Shared", std::string(who) + std::to_string(i), str(who)) && ok;
        // Every read sees a complete file: the first value is always there.
        if (i > 0) ok = s.value("Shared", std::string(who) + "0").has_value() && ok;
    }
    if (child == 0) ::_exit(ok ? 0 : 1);
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_TRUE(ok);
    for (const char* w : {"parent", "child"})
        for (int i = 0; i < kPerProcess; ++i)
            EXPECT_TRUE(s.value("Shared", std::string(w) + std::to_string(i))) << w << i;
    EXPECT_TRUE(leftovers().empty());
}

TEST_F(RegStore, UsbDeviceRecordAndItsKeyName) {
    Store s(root());
    EXPECT_EQ(regstore::usbDeviceKey(0x3A7C, 0x070A), "SYSTEM\\CurrentControlSet\\Enum\\USB\\Vid_3a7c&Pid_070a");
    ASSERT_TRUE(regstore::recordUsbDevice(s, 0x3A7C, 0x0760, 0x01AB, "5&1A2B3C4D&0&1", "Velk USB Device"));
    const std::string key = "SYSTEM\\CurrentControlSet\\Enum\\USB\\Vid_3a7c&Pid_0760\\5&1A2B3C4D&0&1";
    ASSERT_TRUE(s.keyExists(key));
    EXPECT_EQ(s.value(key, "Class")->strings, std::vector<std::string>{"USB"});
    EXPECT_EQ(s.value(key, "ClassGUID")->strings, std::vector<std::string>{regstore::kUsbClassGuid});
    auto ids = s.value(key, "HardwareID");
    ASSERT_TRUE(ids);
    EXPECT_EQ(ids->type, Value::Type::MultiString);
    EXPECT_EQ(ids->strings, (std::vector<std::string>{"USB\\Vid_3a7c&Pid_0760&Rev_01ab", "USB\\Vid_3a7c&Pid_0760"}));
    EXPECT_EQ(s.value(key, "DeviceDesc")->strings, std::vector<std::string>{"Velk USB Device"});

    // A later attach leaves what is recorded (and edited since) alone.
    ASSERT_TRUE(s.setValue(key, "DeviceDesc", str("Renamed")));
    ASSERT_TRUE(regstore::recordUsbDevice(s, 0x3A7C, 0x0760, 0x0200, "5&1A2B3C4D&0&1", "Velk USB Device"));
    EXPECT_EQ(s.value(key, "DeviceDesc")->strings, std::vector<std::string>{"Renamed"});
    EXPECT_EQ(s.value(key, "HardwareID")->strings.front(), "USB\\Vid_3a7c&Pid_0760&Rev_01ab");
    // A second instance of the same device sits beside the first.
    ASSERT_TRUE(regstore::recordUsbDevice(s, 0x3A7C, 0x0760, 0x0100, "5&99&0&2", "Velk USB Device"));
    EXPECT_EQ(s.subkeys("SYSTEM\\CurrentControlSet\\Enum\\USB\\VID_3A7C&PID_0760"),
              (std::vector<std::string>{"5&1A2B3C4D&0&1", "5&99&0&2"}));
    EXPECT_TRUE(leftovers().empty());
}

TEST_F(RegStore, WriteFailureIsReported) {
    // Obstacles that hold even for root: a file where a folder must go.
    Store s(root());
    ASSERT_TRUE(s.createKey("K"));
    fs::create_directory(root() / "K" / "%values");
    EXPECT_FALSE(s.setValue("K", "v", str("x")));
    EXPECT_FALSE(s.value("K", "v"));

    std::ofstream(dir_ / "plainfile") << "x";
    Store onFile(dir_ / "plainfile");
    EXPECT_FALSE(onFile.createKey("A"));
    EXPECT_FALSE(regstore::recordUsbDevice(onFile, 1, 2, 3, "i", "d"));
    EXPECT_FALSE(onFile.keyExists(""));
}

}  // namespace
