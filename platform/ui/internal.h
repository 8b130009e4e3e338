// internal.h - state shared by the model's source files: the dialog thread's
// loop (queue, worker requests, timers, the program clock and the waits on
// it) and the per-dialog implementation state.
#pragma once

#include "frontend.h"

#include <atomic>
#include <condition_variable>
#include <deque>
#include <list>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

namespace ui::detail {

// A message box or file dialog asked for by a worker; answered on the dialog
// thread while the worker waits.
struct Request {
    enum class Kind { Box, Open, Save } kind = Kind::Box;
    Dialog* owner = nullptr;
    std::string text, title;
    unsigned flags = 0;
    FileDialogSpec spec;
    int answer = 0;
    std::optional<std::string> path;
    bool done = false;
};

// An entry of the dialog thread's queue.
struct Msg {
    enum class Kind { User, Device, Close, EditChange } kind = Kind::User;
    Dialog* d = nullptr;
    unsigned msg = 0;
    uintptr_t w = 0;
    intptr_t l = 0;
};

struct Timer {
    Dialog* d = nullptr;
    int id = 0;
    int64_t interval = 0;
    int64_t due = 0;
    uint64_t seq = 0;   // firing order among timers due at the same time
};

// A thread blocked in one of the program-clock waits. `key` names what can
// wake it early (an event, a request); the clock wakes it at `deadline`.
struct Waiter {
    const void* key = nullptr;
    int64_t deadline = -1;
    bool worker = false;
    bool woken = false;
};

struct Loop {
    std::mutex m;
    std::condition_variable cv;   // every change of the state below is notified

    // Program clock: virtual in scripted runs, moved only by the runner.
    bool virt = false;
    int64_t vnow = 0;

    // Workers started with startWorker and still running; how many of them
    // are blocked in a program-clock wait, on an event or on a request.
    int workers = 0;
    int blocked = 0;
    std::list<Waiter*> waiters;

    std::deque<Request*> requests;
    std::deque<Msg> queue;
    std::vector<Timer> timers;
    uint64_t timerSeq = 0;

    // Dialog thread only.
    std::vector<Dialog*> open;      // bottom first
    std::vector<Dialog*> loops;     // dialogs whose modal loop is running
    std::vector<hooks::Poller> pollers;
    std::vector<std::function<void(Dialog&, hooks::WindowEvent)>> observers;

    std::atomic<int> busy{0};       // WaitCursor nesting
    bool busyShown = false;

    std::atomic<Frontend*> fe{nullptr};
    std::thread::id dialogThread;
};

Loop& loop();

// Program-clock time with loop().m held.
int64_t nowLocked();
// Moves the virtual clock to t and wakes the waiters due by then. Holds m.
void advanceLocked(int64_t t);
// Earliest deadline of a blocked worker, or -1. Holds m.
int64_t nextWorkerDeadlineLocked();
// Earliest deadline of any thread blocked on the clock (workers and threads
// of the device library alike), or -1. Holds m.
int64_t nextDeadlineLocked();
// Workers that are running and not blocked. Holds m.
inline int runnableLocked() { return loop().workers - loop().blocked; }
// Wakes every waiter keyed on key. Holds m.
void wakeKeyLocked(const void* key);

// Blocks the calling thread (lock on loop().m held) until pred() is true,
// the waiter is woken through its key, or the deadline (program clock, -1 =
// none) passes. Workers count as blocked meanwhile.
void blockLocked(std::unique_lock<std::mutex>& lk, const std::function<bool()>& pred,
                 const void* key, int64_t deadline);

// The dialog thread blocks on the real clock (lock held on entry and on
// return): until a notification, the deadline (program clock, -1 = none) or
// kKeepPaintedMs at most; every kKeepPaintedMs of blocking it keeps the
// windows painted (keepWindowsPainted, with the lock released).
void dialogNapLocked(std::unique_lock<std::mutex>& lk, int64_t deadline);

// Serves one pending worker request on the dialog thread (lock held on entry
// and on return; released while the front end shows it). False if none.
bool serveOneRequestLocked(std::unique_lock<std::mutex>& lk);

// Ends a scripted run after a fault the script cannot get past (a deadlock
// that would hang the run). Prints the reason and exits with code 1.
[[noreturn]] void headlessAbort(const std::string& reason);

// Calls the window observers (dialog thread).
void notifyObservers(Dialog& d, hooks::WindowEvent e);

bool isWorkerThread();
void markWorkerThread();
// Switches the program clock to the virtual one (starting at 0) or back.
void setVirtualClock(bool on);
// Waits (lock held) until no worker is runnable. Scripted runs give up after
// a long real-time limit instead of hanging.
void settleLocked(std::unique_lock<std::mutex>& lk);
// How far the clock may move on its own (waits of the dialog thread for its
// workers) before a scripted run reports a worker that never ends.
inline constexpr int64_t kMaxAutoAdvanceMs = 3600000;

// The transcript lines of the model's own events (headless.cpp).
std::string markLine(const Dialog& d, const Mark& m);
const std::string& programName();
// True when the innermost running modal loop's dialog has ended (its loop
// must return before anything else is done on it).
bool currentLoopEnded();

}  // namespace ui::detail

namespace ui {

bool operator==(const Mark& a, const Mark& b);

struct Dialog::Impl {
    Dialog* self = nullptr;

    mutable std::mutex m;           // control state, title, menu, marks, dirty
    std::vector<ControlState> ctl;
    std::unordered_map<int, size_t> byId;
    std::string title;
    std::vector<SystemMenuItem> menu;
    std::vector<Mark> marks;
    Changes dirty;
    bool anyDirty = false;
    int originX = detail::kScreenX, originY = detail::kScreenY;
    std::shared_ptr<void> window;

    // Loop state. open/ended are read from any thread.
    std::atomic<bool> open{false};
    std::atomic<bool> ended{false};
    std::atomic<int> result{0};
    bool created = false;           // window made (dialog thread)
    bool shown = false;

    // Under loop().m.
    bool paintPending = false;
    int workersRunning = 0;
    struct Worker {
        std::thread thread;
        bool done = false;  // its function has returned
    };
    std::list<Worker> threads;
};

}  // namespace ui
