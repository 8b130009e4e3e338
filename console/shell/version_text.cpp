#include "version_text.h"

namespace console {

uint16_t packVersion(uint16_t major, uint16_t minor, uint16_t build, uint16_t revision)
{
    const uint32_t n = (major % 16u) * 4096u + (minor % 256u) * 256u + (build % 4096u) * 16u + revision;
    return static_cast<uint16_t>(n & 0xFFFFu);
}

std::string versionDigits(uint16_t packed)
{
    static const char hex[] = "0123456789abcdef";
    std::string digits;
    uint16_t n = packed;
    do {
        digits.insert(digits.begin(), hex[n & 0xF]);
        n = static_cast<uint16_t>(n >> 4);
    } while (n != 0);
    if (packed < 0x1000)
        digits.insert(digits.begin(), '0');
    return digits;
}

std::string dotted(const std::string& digits)
{
    std::string out;
    for (size_t i = 0; i < digits.size(); ++i) {
        out += digits[i];
        if (i + 1 < digits.size())
            out += '.';
    }
    return out;
}

std::string versionText(uint16_t major, uint16_t minor, uint16_t build, uint16_t revision)
{
    return dotted(versionDigits(packVersion(major, minor, build, revision)));
}

std::string titleWithVersion(const std::string& title, const std::string& version)
{
    // The title is read into a 64-byte buffer: at most 63 bytes, cut back to
    // a whole UTF-8 character so that a long title never ends in half of one.
    constexpr size_t kTitleBytes = 63;
    std::string head = title;
    if (head.size() > kTitleBytes) {
        size_t cut = kTitleBytes;
        while (cut > 0 && (static_cast<unsigned char>(head[cut]) & 0xC0) == 0x80)
            --cut;
        head.resize(cut);
    }
    return head + " -- " + version;
}

}  // namespace console
