// os_test_support.h - a temporary simulated bus per test, and small helpers
// for files and processes.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <string>

namespace ostest {

// A fresh folder under /tmp, removed at the end of the test.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::filesystem::path& path() const { return path_; }

private:
    std::filesystem::path path_;
};

// A test on its own bus directory (VelkSimSetBusDir), empty at the start.
class BusTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;
    const std::filesystem::path& busDir() const { return bus_->path(); }
    // Creates a device from a profile with the given settings; fails the test
    // when the bus refuses.
    void createDevice(const std::string& name, const std::string& profile,
                      std::initializer_list<const char*> settings = {});

private:
    std::unique_ptr<TempDir> bus_;
};

// Runs body as a program headless from the script text; returns its exit
// code and puts the transcript into *transcript.
int runScript(const std::string& script, const std::function<void()>& body, std::string* transcript);

void writeFile(const std::filesystem::path& p, const std::string& data, bool executable = false);
std::string readFile(const std::filesystem::path& p);

}  // namespace ostest
