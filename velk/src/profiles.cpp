// profiles.cpp - the built-in device profiles and the KEY=VALUE settings.
#include "sim.h"

#include <velk.h>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstdio>
#include <cstring>

namespace velk::sim {

namespace {

constexpr uint64_t MiB = 1024 * 1024;

LunConfig lun(uint8_t slot, uint64_t bytes, bool present, uint32_t blockLength = 512, bool cdrom = false) {
    LunConfig l;
    l.slot = slot;
    l.blockLength = blockLength;
    l.sectors = bytes / blockLength;
    l.present = present;
    l.cdrom = cdrom;
    return l;
}

void readerLuns(Config& c) {
    c.luns = {lun(VELK_MEDIA_CF, 64 * MiB, true), lun(VELK_MEDIA_SM, 32 * MiB, false),
              lun(VELK_MEDIA_SDMMC, 128 * MiB, true), lun(VELK_MEDIA_MS, 32 * MiB, false)};
}

void flashChips(Config& c, uint16_t pageSize, std::vector<uint32_t> blocks, uint16_t ppb) {
    c.pageSize = pageSize;
    c.chips = uint8_t(blocks.size());
    c.blocks = std::move(blocks);
    c.pagesPerBlock.assign(c.chips, ppb);
}

// Where classes 16h and 12h keep their EEP copy (inside the code area, kept by
// firmware writes); every other class keeps it in the last 128 bytes of the ROM.
constexpr uint32_t kWindow16 = 0x5F80, kWindow12 = 0xBF80;

std::optional<Config> profile(const std::string& p) {
    Config c;
    c.profile = p;
    if (p == "reader" || p == "reader12" || p == "reader14" || p == "reader16") {
        readerLuns(c);
        c.deviceClass = p == "reader" ? 0x10 : p == "reader12" ? 0x12 : p == "reader14" ? 0x14 : 0x16;
        c.pid = uint16_t(0x0760 + (c.deviceClass & 0x0F));
        c.description = "USB Card Reader";
        c.romSize = c.deviceClass == 0x12 ? 0xC000 : c.deviceClass == 0x16 ? 0x6000 : 0x10000;
        if (c.deviceClass == 0x16) c.signature = "6389";
    } else if (p == "flashdisk" || p == "demo") {
        c.deviceClass = 0x21;
        c.pid = 0x0721;
        c.description = "USB Flash Disk";
        c.luns = {lun(VELK_MEDIA_FLASH, 64 * MiB, true)};
        flashChips(c, 512, {1024, 1024}, 32);
        c.factoryBad = {{0, 17}, {1, 300}};
        c.signature = "6352";
        if (p == "demo") c.realistic = true;
    } else if (p == "flashdisk2k") {
        c.deviceClass = 0x21;
        c.pid = 0x0722;
        c.description = "USB Flash Disk";
        c.luns = {lun(VELK_MEDIA_FLASH, 128 * MiB, true)};
        flashChips(c, 2048, {1024, 512}, 64);
        c.factoryBad = {{0, 5}};
    } else if (p == "cdrom") {
        c.deviceClass = 0x21;
        c.vid = 0x3A7C;
        c.pid = 0x070A;
        c.description = "USB Flash Disk with CD-ROM";
        c.luns = {lun(VELK_MEDIA_FLASH, 16 * MiB, true, 2048, true), lun(VELK_MEDIA_FLASH, 64 * MiB, true)};
        flashChips(c, 512, {1024, 1024}, 32);
    } else if (p == "ide") {
        c.deviceClass = 0x01;
        c.pid = 0x0701;
        c.description = "USB to IDE Bridge";
        c.luns = {lun(VELK_MEDIA_IDE, 256 * MiB, true)};
    } else {
        return std::nullopt;
    }
    c.codeSize = c.romSize;
    return c;
}

bool parseU64(std::string_view s, uint64_t& out, bool allowSuffix = false) {
    if (s.empty()) return false;
    int base = 10;
    if (s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) {
        base = 16;
        s.remove_prefix(2);
    }
    uint64_t mul = 1;
    if (allowSuffix && base == 10 && !s.empty()) {
        char last = char(std::toupper(static_cast<unsigned char>(s.back())));
        if (last == 'K') mul = 1024;
        if (last == 'M') mul = MiB;
        if (last == 'G') mul = 1024 * MiB;
        if (mul != 1) s.remove_suffix(1);
    }
    uint64_t v = 0;
    auto [p, ec] = std::from_chars(s.data(), s.data() + s.size(), v, base);
    if (ec != std::errc() || p != s.data() + s.size()) return false;
    if (mul != 1 && v > UINT64_MAX / mul) return false;
    out = v * mul;
    return true;
}

bool parseHex16(std::string_view s, uint16_t& out) {
    if (s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) s.remove_prefix(2);
    unsigned v = 0;
    auto [p, ec] = std::from_chars(s.data(), s.data() + s.size(), v, 16);
    if (s.empty() || ec != std::errc() || p != s.data() + s.size() || v > 0xFFFF) return false;
    out = uint16_t(v);
    return true;
}

std::vector<std::string> split(const std::string& s, char sep) {
    std::vector<std::string> out;
    size_t start = 0;
    while (true) {
        size_t pos = s.find(sep, start);
        out.push_back(s.substr(start, pos == std::string::npos ? std::string::npos : pos - start));
        if (pos == std::string::npos) break;
        start = pos + 1;
    }
    return out;
}

std::optional<uint8_t> mediaByName(const std::string& v) {
    static const std::pair<const char*, uint8_t> names[] = {
        {"xd", VELK_MEDIA_XD}, {"flash", VELK_MEDIA_FLASH}, {"ide", VELK_MEDIA_IDE}, {"cf", VELK_MEDIA_CF},
        {"sm", VELK_MEDIA_SM}, {"sd", VELK_MEDIA_SDMMC},      {"ms", VELK_MEDIA_MS},   {"cdrom", VELK_MEDIA_FLASH}};
    for (auto& [n, bit] : names)
        if (v == n) return bit;
    return std::nullopt;
}

bool fail(const std::string& msg) {
    setError(msg);
    return false;
}

// What the settings named explicitly (a profile default gives way to derived
// values, an explicit setting does not).
struct Given {
    bool signature = false;
    bool bad = false;
};

constexpr uint64_t kMaxLunBytes = 64 * 1024 * MiB;

// Applies one KEY=VALUE setting. Values are range-checked before they are
// narrowed into the configuration; what depends on several settings is
// checked afterwards by finish().
bool apply(Config& c, Given& given, const std::string& kv) {
    for (unsigned char ch : kv)
        if (ch < 0x20 || ch == 0x7F) return fail("setting '" + printable(kv) + "' contains a control character");
    size_t eq = kv.find('=');
    if (eq == std::string::npos || eq == 0) return fail("setting '" + kv + "' is not KEY=VALUE");
    std::string key = kv.substr(0, eq), v = kv.substr(eq + 1);
    uint64_t n = 0;
    auto bad = [&] { return fail("bad value '" + v + "' for setting " + key); };
    if (key == "vid") return parseHex16(v, c.vid) || bad();
    if (key == "pid") return parseHex16(v, c.pid) || bad();
    if (key == "rev") return parseHex16(v, c.rev) || bad();
    if (key == "class") {
        uint16_t cls = 0;
        if (!parseHex16(v, cls) || cls > 0xFF) return bad();
        c.deviceClass = uint8_t(cls);
        return true;
    }
    if (key == "instance") {
        // A registry key name: no separators; it must fit the bus listing.
        if (v.empty() || v.size() > 63 || v.find_first_of("\\/") != std::string::npos) return bad();
        c.instance = v;
        return true;
    }
    if (key == "description") {
        if (v.size() > 255) return bad();
        c.description = v;
        return true;
    }
    if (key == "timing") {
        if (v != "instant" && v != "realistic") return bad();
        c.realistic = v == "realistic";
        return true;
    }
    if (key == "autoreplug") {
        if (v == "off") return (c.autoReplugMs = -1, true);
        if (!parseU64(v, n) || n > 86400000) return bad();
        c.autoReplugMs = int64_t(n);
        return true;
    }
    if (key == "lba-delay") {
        if (!parseU64(v, n) || n > 60000) return bad();
        c.lbaDelayMs = int64_t(n);
        return true;
    }
    if (key == "reenum") {
        if (!parseU64(v, n) || n > 86400000) return bad();
        c.reenumMs = int64_t(n);
        return true;
    }
    if (key == "version" || key == "signature") {
        if (v.size() != 4) return bad();
        (key == "version" ? c.version : c.signature) = v;
        if (key == "signature") given.signature = true;
        return true;
    }
    if (key == "rom") {
        if (!parseU64(v, n, true) || n < 0x1000 || n > 16 * MiB || n % 128) return bad();
        c.romSize = c.codeSize = uint32_t(n);
        return true;
    }
    if (key == "luns") {
        if (!parseU64(v, n) || n < 1 || n > kMaxLuns) return bad();
        while (c.luns.size() < n) c.luns.push_back(c.luns.empty() ? lun(VELK_MEDIA_FLASH, 64 * MiB, true) : c.luns.back());
        c.luns.resize(n);
        return true;
    }
    if (key.rfind("lun", 0) == 0) {
        size_t dot = key.find('.');
        uint64_t idx = 0;
        if (dot == std::string::npos || !parseU64(std::string_view(key).substr(3, dot - 3), idx))
            return fail("unknown setting " + key);
        if (idx >= c.luns.size())
            return fail("unknown setting " + key + ": the device has " + std::to_string(c.luns.size()) +
                        " LUN(s) (luns=N comes first)");
        LunConfig& l = c.luns[idx];
        std::string field = key.substr(dot + 1);
        if (field == "size") {
            if (!parseU64(v, n, true) || n < l.blockLength || n > kMaxLunBytes) return bad();
            l.sectors = n / l.blockLength;
            return true;
        }
        if (field == "sectors") {
            if (!parseU64(v, n) || n == 0 || n > 0xFFFFFFFFull) return bad();
            l.sectors = n;
            return true;
        }
        if (field == "media") {
            auto m = mediaByName(v);
            if (!m) return bad();
            uint64_t bytes = l.sectors * l.blockLength;
            l.slot = *m;
            l.cdrom = v == "cdrom";
            l.blockLength = l.cdrom ? 2048 : 512;
            l.sectors = bytes / l.blockLength;
            return true;
        }
        if (field == "present") {
            if (v != "0" && v != "1") return bad();
            l.present = v == "1";
            return true;
        }
        return fail("unknown setting " + key);
    }
    if (key == "chips") {
        if (!parseU64(v, n) || n > VELK_MAX_CHIPS) return bad();
        c.chips = uint8_t(n);
        c.blocks.resize(n, c.blocks.empty() ? 1024 : c.blocks.back());
        c.pagesPerBlock.resize(n, c.pagesPerBlock.empty() ? 32 : c.pagesPerBlock.back());
        return true;
    }
    if (key == "pagesize") {
        if (v != "512" && v != "2048") return bad();
        c.pageSize = uint16_t(v == "512" ? 512 : 2048);
        return true;
    }
    if (key == "blocks" || key == "pages") {
        auto parts = split(v, ',');
        if (parts.size() != 1 && parts.size() != c.chips) return bad();
        for (size_t i = 0; i < parts.size(); ++i) {
            if (!parseU64(parts[i], n)) return bad();
            if (key == "blocks" ? (n == 0 || n > 65536) : (n == 0 || n > 256)) return bad();
        }
        for (size_t i = 0; i < c.chips; ++i) {
            parseU64(parts[parts.size() == 1 ? 0 : i], n);
            if (key == "blocks")
                c.blocks[i] = uint32_t(n);
            else
                c.pagesPerBlock[i] = uint16_t(n);
        }
        return true;
    }
    if (key == "bad") {
        given.bad = true;
        c.factoryBad.clear();
        if (v.empty() || v == "none") return true;
        for (auto& item : split(v, ',')) {
            auto cb = split(item, ':');
            uint64_t chip = 0, block = 0;
            if (cb.size() != 2 || !parseU64(cb[0], chip) || !parseU64(cb[1], block)) return bad();
            if (chip >= VELK_MAX_CHIPS || block > 0xFFFFFFFFull)
                return fail("bad block " + cb[0] + ":" + cb[1] + " is outside the flash");
            c.factoryBad.emplace_back(uint8_t(chip), uint32_t(block));
        }
        return true;
    }
    return fail("unknown setting " + key);
}

std::string hexWord(uint32_t v) {
    char b[16];
    std::snprintf(b, sizeof b, "%04Xh", unsigned(v));
    return b;
}

// What follows from several settings at once, whatever their order: the EEP
// copy window, the class's signature, the factory-bad blocks against the final
// geometry, the LUN sizes. False + setError when they do not fit together.
bool finish(Config& c, const Given& given) {
    if (c.deviceClass == 0x16 || c.deviceClass == 0x12) {
        const uint32_t window = c.deviceClass == 0x16 ? kWindow16 : kWindow12;
        if (uint64_t(window) + 128 > c.romSize)
            return fail("class " + hexWord(c.deviceClass).substr(2) + " keeps its EEP copy at " + hexWord(window) +
                        ": rom must be at least " + std::to_string((window + 128) / 1024) + "K (it is " +
                        std::to_string(c.romSize) + " bytes)");
        c.eepWindow = window;
    } else {
        c.eepWindow = c.romSize - 128;
    }
    if (c.deviceClass == 0x16 && !given.signature) c.signature = "6389";
    if (!given.bad) {
        // The profile's own bad blocks go with the flash they were on.
        std::erase_if(c.factoryBad, [&](const std::pair<uint8_t, uint32_t>& cb) {
            return cb.first >= c.chips || cb.second >= c.blocks[cb.first];
        });
    }
    for (auto& [chip, block] : c.factoryBad)
        if (chip >= c.chips || block >= c.blocks[chip])
            return fail("bad block " + std::to_string(chip) + ":" + std::to_string(block) + " is outside the flash");
    for (size_t i = 0; i < c.luns.size(); ++i) {
        const LunConfig& l = c.luns[i];
        if (l.sectors == 0) return fail("LUN " + std::to_string(i) + " has no sectors");
        if (l.sectors > 0xFFFFFFFFull || l.sectors * l.blockLength > kMaxLunBytes)
            return fail("LUN " + std::to_string(i) + " is larger than 64 GiB");
    }
    return true;
}

uint32_t fnv1a(const std::string& s) {
    uint32_t h = 2166136261u;
    for (unsigned char ch : s) h = (h ^ ch) * 16777619u;
    return h;
}

}  // namespace

uint64_t Config::dataBase(uint8_t chip) const {
    uint64_t off = 0;
    for (uint8_t i = 0; i < chip && i < chips; ++i) off += uint64_t(blocks[i]) * pagesPerBlock[i] * pageSize;
    return off;
}

uint64_t Config::spareRegion() const { return (dataBase(chips) + kNandUnit - 1) / kNandUnit * kNandUnit; }

uint64_t Config::spareBase(uint8_t chip) const {
    uint64_t off = spareRegion();
    for (uint8_t i = 0; i < chip && i < chips; ++i) off += uint64_t(blocks[i]) * pagesPerBlock[i] * spareSize();
    return off;
}

uint64_t Config::nandBytes() const { return chips ? spareBase(chips) : 0; }

uint64_t Config::nandMapBytes() const { return (nandBytes() + kNandUnit * 8 - 1) / (kNandUnit * 8); }

std::optional<Config> makeConfig(const std::string& profileName, const std::vector<std::string>& settings,
                                 const std::string& name) {
    auto c = profile(profileName);
    if (!c) {
        setError("unknown profile '" + printable(profileName) + "'");
        return std::nullopt;
    }
    Given given;
    for (auto& s : settings)
        if (!apply(*c, given, s)) return std::nullopt;
    if (!finish(*c, given)) return std::nullopt;
    c->settings = settings;
    if (c->instance.empty()) {
        char buf[32];
        std::snprintf(buf, sizeof buf, "5&%08X&0&1", fnv1a(name));
        c->instance = buf;
    }
    return c;
}

std::string printable(const std::string& s) {
    std::string out;
    for (unsigned char ch : s) {
        if (ch == '\n')
            out += "\\n";
        else if (ch == '\r')
            out += "\\r";
        else if (ch == '\t')
            out += "\\t";
        else if (ch < 0x20 || ch == 0x7F) {
            char b[8];
            std::snprintf(b, sizeof b, "\\x%02X", ch);
            out += b;
        } else
            out += char(ch);
    }
    return out;
}

const char* const* profileNames() {
    static const char* const names[] = {"reader", "reader12", "reader14", "reader16", "flashdisk",
                                        "flashdisk2k", "cdrom", "ide", "demo", nullptr};
    return names;
}

std::string settingsHelp() {
    return "Settings (--set KEY=VALUE, in any order; lunN.* after luns=N):\n"
           "  vid=HEX pid=HEX rev=HEX class=HEX   USB IDs and the DeviceClass byte\n"
           "  instance=ID description=TEXT        registry instance ID and description\n"
           "  timing=instant|realistic            realistic: transfers and formats take seconds\n"
           "  autoreplug=MS|off                   back on the bus MS ms after a safe removal\n"
           "  reenum=MS                           back on the bus MS ms after a ROM erase (1000)\n"
           "  lba-delay=MS                        every LBA read and write takes MS ms (0)\n"
           "  rom=SIZE                            external ROM size (bytes, K or M suffix)\n"
           "  version=XXXX signature=XXXX         firmware version chars (ROM F8h) and signature (ROM FCh)\n"
           "  luns=N                              number of LUNs (1-16)\n"
           "  lunN.size=SIZE lunN.sectors=N       LUN N capacity\n"
           "  lunN.media=cf|sm|xd|sd|ms|flash|ide|cdrom   slot type (cdrom: 2048-byte sectors)\n"
           "  lunN.present=0|1                    medium inserted at creation\n"
           "  chips=N pagesize=512|2048           NAND chips (0-8) and page size\n"
           "  blocks=N[,N...] pages=N[,N...]      blocks and pages per block, one value or one per chip\n"
           "  bad=C:B[,C:B...]|none               factory-bad blocks\n";
}

}  // namespace velk::sim
