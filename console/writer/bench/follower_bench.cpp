// follower_bench - the progress follower's CPU share during firmware
// transfers with realistic timing (about 3 s each way on the simulated
// controller), on a simulated bus of its own in a temporary folder.
//
//   follower_bench [--spin]
//
// --spin also measures a follower that polls without a pause, for
// comparison (it keeps a core busy for the length of the transfers).
#include <pthread.h>
#include <stdlib.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include <velk.h>
#include <velk_sim.h>

#include "console/writer/progress_follower.h"

namespace {

double threadCpuSeconds() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) / 1e9;
}

struct Figures {
    double wall = 0, cpu = 0;
    int updates = 0;
};

// One transfer (write or read) with a follower beside it.
Figures transfer(VelkHandle h, bool write, std::vector<uint8_t>& buf, bool spin) {
    uint8_t progress = 0, status = 0;
    ui::ManualResetEvent returned(false);
    Figures f;
    std::thread follower([&] {
        const double c0 = threadCpuSeconds();
        if (spin) {
            int shown = 0;
            while (!returned.isSet()) {
                const int p = std::atomic_ref<uint8_t>(progress).load();
                if (p > 0 && p != shown) {
                    shown = p;
                    ++f.updates;
                }
                if (p >= 100) break;
            }
        } else {
            writer::followProgress(&progress, returned, [&](int) { ++f.updates; });
        }
        f.cpu = threadCpuSeconds() - c0;
    });
    const auto t0 = std::chrono::steady_clock::now();
    const int ok = write ? VelkWriteFirmware(h, 0, uint32_t(buf.size()), buf.data(), &progress, &status)
                         : VelkReadFirmware(h, 0, uint32_t(buf.size()), buf.data(), &progress, &status);
    returned.set();
    follower.join();
    f.wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    if (!ok) std::fprintf(stderr, "follower_bench: the transfer failed\n");
    return f;
}

void report(const char* what, const Figures& f) {
    std::printf("  %-28s %6.2f s wall  %8.4f s CPU  %6.2f %% of a core  %3d bar updates\n", what, f.wall, f.cpu,
                100.0 * f.cpu / f.wall, f.updates);
}

}  // namespace

int main(int argc, char** argv) {
    const bool spin = argc > 1 && std::strcmp(argv[1], "--spin") == 0;
    char dir[] = "/tmp/follower-bench-XXXXXX";
    if (!mkdtemp(dir)) return 1;
    setenv("VELK_SIM_DIR", dir, 1);
    const char* settings[] = {"timing=realistic", nullptr};
    if (VelkSimCreate("reader", "reader", settings) != 1) {
        std::fprintf(stderr, "follower_bench: %s\n", VelkSimLastError());
        return 1;
    }
    VelkHandle h = VelkCreateDeviceList(0, 0, 1);
    if (!h || !VelkOpenDevice(h, 0)) return 1;
    std::vector<uint8_t> image(0x8000, 0x5A);

    std::printf("progress follower, 32 KiB image, realistic timing (pause %lld ms between looks)\n",
                static_cast<long long>(writer::kProgressPollMs));
    report("write, paused follower", transfer(h, true, image, false));
    report("read-back, paused follower", transfer(h, false, image, false));
    if (spin) {
        report("write, spinning follower", transfer(h, true, image, true));
        report("read-back, spinning follower", transfer(h, false, image, true));
    }
    VelkCloseDevice(h, 0);
    VelkDestroyDeviceList(h);
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
    return 0;
}
