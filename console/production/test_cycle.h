// test_cycle.h - one cycle of the read/write test on one sector: save,
// pattern write, read-back compare, write-back; the patterns; the test's
// pseudo-random sector choice.
#pragma once

#include <cstdint>

#include "console/production/restore_journal.h"
#include "velk/include/velk.h"

namespace production {

inline constexpr size_t kSectorBytes = 512;

// The pattern of cycle i (counted from 0 within a LUN): every 32-bit word
// 00000000h, 55555555h, AAAAAAAAh, FFFFFFFFh for i mod 4 = 0, 1, 2, 3.
uint32_t patternWord(uint32_t cycle);
void fillPattern(uint8_t* sector, uint32_t cycle);

// The test's linear congruential generator: state = state * 214013 +
// 2531011 (mod 2^32), output bits 16 to 30 of the new state (0 to 32767).
class TestRandom {
public:
    explicit TestRandom(uint32_t seed = 0) : state_(seed) {}
    void seed(uint32_t s) { state_ = s; }
    int next()
    {
        state_ = state_ * 214013u + 2531011u;
        return int((state_ >> 16) & 0x7FFF);
    }

private:
    uint32_t state_;
};

enum class CycleResult {
    Passed,
    SaveReadFailed,       // the sector could not be read: nothing written
    NoJournalRoom,        // the restore journal is full: nothing written
    PatternWriteFailed,   // the saved contents were written back
    ReadBackFailed,
    Mismatch,
    WriteBackFailed,      // the saved contents could not be put back (the
                          // journal keeps them for the next start)
};

class SectorCycle {
public:
    SectorCycle(VelkHandle h, RestoreJournal& journal) : h_(h), journal_(journal) {}

    // One cycle on LBA `lba` of LUN `lun` (whose capacity is `capacity`
    // sectors, as the journal records it). The saved contents go into the
    // journal before the pattern is written and leave it once they are back.
    CycleResult run(uint8_t lun, uint32_t capacity, uint32_t lba, uint32_t cycle);

private:
    // The saved contents back on the sector: written, or already there.
    bool putBack(uint8_t lun, uint32_t lba);

    VelkHandle h_;
    RestoreJournal& journal_;
    uint8_t pattern_[kSectorBytes];
    uint8_t save_[kSectorBytes];
    uint8_t readBack_[kSectorBytes];
};

}  // namespace production
