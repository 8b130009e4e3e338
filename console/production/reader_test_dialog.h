// reader_test_dialog.h - the console's read/write test dialog ("ReaderTest",
// template 130): every LUN that holds a medium is tested on random sectors
// (save, pattern write, read-back compare, write-back), a set number of
// cycles per LUN, LUN after LUN, once or in repeated passes until stopped.
// The test runs on a worker thread; the rows, labels, marks and the re-probe
// after an arrival come from the dialog's LUN panel.
#pragma once

#include <atomic>
#include <cstdint>

#include "console/production/restore_journal.h"
#include "console/production/templates.h"
#include "console/shell/lun_panel.h"
#include "platform/ui/dialog.h"

namespace production {

// The worker's progress message: w = LUN (15 = the pass is over), l = value.
inline constexpr unsigned WM_TEST_PROGRESS = ui::WM_USER + 1;
inline constexpr int kAllLuns = 15;

class ReaderTestDialog : public ui::Dialog {
public:
    ReaderTestDialog();
    ~ReaderTestDialog() override;

    bool onInitDialog() override;
    void onCommand(int id) override;
    void onSelChange(int id) override;
    void onTimer(int id) override;
    int onDeviceChange(unsigned event) override;
    void onUserMessage(unsigned msg, uintptr_t w, intptr_t l) override;
    void onPaint(ui::Painter& p) override;
    void onDestroy() override;

    // Cycles per LUN of the current (or last) start.
    uint32_t testTimes() const { return testTimes_.load(); }
    console::LunPanel& panel() { return panel_; }

private:
    void startTest();
    void worker(console::SharedList list, DeviceIdentity id);
    void decideOnRepeating();
    void progress(const console::SharedList& list, int lun, uint32_t value);
    // Writes back what interrupted tests left on the device (dialog thread);
    // says so in the status line.
    void restoreInterrupted();
    // Every way of closing: the stop request, then the wait for the worker.
    void closeAfterWorker(int result, int64_t graceMs);

    console::LunPanel panel_;
    std::atomic<uint32_t> testTimes_{100};
    std::atomic<int> repeat_{0};
    // Signalled by "Stop", "Exit", every close and a device removal.
    ui::ManualResetEvent stop_{false};
    // Set while no worker runs.
    ui::ManualResetEvent idle_{true};
};

}  // namespace production
