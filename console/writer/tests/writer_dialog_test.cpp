// The writer dialog run headless on the simulated bus: start-up and the
// class panels, "&Write to EEPROM" with its erase, modes and failures,
// "Erase", "&Read EEP", "Dump EEPROM", "Save to hex", the icon boxes and the
// serial numbers. Assertions are on the simulated EEPROM and the EEP file.
#include <cstdio>
#include <map>
#include <set>

#include "console/writer/writer_resources.h"
#include "platform/ui/frontend.h"
#include "writer_test_support.h"

using namespace writer;
using namespace writer_test;

namespace {

const std::string kLoad = "click \"&Load eep file\"\n";
const std::string kWriteOk = "answer OK\nclick \"&Write to EEPROM\"\n";  // the replug message
const std::string kRebootBox = "box \"Tavrin\" none OK \"You must reboot PC or replug-in device\" -> OK";
const std::string kOkMark = "text \" OK\" #009628 on none";
const std::string kFailMark = "text \"FAIL\" #FF0000 on none";

std::string expectEnabled(int id, bool on) {
    return "expect " + std::to_string(id) + " enabled " + (on ? "yes" : "no") + "\n";
}

}  // namespace

// ---- start-up and the device-class panels ----------------------------------------------

TEST_F(WriterTest, WithoutDeviceTheDeviceButtonsStartDisabledToo) {
    std::string script;
    for (int id : {IDC_WRITE_EEPROM, IDC_SAVE_EEP, IDC_WRITE_FW, IDC_EEP_TO_93C46, IDC_WRITE_EEP_AND_FW,
                   IDC_LOAD_EEP, IDC_DUMP_EEPROM, IDC_ERASE_EEPROM, IDC_ERASE_FLASH, IDC_LOAD_FW, IDC_FW_INFO})
        script += expectEnabled(id, false);
    for (int id : {IDC_READ_EEP, IDC_SAVE_HEX, IDC_DUMP_EEP_DATA, IDC_WRITE_ROM, IDC_READ_ROM, IDC_EXIT})
        script += expectEnabled(id, true);
    script += "expect \"S/N Auto increment\" checked yes\n"
              "expect 1202 visible no\nexpect 1202 enabled no\n"
              "expect-title EEPROM/Flash Writer\n"
              "click \"Exit\"\n";
    auto r = run(script);
    EXPECT_EQ(r.exitCode, 0) << r.transcript;
    // Without a device "Save to hex" finds nothing to save.
    r = run("click \"Save to hex\"\nexpect 1901 text No data in 93C46!!\nclick \"Exit\"\n");
    EXPECT_EQ(r.exitCode, 0) << r.transcript;
    EXPECT_TRUE(has(r.transcript, kFailMark)) << r.transcript;
}

TEST_F(WriterTest, EachDeviceClassEnablesItsPanel) {
    struct Case { const char* profile; bool ide, reader, ufd, pid, config2; };
    const Case cases[] = {
        {"ide", true, false, false, false, true},       // class 01h
        {"reader", false, true, false, true, false},    // class 10h
        {"reader14", false, true, false, true, false},  // class 14h
        {"flashdisk", false, false, true, true, false}, // class 21h
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.profile);
        createDevice(c.profile, c.profile);
        std::string script;
        for (int id : {IDC_GRP_IDE, IDC_INITIAL_DELAY, IDC_PID_HIGH, IDC_PID_LOW_ATA, IDC_PID_LOW_ATAPI})
            script += expectEnabled(id, c.ide);
        for (int id : std::initializer_list<int>{IDC_GRP_READER, IDC_CARD_STR1, IDC_CARD_STR1 + 4, IDC_CARD_TYPE, IDC_ICON_NUMBER,
                       iconBox(0, 0), iconBox(5, 4)})
            script += expectEnabled(id, c.reader);
        for (int id : {IDC_GRP_UFD, IDC_INQ_VENDOR, IDC_INQ_PRODUCT}) script += expectEnabled(id, c.ufd);
        script += expectEnabled(IDC_PID, c.pid) + expectEnabled(IDC_CONFIG2, c.config2);
        script += expectEnabled(IDC_LOAD_EEP, true) + expectEnabled(IDC_WRITE_EEPROM, false);
        script += "click \"Exit\"\n";
        auto r = run(script);
        EXPECT_EQ(r.exitCode, 0) << r.transcript;
        ASSERT_EQ(VelkSimRemove(c.profile), 1);
    }
}

TEST_F(WriterTest, EditsTakeTheirLimitsAndTheIconBoxesKeepACardTypeUnderOneIcon) {
    createDevice("r", "reader");
    auto r = run("text \"VID(4)\" 0C45FF\nexpect 1102 text 0C45\n"
                 "text \"Product-Str(12)\" Card Reader 2000\nexpect 1109 text Card Reader \n"
                 "text 1306 ABCDEF\nexpect 1306 text ABCD\n"
                 "text \"PID Low Byte_ATAPI\" 123\n"  // disabled on a reader
                 "close\n");
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_TRUE(has(r.transcript, "failed at line 7: control 1408 does not take typing")) << r.transcript;

    r = run("click 1330\nclick 1336\nclick 1342\n"  // CF under icon 0, SM under 1, SD under 2
            "click 1337\n"                           // SD under icon 1: gone from icon 2
            "expect 1342 checked no\nexpect 1337 checked yes\nexpect 1330 checked yes\nexpect 1336 checked yes\n"
            "click 1355\n"                           // CF under icon 5
            "expect 1330 checked no\n"
            "click \"Reset\"\n"
            "expect 1355 checked no\nexpect 1336 checked no\nexpect 1337 checked no\n"
            "click \"Exit\"\n");
    EXPECT_EQ(r.exitCode, 0) << r.transcript;
}

// ---- "&Load eep file" -------------------------------------------------------------------------

TEST_F(WriterTest, LoadShowsTheFileAndEnablesTheWriteButtons) {
    createDevice("r", "reader");
    write("reader.eep", readerEep());
    write("big.eep", eepFile(std::vector<std::string>(65, "0000"), {}));
    auto r = run("file reader.eep\n" + kLoad +
                 "expect-title EEPROM/Flash Writer --> " + path("reader.eep") + "\n"
                 "expect 1602 text reader.eep\n"
                 "expect 1102 text 0C45\nexpect 1104 text 6366\nexpect 1308 text 01\nexpect 1310 text 01\n"
                 "expect 1111 text 12\nexpect 1107 text ABC \nexpect 1109 text Card Reader \n"
                 "expect 1302 text CF\nexpect 1303 text SD\nexpect 1304 text \n"
                 "expect 1330 checked yes\nexpect 1332 checked yes\nexpect 1336 checked yes\nexpect 1331 checked no\n" +
                 expectEnabled(IDC_WRITE_EEPROM, true) + expectEnabled(IDC_SAVE_EEP, true) +
                 expectEnabled(IDC_WRITE_EEP_AND_FW, true) + expectEnabled(IDC_EEP_TO_93C46, false) +
                 // 65 words: the warning, and nothing left to write.
                 "file big.eep\nanswer OK\n" + kLoad + expectEnabled(IDC_WRITE_EEPROM, false) +
                 expectEnabled(IDC_SAVE_EEP, false) +
                 // A cancelled choice loads nothing either.
                 "file reader.eep\n" + kLoad + expectEnabled(IDC_WRITE_EEPROM, true) + "file -\n" + kLoad +
                 expectEnabled(IDC_WRITE_EEPROM, false) + "click \"Exit\"\n");
    EXPECT_EQ(r.exitCode, 0) << r.transcript;
    EXPECT_TRUE(has(r.transcript, "box \"Warning\" error OK \"Data size over the 1024 bits\" -> OK")) << r.transcript;
}

// ---- "&Write to EEPROM" ----------------------------------------------------------------------------

TEST_F(WriterTest, ReaderIsErasedAndProgrammedFlashDiskProgrammedWithoutErase) {
    // With the data write failing, what the EEPROM holds shows whether the
    // erase ran: a reader is left erased, a flash disk keeps its content.
    createDevice("r", "reader");
    createDevice("s", "flashdisk");
    unplug("s");
    write("reader.eep", readerEep());
    write("flash.eep", flashEep());
    const Words readerBefore = eeprom("r");
    const Words flashBefore = eeprom("s");
    fault("r", "eep-data-write");
    fault("s", "eep-data-write");

    auto r = run("file reader.eep\n" + kLoad + "answer OK\nclick \"&Write to EEPROM\"\nclick \"Exit\"\n");
    EXPECT_EQ(r.exitCode, 0) << r.transcript;
    EXPECT_TRUE(has(r.transcript, "status \"Erasing EEPROM..........\"\nstatus \"Erasing EEPROM finish.\"\n"
                                  "status \"Programming EEPROM.........\"\n"))
        << r.transcript;
    EXPECT_TRUE(has(r.transcript, "box \"Error\" error OK \"Error while writing the EEP Data\" -> OK"));
    EXPECT_TRUE(has(r.transcript, kFailMark));
    Words zeros{};
    EXPECT_NE(readerBefore, zeros);
    EXPECT_EQ(eeprom("r"), zeros) << "a reader is erased before it is programmed";
    EXPECT_EQ(fileSerial(read("reader.eep")), "000123") << "no serial handed off for a failed device";

    unplug("r");
    VelkSimPlug("s");
    r = run("file flash.eep\n" + kLoad + "answer OK\nclick \"&Write to EEPROM\"\nclick \"Exit\"\n");
    EXPECT_EQ(r.exitCode, 0) << r.transcript;
    EXPECT_FALSE(has(r.transcript, "Erasing")) << r.transcript;
    EXPECT_EQ(eeprom("s"), flashBefore) << "a flash disk is not erased";

    // Without the fault both are programmed: the settings of the file are in
    // the EEPROM, read back by the device library.
    fault("s", "clear");
    r = run("file flash.eep\n" + kLoad + kWriteOk + "click \"Exit\"\n");
    EXPECT_EQ(r.exitCode, 0) << r.transcript;
    EXPECT_TRUE(has(r.transcript, kRebootBox)) << r.transcript;
    EXPECT_TRUE(has(r.transcript, "status \"Verify EEPROM.........\"\n"
                                  "status \"Programming and Verify EEPROM OK.........\"\n"));
    EXPECT_TRUE(has(r.transcript, kOkMark));
    const Words flash = eeprom("s");
    EXPECT_EQ(flash[0], 0x0C45);
    EXPECT_EQ(flash[1], 0x7777);
    EXPECT_EQ(flash[9] & 0xFF, 0x22) << "Config1 from word 9";
    EXPECT_EQ(descriptorText(flash, flash[4] & 0xFF), "Flash");
    EXPECT_EQ(eepromSerial(flash), "000123");
    EXPECT_EQ(fileSerial(read("flash.eep")), "000124");
}

TEST_F(WriterTest, UnreadableDriveInformationFailsTheFillAndKeepsTheSerial) {
    createDevice("s", "flashdisk");
    write("flash.eep", flashEep());
    fault("s", "drive-info");
    // The class is unknown: no panel is enabled, and the record cannot be filled.
    auto r = run(expectEnabled(IDC_GRP_UFD, false) + expectEnabled(IDC_GRP_READER, false) + "file flash.eep\n" +
                 kLoad + "answer OK\nclick \"&Write to EEPROM\"\nclick \"Exit\"\n");
    EXPECT_EQ(r.exitCode, 0) << r.transcript;
    EXPECT_TRUE(has(r.transcript, "box \"Error\" error OK \"Fail to Fill the EEP content\" -> OK")) << r.transcript;
    EXPECT_TRUE(has(r.transcript, kFailMark));
    EXPECT_EQ(read("flash.eep"), flashEep());
}

namespace {

// A front end that loads a file, writes it, and unplugs the device while each
// message box is up, letting the removal reach the dialog before the box
// returns (as an operator replugging at the "replug-in" message does).
struct UnplugAtTheBox : ui::Frontend {
    std::string device, file;
    std::vector<std::string> boxes;
    void createWindow(ui::Dialog&, ui::Dialog*) override {}
    void showWindow(ui::Dialog&) override {}
    void destroyWindow(ui::Dialog&, int) override {}
    void refresh(ui::Dialog&, const ui::Changes&) override {}
    void runLoop(ui::Dialog& d) override {
        ui::detail::inputClick(d, IDC_LOAD_EEP);
        ui::detail::inputClick(d, IDC_WRITE_EEPROM);
        if (!ui::detail::loopEnded(d)) d.endDialog(ui::IDOK);
        ui::detail::pump();
    }
    void wake() override {}
    int messageBox(ui::Dialog*, const std::string& text, const std::string&, unsigned) override {
        boxes.push_back(text);
        VelkSimUnplug(device.c_str());
        ui::detail::runPollers();
        ui::detail::pump();
        return ui::IDOK;
    }
    std::optional<std::string> fileDialog(ui::Dialog*, bool, const ui::FileDialogSpec&) override { return file; }
    void setBusyCursor(bool) override {}
};

}  // namespace

// Regression: the device was closed after the last message box, through a
// list that a removal during the box had already destroyed.
TEST_F(WriterTest, UnpluggedWhileAMessageIsUpTheDialogLetsTheDeviceGo) {
    createDevice("good", "flashdisk");
    createDevice("bad", "flashdisk");
    fault("bad", "eep-data-write");
    unplug("bad");
    write("flash.eep", flashEep());
    for (const char* name : {"good", "bad"}) {
        SCOPED_TRACE(name);
        VelkSimPlug(name);
        UnplugAtTheBox fe;
        fe.device = name;
        fe.file = path("flash.eep");
        ui::detail::setDialogThread();
        ui::detail::setFrontend(&fe);
        {
            FlashWriterDialog dlg;
            dlg.runModal();
            EXPECT_FALSE(dlg.devicePresent());
            EXPECT_FALSE(dlg.isEnabled(IDC_WRITE_EEPROM));
        }
        ui::detail::setFrontend(nullptr);
        ui::detail::clearHooks();
        ASSERT_EQ(fe.boxes.size(), 1u);
        EXPECT_EQ(fe.boxes[0], std::string(name) == "good" ? "You must reboot PC or replug-in device"
                                                          : "Error while writing the EEP Data");
    }
    EXPECT_EQ(fileSerial(read("flash.eep")), "000124");
}

TEST_F(WriterTest, EraseFailingAtWord10StopsThereAndShowsTheIndex) {
    createDevice("r", "reader");
    const Words before = eeprom("r");
    fault("r", "eeprom-word 10");
    auto r = run("click 1606\nexpect 1902 pos 0\nclick \"Exit\"\n");
    EXPECT_EQ(r.exitCode, 0) << r.transcript;
    EXPECT_TRUE(has(r.transcript, "status \"Erasing EEPROM..........\"\nstatus \"Erasing Index A FAIL!\"\n"
                                  "status \"Erasing EEPROM not finish.\"\n"))
        << r.transcript;
    EXPECT_TRUE(has(r.transcript, kFailMark));
    const Words after = eeprom("r");
    for (size_t i = 0; i < 10; ++i) EXPECT_EQ(after[i], 0) << i;
    for (size_t i = 10; i < 64; ++i) EXPECT_EQ(after[i], before[i]) << "word " << i << " is not written";

    fault("r", "clear");
    r = run("click 1606\nexpect 1901 text Erasing EEPROM finish.\nexpect 1902 pos 100\nclick \"Exit\"\n");
    EXPECT_EQ(r.exitCode, 0) << r.transcript;
    EXPECT_EQ(eeprom("r"), Words{});
    EXPECT_TRUE(has(r.transcript, kOkMark));
}

TEST_F(WriterTest, FailedReadBackPaintsFailAndHandsNoSerialOff) {
    createDevice("s", "flashdisk");
    write("flash.eep", flashEep());
    fault("s", "eeprom-read 40");
    auto r = run("file flash.eep\n" + kLoad + "answer OK\nclick \"&Write to EEPROM\"\nclick \"Exit\"\n");
    EXPECT_EQ(r.exitCode, 0) << r.transcript;
    EXPECT_TRUE(has(r.transcript, "box \"Error\" error OK \"Read back EEP Fail\" -> OK")) << r.transcript;
    EXPECT_TRUE(has(r.transcript, kFailMark));
    EXPECT_FALSE(has(r.transcript, "Programming and Verify EEPROM OK"));
    EXPECT_EQ(fileSerial(read("flash.eep")), "000123");
}

// Regression: a failed run used up a serial, so the next device skipped one
// and the file's next serial no longer matched what the devices got.
TEST_F(WriterTest, AFailedRunGivesItsSerialToTheNextDevice) {
    createDevice("d0", "flashdisk");
    createDevice("d1", "flashdisk");
    createDevice("d2", "flashdisk");
    fault("d1", "eep-data-write");
    unplug("d1");
    unplug("d2");
    write("flash.eep", flashEep());
    auto r = run("file flash.eep\n" + kLoad + kWriteOk +
                 "unplug d0\nplug d1\nadvance 2000\nanswer OK\nclick \"&Write to EEPROM\"\n"
                 "unplug d1\nplug d2\nadvance 2000\n" + kWriteOk + "click \"Exit\"\n");
    ASSERT_EQ(r.exitCode, 0) << r.transcript;
    EXPECT_TRUE(has(r.transcript, "\"Error while writing the EEP Data\""));
    EXPECT_EQ(eepromSerial(eeprom("d0")), "000123");
    EXPECT_EQ(eepromSerial(eeprom("d2")), "000124");
    EXPECT_EQ(fileSerial(read("flash.eep")), "000125");
}

// ---- "Save to eep file" and the icon-setting check -------------------------------------------

TEST_F(WriterTest, IconSettingsAreCheckedBeforeASave) {
    createDevice("r", "reader");
    write("reader.eep", readerEep());
    // From the file: CF and SD under icon 0, SM under icon 1, number 1.
    auto r = run("file reader.eep\n" + kLoad + "file good.eep\nclick \"Save to eep file\"\nexpect 1602 text good.eep\n"
                 // SM under icon 0 and CF under icon 1: out of order.
                 "click \"Reset\"\nclick 1331\nclick 1335\n"
                 "file order.eep\nanswer OK\nclick \"Save to eep file\"\n"
                 // Icons 0 and 1 in use with display number 0.
                 "click \"Reset\"\nclick 1330\nclick 1336\ntext \"Disk icon display number in PC(0~5)\" 00\n"
                 "file count.eep\nanswer OK\nclick \"Save to eep file\"\n"
                 "click \"Exit\"\n");
    ASSERT_EQ(r.exitCode, 0) << r.transcript;
    EXPECT_TRUE(has(r.transcript, "box \"Error\" error OK \"The reader icon setting is not correct.\" -> OK"))
        << r.transcript;
    EXPECT_TRUE(has(r.transcript,
                    "box \"Error\" error OK \"The icon display number is mismatch with reader icon setting.\" -> OK"));
    EXPECT_EQ(read("good.eep").find("\n2050\n") != std::string::npos, true) << read("good.eep");
    EXPECT_FALSE(std::filesystem::exists(path("order.eep")));
    EXPECT_FALSE(std::filesystem::exists(path("count.eep")));
}

// ---- "&Read EEP" --------------------------------------------------------------------------------

TEST_F(WriterTest, ReadEepFillsTheFieldsOfEachDeviceClassFromTheDevice) {
    struct Case { const char* profile; std::string file; std::string expects; };
    const Case cases[] = {
        {"reader", readerEep(),
         "expect 1102 text 0C45\nexpect 1104 text 6366\nexpect 1308 text 01\nexpect 1310 text 01\n"
         "expect 1111 text 12\nexpect 1107 text ABC \nexpect 1109 text Card Reader \n"
         "expect 1302 text CF\nexpect 1303 text SD\nexpect 1304 text \n"
         "expect 1330 checked yes\nexpect 1332 checked yes\nexpect 1336 checked yes\nexpect 1335 checked no\n"},
        {"reader14", reader14Eep(),
         "expect 1102 text 0C45\nexpect 1104 text 6364\nexpect 1111 text 12\nexpect 1107 text ABC \n"
         "expect 1109 text Reader14\nexpect 1502 text Vend    \nexpect 1504 text Inquiry Product \n"},
        {"flashdisk", flashEep(),
         "expect 1102 text 0C45\nexpect 1104 text 7777\nexpect 1111 text 22\nexpect 1107 text Flash\n"
         "expect 1109 text Disk\nexpect 1502 text Vendor  \nexpect 1504 text Product         \n"},
        {"ide", ideEep(),
         "expect 1102 text 0C45\nexpect 1104 enabled no\nexpect 1404 text 12\nexpect 1406 text 34\n"
         "expect 1408 text 56\nexpect 1402 text 05\nexpect 1111 text 44\nexpect 1113 text 07\n"
         "expect 1107 text IDE \nexpect 1109 text Bridge\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.profile);
        createDevice(c.profile, c.profile);
        write("settings.eep", c.file);
        // Programmed from the file in one run; a fresh dialog (empty fields)
        // reads the settings back from the device.
        auto r = run("file settings.eep\n" + kLoad + kWriteOk + "click \"Exit\"\n");
        ASSERT_EQ(r.exitCode, 0) << r.transcript;
        r = run("click \"&Read EEP\"\n" + c.expects + "click \"Exit\"\n");
        EXPECT_EQ(r.exitCode, 0) << r.transcript;
        EXPECT_FALSE(has(r.transcript, "Read EEP Data fail")) << r.transcript;
        ASSERT_EQ(VelkSimRemove(c.profile), 1);
    }
}

TEST_F(WriterTest, ReadEepOfAnErasedOrUnreadableEepromFails) {
    createDevice("r", "reader");
    auto r = run("click 1606\nanswer OK\nclick \"&Read EEP\"\nexpect 1102 text \nclick \"Exit\"\n");
    EXPECT_EQ(r.exitCode, 0) << r.transcript;
    EXPECT_TRUE(has(r.transcript, "box \"Error\" error OK \"Read EEP Data fail ! \" -> OK")) << r.transcript;
    VelkSimRemove("r");
    createDevice("r2", "reader");
    fault("r2", "eeprom-read 3");
    r = run("answer OK\nclick \"&Read EEP\"\nclick \"Exit\"\n");
    EXPECT_EQ(r.exitCode, 0) << r.transcript;
    EXPECT_TRUE(has(r.transcript, "\"Read EEP Data fail ! \"")) << r.transcript;
}

// ---- "Dump EEPROM" and "Save to hex" ------------------------------------------------------------

TEST_F(WriterTest, DumpShowsTheWordsAndDecodesTheStrings) {
    createDevice("r", "reader");
    write("reader.eep", readerEep());
    auto r = run("file reader.eep\n" + kLoad + kWriteOk + "click \"Dump EEPROM\"\n"
                 "expect-title Dump Dialog\nexpect 1001 count 8\n"
                 "expect \"Vendor :\" text ABC \nexpect \"Product :\" text Card Reader \n"
                 "expect \"Serial :\" text 000123\nexpect \"Interface :\" text Intf\n"
                 "expect \"Card Type :\" text CF  SD  \n"
                 "expect \"Inq-Vendor :\" text \nexpect \"Inq-Product :\" text \n"
                 "dump\nclick \"OK\"\nclick \"Exit\"\n");
    ASSERT_EQ(r.exitCode, 0) << r.transcript;
    const Words w = eeprom("r");
    char line[64];
    std::snprintf(line, sizeof line, "\"00    %04X %04X %04X %04X %04X %04X %04X %04X \"", w[0], w[1], w[2], w[3],
                  w[4], w[5], w[6], w[7]);
    EXPECT_TRUE(has(r.transcript, line)) << r.transcript;
}

TEST_F(WriterTest, DumpFailingAtWord20ShowsTwoLinesAndFourWords) {
    createDevice("r", "reader");
    const Words w = eeprom("r");
    fault("r", "eeprom-read 20");
    char third[64];
    std::snprintf(third, sizeof third, "10    %04X %04X %04X %04X ", w[16], w[17], w[18], w[19]);
    // The product string runs over word 20: its text ends at the failed read.
    const size_t productAt = w[4] >> 8;
    ASSERT_LT(productAt, 16u);
    ASSERT_GT(productAt + (w[productAt] & 0xFF) / 2, 21u);
    std::string product;
    for (size_t k = productAt + 1; k < 20; ++k) product.push_back(static_cast<char>(w[k] & 0xFF));
    auto r = run("click \"Dump EEPROM\"\nexpect 1001 count 3\nexpect 1001 item:2 " + std::string(third) +
                 "\nexpect \"Vendor :\" text VELK\nexpect \"Product :\" text " + product +
                 "\nexpect \"Serial :\" text " + eepromSerial(w) + "\nclick \"OK\"\nclick \"Exit\"\n");
    ASSERT_EQ(r.exitCode, 0) << r.transcript;
}

TEST_F(WriterTest, SaveToHexWritesTheWordsLowByteFirst) {
    createDevice("r", "reader");
    const Words w = eeprom("r");
    auto r = run("file out.hex\nclick \"Save to hex\"\nexpect 1901 text EEP file save successfully!!\n"
                 "expect 1902 pos 100\n"
                 "file " + path("missing/x.hex") + "\nclick \"Save to hex\"\nexpect 1901 text Error to open file!!\n"
                 "file -\nclick \"Save to hex\"\nclick \"Exit\"\n");
    ASSERT_EQ(r.exitCode, 0) << r.transcript;
    EXPECT_TRUE(has(r.transcript, kOkMark) && has(r.transcript, kFailMark)) << r.transcript;
    const std::string hex = read("out.hex");
    ASSERT_EQ(hex.size(), 128u);
    for (size_t i = 0; i < 64; ++i) {
        EXPECT_EQ(static_cast<uint8_t>(hex[2 * i]), w[i] & 0xFF) << i;
        EXPECT_EQ(static_cast<uint8_t>(hex[2 * i + 1]), w[i] >> 8) << i;
    }
    fault("r", "eeprom-read 63");
    write("keep.hex", "old");
    r = run("click \"Save to hex\"\nexpect 1901 text No data in 93C46!!\nclick \"Exit\"\n");
    ASSERT_EQ(r.exitCode, 0) << r.transcript;
    EXPECT_FALSE(has(r.transcript, "file save")) << "no file is asked for";
}

// ---- the template ---------------------------------------------------------------------------------

TEST(WriterTemplate, HasEveryControlOnceInsideTheDialogAndKeepsTheResultAreaFree) {
    const ui::DialogTemplate t = flashWriterTemplate();
    EXPECT_EQ(t.id, 132);
    EXPECT_EQ(t.caption, "EEPROM/Flash Writer");
    std::map<int, const ui::ControlTemplate*> byId;
    std::multiset<std::string> captions;
    for (const auto& c : t.controls) {
        ASSERT_GE(c.id, 0) << c.caption;
        EXPECT_TRUE(byId.emplace(c.id, &c).second) << "ID " << c.id << " twice";
        captions.insert(c.caption);
        EXPECT_GE(c.rect.x, 0);
        EXPECT_GE(c.rect.y, 0);
        EXPECT_LE(c.rect.x + c.rect.cx, t.cx) << c.caption;
        EXPECT_LE(c.rect.y + c.rect.cy, t.cy) << c.caption;
    }
    for (const char* caption :
         {"EEP file setting", "VID(4)", "PID(4)", "&Read EEP", "Vendor-Str(8)", "Product-Str(12)",
          "Config1 byte setting(1 byte)", "Config2 byte setting(1 byte)", "Serial Number Type", "S/N Auto increment",
          "S/N by system random", "S/N Auto increment with boundary", "Start", "End", "Card Reader Parameter",
          "Card-Str", "Define card type(1 byte)", "Disk icon display number in PC(0~5)", "Reset", "IDE Parameter",
          "Initial delay", "PID High Byte", "PID Low Byte_ATA", "PID Low Byte_ATAPI", "UFD Parameter",
          "EEP for 93C46 or CIS", "&Load eep file", "Save to eep file", "&Write to EEPROM", "Dump EEPROM",
          "Save to hex", "External Code Flash", "Load FW obj file", "Write F/W", "F/W Info", "Dump EEP Data",
          "Write EEP File && F/W", "EEP to 93C46\nF/W to Flash", "Read / Write ROM File", "Write ROM File",
          "Read ROM File", "Exit"})
        EXPECT_EQ(captions.count(caption), 1u) << caption;
    EXPECT_EQ(captions.count("Erase"), 2u);
    for (const char* type : {"CF", "SM", "SD", "MS", "XD"}) EXPECT_EQ(captions.count(type), 6u) << type;
    for (int icon = 0; icon < 6; ++icon) EXPECT_EQ(captions.count("Icon" + std::to_string(icon)), 1u);

    // No two controls overlap, except a group box and what it holds; the
    // result mark's rectangle (in pixels from the client area's right and
    // bottom edges) is free of controls.
    auto px = [](const ui::DlgRect& r) {
        return ui::Rect{ui::detail::dluToPxX(r.x), ui::detail::dluToPxY(r.y), ui::detail::dluToPxX(r.x + r.cx),
                        ui::detail::dluToPxY(r.y + r.cy)};
    };
    auto meets = [](const ui::Rect& a, const ui::Rect& b) {
        return a.left < b.right && b.left < a.right && a.top < b.bottom && b.top < a.bottom;
    };
    const int w = ui::detail::dluToPxX(t.cx), h = ui::detail::dluToPxY(t.cy);
    const ui::Rect mark{w - 260, h - 55, w - 95, h};
    for (size_t i = 0; i < t.controls.size(); ++i) {
        const auto& a = t.controls[i];
        EXPECT_FALSE(meets(px(a.rect), mark)) << a.caption << " lies in the result area";
        if (a.kind == ui::Kind::GroupBox) continue;
        for (size_t j = i + 1; j < t.controls.size(); ++j) {
            const auto& b = t.controls[j];
            if (b.kind == ui::Kind::GroupBox) continue;
            EXPECT_FALSE(meets(px(a.rect), px(b.rect))) << a.id << " " << a.caption << " and " << b.id << " " << b.caption;
        }
    }
    // Every control but the bottom row lies in exactly one group box.
    for (const auto& c : t.controls) {
        if (c.kind == ui::Kind::GroupBox || c.id == IDC_STATUS || c.id == IDC_PROGRESS || c.id == IDC_EXIT) continue;
        int in = 0;
        for (const auto& g : t.controls)
            if (g.kind == ui::Kind::GroupBox && c.rect.x >= g.rect.x && c.rect.y >= g.rect.y + 8 &&
                c.rect.x + c.rect.cx <= g.rect.x + g.rect.cx && c.rect.y + c.rect.cy <= g.rect.y + g.rect.cy)
                ++in;
        EXPECT_EQ(in, 1) << c.id << " " << c.caption;
    }
}
