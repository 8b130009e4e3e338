// Tests of setup classes, device information sets and the device tree over a
// temporary simulated bus and its registry.
#include "os.h"
#include "os_internal.h"
#include "os_test_support.h"
#include "regstore.h"

#include <velk_sim.h>

namespace {

using os::DeviceInfoSet;
using os::DevInst;

const std::string kEnumUsb = "SYSTEM\\CurrentControlSet\\Enum\\USB";

// The console's walk: a present device of the class "usb" whose hardware IDs
// can be read and whose first child has a child of its own.
bool walkFinds() {
    for (const auto& guid : os::classGuidsFromName("usb", 8)) {
        auto set = DeviceInfoSet::classDevices(guid, true);
        for (size_t i = 0; auto dev = set.device(i); ++i) {
            if (!set.hardwareIds(*dev)) continue;
            auto child = os::firstChild(*dev);
            if (child && os::firstChild(*child)) return true;
        }
    }
    return false;
}

std::vector<std::vector<std::string>> allIds(const DeviceInfoSet& set) {
    std::vector<std::vector<std::string>> out;
    for (size_t i = 0; auto dev = set.device(i); ++i) out.push_back(set.hardwareIds(*dev).value_or(std::vector<std::string>{}));
    return out;
}

class DevTree : public ostest::BusTest {};

TEST(SetupClass, OnlyUsbIsKnownAndRoomLimitsTheCount) {
    for (const char* name : {"USB", "usb", "Usb"})
        EXPECT_EQ(os::classGuidsFromName(name), std::vector<os::Guid>{regstore::kUsbClassGuid}) << name;
    EXPECT_TRUE(os::classGuidsFromName("USB", 0).empty());
    for (const char* name : {"", "HIDClass", "USBSTOR", "usb "}) EXPECT_TRUE(os::classGuidsFromName(name).empty()) << name;
    EXPECT_EQ(DeviceInfoSet::classDevices("{6D2F41A8-3B7E-4C90-9E15-2A84C3F07B6D}", true).nodes().size(), 0u);
}

TEST_F(DevTree, EmptyBusHasControllerAndRootHubButNothingBelow) {
    auto set = DeviceInfoSet::classDevices(regstore::kUsbClassGuid, true);
    ASSERT_EQ(set.nodes().size(), 2u);
    EXPECT_EQ(allIds(set)[1], std::vector<std::string>{"USB\\ROOT_HUB"});
    EXPECT_EQ(allIds(set)[0].back(), "PCI\\VEN_8086&DEV_7020");
    EXPECT_FALSE(set.device(2));
    DevInst controller = *set.device(0), hub = *set.device(1);
    EXPECT_EQ(os::firstChild(controller), hub);
    EXPECT_FALSE(os::firstChild(hub));
    EXPECT_FALSE(walkFinds());
    EXPECT_FALSE(os::firstChild(0));
    EXPECT_FALSE(os::firstChild(0xFFFFFFu));
}

TEST_F(DevTree, AttachedDeviceHangsBelowTheRootHubWithItsStorageChild) {
    createDevice("r1", "reader", {"vid=3A7C", "pid=0760", "rev=0100", "instance=5&1A2B&0&1"});
    auto set = DeviceInfoSet::classDevices(regstore::kUsbClassGuid, true);
    ASSERT_EQ(set.nodes().size(), 3u);
    DevInst controller = *set.device(0), hub = *set.device(1), dev = *set.device(2);
    EXPECT_EQ(allIds(set)[2], (std::vector<std::string>{"USB\\Vid_3a7c&Pid_0760&Rev_0100", "USB\\Vid_3a7c&Pid_0760"}));
    EXPECT_EQ(set.nodes()[2].registryKey, kEnumUsb + "\\Vid_3a7c&Pid_0760\\5&1A2B&0&1");

    EXPECT_EQ(os::firstChild(controller), hub);
    EXPECT_EQ(os::firstChild(hub), dev);
    auto storage = os::firstChild(dev);
    ASSERT_TRUE(storage);
    EXPECT_NE(*storage, dev);
    EXPECT_FALSE(os::firstChild(*storage));
    // The storage node is not of the USB class: no set lists it.
    EXPECT_FALSE(set.hardwareIds(*storage));
    EXPECT_TRUE(walkFinds());

    // Unplugged: the walk finds nothing and the old node has no child any more.
    ASSERT_NE(VelkSimUnplug("r1"), 0);
    EXPECT_FALSE(walkFinds());
    EXPECT_FALSE(os::firstChild(dev));
    EXPECT_FALSE(os::firstChild(hub));
    EXPECT_EQ(DeviceInfoSet::classDevices(regstore::kUsbClassGuid, true).nodes().size(), 2u);

    // Back again: the same node number as before.
    ASSERT_NE(VelkSimPlug("r1"), 0);
    auto again = DeviceInfoSet::classDevices(regstore::kUsbClassGuid, true);
    ASSERT_EQ(again.nodes().size(), 3u);
    EXPECT_EQ(*again.device(2), dev);
    EXPECT_EQ(os::firstChild(dev), storage);
    EXPECT_TRUE(walkFinds());
}

TEST_F(DevTree, RootHubsFirstChildIsTheFirstAttachedDevice) {
    createDevice("b-disk", "flashdisk", {"instance=5&B&0&2"});
    createDevice("a-reader", "reader", {"instance=5&A&0&1"});
    auto set = DeviceInfoSet::classDevices(regstore::kUsbClassGuid, true);
    ASSERT_EQ(set.nodes().size(), 4u);
    EXPECT_EQ(os::firstChild(*set.device(1)), *set.device(2));
    EXPECT_NE(set.nodes()[2].registryKey.find("5&A&0&1"), std::string::npos);
    ASSERT_NE(VelkSimUnplug("a-reader"), 0);
    auto after = DeviceInfoSet::classDevices(regstore::kUsbClassGuid, true);
    ASSERT_EQ(after.nodes().size(), 3u);
    EXPECT_EQ(os::firstChild(*after.device(1)), *after.device(2));
    EXPECT_NE(after.nodes()[2].registryKey.find("5&B&0&2"), std::string::npos);
    EXPECT_TRUE(walkFinds());
}

TEST_F(DevTree, FullSetListsRecordedDevicesPresentOrNot) {
    createDevice("old", "reader", {"vid=3A7C", "pid=0760", "rev=0100", "instance=5&OLD&0&1"});
    createDevice("now", "flashdisk", {"vid=3A7C", "pid=0721", "rev=0200", "instance=5&NOW&0&1"});
    ASSERT_NE(VelkSimUnplug("old"), 0);
    regstore::Store store(os::detail::registryRoot());
    // Recorded by hand: one of another class, one with only a "Class" value.
    regstore::Value hid;
    hid.strings = {"HIDClass"};
    ASSERT_TRUE(store.createKey(kEnumUsb + "\\Vid_046d&Pid_c52b\\6&1&0&3"));
    ASSERT_TRUE(store.setValue(kEnumUsb + "\\Vid_046d&Pid_c52b\\6&1&0&3", "Class", hid));
    regstore::Value usb;
    usb.strings = {"USB"};
    ASSERT_TRUE(store.createKey(kEnumUsb + "\\Vid_1234&Pid_5678\\7&2&0&1"));
    ASSERT_TRUE(store.setValue(kEnumUsb + "\\Vid_1234&Pid_5678\\7&2&0&1", "Class", usb));

    auto present = DeviceInfoSet::classDevices(regstore::kUsbClassGuid, true);
    ASSERT_EQ(present.nodes().size(), 3u);

    auto all = DeviceInfoSet::classDevices(regstore::kUsbClassGuid, false);
    std::vector<std::string> keys;
    for (const auto& n : all.nodes()) keys.push_back(n.registryKey);
    EXPECT_EQ(keys, (std::vector<std::string>{"", "", kEnumUsb + "\\Vid_1234&Pid_5678\\7&2&0&1",
                                              kEnumUsb + "\\Vid_3a7c&Pid_0721\\5&NOW&0&1",
                                              kEnumUsb + "\\Vid_3a7c&Pid_0760\\5&OLD&0&1"}));
    auto ids = allIds(all);
    EXPECT_TRUE(ids[2].empty());  // no "HardwareID" recorded: the property cannot be read
    EXPECT_FALSE(all.hardwareIds(*all.device(2)));
    EXPECT_EQ(ids[4].front(), "USB\\Vid_3a7c&Pid_0760&Rev_0100");
    // The present device is the same node in both sets; the absent one has no children.
    EXPECT_EQ(*all.device(3), *present.device(2));
    EXPECT_FALSE(os::firstChild(*all.device(4)));
}

TEST_F(DevTree, RemoveDeletesInstanceThenDeviceKey) {
    createDevice("one", "reader", {"vid=3A7C", "pid=0760", "instance=5&A&0&1"});
    createDevice("two", "reader", {"vid=3A7C", "pid=0760", "instance=5&B&0&2"});
    ASSERT_NE(VelkSimUnplug("one"), 0);
    ASSERT_NE(VelkSimUnplug("two"), 0);
    regstore::Store store(os::detail::registryRoot());
    const std::string device = kEnumUsb + "\\Vid_3a7c&Pid_0760";
    ASSERT_EQ(store.subkeys(device).size(), 2u);

    // The way the cleaner removes: by index to the end, the set unchanged by a removal.
    auto set = DeviceInfoSet::classDevices(regstore::kUsbClassGuid, false);
    ASSERT_EQ(set.nodes().size(), 4u);
    EXPECT_FALSE(set.remove(*set.device(0)));  // controller: nothing to delete
    EXPECT_FALSE(set.remove(*set.device(1)));  // root hub
    ASSERT_TRUE(set.remove(*set.device(2)));
    EXPECT_EQ(store.subkeys(device), std::vector<std::string>{"5&B&0&2"});
    EXPECT_TRUE(set.device(3));
    EXPECT_FALSE(set.remove(*set.device(2)));  // gone meanwhile: a failure, not a success
    ASSERT_TRUE(set.remove(*set.device(3)));
    EXPECT_FALSE(store.keyExists(device));
    EXPECT_TRUE(store.keyExists(kEnumUsb));
    EXPECT_EQ(DeviceInfoSet::classDevices(regstore::kUsbClassGuid, false).nodes().size(), 2u);
    EXPECT_FALSE(set.remove(12345));  // not in the set
}

}  // namespace
