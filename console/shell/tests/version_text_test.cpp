#include "console/shell/version_text.h"

#include <gtest/gtest.h>

namespace console {
namespace {

TEST(VersionText, PartsBelowSixteenGiveOneDigitEach)
{
    EXPECT_EQ(packVersion(1, 4, 4, 4), 0x1444);
    EXPECT_EQ(versionText(1, 4, 4, 4), "1.4.4.4");

    EXPECT_EQ(packVersion(0, 9, 1, 2), 0x0912);
    EXPECT_EQ(versionDigits(0x0912), "0912");
    EXPECT_EQ(versionText(0, 9, 1, 2), "0.9.1.2");

    EXPECT_EQ(versionText(15, 15, 15, 15), "f.f.f.f");  // lower case
    EXPECT_EQ(versionText(1, 0, 0, 0), "1.0.0.0");      // inner zeros kept
}

TEST(VersionText, BelowFourDigitsGetsExactlyOneLeadingZero)
{
    EXPECT_EQ(versionDigits(0x0012), "012");
    EXPECT_EQ(dotted(versionDigits(0x0012)), "0.1.2");
    EXPECT_EQ(versionDigits(0x0001), "01");
    EXPECT_EQ(versionDigits(0x0000), "00");
    EXPECT_EQ(versionText(0, 0, 0, 0), "0.0");
    EXPECT_EQ(versionDigits(0x0fff), "0fff");
    EXPECT_EQ(versionDigits(0x1000), "1000");
}

TEST(VersionText, PartsOfSixteenAndMoreOverlapAsTheArithmeticSays)
{
    // Major wraps at 16.
    EXPECT_EQ(packVersion(17, 4, 4, 4), 0x1444);
    // A revision of 16 carries into the build digit.
    EXPECT_EQ(versionText(1, 4, 4, 16), "1.4.5.0");
    // Minor 0x12 spreads over two digits and pushes into the major one.
    EXPECT_EQ(packVersion(1, 0x12, 0, 0), 0x2200);
    // Only the low 16 bits are kept.
    // 0xF000 + 0xFF00 + 0xFFF0 + 0x20 = 0x2EF10.
    EXPECT_EQ(packVersion(15, 255, 4095, 0x20), 0xEF10);
    EXPECT_EQ(versionText(15, 255, 4095, 0x20), "e.f.1.0");
}

TEST(VersionText, TitleGetsTheSuffix)
{
    EXPECT_EQ(titleWithVersion("Tavrin", "1.4.4.4"), "Tavrin -- 1.4.4.4");
    EXPECT_EQ(titleWithVersion("", "0.9.1.2"), " -- 0.9.1.2");

    // The title is read back with at most 63 characters.
    const std::string long64(64, 'T');
    EXPECT_EQ(titleWithVersion(long64, "1.4.4.4"), std::string(63, 'T') + " -- 1.4.4.4");
    // Regression: cutting inside a UTF-8 character left a broken title.
    const std::string wide = std::string(62, 'T') + "\xe9\x97\x9c";  // 62 + one 3-byte character
    EXPECT_EQ(titleWithVersion(wide, "1"), std::string(62, 'T') + " -- 1");
}

}  // namespace
}  // namespace console
