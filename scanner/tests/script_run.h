// script_run.h - runs a program body headless from a script, in this
// process, with a fresh simulated bus and working directory, and returns the
// transcript.
#pragma once

#include "ui/dialog.h"

#include "tests/support/temp_dir.h"

#include <velk_sim.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include <unistd.h>

namespace scanner::testing {

using testsupport::readFile;
using testsupport::TempDir;
inline bool fileExists(const std::string& path) { return std::filesystem::exists(path); }

// A bus directory and a working directory of its own per test.
class ScriptedTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(tmp_.path().empty());
        std::filesystem::create_directories(tmp_.path() + "/bus");
        std::filesystem::create_directories(tmp_.path() + "/work");
        ASSERT_EQ(VelkSimSetBusDir((tmp_.path() + "/bus").c_str()), 1) << VelkSimLastError();
        oldCwd_ = std::filesystem::current_path();
        std::filesystem::current_path(work());
    }
    void TearDown() override { std::filesystem::current_path(oldCwd_); }

    std::string work() const { return tmp_.path() + "/work"; }
    std::string file(const std::string& name) const { return tmp_.file(name); }

    // A device of the simulated bus; without a "bad=" setting it has no
    // factory-bad blocks.
    void createDevice(const std::string& name, const std::string& profile, std::vector<std::string> settings = {}) {
        bool bad = false;
        for (auto& s : settings) bad = bad || s.rfind("bad=", 0) == 0;
        if (!bad) settings.push_back("bad=none");
        std::vector<const char*> p;
        for (auto& s : settings) p.push_back(s.c_str());
        p.push_back(nullptr);
        ASSERT_EQ(VelkSimCreate(name.c_str(), profile.c_str(), p.data()), 1) << VelkSimLastError();
    }
    void fault(const std::string& device, const std::string& command) {
        ASSERT_EQ(VelkSimFault(device.c_str(), command.c_str()), 1) << VelkSimLastError();
    }

    // Runs body headless with the script; the transcript is returned and the
    // exit code stored in exitCode.
    std::string run(const std::string& program, const std::string& script, const std::function<void()>& body) {
        const std::string path = tmp_.file("script.txt");
        {
            std::FILE* f = std::fopen(path.c_str(), "wb");
            std::fwrite(script.data(), 1, script.size(), f);
            std::fclose(f);
        }
        std::string arg0 = program, arg1 = "--script", arg2 = path;
        char* argv[] = {arg0.data(), arg1.data(), arg2.data(), nullptr};
        ::testing::internal::CaptureStdout();
        exitCode = ui::runProgram(3, argv, {program, program}, body);
        return ::testing::internal::GetCapturedStdout();
    }

    int exitCode = -1;

private:
    TempDir tmp_;
    std::filesystem::path oldCwd_;
};

}  // namespace scanner::testing
