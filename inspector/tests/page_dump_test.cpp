// Page dump files: the layout Save writes and what Restore reads back, on
// texts alone (the dialog's use of them is in inspector_dump_test.cpp).
#include "inspector/page_dump.h"
#include "inspector/page_text.h"

#include <gtest/gtest.h>

#include <random>
#include <sstream>
#include <string>
#include <vector>

using namespace inspector;

namespace {

Restored read(const std::string& file, bool physical, size_t capacity = 2048) {
    std::istringstream in(file);
    return readDump(in, physical, capacity);
}

std::string randomBytesText(std::mt19937& rng, size_t n) {
    std::vector<uint8_t> b(n);
    for (auto& v : b) v = static_cast<uint8_t>(rng());
    return hexText(b.data(), n);
}

std::vector<std::string> lines(const std::string& s) {
    std::vector<std::string> out;
    std::istringstream in(s);
    for (std::string l; std::getline(in, l);) out.push_back(l);
    return out;
}

}  // namespace

TEST(PageDump, LabelsInTheThreeWidths) {
    EXPECT_EQ(dumpLabel(0), "0x0000h : ");
    EXPECT_EQ(dumpLabel(1), "0x0010h : ");
    EXPECT_EQ(dumpLabel(15), "0x00f0h : ");
    EXPECT_EQ(dumpLabel(16), "0x0100h : ");
    EXPECT_EQ(dumpLabel(127), "0x07f0h : ");
    EXPECT_EQ(dumpLabel(255), "0x0ff0h : ");
    EXPECT_EQ(dumpLabel(256), "0x1000h : ");
    EXPECT_EQ(dumpLabel(4095), "0xfff0h : ");
}

TEST(PageDump, PhysicalFileLayout) {
    std::vector<uint8_t> page(512);
    for (size_t i = 0; i < page.size(); ++i) page[i] = static_cast<uint8_t>(i);
    const uint8_t spare[16] = {0xff, 0xff, 0xff, 0xff, 0xff, 0x00};
    const std::string spareText = hexText(spare, 16), dataText = hexText(page.data(), page.size());
    const std::string file = dumpText(true, spareText, dataText, 512);
    const std::vector<std::string> l = lines(file);
    ASSERT_EQ(l.size(), 6u + 32u + 3u);
    EXPECT_EQ(l[0], "[Redundant_Area]");
    EXPECT_EQ(l[1], "");
    EXPECT_EQ(l[2], "\t\t" + spareText);
    EXPECT_EQ(l[3], "");
    EXPECT_EQ(l[4], "[Data_Area]");
    EXPECT_EQ(l[5], "");
    EXPECT_EQ(l[6], "0x0000h : 00 01 02 03 04 05 06 07 08 09 0a 0b 0c 0d 0e 0f");
    EXPECT_EQ(l[6 + 16], "0x0100h : " + dataText.substr(48 * 16, 47));
    EXPECT_EQ(l[6 + 31].substr(0, 10), "0x01f0h : ");
    EXPECT_EQ(l[6 + 31].size(), 57u);
    EXPECT_EQ(l[38], "");
    EXPECT_EQ(l[39], "");
    EXPECT_EQ(l[40], "[End]");
    EXPECT_EQ(file.back(), ']') << "no line end after [End]";
}

TEST(PageDump, LogicalFileBeginsWithTheDataSectionAndLargePagesGive128Lines) {
    std::mt19937 rng(7);
    const std::string file = dumpText(false, "ignored", randomBytesText(rng, 2048), 2048);
    const std::vector<std::string> l = lines(file);
    EXPECT_EQ(l[0], "[Data_Area]");
    ASSERT_EQ(l.size(), 2u + 128u + 3u);
    EXPECT_EQ(l[2].substr(0, 10), "0x0000h : ");
    EXPECT_EQ(l[129].substr(0, 10), "0x07f0h : ");
    // A short data text ends the rows where it ends.
    EXPECT_EQ(lines(dumpText(false, "", "00 11 22 ", 512)).size(), 2u + 1u + 3u);
    EXPECT_EQ(lines(dumpText(false, "", "", 512)).size(), 2u + 3u);
}

TEST(PageDump, SaveThenReadGivesTheBoxTextsBackOnRandomContents) {
    const unsigned seed = std::random_device{}();
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 rng(seed);
    for (size_t n : {512u, 2048u}) {
        for (bool physical : {true, false}) {
            const std::string spare = randomBytesText(rng, 16), data = randomBytesText(rng, n);
            for (bool crlf : {false, true}) {
                std::string file = dumpText(physical, spare, data, n);
                if (crlf) {
                    std::string c;
                    for (char ch : file) c += ch == '\n' ? std::string("\r\n") : std::string(1, ch);
                    file = c;
                }
                const Restored r = read(file, physical, n);
                ASSERT_EQ(r.outcome, Restored::Outcome::Ready) << n << physical << crlf;
                EXPECT_EQ(r.dataText, data);
                if (physical) {
                    ASSERT_TRUE(r.spareText);
                    EXPECT_EQ(*r.spareText, spare);
                } else {
                    EXPECT_FALSE(r.spareText);
                }
            }
        }
    }
}

TEST(PageDump, SectionsFoundOrNotAcrossModes) {
    const std::string data = "00 01 02 03 04 05 06 07 08 09 0a 0b 0c 0d 0e 0f ";
    // Saved in logical mode, restored in physical mode: no spare section
    // before "[End]", nothing changes.
    Restored r = read(dumpText(false, "", data, 512), true);
    EXPECT_EQ(r.outcome, Restored::Outcome::NotFound);
    EXPECT_FALSE(r.spareText);
    // Saved in physical mode, restored in logical mode: the spare section is
    // passed over, the data search starts at the beginning.
    r = read(dumpText(true, "aa bb ", data, 512), false);
    ASSERT_EQ(r.outcome, Restored::Outcome::Ready);
    EXPECT_EQ(r.dataText, data);
    EXPECT_FALSE(r.spareText);
    // "[End]" before the data section.
    EXPECT_EQ(read("x\n[End]\n[Data_Area]\n0x0000h : 00\n[End]", false).outcome, Restored::Outcome::NotFound);
}

TEST(PageDump, MissingEndOrSectionIsAReadErrorAfterTheSparePlaced) {
    const std::string data = "00 01 02 03 04 05 06 07 08 09 0a 0b 0c 0d 0e 0f ";
    std::string file = dumpText(true, "12 34 ", data, 512);
    file.resize(file.size() - 5);   // no "[End]"
    Restored r = read(file, true);
    EXPECT_EQ(r.outcome, Restored::Outcome::ReadError);
    ASSERT_TRUE(r.spareText) << "the spare text is placed before the data section is read";
    EXPECT_EQ(*r.spareText, "12 34 ");
    EXPECT_EQ(read(file, false).outcome, Restored::Outcome::ReadError);
    EXPECT_EQ(read("", true).outcome, Restored::Outcome::ReadError);
    EXPECT_EQ(read("", false).outcome, Restored::Outcome::ReadError);
    // The spare section never reaches "[Data_Area]".
    r = read("[Redundant_Area]\n\t\t00\n[End]", true);
    EXPECT_EQ(r.outcome, Restored::Outcome::ReadError);
    EXPECT_FALSE(r.spareText);
}

TEST(PageDump, SpareSectionKeepsTheLastLineWithoutTabsUpTo191Characters) {
    Restored r = read("[Redundant_Area]\n\n\t\tAA BB\n\t\t\t\n\t1\t2\t\n\n[Data_Area]\n\n[End]", true);
    ASSERT_EQ(r.outcome, Restored::Outcome::Ready);
    EXPECT_EQ(*r.spareText, "12");
    EXPECT_EQ(r.dataText, "");
    r = read("[Redundant_Area]\n" + std::string(240, 'a') + "\n[Data_Area]\n[End]", true);
    EXPECT_EQ(r.spareText->size(), 191u);
    // An empty section leaves an empty spare text (the Write then asks).
    r = read("[Redundant_Area]\n\n[Data_Area]\n[End]", true);
    ASSERT_TRUE(r.spareText);
    EXPECT_EQ(*r.spareText, "");
}

TEST(PageDump, OddDataLinesNeverRunPastTheText) {
    // A line without a colon holds no data; a short line gives what it has
    // and blanks; upper-case digits pass through as they are.
    Restored r = read(
        "[Data_Area]\nno colon here\n0x0000h : AB CD\nx:\n:\n0x0010h : 00 11 22 33 44 55 66 77 88 99 aa bb cc dd ee ff "
        "and more\n[End]",
        false);
    ASSERT_EQ(r.outcome, Restored::Outcome::Ready);
    ASSERT_EQ(r.dataText.size(), 4u * 48);
    EXPECT_EQ(r.dataText.substr(0, 48), "AB CD" + std::string(43, ' '));
    EXPECT_EQ(r.dataText.substr(48, 48), std::string(48, ' '));
    EXPECT_EQ(r.dataText.substr(3 * 48), "00 11 22 33 44 55 66 77 88 99 aa bb cc dd ee ff ");
    // More data lines than one page or sector holds: the rest are read (up
    // to "[End]") and dropped.
    std::string many = "[Data_Area]\n";
    for (int i = 0; i < 200; ++i) many += dumpLabel(size_t(i)) + "ff ff ff ff ff ff ff ff ff ff ff ff ff ff ff ff\n";
    r = read(many + "[End]", false, 512);
    ASSERT_EQ(r.outcome, Restored::Outcome::Ready);
    EXPECT_EQ(r.dataText.size(), 3u * 512);
    EXPECT_EQ(read(many, false, 512).outcome, Restored::Outcome::ReadError) << "still needs its [End]";
}

TEST(PageDump, LongLinesAreReadIn255CharacterPieces) {
    // A 300-character line is two reads: the first holds the colon, the
    // second (45 characters) holds none and is no data line; a marker at
    // the start of a piece counts as one.
    const std::string first = "0x0000h : " + std::string(245, '1');
    std::string file = "[Data_Area]\n" + first + std::string(40, '2') + "[End]\n";
    Restored r = read(file, false);
    ASSERT_EQ(r.outcome, Restored::Outcome::ReadError) << "\"[End]\" in the middle of a line is no marker";
    file = "[Data_Area]\n" + first + "[End]" + "\n[End]";
    r = read(file, false);
    ASSERT_EQ(r.outcome, Restored::Outcome::Ready);
    EXPECT_EQ(r.dataText, std::string(47, '1') + " ");
}

TEST(PageDump, NulCharactersEndTheTextOfALine) {
    const char raw[] = "[Data_Area]\n0x0000h : 12\0 34\n\0:99\n[End]";
    const std::string file(raw, sizeof raw - 1);
    const Restored r = read(file, false);
    ASSERT_EQ(r.outcome, Restored::Outcome::Ready);
    EXPECT_EQ(r.dataText, "12" + std::string(46, ' '));
}

TEST(PageDump, OnlyCrLfIsALineEndAndItCountsAsOneCharacterOfAPiece) {
    // A carriage return alone is a character of its line.
    Restored r = read("[Redundant_Area]\r\n\t\tAB\r\r\n[Data_Area]\r\n0x0000h : ab\rcd\r\n[End]", true);
    ASSERT_EQ(r.outcome, Restored::Outcome::Ready);
    EXPECT_EQ(*r.spareText, "AB\r");
    EXPECT_EQ(r.dataText, "ab\rcd" + std::string(43, ' '));
    // A line of 254 characters and CR LF is one piece of 255; one more
    // character makes the line end a piece of its own.
    for (size_t len : {253u, 254u}) {
        const std::string line = "0x0000h : " + std::string(len - 10, '7');
        r = read("[Data_Area]\r\n" + line + "\r\n[End]\r\n", false);
        ASSERT_EQ(r.outcome, Restored::Outcome::Ready) << len;
        EXPECT_EQ(r.dataText, std::string(47, '7') + " ") << len;
        r = read("[Data_Area]\r\n" + line + "8\r\n[End]\r\n", false);
        ASSERT_EQ(r.outcome, Restored::Outcome::Ready) << len;
        EXPECT_EQ(r.dataText, std::string(47, '7') + " ") << len;
    }
}
