// records.h - read the device library's records without pointer arithmetic.
//
// The drive-information array and the flash-geometry record are owned by the
// device library; their "pointer" fields are byte offsets from the first
// element/entry (see velk.h). These views resolve them. A view does not own
// anything: refresh it by querying the library again after a call that may
// replace the record's contents.
#pragma once

#include <velk.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <utility>

namespace device {

// The DRIVE_INFO_COMMON array of one device: count elements plus the 0xFF end
// marker. An empty view (null base) answers 0 / nullptr everywhere.
class DriveInfo {
public:
    DriveInfo() = default;
    DriveInfo(DRIVE_INFO_COMMON* base, uint8_t count) : base_(base), count_(count) {}

    // Queries the library; an empty view when the query fails.
    static DriveInfo query(VelkHandle h) {
        DRIVE_INFO_COMMON* base = nullptr;
        uint8_t count = 0;
        if (!h || !VelkGetDriveInfo(h, &base, &count) || !base) return {};
        return DriveInfo(base, count);
    }

    bool valid() const { return base_ != nullptr; }
    uint8_t count() const { return count_; }  // the library's out-count
    DRIVE_INFO_COMMON* base() const { return base_; }
    const DRIVE_INFO_COMMON* element(uint8_t i) const { return base_ ? base_ + i : nullptr; }

    char driveLetter(uint8_t i) const { return base_ ? base_[i].DriveLetter : char(0xFF); }
    uint8_t mediaFlags(uint8_t i) const { return base_ ? base_[i].MediaFlags : 0; }
    // Taken from element 0, as the device reports it.
    uint8_t lunCount() const { return base_ ? base_[0].LunCount : 0; }
    uint8_t deviceClass() const { return base_ ? base_[0].DeviceClass : 0; }
    // The device is ready when the LUN count it reports equals the out-count.
    bool ready() const { return base_ && lunCount() == count_; }

    // Number of elements before the first 0xFF drive letter (bounded by 255).
    uint8_t walkToEndMarker() const {
        if (!base_) return 0;
        uint8_t n = 0;
        while (n < 255 && static_cast<uint8_t>(base_[n].DriveLetter) != 0xFF) ++n;
        return n;
    }

    // Firmware record of element i; bytes 32..35 hold the version characters.
    const uint8_t* firmwareInfo(uint8_t i = 0) const { return resolve(base_ ? base_[i].FirmwareInfo : 0); }
    // The four version bytes of element i (zeros when there is no record).
    void firmwareVersion(uint8_t out[4], uint8_t i = 0) const {
        const uint8_t* fw = firmwareInfo(i);
        if (fw)
            std::memcpy(out, fw + VELK_FIRMWARE_VERSION_OFFSET, 4);
        else
            std::memset(out, 0, 4);
    }
    // Decoded EEPROM settings of element i (VELK_EEP_RECORD_SIZE bytes), writable:
    // VelkWriteEepData encodes the EEPROM from it.
    uint8_t* eepRecord(uint8_t i = 0) const { return resolve(base_ ? base_[i].EepRecord : 0); }
    // The 32-bit valid flag at offset 0 of the EEP record.
    uint32_t eepValid(uint8_t i = 0) const {
        const uint8_t* r = eepRecord(i);
        uint32_t v = 0;
        if (r) std::memcpy(&v, r, 4);
        return v;
    }

private:
    uint8_t* resolve(uint32_t offset) const {
        return (base_ && offset) ? reinterpret_cast<uint8_t*>(base_) + offset : nullptr;
    }
    DRIVE_INFO_COMMON* base_ = nullptr;
    uint8_t count_ = 0;
};

// The _FlashDiskInfo record: entry n describes chip n.
class FlashInfo {
public:
    FlashInfo() = default;
    explicit FlashInfo(_FlashDiskInfo* base) : base_(base) {}

    static FlashInfo query(VelkHandle h, uint8_t idx = 0) {
        _FlashDiskInfo* base = nullptr;
        if (!h || !VelkGetFlashInfo(h, idx, &base) || !base) return FlashInfo();
        return FlashInfo(base);
    }

    bool valid() const { return base_ != nullptr; }
    _FlashDiskInfo* base() const { return base_; }

    // Entry 0 only.
    uint8_t chipCount() const { return base_ ? base_[0].ChipCount : 0; }
    uint16_t pageSize() const { return base_ ? base_[0].PageSize : 0; }
    // Spare bytes per page: 16 at 512-byte pages, else 64.
    uint16_t spareSize() const { return pageSize() == 512 ? 16 : 64; }

    // Entry `chip` (4116 bytes after the previous one).
    uint32_t blockCount(uint8_t chip) const { return base_ ? entry(chip)->BlockCount : 0; }
    uint16_t pagesPerBlock(uint8_t chip) const { return base_ ? entry(chip)->PagesPerBlock : 0; }

    // The CIS parameter record (VELK_CIS_RECORD_SIZE bytes) that VelkWriteCisBlock
    // stores; the pointer lies at byte 32936 of the record.
    uint8_t* cisParams() const {
        if (!base_) return nullptr;
        uint32_t off = 0;
        std::memcpy(&off, reinterpret_cast<const uint8_t*>(base_) + VELK_CIS_PARAMS_FIELD, 4);
        return off ? reinterpret_cast<uint8_t*>(base_) + off : nullptr;
    }
    void setAccessTimeSel(uint8_t v) const { if (uint8_t* c = cisParams()) c[VELK_CIS_ACCESS_TIME_SEL] = v; }
    void setCopyBackOff(uint8_t v) const { if (uint8_t* c = cisParams()) c[VELK_CIS_COPY_BACK_OFF] = v; }
    uint8_t accessTimeSel() const { const uint8_t* c = cisParams(); return c ? c[VELK_CIS_ACCESS_TIME_SEL] : 0; }
    uint8_t copyBackOff() const { const uint8_t* c = cisParams(); return c ? c[VELK_CIS_COPY_BACK_OFF] : 0; }

private:
    const _FlashDiskInfo* entry(uint8_t chip) const {
        return reinterpret_cast<const _FlashDiskInfo*>(reinterpret_cast<const uint8_t*>(base_) +
                                                       size_t(chip) * sizeof(_FlashDiskInfo));
    }
    _FlashDiskInfo* base_ = nullptr;
};

// Owns a device list handle (VelkCreateDeviceList or VelkCreatePhyDrvList) and
// destroys it with the matching call. Movable, not copyable.
class List {
public:
    enum class Kind { Device, PhyDrv };
    List() = default;
    explicit List(VelkHandle h, Kind kind = Kind::Device) : h_(h), kind_(kind) {}
    ~List() { reset(); }
    List(List&& o) noexcept : h_(std::exchange(o.h_, nullptr)), kind_(o.kind_) {}
    List& operator=(List&& o) noexcept {
        if (this != &o) {
            reset();
            h_ = std::exchange(o.h_, nullptr);
            kind_ = o.kind_;
        }
        return *this;
    }
    List(const List&) = delete;
    List& operator=(const List&) = delete;

    static List devices(uint16_t vid = 0, uint16_t pid = 0, int mode = 0) {
        return List(VelkCreateDeviceList(vid, pid, mode), Kind::Device);
    }
    static List phyDrives(uint16_t vid = 0, uint16_t pid = 0) {
        return List(VelkCreatePhyDrvList(vid, pid), Kind::PhyDrv);
    }

    VelkHandle get() const { return h_; }
    explicit operator bool() const { return h_ != nullptr; }
    VelkHandle release() { return std::exchange(h_, nullptr); }
    void reset() {
        if (!h_) return;
        if (kind_ == Kind::PhyDrv)
            VelkDestroyPhyDrvList(h_);
        else
            VelkDestroyDeviceList(h_);
        h_ = nullptr;
    }

private:
    VelkHandle h_ = nullptr;
    Kind kind_ = Kind::Device;
};

// Opens idx on construction and closes it on destruction.
class OpenScope {
public:
    OpenScope(VelkHandle h, uint8_t idx) : h_(h), idx_(idx), ok_(h && VelkOpenDevice(h, idx)) {}
    ~OpenScope() { if (h_) VelkCloseDevice(h_, idx_); }
    OpenScope(const OpenScope&) = delete;
    OpenScope& operator=(const OpenScope&) = delete;
    bool ok() const { return ok_; }

private:
    VelkHandle h_;
    uint8_t idx_;
    bool ok_;
};

}  // namespace device
