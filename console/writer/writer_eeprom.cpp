// writer_eeprom.cpp - the writer's EEPROM side: the EEP file, programming
// the 93C46 with read-back check and serial numbers, erasing, reading the
// settings back, the dump and the raw save, the icon check boxes.
#include <cstdio>
#include <optional>

#include "dump_dialog.h"
#include "eep_record.h"
#include "eeprom_dump.h"
#include "flash_writer_dialog.h"
#include "platform/os/os.h"

namespace writer {

namespace {

const ui::FileDialogSpec kEepFiles{"Setup File (*.eep)|*.eep||", "eep", "", true};
const ui::FileDialogSpec kHexFiles{"HEX File (*.hex)|*.hex||", "hex", "", true};

constexpr int kWriteAttempts = 5;
constexpr int kEraseAttempts = 5;

void errorBox(ui::Dialog& d, const std::string& text) { d.messageBox(text, "Error", ui::MB_OK | ui::MB_ICONERROR); }

// One EEPROM word read with the device opened and closed around it.
std::optional<uint16_t> readWord(VelkHandle h, unsigned index) {
    if (index >= eep::kEepromWords) return std::nullopt;
    device::OpenScope open(h, 0);
    uint16_t w = 0;
    if (!VelkReadEEPROM(h, 0, static_cast<uint16_t>(index), 1, &w)) return std::nullopt;
    return w;
}

}  // namespace

// ---- the dialog's fields ---------------------------------------------------------------

eep::SerialSettings FlashWriterDialog::serialSettings() const {
    eep::SerialSettings s;
    if (checked(IDC_SN_RANDOM))
        s.mode = eep::SerialMode::Random;
    else if (checked(IDC_SN_BOUNDARY))
        s.mode = eep::SerialMode::Boundary;
    s.start = text(IDC_SN_START);
    s.end = text(IDC_SN_END);
    return s;
}

eep::FieldTexts FlashWriterDialog::fieldTexts() const {
    eep::FieldTexts f;
    f.vid = text(IDC_VID);
    f.pid = text(IDC_PID);
    f.pidHighByte = text(IDC_PID_HIGH);
    f.pidLowByteAta = text(IDC_PID_LOW_ATA);
    f.pidLowByteAtapi = text(IDC_PID_LOW_ATAPI);
    f.initialDelay = text(IDC_INITIAL_DELAY);
    f.cardType = text(IDC_CARD_TYPE);
    f.iconNumber = text(IDC_ICON_NUMBER);
    f.config1 = text(IDC_CONFIG1);
    f.config2 = text(IDC_CONFIG2);
    f.vendorStr = text(IDC_VENDOR_STR);
    f.productStr = text(IDC_PRODUCT_STR);
    f.inquiryVendor = text(IDC_INQ_VENDOR);
    f.inquiryProduct = text(IDC_INQ_PRODUCT);
    for (int k = 0; k < 5; ++k) f.cardNames[static_cast<size_t>(k)] = text(cardStrEdit(k));
    for (int type = 0; type < eep::kCardRows; ++type)
        for (int icon = 0; icon < eep::kIcons; ++icon)
            f.icons[static_cast<size_t>(type)][static_cast<size_t>(icon)] = checked(iconBox(icon, type)) != 0;
    f.pidEnabled = isEnabled(IDC_PID);
    return f;
}

// Fields with a value are set; the icon boxes and the card-name edits are
// always replaced.
void FlashWriterDialog::applyFields(const eep::FieldUpdate& u) {
    auto set = [this](int id, const std::optional<std::string>& v) {
        if (v) setText(id, *v);
    };
    set(IDC_VID, u.vid);
    set(IDC_PID, u.pid);
    set(IDC_PID_HIGH, u.pidHighByte);
    set(IDC_PID_LOW_ATA, u.pidLowByteAta);
    set(IDC_PID_LOW_ATAPI, u.pidLowByteAtapi);
    set(IDC_INITIAL_DELAY, u.initialDelay);
    set(IDC_CARD_TYPE, u.cardType);
    set(IDC_ICON_NUMBER, u.iconNumber);
    set(IDC_CONFIG1, u.config1);
    set(IDC_CONFIG2, u.config2);
    set(IDC_VENDOR_STR, u.vendorStr);
    set(IDC_PRODUCT_STR, u.productStr);
    set(IDC_INQ_VENDOR, u.inquiryVendor);
    set(IDC_INQ_PRODUCT, u.inquiryProduct);
    for (int k = 0; k < 5; ++k) setText(cardStrEdit(k), u.cardNames[static_cast<size_t>(k)]);
    for (int type = 0; type < eep::kCardRows; ++type)
        for (int icon = 0; icon < eep::kIcons; ++icon)
            setChecked(iconBox(icon, type), u.icons[static_cast<size_t>(type)][static_cast<size_t>(icon)] ? 1 : 0);
    if (u.disablePid) enable(IDC_PID, false);
}

void FlashWriterDialog::showMessages(const std::vector<eep::Message>& messages) {
    for (const eep::Message& m : messages) messageBox(m.text, m.title, ui::MB_OK | static_cast<unsigned>(m.icon));
}

// After a load: with a device, "&Write to EEPROM", "Save to eep file" and
// "Write EEP File && F/W" (and "EEP to 93C46" when a firmware file is
// loaded). Without a loaded file none of them: there is nothing to write.
void FlashWriterDialog::enableEepButtons(bool loaded) {
    const bool on = loaded && devicePresent_;
    enable(IDC_WRITE_EEPROM, on);
    enable(IDC_SAVE_EEP, on);
    enable(IDC_WRITE_EEP_AND_FW, on);
    enable(IDC_EEP_TO_93C46, on && firmwareLoaded_);
}

// ---- "&Load eep file" and "Save to eep file" -----------------------------------------------

void FlashWriterDialog::loadEepFile() {
    const std::optional<std::string> path = openFileDialog(kEepFiles);
    const eep::LoadResult r = session_.load(path.value_or(std::string()), deviceClass_, serialSettings());
    if (r.fields) applyFields(*r.fields);
    showMessages(r.messages);
    if (r.loaded) {
        setTitle(openTitle_ + " --> " + r.fullPath);
        setText(IDC_EEP_FILE_TITLE, r.fileTitle);
    }
    enableEepButtons(r.loaded);
}

void FlashWriterDialog::saveEepFile() {
    const std::optional<std::string> path = saveFileDialog(kEepFiles);
    if (!path || path->empty()) return;
    const eep::SaveResult r = session_.saveAs(*path, deviceClass_, fieldTexts());
    showMessages(r.messages);
    if (r.saved) setText(IDC_EEP_FILE_TITLE, r.fileTitle);
}

// ---- "&Write to EEPROM" ---------------------------------------------------------------------

// The settings record of the device, filled from the loaded file's settings
// and strings for the device's class.
bool FlashWriterDialog::fillRecord() {
    const device::DriveInfo info = device::DriveInfo::query(list_.get());
    uint8_t* record = info.eepRecord();
    if (!record) return false;
    deviceClass_ = info.deviceClass();
    writer::fillEepRecord(deviceClass_, session_.fields(), session_.strings(), record);
    return true;
}

void FlashWriterDialog::writeToEeprom() {
    // 1. The end of a ROM-file run: nothing is written.
    if (!isEnabled(IDC_WRITE_ROM)) {
        enable(IDC_WRITE_ROM, true);
        return;
    }

    // 2. Random and boundary modes, and auto increment after a save, reload
    //    the file (the boundary mode checks Start and End first).
    const eep::SerialSettings serial = serialSettings();
    if (session_.reloadBeforeRun(serial.mode)) {
        const eep::ReloadResult r = session_.reload(deviceClass_, serial);
        if (r.fields) applyFields(*r.fields);
        showMessages(r.messages);
        if (!r.runMayStart) {
            // A failed Start/End check leaves the file loaded; a file that
            // could not be loaded again leaves nothing to write.
            if (!session_.loaded()) enableEepButtons(false);
            return;
        }
    }
    if (!session_.loaded()) return;

    // 3. Readers and bridges are erased first.
    setRange(IDC_PROGRESS, 0, session_.wordCount());
    clearResult();
    if (!eep::isFlashDisk(deviceClass_)) eraseEeprom();

    // A run that fails gives its serial to the next run: the serial state
    // goes back to what it was before the next serial was computed.
    const eep::EepSession beforeRun = session_;
    if (const char* failure = programAndVerify(serial)) {
        errorBox(*this, failure);
        session_ = beforeRun;
        paintResult(false);
        return;
    }

    // 6. Pass: the next serial goes to the "Start" edit or into the file.
    setPos(IDC_PROGRESS, 90);
    const eep::HandOffResult handOff = session_.handOff(serial);
    if (handOff.startText) setText(IDC_SN_START, *handOff.startText);
    if (serial.mode == eep::SerialMode::AutoIncrement && session_.next().computed && !handOff.fileRewritten)
        errorBox(*this, "Error to write the next serial number into the eep file");
    setPos(IDC_PROGRESS, 100);
    setStatus("Programming and Verify EEPROM OK.........");
    messageBox("You must reboot PC or replug-in device", "", ui::MB_OK);
    paintResult(true);
}

// Steps 4 and 5 of "&Write to EEPROM": the next serial, the record, the
// write (5 attempts), the read-back and its check. The device is open only
// in here and closed before any message comes up: a device unplugged while
// a box is up takes the device list with it. Returns the failure message,
// or nothing when the check passed.
const char* FlashWriterDialog::programAndVerify(const eep::SerialSettings& serial) {
    setStatus("Programming EEPROM.........");
    setPos(IDC_PROGRESS, 0);
    session_.nextSerial(serial);
    setPos(IDC_PROGRESS, 10);
    if (!fillRecord()) return "Fail to Fill the EEP content";
    setPos(IDC_PROGRESS, 30);
    device::OpenScope open(list_.get(), 0);
    const uint8_t mode = eep::isFlashDisk(deviceClass_) ? 3 : 1;
    bool written = false;
    for (int attempt = 0; attempt < kWriteAttempts && !written; ++attempt)
        written = VelkWriteEepData(list_.get(), 0, mode) != 0;
    if (!written) return "Error while writing the EEP Data";
    setPos(IDC_PROGRESS, 50);
    if (!VelkReadEepData(list_.get(), 0)) return "Read back EEP Fail";
    setPos(IDC_PROGRESS, 70);
    setStatus("Verify EEPROM.........");
    if (!device::DriveInfo::query(list_.get()).eepValid()) return "Verify the EEP Data Fail";
    return nullptr;
}

// ---- "Erase" ---------------------------------------------------------------------------------

// Writes 0000h into each word, up to 5 attempts a word; a word that fails
// five times ends the erase.
bool FlashWriterDialog::eraseEeprom() {
    setPos(IDC_PROGRESS, 0);
    clearResult();
    setStatus("Erasing EEPROM..........");
    for (unsigned index = 0; index < eep::kEepromWords; ++index) {
        bool done = false;
        for (int attempt = 0; attempt < kEraseAttempts && !done; ++attempt) {
            device::OpenScope open(list_.get(), 0);
            const uint16_t zero = 0;
            done = VelkWriteEEPROM(list_.get(), 0, static_cast<uint16_t>(index), 1, &zero) != 0;
        }
        if (!done) {
            char text[40];
            std::snprintf(text, sizeof text, "Erasing Index %X FAIL!", index);
            setStatus(text);
            updateWindow();
            setStatus("Erasing EEPROM not finish.");
            return false;
        }
    }
    setStatus("Erasing EEPROM finish.");
    setPos(IDC_PROGRESS, 100);
    return true;
}

void FlashWriterDialog::eraseEepromCommand() {
    setRange(IDC_PROGRESS, 0, 100);
    paintResult(eraseEeprom());
}

// ---- "&Read EEP" -------------------------------------------------------------------------------

void FlashWriterDialog::readEep() {
    const bool read = VelkReadEepData(list_.get(), 0) != 0;
    const device::DriveInfo info = device::DriveInfo::query(list_.get());
    const uint8_t* record = info.eepRecord();
    if (!read || !record || !recordValid(record)) {
        errorBox(*this, "Read EEP Data fail ! ");
        return;
    }
    deviceClass_ = info.deviceClass();
    applyFields(fieldsFromRecord(deviceClass_, record));
}

// ---- "Dump EEPROM" ----------------------------------------------------------------------------

void FlashWriterDialog::dumpEeprom() {
    const VelkHandle h = list_.get();
    std::vector<uint16_t> words;
    for (unsigned index = 0; index < eep::kEepromWords; ++index) {
        const auto w = readWord(h, index);
        if (!w) break;
        words.push_back(*w);
    }
    DumpContent content;
    content.lines = dumpLines(words);
    content.strings = decodeStrings([h](unsigned index) { return readWord(h, index); });
    DumpDialog dump(std::move(content));
    dump.runModal();
}

// ---- "Save to hex" ----------------------------------------------------------------------------

void FlashWriterDialog::saveToHex() {
    setRange(IDC_PROGRESS, 0, 100);
    clearResult();
    uint16_t words[eep::kEepromWords] = {};
    if (!VelkReadEEPROM(list_.get(), 0, 0, eep::kEepromWords, words)) {
        setStatus("No data in 93C46!!");
        paintResult(false);
        return;
    }
    const std::optional<std::string> path = saveFileDialog(kHexFiles);
    if (!path) return;
    std::string bytes;
    for (uint16_t w : words) {
        bytes.push_back(static_cast<char>(eep::lo(w)));
        bytes.push_back(static_cast<char>(eep::hi(w)));
    }
    if (path->empty() || os::replaceFile(*path, bytes) != os::Replaced::Done) {
        setStatus("Error to open file!!");
        paintResult(false);
        return;
    }
    setStatus("EEP file save successfully!!");
    setPos(IDC_PROGRESS, 100);
    paintResult(true);
}

// ---- the icon check boxes -----------------------------------------------------------------------

// Each card type sits under one icon at most: checking it under one icon
// clears it under the other five.
void FlashWriterDialog::iconBoxClicked(int id) {
    const int icon = (id - IDC_ICON_FIRST) / eep::kCardRows;
    const int type = (id - IDC_ICON_FIRST) % eep::kCardRows;
    for (int other = 0; other < eep::kIcons; ++other)
        if (other != icon) setChecked(iconBox(other, type), 0);
}

void FlashWriterDialog::resetIcons() {
    for (int icon = 0; icon < eep::kIcons; ++icon)
        for (int type = 0; type < eep::kCardRows; ++type) setChecked(iconBox(icon, type), 0);
}

}  // namespace writer
