// devtree.cpp - setup classes, device information sets and the device tree of
// the simulated USB bus.
//
// The tree: the host controller, its root hub, each attached device (hardware
// IDs from its vid/pid/rev; its node is its registry instance key) and, as the
// device's first child, its storage node. Device nodes are numbered once per
// process: the same node keeps its DevInst across sets and calls, so a walk
// over a set may ask for children at any time. Devices recorded in the
// registry but not attached are nodes too (present = false); they have no
// children.
#include "os.h"
#include "os_internal.h"
#include "regstore.h"

#include <velk_sim.h>

#include <algorithm>
#include <cstring>
#include <mutex>
#include <unordered_map>

namespace fs = std::filesystem;

namespace os {

namespace {

constexpr const char* kEnumUsb = "SYSTEM\\CurrentControlSet\\Enum\\USB";
constexpr DevInst kController = 1;
constexpr DevInst kRootHub = 2;

std::string lower(std::string s) {
    for (char& c : s)
        if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
    return s;
}

bool equalNoCase(const std::string& a, const std::string& b) { return lower(a) == lower(b); }

// The numbering of device nodes: a node's key ("ctrl", "hub", "dev:<instance
// key path, lower case>", "stor:<same>") and its DevInst.
class NodeTable {
public:
    NodeTable() {
        intern("ctrl");
        intern("hub");
    }
    DevInst intern(const std::string& key) {
        std::lock_guard lock(m_);
        auto it = ids_.find(key);
        if (it != ids_.end()) return it->second;
        keys_.push_back(key);
        DevInst id = DevInst(keys_.size());
        ids_.emplace(key, id);
        return id;
    }
    std::optional<std::string> key(DevInst id) {
        std::lock_guard lock(m_);
        if (id == 0 || id > keys_.size()) return std::nullopt;
        return keys_[id - 1];
    }

private:
    std::mutex m_;
    std::vector<std::string> keys_;
    std::unordered_map<std::string, DevInst> ids_;
};

NodeTable& nodeTable() {
    static NodeTable table;
    return table;
}

// The devices on the bus now, in the bus's order (by name).
std::vector<VelkSimDeviceInfo> busDevices() {
    std::vector<VelkSimDeviceInfo> list(16);
    for (;;) {
        int n = VelkSimListDevices(list.data(), int(list.size()));
        if (n < 0) return {};
        if (size_t(n) <= list.size()) {
            list.resize(size_t(n));
            return list;
        }
        list.resize(size_t(n));
    }
}

std::string instanceKey(const VelkSimDeviceInfo& d) {
    std::string instance(d.instance, strnlen(d.instance, sizeof d.instance));
    return regstore::usbDeviceKey(d.vid, d.pid) + "\\" + instance;
}

std::vector<VelkSimDeviceInfo> attachedDevices() {
    auto all = busDevices();
    all.erase(std::remove_if(all.begin(), all.end(), [](const VelkSimDeviceInfo& d) { return !d.attached; }),
              all.end());
    return all;
}

DeviceInfoSet::Node controllerNode() {
    return {kController, {"PCI\\VEN_8086&DEV_7020&SUBSYS_00000000&REV_01", "PCI\\VEN_8086&DEV_7020"}, ""};
}
DeviceInfoSet::Node rootHubNode() { return {kRootHub, {"USB\\ROOT_HUB"}, ""}; }

DeviceInfoSet::Node attachedNode(const VelkSimDeviceInfo& d) {
    std::string key = instanceKey(d);
    return {nodeTable().intern("dev:" + lower(key)), regstore::usbHardwareIds(d.vid, d.pid, d.rev), key};
}

// A registry instance key belongs to the USB setup class by its "ClassGUID",
// or, when it has none, by its "Class".
bool isUsbClass(const regstore::Store& store, const std::string& key) {
    if (auto guid = store.value(key, "ClassGUID"); guid && !guid->strings.empty())
        return equalNoCase(guid->strings[0], regstore::kUsbClassGuid);
    auto cls = store.value(key, "Class");
    return cls && !cls->strings.empty() && equalNoCase(cls->strings[0], "USB");
}

}  // namespace

namespace detail {
fs::path registryRoot() {
    const char* bus = VelkSimBusDir();
    return fs::path(bus ? bus : "") / "registry";
}
}  // namespace detail

std::vector<Guid> classGuidsFromName(const std::string& className, size_t room) {
    std::vector<Guid> guids;
    if (equalNoCase(className, "USB") && room > 0) guids.push_back(regstore::kUsbClassGuid);
    return guids;
}

DeviceInfoSet DeviceInfoSet::classDevices(const Guid& classGuid, bool presentOnly) {
    DeviceInfoSet set;
    if (!equalNoCase(classGuid, regstore::kUsbClassGuid)) return set;
    set.nodes_.push_back(controllerNode());
    set.nodes_.push_back(rootHubNode());
    auto attached = attachedDevices();
    if (presentOnly) {
        for (const auto& d : attached) set.nodes_.push_back(attachedNode(d));
        return set;
    }
    // Every instance recorded in the registry, in the registry's order; then
    // attached devices that are not (yet) recorded there.
    regstore::Store store(detail::registryRoot());
    std::vector<bool> listed(attached.size(), false);
    for (const auto& device : store.subkeys(kEnumUsb)) {
        std::string deviceKey = std::string(kEnumUsb) + "\\" + device;
        for (const auto& instance : store.subkeys(deviceKey)) {
            std::string key = deviceKey + "\\" + instance;
            if (!isUsbClass(store, key)) continue;
            Node node{nodeTable().intern("dev:" + lower(key)), {}, key};
            if (auto ids = store.value(key, "HardwareID")) node.hardwareIds = ids->strings;
            for (size_t i = 0; i < attached.size(); ++i)
                if (equalNoCase(instanceKey(attached[i]), key)) listed[i] = true;
            set.nodes_.push_back(std::move(node));
        }
    }
    for (size_t i = 0; i < attached.size(); ++i)
        if (!listed[i]) set.nodes_.push_back(attachedNode(attached[i]));
    return set;
}

std::optional<DevInst> DeviceInfoSet::device(size_t index) const {
    if (index >= nodes_.size()) return std::nullopt;
    return nodes_[index].inst;
}

std::optional<std::vector<std::string>> DeviceInfoSet::hardwareIds(DevInst dev) const {
    for (const auto& n : nodes_) {
        if (n.inst != dev) continue;
        if (n.hardwareIds.empty()) return std::nullopt;  // no such property
        return n.hardwareIds;
    }
    return std::nullopt;
}

bool DeviceInfoSet::remove(DevInst dev) {
    auto node = std::find_if(nodes_.begin(), nodes_.end(), [&](const Node& n) { return n.inst == dev; });
    // The controller and the root hub have no instance key to delete.
    if (node == nodes_.end() || node->registryKey.empty()) return false;
    regstore::Store store(detail::registryRoot());
    if (!store.deleteKey(node->registryKey)) return false;
    // The device key goes with its last instance. The node stays in the set,
    // so that enumeration by index goes on with the next device.
    std::string deviceKey = node->registryKey.substr(0, node->registryKey.rfind('\\'));
    if (store.keyExists(deviceKey) && store.subkeys(deviceKey).empty()) store.deleteKey(deviceKey);
    return true;
}

std::optional<DevInst> firstChild(DevInst dev) {
    if (dev == kController) return kRootHub;
    auto key = nodeTable().key(dev);
    if (!key) return std::nullopt;
    auto attached = attachedDevices();
    if (dev == kRootHub) {
        if (attached.empty()) return std::nullopt;
        return attachedNode(attached.front()).inst;
    }
    if (key->rfind("dev:", 0) == 0) {
        std::string path = key->substr(4);
        for (const auto& d : attached)
            if (lower(instanceKey(d)) == path) return nodeTable().intern("stor:" + path);
    }
    return std::nullopt;  // storage nodes and devices no longer attached
}

}  // namespace os
