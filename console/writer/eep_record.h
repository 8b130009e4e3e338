// eep_record.h - the device library's record of decoded EEPROM settings
// (behind the EepRecord offset of the drive information), filled from an EEP
// file before "&Write to EEPROM" and read back into the dialog's fields by
// "&Read EEP".
//
// Layout by device class (strings are zero-terminated 64-byte fields, card
// names 8-byte slots, 16-bit numbers low byte first):
//
//   offset  IDE 00h-0Fh        reader 10h-1Fh     reader 14h         flash disk 20h-2Fh
//   0       valid flag (32 bits) in every class
//   4       vendor ID          vendor ID          vendor ID          vendor ID
//   6       ATA product ID     product ID         product ID         product ID
//   8       ATAPI product ID   word-2 high        word-2 high        word-2 high
//   9                          card type          word-2 low         Config1
//   10      word-2 high        icon number        word-3 high        vendor string
//   11      initial delay      Config1            Config1
//   12      Config1            icon masks 12-17   vendor string
//   13      Config2
//   14      vendor string
//   strings product 78         vendor 18          product 76         product 74
//           interface 142      product 82         interface 140      interface 138
//           serial 206         interface 146      serial 204         serial 202
//           spare 270          serial 210         inquiry vendor 268 inquiry vendor 266
//                              card names 274+8i  inquiry product 332 inquiry product 330
//                              spare 338          spare 396
//
// Classes 30h and above carry the valid flag, the vendor ID, the product ID
// and the word-2 high setting only.
#pragma once

#include <cstdint>

#include "eep_types.h"

namespace writer {

inline constexpr int kRecordSize = 512;    // VELK_EEP_RECORD_SIZE
inline constexpr int kStringField = 64;
inline constexpr int kCardNameSlot = 8;
inline constexpr int kCardNameSlots = 8;

// Fills the whole record (kRecordSize bytes) for the device class: valid flag
// 1, the numbers from the file's settings, the strings as text (cut to their
// fields), the spare field empty. Card names go into the slots of icons 0 to
// the icon display number.
void fillEepRecord(uint8_t deviceClass, const eep::Fields& fields, const eep::Strings& strings,
                   uint8_t* record);

// The valid flag of a record.
uint32_t recordValid(const uint8_t* record);

// What "&Read EEP" puts into the dialog's fields from a record: the vendor
// ID (and from class 10h on the product ID) as four upper-case hexadecimal
// digits, single bytes as two, strings as text, the icon boxes of icons 0 to
// the icon display number from their masks.
eep::FieldUpdate fieldsFromRecord(uint8_t deviceClass, const uint8_t* record);

}  // namespace writer
