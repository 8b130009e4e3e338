#include "imager/imbra_dialog.h"

#include "imager/velk_sector_device.h"
#include "os/os.h"

#include <algorithm>
#include <climits>
#include <filesystem>

#ifndef TAVRIN_VERSION
#define TAVRIN_VERSION "0.0.0.0"
#endif

namespace imager {

namespace {

// The device-interface class the dialog registers for.
const char kInterfaceClass[] = "{6D2F41A8-3B7E-4C90-9E15-2A84C3F07B6D}";

const char kFilter[] = "Nrg File(*.Nrg)|*.nrg|Any Type(*.*)|*.*||";

// The progress bar as the transfers see it: range 0 to n, one step per
// sector, each step shown at once.
class BarProgress : public TransferProgress {
public:
    explicit BarProgress(ui::Dialog& d) : d_(d) {}
    void begin(uint32_t sectors) override {
        d_.setRange(IDC_PROGRESS, 0, int(std::min<uint32_t>(sectors, INT_MAX)));
        d_.setStep(IDC_PROGRESS, 1);
        d_.setPos(IDC_PROGRESS, 0);
        d_.updateWindow();
    }
    void step() override {
        d_.stepIt(IDC_PROGRESS);
        d_.updateWindow();
    }

private:
    ui::Dialog& d_;
};

}  // namespace

ui::DialogTemplate imbraDialogTemplate() {
    using ui::Kind;
    ui::DialogTemplate t;
    t.id = IDD_IMBRA;
    t.caption = "Imbra";
    t.cx = 217;
    t.cy = 151;
    t.systemMenu = true;
    t.controls = {
        {IDC_LOG, Kind::ListBox, "", {7, 7, 150, 118}, ui::WS_VSCROLL | ui::WS_GROUP},
        {-1, Kind::Bitmap, std::to_string(IDB_PICTURE), {164, 7, 46, 36}, 0},
        {IDC_LOAD, Kind::PushButton, "&Load", {164, 47, 46, 14}, ui::WS_GROUP},
        {IDC_AUTO, Kind::PushButton, "&Auto", {164, 64, 46, 14}, 0},
        {IDC_PROGRAM, Kind::PushButton, "&Program", {164, 81, 46, 14}, 0},
        {IDC_VERIFY, Kind::PushButton, "&Verify", {164, 98, 46, 14}, 0},
        {IDC_EXIT, Kind::PushButton, "E&xit", {164, 115, 46, 14}, 0},
        {IDC_PROGRESS, Kind::ProgressBar, "", {7, 131, 203, 13}, 0},
    };
    return t;
}

ui::DialogTemplate aboutDialogTemplate() {
    using ui::Kind;
    ui::DialogTemplate t;
    t.id = IDD_ABOUTBOX;
    t.caption = "About Imbra";
    t.cx = 235;
    t.cy = 55;
    t.systemMenu = true;
    t.controls = {
        {-1, Kind::Bitmap, std::to_string(IDR_MAINFRAME), {11, 17, 20, 20}, 0},
        {-1, Kind::Static, "Imbra Version " TAVRIN_VERSION, {40, 10, 119, 8}, 0},
        {-1, Kind::Static, "Auto-Run Image file dump utility", {40, 25, 130, 8}, 0},
        {ui::IDOK, Kind::DefPushButton, "OK", {178, 7, 50, 14}, ui::WS_GROUP},
    };
    return t;
}

ImbraDialog::ImbraDialog(SectorDeviceFactory makeDevice)
    : ui::Dialog(imbraDialogTemplate()), makeDevice_(std::move(makeDevice)) {
    if (!makeDevice_) makeDevice_ = [](VelkHandle h) { return std::make_unique<VelkSectorDevice>(h); };
}

ImbraDialog::~ImbraDialog() = default;

bool ImbraDialog::onInitDialog() {
    appendSystemMenu(IDM_ABOUTBOX, "&About Imbra...");
    for (int id : {IDC_LOAD, IDC_AUTO, IDC_PROGRAM, IDC_VERIFY}) enable(id, false);

    list_ = device::List::devices(kVendorId, kProductId);
    // Registered with or without a device: a device that arrives later is
    // taken, one that leaves disables the device buttons.
    const bool registered = os::registerDeviceNotification(*this, kInterfaceClass);
    if (list_) {
        deviceFound();
        return true;
    }
    if (!registered) {
        messageBox("RegisterDeviceNotification failed", "Warnning", ui::MB_OK | ui::MB_ICONERROR);
        endDialog(ui::IDCANCEL);
    }
    return true;
}

void ImbraDialog::deviceFound() {
    drive_ = device::DriveInfo::query(list_.get());
    drive_.walkToEndMarker();   // the drive information is not used further
    enable(IDC_LOAD, true);
    enableImageButtons(image_.isOpen());
    setTimer(kPollTimer, kPollMs);
    polling_ = true;
}

void ImbraDialog::deviceGone() {
    if (polling_) killTimer(kPollTimer);
    polling_ = false;
    drive_ = {};
    list_.reset();
    enable(IDC_LOAD, false);
    enableImageButtons(false);
}

void ImbraDialog::enableImageButtons(bool on) {
    for (int id : {IDC_AUTO, IDC_PROGRAM, IDC_VERIFY}) enable(id, on);
}

int ImbraDialog::onDeviceChange(unsigned event) {
    if (event == ui::DBT_DEVICEARRIVAL && !list_) {
        list_ = device::List::devices(kVendorId, kProductId);
        if (list_) deviceFound();
    } else if (event == ui::DBT_DEVICEREMOVECOMPLETE && list_) {
        // Every removal on the bus comes here: only the loss of this
        // dialog's own device counts.
        const bool present = VelkOpenDevice(list_.get(), 0) != 0;
        VelkCloseDevice(list_.get(), 0);
        if (!present) deviceGone();
    }
    return 1;
}

void ImbraDialog::onTimer(int id) {
    if (id != kPollTimer || !list_) return;
    // The state of the device's button is asked for and not used.
    uint8_t state = 0;
    VelkOpenDevice(list_.get(), 0);
    VelkQueryButtonState(list_.get(), 0, &state);
    VelkCloseDevice(list_.get(), 0);
}

void ImbraDialog::onCommand(int id) {
    switch (id) {
    case IDC_LOAD:
        load();
        break;
    case IDC_AUTO:
        if (program()) verify();
        break;
    case IDC_PROGRAM:
        program();
        break;
    case IDC_VERIFY:
        verify();
        break;
    case IDC_EXIT:
        exit(ui::IDOK);
        break;
    case ui::IDOK:       // Enter
    case ui::IDCANCEL:   // Escape and the close box
        exit(id);
        break;
    default:
        break;
    }
}

void ImbraDialog::onSysCommand(int cmd) {
    if (cmd != IDM_ABOUTBOX) return;
    ui::Dialog about(aboutDialogTemplate());
    about.runModal();
}

void ImbraDialog::exit(int result) {
    if (polling_) killTimer(kPollTimer);
    polling_ = false;
    endDialog(result);
}

void ImbraDialog::onDestroy() {
    list_.reset();
    image_.close();
}

void ImbraDialog::log(const std::string& line) {
    addString(IDC_LOG, line);
    updateWindow();
}

void ImbraDialog::load() {
    resetContent(IDC_LOG);
    ui::FileDialogSpec spec;
    spec.filter = kFilter;
    spec.hideReadOnly = true;
    const std::optional<std::string> path = openFileDialog(spec);
    if (!path) return;
    loadImage(*path);
}

void ImbraDialog::loadImage(const std::string& chosen) {
    std::error_code ec;
    std::filesystem::path full = std::filesystem::absolute(chosen, ec);
    if (ec) full = chosen;
    if (!image_.open(full.string())) {
        // The image loaded before is closed: nothing is loaded now.
        log("The file was not opened\r\n");
        enableImageButtons(false);
        setTitle(tmpl().caption);
        return;
    }
    setTitle(full.string());
    log("Open File \"" + full.filename().string() + "\" OK!");
    enableImageButtons(bool(list_));
    if (image_.findStart() != SearchResult::Found) log(searchFailure());
}

std::string ImbraDialog::searchFailure() const {
    return image_.lastSearch() == SearchResult::SeekFailed ? "Invalid Image File!!" : "Read Volume Descriptor Error!!";
}

TransferResult ImbraDialog::transfer(bool write) {
    std::unique_ptr<SectorDevice> dev = makeDevice_(list_.get());
    BarProgress bar(*this);
    return write ? programImage(image_, *dev, bar) : verifyImage(image_, *dev, bar);
}

bool ImbraDialog::program() {
    resetContent(IDC_LOG);
    log("Program..........\r\n");
    // Without an image start found by Load nothing is written: the search's
    // message again, then the failure.
    if (!image_.start()) {
        log(searchFailure());
        log("Program Fail!\r\n");
        return false;
    }
    const TransferResult r = transfer(true);
    log(r.ok() ? "Program OK.\r\n" : "Program Fail!\r\n");
    return r.ok();
}

bool ImbraDialog::verify() {
    log("Verify..........\r\n");
    if (!image_.start()) {
        log(searchFailure());
        log("Verify Fail!\r\n");
        return false;
    }
    const TransferResult r = transfer(false);
    if (r.outcome != TransferOutcome::NoVolume && r.sectors == 0) log("Verify OK.");
    log(r.ok() ? "Verify OK." : "Verify Fail!\r\n");
    return r.ok();
}

}  // namespace imager
