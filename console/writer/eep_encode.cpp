#include "eep_encode.h"

namespace eep {

namespace {

std::vector<uint16_t> descriptor(std::string_view text) {
    std::vector<uint16_t> words;
    words.reserve(text.size() + 1);
    words.push_back(static_cast<uint16_t>(0x0300 | ((2 * text.size() + 2) & 0xFF)));
    for (char c : text) words.push_back(static_cast<uint8_t>(c));
    return words;
}

std::vector<uint16_t> packed(std::string_view text) {
    std::vector<uint16_t> words;
    words.reserve((text.size() + 1) / 2);
    for (size_t k = 0; k < text.size(); k += 2) {
        const uint8_t first = static_cast<uint8_t>(text[k]);
        const uint8_t second = k + 1 < text.size() ? static_cast<uint8_t>(text[k + 1]) : 0;
        words.push_back(static_cast<uint16_t>(first | (second << 8)));
    }
    return words;
}

std::string fitted(std::string_view text, size_t width) {
    std::string s(text.substr(0, width));
    s.resize(width, ' ');
    return s;
}

}  // namespace

std::vector<std::string> splitNames(std::string_view text, std::string_view separators,
                                    size_t maxNames, size_t maxChars) {
    std::vector<std::string> names;
    size_t k = 0;
    while (k < text.size() && names.size() < maxNames) {
        while (k < text.size() && separators.find(text[k]) != std::string_view::npos) ++k;
        const size_t begin = k;
        while (k < text.size() && separators.find(text[k]) == std::string_view::npos) ++k;
        if (k > begin) names.emplace_back(text.substr(begin, std::min(k - begin, maxChars)));
    }
    return names;
}

size_t textLimit(Tag tag) {
    switch (tag) {
    case Tag::InquiryVendor:
    case Tag::InquiryProduct:
    case Tag::CardStr:
        return std::string_view::npos;
    default:
        return kMaxStringChars;
    }
}

EncodedString encodeString(Tag tag, std::string_view text) {
    EncodedString e;
    switch (tag) {
    case Tag::VendorStr:    e.positionWord = 4; e.positionInHigh = false; break;
    case Tag::ProductStr:   e.positionWord = 4; e.positionInHigh = true; break;
    case Tag::SerialStr:    e.positionWord = 5; e.positionInHigh = false; break;
    case Tag::InterfaceStr: e.positionWord = 5; e.positionInHigh = true; break;
    case Tag::InquiryVendor:  e.positionWord = 6; e.positionInHigh = false; break;
    case Tag::InquiryProduct: e.positionWord = 6; e.positionInHigh = true; break;
    case Tag::CardStr:      e.positionWord = 3; e.positionInHigh = true; break;
    default: return e;
    }
    switch (tag) {
    case Tag::VendorStr:
    case Tag::ProductStr:
    case Tag::InterfaceStr:
        e.text = std::string(text);
        if (e.text.size() % 4 == 3) e.text.push_back(' ');
        e.words = descriptor(e.text);
        break;
    case Tag::SerialStr:
        e.text = std::string(text);
        e.words = descriptor(e.text);
        break;
    case Tag::InquiryVendor:
        if (text.size() > 8)
            e.clipped = Message{"Bytes over Inquiry-Vendor's maximum size (8 bytes) are clipped",
                                "Error", Icon::Error};
        e.text = fitted(text, 8);
        e.words = packed(e.text);
        break;
    case Tag::InquiryProduct:
        if (text.size() > 16)
            e.clipped = Message{"Bytes over Inquiry-Product's maximum size (16 bytes) are clipped",
                                "Error", Icon::Error};
        e.text = fitted(text, 16);
        e.words = packed(e.text);
        break;
    case Tag::CardStr:
        for (const auto& name : splitNames(text, ";, ", 10, 4)) e.text += fitted(name, 4);
        e.words = packed(e.text);
        break;
    default:
        break;
    }
    return e;
}

size_t encodedWordCount(Tag tag, std::string_view text) {
    switch (tag) {
    case Tag::VendorStr:
    case Tag::ProductStr:
    case Tag::InterfaceStr:
        return text.size() + (text.size() % 4 == 3 ? 1 : 0) + 1;
    case Tag::SerialStr:
        return text.size() + 1;
    case Tag::InquiryVendor:
        return 4;
    case Tag::InquiryProduct:
        return 8;
    case Tag::CardStr: {
        // Two words for each of at most 10 names, as splitNames counts them.
        size_t names = 0;
        bool inName = false;
        for (char c : text) {
            const bool separator = c == ';' || c == ',' || c == ' ';
            if (!separator && !inName && ++names == 10) break;
            inName = !separator;
        }
        return 2 * names;
    }
    default:
        return 0;
    }
}

void applyChecksum(Image& image, uint16_t index) {
    unsigned sum = 0xAA + lo(image[index]);
    for (unsigned k = 0; k < index; ++k) sum += lo(image[k]) + hi(image[k]);
    image[index] = static_cast<uint16_t>(((sum & 0xFF) << 8) | lo(image[index]));
}

}  // namespace eep
