// headless.cpp - the script runner: the modal loops of a scripted run read
// the script, one line at every idle point, and the transcript records the
// dialogs, boxes, file dialogs and marks.
#include "headless.h"
#include "internal.h"

#include <velk_sim.h>

#include <algorithm>
#include <charconv>
#include <cstdlib>

namespace ui::detail {

namespace {

Headless* gActive = nullptr;

std::string trim(const std::string& s) {
    size_t a = 0, b = s.size();
    while (a < b && (s[a] == ' ' || s[a] == '\t')) ++a;
    while (b > a && (s[b - 1] == ' ' || s[b - 1] == '\t' || s[b - 1] == '\r')) --b;
    return s.substr(a, b - a);
}

// Splits off the first word; rest is what follows the single separating blank.
std::string word(const std::string& s, std::string& rest) {
    const size_t sp = s.find(' ');
    if (sp == std::string::npos) {
        rest.clear();
        return s;
    }
    rest = s.substr(sp + 1);
    return s.substr(0, sp);
}

std::optional<int64_t> number(const std::string& s) {
    int64_t v = 0;
    auto [p, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
    if (ec != std::errc() || p != s.data() + s.size() || s.empty()) return std::nullopt;
    return v;
}

std::string iconName(unsigned flags) {
    switch (flags & 0xF0) {
    case MB_ICONERROR: return "error";
    case MB_ICONQUESTION: return "question";
    case MB_ICONWARNING: return "warning";
    case MB_ICONINFORMATION: return "information";
    default: return "none";
    }
}

std::string buttonsName(unsigned flags) {
    switch (flags & 0xF) {
    case MB_OKCANCEL: return "OKCancel";
    case MB_YESNO: return "YesNo";
    default: return "OK";
    }
}

bool fits(unsigned flags, int answer) {
    switch (flags & 0xF) {
    case MB_OKCANCEL: return answer == IDOK || answer == IDCANCEL;
    case MB_YESNO: return answer == IDYES || answer == IDNO;
    default: return answer == IDOK;
    }
}

std::string yesNo(bool b) { return b ? "yes" : "no"; }

std::string selectedText(const std::vector<int>& v) {
    if (v.empty()) return "none";
    std::string s;
    for (int i : v) s += (s.empty() ? "" : ",") + std::to_string(i);
    return s;
}

}  // namespace

[[noreturn]] void headlessAbort(const std::string& reason) {
    if (gActive) gActive->fail(reason);
    std::fprintf(stdout, "failed: %s\n", reason.c_str());
    std::fflush(stdout);
    std::fprintf(stderr, "%s: %s\n", programName().c_str(), reason.c_str());
    std::_Exit(1);
}

Headless::Headless(std::istream& script, std::FILE* out) : in_(script), out_(out) { gActive = this; }

Headless::~Headless() {
    if (gActive == this) gActive = nullptr;
}

void Headless::transcript(const std::string& line) {
    std::lock_guard lk(outM_);
    std::fputs(line.c_str(), out_);
    std::fputc('\n', out_);
    std::fflush(out_);
}

void Headless::fail(const std::string& what) {
    const std::string where =
        ended_ ? "at the end of the script" : "at line " + std::to_string(lineNo_);
    transcript("failed " + where + ": " + what);
    std::fprintf(stderr, "%s: script failed %s: %s\n", programName().c_str(), where.c_str(), what.c_str());
    std::fflush(stderr);
    std::_Exit(1);
}

// ---- windows ------------------------------------------------------------------

void Headless::createWindow(Dialog&, Dialog*) {}

// dialog "TITLE" opened
void Headless::showWindow(Dialog& d) {
    transcript("dialog " + quote(d.title()) + " opened");
    shown_[&d];
    printMarks(d);
}

// dialog "TITLE" closed RESULT
void Headless::destroyWindow(Dialog& d, int result) {
    transcript("dialog " + quote(d.title()) + " closed " + resultName(result));
    shown_.erase(&d);
}

void Headless::refresh(Dialog& d, const Changes& what) {
    if (what.marks) printMarks(d);
}

// The marks of the canvas that were not on it when it was last recorded, so
// that a mark drawn again (onPaint, a repeated run) is recorded once.
void Headless::printMarks(Dialog& d) {
    auto it = shown_.find(&d);
    if (it == shown_.end()) return;
    std::vector<Mark> now = marks(d);
    for (const Mark& m : now)
        if (std::find(it->second.begin(), it->second.end(), m) == it->second.end())
            transcript(markLine(d, m));
    it->second = std::move(now);
}

// box "TITLE" ICON BUTTONS "TEXT" -> ANSWER
int Headless::messageBox(Dialog*, const std::string& text, const std::string& title, unsigned flags) {
    const std::string line = "box " + quote(title) + " " + iconName(flags) + " " + buttonsName(flags) + " " + quote(text);
    if (answers_.empty()) {
        transcript(line + " -> ?");
        fail("a message box came with no answer queued");
    }
    const int a = answers_.front();
    answers_.pop_front();
    if (!fits(flags, a)) {
        transcript(line + " -> ?");
        fail("the queued answer " + resultName(a) + " is not a button of this box (" + buttonsName(flags) + ")");
    }
    transcript(line + " -> " + resultName(a));
    return a;
}

// file open|save "FILTER" -> "PATH" | cancel
std::optional<std::string> Headless::fileDialog(Dialog*, bool save, const FileDialogSpec& spec) {
    const std::string line = std::string("file ") + (save ? "save " : "open ") + quote(spec.filter);
    if (files_.empty()) {
        transcript(line + " -> ?");
        fail("a file dialog came with no file queued");
    }
    std::optional<std::string> path = files_.front();
    files_.pop_front();
    if (path && !spec.defaultExt.empty()) {
        // As the platform's dialog: a name typed without extension gets the
        // default one.
        const size_t slash = path->find_last_of('/');
        const std::string name = slash == std::string::npos ? *path : path->substr(slash + 1);
        if (name.find('.') == std::string::npos) *path += "." + spec.defaultExt;
    }
    transcript(line + " -> " + (path ? quote(*path) : std::string("cancel")));
    return path;
}

// ---- the loop -----------------------------------------------------------------

void Headless::runLoop(Dialog& d) {
    while (!loopEnded(d)) {
        if (!drain()) continue;
        if (pendingTarget_) {
            stepTo(*pendingTarget_);
            continue;
        }
        if (pendingWait_) {
            waitIdle();
            continue;
        }
        // Bus changes made by other processes (velk-sim) since the last line
        // reach the program before the next line acts.
        runPollers();
        if (!drain()) continue;
        std::string line;
        if (!nextLine(line)) {
            endOfScript(d);
            continue;
        }
        execute(line);
    }
}

void Headless::preload() {
    std::string line;
    while (nextLine(line)) {
        if (line.rfind("answer ", 0) != 0 && line.rfind("file ", 0) != 0) {
            held_ = line;
            return;
        }
        execute(line);
    }
}

bool Headless::nextLine(std::string& line) {
    if (held_) {
        line = std::move(*held_);
        held_.reset();
        return true;
    }
    if (ended_) return false;
    std::string raw;
    while (std::getline(in_, raw)) {
        ++lineNo_;
        if (!raw.empty() && raw.back() == '\r') raw.pop_back();
        // Leading blanks go; the rest of the line (a TEXT) stays as written.
        size_t a = 0;
        while (a < raw.size() && (raw[a] == ' ' || raw[a] == '\t')) ++a;
        line = raw.substr(a);
        if (line.empty() || line[0] == '#') continue;
        return true;
    }
    ended_ = true;
    return false;
}

// The script has run out with dialogs still open: each open dialog, top
// first, is closed as by its close box (IDCANCEL); one that stays open after
// that has run is ended with IDCANCEL. Workers still sleeping then see their
// dialog close (its window waits for them, the clock moving on its own).
void Headless::endOfScript(Dialog& d) {
    if (!endAnnounced_) {
        endAnnounced_ = true;
        transcript("script ended");
    }
    inputClose(d);
    if (!drain()) return;
    if (!loopEnded(d)) d.endDialog(IDCANCEL);
}

bool Headless::drain() {
    Loop& L = loop();
    for (;;) {
        if (currentLoopEnded()) return false;
        {
            std::unique_lock lk(L.m);
            settleLocked(lk);
        }
        pump();
        if (currentLoopEnded()) return false;
        if (!idle()) continue;
        std::lock_guard lk(L.m);
        if (runnableLocked() == 0 && L.requests.empty()) return true;
    }
}

// Moves the clock to target one deadline at a time (timers, sleeping and
// waiting workers, pollers' timed changes), letting everything due run until
// idle at each step.
void Headless::stepTo(int64_t target) {
    pendingTarget_ = target;
    for (;;) {
        if (!drain()) return;
        const int64_t now = nowMs();
        if (now >= target) break;
        int64_t next = target;
        {
            std::lock_guard lk(loop().m);
            const int64_t t = nextDeadlineLocked();
            if (t > now && t < next) next = t;
        }
        if (auto due = nextDue(); due && *due > now && *due < next) next = *due;
        {
            std::lock_guard lk(loop().m);
            advanceLocked(next);
        }
        runPollers();
    }
    pendingTarget_.reset();
}

// Runs until idle; while only sleeping workers are left, moves the clock to
// the earliest of their deadlines (timers due on the way fire). Timers alone
// do not keep it going.
void Headless::waitIdle() {
    if (!pendingWait_) {
        pendingWait_ = true;
        waitStart_ = nowMs();
    }
    for (;;) {
        if (!drain()) return;
        int64_t t;
        {
            std::lock_guard lk(loop().m);
            t = nextWorkerDeadlineLocked();
        }
        if (t < 0) break;
        if (t - waitStart_ > kMaxAutoAdvanceMs)
            fail("wait: workers still sleeping after " + std::to_string(kMaxAutoAdvanceMs) +
                 " ms of program time");
        stepTo(t);
        if (pendingTarget_) return;
    }
    pendingWait_ = false;
}

int Headless::finish() {
    std::string line;
    if (nextLine(line)) fail("the program ended before this line");
    if (!answers_.empty()) fail(std::to_string(answers_.size()) + " queued answer(s) not used");
    if (!files_.empty()) fail(std::to_string(files_.size()) + " queued file choice(s) not used");
    return 0;
}

Dialog& Headless::top() {
    auto open = openDialogs();
    return *open.back();  // the runner only reads lines inside a modal loop
}

void Headless::execute(const std::string& line) {
    std::string rest;
    const std::string verb = word(line, rest);
    if (verb == "answer" || verb == "file") {
        queueChoice(verb, rest);
        return;
    }
    Dialog& d = top();
    if (verb == "click") {
        // An item appended to the system menu is picked with its command ID.
        if (auto cmd = number(trim(rest)); cmd && !indexOf(d, static_cast<int>(*cmd))) {
            for (const SystemMenuItem& item : systemMenu(d)) {
                if (item.cmd == *cmd) {
                    inputSysCommand(d, item.cmd);
                    drain();
                    return;
                }
            }
        }
        std::string after;
        const int id = controlAt(d, trim(rest), after);
        if (!trim(after).empty()) fail("click takes one control, not " + quote(rest));
        if (!inputClick(d, id)) fail("control " + std::to_string(id) + " cannot be clicked (disabled, hidden or not a button)");
    } else if (verb == "close") {
        if (!d.tmpl().systemMenu) fail("the dialog " + quote(d.title()) + " has no close box");
        inputClose(d);
    } else if (verb == "text") {
        std::string text;
        const int id = controlAt(d, rest, text);
        if (!inputText(d, id, unescape(text)))
            fail("control " + std::to_string(id) + " does not take typing (disabled, hidden, read-only or not an edit)");
    } else if (verb == "select") {
        std::string idx;
        const int id = controlAt(d, trim(rest), idx);
        auto i = number(trim(idx));
        if (!i) fail("not an index: " + idx);
        if (!inputSelect(d, id, static_cast<int>(*i)))
            fail("control " + std::to_string(id) + " cannot select item " + idx);
    } else if (verb == "advance") {
        auto ms = number(trim(rest));
        if (!ms || *ms < 0) fail("advance takes milliseconds, not " + quote(rest));
        stepTo(nowMs() + *ms);
        return;
    } else if (verb == "wait") {
        waitIdle();
        return;
    } else if (verb == "plug" || verb == "unplug") {
        const std::string name = trim(rest);
        const int ok = verb == "plug" ? VelkSimPlug(name.c_str()) : VelkSimUnplug(name.c_str());
        if (!ok) fail(verb + " " + name + ": " + VelkSimLastError());
        runPollers();
    } else if (verb == "expect") {
        expect(d, rest);
    } else if (verb == "expect-title") {
        const std::string want = unescape(rest);
        const std::string found = d.title();
        if (found != want)
            fail("expect-title: expected " + quote(want) + ", found " + quote(found));
    } else if (verb == "dump") {
        dump(d);
    } else {
        fail("unknown verb " + quote(verb));
    }
    drain();
}

// "ID" or "\"CAPTION\"" at the start of s. In a caption, \" stands for a
// double quote, and \n, \r, \t and \\ as in a TEXT.
int Headless::controlAt(Dialog& d, const std::string& s, std::string& rest) {
    if (s.empty() || s[0] != '"') {
        const std::string token = word(s, rest);
        auto id = number(token);
        if (!id) fail("not a control ID or a caption in double quotes: " + quote(token));
        if (!indexOf(d, static_cast<int>(*id))) fail("no control " + token + " in the dialog " + quote(d.title()));
        return static_cast<int>(*id);
    }
    std::string caption;
    size_t i = 1;
    bool closed = false;
    for (; i < s.size(); ++i) {
        const char c = s[i];
        if (c == '\\' && i + 1 < s.size()) {
            const char n = s[++i];
            switch (n) {
            case 'n': caption += '\n'; break;
            case 'r': caption += '\r'; break;
            case 't': caption += '\t'; break;
            case '\\': caption += '\\'; break;
            case '"': caption += '"'; break;
            default: caption += c; caption += n; break;
            }
            continue;
        }
        if (c == '"') {
            closed = true;
            ++i;
            break;
        }
        caption += c;
    }
    if (!closed) fail("the caption " + s + " has no closing double quote");
    if (i < s.size() && s[i] != ' ') fail("a blank must follow the caption in " + s);
    rest = i < s.size() ? s.substr(i + 1) : std::string();
    return controlByCaption(d, caption);
}

// Buttons of every kind, group boxes and static texts have captions (their
// text as shown now). An edit, list or combo box has none: it is named by the
// label (a static text) right before it in the template, as the label's
// access key reaches it on the platform.
int Headless::controlByCaption(Dialog& d, const std::string& caption) {
    const std::vector<ControlState> all = snapshot(d);
    auto labelled = [](Kind k) { return k == Kind::Edit || k == Kind::ListBox || k == Kind::ComboBox; };
    auto captioned = [&](Kind k) { return !labelled(k) && k != Kind::ProgressBar && k != Kind::Bitmap; };
    std::vector<size_t> hits;
    for (size_t i = 0; i < all.size(); ++i)
        if (captioned(all[i].kind) && all[i].text == caption) hits.push_back(i);
    if (hits.empty()) fail("no control captioned " + quote(caption) + " in the dialog " + quote(d.title()));
    if (hits.size() > 1)
        fail(std::to_string(hits.size()) + " controls are captioned " + quote(caption) + " in the dialog " +
             quote(d.title()) + ": name it by its ID");
    size_t i = hits.front();
    if (all[i].kind == Kind::Static && i + 1 < all.size() && labelled(all[i + 1].kind)) ++i;
    if (all[i].id < 0) fail("the control captioned " + quote(caption) + " has no ID");
    return all[i].id;
}

void Headless::queueChoice(const std::string& verb, const std::string& rest) {
    if (verb == "answer") {
        const std::string a = trim(rest);
        if (a == "OK") answers_.push_back(IDOK);
        else if (a == "Cancel") answers_.push_back(IDCANCEL);
        else if (a == "Yes") answers_.push_back(IDYES);
        else if (a == "No") answers_.push_back(IDNO);
        else fail("answer takes OK, Cancel, Yes or No, not " + quote(a));
        return;
    }
    const std::string p = unescape(rest);
    if (p.empty()) fail("file takes a path or -");
    files_.push_back(p == "-" ? std::nullopt : std::optional<std::string>(p));
}

void Headless::expect(Dialog& d, const std::string& rest) {
    std::string r1, value;
    const int id = controlAt(d, rest, r1);
    const std::string idText = std::to_string(id);
    const std::string prop = word(r1, value);
    auto index = indexOf(d, id);
    const ControlState c = *control(d, *index);
    std::string want = unescape(value), found;
    bool quoted = false;
    if (prop == "text") {
        found = d.text(id);
        quoted = true;
    } else if (prop == "enabled" || prop == "checked" || prop == "visible") {
        want = trim(want);
        if (want != "yes" && want != "no") fail(prop + " takes yes or no, not " + quote(want));
        found = yesNo(prop == "enabled" ? c.enabled : prop == "visible" ? c.visible : c.checked != 0);
    } else if (prop == "pos") {
        want = trim(want);
        found = std::to_string(c.pos);
    } else if (prop == "range") {
        want = trim(want);
        found = std::to_string(c.lo) + ".." + std::to_string(c.hi);
    } else if (prop == "count") {
        want = trim(want);
        found = std::to_string(c.items.size());
    } else if (prop.rfind("item:", 0) == 0) {
        auto n = number(prop.substr(5));
        if (!n) fail("not an item index: " + prop);
        found = d.itemText(id, static_cast<int>(*n));
        quoted = true;
    } else if (prop == "selected") {
        want = trim(want);
        if (want == "-1") want = "none";
        found = selectedText(d.selectedItems(id));
    } else {
        fail("unknown property " + quote(prop));
    }
    if (found != want) {
        fail("expect " + idText + " " + prop + ": expected " + (quoted ? quote(want) : want) +
             ", found " + (quoted ? quote(found) : found));
    }
}

// dump "TITLE"
//   ID KIND "TEXT" enabled=yes visible=yes [checked=..] [range=LO..HI pos=N]
//      [count=N selected=..] ["ITEM" ...]
//   menu CMD "TEXT"          (items appended to the system menu)
void Headless::dump(Dialog& d) {
    transcript("dump " + quote(d.title()));
    for (const ControlState& c : snapshot(d)) {
        std::string s = "  " + std::to_string(c.id) + " " + kindName(c.kind) + " " +
                        quote(c.kind == Kind::ListBox ? std::string() : c.text) +
                        " enabled=" + yesNo(c.enabled) + " visible=" + yesNo(c.visible);
        switch (c.kind) {
        case Kind::CheckBox: case Kind::AutoCheckBox: case Kind::RadioButton: case Kind::AutoRadioButton:
            s += " checked=" + yesNo(c.checked != 0);
            break;
        case Kind::ProgressBar:
            s += " range=" + std::to_string(c.lo) + ".." + std::to_string(c.hi) + " pos=" + std::to_string(c.pos);
            break;
        case Kind::ListBox: case Kind::ComboBox: {
            s += " count=" + std::to_string(c.items.size()) + " selected=" + selectedText(d.selectedItems(c.id));
            for (const auto& it : c.items) s += " " + quote(it);
            break;
        }
        default:
            break;
        }
        transcript(s);
    }
    for (const SystemMenuItem& item : systemMenu(d))
        transcript("  menu " + std::to_string(item.cmd) + " " + quote(item.text));
}

}  // namespace ui::detail
