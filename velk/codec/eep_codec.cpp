// eep_codec.cpp - settings record <-> 93C46 EEPROM image.
#include "eep_codec.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <optional>
#include <string>

namespace velk::codec {

namespace {

enum class Kind { Ide, Reader, Reader14, FlashDisk, Other };

Kind kindOf(uint8_t deviceClass) {
    if (deviceClass <= 0x0F)
        return Kind::Ide;
    if (deviceClass == 0x14)
        return Kind::Reader14;
    if (deviceClass <= 0x1F)
        return Kind::Reader;
    if (deviceClass <= 0x2F)
        return Kind::FlashDisk;
    return Kind::Other;
}

constexpr size_t kStringField = 64;
constexpr size_t kCardSlot = 8;
constexpr size_t kCardSlots = 8;
constexpr size_t kCardNameChars = 4;
constexpr size_t kInquiryVendorChars = 8;
constexpr size_t kInquiryProductChars = 16;
constexpr size_t kFirstStringWord = 10;
constexpr int kNone = -1;

// Record offsets of the strings of a class (kNone where the class has none).
struct StringOffsets {
    int vendor = kNone, product = kNone, interface = kNone, serial = kNone;
    int inquiryVendor = kNone, inquiryProduct = kNone, cardNames = kNone;
};

StringOffsets stringOffsets(Kind k) {
    switch (k) {
    case Kind::Ide: return {14, 78, 142, 206, kNone, kNone, kNone};
    case Kind::Reader: return {18, 82, 146, 210, kNone, kNone, 274};
    case Kind::Reader14: return {12, 76, 140, 204, 268, 332, kNone};
    case Kind::FlashDisk: return {10, 74, 138, 202, 266, 330, kNone};
    case Kind::Other: break;
    }
    return {};
}

// Fixed record offsets shared by the readers.
constexpr size_t kReaderCardType = 9;
constexpr size_t kReaderIconNumber = 10;
constexpr size_t kReaderConfig1 = 11;
constexpr size_t kReaderIconMasks = 12;

uint16_t get16(const uint8_t* p) { return uint16_t(p[0] | (p[1] << 8)); }
void put16(uint8_t* p, uint16_t v) {
    p[0] = uint8_t(v);
    p[1] = uint8_t(v >> 8);
}
uint8_t lo(uint16_t w) { return uint8_t(w); }
uint8_t hi(uint16_t w) { return uint8_t(w >> 8); }
uint16_t word(uint8_t low, uint8_t high) { return uint16_t(low | (high << 8)); }

std::string readText(const uint8_t* record, int offset, size_t width) {
    const char* p = reinterpret_cast<const char*>(record + offset);
    return std::string(p, strnlen(p, width));
}

void writeText(uint8_t* record, int offset, const std::string& text) {
    std::memcpy(record + offset, text.data(), text.size());  // field pre-zeroed
}

std::string fitted(std::string text, size_t width) {
    text.resize(width, ' ');
    return text;
}

size_t cardNameCount(uint8_t iconNumber) { return std::min<size_t>(size_t(iconNumber) + 1, kCardSlots); }

// Lays the strings out from word 10 on and records their positions.
class StringArea {
public:
    explicit StringArea(std::array<uint16_t, kEepWords>& img) : img_(img) {}

    bool fits() const { return next_ <= kEepChecksumIndex; }

    // USB string descriptor; padTo4 appends a space to texts of length 4n+3.
    void descriptor(std::string text, bool padTo4, uint16_t& posWord, bool high) {
        if (text.empty())
            return;
        if (padTo4 && text.size() % 4 == 3)
            text += ' ';
        if (!begin(text.size() + 1, posWord, high))
            return;
        img_[next_++] = word(uint8_t(2 * text.size() + 2), 0x03);
        for (char c : text)
            img_[next_++] = uint8_t(c);
    }

    // Two characters a word, first in the low byte.
    void packed(const std::string& text, uint16_t& posWord, bool high) {
        if (text.empty())
            return;
        if (!begin(text.size() / 2, posWord, high))
            return;
        for (size_t i = 0; i < text.size(); i += 2)
            img_[next_++] = word(uint8_t(text[i]), uint8_t(text[i + 1]));
    }

private:
    bool begin(size_t count, uint16_t& posWord, bool high) {
        if (next_ + count > kEepChecksumIndex) {
            next_ = kEepWords;  // remember the overflow
            return false;
        }
        posWord = high ? word(lo(posWord), uint8_t(next_)) : word(uint8_t(next_), hi(posWord));
        return true;
    }

    std::array<uint16_t, kEepWords>& img_;
    size_t next_ = kFirstStringWord;
};

// Reads the strings back, checking that each lies inside the string area.
class StringReader {
public:
    explicit StringReader(const uint16_t* w) : w_(w) {}

    bool ok() const { return ok_; }

    std::string descriptor(uint8_t pos) {
        if (pos == 0)
            return {};
        if (!inside(pos, 1))
            return fail();
        const uint16_t header = w_[pos];
        const size_t n = lo(header);
        if (hi(header) != 0x03 || n < 4 || n % 2 != 0 || !inside(pos, 1 + (n - 2) / 2))
            return fail();
        std::string text;
        for (size_t i = 1; i <= (n - 2) / 2; ++i) {
            const uint16_t c = w_[pos + i];
            if (hi(c) != 0 || lo(c) == 0)
                return fail();
            text += char(lo(c));
        }
        return text;
    }

    std::string packed(uint8_t pos, size_t chars) {
        if (pos == 0)
            return {};
        if (!inside(pos, chars / 2))
            return fail();
        std::string text;
        for (size_t i = 0; i < chars / 2; ++i) {
            const uint16_t c = w_[pos + i];
            if (lo(c) == 0 || hi(c) == 0)
                return fail();
            text += char(lo(c));
            text += char(hi(c));
        }
        return text;
    }

private:
    static bool inside(size_t pos, size_t count) {
        return pos >= kFirstStringWord && pos + count <= kEepChecksumIndex;
    }
    std::string fail() {
        ok_ = false;
        return {};
    }

    const uint16_t* w_;
    bool ok_ = true;
};

std::string trimRight(std::string s) {
    while (!s.empty() && s.back() == ' ')
        s.pop_back();
    return s;
}

}  // namespace

uint16_t eepChecksumWord(const uint16_t* words, size_t c) {
    unsigned sum = 0xAA + lo(words[c]);
    for (size_t k = 0; k < c; ++k)
        sum += lo(words[k]) + hi(words[k]);
    return word(lo(words[c]), uint8_t(sum));
}

bool encodeEeprom(uint8_t deviceClass, const uint8_t* record, uint16_t words[64]) {
    const Kind kind = kindOf(deviceClass);
    std::array<uint16_t, kEepWords> img{};
    img[0] = get16(record + 4);
    img[1] = get16(record + 6);

    switch (kind) {
    case Kind::Ide: {
        const uint16_t atapi = get16(record + 8);
        if (hi(atapi) != hi(img[1]))
            return false;
        img[2] = word(record[11], record[10]);
        img[3] = word(record[13], lo(atapi));
        img[6] = record[12];
        img[9] = record[12];
        break;
    }
    case Kind::Reader:
        img[2] = word(record[kReaderCardType], record[8]);
        img[3] = record[kReaderIconNumber];
        for (size_t i = 0; i < 6; ++i) {
            uint16_t& w = img[6 + i / 2];
            w = i % 2 ? word(lo(w), record[kReaderIconMasks + i]) : word(record[kReaderIconMasks + i], hi(w));
        }
        img[9] = record[kReaderConfig1];
        break;
    case Kind::Reader14:
        img[2] = word(record[9], record[8]);
        img[3] = word(0, record[10]);
        img[9] = record[11];
        break;
    case Kind::FlashDisk:
        img[2] = word(0, record[8]);
        img[7] = record[9];
        img[9] = record[9];
        break;
    case Kind::Other:
        img[2] = word(0, record[8]);
        break;
    }

    const StringOffsets o = stringOffsets(kind);
    StringArea area(img);
    if (o.vendor != kNone) {
        area.descriptor(readText(record, o.vendor, kStringField), true, img[4], false);
        area.descriptor(readText(record, o.product, kStringField), true, img[4], true);
        area.descriptor(readText(record, o.interface, kStringField), true, img[5], true);
        area.descriptor(readText(record, o.serial, kStringField), false, img[5], false);
    }
    if (o.inquiryVendor != kNone) {
        const std::string v = readText(record, o.inquiryVendor, kStringField);
        const std::string p = readText(record, o.inquiryProduct, kStringField);
        if (!v.empty())
            area.packed(fitted(v, kInquiryVendorChars), img[6], false);
        if (!p.empty())
            area.packed(fitted(p, kInquiryProductChars), img[6], true);
    }
    if (o.cardNames != kNone) {
        // Last in the area, so the word after the names has a zero low byte
        // (the unused words, or the checksum word at worst) and ends them.
        std::string names;
        for (size_t i = 0; i < cardNameCount(record[kReaderIconNumber]); ++i)
            names += fitted(readText(record, o.cardNames + int(kCardSlot * i), kCardSlot), kCardNameChars);
        area.packed(names, img[3], true);
    }
    if (!area.fits())
        return false;

    img[kEepChecksumIndex] = eepChecksumWord(img.data(), kEepChecksumIndex);
    std::copy(img.begin(), img.end(), words);
    return true;
}

void decodeEeprom(uint8_t deviceClass, const uint16_t words[64], uint8_t* record) {
    std::memset(record, 0, kEepRecordSize);
    const bool erased = std::all_of(words, words + kEepWords, [](uint16_t w) { return w == 0x0000; }) ||
                        std::all_of(words, words + kEepWords, [](uint16_t w) { return w == 0xFFFF; });
    if (erased || eepChecksumWord(words, kEepChecksumIndex) != words[kEepChecksumIndex])
        return;

    std::array<uint8_t, kEepRecordSize> r{};
    const Kind kind = kindOf(deviceClass);
    put16(&r[4], words[0]);
    put16(&r[6], words[1]);
    switch (kind) {
    case Kind::Ide:
        put16(&r[8], word(hi(words[3]), hi(words[1])));
        r[10] = hi(words[2]);
        r[11] = lo(words[2]);
        r[12] = lo(words[9]);
        r[13] = lo(words[3]);
        break;
    case Kind::Reader:
        r[8] = hi(words[2]);
        r[kReaderCardType] = lo(words[2]);
        r[kReaderIconNumber] = lo(words[3]);
        r[kReaderConfig1] = lo(words[9]);
        for (size_t i = 0; i < 6; ++i)
            r[kReaderIconMasks + i] = i % 2 ? hi(words[6 + i / 2]) : lo(words[6 + i / 2]);
        break;
    case Kind::Reader14:
        r[8] = hi(words[2]);
        r[9] = lo(words[2]);
        r[10] = hi(words[3]);
        r[11] = lo(words[9]);
        break;
    case Kind::FlashDisk:
        r[8] = hi(words[2]);
        r[9] = lo(words[9]);
        break;
    case Kind::Other:
        r[8] = hi(words[2]);
        break;
    }

    const StringOffsets o = stringOffsets(kind);
    StringReader in(words);
    if (o.vendor != kNone) {
        writeText(r.data(), o.vendor, in.descriptor(lo(words[4])));
        writeText(r.data(), o.product, in.descriptor(hi(words[4])));
        writeText(r.data(), o.serial, in.descriptor(lo(words[5])));
        writeText(r.data(), o.interface, in.descriptor(hi(words[5])));
    }
    if (o.inquiryVendor != kNone) {
        writeText(r.data(), o.inquiryVendor, in.packed(lo(words[6]), kInquiryVendorChars));
        writeText(r.data(), o.inquiryProduct, in.packed(hi(words[6]), kInquiryProductChars));
    }
    if (o.cardNames != kNone) {
        const size_t count = cardNameCount(r[kReaderIconNumber]);
        const std::string names = in.packed(hi(words[3]), count * kCardNameChars);
        for (size_t i = 0; i < count && names.size() == count * kCardNameChars; ++i)
            writeText(r.data(), o.cardNames + int(kCardSlot * i),
                      trimRight(names.substr(i * kCardNameChars, kCardNameChars)));
    }
    if (!in.ok())
        return;
    put16(&r[0], 1);
    std::memcpy(record, r.data(), kEepRecordSize);
}

}  // namespace velk::codec
