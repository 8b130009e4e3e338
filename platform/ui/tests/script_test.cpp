// Scripted runs of ui_probe and of a dialog defined here: the transcript and
// exit code of each script.
#include "frontend.h"
#include "scripted.h"

#include <velk_sim.h>

#include <gtest/gtest.h>

#include <sys/wait.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

namespace fs = std::filesystem;

namespace {

struct Outcome {
    int code = -1;
    std::string out;
};

class Script : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = fs::temp_directory_path() /
               ("ui_script_" + std::to_string(::getpid()) + "_" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(dir_);
        fs::create_directories(dir_ / "bus");
    }
    void TearDown() override { fs::remove_all(dir_); }

    Outcome run(const std::string& script, const std::string& env = "") {
        const fs::path file = dir_ / "script.txt";
        std::ofstream(file) << script;
        const std::string cmd = "VELK_SIM_DIR='" + (dir_ / "bus").string() + "' " + env + " '" +
                                UI_PROBE + "' --script '" + file.string() + "' 2>/dev/null";
        Outcome r;
        FILE* p = ::popen(cmd.c_str(), "r");
        if (!p) return r;
        char buf[4096];
        size_t n;
        while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) r.out.append(buf, n);
        const int st = ::pclose(p);
        r.code = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
        return r;
    }

    fs::path dir_;
};

TEST_F(Script, WorkerAsksForAMessageBoxAndGetsTheQueuedAnswer) {
    Outcome r = run(
        "answer Yes\n"
        "click 1100\n"
        "wait\n"
        "expect 1040 text worker heard yes\n"
        "answer No\n"
        "click 1100\n"
        "wait\n"
        "expect 1040 text worker heard no\n"
        "click 1\n");
    EXPECT_EQ(r.code, 0) << r.out;
    EXPECT_EQ(r.out,
              "dialog \"Probe\" opened\n"
              "box \"Question\" question YesNo \"Go on?\\nSecond line\" -> Yes\n"
              "box \"Question\" question YesNo \"Go on?\\nSecond line\" -> No\n"
              "dialog \"Probe\" closed OK\n");
}

TEST_F(Script, MessageBoxWithoutQueuedAnswerFailsAndShowsTheBox) {
    Outcome r = run("click 1100\nwait\nclick 1\n");
    EXPECT_EQ(r.code, 1);
    EXPECT_NE(r.out.find("box \"Question\" question YesNo \"Go on?\\nSecond line\" -> ?\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("failed at line "), std::string::npos) << r.out;
    // An answer that is not a button of the box is refused too.
    r = run("answer OK\nclick 1100\nwait\n");
    EXPECT_EQ(r.code, 1);
    EXPECT_NE(r.out.find("is not a button of this box (YesNo)"), std::string::npos) << r.out;
}

TEST_F(Script, AnswersAtTheStartServeBoxesOfTheFirstInitialisation) {
    Outcome r = run("# start-up\nanswer OK\nclick 1\n", "PROBE_STARTUP_BOX=1");
    EXPECT_EQ(r.code, 0) << r.out;
    EXPECT_EQ(r.out,
              "box \"Probe\" none OK \"Starting\" -> OK\n"
              "dialog \"Probe\" opened\n"
              "dialog \"Probe\" closed OK\n");
}

TEST_F(Script, NestedModalDialogsReturnTheirResultsInOrder) {
    Outcome r = run(
        "click 1101\n"
        "expect-title Child 1\n"
        "click 2002\n"
        "expect-title Child 2\n"
        "text 2001 deep text\n"
        "click 1\n"
        "expect-title Child 1\n"
        "expect 2001 text inner 1 deep text\n"
        "click 2\n"
        "expect-title Probe\n"
        "expect 1040 text child 2 \n"
        "click 2\n");
    EXPECT_EQ(r.code, 0) << r.out;
    EXPECT_EQ(r.out,
              "dialog \"Probe\" opened\n"
              "dialog \"Child 1\" opened\n"
              "dialog \"Child 2\" opened\n"
              "dialog \"Child 2\" closed OK\n"
              "dialog \"Child 1\" closed Cancel\n"
              "dialog \"Probe\" closed Cancel\n");
}

TEST_F(Script, TimersTickOnTheVirtualClockOnly) {
    Outcome r = run(
        "click 1102\n"
        "advance 499\n"
        "expect 1040 text ready\n"
        "advance 1\n"
        "expect 1040 text tick 1 of timer 7 at 500\n"
        "# wait does not move the clock for timers alone\n"
        "wait\n"
        "expect 1040 text tick 1 of timer 7 at 500\n"
        "advance 5000\n"
        "expect 1040 text tick 3 of timer 7 at 1500\n"
        "click 2\n");
    EXPECT_EQ(r.code, 0) << r.out;
}

TEST_F(Script, FailedExpectationPrintsExpectedAndFoundAndExitsOne) {
    Outcome r = run("text 1001 hello\nexpect 1001 text goodbye\nclick 1\n");
    EXPECT_EQ(r.code, 1);
    EXPECT_EQ(r.out,
              "dialog \"Probe\" opened\n"
              "failed at line 2: expect 1001 text: expected \"goodbye\", found \"hello\"\n");
    r = run("expect 1010 checked yes\n");
    EXPECT_EQ(r.code, 1);
    EXPECT_NE(r.out.find("expect 1010 checked: expected yes, found no"), std::string::npos) << r.out;
    r = run("expect 1030 range 0..50\n");
    EXPECT_NE(r.out.find("expected 0..50, found 0..100"), std::string::npos) << r.out;
    // Script errors fail the same way: unknown control, disabled button, unknown verb.
    EXPECT_EQ(run("click 4242\n").code, 1);
    EXPECT_EQ(run("click 1109\n").code, 1);
    EXPECT_EQ(run("jump 1\n").code, 1);
}

TEST_F(Script, DialogWaitingOnItsEventStillAnswersItsWorkersBox) {
    Outcome r = run(
        "answer OK\n"
        "click 1103\n"
        "expect 1040 text event after 300 ms\n"
        "click 1\n");
    EXPECT_EQ(r.code, 0) << r.out;
    EXPECT_EQ(r.out,
              "dialog \"Probe\" opened\n"
              "box \"Info\" none OK \"Worker asks while the dialog waits\" -> OK\n"
              "dialog \"Probe\" closed OK\n");
}

TEST_F(Script, WaitMovesTheClockThroughSleepingWorkersAndNeverHangs) {
    Outcome r = run(
        "click 1104\n"
        "click 1102\n"
        "wait\n"
        "expect 1040 text woke 5 at 5000\n"
        "click 2\n");
    EXPECT_EQ(r.code, 0) << r.out;
    // A worker that sleeps in a loop until its dialog closes: the end of the
    // script closes the dialog and the worker ends.
    r = run("click 1108\nadvance 1000\n");
    EXPECT_EQ(r.code, 0) << r.out;
    EXPECT_EQ(r.out, "dialog \"Probe\" opened\nscript ended\ndialog \"Probe\" closed Cancel\n");
    // ... but waiting for it gives up after an hour of program time.
    r = run("click 1108\nwait\n");
    EXPECT_EQ(r.code, 1);
    EXPECT_NE(r.out.find("wait: workers still sleeping"), std::string::npos) << r.out;
    // A dialog waiting for an event no thread can set is reported, not hung.
    r = run("click 1109\n", "PROBE_DEADLOCK=1");
    EXPECT_EQ(r.code, 1);
    EXPECT_NE(r.out.find("deadlock"), std::string::npos) << r.out;
}

TEST_F(Script, ProgressFromAWorkerAndAdvanceStepsThroughItsSleeps) {
    Outcome r = run(
        "click 1106\n"
        "advance 350\n"
        "expect 1030 pos 30\n"
        "advance 650\n"
        "expect 1030 pos 100\n"
        "expect 1040 text steps done at 1000\n"
        "click 2\n");
    EXPECT_EQ(r.code, 0) << r.out;
}

TEST_F(Script, PaintedMarksAreRecordedOnce) {
    Outcome r = run("click 1105\nclick 1105\nclick 1\n");
    EXPECT_EQ(r.code, 0) << r.out;
    EXPECT_EQ(r.out,
              "dialog \"Probe\" opened\n"
              "paint \"Probe\" fill #F0F0F0 (10,10)-(110,60)\n"
              "paint \"Probe\" text \"FAIL\" #FF0000 on none (20,20)-(100,50) \"Arial Black\" 55\n"
              "dialog \"Probe\" closed OK\n");
}

TEST_F(Script, FileDialogsTakeTheQueuedChoice) {
    Outcome r = run(
        "file /tmp/x/image\n"
        "click 1107\n"
        "expect 1040 text /tmp/x/image.hex\n"
        "file -\n"
        "click 1107\n"
        "expect 1040 text cancel\n"
        "file /tmp/run.log\n"
        "click 1110\n"
        "wait\n"
        "expect 1040 text save /tmp/run.log\n"
        "click 1\n");
    EXPECT_EQ(r.code, 0) << r.out;
    EXPECT_NE(r.out.find("file open \"HEX File (*.hex)|*.hex||\" -> \"/tmp/x/image.hex\"\n"), std::string::npos);
    EXPECT_NE(r.out.find("file open \"HEX File (*.hex)|*.hex||\" -> cancel\n"), std::string::npos);
    EXPECT_NE(r.out.find("file save \"Log (*.log)|*.log||\" -> \"/tmp/run.log\"\n"), std::string::npos);
    EXPECT_EQ(run("click 1107\n").code, 1);  // no file queued
}

TEST_F(Script, ControlsReactToClicksTypingAndSelection) {
    Outcome r = run(
        "# auto check box and radio groups\n"
        "click 1010\n"
        "expect 1010 checked yes\n"
        "click 1014\n"
        "click 1011\n"
        "click 1012\n"
        "expect 1011 checked no\n"
        "expect 1012 checked yes\n"
        "expect 1014 checked yes\n"
        "# digits only, four at most\n"
        "text 1002 a1b2c3d4e5\n"
        "expect 1002 text 1234\n"
        "text 1001 tab\\there\\\\\n"
        "expect 1001 text tab\\there\\\\\n"
        "# sorted list, selection confirmed by the user\n"
        "expect 1020 count 3\n"
        "expect 1020 item:0 Apple\n"
        "select 1020 2\n"
        "expect 1040 text picked pear\n"
        "expect 1020 selected 2\n"
        "select 1021 1\n"
        "expect 1021 text two\n"
        "dump\n"
        "click 16\n"
        "expect 1040 text system menu 16\n"
        "close\n");
    EXPECT_EQ(r.code, 0) << r.out;
    EXPECT_NE(r.out.find("  1020 ListBox \"\" enabled=yes visible=yes count=3 selected=2 \"Apple\" \"fig\" \"pear\"\n"),
              std::string::npos) << r.out;
    EXPECT_NE(r.out.find("dialog \"Probe\" closed Cancel\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("  1109 PushButton \"Deadlock\" enabled=no visible=yes\n"), std::string::npos) << r.out;
}

TEST_F(Script, EndOfScriptAndLeftoversAreHandled) {
    // Lines after the program ended would silently not run: that fails.
    Outcome r = run("click 1\nexpect 1001 text x\n");
    EXPECT_EQ(r.code, 1);
    EXPECT_NE(r.out.find("the program ended before this line"), std::string::npos) << r.out;
    // An answer never used means the box the script expected never came.
    r = run("answer Yes\nclick 1\n");
    EXPECT_EQ(r.code, 1);
    // A script that runs out closes the dialogs as with the close box.
    r = run("click 1101\n");
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(r.out,
              "dialog \"Probe\" opened\n"
              "dialog \"Child 1\" opened\n"
              "script ended\n"
              "dialog \"Child 1\" closed Cancel\n"
              "dialog \"Probe\" closed Cancel\n");
}

TEST_F(Script, PlugAndUnplugReachTheProgramBeforeTheNextLine) {
    ASSERT_TRUE(VelkSimSetBusDir((dir_ / "bus").c_str()));
    const char* const* profiles = VelkSimProfiles();
    ASSERT_TRUE(profiles && profiles[0]);
    ASSERT_TRUE(VelkSimCreate("dev1", profiles[0], nullptr)) << VelkSimLastError();
    Outcome r = run("unplug dev1\nplug dev1\nclick 1\n");
    EXPECT_EQ(r.code, 0) << r.out;
    EXPECT_EQ(r.out,
              "dialog \"Probe\" opened\n"
              "device change 32772\n"
              "device change 32768\n"
              "dialog \"Probe\" closed OK\n");
    EXPECT_EQ(run("plug nosuchdevice\n").code, 1);
}

TEST_F(Script, StartWithoutDisplayOrWithBadArgumentsSaysSoAndExitsTwo) {
    auto exitOf = [](const std::string& cmd, std::string* err) {
        FILE* p = ::popen(cmd.c_str(), "r");
        char buf[512];
        size_t n;
        while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) err->append(buf, n);
        const int st = ::pclose(p);
        return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    };
    std::string err;
    EXPECT_EQ(exitOf(std::string("env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM '") + UI_PROBE +
                         "' 2>&1 >/dev/null",
                     &err),
              2);
    EXPECT_NE(err.find("no display"), std::string::npos) << err;
    EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
    err.clear();
    EXPECT_EQ(exitOf(std::string("'") + UI_PROBE + "' --script /nonexistent/script 2>&1", &err), 2);
    err.clear();
    EXPECT_EQ(exitOf(std::string("'") + UI_PROBE + "' --bogus 2>&1", &err), 2);
}

}  // namespace

// ---- scripted runs of a dialog defined in the test itself ---------------------

namespace {

class Counter : public ui::Dialog {
public:
    Counter()
        : Dialog(ui::DialogTemplate{300, "Counter", 100, 40, true,
                                    {{10, ui::Kind::Static, "0", {5, 5, 40, 10}, 0},
                                     {11, ui::Kind::PushButton, "Count", {5, 20, 40, 14}, 0},
                                     {ui::IDOK, ui::Kind::DefPushButton, "OK", {50, 20, 40, 14}, 0}}}) {}
    void onCommand(int id) override {
        if (id != 11) return Dialog::onCommand(id);
        startWorker([this] {
            for (int i = 1; i <= 3; ++i) {
                ui::sleepMs(1000);
                postMessage(ui::WM_USER, static_cast<uintptr_t>(i));
            }
        });
    }
    void onUserMessage(unsigned, uintptr_t w, intptr_t) override {
        setText(10, std::to_string(w) + " at " + std::to_string(ui::nowMs()));
    }
};

TEST(ScriptHarness, RunsADialogOfTheTestFromAScript) {
    auto body = [] {
        Counter c;
        c.runModal();
    };
    auto r = ui::scripting::runScript("click 11\nadvance 2500\nexpect 10 text 2 at 2000\nwait\nexpect 10 text 3 at 3000\nclick 1\n",
                                      {"Counter", "counter"}, body);
    EXPECT_EQ(r.exitCode, 0) << r.transcript;
    EXPECT_EQ(r.transcript, "dialog \"Counter\" opened\ndialog \"Counter\" closed OK\n");
    r = ui::scripting::runScript("expect 10 text 1\n", {"Counter", "counter"}, body);
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.transcript,
              "dialog \"Counter\" opened\nfailed at line 1: expect 10 text: expected \"1\", found \"0\"\n");
}

// Captions as an operator reads them: buttons, check boxes and radio buttons
// by their own caption, edits and lists by the label before them.
class Captioned : public ui::Dialog {
public:
    Captioned()
        : Dialog(ui::DialogTemplate{303, "Captioned", 200, 80, true,
                                    {{20, ui::Kind::Static, "Start", {5, 5, 30, 8}, 0},
                                     {21, ui::Kind::Edit, "", {40, 5, 40, 12}, ui::ES_NUMBER},
                                     {22, ui::Kind::PushButton, "&Write to EEPROM", {5, 20, 60, 14}, 0},
                                     {23, ui::Kind::PushButton, "Erase", {70, 20, 40, 14}, 0},
                                     {24, ui::Kind::PushButton, "Erase", {115, 20, 40, 14}, 0},
                                     {25, ui::Kind::AutoCheckBox, "Write EEP File && F/W", {5, 38, 90, 10}, 0},
                                     {-1, ui::Kind::Static, "Lines", {5, 50, 30, 8}, 0},
                                     {26, ui::Kind::ListBox, "", {40, 50, 60, 24}, 0},
                                     {-1, ui::Kind::GroupBox, "No ID", {110, 38, 80, 36}, 0},
                                     {27, ui::Kind::Static, "Say \"hi\"", {115, 50, 60, 8}, 0}}}) {}
    bool onInitDialog() override {
        addString(26, "first");
        addString(26, "second");
        return true;
    }
    void onCommand(int id) override {
        if (id == 22) setText(21, text(21) + "!");
        Dialog::onCommand(id);
    }
    void onSelChange(int id) override { setText(27, "picked " + itemText(id, curSel(id))); }
};

TEST(ScriptHarness, ControlsAreNamedByTheirCaptionOrTheirLabel) {
    auto body = [] {
        Captioned c;
        c.runModal();
    };
    const ui::ProgramInfo info{"Captioned", "captioned"};
    auto r = ui::scripting::runScript("text \"Start\" 0005\n"
                                      "click \"&Write to EEPROM\"\n"
                                      "expect \"Start\" text 0005!\n"
                                      "expect 21 text 0005!\n"
                                      "click \"Write EEP File && F/W\"\n"
                                      "expect \"Write EEP File && F/W\" checked yes\n"
                                      "expect \"Say \\\"hi\\\"\" text Say \"hi\"\n"
                                      "select \"Lines\" 1\n"
                                      "expect 27 text picked second\n"
                                      "expect \"picked second\" visible yes\n"
                                      "close\n",
                                      info, body);
    EXPECT_EQ(r.exitCode, 0) << r.transcript;

    // None, several, a caption without ID, a broken quote: each fails the script.
    const std::pair<const char*, const char*> bad[] = {
        {"click \"Write to EEPROM\"\n", "failed at line 1: no control captioned \"Write to EEPROM\" in the dialog \"Captioned\""},
        {"click \"Erase\"\n", "failed at line 1: 2 controls are captioned \"Erase\" in the dialog \"Captioned\": name it by its ID"},
        {"expect \"No ID\" enabled yes\n", "failed at line 1: the control captioned \"No ID\" has no ID"},
        {"click \"Erase\n", "failed at line 1: the caption \"Erase has no closing double quote"},
        {"click \"Erase\"x\n", "failed at line 1: a blank must follow the caption in \"Erase\"x"},
        {"click \"&Write to EEPROM\" 22\n", "failed at line 1: click takes one control"},
        {"click Erase\n", "failed at line 1: not a control ID or a caption in double quotes: \"Erase\""},
    };
    for (const auto& [script, line] : bad) {
        r = ui::scripting::runScript(script, info, body);
        EXPECT_EQ(r.exitCode, 1) << script;
        EXPECT_NE(r.transcript.find(line), std::string::npos) << script << r.transcript;
    }
}

}  // namespace

namespace {

// A parent with a timer and a child dialog: the child's loop keeps serving
// the parent (its timers, its posted messages), as the platform's modal
// loops do; observers see every window come and go.
class Parent : public ui::Dialog {
public:
    Parent()
        : Dialog(ui::DialogTemplate{301, "Parent", 100, 40, true,
                                    {{10, ui::Kind::Static, "", {5, 5, 40, 10}, 0},
                                     {11, ui::Kind::PushButton, "Child", {5, 20, 40, 14}, 0},
                                     {12, ui::Kind::PushButton, "Close later", {50, 20, 40, 14}, 0}}}) {}
    bool onInitDialog() override {
        setTimer(1, 1000);
        return true;
    }
    void onTimer(int) override {
        ++ticks_;
        setText(10, "ticks " + std::to_string(ticks_));
        setTitle("Parent " + std::to_string(ticks_));
    }
    void onCommand(int id) override {
        if (id == 11) {
            ui::Dialog child(ui::DialogTemplate{302, "Child", 60, 30, true,
                                                {{ui::IDOK, ui::Kind::DefPushButton, "OK", {5, 5, 40, 14}, 0}}});
            child.runModal();
        } else if (id == 12) {
            startWorker([this] {
                ui::sleepMs(500);
                postClose();  // as the close box, from another thread
            });
        } else {
            Dialog::onCommand(id);
        }
    }
private:
    int ticks_ = 0;
};

TEST(ScriptHarness, NestedLoopsServeTheDialogsBelowAndObserversSeeEveryWindow) {
    auto body = [] {
        ui::hooks::addWindowObserver([](ui::Dialog& d, ui::hooks::WindowEvent e) {
            const char* what = e == ui::hooks::WindowEvent::Shown       ? "shown"
                               : e == ui::hooks::WindowEvent::Retitled ? "retitled"
                                                                       : "destroyed";
            ui::hooks::transcript(std::string("observer ") + what + " " + d.title());
        });
        Parent p;
        p.runModal();
    };
    auto r = ui::scripting::runScript(
        "click 11\n"
        "advance 2000\n"
        "expect-title Child\n"
        "click 1\n"
        "expect 10 text ticks 2\n"
        "click 12\n"
        "advance 499\n"
        "expect-title Parent 2\n"
        "advance 1\n",
        {"Parent", "parent"}, body);
    EXPECT_EQ(r.exitCode, 0) << r.transcript;
    EXPECT_EQ(r.transcript,
              "dialog \"Parent\" opened\n"
              "observer shown Parent\n"
              "dialog \"Child\" opened\n"
              "observer shown Child\n"
              "observer retitled Parent 1\n"
              "observer retitled Parent 2\n"
              "dialog \"Child\" closed OK\n"
              "observer destroyed Child\n"
              "dialog \"Parent 2\" closed Cancel\n"
              "observer destroyed Parent 2\n");
}

}  // namespace

namespace {

// A front end that records its calls and the threads they came on: every
// call but wake() must come on the dialog thread (the Qt front end relies on
// it), however the workers change the dialog.
struct Recording : ui::Frontend {
    std::thread::id dialogThread = std::this_thread::get_id();
    std::atomic<int> offThread{0};
    std::vector<std::string> calls;
    std::mutex m;
    std::condition_variable cv;
    bool woken = false;

    void check(const std::string& what) {
        if (std::this_thread::get_id() != dialogThread) ++offThread;
        calls.push_back(what);
    }
    void createWindow(ui::Dialog&, ui::Dialog*) override { check("create"); }
    void showWindow(ui::Dialog&) override { check("show"); }
    void destroyWindow(ui::Dialog&, int result) override { check("destroy " + std::to_string(result)); }
    void refresh(ui::Dialog& d, const ui::Changes& what) override {
        for (size_t i : what.controls)
            if (auto c = ui::detail::control(d, i)) check("refresh " + std::to_string(c->id) + " " + c->text);
    }
    void runLoop(ui::Dialog& d) override {
        while (!ui::detail::loopEnded(d)) {
            ui::detail::pump();
            std::unique_lock lk(m);
            cv.wait_for(lk, std::chrono::milliseconds(50), [this] { return woken; });
            woken = false;
        }
    }
    void wake() override {
        std::lock_guard lk(m);
        woken = true;
        cv.notify_all();
    }
    int messageBox(ui::Dialog*, const std::string& text, const std::string&, unsigned) override {
        check("box " + text);
        return ui::IDYES;
    }
    std::optional<std::string> fileDialog(ui::Dialog*, bool, const ui::FileDialogSpec&) override {
        check("file");
        return std::nullopt;
    }
    void setBusyCursor(bool on) override { check(on ? "busy" : "not busy"); }
};

class Busy : public ui::Dialog {
public:
    Busy()
        : Dialog(ui::DialogTemplate{303, "Busy", 100, 40, true,
                                    {{10, ui::Kind::Static, "", {5, 5, 40, 10}, 0}}}) {}
    ui::ManualResetEvent asked{false};
    bool onInitDialog() override {
        startWorker([this] {
            ui::WaitCursor wc;
            const int a = messageBox("sure?", "Q", ui::MB_YESNO);
            setText(10, a == ui::IDYES ? "yes" : "no");
            asked.set();
            postMessage(ui::WM_USER);
        });
        return true;
    }
    void onUserMessage(unsigned, uintptr_t, intptr_t) override {
        asked.wait();
        endDialog(ui::IDOK);
    }
};

TEST(FrontEndCalls, ComeOnTheDialogThreadWhateverTheWorkersDo) {
    Recording fe;
    ui::detail::setDialogThread();
    ui::detail::setFrontend(&fe);
    int result = 0;
    {
        Busy b;
        result = b.runModal();
    }
    ui::detail::setFrontend(nullptr);
    EXPECT_EQ(result, ui::IDOK);
    EXPECT_EQ(fe.offThread.load(), 0);
    auto has = [&](const std::string& s) { return std::find(fe.calls.begin(), fe.calls.end(), s) != fe.calls.end(); };
    EXPECT_TRUE(has("box sure?"));
    EXPECT_TRUE(has("refresh 10 yes"));
    EXPECT_TRUE(has("busy"));
    EXPECT_EQ(fe.calls.front(), "create");
    EXPECT_EQ(fe.calls.back(), "destroy 1");
}

}  // namespace
