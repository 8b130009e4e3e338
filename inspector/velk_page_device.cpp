#include "inspector/page_device.h"

#include "device/records.h"

#include <algorithm>

namespace inspector {

namespace {

// The library takes chip and page numbers as bytes.
bool addressable(unsigned chip, unsigned page) { return chip <= 0xFF && page <= 0xFF; }

}  // namespace

void VelkPageDevice::start() {
    if (!h_) return;
    DRIVE_INFO_COMMON* drives = nullptr;
    uint8_t count = 0;
    VelkGetDriveInfo(h_, &drives, &count);
    VelkOpenDevice(h_, 0);
}

void VelkPageDevice::close() {
    if (h_) VelkCloseDevice(h_, 0);
}

void VelkPageDevice::refresh() {
    const device::FlashInfo info = device::FlashInfo::query(h_, 0);
    if (info.valid()) info_ = info.base();
}

bool VelkPageDevice::geometry(FlashGeometry& out) {
    refresh();
    if (!info_) return false;
    const device::FlashInfo info(info_);
    out.chipCount = std::min<unsigned>(info.chipCount(), VELK_FLASH_INFO_ENTRIES);
    out.pageSize = info.pageSize();
    out.pagesPerBlock = info.pagesPerBlock(0);
    return true;
}

ChipLimits VelkPageDevice::limits(unsigned chip) {
    refresh();
    if (!info_ || chip >= VELK_FLASH_INFO_ENTRIES) return {};
    const device::FlashInfo info(info_);
    return {info.blockCount(static_cast<uint8_t>(chip)), info.pagesPerBlock(static_cast<uint8_t>(chip))};
}

int VelkPageDevice::capacity(uint32_t& sectors, uint32_t& sectorSize) {
    sectors = 0;
    sectorSize = 0;
    return h_ ? VelkReadCapacity(h_, 0, &sectors, &sectorSize) : 0;
}

int VelkPageDevice::readPhysical(unsigned chip, uint32_t block, unsigned page, uint8_t* data) {
    if (!h_ || !addressable(chip, page)) return 0;
    return VelkReadPhysical(h_, 0, static_cast<uint8_t>(chip), block, static_cast<uint8_t>(page), data);
}

int VelkPageDevice::readRedundant(unsigned chip, uint32_t block, unsigned page, uint8_t* spare) {
    if (!h_ || !addressable(chip, page)) return 0;
    return VelkReadRedundant(h_, 0, static_cast<uint8_t>(chip), block, static_cast<uint8_t>(page), spare);
}

int VelkPageDevice::writePhysical(unsigned chip, uint32_t block, unsigned page, const uint8_t* data) {
    if (!h_ || !addressable(chip, page)) return 0;
    return VelkWritePhysical(h_, 0, static_cast<uint8_t>(chip), block, static_cast<uint8_t>(page), data);
}

int VelkPageDevice::writeRedundant(unsigned chip, uint32_t block, unsigned page, const uint8_t* spare) {
    if (!h_ || !addressable(chip, page)) return 0;
    return VelkWriteRedundant(h_, 0, static_cast<uint8_t>(chip), block, static_cast<uint8_t>(page), spare);
}

int VelkPageDevice::eraseBlock(unsigned chip, uint32_t block) {
    if (!h_ || !addressable(chip, 0)) return 0;
    return VelkEraseBlock(h_, 0, static_cast<uint8_t>(chip), block);
}

int VelkPageDevice::readSector(uint32_t lba, uint8_t* sector) {
    return h_ ? VelkReadLBA(h_, 0, lba, 1, sector) : 0;
}

int VelkPageDevice::writeSector(uint32_t lba, const uint8_t* sector) {
    return h_ ? VelkWriteLBA(h_, 0, lba, 1, sector) : 0;
}

int VelkPageDevice::status(uint8_t& out) {
    out = 0;
    return h_ ? VelkGetUFDStatus(h_, 0, &out) : 0;
}

}  // namespace inspector
