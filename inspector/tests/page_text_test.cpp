// The box texts and their parses, without a dialog or a device.
#include "inspector/page_text.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <string>
#include <vector>

using namespace inspector;

namespace {

std::vector<uint8_t> parsedData(const std::string& text, size_t n, ParseResult* result = nullptr) {
    std::vector<uint8_t> out(n + 8, 0xEE);   // 8 guard bytes after the n
    std::fill(out.begin(), out.begin() + long(n), 0);
    const ParseResult r = parseData(text, out.data(), n);
    if (result) *result = r;
    for (size_t i = n; i < out.size(); ++i) EXPECT_EQ(out[i], 0xEE) << "written past the buffer at " << i;
    out.resize(n);
    return out;
}

}  // namespace

TEST(PageText, BytesAsLowerCaseDigitPairsEachFollowedByASpace) {
    const uint8_t bytes[] = {0x00, 0x0f, 0x10, 0xab, 0xff};
    EXPECT_EQ(hexText(bytes, 5), "00 0f 10 ab ff ");
    EXPECT_EQ(hexText(bytes, 0), "");
    std::vector<uint8_t> page(2048, 0x5a);
    EXPECT_EQ(hexText(page.data(), page.size()).size(), 3u * 2048);
}

TEST(PageText, AddressLabelsForSmallAndLargePagesAndFromAScrolledRow) {
    const std::string small = addressColumn(512);
    ASSERT_EQ(small.size(), 32u * 7);
    EXPECT_EQ(small.substr(0, 14), "0x0000h0x0010h");
    EXPECT_EQ(small.substr(31 * 7), "0x01f0h");
    const std::string large = addressColumn(2048);
    ASSERT_EQ(large.size(), 128u * 7);
    EXPECT_EQ(large.substr(15 * 7, 7), "0x00f0h");
    EXPECT_EQ(large.substr(16 * 7, 7), "0x0100h");
    EXPECT_EQ(large.substr(127 * 7), "0x07f0h");
    // Scrolled to row 120: labels 120 to 127 only.
    EXPECT_EQ(addressColumn(2048, 120), large.substr(120 * 7));
    EXPECT_EQ(addressColumn(512, 32), "");
    EXPECT_EQ(addressColumn(512, 200), "");
}

TEST(PageText, HexGroupRule) {
    struct Case {
        const char* digits;
        std::array<uint8_t, 4> bytes;
    } cases[] = {
        {"", {0, 0, 0, 0}},
        {"a", {0x0a, 0, 0, 0}},
        {"Ab", {0xab, 0, 0, 0}},
        {"abc", {0x0a, 0xbc, 0, 0}},     // odd count: a leading zero digit
        {"1234", {0x12, 0x34, 0, 0}},
        {"12345", {0x01, 0x23, 0x45, 0}},
        {"123456", {0x12, 0x34, 0x56, 0}},
        {"1234567", {0x01, 0x23, 0x45, 0x67}},
        {"DEADbeef", {0xde, 0xad, 0xbe, 0xef}},
        {"ffffffff", {0xff, 0xff, 0xff, 0xff}},
    };
    for (const Case& c : cases) {
        std::array<uint8_t, 4> out{9, 9, 9, 9};
        ASSERT_TRUE(hexGroup(c.digits, out.data())) << c.digits;
        EXPECT_EQ(out, c.bytes) << c.digits;
    }
    // Not a hexadecimal number: nothing written. A "0x" prefix, a sign or a
    // blank is not a digit either.
    for (const char* bad : {"g", "12 4", "0x12", "+1", "-1", "1\t", "123456789", "1\r\n"}) {
        std::array<uint8_t, 4> out{9, 9, 9, 9};
        EXPECT_FALSE(hexGroup(bad, out.data())) << bad;
        EXPECT_EQ(out, (std::array<uint8_t, 4>{9, 9, 9, 9})) << bad;
    }
}

TEST(PageText, SpareParseTakesFourGroupsOfTheTextWithoutSpaces) {
    std::array<uint8_t, 16> out{};
    EXPECT_EQ(parseSpare("", out.data()), ParseResult::Empty);
    // The text as the box shows it.
    const uint8_t shown[16] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 0xff};
    ASSERT_EQ(parseSpare(hexText(shown, 16), out.data()), ParseResult::Ok);
    EXPECT_EQ(0, std::memcmp(out.data(), shown, 16));
    // Spaces anywhere: byte boundaries follow digit pairs.
    out.fill(0);
    ASSERT_EQ(parseSpare("a b c d 1 2 3 4 5 6", out.data()), ParseResult::Ok);
    EXPECT_EQ(out, (std::array<uint8_t, 16>{0xab, 0xcd, 0x12, 0x34, 0x56, 0, 0, 0}));
    // Characters beyond the 32nd digit are ignored, even bad ones.
    out.fill(0);
    ASSERT_EQ(parseSpare(std::string(32, 'F') + "zz", out.data()), ParseResult::Ok);
    EXPECT_EQ(out, (std::array<uint8_t, 16>{0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff,
                                              0xff, 0xff, 0xff, 0xff, 0xff, 0xff}));
    // Only blanks is not empty: four empty groups give zeros.
    out.fill(7);
    ASSERT_EQ(parseSpare("   ", out.data()), ParseResult::Ok);
    EXPECT_EQ(out[0], 7);   // untouched: the dialog zeroes first
    EXPECT_EQ(parseSpare("00 11 2g", out.data()), ParseResult::Bad);
    // Only the first 191 characters count: a bad digit after them is not read.
    EXPECT_EQ(parseSpare(std::string(191, ' ') + "zz", out.data()), ParseResult::Ok);
}

TEST(PageText, DataParseShortOddSpacedAndUpperCaseTexts) {
    // A short text leaves zeros after the last group; an odd last group
    // takes a leading zero digit.
    ParseResult r;
    std::vector<uint8_t> out = parsedData("a b c", 512, &r);
    ASSERT_EQ(r, ParseResult::Ok);
    EXPECT_EQ(out[0], 0x0a);
    EXPECT_EQ(out[1], 0xbc);
    EXPECT_TRUE(std::all_of(out.begin() + 2, out.end(), [](uint8_t v) { return v == 0; }));
    out = parsedData("DE AD BE EF 01", 16, &r);
    ASSERT_EQ(r, ParseResult::Ok);
    EXPECT_EQ(out, (std::vector<uint8_t>{0xde, 0xad, 0xbe, 0xef, 0x01, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(parseData("", out.data(), 16), ParseResult::Empty);
    EXPECT_EQ(parseData("00 11 xx", out.data(), 16), ParseResult::Bad);
    // A line break is not a blank.
    EXPECT_EQ(parseData("00 11\r\n22", out.data(), 16), ParseResult::Bad);
}

TEST(PageText, DataParseNeverWritesPastItsBuffer) {
    // Far more digits than the buffer holds, for sizes that are and are not
    // multiples of four.
    const std::string many(20000, 'f');
    for (size_t n : {0u, 1u, 2u, 3u, 4u, 5u, 6u, 7u, 16u, 512u, 2048u}) {
        ParseResult r;
        std::vector<uint8_t> out = parsedData(many, n, &r);
        EXPECT_EQ(r, n == 0 ? ParseResult::Empty : ParseResult::Ok) << n;
        // Whole groups only: n / 4 groups of 4 bytes.
        for (size_t i = 0; i < n; ++i) EXPECT_EQ(out[i], i < n / 4 * 4 ? 0xff : 0) << n << " byte " << i;
    }
    // The text is cut at 3 * n - 1 characters before spaces are removed:
    // digits after that are not read, not even a bad one.
    std::string text(3 * 16 - 1, ' ');
    text += "zz";
    ParseResult r;
    parsedData(text, 16, &r);
    EXPECT_EQ(r, ParseResult::Ok);
}

TEST(PageText, FieldNumbersReadEightDigitsWithoutWrappingAt16Bits) {
    EXPECT_EQ(fieldNumber(""), 0u);
    EXPECT_EQ(fieldNumber("0"), 0u);
    EXPECT_EQ(fieldNumber("1023"), 1023u);
    // Regression: "65537" was read as block 1, so Erase Blk erased block 1.
    EXPECT_EQ(fieldNumber("65537"), 65537u);
    EXPECT_EQ(fieldNumber("123456789"), 12345678u);   // the first 8 characters
    EXPECT_EQ(fieldNumber("99999999"), 99999999u);
}
