// clock.cpp - the program clock and the waits on it: sleeping, manual-reset
// events, the wait cursor.
//
// With real windows the clock is the monotonic clock. In scripted runs it is
// virtual: only the script runner moves it (advance, wait) and, when the
// dialog thread itself sleeps or waits while every worker is blocked, the
// wait moves it to the next deadline. Every blocked thread is recorded as a
// Waiter so that the runner knows when all workers are blocked ("idle") and
// which deadline comes next.
#include "internal.h"

#include <chrono>
#include <cstdio>

namespace ui::detail {

namespace {

using Steady = std::chrono::steady_clock;

Steady::time_point realEpoch() {
    static const Steady::time_point t0 = Steady::now();
    return t0;
}

int64_t realNow() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Steady::now() - realEpoch()).count();
}

Steady::time_point realPoint(int64_t ms) { return realEpoch() + std::chrono::milliseconds(ms); }

thread_local bool tlWorker = false;

// How long (real time) a scripted run lets workers run without any of them
// blocking on the program clock, an event or a request before it gives up.
constexpr auto kWatchdog = std::chrono::seconds(300);

}  // namespace

Loop& loop() {
    static Loop* l = new Loop;  // never destroyed: workers may outlive static destruction
    return *l;
}

bool isWorkerThread() { return tlWorker; }
void markWorkerThread() { tlWorker = true; }

int64_t nowLocked() { return loop().virt ? loop().vnow : realNow(); }

void advanceLocked(int64_t t) {
    Loop& L = loop();
    if (t > L.vnow) L.vnow = t;
    for (Waiter* w : L.waiters) {
        if (!w->woken && w->deadline >= 0 && w->deadline <= L.vnow) {
            w->woken = true;
            if (w->worker) --L.blocked;
        }
    }
    L.cv.notify_all();
}

int64_t nextWorkerDeadlineLocked() {
    int64_t best = -1;
    for (const Waiter* w : loop().waiters)
        if (w->worker && !w->woken && w->deadline >= 0 && (best < 0 || w->deadline < best))
            best = w->deadline;
    return best;
}

int64_t nextDeadlineLocked() {
    int64_t best = -1;
    for (const Waiter* w : loop().waiters)
        if (!w->woken && w->deadline >= 0 && (best < 0 || w->deadline < best)) best = w->deadline;
    return best;
}

void wakeKeyLocked(const void* key) {
    Loop& L = loop();
    for (Waiter* w : L.waiters) {
        if (!w->woken && w->key == key) {
            w->woken = true;
            if (w->worker) --L.blocked;
        }
    }
    L.cv.notify_all();
}

void blockLocked(std::unique_lock<std::mutex>& lk, const std::function<bool()>& pred,
                 const void* key, int64_t deadline) {
    Loop& L = loop();
    if (pred && pred()) return;
    Waiter w;
    w.key = key;
    w.deadline = deadline;
    w.worker = tlWorker;
    L.waiters.push_back(&w);
    if (w.worker) {
        ++L.blocked;
        L.cv.notify_all();
    }
    for (;;) {
        if (w.woken || (pred && pred())) break;
        if (deadline >= 0 && nowLocked() >= deadline) break;
        if (!L.virt && deadline >= 0)
            L.cv.wait_until(lk, realPoint(deadline));
        else
            L.cv.wait(lk);
    }
    if (!w.woken && w.worker) --L.blocked;
    L.waiters.remove(&w);
}

void dialogNapLocked(std::unique_lock<std::mutex>& lk, int64_t deadline) {
    Loop& L = loop();
    static int64_t lastPainted = 0;  // dialog thread only
    int64_t until = realNow() + kKeepPaintedMs;
    if (deadline >= 0 && deadline < until) until = deadline;
    L.cv.wait_until(lk, realPoint(until));
    const int64_t now = realNow();
    if (now - lastPainted >= kKeepPaintedMs) {
        lastPainted = now;
        lk.unlock();
        keepWindowsPainted();
        lk.lock();
    }
}

void settleLocked(std::unique_lock<std::mutex>& lk) {
    Loop& L = loop();
    const auto start = Steady::now();
    while (runnableLocked() > 0) {
        L.cv.wait_for(lk, std::chrono::milliseconds(500));
        if (L.virt && runnableLocked() > 0 && Steady::now() - start > kWatchdog) {
            lk.unlock();
            headlessAbort("a worker kept running for 300 s without waiting on the program clock");
        }
    }
}

// The dialog thread sleeps: in scripted runs the workers run until they
// block, then the clock steps through their deadlines up to the end of the
// sleep. Timers do not fire meanwhile (the dialog thread is busy).
static void dialogSleep(int64_t ms) {
    Loop& L = loop();
    std::unique_lock lk(L.m);
    const int64_t target = L.vnow + ms;
    for (;;) {
        settleLocked(lk);
        int64_t t = nextWorkerDeadlineLocked();
        if (t < 0 || t > target) t = target;
        advanceLocked(t);
        if (t >= target) break;
    }
}

// The dialog thread waits for an event: it keeps answering the requests of
// workers. In scripted runs, when every worker is blocked, the clock moves to
// the next deadline (a sleeping worker's or the wait's own limit).
static bool dialogWait(const ManualResetEvent& ev, int64_t timeoutMs) {
    Loop& L = loop();
    std::unique_lock lk(L.m);
    const int64_t deadline = timeoutMs >= 0 ? nowLocked() + timeoutMs : -1;
    const auto start = Steady::now();
    for (;;) {
        if (ev.isSet()) return true;
        if (serveOneRequestLocked(lk)) continue;
        if (deadline >= 0 && nowLocked() >= deadline) return false;
        if (!L.virt) {
            // The window stays painted meanwhile (no input, no handlers).
            dialogNapLocked(lk, deadline);
            continue;
        }
        if (runnableLocked() > 0) {
            L.cv.wait_for(lk, std::chrono::milliseconds(500));
            if (runnableLocked() > 0 && Steady::now() - start > kWatchdog) {
                lk.unlock();
                headlessAbort("a worker kept running for 300 s without waiting on the program clock");
            }
            continue;
        }
        int64_t t = nextWorkerDeadlineLocked();
        if (deadline >= 0 && (t < 0 || deadline < t)) t = deadline;
        if (t < 0) {
            lk.unlock();
            headlessAbort("deadlock: the dialog thread waits for an event while every worker is blocked");
        }
        advanceLocked(t);
    }
}

void setVirtualClock(bool on) {
    std::lock_guard lk(loop().m);
    loop().virt = on;
    loop().vnow = 0;
}

}  // namespace ui::detail

namespace ui {

using namespace detail;

int64_t nowMs() {
    std::lock_guard lk(loop().m);
    return nowLocked();
}

void sleepMs(int64_t ms) {
    Loop& L = loop();
    bool virt;
    {
        std::lock_guard lk(L.m);
        virt = L.virt;
    }
    if (ms <= 0) {
        if (!virt) std::this_thread::yield();
        return;
    }
    if (virt && onDialogThread()) {
        dialogSleep(ms);
        return;
    }
    const bool dialogThread = !virt && onDialogThread();
    std::unique_lock lk(L.m);
    const int64_t deadline = nowLocked() + ms;
    if (dialogThread) {
        // The dialog thread's windows stay painted while it sleeps.
        while (nowLocked() < deadline) dialogNapLocked(lk, deadline);
        return;
    }
    blockLocked(lk, nullptr, nullptr, deadline);
}

ManualResetEvent::ManualResetEvent(bool initiallySet) : set_(initiallySet) {}

void ManualResetEvent::set() {
    {
        std::lock_guard lk(m_);
        set_ = true;
    }
    cv_.notify_all();
    std::lock_guard lk(loop().m);
    wakeKeyLocked(this);
}

void ManualResetEvent::reset() {
    std::lock_guard lk(m_);
    set_ = false;
}

bool ManualResetEvent::isSet() const {
    std::lock_guard lk(m_);
    return set_;
}

bool ManualResetEvent::wait(int64_t timeoutMs) {
    if (onDialogThread()) return dialogWait(*this, timeoutMs);
    Loop& L = loop();
    std::unique_lock lk(L.m);
    const int64_t deadline = timeoutMs >= 0 ? nowLocked() + timeoutMs : -1;
    blockLocked(lk, [this] { return isSet(); }, this, deadline);
    return isSet();
}

WaitCursor::WaitCursor() {
    if (loop().busy.fetch_add(1) == 0 && onDialogThread()) {
        if (Frontend* fe = frontend()) {
            fe->setBusyCursor(true);
            loop().busyShown = true;
        }
    } else if (Frontend* fe = frontend()) {
        fe->wake();  // the next pump shows it
    }
}

WaitCursor::~WaitCursor() {
    if (loop().busy.fetch_sub(1) == 1 && onDialogThread()) {
        if (Frontend* fe = frontend(); fe && loop().busyShown) {
            fe->setBusyCursor(false);
            loop().busyShown = false;
        }
    } else if (Frontend* fe = frontend()) {
        fe->wake();
    }
}

}  // namespace ui
