// eep_codec.h - the controller's 93C46 EEPROM image and the settings record.
//
// The EEPROM holds 64 16-bit words:
//   word 0      vendor ID
//   word 1      product ID (IDE bridge: ATA product ID)
//   word 2      high byte: word-2 high setting; low byte: card type (readers),
//               initial delay (IDE bridges), word-2 low setting (reader 14h),
//               0 otherwise
//   word 3      readers: low byte icon display number, high byte position of
//               the card names; reader 14h: high byte the word-3 high setting;
//               IDE bridges: high byte ATAPI product ID low byte, low byte
//               Config2; 0 otherwise
//   word 4      string positions: vendor (low byte), product (high byte)
//   word 5      string positions: serial (low byte), interface (high byte)
//   word 6      readers: icon 0 (low) and icon 1 (high) card masks; flash disks
//               and reader 14h: inquiry vendor (low) and inquiry product (high)
//               positions; IDE bridges: Config1 in the low byte
//   words 7-8   readers: card masks of icons 2 to 5 (low byte first); flash
//               disks: Config1 in the low byte of word 7
//   word 9      Config1 in the low byte (every class except 30h and up)
//   words 10-62 the strings, in the order vendor, product, interface, serial,
//               inquiry vendor, inquiry product, card names; 0000h after them
//   word 63     checksum word: low byte 00h, high byte (AAh + the sum of the
//               low and high bytes of words 0 to 62) mod 256
//
// Vendor, product, interface and serial strings are USB string descriptors:
// a header word 03xxh with xx = 2L+2, then one word per character in its low
// byte. A vendor, product or interface text whose length leaves 3 on division
// by 4 gets one space appended. The inquiry vendor and product texts are cut
// or space-padded to 8 and 16 characters and packed two characters a word
// (first in the low byte). Card names, one for each icon from 0 to the icon
// display number, are cut or space-padded to 4 characters and packed likewise,
// 2 words a name. A position of 0 means the string is absent (empty text).
// Classes 30h and up carry only words 0, 1, the high byte of word 2 and the
// checksum word.
//
// The settings record (kEepRecordSize bytes) by device class: valid flag u32 at
// 0, vendor ID u16 at 4, then
//   IDE bridge 00h-0Fh:  ATA PID u16 @6, ATAPI PID u16 @8, word-2 high @10,
//                        initial delay @11, Config1 @12, Config2 @13, strings
//                        vendor @14, product @78, interface @142, serial @206,
//                        spare @270
//   reader 10h-1Fh:      PID u16 @6, word-2 high @8, card type @9, icon display
//                        number @10, Config1 @11, icon card masks @12-17,
//                        strings vendor @18, product @82, interface @146, serial
//                        @210, card names @274 + 8*i (8 bytes each, i < 8),
//                        spare @338
//   reader 14h:          PID u16 @6, word-2 high @8, word-2 low @9, word-3 high
//                        @10, Config1 @11, strings vendor @12, product @76,
//                        interface @140, serial @204, inquiry vendor @268,
//                        inquiry product @332, spare @396
//   flash disk 20h-2Fh:  PID u16 @6, word-2 high @8, Config1 @9, strings vendor
//                        @10, product @74, interface @138, serial @202,
//                        inquiry vendor @266, inquiry product @330
//   30h and up:          PID u16 @6, word-2 high @8
// Strings are zero-terminated 64-byte fields (card names: 8 bytes); spare
// fields stay empty. Multi-byte numbers are little-endian.
#pragma once

#include <cstddef>
#include <cstdint>

namespace velk::codec {

inline constexpr size_t kEepRecordSize = 512;
inline constexpr size_t kEepWords = 64;
// Index of the checksum word in the image.
inline constexpr size_t kEepChecksumIndex = 63;

// Builds the 64-word image from the record of the given device class. Returns
// false, leaving words untouched, when the strings do not fit in the image or
// when an IDE bridge's ATAPI product ID does not share its high byte with the
// ATA product ID (the EEPROM keeps only its low byte).
bool encodeEeprom(uint8_t deviceClass, const uint8_t* record, uint16_t words[64]);

// Fills all kEepRecordSize bytes of the record from the image. The valid flag
// becomes 1 only for a consistent image: right checksum, every string position
// inside the string area, descriptor headers of type 3 with an even length of
// at least 4 whose characters are nonzero single bytes. For any other image,
// erased ones (all 0000h or all FFFFh) included, the record is all zeros.
void decodeEeprom(uint8_t deviceClass, const uint16_t words[64], uint8_t* record);

// Returns word c of the image with its high byte set to the checksum of words
// 0 to c-1 and the low byte of word c: (AAh + lo(c) + the sum of lo(k) + hi(k)
// over k < c) mod 256.
uint16_t eepChecksumWord(const uint16_t* words, size_t c);

}  // namespace velk::codec
