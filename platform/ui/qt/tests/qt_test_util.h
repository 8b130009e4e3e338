// qt_test_util.h - what the Qt front end's tests share: one front end on the
// offscreen platform for the whole test program, a dialog whose handlers a
// test fills in, a template with every kind of control, and running a dialog
// with a test inside its loop.
#pragma once

#include "qt_frontend.h"
#include "qt_window.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QTimer>

#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

namespace qttest {

using namespace ui;
using ui::qtfe::DialogWindow;
using ui::qtfe::QtFrontend;


inline QtFrontend& frontendForTests()
{
    static QtFrontend* fe = [] {
        ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
        static int argc = 1;
        static char name[] = "platform_ui_qt_tests";
        static char* argv[] = {name, nullptr};
        auto* f = new QtFrontend(argc, argv);
        detail::setFrontend(f);
        detail::setDialogThread();
        return f;
    }();
    return *fe;
}

class QtFrontendTest : public ::testing::Test {
protected:
    void SetUp() override { frontendForTests(); }
};

// Processes events until pred holds (or a generous limit passes, which fails).
inline bool waitFor(const std::function<bool()>& pred, int limitMs = 5000)
{
    QElapsedTimer t;
    t.start();
    while (!pred()) {
        if (t.elapsed() > limitMs) return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    }
    return true;
}

// A dialog whose handlers the test fills in; it records what reached it.
class Probe : public Dialog {
public:
    using Dialog::Dialog;
    std::function<void(Probe&)> init;
    std::function<void(Probe&, int)> command;
    std::function<void(Probe&, int)> timer;
    std::function<void(Probe&, unsigned)> user;
    std::vector<int> commands, selChanges, editChanges, sysCommands;

    bool onInitDialog() override
    {
        if (init) init(*this);
        return true;
    }
    void onCommand(int id) override
    {
        commands.push_back(id);
        if (command) command(*this, id);
        else Dialog::onCommand(id);
    }
    void onSelChange(int id) override { selChanges.push_back(id); }
    void onEditChange(int id) override { editChanges.push_back(id); }
    void onSysCommand(int cmd) override { sysCommands.push_back(cmd); }
    void onTimer(int id) override { if (timer) timer(*this, id); }
    void onUserMessage(unsigned msg, uintptr_t, intptr_t) override { if (user) user(*this, msg); }
    DialogWindow* window() const { return QtFrontend::windowOf(*this); }
    template <class W> W* widget(int id) const
    {
        auto idx = detail::indexOf(*this, id);
        return idx ? qobject_cast<W*>(window()->controlWidget(*idx)) : nullptr;
    }
};

inline DialogTemplate sampleTemplate()
{
    DialogTemplate t;
    t.id = 200;
    t.caption = "Sample";
    t.cx = 300;
    t.cy = 200;
    auto add = [&](int id, Kind k, const std::string& cap, DlgRect r, uint32_t style = 0) {
        t.controls.push_back(ControlTemplate{id, k, cap, r, style});
    };
    add(-1, Kind::GroupBox, "Frame", {5, 5, 140, 90});                       // 0
    add(1, Kind::DefPushButton, "OK", {10, 20, 50, 14});                     // 1
    add(2, Kind::PushButton, "Cancel", {62, 20, 50, 14});                    // 2
    add(10, Kind::AutoCheckBox, "Auto", {10, 40, 60, 10});                   // 3
    add(11, Kind::CheckBox, "Plain", {75, 40, 60, 10});                      // 4
    add(12, Kind::AutoRadioButton, "50 ns", {10, 55, 60, 10}, WS_GROUP);     // 5
    add(13, Kind::AutoRadioButton, "30 ns", {75, 55, 60, 10});               // 6
    add(14, Kind::AutoRadioButton, "On", {10, 70, 60, 10}, WS_GROUP);        // 7
    add(-1, Kind::Static, "F/&W && text", {150, 5, 140, 8}, SS_CENTER);      // 8
    add(20, Kind::Edit, "", {150, 20, 60, 12}, ES_UPPERCASE);               // 9
    add(21, Kind::Edit, "", {212, 20, 60, 12}, ES_NUMBER);                  // 10
    add(22, Kind::Edit, "", {150, 35, 140, 40}, ES_MULTILINE | WS_VSCROLL); // 11
    add(30, Kind::ListBox, "", {5, 100, 70, 50}, LBS_SORT);                  // 12
    add(31, Kind::ListBox, "", {80, 100, 70, 50}, LBS_MULTIPLESEL);          // 13
    add(40, Kind::ComboBox, "", {155, 100, 60, 80}, CBS_DROPDOWNLIST);       // 14
    add(41, Kind::ComboBox, "", {220, 100, 60, 80}, CBS_DROPDOWN);           // 15
    add(50, Kind::ProgressBar, "", {5, 160, 200, 10});                       // 16
    add(51, Kind::Static, "idle", {5, 175, 100, 8});                         // 17
    add(-1, Kind::Bitmap, "129", {220, 150, 40, 40});                        // 18
    add(60, Kind::PushButton, "Hidden", {220, 80, 40, 14}, WS_HIDDEN);       // 19
    add(61, Kind::PushButton, "Off", {262, 80, 30, 14}, WS_DISABLED);        // 20
    return t;
}

// Runs d modally; `during` runs inside its loop once the window shows. A
// dialog that `during` leaves open (a failed assertion returned early) ends
// with -1, so a failure never hangs the run.
inline int runWith(Probe& d, const std::function<void(Probe&)>& during)
{
    QTimer::singleShot(0, [&d, during] {
        during(d);
        if (d.isOpen()) d.endDialog(-1);
    });
    return d.runModal();
}


}  // namespace qttest
