#include "imager/transfer.h"

#include <cstring>

namespace imager {

namespace {

TransferResult failed(TransferOutcome why, uint32_t sectors, uint32_t sector) { return {why, sectors, sector}; }

}  // namespace

TransferResult programImage(DiscImage& image, SectorDevice& dev, TransferProgress& progress) {
    const std::optional<uint32_t> n = image.volumeSectors();
    if (!n) return {};
    progress.begin(*n);
    for (uint32_t s = 0; s < *n; ++s) {
        const uint8_t* sector = image.sector(s);
        if (!sector) return failed(TransferOutcome::ImageReadFailed, *n, s);
        if (!dev.writeSector(s, sector)) return failed(TransferOutcome::DeviceFailed, *n, s);
        progress.step();
    }
    return {TransferOutcome::Done, *n, *n};
}

TransferResult verifyImage(DiscImage& image, SectorDevice& dev, TransferProgress& progress) {
    const std::optional<uint32_t> n = image.volumeSectors();
    if (!n) return {};
    progress.begin(*n);
    uint8_t got[kSectorSize];
    for (uint32_t s = 0; s < *n; ++s) {
        const uint8_t* want = image.sector(s);
        if (!want) return failed(TransferOutcome::ImageReadFailed, *n, s);
        const bool read = dev.readSector(s, got);
        progress.step();
        if (!read) return failed(TransferOutcome::DeviceFailed, *n, s);
        if (std::memcmp(want, got, kSectorSize) != 0) return failed(TransferOutcome::Differs, *n, s);
    }
    return {TransferOutcome::Done, *n, *n};
}

}  // namespace imager
