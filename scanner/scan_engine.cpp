#include "scan_engine.h"

#include "scan_log.h"

#include <cstdio>
#include <cstring>

namespace scanner {

namespace {

// Running bad totals at the end of each zone, modulo 256. The zone count of a
// chip is taken modulo 256 when the zone lines are written, so 256 entries
// hold every zone that can get a line; ends of zones beyond are not stored.
class ZoneTotals {
public:
    void store(uint32_t zone, uint32_t badTotal) {
        if (zone < totals_.size()) totals_[zone] = static_cast<uint8_t>(badTotal);
    }
    uint8_t at(uint32_t zone) const { return zone < totals_.size() ? totals_[zone] : 0; }

private:
    std::array<uint8_t, 256> totals_{};
};

}  // namespace

ScanResult ScanEngine::run(const std::string& logPath, ScanOptions opt) {
    ScanResult r;
    Geometry g;
    if (!dev_.geometry(g)) {
        r.outcome = ScanOutcome::NoGeometry;
        return r;
    }
    const uint8_t chips = g.chipCount();
    r.chipCount = chips;
    r.pageSize = g.pageSize;
    r.badPerChip.assign(chips, 0);
    uint64_t pagesAll = 0;   // progress denominator, free of 32-bit wrap-around
    for (const ChipGeometry& c : g.chips) {
        r.totalBlocks += c.blockCount;
        r.totalPages += c.blockCount * uint32_t(c.pagesPerBlock);
        pagesAll += uint64_t(c.blockCount) * c.pagesPerBlock;
    }

    ScanLogWriter log;
    if (!log.create(logPath)) {
        r.outcome = ScanOutcome::LogCreateFailed;
        return r;
    }
    log.header(g.pageSize, chips, r.totalBlocks, r.totalPages);

    const bool erasing = opt.eraseAll || opt.eraseGood;
    if (erasing) {
        dev_.open();
        dev_.touchFormatProgress();
        dev_.close();
    }

    // Filled once: a failed read writes no line, so stale bytes never show.
    uint8_t spare[kSpareBufferSize];
    std::memset(spare, 0xFF, sizeof spare);
    ZoneTotals zones;
    uint64_t pagesDone = 0;
    int shown = -1;

    // Ends the scan as Stop does: the log keeps what was written so far.
    auto stop = [&](ScanOutcome outcome) {
        dev_.close();
        r.logWriteFailed = !log.close();
        r.outcome = outcome;
        return r;
    };

    for (uint8_t c = 0; c < chips; ++c) {
        const ChipGeometry& chip = g.chips[c];
        log.chipStart(c, chip.pagesPerBlock);
        if (!dev_.open()) {   // gone before the chip's first block: nothing to close
            r.logWriteFailed = !log.close();
            r.outcome = ScanOutcome::DeviceRemoved;
            return r;
        }
        for (uint32_t b = 0; b < chip.blockCount; ++b) {
            if (ctl_.stopRequested()) return stop(ScanOutcome::Stopped);
            bool bad = false, failed = false;
            log.blockLine(c, b);
            for (uint8_t page = 0; page < 2; ++page) {
                if (!dev_.isGoodBlock(c, b)) bad = true;
                if (dev_.readSpare(c, b, page, spare)) log.spareLine(spare);
                else failed = true;
            }
            // A device that left the bus fails every call: its blocks are
            // not bad, they were never read. The record is taken back, so
            // the log ends with the last block really read.
            if ((bad || failed) && !dev_.present()) {
                log.dropBlockRecord();
                return stop(ScanOutcome::DeviceRemoved);
            }
            if (bad) {
                ++r.badPerChip[c];
                ++r.badTotal;
            }
            log.statusLine(bad);
            if (opt.eraseAll || (opt.eraseGood && !bad)) dev_.eraseBlock(c, b);

            // Position from the pages of the blocks finished before this one.
            const int percent = pagesAll ? int(pagesDone * 100 / pagesAll) : 0;
            if (percent != shown) {
                ctl_.progress(percent);
                shown = percent;
            }
            pagesDone += chip.pagesPerBlock;

            if (b > 0 && (b + 1) % kBlocksPerZone == 0) zones.store((b + 1) / kBlocksPerZone - 1, r.badTotal);
        }
        dev_.close();
        const uint8_t zoneCount = static_cast<uint8_t>(chip.blockCount / kBlocksPerZone);
        for (uint32_t z = 0; z < zoneCount; ++z) log.zoneLine(c, z, zones.at(z));
    }

    if (erasing) {
        dev_.open();
        dev_.setFormatProgress(chips, 0);
        dev_.close();
    }
    log.closingLine(r.badTotal);
    r.logWriteFailed = !log.close();
    r.outcome = ScanOutcome::Completed;
    return r;
}

std::string summaryText(const ScanResult& r) {
    char line[64];
    std::string s;
    std::snprintf(line, sizeof line, "Flash quantity = %u\n", unsigned(r.chipCount));
    s += line;
    std::snprintf(line, sizeof line, "Total   blocks = 0x%X\n", unsigned(r.totalBlocks));
    s += line;
    std::snprintf(line, sizeof line, "Total   pages  = 0x%X\n", unsigned(r.totalPages));
    s += line;
    std::snprintf(line, sizeof line, "Bytes per page=%u\n", unsigned(r.pageSize));
    s += line;
    if (r.badTotal) {
        std::snprintf(line, sizeof line, "Bad   blocks   = %u\n", unsigned(r.badTotal));
        s += line;
    } else {
        s += "All blocks are good!";
    }
    return s;
}

}  // namespace scanner
