// scan_dialog.h - Ornel's one dialog: the erase options, Scan, Close/Stop,
// the status line and the progress bar. The scan runs on a worker thread.
#pragma once

#include "device/records.h"
#include "scanner/scan_engine.h"
#include "ui/dialog.h"

#include <atomic>
#include <functional>
#include <memory>

namespace scanner {

enum : int {
    IDC_ERASE_ALL = 1000,    // "Erase all physical blocks"
    IDC_ERASE_GOOD = 1001,   // "Erase all good blocks"
    IDC_STATUS = 1006,       // "Scanning Flash ...."
    IDC_PROGRESS = 1007,
    IDC_SCAN = 1008,         // "&Scan"
    IDC_CLOSE = 1010,        // "Close" while idle, "Stop" while a scan runs
};

// Shown (title "Error", stop icon) when the device left the bus during a
// scan: the scan stopped as Stop stops it, and scan.log ends with the last
// block that was really read, so the marker never retires blocks that were
// not scanned.
inline constexpr const char* kDeviceRemovedText =
    "The scan stopped because the device was removed.\nscan.log ends with the last block read.";

ui::DialogTemplate scanDialogTemplate();

// Makes the device a scan works on from the dialog's device list.
using FlashDeviceFactory = std::function<std::unique_ptr<FlashDevice>(VelkHandle)>;

class ScanDialog : public ui::Dialog {
public:
    // Without a factory the scan goes through the device library.
    explicit ScanDialog(FlashDeviceFactory makeDevice = {});
    ~ScanDialog() override;

    bool onInitDialog() override;
    void onCommand(int id) override;
    // A removal notice during a scan stops it when the scanned device is the
    // one that has gone (the notice names no device).
    int onDeviceChange(unsigned event) override;
    void onDestroy() override;

    // The dialog's device list (null when no device was found).
    VelkHandle handle() const { return list_.get(); }

private:
    void startScan();
    void closeWhenIdle();
    void worker();
    void runScan();

    FlashDeviceFactory makeDevice_;
    device::List list_;
    // 1 while idle and after a stop request, 0 while a scan may run.
    std::atomic<int> stopFlag_{1};
    // Set with the stop flag when the removal notice stopped the scan.
    std::atomic<bool> removed_{false};
    // Set while no worker runs; the dialog waits on it before it closes.
    ui::ManualResetEvent idle_{true};
};

}  // namespace scanner
