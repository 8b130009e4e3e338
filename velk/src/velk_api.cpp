// velk_api.cpp - the device library's C ABI on the simulated controller.
#include <velk.h>

#include "sim.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <cstddef>
#include <new>
#include <vector>

using namespace velk::sim;

namespace {

// Layout of the handle's drive-information block: elements (room for every
// LUN plus the end marker), then the firmware record, then the EEP record.
constexpr size_t kDriveElems = (kMaxLuns + 1) * sizeof(DRIVE_INFO_COMMON);
constexpr size_t kFwOff = 640;
constexpr size_t kEepOff = kFwOff + VELK_FIRMWARE_INFO_SIZE;
constexpr size_t kDriveBlock = kEepOff + VELK_EEP_RECORD_SIZE;
static_assert(kDriveElems <= kFwOff);
// Flash block: the entries, then the CIS record.
constexpr size_t kFlashEntries = VELK_FLASH_INFO_ENTRIES * sizeof(_FlashDiskInfo);
constexpr size_t kCisOff = (kFlashEntries + 15) / 16 * 16;
constexpr size_t kFlashBlock = kCisOff + VELK_CIS_RECORD_SIZE;

// Number of steps of a firmware transfer (progress 1..100).
constexpr int kSteps = 100;

void store(uint8_t* p, uint8_t v) {
    if (p) std::atomic_ref<uint8_t>(*p).store(v, std::memory_order_release);
}
uint8_t load(uint8_t* p) { return p ? std::atomic_ref<uint8_t>(*p).load(std::memory_order_acquire) : 0; }

// Copies src over dst where they differ, so that a refresh that changes
// nothing writes nothing (another thread may be reading the record).
void refresh(uint8_t* dst, const uint8_t* src, size_t n) {
    for (size_t i = 0; i < n; ++i)
        if (dst[i] != src[i]) dst[i] = src[i];
}

template <class F>
int guarded(F&& f) noexcept {
    try {
        return f();
    } catch (...) {
        return 0;
    }
}

bool rangeOk(uint64_t start, uint64_t len, uint64_t size) { return len <= size && start <= size - len; }

}  // namespace

struct VelkList {
    std::shared_ptr<Device> dev;
    bool phy = false;
    std::atomic<int64_t> owedUs{0};  // realistic timing: NAND time not yet slept
    alignas(16) uint8_t drive[kDriveBlock] = {};
    alignas(16) uint8_t flash[kFlashBlock] = {};
    std::atomic<bool> flashLoaded{false};

    const Config& cfg() const { return dev->config(); }
    size_t lunCount() const { return cfg().luns.size(); }
    uint8_t* eepRecord() { return drive + kEepOff; }
};

namespace {

// The device behind h when it is on the bus, else nullptr.
Device* live(VelkHandle h) {
    if (!h || !h->dev) return nullptr;
    return h->dev->attached() ? h->dev.get() : nullptr;
}

// The device for a device-level operation (idx addresses the device; any
// valid LUN index is accepted, callers pass 0).
Device* liveDev(VelkHandle h, uint8_t idx) {
    Device* d = live(h);
    if (!d || idx >= std::max<size_t>(1, h->lunCount())) return nullptr;
    return d;
}

// The device and LUN config for a LUN operation.
Device* liveLun(VelkHandle h, uint8_t idx) {
    Device* d = live(h);
    return (d && idx < h->lunCount()) ? d : nullptr;
}

bool mediumIn(Device* d, uint8_t idx) { return d->state()->media[idx].load(std::memory_order_acquire) != 0; }

// The lba-delay setting: a sector transfer takes that long before it
// happens, so the device may leave the bus meanwhile.
void lbaDelay(VelkHandle h) {
    if (h && h->dev && h->dev->config().lbaDelayMs > 0) sleepMs(h->dev->config().lbaDelayMs);
}

Device* liveNand(VelkHandle h, uint8_t idx, uint8_t chip, uint32_t block) {
    Device* d = liveDev(h, idx);
    if (!d) return nullptr;
    const Config& c = d->config();
    if (chip >= c.chips || block >= c.blocks[chip]) return nullptr;
    return d;
}

Device* livePage(VelkHandle h, uint8_t idx, uint8_t chip, uint32_t block, uint8_t page) {
    Device* d = liveNand(h, idx, chip, block);
    return (d && page < d->config().pagesPerBlock[chip]) ? d : nullptr;
}

// Realistic timing: what the NAND calls cost on the simulator clock, so that a
// scan of the 2 x 1024 blocks of the demo device (two good-block queries and
// two spare reads per block) takes about 4 s, and erasing on the way as long
// again. The time is summed per handle and slept in whole milliseconds.
constexpr int64_t kGoodBlockQueryUs = 500, kSpareReadUs = 500, kPageReadUs = 500, kProgramUs = 1000,
                  kEraseUs = 2000;

void charge(VelkHandle h, int64_t us) {
    if (!h->cfg().realistic) return;
    int64_t owed = h->owedUs.load(), ms = 0;
    while (true) {
        const int64_t next = owed + us;
        ms = next / 1000;
        if (h->owedUs.compare_exchange_weak(owed, next - ms * 1000)) break;
    }
    sleepMs(ms);
}

bool windowKept(const Config& c) { return c.deviceClass == 0x12 || c.deviceClass == 0x16; }

// Writes [start, start+len) of the ROM from data, leaving the EEP copy window
// as the device keeps it for classes 12h and 16h.
bool romWrite(Device* d, uint32_t start, uint32_t len, const uint8_t* data) {
    const Config& c = d->config();
    if (!windowKept(c)) return d->commit(StoreId::Rom, 0, start, data, len);
    uint64_t ws = c.eepWindow, we = uint64_t(c.eepWindow) + 128;
    uint64_t end = uint64_t(start) + len;
    // The parts before and after the window.
    bool ok = true;
    if (start < ws) ok = d->commit(StoreId::Rom, 0, start, data, size_t(std::min(end, ws) - start));
    if (ok && end > we) {
        uint64_t from = std::max<uint64_t>(start, we);
        ok = d->commit(StoreId::Rom, 0, from, data + (from - start), size_t(end - from));
    }
    return ok;
}

VelkHandle createList(uint16_t vid, uint16_t pid, bool phy) {
    try {
        auto bus = currentBus();
        if (!bus || !bus->ok()) return nullptr;
        for (auto& name : bus->deviceNames()) {
            auto d = Device::open(bus, name);
            if (!d || !d->attached()) continue;
            const Config& c = d->config();
            if ((vid && c.vid != vid) || (pid && c.pid != pid)) continue;
            auto* h = new (std::nothrow) VelkList();
            if (!h) return nullptr;
            h->dev = std::move(d);
            h->phy = phy;
            return h;
        }
    } catch (...) {
    }
    return nullptr;
}

}  // namespace

extern "C" {

VelkHandle VelkCreateDeviceList(uint16_t vid, uint16_t pid, int mode) {
    (void)mode;
    return createList(vid, pid, false);
}

int VelkDestroyDeviceList(VelkHandle h) {
    if (!h) return 0;
    delete h;
    return 1;
}

VelkHandle VelkCreatePhyDrvList(uint16_t vid, uint16_t pid) { return createList(vid, pid, true); }

int VelkDestroyPhyDrvList(VelkHandle h) { return VelkDestroyDeviceList(h); }

int VelkOpenDevice(VelkHandle h, uint8_t idx) {
    return guarded([&] { return liveDev(h, idx) ? 1 : 0; });
}

int VelkCloseDevice(VelkHandle h, uint8_t idx) {
    return guarded([&] { return (h && h->dev && idx < std::max<size_t>(1, h->lunCount())) ? 1 : 0; });
}

int VelkGetDriveInfo(VelkHandle h, DRIVE_INFO_COMMON** info, uint8_t* count) {
    return guarded([&] {
        Device* d = live(h);
        if (!d || !info || !count || d->hasFault(FaultKind::DriveInfo)) return 0;
        const Config& c = d->config();
        uint8_t block[kEepOff] = {};
        auto* el = reinterpret_cast<DRIVE_INFO_COMMON*>(block);
        uint8_t reported = uint8_t(d->faultValue(FaultKind::LunCount).value_or(uint32_t(c.luns.size())));
        for (size_t i = 0; i < c.luns.size(); ++i) {
            const LunConfig& l = c.luns[i];
            bool in = mediumIn(d, uint8_t(i));
            el[i].DriveLetter = char('D' + i);
            el[i].LunCount = reported;
            el[i].LunIndex = uint8_t(i);
            el[i].MediaFlags = in ? l.slot : 0;
            el[i].DeviceClass = c.deviceClass;
            el[i].Sectors = in ? uint32_t(l.sectors) : 0;
            el[i].BlockLength = l.blockLength;
            el[i].Vid = c.vid;
            el[i].Pid = c.pid;
            el[i].FirmwareInfo = kFwOff;
            el[i].EepRecord = kEepOff;
        }
        el[c.luns.size()].DriveLetter = char(0xFF);
        {
            Device::Lock lk(*d);
            if (!lk || !d->copyOut(block + kFwOff + VELK_FIRMWARE_VERSION_OFFSET, d->rom() + c.codeStart + 0xF8, 4))
                return 0;
        }
        refresh(h->drive, block, kEepOff);
        *info = reinterpret_cast<DRIVE_INFO_COMMON*>(h->drive);
        *count = uint8_t(c.luns.size());
        return 1;
    });
}

int VelkReadCapacity(VelkHandle h, uint8_t idx, uint32_t* sectors, uint32_t* blockLength) {
    return guarded([&] {
        Device* d = liveLun(h, idx);
        if (!d || !sectors || !blockLength) return 0;
        if (!mediumIn(d, idx)) {
            *sectors = 0;
            *blockLength = 0;
            return 0;
        }
        const LunConfig& l = d->config().luns[idx];
        *sectors = uint32_t(l.sectors);
        *blockLength = l.blockLength;
        return 1;
    });
}

int VelkReadLBA(VelkHandle h, uint8_t idx, uint32_t lba, uint16_t count, uint8_t* buf) {
    return guarded([&] {
        lbaDelay(h);
        Device* d = liveLun(h, idx);
        if (!d || !buf || count != 1 || !mediumIn(d, idx)) return 0;
        const LunConfig& l = d->config().luns[idx];
        if (lba >= l.sectors || d->hasFault(FaultKind::LbaRead, idx, lba, 0, 2)) return 0;
        {
            Device::Lock lk(*d);
            if (!lk || !d->readLun(idx, uint64_t(lba) * l.blockLength, buf, l.blockLength)) return 0;
        }
        if (d->hasFault(FaultKind::LbaCorrupt, idx, lba, 0, 2)) {
            buf[0] ^= 0xFF;
            buf[l.blockLength / 2] ^= 0x5A;
        }
        return 1;
    });
}

int VelkWriteLBA(VelkHandle h, uint8_t idx, uint32_t lba, uint16_t count, const uint8_t* buf) {
    return guarded([&] {
        lbaDelay(h);
        Device* d = liveLun(h, idx);
        if (!d || !buf || count != 1 || !mediumIn(d, idx) || d->state()->writeProtect.load()) return 0;
        const LunConfig& l = d->config().luns[idx];
        if (lba >= l.sectors || d->hasFault(FaultKind::LbaWrite, idx, lba, 0, 2)) return 0;
        Device::Lock lk(*d);
        if (!lk) return 0;
        if (d->hasFault(FaultKind::LbaTorn, idx, lba, 0, 2)) {
            // Fails after a partial write: the first half of the sector is new.
            d->removeFault(FaultKind::LbaTorn, idx, lba);
            d->commit(StoreId::Lun0, idx, uint64_t(lba) * l.blockLength, buf, l.blockLength / 2);
            return 0;
        }
        return d->commit(StoreId::Lun0, idx, uint64_t(lba) * l.blockLength, buf, l.blockLength) ? 1 : 0;
    });
}

int VelkGetLunMediaType(VelkHandle h, uint8_t idx, uint8_t* type) {
    return guarded([&] {
        Device* d = liveLun(h, idx);
        if (!d || !type) return 0;
        *type = mediumIn(d, idx) ? d->config().luns[idx].slot : 0;
        return 1;
    });
}

int VelkLogicalFormat(VelkHandle h, uint8_t idx, uint8_t* progress, uint8_t* abort) {
    int rc = guarded([&] {
        Device* d = liveLun(h, idx);
        if (!d || !mediumIn(d, idx) || d->state()->writeProtect.load()) return 0;
        const LunConfig& l = d->config().luns[idx];
        if (l.cdrom) return 0;
        uint64_t bytes = l.sectors * l.blockLength;
        uint32_t total = uint32_t(std::min<uint64_t>(bytes / 512, 0xFFFFFFFFu));
        bool realistic = d->config().realistic;
        int lastPct = 0;
        auto write = [&](uint32_t lba, uint32_t n, const uint8_t* data) {
            if (!d->attached() || d->state()->writeProtect.load()) return false;
            if (!rangeOk(lba, n, total)) return false;
            for (uint32_t i = 0; i < n; ++i)
                if (d->hasFault(FaultKind::LbaWrite, idx, uint32_t((uint64_t(lba) + i) * 512 / l.blockLength), 0, 2))
                    return false;
            Device::Lock lk(*d);
            return lk && d->commit(StoreId::Lun0, idx, uint64_t(lba) * 512, data, size_t(n) * 512);
        };
        auto onProgress = [&](int pct) {
            pct = std::clamp(pct, 0, 100);
            if (realistic && pct > lastPct) sleepMs(int64_t(pct - lastPct) * 30);
            lastPct = std::max(lastPct, pct);
            store(progress, uint8_t(pct));
        };
        auto aborted = [&] { return load(abort) == 1; };
        uint32_t volumeId = uint32_t(nowMs()) * 2654435761u ^ std::hash<std::string>{}(d->name());
        switch (formatFat(total, write, onProgress, aborted, volumeId)) {
        case FormatOutcome::Done: return 1;
        case FormatOutcome::Aborted: return -1;
        default: return 0;
        }
    });
    // Whoever follows the progress byte waits for 100 or an abort: give it
    // 100 on every failure, leave it where it was after an abort.
    if (rc == 1 || rc == 0) store(progress, 100);
    return rc == 1 ? 1 : 0;
}

int VelkSafeRemove(VelkHandle h, uint8_t idx) {
    return guarded([&] {
        Device* d = liveDev(h, idx);
        if (!d) return 0;
        return d->detach(d->config().autoReplugMs) ? 1 : 0;
    });
}

int VelkGetFlashInfo(VelkHandle h, uint8_t idx, _FlashDiskInfo** info) {
    return guarded([&] {
        Device* d = liveDev(h, idx);
        if (!d || !info) return 0;
        const Config& c = d->config();
        alignas(16) static thread_local uint8_t block[kFlashBlock];
        std::memset(block, 0, sizeof block);
        auto* e = reinterpret_cast<_FlashDiskInfo*>(block);
        // A device without NAND has a geometry too: no chips, no pages.
        e[0].ChipCount = c.chips;
        e[0].PageSize = c.chips ? c.pageSize : 0;
        for (uint8_t i = 0; i < c.chips; ++i) {
            e[i].BlockCount = c.blocks[i];
            e[i].PagesPerBlock = c.pagesPerBlock[i];
            e[i].SpareSize = c.spareSize();
        }
        // The CIS block lives in the flash: without NAND there is none
        // (CisParams 0), and nothing can be set in it.
        if (c.chips) {
            uint32_t cisOff = kCisOff;
            std::memcpy(block + VELK_CIS_PARAMS_FIELD, &cisOff, 4);
            Device::Lock lk(*d);
            if (!lk || !d->copyOut(block + kCisOff, d->state()->cis, VELK_CIS_RECORD_SIZE)) return 0;
        }
        refresh(h->flash, block, kFlashBlock);
        h->flashLoaded.store(true);
        *info = reinterpret_cast<_FlashDiskInfo*>(h->flash);
        return 1;
    });
}

int VelkReadPhysical(VelkHandle h, uint8_t idx, uint8_t chip, uint32_t block, uint8_t page, uint8_t* buf) {
    return guarded([&] {
        Device* d = livePage(h, idx, chip, block, page);
        if (!d || !buf || d->hasFault(FaultKind::PageRead, chip, block, page, 3)) return 0;
        charge(h, kPageReadUs);
        const uint64_t off = d->dataOffset(chip, block, page);
        if (d->readErasedUnlocked(off, buf, d->config().pageSize)) return 1;
        Device::Lock lk(*d);
        return lk && d->readNand(off, buf, d->config().pageSize) ? 1 : 0;
    });
}

int VelkWritePhysical(VelkHandle h, uint8_t idx, uint8_t chip, uint32_t block, uint8_t page, const uint8_t* buf) {
    return guarded([&] {
        Device* d = livePage(h, idx, chip, block, page);
        if (!d || !buf) return 0;
        charge(h, kProgramUs);
        Device::Lock lk(*d);
        return lk && d->programNand(d->dataOffset(chip, block, page), buf, d->config().pageSize) ? 1 : 0;
    });
}

int VelkReadRedundant(VelkHandle h, uint8_t idx, uint8_t chip, uint32_t block, uint8_t page, uint8_t* buf) {
    return guarded([&] {
        Device* d = livePage(h, idx, chip, block, page);
        if (!d || !buf || d->hasFault(FaultKind::PageRead, chip, block, page, 3)) return 0;
        charge(h, kSpareReadUs);
        const Config& c = d->config();
        const uint64_t off = d->spareOffset(chip, block, page);
        if (d->readErasedUnlocked(off, buf, c.spareSize())) return 1;
        Device::Lock lk(*d);
        return lk && d->readNand(off, buf, c.spareSize()) ? 1 : 0;
    });
}

int VelkWriteRedundant(VelkHandle h, uint8_t idx, uint8_t chip, uint32_t block, uint8_t page, const uint8_t* buf) {
    return guarded([&] {
        Device* d = livePage(h, idx, chip, block, page);
        if (!d || !buf) return 0;
        charge(h, kProgramUs);
        const Config& c = d->config();
        Device::Lock lk(*d);
        return lk && d->programNand(d->spareOffset(chip, block, page), buf, c.spareSize()) ? 1 : 0;
    });
}

int VelkEraseBlock(VelkHandle h, uint8_t idx, uint8_t chip, uint32_t block) {
    return guarded([&] {
        Device* d = liveNand(h, idx, chip, block);
        if (!d) return 0;
        charge(h, kEraseUs);
        if (d->hasFault(FaultKind::Erase, chip, block, 0, 2)) return 0;
        Device::Lock lk(*d);
        return lk && d->eraseBlock(chip, block) ? 1 : 0;
    });
}

int VelkIsGoodBlock(VelkHandle h, uint8_t idx, uint8_t chip, uint32_t block) {
    return guarded([&] {
        Device* d = liveNand(h, idx, chip, block);
        if (!d) return 0;
        charge(h, kGoodBlockQueryUs);
        if (d->marksErasedUnlocked(chip, block)) return 1;
        Device::Lock lk(*d);
        return lk && !d->blockIsBad(chip, block) ? 1 : 0;
    });
}

int VelkRetirex(VelkHandle h, uint8_t idx, uint8_t chip, uint32_t block) {
    return guarded([&] {
        Device* d = liveNand(h, idx, chip, block);
        if (!d) return 0;
        charge(h, kProgramUs);
        Device::Lock lk(*d);
        return lk && d->writeBadMark(chip, block) ? 1 : 0;
    });
}

int VelkGetLastFormatProgress(VelkHandle h, uint8_t idx, int32_t* a, int32_t* b) {
    return guarded([&] {
        Device* d = liveDev(h, idx);
        if (!d) return 0;
        Device::Lock lk(*d);
        if (!lk) return 0;
        if (a) *a = d->state()->progressA;
        if (b) *b = d->state()->progressB;
        return 1;
    });
}

int VelkSetLastFormatProgress(VelkHandle h, uint8_t idx, int32_t a, int32_t b) {
    return guarded([&] {
        Device* d = liveDev(h, idx);
        if (!d) return 0;
        int32_t pair[2] = {a, b};
        Device::Lock lk(*d);
        return lk && d->commit(StoreId::State, 0, offsetof(State, progressA), reinterpret_cast<const uint8_t*>(pair),
                               sizeof pair)
                   ? 1
                   : 0;
    });
}

int VelkWriteCisBlock(VelkHandle h, uint8_t idx) {
    return guarded([&] {
        Device* d = liveDev(h, idx);
        if (!d || d->config().chips == 0 || !h->flashLoaded.load()) return 0;
        Device::Lock lk(*d);
        if (!lk) return 0;
        d->state()->cis[VELK_CIS_ACCESS_TIME_SEL] = h->flash[kCisOff + VELK_CIS_ACCESS_TIME_SEL];
        d->state()->cis[VELK_CIS_COPY_BACK_OFF] = h->flash[kCisOff + VELK_CIS_COPY_BACK_OFF];
        return 1;
    });
}

int VelkGetUFDStatus(VelkHandle h, uint8_t idx, uint8_t* status) {
    return guarded([&] {
        Device* d = liveDev(h, idx);
        if (!d || !status) return 0;
        *status = d->state()->writeProtect.load() ? 1 : 0;
        return 1;
    });
}

int VelkQueryButtonState(VelkHandle h, uint8_t idx, uint8_t* state) {
    return guarded([&] {
        Device* d = liveDev(h, idx);
        if (!d || !state) return 0;
        auto& presses = d->state()->buttonPresses;
        uint32_t n = presses.load();
        while (n > 0 && !presses.compare_exchange_weak(n, n - 1)) {
        }
        *state = n > 0 ? 1 : 0;
        return 1;
    });
}

int VelkGetFirmwareSize(VelkHandle h, uint8_t idx, uint32_t* start, uint32_t* size) {
    return guarded([&] {
        Device* d = liveDev(h, idx);
        if (!d || !start || !size) return 0;
        *start = d->config().codeStart;
        *size = d->config().codeSize;
        return 1;
    });
}

namespace {

// The ROM bytes at start..start+length that the rom-corrupt fault names read
// back inverted.
void corruptRomRead(const Device* d, uint32_t start, uint32_t length, uint8_t* buf) {
    if (!d->hasFault(FaultKind::RomCorrupt)) return;
    for (uint32_t i = 0; i < length; ++i)
        if (d->hasFault(FaultKind::RomCorrupt, start + i, 0, 0, 1)) buf[i] ^= 0xFF;
}

// One firmware transfer in kSteps chunks, moving the progress byte.
int transfer(VelkHandle h, uint8_t idx, uint32_t length, uint8_t* readTo, const uint8_t* writeFrom,
             uint8_t* progress, uint8_t* status) {
    Device* d = liveDev(h, idx);
    if (!d || length == 0 || (!readTo && !writeFrom)) {
        store(status, 2);
        return 0;
    }
    const Config& c = d->config();
    if (length > c.codeSize) {
        store(status, 2);
        return 0;
    }
    bool failHalf = readTo ? d->hasFault(FaultKind::FwRead) : d->hasFault(FaultKind::FwWrite);
    store(progress, 0);
    uint32_t done = 0;
    for (int step = 1; step <= kSteps; ++step) {
        uint32_t upto = uint32_t(uint64_t(length) * step / kSteps);
        if (failHalf && upto > length / 2) {
            store(status, 2);
            return 0;
        }
        if (!d->attached()) {
            store(status, 2);
            return 0;
        }
        if (upto > done) {
            Device::Lock lk(*d);
            const bool ok = lk && (readTo ? d->copyOut(readTo + done, d->rom() + c.codeStart + done, upto - done)
                                          : romWrite(d, c.codeStart + done, upto - done, writeFrom + done));
            if (!ok) {
                store(status, 2);
                return 0;
            }
            if (readTo) corruptRomRead(d, c.codeStart + done, upto - done, readTo + done);
        }
        done = upto;
        if (c.realistic) sleepMs(30);
        store(progress, uint8_t(step));
    }
    store(status, 1);
    return 1;
}

}  // namespace

int VelkReadFirmware(VelkHandle h, uint8_t idx, uint32_t length, uint8_t* data, uint8_t* progress, uint8_t* status) {
    return guarded([&] { return data ? transfer(h, idx, length, data, nullptr, progress, status) : 0; });
}

int VelkWriteFirmware(VelkHandle h, uint8_t idx, uint32_t length, const uint8_t* data, uint8_t* progress,
                      uint8_t* status) {
    return guarded([&] { return data ? transfer(h, idx, length, nullptr, data, progress, status) : 0; });
}

int VelkReadEEPROM(VelkHandle h, uint8_t idx, uint16_t wordIndex, uint8_t wordCount, uint16_t* words) {
    return guarded([&] {
        Device* d = liveDev(h, idx);
        if (!d || !words || wordCount == 0 || uint32_t(wordIndex) + wordCount > 64) return 0;
        for (uint32_t i = 0; i < wordCount; ++i)
            if (d->hasFault(FaultKind::EepromRead, wordIndex + i, 0, 0, 1)) return 0;
        Device::Lock lk(*d);
        return lk && d->copyOut(words, d->state()->eeprom + wordIndex, size_t(wordCount) * 2) ? 1 : 0;
    });
}

int VelkWriteEEPROM(VelkHandle h, uint8_t idx, uint16_t wordIndex, uint8_t wordCount, const uint16_t* words) {
    return guarded([&] {
        Device* d = liveDev(h, idx);
        if (!d || !words || wordCount == 0 || uint32_t(wordIndex) + wordCount > 64) return 0;
        Device::Lock lk(*d);
        if (!lk) return 0;
        for (uint32_t i = 0; i < wordCount; ++i) {
            if (d->hasFault(FaultKind::EepromWord, wordIndex + i, 0, 0, 1)) return 0;
            if (!d->commit(StoreId::State, 0, offsetof(State, eeprom) + 2 * (wordIndex + i),
                           reinterpret_cast<const uint8_t*>(words + i), 2))
                return 0;
        }
        return 1;
    });
}

int VelkReadEepData(VelkHandle h, uint8_t idx) {
    return guarded([&] {
        Device* d = liveDev(h, idx);
        if (!d || d->hasFault(FaultKind::EepromRead)) return 0;
        uint16_t words[64];
        {
            Device::Lock lk(*d);
            if (!lk || !d->copyOut(words, d->state()->eeprom, sizeof words)) return 0;
        }
        uint8_t rec[VELK_EEP_RECORD_SIZE] = {};
        decodeEeprom(d->config().deviceClass, words, rec);
        refresh(h->eepRecord(), rec, sizeof rec);
        return 1;
    });
}

int VelkWriteEepData(VelkHandle h, uint8_t idx, uint8_t mode) {
    return guarded([&] {
        Device* d = liveDev(h, idx);
        if (!d || (mode != 1 && mode != 2 && mode != 3) || d->hasFault(FaultKind::EepDataWrite)) return 0;
        uint16_t words[64];
        std::fill(std::begin(words), std::end(words), 0xFFFF);
        if (!encodeEeprom(d->config().deviceClass, h->eepRecord(), words)) return 0;
        Device::Lock lk(*d);
        if (!lk) return 0;
        if (mode == 2) {
            uint8_t bytes[128];
            for (int i = 0; i < 64; ++i) {
                bytes[2 * i] = uint8_t(words[i]);
                bytes[2 * i + 1] = uint8_t(words[i] >> 8);
            }
            return d->commit(StoreId::Rom, 0, d->config().eepWindow, bytes, sizeof bytes) ? 1 : 0;
        }
        return d->commit(StoreId::State, 0, offsetof(State, eeprom), reinterpret_cast<const uint8_t*>(words), sizeof words)
                   ? 1
                   : 0;
    });
}

int VelkReadEepDataFromExternalROM(VelkHandle h, uint8_t idx, uint32_t length, uint8_t* buf) {
    return guarded([&] {
        Device* d = liveDev(h, idx);
        if (!d || !buf || length == 0 || length > 128) return 0;
        Device::Lock lk(*d);
        return lk && d->copyOut(buf, d->rom() + d->config().eepWindow, length) ? 1 : 0;
    });
}

int VelkReadExternalROM(VelkHandle h, uint8_t idx, uint32_t start, uint32_t length, uint8_t* buf) {
    return guarded([&] {
        Device* d = liveDev(h, idx);
        if (!d || !buf || length == 0 || !rangeOk(start, length, d->config().romSize)) return 0;
        if (d->config().realistic) sleepMs(500);
        Device::Lock lk(*d);
        if (!lk || !d->copyOut(buf, d->rom() + start, length)) return 0;
        corruptRomRead(d, start, length, buf);
        return 1;
    });
}

int VelkWriteExternalROM(VelkHandle h, uint8_t idx, uint32_t start, uint32_t length, const uint8_t* data) {
    return guarded([&] {
        Device* d = liveDev(h, idx);
        if (!d || !data || length == 0 || !rangeOk(start, length, d->config().romSize)) return 0;
        if (d->hasFault(FaultKind::RomWrite)) return 0;
        if (d->config().realistic) sleepMs(1000);
        Device::Lock lk(*d);
        return lk && romWrite(d, start, length, data) ? 1 : 0;
    });
}

int VelkEraseExternalROM(VelkHandle h, uint8_t idx) {
    return guarded([&] {
        Device* d = liveDev(h, idx);
        if (!d) return 0;
        if (d->config().realistic) sleepMs(300);
        {
            std::vector<uint8_t> ff(d->config().romSize, 0xFF);
            Device::Lock lk(*d);
            if (!lk || !d->commit(StoreId::Rom, 0, 0, ff.data(), ff.size())) return 0;
        }
        if (d->hasFault(FaultKind::NoDrop)) return 1;  // erased, but no re-enumeration at all
        return d->detach(d->hasFault(FaultKind::NoReenum) ? -1 : d->config().reenumMs) ? 1 : 0;
    });
}

}  // extern "C"
