// The writer's "Read / Write ROM File" group and "Dump EEP Data" run
// headless on the simulated bus: the "ROM Size" dialog of class 12h, the
// signature per class, the save, the ROM write through the "EEP to 93C46"
// sequence and its end at "&Write to EEPROM", a failed ROM write, an
// unreadable ROM file, and the dump of the EEP copy. Assertions are on the
// simulated ROM and EEPROM and the saved files.
#include "console/writer/rom_size_dialog.h"
#include "console/writer/writer_resources.h"
#include "firmware_test_support.h"

using namespace writer;
using namespace writer_test;

namespace {

const std::string kSelectIcType = "box \"Tavrin\" none OK \"Please select the IC type!!\" -> OK";
const std::string kUnsupportedIc = "box \"Tavrin\" none OK \"The function doesn't support this IC-type!!\" -> OK";

}  // namespace

// ---- "Read ROM File" ------------------------------------------------------------------------

// Class 12h with a 48 KiB ROM: "ROM Size" opens with "QN 537" checked and
// "OK" reads C000h bytes, which are saved.
TEST_F(FirmwareTest, ReadRomOnClass12hAsksForTheSizeAndSavesIt) {
    createDevice("r", "reader12");
    const std::vector<uint8_t> before = rom("r", 0xC000);
    auto r = run("file " + path("out.rom") + "\n"
                 "click \"Read ROM File\"\n"
                 "expect-title ROM Size\n"
                 "expect \"QN 537\" checked yes\n"
                 "expect \"QN 537E\" checked no\n"
                 "expect 1032 text 48\n"
                 "expect 1032 visible no\n"
                 "click \"OK\"\n"
                 "expect-title EEPROM/Flash Writer\n"
                 "expect 1901 text ROM file save successfully!!\n"
                 "click \"Exit\"\n");
    EXPECT_EQ(r.exitCode, 0) << r.transcript;
    EXPECT_TRUE(has(r.transcript, "status \"External ROM read completely!!\"")) << r.transcript;
    EXPECT_FALSE(has(r.transcript, "not valid format")) << "reader12 carries XROM";
    EXPECT_TRUE(has(r.transcript, kOkMarkText)) << r.transcript;
    EXPECT_EQ(read("out.rom"), bytesOf(before));

    // Closing "ROM Size" without a choice stops the read.
    r = run("answer OK\nclick \"Read ROM File\"\nclose\nclick \"Exit\"\n");
    EXPECT_EQ(r.exitCode, 0) << r.transcript;
    EXPECT_TRUE(has(r.transcript, kSelectIcType)) << r.transcript;
    EXPECT_FALSE(has(r.transcript, "External ROM is reading")) << r.transcript;
}

// A ROM area of 32 KiB is no part the dialog knows: the message, no choice,
// and "OK" without a choice keeps the dialog open until one is made.
TEST_F(FirmwareTest, RomSizeOfAnUnknownPartWaitsForAChoice) {
    createDevice("r", "reader", {"rom=32K"});
    auto r = ui::scripting::runScript(
        "answer OK\n"
        "expect \"QN 537\" checked no\n"
        "expect \"QN 537E\" checked no\n"
        "expect 1032 text 32\n"
        "answer OK\n"
        "click \"OK\"\n"
        "expect-title ROM Size\n"
        "click \"QN 537E\"\n"
        "click \"OK\"\n",
        {"Tavrin", "Tavrin"}, [&] {
            RomSizeDialog dialog;
            const int result = dialog.runModal();
            ui::hooks::transcript("result " + std::to_string(result) + " size " + std::to_string(dialog.size()));
        });
    EXPECT_EQ(r.exitCode, 0) << r.transcript;
    EXPECT_TRUE(has(r.transcript, kUnsupportedIc)) << r.transcript;
    EXPECT_TRUE(has(r.transcript, kSelectIcType)) << r.transcript;
    EXPECT_TRUE(has(r.transcript, "dialog \"ROM Size\" closed OK")) << r.transcript;
    EXPECT_TRUE(has(r.transcript, "result 1 size 65536")) << r.transcript;
}

// The signature per class: class 21h accepts "XROM" (and "6352"); a ROM that
// matches none is still saved, with the invalid-format status.
TEST_F(FirmwareTest, ReadRomChecksTheSignatureAndSavesAMismatchToo) {
    struct Case { const char* signature; bool valid; };
    for (const Case c : {Case{"XROM", true}, Case{"6352", true}, Case{"ABCD", false}}) {
        SCOPED_TRACE(c.signature);
        createDevice("f", "flashdisk", {std::string("signature=") + c.signature});
        const std::vector<uint8_t> before = rom("f", 0x10000);
        auto r = run("file " + path("flash.rom") + "\nclick \"Read ROM File\"\n"
                     "expect 1901 text ROM file save successfully!!\n"
                     "click \"Exit\"\n");
        EXPECT_EQ(r.exitCode, 0) << r.transcript;
        EXPECT_EQ(has(r.transcript, "status \"The firmware data is not valid format data !!\""), !c.valid)
            << r.transcript;
        EXPECT_EQ(read("flash.rom"), bytesOf(before));
        ASSERT_EQ(VelkSimRemove("f"), 1);
    }
}

TEST_F(FirmwareTest, ReadRomWithoutADeviceOrASaveName) {
    auto r = run("click \"Read ROM File\"\nexpect 1901 text No data in External ROM!!\nclick \"Exit\"\n");
    EXPECT_EQ(r.exitCode, 0) << r.transcript;
    EXPECT_TRUE(has(r.transcript, kFailMarkText)) << r.transcript;

    createDevice("r", "reader");
    write("keep.rom", "old");
    // Cancelled: nothing saved. Into a folder that does not exist: the error.
    r = run("file -\nclick \"Read ROM File\"\n"
            "file " + work() + "/no/such/folder/x.rom\nclick \"Read ROM File\"\n"
            "expect 1901 text Error to open file!!\n"
            "click \"Exit\"\n");
    EXPECT_EQ(r.exitCode, 0) << r.transcript;
    EXPECT_TRUE(has(r.transcript, kFailMarkText)) << r.transcript;
    EXPECT_EQ(read("keep.rom"), "old");
}

// ---- "Write ROM File" -------------------------------------------------------------------------

TEST_F(FirmwareTest, CancellingTheRomFileChoiceLeavesTheButtonEnabled) {
    createDevice("r", "reader");
    auto r = run("file -\nanswer OK\nclick \"Write ROM File\"\n"
                 "expect \"Write ROM File\" enabled yes\n"
                 "expect 1901 text \n"
                 "click \"Exit\"\n");
    EXPECT_EQ(r.exitCode, 0) << r.transcript;
    EXPECT_TRUE(has(r.transcript, "box \"Tavrin\" none OK \"Please select the ROM file!!\" -> OK")) << r.transcript;
    EXPECT_TRUE(attached("r")) << "nothing erased, nothing removed";
}

// The ROM file goes in through the "EEP to 93C46" sequence; after the replug
// "&Write to EEPROM" finds "Write ROM File" disabled, enables it and writes
// nothing.
TEST_F(FirmwareTest, WriteRomProgramsTheRomAndEndsAtTheEepromStepWithoutWriting) {
    createDevice("r", "reader16");
    const Words eepromBefore = eeprom("r");
    const std::vector<uint8_t> image = pattern(0x6000, 4);
    writeImage("new.rom", image);
    write("reader.eep", readerEep("000123"));
    auto r = run("file " + path("reader.eep") + "\nclick \"&Load eep file\"\n"
                 "file " + path("new.rom") + "\nclick \"Write ROM File\"\n"
                 "expect \"Write ROM File\" enabled no\n"
                 "answer OK\n"
                 "advance 6000\nwait\n"
                 "expect 1901 text F/W[with EEP] Program and Verify finished!!\n"
                 "plug r\nadvance 2000\nwait\n"
                 "expect \"Write ROM File\" enabled yes\n"
                 "expect 1901 text \n"
                 "click \"Exit\"\n");
    EXPECT_EQ(r.exitCode, 0) << r.transcript;
    const char* order[] = {"status \"Will begin programming..........\"", "status \"File read successfully!!\"",
                           "status \"External ROM is writing!!\"", "status \"External ROM write completely!!\"",
                           "status \"Programming OK, now Verifying ........ \"",
                           "status \"F/W[with EEP] Program and Verify finished!!\"",
                           "box \"Tavrin\" none OK \"You must replug-in device for update ROM data!!\" -> OK"};
    size_t at = 0;
    for (const char* line : order) {
        const size_t next = r.transcript.find(line, at);
        ASSERT_NE(next, std::string::npos) << line << "\n" << r.transcript;
        at = next;
    }
    EXPECT_FALSE(has(r.transcript, "Programming EEPROM")) << "no EEPROM write at the end of a ROM run";
    const std::vector<uint8_t> after = rom("r", 0x6000);
    for (size_t i = 0; i < after.size(); ++i)
        ASSERT_EQ(after[i], i >= 0x5F80 ? 0xFF : image[i]) << i;  // 16h keeps its (erased) EEP copy window
    EXPECT_EQ(eeprom("r"), eepromBefore);
    EXPECT_EQ(fileSerial(read("reader.eep")), "000123");
}

// A ROM write that fails and a ROM file that cannot be read: "FAIL" and the
// safe removal, no compare.
TEST_F(FirmwareTest, AFailedRomWriteOrAnUnreadableRomFileEndsWithTheSafeRemoval) {
    createDevice("r", "reader");
    writeImage("new.rom", pattern(0x1000));
    fault("r", "rom-write");
    auto r = run("file " + path("new.rom") + "\nclick \"Write ROM File\"\nadvance 6000\nwait\n"
                 "expect 1901 text External ROM can't write!!\n"
                 "click \"Exit\"\n");
    EXPECT_EQ(r.exitCode, 0) << r.transcript;
    EXPECT_TRUE(has(r.transcript, kFailMarkText)) << r.transcript;
    EXPECT_FALSE(has(r.transcript, "Verifying")) << r.transcript;
    EXPECT_FALSE(attached("r"));
    EXPECT_TRUE(allErased(rom("r", 0x10000)));
    ASSERT_EQ(VelkSimRemove("r"), 1);

    // After the replug the failed ROM file is not written again by "Write
    // F/W": the firmware is.
    createDevice("r", "reader");
    const std::vector<uint8_t> firmware = pattern(0x800, 6);
    writeImage("fw.bin", firmware);
    fault("r", "rom-write");
    r = run("file " + path("new.rom") + "\nclick \"Write ROM File\"\nadvance 6000\nwait\n"
            "plug r\nadvance 2000\nwait\n"
            "expect \"Write ROM File\" enabled yes\n"
            "file " + path("fw.bin") + "\nclick \"Load FW obj file\"\n"
            "answer OK\nclick \"Write F/W\"\nadvance 6000\nwait\n"
            "expect 1901 text F/W Program and Verify finished.\n"
            "click \"Exit\"\n");
    EXPECT_EQ(r.exitCode, 0) << r.transcript;
    const std::vector<uint8_t> programmed = rom("r", 0x10000);
    EXPECT_TRUE(std::equal(firmware.begin(), firmware.end(), programmed.begin()));
    ASSERT_EQ(VelkSimRemove("r"), 1);

    createDevice("r", "reader");
    r = run("file " + path("gone.rom") + "\nclick \"Write ROM File\"\nadvance 6000\nwait\n"
            "expect 1901 text Error to open file!!\n"
            "click \"Exit\"\n");
    EXPECT_EQ(r.exitCode, 0) << r.transcript;
    EXPECT_TRUE(has(r.transcript, kFailMarkText)) << r.transcript;
    EXPECT_FALSE(attached("r"));

    // A ROM that reads back differently: the first difference, the failed
    // compare's texts.
    ASSERT_EQ(VelkSimRemove("r"), 1);
    createDevice("r", "reader");
    fault("r", "rom-corrupt 0x800");
    r = run("file " + path("new.rom") + "\nanswer OK\nanswer OK\nclick \"Write ROM File\"\nadvance 6000\nwait\n"
            "expect 1901 text Programming not finish !  Device will be SafeRemoved!!\n"
            "click \"Exit\"\n");
    EXPECT_EQ(r.exitCode, 0) << r.transcript;
    EXPECT_TRUE(has(r.transcript, mismatchBox(0x800))) << r.transcript;
    EXPECT_TRUE(has(r.transcript, "box \"Tavrin\" none OK \"Programming not finish !  Device will be SafeRemoved!!\""))
        << r.transcript;
}

// "Write ROM File" without a device: "Device not found", and no run starts
// by itself when a device arrives later.
TEST_F(FirmwareTest, WriteRomWithoutADeviceStartsNothingLater) {
    writeImage("new.rom", pattern(0x1000));
    createDevice("r", "reader");
    unplug("r");
    auto r = run("file " + path("new.rom") + "\nanswer OK\nclick \"Write ROM File\"\n"
                 "expect \"Write ROM File\" enabled yes\n"
                 "plug r\nadvance 10000\nwait\n"
                 "expect 1901 text \n"
                 "click \"Exit\"\n");
    EXPECT_EQ(r.exitCode, 0) << r.transcript;
    EXPECT_TRUE(has(r.transcript, "box \"Error\" error OK \"Device not found\" -> OK")) << r.transcript;
    EXPECT_FALSE(has(r.transcript, "Will begin programming")) << r.transcript;
    EXPECT_FALSE(allErased(rom("r", 0x10000)));
}

// ---- "Dump EEP Data" ----------------------------------------------------------------------------

TEST_F(FirmwareTest, DumpEepDataShowsTheCopyInTheRom) {
    createDevice("r", "reader16");
    const Words copy = wordsAt(rom("r", 0x6000), 0x5F80);
    char first[64];
    std::snprintf(first, sizeof first, "00    %04X %04X %04X %04X %04X %04X %04X %04X ", copy[0], copy[1], copy[2],
                  copy[3], copy[4], copy[5], copy[6], copy[7]);
    auto r = run("click \"Dump EEP Data\"\n"
                 "expect-title Dump Dialog\n"
                 "expect 1001 count 8\n"
                 "expect 1001 item:0 " + std::string(first) + "\n"
                 "expect \"Vendor :\" text " + descriptorText(copy, copy[4] & 0xFF) + "\n"
                 "expect \"Inq-Vendor :\" text \n"
                 "click \"OK\"\n"
                 "click \"Exit\"\n");
    EXPECT_EQ(r.exitCode, 0) << r.transcript;

    // Without a device the dialog opens empty.
    ASSERT_EQ(VelkSimRemove("r"), 1);
    r = run("click \"Dump EEP Data\"\nexpect 1001 count 0\nclick \"OK\"\nclick \"Exit\"\n");
    EXPECT_EQ(r.exitCode, 0) << r.transcript;
}

// Regression: the card names of the ROM's copy were read as the EEPROM's
// own dump reads them (no header, two characters a word), so "Card Type :"
// showed the descriptor's header as characters.
TEST_F(FirmwareTest, DumpEepDataReadsTheCardNamesOfTheCopyAsADescriptor) {
    // A card reader keeps its copy in the ROM's last 128 bytes, which a ROM
    // write reaches (classes 12h and 16h keep theirs).
    createDevice("r", "reader", {"rom=32K"});
    Words copy{};
    copy[3] = 0x2000;          // card names at word 20h
    copy[4] = 0x0010;          // vendor at word 10h, no product
    auto put = [&copy](size_t at, const std::string& text) {
        copy[at] = static_cast<uint16_t>(0x0300 | (2 + 2 * text.size()));
        for (size_t k = 0; k < text.size(); ++k) copy[at + 1 + k] = static_cast<uint8_t>(text[k]);
    };
    put(0x10, "Velk");
    put(0x20, "CF+SD");
    std::vector<uint8_t> bytes;
    for (uint16_t w : copy) {
        bytes.push_back(static_cast<uint8_t>(w & 0xFF));
        bytes.push_back(static_cast<uint8_t>(w >> 8));
    }
    VelkHandle h = VelkCreateDeviceList(0, 0, 1);
    ASSERT_NE(h, nullptr);
    ASSERT_EQ(VelkWriteExternalROM(h, 0, 0x8000 - 128, static_cast<uint32_t>(bytes.size()), bytes.data()), 1);
    VelkDestroyDeviceList(h);

    const auto r = run("click \"Dump EEP Data\"\n"
                       "expect \"Card Type :\" text CF+SD\n"
                       "expect \"Vendor :\" text Velk\n"
                       "expect \"Product :\" text \n"
                       "click \"OK\"\n"
                       "click \"Exit\"\n");
    EXPECT_EQ(r.exitCode, 0) << r.transcript;
}
