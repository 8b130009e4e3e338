// Tests of device-change events: the comparison of two views of the bus, and
// the poller over a temporary bus.
#include "os.h"
#include "os_internal.h"
#include "os_test_support.h"
#include "regstore.h"

#include "ui/dialog.h"
#include <velk_sim.h>

#include <cstdlib>
#include <functional>

namespace {

using os::detail::BusEntry;
using Events = std::vector<std::pair<std::string, unsigned>>;
constexpr unsigned kArrival = ui::DBT_DEVICEARRIVAL;
constexpr unsigned kRemoval = ui::DBT_DEVICEREMOVECOMPLETE;

TEST(BusEvents, OneEventPerDeviceThatCameOrLeft) {
    struct Case {
        const char* name;
        std::vector<BusEntry> before, after;
        Events expected;
    };
    const std::vector<Case> cases = {
        {"nothing changed", {{"a", true}, {"b", false}}, {{"a", true}, {"b", false}}, {}},
        {"plugged", {{"a", false}}, {{"a", true}}, {{"a", kArrival}}},
        {"unplugged", {{"a", true}}, {{"a", false}}, {{"a", kRemoval}}},
        {"created attached", {}, {{"a", true}}, {{"a", kArrival}}},
        {"created unplugged", {}, {{"a", false}}, {}},
        {"deleted while attached", {{"a", true}}, {}, {{"a", kRemoval}}},
        {"deleted while unplugged", {{"a", false}}, {}, {}},
        {"removals before arrivals, each by name",
         {{"a", false}, {"b", true}, {"c", false}, {"d", true}},
         {{"a", true}, {"b", false}, {"c", true}, {"d", false}},
         {{"b", kRemoval}, {"d", kRemoval}, {"a", kArrival}, {"c", kArrival}}},
        {"order of the lists does not matter",
         {{"z", true}, {"y", false}},
         {{"y", true}, {"z", true}},
         {{"y", kArrival}}},
    };
    for (const auto& c : cases) EXPECT_EQ(os::detail::busEvents(c.before, c.after), c.expected) << c.name;
}

class DeviceChangePoll : public ostest::BusTest {};

TEST_F(DeviceChangePoll, PollerReportsPlugUnplugAndDeletion) {
    // The first poll on a new bus only takes its view.
    os::detail::pollDeviceChanges();
    createDevice("r1", "reader");
    EXPECT_EQ(os::detail::pollDeviceChanges(), (Events{{"r1", kArrival}}));
    EXPECT_EQ(os::detail::pollDeviceChanges(), Events{});  // nothing new
    ASSERT_NE(VelkSimUnplug("r1"), 0);
    createDevice("r2", "flashdisk");
    EXPECT_EQ(os::detail::pollDeviceChanges(), (Events{{"r1", kRemoval}, {"r2", kArrival}}));
    ASSERT_NE(VelkSimSetMedia("r2", 0, 0), 0);  // no attach change: no event
    EXPECT_EQ(os::detail::pollDeviceChanges(), Events{});
    ASSERT_NE(VelkSimRemove("r2"), 0);
    EXPECT_EQ(os::detail::pollDeviceChanges(), (Events{{"r2", kRemoval}}));
}


// A dialog that records the device changes it receives; "Open" (100) runs a
// nested one that ends on its first event.
class Listener : public ui::Dialog {
public:
    Listener(std::string name, Events& log, bool endOnChange)
        : ui::Dialog(makeTemplate(name)), name_(std::move(name)), log_(log), endOnChange_(endOnChange) {}
    static ui::DialogTemplate makeTemplate(const std::string& caption) {
        ui::DialogTemplate t;
        t.id = 901;
        t.caption = caption;
        t.cx = 120;
        t.cy = 60;
        t.controls.push_back({100, ui::Kind::PushButton, "Open", {10, 10, 50, 14}, 0});
        t.controls.push_back({101, ui::Kind::PushButton, "Quick", {10, 30, 50, 14}, 0});
        return t;
    }
    bool onInitDialog() override {
        registered = os::registerDeviceNotification(*this, regstore::kUsbClassGuid);
        return true;
    }
    int onDeviceChange(unsigned event) override {
        log_.emplace_back(name_, event);
        registeredAtEvent = os::detail::registeredDialogs();
        if (endOnChange_) endDialog(ui::IDOK);
        return 1;
    }
    void onCommand(int id) override {
        if (id == 101) {
            // Registers, then ends before its window is ever shown.
            struct Quick : ui::Dialog {
                Quick() : ui::Dialog(makeTemplate("quick")) {}
                bool onInitDialog() override {
                    os::registerDeviceNotification(*this, regstore::kUsbClassGuid);
                    endDialog(ui::IDOK);
                    return true;
                }
            } quick;
            quick.runModal();
            return;
        }
        if (id != 100) return ui::Dialog::onCommand(id);
        Listener nested("nested", log_, true);
        nested.runModal();
        nestedRegistered = nested.registered;
        afterNested = os::detail::registeredDialogs();
    }
    bool registered = false;
    bool nestedRegistered = false;
    size_t afterNested = 0;
    size_t registeredAtEvent = 0;

private:
    std::string name_;
    Events& log_;
    bool endOnChange_;
};

class DeviceNotification : public ostest::BusTest {
protected:
    void TearDown() override {
        os::failDeviceNotification(false);
        ::unsetenv("TAVRIN_FAIL_DEVICE_NOTIFICATION");
        ostest::BusTest::TearDown();
    }
};

// Also guards against a destroyed dialog left on the list (the "plug" after
// the nested dialog ended would post to freed memory).
TEST_F(DeviceNotification, EveryRegisteredDialogGetsEachPlugAndUnplugOnce) {
    createDevice("r1", "reader");
    createDevice("gone", "reader");  // changes before the registration are no events
    ASSERT_NE(VelkSimUnplug("gone"), 0);
    Events log;
    bool registered = false, nestedRegistered = false;
    size_t afterNested = 99;
    std::string transcript;
    int code = ostest::runScript("click 100\nunplug r1\nplug r1\n", [&] {
        Listener main("main", log, false);
        main.runModal();
        registered = main.registered;
        nestedRegistered = main.nestedRegistered;
        afterNested = main.afterNested;
    }, &transcript);
    EXPECT_EQ(code, 0) << transcript;
    EXPECT_TRUE(registered);
    EXPECT_TRUE(nestedRegistered);
    EXPECT_EQ(afterNested, 1u);
    EXPECT_EQ(log, (Events{{"main", kRemoval}, {"nested", kRemoval}, {"main", kArrival}})) << transcript;
    EXPECT_EQ(os::detail::registeredDialogs(), 0u);
}

// Guards against a dialog that ended inside its initialisation (no window
// shown, so no destruction notice) staying on the list as a dangling pointer.
TEST_F(DeviceNotification, DialogEndedBeforeShowingIsDropped) {
    createDevice("r1", "reader");
    Events log;
    size_t atEvent = 0;
    std::string transcript;
    ostest::runScript("click 101\nunplug r1\n", [&] {
        Listener main("main", log, false);
        main.runModal();
        atEvent = main.registeredAtEvent;
    }, &transcript);
    EXPECT_EQ(log, (Events{{"main", kRemoval}})) << transcript;
    EXPECT_EQ(atEvent, 1u);
}

TEST_F(DeviceNotification, RegistrationFailsWhenForcedOrWithoutWindow) {
    struct Case { const char* name; bool force; const char* env; const char* guid; bool expected; };
    const std::vector<Case> cases = {
        {"normal", false, nullptr, regstore::kUsbClassGuid, true},
        {"interface class, lower case", false, nullptr, "{6d2f41a8-3b7e-4c90-9e15-2a84c3f07b6d}", true},
        {"forced", true, nullptr, regstore::kUsbClassGuid, false},
        {"environment", false, "1", regstore::kUsbClassGuid, false},
        {"environment not 1", false, "0", regstore::kUsbClassGuid, true},
        {"no braces", false, nullptr, "36FC9E60-C465-11CF-8056-444553540000", false},
        {"bad digit", false, nullptr, "{36FC9E60-C465-11CF-8056-44455354000G}", false},
    };
    for (const auto& c : cases) {
        os::failDeviceNotification(c.force);
        if (c.env) ::setenv("TAVRIN_FAIL_DEVICE_NOTIFICATION", c.env, 1);
        std::optional<bool> result;
        ostest::runScript("advance 1\n", [&] {
            struct Probe : ui::Dialog {
                Probe(const char* g, std::optional<bool>& r) : ui::Dialog(Listener::makeTemplate("p")), guid(g), out(r) {}
                bool onInitDialog() override {
                    out = os::registerDeviceNotification(*this, guid);
                    return true;
                }
                const char* guid;
                std::optional<bool>& out;
            } probe(c.guid, result);
            probe.runModal();
        }, nullptr);
        EXPECT_EQ(result, c.expected) << c.name;
        ::unsetenv("TAVRIN_FAIL_DEVICE_NOTIFICATION");
    }
    os::failDeviceNotification(false);
    // A dialog that is not running has no window to register.
    Events log;
    Listener idle("idle", log, false);
    EXPECT_FALSE(os::registerDeviceNotification(idle, regstore::kUsbClassGuid));
    EXPECT_EQ(os::detail::registeredDialogs(), 0u);
}

}  // namespace
