// velk_flash_device.h - the scan engine's device over the device library: LUN
// 0 of a device list, geometry read from the library's flash record.
#pragma once

#include "scanner/scan_engine.h"

#include <velk.h>

namespace scanner {

class VelkFlashDevice : public FlashDevice {
public:
    // handle may be null: every operation then fails and nothing is called.
    explicit VelkFlashDevice(VelkHandle handle) : h_(handle) {}

    // Chips beyond the entries the library's record holds are not read.
    bool geometry(Geometry& out) override;
    // VelkOpenDevice on index 0 fails only when the device has left the bus.
    bool open() override;
    void close() override;
    // VelkOpenDevice as a probe (it holds nothing open).
    bool present() override;
    bool isGoodBlock(uint8_t chip, uint32_t block) override;
    bool readSpare(uint8_t chip, uint32_t block, uint8_t page, uint8_t* buf) override;
    void eraseBlock(uint8_t chip, uint32_t block) override;
    void touchFormatProgress() override;
    void setFormatProgress(int32_t a, int32_t b) override;

private:
    VelkHandle h_;
};

}  // namespace scanner
