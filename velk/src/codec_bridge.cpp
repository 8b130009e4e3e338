// codec_bridge.cpp - the codec library behind the EEP data and format calls.
#include "sim.h"

#include <algorithm>
#include <cstring>

#if defined(VELK_HAVE_CODEC) && __has_include("fat_format.h")
#include "fat_format.h"
#define VELK_FAT 1
#endif
#if defined(VELK_HAVE_CODEC) && __has_include("eep_codec.h")
#include "eep_codec.h"
#define VELK_EEP 1
#endif

namespace velk::sim {

bool encodeEeprom(uint8_t deviceClass, const uint8_t* record, uint16_t words[64]) {
#if defined(VELK_EEP)
    return velk::codec::encodeEeprom(deviceClass, record, words);
#else
    // Stand-in while the codec is missing: IDs only.
    std::fill(words, words + 64, 0xFFFF);
    std::memcpy(&words[0], record + 4, 2);
    std::memcpy(&words[1], record + 6, 2);
    (void)deviceClass;
    return true;
#endif
}

void decodeEeprom(uint8_t deviceClass, const uint16_t words[64], uint8_t* record) {
#if defined(VELK_EEP)
    velk::codec::decodeEeprom(deviceClass, words, record);
#else
    (void)deviceClass;
    uint32_t valid = words[0] != 0xFFFF && words[0] != 0 ? 1 : 0;
    std::memcpy(record, &valid, 4);
    std::memcpy(record + 4, &words[0], 2);
    std::memcpy(record + 6, &words[1], 2);
#endif
}

FormatOutcome formatFat(uint32_t totalSectors, const std::function<bool(uint32_t, uint32_t, const uint8_t*)>& write,
                        const std::function<void(int)>& progress, const std::function<bool()>& aborted,
                        uint32_t volumeId) {
#if defined(VELK_FAT)
    switch (velk::codec::formatFat(totalSectors, write, progress, aborted, volumeId)) {
    case velk::codec::FormatResult::Done: return FormatOutcome::Done;
    case velk::codec::FormatResult::Aborted: return FormatOutcome::Aborted;
    default: return FormatOutcome::Failed;
    }
#else
    (void)totalSectors;
    (void)write;
    (void)volumeId;
    progress(0);
    if (aborted()) return FormatOutcome::Aborted;
    progress(100);
    return FormatOutcome::Failed;
#endif
}

}  // namespace velk::sim
