// flash_writer_dialog.cpp - the writer's frame: start-up, the device-class
// panels, device arrival and removal, the result mark and the status line.
#include "flash_writer_dialog.h"

#include "console/shell/usb_walk.h"
#include "platform/os/os.h"

namespace writer {

namespace {

// The buttons a device removal disables; the settle timer's rebuild enables
// them again, except "Write F/W", "EEP to 93C46" and "Write EEP File && F/W",
// which need a firmware file or an EEP file chosen again.
const std::vector<int> kRemovalDisables = {
    IDC_LOAD_EEP, IDC_SAVE_EEP,     IDC_DUMP_EEPROM,      IDC_WRITE_EEPROM, IDC_DUMP_EEP_DATA, IDC_ERASE_EEPROM,
    IDC_WRITE_EEP_AND_FW, IDC_WRITE_FW, IDC_LOAD_FW, IDC_FW_INFO, IDC_ERASE_FLASH, IDC_EEP_TO_93C46,
};
const std::vector<int> kRebuildEnables = {
    IDC_LOAD_EEP, IDC_DUMP_EEPROM, IDC_ERASE_EEPROM, IDC_LOAD_FW, IDC_FW_INFO, IDC_DUMP_EEP_DATA, IDC_ERASE_FLASH,
};

std::vector<int> idePanel() {
    return {IDC_GRP_IDE,          IDC_INITIAL_DELAY_LABEL, IDC_INITIAL_DELAY,       IDC_PID_HIGH_LABEL,
            IDC_PID_HIGH,         IDC_PID_LOW_ATA_LABEL,   IDC_PID_LOW_ATA,         IDC_PID_LOW_ATAPI_LABEL,
            IDC_PID_LOW_ATAPI};
}

std::vector<int> readerPanel() {
    std::vector<int> ids = {IDC_GRP_READER,      IDC_CARD_STR_LABEL,    IDC_CARD_TYPE_LABEL, IDC_CARD_TYPE,
                            IDC_ICON_NUMBER_LABEL, IDC_ICON_NUMBER,     IDC_ICON_RESET};
    for (int k = 0; k < 5; ++k) ids.push_back(cardStrEdit(k));
    for (int icon = 0; icon < eep::kIcons; ++icon) {
        ids.push_back(IDC_ICON_ROW_LABEL0 + icon);
        for (int type = 0; type < eep::kCardRows; ++type) ids.push_back(iconBox(icon, type));
    }
    return ids;
}

std::vector<int> ufdPanel() {
    return {IDC_GRP_UFD, IDC_INQ_VENDOR_LABEL, IDC_INQ_VENDOR, IDC_INQ_PRODUCT_LABEL, IDC_INQ_PRODUCT};
}

// The edits of the dialog, emptied at start-up, and their limits.
struct EditLimit { int id; int limit; };
const EditLimit kEditLimits[] = {
    {IDC_VID, 4},           {IDC_PID, 4},           {IDC_VENDOR_STR, 8},    {IDC_PRODUCT_STR, 12},
    {IDC_CONFIG1, 0},       {IDC_CONFIG2, 0},       {IDC_SN_START, 0},      {IDC_SN_END, 0},
    {IDC_CARD_STR1, 4},     {IDC_CARD_STR1 + 1, 4}, {IDC_CARD_STR1 + 2, 4}, {IDC_CARD_STR1 + 3, 4},
    {IDC_CARD_STR1 + 4, 4}, {IDC_CARD_TYPE, 0},     {IDC_ICON_NUMBER, 0},   {IDC_INITIAL_DELAY, 0},
    {IDC_PID_HIGH, 2},      {IDC_PID_LOW_ATA, 2},   {IDC_PID_LOW_ATAPI, 2}, {IDC_INQ_PRODUCT, 16},
    {IDC_INQ_VENDOR, 8},    {IDC_EEP_FILE_TITLE, 0}, {IDC_FW_FILE_TITLE, 0}, {IDC_FW_VERSION, 0},
};

// The result mark: " OK" in green or "FAIL" in red, "Arial Black" 55.
const ui::Font kResultFont{"Arial Black", 55, 0, 400};
constexpr ui::Color kPassColor{0, 150, 40};
constexpr ui::Color kFailColor{255, 0, 0};

}  // namespace

FlashWriterDialog::FlashWriterDialog(eep::SessionOptions options)
    : ui::Dialog(flashWriterTemplate()), session_(std::move(options)) {}

FlashWriterDialog::~FlashWriterDialog() = default;

// ---- start-up --------------------------------------------------------------------

bool FlashWriterDialog::onInitDialog() {
    // 1. Fresh EEP and serial state (the session starts empty, its image all
    //    FFFFh), "S/N Auto increment", the edit limits, empty edits.
    setChecked(IDC_SN_AUTO, 1);
    setChecked(IDC_SN_RANDOM, 0);
    setChecked(IDC_SN_BOUNDARY, 0);
    for (const EditLimit& e : kEditLimits) {
        setTextLimit(e.id, e.limit);
        setText(e.id, "");
    }
    openTitle_ = title();
    registerForDeviceChanges();

    // 2. Nothing to write before a file is loaded.
    for (int id : {IDC_WRITE_EEPROM, IDC_SAVE_EEP, IDC_WRITE_FW, IDC_EEP_TO_93C46, IDC_WRITE_EEP_AND_FW})
        enable(id, false);

    // 3. The device.
    list_ = device::List::devices(0, 0, 1);
    if (!list_) {
        for (int id : {IDC_LOAD_EEP, IDC_DUMP_EEPROM, IDC_ERASE_EEPROM, IDC_ERASE_FLASH, IDC_LOAD_FW, IDC_FW_INFO})
            enable(id, false);
        return true;
    }

    // 4. The panel of its class.
    devicePresent_ = true;
    const device::DriveInfo info = device::DriveInfo::query(list_.get());
    deviceClass_ = info.valid() ? info.deviceClass() : kNoDeviceClass;
    applyClassPanels();
    return true;
}

void FlashWriterDialog::registerForDeviceChanges() {
    // Arrivals and removals of the USB setup classes, as the console
    // registers for them. Without the registration the dialog still works on
    // the device it found; it only does not follow replugging.
    for (const os::Guid& guid : os::classGuidsFromName("USB", 8))
        if (!os::registerDeviceNotification(*this, guid)) return;
}

void FlashWriterDialog::enablePanel(const std::vector<int>& ids, bool on) {
    for (int id : ids) enable(id, on);
}

// IDE bridges 00h-0Fh: the "IDE Parameter" panel, "PID(4)" disabled; card
// readers 10h-1Fh: "PID(4)" and the "Card Reader Parameter" panel; flash
// disks 20h-2Fh: "PID(4)" and the "UFD Parameter" panel. The other panels
// are disabled.
void FlashWriterDialog::applyClassPanels() {
    const uint8_t c = deviceClass_;
    const bool known = c != kNoDeviceClass;
    const bool ide = known && eep::isIdeBridge(c);
    enablePanel(idePanel(), ide);
    enablePanel(readerPanel(), known && eep::isCardReader(c));
    enablePanel(ufdPanel(), known && eep::isFlashDisk(c));
    if (known && (ide || eep::isCardReader(c) || eep::isFlashDisk(c))) enable(IDC_PID, !ide);
    enableConfig2();
}

// "Config2 byte setting(1 byte)" belongs to the IDE bridges of classes 1 to 3.
void FlashWriterDialog::enableConfig2() {
    const bool on = deviceClass_ >= 1 && deviceClass_ <= 3;
    enable(IDC_CONFIG2_LABEL, on);
    enable(IDC_CONFIG2, on);
}

// ---- commands ----------------------------------------------------------------------

void FlashWriterDialog::onCommand(int id) {
    if (id >= iconBox(0, 0) && id <= iconBox(eep::kIcons - 1, eep::kCardRows - 1)) {
        iconBoxClicked(id);
        return;
    }
    switch (id) {
    // EEPROM side
    case IDC_LOAD_EEP: loadEepFile(); break;
    case IDC_SAVE_EEP: saveEepFile(); break;
    case IDC_WRITE_EEPROM: writeToEeprom(); break;
    case IDC_ERASE_EEPROM: eraseEepromCommand(); break;
    case IDC_READ_EEP: readEep(); break;
    case IDC_DUMP_EEPROM: dumpEeprom(); break;
    case IDC_SAVE_HEX: saveToHex(); break;
    case IDC_ICON_RESET: resetIcons(); break;
    // firmware and ROM side
    case IDC_LOAD_FW: loadFirmwareFile(); break;
    case IDC_WRITE_FW: writeFirmware(false); break;
    case IDC_EEP_TO_93C46: writeFirmware(true); break;
    case IDC_FW_INFO: firmwareInfo(); break;
    case IDC_DUMP_EEP_DATA: dumpEepData(); break;
    case IDC_ERASE_FLASH: eraseFlash(); break;
    case IDC_WRITE_ROM: writeRomFile(); break;
    case IDC_READ_ROM: readRomFile(); break;
    // frame
    case IDC_EXIT: closeWhenIdle(ui::IDOK); break;
    case ui::IDCANCEL: closeWhenIdle(ui::IDCANCEL); break;  // close box, Escape
    case ui::IDOK: break;  // Enter in an edit does not end the dialog
    default: break;
    }
}

void FlashWriterDialog::closeWhenIdle(int result) {
    idle_.wait();
    endDialog(result);
}

void FlashWriterDialog::onDestroy() {
    idle_.wait();
    dropDeviceList();
}

// ---- device arrival and removal ---------------------------------------------------------

int FlashWriterDialog::onDeviceChange(unsigned event) {
    if (event != ui::DBT_DEVICEARRIVAL && event != ui::DBT_DEVICEREMOVECOMPLETE) return 0;
    if (event == ui::DBT_DEVICEARRIVAL) {
        if (console::UsbChildWalk()) {
            killTimer(kRebuildTimer);
            setTimer(kRebuildTimer, kRebuildMs);
            setPos(IDC_PROGRESS, 0);
            clearResult();
            const int s = sequenceState_.load();
            if (s != kSequenceProgram && s != kSequenceProgramThenEeprom) setStatus("");
        }
    } else {
        killTimer(kEraseFallbackTimer);
        killTimer(kRebuildTimer);
        if (devicePresent_) dropDeviceList();
        for (int id : kRemovalDisables) enable(id, false);
    }
    enableConfig2();
    return 1;
}

void FlashWriterDialog::dropDeviceList() {
    list_.reset();
    devicePresent_ = false;
}

void FlashWriterDialog::onTimer(int id) {
    if (id == kRebuildTimer)
        onRebuildTimer();
    else if (id == kEraseFallbackTimer)
        onEraseFallbackTimer();
}

// Timer 1: the device list again, and the next step of a firmware sequence.
void FlashWriterDialog::onRebuildTimer() {
    killTimer(kRebuildTimer);
    if (!list_) list_ = device::List::devices(0, 0, 1);
    if (!list_) return;
    const device::DriveInfo info = device::DriveInfo::query(list_.get());
    if (info.valid()) deviceClass_ = info.deviceClass();
    devicePresent_ = true;
    applyClassPanels();
    switch (sequenceState_.load()) {
    case kSequenceProgramThenEeprom:
        sequenceState_ = kSequenceEepromAfterArrival;
        startProgrammingWorker();
        break;
    case kSequenceProgram:
        startProgrammingWorker();
        break;
    case kSequenceEepromAfterArrival:
        sequenceState_ = kSequenceProgram;
        writeToEeprom();
        break;
    default:
        break;
    }
    for (int b : kRebuildEnables) enable(b, true);
    if (session_.loaded()) {
        enable(IDC_WRITE_EEPROM, true);
        enable(IDC_SAVE_EEP, true);
    }
    int expected = kSequenceProgram;
    sequenceState_.compare_exchange_strong(expected, kSequenceIdle);
}

// Timer 3: the erase caused no re-enumeration; programming starts anyway.
void FlashWriterDialog::onEraseFallbackTimer() {
    killTimer(kEraseFallbackTimer);
    const int s = sequenceState_.load();
    if (s == kSequenceProgram || s == kSequenceProgramThenEeprom) {
        if (s == kSequenceProgramThenEeprom) sequenceState_ = kSequenceEepromAfterArrival;
        startProgrammingWorker();
    }
    int expected = kSequenceProgram;
    sequenceState_.compare_exchange_strong(expected, kSequenceIdle);
}

// ---- status line and result mark ------------------------------------------------------------

void FlashWriterDialog::setStatus(const std::string& text) { setText(IDC_STATUS, text); }

ui::Rect FlashWriterDialog::resultRect() const {
    const ui::Rect c = clientRect();
    return {c.right - 260, c.bottom - 55, c.right - 105, c.bottom};
}

// The platform's clear rectangle (250 to 95 pixels from the right, the lowest
// 45) joined with the mark's own, so that no part of an earlier mark stays.
ui::Rect FlashWriterDialog::resultClearRect() const {
    const ui::Rect c = clientRect();
    return {c.right - 260, c.bottom - 55, c.right - 95, c.bottom};
}

void FlashWriterDialog::paintResult(bool ok) {
    ui::Painter p(*this);
    p.drawText(resultRect(), ok ? " OK" : "FAIL", kResultFont, ok ? kPassColor : kFailColor, std::nullopt,
               ui::DT_CENTER | ui::DT_VCENTER | ui::DT_SINGLELINE);
}

void FlashWriterDialog::clearResult() {
    ui::Painter p(*this);
    p.fillRect(resultClearRect(), ui::kButtonFace);
}

}  // namespace writer
