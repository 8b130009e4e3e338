// eep_text.h - how an EEP file is cut into lines and how a line is read:
// line pieces of a 255-byte read buffer, section tags, leading hexadecimal
// numbers and the first quoted run of a string definition.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace eep {

// The loader reads a line into a 255-byte buffer: at most 254 characters,
// line break included, per read. A longer line is read as several pieces and
// every piece counts as a line of its own.
inline constexpr size_t kPieceChars = 254;

// A file's text with CR LF normalised to LF (files made on the original
// platform still load), cut into line pieces. Each piece keeps its '\n' if it
// has one; the last piece may have none.
class Pieces {
public:
    Pieces() = default;
    explicit Pieces(std::string_view content);
    size_t size() const { return spans_.size(); }
    std::string_view operator[](size_t k) const { return {text_.data() + spans_[k].begin, spans_[k].length}; }
    // All pieces together: the normalised text.
    const std::string& text() const { return text_; }
private:
    struct Span { size_t begin, length; };
    std::string text_;
    std::vector<Span> spans_;
};

// What the parser sees of a piece: the characters before its line break,
// ending early at a NUL byte.
std::string_view lineText(std::string_view piece);

enum class Tag { None, Start, End, CheckSumIndex, VendorStr, ProductStr, SerialStr,
                 InterfaceStr, InquiryVendor, InquiryProduct, CardStr };
// The section tag a line begins with, compared over the tag's own length.
Tag tagOf(std::string_view text);
bool isStringTag(Tag t);

// The hexadecimal number at the start of a line (leading blanks skipped,
// stopping at the first character that is not a hex digit), kept to 16 bits.
// Nothing when no hex digit follows the blanks.
std::optional<uint16_t> leadingHex(std::string_view text);

// The first run of characters between two double quotes of a string
// definition line. The scan stops at the first '#' and at the end of the
// line. Nothing when there are not two quotes or the run is empty.
struct QuotedRun {
    size_t begin = 0;   // offset of the first text character in the line
    size_t length = 0;
};
std::optional<QuotedRun> quotedRun(std::string_view text);

// Leading decimal digits as a value, saturating at the int64 maximum
// (no sign, no blanks); 0 when the text does not start with a digit.
int64_t leadingDecimal(std::string_view text);

// Two upper-case hexadecimal digits.
std::string hex2(uint8_t b);

}  // namespace eep
