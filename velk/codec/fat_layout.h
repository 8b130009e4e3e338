// fat_layout.h - the geometry formatFat gives a volume of a given size.
#pragma once

#include <cstdint>
#include <optional>

namespace velk::codec {

struct FatLayout {
    uint8_t fatBits = 0;            // 12, 16 or 32
    uint32_t usedSectors = 0;       // sectors the file system covers (whole tracks)
    uint16_t sectorsPerTrack = 0;   // nominal geometry for the boot sector
    uint16_t heads = 0;
    uint8_t media = 0xF8;           // media descriptor
    uint8_t sectorsPerCluster = 0;
    uint16_t reservedSectors = 0;
    uint8_t fatCount = 2;
    uint32_t fatSectors = 0;        // sectors of one FAT
    uint16_t rootEntries = 0;       // fixed root directory slots (0 on FAT32)
    uint32_t rootDirSectors = 0;    // sectors of the fixed root directory
    uint32_t clusterCount = 0;

    uint32_t firstFatSector() const { return reservedSectors; }
    uint32_t rootDirSector() const { return reservedSectors + fatCount * fatSectors; }
    uint32_t firstDataSector() const { return rootDirSector() + rootDirSectors; }
};

// Chooses the FAT type, cluster size and area sizes for a volume of
// totalSectors 512-byte sectors, with the defaults of mkfs.fat (dosfstools
// 4.2): the standard floppy formats at their exact sizes, FAT32 from 512 MiB
// up with 4 KiB clusters to 8 GiB and larger ones above, otherwise FAT12 or
// FAT16 with the smallest cluster from 2 KiB up that keeps the FAT within its
// limits; the volume is cut to whole tracks and, above 8192 sectors, the areas
// are aligned to the cluster size. Returns nothing for volumes too small to
// hold a file system.
std::optional<FatLayout> planFat(uint32_t totalSectors);

}  // namespace velk::codec
