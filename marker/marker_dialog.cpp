#include "marker/marker_dialog.h"

#include "marker/log_reader.h"

#include <cstdio>

namespace marker {

ui::DialogTemplate markerDialogTemplate() {
    using ui::Kind;
    ui::DialogTemplate t;
    t.id = 102;
    t.caption = "Retirex";
    t.cx = 226;
    t.cy = 178;
    t.systemMenu = false;
    t.controls = {
        {IDC_OPEN_FILE, Kind::DefPushButton, "Open File", {160, 10, 59, 14}, ui::WS_GROUP},
        {ui::IDCANCEL, Kind::PushButton, "Close", {160, 31, 59, 14}, 0},
        {-1, Kind::GroupBox, "Block", {7, 7, 140, 42}, 0},
        {IDC_SHOW_BAD, Kind::AutoRadioButton, "Show Bad Block", {15, 19, 120, 10}, ui::WS_GROUP},
        {IDC_MARK_BAD, Kind::AutoRadioButton, "Mark Bad Block", {15, 33, 120, 10}, 0},
        {IDC_BLOCK_LIST, Kind::ListBox, "", {7, 56, 212, 115}, ui::WS_VSCROLL | ui::WS_GROUP},
    };
    return t;
}

MarkerDialog::MarkerDialog(BlockMarkerFactory makeMarker)
    : ui::Dialog(markerDialogTemplate()), makeMarker_(std::move(makeMarker)) {
    if (!makeMarker_) makeMarker_ = [](VelkHandle h) { return std::make_unique<VelkBlockMarker>(h); };
}

MarkerDialog::~MarkerDialog() = default;

bool MarkerDialog::onInitDialog() {
    list_ = device::List::phyDrives(0, 0);
    return true;
}

void MarkerDialog::onCommand(int id) {
    switch (id) {
    case IDC_OPEN_FILE:
        openFile();
        break;
    case ui::IDCANCEL:   // "Close", Escape and the close message
        list_.reset();
        endDialog(ui::IDCANCEL);
        break;
    default:
        break;
    }
}

void MarkerDialog::onDestroy() { list_.reset(); }

void MarkerDialog::openFile() {
    const bool mark = checked(IDC_MARK_BAD) != 0;
    if (!mark && !checked(IDC_SHOW_BAD)) return;
    resetContent(IDC_BLOCK_LIST);

    ui::FileDialogSpec spec;
    spec.filter = "LOG File (*.log)|*.log||";
    spec.defaultExt = "log";
    spec.hideReadOnly = true;
    std::optional<std::string> path = openFileDialog(spec);
    if (!path) return;

    // Only a regular file opens: a FIFO or a link to /dev/zero would never
    // end, a folder holds no lines. The log is read as far as it reached
    // when it was opened.
    uint64_t size = 0;
    std::FILE* f = openLogFile(*path, size);
    if (!f) {
        messageBox("Error to read log file", "Error", ui::MB_OK | ui::MB_ICONSTOP);
        return;
    }
    // No device work without a device: mark mode then lists only and says so.
    std::unique_ptr<BlockMarker> device;
    if (mark && list_) device = makeMarker_(list_.get());

    LineReader lines(f, size);
    ScanLogReader reader(lines);
    while (std::optional<BadBlock> bad = reader.next()) {
        if (device) device->markBad(bad->chip, bad->block);
        addString(IDC_BLOCK_LIST, bad->blockLine);
        if (mark) updateWindow();   // marking takes a while: each block shows as it is done
        addString(IDC_BLOCK_LIST, bad->statusLine);
        if (mark) updateWindow();
    }
    std::fclose(f);

    if (mark && !list_) messageBox(kNoDeviceText, "Information", ui::MB_OK | ui::MB_ICONSTOP);
}

}  // namespace marker
