// fat_format.cpp - FAT12/16/32 layout and formatter.
#include "fat_format.h"

#include "fat_layout.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <vector>

namespace velk::codec {

namespace {

constexpr uint32_t kSectorSize = 512;

// Cluster-count limits of the FAT types, with the safety margins mkfs.fat
// keeps so that no driver can mistake one type for another.
constexpr int64_t kMaxClusters12 = 4084;
constexpr int64_t kMinClusters16 = 4087;
constexpr int64_t kMaxClusters16 = 65524;
constexpr int64_t kMinClusters32 = 65529;
constexpr int64_t kMaxClusters32 = 0x0FFFFFF6;
constexpr uint32_t kMaxSectorsPerCluster = 128;
// Smallest volume given a file system; mkfs.fat refuses anything smaller.
constexpr uint32_t kMinSectors = 100;
// Zero runs are written in chunks of this many sectors.
constexpr uint32_t kZeroChunk = 128;

int64_t ceilDiv(int64_t a, int64_t b) { return (a + b - 1) / b; }

struct Geometry {
    uint16_t sectorsPerTrack;
    uint16_t heads;
    uint8_t media;
    uint32_t sectorsPerCluster;
    uint32_t rootEntries;
};

// Nominal geometry and starting parameters by size, the standard floppy
// formats first.
Geometry baseGeometry(uint32_t totalSectors) {
    switch (totalSectors / 2) {  // size in KiB
    case 360: return {9, 2, 0xFD, 2, 112};
    case 720: return {9, 2, 0xF9, 2, 112};
    case 1200: return {15, 2, 0xF9, 1, 224};
    case 1440: return {18, 2, 0xF0, 1, 224};
    case 2880: return {36, 2, 0xF0, 2, 224};
    default: break;
    }
    Geometry g{63, 255, 0xF8, 4, 512};
    if (totalSectors <= 4096) {
        g.sectorsPerTrack = 16;
        g.heads = 2;
    } else if (totalSectors <= 524288) {
        g.sectorsPerTrack = 32;
        g.heads = totalSectors <= 32768 ? 2 : totalSectors <= 65536 ? 4 : totalSectors <= 262144 ? 8 : 16;
    } else {
        const uint32_t cylinderSectors = 63 * 1024;
        g.heads = totalSectors <= 16 * cylinderSectors    ? 16
                  : totalSectors <= 32 * cylinderSectors  ? 32
                  : totalSectors <= 64 * cylinderSectors  ? 64
                  : totalSectors <= 128 * cylinderSectors ? 128
                                                          : 255;
    }
    return g;
}

}  // namespace

std::optional<FatLayout> planFat(uint32_t totalSectors) {
    const Geometry g = baseGeometry(totalSectors);
    const uint64_t sizeBytes = uint64_t(totalSectors) * kSectorSize;
    const bool fat32 = sizeBytes >= 512ull * 1024 * 1024;

    uint32_t clusterSize = g.sectorsPerCluster;
    if (fat32) {
        // 4 KiB clusters up to 8 GiB, then doubling at 16 and 32 GiB; 512-byte
        // clusters are only reached by volumes under 260 MiB, which never get
        // FAT32 by default.
        clusterSize = totalSectors > 32u * 1024 * 1024 * 2 ? 64
                      : totalSectors > 16u * 1024 * 1024 * 2 ? 32
                      : totalSectors > 8u * 1024 * 1024 * 2  ? 16
                      : totalSectors > 260u * 1024 * 2       ? 8
                                                             : 1;
    }

    if (totalSectors < kMinSectors)
        return std::nullopt;
    const uint32_t used = totalSectors - totalSectors % g.sectorsPerTrack;
    const bool align = used > 8192;
    const int64_t reserved = fat32 ? 32 : 1;
    const int64_t rootSectors = fat32 ? 0 : ceilDiv(int64_t(g.rootEntries) * 32, kSectorSize);
    const int64_t fats = 2;

    for (; clusterSize <= kMaxSectorsPerCluster; clusterSize <<= 1) {
        const int64_t cs = clusterSize;
        auto alignUp = [&](int64_t n) { return align ? ceilDiv(n, cs) * cs : n; };
        const int64_t fatData32 = int64_t(used) - alignUp(reserved);
        const int64_t fatData1216 = fatData32 - alignUp(rootSectors);
        if (fatData1216 <= 0)
            return std::nullopt;

        FatLayout l;
        l.usedSectors = used;
        l.sectorsPerTrack = g.sectorsPerTrack;
        l.heads = g.heads;
        l.media = g.media;
        l.sectorsPerCluster = uint8_t(clusterSize);
        l.reservedSectors = uint16_t(alignUp(reserved));
        l.fatCount = uint8_t(fats);

        if (fat32) {
            int64_t clusters = (fatData32 * kSectorSize + fats * 8) / (cs * kSectorSize + fats * 4);
            const int64_t fatLen = alignUp(ceilDiv((clusters + 2) * 4, kSectorSize));
            clusters = (fatData32 - fats * fatLen) / cs;
            const int64_t maxClusters = std::min(fatLen * kSectorSize / 4, kMaxClusters32);
            if (clusters > maxClusters || clusters < kMinClusters32)
                continue;
            l.fatBits = 32;
            l.fatSectors = uint32_t(fatLen);
            l.clusterCount = uint32_t(clusters);
            return l;
        }

        // FAT12: 1.5 bytes per entry; the doubled terms avoid rounding loss.
        int64_t c12 = 2 * (fatData1216 * kSectorSize + fats * 3) / (2 * cs * kSectorSize + fats * 3);
        const int64_t fat12 = alignUp(ceilDiv(((c12 + 2) * 3 + 1) / 2, kSectorSize));
        c12 = (fatData1216 - fats * fat12) / cs;
        if (c12 > std::min(fat12 * 2 * kSectorSize / 3, kMaxClusters12))
            c12 = 0;

        int64_t c16 = (fatData1216 * kSectorSize + fats * 4) / (cs * kSectorSize + fats * 2);
        const int64_t fat16 = alignUp(ceilDiv((c16 + 2) * 2, kSectorSize));
        c16 = (fatData1216 - fats * fat16) / cs;
        if (c16 > std::min(fat16 * kSectorSize / 2, kMaxClusters16) || c16 < kMinClusters16)
            c16 = 0;

        if (c12 <= 0 && c16 <= 0)
            continue;
        const bool use16 = c16 > c12;
        l.fatBits = use16 ? 16 : 12;
        l.fatSectors = uint32_t(use16 ? fat16 : fat12);
        l.clusterCount = uint32_t(use16 ? c16 : c12);
        l.rootDirSectors = uint32_t(alignUp(rootSectors));
        l.rootEntries = uint16_t(l.rootDirSectors * (kSectorSize / 32));
        return l;
    }
    return std::nullopt;
}

namespace {

void put16(uint8_t* p, uint32_t v) {
    p[0] = uint8_t(v);
    p[1] = uint8_t(v >> 8);
}

void put32(uint8_t* p, uint32_t v) {
    put16(p, v);
    put16(p + 2, v >> 16);
}

using Sector = std::array<uint8_t, kSectorSize>;

// Boot sector with the BIOS parameter block. The boot code only hands the
// machine back to the BIOS (INT 18h), since the volume holds no system.
Sector bootSector(const FatLayout& l, uint32_t volumeId) {
    Sector s{};
    const bool fat32 = l.fatBits == 32;
    s[0] = 0xEB;
    s[1] = fat32 ? 0x58 : 0x3C;
    s[2] = 0x90;
    std::memcpy(&s[3], "VELKFMT ", 8);
    put16(&s[11], kSectorSize);
    s[13] = l.sectorsPerCluster;
    put16(&s[14], l.reservedSectors);
    s[16] = l.fatCount;
    put16(&s[17], l.rootEntries);
    put16(&s[19], l.usedSectors < 65536 ? l.usedSectors : 0);
    s[21] = l.media;
    put16(&s[22], fat32 ? 0 : l.fatSectors);
    put16(&s[24], l.sectorsPerTrack);
    put16(&s[26], l.heads);
    put32(&s[28], 0);  // hidden sectors: no partition table in front
    put32(&s[32], l.usedSectors < 65536 ? 0 : l.usedSectors);

    uint8_t* ext = &s[36];
    if (fat32) {
        put32(&s[36], l.fatSectors);
        put16(&s[40], 0);  // FATs mirrored
        put16(&s[42], 0);  // version 0.0
        put32(&s[44], 2);  // root directory cluster
        put16(&s[48], 1);  // FS information sector
        put16(&s[50], 6);  // backup boot sector
        ext = &s[64];
    }
    ext[0] = l.media == 0xF8 ? 0x80 : 0x00;  // drive number
    ext[2] = 0x29;                           // extended boot signature
    put32(&ext[3], volumeId);
    std::memcpy(&ext[7], "NO NAME    ", 11);
    std::memcpy(&ext[18], l.fatBits == 12 ? "FAT12   " : l.fatBits == 16 ? "FAT16   " : "FAT32   ", 8);
    uint8_t* code = &ext[26];
    const uint8_t stub[] = {0xCD, 0x18, 0xF4, 0xEB, 0xFD};  // int 18h; hlt; jmp $-1
    std::memcpy(code, stub, sizeof stub);
    s[510] = 0x55;
    s[511] = 0xAA;
    return s;
}

// FAT32 file system information sector: free clusters are all but the root
// directory's.
Sector fsInfoSector(const FatLayout& l) {
    Sector s{};
    put32(&s[0], 0x41615252);
    put32(&s[484], 0x61417272);
    put32(&s[488], l.clusterCount - 1);
    put32(&s[492], 3);  // next free cluster hint
    put32(&s[508], 0xAA550000);
    return s;
}

// First sector of a FAT: entry 0 carries the media byte, entry 1 the
// end-of-chain mark, and on FAT32 entry 2 ends the root directory's chain.
Sector fatHead(const FatLayout& l) {
    Sector s{};
    switch (l.fatBits) {
    case 12:
        s[0] = l.media;
        s[1] = 0xFF;
        s[2] = 0xFF;
        break;
    case 16:
        put16(&s[0], 0xFF00u | l.media);
        put16(&s[2], 0xFFFF);
        break;
    default:
        put32(&s[0], 0x0FFFFF00u | l.media);
        put32(&s[4], 0x0FFFFFFF);
        put32(&s[8], 0x0FFFFFFF);
        break;
    }
    return s;
}

}  // namespace

FormatResult formatFat(uint32_t totalSectors,
                       const std::function<bool(uint32_t lba, uint32_t count, const uint8_t* data)>& write,
                       const std::function<void(int pct)>& progress,
                       const std::function<bool()>& aborted, uint32_t volumeId) {
    const std::optional<FatLayout> plan = planFat(totalSectors);
    if (!plan)
        return FormatResult::Failed;
    const FatLayout& l = *plan;
    const bool fat32 = l.fatBits == 32;

    // The system area: reserved sectors, FATs, fixed root directory, and on
    // FAT32 the root directory's cluster.
    const uint32_t systemEnd = l.firstDataSector() + (fat32 ? l.sectorsPerCluster : 0);

    struct Piece {
        uint32_t lba;
        Sector data;
    };
    std::vector<Piece> pieces;
    for (uint32_t f = 0; f < l.fatCount; ++f)
        pieces.push_back({l.firstFatSector() + f * l.fatSectors, fatHead(l)});
    if (fat32) {
        const Sector boot = bootSector(l, volumeId);
        pieces.push_back({1, fsInfoSector(l)});
        pieces.push_back({6, boot});
        pieces.push_back({7, fsInfoSector(l)});
    }
    pieces.push_back({0, bootSector(l, volumeId)});  // last: makes the volume valid

    static const std::array<uint8_t, kZeroChunk * kSectorSize> zeros{};
    const uint64_t totalWork = uint64_t(systemEnd) + pieces.size();
    uint64_t done = 0;
    int shown = 0;
    progress(0);
    auto step = [&](uint32_t lba, uint32_t count, const uint8_t* data) {
        if (aborted())
            return FormatResult::Aborted;
        if (!write(lba, count, data))
            return FormatResult::Failed;
        done += count;
        const int pct = int(done * 100 / totalWork);
        if (pct > shown && pct < 100) {
            shown = pct;
            progress(pct);
        }
        return FormatResult::Done;
    };

    // Clear sector 0 first so that an interrupted run leaves no file system
    // that looks valid, then zero the rest of the system area.
    for (uint32_t lba = 0; lba < systemEnd;) {
        const uint32_t count = lba == 0 ? 1 : std::min(kZeroChunk, systemEnd - lba);
        if (FormatResult r = step(lba, count, zeros.data()); r != FormatResult::Done)
            return r;
        lba += count;
    }
    for (const Piece& p : pieces) {
        if (FormatResult r = step(p.lba, 1, p.data.data()); r != FormatResult::Done)
            return r;
    }
    progress(100);
    return FormatResult::Done;
}

}  // namespace velk::codec
