// frontend.h - the seam between the dialog model and the front ends that show
// it (the Qt windows and the headless script runner).
//
// The model (dialog.cpp and friends) owns everything a dialog is: the state of
// its controls, its title, system menu and retained paint marks, its queue of
// posted messages, device changes, close requests and worker requests, its
// timers on the program clock, and its workers. A front end only shows that
// state and feeds user input back in:
//
//   * Every Frontend method except wake() is called on the dialog thread.
//     Setters called from workers do not reach the front end directly: the
//     model marks the control dirty and calls wake(); the next pump() (on the
//     dialog thread) calls refresh() with what changed.
//   * runLoop(d) is the modal loop of d. It must call pump() whenever wake()
//     was called and when the program clock reaches nextDue(), and return as
//     soon as loopEnded(d) is true (checked after every pump() and every input
//     call). It nests: a handler called from pump() or from an input call may
//     open another dialog, whose runLoop runs inside.
//   * User input goes through the input functions below (click, typed text,
//     selection, close box, Enter, system menu, scrolling). They apply what the
//     platform's controls do by themselves (auto check boxes and radio buttons
//     toggle, edits filter digits/capitals and cut at the limit, lists select)
//     and call the dialog's handler.
//   * Reading state for rendering: snapshot()/control()/marks()/systemMenu()
//     copy under the dialog's lock; call them from the dialog thread (in
//     refresh(), in paint events, when building the window).
//
// Selecting the front end: runProgram() uses the headless runner for
// "--script FILE" and otherwise the real front end made by
// ui::qt::createFrontend(), which the Qt front end (target platform_ui_qt)
// defines. When TAVRIN_QT is on, platform/ui/CMakeLists.txt links
// platform_ui_qt into platform_ui's interface and defines TAVRIN_UI_QT=1 for
// the program start; without it, starting with no arguments says that this
// build has no windowed front end and exits with code 2.
#pragma once

#include "dialog.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace ui {

// State of one control of a dialog, as the front end shows it. Controls are
// addressed by their index in the template (labels and frames have id -1).
struct ControlState {
    size_t index = 0;
    int id = -1;
    Kind kind = Kind::Static;
    uint32_t style = 0;
    DlgRect rect;                      // dialog units, from the template
    std::string text;                  // caption / edit text / combo edit text
    bool enabled = true;
    bool visible = true;
    int checked = 0;                   // buttons: 0 or 1
    int limit = 0;                     // edits: 0 = none
    int lo = 0, hi = 100, step = 10, pos = 0;  // progress bars
    std::vector<std::string> items;    // list and combo boxes
    int curSel = -1;                   // single-selection lists, combos
    std::vector<bool> selected;        // multiple-selection lists (size = items)
    int lastAdded = -1;                // lists: index of the item added last (-1: none since the reset)
    unsigned added = 0;                // lists: how many items were ever added (changes with each one)
    unsigned rewritten = 0;            // lists: changes when items go or come anywhere but at the end
    int firstVisibleLine = 0;          // multi-line edits
};

// One retained paint operation of a dialog's client area (pixels).
struct Mark {
    enum class Op { Fill, Text } op = Op::Fill;
    Rect rect;
    Color color;                       // fill colour / text colour
    std::optional<Color> background;   // text: empty = transparent
    std::string text;
    Font font;
    unsigned flags = 0;                // TextFlags
};

struct SystemMenuItem { int cmd = 0; std::string text; };

// What changed since the last refresh() of a dialog.
struct Changes {
    std::vector<size_t> controls;      // template indexes, ascending
    bool title = false;
    bool marks = false;
    bool systemMenu = false;
};

class Frontend {
public:
    virtual ~Frontend() = default;

    // The window of d is made (hidden) from its template and snapshot(), owned
    // by the dialog below it (nullptr for the first). Before onInitDialog.
    virtual void createWindow(Dialog& d, Dialog* owner) = 0;
    // After onInitDialog: the window appears (modal to its owner).
    virtual void showWindow(Dialog& d) = 0;
    // After the loop of d ended and onDestroy ran.
    virtual void destroyWindow(Dialog& d, int result) = 0;
    // State changed (see Changes).
    virtual void refresh(Dialog& d, const Changes& what) = 0;

    // Modal loop of d (see above).
    virtual void runLoop(Dialog& d) = 0;
    // Any thread: the model has work for pump() (queue entries, dirty state,
    // changed timers). Must not block and must be cheap.
    virtual void wake() = 0;

    // A message box; returns IDOK/IDCANCEL/IDYES/IDNO. owner is the dialog
    // it belongs to, nullptr for a box without owner (title already filled in).
    virtual int messageBox(Dialog* owner, const std::string& text, const std::string& title,
                           unsigned flags) = 0;
    // An open (save = false) or save file dialog; the chosen path or nothing.
    virtual std::optional<std::string> fileDialog(Dialog* owner, bool save,
                                                  const FileDialogSpec& spec) = 0;

    // Dialog::updateWindow on the dialog thread: take d's pending changes
    // (detail::flushChanges), lay them out and paint them now (a list box
    // scrolled to the item added last), without taking input and without
    // running any handler. Default: nothing (the headless runner shows
    // nothing but its transcript).
    virtual void updateNow(Dialog& /*d*/) {}
    // The dialog thread is blocked (a wait for an event or for the workers
    // of a closing dialog, a sleep): serve the windows' paint and expose
    // requests, take no input and run no handler. Called every
    // kKeepPaintedMs while the block lasts, after the model has handed the
    // pending changes of every open dialog to refresh(). Default: nothing.
    virtual void keepPainted() {}

    // The busy cursor (WaitCursor nests; the model calls this on the first
    // and after the last).
    virtual void setBusyCursor(bool on) = 0;

    // A transcript line (hooks::transcript and the model's own events).
    // Any thread. The Qt front end ignores it.
    virtual void transcript(const std::string& /*line*/) {}
    virtual bool headless() const { return false; }
};

// ---- the model's side, for front ends --------------------------------------

namespace detail {

// The active front end (set by runProgram or a test harness); nullptr before.
Frontend* frontend();
void setFrontend(Frontend* fe);

// True on the thread that runs the program body (the dialog thread).
bool onDialogThread();
void setDialogThread();  // the calling thread becomes the dialog thread

// Dispatches everything pending for the dialog thread, oldest first: worker
// requests (message boxes, file dialogs), posted messages, device changes and
// close requests of every open dialog (a nested loop also serves the dialogs
// below it, as the platform's modal loops do), paint requests, refreshes of
// changed state, due timers (only when nothing else is queued) and due
// pollers. Dialog thread only; reentrant (a handler may open a dialog).
void pump();
// True when pump() would find nothing to do right now (timers and pollers not
// yet due do not count).
bool idle();
// Program-clock time of the next due timer or poller, or nothing.
std::optional<int64_t> nextDue();
// Runs every poller (the Qt front end: when a poller's fd becomes readable).
void runPollers();
// The fds of the pollers that have one.
std::vector<int> pollerFds();

// Forgets every poller and window observer (the end of a run; tests that
// run several programs in one process).
void clearHooks();

bool loopEnded(const Dialog& d);
int loopResult(const Dialog& d);
// Open dialogs, bottom first; the last is the top dialog.
std::vector<Dialog*> openDialogs();

// Rendering.
std::vector<ControlState> snapshot(const Dialog& d);
std::optional<ControlState> control(const Dialog& d, size_t index);
std::optional<size_t> indexOf(const Dialog& d, int id);
std::vector<Mark> marks(const Dialog& d);
std::vector<SystemMenuItem> systemMenu(const Dialog& d);

// A per-dialog slot for the front end's own window object.
void setWindowData(Dialog& d, std::shared_ptr<void> data);
std::shared_ptr<void> windowData(const Dialog& d);

// Input (dialog thread). Each returns false when the control does not take
// that input (unknown id, disabled, hidden, wrong kind); then nothing happens.
bool inputClick(Dialog& d, int id);                  // buttons of every kind
bool inputText(Dialog& d, int id, const std::string& text);  // edits, editable combos
bool inputSelect(Dialog& d, int id, int index);      // lists/combos: select + confirm
bool inputScroll(Dialog& d, int id, int firstVisibleLine);  // multi-line edits
void inputClose(Dialog& d);                          // close box / Escape: IDCANCEL
void inputEnter(Dialog& d);                          // Enter: default button or IDOK
void inputSysCommand(Dialog& d, int cmd);            // appended system menu item

// Hands d's pending changes to the front end's refresh() now, and shows or
// hides the busy cursor as the wait cursors ask (dialog thread).
void flushChanges(Dialog& d);

// How often a blocked dialog thread keeps its windows painted (real clock).
inline constexpr int64_t kKeepPaintedMs = 25;
// On the dialog thread with real windows: hands the pending changes of every
// open dialog to the front end and lets it paint them (Frontend::keepPainted).
// Nothing in scripted runs or without a front end.
void keepWindowsPainted();

// Dialog units to pixels for the 8-point dialog font (base units 6 x 13):
// x px = dlu * 6 / 4, y px = dlu * 13 / 8, rounded to the nearest pixel.
int dluToPxX(int dlu);
int dluToPxY(int dlu);
// Size of the client area in pixels and the frame around it.
inline constexpr int kFrameX = 3;       // border width left/right
inline constexpr int kCaptionY = 26;    // caption bar + top border
inline constexpr int kFrameBottom = 3;
// Screen position of every window's top-left corner in headless runs. The
// Qt front end reports where its window really is with setWindowOrigin
// (windowRect and controlRect follow it).
inline constexpr int kScreenX = 100, kScreenY = 100;
void setWindowOrigin(Dialog& d, int x, int y);

}  // namespace detail

namespace qt {
// The Qt front end (platform_ui_qt). argc/argv go to QApplication.
std::unique_ptr<Frontend> createFrontend(int& argc, char** argv);
}  // namespace qt

}  // namespace ui
