#include "imager/disc_image.h"

#include <cerrno>
#include <cstring>
#include <limits>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace imager {

namespace {

// Read-ahead size: 32 sectors (64 KiB, small enough to stay in the cache).
constexpr size_t kChunk = 32 * kSectorSize;

}  // namespace

bool isVolumeDescriptor(const uint8_t* block) { return std::memcmp(block + 1, "CD001", 5) == 0; }

uint32_t volumeSpaceSize(const uint8_t* descriptor) {
    const uint8_t* p = descriptor + kVolumeSpaceSizeField;
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

DiscImage::~DiscImage() { close(); }

bool DiscImage::open(const std::string& path) {
    close();
    // Non-blocking, so that a pipe given as the image does not wait for a
    // writer; only regular files and block devices are taken.
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) return false;
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !(S_ISREG(st.st_mode) || S_ISBLK(st.st_mode))) {
        ::close(fd);
        return false;
    }
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags >= 0) ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
    fd_ = fd;
    buf_.resize(kChunk);
    return true;
}

void DiscImage::close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    start_.reset();
    lastSearch_ = SearchResult::ShortRead;
    bufOff_ = 0;
    bufLen_ = 0;
}

long DiscImage::readAt(uint64_t off, uint8_t* buf, size_t n) const {
    if (fd_ < 0 || off > uint64_t(std::numeric_limits<off_t>::max()) - n) return -1;
    size_t got = 0;
    while (got < n) {
        const ssize_t r = ::pread(fd_, buf + got, n - got, off_t(off + got));
        if (r < 0) {
            if (errno == EINTR) continue;
            return -1;
        }
        if (r == 0) break;   // end of the file
        got += size_t(r);
    }
    return long(got);
}

bool DiscImage::fill(uint64_t off, size_t n) {
    bufLen_ = 0;
    bufOff_ = off;
    const long got = readAt(off, buf_.data(), n);
    if (got < 0) return false;
    bufLen_ = size_t(got);
    return true;
}

SearchResult DiscImage::findStart() {
    start_.reset();
    bufLen_ = 0;   // the search reads the file afresh
    lastSearch_ = SearchResult::ShortRead;
    if (fd_ < 0) return lastSearch_;
    for (uint64_t p = kVolumeDescriptorOffset;; p += kSearchBlock) {
        if (p < bufOff_ || p + kSearchBlock > bufOff_ + bufLen_) {
            // The next blocks are read ahead in one call; the position is
            // reached first, as a seek would reach it.
            if (p > uint64_t(std::numeric_limits<off_t>::max()) - kChunk ||
                ::lseek(fd_, off_t(p), SEEK_SET) < 0) {
                bufLen_ = 0;
                return lastSearch_ = SearchResult::SeekFailed;
            }
            if (!fill(p, kChunk) || bufLen_ < kSearchBlock) {
                bufLen_ = 0;
                return lastSearch_ = SearchResult::ShortRead;
            }
        }
        if (isVolumeDescriptor(buf_.data() + (p - bufOff_))) {
            start_ = p - kVolumeDescriptorOffset;
            return lastSearch_ = SearchResult::Found;
        }
    }
}

std::optional<uint32_t> DiscImage::volumeSectors() {
    if (!start_) return std::nullopt;
    // Every transfer starts here: what was read ahead before is dropped, so
    // a file changed since the last transfer is read as it is now.
    bufLen_ = 0;
    uint8_t block[kSearchBlock];
    if (readAt(*start_ + kVolumeDescriptorOffset, block, sizeof block) != long(sizeof block)) return std::nullopt;
    return volumeSpaceSize(block);
}

bool DiscImage::readSector(uint32_t s, uint8_t* out) {
    const uint8_t* p = sector(s);
    if (!p) return false;
    std::memcpy(out, p, kSectorSize);
    return true;
}

const uint8_t* DiscImage::sector(uint32_t s) {
    if (!start_) return nullptr;
    const uint64_t off = *start_ + uint64_t(s) * kSectorSize;
    if (off < bufOff_ || off + kSectorSize > bufOff_ + bufLen_) {
        if (!fill(off, kChunk)) {
            // An error somewhere in the read-ahead: this sector alone may
            // still be readable.
            bufLen_ = 0;
            return readAt(off, one_, kSectorSize) == long(kSectorSize) ? one_ : nullptr;
        }
        if (bufLen_ < kSectorSize) return nullptr;
    }
    return buf_.data() + (off - bufOff_);
}

}  // namespace imager
