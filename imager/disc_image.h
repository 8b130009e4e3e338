// disc_image.h - an ISO 9660 disc image as the image programmer reads it: a
// plain image, or an image file (.nrg) in which the volume starts later in
// the file, on some multiple of 512 bytes.
//
// Sector 0 of the volume lies at the image start; the primary volume
// descriptor is sector 16 (32768 bytes after the image start). Bytes 1 to 5
// of a volume descriptor are "CD001"; the unsigned 32-bit little-endian value
// at byte 80 of the primary one (the volume space size) is the number of
// 2048-byte sectors the volume has.
//
// No device, no dialog: the programmer's dialog and the tests use this
// directly.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace imager {

inline constexpr uint32_t kSectorSize = 2048;
// Offset of the primary volume descriptor from the image start (sector 16).
inline constexpr uint64_t kVolumeDescriptorOffset = 16 * uint64_t(kSectorSize);
// The search for the image start reads blocks of this size.
inline constexpr uint32_t kSearchBlock = 512;
inline constexpr uint32_t kVolumeSpaceSizeField = 80;

// True when bytes 1 to 5 of the block are the standard identifier "CD001".
bool isVolumeDescriptor(const uint8_t* block);
// The volume space size of a primary volume descriptor (byte 80, LE 32-bit).
uint32_t volumeSpaceSize(const uint8_t* descriptor);

enum class SearchResult {
    Found,        // the image start is known
    SeekFailed,   // a position could not be reached ("Invalid Image File!!")
    ShortRead,    // the end of the file came first ("Read Volume Descriptor Error!!")
};

// An open image file. Reads go through a read-ahead buffer, so a sector by
// sector transfer costs one system call per 32 sectors; each read is checked
// (a sector that cannot be read whole is a failure, never old data).
class DiscImage {
public:
    DiscImage() = default;
    ~DiscImage();
    DiscImage(const DiscImage&) = delete;
    DiscImage& operator=(const DiscImage&) = delete;

    // Opens a regular file or a block device for reading; anything else (a
    // folder, a pipe, a missing file) is refused without waiting. Closes the
    // image open before.
    bool open(const std::string& path);
    void close();
    bool isOpen() const { return fd_ >= 0; }

    // Looks for the primary volume descriptor at 32768, 33280, ... (steps of
    // 512 bytes) until a block holds "CD001" at bytes 1 to 5; the image start
    // is then that position less 32768.
    SearchResult findStart();
    // The start the last search established; nothing before a search and
    // after a failed one.
    std::optional<uint64_t> start() const { return start_; }
    // The result of the last search (ShortRead when none was made).
    SearchResult lastSearch() const { return lastSearch_; }

    // Reads the 512 bytes of the primary volume descriptor at start + 32768
    // and returns its volume space size; nothing without an established
    // start or when the block cannot be read whole.
    std::optional<uint32_t> volumeSectors();

    // Reads the 2048 bytes of volume sector s (at start + 2048 x s). False
    // without an established start, or when the file does not hold the whole
    // sector or the read fails; buf is then left as it was.
    bool readSector(uint32_t s, uint8_t* buf);
    // The same without a copy: the sector's bytes in the read-ahead buffer,
    // valid until the next call on this image; nullptr when readSector
    // would fail.
    const uint8_t* sector(uint32_t s);

private:
    // Reads exactly n bytes at off, or fewer at the end of the file; -1 on
    // an error.
    long readAt(uint64_t off, uint8_t* buf, size_t n) const;
    // Makes the buffer hold [off, off + n) if the file has it.
    bool fill(uint64_t off, size_t n);

    int fd_ = -1;
    std::optional<uint64_t> start_;
    SearchResult lastSearch_ = SearchResult::ShortRead;
    std::vector<uint8_t> buf_;   // read-ahead: file bytes [bufOff_, bufOff_ + bufLen_)
    uint8_t one_[kSectorSize];   // a sector read on its own
    uint64_t bufOff_ = 0;
    size_t bufLen_ = 0;
};

}  // namespace imager
