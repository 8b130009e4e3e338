// dialog.cpp - the dialog model: control state, the dialog thread's queue and
// modal loops, timers, worker requests, painting, and the input functions the
// front ends call.
#include "internal.h"

#include <algorithm>
#include <chrono>
#include <utility>
#include <cctype>
#include <cstdio>
#include <strings.h>

namespace ui {
bool operator==(const Mark& a, const Mark& b) {
    return a.op == b.op && a.rect.left == b.rect.left && a.rect.top == b.rect.top &&
           a.rect.right == b.rect.right && a.rect.bottom == b.rect.bottom && a.color == b.color &&
           a.background == b.background && a.text == b.text && a.font.face == b.font.face &&
           a.font.height == b.font.height && a.font.width == b.font.width &&
           a.font.weight == b.font.weight && a.flags == b.flags;
}

}  // namespace ui

namespace ui::detail {

Frontend* frontend() { return loop().fe.load(); }
void setFrontend(Frontend* fe) { loop().fe.store(fe); }

bool onDialogThread() {
    // Before runProgram (tests driving the model directly) the first thread
    // to ask is taken as the dialog thread.
    Loop& L = loop();
    std::lock_guard lk(L.m);
    if (L.dialogThread == std::thread::id()) L.dialogThread = std::this_thread::get_id();
    return L.dialogThread == std::this_thread::get_id();
}

void setDialogThread() {
    std::lock_guard lk(loop().m);
    loop().dialogThread = std::this_thread::get_id();
}

namespace {

void wakeFrontend() {
    if (Frontend* fe = frontend()) fe->wake();
}

bool isButton(Kind k) {
    switch (k) {
    case Kind::PushButton: case Kind::DefPushButton: case Kind::CheckBox:
    case Kind::AutoCheckBox: case Kind::RadioButton: case Kind::AutoRadioButton:
        return true;
    default:
        return false;
    }
}

bool isRadio(Kind k) { return k == Kind::RadioButton || k == Kind::AutoRadioButton; }
bool isList(Kind k) { return k == Kind::ListBox || k == Kind::ComboBox; }
bool isMulti(const ControlState& c) { return c.kind == Kind::ListBox && (c.style & LBS_MULTIPLESEL); }
bool comboEditable(const ControlState& c) {
    return c.kind == Kind::ComboBox && (c.style & CBS_DROPDOWN) && !(c.style & CBS_DROPDOWNLIST);
}

int lineCount(const std::string& s) {
    return 1 + static_cast<int>(std::count(s.begin(), s.end(), '\n'));
}

void markDirtyLocked(Dialog::Impl& I, size_t index) {
    auto& v = I.dirty.controls;
    auto it = std::lower_bound(v.begin(), v.end(), index);
    if (it == v.end() || *it != index) v.insert(it, index);
    I.anyDirty = true;
}

// Runs f on the state of control id under the dialog's lock. f returns true
// when it changed something; then the control is marked for refresh and the
// front end woken. Returns false for an unknown id.
template <class F>
bool change(const Dialog& d, int id, F f) {
    Dialog::Impl& I = d.impl();
    bool changed = false;
    {
        std::lock_guard lk(I.m);
        auto it = I.byId.find(id);
        if (it == I.byId.end()) return false;
        changed = f(I.ctl[it->second]);
        if (changed) markDirtyLocked(I, it->second);
    }
    if (changed) wakeFrontend();
    return true;
}

template <class R, class F>
R read(const Dialog& d, int id, R fallback, F f) {
    Dialog::Impl& I = d.impl();
    std::lock_guard lk(I.m);
    auto it = I.byId.find(id);
    if (it == I.byId.end()) return fallback;
    return f(I.ctl[it->second]);
}

bool isOpenLocked(Dialog* d) {
    auto& v = loop().open;
    return std::find(v.begin(), v.end(), d) != v.end();
}

void purgeLocked(Dialog* d) {
    Loop& L = loop();
    std::erase_if(L.queue, [d](const Msg& m) { return m.d == d; });
    std::erase_if(L.timers, [d](const Timer& t) { return t.d == d; });
    std::erase(L.open, d);
    d->impl().paintPending = false;
}

void post(Dialog& d, Msg m) {
    {
        std::lock_guard lk(loop().m);
        if (!d.impl().open) return;  // no window: the message has nowhere to go
        m.d = &d;
        loop().queue.push_back(m);
        loop().cv.notify_all();
    }
    wakeFrontend();
}

int defaultAnswer(unsigned flags) {
    switch (flags & 0xF) {
    case MB_OKCANCEL: return IDCANCEL;
    case MB_YESNO: return IDNO;
    default: return IDOK;
    }
}

// Asks the dialog thread for a box or a file dialog and waits for the answer.
void askDialogThread(Request& r) {
    Loop& L = loop();
    {
        std::lock_guard lk(L.m);
        L.requests.push_back(&r);
        L.cv.notify_all();
    }
    wakeFrontend();
    std::unique_lock lk(L.m);
    blockLocked(lk, [&r] { return r.done; }, &r, -1);
}

bool flushRefresh(Dialog& d, Frontend* fe) {
    Dialog::Impl& I = d.impl();
    Changes ch;
    {
        std::lock_guard lk(I.m);
        if (!I.anyDirty || !I.created) return false;
        ch = std::move(I.dirty);
        I.dirty = Changes{};
        I.anyDirty = false;
    }
    if (fe) fe->refresh(d, ch);
    if (ch.title && I.shown) notifyObservers(d, hooks::WindowEvent::Retitled);
    return true;
}

// Shows or hides the busy cursor as the WaitCursors of any thread ask
// (dialog thread).
void syncBusyCursor() {
    Loop& L = loop();
    Frontend* fe = frontend();
    const bool busy = L.busy.load() > 0;
    if (fe && busy != L.busyShown) {
        L.busyShown = busy;
        fe->setBusyCursor(busy);
    }
}

void flushRefreshes() {
    Frontend* fe = frontend();
    std::vector<Dialog*> open;
    {
        std::lock_guard lk(loop().m);
        open = loop().open;
    }
    for (Dialog* d : open) flushRefresh(*d, fe);
    syncBusyCursor();
}

void dispatch(const Msg& m) {
    Dialog& d = *m.d;
    switch (m.kind) {
    case Msg::Kind::User: d.onUserMessage(m.msg, m.w, m.l); break;
    case Msg::Kind::Device: d.onDeviceChange(m.msg); break;
    case Msg::Kind::Close: d.onCommand(IDCANCEL); break;
    case Msg::Kind::EditChange: d.onEditChange(static_cast<int>(m.w)); break;
    }
}

Timer* dueTimerLocked() {
    Loop& L = loop();
    const int64_t now = nowLocked();
    Timer* best = nullptr;
    for (Timer& t : L.timers) {
        if (t.due > now || !t.d->impl().open) continue;
        if (!best || t.due < best->due || (t.due == best->due && t.seq < best->seq)) best = &t;
    }
    return best;
}

std::string textOf(const ControlState& c) {
    if (c.kind == Kind::ListBox) return c.curSel >= 0 ? c.items[c.curSel] : std::string();
    return c.text;
}

void setTextState(ControlState& c, const std::string& s, bool* changed) {
    *changed = c.text != s;
    c.text = s;
    if (c.kind == Kind::Edit) {
        const int lines = lineCount(s);
        if (c.firstVisibleLine >= lines) c.firstVisibleLine = lines - 1;
    }
}

}  // namespace

void flushChanges(Dialog& d) {
    flushRefresh(d, frontend());
    syncBusyCursor();
}

void keepWindowsPainted() {
    Frontend* fe = frontend();
    if (!fe || fe->headless() || !onDialogThread()) return;
    flushRefreshes();
    fe->keepPainted();
}

void notifyObservers(Dialog& d, hooks::WindowEvent e) {
    auto obs = loop().observers;  // an observer may add another
    for (auto& fn : obs) fn(d, e);
}

bool serveOneRequestLocked(std::unique_lock<std::mutex>& lk) {
    Loop& L = loop();
    if (L.requests.empty()) return false;
    Request* r = L.requests.front();
    L.requests.pop_front();
    Dialog* owner = r->owner && isOpenLocked(r->owner) ? r->owner : nullptr;
    lk.unlock();
    syncBusyCursor();  // a worker holding a WaitCursor asks: the cursor shows it
    Frontend* fe = frontend();
    if (r->kind == Request::Kind::Box)
        r->answer = fe ? fe->messageBox(owner, r->text, r->title, r->flags) : defaultAnswer(r->flags);
    else if (fe)
        r->path = fe->fileDialog(owner, r->kind == Request::Kind::Save, r->spec);
    lk.lock();
    r->done = true;
    wakeKeyLocked(r);
    return true;
}

void pump() {
    Loop& L = loop();
    std::unique_lock lk(L.m);
    for (;;) {
        if (!L.loops.empty() && L.loops.back()->impl().ended) break;
        if (serveOneRequestLocked(lk)) continue;
        if (!L.queue.empty()) {
            Msg m = L.queue.front();
            L.queue.pop_front();
            lk.unlock();
            dispatch(m);
            lk.lock();
            continue;
        }
        Dialog* painting = nullptr;
        for (Dialog* d : L.open)
            if (d->impl().paintPending && d->impl().shown) {
                painting = d;
                break;
            }
        if (painting) {
            painting->impl().paintPending = false;
            lk.unlock();
            Painter p(*painting);
            painting->onPaint(p);
            lk.lock();
            continue;
        }
        lk.unlock();
        flushRefreshes();
        lk.lock();
        if (Timer* t = dueTimerLocked()) {
            // Like the platform's timers: the next tick is one interval
            // after this one; ticks missed while busy collapse into one.
            const int64_t now = nowLocked();
            t->due += t->interval;
            if (t->due <= now) t->due = now + t->interval;
            t->seq = ++L.timerSeq;
            Dialog* d = t->d;
            const int id = t->id;
            lk.unlock();
            d->onTimer(id);
            lk.lock();
            continue;
        }
        break;
    }
    lk.unlock();
    flushRefreshes();
    // Pollers whose next timed change is due.
    const int64_t now = nowMs();
    auto pollers = L.pollers;
    for (auto& p : pollers) {
        if (!p.nextDue) continue;
        if (auto due = p.nextDue(); due && *due <= now && p.poll) p.poll();
    }
}

bool idle() {
    Loop& L = loop();
    std::vector<Dialog*> open;
    {
        std::lock_guard lk(L.m);
        if (!L.requests.empty() || !L.queue.empty() || dueTimerLocked()) return false;
        for (Dialog* d : L.open)
            if (d->impl().paintPending && d->impl().shown) return false;
        open = L.open;
    }
    for (Dialog* d : open) {
        std::lock_guard lk(d->impl().m);
        if (d->impl().anyDirty && d->impl().created) return false;
    }
    return true;
}

std::optional<int64_t> nextDue() {
    Loop& L = loop();
    std::optional<int64_t> best;
    {
        std::lock_guard lk(L.m);
        for (const Timer& t : L.timers)
            if (t.d->impl().open && (!best || t.due < *best)) best = t.due;
    }
    for (auto& p : L.pollers) {
        if (!p.nextDue) continue;
        if (auto due = p.nextDue(); due && (!best || *due < *best)) best = *due;
    }
    return best;
}

void runPollers() {
    auto pollers = loop().pollers;
    for (auto& p : pollers)
        if (p.poll) p.poll();
}

std::vector<int> pollerFds() {
    std::vector<int> fds;
    for (auto& p : loop().pollers)
        if (p.fd >= 0) fds.push_back(p.fd);
    return fds;
}

void clearHooks() {
    loop().pollers.clear();
    loop().observers.clear();
}

bool loopEnded(const Dialog& d) { return d.impl().ended; }

bool currentLoopEnded() {
    std::lock_guard lk(loop().m);
    return !loop().loops.empty() && loop().loops.back()->impl().ended;
}
int loopResult(const Dialog& d) { return d.impl().result; }

std::vector<Dialog*> openDialogs() {
    std::lock_guard lk(loop().m);
    return loop().open;
}

std::vector<ControlState> snapshot(const Dialog& d) {
    std::lock_guard lk(d.impl().m);
    return d.impl().ctl;
}

std::optional<ControlState> control(const Dialog& d, size_t index) {
    std::lock_guard lk(d.impl().m);
    if (index >= d.impl().ctl.size()) return std::nullopt;
    return d.impl().ctl[index];
}

std::optional<size_t> indexOf(const Dialog& d, int id) {
    std::lock_guard lk(d.impl().m);
    auto it = d.impl().byId.find(id);
    if (it == d.impl().byId.end()) return std::nullopt;
    return it->second;
}

std::vector<Mark> marks(const Dialog& d) {
    std::lock_guard lk(d.impl().m);
    return d.impl().marks;
}

std::vector<SystemMenuItem> systemMenu(const Dialog& d) {
    std::lock_guard lk(d.impl().m);
    return d.impl().menu;
}

void setWindowData(Dialog& d, std::shared_ptr<void> data) {
    std::lock_guard lk(d.impl().m);
    d.impl().window = std::move(data);
}

std::shared_ptr<void> windowData(const Dialog& d) {
    std::lock_guard lk(d.impl().m);
    return d.impl().window;
}

void setWindowOrigin(Dialog& d, int x, int y) {
    std::lock_guard lk(d.impl().m);
    d.impl().originX = x;
    d.impl().originY = y;
}

int dluToPxX(int dlu) { return (dlu * 6 + (dlu >= 0 ? 2 : -2)) / 4; }
int dluToPxY(int dlu) { return (dlu * 13 + (dlu >= 0 ? 4 : -4)) / 8; }

// ---- input ---------------------------------------------------------------------

bool inputClick(Dialog& d, int id) {
    Dialog::Impl& I = d.impl();
    bool changed = false;
    {
        std::lock_guard lk(I.m);
        auto it = I.byId.find(id);
        if (it == I.byId.end()) return false;
        ControlState& c = I.ctl[it->second];
        if (!c.enabled || !c.visible || !isButton(c.kind)) return false;
        if (c.kind == Kind::AutoCheckBox) {
            c.checked = c.checked ? 0 : 1;
            markDirtyLocked(I, c.index);
            changed = true;
        } else if (c.kind == Kind::AutoRadioButton) {
            // The group runs from the nearest WS_GROUP control at or before
            // this one up to the next WS_GROUP control.
            size_t first = c.index;
            while (first > 0 && !(I.ctl[first].style & WS_GROUP)) --first;
            size_t last = c.index + 1;
            while (last < I.ctl.size() && !(I.ctl[last].style & WS_GROUP)) ++last;
            for (size_t i = first; i < last; ++i) {
                ControlState& o = I.ctl[i];
                const int want = i == c.index ? 1 : 0;
                if (isRadio(o.kind) && o.checked != want) {
                    o.checked = want;
                    markDirtyLocked(I, i);
                    changed = true;
                }
            }
        }
    }
    if (changed) wakeFrontend();
    d.onCommand(id);
    return true;
}

bool inputText(Dialog& d, int id, const std::string& typed) {
    Dialog::Impl& I = d.impl();
    {
        std::lock_guard lk(I.m);
        auto it = I.byId.find(id);
        if (it == I.byId.end()) return false;
        ControlState& c = I.ctl[it->second];
        if (!c.enabled || !c.visible) return false;
        const bool edit = c.kind == Kind::Edit && !(c.style & ES_READONLY);
        if (!edit && !comboEditable(c)) return false;
        std::string s;
        for (char ch : typed) {
            if ((ch == '\n' || ch == '\r') && !(c.kind == Kind::Edit && (c.style & ES_MULTILINE)))
                break;  // a single-line field takes the text up to the line break
            if ((c.style & ES_NUMBER) && c.kind == Kind::Edit && !std::isdigit(static_cast<unsigned char>(ch)))
                continue;  // digits-only fields refuse other keys
            if ((c.style & ES_UPPERCASE) && c.kind == Kind::Edit)
                ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
            s += ch;
        }
        if (c.limit > 0 && static_cast<int>(s.size()) > c.limit) s.resize(c.limit);
        bool changed = false;
        setTextState(c, s, &changed);
        if (c.kind == Kind::ComboBox) c.curSel = -1;
        markDirtyLocked(I, c.index);
    }
    wakeFrontend();
    d.onEditChange(id);
    return true;
}

bool inputSelect(Dialog& d, int id, int index) {
    Dialog::Impl& I = d.impl();
    {
        std::lock_guard lk(I.m);
        auto it = I.byId.find(id);
        if (it == I.byId.end()) return false;
        ControlState& c = I.ctl[it->second];
        if (!c.enabled || !c.visible || !isList(c.kind)) return false;
        if (index < 0 || index >= static_cast<int>(c.items.size())) return false;
        if (isMulti(c)) {
            c.selected[index] = !c.selected[index];
            c.curSel = index;  // the caret
        } else {
            c.curSel = index;
            if (c.kind == Kind::ComboBox) c.text = c.items[index];
        }
        markDirtyLocked(I, c.index);
    }
    wakeFrontend();
    d.onSelChange(id);
    return true;
}

bool inputScroll(Dialog& d, int id, int firstLine) {
    Dialog::Impl& I = d.impl();
    int line = 0;
    {
        std::lock_guard lk(I.m);
        auto it = I.byId.find(id);
        if (it == I.byId.end()) return false;
        ControlState& c = I.ctl[it->second];
        if (c.kind != Kind::Edit || !(c.style & ES_MULTILINE)) return false;
        line = std::clamp(firstLine, 0, lineCount(c.text) - 1);
        c.firstVisibleLine = line;
        markDirtyLocked(I, c.index);
    }
    wakeFrontend();
    d.onScroll(id, line);
    return true;
}

void inputClose(Dialog& d) { d.onCommand(IDCANCEL); }

void inputEnter(Dialog& d) {
    int id = IDOK;
    {
        std::lock_guard lk(d.impl().m);
        for (const ControlState& c : d.impl().ctl)
            if (c.kind == Kind::DefPushButton && c.id >= 0) {
                if (!c.enabled || !c.visible) return;  // a disabled default button ignores Enter
                id = c.id;
                break;
            }
    }
    d.onCommand(id);
}

void inputSysCommand(Dialog& d, int cmd) { d.onSysCommand(cmd); }

}  // namespace ui::detail

namespace ui {

using namespace detail;

// ---- dialogs -------------------------------------------------------------------

Dialog::Dialog(DialogTemplate t) : tmpl_(std::move(t)), impl_(std::make_unique<Impl>()) {
    Impl& I = *impl_;
    I.self = this;
    I.title = tmpl_.caption;
    I.ctl.reserve(tmpl_.controls.size());
    for (size_t i = 0; i < tmpl_.controls.size(); ++i) {
        const ControlTemplate& ct = tmpl_.controls[i];
        ControlState c;
        c.index = i;
        c.id = ct.id;
        c.kind = ct.kind;
        c.style = ct.style;
        c.rect = ct.rect;
        if (!isList(ct.kind) && ct.kind != Kind::ProgressBar) c.text = ct.caption;
        c.enabled = !(ct.style & WS_DISABLED);
        c.visible = !(ct.style & WS_HIDDEN);
        I.ctl.push_back(std::move(c));
        if (ct.id != -1) I.byId.emplace(ct.id, i);  // the first control with an id wins
    }
}

Dialog::~Dialog() {
    Loop& L = loop();
    std::unique_lock lk(L.m);
    const int64_t start = nowLocked();
    while (impl_->workersRunning > 0) {
        const bool dialogThread = L.dialogThread == std::this_thread::get_id();
        if (dialogThread && serveOneRequestLocked(lk)) continue;
        if (L.virt && dialogThread && runnableLocked() == 0) {
            const int64_t t = nextWorkerDeadlineLocked();
            if (t < 0 || t - start > kMaxAutoAdvanceMs) {
                lk.unlock();
                headlessAbort("a worker of the dialog \"" + title() + "\" never ends");
            }
            advanceLocked(t);
            continue;
        }
        if (dialogThread && !L.virt)
            dialogNapLocked(lk, -1);  // the other windows stay painted
        else
            L.cv.wait_for(lk, std::chrono::milliseconds(500));
    }
    std::list<Impl::Worker> threads = std::move(impl_->threads);
    purgeLocked(this);
    lk.unlock();
    for (auto& w : threads)
        if (w.thread.joinable()) w.thread.join();
}

int Dialog::runModal() {
    Loop& L = loop();
    Impl& I = *impl_;
    Frontend* fe = frontend();
    // No front end to show it, already running, or not the dialog thread.
    if (!fe || I.open || !onDialogThread()) return -1;
    I.ended = false;
    I.result = 0;
    Dialog* owner = nullptr;
    {
        std::lock_guard lk(L.m);
        if (!L.open.empty()) owner = L.open.back();
        L.open.push_back(this);
        I.open = true;
    }
    fe->createWindow(*this, owner);
    {
        std::lock_guard lk(I.m);
        I.created = true;
        I.dirty = Changes{};
        I.anyDirty = false;
    }
    onInitDialog();
    if (!I.ended) {
        flushRefresh(*this, fe);
        I.shown = true;
        fe->showWindow(*this);
        notifyObservers(*this, hooks::WindowEvent::Shown);
        invalidate();
        {
            std::lock_guard lk(L.m);
            L.loops.push_back(this);
        }
        fe->runLoop(*this);
        {
            std::lock_guard lk(L.m);
            L.loops.pop_back();
        }
    }
    onDestroy();
    // The window stays until the dialog's workers have ended; their requests
    // are still answered meanwhile.
    {
        std::unique_lock lk(L.m);
        const int64_t start = nowLocked();
        while (I.workersRunning > 0) {
            if (serveOneRequestLocked(lk)) continue;
            if (L.virt && runnableLocked() == 0) {
                const int64_t t = nextWorkerDeadlineLocked();
                if (t < 0 || t - start > kMaxAutoAdvanceMs) {
                    lk.unlock();
                    headlessAbort("a worker of the dialog \"" + title() + "\" never ends");
                }
                advanceLocked(t);
                continue;
            }
            if (L.virt)
                L.cv.wait_for(lk, std::chrono::milliseconds(500));
            else
                dialogNapLocked(lk, -1);  // the window stays painted, takes no input
        }
    }
    const int result = I.result;
    fe->destroyWindow(*this, result);
    if (I.shown) notifyObservers(*this, hooks::WindowEvent::Destroyed);
    {
        std::lock_guard lk(L.m);
        purgeLocked(this);
        I.open = false;
    }
    {
        std::lock_guard lk(I.m);
        I.created = false;
        I.shown = false;
        I.dirty = Changes{};
        I.anyDirty = false;
        I.window.reset();
    }
    return result;
}

void Dialog::endDialog(int result) {
    impl_->result = result;
    impl_->ended = true;
    wakeFrontend();
}

bool Dialog::isOpen() const { return impl_->open && !impl_->ended; }

void Dialog::onCommand(int id) {
    if (id == IDOK || id == IDCANCEL) endDialog(id);
}

// ---- window ----------------------------------------------------------------------

std::string Dialog::title() const {
    std::lock_guard lk(impl_->m);
    return impl_->title;
}

void Dialog::setTitle(const std::string& s) {
    {
        std::lock_guard lk(impl_->m);
        if (impl_->title == s) return;
        impl_->title = s;
        impl_->dirty.title = true;
        impl_->anyDirty = true;
    }
    wakeFrontend();
}

void Dialog::appendSystemMenu(int cmd, const std::string& text) {
    {
        std::lock_guard lk(impl_->m);
        impl_->menu.push_back({cmd, text});
        impl_->dirty.systemMenu = true;
        impl_->anyDirty = true;
    }
    wakeFrontend();
}

Rect Dialog::windowRect() const {
    std::lock_guard lk(impl_->m);
    const int x = impl_->originX, y = impl_->originY;
    return {x, y, x + dluToPxX(tmpl_.cx) + 2 * kFrameX, y + kCaptionY + dluToPxY(tmpl_.cy) + kFrameBottom};
}

Rect Dialog::clientRect() const { return {0, 0, dluToPxX(tmpl_.cx), dluToPxY(tmpl_.cy)}; }

Rect Dialog::controlRect(int id) const {
    std::lock_guard lk(impl_->m);
    auto it = impl_->byId.find(id);
    if (it == impl_->byId.end()) return {};
    const DlgRect& r = impl_->ctl[it->second].rect;
    const int x = impl_->originX + kFrameX, y = impl_->originY + kCaptionY;
    return {x + dluToPxX(r.x), y + dluToPxY(r.y), x + dluToPxX(r.x + r.cx), y + dluToPxY(r.y + r.cy)};
}

void Dialog::invalidate() {
    {
        std::lock_guard lk(loop().m);
        impl_->paintPending = true;
        loop().cv.notify_all();
    }
    wakeFrontend();
}

void Dialog::updateWindow() {
    if (!onDialogThread()) return;
    Frontend* fe = frontend();
    if (fe && impl_->shown) fe->updateNow(*this);
}

// ---- controls ----------------------------------------------------------------------

std::string Dialog::text(int id) const {
    return read(*this, id, std::string(), [](const ControlState& c) { return textOf(c); });
}

void Dialog::setText(int id, const std::string& s) {
    bool changed = false, notify = false;
    change(*this, id, [&](ControlState& c) {
        if (c.kind == Kind::ListBox) return false;
        setTextState(c, s, &changed);
        if (c.kind == Kind::ComboBox && changed) c.curSel = -1;
        notify = changed && c.kind == Kind::Edit;
        return changed;
    });
    if (!notify) return;
    // The edit tells its dialog about the new text, as it does for typing.
    if (onDialogThread())
        onEditChange(id);
    else
        post(*this, Msg{Msg::Kind::EditChange, nullptr, 0, static_cast<uintptr_t>(id), 0});
}

bool Dialog::isEnabled(int id) const {
    return read(*this, id, false, [](const ControlState& c) { return c.enabled; });
}

void Dialog::enable(int id, bool on) {
    change(*this, id, [on](ControlState& c) { return std::exchange(c.enabled, on) != on; });
}

bool Dialog::isVisible(int id) const {
    return read(*this, id, false, [](const ControlState& c) { return c.visible; });
}

void Dialog::show(int id, bool on) {
    change(*this, id, [on](ControlState& c) { return std::exchange(c.visible, on) != on; });
}

int Dialog::checked(int id) const {
    return read(*this, id, 0, [](const ControlState& c) { return c.checked; });
}

void Dialog::setChecked(int id, int state) {
    const int s = std::clamp(state, 0, 2);
    change(*this, id, [s](ControlState& c) { return std::exchange(c.checked, s) != s; });
}

void Dialog::setTextLimit(int id, int chars) {
    const int n = std::max(0, chars);
    change(*this, id, [n](ControlState& c) { return std::exchange(c.limit, n) != n; });
}

void Dialog::setRange(int id, int lo, int hi) {
    change(*this, id, [=](ControlState& c) {
        c.lo = lo;
        c.hi = hi;
        c.pos = hi >= lo ? std::clamp(c.pos, lo, hi) : lo;
        return true;
    });
}

void Dialog::setStep(int id, int step) {
    change(*this, id, [step](ControlState& c) { return std::exchange(c.step, step) != step; });
}

void Dialog::setPos(int id, int pos) {
    change(*this, id, [pos](ControlState& c) {
        const int p = c.hi >= c.lo ? std::clamp(pos, c.lo, c.hi) : c.lo;
        return std::exchange(c.pos, p) != p;
    });
}

void Dialog::stepIt(int id) {
    change(*this, id, [](ControlState& c) {
        int p = c.pos + c.step;
        // Past the end the bar starts over from the beginning.
        if (p > c.hi) p = c.lo + (p - c.hi);
        if (p < c.lo || p > c.hi) p = c.lo;
        c.pos = p;
        return true;
    });
}

int Dialog::pos(int id) const {
    return read(*this, id, 0, [](const ControlState& c) { return c.pos; });
}

void Dialog::resetContent(int id) {
    change(*this, id, [](ControlState& c) {
        if (!isList(c.kind)) return false;
        c.items.clear();
        c.selected.clear();
        c.curSel = -1;
        c.lastAdded = -1;
        ++c.rewritten;
        if (c.kind == Kind::ComboBox) c.text.clear();
        return true;
    });
}

int Dialog::addString(int id, const std::string& s) {
    int where = -1;
    change(*this, id, [&](ControlState& c) {
        if (!isList(c.kind)) return false;
        size_t at = c.items.size();
        if (c.style & LBS_SORT) {
            // Case-insensitive order; equal items keep the order they came in.
            at = std::upper_bound(c.items.begin(), c.items.end(), s,
                                  [](const std::string& a, const std::string& b) {
                                      return strcasecmp(a.c_str(), b.c_str()) < 0;
                                  }) - c.items.begin();
        }
        if (at != c.items.size()) ++c.rewritten;
        c.items.insert(c.items.begin() + static_cast<long>(at), s);
        if (isMulti(c)) c.selected.insert(c.selected.begin() + static_cast<long>(at), false);
        else c.selected.assign(c.items.size(), false);
        if (c.curSel >= static_cast<int>(at)) ++c.curSel;  // the selection stays on its item
        where = static_cast<int>(at);
        c.lastAdded = where;
        ++c.added;
        return true;
    });
    return where;
}

int Dialog::count(int id) const {
    return read(*this, id, 0, [](const ControlState& c) { return static_cast<int>(c.items.size()); });
}

std::string Dialog::itemText(int id, int index) const {
    return read(*this, id, std::string(), [index](const ControlState& c) {
        return index >= 0 && index < static_cast<int>(c.items.size()) ? c.items[index] : std::string();
    });
}

int Dialog::curSel(int id) const {
    return read(*this, id, -1, [](const ControlState& c) { return c.curSel; });
}

void Dialog::setCurSel(int id, int index) {
    change(*this, id, [index](ControlState& c) {
        if (!isList(c.kind)) return false;
        const int i = index >= 0 && index < static_cast<int>(c.items.size()) ? index : -1;
        c.curSel = i;
        if (c.kind == Kind::ComboBox) c.text = i >= 0 ? c.items[i] : std::string();
        return true;
    });
}

bool Dialog::isSelected(int id, int index) const {
    return read(*this, id, false, [index](const ControlState& c) {
        if (index < 0 || index >= static_cast<int>(c.items.size())) return false;
        return isMulti(c) ? static_cast<bool>(c.selected[index]) : c.curSel == index;
    });
}

void Dialog::setSelected(int id, int index, bool on) {
    change(*this, id, [=](ControlState& c) {
        if (!isList(c.kind)) return false;
        const int n = static_cast<int>(c.items.size());
        if (isMulti(c)) {
            // index -1: every item, as the platform's list boxes take it.
            if (index == -1) {
                c.selected.assign(c.items.size(), on);
                return true;
            }
            if (index < 0 || index >= n) return false;
            c.selected[index] = on;
            return true;
        }
        if (index < 0 || index >= n) return false;
        if (on) c.curSel = index;
        else if (c.curSel == index) c.curSel = -1;
        return true;
    });
}

std::vector<int> Dialog::selectedItems(int id) const {
    return read(*this, id, std::vector<int>(), [](const ControlState& c) {
        std::vector<int> v;
        if (isMulti(c)) {
            for (size_t i = 0; i < c.selected.size(); ++i)
                if (c.selected[i]) v.push_back(static_cast<int>(i));
        } else if (c.curSel >= 0) {
            v.push_back(c.curSel);
        }
        return v;
    });
}

int Dialog::firstVisibleLine(int id) const {
    return read(*this, id, 0, [](const ControlState& c) { return c.firstVisibleLine; });
}

void Dialog::lineScroll(int id, int lines) {
    change(*this, id, [lines](ControlState& c) {
        if (c.kind != Kind::Edit) return false;
        const int l = std::clamp(c.firstVisibleLine + lines, 0, lineCount(c.text) - 1);
        return std::exchange(c.firstVisibleLine, l) != l;
    });
}

// ---- timers and messages ---------------------------------------------------------

void Dialog::setTimer(int id, unsigned ms) {
    // The platform does not tick faster than every 10 ms.
    const int64_t interval = std::max<int64_t>(ms, 10);
    {
        std::lock_guard lk(loop().m);
        Loop& L = loop();
        std::erase_if(L.timers, [&](const Timer& t) { return t.d == this && t.id == id; });
        L.timers.push_back(Timer{this, id, interval, nowLocked() + interval, ++L.timerSeq});
        L.cv.notify_all();
    }
    wakeFrontend();
}

void Dialog::killTimer(int id) {
    std::lock_guard lk(loop().m);
    std::erase_if(loop().timers, [&](const Timer& t) { return t.d == this && t.id == id; });
}

void Dialog::postMessage(unsigned msg, uintptr_t w, intptr_t l) {
    post(*this, Msg{Msg::Kind::User, nullptr, msg, w, l});
}

void Dialog::postDeviceChange(unsigned event) {
    post(*this, Msg{Msg::Kind::Device, nullptr, event, 0, 0});
}

void Dialog::postClose() { post(*this, Msg{Msg::Kind::Close, nullptr, 0, 0, 0}); }

// ---- message boxes and file dialogs --------------------------------------------------

int Dialog::messageBox(const std::string& text, const std::string& title, unsigned flags) {
    const std::string t = title.empty() ? programName() : title;
    Frontend* fe = frontend();
    if (!fe) return defaultAnswer(flags);
    if (onDialogThread()) return fe->messageBox(isOpen() ? this : nullptr, text, t, flags);
    Request r;
    r.kind = Request::Kind::Box;
    r.owner = this;
    r.text = text;
    r.title = t;
    r.flags = flags;
    askDialogThread(r);
    return r.answer;
}

static std::optional<std::string> fileDialog(Dialog* d, bool save, const FileDialogSpec& spec) {
    Frontend* fe = frontend();
    if (!fe) return std::nullopt;
    if (onDialogThread()) return fe->fileDialog(d && d->isOpen() ? d : nullptr, save, spec);
    Request r;
    r.kind = save ? Request::Kind::Save : Request::Kind::Open;
    r.owner = d;
    r.spec = spec;
    askDialogThread(r);
    return r.path;
}

std::optional<std::string> Dialog::openFileDialog(const FileDialogSpec& spec) {
    return fileDialog(this, false, spec);
}

std::optional<std::string> Dialog::saveFileDialog(const FileDialogSpec& spec) {
    return fileDialog(this, true, spec);
}

int messageBox(const std::string& text, const std::string& title, unsigned flags) {
    const std::string t = title.empty() ? programName() : title;
    Frontend* fe = frontend();
    if (!fe) return defaultAnswer(flags);
    if (onDialogThread()) return fe->messageBox(nullptr, text, t, flags);
    Request r;
    r.kind = Request::Kind::Box;
    r.text = text;
    r.title = t;
    r.flags = flags;
    askDialogThread(r);
    return r.answer;
}

// ---- workers -------------------------------------------------------------------------

void Dialog::startWorker(std::function<void()> fn) {
    onDialogThread();  // before the first run the starting thread becomes the dialog thread
    Loop& L = loop();
    std::list<Impl::Worker> finished;
    {
        std::lock_guard lk(L.m);
        // Threads of earlier workers that have ended are joined here, so a
        // dialog that runs many jobs does not pile them up.
        for (auto it = impl_->threads.begin(); it != impl_->threads.end();) {
            auto next = std::next(it);
            if (it->done) finished.splice(finished.end(), impl_->threads, it);
            it = next;
        }
        ++L.workers;
        ++impl_->workersRunning;
        Impl::Worker& w = impl_->threads.emplace_back();
        w.thread = std::thread([this, &w, fn = std::move(fn)] {
            markWorkerThread();
            try {
                fn();
            } catch (...) {
                // Nothing crosses the thread boundary; the program goes on.
                std::fprintf(stderr, "%s: a worker ended with an exception\n", programName().c_str());
            }
            std::lock_guard lk2(loop().m);
            --loop().workers;
            --impl_->workersRunning;
            w.done = true;
            loop().cv.notify_all();
        });
        L.cv.notify_all();
    }
    for (auto& w : finished) w.thread.join();
}

// ---- painting ----------------------------------------------------------------------------

static void addMark(Dialog& d, Mark m) {
    Dialog::Impl& I = d.impl();
    bool changed = false;
    {
        std::lock_guard lk(I.m);
        std::vector<Mark> before = I.marks;
        std::erase_if(I.marks, [&](const Mark& o) {
            return m.rect.left <= o.rect.left && m.rect.top <= o.rect.top &&
                   m.rect.right >= o.rect.right && m.rect.bottom >= o.rect.bottom;
        });
        I.marks.push_back(m);
        changed = I.marks != before;
        if (changed) {
            I.dirty.marks = true;
            I.anyDirty = true;
        }
    }
    if (changed) wakeFrontend();
}

void Painter::fillRect(Rect r, Color c) {
    Mark m;
    m.op = Mark::Op::Fill;
    m.rect = r;
    m.color = c;
    addMark(d_, std::move(m));
}

void Painter::drawText(Rect r, const std::string& text, const Font& f, Color fg,
                       std::optional<Color> bk, unsigned flags) {
    Mark m;
    m.op = Mark::Op::Text;
    m.rect = r;
    m.color = fg;
    m.background = bk;
    m.text = text;
    m.font = f;
    m.flags = flags;
    addMark(d_, std::move(m));
}

// ---- hooks -------------------------------------------------------------------------------

namespace hooks {

void addPoller(Poller p) { loop().pollers.push_back(std::move(p)); }

void addWindowObserver(std::function<void(Dialog&, WindowEvent)> fn) {
    loop().observers.push_back(std::move(fn));
}

void transcript(const std::string& line) {
    if (Frontend* fe = frontend(); fe && fe->headless()) fe->transcript(line);
}

bool headless() {
    Frontend* fe = frontend();
    return fe && fe->headless();
}

}  // namespace hooks

}  // namespace ui
