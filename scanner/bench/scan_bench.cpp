// scan_bench - how fast a scan of a simulated flash disk of 4 chips of 8192
// blocks runs, beside the floor: writing the same log text with one buffered
// write. Prints figures; asserts nothing.
//
//   scan_bench [ROUNDS]
#include "scanner/scan_engine.h"
#include "scanner/velk_flash_device.h"

#include <velk.h>
#include <velk_sim.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;

double seconds(Clock::time_point a, Clock::time_point b) { return std::chrono::duration<double>(b - a).count(); }

struct NoStop : scanner::ScanControl {
    bool stopRequested() override { return false; }
    void progress(int) override {}
};

// The same geometry with every answer in memory: the engine and the log
// alone, without the device library.
struct MemoryFlash : scanner::FlashDevice {
    scanner::Geometry geo;
    bool geometry(scanner::Geometry& out) override {
        out = geo;
        return true;
    }
    bool open() override { return true; }
    void close() override {}
    bool present() override { return true; }
    bool isGoodBlock(uint8_t, uint32_t block) override { return block % 97 != 5; }
    bool readSpare(uint8_t, uint32_t, uint8_t, uint8_t* buf) override {
        for (size_t i = 0; i < scanner::kSpareBufferSize; ++i) buf[i] = 0xFF;
        return true;
    }
    void eraseBlock(uint8_t, uint32_t) override {}
    void touchFormatProgress() override {}
    void setFormatProgress(int32_t, int32_t) override {}
};

std::string readAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

double floorWrite(const std::string& path, const std::string& text) {
    auto t0 = Clock::now();
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) return 0;
    std::fwrite(text.data(), 1, text.size(), f);
    std::fclose(f);
    return seconds(t0, Clock::now());
}

}  // namespace

int main(int argc, char** argv) {
    const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 3;
    char tmpl[] = "/tmp/scan-bench-XXXXXX";
    if (!mkdtemp(tmpl)) return 1;
    const std::string dir = tmpl;
    const std::string bus = dir + "/bus";
    if (!VelkSimSetBusDir(bus.c_str())) {
        std::fprintf(stderr, "bus: %s\n", VelkSimLastError());
        return 1;
    }
    const char* settings[] = {"chips=4", "blocks=8192", "pages=32", "pagesize=512", "bad=0:17,1:300,2:4000,3:8191",
                              nullptr};
    if (!VelkSimCreate("bench", "flashdisk", settings)) {
        std::fprintf(stderr, "create: %s\n", VelkSimLastError());
        return 1;
    }
    VelkHandle h = VelkCreateDeviceList(0, 0, 0);
    if (!h) {
        std::fprintf(stderr, "no device\n");
        return 1;
    }

    const uint32_t blocks = 4 * 8192;
    const std::string logPath = dir + "/scan.log";
    const std::string floorPath = dir + "/floor.log";
    std::printf("scan of 4 chips x 8192 blocks (32 pages of 512 bytes), %d rounds\n", rounds);
    std::printf("%-28s %10s %12s %14s %8s\n", "", "seconds", "blocks/s", "log MB/s", "x floor");

    for (int r = 0; r < rounds; ++r) {
        scanner::VelkFlashDevice dev(h);
        NoStop ctl;
        auto t0 = Clock::now();
        scanner::ScanResult res = scanner::ScanEngine(dev, ctl).run(logPath, {});
        const double scan = seconds(t0, Clock::now());
        const std::string text = readAll(logPath);
        const double floor = floorWrite(floorPath, text);

        MemoryFlash mem;
        mem.geo.pageSize = 512;
        mem.geo.chips.assign(4, {8192, 32});
        auto t1 = Clock::now();
        scanner::ScanEngine(mem, ctl).run(logPath, {});
        const double engine = seconds(t1, Clock::now());
        const double memBytes = double(std::filesystem::file_size(logPath));

        const double mb = double(text.size()) / 1e6;
        std::printf("round %d: %zu log bytes, %u bad blocks\n", r + 1, text.size(), unsigned(res.badTotal));
        std::printf("%-28s %10.4f %12.0f %14.1f %8.2f\n", "  scan over the simulator", scan, blocks / scan, mb / scan,
                    scan / floor);
        std::printf("%-28s %10.4f %12.0f %14.1f %8.2f\n", "  scan, in-memory device", engine, blocks / engine,
                    memBytes / 1e6 / engine, engine / floor);
        std::printf("%-28s %10.4f %12s %14.1f %8.2f\n", "  floor: one buffered write", floor, "-", mb / floor, 1.0);
    }

    VelkDestroyDeviceList(h);
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
    return 0;
}
