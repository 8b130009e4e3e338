// production_fixture.h - what the tests of the format and read/write test
// dialogs share: a fresh simulated bus, working folder and state folder per
// test, card readers with small LUNs filled with seeded data, the LUN
// images as the simulator holds them, and scripted runs of the dialogs
// (each in a child process, as PROGRAM --script would run them).
#pragma once

#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "console/production/format_dialog.h"
#include "console/production/reader_test_dialog.h"
#include "console/production/restore_journal.h"
#include "platform/ui/frontend.h"
#include "platform/ui/scripted.h"
#include "tests/support/temp_bus.h"

#include <velk.h>
#include <velk_sim.h>

namespace production::testing {

namespace fs = std::filesystem;

// 64-bit FNV-1a of a byte string.
inline uint64_t fnv1a(const std::string& bytes)
{
    uint64_t h = 1469598103934665603ull;
    for (unsigned char c : bytes) {
        h ^= c;
        h *= 1099511628211ull;
    }
    return h;
}

struct Outcome {
    int exitCode = -1;
    std::string transcript;
    bool has(const std::string& line) const
    {
        return ("\n" + transcript).find("\n" + line + "\n") != std::string::npos;
    }
    bool contains(const std::string& text) const { return transcript.find(text) != std::string::npos; }
    size_t count(const std::string& line) const
    {
        size_t n = 0;
        std::istringstream in(transcript);
        for (std::string l; std::getline(in, l);)
            n += l == line;
        return n;
    }
};

// Writes the panel's final state into the transcript once the dialog has
// closed: "rows S0 S1 ... S6" with the stored row states.
inline void reportRows(console::LunPanel& panel)
{
    std::string s = "rows";
    for (int r = 0; r < console::kLunRows; ++r)
        s += " " + std::to_string(panel.rowState(r));
    ui::hooks::transcript(s);
}

class ProductionTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(tmp_.busOk()) << VelkSimLastError();
        fs::create_directories(tmp_.file("work"));
        fs::create_directories(tmp_.file("state"));
        oldCwd_ = fs::current_path();
        fs::current_path(tmp_.file("work"));
        const char* old = std::getenv("XDG_STATE_HOME");
        hadState_ = old != nullptr;
        if (old)
            oldState_ = old;
        setenv("XDG_STATE_HOME", tmp_.file("state").c_str(), 1);
    }
    void TearDown() override
    {
        fs::current_path(oldCwd_);
        if (hadState_)
            setenv("XDG_STATE_HOME", oldState_.c_str(), 1);
        else
            unsetenv("XDG_STATE_HOME");
    }

    // A card reader: CF in LUN 0 (1 MiB), SM/XD empty (1 MiB), SD/MMC in
    // LUN 2 (2 MiB), MS/Pro empty (1 MiB), plus the given settings.
    void createReader(const std::string& name, std::vector<std::string> settings = {})
    {
        settings.insert(settings.begin(), {"lun0.size=1M", "lun1.size=1M", "lun2.size=2M", "lun3.size=1M"});
        create(name, "reader", settings);
    }
    void create(const std::string& name, const std::string& profile, const std::vector<std::string>& settings)
    {
        std::vector<const char*> p;
        for (auto& s : settings)
            p.push_back(s.c_str());
        p.push_back(nullptr);
        ASSERT_EQ(VelkSimCreate(name.c_str(), profile.c_str(), p.data()), 1) << VelkSimLastError();
    }
    void fault(const std::string& device, const std::string& command)
    {
        ASSERT_EQ(VelkSimFault(device.c_str(), command.c_str()), 1) << VelkSimLastError();
    }

    // Fills every sector of every LUN that holds a medium with seeded bytes
    // (so that a sector left with a test pattern shows).
    void fillLuns(uint32_t seed)
    {
        // Without the device's delays (lba-delay): a clock that never waits.
        VelkSimSetClock([](void*) -> int64_t { return 0; }, [](void*, int64_t) {}, nullptr);
        struct RealClock {
            ~RealClock() { VelkSimSetClock(nullptr, nullptr, nullptr); }
        } restore;
        std::mt19937 gen(seed);
        VelkHandle h = VelkCreateDeviceList(0, 0, 1);
        ASSERT_NE(h, nullptr);
        uint8_t buf[512];
        for (uint8_t lun = 0; lun < 4; ++lun) {
            uint32_t sectors = 0, bl = 0;
            if (!VelkReadCapacity(h, lun, &sectors, &bl))
                continue;
            for (uint32_t lba = 0; lba < sectors; ++lba) {
                for (auto& b : buf)
                    b = uint8_t(gen());
                ASSERT_EQ(VelkWriteLBA(h, lun, lba, 1, buf), 1);
            }
        }
        VelkDestroyDeviceList(h);
    }

    // The LUN image as the simulator stores it.
    std::string image(const std::string& device, int lun) const
    {
        return testsupport::readFile(tmp_.bus() + "/devices/" + device + "/lun" + std::to_string(lun) + ".img");
    }
    std::vector<uint64_t> hashes(const std::string& device) const
    {
        std::vector<uint64_t> v;
        for (int lun = 0; lun < 4; ++lun)
            v.push_back(fnv1a(image(device, lun)));
        return v;
    }
    // The sectors in which two images differ, for failure messages.
    static std::string differingSectors(const std::string& a, const std::string& b)
    {
        std::string s;
        int shown = 0;
        for (size_t off = 0; off < std::max(a.size(), b.size()) && shown < 10; off += 512) {
            if (a.compare(off, 512, b, off, 512) != 0) {
                s += " " + std::to_string(off / 512);
                ++shown;
            }
        }
        return s.empty() ? " none" : s;
    }

    std::string stateDir() const { return tmp_.file("state") + "/tavrin/restore"; }
    size_t journalFiles() const
    {
        std::error_code ec;
        size_t n = 0;
        for (fs::directory_iterator it(stateDir(), ec), end; !ec && it != end; it.increment(ec))
            ++n;
        return n;
    }
    void writeIni(const std::string& content) const { tmp_.write("work/ReaderTest.ini", content); }

    // The read/write test dialog (and its final row states) from a script.
    Outcome runTest(const std::string& script, std::function<void(ReaderTestDialog&)> setup = {})
    {
        return run(script, [setup] {
            ReaderTestDialog d;
            if (setup)
                setup(d);
            d.runModal();
            reportRows(d.panel());
        });
    }
    template <class D = FormatDialog>
    Outcome runFormat(const std::string& script)
    {
        return run(script, [] {
            D d;
            d.runModal();
            reportRows(d.panel());
        });
    }
    Outcome run(const std::string& script, const std::function<void()>& body)
    {
        const ui::scripting::ScriptRun r = ui::scripting::runScript(script, {"Tavrin", "Tavrin"}, body);
        return Outcome{r.exitCode, r.transcript};
    }

    testsupport::TempBus tmp_;

private:
    fs::path oldCwd_;
    std::string oldState_;
    bool hadState_ = false;
};

// The transcript line of a mark in a row of a dialog, as the panel paints it.
inline std::string markLine(const std::string& title, int row, int state)
{
    // The label's rectangle in screen pixels, window at (100, 100).
    const int labelRight = 100 + ui::detail::kFrameX + ui::detail::dluToPxX(30 + 62);
    const int labelTop = 100 + ui::detail::kCaptionY + ui::detail::dluToPxY(52 + 13 * row);
    const int left = labelRight - 100 + 195, right = labelRight - 100 + 225;
    const int bottom = labelTop - 100, top = bottom - 22;
    const std::string rect = "(" + std::to_string(left) + "," + std::to_string(top) + ")-(" +
                             std::to_string(right) + "," + std::to_string(bottom) + ")";
    if (state == console::kRowNoMark)
        return "paint \"" + title + "\" fill #F0F0F0 " + rect;
    return "paint \"" + title + "\" text \"" + (state ? "O" : "X") + "\" " + (state ? "#0000FF" : "#FF0000") +
           " on #FFFFFF " + rect + " \"Arial Black\" 20";
}

}  // namespace production::testing
