// dialog.h - the dialog model every program of the tool set is written against.
//
// A program is one modal dialog (and the modal dialogs it opens). A dialog is
// built from a template (controls with IDs, kinds, captions, styles and
// rectangles in dialog units) and reacts through virtual handlers that always
// run on the dialog thread. Controls are read and written by ID from any
// thread: the model keeps their state and the front end (Qt windows, or the
// headless script runner) shows it. Long jobs run on workers started with
// startWorker(); they may set controls, post messages and ask for message
// boxes, which the dialog thread shows while the worker waits for the answer.
//
// Nothing here throws across a handler or thread boundary.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace ui {

// ---- results, message box flags, messages ---------------------------------

enum : int { IDOK = 1, IDCANCEL = 2, IDABORT = 3, IDRETRY = 4, IDIGNORE = 5, IDYES = 6, IDNO = 7 };

enum MessageBoxFlags : unsigned {
    MB_OK = 0x0, MB_OKCANCEL = 0x1, MB_YESNO = 0x4,
    MB_ICONERROR = 0x10,        // also "stop" / "hand"
    MB_ICONQUESTION = 0x20,
    MB_ICONWARNING = 0x30,      // also "exclamation"
    MB_ICONINFORMATION = 0x40,
};
inline constexpr unsigned MB_ICONSTOP = MB_ICONERROR;
inline constexpr unsigned MB_ICONEXCLAMATION = MB_ICONWARNING;

inline constexpr unsigned WM_USER = 0x0400;
inline constexpr unsigned DBT_DEVICEARRIVAL = 0x8000;
inline constexpr unsigned DBT_DEVICEREMOVECOMPLETE = 0x8004;

// ---- templates -------------------------------------------------------------

enum class Kind {
    PushButton, DefPushButton, CheckBox, AutoCheckBox, RadioButton, AutoRadioButton,
    GroupBox, Static, Edit, ListBox, ComboBox, ProgressBar, Bitmap,
};

enum Style : uint32_t {
    WS_DISABLED = 1u << 0,
    WS_HIDDEN = 1u << 1,      // created invisible
    WS_GROUP = 1u << 2,       // first control of a radio group
    ES_READONLY = 1u << 3,
    ES_MULTILINE = 1u << 4,
    ES_NUMBER = 1u << 5,      // digits only
    ES_UPPERCASE = 1u << 6,   // typed letters become capitals
    WS_VSCROLL = 1u << 7,
    LBS_SORT = 1u << 8,       // list box / combo box keeps its items sorted (CBS_SORT too)
    LBS_MULTIPLESEL = 1u << 9,  // each click toggles an item
    CBS_DROPDOWNLIST = 1u << 10,  // combo: pick only
    CBS_DROPDOWN = 1u << 11,      // combo: editable
    SS_CENTER = 1u << 12,
    BS_MULTILINE = 1u << 13,  // button caption may hold "\n"
};

// Rectangle in dialog units (x, y, width, height), as in dialog templates.
struct DlgRect { int x = 0, y = 0, cx = 0, cy = 0; };

struct ControlTemplate {
    int id = -1;               // -1: no ID (frames, labels, bitmaps)
    Kind kind = Kind::Static;
    std::string caption;       // bitmap: resource name
    DlgRect rect;
    uint32_t style = 0;
    // Multi-line edits: the box is this many characters wide and its text
    // wraps into rows of that many characters (a row also ends at a line
    // break); first visible lines and scrolling count those rows. 0: a row
    // ends only at a line break.
    int wrapColumns = 0;
};

struct DialogTemplate {
    int id = 0;                // resource number (102, 130, ...)
    std::string caption;
    int cx = 0, cy = 0;        // size in dialog units
    bool systemMenu = true;    // caption bar with system menu and close box
    std::vector<ControlTemplate> controls;
};

// ---- painting --------------------------------------------------------------

struct Rect { int left = 0, top = 0, right = 0, bottom = 0; };  // pixels
struct Color {
    uint8_t r = 0, g = 0, b = 0;
    friend bool operator==(const Color&, const Color&) = default;
};
inline constexpr Color kButtonFace{240, 240, 240};  // system colour of button faces

struct Font {
    std::string face = "MS Shell Dlg";
    int height = 8;     // cell height in pixels, as the platform's font creation takes it
    int width = 0;      // 0 = natural
    int weight = 400;
};

enum TextFlags : unsigned { DT_LEFT = 0, DT_CENTER = 1, DT_VCENTER = 4, DT_SINGLELINE = 0x20 };

// Drawing on a dialog's client area. Marks are retained per dialog: a new
// operation replaces every earlier one whose rectangle it covers, so a mark
// drawn again (from onPaint) does not pile up. Usable from any thread.
class Painter {
public:
    explicit Painter(class Dialog& d) : d_(d) {}
    void fillRect(Rect r, Color c);
    // bk empty = transparent background.
    void drawText(Rect r, const std::string& text, const Font& f, Color fg,
                  std::optional<Color> bk, unsigned flags);
private:
    Dialog& d_;
};

// ---- file dialogs ------------------------------------------------------------

struct FileDialogSpec {
    std::string filter;        // platform form: "HEX File (*.hex)|*.hex||"
    std::string defaultExt;    // without the dot
    std::string initialName;
    bool hideReadOnly = true;
};

// ---- dialogs -------------------------------------------------------------------

class Dialog {
public:
    explicit Dialog(DialogTemplate t);
    virtual ~Dialog();
    Dialog(const Dialog&) = delete;
    Dialog& operator=(const Dialog&) = delete;

    // Creates the window, calls onInitDialog, and runs until endDialog; returns
    // its result. Called on the dialog thread; nests (a modal dialog opened
    // from a handler runs its own loop and returns to the caller).
    int runModal();
    // Ends the modal loop after the current handler returns. Dialog thread.
    void endDialog(int result);
    bool isOpen() const;

    const DialogTemplate& tmpl() const { return tmpl_; }

    // ---- handlers (dialog thread) ----
    virtual bool onInitDialog() { return true; }
    // Button clicks (all kinds of buttons, check boxes and radio buttons).
    // Default: IDOK and IDCANCEL end the dialog with that result. The close
    // box and the Escape key arrive here as IDCANCEL, Enter as IDOK.
    virtual void onCommand(int id);
    virtual void onSelChange(int /*id*/) {}   // list/combo selection confirmed by the user
    virtual void onEditChange(int /*id*/) {}  // edit text changed (typed or set by setText)
    virtual void onTimer(int /*id*/) {}
    virtual int onDeviceChange(unsigned /*event*/) { return 0; }
    virtual void onUserMessage(unsigned /*msg*/, uintptr_t /*w*/, intptr_t /*l*/) {}
    virtual void onPaint(Painter&) {}         // repaint: draw the retained marks again
    virtual void onSysCommand(int /*cmd*/) {} // items appended to the system menu
    virtual void onScroll(int /*id*/, int /*firstVisibleLine*/) {}  // multi-line edit scrolled
    virtual void onDestroy() {}               // window going away, after the loop ended

    // ---- window ----
    std::string title() const;
    void setTitle(const std::string& s);
    void appendSystemMenu(int cmd, const std::string& text);  // separator + item
    Rect windowRect() const;   // screen pixels
    Rect clientRect() const;   // client pixels, origin 0,0
    Rect controlRect(int id) const;  // screen pixels
    void invalidate();         // ask for onPaint
    // Shows every change made so far at once (the platform's UpdateWindow):
    // changed controls are laid out and painted, a list box scrolls to the
    // item added last, and no input is taken meanwhile. For handlers that
    // work for a while on the dialog thread. Dialog thread; elsewhere and in
    // scripted runs nothing happens.
    void updateWindow();

    // ---- controls (any thread) ----
    std::string text(int id) const;
    void setText(int id, const std::string& s);
    bool isEnabled(int id) const;
    void enable(int id, bool on = true);
    bool isVisible(int id) const;
    void show(int id, bool on = true);
    int checked(int id) const;             // 0 or 1
    void setChecked(int id, int state);
    void setTextLimit(int id, int chars);  // edits; 0 = none
    // progress bars
    void setRange(int id, int lo, int hi);
    void setStep(int id, int step);
    void setPos(int id, int pos);
    void stepIt(int id);
    int pos(int id) const;
    // list boxes and combo boxes
    void resetContent(int id);
    int addString(int id, const std::string& s);  // index where it went (sorted lists sort)
    int count(int id) const;
    std::string itemText(int id, int index) const;
    int curSel(int id) const;              // -1 = none
    void setCurSel(int id, int index);
    bool isSelected(int id, int index) const;   // multiple-selection lists
    void setSelected(int id, int index, bool on);
    std::vector<int> selectedItems(int id) const;  // ascending
    // Multi-line edits: the first visible row, and scrolling by rows. A new
    // text set by the program shows from its first row, as the platform's
    // edit does; typing keeps the position.
    int firstVisibleLine(int id) const;
    void lineScroll(int id, int lines);

    // ---- timers and messages ----
    void setTimer(int id, unsigned ms);    // replaces a running timer of the same id
    void killTimer(int id);
    // Queues onUserMessage on the dialog thread; any thread.
    void postMessage(unsigned msg, uintptr_t w = 0, intptr_t l = 0);
    // Delivers a device-change event (queued, dialog thread); any thread.
    void postDeviceChange(unsigned event);
    // Queues the close message (as the close box: onCommand(IDCANCEL)); any thread.
    void postClose();

    // ---- message boxes and file dialogs (any thread; a worker blocks until
    // the dialog thread has the answer) ----
    int messageBox(const std::string& text, const std::string& title, unsigned flags);
    std::optional<std::string> openFileDialog(const FileDialogSpec& spec);
    std::optional<std::string> saveFileDialog(const FileDialogSpec& spec);

    // ---- workers ----
    // Starts a thread that runs fn. The dialog does not finish closing (its
    // destructor waits) while a worker it started still runs; the headless
    // runner counts it as busy until it ends.
    void startWorker(std::function<void()> fn);

    // Implementation state, owned by the platform layer.
    struct Impl;
    Impl& impl() const { return *impl_; }

private:
    DialogTemplate tmpl_;
    std::unique_ptr<Impl> impl_;
    friend class Painter;
};

// A message box without an owner dialog (title empty = the program's name).
int messageBox(const std::string& text, const std::string& title, unsigned flags);

// ---- clock, sleeping, events ---------------------------------------------------

// Milliseconds on the program's clock: real time with the Qt front end, the
// virtual clock in scripted runs. Workers sleep on it; dialog timers run on it.
int64_t nowMs();
void sleepMs(int64_t ms);

// Manual-reset event. wait() on the dialog thread keeps serving message boxes
// and file dialogs asked for by workers, so a dialog waiting for its worker
// never deadlocks against a worker waiting for an answer.
class ManualResetEvent {
public:
    explicit ManualResetEvent(bool initiallySet);
    void set();
    void reset();
    bool isSet() const;
    // Waits until set; timeoutMs < 0 = no limit (on the program's clock).
    // Returns true when set.
    bool wait(int64_t timeoutMs = -1);
private:
    mutable std::mutex m_;
    std::condition_variable cv_;
    bool set_;
};

// Shows the busy cursor while it lives.
class WaitCursor {
public:
    WaitCursor();
    ~WaitCursor();
};

// ---- program start ----------------------------------------------------------------

struct ProgramInfo {
    std::string name;          // the program's name: default message box title ("Tavrin")
    std::string executable;    // file name of the executable ("Tavrin", "Ornel", ...)
};

// Runs a program: with "--script FILE" (or "-" for standard input) headless
// from the script; with no arguments in real windows (and a clear message on
// standard error and exit code 2 when there is no display). body constructs
// the main dialog and runs it modally; its return value is ignored. Returns
// the process exit code.
int runProgram(int argc, char** argv, const ProgramInfo& info, const std::function<void()>& body);
const ProgramInfo& program();

// ---- hooks for the platform services ----------------------------------------------

namespace hooks {
// A poller the front end calls on the dialog thread: the headless runner after
// every script line and every step of the virtual clock; the Qt front end when
// fd becomes readable (fd >= 0) and at the times nextDue returns.
struct Poller {
    std::function<void()> poll;
    int fd = -1;
    std::function<std::optional<int64_t>()> nextDue;  // program-clock time of the next timed change
};
void addPoller(Poller p);

// Told on the dialog thread about every dialog window shown, retitled and
// destroyed (the cross-process window registry keeps its titles).
enum class WindowEvent { Shown, Retitled, Destroyed };
void addWindowObserver(std::function<void(Dialog&, WindowEvent)> fn);

// One line of the headless transcript (documents opened, programs started);
// ignored with real windows. Any thread.
void transcript(const std::string& line);
bool headless();
}  // namespace hooks

}  // namespace ui
