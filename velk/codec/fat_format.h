// fat_format.h - writes an empty FAT file system over a LUN.
//
// The device library's logical format lays a fresh FAT12, FAT16 or FAT32 file
// system over the whole LUN, chosen by size the way mkfs.fat does by default,
// without a partition table (the volume starts at sector 0, as on a
// "superfloppy" medium). The medium is reached only through the caller's write
// function, so the same code formats a simulated LUN, an image file or a
// buffer in a test.
#pragma once

#include <cstdint>
#include <functional>

namespace velk::codec {

enum class FormatResult {
    Done,     // the file system is complete
    Aborted,  // aborted() answered true before a write; see formatFat
    Failed,   // a write failed, or the volume is too small for a file system
};

// Formats totalSectors sectors of 512 bytes.
//
// write(lba, count, data) writes count consecutive sectors from data and
// returns false on failure. Long runs of zero sectors are handed over in
// chunks of up to 128 sectors; only the system area (boot sectors, both FATs,
// the root directory) is written, never the data area, so formatting a large
// LUN writes a few MiB at most.
//
// progress(pct) reports 0 first, then non-decreasing percentages of the
// sectors written, and 100 only when the file system is complete. aborted() is
// polled before every write.
//
// The boot sector is cleared by the first write and written last. A run that
// ends Aborted or Failed therefore leaves no recognisable file system behind
// (sector 0 zeroed, the file system checker rejects the medium), never an old
// or half-written one that still mounts: some or all of the system area is
// zeroed, and everything beyond the point reached keeps its old contents. A
// run aborted before its first write, or a volume under 100 sectors (Failed),
// changes nothing.
//
// volumeId becomes the volume serial number; the volume label is "NO NAME".
FormatResult formatFat(uint32_t totalSectors,
                       const std::function<bool(uint32_t lba, uint32_t count, const uint8_t* data)>& write,
                       const std::function<void(int pct)>& progress,
                       const std::function<bool()>& aborted, uint32_t volumeId);

}  // namespace velk::codec
