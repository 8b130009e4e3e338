// flash_writer_dialog.h - the console's "EEPROM/Flash Writer" dialog
// (template 132). It works on the first device of a device list of its own,
// always on index 0.
//
// The class is split by side, one source file each:
//   flash_writer_dialog.cpp  the frame: start-up, the device-class panels,
//                            device arrival and removal with the settle timer
//                            and the firmware sequence's state, the result
//                            mark, the status line, "Exit"
//   writer_eeprom.cpp        the EEPROM side: the EEP file, "&Write to EEPROM"
//                            with the serial numbers, "Erase", "&Read EEP",
//                            "Dump EEPROM", "Save to hex", the icon boxes
//   writer_firmware.cpp      the firmware and external ROM side ("Load FW obj
//                            file", "Write F/W", "EEP to 93C46", "F/W Info",
//                            "Dump EEP Data", the flash "Erase", the ROM files)
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "device/records.h"
#include "eep_session.h"
#include "platform/ui/dialog.h"
#include "writer_resources.h"

namespace writer {

class FlashWriterDialog : public ui::Dialog {
public:
    // The firmware sequence across the device's removal and return.
    enum SequenceState : int {
        kSequenceIdle = 0,
        kSequenceProgram = 1,             // "Write F/W"
        kSequenceProgramThenEeprom = 2,   // "EEP to 93C46"
        kSequenceEepromAfterArrival = 3,  // programmed; the EEPROM write follows the next arrival
    };

    // Timer 1 rebuilds the device list 2000 ms after the last arrival; timer 3
    // starts the programming when an erase causes no re-enumeration.
    static constexpr int kRebuildTimer = 1;
    static constexpr unsigned kRebuildMs = 2000;
    static constexpr int kEraseFallbackTimer = 3;
    static constexpr unsigned kEraseFallbackMs = 6000;

    // No device class known (no device, or its drive information unreadable).
    static constexpr uint8_t kNoDeviceClass = 0xFF;

    // options: where "Temp.eep" goes and the clock of the random serial
    // (defaults: the working directory at the time of use, the local time).
    explicit FlashWriterDialog(eep::SessionOptions options = {});
    ~FlashWriterDialog() override;

    bool onInitDialog() override;
    void onCommand(int id) override;
    void onTimer(int id) override;
    int onDeviceChange(unsigned event) override;
    void onDestroy() override;

    uint8_t deviceClass() const { return deviceClass_; }
    bool devicePresent() const { return devicePresent_.load(); }
    const eep::EepSession& session() const { return session_; }
    int sequenceState() const { return sequenceState_.load(); }

    // The result mark's rectangle and the area cleared before a run (client
    // pixels).
    ui::Rect resultRect() const;
    ui::Rect resultClearRect() const;

protected:
    // The status line. Every status text goes through here.
    virtual void setStatus(const std::string& text);

private:
    // ---- frame (flash_writer_dialog.cpp) ----
    void registerForDeviceChanges();
    void applyClassPanels();
    void enableConfig2();
    void enablePanel(const std::vector<int>& ids, bool on);
    void onRebuildTimer();
    void onEraseFallbackTimer();
    void dropDeviceList();
    void closeWhenIdle(int result);
    void paintResult(bool ok);
    void clearResult();

    // ---- EEPROM side (writer_eeprom.cpp) ----
    void loadEepFile();
    void saveEepFile();
    void writeToEeprom();
    const char* programAndVerify(const eep::SerialSettings& serial);
    bool eraseEeprom();
    void eraseEepromCommand();
    void readEep();
    void dumpEeprom();
    void saveToHex();
    void iconBoxClicked(int id);
    void resetIcons();
    void enableEepButtons(bool loaded);
    eep::SerialSettings serialSettings() const;
    eep::FieldTexts fieldTexts() const;
    void applyFields(const eep::FieldUpdate& u);
    void showMessages(const std::vector<eep::Message>& messages);
    bool fillRecord();

    // ---- firmware and external ROM side (writer_firmware.cpp) ----
    void loadFirmwareFile();
    void writeFirmware(bool thenEeprom);
    void firmwareInfo();
    void dumpEepData();
    void eraseFlash();
    void writeRomFile();
    void readRomFile();
    // The programming worker, started by the timers of the firmware sequence.
    void startProgrammingWorker();

    // ---- state ----
    std::string openTitle_;            // the title at opening; loaded files append " --> PATH"
    device::List list_;
    std::atomic<bool> devicePresent_{false};
    uint8_t deviceClass_ = kNoDeviceClass;
    eep::EepSession session_;

    // Firmware and ROM side, shared with the programming worker.
    std::string firmwarePath_;
    std::atomic<bool> firmwareLoaded_{false};
    std::string romPath_;
    std::atomic<bool> romWritePending_{false};
    std::atomic<bool> writeEepAfterFirmware_{false};
    std::atomic<bool> errorFlag_{false};
    std::atomic<int> sequenceState_{kSequenceIdle};
    uint8_t progressByte_ = 0;         // advanced by the device library (std::atomic_ref)
    uint8_t statusByte_ = 0;
    // Set while no worker runs; the dialog waits on it before it closes.
    ui::ManualResetEvent idle_{true};
};

}  // namespace writer
