// registry_support.h - a temporary bus whose registry the tests fill with
// device keys, instances, classes and hardware IDs.
#pragma once

#include "platform/os/regstore.h"
#include "regclean/registry_cleaner.h"
#include "tests/support/temp_bus.h"

#include <gtest/gtest.h>
#include <velk_sim.h>

#include <string>
#include <vector>

namespace regclean::testing {

inline constexpr const char* kHidClassGuid = "{745A17A0-74D3-11D0-B6FE-00A0C90F57DA}";

class RegistryTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(bus_.busOk()) << VelkSimLastError(); }

    regstore::Store store() const { return regstore::Store(bus_.bus() + "/registry"); }
    static std::string deviceKey(const std::string& device) { return std::string(kEnumUsbKey) + "\\" + device; }
    static std::string instanceKey(const std::string& device, const std::string& instance) {
        return deviceKey(device) + "\\" + instance;
    }

    // One instance of a device under the USB enumerator. cls empty: no
    // "Class" value; classGuid empty: no "ClassGUID"; ids empty: no
    // "HardwareID".
    void record(const std::string& device, const std::string& instance, const std::string& cls,
                std::vector<std::string> ids, const std::string& classGuid = regstore::kUsbClassGuid) {
        std::vector<std::pair<std::string, regstore::Value>> values;
        auto str = [](const std::string& s) {
            regstore::Value v;
            v.strings = {s};
            return v;
        };
        if (!cls.empty()) values.emplace_back("Class", str(cls));
        if (!classGuid.empty()) values.emplace_back("ClassGUID", str(classGuid));
        if (!ids.empty()) {
            regstore::Value v;
            v.type = regstore::Value::Type::MultiString;
            v.strings = std::move(ids);
            values.emplace_back("HardwareID", v);
        }
        values.emplace_back("DeviceDesc", str("Test device"));
        ASSERT_TRUE(store().createKeyWithValues(instanceKey(device, instance), values)) << device;
    }
    // A USB-class instance with the hardware IDs the platform gives a
    // device: "USB\<device>&Rev_<rev>", "USB\<device>".
    void recordUsb(const std::string& device, const std::string& instance, const std::string& rev = "0100") {
        record(device, instance, "USB", {"USB\\" + device + "&Rev_" + rev, "USB\\" + device});
    }

    bool exists(const std::string& key) const { return store().keyExists(key); }

    static std::vector<std::string> listed() {
        std::vector<std::string> names;
        ListUsbEntries([&](const std::string& n) { names.push_back(n); });
        return names;
    }

    testsupport::TempBus bus_;
};

}  // namespace regclean::testing
