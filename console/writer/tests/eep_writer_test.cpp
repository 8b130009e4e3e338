#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "eep_file.h"
#include "eep_test_files.h"

using namespace eep;
using eep_test::bodyFile;
using eep_test::readerFile;

namespace {

// A parse with the content it came from, for the writers that copy it.
struct Parsed : ParseResult {
    std::string content;
};

Parsed parse(const std::string& content, uint8_t cls = 0x12) {
    ParseRequest req;
    req.deviceClass = cls;
    Parsed p;
    static_cast<ParseResult&>(p) = parseEep(content, req);
    p.content = content;
    return p;
}

std::string rewriteForSave(const Parsed& p, uint8_t cls, const FieldTexts& fields) {
    return eep::rewriteForSave(p.content, p, cls, fields);
}

std::optional<std::string> rewriteSerial(const Parsed& p, std::string_view serial) {
    return eep::rewriteSerial(p.content, p, serial);
}

FieldTexts fieldsOf(const ParseResult& r) {
    FieldTexts f;
    r.update.applyTo(f);
    return f;
}

std::vector<std::string> linesOf(const std::string& s) {
    std::vector<std::string> lines;
    size_t from = 0;
    for (size_t nl; (nl = s.find('\n', from)) != std::string::npos; from = nl + 1) lines.push_back(s.substr(from, nl - from));
    if (from < s.size()) lines.push_back(s.substr(from));
    return lines;
}

IconBoxes icons(std::initializer_list<std::pair<CardRow, int>> checked) {
    IconBoxes b{};
    for (auto [row, icon] : checked) b[row][icon] = true;
    return b;
}

}  // namespace

TEST(EepIconCheck, OrderAndCountOfTheReaderIcons) {
    const Message mismatch{"The icon display number is mismatch with reader icon setting.", "Error", Icon::Error};
    const Message order{"The reader icon setting is not correct.", "Error", Icon::Error};
    struct Case { IconBoxes boxes; const char* number; std::optional<Message> result; };
    const std::vector<Case> cases = {
        {icons({{kCF, 0}, {kSD, 0}, {kSM, 1}}), "1", std::nullopt},
        {icons({{kSM, 0}, {kCF, 1}}), "1", order},
        {icons({{kCF, 0}, {kSM, 1}}), "0", mismatch},
        {icons({{kCF, 0}, {kSM, 2}}), "00", std::nullopt},   // counting stops at the first empty icon
        {icons({}), "0", mismatch},
        {icons({}), "", mismatch},
        {icons({{kXD, 0}, {kXD, 1}, {kXD, 2}, {kXD, 3}, {kXD, 4}, {kXD, 5}}), "5", std::nullopt},
    };
    for (const auto& c : cases) {
        FieldTexts f;
        f.icons = c.boxes;
        f.iconNumber = c.number;
        EXPECT_EQ(checkIconSetting(0x12, f), c.result) << c.number;
    }
    for (uint8_t cls : {1, 2, 3}) EXPECT_EQ(checkIconSetting(cls, FieldTexts{}), std::nullopt);
    EXPECT_EQ(checkIconSetting(0, FieldTexts{}), mismatch);
}

TEST(EepSaveRewrite, FieldTextsGoToTheirColumnsAndStringLinesAreRewritten) {
    const std::string file = readerFile();
    const Parsed r = parse(file);
    // Unchanged fields: only the vendor, product and card lines change form.
    const auto before = linesOf(file), same = linesOf(rewriteForSave(r, 0x12, fieldsOf(r)));
    ASSERT_EQ(before.size(), same.size());
    for (size_t k = 0; k < before.size(); ++k) {
        if (k == 15 || k == 17 || k == 23) continue;
        EXPECT_EQ(same[k], before[k]) << "line " << k;
    }
    EXPECT_EQ(same[15], "\"ABC\" #");   // the edit's added space is removed, the comment dropped

    FieldTexts f = fieldsOf(r);
    f.vid = "1D6B";
    f.pid = "AB";          // a shorter text overwrites only its own characters
    f.cardType = "07";
    f.iconNumber = "02";
    f.config1 = "5A";
    f.icons = icons({{kCF, 0}, {kSM, 1}, {kXD, 2}, {kMS, 5}});
    f.vendorStr = "Vend";
    f.productStr = "Prod ";
    f.cardNames = {"CF", "", "SD", "MS", ""};
    const auto out = linesOf(rewriteForSave(r, 0x12, f));
    const std::vector<std::string> expected = {"1D6B    # VID", "AB66", "0007", "0202", "0000", "0000", "2010", "0001",
                                               "8000", "005A", "[V-STR]", "\"Vend\" #", "[P-STR]", "\"Prod\" #",
                                               "[S-STR]", "\"000123\"", "[I-STR]", "\"Intf\"", "[Card-STR]",
                                               "\"CF,SD,MS\" #"};
    EXPECT_EQ(std::vector<std::string>(out.begin() + 4, out.begin() + 24), expected);

    FieldTexts ide = f;   // IDE bridges of classes 1 to 3 write Config2 into line 3
    ide.config2 = "C2";
    EXPECT_EQ(linesOf(rewriteForSave(r, 0x02, ide))[7], "02C2");
}

TEST(EepSaveRewrite, OnlyTheDataLinesOfTheirWordsAreOverwritten) {
    // Regression: a comment among the first lines was overwritten by the VID
    // and turned into a data line.
    const Parsed r = parse(bodyFile({"# the vendor", "0C45", "6366", "[V-STR]", "\"ABC\"", "0001", "0201"}, "0009"));
    FieldTexts f = fieldsOf(r);
    f.vid = "1111";
    f.pid = "2222";
    f.cardType = "33";
    f.iconNumber = "44";
    const auto out = linesOf(rewriteForSave(r, 0x12, f));
    EXPECT_EQ(std::vector<std::string>(out.begin() + 3, out.end()),
              (std::vector<std::string>{"# the vendor", "1111", "2222", "[V-STR]", "\"ABC\" #", "0001", "0001", "[END]"}));
    // (the last two data lines are words 7 and 8: the masks of icons 2-5 as
    // loaded from them, XD under icons 2 and 4; bits of no card type drop)

    // The checksum word bounds the substitutions.
    const Parsed shortIndex = parse(bodyFile({"0C45", "6366", "0001"}, "0001"));
    EXPECT_EQ(linesOf(rewriteForSave(shortIndex, 0x12, f))[5], "0001");

    // Regression: empty icon boxes wrote 0000 over word 6 (Config1) of an IDE
    // bridge and word 7 (Config1) of a flash disk.
    const std::string other = bodyFile({"0C45", "1234", "0A05", "5607", "0000", "0000", "0033", "0011", "0000", "0044"}, "0009");
    for (uint8_t cls : {0x02, 0x21}) {
        const auto lines = linesOf(rewriteForSave(parse(other, cls), cls, FieldTexts{}));
        EXPECT_EQ(lines[9] + lines[10], "00330011") << int(cls);
    }

    // Short lines are lengthened, not overrun; the last line keeps its form.
    const Parsed shortLines = parse(bodyFile({"", "6", "0001"}, "0002") + "no final line end");
    const auto lengthened = linesOf(rewriteForSave(shortLines, 0x12, f));
    EXPECT_EQ(std::vector<std::string>(lengthened.begin() + 3, lengthened.begin() + 6),
              (std::vector<std::string>{"1111", "2222", "0033"}));
    EXPECT_EQ(lengthened.back(), "no final line end");
}

TEST(EepSerialRewrite, OverwritesTheTextAfterTheFirstQuote) {
    const std::string file = readerFile("\"000123\" # serial");
    std::string expected = file;
    expected.replace(expected.find("000123"), 6, "000124");
    EXPECT_EQ(rewriteSerial(parse(file), "000124"), expected);
    std::string crlf;   // CR LF files come back with LF line ends
    for (char c : file) crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
    EXPECT_EQ(rewriteSerial(parse(crlf), "000124"), expected);

    // A shorter text keeps the rest: a width-keeping trailing space stays.
    EXPECT_NE(rewriteSerial(parse(readerFile("\"5 \"")), "6")->find("\n\"6 \"\n"), std::string::npos);

    // No room, no serial line, or an invalid file: the file is left alone.
    EXPECT_FALSE(rewriteSerial(parse(readerFile("\"99\"")), "100"));
    EXPECT_FALSE(rewriteSerial(parse(bodyFile({"0000"})), "1"));
    EXPECT_FALSE(rewriteSerial(parse(readerFile("\"1#2\"")), "3"));
    EXPECT_FALSE(rewriteSerial(parse("[START]\n[S-STR]\n\"1\"\n[END]\n"), "2"));
}
