#include "eep_record.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>

namespace writer {

namespace {

enum class Layout { Ide, Reader, Reader14, FlashDisk, Other };

Layout layoutOf(uint8_t c) {
    if (eep::isIdeBridge(c)) return Layout::Ide;
    if (c == eep::kReaderWithStrings) return Layout::Reader14;
    if (eep::isCardReader(c)) return Layout::Reader;
    if (eep::isFlashDisk(c)) return Layout::FlashDisk;
    return Layout::Other;
}

constexpr int kNone = -1;

struct StringOffsets {
    int vendor = kNone, product = kNone, interface = kNone, serial = kNone;
    int inquiryVendor = kNone, inquiryProduct = kNone, cardNames = kNone, spare = kNone;
};

StringOffsets stringOffsets(Layout l) {
    switch (l) {
    case Layout::Ide: return {14, 78, 142, 206, kNone, kNone, kNone, 270};
    case Layout::Reader: return {18, 82, 146, 210, kNone, kNone, 274, 338};
    case Layout::Reader14: return {12, 76, 140, 204, 268, 332, kNone, 396};
    case Layout::FlashDisk: return {10, 74, 138, 202, 266, 330, kNone, kNone};
    case Layout::Other: break;
    }
    return {};
}

void put16(uint8_t* p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}
uint16_t get16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }

// Text into a zero-terminated field of `width` bytes: at most width - 1
// characters, so the terminator always fits.
void putText(uint8_t* record, int offset, const std::string& text, int width = kStringField) {
    if (offset == kNone) return;
    const size_t n = std::min(text.size(), static_cast<size_t>(width - 1));
    std::memcpy(record + offset, text.data(), n);
    std::memset(record + offset + n, 0, static_cast<size_t>(width) - n);
}

std::string getText(const uint8_t* record, int offset, int width = kStringField) {
    if (offset == kNone) return {};
    const char* p = reinterpret_cast<const char*>(record + offset);
    return std::string(p, strnlen(p, static_cast<size_t>(width)));
}

std::string hex2(uint8_t v) {
    char b[4];
    std::snprintf(b, sizeof b, "%02X", v);
    return b;
}
std::string hex4(uint16_t v) {
    char b[8];
    std::snprintf(b, sizeof b, "%04X", v);
    return b;
}

// Reader offsets shared by the readers except 14h.
constexpr int kReaderCardType = 9, kReaderIconNumber = 10, kReaderConfig1 = 11, kReaderIconMasks = 12;

}  // namespace

void fillEepRecord(uint8_t deviceClass, const eep::Fields& f, const eep::Strings& s, uint8_t* r) {
    std::memset(r, 0, kRecordSize);
    const Layout layout = layoutOf(deviceClass);
    put16(r + 0, 1);
    put16(r + 4, f.vendorId);
    put16(r + 6, f.productId);
    switch (layout) {
    case Layout::Ide:
        put16(r + 8, f.atapiProductId);
        r[10] = f.word2High;
        r[11] = f.initialDelay;
        r[12] = f.config1;
        r[13] = f.config2;
        break;
    case Layout::Reader:
        r[8] = f.word2High;
        r[kReaderCardType] = f.cardType;
        r[kReaderIconNumber] = f.iconNumber;
        r[kReaderConfig1] = f.config1;
        for (int i = 0; i < eep::kIcons; ++i) r[kReaderIconMasks + i] = f.iconMasks[static_cast<size_t>(i)];
        break;
    case Layout::Reader14:
        r[8] = f.word2High;
        r[9] = f.word2Low;
        r[10] = f.word3High;
        r[11] = f.config1;
        break;
    case Layout::FlashDisk:
        r[8] = f.word2High;
        r[9] = f.config1;
        break;
    case Layout::Other:
        r[8] = f.word2High;
        break;
    }

    const StringOffsets o = stringOffsets(layout);
    putText(r, o.vendor, s.vendor);
    putText(r, o.product, s.product);
    putText(r, o.interface, s.interface);
    putText(r, o.serial, s.serial);
    putText(r, o.inquiryVendor, s.inquiryVendor);
    putText(r, o.inquiryProduct, s.inquiryProduct);
    if (o.cardNames != kNone) {
        const size_t slots = std::min<size_t>(static_cast<size_t>(f.iconNumber) + 1, kCardNameSlots);
        for (size_t i = 0; i < slots && i < s.cardNames.size(); ++i)
            putText(r, o.cardNames + kCardNameSlot * static_cast<int>(i), s.cardNames[i], kCardNameSlot);
    }
}

uint32_t recordValid(const uint8_t* record) {
    uint32_t v = 0;
    std::memcpy(&v, record, 4);
    return v;
}

eep::FieldUpdate fieldsFromRecord(uint8_t deviceClass, const uint8_t* r) {
    eep::FieldUpdate u;
    const Layout layout = layoutOf(deviceClass);
    const StringOffsets o = stringOffsets(layout);
    u.vid = hex4(get16(r + 4));
    if (layout != Layout::Ide) u.pid = hex4(get16(r + 6));
    switch (layout) {
    case Layout::Ide: {
        const uint16_t ata = get16(r + 6), atapi = get16(r + 8);
        u.pidHighByte = hex2(eep::hi(ata));
        u.pidLowByteAta = hex2(eep::lo(ata));
        u.pidLowByteAtapi = hex2(eep::lo(atapi));
        u.initialDelay = hex2(r[11]);
        u.config1 = hex2(r[12]);
        u.config2 = hex2(r[13]);
        u.disablePid = true;
        break;
    }
    case Layout::Reader: {
        u.cardType = hex2(r[kReaderCardType]);
        u.iconNumber = hex2(r[kReaderIconNumber]);
        u.config1 = hex2(r[kReaderConfig1]);
        const int last = std::min<int>(r[kReaderIconNumber], eep::kIcons - 1);
        for (int icon = 0; icon <= last; ++icon) eep::setIconMask(u.icons, icon, r[kReaderIconMasks + icon]);
        for (int k = 0; k <= std::min(last, 4); ++k)
            u.cardNames[static_cast<size_t>(k)] = getText(r, o.cardNames + kCardNameSlot * k, kCardNameSlot);
        break;
    }
    case Layout::Reader14:
        u.config1 = hex2(r[11]);
        break;
    case Layout::FlashDisk:
        u.config1 = hex2(r[9]);
        break;
    case Layout::Other:
        break;
    }
    if (o.vendor != kNone) {
        u.vendorStr = getText(r, o.vendor);
        u.productStr = getText(r, o.product);
    }
    if (o.inquiryVendor != kNone) {
        u.inquiryVendor = getText(r, o.inquiryVendor);
        u.inquiryProduct = getText(r, o.inquiryProduct);
    }
    return u;
}

}  // namespace writer
