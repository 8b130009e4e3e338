// ui_probe - a small program on the dialog layer that the script tests drive.
// Each button exercises one way programs use dialogs: workers asking for
// boxes, nested modal dialogs, timers, waiting on an event, sleeping workers,
// painting, progress, file dialogs and device changes.
#include "dialog.h"

#include <velk_sim.h>

#include <atomic>
#include <cstdlib>
#include <memory>
#include <string>

using namespace ui;

namespace {

enum : int {
    kEdit = 1001, kNumber = 1002, kCheck = 1010, kRadioA = 1011, kRadioB = 1012, kRadioC = 1013,
    kRadioD = 1014, kList = 1020, kCombo = 1021, kProgress = 1030, kStatus = 1040,
    kWorkerBox = 1100, kNested = 1101, kTimer = 1102, kWaitEvent = 1103, kSleeper = 1104,
    kPaint = 1105, kSteps = 1106, kFile = 1107, kEndless = 1108, kDeadlock = 1109,
    kSave = 1110, kChildEdit = 2001, kChildNested = 2002,
};

DialogTemplate childTemplate(const std::string& caption) {
    DialogTemplate t;
    t.id = 200;
    t.caption = caption;
    t.cx = 160;
    t.cy = 60;
    t.controls = {
        {kChildEdit, Kind::Edit, "", {7, 7, 146, 14}, 0},
        {kChildNested, Kind::PushButton, "&Deeper", {7, 39, 50, 14}, 0},
        {IDOK, Kind::DefPushButton, "OK", {61, 39, 44, 14}, 0},
        {IDCANCEL, Kind::PushButton, "Cancel", {109, 39, 44, 14}, 0},
    };
    return t;
}

class Child : public Dialog {
public:
    Child(const std::string& caption, int depth) : Dialog(childTemplate(caption)), depth_(depth) {}
    std::string typed;
    bool onInitDialog() override {
        setText(kChildEdit, "depth " + std::to_string(depth_));
        return true;
    }
    void onCommand(int id) override {
        if (id == kChildNested) {
            Child c("Child " + std::to_string(depth_ + 1), depth_ + 1);
            const int r = c.runModal();
            setText(kChildEdit, "inner " + std::to_string(r) + " " + c.typed);
            return;
        }
        if (id == IDOK) typed = text(kChildEdit);
        Dialog::onCommand(id);
    }
private:
    int depth_;
};

DialogTemplate mainTemplate() {
    DialogTemplate t;
    t.id = 100;
    t.caption = "Probe";
    t.cx = 300;
    t.cy = 200;
    t.controls = {
        {kEdit, Kind::Edit, "", {7, 7, 100, 14}, 0},
        {kNumber, Kind::Edit, "", {110, 7, 40, 14}, ES_NUMBER},
        {kCheck, Kind::AutoCheckBox, "Check", {7, 25, 60, 10}, 0},
        {kRadioA, Kind::AutoRadioButton, "A", {7, 37, 30, 10}, WS_GROUP},
        {kRadioB, Kind::AutoRadioButton, "B", {40, 37, 30, 10}, 0},
        {kRadioC, Kind::AutoRadioButton, "C", {73, 37, 30, 10}, 0},
        {kRadioD, Kind::AutoRadioButton, "D", {106, 37, 30, 10}, WS_GROUP},
        {kList, Kind::ListBox, "", {7, 50, 80, 40}, LBS_SORT},
        {kCombo, Kind::ComboBox, "", {90, 50, 80, 40}, CBS_DROPDOWNLIST},
        {kProgress, Kind::ProgressBar, "", {7, 95, 200, 10}, 0},
        {kStatus, Kind::Static, "ready", {7, 108, 200, 10}, 0},
        {kWorkerBox, Kind::PushButton, "Worker box", {7, 122, 50, 14}, 0},
        {kNested, Kind::PushButton, "Nested", {60, 122, 50, 14}, 0},
        {kTimer, Kind::PushButton, "Timer", {113, 122, 50, 14}, 0},
        {kWaitEvent, Kind::PushButton, "Wait event", {166, 122, 50, 14}, 0},
        {kSleeper, Kind::PushButton, "Sleeper", {219, 122, 50, 14}, 0},
        {kPaint, Kind::PushButton, "Paint", {7, 140, 50, 14}, 0},
        {kSteps, Kind::PushButton, "Steps", {60, 140, 50, 14}, 0},
        {kFile, Kind::PushButton, "File", {113, 140, 50, 14}, 0},
        {kEndless, Kind::PushButton, "Endless", {166, 140, 50, 14}, 0},
        {kDeadlock, Kind::PushButton, "Deadlock", {219, 140, 50, 14}, WS_DISABLED},
        {kSave, Kind::PushButton, "Save", {7, 158, 50, 14}, 0},
        {IDOK, Kind::DefPushButton, "OK", {190, 180, 50, 14}, 0},
        {IDCANCEL, Kind::PushButton, "Cancel", {243, 180, 50, 14}, 0},
    };
    return t;
}

class Probe : public Dialog {
public:
    Probe() : Dialog(mainTemplate()) {}

    bool onInitDialog() override {
        setTextLimit(kNumber, 4);
        appendSystemMenu(0x10, "&About Probe...");
        for (const char* s : {"pear", "Apple", "fig"}) addString(kList, s);
        for (const char* s : {"one", "two", "three"}) addString(kCombo, s);
        setCurSel(kCombo, 0);
        setRange(kProgress, 0, 100);
        setStep(kProgress, 10);
        if (std::getenv("PROBE_DEADLOCK")) enable(kDeadlock);
        if (std::getenv("PROBE_STARTUP_BOX")) messageBox("Starting", "", MB_OK);  // no title: the program's name
        return true;
    }

    void onCommand(int id) override {
        switch (id) {
        case kWorkerBox:
            startWorker([this] {
                const int a = messageBox("Go on?\nSecond line", "Question", MB_YESNO | MB_ICONQUESTION);
                setText(kStatus, a == IDYES ? "worker heard yes" : "worker heard no");
            });
            break;
        case kNested: {
            Child c("Child 1", 1);
            const int r = c.runModal();
            setText(kStatus, "child " + std::to_string(r) + " " + c.typed);
            break;
        }
        case kTimer:
            ticks_ = 0;
            setTimer(7, 500);
            break;
        case kWaitEvent: {
            ManualResetEvent done(false);
            startWorker([this, &done] {
                messageBox("Worker asks while the dialog waits", "Info", MB_OK);
                sleepMs(300);
                done.set();
            });
            const int64_t t0 = nowMs();
            done.wait();
            setText(kStatus, "event after " + std::to_string(nowMs() - t0) + " ms");
            break;
        }
        case kSleeper:
            startWorker([this] {
                sleepMs(5000);
                postMessage(WM_USER + 1, 5);
            });
            break;
        case kPaint: {
            Painter p(*this);
            Font f;
            f.face = "Arial Black";
            f.height = 55;
            p.fillRect({10, 10, 110, 60}, kButtonFace);
            p.drawText({20, 20, 100, 50}, "FAIL", f, {255, 0, 0}, std::nullopt, DT_CENTER);
            break;
        }
        case kSteps:
            startWorker([this] {
                for (int i = 0; i < 10; ++i) {
                    sleepMs(100);
                    stepIt(kProgress);
                }
                postMessage(WM_USER + 2);
            });
            break;
        case kFile: {
            FileDialogSpec spec;
            spec.filter = "HEX File (*.hex)|*.hex||";
            spec.defaultExt = "hex";
            auto path = openFileDialog(spec);
            setText(kStatus, path ? *path : "cancel");
            break;
        }
        case kSave: {
            FileDialogSpec spec;
            spec.filter = "Log (*.log)|*.log||";
            spec.defaultExt = "log";
            startWorker([this, spec] {
                auto path = saveFileDialog(spec);
                setText(kStatus, path ? "save " + *path : "save cancel");
            });
            break;
        }
        case kEndless:
            startWorker([this] {
                while (!stop_) sleepMs(100);
            });
            break;
        case kDeadlock: {
            ManualResetEvent never(false);
            startWorker([&never] {
                ManualResetEvent other(false);
                other.wait();
                never.set();
            });
            never.wait();
            break;
        }
        default:
            Dialog::onCommand(id);
        }
    }

    void onTimer(int id) override {
        ++ticks_;
        setText(kStatus, "tick " + std::to_string(ticks_) + " of timer " + std::to_string(id) +
                             " at " + std::to_string(nowMs()));
        if (ticks_ == 3) killTimer(id);
    }

    void onUserMessage(unsigned msg, uintptr_t w, intptr_t) override {
        if (msg == WM_USER + 1)
            setText(kStatus, "woke " + std::to_string(w) + " at " + std::to_string(nowMs()));
        else if (msg == WM_USER + 2)
            setText(kStatus, "steps done at " + std::to_string(nowMs()));
    }

    int onDeviceChange(unsigned event) override {
        hooks::transcript("device change " + std::to_string(event));
        return 1;
    }

    void onEditChange(int id) override {
        if (id == kEdit) ++edits_;
        if (id == kEdit && text(kEdit) == "count") setText(kStatus, "edits " + std::to_string(edits_));
    }

    void onSelChange(int id) override {
        setText(kStatus, "picked " + text(id));
    }

    void onSysCommand(int cmd) override { setText(kStatus, "system menu " + std::to_string(cmd)); }

    void onDestroy() override { stop_ = true; }

private:
    int ticks_ = 0;
    int edits_ = 0;
    std::atomic<bool> stop_{false};
};

}  // namespace

int main(int argc, char** argv) {
    return runProgram(argc, argv, {"Probe", "ui_probe"}, [] {
        // Device changes from the simulated bus, as the platform services
        // deliver them: arrival when a device came, removal when one went.
        static Probe* current = nullptr;
        static uint64_t seq = VelkSimBusSequence();
        static int attached = -1;
        auto countAttached = [] {
            VelkSimDeviceInfo info[16];
            const int n = VelkSimListDevices(info, 16);
            int a = 0;
            for (int i = 0; i < n && i < 16; ++i) a += info[i].attached;
            return a;
        };
        attached = countAttached();
        hooks::addPoller({[countAttached] {
                              const uint64_t s = VelkSimBusSequence();
                              if (s == seq || !current) return;
                              seq = s;
                              const int a = countAttached();
                              if (a > attached) current->postDeviceChange(DBT_DEVICEARRIVAL);
                              if (a < attached) current->postDeviceChange(DBT_DEVICEREMOVECOMPLETE);
                              attached = a;
                          },
                          -1, nullptr});
        Probe p;
        current = &p;
        p.runModal();
        current = nullptr;
    });
}
