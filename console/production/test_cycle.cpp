#include "test_cycle.h"

#include <cstring>

namespace production {

uint32_t patternWord(uint32_t cycle)
{
    static const uint32_t words[4] = {0x00000000u, 0x55555555u, 0xAAAAAAAAu, 0xFFFFFFFFu};
    return words[cycle % 4];
}

void fillPattern(uint8_t* sector, uint32_t cycle)
{
    const uint32_t w = patternWord(cycle);
    for (size_t i = 0; i < kSectorBytes; i += 4)
        std::memcpy(sector + i, &w, 4);
}

bool SectorCycle::putBack(uint8_t lun, uint32_t lba)
{
    if (VelkWriteLBA(h_, lun, lba, 1, save_))
        return true;
    // The write failed: the sector may still hold its old contents (a write
    // refused before it changed anything).
    return VelkReadLBA(h_, lun, lba, 1, readBack_) && std::memcmp(readBack_, save_, kSectorBytes) == 0;
}

CycleResult SectorCycle::run(uint8_t lun, uint32_t capacity, uint32_t lba, uint32_t cycle)
{
    fillPattern(pattern_, cycle);
    if (!VelkReadLBA(h_, lun, lba, 1, save_))
        return CycleResult::SaveReadFailed;
    const int slot = journal_.record(lun, capacity, lba, save_);
    if (slot < 0)
        return CycleResult::NoJournalRoom;
    if (!VelkWriteLBA(h_, lun, lba, 1, pattern_)) {
        // A failed write may have changed the sector all the same.
        if (putBack(lun, lba))
            journal_.clear(slot);
        return CycleResult::PatternWriteFailed;
    }
    const bool readOk = VelkReadLBA(h_, lun, lba, 1, readBack_) != 0;
    const bool same = readOk && std::memcmp(readBack_, pattern_, kSectorBytes) == 0;
    const bool back = putBack(lun, lba);
    if (back)
        journal_.clear(slot);
    if (!readOk)
        return CycleResult::ReadBackFailed;
    if (!same)
        return CycleResult::Mismatch;
    return back ? CycleResult::Passed : CycleResult::WriteBackFailed;
}

}  // namespace production
