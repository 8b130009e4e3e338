// inspector_test_support.h - Peliskar's dialog run headless from scripts on
// a fresh simulated bus, with helpers that set up and read back the
// simulated NAND and LUN through the device library, and two devices for
// the dialog's seam: a wrapper over the library that can fail or stop at a
// chosen call, and an in-memory flash of any geometry.
#pragma once

#include "inspector/inspector_dialog.h"
#include "inspector/page_text.h"
#include "platform/ui/headless.h"
#include "scanner/tests/script_run.h"

#include <velk.h>

#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <tuple>
#include <vector>

namespace inspector::testing {

struct Page {
    std::vector<uint8_t> data, spare;
    friend bool operator==(const Page&, const Page&) = default;
};

inline bool has(const std::string& transcript, const std::string& line) {
    return transcript.find(line) != std::string::npos;
}

// A string as the transcript quotes it.
inline std::string quoted(const std::string& s) { return ui::detail::quote(s); }

// The transcript line of a message box.
inline std::string box(const std::string& title, const std::string& icon, const std::string& buttons,
                       const std::string& text, const std::string& answer) {
    return "box " + quoted(title) + " " + icon + " " + buttons + " " + quoted(text) + " -> " + answer;
}

// The library's device of the test bus, for setting up and checking flash.
class Nand {
public:
    Nand() : list_(device::List::devices(0, 0)) {
        const device::FlashInfo info = device::FlashInfo::query(list_.get(), 0);
        if (info.valid()) {
            pageSize = info.pageSize();
            spareSize = info.spareSize();
        }
    }
    bool ok() const { return list_ && pageSize > 0; }
    VelkHandle handle() const { return list_.get(); }

    Page read(unsigned chip, uint32_t block, unsigned page) const {
        Page p{std::vector<uint8_t>(pageSize), std::vector<uint8_t>(spareSize)};
        EXPECT_EQ(VelkReadPhysical(list_.get(), 0, uint8_t(chip), block, uint8_t(page), p.data.data()), 1);
        EXPECT_EQ(VelkReadRedundant(list_.get(), 0, uint8_t(chip), block, uint8_t(page), p.spare.data()), 1);
        return p;
    }
    std::vector<Page> readBlock(unsigned chip, uint32_t block, unsigned pages) const {
        std::vector<Page> v;
        for (unsigned i = 0; i < pages; ++i) v.push_back(read(chip, block, i));
        return v;
    }
    // Erases the block and programs every page with bytes of its own (data
    // and spare), none 00h or FFh throughout; returns what was programmed.
    std::vector<Page> fillBlock(unsigned chip, uint32_t block, unsigned pages, uint32_t seed) const {
        EXPECT_EQ(VelkEraseBlock(list_.get(), 0, uint8_t(chip), block), 1);
        std::mt19937 rng(seed);
        std::vector<Page> v;
        for (unsigned i = 0; i < pages; ++i) {
            Page p{std::vector<uint8_t>(pageSize), std::vector<uint8_t>(spareSize)};
            for (auto& b : p.data) b = uint8_t(rng() % 254 + 1);
            for (auto& b : p.spare) b = uint8_t(rng() % 254 + 1);
            EXPECT_EQ(VelkWriteRedundant(list_.get(), 0, uint8_t(chip), block, uint8_t(i), p.spare.data()), 1);
            EXPECT_EQ(VelkWritePhysical(list_.get(), 0, uint8_t(chip), block, uint8_t(i), p.data.data()), 1);
            v.push_back(std::move(p));
        }
        return v;
    }
    std::vector<uint8_t> sector(uint32_t lba, uint32_t size = 512) const {
        std::vector<uint8_t> s(size);
        EXPECT_EQ(VelkReadLBA(list_.get(), 0, lba, 1, s.data()), 1);
        return s;
    }
    void writeSector(uint32_t lba, const std::vector<uint8_t>& s) const {
        EXPECT_EQ(VelkWriteLBA(list_.get(), 0, lba, 1, s.data()), 1);
    }

    unsigned pageSize = 0, spareSize = 0;

private:
    device::List list_;
};

inline bool erased(const Page& p) {
    for (uint8_t b : p.data)
        if (b != 0xFF) return false;
    for (uint8_t b : p.spare)
        if (b != 0xFF) return false;
    return true;
}

// A page as a write of the dialog leaves it: the parsed data, the 16 shown
// spare bytes and zeros for the rest of the spare area.
inline Page written(const std::vector<uint8_t>& data, const std::vector<uint8_t>& spare16, unsigned spareSize) {
    Page p{data, std::vector<uint8_t>(spareSize, 0)};
    std::copy(spare16.begin(), spare16.end(), p.spare.begin());
    return p;
}

inline std::vector<uint8_t> randomBytes(std::mt19937& rng, size_t n) {
    std::vector<uint8_t> v(n);
    for (auto& b : v) b = uint8_t(rng());
    return v;
}

// The device library with hooks: before and after each call a test may
// fail it, count it or end the process.
class HookedDevice : public VelkPageDevice {
public:
    using VelkPageDevice::VelkPageDevice;
    // Called with the operation's name ("readPhysical", "writeRedundant",
    // "eraseBlock", ...) and its page; returning false fails the call
    // without doing it.
    std::function<bool(const std::string& op, unsigned page)> before;
    std::function<int()> statusBits;   // overrides the status byte

    int readPhysical(unsigned c, uint32_t b, unsigned p, uint8_t* d) override {
        return allow("readPhysical", p) ? VelkPageDevice::readPhysical(c, b, p, d) : 0;
    }
    int readRedundant(unsigned c, uint32_t b, unsigned p, uint8_t* s) override {
        return allow("readRedundant", p) ? VelkPageDevice::readRedundant(c, b, p, s) : 0;
    }
    int writePhysical(unsigned c, uint32_t b, unsigned p, const uint8_t* d) override {
        return allow("writePhysical", p) ? VelkPageDevice::writePhysical(c, b, p, d) : 0;
    }
    int writeRedundant(unsigned c, uint32_t b, unsigned p, const uint8_t* s) override {
        return allow("writeRedundant", p) ? VelkPageDevice::writeRedundant(c, b, p, s) : 0;
    }
    int eraseBlock(unsigned c, uint32_t b) override {
        return allow("eraseBlock", 0) ? VelkPageDevice::eraseBlock(c, b) : 0;
    }
    int status(uint8_t& out) override {
        const int r = VelkPageDevice::status(out);
        if (statusBits) out = uint8_t(statusBits());
        return r;
    }

private:
    bool allow(const std::string& op, unsigned page) { return !before || before(op, page); }
};

// An in-memory flash of any geometry (more chips than the simulator's
// record holds): erased pages read FFh, writes are kept as given.
class MemoryFlash : public PageDevice {
public:
    MemoryFlash(unsigned pageSize, std::vector<ChipLimits> chips) : pageSize_(pageSize), chips_(std::move(chips)) {}

    void start() override {}
    void close() override {}
    bool geometry(FlashGeometry& g) override {
        g.chipCount = unsigned(chips_.size());
        g.pageSize = pageSize_;
        g.pagesPerBlock = chips_.empty() ? 0 : chips_[0].pagesPerBlock;
        return true;
    }
    ChipLimits limits(unsigned chip) override { return chip < chips_.size() ? chips_[chip] : ChipLimits{}; }
    int capacity(uint32_t& sectors, uint32_t& size) override {
        sectors = 64;
        size = 512;
        return 1;
    }
    int readPhysical(unsigned c, uint32_t b, unsigned p, uint8_t* d) override {
        if (!inRange(c, b, p)) return 0;
        const Page& pg = at(c, b, p);
        std::copy(pg.data.begin(), pg.data.end(), d);
        return 1;
    }
    int readRedundant(unsigned c, uint32_t b, unsigned p, uint8_t* s) override {
        if (!inRange(c, b, p)) return 0;
        const Page& pg = at(c, b, p);
        std::copy(pg.spare.begin(), pg.spare.end(), s);
        return 1;
    }
    int writePhysical(unsigned c, uint32_t b, unsigned p, const uint8_t* d) override {
        if (!inRange(c, b, p)) return 0;
        Page& pg = at(c, b, p);
        std::copy(d, d + pageSize_, pg.data.begin());
        return 1;
    }
    int writeRedundant(unsigned c, uint32_t b, unsigned p, const uint8_t* s) override {
        if (!inRange(c, b, p)) return 0;
        Page& pg = at(c, b, p);
        std::copy(s, s + spareSize(), pg.spare.begin());
        return 1;
    }
    int eraseBlock(unsigned c, uint32_t b) override {
        if (!inRange(c, b, 0)) return 0;
        for (auto it = pages_.begin(); it != pages_.end();)
            it = std::get<0>(it->first) == c && std::get<1>(it->first) == b ? pages_.erase(it) : std::next(it);
        return 1;
    }
    int readSector(uint32_t, uint8_t*) override { return 0; }
    int writeSector(uint32_t, const uint8_t*) override { return 0; }
    int status(uint8_t& out) override {
        out = 0;
        return 1;
    }

    Page& at(unsigned c, uint32_t b, unsigned p) {
        auto key = std::make_tuple(c, b, p);
        auto it = pages_.find(key);
        if (it == pages_.end())
            it = pages_.emplace(key, Page{std::vector<uint8_t>(pageSize_, 0xFF), std::vector<uint8_t>(spareSize(), 0xFF)})
                     .first;
        return it->second;
    }
    unsigned spareSize() const { return pageSize_ == 512 ? 16 : 64; }

private:
    bool inRange(unsigned c, uint32_t b, unsigned p) const {
        return c < chips_.size() && b < chips_[c].blockCount && p < chips_[c].pagesPerBlock;
    }
    unsigned pageSize_;
    std::vector<ChipLimits> chips_;
    std::map<std::tuple<unsigned, uint32_t, unsigned>, Page> pages_;
};

// Hands every call to a device the test keeps (the dialog owns the one it
// is given), so the test can look at it after the dialog has gone.
class SharedDevice : public PageDevice {
public:
    explicit SharedDevice(std::shared_ptr<PageDevice> d) : d_(std::move(d)) {}
    void start() override { d_->start(); }
    void close() override { d_->close(); }
    bool geometry(FlashGeometry& g) override { return d_->geometry(g); }
    ChipLimits limits(unsigned chip) override { return d_->limits(chip); }
    int capacity(uint32_t& s, uint32_t& z) override { return d_->capacity(s, z); }
    int readPhysical(unsigned c, uint32_t b, unsigned p, uint8_t* d) override { return d_->readPhysical(c, b, p, d); }
    int readRedundant(unsigned c, uint32_t b, unsigned p, uint8_t* s) override { return d_->readRedundant(c, b, p, s); }
    int writePhysical(unsigned c, uint32_t b, unsigned p, const uint8_t* d) override {
        return d_->writePhysical(c, b, p, d);
    }
    int writeRedundant(unsigned c, uint32_t b, unsigned p, const uint8_t* s) override {
        return d_->writeRedundant(c, b, p, s);
    }
    int eraseBlock(unsigned c, uint32_t b) override { return d_->eraseBlock(c, b); }
    int readSector(uint32_t lba, uint8_t* s) override { return d_->readSector(lba, s); }
    int writeSector(uint32_t lba, const uint8_t* s) override { return d_->writeSector(lba, s); }
    int status(uint8_t& out) override { return d_->status(out); }

private:
    std::shared_ptr<PageDevice> d_;
};

class InspectorTest : public scanner::testing::ScriptedTest {
protected:
    // Runs Peliskar headless; a factory puts a device of the test's in place
    // of the library's.
    std::string runPeliskar(const std::string& script, PageDeviceFactory factory = {}) {
        const std::string path = file("script.txt");
        {
            std::FILE* f = std::fopen(path.c_str(), "wb");
            std::fwrite(script.data(), 1, script.size(), f);
            std::fclose(f);
        }
        std::string arg0 = "Pelisk", arg1 = "--script", arg2 = path;
        char* argv[] = {arg0.data(), arg1.data(), arg2.data(), nullptr};
        ::testing::internal::CaptureStdout();
        exitCode = ui::runProgram(3, argv, {"Peliskar", "Pelisk"}, [&] {
            InspectorDialog dlg(factory);
            result = dlg.runModal();
        });
        return ::testing::internal::GetCapturedStdout();
    }
    // The same with the library's device behind hooks set by `setUp`.
    std::string runHooked(const std::string& script, std::function<void(HookedDevice&)> setUp) {
        return runPeliskar(script, [setUp](VelkHandle h) {
            auto d = std::make_unique<HookedDevice>(h);
            setUp(*d);
            return d;
        });
    }
    int result = -1;
};

}  // namespace inspector::testing
