// Formats volumes of growing size into a sink that only counts, printing the
// time, the number of write calls and the bytes handed over per volume; then
// formats a 1 GiB sparse image file in the temporary directory.
#include "fat_format.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <string>
#include <unistd.h>

using Clock = std::chrono::steady_clock;
using velk::codec::formatFat;
using velk::codec::FormatResult;

static double msSince(Clock::time_point t0) {
    return std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
}

int main() {
    const uint64_t sizesMiB[] = {16, 256, 1024, 8192, 65536, 2097151};
    std::printf("%10s %8s %10s %12s %10s\n", "volume", "result", "writes", "bytes", "ms");
    for (uint64_t mib : sizesMiB) {
        const uint32_t sectors = uint32_t(mib * 2048 > 0xFFFFFFFFu ? 0xFFFFFFFFu : mib * 2048);
        uint64_t calls = 0, bytes = 0;
        const auto t0 = Clock::now();
        const FormatResult r = formatFat(
            sectors,
            [&](uint32_t, uint32_t count, const uint8_t*) {
                ++calls;
                bytes += uint64_t(count) * 512;
                return true;
            },
            [](int) {}, [] { return false; }, 0x1234ABCD);
        std::printf("%8llu M %8s %10llu %12llu %10.3f\n", (unsigned long long)mib,
                    r == FormatResult::Done ? "done" : "FAIL", (unsigned long long)calls,
                    (unsigned long long)bytes, msSince(t0));
    }
    std::printf("(counting sink: on a LUN the time is the device's time for the bytes shown)\n");

    const char* tmp = std::getenv("TMPDIR");
    std::string path = std::string(tmp ? tmp : "/tmp") + "/bench_fat_format.XXXXXX";
    const int fd = mkstemp(path.data());
    if (fd < 0 || ftruncate(fd, off_t(1) << 30) != 0) {
        std::printf("cannot create the image file\n");
        return 1;
    }
    const auto t0 = Clock::now();
    const FormatResult r = formatFat(
        2097152,
        [&](uint32_t lba, uint32_t count, const uint8_t* data) {
            return pwrite(fd, data, size_t(count) * 512, off_t(lba) * 512) == ssize_t(count) * 512;
        },
        [](int) {}, [] { return false; }, 0x1234ABCD);
    const double ms = msSince(t0);
    close(fd);
    unlink(path.c_str());
    std::printf("1 GiB sparse image file: %s in %.3f ms\n", r == FormatResult::Done ? "done" : "FAIL", ms);
}
