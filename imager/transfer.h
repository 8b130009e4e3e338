// transfer.h - Program and Verify: the volume of a disc image written sector
// by sector to a device, and compared sector by sector with it.
//
// Both stop at the first sector that fails: one the image file does not hold
// or cannot read, one the device refuses to write or read, or (Verify) one
// whose bytes differ. Nothing after it is read or written.
#pragma once

#include "imager/disc_image.h"

#include <cstdint>

namespace imager {

// The CD-ROM area of a device, one 2048-byte sector per call.
class SectorDevice {
public:
    virtual ~SectorDevice() = default;
    virtual bool writeSector(uint32_t lba, const uint8_t* data) = 0;
    virtual bool readSector(uint32_t lba, uint8_t* data) = 0;
};

// Where a transfer reports its progress: begin once with the number of
// sectors, then one step per sector done.
class TransferProgress {
public:
    virtual ~TransferProgress() = default;
    virtual void begin(uint32_t sectors) = 0;
    virtual void step() = 0;
};

enum class TransferOutcome {
    Done,             // every sector of the volume was transferred (and equal)
    NoVolume,         // no image start, or the volume descriptor cannot be read
    ImageReadFailed,  // sector `sector` of the image cannot be read
    DeviceFailed,     // the device refused sector `sector`
    Differs,          // the device holds other bytes in sector `sector`
};

struct TransferResult {
    TransferOutcome outcome = TransferOutcome::NoVolume;
    uint32_t sectors = 0;   // the volume space size (0 for NoVolume)
    uint32_t sector = 0;    // the sector that failed; `sectors` when Done
    bool ok() const { return outcome == TransferOutcome::Done; }
};

// Writes sectors 0 .. n-1 of the volume to LBAs 0 .. n-1, n = the volume
// space size. A step per sector written.
TransferResult programImage(DiscImage& image, SectorDevice& dev, TransferProgress& progress);

// Reads LBAs 0 .. n-1 back and compares each with the image's sector. A step
// per sector read from the device, before it is compared.
TransferResult verifyImage(DiscImage& image, SectorDevice& dev, TransferProgress& progress);

}  // namespace imager
