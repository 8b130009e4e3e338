#include "scanner/scan_dialog.h"

#include "os/os.h"
#include "scanner/scan_engine.h"
#include "scanner/scan_log.h"
#include "scanner/velk_flash_device.h"

namespace scanner {

namespace {

// The device-interface class the scanner registers for (it does not react to
// the notifications).
const char kInterfaceClass[] = "{6D2F41A8-3B7E-4C90-9E15-2A84C3F07B6D}";

const char kEraseQuestion[] =
    "Note : You select \"Erase Blocks\" check box!\n"
    "The program will erase all physical blocks no matter good or bad blocks!\n"
    "Do you still want to continue?";

// The dialog's stop flag and progress bar as the engine sees them.
class DialogControl : public ScanControl {
public:
    DialogControl(ui::Dialog& d, std::atomic<int>& stop) : d_(d), stop_(stop) {}
    bool stopRequested() override { return stop_.load() != 0; }
    void progress(int percent) override { d_.setPos(IDC_PROGRESS, percent); }

private:
    ui::Dialog& d_;
    std::atomic<int>& stop_;
};

}  // namespace

ui::DialogTemplate scanDialogTemplate() {
    using ui::Kind;
    ui::DialogTemplate t;
    t.id = 102;
    t.caption = "Ornel";
    t.cx = 206;
    t.cy = 96;
    t.systemMenu = false;
    // In the order the scanner lists its controls, which is the order the
    // Tab key visits them: the buttons first, then the options.
    t.controls = {
        {IDC_SCAN, Kind::PushButton, "&Scan", {144, 11, 55, 14}, ui::WS_GROUP},
        {IDC_CLOSE, Kind::PushButton, "Close", {144, 33, 55, 14}, 0},
        {IDC_ERASE_ALL, Kind::AutoCheckBox, "Erase all physical blocks", {14, 20, 114, 10}, ui::WS_GROUP},
        {IDC_ERASE_GOOD, Kind::AutoCheckBox, "Erase all good blocks", {14, 35, 114, 10}, 0},
        {IDC_STATUS, Kind::Static, "Scanning Flash ....", {7, 60, 192, 9}, ui::WS_HIDDEN},
        {IDC_PROGRESS, Kind::ProgressBar, "", {7, 73, 192, 14}, 0},
        {-1, Kind::GroupBox, "Scan Option", {7, 7, 128, 46}, 0},
    };
    return t;
}

ScanDialog::ScanDialog(FlashDeviceFactory makeDevice)
    : ui::Dialog(scanDialogTemplate()), makeDevice_(std::move(makeDevice)) {
    if (!makeDevice_) makeDevice_ = [](VelkHandle h) { return std::make_unique<VelkFlashDevice>(h); };
}

ScanDialog::~ScanDialog() = default;

bool ScanDialog::onInitDialog() {
    stopFlag_ = 1;
    show(IDC_STATUS, false);

    if (!os::registerDeviceNotification(*this, kInterfaceClass)) {
        messageBox("RegisterDeviceNotification failed", "Warnning", ui::MB_OK | ui::MB_ICONSTOP);
        endDialog(0);
    }

    list_ = device::List::devices(0, 0);
    if (!list_) {
        enable(IDC_SCAN, false);
        messageBox("Device not found", "Information", ui::MB_OK | ui::MB_ICONSTOP);
        endDialog(1);
        return true;
    }
    enable(IDC_SCAN, true);
    _FlashDiskInfo* geometry = nullptr;
    VelkGetFlashInfo(list_.get(), 0, &geometry);   // asked again at every scan
    return true;
}

void ScanDialog::onCommand(int id) {
    switch (id) {
    case IDC_ERASE_ALL:
        if (checked(IDC_ERASE_ALL)) setChecked(IDC_ERASE_GOOD, 0);
        break;
    case IDC_ERASE_GOOD:
        if (checked(IDC_ERASE_GOOD)) setChecked(IDC_ERASE_ALL, 0);
        break;
    case IDC_SCAN:
        startScan();
        break;
    case IDC_CLOSE:
        if (text(IDC_CLOSE).substr(0, 9) == "Stop") {
            stopFlag_ = 1;   // the worker ends at the next block; the caption stays until then
            return;
        }
        closeWhenIdle();
        break;
    case ui::IDCANCEL:
        // Escape and the close message: a running scan is stopped and the
        // dialog closes once the worker has finished, never before.
        stopFlag_ = 1;
        closeWhenIdle();
        break;
    default:
        break;
    }
}

int ScanDialog::onDeviceChange(unsigned event) {
    if (event == ui::DBT_DEVICEREMOVECOMPLETE && !idle_.isSet() && list_ &&
        VelkOpenDevice(list_.get(), 0) == 0) {   // 0 on index 0: the device is off the bus
        removed_ = true;
        stopFlag_ = 1;   // as Stop: the worker ends at the next block
    }
    return 0;
}

void ScanDialog::closeWhenIdle() {
    idle_.wait();
    endDialog(0);
}

void ScanDialog::onDestroy() {
    idle_.wait();
    list_.reset();
}

void ScanDialog::startScan() {
    if (!list_ || !idle_.isSet()) return;
    removed_ = false;
    stopFlag_ = 0;
    setText(IDC_CLOSE, "Stop");
    enable(IDC_SCAN, false);
    idle_.reset();
    startWorker([this] { worker(); });
}

void ScanDialog::worker() {
    bool go = true;
    if (checked(IDC_ERASE_ALL))
        go = messageBox(kEraseQuestion, "Warning", ui::MB_YESNO | ui::MB_ICONEXCLAMATION) == ui::IDYES;
    if (go) runScan();

    show(IDC_STATUS, false);
    setPos(IDC_PROGRESS, 0);
    enable(IDC_SCAN, true);
    setText(IDC_CLOSE, "Close");
    stopFlag_ = 1;
    idle_.set();
}

void ScanDialog::runScan() {
    show(IDC_STATUS, true);
    setRange(IDC_PROGRESS, 0, 100);
    setPos(IDC_PROGRESS, 0);
    setText(IDC_STATUS, "Scanning Flash ....");

    ScanOptions opt;   // read once: changing the boxes now does not change this scan
    opt.eraseAll = checked(IDC_ERASE_ALL) != 0;
    opt.eraseGood = checked(IDC_ERASE_GOOD) != 0;

    std::unique_ptr<FlashDevice> dev = makeDevice_(list_.get());
    DialogControl ctl(*this, stopFlag_);
    ScanResult r = ScanEngine(*dev, ctl).run(scanLogPath(os::currentDirectory()), opt);

    switch (r.outcome) {
    case ScanOutcome::NoGeometry:
        messageBox("Device not found", "Information", ui::MB_OK | ui::MB_ICONSTOP);
        return;
    case ScanOutcome::LogCreateFailed:
        messageBox("Create log file fail!", "", ui::MB_OK);
        return;
    case ScanOutcome::DeviceRemoved:
        messageBox(kDeviceRemovedText, "Error", ui::MB_OK | ui::MB_ICONSTOP);
        break;
    case ScanOutcome::Stopped:
        if (removed_) messageBox(kDeviceRemovedText, "Error", ui::MB_OK | ui::MB_ICONSTOP);
        break;
    case ScanOutcome::Completed:
        messageBox(summaryText(r), "Scan Status", ui::MB_OK);
        break;
    }
    if (r.logWriteFailed) messageBox("Write log file fail!", "", ui::MB_OK);
}

}  // namespace scanner
