// qt_frontend.h - the Qt 6 Widgets front end: real windows for the dialog
// model, message boxes and file dialogs as Qt's, the modal loops, and the
// timers and pollers on the real clock.
#pragma once

#include "../frontend.h"

#include <QElapsedTimer>
#include <QObject>
#include <QPointer>
#include <QTimer>

#include <atomic>
#include <map>
#include <memory>
#include <vector>

class QApplication;
class QEventLoop;
class QSocketNotifier;

namespace ui::qtfe {

class DialogWindow;

class QtFrontend : public Frontend {
public:
    // Uses the running QApplication, or makes one from argc/argv.
    QtFrontend(int& argc, char** argv);
    ~QtFrontend() override;

    void createWindow(Dialog& d, Dialog* owner) override;
    void showWindow(Dialog& d) override;
    void destroyWindow(Dialog& d, int result) override;
    void refresh(Dialog& d, const Changes& what) override;
    void runLoop(Dialog& d) override;
    void wake() override;
    int messageBox(Dialog* owner, const std::string& text, const std::string& title,
                   unsigned flags) override;
    std::optional<std::string> fileDialog(Dialog* owner, bool save,
                                          const FileDialogSpec& request) override;
    void setBusyCursor(bool on) override;
    void updateNow(Dialog& d) override;
    void keepPainted() override;

    // The window of d, or nullptr (tests and screenshots).
    static DialogWindow* windowOf(const Dialog& d);

    // While a handler keeps the dialog thread busy for afterMs, the windows
    // show each change at most every everyMs (defaults 100 and 100).
    void setBusyRefresh(int afterMs, int everyMs);

    // How often the model has been pumped so far (tests, figures).
    static long pumpCount();

    // True when a display can be reached for real windows: a platform plugin
    // that needs none (offscreen, minimal, ...) or an X or Wayland server.
    static bool displayAvailable();

    // True while the windows paint for a dialog thread that is busy or
    // blocked: no input reaches the model and no handler runs meanwhile.
    static bool inputHeld();

private:
    void pumpNow();
    void postPump();
    // Lets Qt paint and lay out what is pending (expose, update and layout
    // requests) while user input waits and the model is not pumped.
    void paintPending();
    void armTimer();
    void syncPollers();
    void checkLoops();
    QWidget* parentFor(Dialog* owner) const;
    void takeScreenshotOnce(Dialog& d);
    void showWhileBusy();
    // The dialog thread works on input or queued work (nests).
    void beginDispatch();
    void endDispatch();
    // While a nested loop waits for the user, the work around it does not
    // count as busy.
    class Waiting {
    public:
        explicit Waiting(QtFrontend& fe);
        ~Waiting();
        Waiting(const Waiting&) = delete;
        Waiting& operator=(const Waiting&) = delete;
    private:
        QtFrontend& fe_;
        int depth_;
    };

    std::unique_ptr<QApplication> ownApp_;
    QObject* context_ = nullptr;    // lives in the GUI thread; wake() posts to it
    QTimer* dueTimer_ = nullptr;    // the next timer or poller of the model
    std::atomic<bool> wakePending_{false};
    int holding_ = 0;               // paintPending() running (dialog thread)
    bool pumpDeferred_ = false;     // a pump came while holding
    struct Loop { Dialog* dialog; QEventLoop* loop; };
    std::vector<Loop> loops_;
    std::map<int, QSocketNotifier*> notifiers_;
    int busyCursor_ = 0;
    // Dialog thread only: how long it has been busy, and the last refresh
    // made while it was.
    QElapsedTimer clock_;
    int dispatchDepth_ = 0;
    bool inBusyRefresh_ = false;
    qint64 busySince_ = 0, lastBusyRefresh_ = 0;
    int busyAfterMs_ = 100, busyEveryMs_ = 100;
};

}  // namespace ui::qtfe
