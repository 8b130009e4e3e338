// scan_engine.h - the bad-block scan: every block of every flash chip is
// asked twice whether it is good, the spare areas of its pages 0 and 1 are
// read, it is optionally erased, and everything goes to the scan log.
//
// The engine knows nothing of dialogs: the device comes in as a FlashDevice
// (the device library behind it in the program, a fake in tests) and the
// dialog's stop flag and progress bar as a ScanControl.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace scanner {

// Spare-area buffer handed to the device: room for the 64-byte spare areas of
// large-page flash (16 bytes at 512-byte pages). The log shows the first 16.
inline constexpr size_t kSpareBufferSize = 64;
// Blocks per zone; zones are a fixed size of the scanner, not of the flash.
inline constexpr uint32_t kBlocksPerZone = 1024;

struct ChipGeometry {
    uint32_t blockCount = 0;
    uint16_t pagesPerBlock = 0;
};

struct Geometry {
    uint16_t pageSize = 0;
    std::vector<ChipGeometry> chips;   // one per chip, chip 0 first
    uint8_t chipCount() const { return static_cast<uint8_t>(chips.size()); }
};

// The device operations a scan uses, all on LUN 0 of the scanner's device list.
class FlashDevice {
public:
    virtual ~FlashDevice() = default;
    // Queries the geometry again (the library may have replaced it). False
    // when the query failed: there is nothing to scan.
    virtual bool geometry(Geometry& out) = 0;
    // False when the device could not be opened: it has left the bus.
    virtual bool open() = 0;
    virtual void close() = 0;
    // Whether the device is still on the bus. Asked after a block whose
    // query or read failed, to tell a removed device (every call fails) from
    // a failing block.
    virtual bool present() = 0;
    // False for a bad block and for a failed query (the two look the same).
    virtual bool isGoodBlock(uint8_t chip, uint32_t block) = 0;
    // Reads the spare area of a page into buf (kSpareBufferSize bytes). False
    // when the read failed.
    virtual bool readSpare(uint8_t chip, uint32_t block, uint8_t page, uint8_t* buf) = 0;
    virtual void eraseBlock(uint8_t chip, uint32_t block) = 0;
    // Reads the stored format-progress pair without keeping it (before an
    // erasing scan).
    virtual void touchFormatProgress() = 0;
    // Stores the format-progress pair (after an erasing scan).
    virtual void setFormatProgress(int32_t a, int32_t b) = 0;
};

// The dialog's side of a running scan.
class ScanControl {
public:
    virtual ~ScanControl() = default;
    // Polled before every block; true ends the scan at once.
    virtual bool stopRequested() = 0;
    // Progress bar position, 0..100; called only when the position changes.
    virtual void progress(int percent) = 0;
};

struct ScanOptions {
    bool eraseAll = false;   // erase every block, bad ones included
    bool eraseGood = false;  // erase only blocks both queries called good
};

enum class ScanOutcome {
    Completed,        // closing line written: show the summary
    Stopped,          // stop requested: the log ends after the last complete record
    DeviceRemoved,    // the device left the bus: stopped as by Stop, the log ends
                      // with the last block really read
    NoGeometry,       // the geometry query failed: no log, no device call
    LogCreateFailed,  // the log could not be created: no device call
};

struct ScanResult {
    ScanOutcome outcome = ScanOutcome::Completed;
    bool logWriteFailed = false;  // the log was created but could not be written completely
    uint8_t chipCount = 0;
    uint16_t pageSize = 0;
    uint32_t totalBlocks = 0;
    uint32_t totalPages = 0;
    uint32_t badTotal = 0;
    std::vector<uint32_t> badPerChip;   // bad blocks found on each chip
};

class ScanEngine {
public:
    ScanEngine(FlashDevice& device, ScanControl& control) : dev_(device), ctl_(control) {}

    // One scan into the log at logPath (created anew).
    ScanResult run(const std::string& logPath, ScanOptions options);

private:
    FlashDevice& dev_;
    ScanControl& ctl_;
};

// The text of the "Scan Status" message after a completed scan.
std::string summaryText(const ScanResult& r);

}  // namespace scanner
