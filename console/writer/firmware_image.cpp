#include "firmware_image.h"

#include <cstdio>
#include <cstring>
#include <new>

namespace writer {

namespace {

constexpr size_t kBlock = 64;
constexpr size_t kSignatureOffset = 0xFC;

struct FileCloser {
    void operator()(std::FILE* f) const { std::fclose(f); }
};

}  // namespace

uint32_t transferLength(uint64_t size) {
    const uint64_t rest = size % kBlock;
    return static_cast<uint32_t>(rest == 0 ? size : size - rest + kBlock);
}

ImageBuffer allocateImage(size_t length) {
    ImageBuffer b;
    b.data.reset(new (std::nothrow) uint8_t[length ? length : 1]());
    if (b.data) b.length = length;
    return b;
}

ImageRead readImageFile(const std::string& path) {
    ImageRead r;
    std::unique_ptr<std::FILE, FileCloser> f(path.empty() ? nullptr : std::fopen(path.c_str(), "rb"));
    if (!f) {
        r.error = ImageReadError::Open;
        return r;
    }
    if (std::fseek(f.get(), 0, SEEK_END) != 0) {
        r.error = ImageReadError::Read;
        return r;
    }
    const long end = std::ftell(f.get());
    if (end < 0 || std::fseek(f.get(), 0, SEEK_SET) != 0) {
        r.error = ImageReadError::Read;
        return r;
    }
    const uint64_t size = static_cast<uint64_t>(end);
    if (size == 0) {
        r.error = ImageReadError::Empty;
        return r;
    }
    // A size the transfer length cannot express is more than any code flash.
    if (size > UINT32_MAX - kBlock) {
        r.error = ImageReadError::Memory;
        return r;
    }
    const size_t length = static_cast<size_t>(size - size % kBlock + kBlock);
    ImageBuffer b;
    b.data.reset(new (std::nothrow) uint8_t[length]);
    if (!b.data) {
        r.error = ImageReadError::Memory;
        return r;
    }
    std::memset(b.data.get(), 0xFF, length);
    b.length = length;
    b.fileSize = size;
    if (std::fread(b.data.get(), 1, static_cast<size_t>(size), f.get()) != size) {
        r.error = ImageReadError::Read;
        return r;
    }
    r.image = std::move(b);
    return r;
}

std::optional<IndexWindow> eepCopyWindow(uint8_t deviceClass) {
    if (deviceClass == 0x16) return IndexWindow{0x5F80, 0x5FFF};
    if (deviceClass == 0x12) return IndexWindow{0xBF80, 0xBFFF};
    return std::nullopt;
}

std::optional<size_t> firstCountedDifference(const uint8_t* a, const uint8_t* b, size_t length, uint8_t deviceClass) {
    const std::optional<IndexWindow> w = eepCopyWindow(deviceClass);
    for (size_t i = 0; i < length; ++i) {
        if (a[i] == b[i]) continue;
        if (w && i >= w->first && i <= w->last) continue;
        return i;
    }
    return std::nullopt;
}

bool romSignatureValid(uint8_t deviceClass, const uint8_t* image, size_t size) {
    if (!image || size < kSignatureOffset + 4) return false;
    const auto is = [&](const char* s) { return std::memcmp(image + kSignatureOffset, s, 4) == 0; };
    if (deviceClass == 0x21) return is("6352") || is("XROM");
    if (deviceClass == 0x16) return is("6389");
    return is("XROM");
}

std::string firmwareVersionText(const uint8_t v[4]) {
    if (v[0] == 0 && v[1] == 0 && v[2] == 0 && v[3] == 0x92) return "FW version: 0092";
    char text[8];
    std::snprintf(text, sizeof text, "%c%c%c%c", v[0], v[1], v[2], v[3]);
    return std::string(text);  // the edit shows the text up to a NUL byte
}

}  // namespace writer
