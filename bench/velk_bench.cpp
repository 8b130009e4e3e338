// velk_bench - figures of the device library on the simulated controller.
//
//  1. The imager's pattern: VelkOpenDevice + one 2048-byte VelkWriteLBA +
//     VelkCloseDevice for every sector of a 256 MiB CD-ROM area, then open +
//     read + close + compare to verify; against `dd bs=2048 conv=notrunc` and
//     `cmp` on the same data in the same run. Both run on a warm page cache
//     (each side runs once untimed first).
//  2. The scanner's pattern: two good-block queries and two spare reads per
//     block, in blocks per second.
//  3. First touch: the imager's first pass over the fresh (sparse) CD-ROM
//     area, where every store page is allocated as it is first written, and
//     one page programmed into every block of fresh flash.
//
// Prints figures; asserts nothing. Usage: velk_bench [MiB] (default 256).
#include <velk.h>
#include <velk_sim.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <sys/resource.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

double seconds(Clock::time_point a, Clock::time_point b) { return std::chrono::duration<double>(b - a).count(); }

long maxRssMiB() {
    rusage ru{};
    getrusage(RUSAGE_SELF, &ru);
    return ru.ru_maxrss / 1024;
}

// One pass of the imager: write every sector, then read and compare each.
double imagerPass(VelkHandle h, const std::vector<uint8_t>& image, uint32_t sectors, bool& ok) {
    std::vector<uint8_t> back(2048);
    auto t0 = Clock::now();
    ok = true;
    for (uint32_t s = 0; s < sectors; ++s) {
        VelkOpenDevice(h, 0);
        ok &= VelkWriteLBA(h, 0, s, 1, image.data() + size_t(s) * 2048) == 1;
        VelkCloseDevice(h, 0);
    }
    for (uint32_t s = 0; s < sectors; ++s) {
        VelkOpenDevice(h, 0);
        ok &= VelkReadLBA(h, 0, s, 1, back.data()) == 1;
        VelkCloseDevice(h, 0);
        ok &= std::memcmp(back.data(), image.data() + size_t(s) * 2048, 2048) == 0;
    }
    return seconds(t0, Clock::now());
}

double ddPass(const std::string& image, const std::string& target, bool& ok) {
    auto t0 = Clock::now();
    std::string dd = "dd if='" + image + "' of='" + target + "' bs=2048 conv=notrunc status=none";
    std::string cmp = "cmp -s '" + image + "' '" + target + "'";
    ok = std::system(dd.c_str()) == 0 && std::system(cmp.c_str()) == 0;
    return seconds(t0, Clock::now());
}

}  // namespace

int main(int argc, char** argv) {
    uint32_t mib = argc > 1 ? uint32_t(std::atoi(argv[1])) : 256;
    if (mib == 0) mib = 256;
    namespace fs = std::filesystem;
    char tmpl[] = "/tmp/velk-bench-XXXXXX";
    if (!mkdtemp(tmpl)) return 1;
    fs::path dir = tmpl;
    VelkSimSetBusDir((dir / "bus").c_str());
    std::string size = "lun0.size=" + std::to_string(mib) + "M";
    const char* cd[] = {size.c_str(), "bad=none", nullptr};
    if (!VelkSimCreate("cd", "cdrom", cd)) {
        std::fprintf(stderr, "velk_bench: %s\n", VelkSimLastError());
        return 1;
    }
    const uint32_t sectors = mib * 512;  // 2048-byte sectors
    std::vector<uint8_t> image(size_t(sectors) * 2048);
    uint64_t x = 0x9E3779B97F4A7C15ull;
    for (size_t i = 0; i < image.size(); i += 8) {
        x ^= x << 13, x ^= x >> 7, x ^= x << 17;
        std::memcpy(image.data() + i, &x, 8);
    }
    fs::path imageFile = dir / "image.iso", target = dir / "target.img";
    {
        std::ofstream(imageFile, std::ios::binary).write(reinterpret_cast<const char*>(image.data()), std::streamsize(image.size()));
        std::ofstream t(target, std::ios::binary);
        t.seekp(std::streamoff(image.size()) - 1);
        t.put('\0');
    }

    VelkHandle h = VelkCreateDeviceList(0x3A7C, 0x070A);
    if (!h) return 1;
    bool okLib = false, okDd = false;
    // Warm-up: the LUN image is allocated and enters the page cache.
    const double first = imagerPass(h, image, sectors, okLib);
    ddPass(imageFile, target, okDd);
    double lib = imagerPass(h, image, sectors, okLib);
    double dd = ddPass(imageFile, target, okDd);
    double mb = double(image.size()) / 1e6;
    std::printf("imager pattern, %u MiB CD-ROM area, %u sectors of 2048 bytes (warm page cache)\n", mib, sectors);
    std::printf("  velk open+write+close, open+read+close+compare: %7.3f s  %7.0f MB/s moved%s\n", lib, 2 * mb / lib,
                okLib ? "" : "  (MISMATCH)");
    std::printf("  dd bs=2048 conv=notrunc + cmp:                   %7.3f s  %7.0f MB/s moved%s\n", dd, 2 * mb / dd,
                okDd ? "" : "  (MISMATCH)");
    std::printf("  ratio velk / (dd+cmp): %.2f (goal <= 1.0)\n", lib / dd);
    std::printf("  first pass over the fresh (sparse) area:       %7.3f s%s\n", first, okLib ? "" : "  (MISMATCH)");
    VelkDestroyDeviceList(h);

    // Scanner pattern on the flash disk profile (2 chips x 1024 blocks).
    const char* fd[] = {"bad=0:17,1:300", nullptr};
    VelkSimCreate("fd", "flashdisk", fd);
    h = VelkCreateDeviceList(0x3A7C, 0x0721);
    _FlashDiskInfo* fi = nullptr;
    if (!h || !VelkGetFlashInfo(h, 0, &fi)) return 1;
    uint8_t spare[64];
    uint64_t blocks = 0, bad = 0;
    auto t0 = Clock::now();
    for (int round = 0; round < 20; ++round)
        for (uint8_t c = 0; c < fi[0].ChipCount; ++c) {
            const _FlashDiskInfo* e = reinterpret_cast<const _FlashDiskInfo*>(reinterpret_cast<uint8_t*>(fi) + c * 4116);
            VelkOpenDevice(h, 0);
            for (uint32_t b = 0; b < e->BlockCount; ++b) {
                bool isBad = false;
                for (uint8_t k = 0; k < 2; ++k) {
                    isBad |= VelkIsGoodBlock(h, 0, c, b) == 0;
                    VelkReadRedundant(h, 0, c, b, k, spare);
                }
                bad += isBad;
                ++blocks;
            }
            VelkCloseDevice(h, 0);
        }
    double scan = seconds(t0, Clock::now());
    std::printf("scanner pattern (2 good-block queries + 2 spare reads per block): %.0f blocks/s (%llu blocks, %llu bad)\n",
                double(blocks) / scan, (unsigned long long)blocks, (unsigned long long)bad);
    // First touch of fresh flash: one page in every block of both chips.
    std::vector<uint8_t> page(512, 0x5A);
    uint64_t programmed = 0;
    t0 = Clock::now();
    for (uint8_t c = 0; c < fi[0].ChipCount; ++c)
        for (uint32_t b = 0; b < 1024; ++b) programmed += VelkWritePhysical(h, 0, c, b, 3, page.data()) == 1;
    double prog = seconds(t0, Clock::now());
    std::printf("flash first touch (one 512-byte page programmed in each of %llu fresh blocks): %.0f pages/s\n",
                (unsigned long long)programmed, double(programmed) / prog);
    std::printf("max resident set: %ld MiB (the image buffer itself is %u MiB)\n", maxRssMiB(), mib);
    std::printf("note: 2048-byte writes into a file that is not in the page cache cost a read of the 4 KiB page first.\n");
    VelkDestroyDeviceList(h);
    std::error_code ec;
    fs::remove_all(dir, ec);
    return 0;
}
