// firmware_image.h - the data side of firmware and ROM programming, with no
// dialog and no device: the firmware file read into its transfer buffer, the
// transfer length, the compare with the window the device keeps for its EEP
// copy, the ROM signature and the firmware version text.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace writer {

// The transfer length of an image of `size` bytes: the size itself when it
// is a multiple of 64, else the next multiple of 64 (64 -> 64, 65 -> 128).
uint32_t transferLength(uint64_t size);

// A buffer of a firmware or ROM image. `length` bytes are valid to read and
// write; `fileSize` of them came from the file, the rest is padding (FFh, as
// erased flash reads).
struct ImageBuffer {
    std::unique_ptr<uint8_t[]> data;
    size_t length = 0;
    uint64_t fileSize = 0;
};

enum class ImageReadError { None, Open, Empty, Memory, Read };

struct ImageRead {
    ImageReadError error = ImageReadError::None;
    ImageBuffer image;   // when error is None
};

// Opens the file for binary reading and takes its size S, allocates S minus
// (S mod 64) plus 64 bytes filled with FFh, and reads the file into it. The
// read is bounded by the buffer: a file that grows meanwhile cannot write
// past it, and one that shrinks (fewer bytes than S) is a read error. Empty
// files are refused. No exceptions: allocation failures are reported.
ImageRead readImageFile(const std::string& path);

// A zeroed buffer of `length` bytes, or an empty one when it cannot be had.
ImageBuffer allocateImage(size_t length);

// The indexes the device keeps for its EEP copy, which a compare passes
// over: 5F80h-5FFFh on class 16h, BF80h-BFFFh on class 12h, none otherwise.
struct IndexWindow {
    size_t first, last;
};
std::optional<IndexWindow> eepCopyWindow(uint8_t deviceClass);

// The index of the first of `length` bytes where `a` and `b` differ outside
// the device class's EEP-copy window, or nothing when they agree there.
std::optional<size_t> firstCountedDifference(const uint8_t* a, const uint8_t* b, size_t length, uint8_t deviceClass);

// The four signature bytes at FCh of a ROM image, checked per class: 21h
// accepts "6352" and "XROM", 16h "6389", every other class "XROM". An image
// shorter than 256 bytes has no signature.
bool romSignatureValid(uint8_t deviceClass, const uint8_t* image, size_t size);

// The text "F/W Info" shows for the four version bytes: "FW version: 0092"
// for 00 00 00 92h, else the four bytes as characters.
std::string firmwareVersionText(const uint8_t version[4]);

}  // namespace writer
