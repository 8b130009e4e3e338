#include "imager/velk_sector_device.h"

namespace imager {

// A device that cannot be opened (it has left the bus) is not written to;
// it is closed all the same, as every access is.
bool VelkSectorDevice::writeSector(uint32_t lba, const uint8_t* data) {
    const bool open = VelkOpenDevice(list_, 0) != 0;
    const bool ok = open && VelkWriteLBA(list_, 0, lba, 1, data) != 0;
    VelkCloseDevice(list_, 0);
    return ok;
}

bool VelkSectorDevice::readSector(uint32_t lba, uint8_t* data) {
    const bool open = VelkOpenDevice(list_, 0) != 0;
    const bool ok = open && VelkReadLBA(list_, 0, lba, 1, data) != 0;
    VelkCloseDevice(list_, 0);
    return ok;
}

}  // namespace imager
