#include "regclean/registry_cleaner.h"

#include <unordered_set>

namespace regclean {

namespace {

std::string lowerAscii(std::string s) {
    for (char& c : s)
        if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
    return s;
}

bool beginsWith(const std::string& s, const char* prefix) { return s.rfind(prefix, 0) == 0; }

// Whether one of the patterns is the (lower-case) ID up to its end or up to
// one of its "&"s.
bool belongsToOne(const std::string& id, const std::unordered_set<std::string>& patterns) {
    for (size_t end = id.find('&');; end = id.find('&', end + 1)) {
        if (patterns.count(id.substr(0, end))) return true;
        if (end == std::string::npos) return false;
    }
}

}  // namespace

void ListUsbEntries(const std::function<void(const std::string&)>& found) {
    auto enumKey = os::RegistryKey::open(kEnumUsbKey);
    if (!enumKey) return;  // no enumerator key: an empty list, no message
    for (size_t i = 0;; ++i) {
        auto name = enumKey->subkeyName(i);
        if (!name) break;  // the end of the list
        if (!beginsWith(*name, "Vid")) continue;
        // The key at kEnumUsbKey + "\\" + name, opened from the enumerator key.
        auto device = enumKey->openSubkey(*name);
        if (device && IsUsbClassEntry(*device)) found(*name);
    }
}

bool IsUsbClassEntry(const std::string& keyPath) {
    auto device = os::RegistryKey::open(keyPath);
    return device && IsUsbClassEntry(*device);
}

bool IsUsbClassEntry(const os::RegistryKey& device) {
    auto first = device.subkeyName(0);
    if (!first) return false;
    auto instance = device.openSubkey(*first);
    if (!instance) return false;
    auto cls = instance->stringValue("Class");
    return cls && beginsWith(*cls, "USB");
}

std::string RemovalPattern(const std::string& entry) { return lowerAscii("USB\\" + entry); }

bool MatchesRemovalPattern(const std::string& hardwareId, const std::string& pattern) {
    if (pattern.empty() || hardwareId.size() < pattern.size()) return false;
    const std::string id = lowerAscii(hardwareId);
    if (id.compare(0, pattern.size(), pattern) != 0) return false;
    return id.size() == pattern.size() || id[pattern.size()] == '&';
}

RemovalResult RemoveUsbDevices(const std::vector<std::string>& patterns, const std::function<void()>& failed) {
    RemovalResult result;
    if (patterns.empty()) return result;
    auto guids = os::classGuidsFromName("usb", 1);
    if (guids.empty()) return result;
    // One pass over the class's devices for all patterns: a device belongs
    // to a pattern when the pattern is its first hardware ID (in lower case)
    // up to the end or up to one of its "&"s, so each device costs one look-up
    // per "&" of its ID however many entries were chosen.
    std::unordered_set<std::string> wanted(patterns.begin(), patterns.end());
    wanted.erase("");
    os::DeviceInfoSet set = os::DeviceInfoSet::classDevices(guids.front(), false);
    for (size_t i = 0;; ++i) {
        auto dev = set.device(i);
        if (!dev) break;
        auto ids = set.hardwareIds(*dev);
        if (!ids || ids->empty()) continue;  // unreadable: skipped silently
        if (!belongsToOne(lowerAscii(ids->front()), wanted)) continue;
        if (set.remove(*dev)) {
            ++result.removed;
        } else {
            ++result.failed;
            if (failed) failed();
        }
    }
    return result;
}

}  // namespace regclean
