// marker_dialog.h - Retirex's one dialog: pick a scan log, list its bad
// blocks and, in mark mode, erase and retire each of them on the device.
// Everything runs on the dialog thread.
#pragma once

#include "device/records.h"
#include "marker/block_marker.h"
#include "ui/dialog.h"

#include <functional>
#include <memory>

namespace marker {

enum : int {
    IDC_BLOCK_LIST = 1001,
    IDC_SHOW_BAD = 1002,    // "Show Bad Block": list only
    IDC_MARK_BAD = 1003,    // "Mark Bad Block": list, erase and retire
    IDC_OPEN_FILE = 57601,  // "Open File"
};

// Shown after a file was read in mark mode when no device was found at
// start-up: the blocks were listed, nothing was done on a device.
inline constexpr const char* kNoDeviceText = "Device not found\nThe bad blocks are listed but not marked.";

ui::DialogTemplate markerDialogTemplate();

// Makes what retires blocks from the dialog's (non-null) device list.
using BlockMarkerFactory = std::function<std::unique_ptr<BlockMarker>(VelkHandle)>;

class MarkerDialog : public ui::Dialog {
public:
    // Without a factory blocks are retired through the device library.
    explicit MarkerDialog(BlockMarkerFactory makeMarker = {});
    ~MarkerDialog() override;

    bool onInitDialog() override;
    void onCommand(int id) override;
    void onDestroy() override;

    VelkHandle handle() const { return list_.get(); }

private:
    void openFile();

    BlockMarkerFactory makeMarker_;
    device::List list_;
};

}  // namespace marker
