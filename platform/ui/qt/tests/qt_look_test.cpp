// Tests of what a user sees of the Qt windows while a program works and
// asks: a handler's changes painted before it returns, a waiting dialog
// thread keeping its window painted, message boxes and file dialogs laid out
// and placed as the platform's, title-bar buttons, readable disabled
// captions, tab order and whole list rows. Offscreen: the windows' backing
// stores are what would reach the screen.
#include "qt_convert.h"
#include "qt_look.h"
#include "qt_test_util.h"

#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QCheckBox>
#include <QDialogButtonBox>
#include <QFileDialog>
#include <QHeaderView>
#include <QLabel>
#include <QListWidget>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QScrollBar>
#include <QStyleOptionButton>
#include <QTreeView>

#include <unistd.h>

#include <atomic>
#include <memory>

using namespace qttest;
using ui::qtfe::PlatformMessageBox;

namespace {

// A log dialog: a button whose handler works on the dialog thread, an
// unsorted list with a scroll bar, a status line and a progress bar.
DialogTemplate logTemplate()
{
    DialogTemplate t;
    t.id = 300;
    t.caption = "Marking";
    t.cx = 226;
    t.cy = 178;
    t.systemMenu = false;
    t.controls = {
        {1, Kind::DefPushButton, "Open File", {160, 10, 59, 14}, 0},
        {ui::IDCANCEL, Kind::PushButton, "Close", {160, 31, 59, 14}, 0},
        {20, Kind::ListBox, "", {7, 56, 212, 95}, WS_VSCROLL},
        {21, Kind::Static, "idle", {7, 153, 150, 8}, 0},
        {22, Kind::ProgressBar, "", {7, 163, 212, 10}, 0},
    };
    return t;
}

// What the window's backing store holds now: what the screen shows of it.
QImage onScreen(QWidget* w)
{
    return QGuiApplication::primaryScreen()->grabWindow(w->window()->winId()).toImage();
}

// Pixels in r (window coordinates) darker than mid grey: drawn text.
int darkPixels(const QImage& img, const QRect& r)
{
    int n = 0;
    for (int y = std::max(0, r.top()); y <= std::min(img.height() - 1, r.bottom()); ++y)
        for (int x = std::max(0, r.left()); x <= std::min(img.width() - 1, r.right()); ++x)
            n += qGray(img.pixel(x, y)) < 128;
    return n;
}

// The darkest colour a widget draws inside r (its caption's ink there).
QColor darkest(QWidget* w, const QRect& r)
{
    const QImage img = w->grab().toImage();
    QColor best(255, 255, 255);
    for (int y = std::max(0, r.top()); y <= std::min(img.height() - 1, r.bottom()); ++y)
        for (int x = std::max(0, r.left()); x <= std::min(img.width() - 1, r.right()); ++x) {
            const QColor c = img.pixelColor(x, y);
            if (qGray(c.rgb()) < qGray(best.rgb())) best = c;
        }
    return best;
}

// The first visible message box, or nullptr.
QMessageBox* visibleBox()
{
    for (QWidget* w : QApplication::topLevelWidgets())
        if (auto* box = qobject_cast<QMessageBox*>(w); box && box->isVisible()) return box;
    return nullptr;
}

// The dialog's controls that take the focus with Tab, in the window's focus
// chain order, as template indexes.
std::vector<size_t> tabOrder(DialogWindow* w, size_t controls)
{
    std::vector<QWidget*> focusable;
    for (size_t i = 0; i < controls; ++i) {
        QWidget* c = w->controlWidget(i);
        if (c && (c->focusPolicy() & Qt::TabFocus)) focusable.push_back(c);
    }
    std::vector<size_t> order;
    if (focusable.empty()) return order;
    QWidget* c = focusable.front();
    do {
        for (size_t i = 0; i < controls; ++i)
            if (w->controlWidget(i) == c && (c->focusPolicy() & Qt::TabFocus)) order.push_back(i);
        c = c->nextInFocusChain();
    } while (c && c != focusable.front() && order.size() <= controls);
    return order;
}

}  // namespace

// ---- live painting ----------------------------------------------------------------

TEST_F(QtFrontendTest, UpdateWindowPaintsEachItemBeforeTheHandlerReturns)
{
    // Regression: a list filled by a long handler on the dialog thread stayed
    // blank until the handler returned, then showed scrolled to the top.
    Probe d(logTemplate());
    bool userMessageDuringHandler = false, timerDuringHandler = false, inHandler = false;
    int paintedItems = 0, scrolledToLast = 0;
    QString statusShown;
    d.user = [&](Probe&, unsigned) { userMessageDuringHandler |= inHandler; };
    d.timer = [&](Probe& p, int) {
        timerDuringHandler |= inHandler;
        p.killTimer(9);
    };
    d.command = [&](Probe& p, int id) {
        if (id != 1) return;
        inHandler = true;
        // Queued work that must wait for the loop: no handler runs inside updateWindow.
        p.postMessage(WM_USER + 3);
        p.setTimer(9, 1);
        auto* list = p.widget<QListWidget>(20);
        for (int i = 0; i < 40; ++i) {
            const int at = p.addString(20, "Flash #0, Block #" + std::to_string(i * 7));
            p.setText(21, "Marking " + std::to_string(i));
            p.setPos(22, i * 100 / 39);
            ::usleep(2000);  // the handler's work
            p.updateWindow();
            // The item just added is laid out, scrolled into view and on the screen.
            const QRect row = list->visualItemRect(list->item(at));
            if (list->viewport()->rect().contains(row)) ++scrolledToLast;
            const QRect inWindow(list->viewport()->mapTo(p.window(), row.topLeft()), row.size());
            if (darkPixels(onScreen(p.window()), inWindow) > 10) ++paintedItems;
        }
        statusShown = qobject_cast<QLabel*>(p.window()->controlWidget(3))->text();
        EXPECT_EQ(p.widget<QProgressBar>(22)->value(), 100);
        EXPECT_EQ(list->verticalScrollBar()->value(), list->verticalScrollBar()->maximum());
        EXPECT_GT(list->verticalScrollBar()->maximum(), 0);
        inHandler = false;
        p.endDialog(IDOK);
    };
    EXPECT_EQ(runWith(d, [](Probe& p) { p.widget<QPushButton>(1)->click(); }), IDOK);
    EXPECT_EQ(scrolledToLast, 40);
    EXPECT_EQ(paintedItems, 40);
    EXPECT_EQ(statusShown, "Marking 39");
    EXPECT_FALSE(userMessageDuringHandler);
    EXPECT_FALSE(timerDuringHandler);
}

TEST_F(QtFrontendTest, UpdateWindowWithoutNewItemsLeavesTheListWhereTheUserScrolledIt)
{
    Probe d(logTemplate());
    d.init = [](Probe& p) {
        for (int i = 0; i < 30; ++i) p.addString(20, "line " + std::to_string(i));
    };
    runWith(d, [](Probe& p) {
        auto* list = p.widget<QListWidget>(20);
        ASSERT_TRUE(waitFor([&] { return list->count() == 30; }));
        list->verticalScrollBar()->setValue(0);  // the user looks at the top
        p.setText(21, "busy");
        p.updateWindow();
        EXPECT_EQ(list->verticalScrollBar()->value(), 0);
        p.addString(20, "new");
        p.updateWindow();
        EXPECT_EQ(list->verticalScrollBar()->value(), list->verticalScrollBar()->maximum());
        p.endDialog(IDOK);
    });
}

TEST_F(QtFrontendTest, DialogThreadWaitingForItsWorkerKeepsTheWindowPainted)
{
    // Regression: a dialog waiting on the dialog thread for its worker (a
    // scan stopped by a close, a format's "Exit") froze its window. The
    // worker here only goes on once the window has shown its progress.
    Probe d(logTemplate());
    ui::ManualResetEvent painted(false), done(false);
    bool waited = false, userMessageDuringWait = false, inWait = false;
    d.user = [&](Probe&, unsigned) { userMessageDuringWait |= inWait; };
    d.command = [&](Probe& p, int id) {
        if (id != 1) return;
        auto* bar = p.widget<QProgressBar>(22);
        QLabel* status = qobject_cast<QLabel*>(p.window()->controlWidget(3));
        // Watches what the window paints (on the dialog thread, inside the wait).
        struct Watch : QObject {
            QProgressBar* bar;
            QLabel* status;
            ui::ManualResetEvent* ev;
            bool eventFilter(QObject* o, QEvent* e) override
            {
                if (e->type() == QEvent::Paint && o == bar && bar->value() == 70 && status->text() == "Stopping....")
                    ev->set();
                return false;
            }
        } watch;
        watch.bar = bar;
        watch.status = status;
        watch.ev = &painted;
        bar->installEventFilter(&watch);
        p.startWorker([&p, &painted, &done] {
            p.setPos(22, 70);
            p.setText(21, "Stopping....");
            p.postMessage(WM_USER + 4);
            painted.wait(10000);
            done.set();
        });
        inWait = true;
        waited = done.wait(20000);
        inWait = false;
        bar->removeEventFilter(&watch);
        p.endDialog(IDOK);
    };
    EXPECT_EQ(runWith(d, [](Probe& p) { p.widget<QPushButton>(1)->click(); }), IDOK);
    EXPECT_TRUE(waited);
    EXPECT_TRUE(painted.isSet());
    EXPECT_FALSE(userMessageDuringWait);
}

TEST_F(QtFrontendTest, ClosingDialogWaitingForItsWorkerAndSleepingDialogThreadKeepPainting)
{
    // The window stays until the worker ends; meanwhile it shows what the
    // worker sets. And a dialog thread that sleeps keeps painting too.
    Probe d(logTemplate());
    auto painted = std::make_shared<ui::ManualResetEvent>(false);
    struct Watch : QObject {
        QLabel* status = nullptr;
        std::shared_ptr<ui::ManualResetEvent> ev;
        QString want;
        bool eventFilter(QObject* o, QEvent* e) override
        {
            if (e->type() == QEvent::Paint && o == status && status->text() == want) ev->set();
            return false;
        }
    } watch;
    watch.ev = painted;
    bool sleptPainted = false;
    d.command = [&](Probe& p, int id) {
        if (id != 1) return;
        watch.status = qobject_cast<QLabel*>(p.window()->controlWidget(3));
        watch.status->installEventFilter(&watch);
        // A sleep of the dialog thread: the status set before it shows.
        watch.want = "sleeping";
        p.setText(21, "sleeping");
        for (int i = 0; i < 200 && !painted->isSet(); ++i) ui::sleepMs(25);
        sleptPainted = painted->isSet();
        painted->reset();
        watch.want = "closing....";
        p.startWorker([&p, painted] {
            p.setText(21, "closing....");
            painted->wait(10000);
        });
        p.endDialog(IDOK);
    };
    EXPECT_EQ(runWith(d, [](Probe& p) { p.widget<QPushButton>(1)->click(); }), IDOK);
    EXPECT_TRUE(sleptPainted);
    EXPECT_TRUE(painted->isSet());
}

// ---- message boxes -----------------------------------------------------------------

TEST_F(QtFrontendTest, MessageBoxIsAsWideAsItsTitleWithPlainCentredButtons)
{
    // Regression: "Scan Status" over a short text showed as "Sca... tus".
    Probe d(logTemplate());
    int width = 0, want = 0, buttonCentre = -1, boxCentre = 0, iconButtons = 0;
    bool closeHint = true;
    QTimer clicker;
    QObject::connect(&clicker, &QTimer::timeout, [&] {
        QMessageBox* box = visibleBox();
        if (!box) return;
        width = box->width();
        want = ui::qtfe::titleBarWidth(box->windowTitle());
        const QList<QAbstractButton*> buttons = box->buttons();
        if (buttons.size() == 1) {
            buttonCentre = buttons[0]->mapTo(box, buttons[0]->rect().center()).x();
            boxCentre = box->rect().center().x();
        }
        for (QAbstractButton* b : buttons) iconButtons += !b->icon().isNull();
        closeHint = box->windowFlags() & Qt::WindowCloseButtonHint;
        QAbstractButton* yes = box->button(QMessageBox::Yes);
        (yes ? yes : box->button(QMessageBox::Ok))->click();
    });
    clicker.start(5);
    runWith(d, [&](Probe& p) {
        EXPECT_EQ(p.messageBox("OK", "Scan Status", MB_OK), IDOK);
        EXPECT_GE(width, want);
        EXPECT_GT(want, 120);
        EXPECT_NEAR(buttonCentre, boxCentre, 2);  // a lone OK sits in the middle
        EXPECT_EQ(iconButtons, 0);
        EXPECT_TRUE(closeHint);  // Escape answers it: it has a close box
        // A Yes/No box must be answered: no close box.
        EXPECT_EQ(p.messageBox("Erase?", "Warning", MB_YESNO | MB_ICONWARNING), IDYES);
        EXPECT_FALSE(closeHint);
        EXPECT_EQ(iconButtons, 0);
        p.endDialog(IDOK);
    });
}

TEST_F(QtFrontendTest, MessageBoxIsCentredOnItsOwnerOrOnTheScreen)
{
    // Regression: a box asked for while its dialog initialises (Ornel's
    // "Device not found") landed in the top-left corner of the screen.
    const QRect screen = QGuiApplication::primaryScreen()->availableGeometry();
    QPoint earlyCentre, laterCentre, ownerCentre;
    QTimer clicker;
    QPoint* record = &earlyCentre;
    QObject::connect(&clicker, &QTimer::timeout, [&] {
        if (QMessageBox* box = visibleBox()) {
            *record = box->frameGeometry().center();
            box->buttons()[0]->click();
        }
    });
    clicker.start(5);
    {
        Probe d(logTemplate());
        d.init = [](Probe& p) {
            p.messageBox("Device not found", "Information", MB_OK | MB_ICONSTOP);
            p.endDialog(IDOK);
        };
        runWith(d, [](Probe&) {});
    }
    {
        Probe d(logTemplate());
        runWith(d, [&](Probe& p) {
            // The owner shows, away from the middle of the screen.
            p.window()->move(screen.left() + 20, screen.top() + 20);
            ASSERT_TRUE(waitFor([&] { return p.window()->frameGeometry().topLeft() == screen.topLeft() + QPoint(20, 20); }));
            record = &laterCentre;
            ownerCentre = p.window()->frameGeometry().center();
            p.messageBox("Done.", "Info", MB_OK);
            p.endDialog(IDOK);
        });
    }
    // Frames are estimated before the box is mapped: a few pixels of slack.
    EXPECT_LE((earlyCentre - screen.center()).manhattanLength(), 30) << earlyCentre.x() << "," << earlyCentre.y();
    EXPECT_LE((laterCentre - ownerCentre).manhattanLength(), 30) << laterCentre.x() << "," << laterCentre.y();
}

TEST(QtLook, CentredPositionStaysOnTheScreen)
{
    using ui::qtfe::centredPosition;
    const QRect screen(0, 0, 1024, 768);
    // On the owner while it is on the screen.
    EXPECT_EQ(centredPosition(QRect(100, 100, 400, 300), screen, QSize(200, 100)), QPoint(200, 200));
    // No owner shown, or an owner off the screen: the middle of the screen.
    EXPECT_EQ(centredPosition(QRect(), screen, QSize(200, 100)), QPoint(412, 334));
    EXPECT_EQ(centredPosition(QRect(3000, 3000, 400, 300), screen, QSize(200, 100)), QPoint(412, 334));
    // An owner at the edge: the box stays whole on the screen, title bar first.
    EXPECT_EQ(centredPosition(QRect(-150, -100, 200, 150), screen, QSize(300, 120)), QPoint(0, 0));
    EXPECT_EQ(centredPosition(QRect(900, 700, 200, 150), screen, QSize(300, 120)), QPoint(724, 648));
    EXPECT_EQ(centredPosition(QRect(), QRect(0, 0, 200, 100), QSize(300, 120)), QPoint(0, 0));
}

// ---- the windows' look -------------------------------------------------------------

TEST(QtLook, TitleBarButtonsAskedOfTheWindowManager)
{
    using ui::qtfe::motifHints;
    // Move only: no close box, no window menu, no minimise or maximise box,
    // no resizing (the functions and decorations words are both given, so a
    // window manager takes what is not listed as refused).
    EXPECT_EQ(motifHints(false), (std::array<uint32_t, 5>{3, 0x4, 0x2 | 0x8, 0, 0}));
    EXPECT_EQ(motifHints(true), (std::array<uint32_t, 5>{3, 0x4 | 0x20, 0x2 | 0x8 | 0x10, 0, 0}));
}

TEST_F(QtFrontendTest, WindowFlagsFollowTheTemplatesSystemMenu)
{
    for (bool menu : {true, false}) {
        DialogTemplate t = sampleTemplate();
        t.systemMenu = menu;
        Probe d(t);
        runWith(d, [menu](Probe& p) {
            const Qt::WindowFlags f = p.window()->windowFlags();
            EXPECT_EQ(bool(f & Qt::WindowCloseButtonHint), menu);
            EXPECT_EQ(bool(f & Qt::WindowSystemMenuHint), menu);
            EXPECT_FALSE(f & Qt::WindowMinimizeButtonHint);
            EXPECT_FALSE(f & Qt::WindowMaximizeButtonHint);
            EXPECT_TRUE(p.window()->isModal());
            p.endDialog(IDOK);
        });
    }
}

TEST(QtLook, ContrastRatioMatchesTheGuidelines)
{
    using ui::qtfe::contrastRatio;
    EXPECT_NEAR(contrastRatio(Qt::black, Qt::white), 21.0, 0.01);
    EXPECT_NEAR(contrastRatio(QColor(240, 240, 240), QColor(240, 240, 240)), 1.0, 0.001);
    EXPECT_GE(contrastRatio(QColor::fromRgb(ui::qtfe::kDisabledText), QColor(240, 240, 240)), 4.5);
}

TEST_F(QtFrontendTest, DisabledCaptionsAreReadableOnTheButtonFace)
{
    // Regression: disabled captions had a contrast of about 1.6 : 1.
    Probe d(sampleTemplate());
    d.init = [](Probe& p) {
        p.enable(10, false);  // auto check box "Auto"
        p.enable(51, false);  // static "idle"
    };
    runWith(d, [](Probe& p) {
        const QColor face(240, 240, 240);
        QWidget* button = p.widget<QPushButton>(61);  // "Off", disabled by its template
        QWidget* check = p.widget<QAbstractButton>(10);
        QWidget* label = p.window()->controlWidget(17);
        // Where each draws its caption only (not the button's edge or the box's square).
        QStyleOptionButton opt;
        opt.initFrom(check);
        const QRect checkText = check->style()->subElementRect(QStyle::SE_CheckBoxContents, &opt, check);
        const std::pair<QWidget*, QRect> captions[] = {
            {button, button->rect().adjusted(4, 4, -4, -4)}, {check, checkText}, {label, label->rect()}};
        for (const auto& [w, r] : captions) {
            ASSERT_FALSE(w->isEnabled());
            EXPECT_GE(ui::qtfe::contrastRatio(darkest(w, r), face), 4.5) << w->metaObject()->className();
        }
        p.endDialog(IDOK);
    });
}

TEST_F(QtFrontendTest, TabGoesThroughTheControlsInTemplateOrder)
{
    Probe d(sampleTemplate());
    runWith(d, [](Probe& p) {
        const std::vector<size_t> order = tabOrder(p.window(), p.tmpl().controls.size());
        ASSERT_GE(order.size(), 10u);
        EXPECT_TRUE(std::is_sorted(order.begin(), order.end()));
        // Frames, labels, bars and bitmaps take no focus.
        for (size_t i : order) {
            const Kind k = p.tmpl().controls[i].kind;
            EXPECT_TRUE(k != Kind::GroupBox && k != Kind::Static && k != Kind::ProgressBar && k != Kind::Bitmap) << i;
        }
        p.endDialog(IDOK);
    });
}

TEST_F(QtFrontendTest, ListBoxesShowWholeRows)
{
    Probe d(sampleTemplate());
    d.init = [](Probe& p) {
        for (int i = 0; i < 20; ++i) {
            p.addString(30, "item " + std::to_string(100 + i));
            p.addString(31, "item " + std::to_string(i));
        }
    };
    runWith(d, [](Probe& p) {
        for (int id : {30, 31}) {
            auto* list = p.widget<QListWidget>(id);
            ASSERT_TRUE(waitFor([&] { return list->count() == 20; }));
            const int row = list->visualItemRect(list->item(0)).height();
            ASSERT_GT(row, 0);
            EXPECT_EQ(list->viewport()->height() % row, 0) << id;
            // Scrolled to the end, the last row is whole.
            list->scrollToBottom();
            EXPECT_TRUE(list->viewport()->rect().contains(list->visualItemRect(list->item(19)))) << id;
            // The box keeps the template's size.
            EXPECT_EQ(list->geometry(), ui::qtfe::dluToPixels(p.tmpl().controls[*detail::indexOf(p, id)].rect));
        }
        p.endDialog(IDOK);
    });
}

TEST_F(QtFrontendTest, FileDialogColumnsAreAsWideAsTheirContents)
{
    testsupport::TempDir dir;
    ASSERT_TRUE(dir.ok());
    const std::string longName = "scan-of-the-second-production-lot-before-retiring.log";
    dir.write(longName, "x");
    char old[4096];
    ASSERT_NE(::getcwd(old, sizeof old), nullptr);
    ASSERT_EQ(::chdir(dir.path().c_str()), 0);

    Probe d(sampleTemplate());
    int needed = 0, shown = 0;
    QTimer answerer;
    QElapsedTimer since;
    since.start();
    QObject::connect(&answerer, &QTimer::timeout, [&] {
        for (QWidget* w : QApplication::topLevelWidgets()) {
            auto* fd = qobject_cast<QFileDialog*>(w);
            if (!fd || !fd->isVisible()) continue;
            auto* tree = fd->findChild<QTreeView*>();
            if (!tree) {
                fd->reject();
                return;
            }
            needed = tree->fontMetrics().horizontalAdvance(QString::fromStdString(longName));
            shown = tree->header()->sectionSize(0);
            if (shown >= needed || since.elapsed() > 4000) fd->reject();
        }
    });
    answerer.start(10);
    runWith(d, [&](Probe& p) {
        p.openFileDialog(FileDialogSpec{"LOG File (*.log)|*.log||", "log", "", true});
        p.endDialog(IDOK);
    });
    ASSERT_EQ(::chdir(old), 0);
    EXPECT_GT(needed, 0);
    EXPECT_GE(shown, needed);
}
