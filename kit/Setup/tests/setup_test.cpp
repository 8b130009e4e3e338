// Setup/Setup: its text in a proper window (every line of it shown, wrapped,
// nothing clipped), the way it closes, and its text on standard output when
// there is no display.
#include "setup_dialog.h"

#include "ui/scripted.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <sys/wait.h>

#if defined(SETUP_QT_TESTS)
#include "platform/ui/qt/tests/qt_test_util.h"

#include <QFontMetrics>
#include <QLabel>
#include <QPushButton>

// Sanitizer builds: the font configuration library's cache lives as long as
// the process (not a leak of ours), and Qt is not instrumented for threads.
extern "C" const char* __lsan_default_suppressions() { return "leak:libfontconfig.so\n"; }
extern "C" const char* __tsan_default_suppressions()
{
    return "called_from_lib:libQt6Core.so.6\n"
           "called_from_lib:libQt6Gui.so.6\n"
           "called_from_lib:libQt6Widgets.so.6\n";
}
#endif

namespace {

std::string runWithoutDisplay(int* exitCode) {
    std::string out;
    const std::string cmd = "env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM '" SETUP_PROGRAM "'";
    FILE* p = ::popen(cmd.c_str(), "r");
    if (!p) return out;
    char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
    const int st = ::pclose(p);
    *exitCode = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    return out;
}

}  // namespace

TEST(Setup, ShowsItsTextUntilOkOrEscape) {
    const ui::ProgramInfo info{"Setup", "Setup"};
    auto body = [] {
        setup::SetupDialog dlg;
        dlg.runModal();
    };
    auto ok = ui::scripting::runScript(
        "expect-title Driver Install\nexpect 1000 visible yes\nclick 1\n", info, body);
    EXPECT_EQ(ok.exitCode, 0) << ok.transcript;
    EXPECT_NE(ok.transcript.find("dialog \"Driver Install\" closed OK"), std::string::npos) << ok.transcript;
    auto esc = ui::scripting::runScript("close\n", info, body);
    EXPECT_EQ(esc.exitCode, 0) << esc.transcript;
    EXPECT_NE(esc.transcript.find("dialog \"Driver Install\" closed Cancel"), std::string::npos);
    // The text says that nothing needs installing and how real hardware is reached.
    EXPECT_NE(setup::setupText().find("Nothing needs to be installed"), std::string::npos);
    EXPECT_NE(setup::setupText().find("70-tavrin.rules"), std::string::npos);
}

TEST(Setup, WithoutADisplayWritesItsTextAndSucceeds) {
    int code = -1;
    const std::string out = runWithoutDisplay(&code);
    EXPECT_EQ(code, 0);
    EXPECT_EQ(out, setup::setupText() + "\n");
}

#if defined(SETUP_QT_TESTS)
using SetupWindow = qttest::QtFrontendTest;

TEST_F(SetupWindow, ShowsTheWholeTextWrapped) {
    // Regression: the text showed in a clipped xmessage window.
    setup::SetupDialog d;
    QTimer::singleShot(0, [&d] {
        auto* w = qttest::QtFrontend::windowOf(d);
        ASSERT_NE(w, nullptr);
        auto* label = qobject_cast<QLabel*>(w->controlWidget(0));
        ASSERT_NE(label, nullptr);
        EXPECT_TRUE(label->wordWrap());
        EXPECT_EQ(label->text().toStdString(), setup::setupText());
        // Every line fits: wrapped to the label's width, the text needs no
        // more height than the label has, and each udev rule fits on one line.
        EXPECT_LE(label->heightForWidth(label->width()), label->height());
        const QFontMetrics fm(label->font());
        for (const QString& line : label->text().split('\n')) {
            if (line.startsWith("SUBSYSTEM")) {
                EXPECT_LE(fm.horizontalAdvance(line), label->width()) << line.toStdString();
            }
        }
        // OK lies below the text, inside the window.
        QWidget* ok = w->controlWidget(1);
        EXPECT_GE(ok->geometry().top(), label->geometry().bottom());
        EXPECT_TRUE(w->rect().contains(ok->geometry()));
        d.endDialog(ui::IDOK);
    });
    EXPECT_EQ(d.runModal(), ui::IDOK);
}
#endif
