// eep_types.h - the data an EEP setup file yields for the writer dialog, and
// the messages the dialog shows while loading, checking and saving it.
//
// Nothing here depends on a dialog or a device: the dialog copies these
// values into its controls and into the device library's settings record.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace eep {

// Message box icon, with the values of the window system's icon flags so the
// dialog can pass them straight on.
enum class Icon : unsigned { None = 0, Error = 0x10, Warning = 0x30, Information = 0x40 };

// One message box: exact text, title ("" = the program's name) and icon.
struct Message {
    std::string text;
    std::string title;
    Icon icon = Icon::None;
    bool operator==(const Message&) const = default;
};

// The "Serial Number Type" radio buttons.
enum class SerialMode { AutoIncrement, Random, Boundary };

// Serial mode with the texts of the "Start" and "End" edits.
struct SerialSettings {
    SerialMode mode = SerialMode::AutoIncrement;
    std::string start;
    std::string end;
};

// The EEPROM image: words 0 to 63 are the 93C46's content; the loader keeps
// up to 128 words so that an oversized file can still be measured.
inline constexpr int kImageWords = 128;
inline constexpr int kEepromWords = 64;
using Image = std::array<uint16_t, kImageWords>;

inline uint8_t lo(uint16_t w) { return static_cast<uint8_t>(w & 0xFF); }
inline uint8_t hi(uint16_t w) { return static_cast<uint8_t>(w >> 8); }

// The string sections' texts as the device library receives them.
struct Strings {
    std::string vendor, product, interface, serial;
    std::string inquiryVendor, inquiryProduct;   // after clipping to 8 / 16
    std::vector<std::string> cardNames;          // at most 8 of at most 7 characters
    bool operator==(const Strings&) const = default;
};

// Device classes (the controller's class byte).
inline bool isIdeBridge(uint8_t c) { return c <= 0x0F; }
inline bool isCardReader(uint8_t c) { return c >= 0x10 && c <= 0x1F; }
inline bool isFlashDisk(uint8_t c) { return c >= 0x20 && c <= 0x2F; }
inline constexpr uint8_t kReaderWithStrings = 0x14;

// Card-type rows of the icon check boxes, and their bits in an icon card mask.
enum CardRow { kCF = 0, kSM, kSD, kMS, kXD, kCardRows };
inline constexpr int kIcons = 6;
inline constexpr std::array<uint8_t, kCardRows> kCardMaskBits = {0x10, 0x20, 0x40, 0x80, 0x01};
// icons[row][icon]: the 30 check boxes "CF".."XD" of "Icon0".."Icon5".
using IconBoxes = std::array<std::array<bool, kIcons>, kCardRows>;

// The icon card mask of one icon column from the check boxes.
uint8_t iconMask(const IconBoxes& boxes, int icon);
// Checks the boxes of one icon column that a card mask selects.
void setIconMask(IconBoxes& boxes, int icon, uint8_t mask);

// Numeric settings decoded from data lines 0 to 9 (by device class).
struct Fields {
    uint16_t vendorId = 0;
    uint16_t productId = 0;        // IDE: the ATA product ID
    uint16_t atapiProductId = 0;   // IDE: PID high byte, then word 3's high byte
    uint8_t word2High = 0;
    uint8_t word2Low = 0;          // reader 14h
    uint8_t word3High = 0;         // reader 14h
    uint8_t initialDelay = 0;      // IDE
    uint8_t cardType = 0;          // reader
    uint8_t iconNumber = 0;        // reader
    uint8_t cardNamePosition = 0;  // reader
    uint8_t config1 = 0;
    uint8_t config2 = 0;           // IDE
    std::array<uint8_t, kIcons> iconMasks{};
    bool operator==(const Fields&) const = default;
};

// The texts of the writer dialog's fields that the EEP file feeds and that
// "Save to eep file" writes back.
struct FieldTexts {
    std::string vid, pid;                                    // "VID(4)", "PID(4)"
    std::string pidHighByte, pidLowByteAta, pidLowByteAtapi;  // IDE panel
    std::string initialDelay;                                // "Initial delay"
    std::string cardType;                                    // "Define card type(1 byte)"
    std::string iconNumber;                                  // "Disk icon display number in PC(0~5)"
    std::string config1, config2;                            // "Config1/Config2 byte setting(1 byte)"
    std::string vendorStr, productStr;                       // "Vendor-Str(8)", "Product-Str(12)"
    std::string inquiryVendor, inquiryProduct;               // UFD panel
    std::array<std::string, 5> cardNames;                    // "Card-Str" edits
    IconBoxes icons{};
    bool pidEnabled = true;
    bool operator==(const FieldTexts&) const = default;
};

// What a parse puts into the dialog's fields. A field without a value is left
// as it is; the icon boxes and card-name edits are always replaced (a parse
// clears them first).
struct FieldUpdate {
    std::optional<std::string> vid, pid, pidHighByte, pidLowByteAta, pidLowByteAtapi;
    std::optional<std::string> initialDelay, cardType, iconNumber, config1, config2;
    std::optional<std::string> vendorStr, productStr, inquiryVendor, inquiryProduct;
    std::array<std::string, 5> cardNames;
    IconBoxes icons{};
    bool disablePid = false;     // IDE bridge: the "PID(4)" edit is disabled
    void applyTo(FieldTexts& f) const;
};

}  // namespace eep
