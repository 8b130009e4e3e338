// Serial numbers from one programmed device to the next, through the writer
// dialog on the simulated bus: what each device's EEPROM holds, what the EEP
// file and the "Start" edit hold afterwards.
#include <filesystem>

#include "console/writer/writer_resources.h"
#include "writer_test_support.h"

using namespace writer;
using namespace writer_test;

namespace {

const std::string kLoad = "click \"&Load eep file\"\n";
const std::string kWriteOk = "answer OK\nclick \"&Write to EEPROM\"\n";

// Unplugs `from`, plugs `to`, and lets the settle timer rebuild the list.
std::string replug(const std::string& from, const std::string& to) {
    return "unplug " + from + "\nplug " + to + "\nadvance 2000\n";
}

class SerialTest : public WriterTest {
protected:
    // n flash disks d0..d(n-1), only d0 plugged.
    void devices(int n, const std::string& profile = "flashdisk") {
        for (int i = 0; i < n; ++i) {
            createDevice("d" + std::to_string(i), profile);
            if (i > 0) unplug("d" + std::to_string(i));
        }
    }
    std::string serialOn(int i) { return eepromSerial(eeprom("d" + std::to_string(i))); }
};

}  // namespace

TEST_F(SerialTest, AutoIncrementAdvancesFromTheFileAndTheImage) {
    devices(2);
    write("flash.eep", flashEep("000123"));
    // Two runs without saving or reloading: the first device gets the file's
    // serial, the second the serial advanced in the image; the file ends with
    // the one after.
    auto r = run("file flash.eep\n" + kLoad + kWriteOk + replug("d0", "d1") + kWriteOk + "click \"Exit\"\n");
    ASSERT_EQ(r.exitCode, 0) << r.transcript;
    EXPECT_EQ(serialOn(0), "000123");
    EXPECT_EQ(serialOn(1), "000124");
    EXPECT_EQ(fileSerial(read("flash.eep")), "000125");
    // Only the serial's characters changed.
    EXPECT_EQ(read("flash.eep"), flashEep("000125"));
}

TEST_F(SerialTest, BoundaryCountsUpToEndAndStaysThere) {
    devices(4);
    write("flash.eep", flashEep("000123"));
    std::string script = "text \"Start\" 0005\ntext \"End\" 0007\nclick \"S/N Auto increment with boundary\"\n"
                         "file flash.eep\n" + kLoad;
    const char* shown[] = {"0006", "0007", "0007", "0007"};
    for (int i = 0; i < 4; ++i) {
        if (i > 0) script += replug("d" + std::to_string(i - 1), "d" + std::to_string(i));
        script += kWriteOk + "expect \"Start\" text " + shown[i] + "\n";
    }
    auto r = run(script + "click \"Exit\"\n");
    ASSERT_EQ(r.exitCode, 0) << r.transcript;
    const char* programmed[] = {"0005", "0006", "0007", "0007"};
    for (int i = 0; i < 4; ++i) EXPECT_EQ(serialOn(i), programmed[i]) << "run " << i + 1;
    EXPECT_EQ(read("flash.eep"), flashEep("000123")) << "the boundary mode leaves the file alone";
}

TEST_F(SerialTest, StartAboveEndOrMissingStopsTheRunBeforeAnythingIsWritten) {
    devices(1);
    write("flash.eep", flashEep());
    const Words before = eeprom("d0");
    auto r = run("text \"Start\" 10\ntext \"End\" 9\nclick \"S/N Auto increment with boundary\"\n"
                 "file flash.eep\n" + kLoad + "answer OK\nclick \"&Write to EEPROM\"\n"
                 "text \"End\" \nanswer OK\nclick \"&Write to EEPROM\"\n"
                 "expect \"Start\" text 10\nclick \"Exit\"\n");
    ASSERT_EQ(r.exitCode, 0) << r.transcript;
    EXPECT_TRUE(has(r.transcript, "box \"Tavrin\" none OK \"End number must more than Start number.\" -> OK"))
        << r.transcript;
    EXPECT_TRUE(has(r.transcript, "box \"Tavrin\" none OK \"You must input numbers in Start and End fileds.\" -> OK"));
    EXPECT_FALSE(has(r.transcript, "Programming EEPROM"));
    EXPECT_EQ(eeprom("d0"), before);

    // Equal values are accepted: the device gets 9, and "Start" stays 9.
    r = run("text \"Start\" 9\ntext \"End\" 9\nclick \"S/N Auto increment with boundary\"\n"
            "file flash.eep\n" + kLoad + kWriteOk + "expect \"Start\" text 9\nclick \"Exit\"\n");
    ASSERT_EQ(r.exitCode, 0) << r.transcript;
    EXPECT_EQ(serialOn(0), "9");
}

TEST_F(SerialTest, TrailingSpaceKeepsTheWidthAndNeverWritesPastIt) {
    devices(3);
    write("flash.eep", flashEep("99 "));
    auto r = run("file flash.eep\n" + kLoad + kWriteOk + "click \"Exit\"\n");
    ASSERT_EQ(r.exitCode, 0) << r.transcript;
    EXPECT_EQ(serialOn(0), "99 ");
    EXPECT_EQ(fileSerial(read("flash.eep")), "100") << "no leading zeros";

    // 998, 999, then a value that would need four digits starts again at 1,
    // zero-filled to the width: the file's serial never grows past its quotes.
    write("flash.eep", flashEep("998"));
    r = run("file flash.eep\n" + kLoad + kWriteOk + replug("d0", "d1") + kWriteOk + replug("d1", "d2") + kWriteOk +
            "click \"Exit\"\n");
    ASSERT_EQ(r.exitCode, 0) << r.transcript;
    EXPECT_EQ(serialOn(0), "998");
    EXPECT_EQ(serialOn(1), "999");
    EXPECT_EQ(serialOn(2), "001");
    EXPECT_EQ(read("flash.eep"), flashEep("002"));
}

TEST_F(SerialTest, ASerialWithALetterIsNotAdvanced) {
    devices(2);
    write("flash.eep", flashEep("A12"));
    auto r = run("file flash.eep\n" + kLoad + kWriteOk + replug("d0", "d1") + kWriteOk + "click \"Exit\"\n");
    ASSERT_EQ(r.exitCode, 0) << r.transcript;
    EXPECT_EQ(serialOn(0), "A12");
    EXPECT_EQ(serialOn(1), "A12");
    EXPECT_EQ(read("flash.eep"), flashEep("A12"));
}

// Also a regression: the reader icon check refused every save of a flash
// disk (it has no icon boxes, so the icon count never matched).
TEST_F(SerialTest, ASaveMakesTheNextRunReloadTheSavedFile) {
    devices(2);
    write("flash.eep", flashEep("000123"));
    // The first run writes 000124 into flash.eep; the save copies the loaded
    // file (000124) to copy.eep, which the next run reloads and advances.
    auto r = run("file flash.eep\n" + kLoad + kWriteOk + "file copy.eep\nclick \"Save to eep file\"\n"
                 "expect 1602 text copy.eep\n" + replug("d0", "d1") + kWriteOk + "click \"Exit\"\n");
    ASSERT_EQ(r.exitCode, 0) << r.transcript;
    EXPECT_EQ(serialOn(0), "000123");
    EXPECT_EQ(serialOn(1), "000124");
    EXPECT_EQ(fileSerial(read("copy.eep")), "000125");
    EXPECT_EQ(fileSerial(read("flash.eep")), "000124");
}

TEST_F(SerialTest, AFileThatCannotTakeTheNextSerialIsReportedAndLeftAsItWas) {
    devices(1);
    write("flash.eep", flashEep("000123"));
    // "Temp.eep" cannot be made in the working directory.
    std::filesystem::create_directory(path("Temp.eep"));
    auto r = run("file flash.eep\n" + kLoad + "answer OK\n" + kWriteOk + "click \"Exit\"\n");
    ASSERT_EQ(r.exitCode, 0) << r.transcript;
    EXPECT_TRUE(has(r.transcript,
                    "box \"Error\" error OK \"Error to write the next serial number into the eep file\" -> OK"))
        << r.transcript;
    EXPECT_TRUE(has(r.transcript, "text \" OK\"")) << "the device itself is programmed";
    EXPECT_EQ(serialOn(0), "000123");
    EXPECT_EQ(read("flash.eep"), flashEep("000123"));
}
