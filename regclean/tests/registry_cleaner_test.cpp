// The listing and the removal on the registry of a temporary simulated bus:
// the "Vid" prefix, the first instance's class, the removal pattern, every
// revision of a device and nothing that only looks like it.
#include "regclean/tests/registry_support.h"

namespace regclean::testing {
namespace {

using Names = std::vector<std::string>;

class Listing : public RegistryTest {};
class Removal : public RegistryTest {};

TEST_F(Listing, ListsVidKeysWhoseFirstInstanceIsOfTheUsbClass) {
    recordUsb("Vid_3a7c&Pid_0760", "5&1A2B&0&1");
    // The prefix is case-sensitive: neither spelling is listed.
    recordUsb("VID_3A7C&PID_0761", "5&1A2B&0&2");
    recordUsb("vid_3a7c&pid_0762", "5&1A2B&0&3");
    recordUsb("ROOT_HUB20", "4&1&0");
    // Another class.
    record("Vid_046d&Pid_c077", "6&1&0&1", "HIDClass", {"USB\\Vid_046d&Pid_c077&Rev_7200"}, kHidClassGuid);
    // Only the first instance (in the registry's order) decides.
    record("Vid_1111&Pid_0001", "1&a", "HIDClass", {"USB\\Vid_1111&Pid_0001"}, kHidClassGuid);
    recordUsb("Vid_1111&Pid_0001", "2&b");
    recordUsb("Vid_1111&Pid_0002", "1&a");
    record("Vid_1111&Pid_0002", "2&b", "HIDClass", {"USB\\Vid_1111&Pid_0002"}, kHidClassGuid);
    // A first instance without a readable "Class", and a key without instances.
    record("Vid_2222&Pid_0001", "1&a", "", {"USB\\Vid_2222&Pid_0001"});
    recordUsb("Vid_2222&Pid_0001", "2&b");
    ASSERT_TRUE(store().createKey(deviceKey("Vid_2222&Pid_0002")));
    // "Class" is compared on its first three characters, case-sensitive.
    record("Vid_2222&Pid_0003", "1&a", "usb", {"USB\\Vid_2222&Pid_0003"});
    record("Vid_2222&Pid_0004", "1&a", "USBDevice", {"USB\\Vid_2222&Pid_0004"});
    record("Vid_2222&Pid_0005", "1&a", "US", {"USB\\Vid_2222&Pid_0005"});

    EXPECT_EQ(listed(), (Names{"Vid_1111&Pid_0002", "Vid_2222&Pid_0004", "Vid_3a7c&Pid_0760"}));
}

TEST_F(Listing, ListsTheDevicesTheSimulatedBusRecordedAlsoWhenUnplugged) {
    ASSERT_NE(VelkSimCreate("disk", "flashdisk", nullptr), 0) << VelkSimLastError();
    const char* reader[] = {"instance=5&77&0&2", nullptr};
    ASSERT_NE(VelkSimCreate("reader", "reader", reader), 0) << VelkSimLastError();
    ASSERT_NE(VelkSimUnplug("reader"), 0);
    EXPECT_EQ(listed(), (Names{"Vid_3a7c&Pid_0721", "Vid_3a7c&Pid_0760"}));
}

TEST_F(Listing, AnEmptyOrMissingEnumeratorListsNothing) {
    EXPECT_TRUE(listed().empty());
    ASSERT_TRUE(store().createKey(kEnumUsbKey));
    EXPECT_TRUE(listed().empty());
    EXPECT_FALSE(IsUsbClassEntry(deviceKey("Vid_3a7c&Pid_0760")));
}

TEST_F(Listing, FollowsAnEntryInWhateverSpellingThePathIsGivenIn) {
    recordUsb("Vid_3a7c&Pid_0760", "5&1A2B&0&1");
    EXPECT_TRUE(IsUsbClassEntry(deviceKey("Vid_3a7c&Pid_0760")));
    EXPECT_TRUE(IsUsbClassEntry("system\\currentcontrolset\\enum\\usb\\VID_3A7C&PID_0760"));
    EXPECT_FALSE(IsUsbClassEntry(deviceKey("Vid_3a7c&Pid_076")));
}

TEST(RemovalPatternTest, IsTheEntryBelowUsbInLowerCase) {
    EXPECT_EQ(RemovalPattern("Vid_3A7C&Pid_0760"), "usb\\vid_3a7c&pid_0760");
    EXPECT_EQ(RemovalPattern(""), "usb\\");
}

TEST(RemovalPatternTest, MatchesTheWholeIdentityInAnyCaseAndNoLookAlike) {
    const std::string p = "usb\\vid_3a7c&pid_0760";
    for (const char* id : {"USB\\Vid_3a7c&Pid_0760&Rev_0100", "USB\\VID_3A7C&PID_0760&REV_0200", "USB\\Vid_3a7c&Pid_0760",
                           "usb\\vid_3a7c&pid_0760&mi_00"})
        EXPECT_TRUE(MatchesRemovalPattern(id, p)) << id;
    for (const char* id : {"USB\\Vid_3a7c&Pid_07600", "USB\\Vid_3a7c&Pid_07600&Rev_0100", "USB\\Vid_3a7c&Pid_076",
                           "USB\\Vid_3a7c&Pid_0761&Rev_0100", "XUSB\\Vid_3a7c&Pid_0760", "USBSTOR\\Vid_3a7c&Pid_0760",
                           " USB\\Vid_3a7c&Pid_0760", ""})
        EXPECT_FALSE(MatchesRemovalPattern(id, p)) << id;
    EXPECT_FALSE(MatchesRemovalPattern("USB\\Vid_3a7c&Pid_0760", ""));
}

// The registry of the removal tests: one device in three revisions (one with
// upper-case IDs), one instance of another class under the same key, and
// look-alikes whose IDs contain or are contained in the pattern.
class LookAlikes : public Removal {
protected:
    void SetUp() override {
        Removal::SetUp();
        recordUsb("Vid_3a7c&Pid_0760", "5&A&0&1", "0100");
        recordUsb("Vid_3a7c&Pid_0760", "5&B&0&2", "0200");
        record("Vid_3a7c&Pid_0760", "5&C&0&3", "USB", {"USB\\VID_3A7C&PID_0760&REV_0300", "USB\\VID_3A7C&PID_0760"});
        record("Vid_3a7c&Pid_0760", "6&H&0&1", "HIDClass", {"USB\\Vid_3a7c&Pid_0760&Rev_0100&MI_01"}, kHidClassGuid);
        recordUsb("Vid_3a7c&Pid_07600", "5&D&0&1");
        recordUsb("Vid_3a7c&Pid_076", "5&E&0&1");
        recordUsb("Vid_3a7c&Pid_0761", "5&F&0&1");
        // Its hardware IDs cannot be read: it is skipped, never removed.
        record("Vid_3a7c&Pid_0760", "5&G&0&4", "USB", {});
    }
};

TEST_F(LookAlikes, RemovesEveryRevisionAndLeavesOtherClassesAndLookAlikes) {
    const RemovalResult r = RemoveUsbDevices({RemovalPattern("Vid_3a7c&Pid_0760")});
    EXPECT_EQ(r.removed, 3u);
    EXPECT_EQ(r.failed, 0u);
    for (const char* gone : {"5&A&0&1", "5&B&0&2", "5&C&0&3"})
        EXPECT_FALSE(exists(instanceKey("Vid_3a7c&Pid_0760", gone))) << gone;
    EXPECT_TRUE(exists(instanceKey("Vid_3a7c&Pid_0760", "6&H&0&1")));
    EXPECT_TRUE(exists(instanceKey("Vid_3a7c&Pid_0760", "5&G&0&4")));
    EXPECT_TRUE(exists(instanceKey("Vid_3a7c&Pid_07600", "5&D&0&1")));
    EXPECT_TRUE(exists(instanceKey("Vid_3a7c&Pid_076", "5&E&0&1")));
    EXPECT_TRUE(exists(instanceKey("Vid_3a7c&Pid_0761", "5&F&0&1")));
}

// Guards against the substring match removing Vid_3a7c&Pid_0760 for the
// entry Vid_3a7c&Pid_076, whose pattern its IDs contain.
TEST_F(LookAlikes, AShorterEntryRemovesOnlyItsOwnDevice) {
    const RemovalResult r = RemoveUsbDevices({RemovalPattern("Vid_3a7c&Pid_076")});
    EXPECT_EQ(r.removed, 1u);
    EXPECT_FALSE(exists(deviceKey("Vid_3a7c&Pid_076")));
    for (const char* kept : {"5&A&0&1", "5&B&0&2", "5&C&0&3", "6&H&0&1"})
        EXPECT_TRUE(exists(instanceKey("Vid_3a7c&Pid_0760", kept))) << kept;
    EXPECT_TRUE(exists(instanceKey("Vid_3a7c&Pid_07600", "5&D&0&1")));
}

TEST_F(LookAlikes, SeveralEntriesGoInOnePassAndUnknownOnesRemoveNothing) {
    const RemovalResult r = RemoveUsbDevices({RemovalPattern("Vid_3a7c&Pid_07600"), RemovalPattern("Vid_3a7c&Pid_0761"),
                                              RemovalPattern("Vid_9999&Pid_0001"), ""});
    EXPECT_EQ(r.removed, 2u);
    EXPECT_EQ(r.failed, 0u);
    EXPECT_FALSE(exists(deviceKey("Vid_3a7c&Pid_07600")));
    EXPECT_FALSE(exists(deviceKey("Vid_3a7c&Pid_0761")));
    EXPECT_TRUE(exists(deviceKey("Vid_3a7c&Pid_076")));
    EXPECT_TRUE(exists(instanceKey("Vid_3a7c&Pid_0760", "5&A&0&1")));
    EXPECT_EQ(RemoveUsbDevices({}).removed, 0u);
}

TEST_F(Removal, TheDeviceKeyGoesWithItsLastInstanceAndTheListFollows) {
    recordUsb("Vid_3a7c&Pid_0760", "5&A&0&1", "0100");
    recordUsb("Vid_3a7c&Pid_0760", "5&B&0&2", "0200");
    recordUsb("Vid_3a7c&Pid_0721", "5&C&0&1");
    ASSERT_EQ(listed(), (Names{"Vid_3a7c&Pid_0721", "Vid_3a7c&Pid_0760"}));
    EXPECT_EQ(RemoveUsbDevices({RemovalPattern("Vid_3a7c&Pid_0760")}).removed, 2u);
    EXPECT_FALSE(exists(deviceKey("Vid_3a7c&Pid_0760")));
    EXPECT_EQ(listed(), (Names{"Vid_3a7c&Pid_0721"}));
}

// A device still attached whose record is already gone is in the device set
// but cannot be removed: that is reported once, and the rest still goes.
TEST_F(Removal, AFailedRemovalIsReportedOnceAndTheOthersStillGo) {
    const char* first[] = {"instance=5&A&0&1", nullptr};
    const char* second[] = {"instance=5&B&0&2", nullptr};
    ASSERT_NE(VelkSimCreate("r1", "reader", first), 0) << VelkSimLastError();
    ASSERT_NE(VelkSimCreate("r2", "reader", second), 0) << VelkSimLastError();
    ASSERT_TRUE(store().deleteKey(instanceKey("Vid_3a7c&Pid_0760", "5&A&0&1")));
    ASSERT_EQ(listed(), (Names{"Vid_3a7c&Pid_0760"}));

    int reported = 0;
    const RemovalResult r = RemoveUsbDevices({RemovalPattern("Vid_3a7c&Pid_0760")}, [&] { ++reported; });
    EXPECT_EQ(r.removed, 1u);
    EXPECT_EQ(r.failed, 1u);
    EXPECT_EQ(reported, 1);
    EXPECT_FALSE(exists(deviceKey("Vid_3a7c&Pid_0760")));
    EXPECT_TRUE(listed().empty());
}

TEST_F(Removal, ManyKeysListInOrderAndOnlyTheChosenGo) {
    Names all;
    for (int i = 0; i < 64; ++i) {
        char name[32];
        std::snprintf(name, sizeof name, "Vid_%04x&Pid_%04x", 0x1000 + i / 10, i % 10);
        recordUsb(name, "5&1&0&1");
        all.push_back(name);
    }
    EXPECT_EQ(listed(), all);
    const RemovalResult r = RemoveUsbDevices({RemovalPattern(all[0]), RemovalPattern(all[31]), RemovalPattern(all[63])});
    EXPECT_EQ(r.removed, 3u);
    Names left;
    for (size_t i = 0; i < all.size(); ++i)
        if (i != 0 && i != 31 && i != 63) left.push_back(all[i]);
    EXPECT_EQ(listed(), left);
}

}  // namespace
}  // namespace regclean::testing
