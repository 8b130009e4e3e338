// version_text.h - the console's version text, as shown in its title.
#pragma once

#include <cstdint>
#include <string>

namespace console {

// The four parts of a fixed file version packed into one 16-bit number, one
// hexadecimal digit per part when every part is below 16:
// (major mod 16) * 4096 + (minor mod 256) * 256 + (build mod 4096) * 16 + revision,
// low 16 bits.
uint16_t packVersion(uint16_t major, uint16_t minor, uint16_t build, uint16_t revision);

// The packed number in lower-case hexadecimal without leading zeros, with one
// "0" in front when it is below 0x1000 (0x0912 -> "0912", 0x0012 -> "012").
std::string versionDigits(uint16_t packed);

// A "." after every character but the last: "1444" -> "1.4.4.4".
std::string dotted(const std::string& digits);

// The whole chain: 1.4.4.4 -> "1.4.4.4", 0.9.1.2 -> "0.9.1.2".
std::string versionText(uint16_t major, uint16_t minor, uint16_t build, uint16_t revision);

// The window title with the version appended: the title as read back from
// the window (at most 63 characters), " -- ", the version text.
std::string titleWithVersion(const std::string& title, const std::string& version);

}  // namespace console
