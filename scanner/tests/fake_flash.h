// fake_flash.h - an in-memory flash device for scan tests: cases the
// simulator cannot express (a good-block query that answers differently on
// its second call, a failing geometry query, 0 pages per block) and a trace
// of the calls in the order they came.
#pragma once

#include "scanner/scan_engine.h"

#include <cstring>
#include <functional>
#include <set>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

namespace scanner::testing {

struct FakeFlash : FlashDevice {
    Geometry geo;
    bool geometryFails = false;
    // Blocks whose first / second good-block query answers bad (per chip, block).
    std::set<std::pair<int, uint32_t>> badFirst, badSecond;
    // Spare reads that fail (chip, block, page).
    std::set<std::tuple<int, uint32_t, int>> spareFails;
    // Bytes written into the spare buffer (the whole kSpareBufferSize bytes,
    // as a large-page device does); default: byte i = block + page * 16 + i.
    std::function<void(uint8_t, uint32_t, uint8_t, uint8_t*)> spareFill;
    bool traceCalls = true;
    // The device has left the bus: every call fails. onCall runs before each
    // call with its trace text, so a test can take the device away at any
    // call of the scan.
    bool gone = false;
    std::function<void(const std::string& call)> onCall;
    int presenceChecks = 0;   // present() is a bus query, kept out of the trace

    std::vector<std::string> trace;                 // "open", "good 0 3", "read 0 3 1", ...
    std::vector<std::pair<int, uint32_t>> erased;
    int calls = 0;
    int openDepth = 0;   // opens not yet closed

    void markBad(int chip, uint32_t block) {
        badFirst.insert({chip, block});
        badSecond.insert({chip, block});
    }

    bool geometry(Geometry& out) override {
        if (geometryFails) return false;
        out = geo;
        return true;
    }
    bool open() override {
        log("open");
        if (gone) return false;
        ++openDepth;
        return true;
    }
    bool present() override {
        ++presenceChecks;
        return !gone;
    }
    void close() override { log("close"); --openDepth; }
    bool isGoodBlock(uint8_t chip, uint32_t block) override {
        log("good " + std::to_string(chip) + " " + std::to_string(block));
        if (gone) return false;
        auto key = std::make_pair(int(chip), block);
        if (lastKey_ != key) {
            lastKey_ = key;
            asked_ = 0;
        }
        ++asked_;
        const auto& set = asked_ == 1 ? badFirst : badSecond;
        return !set.count(key);
    }
    bool readSpare(uint8_t chip, uint32_t block, uint8_t page, uint8_t* buf) override {
        log("read " + std::to_string(chip) + " " + std::to_string(block) + " " + std::to_string(page));
        if (gone) return false;
        if (spareFails.count({chip, block, page})) return false;
        if (spareFill) {
            spareFill(chip, block, page, buf);
        } else {
            for (size_t i = 0; i < kSpareBufferSize; ++i) buf[i] = uint8_t(block + page * 16 + i);
        }
        return true;
    }
    void eraseBlock(uint8_t chip, uint32_t block) override {
        log("erase " + std::to_string(chip) + " " + std::to_string(block));
        erased.push_back({chip, block});
    }
    void touchFormatProgress() override { log("getprogress"); }
    void setFormatProgress(int32_t a, int32_t b) override {
        log("setprogress " + std::to_string(a) + " " + std::to_string(b));
    }

private:
    void log(std::string s) {
        if (onCall) onCall(s);
        ++calls;
        if (traceCalls) trace.push_back(std::move(s));
    }
    std::pair<int, uint32_t> lastKey_{-1, 0};
    int asked_ = 0;
};

// Stops before block `stopAt` (counted over all chips, from 0); records the
// progress positions.
struct FakeControl : ScanControl {
    long stopAt = -1;
    long polls = 0;
    std::vector<int> positions;
    bool stopRequested() override { return stopAt >= 0 && polls++ >= stopAt; }
    void progress(int percent) override { positions.push_back(percent); }
};

inline Geometry makeGeometry(uint16_t pageSize, std::vector<ChipGeometry> chips) {
    Geometry g;
    g.pageSize = pageSize;
    g.chips = std::move(chips);
    return g;
}

}  // namespace scanner::testing
