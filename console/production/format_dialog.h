// format_dialog.h - the console's format dialog ("Format", template 131):
// every LUN of the attached device that holds a medium is formatted in turn
// through the device library's logical format, each with its progress bar,
// and then the device is told to detach and the operator asked to re-attach
// it. The job runs on a worker thread; while a LUN is formatted a second
// thread moves that LUN's bar from the progress byte the library updates.
#pragma once

#include <atomic>
#include <cstdint>

#include "console/production/templates.h"
#include "console/shell/lun_panel.h"
#include "platform/ui/dialog.h"

namespace production {

// Progress message: w = LUN (15 = the job is over), l = percent.
inline constexpr unsigned WM_FORMAT_PROGRESS = ui::WM_USER + 1;
// The job's end after a "Stop": clears the status line.
inline constexpr unsigned WM_FORMAT_CLEAR_STATUS = ui::WM_USER + 2;

class FormatDialog : public ui::Dialog {
public:
    // The progress thread's pause between two looks at the progress byte.
    static constexpr int64_t kPollMs = 5;
    // Between two attempts at closing a "Device Driver Service" window.
    static constexpr int64_t kWindowCloseMs = 500;
    // How long the job waits for the device to leave after the safe removal,
    // looking every 50 ms.
    static constexpr int64_t kSafeRemovalWaitMs = 3000;
    static constexpr int64_t kSafeRemovalPollMs = 50;

    FormatDialog();
    ~FormatDialog() override;

    bool onInitDialog() override;
    void onCommand(int id) override;
    void onTimer(int id) override;
    int onDeviceChange(unsigned event) override;
    void onUserMessage(unsigned msg, uintptr_t w, intptr_t l) override;
    void onPaint(ui::Painter& p) override;
    void onDestroy() override;

    console::LunPanel& panel() { return panel_; }

private:
    void startJob();
    void job(console::SharedList list);
    void formatLun(const console::SharedList& list, int lun);
    void followProgress(int lun, ui::ManualResetEvent& formatReturned, ui::ManualResetEvent& ended);
    void closeDriverServiceWindows();
    void stopOrExit();

    console::LunPanel panel_;
    // 1 while no job runs, and again after "Stop" during a job.
    std::atomic<int> idle_{1};
    // Set while no job runs; "Exit" and every close wait for it.
    ui::ManualResetEvent done_{true};
    std::atomic<int> currentLun_{0};
    // Handed to the device library by address: it writes the progress byte
    // and polls the abort byte during the format (accessed atomically).
    alignas(4) uint8_t progress_ = 0;
    alignas(4) uint8_t abort_ = 0;
    // The device left the bus before the job told it to: the job ends
    // without its end message.
    std::atomic<bool> interrupted_{false};
    std::atomic<bool> safeRemoving_{false};
    ui::ManualResetEvent removalSeen_{false};
    // The window is going away: the job ends after the LUN in progress.
    std::atomic<bool> closing_{false};
};

}  // namespace production
