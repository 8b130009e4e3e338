// qt_window.h - the real window of one dialog: a fixed-size Qt dialog whose
// controls are made from the template, shown from the model's state and
// forwarding the user's input to the model.
#pragma once

#include "../frontend.h"

#include <QDialog>
#include <QImage>
#include <QPointer>

#include <functional>
#include <vector>

class QMenu;
class QToolButton;

namespace ui::qtfe {

class DialogWindow : public QDialog {
    Q_OBJECT
public:
    // Builds the window (hidden) for d from its template and current state.
    DialogWindow(Dialog& d, QWidget* owner);
    ~DialogWindow() override;

    // Shows the state of the given controls (template indexes).
    void refreshControls(const std::vector<size_t>& indexes);
    void refreshAll();
    void refreshTitle();
    void refreshSystemMenu();
    // The model's dialog is gone (or going): no more input goes to it.
    void detach();
    Dialog* dialog() const { return dialog_; }

    // The widget made for a template index (tests, screenshots).
    QWidget* controlWidget(size_t index) const;
    // A picture of the window as a user sees it: the client area inside a
    // plain frame with the caption bar (the frame sizes the model assumes).
    QImage picture();
    // A new system menu as it pops up: Close (with a system menu) and the
    // appended items, each after a separator.
    QMenu* makeSystemMenu();

    // While live (a handler on the dialog thread shows its changes as it
    // makes them), items that reach a list box are remembered as new until
    // scrollListsToAdded scrolls the box to the item added last (laying its
    // items out first). Outside, items that arrive are not scrolled to.
    void setLive(bool on) { live_ = on; }
    void scrollListsToAdded();

    // Called by the front end before and after every piece of input
    // forwarded to the model (busy time; ending the loops of ended dialogs);
    // held() tells whether input must wait (the front end paints for a busy
    // or blocked dialog thread).
    static void setInputHooks(void (*before)(), void (*after)(), bool (*held)());
    // Runs fn now, or once input no longer waits (fn then runs from ctx's
    // thread's event loop).
    static void whenInputFree(QObject* ctx, std::function<void()> fn);

protected:
    void paintEvent(QPaintEvent* e) override;
    void keyPressEvent(QKeyEvent* e) override;
    void closeEvent(QCloseEvent* e) override;
    void contextMenuEvent(QContextMenuEvent* e) override;
    void moveEvent(QMoveEvent* e) override;
    void showEvent(QShowEvent* e) override;
    void reject() override;

private:
    struct Entry {
        QWidget* widget = nullptr;
        Kind kind = Kind::Static;
        int id = -1;
        uint32_t style = 0;
        // Lists: the model's counters as last shown (ControlState), and what
        // scrollListsToAdded has already scrolled to.
        unsigned added = 0, rewritten = 0;
        int lastAdded = -1;
        unsigned addedSeen = 0;
    };

    void build(const std::vector<ControlState>& state);
    QWidget* makeControl(const ControlState& c, size_t index);
    void apply(size_t index, const ControlState& c);
    void reportOrigin();
    void placeMenuButton();
    void popupSystemMenu(const QPoint& globalPos);

    // Input from the controls.
    void onClicked(size_t index);
    void onTextEdited(size_t index, const QString& text);
    void onSelected(size_t index, int item);
    void onListSelection(size_t index);
    void onScrolled(size_t index, int firstLine);

    Dialog* dialog_;
    std::vector<Entry> entries_;
    std::vector<SystemMenuItem> sysItems_;
    QPointer<QMenu> sysMenu_;
    QToolButton* menuButton_ = nullptr;
    int updating_ = 0;   // > 0 while the window writes model state into widgets
    bool live_ = false;
};

}  // namespace ui::qtfe
