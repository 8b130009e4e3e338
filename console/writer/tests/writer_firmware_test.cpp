// The writer's "External Code Flash" group run headless on the simulated
// bus: the erase and the device's return (timer 1), timer 3 on a device that
// stays on the bus, a device that stays away until plugged, the transfer
// length, the compare windows, the EEP step, the state-3 EEPROM write after
// the replug, failures of the write and the read-back, a removal in the
// middle of a transfer, firmware files that change or cannot be used, "F/W
// Info" and the flash "Erase". Assertions are on the simulated ROM and
// EEPROM afterwards.
#include "console/writer/writer_resources.h"
#include "firmware_test_support.h"

using namespace writer;
using namespace writer_test;

namespace {

// "Write F/W" through to the end of a run on a device that returns after
// the erase (1000 ms) and the settle timer (2000 ms), with the end box
// answered.
const std::string kWriteFwRun = "answer OK\nclick \"Write F/W\"\nadvance 6000\nwait\n";
// The two boxes of a failed compare: the first difference, "Programming not
// finish !".
const std::string kTwoMore = "answer OK\nanswer OK\n";

// For the child that runs the dialog: `change` runs once the program clock
// reaches 1000 ms, after "Write F/W" (at 0) and before the run (at 3000).
std::function<void()> atOneSecond(std::function<void()> change) {
    return [change = std::move(change)] {
        auto done = std::make_shared<bool>(false);
        ui::hooks::addPoller({[done, change] {
                                  if (*done || ui::nowMs() < 1000) return;
                                  *done = true;
                                  change();
                              },
                              -1,
                              [done]() -> std::optional<int64_t> {
                                  if (*done) return std::nullopt;
                                  return int64_t{1000};
                              }});
    };
}

}  // namespace

// ---- the transfer length, the pad, the whole run ----------------------------------------------

// A 65-byte image goes out with length 128 (FFh pad), a 64-byte one with
// length 64: the read-back covers index 100 only in the first case, so a
// ROM byte that reads back wrong there fails the first run only.
TEST_F(FirmwareTest, TransferLengthIsRoundedUpToSixtyFourAndPaddedWithFF) {
    struct Case { size_t size; bool compared100; };
    for (const Case c : {Case{65, true}, Case{64, false}}) {
        SCOPED_TRACE(c.size);
        createDevice("r", "reader");
        const std::vector<uint8_t> image = pattern(c.size);
        writeImage("fw.bin", image);
        fault("r", "rom-corrupt 100");
        auto r = run(loadFirmware("fw.bin") + (c.compared100 ? kTwoMore : "answer OK\n") +
                     "click \"Write F/W\"\nadvance 6000\nwait\nclick \"Exit\"\n");
        EXPECT_EQ(r.exitCode, 0) << r.transcript;
        if (c.compared100) {
            EXPECT_TRUE(has(r.transcript, mismatchBox(100))) << r.transcript;
            EXPECT_TRUE(has(r.transcript, kNotFinishBox)) << r.transcript;
            EXPECT_TRUE(has(r.transcript, "status \"Programming not finish !\"")) << r.transcript;
            EXPECT_TRUE(has(r.transcript, kFailMarkText)) << r.transcript;
        } else {
            EXPECT_TRUE(has(r.transcript, "status \"F/W Program and Verify finished.\"")) << r.transcript;
            EXPECT_TRUE(has(r.transcript, kFirmwareValidateBox)) << r.transcript;
            EXPECT_TRUE(has(r.transcript, kOkMarkText)) << r.transcript;
        }
        EXPECT_FALSE(attached("r")) << "safely removed";
        const std::vector<uint8_t> after = rom("r", 0x10000);
        EXPECT_TRUE(std::equal(image.begin(), image.end(), after.begin()));
        EXPECT_TRUE(allErased(after, c.size)) << "the pad is FFh and nothing past L is written";
        ASSERT_EQ(VelkSimRemove("r"), 1);
    }
}

TEST_F(FirmwareTest, AWholeRunShowsItsTextsAndEndsWithTheSafeRemoval) {
    createDevice("r", "reader");
    const std::vector<uint8_t> image = pattern(0x4000);
    writeImage("fw.bin", image);
    auto r = run(loadFirmware("fw.bin") +
                 "expect-title EEPROM/Flash Writer --> " + path("fw.bin") + "\n"
                 "expect 1702 text fw.bin\n"
                 "expect \"Write F/W\" enabled yes\n"
                 "expect 1709 enabled no\n" +  // no EEP file loaded
                 kWriteFwRun +
                 "expect \"Write F/W\" enabled no\n"
                 "expect 1902 pos 100\n"
                 "click \"Exit\"\n");
    EXPECT_EQ(r.exitCode, 0) << r.transcript;
    const char* order[] = {"status \"Erasing the Flash, Please wait.....\"", "status \"Will begin programming..........\"",
                           "status \"Programming..........\"", "status \"Programming OK, now Verifying ........ \"",
                           "status \"F/W Program and Verify finished.\"", kFirmwareValidateBox.c_str()};
    size_t at = 0;
    for (const char* line : order) {
        const size_t next = r.transcript.find(line, at);
        ASSERT_NE(next, std::string::npos) << line << "\n" << r.transcript;
        at = next;
    }
    EXPECT_FALSE(attached("r"));
    const std::vector<uint8_t> after = rom("r", 0x10000);
    EXPECT_TRUE(std::equal(image.begin(), image.end(), after.begin()));
    EXPECT_TRUE(allErased(after, image.size()));
}

// ---- the compare windows --------------------------------------------------------------------

// Class 16h keeps 5F80h-5FFFh (its EEP copy) as it holds it, so the image
// and the read-back differ there and the run passes; a difference at 5F7Fh,
// just outside, fails it with that index in decimal. The same for class 12h
// at BF80h-BFFFh; on any other class every difference fails.
TEST_F(FirmwareTest, TheEepCopyWindowPassesTheCompareAndTheByteBeforeItFails) {
    struct Case { const char* profile; size_t romSize; const char* corrupt; int mismatch; size_t window; };
    const Case cases[] = {
        {"reader16", 0x6000, nullptr, -1, 0x5F80},
        {"reader16", 0x6000, "rom-corrupt 0x5F80", -1, 0x5F80},
        {"reader16", 0x6000, "rom-corrupt 0x5FFF", -1, 0x5F80},
        {"reader16", 0x6000, "rom-corrupt 0x5F7F", 0x5F7F, 0x5F80},
        {"reader12", 0xC000, nullptr, -1, 0xBF80},
        {"reader12", 0xC000, "rom-corrupt 0xBF80", -1, 0xBF80},
        {"reader12", 0xC000, "rom-corrupt 0xBF7F", 0xBF7F, 0xBF80},
        {"reader", 0x10000, "rom-corrupt 0x5F80", 0x5F80, 0},
        {"reader", 0x10000, "rom-corrupt 0xBF80", 0xBF80, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.profile) + " " + (c.corrupt ? c.corrupt : "-"));
        createDevice("r", c.profile);
        const std::vector<uint8_t> before = rom("r", c.romSize);
        const std::vector<uint8_t> image = pattern(c.romSize, 3);
        writeImage("fw.bin", image);
        if (c.corrupt) fault("r", c.corrupt);
        auto r = run(loadFirmware("fw.bin") + (c.mismatch >= 0 ? kTwoMore : "answer OK\n") +
                     "click \"Write F/W\"\nadvance 6000\nwait\nclick \"Exit\"\n");
        EXPECT_EQ(r.exitCode, 0) << r.transcript;
        if (c.mismatch >= 0) {
            EXPECT_TRUE(has(r.transcript, mismatchBox(static_cast<unsigned>(c.mismatch)))) << r.transcript;
            EXPECT_TRUE(has(r.transcript, kNotFinishBox)) << r.transcript;
            EXPECT_TRUE(has(r.transcript, kFailMarkText)) << r.transcript;
        } else {
            EXPECT_FALSE(has(r.transcript, "The first dismatch address")) << r.transcript;
            EXPECT_TRUE(has(r.transcript, "status \"F/W Program and Verify finished.\"")) << r.transcript;
        }
        // The ROM: the image, except in the window the class keeps, which
        // holds what the erase left there.
        const std::vector<uint8_t> after = rom("r", c.romSize);
        for (size_t i = 0; i < c.romSize; ++i) {
            const bool kept = c.window && i >= c.window && i < c.window + 128;
            ASSERT_EQ(after[i], kept ? 0xFF : image[i]) << i;
        }
        EXPECT_FALSE(allErased(before, c.window, c.window + 128)) << "the device had an EEP copy there";
        ASSERT_EQ(VelkSimRemove("r"), 1);
    }
}

// ---- the sequence across the device's removal and return ------------------------------------------

// A device that does not drop off after the erase: nothing happens for 6 s,
// then timer 3 starts the programming.
TEST_F(FirmwareTest, TimerThreeStartsTheRunWhenTheDeviceDoesNotDropOff) {
    createDevice("r", "reader");
    const std::vector<uint8_t> image = pattern(0x2000);
    writeImage("fw.bin", image);
    fault("r", "no-drop");
    auto r = run(loadFirmware("fw.bin") +
                 "answer OK\n"
                 "click \"Write F/W\"\n"
                 "advance 5999\n"
                 "expect 1901 text Erasing the Flash, Please wait.....\n"
                 "expect \"Load FW obj file\" enabled yes\n"
                 "advance 1\n"
                 "wait\n"
                 "expect 1901 text F/W Program and Verify finished.\n"
                 "click \"Exit\"\n");
    EXPECT_EQ(r.exitCode, 0) << r.transcript;
    EXPECT_FALSE(attached("r")) << "the safe removal takes it off the bus";
    const std::vector<uint8_t> after = rom("r", 0x10000);
    EXPECT_TRUE(std::equal(image.begin(), image.end(), after.begin()));
}

// A device that drops off and stays away: the run waits (timer 3 is stopped
// by the removal) and goes on 2 s after it is plugged again.
TEST_F(FirmwareTest, ARunWaitsForADeviceThatStaysAwayUntilItIsPluggedAgain) {
    createDevice("r", "reader");
    const std::vector<uint8_t> image = pattern(0x2000, 5);
    writeImage("fw.bin", image);
    fault("r", "no-reenum");
    auto r = run(loadFirmware("fw.bin") +
                 "click \"Write F/W\"\n"
                 "advance 60000\n"
                 "expect 1901 text Erasing the Flash, Please wait.....\n"
                 "expect \"Load FW obj file\" enabled no\n"
                 "expect \"Write F/W\" enabled no\n"
                 "answer OK\n"
                 "plug r\n"
                 "advance 2000\n"
                 "wait\n"
                 "expect 1901 text F/W Program and Verify finished.\n"
                 "click \"Exit\"\n");
    EXPECT_EQ(r.exitCode, 0) << r.transcript;
    const std::vector<uint8_t> after = rom("r", 0x10000);
    EXPECT_TRUE(std::equal(image.begin(), image.end(), after.begin()));
    EXPECT_TRUE(allErased(after, image.size()));
}

// "EEP to 93C46": erase, program, "You must replug-in device for update EEP
// data.", and after the replug the EEPROM write of "&Write to EEPROM".
TEST_F(FirmwareTest, EepTo93C46ProgramsAndWritesTheEepromAfterTheReplug) {
    createDevice("r", "reader");
    write("reader.eep", readerEep("000123"));
    const std::vector<uint8_t> image = pattern(0x3000, 9);
    writeImage("fw.bin", image);
    auto r = run("file " + path("reader.eep") + "\nclick \"&Load eep file\"\n" + loadFirmware("fw.bin") +
                 "expect 1709 enabled yes\n"
                 "answer OK\n"
                 "click 1709\n"
                 "advance 6000\n"
                 "wait\n"
                 "expect 1901 text F/W Program and Verify finished.\n"
                 "expect 1709 enabled no\n"
                 "answer OK\n"
                 "plug r\n"
                 "advance 2000\n"
                 "wait\n"
                 "expect 1901 text Programming and Verify EEPROM OK.........\n"
                 "click \"Exit\"\n");
    EXPECT_EQ(r.exitCode, 0) << r.transcript;
    EXPECT_TRUE(has(r.transcript, "box \"Info\" none OK \"You must replug-in device for update EEP data.\" -> OK"))
        << r.transcript;
    EXPECT_TRUE(has(r.transcript, "\"You must reboot PC or replug-in device\" -> OK")) << r.transcript;
    const std::vector<uint8_t> after = rom("r", 0x10000);
    EXPECT_TRUE(std::equal(image.begin(), image.end(), after.begin()));
    const Words w = eeprom("r");
    EXPECT_EQ(w[0], 0x0C45);
    EXPECT_EQ(eepromSerial(w), "000123");
    EXPECT_EQ(fileSerial(read("reader.eep")), "000124");
}

// "Write EEP File && F/W" with a file loaded writes the EEP settings inside
// the run (into the EEP copy that class 16h keeps in its ROM) and says so;
// still checked after the file is gone, the step is skipped.
TEST_F(FirmwareTest, TheEepStepRunsOnlyWithAnEepFileLoaded) {
    createDevice("r", "reader16");
    write("reader.eep", readerEep("000123"));
    writeImage("fw.bin", pattern(0x6000, 11));
    auto r = run("file " + path("reader.eep") + "\nclick \"&Load eep file\"\n"
                 "click \"Write EEP File && F/W\"\n" + loadFirmware("fw.bin") + kWriteFwRun +
                 "expect 1901 text F/W[with EEP] Program and Verify finished.\n"
                 "expect 1708 checked no\n"
                 "click \"Exit\"\n");
    EXPECT_EQ(r.exitCode, 0) << r.transcript;
    EXPECT_TRUE(has(r.transcript, "status \"Verify EEP OK.........\"")) << r.transcript;
    Words copy = wordsAt(rom("r", 0x6000), 0x5F80);
    EXPECT_EQ(copy[0], 0x0C45);
    EXPECT_EQ(eepromSerial(copy), "000123");
    EXPECT_EQ(fileSerial(read("reader.eep")), "000124") << "the serial was handed off";

    // Checked, but the EEP file is no longer loaded (its choice cancelled).
    const Words eepromBefore = eeprom("r");
    writeImage("fw.bin", pattern(0x6000, 12));
    ASSERT_EQ(VelkSimPlug("r"), 1);  // back after the safe removal
    r = run("file " + path("reader.eep") + "\nclick \"&Load eep file\"\n"
            "click \"Write EEP File && F/W\"\n"
            "file -\nclick \"&Load eep file\"\n"
            "expect 1708 checked yes\n" + loadFirmware("fw.bin") + kWriteFwRun +
            "expect 1901 text F/W Program and Verify finished.\n"
            "click \"Exit\"\n");
    EXPECT_EQ(r.exitCode, 0) << r.transcript;
    EXPECT_FALSE(has(r.transcript, "Verify EEP")) << r.transcript;
    EXPECT_EQ(eeprom("r"), eepromBefore);
    EXPECT_EQ(fileSerial(read("reader.eep")), "000124");
    EXPECT_TRUE(allErased(rom("r", 0x6000), 0x5F80)) << "no EEP copy written after the erase";
}

// The EEP step of the run fails (the device refuses the EEP data): the run
// ends there with "FAIL", no firmware goes out and the file keeps its serial
// for the next device.
TEST_F(FirmwareTest, AFailedEepStepEndsTheRunBeforeTheTransferAndKeepsTheSerial) {
    createDevice("r", "reader16");
    write("reader.eep", readerEep("000123"));
    writeImage("fw.bin", pattern(0x6000, 13));
    fault("r", "eep-data-write");
    auto r = run("file " + path("reader.eep") + "\nclick \"&Load eep file\"\n"
                 "click \"Write EEP File && F/W\"\n" + loadFirmware("fw.bin") + kWriteFwRun +
                 "expect 1901 text Programming EEP error.\n"
                 "click \"Exit\"\n");
    EXPECT_EQ(r.exitCode, 0) << r.transcript;
    EXPECT_TRUE(has(r.transcript, "\"Error while writing the EEP Data\"")) << r.transcript;
    EXPECT_TRUE(has(r.transcript, kFailMarkText)) << r.transcript;
    EXPECT_FALSE(has(r.transcript, "Programming..........")) << "no transfer after the failed EEP step";
    EXPECT_TRUE(allErased(rom("r", 0x6000))) << "the erased ROM got no firmware";
    EXPECT_EQ(fileSerial(read("reader.eep")), "000123") << "the serial stays for the next device";
}

// ---- failures of the run: each ends with its texts, "FAIL" and the safe removal ------------------

TEST_F(FirmwareTest, FailingWriteAndReadBackEndTheRunWithTheSafeRemoval) {
    struct Case { const char* fault; const char* box; const char* status; };
    const Case cases[] = {
        {"fw-write", "box \"Error\" error OK \"Error while writing the Flash\" -> OK", "status \"Writing error.\""},
        {"fw-read", "box \"Error\" error OK \"Error while reading the Flash\" -> OK", "status \"Reading error.\""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.fault);
        createDevice("r", "reader");
        const std::vector<uint8_t> image = pattern(0x2000);
        writeImage("fw.bin", image);
        fault("r", c.fault);
        auto r = run(loadFirmware("fw.bin") + kTwoMore + "click \"Write F/W\"\nadvance 6000\nwait\n" +
                     "expect 1901 text Programming not finish !\n"
                     "click \"Exit\"\n");
        EXPECT_EQ(r.exitCode, 0) << r.transcript;
        EXPECT_TRUE(has(r.transcript, c.box)) << r.transcript;
        EXPECT_TRUE(has(r.transcript, c.status)) << r.transcript;
        EXPECT_TRUE(has(r.transcript, kNotFinishBox)) << r.transcript;
        EXPECT_TRUE(has(r.transcript, kFailMarkText)) << r.transcript;
        EXPECT_FALSE(has(r.transcript, "Verifying")) << "no compare after a failed transfer";
        EXPECT_FALSE(attached("r"));
        const std::vector<uint8_t> after = rom("r", 0x10000);
        // A failed write programmed its first half; a failed read-back
        // leaves the whole image.
        const size_t written = std::string(c.fault) == "fw-write" ? 0x1000 : 0x2000;
        EXPECT_TRUE(std::equal(image.begin(), image.begin() + static_cast<long>(written), after.begin()));
        EXPECT_TRUE(allErased(after, written));
        ASSERT_EQ(VelkSimRemove("r"), 1);
    }
}

// The device unplugged in the middle of a realistic-timing transfer: the
// write fails, the run ends, and after the replug the dialog works again.
TEST_F(FirmwareTest, ARemovalInTheMiddleOfTheTransferEndsTheRunAndTheDialogGoesOn) {
    createDevice("r", "reader", {"timing=realistic"});
    std::vector<uint8_t> image = pattern(0x4000);
    const char version[4] = {'0', '2', '0', '0'};
    std::copy(version, version + 4, image.begin() + 0xF8);
    writeImage("fw.bin", image);
    auto r = run(loadFirmware("fw.bin") +
                 "click \"Write F/W\"\n"
                 "advance 4500\n"
                 "expect 1901 text Programming..........\n"
                 "answer OK\nanswer OK\n"
                 "unplug r\n"
                 "wait\n"
                 "expect 1901 text Programming not finish !\n"
                 "expect \"Load FW obj file\" enabled no\n"
                 "plug r\n"
                 "advance 2000\n"
                 "expect \"Load FW obj file\" enabled yes\n"
                 "expect \"F/W Info\" enabled yes\n"
                 "click \"F/W Info\"\n"
                 "expect 1705 text 0200\n"
                 "click \"Exit\"\n");
    EXPECT_EQ(r.exitCode, 0) << r.transcript;
    EXPECT_TRUE(has(r.transcript, "\"Error while writing the Flash\" -> OK")) << r.transcript;
    EXPECT_TRUE(has(r.transcript, kNotFinishBox)) << r.transcript;
    EXPECT_TRUE(has(r.transcript, kFailMarkText)) << r.transcript;
    const std::vector<uint8_t> after = rom("r", 0x10000);
    EXPECT_TRUE(std::equal(image.begin(), image.begin() + 0x100, after.begin())) << "programmed in part";
    EXPECT_TRUE(allErased(after, 0x3F00)) << "the end of the image never reached the ROM";
}

// The file as it is when the run starts: gone, empty, larger than the code
// area, or grown since it was chosen. A file that cannot be used ends the
// run before any transfer, with a clear status, "FAIL" and the safe removal.
TEST_F(FirmwareTest, AFirmwareFileThatChangedSinceItWasChosen) {
    struct Case { const char* what; std::function<void()> change; const char* status; };
    const Case cases[] = {
        {"gone", [this] { std::filesystem::remove(path("fw.bin")); }, "Error to open file!!"},
        {"empty", [this] { write("fw.bin", ""); }, "File have no data!!"},
        {"too large", [this] { writeImage("fw.bin", pattern(0x10001)); }, "File size over the code flash!!"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        createDevice("r", "reader");
        writeImage("fw.bin", pattern(0x100));
        auto r = run(loadFirmware("fw.bin") + "click \"Write F/W\"\nadvance 6000\nwait\n"
                     "expect 1901 text " + c.status + "\n"
                     "expect 1709 enabled no\n"
                     "click \"Exit\"\n",
                     {}, atOneSecond(c.change));
        EXPECT_EQ(r.exitCode, 0) << r.transcript;
        EXPECT_TRUE(has(r.transcript, kFailMarkText)) << r.transcript;
        EXPECT_FALSE(has(r.transcript, "status \"Programming..........\"")) << "no transfer";
        EXPECT_FALSE(attached("r"));
        EXPECT_TRUE(allErased(rom("r", 0x10000))) << "nothing written after the erase";
        ASSERT_EQ(VelkSimRemove("r"), 1);
    }

    // Grown: the whole file as it is at the run goes out.
    createDevice("r", "reader");
    writeImage("fw.bin", pattern(0x40));
    const std::vector<uint8_t> grown = pattern(0x10000, 2);  // exactly the code area
    auto r = run(loadFirmware("fw.bin") + kWriteFwRun + "expect 1901 text F/W Program and Verify finished.\n"
                 "click \"Exit\"\n",
                 {}, atOneSecond([&] { writeImage("fw.bin", grown); }));
    EXPECT_EQ(r.exitCode, 0) << r.transcript;
    EXPECT_EQ(rom("r", 0x10000), grown);
}

// ---- "F/W Info" and the flash "Erase" -------------------------------------------------------------

TEST_F(FirmwareTest, FirmwareInfoShowsTheVersionOfTheProgrammedImage) {
    createDevice("r", "reader");
    std::vector<uint8_t> image = pattern(0x400);
    image[0xF8] = image[0xF9] = image[0xFA] = 0;
    image[0xFB] = 0x92;
    writeImage("fw.bin", image);
    auto r = run("click \"F/W Info\"\nexpect 1705 text 0100\n" + loadFirmware("fw.bin") + kWriteFwRun +
                 "plug r\nadvance 2000\n"
                 "click \"F/W Info\"\n"
                 "expect 1705 text FW version: 0092\n"
                 "click \"Exit\"\n");
    EXPECT_EQ(r.exitCode, 0) << r.transcript;
}

TEST_F(FirmwareTest, FlashEraseEmptiesTheRomAndRemovesTheDevice) {
    createDevice("r", "reader");
    auto r = run("answer OK\nclick 1707\nexpect 1902 pos 100\nclick \"Exit\"\n");
    EXPECT_EQ(r.exitCode, 0) << r.transcript;
    EXPECT_TRUE(has(r.transcript, "box \"Info\" none OK \"Erasing OK, you must replug-in device . \" -> OK"))
        << r.transcript;
    EXPECT_TRUE(has(r.transcript, "status \"Erasing the Flash, Please wait.....\"")) << r.transcript;
    EXPECT_TRUE(has(r.transcript, kOkMarkText)) << r.transcript;
    EXPECT_TRUE(allErased(rom("r", 0x10000)));

    // Without a device.
    ASSERT_EQ(VelkSimRemove("r"), 1);
    r = run("click 1707\nclick \"Exit\"\n");
    EXPECT_EQ(r.exitCode, 1) << "the button is disabled without a device";
}

// "Exit" in the middle of a transfer waits for the run to end (its boxes are
// still answered meanwhile); nothing is cut short.
TEST_F(FirmwareTest, ExitDuringATransferWaitsForTheRun) {
    createDevice("r", "reader", {"timing=realistic"});
    const std::vector<uint8_t> image = pattern(0x4000, 8);
    writeImage("fw.bin", image);
    auto r = run(loadFirmware("fw.bin") +
                 "click \"Write F/W\"\n"
                 "advance 4500\n"
                 "expect 1901 text Programming..........\n"
                 "click \"Load FW obj file\"\n"  // ignored while the run goes on
                 "answer OK\n"
                 "click \"Exit\"\n");
    EXPECT_EQ(r.exitCode, 0) << r.transcript;
    EXPECT_TRUE(has(r.transcript, kFirmwareValidateBox)) << r.transcript;
    EXPECT_FALSE(has(r.transcript, "file open \"Binary File (*.bin)|*.bin|Binary File (*.obj)|*.obj||\" -> ?"));
    const std::vector<uint8_t> after = rom("r", 0x10000);
    EXPECT_TRUE(std::equal(image.begin(), image.end(), after.begin()));
}
