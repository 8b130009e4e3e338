// devchange.cpp - device-change registration and the events of the
// simulated bus.
//
// Registered dialogs sit in a per-process list until their window is
// destroyed. The OS services' poller (hooks.cpp) watches the bus: the front
// end runs it when the bus's watch descriptor becomes readable, at the time
// of the next scheduled attach or detach, and (headless) after plug, unplug
// and every clock step. When the bus sequence
// has moved, it compares the attached flags with its last view and posts one
// DBT_DEVICEREMOVECOMPLETE or DBT_DEVICEARRIVAL per device that left or came
// to every registered dialog.
#include "os.h"
#include "os_internal.h"

#include "ui/frontend.h"
#include <velk_sim.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cctype>
#include <cstring>
#include <map>
#include <mutex>

namespace os {

namespace {

struct Watch {
    std::mutex m;
    std::vector<ui::Dialog*> dialogs;
    bool haveView = false;
    std::string busDir;
    uint64_t sequence = 0;
    std::vector<detail::BusEntry> view;
};

Watch& watch() {
    static Watch w;
    return w;
}

std::atomic<bool> g_forceFailure{false};

bool failureForced() {
    if (g_forceFailure.load()) return true;
    const char* env = std::getenv("TAVRIN_FAIL_DEVICE_NOTIFICATION");
    return env && std::strcmp(env, "1") == 0;
}

// "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}" with hexadecimal digits of either case.
bool wellFormedGuid(const std::string& g) {
    if (g.size() != 38 || g.front() != '{' || g.back() != '}') return false;
    for (size_t i = 1; i < 37; ++i) {
        char c = g[i];
        bool dash = i == 9 || i == 14 || i == 19 || i == 24;
        if (dash ? c != '-' : !std::isxdigit(static_cast<unsigned char>(c))) return false;
    }
    return true;
}

// The bus now; nothing when it cannot be read (the last view then stays, so
// that a failed read never looks like every device leaving).
std::optional<std::vector<detail::BusEntry>> readBus() {
    std::vector<VelkSimDeviceInfo> list(16);
    for (;;) {
        int n = VelkSimListDevices(list.data(), int(list.size()));
        if (n < 0) return std::nullopt;
        if (size_t(n) <= list.size()) {
            list.resize(size_t(n));
            break;
        }
        list.resize(size_t(n));
    }
    std::vector<detail::BusEntry> out;
    for (const auto& d : list) out.push_back({std::string(d.name, strnlen(d.name, sizeof d.name)), d.attached != 0});
    return out;
}

std::string currentBusDir() {
    const char* dir = VelkSimBusDir();
    return dir ? dir : "";
}

// Takes the view the next poll compares with. Caller holds the lock.
void takeView(Watch& w) {
    w.busDir = currentBusDir();
    w.sequence = VelkSimBusSequence();
    if (auto bus = readBus()) {
        w.view = std::move(*bus);
        w.haveView = true;
    } else {
        w.view.clear();
        w.haveView = false;
    }
}

// Drops registered dialogs that are not among the open ones (pointers are
// compared, never followed). Caller holds the lock.
void dropClosed(Watch& w, const std::vector<ui::Dialog*>& open) {
    w.dialogs.erase(std::remove_if(w.dialogs.begin(), w.dialogs.end(),
                                   [&](ui::Dialog* d) { return std::find(open.begin(), open.end(), d) == open.end(); }),
                    w.dialogs.end());
}

}  // namespace

bool registerDeviceNotification(ui::Dialog& dlg, const Guid& interfaceClass) {
    // A dialog without a window (not running, or already ended) cannot be
    // registered: nothing would ever take it off the list again.
    if (failureForced() || !wellFormedGuid(interfaceClass) || !dlg.isOpen()) return false;
    detail::ensureHooks();
    detail::watchBus();
    const std::vector<ui::Dialog*> open = ui::detail::openDialogs();
    Watch& w = watch();
    std::lock_guard lock(w.m);
    dropClosed(w, open);
    // With nobody listening so far there is nothing to compare with: what
    // happened on the bus before this registration is no event for it.
    if (w.dialogs.empty() || !w.haveView || w.busDir != currentBusDir()) takeView(w);
    // One registration per dialog: a dialog registered for several classes
    // still gets each event once.
    if (std::find(w.dialogs.begin(), w.dialogs.end(), &dlg) == w.dialogs.end()) w.dialogs.push_back(&dlg);
    return true;
}

void failDeviceNotification(bool fail) { g_forceFailure.store(fail); }

namespace detail {

std::vector<std::pair<std::string, unsigned>> busEvents(const std::vector<BusEntry>& before,
                                                        const std::vector<BusEntry>& after) {
    std::map<std::string, bool> was, now;
    for (const auto& e : before) was[e.name] = was[e.name] || e.attached;
    for (const auto& e : after) now[e.name] = now[e.name] || e.attached;
    std::vector<std::pair<std::string, unsigned>> events;
    for (const auto& [name, attached] : was)
        if (attached && !now[name]) events.emplace_back(name, ui::DBT_DEVICEREMOVECOMPLETE);
    for (const auto& [name, attached] : now)
        if (attached && !was[name]) events.emplace_back(name, ui::DBT_DEVICEARRIVAL);
    return events;
}

std::vector<std::pair<std::string, unsigned>> pollDeviceChanges() {
    VelkSimDrainWatch();
    // Registered dialogs that are no longer open are dropped without being
    // touched: a dialog that ended before its window was shown gets no
    // destruction notice, and its memory may be gone.
    const std::vector<ui::Dialog*> open = ui::detail::openDialogs();
    Watch& w = watch();
    std::vector<std::pair<std::string, unsigned>> events;
    std::vector<ui::Dialog*> targets;
    {
        std::lock_guard lock(w.m);
        // Another bus (a test switched directories): start over from its state.
        if (!w.haveView || w.busDir != currentBusDir()) {
            takeView(w);
            return events;
        }
        uint64_t sequence = VelkSimBusSequence();
        if (sequence == w.sequence) return events;
        auto bus = readBus();
        if (!bus) return events;  // retried at the next poll
        events = busEvents(w.view, *bus);
        w.view = std::move(*bus);
        w.sequence = sequence;
        dropClosed(w, open);
        targets = w.dialogs;
    }
    for (ui::Dialog* d : targets)
        for (const auto& e : events) d->postDeviceChange(e.second);
    return events;
}

void forgetDeviceNotification(ui::Dialog& dlg) {
    Watch& w = watch();
    std::lock_guard lock(w.m);
    w.dialogs.erase(std::remove(w.dialogs.begin(), w.dialogs.end(), &dlg), w.dialogs.end());
}

size_t registeredDialogs() {
    Watch& w = watch();
    std::lock_guard lock(w.m);
    return w.dialogs.size();
}

}  // namespace detail

}  // namespace os
