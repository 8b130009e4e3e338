// qt_frontend.cpp - the Qt 6 Widgets front end.
#include "qt_frontend.h"

#include "qt_controls.h"
#include "qt_convert.h"
#include "qt_look.h"
#include "qt_window.h"

#include <QApplication>
#include <QDir>
#include <QEventLoop>
#include <QFileDialog>
#include <QHeaderView>
#include <QIcon>
#include <QTreeView>
#include <QPixmap>
#include <QKeyEvent>
#include <QMessageBox>
#include <QPushButton>
#include <QSocketNotifier>
#include <QStyleFactory>

#include <dlfcn.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <set>

namespace ui {

namespace qt {
std::unique_ptr<Frontend> createFrontend(int& argc, char** argv)
{
    if (!QApplication::instance() && !qtfe::QtFrontend::displayAvailable()) return nullptr;
    return std::make_unique<qtfe::QtFrontend>(argc, argv);
}
}  // namespace qt

namespace qtfe {

namespace {

QtFrontend* g_frontend = nullptr;
long g_pumps = 0;

// The window object kept in the model's per-dialog slot.
struct WindowSlot {
    QPointer<DialogWindow> window;
};

// Keeps a message box open against Escape and its close box when the box has
// no button that answers them (Yes/No, Abort/Retry/Ignore), as the platform does.
class NoEscape : public QObject {
public:
    using QObject::QObject;
protected:
    bool eventFilter(QObject* o, QEvent* e) override
    {
        if (e->type() == QEvent::KeyPress && static_cast<QKeyEvent*>(e)->key() == Qt::Key_Escape)
            return true;
        if (e->type() == QEvent::Close) {
            e->ignore();
            return true;
        }
        return QObject::eventFilter(o, e);
    }
};

// Whether the X server named by display lets this process in (it runs and
// the authorization matches). Asked through the X client library that Qt's
// own X plugin uses, so that a refused display is reported instead of Qt
// aborting the program. Without that library Qt is left to try.
bool xServerAccepts(const char* display)
{
    void* lib = ::dlopen("libxcb.so.1", RTLD_LAZY | RTLD_LOCAL);
    if (!lib) return true;
    using Connect = void* (*)(const char*, int*);
    using HasError = int (*)(void*);
    using Disconnect = void (*)(void*);
    auto connect = reinterpret_cast<Connect>(::dlsym(lib, "xcb_connect"));
    auto hasError = reinterpret_cast<HasError>(::dlsym(lib, "xcb_connection_has_error"));
    auto disconnect = reinterpret_cast<Disconnect>(::dlsym(lib, "xcb_disconnect"));
    bool ok = true;
    if (connect && hasError && disconnect) {
        void* c = connect(display, nullptr);
        ok = c && hasError(c) == 0;
        if (c) disconnect(c);
    }
    ::dlclose(lib);
    return ok;
}

}  // namespace

bool QtFrontend::displayAvailable()
{
    const char* platform = std::getenv("QT_QPA_PLATFORM");
    const std::string p = platform ? platform : "";
    if (!p.empty() && p.rfind("xcb", 0) != 0 && p.rfind("wayland", 0) != 0) return true;
    const char* wayland = std::getenv("WAYLAND_DISPLAY");
    const char* x = std::getenv("DISPLAY");
    if (p.rfind("wayland", 0) == 0) return wayland && *wayland;
    if (!x || !*x) return false;
    return xServerAccepts(x);
}

QtFrontend::QtFrontend(int& argc, char** argv)
{
    if (!QApplication::instance()) ownApp_ = std::make_unique<QApplication>(argc, argv);
    g_frontend = this;
    QApplication::setQuitOnLastWindowClosed(false);
    QApplication::setStyle(new DialogStyle);
    QApplication::setPalette(dialogPalette(QApplication::style()->standardPalette()));
    installFontSubstitutions();
    QApplication::setFont(dialogFont());
    // The programs' icon: the emblem of the bitmap placeholder.
    {
        QPixmap icon(64, 64);
        icon.fill(Qt::transparent);
        BitmapPlaceholder emblem(QString(), nullptr);
        emblem.resize(64, 64);
        emblem.render(&icon, QPoint(), QRegion(), QWidget::RenderFlags());
        QApplication::setWindowIcon(QIcon(icon));
    }
    context_ = new QObject;
    dueTimer_ = new QTimer(context_);
    dueTimer_->setSingleShot(true);
    dueTimer_->setTimerType(Qt::PreciseTimer);
    QObject::connect(dueTimer_, &QTimer::timeout, context_, [this] { pumpNow(); });
    DialogWindow::setInputHooks([] { if (g_frontend) g_frontend->beginDispatch(); },
                                [] {
                                    if (!g_frontend) return;
                                    g_frontend->endDispatch();
                                    g_frontend->checkLoops();
                                },
                                [] { return QtFrontend::inputHeld(); });
    clock_.start();
}

QtFrontend::~QtFrontend()
{
    DialogWindow::setInputHooks(nullptr, nullptr, nullptr);
    // The last windows were handed to deleteLater after the last loop ended.
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    for (auto& [fd, n] : notifiers_) delete n;
    notifiers_.clear();
    delete context_;
    if (g_frontend == this) g_frontend = nullptr;
    ownApp_.reset();
}

DialogWindow* QtFrontend::windowOf(const Dialog& d)
{
    auto slot = std::static_pointer_cast<WindowSlot>(detail::windowData(d));
    return slot ? slot->window.data() : nullptr;
}

QWidget* QtFrontend::parentFor(Dialog* owner) const
{
    if (owner)
        if (DialogWindow* w = windowOf(*owner)) return w;
    // A box without owner still belongs above the dialog on top.
    const std::vector<Dialog*> open = detail::openDialogs();
    for (auto it = open.rbegin(); it != open.rend(); ++it)
        if (DialogWindow* w = windowOf(**it)) return w;
    return nullptr;
}

void QtFrontend::createWindow(Dialog& d, Dialog* owner)
{
    QWidget* parent = owner ? windowOf(*owner) : nullptr;
    auto slot = std::make_shared<WindowSlot>();
    slot->window = new DialogWindow(d, parent);
    detail::setWindowData(d, slot);
}

void QtFrontend::showWindow(Dialog& d)
{
    DialogWindow* w = windowOf(d);
    if (!w) return;
    w->refreshAll();
    w->show();
    w->raise();
    w->activateWindow();
    takeScreenshotOnce(d);
}

void QtFrontend::takeScreenshotOnce(Dialog& d)
{
    // TAVRIN_SCREENSHOT=FILE: a picture of the first window, half a second
    // after it shows (for the documentation); then the window is closed as
    // its close box would close it.
    static bool taken = false;
    const char* path = std::getenv("TAVRIN_SCREENSHOT");
    if (taken || !path || !*path) return;
    taken = true;
    const std::string file = path;
    QPointer<DialogWindow> w = windowOf(d);
    auto shoot = [this, w, file] {
        if (!w || !w->dialog()) return;
        const bool ok = w->picture().save(QString::fromStdString(file));
        std::fprintf(stderr, "%s %s\n", ok ? "saved the window picture in" : "could not save", file.c_str());
        detail::inputClose(*w->dialog());
        checkLoops();
    };
    // A program busy on its dialog thread then is pictured once it is back in its loop.
    QTimer::singleShot(500, context_, [this, shoot] { DialogWindow::whenInputFree(context_, shoot); });
}

void QtFrontend::destroyWindow(Dialog& d, int /*result*/)
{
    if (DialogWindow* w = windowOf(d)) {
        w->detach();
        w->hide();
        w->deleteLater();
    }
    detail::setWindowData(d, nullptr);
}

void QtFrontend::refresh(Dialog& d, const Changes& what)
{
    DialogWindow* w = windowOf(d);
    if (!w) return;
    w->refreshControls(what.controls);
    if (what.title) w->refreshTitle();
    if (what.systemMenu) w->refreshSystemMenu();
    if (what.marks) w->update();
}

void QtFrontend::runLoop(Dialog& d)
{
    Waiting waiting(*this);
    QEventLoop loop;
    loops_.push_back({&d, &loop});
    wake();  // whatever queued before the loop started
    while (!detail::loopEnded(d)) loop.exec();
    loops_.erase(std::remove_if(loops_.begin(), loops_.end(),
                                [&](const Loop& l) { return l.loop == &loop; }),
                 loops_.end());
    checkLoops();
    wake();  // what waited for this loop to return, for the dialogs below
}

void QtFrontend::checkLoops()
{
    for (const Loop& l : loops_)
        if (detail::loopEnded(*l.dialog)) l.loop->quit();
}

void QtFrontend::wake()
{
    postPump();
    if (detail::onDialogThread()) showWhileBusy();
}

void QtFrontend::postPump()
{
    if (!wakePending_.exchange(true)) {
        QMetaObject::invokeMethod(context_, [this] {
            wakePending_ = false;
            pumpNow();
        }, Qt::QueuedConnection);
    }
}

bool QtFrontend::inputHeld() { return g_frontend && g_frontend->holding_ > 0; }

void QtFrontend::paintPending()
{
    if (holding_ > 0) return;
    ++holding_;
    // Window-system events other than input (expose, resize), posted update
    // requests and the item views' delayed layouts; the pumps and the
    // windows' own deferred input that come meanwhile wait for the loop.
    QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
    QCoreApplication::sendPostedEvents(nullptr, QEvent::UpdateRequest);
    QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
    --holding_;
    if (pumpDeferred_) {
        pumpDeferred_ = false;
        postPump();
    }
}

void QtFrontend::updateNow(Dialog& d)
{
    DialogWindow* w = windowOf(d);
    if (!w || !w->isVisible()) {
        detail::flushChanges(d);
        return;
    }
    w->setLive(true);
    detail::flushChanges(d);
    w->scrollListsToAdded();
    w->setLive(false);
    paintPending();
}

void QtFrontend::keepPainted() { paintPending(); }

void QtFrontend::beginDispatch()
{
    if (dispatchDepth_++ == 0) busySince_ = clock_.elapsed();
}

void QtFrontend::endDispatch()
{
    if (dispatchDepth_ > 0) --dispatchDepth_;
}

QtFrontend::Waiting::Waiting(QtFrontend& fe) : fe_(fe), depth_(fe.dispatchDepth_)
{
    fe_.dispatchDepth_ = 0;
}

QtFrontend::Waiting::~Waiting()
{
    fe_.dispatchDepth_ = depth_;
    fe_.busySince_ = fe_.clock_.elapsed();
}

void QtFrontend::setBusyRefresh(int afterMs, int everyMs)
{
    busyAfterMs_ = afterMs;
    busyEveryMs_ = everyMs;
}

void QtFrontend::showWhileBusy()
{
    // A handler that works long on the dialog thread (a disc image written
    // from a button) keeps the event loop from running; the platform's
    // controls still showed each change at once. So while the thread has
    // been busy for a while, the windows show the model's state and repaint
    // right here, a few times a second. Input waits as it did there.
    if (dispatchDepth_ == 0 || inBusyRefresh_ || holding_ > 0) return;
    const qint64 now = clock_.elapsed();
    if (now - busySince_ < busyAfterMs_ || now - lastBusyRefresh_ < busyEveryMs_) return;
    lastBusyRefresh_ = now;
    inBusyRefresh_ = true;
    for (Dialog* d : detail::openDialogs()) {
        DialogWindow* w = windowOf(*d);
        if (!w || !w->isVisible()) continue;
        w->setLive(true);  // what it adds to lists still scrolls at its next updateWindow
        w->refreshAll();
        w->setLive(false);
    }
    paintPending();
    inBusyRefresh_ = false;
}

long QtFrontend::pumpCount() { return g_pumps; }

void QtFrontend::pumpNow()
{
    if (holding_ > 0) {
        // The dialog thread is in a handler or a wait: the model is served
        // once it is back in the loop.
        pumpDeferred_ = true;
        return;
    }
    ++g_pumps;
    beginDispatch();
    detail::pump();
    endDispatch();
    syncPollers();
    checkLoops();
    // While the loop on top has ended but not yet returned (a box opened by
    // its handler may still be up), the model serves nothing: asking again
    // would only spin. runLoop wakes the model once the loop has returned.
    if (!loops_.empty() && detail::loopEnded(*loops_.back().dialog)) return;
    // Work left over (a long queue) comes back after the window's own events.
    if (!detail::idle()) wake();
    armTimer();
}

void QtFrontend::armTimer()
{
    const std::optional<int64_t> due = detail::nextDue();
    if (!due) {
        dueTimer_->stop();
        return;
    }
    const int64_t wait = std::max<int64_t>(0, *due - nowMs());
    dueTimer_->start(static_cast<int>(std::min<int64_t>(wait, 24 * 3600 * 1000)));
}

void QtFrontend::syncPollers()
{
    const std::vector<int> fds = detail::pollerFds();
    const std::set<int> want(fds.begin(), fds.end());
    for (auto it = notifiers_.begin(); it != notifiers_.end();) {
        if (!want.count(it->first)) {
            delete it->second;
            it = notifiers_.erase(it);
        } else {
            ++it;
        }
    }
    for (int fd : want) {
        if (fd < 0 || notifiers_.count(fd)) continue;
        auto* n = new QSocketNotifier(fd, QSocketNotifier::Read, context_);
        QObject::connect(n, &QSocketNotifier::activated, context_, [this] {
            if (holding_ > 0) return;  // the fd stays readable: it comes again
            detail::runPollers();
            pumpNow();
        });
        notifiers_[fd] = n;
    }
}

int QtFrontend::messageBox(Dialog* owner, const std::string& text, const std::string& title,
                           unsigned flags)
{
    const BoxLook look = boxLook(flags);
    QString body = QString::fromStdString(text);
    body.replace(QLatin1String("\r\n"), QLatin1String("\n"));
    PlatformMessageBox box(look.icon, QString::fromStdString(title), body, look.buttons, parentFor(owner),
                           look.escapeButton != QMessageBox::NoButton);
    box.setDefaultButton(look.defaultButton);
    NoEscape noEscape;
    Waiting waiting(*this);
    if (look.escapeButton != QMessageBox::NoButton) box.setEscapeButton(look.escapeButton);
    else box.installEventFilter(&noEscape);
    box.exec();
    QAbstractButton* clicked = box.clickedButton();
    const QMessageBox::StandardButton b = clicked ? box.standardButton(clicked) : look.escapeButton;
    return boxAnswer(b == QMessageBox::NoButton ? look.defaultButton : b);
}

std::optional<std::string> QtFrontend::fileDialog(Dialog* owner, bool save, const FileDialogSpec& request)
{
    QFileDialog dlg(parentFor(owner));
    dlg.setWindowTitle(save ? QStringLiteral("Save As") : QStringLiteral("Open"));
    dlg.setAcceptMode(save ? QFileDialog::AcceptSave : QFileDialog::AcceptOpen);
    dlg.setFileMode(save ? QFileDialog::AnyFile : QFileDialog::ExistingFile);
    dlg.setDirectory(QDir::current());
    const QStringList filters = qtFilters(request.filter);
    if (!filters.isEmpty()) dlg.setNameFilters(filters);
    if (!request.defaultExt.empty()) dlg.setDefaultSuffix(QString::fromStdString(request.defaultExt));
    if (!request.initialName.empty()) dlg.selectFile(QString::fromStdString(request.initialName));
    // The details view, its columns as wide as their contents (names are
    // not cut), growing as the folder's entries arrive.
    dlg.setViewMode(QFileDialog::Detail);
    if (auto* tree = dlg.findChild<QTreeView*>()) {
        tree->header()->setSectionResizeMode(QHeaderView::ResizeToContents);
        tree->header()->setStretchLastSection(false);
    }
    {
        Waiting waiting(*this);
        if (dlg.exec() != QDialog::Accepted) return std::nullopt;
    }
    const QStringList files = dlg.selectedFiles();
    if (files.isEmpty()) return std::nullopt;
    return QDir::toNativeSeparators(files.first()).toStdString();
}

void QtFrontend::setBusyCursor(bool on)
{
    if (on) {
        ++busyCursor_;
        QApplication::setOverrideCursor(Qt::WaitCursor);
    } else if (busyCursor_ > 0) {
        --busyCursor_;
        QApplication::restoreOverrideCursor();
    }
}

}  // namespace qtfe
}  // namespace ui
