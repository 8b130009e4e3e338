#include <gtest/gtest.h>

#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "eep_encode.h"
#include "eep_file.h"
#include "eep_test_files.h"

using namespace eep;
using eep_test::bodyFile;
using eep_test::readerFile;
using Msgs = std::vector<Message>;

namespace {

const Message kRead{"Error to Read file", "Error", Icon::Error};
const Message kInvalid{"Setup File with an invalid format", "Error", Icon::Error};
const Message kBodyRead{"Error to read file", "Error", Icon::Error};
const Message kDefine{"String define error", "Error", Icon::Error};

ParseResult parse(const std::string& content, uint8_t cls = 0x12, FieldMapping mapping = FieldMapping::ByClass) {
    return parseEep(content, ParseRequest{cls, std::nullopt, mapping});
}

// Seven data lines (words 0-6), then a string section.
std::string sectionFile(const std::string& tag, const std::string& definition) {
    return bodyFile({"0000", "0000", "0000", "0000", "0000", "0000", "0000", tag, definition});
}

// The words from `first` on, packed two characters a word (low byte first).
void expectPacked(const Image& img, int first, const std::string& text) {
    for (size_t k = 0; k < text.size(); k += 2)
        EXPECT_EQ(img[first + k / 2], static_cast<uint16_t>(uint8_t(text[k]) | uint8_t(text[k + 1]) << 8)) << k;
}

}  // namespace

TEST(EepValidation, NeedsChecksumIndexStartAndEndInOrder) {
    const std::vector<std::pair<std::string, Msgs>> cases = {
        {"[CheckSumIndex]\n0001\n[START]\n0000\n", {kRead, kInvalid}},             // no [END]
        {"", {kRead, kInvalid}},
        {"[START]\n0000\n[END]\n[CheckSumIndex]\n0001\n", {kInvalid}},             // index after [END]
        {"[START]\n[CheckSumIndex]\n0001\n[END]\n", {kInvalid}},                   // index in the body
        {"[CheckSumIndex]\n[START]\n0000\n[END]\n", {kInvalid}},                   // no value line
        {"[CheckSumIndex]\n0040\n[START]\n0000\n[END]\n", {kInvalid}},             // outside the EEPROM
        {"[CheckSumIndex]\n0000\n[END]\n[START]\n0000\n", {kRead, kInvalid}},      // [END] before [START]
    };
    for (const auto& [content, messages] : cases) {
        const ParseResult r = parse(content);
        EXPECT_FALSE(r.valid || r.loaded) << content;
        EXPECT_EQ(r.messages, messages) << content;
    }
    const ParseResult ok = parse("x\n[CheckSumIndex]\n0001 # index\n[START] x\n0000\n[END]");
    EXPECT_TRUE(ok.loaded);
    EXPECT_EQ(ok.checksumIndex, 1);
    EXPECT_TRUE(ok.messages.empty());
}

TEST(EepChecksum, HighByteOfTheIndexWordSumsTheWordsBelow) {
    const ParseResult r = parse(bodyFile({"0000", "0000", "0001"}, "0002"));
    EXPECT_EQ(r.image[2], 0xAB01);
    EXPECT_EQ(r.wordCount, 3);
    EXPECT_EQ(parse(bodyFile({"0112", "F00F", "9934"}, "0002")).image[2],
              ((0xAA + 0x34 + 0x12 + 0x01 + 0x0F + 0xF0) & 0xFF) << 8 | 0x34);
    // An index beyond the parsed words sums over the FFFFh fill.
    EXPECT_EQ(parse(bodyFile({"0001"}, "0002")).image[2], ((0xAA + 0xFF + 0x01 + 0xFF + 0xFF) & 0xFF) << 8 | 0xFF);
}

TEST(EepDataLines, ValueIsTheLeadingHexNumberAndBlankLinesTakeAWord) {
    const ParseResult r = parse(bodyFile({"0C45 # vendor", "", "  7", "zz", "12345", "# comment", "0001"}, "0006"));
    ASSERT_TRUE(r.loaded);
    EXPECT_EQ(r.wordCount, 6);
    const std::vector<uint16_t> expected = {0x0C45, 0x0000, 0x0007, 0x0000, 0x2345, 0x0001};
    EXPECT_EQ(std::vector<uint16_t>(r.image.begin(), r.image.begin() + 6), expected);
    EXPECT_EQ(r.image[7], 0xFFFF);
}

TEST(EepStringEncoding, DescriptorsPackedInquiriesAndCardNames) {
    // Descriptors: one space more when the length leaves 3 over 4; the serial
    // keeps its length.
    const std::vector<std::tuple<std::string, std::string, uint16_t, std::string>> descriptors = {
        {"[V-STR]", "ABC", 0x030A, "ABC "},         {"[V-STR]", "ABCDEFG", 0x0312, "ABCDEFG "},
        {"[P-STR]", "ABCDEFGHIJK", 0x031A, "ABCDEFGHIJK "}, {"[V-STR]", "ABCD", 0x030A, "ABCD"},
        {"[I-STR]", "XYZ", 0x030A, "XYZ "},         {"[S-STR]", "123", 0x0308, "123"},
        {"[V-STR]", "\xE4\xDF", 0x0306, "\xE4\xDF"},   // 8-bit characters as their byte value
    };
    for (const auto& [tag, text, header, stored] : descriptors) {
        const ParseResult r = parse(sectionFile(tag, "\"" + text + "\" # c"));
        EXPECT_EQ(r.image[7], header) << text;
        for (size_t k = 0; k < stored.size(); ++k) EXPECT_EQ(r.image[8 + k], uint8_t(stored[k])) << text << k;
        EXPECT_EQ(r.wordCount, static_cast<int>(8 + stored.size())) << text;
    }
    const ParseResult v = parse(sectionFile("[V-STR]", "\"ABC\""));
    EXPECT_EQ(v.strings.vendor, "ABC");
    EXPECT_EQ(v.update.vendorStr, "ABC ");

    const ParseResult five = parse(sectionFile("[INQ-V]", "\"ABCDE\""), 0x21);
    EXPECT_TRUE(five.messages.empty());
    EXPECT_EQ(five.wordCount, 11);
    expectPacked(five.image, 7, "ABCDE   ");
    EXPECT_EQ(five.update.inquiryVendor, "ABCDE   ");   // a flash disk shows it

    const ParseResult ten = parse(sectionFile("[INQ-V]", "\"ABCDEFGHIJ\""), 0x21);
    EXPECT_EQ(ten.messages, (Msgs{{"Bytes over Inquiry-Vendor's maximum size (8 bytes) are clipped", "Error", Icon::Error}}));
    EXPECT_TRUE(ten.loaded);
    expectPacked(ten.image, 7, "ABCDEFGH");
    EXPECT_EQ(ten.strings.inquiryVendor, "ABCDEFGH");
    const ParseResult product = parse(sectionFile("[INQ-P]", "\"" + std::string(20, 'P') + "\""));
    EXPECT_EQ(product.messages, (Msgs{{"Bytes over Inquiry-Product's maximum size (16 bytes) are clipped", "Error", Icon::Error}}));
    EXPECT_EQ(product.wordCount, 15);
    EXPECT_FALSE(product.update.inquiryProduct);

    const ParseResult cards = parse(sectionFile("[Card-STR]", "\"CF,SD\""));
    EXPECT_EQ(cards.wordCount, 11);
    expectPacked(cards.image, 7, "CF  SD  ");
    EXPECT_EQ(cards.update.cardNames, (std::array<std::string, 5>{"CF", "SD", "", "", ""}));
    EXPECT_EQ(cards.strings.cardNames, (std::vector<std::string>{"CF", "SD"}));
    // Packed: split at ';' ',' ' ', cut to 4, at most 10. For the device: at
    // ',' only, at most 8 of 7. The edits: at ',', uncut.
    const ParseResult mixed = parse(sectionFile("[Card-STR]", "\"MSPRO;SD XD,,A,B,C,D,E,F,G,H,I\""));
    EXPECT_EQ(mixed.wordCount, 27);
    expectPacked(mixed.image, 7, "MSPRSD  XD  A   B   C   D   E   F   G   ");
    EXPECT_EQ(mixed.strings.cardNames, (std::vector<std::string>{"MSPRO;S", "A", "B", "C", "D", "E", "F", "G"}));
    EXPECT_EQ(mixed.update.cardNames[0], "MSPRO;SD XD");
}

// Regression: every string text was cut at 64 characters before it was
// encoded, so a card text of ten names over more than 64 characters packed
// only eight of them.
TEST(EepStringEncoding, TenCardNamesOverMoreThan64CharactersAllPack) {
    const std::string text =
        "CompactFlash,SmartMedia,SecureDigital,MemoryStick,xD-Picture,MultiMediaCard,MSPro,MiniSD,MicroSD,MSDuo";
    ASSERT_GT(text.size(), 64u);
    const ParseResult r = parse(sectionFile("[Card-STR]", "\"" + text + "\" # names"));
    EXPECT_TRUE(r.loaded);
    EXPECT_EQ(r.wordCount, 7 + 20);
    expectPacked(r.image, 7, "CompSmarSecuMemoxD-PMultMSPrMiniMicrMSDu");
    EXPECT_EQ(r.strings.cardNames,
              (std::vector<std::string>{"Compact", "SmartMe", "SecureD", "MemoryS", "xD-Pict", "MultiMe", "MSPro",
                                        "MiniSD"}));
    EXPECT_EQ(r.update.cardNames, (std::array<std::string, 5>{"CompactFlash", "SmartMedia", "SecureDigital",
                                                              "MemoryStick", "xD-Picture"}));
    // Inquiry texts are clipped at their own sizes, with their message, and
    // the descriptor strings still at the 64 characters of the device's fields.
    const ParseResult inquiry = parse(sectionFile("[INQ-P]", "\"" + std::string(70, 'P') + "\""));
    EXPECT_EQ(inquiry.messages.size(), 1u);
    EXPECT_EQ(inquiry.strings.inquiryProduct, std::string(16, 'P'));
    EXPECT_EQ(parse(sectionFile("[V-STR]", "\"" + std::string(70, 'V') + "\"")).strings.vendor, std::string(64, 'V'));
}

// The writers follow the layout by counting words; a count that differed from
// the encoding would overwrite the wrong data lines.
TEST(EepStringEncoding, WordCountWithoutEncodingAgreesWithTheEncoding) {
    const unsigned seed = std::random_device{}();
    std::printf("seed %u\n", seed);
    std::mt19937 rng(seed);
    const std::string alphabet = "AB1 ,;#\"\xE4";
    for (int n = 0; n < 2000; ++n) {
        std::string text(rng() % 70, ' ');
        for (char& c : text) c = alphabet[rng() % alphabet.size()];
        for (Tag tag : {Tag::VendorStr, Tag::ProductStr, Tag::SerialStr, Tag::InterfaceStr, Tag::InquiryVendor,
                        Tag::InquiryProduct, Tag::CardStr})
            ASSERT_EQ(encodedWordCount(tag, text), encodeString(tag, text).words.size())
                << "seed " << seed << " tag " << int(tag) << " text " << text;
    }
}

TEST(EepStringEncoding, PositionBytesKeepTheOtherByte) {
    const ParseResult r = parse(bodyFile({"0000", "0000", "0000", "AAAA", "AAAA", "AAAA", "AAAA",
                                          "[V-STR]", "\"A\"", "[P-STR]", "\"B\"", "[S-STR]", "\"1\"",
                                          "[I-STR]", "\"C\"", "[INQ-V]", "\"D\"", "[INQ-P]", "\"E\"",
                                          "[Card-STR]", "\"F\""}));
    EXPECT_EQ(r.image[3], 0x1BAA);   // card names at 27
    EXPECT_EQ(r.image[4], 0x0907);   // vendor at 7, product at 9
    EXPECT_EQ(r.image[5], 0x0D0B);   // serial at 11, interface at 13
    EXPECT_EQ(r.image[6], 0x130F);   // inquiry vendor at 15, product at 19
    EXPECT_EQ(r.wordCount, 29);
}

TEST(EepStringEncoding, DefinitionErrorsContributeNothing) {
    for (const std::string& line : std::vector<std::string>{"\"AB#C\"", "\"\"", "ABC", "\"ABC", std::string("\"A\0C\"", 5)}) {
        const ParseResult r = parse(bodyFile({"0000", "[V-STR]", line, "0001"}));
        EXPECT_EQ(r.messages, Msgs{kDefine}) << line;
        EXPECT_TRUE(r.loaded);
        EXPECT_EQ(r.wordCount, 2);
        EXPECT_EQ(r.image[1], 0x0001);
        EXPECT_EQ(r.image[4], 0xFFFF);   // no position byte
        EXPECT_EQ(r.strings.vendor, "");
    }
}

TEST(EepSerialFlags, NumericWithAnOptionalTrailingSpace) {
    for (const auto& [text, numeric, keeps] : std::vector<std::tuple<std::string, bool, bool>>{
             {"000123", true, false}, {"99 ", true, true}, {"12A", false, false}, {" ", false, false},
             {"1 2", false, false}, {"12  ", false, false}}) {
        const ParseResult r = parse(sectionFile("[S-STR]", "\"" + text + "\""));
        EXPECT_EQ(r.serialIsNumeric, numeric) << text;
        EXPECT_EQ(r.serialKeepsWidth, keeps) << text;
    }
    // A stand-in serial line (random / boundary mode) replaces the file's.
    const ParseResult replaced = parseEep(sectionFile("[S-STR]", "\"0005\""), ParseRequest{0x12, "\"A5\""});
    EXPECT_EQ(replaced.strings.serial, "A5");
    EXPECT_FALSE(replaced.serialIsNumeric);
    EXPECT_EQ(replaced.image[7], 0x0306);
}

TEST(EepDataLineMeaning, CardReaders) {
    const ParseResult r = parse(readerFile(), 0x12);
    ASSERT_TRUE(r.loaded);
    EXPECT_EQ(r.wordCount, 64);
    const FieldUpdate& u = r.update;
    EXPECT_EQ(std::vector<std::optional<std::string>>({u.vid, u.pid, u.cardType, u.iconNumber, u.config1}),
              std::vector<std::optional<std::string>>({"0C45", "6366", "01", "01", "12"}));
    EXPECT_FALSE(u.pidHighByte || u.disablePid);
    IconBoxes icons{};
    icons[kCF][0] = icons[kSD][0] = icons[kSM][1] = true;   // word 6 = 2050h
    EXPECT_EQ(u.icons, icons);
    EXPECT_EQ(r.fields.iconMasks, (std::array<uint8_t, 6>{0x50, 0x20, 0, 0, 0, 0}));
    EXPECT_EQ(r.fields.cardType, 0x01);
    EXPECT_EQ(r.fields.cardNamePosition, 0x02);
    EXPECT_EQ(r.strings, (Strings{"ABC", "Card Reader", "Intf", "000123", "", "", {"CF", "SD"}}));

    const ParseResult v14 = parse(readerFile(), 0x14);
    EXPECT_FALSE(v14.update.cardType);
    EXPECT_EQ(v14.update.iconNumber, "01");
    EXPECT_EQ(v14.fields.word2Low, 0x01);
    EXPECT_EQ(v14.fields.word3High, 0x02);
    EXPECT_EQ(v14.fields.cardType + v14.fields.cardNamePosition, 0);
}

TEST(EepDataLineMeaning, IdeBridgeFlashDiskAndTheReload) {
    const std::string file = bodyFile({"0C45", "1234", "0A05", "5607", "0000", "0000", "0033", "0000", "0000", "0044"}, "0009");
    const ParseResult ide = parse(file, 0x02);
    const FieldUpdate& u = ide.update;
    EXPECT_EQ(std::vector<std::optional<std::string>>({u.vid, u.pid, u.pidHighByte, u.pidLowByteAta, u.initialDelay,
                                                       u.pidLowByteAtapi, u.config2, u.config1, u.cardType}),
              std::vector<std::optional<std::string>>({"0C45", std::nullopt, "12", "34", "05", "56", "07", "44",
                                                       std::nullopt}));   // Config1: word 9 wins over word 6
    EXPECT_TRUE(u.disablePid);
    EXPECT_EQ(ide.fields.atapiProductId, 0x1256);
    EXPECT_EQ(ide.fields.word2High, 0x0A);
    EXPECT_EQ(ide.fields.config1, 0x44);

    const ParseResult flash = parse(file, 0x21);
    EXPECT_EQ(flash.update.pid, "1234");
    EXPECT_FALSE(flash.update.iconNumber);
    EXPECT_EQ(parse(bodyFile({"0", "0", "0", "0", "0", "0", "0", "0099"}, "0007"), 0x21).update.config1, "99");

    // The reload fills the reader's fields whatever the class.
    const ParseResult reload = parse(file, 0x02, FieldMapping::Reload);
    EXPECT_EQ(std::vector<std::optional<std::string>>({reload.update.pid, reload.update.cardType,
                                                       reload.update.iconNumber, reload.update.pidHighByte}),
              std::vector<std::optional<std::string>>({"1234", "05", "07", std::nullopt}));
    EXPECT_TRUE(reload.update.icons[kCF][0] && reload.update.icons[kSM][0] && reload.update.icons[kXD][0]);
}

TEST(EepParse, OversizedTruncatedAndAwkwardFiles) {
    const ParseResult big = parse(bodyFile(std::vector<std::string>(65, "0000")));
    EXPECT_TRUE(big.valid);
    EXPECT_FALSE(big.loaded);
    EXPECT_EQ(big.messages, (Msgs{{"Data size over the 1024 bits", "Warning", Icon::Error}}));
    const ParseResult huge = parse(bodyFile(std::vector<std::string>(300, "1111")));
    EXPECT_EQ(huge.wordCount, 300);   // counted, never stored past the image
    EXPECT_EQ(huge.image[127], 0x1111);

    // A string tag takes the "[END]" line as its definition: the body runs out.
    const ParseResult eaten = parse("[CheckSumIndex]\n0001\n[START]\n0000\n[S-STR]\n[END]\n");
    EXPECT_FALSE(eaten.loaded);
    EXPECT_EQ(eaten.messages, (Msgs{kDefine, kBodyRead}));

    std::string crlf;
    for (char c : readerFile()) crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
    EXPECT_EQ(parse(crlf).image, parse(readerFile()).image);
    std::string noFinalBreak = readerFile();
    noFinalBreak.resize(noFinalBreak.find("[END]") + 5);
    EXPECT_TRUE(parse(noFinalBreak).loaded);
    EXPECT_EQ(parse(bodyFile({std::string("63\0" "66", 5)})).image[0], 0x0063);

    // The tail of an over-long line is a line of its own (here a data line).
    const ParseResult longLine = parse(bodyFile({"#" + std::string(300, 'z'), "0001"}));
    EXPECT_EQ(longLine.wordCount, 2);
    EXPECT_EQ(longLine.image[1], 0x0001);
    // String texts are cut at 64 characters.
    const ParseResult longText = parse(sectionFile("[S-STR]", "\"" + std::string(100, '7') + "\""));
    EXPECT_EQ(longText.strings.serial, std::string(64, '7'));
    EXPECT_EQ(longText.image[7], 0x0382);
}
