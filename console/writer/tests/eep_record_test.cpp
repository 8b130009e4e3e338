// The settings record and the EEPROM dump text: the record the dialog fills
// goes through the device library's encoder into the simulated EEPROM and
// back, and the dump decodes strings by the header rule.
#include <gtest/gtest.h>

#include <map>
#include <string>

#include <velk_sim.h>

#include "console/writer/eep_record.h"
#include "console/writer/eeprom_dump.h"
#include "device/records.h"
#include "tests/support/temp_bus.h"

using namespace writer;

namespace {

eep::Fields sampleFields() {
    eep::Fields f;
    f.vendorId = 0x0C45;
    f.productId = 0x1234;
    f.atapiProductId = 0x1256;
    f.word2High = 0x0A;
    f.word2Low = 0x01;
    f.word3High = 0x03;
    f.initialDelay = 0x05;
    f.cardType = 0x07;
    f.iconNumber = 2;
    f.config1 = 0x44;
    f.config2 = 0x07;
    f.iconMasks = {0x50, 0x20, 0x81, 0, 0, 0};
    return f;
}

eep::Strings sampleStrings() {
    eep::Strings s;
    s.vendor = "Vend";
    s.product = "Product";
    s.interface = "Intf";
    s.serial = "000123";
    s.inquiryVendor = "InqV";
    s.inquiryProduct = "Inquiry Prod";
    s.cardNames = {"CF", "SD", "MS", "XD"};
    return s;
}

// Fills the record of the device on the bus, has the library program the
// EEPROM from it and decode it again, and returns what "&Read EEP" shows.
eep::FieldUpdate roundTrip(const char* profile, const eep::Fields& f, const eep::Strings& s) {
    EXPECT_EQ(VelkSimCreate(profile, profile, nullptr), 1) << VelkSimLastError();
    device::List list = device::List::devices(0, 0, 1);
    device::DriveInfo info = device::DriveInfo::query(list.get());
    EXPECT_TRUE(info.valid());
    const uint8_t cls = info.deviceClass();
    fillEepRecord(cls, f, s, info.eepRecord());
    EXPECT_EQ(VelkWriteEepData(list.get(), 0, eep::isFlashDisk(cls) ? 3 : 1), 1) << profile;
    std::memset(info.eepRecord(), 0, kRecordSize);
    EXPECT_EQ(VelkReadEepData(list.get(), 0), 1);
    info = device::DriveInfo::query(list.get());
    EXPECT_EQ(recordValid(info.eepRecord()), 1u) << profile;
    eep::FieldUpdate u = fieldsFromRecord(cls, info.eepRecord());
    list.reset();
    VelkSimRemove(profile);
    return u;
}

}  // namespace

TEST(EepRecord, EveryClassComesBackFromTheDeviceAsFilled) {
    testsupport::TempBus bus;
    ASSERT_TRUE(bus.busOk());
    const eep::Fields f = sampleFields();
    const eep::Strings s = sampleStrings();

    eep::FieldUpdate u = roundTrip("ide", f, s);
    EXPECT_EQ(u.vid, "0C45");
    EXPECT_FALSE(u.pid);
    EXPECT_TRUE(u.disablePid);
    EXPECT_EQ(u.pidHighByte, "12");
    EXPECT_EQ(u.pidLowByteAta, "34");
    EXPECT_EQ(u.pidLowByteAtapi, "56");
    EXPECT_EQ(u.initialDelay, "05");
    EXPECT_EQ(u.config1, "44");
    EXPECT_EQ(u.config2, "07");
    EXPECT_EQ(u.vendorStr, "Vend");
    EXPECT_EQ(u.productStr, "Product ");  // 7 characters get a space on the device

    u = roundTrip("reader", f, s);
    EXPECT_EQ(u.pid, "1234");
    EXPECT_EQ(u.cardType, "07");
    EXPECT_EQ(u.iconNumber, "02");
    EXPECT_EQ(u.config1, "44");
    // Card names for icons 0 to 2 only; the boxes of icons 0 to 2 from their masks.
    EXPECT_EQ(u.cardNames, (std::array<std::string, 5>{"CF", "SD", "MS", "", ""}));
    eep::IconBoxes boxes{};
    boxes[eep::kCF][0] = boxes[eep::kSD][0] = boxes[eep::kSM][1] = boxes[eep::kMS][2] = boxes[eep::kXD][2] = true;
    EXPECT_EQ(u.icons, boxes);

    u = roundTrip("reader14", f, s);
    EXPECT_EQ(u.config1, "44");
    EXPECT_EQ(u.inquiryVendor, "InqV    ");
    EXPECT_EQ(u.inquiryProduct, "Inquiry Prod    ");
    EXPECT_FALSE(u.cardType);

    u = roundTrip("flashdisk", f, s);
    EXPECT_EQ(u.pid, "1234");
    EXPECT_EQ(u.config1, "44");
    EXPECT_EQ(u.vendorStr, "Vend");
    EXPECT_EQ(u.inquiryVendor, "InqV    ");
}

TEST(EepRecord, StringsAreCutSoTheirTerminatorFits) {
    std::vector<uint8_t> record(kRecordSize + 16, 0xEE);
    eep::Strings s;
    s.vendor = std::string(80, 'v');
    s.cardNames = {"LONGNAME1", "B"};
    eep::Fields f;
    f.iconNumber = 7;
    fillEepRecord(0x10, f, s, record.data());
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(record.data() + 18)), std::string(63, 'v'));
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(record.data() + 274)), "LONGNAM");
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(record.data() + 282)), "B");
    EXPECT_EQ(record[338], 0) << "spare field empty";
    EXPECT_EQ(record[kRecordSize], 0xEE) << "nothing written past the record";
    EXPECT_EQ(recordValid(record.data()), 1u);
}

// ---- the dump text ------------------------------------------------------------------------

TEST(EepromDump, LinesOfEightWordsAndTheRest) {
    std::vector<uint16_t> words(20);
    for (size_t i = 0; i < words.size(); ++i) words[i] = static_cast<uint16_t>(0x0A00 + i);
    const auto lines = dumpLines(words);
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0], "00    0A00 0A01 0A02 0A03 0A04 0A05 0A06 0A07 ");
    EXPECT_EQ(lines[2], "10    0A10 0A11 0A12 0A13 ");
    EXPECT_TRUE(dumpLines({}).empty());
}

TEST(EepromDump, StringsFollowTheHeaderRule) {
    std::map<unsigned, uint16_t> eeprom;
    auto reader = [&](unsigned i) -> std::optional<uint16_t> {
        auto it = eeprom.find(i);
        if (it == eeprom.end()) return std::nullopt;
        return it->second;
    };
    auto put = [&](unsigned at, std::initializer_list<uint16_t> ws) {
        for (uint16_t w : ws) eeprom[at++] = w;
    };
    // One character per word.
    put(10, {0x030A, 'A', 'B', 'C', 'D'});
    EXPECT_EQ(decodeDescriptor(reader, 10), "ABCD");
    // Two per word when the first character word's high byte is set: 4 characters.
    put(20, {0x030A, 0x4241, 0x4443, 0x4645});
    EXPECT_EQ(decodeDescriptor(reader, 20), "ABCD");
    // A failed read ends the text; so does a NUL; a length below 4 gives none.
    put(30, {0x030A, 'x', 'y'});
    EXPECT_EQ(decodeDescriptor(reader, 30), "xy");
    put(40, {0x030A, 'p', 0, 'q', 'r'});
    EXPECT_EQ(decodeDescriptor(reader, 40), "p");
    put(50, {0x0302, 'z'});
    EXPECT_EQ(decodeDescriptor(reader, 50), "");
    EXPECT_EQ(decodeDescriptor(reader, 0), "");
    EXPECT_EQ(decodeDescriptor(reader, 70), "") << "unreadable header";

    // Card names: two per word up to a word whose low byte is 0.
    put(60, {0x4643, 0x2020, 0x4453, 0x0000, 0x4D4D});
    EXPECT_EQ(decodeCardNames(reader, 60), "CF  SD");

    // Positions: card names at the high byte of word 3 when it exceeds 00FFh.
    put(3, {0x3C01, 0x140A, 0x1E28});
    const DumpStrings s = decodeStrings(reader);
    EXPECT_EQ(s.cardType, "CF  SD");
    EXPECT_EQ(s.vendor, "ABCD");
    EXPECT_EQ(s.product, "ABCD");
    EXPECT_EQ(s.serial, "p");
    EXPECT_EQ(s.interface, "xy");
    eeprom[3] = 0x00FF;
    EXPECT_EQ(decodeStrings(reader).cardType, "");
}
