// Tests of the Qt front end: the translations to Qt's forms, the window built
// from a template, input reaching the model, the model's state (from any
// thread) reaching the widgets, modal nesting, boxes, timers and pollers.
// They run on Qt's offscreen platform; no display is needed.
#include "qt_controls.h"
#include "qt_convert.h"
#include "qt_frontend.h"
#include "qt_test_util.h"
#include "qt_window.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QComboBox>
#include <QElapsedTimer>
#include <QFileDialog>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QScrollBar>
#include <QTest>
#include <QTimer>
#include <QToolButton>

#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <functional>
#include <thread>

// Sanitizer builds: the font configuration library keeps a cache for the
// life of the process that Qt never releases; that is not a leak of ours.
extern "C" const char* __lsan_default_suppressions()
{
    return "leak:libfontconfig.so\n";
}

// ThreadSanitizer builds: Qt is not instrumented, so the memory its own
// helper threads (font loading, file dialog scans) hand over is reported as
// raced. What Qt calls from its libraries is left out; the model's and the
// front end's own threads stay checked.
extern "C" const char* __tsan_default_suppressions()
{
    return "called_from_lib:libQt6Core.so.6\n"
           "called_from_lib:libQt6Gui.so.6\n"
           "called_from_lib:libQt6Widgets.so.6\n";
}

using namespace ui;
using ui::qtfe::DialogWindow;
using ui::qtfe::QtFrontend;

using namespace qttest;

// ---- translations ----------------------------------------------------------------

TEST(QtConvert, FiltersBecomeQtNameFilters)
{
    using qtfe::qtFilters;
    EXPECT_EQ(qtFilters("HEX File (*.hex)|*.hex||"), QStringList{"HEX File (*.hex)"});
    // Several pairs, patterns separated by ";" and "every file".
    EXPECT_EQ(qtFilters("Firmware (*.bin;*.obj)|*.bin;*.obj|All Files (*.*)|*.*||"),
              (QStringList{"Firmware (*.bin *.obj)", "All Files (*)"}));
    // A description without its own pattern group gets the real patterns.
    EXPECT_EQ(qtFilters("EEP setup|*.eep||"), QStringList{"EEP setup (*.eep)"});
    // A description whose group disagrees with the patterns shows the real ones.
    EXPECT_EQ(qtFilters("Images (*.iso)|*.nrg||"), QStringList{"Images (*.nrg)"});
    // Without the "||" terminator, and malformed or empty filters.
    EXPECT_EQ(qtFilters("Log (*.log)|*.log"), QStringList{"Log (*.log)"});
    EXPECT_TRUE(qtFilters("").isEmpty());
    EXPECT_TRUE(qtFilters("Only a description").isEmpty());
    EXPECT_TRUE(qtFilters("||").isEmpty());
}

TEST(QtConvert, MessageBoxFlagsGiveButtonsIconsAndAnswers)
{
    using qtfe::boxLook;
    auto ok = boxLook(MB_OK);
    EXPECT_EQ(ok.buttons, QMessageBox::Ok);
    EXPECT_EQ(ok.icon, QMessageBox::NoIcon);
    EXPECT_EQ(ok.escapeButton, QMessageBox::Ok);  // Escape answers OK on an OK-only box

    auto err = boxLook(MB_OK | MB_ICONERROR);
    EXPECT_EQ(err.icon, QMessageBox::Critical);
    EXPECT_EQ(boxLook(MB_ICONQUESTION).icon, QMessageBox::Question);
    EXPECT_EQ(boxLook(MB_ICONEXCLAMATION).icon, QMessageBox::Warning);
    EXPECT_EQ(boxLook(MB_ICONINFORMATION).icon, QMessageBox::Information);

    auto okc = boxLook(MB_OKCANCEL);
    EXPECT_EQ(okc.buttons, QMessageBox::Ok | QMessageBox::Cancel);
    EXPECT_EQ(okc.escapeButton, QMessageBox::Cancel);
    EXPECT_EQ(okc.defaultButton, QMessageBox::Ok);

    auto yn = boxLook(MB_YESNO | MB_ICONWARNING);
    EXPECT_EQ(yn.buttons, QMessageBox::Yes | QMessageBox::No);
    EXPECT_EQ(yn.escapeButton, QMessageBox::NoButton);  // must be answered
    EXPECT_EQ(yn.defaultButton, QMessageBox::Yes);
    EXPECT_EQ(boxLook(MB_YESNO | 0x100u).defaultButton, QMessageBox::No);
    EXPECT_EQ(boxLook(3u).buttons, QMessageBox::Yes | QMessageBox::No | QMessageBox::Cancel);

    EXPECT_EQ(qtfe::boxAnswer(QMessageBox::Ok), IDOK);
    EXPECT_EQ(qtfe::boxAnswer(QMessageBox::Cancel), IDCANCEL);
    EXPECT_EQ(qtfe::boxAnswer(QMessageBox::Yes), IDYES);
    EXPECT_EQ(qtfe::boxAnswer(QMessageBox::No), IDNO);
    EXPECT_EQ(qtfe::boxAnswer(QMessageBox::Retry), IDRETRY);
}

TEST(QtConvert, DialogUnitsMapEdgeByEdge)
{
    // 8-point dialog font: 6 x 13 base units, rounded to the nearest pixel.
    EXPECT_EQ(qtfe::dluToPixels({7, 7, 50, 14}), QRect(11, 11, 75, 23));
    EXPECT_EQ(qtfe::dialogClientSize(359, 187), QSize(539, 304));
    // Controls that touch in dialog units touch on the screen, whatever the rounding.
    for (int x = 0; x < 40; ++x) {
        const QRect a = qtfe::dluToPixels({x, x, 13, 7});
        const QRect b = qtfe::dluToPixels({x + 13, x + 7, 9, 5});
        EXPECT_EQ(a.right() + 1, b.left()) << "x " << x;
        EXPECT_EQ(a.bottom() + 1, b.top()) << "y " << x;
    }
}

TEST(QtConvert, EditTextFiltersMnemonicsAndLineEnds)
{
    using qtfe::EditValidator;
    EXPECT_EQ(EditValidator::filter("ab1-2c", ES_NUMBER), "12");
    EXPECT_EQ(EditValidator::filter("ff e0", ES_UPPERCASE), "FF E0");
    EXPECT_EQ(EditValidator::filter("a1b", ES_NUMBER | ES_UPPERCASE), "1");
    EXPECT_EQ(EditValidator::filter("Mixed", 0), "Mixed");
    EditValidator v(ES_NUMBER, nullptr);
    QString s = "1a2";
    int pos = 2;  // after "1a"
    EXPECT_EQ(v.validate(s, pos), QValidator::Acceptable);
    EXPECT_EQ(s, "12");
    EXPECT_EQ(pos, 1);

    EXPECT_EQ(qtfe::withoutMnemonics("F/&W && EEPROM"), "F/W & EEPROM");
    EXPECT_EQ(qtfe::withoutMnemonics("E&xit&"), "Exit");

    EXPECT_EQ(qtfe::toWidgetText("a\r\nb\rc\nd"), "a\nb\nc\nd");
    EXPECT_EQ(qtfe::toModelText("a\nb\r\nc"), "a\r\nb\r\nc");
}

TEST_F(QtFrontendTest, FontCellHeightAndWidthAreHonoured)
{
    for (int h : {8, 20, 55}) {
        const QFont f = qtfe::qtFont(Font{"Arial Black", h, 0, 400});
        EXPECT_NEAR(QFontMetrics(f).height(), h, std::max(1, h / 10)) << "height " << h;
        EXPECT_GE(f.weight(), QFont::Black);
    }
    const QFont narrow = qtfe::qtFont(Font{"Arial Black", 20, 13, 400});
    EXPECT_NEAR(QFontMetrics(narrow).averageCharWidth(), 13, 2);
    const QFont regular = qtfe::qtFont(Font{"Arial", 16, 0, 400});
    EXPECT_EQ(regular.weight(), QFont::Normal);
}

// ---- the window ---------------------------------------------------------------------

TEST_F(QtFrontendTest, WindowShowsEveryKindOfControlWhereTheTemplatePutsIt)
{
    Probe d(sampleTemplate());
    d.init = [](Probe& p) {
        p.setTitle("Sample -- 1.4.4.4");
        p.addString(30, "pear");
        p.addString(30, "apple");
        p.setCurSel(30, 1);
    };
    const int result = runWith(d, [](Probe& p) {
        DialogWindow* w = p.window();
        ASSERT_NE(w, nullptr);
        EXPECT_EQ(w->size(), QSize(450, 325));
        // The picture a user sees: client area inside the frame the model assumes.
        EXPECT_EQ(w->picture().size(),
                  QSize(450 + 2 * detail::kFrameX, 325 + detail::kCaptionY + detail::kFrameBottom));
        EXPECT_EQ(w->windowTitle(), "Sample -- 1.4.4.4");
        EXPECT_TRUE(w->isVisible());
        const auto tmpl = p.tmpl();
        for (size_t i = 0; i < tmpl.controls.size(); ++i) {
            QWidget* c = w->controlWidget(i);
            ASSERT_NE(c, nullptr) << i;
            if (tmpl.controls[i].kind == Kind::ComboBox) {
                EXPECT_EQ(c->geometry().topLeft(), qtfe::dluToPixels(tmpl.controls[i].rect).topLeft());
                EXPECT_LE(c->height(), 21);  // the closed box, not the dropped list
            } else {
                EXPECT_EQ(c->geometry(), qtfe::dluToPixels(tmpl.controls[i].rect)) << i;
            }
        }
        EXPECT_TRUE(p.widget<QPushButton>(1)->isDefault());
        EXPECT_FALSE(p.widget<QPushButton>(2)->isDefault());
        EXPECT_FALSE(p.widget<QPushButton>(60)->isVisible());
        EXPECT_FALSE(p.widget<QPushButton>(61)->isEnabled());
        EXPECT_EQ(qobject_cast<QLabel*>(w->controlWidget(8))->text(), "F/W & text");
        EXPECT_TRUE(qobject_cast<QLabel*>(w->controlWidget(8))->alignment() & Qt::AlignHCenter);
        auto* frame = dynamic_cast<qtfe::FrameBox*>(w->controlWidget(0));
        ASSERT_NE(frame, nullptr);
        EXPECT_EQ(frame->caption(), "Frame");
        EXPECT_TRUE(frame->testAttribute(Qt::WA_TransparentForMouseEvents));
        // The frame lies under the buttons inside it: a click there reaches the button.
        const QPoint inButton = p.widget<QPushButton>(1)->geometry().center();
        EXPECT_EQ(w->childAt(inButton), p.widget<QPushButton>(1));
        EXPECT_FALSE(p.widget<QComboBox>(40)->isEditable());
        EXPECT_TRUE(p.widget<QComboBox>(41)->isEditable());
        EXPECT_EQ(p.widget<QListWidget>(31)->selectionMode(), QAbstractItemView::MultiSelection);
        auto* list = p.widget<QListWidget>(30);
        ASSERT_EQ(list->count(), 2);
        EXPECT_EQ(list->item(0)->text(), "apple");  // the model keeps it sorted
        EXPECT_EQ(list->currentRow(), 1);
        p.endDialog(IDOK);
    });
    EXPECT_EQ(result, IDOK);
}

TEST_F(QtFrontendTest, ClicksReachTheModelWhichTogglesAutoButtonsAndGroups)
{
    Probe d(sampleTemplate());
    d.init = [](Probe& p) { p.setChecked(12, 1); };
    d.command = [](Probe&, int) {};
    runWith(d, [](Probe& p) {
        QTest::mouseClick(p.widget<QAbstractButton>(10), Qt::LeftButton);
        EXPECT_EQ(p.checked(10), 1);
        // A plain check box reports the click but keeps its state.
        QTest::mouseClick(p.widget<QAbstractButton>(11), Qt::LeftButton);
        EXPECT_EQ(p.checked(11), 0);
        // Radio buttons: the click checks one and clears the others of its group only.
        p.setChecked(14, 1);
        QTest::mouseClick(p.widget<QAbstractButton>(13), Qt::LeftButton);
        EXPECT_EQ(p.checked(12), 0);
        EXPECT_EQ(p.checked(13), 1);
        EXPECT_EQ(p.checked(14), 1);
        EXPECT_TRUE(waitFor([&] {
            return p.widget<QAbstractButton>(10)->isChecked() && !p.widget<QAbstractButton>(11)->isChecked()
                   && !p.widget<QAbstractButton>(12)->isChecked() && p.widget<QAbstractButton>(13)->isChecked();
        }));
        // Disabled and hidden buttons take no clicks.
        QTest::mouseClick(p.widget<QAbstractButton>(61), Qt::LeftButton);
        p.endDialog(IDOK);
    });
    EXPECT_EQ(d.commands, (std::vector<int>{10, 11, 13}));
}

TEST_F(QtFrontendTest, TypingAndSelectingReachTheModel)
{
    Probe d(sampleTemplate());
    d.command = [](Probe&, int) {};
    d.init = [](Probe& p) {
        for (const char* s : {"b", "a", "c"}) p.addString(30, s);
        for (const char* s : {"x", "y", "z"}) p.addString(31, s);
        for (const char* s : {"one", "two"}) p.addString(40, s);
        p.setTextLimit(21, 3);
    };
    runWith(d, [](Probe& p) {
        QTest::keyClicks(p.widget<QLineEdit>(20), "ab1f");
        EXPECT_EQ(p.text(20), "AB1F");
        EXPECT_EQ(p.widget<QLineEdit>(20)->text(), "AB1F");
        QTest::keyClicks(p.widget<QLineEdit>(21), "9x8765");
        EXPECT_EQ(p.text(21), "987");  // digits only, cut at the limit
        const size_t edits = p.editChanges.size();
        EXPECT_GE(edits, 4u);

        auto* multi = qobject_cast<QPlainTextEdit*>(p.window()->controlWidget(11));
        ASSERT_NE(multi, nullptr);
        multi->setFocus();
        QTest::keyClicks(multi, "l1");
        QTest::keyClick(multi, Qt::Key_Return);
        QTest::keyClicks(multi, "l2");
        EXPECT_EQ(p.text(22), "l1\r\nl2");  // the model keeps the platform's line ends

        auto* list = p.widget<QListWidget>(30);
        QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, list->visualItemRect(list->item(2)).center());
        EXPECT_EQ(p.curSel(30), 2);
        EXPECT_EQ(p.itemText(30, 2), "c");

        auto* many = p.widget<QListWidget>(31);
        const QPoint second = many->visualItemRect(many->item(1)).center();
        QTest::mouseClick(many->viewport(), Qt::LeftButton, {}, second);
        QTest::mouseClick(many->viewport(), Qt::LeftButton, {}, many->visualItemRect(many->item(2)).center());
        EXPECT_EQ(p.selectedItems(31), (std::vector<int>{1, 2}));
        QTest::mouseClick(many->viewport(), Qt::LeftButton, {}, second);  // toggles off again
        EXPECT_EQ(p.selectedItems(31), (std::vector<int>{2}));

        auto* combo = p.widget<QComboBox>(40);
        emit combo->activated(1);  // the user picked the second entry
        EXPECT_EQ(p.curSel(40), 1);
        p.endDialog(IDOK);
    });
    EXPECT_EQ(d.selChanges, (std::vector<int>{30, 31, 31, 31, 40}));
}

TEST_F(QtFrontendTest, ListsCombosAndBarsFollowTheModel)
{
    Probe d(sampleTemplate());
    d.command = [](Probe&, int) {};
    runWith(d, [](Probe& p) {
        auto* list = p.widget<QListWidget>(30);
        auto settle = [] { QCoreApplication::processEvents(); QCoreApplication::processEvents(); };
        for (const char* s : {"m", "t"}) p.addString(30, s);
        settle();
        ASSERT_EQ(list->count(), 2);
        QListWidgetItem* first = list->item(0);
        p.addString(30, "x");  // appended: the items before it stay as they are
        settle();
        EXPECT_EQ(list->item(0), first);
        p.addString(30, "a");  // sorted to the front
        settle();
        QStringList shown;
        for (int i = 0; i < list->count(); ++i) shown << list->item(i)->text();
        EXPECT_EQ(shown, (QStringList{"a", "m", "t", "x"}));
        p.resetContent(30);
        settle();
        EXPECT_EQ(list->count(), 0);

        // An item kept with its line end (a log line as read) shows one line.
        p.addString(30, "Block Status : Fail\r\n");
        settle();
        EXPECT_EQ(list->item(0)->text(), "Block Status : Fail");
        EXPECT_EQ(p.itemText(30, 0), "Block Status : Fail\r\n");
        p.resetContent(30);
        settle();

        // A click on empty space leaves the model's selection shown.
        for (const char* s : {"one", "two"}) p.addString(30, s);
        p.setCurSel(30, 1);
        settle();
        QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, QPoint(5, list->viewport()->height() - 3));
        settle();
        EXPECT_EQ(p.curSel(30), 1);
        EXPECT_TRUE(list->item(1)->isSelected());

        // Typing into an editable combo keeps the typed text; picking an item replaces it.
        auto* combo = p.widget<QComboBox>(41);
        for (const char* s : {"alpha", "beta"}) p.addString(41, s);
        settle();
        combo->lineEdit()->setFocus();
        QTest::keyClicks(combo->lineEdit(), "gam");
        settle();
        EXPECT_EQ(p.text(41), "gam");
        EXPECT_EQ(combo->lineEdit()->text(), "gam");
        EXPECT_EQ(p.curSel(41), -1);
        emit combo->activated(1);
        settle();
        EXPECT_EQ(p.text(41), "beta");
        EXPECT_EQ(combo->currentText(), "beta");

        // An empty range must not turn the bar into Qt's busy animation.
        p.setRange(50, 0, 0);
        settle();
        auto* bar = p.widget<QProgressBar>(50);
        EXPECT_LT(bar->minimum(), bar->maximum());
        p.setRange(50, 0, 100);
        p.setPos(50, 250);  // the model keeps it in range; the bar shows the end
        settle();
        EXPECT_EQ(bar->value(), p.pos(50));
        p.endDialog(IDOK);
    });
}

TEST_F(QtFrontendTest, MultiLineEditScrollsTogetherWithTheModel)
{
    class Scrolling : public Probe {
    public:
        using Probe::Probe;
        std::vector<int> lines;
        void onScroll(int, int first) override { lines.push_back(first); }
    };
    Scrolling d(sampleTemplate());
    runWith(d, [&d](Probe& p) {
        // Lines far longer than the box: one screen line per text line all the same.
        std::string text;
        for (int i = 0; i < 40; ++i)
            text += "0x" + std::to_string(i) + "  FF FF FF FF FF FF FF FF FF FF FF FF FF FF FF FF\r\n";
        p.setText(22, text);
        auto* edit = qobject_cast<QPlainTextEdit*>(p.window()->controlWidget(11));
        ASSERT_TRUE(waitFor([&] { return edit->document()->blockCount() >= 40; }));
        // The program scrolls: the box follows.
        p.lineScroll(22, 25);
        ASSERT_TRUE(waitFor([&] { return edit->verticalScrollBar()->value() == p.firstVisibleLine(22); }));
        EXPECT_GT(p.firstVisibleLine(22), 0);
        // The user scrolls: the model and the dialog's handler learn the first visible line.
        edit->verticalScrollBar()->setValue(30);
        EXPECT_EQ(p.firstVisibleLine(22), 30);
        ASSERT_FALSE(d.lines.empty());
        EXPECT_EQ(d.lines.back(), 30);
        QCoreApplication::processEvents();
        EXPECT_EQ(edit->verticalScrollBar()->value(), 30);  // the refresh that follows keeps it there
        p.endDialog(IDOK);
    });
}

TEST_F(QtFrontendTest, EscapeCloseBoxAndEnterGoThroughTheModel)
{
    {
        Probe d(sampleTemplate());
        EXPECT_EQ(runWith(d, [](Probe& p) { QTest::keyClick(p.window(), Qt::Key_Escape); }), IDCANCEL);
        EXPECT_EQ(d.commands, std::vector<int>{IDCANCEL});
    }
    {
        Probe d(sampleTemplate());
        EXPECT_EQ(runWith(d, [](Probe& p) { p.window()->close(); }), IDCANCEL);
    }
    {
        // Enter in an edit chooses the default button.
        Probe d(sampleTemplate());
        EXPECT_EQ(runWith(d, [](Probe& p) {
            p.widget<QLineEdit>(20)->setFocus();
            QTest::keyClick(p.widget<QLineEdit>(20), Qt::Key_Return);
        }), IDOK);
        EXPECT_EQ(d.commands, std::vector<int>{IDOK});
    }
    {
        // Enter on a focused push button presses that button.
        Probe d(sampleTemplate());
        EXPECT_EQ(runWith(d, [](Probe& p) {
            p.widget<QPushButton>(2)->setFocus();
            QTest::keyClick(p.widget<QPushButton>(2), Qt::Key_Return);
        }), IDCANCEL);
        EXPECT_EQ(d.commands, std::vector<int>{IDCANCEL});
    }
    {
        // A dialog without a system menu has no close box: closing does nothing.
        DialogTemplate t = sampleTemplate();
        t.systemMenu = false;
        Probe d(t);
        d.command = [](Probe&, int) {};
        runWith(d, [](Probe& p) {
            p.window()->close();
            EXPECT_TRUE(p.window()->isVisible());
            EXPECT_TRUE(p.commands.empty());
            EXPECT_FALSE(p.window()->windowFlags() & Qt::WindowCloseButtonHint);
            p.endDialog(7);
        });
    }
}

TEST_F(QtFrontendTest, StateSetByWorkersReachesTheWidgets)
{
    Probe d(sampleTemplate());
    std::atomic<bool> ran{false};
    runWith(d, [&](Probe& p) {
        p.startWorker([&p, &ran] {
            p.setRange(50, 0, 200);
            for (int i = 0; i <= 150; i += 10) p.setPos(50, i);
            p.setText(51, "Programming.........");
            p.enable(2, false);
            p.show(60, true);
            p.addString(40, "late");
            ran = true;
        });
        EXPECT_TRUE(waitFor([&] {
            return ran && p.widget<QProgressBar>(50)->value() == 150 && p.widget<QProgressBar>(50)->maximum() == 200
                   && qobject_cast<QLabel*>(p.window()->controlWidget(17))->text() == "Programming........."
                   && !p.widget<QPushButton>(2)->isEnabled() && p.widget<QPushButton>(60)->isVisible()
                   && p.widget<QComboBox>(40)->count() == 1;
        }));
        p.endDialog(IDOK);
    });
}

TEST_F(QtFrontendTest, LongHandlerOnTheDialogThreadStillShowsItsProgress)
{
    // A handler that works on the dialog thread without returning to the
    // event loop: each change shows at once (thresholds set to zero here).
    frontendForTests().setBusyRefresh(0, 0);
    Probe d(sampleTemplate());
    std::vector<QString> seen;
    d.command = [&](Probe& p, int id) {
        if (id != 2) return;
        for (const char* step : {"Writing.....", "Verifying.....", "Done."}) {
            p.setText(51, step);
            p.addString(30, step);
            seen.push_back(qobject_cast<QLabel*>(p.window()->controlWidget(17))->text());
        }
        EXPECT_EQ(p.widget<QListWidget>(30)->count(), 3);
        p.endDialog(IDOK);
    };
    EXPECT_EQ(runWith(d, [](Probe& p) { p.widget<QPushButton>(2)->click(); }), IDOK);
    frontendForTests().setBusyRefresh(100, 100);
    EXPECT_EQ(seen, (std::vector<QString>{"Writing.....", "Verifying.....", "Done."}));
}

TEST_F(QtFrontendTest, PaintMarksAreDrawnOnTheClientArea)
{
    class Painted : public Probe {
    public:
        using Probe::Probe;
        void onPaint(Painter& p) override
        {
            p.fillRect({300, 250, 340, 270}, Color{10, 200, 30});
            p.drawText({395, 285, 420, 315}, "X", Font{"Arial Black", 20, 13, 400}, Color{255, 0, 0},
                       Color{255, 255, 255}, 0);
            p.drawText({420, 285, 448, 315}, "O", Font{"Arial Black", 20, 13, 400}, Color{0, 0, 255},
                       std::nullopt, 0);
        }
    };
    Painted d(sampleTemplate());
    runWith(d, [](Probe& p) {
        ASSERT_TRUE(waitFor([&] { return detail::marks(p).size() == 3; }));
        const QImage img = p.window()->grab().toImage();
        EXPECT_EQ(img.pixelColor(320, 260), QColor(10, 200, 30));
        auto count = [&](QRect r, QColor c) {
            int n = 0;
            for (int y = r.top(); y <= r.bottom(); ++y)
                for (int x = r.left(); x <= r.right(); ++x) n += img.pixelColor(x, y) == c;
            return n;
        };
        // Opaque text: red glyph on white cells at the top left, the rest of
        // the rectangle keeps the dialog's face.
        EXPECT_GT(count({395, 285, 25, 30}, QColor(255, 0, 0)), 10);
        EXPECT_GT(count({395, 285, 25, 30}, QColor(255, 255, 255)), 10);
        EXPECT_EQ(img.pixelColor(418, 313), QColor(240, 240, 240));
        // Transparent text: blue glyph, no white.
        EXPECT_GT(count({420, 285, 28, 30}, QColor(0, 0, 255)), 10);
        EXPECT_EQ(count({420, 285, 28, 30}, QColor(255, 255, 255)), 0);
        // Nothing is drawn outside the marks' rectangles.
        EXPECT_EQ(count({395, 250, 55, 34}, QColor(255, 0, 0)), 0);
        p.endDialog(IDOK);
    });
}

// ---- loops, boxes, timers, pollers ---------------------------------------------

TEST_F(QtFrontendTest, NestedDialogIsAModalChildAndReturnsToItsOwner)
{
    Probe outer(sampleTemplate());
    int innerResult = 0;
    bool innerWasChild = false, outerBlocked = false;
    outer.user = [&](Probe& o, unsigned msg) {
        if (msg != WM_USER + 1) return;
        DialogTemplate t = sampleTemplate();
        t.caption = "Inner";
        Probe inner(t);
        inner.init = [](Probe& i) { i.setTimer(5, 1); };
        inner.timer = [&](Probe& i, int) {
            i.killTimer(5);
            innerWasChild = i.window()->parentWidget() == o.window() && i.window()->isModal();
            outerBlocked = QApplication::activeModalWidget() == i.window();
            i.endDialog(42);
        };
        innerResult = inner.runModal();
        o.endDialog(IDOK);
    };
    outer.init = [](Probe& o) { o.postMessage(WM_USER + 1); };
    EXPECT_EQ(outer.runModal(), IDOK);
    EXPECT_EQ(innerResult, 42);
    EXPECT_TRUE(innerWasChild);
    EXPECT_TRUE(outerBlocked);
}

TEST_F(QtFrontendTest, MessageBoxAskedByAWorkerIsShownAndAnswered)
{
    Probe d(sampleTemplate());
    std::atomic<int> answer{0};
    QString seenTitle, seenText;
    QMessageBox::Icon seenIcon = QMessageBox::NoIcon;
    QTimer clicker;
    QObject::connect(&clicker, &QTimer::timeout, [&] {
        for (QWidget* w : QApplication::topLevelWidgets()) {
            auto* box = qobject_cast<QMessageBox*>(w);
            if (!box || !box->isVisible()) continue;
            seenTitle = box->windowTitle();
            seenText = box->text();
            seenIcon = box->icon();
            // Escape cannot answer a Yes/No box.
            QTest::keyClick(box, Qt::Key_Escape);
            if (!box->isVisible()) return;
            box->button(QMessageBox::No)->click();
        }
    });
    clicker.start(5);
    runWith(d, [&](Probe& p) {
        p.startWorker([&p, &answer] {
            answer = p.messageBox("Erase the flash?\r\nAll data is lost.", "Warning", MB_YESNO | MB_ICONWARNING);
        });
        EXPECT_TRUE(waitFor([&] { return answer != 0; }));
        p.endDialog(IDOK);
    });
    EXPECT_EQ(answer, IDNO);
    EXPECT_EQ(seenTitle, "Warning");
    EXPECT_EQ(seenText, "Erase the flash?\nAll data is lost.");
    EXPECT_EQ(seenIcon, QMessageBox::Warning);

    // A box asked for while the dialog initialises (its window not shown yet)
    // still shows, above that window, and Escape answers an OK box.
    Probe early(sampleTemplate());
    int earlyAnswer = 0;
    bool aboveItsDialog = false;
    seenTitle.clear();
    QObject::disconnect(&clicker, nullptr, nullptr, nullptr);
    QObject::connect(&clicker, &QTimer::timeout, [&] {
        for (QWidget* w : QApplication::topLevelWidgets()) {
            auto* box = qobject_cast<QMessageBox*>(w);
            if (!box || !box->isVisible()) continue;
            seenTitle = box->windowTitle();
            aboveItsDialog = box->parentWidget() == early.window() && !early.window()->isVisible();
            QTest::keyClick(box, Qt::Key_Escape);
        }
    });
    early.init = [&](Probe& p) {
        earlyAnswer = p.messageBox("Error to register device notification", "Error", MB_OK | MB_ICONERROR);
        p.endDialog(IDCANCEL);
    };
    EXPECT_EQ(early.runModal(), IDCANCEL);
    EXPECT_EQ(earlyAnswer, IDOK);
    EXPECT_EQ(seenTitle, "Error");
    EXPECT_TRUE(aboveItsDialog);
}

TEST_F(QtFrontendTest, EndedDialogUnderAnOpenBoxLeavesTheLoopQuiet)
{
    // Regression: a dialog ended while a box opened by its own handler was
    // still up made the front end pump the model in a busy loop.
    Probe d(sampleTemplate());
    long before = 0, after = 0;
    int ticks = 0;
    QTimer watcher;
    QObject::connect(&watcher, &QTimer::timeout, [&] {
        for (QWidget* w : QApplication::topLevelWidgets()) {
            auto* box = qobject_cast<QMessageBox*>(w);
            if (!box || !box->isVisible()) continue;
            if (ticks == 0) before = QtFrontend::pumpCount();
            if (++ticks == 30) {
                after = QtFrontend::pumpCount();
                box->button(QMessageBox::Ok)->click();
            }
        }
    });
    watcher.start(1);
    d.init = [](Probe& p) { p.setTimer(1, 1); };
    d.timer = [](Probe& p, int) {
        p.killTimer(1);
        p.endDialog(IDOK);
        p.postMessage(WM_USER + 9);  // queued work the ended loop no longer serves
        p.messageBox("Done.", "Info", MB_OK);
    };
    EXPECT_EQ(d.runModal(), IDOK);
    EXPECT_EQ(ticks, 30);
    EXPECT_LT(after - before, 5);
}

TEST_F(QtFrontendTest, FileDialogsUseQtFiltersAndReportCancel)
{
    Probe d(sampleTemplate());
    std::vector<QStringList> filters;
    QString suffix;
    std::optional<std::string> cancelled = std::string("x"), chosen;
    QTimer answerer;
    int round = 0;
    QObject::connect(&answerer, &QTimer::timeout, [&] {
        for (QWidget* w : QApplication::topLevelWidgets()) {
            auto* fd = qobject_cast<QFileDialog*>(w);
            if (!fd || !fd->isVisible()) continue;
            filters.push_back(fd->nameFilters());
            suffix = fd->defaultSuffix();
            if (round++ == 0) {
                fd->reject();
            } else {
                fd->selectFile("/tmp/picked.eep");
                QMetaObject::invokeMethod(fd, "accept");
            }
        }
    });
    answerer.start(5);
    runWith(d, [&](Probe& p) {
        cancelled = p.openFileDialog(FileDialogSpec{"EEP File (*.eep)|*.eep|All Files (*.*)|*.*||", "eep", "", true});
        chosen = p.saveFileDialog(FileDialogSpec{"EEP File (*.eep)|*.eep||", "eep", "new.eep", true});
        p.endDialog(IDOK);
    });
    EXPECT_FALSE(cancelled.has_value());
    EXPECT_EQ(chosen, std::optional<std::string>("/tmp/picked.eep"));
    ASSERT_EQ(filters.size(), 2u);
    EXPECT_EQ(filters[0], (QStringList{"EEP File (*.eep)", "All Files (*)"}));
    EXPECT_EQ(filters[1], QStringList{"EEP File (*.eep)"});
    EXPECT_EQ(suffix, "eep");
}

TEST_F(QtFrontendTest, TimersAndPollersRunOnTheRealClock)
{
    // The poller stays registered for the rest of the run: its state is
    // static and the pipe stays open (a closed one would read as always ready).
    static int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    static std::atomic<int> polls{0};
    static std::atomic<bool> readOnDialogThread{false};
    hooks::addPoller(hooks::Poller{[] {
        char c;
        if (::read(fds[0], &c, 1) == 1) readOnDialogThread = detail::onDialogThread();
        ++polls;
    }, fds[0], nullptr});

    Probe d(sampleTemplate());
    int ticks = 0;
    d.init = [](Probe& p) { p.setTimer(3, 2); };
    d.timer = [&](Probe& p, int id) {
        EXPECT_EQ(id, 3);
        if (++ticks == 3) {
            p.killTimer(3);
            p.endDialog(IDOK);
        }
    };
    std::thread writer([] { char c = 'x'; EXPECT_EQ(::write(fds[1], &c, 1), 1); });
    EXPECT_EQ(d.runModal(), IDOK);
    writer.join();
    EXPECT_EQ(ticks, 3);
    EXPECT_TRUE(waitFor([&] { return readOnDialogThread.load(); }));
    EXPECT_GE(polls, 1);
}

TEST_F(QtFrontendTest, SystemMenuReachesTheAppendedItems)
{
    Probe d(sampleTemplate());
    d.command = [](Probe&, int) {};
    d.init = [](Probe& p) { p.appendSystemMenu(16, "\xE9\x97\x9C\xE6\x96\xBC Tavrin(&A)..."); };
    runWith(d, [](Probe& p) {
        QMenu* m = p.window()->makeSystemMenu();
        QStringList texts;
        for (QAction* a : m->actions())
            if (!a->isSeparator()) texts << a->text();
        ASSERT_EQ(texts.size(), 2);
        EXPECT_TRUE(texts[0].startsWith("&Close"));
        EXPECT_EQ(texts[1], QString::fromUtf8("\xE9\x97\x9C\xE6\x96\xBC Tavrin(&A)..."));
        m->actions().last()->trigger();
        EXPECT_TRUE(waitFor([&] { return p.sysCommands == std::vector<int>{16}; }));
        // The menu button sits in a corner no control covers.
        auto buttons = p.window()->findChildren<QToolButton*>();
        ASSERT_EQ(buttons.size(), 1);
        EXPECT_TRUE(buttons[0]->isVisible());
        for (int i = 0; i < 21; ++i) {
            if (p.tmpl().controls[i].kind == Kind::GroupBox) continue;
            EXPECT_FALSE(p.window()->controlWidget(i)->geometry().intersects(buttons[0]->geometry())) << i;
        }
        m->actions().first()->trigger();  // Close: IDCANCEL through the model
        EXPECT_TRUE(waitFor([&] { return p.commands == std::vector<int>{IDCANCEL}; }));
        p.endDialog(IDOK);
    });
}

TEST_F(QtFrontendTest, WaitCursorShowsWhileItLives)
{
    Probe d(sampleTemplate());
    runWith(d, [](Probe& p) {
        {
            WaitCursor outer;
            EXPECT_NE(QApplication::overrideCursor(), nullptr);
            {
                WaitCursor inner;
            }
            ASSERT_NE(QApplication::overrideCursor(), nullptr);
            EXPECT_EQ(QApplication::overrideCursor()->shape(), Qt::WaitCursor);
        }
        EXPECT_EQ(QApplication::overrideCursor(), nullptr);
        p.endDialog(IDOK);
    });
}
