// os_internal.h - pieces of the OS services that the tests drive directly:
// the bus comparison behind device-change events, the window registry's
// folder and close requests, and the version-resource search and parsing.
// Programs use os.h only.
#pragma once

#include "os.h"

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace os::detail {

// ---- device change ------------------------------------------------------------

// One device of the simulated bus as the device-change watch remembers it.
struct BusEntry {
    std::string name;
    bool attached = false;
};

// The events between two views of the bus, removals first, each group in
// name order: DBT_DEVICEREMOVECOMPLETE for every device attached before and
// not now (unplugged or deleted), DBT_DEVICEARRIVAL for every device attached
// now and not before.
std::vector<std::pair<std::string, unsigned>> busEvents(const std::vector<BusEntry>& before,
                                                        const std::vector<BusEntry>& after);

// What the device-change poller does: compares the bus with the last view and
// posts the events to every registered dialog. Returns the events posted.
// The first call after a change of bus directory only takes the view.
std::vector<std::pair<std::string, unsigned>> pollDeviceChanges();

// Number of dialogs registered for device-change events in this process.
size_t registeredDialogs();
// Drops a dialog from the list (its window is being destroyed).
void forgetDeviceNotification(ui::Dialog& dlg);

// ---- device tree ----------------------------------------------------------------

// The registry of the bus in use: <bus dir>/registry.
std::filesystem::path registryRoot();

// ---- windows ------------------------------------------------------------------------

// The folder of the window registry in use (see windows.cpp for the choice).
// An explicit folder set here wins over everything (tests); empty = default.
void setWindowRegistryDir(const std::filesystem::path& dir);
std::filesystem::path windowRegistryDir();

// Handles close requests addressed to this process's windows: the window
// registry's poller. Returns the number of requests handled.
int serveCloseRequests();

// Records / forgets a window of this process (what the window observer does
// for Shown, Retitled and Destroyed). Returns the window's handle.
std::string recordWindow(ui::Dialog& dlg, const std::string& title);
void forgetWindow(ui::Dialog& dlg);

// The inotify descriptor on the window registry's folder (created on first
// use) and the close-request half of the poller.
int windowWatchFd();
void pollCloseRequests();

// ---- hooks -----------------------------------------------------------------------------

// Makes sure the OS services' poller and window observer are installed in the
// dialog layer. The dialog layer forgets its hooks at the end of every run
// (several programs may run one after another in a test), so this is called
// at program start (a static initializer in every program that links the OS
// services) and again by every registration; it installs only what is
// missing. Dialog thread.
void ensureHooks();
// Adds the current bus's watch descriptor to the poller's descriptor set.
void watchBus();

// ---- files -----------------------------------------------------------------------------

// The version marker a program carries: "TAVRIN-FILEVERSION:" + "a.b.c.d".
// Built at run time so that the library itself holds no marker.
std::string versionMarkerPrefix();
// The first well-formed version marker in the file; nothing when the file
// cannot be read or carries none.
std::optional<FileVersion> readVersionResource(const std::filesystem::path& file);
// Where a file named `name` is found: exeDir, then cwd, then each folder of
// pathEnv (":"-separated; an empty entry is the current directory).
std::optional<std::filesystem::path> searchFile(const std::string& name,
                                                const std::filesystem::path& exeDir,
                                                const std::filesystem::path& cwd,
                                                const std::string& pathEnv);

}  // namespace os::detail
