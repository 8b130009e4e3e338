#include "eep_codec.h"

#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <string>
#include <vector>

using namespace velk::codec;

namespace {

using Record = std::array<uint8_t, kEepRecordSize>;
using Image = std::array<uint16_t, 64>;

void put16(Record& r, size_t off, uint16_t v) {
    r[off] = uint8_t(v);
    r[off + 1] = uint8_t(v >> 8);
}
uint16_t get16(const Record& r, size_t off) { return uint16_t(r[off] | r[off + 1] << 8); }
void putText(Record& r, size_t off, const std::string& s) { std::memcpy(&r[off], s.data(), s.size()); }
std::string text(const Record& r, size_t off, size_t width = 64) {
    const char* p = reinterpret_cast<const char*>(&r[off]);
    return std::string(p, strnlen(p, width));
}

Record readerRecord() {
    Record r{};
    put16(r, 0, 1);
    put16(r, 4, 0x0C45);
    put16(r, 6, 0x6366);
    r[8] = 0x5A;       // word-2 high setting
    r[9] = 0x3C;       // card type
    r[10] = 2;         // icon display number: names for icons 0..2
    r[11] = 0x81;      // Config1
    const uint8_t masks[6] = {0x50, 0x20, 0x80, 0x01, 0, 0};
    std::memcpy(&r[12], masks, 6);
    putText(r, 18, "Velk");
    putText(r, 82, "Card Reader");  // 11 characters: gets a space
    putText(r, 146, "MSC");          // 3 characters: gets a space
    putText(r, 210, "000123");
    putText(r, 274, "CF/SD");        // cut to 4
    putText(r, 282, "SM");
    putText(r, 290, "MS");
    putText(r, 298, "XD");           // icon 3: beyond the display number
    return r;
}

Image encode(uint8_t cls, const Record& r) {
    Image w{};
    EXPECT_TRUE(encodeEeprom(cls, r.data(), w.data()));
    return w;
}

Record decode(uint8_t cls, const Image& w) {
    Record r;
    r.fill(0xEE);
    decodeEeprom(cls, w.data(), r.data());
    return r;
}

// Reads the strings of a word dump the way the writer's "Dump EEPROM" does.
std::string dumpString(const Image& w, uint8_t p) {
    if (p == 0)
        return {};
    const unsigned n = w[p] & 0xFF;
    std::string s;
    const bool packed = n > 1 && (w[p + 1] >> 8) != 0;
    for (unsigned i = 0; i < (n - 2) / 2; ++i) {
        if (packed) {
            s += char(w[p + 1 + i / 2] >> (8 * (i % 2)));
        } else {
            s += char(w[p + 1 + i]);
        }
    }
    return s;
}
std::string dumpCards(const Image& w) {
    std::string s;
    if (w[3] <= 0x00FF)
        return s;
    for (unsigned p = w[3] >> 8; p < 64 && (w[p] & 0xFF) != 0; ++p) {
        s += char(w[p]);
        s += char(w[p] >> 8);
    }
    return s;
}

}  // namespace

TEST(EepCodecTest, ChecksumFollowsTheSetupFileRule) {
    const uint16_t words[3] = {0x0000, 0x0000, 0x0001};
    EXPECT_EQ(eepChecksumWord(words, 2), 0xAB01);
    const uint16_t more[3] = {0x12FF, 0x0101, 0x0000};
    EXPECT_EQ(eepChecksumWord(more, 2), uint16_t((0xAA + 0x12 + 0xFF + 1 + 1) % 256 << 8));
}

TEST(EepCodecTest, ReaderRoundTripAndImageLayout) {
    for (uint8_t cls : {0x10, 0x12, 0x16}) {
        SCOPED_TRACE(cls);
        const Record in = readerRecord();
        const Image w = encode(cls, in);
        EXPECT_EQ(w[0], 0x0C45);
        EXPECT_EQ(w[1], 0x6366);
        EXPECT_EQ(w[2], 0x5A3C);
        EXPECT_EQ(w[3] & 0xFF, 2);
        EXPECT_EQ(w[6], 0x2050);
        EXPECT_EQ(w[7], 0x0180);
        EXPECT_EQ(w[8], 0x0000);
        EXPECT_EQ(w[9], 0x0081);
        EXPECT_EQ(w[63], eepChecksumWord(w.data(), 63));

        const Record out = decode(cls, w);
        EXPECT_EQ(get16(out, 0), 1);
        EXPECT_EQ(std::memcmp(&out[4], &in[4], 14), 0) << "IDs and settings";
        EXPECT_EQ(text(out, 18), "Velk");
        EXPECT_EQ(text(out, 82), "Card Reader ");
        EXPECT_EQ(text(out, 146), "MSC ");
        EXPECT_EQ(text(out, 210), "000123");
        EXPECT_EQ(text(out, 274, 8), "CF/S");
        EXPECT_EQ(text(out, 282, 8), "SM");
        EXPECT_EQ(text(out, 290, 8), "MS");
        EXPECT_EQ(text(out, 298, 8), "") << "only icons 0 to the display number";
        EXPECT_EQ(text(out, 338), "") << "spare";
    }
}

TEST(EepCodecTest, WordDumpShowsTheStrings) {
    const Image w = encode(0x10, readerRecord());
    EXPECT_EQ(dumpString(w, w[4] & 0xFF), "Velk");
    EXPECT_EQ(dumpString(w, w[4] >> 8), "Card Reader ");
    EXPECT_EQ(dumpString(w, w[5] & 0xFF), "000123");
    EXPECT_EQ(dumpString(w, w[5] >> 8), "MSC ");
    EXPECT_EQ(dumpCards(w), "CF/SSM  MS  ");
    // Descriptor headers carry type 3 and 2L+2.
    EXPECT_EQ(w[w[4] & 0xFF], 0x030A);
}

TEST(EepCodecTest, IdeBridgeRoundTrip) {
    Record in{};
    put16(in, 4, 0x1B1C);
    put16(in, 6, 0x4567);  // ATA
    put16(in, 8, 0x45A9);  // ATAPI: same high byte
    in[10] = 0x77;
    in[11] = 0x05;  // initial delay
    in[12] = 0x33;  // Config1
    in[13] = 0x44;  // Config2
    putText(in, 14, "VELK");
    putText(in, 78, "IDE Bridge");
    putText(in, 142, "ATA");
    putText(in, 206, "S1");
    const Image w = encode(0x01, in);
    EXPECT_EQ(w[2], 0x7705);
    EXPECT_EQ(w[3], 0xA944);
    EXPECT_EQ(w[6] & 0xFF, 0x33);
    EXPECT_EQ(w[9] & 0xFF, 0x33);
    const Record out = decode(0x01, w);
    EXPECT_EQ(get16(out, 0), 1);
    EXPECT_EQ(std::memcmp(&out[4], &in[4], 10), 0);
    EXPECT_EQ(text(out, 14), "VELK");
    EXPECT_EQ(text(out, 78), "IDE Bridge");
    EXPECT_EQ(text(out, 142), "ATA ");
    EXPECT_EQ(text(out, 206), "S1");

    // An ATAPI ID with another high byte cannot be kept: refused, not cut.
    put16(in, 8, 0x12A9);
    Image untouched;
    untouched.fill(0x5555);
    EXPECT_FALSE(encodeEeprom(0x01, in.data(), untouched.data()));
    EXPECT_EQ(untouched[0], 0x5555);
}

TEST(EepCodecTest, FlashDiskAndReader14KeepInquiryStrings) {
    struct Case {
        uint8_t cls;
        size_t vendor, inqVendor, inqProduct;
    };
    for (const Case c : {Case{0x21, 10, 266, 330}, Case{0x14, 12, 268, 332}}) {
        SCOPED_TRACE(c.cls);
        Record in{};
        put16(in, 4, 0x3A7C);
        put16(in, 6, 0x070A);
        in[8] = 0x11;
        in[9] = 0x22;
        in[10] = 0x33;
        in[11] = 0x44;
        putText(in, c.vendor, "Velk Ltd");
        putText(in, c.inqVendor, "VELK");                // padded to 8
        putText(in, c.inqProduct, "Flash Disk Drive X");  // cut to 16
        const Image w = encode(c.cls, in);
        const uint8_t pv = w[6] & 0xFF, pp = w[6] >> 8;
        ASSERT_NE(pv, 0);
        EXPECT_EQ(pp, pv + 4);
        EXPECT_EQ(w[pv], 0x4556);  // 'V' 'E' packed, first in the low byte
        const Record out = decode(c.cls, w);
        EXPECT_EQ(get16(out, 0), 1);
        EXPECT_EQ(text(out, c.vendor), "Velk Ltd");
        EXPECT_EQ(text(out, c.inqVendor), "VELK    ");
        EXPECT_EQ(text(out, c.inqProduct), "Flash Disk Drive");
        EXPECT_EQ(get16(out, 6), 0x070A);
        const size_t settings = c.cls == 0x14 ? 4 : 2;  // 8..11 or 8..9
        EXPECT_EQ(std::memcmp(&out[8], &in[8], settings), 0);
    }
}

TEST(EepCodecTest, OtherClassesKeepIdsOnly) {
    Record in{};
    put16(in, 4, 0xABCD);
    put16(in, 6, 0x1234);
    in[8] = 0x99;
    putText(in, 10, "ignored");
    const Image w = encode(0x30, in);
    for (size_t i = 3; i < 63; ++i)
        EXPECT_EQ(w[i], 0) << i;
    const Record out = decode(0x30, w);
    EXPECT_EQ(get16(out, 0), 1);
    EXPECT_EQ(std::memcmp(&out[4], &in[4], 5), 0);
    EXPECT_EQ(out[10], 0);
}

TEST(EepCodecTest, InconsistentImagesAreNotValid) {
    const Image good = encode(0x10, readerRecord());
    auto valid = [](uint8_t cls, const Image& w) {
        const Record r = decode(cls, w);
        const bool allZero = std::all_of(r.begin(), r.end(), [](uint8_t b) { return b == 0; });
        EXPECT_TRUE(get16(r, 0) == 1 || allZero) << "an invalid record is cleared";
        return get16(r, 0) == 1;
    };
    EXPECT_TRUE(valid(0x10, good));

    Image erased{};
    EXPECT_FALSE(valid(0x10, erased));
    erased.fill(0xFFFF);
    EXPECT_FALSE(valid(0x10, erased));

    for (size_t i : {0u, 5u, 12u, 40u, 63u}) {  // any corrupted word
        Image bad = good;
        bad[i] ^= 0x0100;
        EXPECT_FALSE(valid(0x10, bad)) << i;
    }
    // Structurally wrong images with a right checksum.
    auto resealed = [](Image w) {
        w[63] = eepChecksumWord(w.data(), 63);
        return w;
    };
    Image bad = good;
    bad[4] = uint16_t((bad[4] & 0xFF00) | 70);  // vendor position past the image
    EXPECT_FALSE(valid(0x10, resealed(bad)));
    bad = good;
    bad[good[4] & 0xFF] = 0x040A;  // descriptor type 4
    EXPECT_FALSE(valid(0x10, resealed(bad)));
    bad = good;
    bad[good[4] & 0xFF] = 0x0360;  // length running past the string area
    EXPECT_FALSE(valid(0x10, resealed(bad)));
    bad = good;
    bad[3] = uint16_t(0x3D00 | (bad[3] & 0xFF));  // card names end past word 62
    EXPECT_FALSE(valid(0x10, resealed(bad)));
    bad = good;
    bad[5] = uint16_t((bad[5] & 0xFF00) | 3);  // serial inside the settings words
    EXPECT_FALSE(valid(0x10, resealed(bad)));
}

TEST(EepCodecTest, StringsThatDoNotFitAreRefused) {
    Record in = readerRecord();
    putText(in, 146, std::string(20, 'i'));
    putText(in, 210, std::string(9, 's'));
    // 10 settings + vendor 5 + product 13 + interface 21 + serial 10 = 59 words,
    // three card names 6 more: 65 > 63.
    Image w;
    w.fill(0x5555);
    EXPECT_FALSE(encodeEeprom(0x10, in.data(), w.data()));
    EXPECT_TRUE(std::all_of(w.begin(), w.end(), [](uint16_t x) { return x == 0x5555; })) << "nothing written";
    // Two card names (4 words) fit exactly: the names end at word 62.
    in[10] = 1;
    ASSERT_TRUE(encodeEeprom(0x10, in.data(), w.data()));
    EXPECT_EQ(decode(0x10, w)[0], 1);
    // A 63-character vendor string never fits.
    Record flash{};
    putText(flash, 10, std::string(63, 'v'));
    EXPECT_FALSE(encodeEeprom(0x21, flash.data(), w.data()));
}
