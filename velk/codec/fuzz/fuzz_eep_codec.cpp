// Decodes arbitrary EEPROM images under every class layout; a record marked
// valid must encode to an image that decodes and encodes to itself.
#include "eep_codec.h"

#include <cstdlib>
#include <cstring>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 129)
        return 0;
    const uint8_t deviceClass = data[0];
    uint16_t words[64];
    for (size_t i = 0; i < 64; ++i)
        words[i] = uint16_t(data[1 + 2 * i] | data[2 + 2 * i] << 8);
    uint8_t record[velk::codec::kEepRecordSize];
    velk::codec::decodeEeprom(deviceClass, words, record);
    if (record[0] != 1)
        return 0;
    // Encoding normalises (padding, string order); after one cycle the image
    // must be a fixed point of decode + encode.
    uint16_t once[64], twice[64];
    if (!velk::codec::encodeEeprom(deviceClass, record, once))
        return 0;  // a padded string may no longer fit
    uint8_t back[velk::codec::kEepRecordSize];
    velk::codec::decodeEeprom(deviceClass, once, back);
    if (back[0] != 1 || !velk::codec::encodeEeprom(deviceClass, back, twice) ||
        std::memcmp(once, twice, sizeof once) != 0)
        std::abort();
    return 0;
}
