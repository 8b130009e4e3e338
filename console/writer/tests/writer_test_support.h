// writer_test_support.h - the writer dialog run headless from scripts on a
// simulated bus of its own, with sample EEP files for each device class and
// readers of what the simulated EEPROM holds afterwards.
#pragma once

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <velk_sim.h>

#include "console/writer/flash_writer_dialog.h"
#include "platform/ui/scripted.h"
#include "tests/support/temp_bus.h"

namespace writer_test {

using Words = std::array<uint16_t, 64>;

inline std::string join(const std::vector<std::string>& lines) {
    std::string s;
    for (const auto& l : lines) s += l + "\n";
    return s;
}

// An EEP file: the checksum index 3Fh, the data lines of words 0 to 9, then
// the string sections (tag, text).
inline std::string eepFile(const std::vector<std::string>& data,
                           const std::vector<std::pair<std::string, std::string>>& strings) {
    std::vector<std::string> l = {"# made by the writer tests", "[CheckSumIndex]", "003F", "[START]"};
    l.insert(l.end(), data.begin(), data.end());
    for (const auto& [tag, text] : strings) {
        l.push_back(tag);
        l.push_back("\"" + text + "\"");
    }
    l.push_back("[END]");
    return join(l);
}

// Card reader (10h-1Fh): card type 01h, icon display number 1, icon 0 CF+SD,
// icon 1 SM, Config1 12h, card names CF and SD.
inline std::string readerEep(const std::string& serial = "000123") {
    return eepFile({"0C45", "6366", "0001", "0201", "0000", "0000", "2050", "0000", "0000", "0012"},
                   {{"[V-STR]", "ABC"}, {"[P-STR]", "Card Reader"}, {"[S-STR]", serial},
                    {"[I-STR]", "Intf"}, {"[Card-STR]", "CF,SD"}});
}

// Reader 14h: word-2 high 02h, word-2 low 01h, word-3 high 03h, Config1 12h.
inline std::string reader14Eep(const std::string& serial = "000123") {
    return eepFile({"0C45", "6364", "0201", "0300", "0000", "0000", "0000", "0000", "0000", "0012"},
                   {{"[V-STR]", "ABC"}, {"[P-STR]", "Reader14"}, {"[S-STR]", serial}, {"[I-STR]", "Intf"},
                    {"[INQ-V]", "Vend"}, {"[INQ-P]", "Inquiry Product"}});
}

// Flash disk (20h-2Fh): word-2 high 01h, Config1 22h (word 9 after word 7).
inline std::string flashEep(const std::string& serial = "000123") {
    return eepFile({"0C45", "7777", "0100", "0000", "0000", "0000", "0000", "0011", "0000", "0022"},
                   {{"[V-STR]", "Flash"}, {"[P-STR]", "Disk"}, {"[S-STR]", serial}, {"[I-STR]", "USB"},
                    {"[INQ-V]", "Vendor"}, {"[INQ-P]", "Product"}});
}

// IDE bridge (00h-0Fh): ATA PID 1234h, ATAPI PID 1256h, word-2 high 0Ah,
// initial delay 05h, Config2 07h, Config1 44h.
inline std::string ideEep(const std::string& serial = "000123") {
    return eepFile({"0C45", "1234", "0A05", "5607", "0000", "0000", "0033", "0000", "0000", "0044"},
                   {{"[V-STR]", "IDE"}, {"[P-STR]", "Bridge"}, {"[S-STR]", serial}, {"[I-STR]", "Intf"}});
}

// The serial line of an EEP file's "[S-STR]" section, without its quotes.
inline std::string fileSerial(const std::string& content) {
    const size_t tag = content.find("[S-STR]\n");
    if (tag == std::string::npos) return "?";
    const size_t open = content.find('"', tag);
    const size_t close = content.find('"', open + 1);
    return content.substr(open + 1, close - open - 1);
}

// A string descriptor of the EEPROM at word `position`.
inline std::string descriptorText(const Words& w, size_t position) {
    if (position == 0 || position >= 64) return {};
    std::string s;
    const size_t n = (w[position] & 0xFF) >= 2 ? ((w[position] & 0xFF) - 2u) / 2u : 0;
    for (size_t k = 1; k <= n && position + k < 64; ++k) s.push_back(static_cast<char>(w[position + k] & 0xFF));
    return s;
}
// The serial string the EEPROM holds (position: low byte of word 5).
inline std::string eepromSerial(const Words& w) { return descriptorText(w, w[5] & 0xFF); }

// The writer dialog whose status line texts also go into the transcript as
// `status "TEXT"`, so that a test sees each text, also those that a later
// one replaces at once.
class RecordingWriter : public writer::FlashWriterDialog {
public:
    using FlashWriterDialog::FlashWriterDialog;

protected:
    void setStatus(const std::string& text) override {
        ui::hooks::transcript("status \"" + text + "\"");
        FlashWriterDialog::setStatus(text);
    }
};

class WriterTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(bus_.busOk()) << VelkSimLastError();
        work_ = bus_.file("work");
        std::filesystem::create_directories(work_);
        oldCwd_ = std::filesystem::current_path();
        std::filesystem::current_path(work_);
    }
    void TearDown() override { std::filesystem::current_path(oldCwd_); }

    const std::string& work() const { return work_; }
    // The bus folder; programs started by a test get it as VELK_SIM_DIR.
    const std::string& busDir() const { return bus_.bus(); }
    std::string path(const std::string& name) const { return work_ + "/" + name; }
    void write(const std::string& name, const std::string& content) const {
        std::ofstream(path(name), std::ios::binary) << content;
    }
    std::string read(const std::string& name) const { return testsupport::readFile(path(name)); }

    void createDevice(const std::string& name, const std::string& profile,
                      const std::vector<std::string>& settings = {}) {
        std::vector<const char*> p;
        for (const auto& s : settings) p.push_back(s.c_str());
        p.push_back(nullptr);
        ASSERT_EQ(VelkSimCreate(name.c_str(), profile.c_str(), p.data()), 1) << VelkSimLastError();
    }
    void fault(const std::string& device, const std::string& command) {
        ASSERT_EQ(VelkSimFault(device.c_str(), command.c_str()), 1) << VelkSimLastError();
    }
    void unplug(const std::string& device) { ASSERT_EQ(VelkSimUnplug(device.c_str()), 1) << VelkSimLastError(); }

    // The 64 words of a device's EEPROM. The other devices are unplugged for
    // the read and plugged back afterwards.
    Words eeprom(const std::string& device) {
        std::vector<VelkSimDeviceInfo> all(64);
        const int n = VelkSimListDevices(all.data(), static_cast<int>(all.size()));
        all.resize(static_cast<size_t>(std::max(n, 0)));
        for (const auto& d : all)
            if (d.plugged) VelkSimUnplug(d.name);
        VelkSimPlug(device.c_str());
        Words w{};
        w.fill(0xDEAD);
        if (VelkHandle h = VelkCreateDeviceList(0, 0, 1)) {
            EXPECT_EQ(VelkReadEEPROM(h, 0, 0, 64, w.data()), 1);
            VelkDestroyDeviceList(h);
        } else {
            ADD_FAILURE() << "device " << device << " not found";
        }
        VelkSimUnplug(device.c_str());
        for (const auto& d : all)
            if (d.plugged) VelkSimPlug(d.name);
        return w;
    }

    // Runs the writer dialog headless from the script (in a child process);
    // `setup` may adjust the session options first.
    ui::scripting::ScriptRun run(const std::string& script,
                                 const std::function<void(eep::SessionOptions&)>& setup = {},
                                 const std::function<void()>& inChild = {}) {
        return ui::scripting::runScript(script, {"Tavrin", "Tavrin"}, [&] {
            if (inChild) inChild();
            eep::SessionOptions options;
            if (setup) setup(options);
            RecordingWriter dlg(options);
            dlg.runModal();
        });
    }

private:
    testsupport::TempBus bus_;
    std::string work_;
    std::filesystem::path oldCwd_;
};

inline bool has(const std::string& transcript, const std::string& line) {
    return transcript.find(line) != std::string::npos;
}

}  // namespace writer_test
