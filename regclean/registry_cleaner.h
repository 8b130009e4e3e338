// registry_cleaner.h - what Kesso does to the device registry: list the USB
// device keys recorded under the USB enumerator, and remove the device nodes
// of the USB setup class that belong to chosen entries.
//
// Works on the platform's registry and device sets (platform/os); no device
// library, no dialogs.
#pragma once

#include "platform/os/os.h"

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

namespace regclean {

// The USB enumerator key under the local machine's keys.
inline constexpr const char* kEnumUsbKey = "SYSTEM\\CurrentControlSet\\Enum\\USB";

// Lists the device keys directly under the USB enumerator key whose name
// begins with "Vid" (case-sensitive) and whose first instance is of the USB
// class (IsUsbClassEntry), in the registry's order: `found` is called with
// each name as soon as it is known. Nothing when the enumerator key cannot be
// opened.
void ListUsbEntries(const std::function<void(const std::string&)>& found);

// True only when the key at keyPath opens, has a first subkey (the first
// recorded instance of the device), that instance opens, and its "Class"
// value begins with "USB" (case-sensitive). Further instances are not looked
// at.
bool IsUsbClassEntry(const std::string& keyPath);
// The same test on a device key already open.
bool IsUsbClassEntry(const os::RegistryKey& device);

// The removal pattern of a list entry: "USB\<entry>" in lower case, for
// example usb\vid_3a7c&pid_0760.
std::string RemovalPattern(const std::string& entry);

// Whether a device whose first hardware ID is `hardwareId` belongs to the
// pattern: the ID in lower case is the pattern itself or continues it with
// "&" (usb\vid_3a7c&pid_0760&rev_0100 belongs to usb\vid_3a7c&pid_0760,
// usb\vid_3a7c&pid_07600 does not).
bool MatchesRemovalPattern(const std::string& hardwareId, const std::string& pattern);

struct RemovalResult {
    size_t removed = 0;  // device nodes removed
    size_t failed = 0;   // device nodes whose removal failed
};

// Removes, through the class installer's remove function, every device node
// of the USB setup class (present or not) whose first hardware ID matches one
// of the patterns; every revision of a vendor and product identity goes with
// it. A device whose hardware IDs cannot be read is skipped. `failed` is
// called once for every removal that fails; the others go on.
RemovalResult RemoveUsbDevices(const std::vector<std::string>& patterns, const std::function<void()>& failed = {});

}  // namespace regclean
