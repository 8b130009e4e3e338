// os.h - the operating-system services the programs use, in the platform's
// terms: device-change registration, setup classes and device information
// sets (with the device tree's child links), the shell, top-level windows by
// title, the device registry, the current directory and file version
// resources.
//
// On this platform they are backed by the simulated USB bus (velk_sim.h), the
// file-backed registry (regstore.h), xdg-open / spawn, and a per-user runtime
// registry of the programs' windows.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace ui { class Dialog; }

namespace os {

// A GUID in its registry text form, upper case with braces:
// "{36FC9E60-C465-11CF-8056-444553540000}".
using Guid = std::string;

// ---- device change ------------------------------------------------------------

// The setup-class GUIDs of a class name ("USB"; case-insensitive), at most
// `room` of them. Empty when the class is unknown.
std::vector<Guid> classGuidsFromName(const std::string& className, size_t room = 8);

// Registers the dialog for device-change events (DBT_DEVICEARRIVAL and
// DBT_DEVICEREMOVECOMPLETE, delivered through Dialog::onDeviceChange) with a
// device-interface filter of the given class. Every registered dialog receives
// every arrival and removal on the bus. Returns false on failure; failure can
// be forced for tests with failDeviceNotification(true) or the environment
// variable TAVRIN_FAIL_DEVICE_NOTIFICATION=1.
bool registerDeviceNotification(ui::Dialog& dlg, const Guid& interfaceClass);
void failDeviceNotification(bool fail);

// ---- device information sets ------------------------------------------------------

// A device node of the platform's device tree: the USB host controller, its
// root hub, each attached device and its storage child, and (not present) the
// devices recorded in the registry.
using DevInst = uint32_t;

class DeviceInfoSet {
public:
    // The devices of a setup class; presentOnly = only those attached now.
    static DeviceInfoSet classDevices(const Guid& classGuid, bool presentOnly);
    // Device at index, or nothing past the end.
    std::optional<DevInst> device(size_t index) const;
    // The hardware-ID property (multi-string); nothing when it cannot be read.
    std::optional<std::vector<std::string>> hardwareIds(DevInst dev) const;
    // The class installer's remove function: deletes the device node (its
    // registry instance key). Returns false on failure.
    bool remove(DevInst dev);

    struct Node { DevInst inst; std::vector<std::string> hardwareIds; std::string registryKey; };
    const std::vector<Node>& nodes() const { return nodes_; }
private:
    std::vector<Node> nodes_;
};

// First child of a device node in the device tree (configuration manager).
std::optional<DevInst> firstChild(DevInst dev);

// ---- registry ------------------------------------------------------------------------

// A key of the platform's device registry (the local machine's keys, such as
// "SYSTEM\\CurrentControlSet\\Enum\\USB"), opened for reading. Key and value
// names compare without regard to case, as on the platform.
class RegistryKey {
public:
    // Nothing when there is no such key.
    static std::optional<RegistryKey> open(const std::string& path);
    // A subkey of this key (a name or a relative path); nothing when there
    // is none. The same key as open(path() + "\\" + name), found without
    // looking the whole path up again.
    std::optional<RegistryKey> openSubkey(const std::string& name) const;
    const std::string& path() const { return path_; }
    // The name of subkey `index` in the registry's order; nothing past the
    // end. The subkeys are read once, at the first call, so enumerating a key
    // of thousands of subkeys by index costs one read of the key.
    std::optional<std::string> subkeyName(size_t index) const;
    // A string value, whole; nothing when it is missing or not a string.
    std::optional<std::string> stringValue(const std::string& name) const;

private:
    std::string folder_;  // where the registry keeps the key
    std::string path_;
    mutable std::optional<std::vector<std::string>> subkeys_;
};

// ---- shell ---------------------------------------------------------------------------

// Opens a document or starts a program with its default action (programs are
// spawned, documents go to xdg-open); does not wait. False when it cannot be
// started (missing file). Headless runs log "open PATH" / "start PATH" to the
// transcript and start programs only if TAVRIN_SPAWN=1.
bool shellOpen(const std::string& path);

// ---- top-level windows ------------------------------------------------------------------

// A top-level window of any of the tool set's programs whose title is exactly
// `title`, in any process of this user; nothing when there is none.
std::optional<std::string> findWindow(const std::string& title);
// Sends the window the close message and waits until it has been handled.
bool closeWindow(const std::string& windowHandle);

// ---- files --------------------------------------------------------------------------------

std::string currentDirectory();

struct FileVersion { uint16_t major = 0, minor = 0, build = 0, revision = 0; };
// The version resource of an executable named `fileName` (no path: found by
// the platform's search rules: the program's own folder, the current
// directory, then PATH). Nothing when it has no version resource.
std::optional<FileVersion> fileVersion(const std::string& fileName);

// Makes `content` the content of the file at `path` in one step: it is
// written and synced to a fresh file beside it, which takes the mode of the
// file it replaces (or of a new file) and is then renamed over it. The file
// at `path` is whole before and after, never half-written, also when the
// process is killed. CannotCreate: no file can be made there (a folder, no
// such folder, no permission); WriteFailed: writing, syncing or renaming
// failed. On either, the file at `path` is as it was.
enum class Replaced { Done, CannotCreate, WriteFailed };
Replaced replaceFile(const std::string& path, std::string_view content);

}  // namespace os
