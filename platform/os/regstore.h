// regstore.h - the file-backed device registry of the simulated platform.
//
// The registry is a tree of keys under the bus directory
// ($VELK_SIM_DIR/registry). Key paths are written with backslashes, as key
// names of the platform ("SYSTEM\\CurrentControlSet\\Enum\\USB\\Vid_3a7c&Pid_0760").
// Name comparison of keys and values is case-insensitive, as on the platform;
// subkeys enumerate in case-insensitive alphabetical order. Every change is
// atomic against other processes (a crash never leaves a half-written key).
//
// This is a leaf library: it depends on nothing but the standard library, so
// the simulated bus (which records a device here the first time it is
// attached) and the platform services can both use it.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace regstore {

struct Value {
    enum class Type { String, MultiString, Dword };
    Type type = Type::String;
    std::vector<std::string> strings;  // String: one entry; MultiString: all
    uint32_t dword = 0;
};

class Store {
public:
    // root: the folder holding the tree (normally <bus dir>/registry).
    explicit Store(std::filesystem::path root);

    bool keyExists(const std::string& keyPath) const;
    // Direct subkeys of keyPath by name; empty when the key is missing.
    std::vector<std::string> subkeys(const std::string& keyPath) const;
    std::optional<Value> value(const std::string& keyPath, const std::string& name) const;
    // The folder that holds the key; nothing when there is no such key. A
    // Store made on it reads the key as its root (path ""), so a reader that
    // keeps a key open does not look its path up again for every read.
    std::optional<std::filesystem::path> keyFolder(const std::string& keyPath) const;

    bool createKey(const std::string& keyPath);  // with all missing parents
    bool setValue(const std::string& keyPath, const std::string& name, const Value& v);
    bool deleteKey(const std::string& keyPath);  // with its whole subtree
    // Creates the key (and missing parents) holding exactly these values, in
    // one step: other processes see the key with all its values or not at
    // all. An existing key is left untouched (true). False on a write failure.
    bool createKeyWithValues(const std::string& keyPath,
                             const std::vector<std::pair<std::string, Value>>& values);

    const std::filesystem::path& root() const { return root_; }

private:
    std::filesystem::path root_;
};

// Where a simulated USB device is recorded:
// SYSTEM\CurrentControlSet\Enum\USB\Vid_vvvv&Pid_pppp\<instance>.
std::string usbDeviceKey(uint16_t vid, uint16_t pid);

// Records a USB device the way the platform does at its first attach: the
// instance key under usbDeviceKey with "Class" = "USB", "ClassGUID" = the USB
// setup class GUID, "HardwareID" = { "USB\Vid_vvvv&Pid_pppp&Rev_rrrr",
// "USB\Vid_vvvv&Pid_pppp" } (hexadecimal in lower case) and "DeviceDesc".
// Leaves an existing instance key untouched. Returns false on a write failure.
bool recordUsbDevice(Store& store, uint16_t vid, uint16_t pid, uint16_t rev,
                     const std::string& instance, const std::string& description);

// The hardware IDs of a USB device, most specific first:
// { "USB\Vid_vvvv&Pid_pppp&Rev_rrrr", "USB\Vid_vvvv&Pid_pppp" } (lower-case hex).
std::vector<std::string> usbHardwareIds(uint16_t vid, uint16_t pid, uint16_t rev);

// The setup class GUID of the class "USB".
inline constexpr const char* kUsbClassGuid = "{36FC9E60-C465-11CF-8056-444553540000}";

}  // namespace regstore
