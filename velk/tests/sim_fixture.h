// sim_fixture.h - a fresh simulated bus per test and a virtual clock.
#pragma once

#include <velk.h>
#include <velk_sim.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

namespace velktest {

// Virtual clock: sleeps advance it instantly.
struct VirtualClock {
    std::atomic<int64_t> now{1000000};
    static int64_t nowFn(void* ctx) { return static_cast<VirtualClock*>(ctx)->now.load(); }
    static void sleepFn(void* ctx, int64_t ms) { static_cast<VirtualClock*>(ctx)->now.fetch_add(ms); }
    void advance(int64_t ms) { now.fetch_add(ms); }
};

class SimTest : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/velk-test-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
        ASSERT_EQ(VelkSimSetBusDir(dir_.c_str()), 1) << VelkSimLastError();
        VelkSimSetClock(&VirtualClock::nowFn, &VirtualClock::sleepFn, &clock_);
    }
    void TearDown() override {
        VelkSimSetClock(nullptr, nullptr, nullptr);
        std::error_code ec;
        std::filesystem::remove_all(dir_, ec);
    }

    // Creates a device; settings as "KEY=VALUE" strings.
    void create(const std::string& name, const std::string& profile, std::vector<std::string> settings = {}) {
        std::vector<const char*> p;
        for (auto& s : settings) p.push_back(s.c_str());
        p.push_back(nullptr);
        ASSERT_EQ(VelkSimCreate(name.c_str(), profile.c_str(), p.data()), 1) << VelkSimLastError();
    }

    std::string dir_;
    VirtualClock clock_;
};

// Owns a list handle.
struct Handle {
    VelkHandle h = nullptr;
    explicit Handle(VelkHandle v) : h(v) {}
    ~Handle() {
        if (h) VelkDestroyDeviceList(h);
    }
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
    operator VelkHandle() const { return h; }
};

}  // namespace velktest
