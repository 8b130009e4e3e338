#include "scanner/velk_flash_device.h"

#include "device/records.h"

#include <algorithm>

namespace scanner {

bool VelkFlashDevice::geometry(Geometry& out) {
    device::FlashInfo info = device::FlashInfo::query(h_, 0);
    if (!info.valid()) return false;
    out.pageSize = info.pageSize();
    // The record holds VELK_FLASH_INFO_ENTRIES entries; a chip count beyond
    // them would make the scan read past the record.
    const int chips = std::min<int>(info.chipCount(), VELK_FLASH_INFO_ENTRIES);
    out.chips.clear();
    for (int c = 0; c < chips; ++c)
        out.chips.push_back({info.blockCount(uint8_t(c)), info.pagesPerBlock(uint8_t(c))});
    return true;
}

bool VelkFlashDevice::open() { return h_ && VelkOpenDevice(h_, 0) != 0; }

bool VelkFlashDevice::present() { return h_ && VelkOpenDevice(h_, 0) != 0; }

void VelkFlashDevice::close() {
    if (h_) VelkCloseDevice(h_, 0);
}

bool VelkFlashDevice::isGoodBlock(uint8_t chip, uint32_t block) {
    return h_ && VelkIsGoodBlock(h_, 0, chip, block) != 0;
}

bool VelkFlashDevice::readSpare(uint8_t chip, uint32_t block, uint8_t page, uint8_t* buf) {
    return h_ && VelkReadRedundant(h_, 0, chip, block, page, buf) != 0;
}

void VelkFlashDevice::eraseBlock(uint8_t chip, uint32_t block) {
    if (h_) VelkEraseBlock(h_, 0, chip, block);
}

void VelkFlashDevice::touchFormatProgress() {
    if (h_) VelkGetLastFormatProgress(h_, 0, nullptr, nullptr);
}

void VelkFlashDevice::setFormatProgress(int32_t a, int32_t b) {
    if (h_) VelkSetLastFormatProgress(h_, 0, a, b);
}

}  // namespace scanner
