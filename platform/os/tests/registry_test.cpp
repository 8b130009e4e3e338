// Tests of the programs' read access to the device registry: opening keys,
// enumerating subkeys by index, reading string values, on a temporary bus.
#include "os.h"
#include "os_internal.h"
#include "os_test_support.h"
#include "regstore.h"

#include <velk_sim.h>

namespace {

const std::string kEnumUsb = "SYSTEM\\CurrentControlSet\\Enum\\USB";

regstore::Value str(const std::string& s) {
    regstore::Value v;
    v.strings = {s};
    return v;
}

class RegistryKeyTest : public ostest::BusTest {
protected:
    regstore::Store store() const { return regstore::Store(os::detail::registryRoot()); }
};

TEST_F(RegistryKeyTest, OpensExistingKeysInAnySpellingAndNothingElse) {
    ASSERT_TRUE(store().createKey(kEnumUsb + "\\Vid_3a7c&Pid_0760\\inst"));
    EXPECT_TRUE(os::RegistryKey::open(kEnumUsb));
    EXPECT_TRUE(os::RegistryKey::open("system\\currentcontrolset\\enum\\usb\\VID_3A7C&PID_0760"));
    for (const std::string& missing : {kEnumUsb + "\\Vid_3a7c&Pid_07600", kEnumUsb + "\\", kEnumUsb + "\\\\x",
                                       std::string("SOFTWARE"), kEnumUsb + "\\Vid_3a7c&Pid_0760\\inst\\deeper"})
        EXPECT_FALSE(os::RegistryKey::open(missing)) << missing;
}

TEST_F(RegistryKeyTest, OpensSubkeysOfAnOpenKeyAsByTheirWholePath) {
    ASSERT_TRUE(store().createKeyWithValues(kEnumUsb + "\\Vid_3a7c&Pid_0760\\5&1&0&1", {{"Class", str("USB")}}));
    auto enumKey = os::RegistryKey::open(kEnumUsb);
    ASSERT_TRUE(enumKey);
    auto device = enumKey->openSubkey("VID_3A7C&PID_0760");
    ASSERT_TRUE(device);
    EXPECT_EQ(device->path(), kEnumUsb + "\\VID_3A7C&PID_0760");
    auto instance = device->openSubkey("5&1&0&1");
    ASSERT_TRUE(instance);
    EXPECT_EQ(instance->stringValue("Class"), "USB");
    auto direct = enumKey->openSubkey("Vid_3a7c&Pid_0760\\5&1&0&1");
    ASSERT_TRUE(direct);
    EXPECT_EQ(direct->stringValue("Class"), "USB");
    for (const char* missing : {"", "Vid_3a7c&Pid_07600", "..", "Vid_3a7c&Pid_0760\\", "\\Vid_3a7c&Pid_0760", "%values"})
        EXPECT_FALSE(enumKey->openSubkey(missing)) << missing;
    // The root of the registry opens too, and its subkeys by name.
    auto root = os::RegistryKey::open("");
    ASSERT_TRUE(root);
    EXPECT_EQ(root->subkeyName(0), "SYSTEM");
    EXPECT_EQ(root->openSubkey("SYSTEM")->path(), "SYSTEM");
}

TEST_F(RegistryKeyTest, EnumeratesSubkeysByIndexInRegistryOrder) {
    for (const char* name : {"Vid_b", "VID_a", "Vid_C", "ROOT_HUB"}) ASSERT_TRUE(store().createKey(kEnumUsb + "\\" + name));
    auto key = os::RegistryKey::open(kEnumUsb);
    ASSERT_TRUE(key);
    std::vector<std::string> names;
    for (size_t i = 0; auto name = key->subkeyName(i); ++i) names.push_back(*name);
    EXPECT_EQ(names, (std::vector<std::string>{"ROOT_HUB", "VID_a", "Vid_b", "Vid_C"}));
    EXPECT_FALSE(key->subkeyName(4));
    EXPECT_FALSE(key->subkeyName(size_t(-1)));

    // A key without subkeys enumerates nothing.
    auto leaf = os::RegistryKey::open(kEnumUsb + "\\Vid_b");
    ASSERT_TRUE(leaf);
    EXPECT_FALSE(leaf->subkeyName(0));
}

TEST_F(RegistryKeyTest, ReadsStringValuesWholeAndNothingOfOtherTypes) {
    const std::string key = kEnumUsb + "\\Vid_3a7c&Pid_0760\\inst";
    regstore::Value ids;
    ids.type = regstore::Value::Type::MultiString;
    ids.strings = {"USB\\Vid_3a7c&Pid_0760&Rev_0100", "USB\\Vid_3a7c&Pid_0760"};
    regstore::Value dword;
    dword.type = regstore::Value::Type::Dword;
    dword.dword = 7;
    const std::string longText(1000, 'x');
    ASSERT_TRUE(store().createKeyWithValues(key, {{"Class", str("USB")}, {"HardwareID", ids}, {"Capabilities", dword},
                                                {"DeviceDesc", str(longText)}}));
    auto k = os::RegistryKey::open(key);
    ASSERT_TRUE(k);
    EXPECT_EQ(k->stringValue("Class"), "USB");
    EXPECT_EQ(k->stringValue("CLASS"), "USB");
    EXPECT_EQ(k->stringValue("DeviceDesc"), longText);
    EXPECT_FALSE(k->stringValue("HardwareID"));
    EXPECT_FALSE(k->stringValue("Capabilities"));
    EXPECT_FALSE(k->stringValue("ClassGUID"));
}

// Guards against a key handle following the process to another bus.
TEST_F(RegistryKeyTest, AKeyStaysOnTheRegistryItWasOpenedOn) {
    ASSERT_TRUE(store().createKeyWithValues(kEnumUsb + "\\Vid_1\\i", {{"Class", str("USB")}}));
    auto key = os::RegistryKey::open(kEnumUsb + "\\Vid_1\\i");
    ASSERT_TRUE(key);
    ostest::TempDir other;
    const std::string before = VelkSimBusDir();
    ASSERT_NE(VelkSimSetBusDir(other.path().c_str()), 0);
    EXPECT_EQ(key->stringValue("Class"), "USB");
    EXPECT_FALSE(os::RegistryKey::open(kEnumUsb + "\\Vid_1\\i"));
    ASSERT_NE(VelkSimSetBusDir(before.c_str()), 0);
}

}  // namespace
