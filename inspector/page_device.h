// page_device.h - the device operations of the page inspector, all on LUN 0
// (device index 0) of the inspector's device list.
//
// The dialog knows the device only through this class: the program passes
// the device library behind it (VelkPageDevice), tests may put a device of
// their own in its place (a flash geometry the simulator cannot make). Every
// operation returns what the library returns: nonzero for success.
#pragma once

#include <velk.h>

#include <cstdint>

namespace inspector {

// Geometry of the whole flash, taken once at start-up from the first chip's
// entry of the library's flash record.
struct FlashGeometry {
    unsigned chipCount = 0;
    unsigned pageSize = 0;
    unsigned pagesPerBlock = 0;   // of chip 0: the pages a block rewrite holds
};

// Limits of one chip, fetched afresh at every field check.
struct ChipLimits {
    uint32_t blockCount = 0;
    unsigned pagesPerBlock = 0;
};

class PageDevice {
public:
    virtual ~PageDevice() = default;

    // Start-up: the drive information (not used further) and the open of
    // index 0; their results are not looked at.
    virtual void start() = 0;
    // Close of index 0 (the Close button).
    virtual void close() = 0;

    // The flash record: false when the device has none (or the query failed).
    virtual bool geometry(FlashGeometry& out) = 0;
    // The limits of chip `chip` as the flash record holds them now (after a
    // failed query, as it held them last). A chip the record has no entry
    // for has limits 0.
    virtual ChipLimits limits(unsigned chip) = 0;
    // Sector count and sector size of LUN 0 (0 and 0 when unknown).
    virtual int capacity(uint32_t& sectors, uint32_t& sectorSize) = 0;

    // One page of a block: data (page size bytes) and spare area (16 bytes
    // at 512-byte pages, else 64). Chip and page numbers the library cannot
    // address (above 255) fail without a device call.
    virtual int readPhysical(unsigned chip, uint32_t block, unsigned page, uint8_t* data) = 0;
    virtual int readRedundant(unsigned chip, uint32_t block, unsigned page, uint8_t* spare) = 0;
    virtual int writePhysical(unsigned chip, uint32_t block, unsigned page, const uint8_t* data) = 0;
    virtual int writeRedundant(unsigned chip, uint32_t block, unsigned page, const uint8_t* spare) = 0;
    virtual int eraseBlock(unsigned chip, uint32_t block) = 0;

    // One logical sector of LUN 0 (sector size bytes).
    virtual int readSector(uint32_t lba, uint8_t* sector) = 0;
    virtual int writeSector(uint32_t lba, const uint8_t* sector) = 0;

    // The status byte (bit 0: write-protect switch on).
    virtual int status(uint8_t& out) = 0;
};

// The device operations over the device library. handle may be null: every
// operation then fails without a library call.
class VelkPageDevice : public PageDevice {
public:
    explicit VelkPageDevice(VelkHandle handle) : h_(handle) {}

    void start() override;
    void close() override;
    // A chip count beyond the entries the library's record holds is cut to
    // them, so no chip's limits are read past the record.
    bool geometry(FlashGeometry& out) override;
    ChipLimits limits(unsigned chip) override;
    int capacity(uint32_t& sectors, uint32_t& sectorSize) override;
    int readPhysical(unsigned chip, uint32_t block, unsigned page, uint8_t* data) override;
    int readRedundant(unsigned chip, uint32_t block, unsigned page, uint8_t* spare) override;
    int writePhysical(unsigned chip, uint32_t block, unsigned page, const uint8_t* data) override;
    int writeRedundant(unsigned chip, uint32_t block, unsigned page, const uint8_t* spare) override;
    int eraseBlock(unsigned chip, uint32_t block) override;
    int readSector(uint32_t lba, uint8_t* sector) override;
    int writeSector(uint32_t lba, const uint8_t* sector) override;
    int status(uint8_t& out) override;

private:
    // Queries the flash record; keeps the last one that came back.
    void refresh();

    VelkHandle h_;
    _FlashDiskInfo* info_ = nullptr;
};

}  // namespace inspector
