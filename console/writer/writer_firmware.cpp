// writer_firmware.cpp - the writer's firmware and external ROM side: the
// "External Code Flash" and "Read / Write ROM File" groups.
//
// A firmware run starts on the dialog thread ("Write F/W", "EEP to 93C46",
// "Write ROM File": the code flash is erased and timer 3 set), goes on after
// the device's return (timer 1) or after timer 3 in the programming worker,
// and ends with the device safely removed. During each firmware transfer a
// follower thread moves the progress bar from the progress byte.
#include <atomic>
#include <cstdio>
#include <filesystem>
#include <memory>

#include "dump_dialog.h"
#include "eep_record.h"
#include "eeprom_dump.h"
#include "firmware_image.h"
#include "flash_writer_dialog.h"
#include "platform/os/os.h"
#include "progress_follower.h"
#include "rom_size_dialog.h"

namespace writer {

namespace {

const ui::FileDialogSpec kFirmwareFiles{"Binary File (*.bin)|*.bin|Binary File (*.obj)|*.obj||", "obj", "", true};
const ui::FileDialogSpec kRomFiles{"ROM File (*.rom)|*.rom||", "rom", "", true};

constexpr int kEepWriteAttempts = 5;
constexpr int64_t kAfterEepStepMs = 500;
constexpr int64_t kAfterTransferMs = 1000;
constexpr uint8_t kClassQn537 = 0x12;  // the reader whose ROM size the "ROM Size" dialog asks for

// Texts of a firmware run that ends before any transfer.
const char* const kFileOpenError = "Error to open file!!";
const char* const kFileNoData = "File have no data!!";
const char* const kFileTooLarge = "File size over the code flash!!";

void errorBox(ui::Dialog& d, const std::string& text) { d.messageBox(text, "Error", ui::MB_OK | ui::MB_ICONERROR); }

void storeByte(uint8_t& b, uint8_t v) { std::atomic_ref<uint8_t>(b).store(v, std::memory_order_release); }

std::string titleOf(const std::string& path) { return std::filesystem::path(path).filename().string(); }

std::string fullPathOf(const std::string& path) {
    std::error_code ec;
    const auto abs = std::filesystem::absolute(path, ec);
    return ec ? path : abs.lexically_normal().string();
}

// The ROM area (start and size of the code area), with the device opened
// and closed around the query; 0, 0 when it cannot be had.
void romArea(VelkHandle h, uint32_t& start, uint32_t& size) {
    start = size = 0;
    if (!h) return;
    device::OpenScope open(h, 0);
    if (!VelkGetFirmwareSize(h, 0, &start, &size)) start = size = 0;
}

}  // namespace

// ---- "Load FW obj file" ----------------------------------------------------------------

void FlashWriterDialog::loadFirmwareFile() {
    const std::optional<std::string> path = openFileDialog(kFirmwareFiles);
    if (!path || path->empty()) return;
    firmwarePath_ = *path;
    firmwareLoaded_ = true;
    setTitle(openTitle_ + " --> " + fullPathOf(*path));
    enable(IDC_WRITE_FW, true);
    setText(IDC_FW_FILE_TITLE, titleOf(*path));
    if (session_.loaded()) enable(IDC_EEP_TO_93C46, true);
}

// ---- "Write F/W" and "EEP to 93C46" -----------------------------------------------------

void FlashWriterDialog::writeFirmware(bool thenEeprom) {
    if (thenEeprom) {
        sequenceState_ = kSequenceProgramThenEeprom;
        writeEepAfterFirmware_ = true;
    }
    if (!list_) {
        errorBox(*this, "Device not found");
        // No run has started: nothing may start by itself at the next
        // arrival, and a chosen ROM file is given up.
        sequenceState_ = kSequenceIdle;
        writeEepAfterFirmware_ = false;
        if (romWritePending_.exchange(false)) enable(IDC_WRITE_ROM, true);
        return;
    }
    devicePresent_ = true;
    setRange(IDC_PROGRESS, 0, 100);
    setPos(IDC_PROGRESS, 0);
    errorFlag_ = false;
    if (sequenceState_ != kSequenceProgramThenEeprom) sequenceState_ = kSequenceProgram;
    clearResult();
    setStatus("Erasing the Flash, Please wait.....");

    // The erase makes the device drop off the bus and return; timer 3 starts
    // the programming if it never leaves. The result is not examined.
    setTimer(kEraseFallbackTimer, kEraseFallbackMs);
    device::OpenScope open(list_.get(), 0);
    VelkEraseExternalROM(list_.get(), 0);
}

void FlashWriterDialog::startProgrammingWorker() {
    if (!idle_.isSet()) return;  // one run at a time
    ProgrammingRun run;
    run.list = list_.share();
    run.deviceClass = deviceClass_;
    run.eepStep = session_.loaded() && checked(IDC_WRITE_EEP_AND_FW);
    run.firmwarePath = firmwarePath_;
    run.romPath = romPath_;
    run.serial = serialSettings();
    idle_.reset();
    startWorker([this, run = std::move(run)] {
        programmingWorker(run);
        idle_.set();
    });
}

// ---- the programming worker --------------------------------------------------------------

void FlashWriterDialog::programmingWorker(const ProgrammingRun& run) {
    ui::WaitCursor busy;
    setStatus("Will begin programming..........");
    if (romWritePending_) {
        romRun(run);
        return;
    }
    if (!devicePresent_) {
        errorBox(*this, "Error while erasing the Flash");
        setStatus("Erasing error.");
        return;
    }
    firmwareRun(run);
}

// Step 1: the EEP settings inside the run. Returns the failure message, or
// nothing when the settings were written and checked.
const char* FlashWriterDialog::eepStep(const ProgrammingRun& run) {
    const VelkHandle h = run.list ? run.list->get() : nullptr;
    session_.nextSerial(run.serial);
    const device::DriveInfo info = device::DriveInfo::query(h);
    uint8_t* record = info.eepRecord();
    if (!record) return "Fail to Fill the EEP content";
    fillEepRecord(info.deviceClass(), session_.fields(), session_.strings(), record);
    setPos(IDC_PROGRESS, 30);
    device::OpenScope open(h, 0);
    bool written = false;
    for (int attempt = 0; attempt < kEepWriteAttempts && !written; ++attempt)
        written = VelkWriteEepData(h, 0, 2) != 0;
    if (!written) return "Error while writing the EEP Data";
    setPos(IDC_PROGRESS, 50);
    if (!VelkReadEepData(h, 0)) return "Read back EEP Fail";
    setPos(IDC_PROGRESS, 70);
    setStatus("Verify EEP.........");
    if (!device::DriveInfo::query(h).eepValid()) return "Verify the EEP Data Fail";
    setPos(IDC_PROGRESS, 90);
    const eep::HandOffResult handOff = session_.handOff(run.serial);
    if (handOff.startText) setText(IDC_SN_START, *handOff.startText);
    if (run.serial.mode == eep::SerialMode::AutoIncrement && session_.next().computed && !handOff.fileRewritten)
        errorBox(*this, "Error to write the next serial number into the eep file");
    setPos(IDC_PROGRESS, 100);
    setStatus("Verify EEP OK.........");
    return nullptr;
}

// One firmware transfer with the follower moving the bar. The progress byte
// is zeroed before the follower starts, so that a follower that starts late
// cannot set back a byte the library has already advanced; the follower
// ends when the byte reaches 100 or the call returns, and the worker waits
// for it before it goes on.
bool FlashWriterDialog::followedTransfer(VelkHandle h, uint32_t length, uint8_t* readTo, const uint8_t* writeFrom) {
    storeByte(progressByte_, 0);
    setRange(IDC_PROGRESS, 0, 100);
    setPos(IDC_PROGRESS, 0);
    auto returned = std::make_shared<ui::ManualResetEvent>(false);
    auto ended = std::make_shared<ui::ManualResetEvent>(false);
    startWorker([this, returned, ended] {
        followProgress(&progressByte_, *returned, [this](int p) { setPos(IDC_PROGRESS, p); });
        ended->set();
    });
    if (writeFrom) setStatus("Programming..........");
    const bool ok = writeFrom ? VelkWriteFirmware(h, 0, length, writeFrom, &progressByte_, &statusByte_) != 0
                              : VelkReadFirmware(h, 0, length, readTo, &progressByte_, &statusByte_) != 0;
    returned->set();
    ended->wait();
    return ok;
}

// A run that ends before any transfer (file or memory): the status says
// why, "FAIL", and the run's end as after a failed transfer.
void FlashWriterDialog::firmwareFailedBeforeTransfer(VelkHandle h, const std::string& status) {
    setStatus(status);
    paintResult(false);
    errorFlag_ = true;
    endFirmwareRun(h);
}

void FlashWriterDialog::firmwareRun(const ProgrammingRun& run) {
    const VelkHandle h = run.list ? run.list->get() : nullptr;

    // 1. The EEP settings, when asked for and a file is loaded.
    if (run.eepStep) {
        const eep::EepSession beforeRun = session_;
        if (const char* failure = eepStep(run)) {
            errorBox(*this, failure);
            session_ = beforeRun;  // the serial goes to the next run
            setStatus("Programming EEP error.");
            paintResult(false);
            errorFlag_ = true;
            return;
        }
        ui::sleepMs(kAfterEepStepMs);
    }

    // 2. The image, as the file is now; the buffers are S - (S mod 64) + 64
    //    bytes, padded with FFh, and the transfer length L fits in them.
    ImageRead file = readImageFile(run.firmwarePath);
    if (file.error == ImageReadError::Memory) {
        errorBox(*this, "Memory allocate error");
        firmwareFailedBeforeTransfer(h, "Memory allocate error");
        return;
    }
    if (file.error == ImageReadError::Open) {
        firmwareFailedBeforeTransfer(h, kFileOpenError);
        return;
    }
    if (file.error != ImageReadError::None) {
        firmwareFailedBeforeTransfer(h, kFileNoData);
        return;
    }
    ImageBuffer& image = file.image;
    ImageBuffer back = allocateImage(image.length);
    if (!back.data) {
        errorBox(*this, "Memory allocate error");
        firmwareFailedBeforeTransfer(h, "Memory allocate error");
        return;
    }
    const uint32_t length = transferLength(image.fileSize);
    uint32_t codeStart = 0, codeSize = 0;
    romArea(h, codeStart, codeSize);
    if (codeSize != 0 && length > codeSize) {
        firmwareFailedBeforeTransfer(h, kFileTooLarge);
        return;
    }

    // 3. The write.
    bool failed = false;
    storeByte(statusByte_, 0);
    VelkOpenDevice(h, 0);
    if (!followedTransfer(h, length, nullptr, image.data.get())) {
        errorBox(*this, "Error while writing the Flash");
        setStatus("Writing error.");
        failed = true;
    }
    setPos(IDC_PROGRESS, 100);
    ui::sleepMs(kAfterTransferMs);

    // 4. The read-back.
    if (!failed) {
        if (!followedTransfer(h, length, back.data.get(), nullptr)) {
            errorBox(*this, "Error while reading the Flash");
            setStatus("Reading error.");
            failed = true;
        }
        setPos(IDC_PROGRESS, 100);
    }

    // 5.
    VelkCloseDevice(h, 0);

    // 6. The compare, past the window the device keeps for its EEP copy.
    if (!failed) {
        setStatus("Programming OK, now Verifying ........ ");
        if (const auto at = firstCountedDifference(image.data.get(), back.data.get(), length, run.deviceClass)) {
            char text[24];
            std::snprintf(text, sizeof text, "%i ", static_cast<int>(*at));
            messageBox(text, "The first dismatch address :", ui::MB_OK);
            failed = true;
        }
    }

    // 7.
    if (!failed) {
        setStatus(run.eepStep ? "F/W[with EEP] Program and Verify finished." : "F/W Program and Verify finished.");
        paintResult(true);
        messageBox(writeEepAfterFirmware_ ? "You must replug-in device for update EEP data."
                                          : "You must replug-in device for new firmware validate.",
                   "Info", ui::MB_OK);
    } else {
        messageBox("Programming not finish !  Device will be SafeRemoved. ", "Info", ui::MB_OK);
        setStatus("Programming not finish !");
        paintResult(false);
        errorFlag_ = true;
    }

    // 8.
    endFirmwareRun(h);
}

void FlashWriterDialog::endFirmwareRun(VelkHandle h) {
    if (h) VelkSafeRemove(h, 0);
    setChecked(IDC_WRITE_EEP_AND_FW, 0);
    writeEepAfterFirmware_ = false;
    firmwareLoaded_ = false;
    enable(IDC_EEP_TO_93C46, false);
}

// The ROM branch: the chosen ROM file into the ROM area, read back and
// compared. A file that cannot be read or a failed write ends with "FAIL"
// and the safe removal, without a compare.
void FlashWriterDialog::romRun(const ProgrammingRun& run) {
    const VelkHandle h = run.list ? run.list->get() : nullptr;
    enum class End { Failed, Passed, CompareFailed } end = End::Failed;

    // 1. and 2.
    ImageRead file = readImageFile(run.romPath);
    uint32_t start = 0, area = 0;
    if (file.error == ImageReadError::Open) {
        setStatus("Error to open file!!");
        paintResult(false);
    } else {
        romArea(h, start, area);
        ImageBuffer back = file.error == ImageReadError::None ? allocateImage(file.image.length) : ImageBuffer{};
        if (file.error != ImageReadError::None || !back.data) {
            setStatus("File have no data!!");
            paintResult(false);
        } else {
            const ImageBuffer& image = file.image;
            const auto n = static_cast<uint32_t>(image.fileSize);
            // 3.
            setStatus("File read successfully!!");
            setRange(IDC_PROGRESS, 0, 100);
            setPos(IDC_PROGRESS, 10);
            setStatus("External ROM is writing!!");
            bool written = false;
            {
                device::OpenScope open(h, 0);
                setPos(IDC_PROGRESS, 30);
                written = VelkWriteExternalROM(h, 0, start, n, image.data.get()) != 0;
                // 4.
                if (written) {
                    setPos(IDC_PROGRESS, 100);
                    ui::sleepMs(kAfterTransferMs);
                    VelkReadExternalROM(h, 0, start, n, back.data.get());
                    setStatus("External ROM write completely!!");
                    paintResult(true);
                    romWritePending_ = false;
                } else {
                    setStatus("External ROM can't write!!");
                    paintResult(false);
                }
            }
            // 5.
            if (written) {
                setPos(IDC_PROGRESS, 10);
                setStatus("Programming OK, now Verifying ........ ");
                const auto at = firstCountedDifference(image.data.get(), back.data.get(), n, run.deviceClass);
                if (at) {
                    char text[24];
                    std::snprintf(text, sizeof text, "%i ", static_cast<int>(*at));
                    messageBox(text, "The first dismatch address :", ui::MB_OK);
                }
                setPos(IDC_PROGRESS, 50);
                if (!at) {
                    setStatus("F/W[with EEP] Program and Verify finished!!");
                    setPos(IDC_PROGRESS, 100);
                    paintResult(true);
                    end = End::Passed;
                } else {
                    setStatus("Programming not finish !  Device will be SafeRemoved!!");
                    paintResult(false);
                    end = End::CompareFailed;
                }
            }
        }
    }

    // 6. A ROM file is written once: after a failure too it must be chosen
    //    again, or the next "Write F/W" would write it instead of the firmware.
    romWritePending_ = false;
    setChecked(IDC_WRITE_EEP_AND_FW, 0);
    writeEepAfterFirmware_ = false;
    firmwareLoaded_ = false;
    enable(IDC_EEP_TO_93C46, false);
    if (end != End::Passed) errorFlag_ = true;
    if (h) VelkSafeRemove(h, 0);
    if (end == End::Passed)
        messageBox("You must replug-in device for update ROM data!!", "", ui::MB_OK);
    else if (end == End::CompareFailed)
        messageBox("Programming not finish !  Device will be SafeRemoved!!", "", ui::MB_OK);
}

// ---- "F/W Info" ------------------------------------------------------------------------------

void FlashWriterDialog::firmwareInfo() {
    setText(IDC_FW_VERSION, "");
    updateWindow();
    const device::DriveInfo info = device::DriveInfo::query(list_.get());
    if (!info.valid() || !info.firmwareInfo()) return;
    uint8_t version[4] = {};
    info.firmwareVersion(version);
    setText(IDC_FW_VERSION, firmwareVersionText(version));
}

// ---- "Dump EEP Data" -------------------------------------------------------------------------

void FlashWriterDialog::dumpEepData() {
    uint8_t bytes[128] = {};
    bool read = false;
    if (list_) {
        device::OpenScope open(list_.get(), 0);
        read = VelkReadEepDataFromExternalROM(list_.get(), 0, sizeof bytes, bytes) != 0;
    }
    DumpContent content;
    if (read) {
        std::vector<uint16_t> words(64);
        for (size_t i = 0; i < words.size(); ++i)
            words[i] = static_cast<uint16_t>(bytes[2 * i] | (bytes[2 * i + 1] << 8));
        content.lines = dumpLines(words);
        content.strings = decodeStrings([&words](unsigned index) -> std::optional<uint16_t> {
            if (index >= words.size()) return std::nullopt;
            return words[index];
        }, CardNames::Descriptor);
    }
    DumpDialog dump(std::move(content));
    dump.runModal();
}

// ---- "Erase" (flash) ---------------------------------------------------------------------------

void FlashWriterDialog::eraseFlash() {
    if (!list_) {
        errorBox(*this, "Device not found");
        return;
    }
    const VelkHandle h = list_.get();
    setRange(IDC_PROGRESS, 0, 100);
    setPos(IDC_PROGRESS, 0);
    clearResult();
    setPos(IDC_PROGRESS, 15);
    setStatus("Erasing the Flash, Please wait.....");
    setPos(IDC_PROGRESS, 30);
    VelkOpenDevice(h, 0);
    setPos(IDC_PROGRESS, 50);
    VelkEraseExternalROM(h, 0);
    setPos(IDC_PROGRESS, 80);
    VelkCloseDevice(h, 0);
    setPos(IDC_PROGRESS, 100);
    VelkSafeRemove(h, 0);
    enable(IDC_EEP_TO_93C46, false);
    paintResult(true);
    messageBox("Erasing OK, you must replug-in device . ", "Info", ui::MB_OK);
}

// ---- "Write ROM File" ---------------------------------------------------------------------------

void FlashWriterDialog::writeRomFile() {
    const std::optional<std::string> path = openFileDialog(kRomFiles);
    if (!path) {
        messageBox("Please select the ROM file!!", "", ui::MB_OK);
        return;
    }
    enable(IDC_WRITE_ROM, false);
    romPath_ = *path;
    if (path->empty()) {
        enable(IDC_WRITE_ROM, true);  // nothing to write
        return;
    }
    romWritePending_ = true;
    writeFirmware(true);
}

// ---- "Read ROM File" ----------------------------------------------------------------------------

void FlashWriterDialog::readRomFile() {
    const VelkHandle h = list_.get();
    const device::DriveInfo info = device::DriveInfo::query(h);
    const uint8_t deviceClass = info.valid() ? info.deviceClass() : kNoDeviceClass;
    uint32_t start = 0, size = 0;
    romArea(h, start, size);

    if (deviceClass == kClassQn537) {
        RomSizeDialog dialog;
        if (dialog.runModal() != ui::IDOK) {
            messageBox("Please select the IC type!!", "", ui::MB_OK);
            return;
        }
        size = dialog.size();
    }

    ImageBuffer rom = size ? allocateImage(size) : ImageBuffer{};
    if (!rom.data) {
        setStatus("No data in External ROM!!");
        paintResult(false);
        return;
    }
    bool read = false;
    {
        device::OpenScope open(h, 0);
        setRange(IDC_PROGRESS, 0, 100);
        setPos(IDC_PROGRESS, 10);
        setStatus("External ROM is reading!!");
        read = h && VelkReadExternalROM(h, 0, start, size, rom.data.get()) != 0;
    }
    if (!read) {
        setStatus("External ROM can't be read!!");
        paintResult(false);
        return;
    }
    setPos(IDC_PROGRESS, 100);
    setStatus("External ROM read completely!!");
    // A ROM of another format is saved all the same.
    if (!romSignatureValid(deviceClass, rom.data.get(), rom.length))
        setStatus("The firmware data is not valid format data !!");

    const std::optional<std::string> path = saveFileDialog(kRomFiles);
    if (!path) return;
    if (path->empty() ||
        os::replaceFile(*path, std::string_view(reinterpret_cast<const char*>(rom.data.get()), rom.length)) !=
            os::Replaced::Done) {
        setStatus("Error to open file!!");
        paintResult(false);
        return;
    }
    setStatus("ROM file save successfully!!");
    paintResult(true);
}

}  // namespace writer
