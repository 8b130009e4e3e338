// hooks.cpp - the OS services' poller and window observer in the dialog layer.
//
// One poller serves both watches: the simulated bus (device-change events)
// and the window registry's folder (close requests). Its descriptor is an
// epoll set holding the folder's inotify descriptor and, once a dialog has
// registered for device changes, the bus's watch descriptor, so the Qt front
// end wakes for either; the headless runner calls it on its own schedule. The window observer records shown and retitled
// windows and forgets destroyed ones (and drops them from the device-change
// list).
#include "os.h"
#include "os_internal.h"

#include "ui/frontend.h"
#include <velk_sim.h>

#include <sys/epoll.h>
#include <unistd.h>

#include <algorithm>
#include <mutex>

namespace os::detail {

namespace {

struct Hooks {
    std::mutex m;
    int epfd = -1;
    int busFd = -1;     // the bus watch descriptor in the set
    int windowsFd = -1;
};

Hooks& hooks() {
    static Hooks h;
    return h;
}

// Keeps the epoll set on the current bus's watch descriptor (a test may
// switch buses, which gives another descriptor).
void refreshWatch(Hooks& h) {
    if (h.epfd < 0) return;
    int bus = VelkSimBusWatchFd();
    if (bus == h.busFd) return;
    if (h.busFd >= 0) epoll_ctl(h.epfd, EPOLL_CTL_DEL, h.busFd, nullptr);
    h.busFd = -1;
    if (bus >= 0) {
        epoll_event ev{};
        ev.events = EPOLLIN;
        ev.data.fd = bus;
        if (epoll_ctl(h.epfd, EPOLL_CTL_ADD, bus, &ev) == 0) h.busFd = bus;
    }
}

// The bus is only looked at while a dialog is registered for its changes, so
// a program that never registers never opens the bus. Its watch descriptor is
// drained either way: left readable, it would wake the front end for ever.
void poll() {
    const bool listening = registeredDialogs() > 0;
    bool watching;
    {
        Hooks& h = hooks();
        std::lock_guard lock(h.m);
        if (listening) refreshWatch(h);
        watching = h.busFd >= 0;
    }
    if (listening) pollDeviceChanges();
    else if (watching) VelkSimDrainWatch();
    pollCloseRequests();
}

}  // namespace

void watchBus() {
    Hooks& h = hooks();
    std::lock_guard lock(h.m);
    refreshWatch(h);
}

void ensureHooks() {
    Hooks& h = hooks();
    int fd;
    {
        std::lock_guard lock(h.m);
        if (h.epfd < 0) {
            h.epfd = epoll_create1(EPOLL_CLOEXEC);
            h.windowsFd = windowWatchFd();
            if (h.epfd >= 0 && h.windowsFd >= 0) {
                epoll_event ev{};
                ev.events = EPOLLIN;
                ev.data.fd = h.windowsFd;
                epoll_ctl(h.epfd, EPOLL_CTL_ADD, h.windowsFd, &ev);
            }
        }
        fd = h.epfd;
    }
    // Our poller is the one with our epoll descriptor; the observer was
    // installed (and is forgotten) together with it.
    auto fds = ui::detail::pollerFds();
    if (fd >= 0 && std::find(fds.begin(), fds.end(), fd) != fds.end()) return;

    ui::hooks::addWindowObserver([](ui::Dialog& d, ui::hooks::WindowEvent e) {
        if (e == ui::hooks::WindowEvent::Destroyed) {
            forgetWindow(d);
            forgetDeviceNotification(d);
        } else {
            recordWindow(d, d.title());
        }
    });
    ui::hooks::Poller p;
    p.poll = [] { poll(); };
    p.fd = fd;
    p.nextDue = []() -> std::optional<int64_t> {
        if (registeredDialogs() == 0) return std::nullopt;
        int64_t t = VelkSimNextScheduledChange();
        if (t < 0) return std::nullopt;
        // The bus keeps its times on the simulator's clock, which is the
        // program clock only in scripted runs: with real windows it counts
        // from another origin, so the time is handed on as a distance.
        return ui::nowMs() + std::max<int64_t>(0, t - VelkSimNow());
    };
    ui::hooks::addPoller(std::move(p));
}

}  // namespace os::detail
