// velk_sector_device.h - the CD-ROM area of the device as the transfers see
// it: LUN 0 of device index 0, one 2048-byte sector per call, each call
// bracketed by VelkOpenDevice and VelkCloseDevice.
#pragma once

#include "imager/transfer.h"

#include <velk.h>

namespace imager {

class VelkSectorDevice : public SectorDevice {
public:
    explicit VelkSectorDevice(VelkHandle list) : list_(list) {}
    bool writeSector(uint32_t lba, const uint8_t* data) override;
    bool readSector(uint32_t lba, uint8_t* data) override;

private:
    VelkHandle list_;
};

}  // namespace imager
