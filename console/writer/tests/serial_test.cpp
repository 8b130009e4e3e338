#include <gtest/gtest.h>

#include <string>

#include "eep_file.h"
#include "serial.h"

using namespace eep;

namespace {

// An image with word 5 pointing at a serial descriptor at word 10.
Image imageWithSerial(const std::string& text) {
    Image img;
    img.fill(0xFFFF);
    img[5] = 0xFF0A;
    img[10] = static_cast<uint16_t>(0x0300 | (2 * text.size() + 2));
    for (size_t k = 0; k < text.size(); ++k) img[11 + k] = static_cast<uint8_t>(text[k]);
    return img;
}

std::string serialIn(const Image& img) {
    std::string s;
    for (size_t k = 0; k < (lo(img[10]) - 2u) / 2u; ++k) s.push_back(static_cast<char>(lo(img[11 + k])));
    return s;
}

SerialState fresh(const std::string& text) {
    const SerialFlags f = serialFlags(text);
    return SerialState{true, f.numeric, f.keepsWidth};
}

}  // namespace

TEST(SerialSource, TimeStampOrStartTextInQuotes) {
    const LocalTime t{2026, 3, 4, 5, 6, 7, 8};
    EXPECT_EQ(serialLineFor(SerialSettings{SerialMode::Random, "", ""}, [&] { return t; }), "\"20260304050607008\"");
    EXPECT_EQ(timeStamp(systemLocalTime()).size(), 17u);
    EXPECT_EQ(serialLineFor(SerialSettings{SerialMode::Boundary, "0005", "9"}, {}), "\"0005\"");
    EXPECT_EQ(serialLineFor(SerialSettings{}, {}), std::nullopt);
}

TEST(SerialStartEnd, BothFilledAndEndNotBelowStart) {
    const Message missing{"You must input numbers in Start and End fileds.", "", Icon::None};
    const Message order{"End number must more than Start number.", "", Icon::None};
    auto check = [](std::string start, std::string end) {
        return checkStartEnd(SerialSettings{SerialMode::Boundary, start, end});
    };
    EXPECT_EQ(check("10", "9"), order);
    EXPECT_EQ(check("10", "10"), std::nullopt);
    EXPECT_EQ(check("", "7"), missing);
    EXPECT_EQ(check("5", ""), missing);
    EXPECT_EQ(check("1", "99999999999999999999"), std::nullopt);   // 19 characters are read
    EXPECT_EQ(editValue("12345678901234567890"), 1234567890123456789);
}

TEST(NextSerial, WidthZeroFillAndRestart) {
    const SerialSettings autoMode;
    // (text in the image, next text of a first run, image text and next text of a further run)
    const std::vector<std::tuple<std::string, std::string, std::string, std::string>> cases = {
        {"000123", "000124", "000124", "000125"},
        {"99 ", "100", "100", "101"},     // a trailing space keeps the width, no zeros
        {"5 ", "6", "6 ", "7"},
        {"0000", "0001", "0001", "0002"}, // zero starts again at 1
        {"99", "01", "01", "02"},         // no room for 100: starts again at 1
        {"98", "99", "99", "01"},
        {"9223372036854775807", "0000000000000000001", "0000000000000000001",
         "0000000000000000002"},   // the 64-bit maximum is the boundary
    };
    for (const auto& [text, first, advanced, further] : cases) {
        Image img = imageWithSerial(text);
        SerialState st = fresh(text);
        EXPECT_EQ(computeNextSerial(img, st, autoMode).text, first) << text;
        EXPECT_EQ(serialIn(img), text);
        EXPECT_EQ(computeNextSerial(img, st, autoMode).text, further) << text;
        EXPECT_EQ(serialIn(img), advanced) << text;
        EXPECT_EQ(img[11 + text.size()], 0xFFFF) << text;   // nothing past the serial
    }
    // The time stamp of the random mode counts in its own 17 digits.
    Image stamp = imageWithSerial("20260304050607008");
    SerialState st = fresh("20260304050607008");
    EXPECT_EQ(computeNextSerial(stamp, st, SerialSettings{SerialMode::Random, "", ""}).text, "20260304050607009");
    // Boundary mode: the width of the End text, End once reached.
    Image five = imageWithSerial("5");
    st = fresh("5");
    EXPECT_EQ(computeNextSerial(five, st, SerialSettings{SerialMode::Boundary, "5", "100"}).text, "006");
    Image seven = imageWithSerial("0007");
    st = fresh("0007");
    EXPECT_EQ(computeNextSerial(seven, st, SerialSettings{SerialMode::Boundary, "0007", "0007"}).text, "0007");
}

TEST(NextSerial, NothingWithoutANumericSerialAtAPosition) {
    Image letter = imageWithSerial("12A4");
    SerialState st = fresh("12A4");
    EXPECT_FALSE(computeNextSerial(letter, st, SerialSettings{}).computed);
    EXPECT_EQ(serialIn(letter), "12A4");
    std::vector<Image> broken(3, imageWithSerial("123"));
    broken[0][5] = 0x0000;   // no serial position
    broken[1][5] = 0x00FF;   // a position past the image
    broken[2][10] = 0x0301;  // a descriptor without characters
    for (Image& img : broken) {
        st = fresh("123");
        EXPECT_FALSE(computeNextSerial(img, st, SerialSettings{}).computed);
    }
}
