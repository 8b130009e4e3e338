// writer_firmware.cpp - the writer's firmware and external ROM side: the
// "External Code Flash" and "Read / Write ROM File" groups.
//
// Not built yet: the buttons are there and follow the dialog's enable rules,
// and a click does nothing. The firmware sequence's state (sequenceState_,
// the timers 1 and 3 of the frame) and the flags the programming worker
// shares with the dialog are in place in flash_writer_dialog.h.
#include "flash_writer_dialog.h"

namespace writer {

void FlashWriterDialog::loadFirmwareFile() {}

void FlashWriterDialog::writeFirmware(bool /*thenEeprom*/) {}

void FlashWriterDialog::firmwareInfo() {}

void FlashWriterDialog::dumpEepData() {}

void FlashWriterDialog::eraseFlash() {}

void FlashWriterDialog::writeRomFile() {}

void FlashWriterDialog::readRomFile() {}

void FlashWriterDialog::startProgrammingWorker() {}

}  // namespace writer
