// imbra_bench - Program + Verify of a disc image through Imbra's own code
// path, against dd + cmp on the same data in the same run.
//
// Makes an ISO 9660 image of about MiB mebibytes with xorriso (one file of
// patterned bytes), puts a CD-ROM flash disk with a CD-ROM area large enough
// for it on a fresh simulated bus, and runs Imbra headless from a script:
// Load, then Auto (Program: a step of the progress bar and an update of the
// window per sector; then Verify, the same). Against it: `dd bs=2048
// conv=notrunc` of the image onto a file of the same size, then `cmp`. Each
// side runs once untimed first (warm page cache), then ROUNDS times, the two
// sides taking turns; the best and the median round of each are printed
// (the machine is shared, so single rounds scatter). For scale: the
// transfers of Imbra's core without the dialog, and the library's own
// open/write/close + open/read/close/compare pattern with the image in
// memory.
//
// Prints figures; asserts nothing. Usage: imbra_bench [MiB [ROUNDS]]
// (default 256 MiB, 5 rounds).
#include "imager/imbra_dialog.h"
#include "imager/velk_sector_device.h"

#include "ui/scripted.h"

#include <velk.h>
#include <velk_sim.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

double since(Clock::time_point t0) { return std::chrono::duration<double>(Clock::now() - t0).count(); }

bool sh(const std::string& cmd) { return std::system(cmd.c_str()) == 0; }

// One run of Imbra: Load the image, Auto, Exit. True when the log ends in
// "Verify OK.".
bool imbraRun(const std::string& iso, double& secs) {
    const std::string script = "file " + iso +
                               "\nclick 1000\nclick 1001\n"
                               "expect 1005 item:1 Program OK.\\r\\n\nexpect 1005 item:3 Verify OK.\n"
                               "click 1004\n";
    const auto t0 = Clock::now();
    ui::scripting::ScriptRun r = ui::scripting::runScript(script, {"Imbra", "Imbra"}, [] {
        imager::ImbraDialog dlg;
        dlg.runModal();
    });
    secs = since(t0);
    if (r.exitCode != 0) std::fprintf(stderr, "imbra_bench: the run failed:\n%s", r.transcript.c_str());
    return r.exitCode == 0;
}

bool ddRun(const std::string& iso, const std::string& target, double& secs) {
    const auto t0 = Clock::now();
    const bool ok = sh("dd if='" + iso + "' of='" + target + "' bs=2048 conv=notrunc status=none") &&
                    sh("cmp -s '" + iso + "' '" + target + "'");
    secs = since(t0);
    return ok;
}

// The device library alone, the image already in memory.
bool libraryRun(const std::vector<uint8_t>& image, double& secs) {
    VelkHandle h = VelkCreateDeviceList(imager::kVendorId, imager::kProductId);
    if (!h) return false;
    const uint32_t n = uint32_t(image.size() / 2048);
    std::vector<uint8_t> back(2048);
    bool ok = true;
    const auto t0 = Clock::now();
    for (uint32_t s = 0; s < n; ++s) {
        VelkOpenDevice(h, 0);
        ok &= VelkWriteLBA(h, 0, s, 1, image.data() + size_t(s) * 2048) == 1;
        VelkCloseDevice(h, 0);
    }
    for (uint32_t s = 0; s < n; ++s) {
        VelkOpenDevice(h, 0);
        ok &= VelkReadLBA(h, 0, s, 1, back.data()) == 1;
        VelkCloseDevice(h, 0);
        ok &= std::memcmp(back.data(), image.data() + size_t(s) * 2048, 2048) == 0;
    }
    secs = since(t0);
    VelkDestroyDeviceList(h);
    return ok;
}

// Imbra's core alone: Program and Verify through the device library with a
// progress that does nothing.
bool coreRun(const std::string& iso, double& secs) {
    struct NoProgress : imager::TransferProgress {
        void begin(uint32_t) override {}
        void step() override {}
    } progress;
    VelkHandle h = VelkCreateDeviceList(imager::kVendorId, imager::kProductId);
    imager::DiscImage image;
    if (!h || !image.open(iso) || image.findStart() != imager::SearchResult::Found) return false;
    imager::VelkSectorDevice dev(h);
    const auto t0 = Clock::now();
    const bool ok = imager::programImage(image, dev, progress).ok() && imager::verifyImage(image, dev, progress).ok();
    secs = since(t0);
    VelkDestroyDeviceList(h);
    return ok;
}

struct Figures {
    std::vector<double> runs;
    bool ok = true;
    double best() const { return *std::min_element(runs.begin(), runs.end()); }
    double median() const {
        std::vector<double> v = runs;
        std::sort(v.begin(), v.end());
        return v[v.size() / 2];
    }
};

}  // namespace

int main(int argc, char** argv) {
    unsigned mib = argc > 1 ? unsigned(std::atoi(argv[1])) : 256;
    if (mib < 2) mib = 256;
    int rounds = argc > 2 ? std::atoi(argv[2]) : 5;
    if (rounds < 1) rounds = 5;
    char tmpl[] = "/tmp/imbra-bench-XXXXXX";
    if (!mkdtemp(tmpl)) return 1;
    const fs::path dir = tmpl;
    auto fail = [&](const char* what) {
        std::fprintf(stderr, "imbra_bench: %s\n", what);
        std::error_code ec;
        fs::remove_all(dir, ec);
        return 1;
    };

    // The image: one file of patterned bytes (the file system's own sectors
    // take about 400 KiB), the volume about `mib` MiB.
    fs::create_directories(dir / "tree");
    {
        std::ofstream f(dir / "tree" / "DATA.BIN", std::ios::binary);
        std::vector<char> chunk(1 << 19);
        uint64_t x = 0x9E3779B97F4A7C15ull;
        for (unsigned k = 0; k + 1 < 2 * mib; ++k) {
            for (size_t i = 0; i < chunk.size(); i += 8) {
                x ^= x << 13, x ^= x >> 7, x ^= x << 17;
                std::memcpy(chunk.data() + i, &x, 8);
            }
            f.write(chunk.data(), std::streamsize(chunk.size()));
        }
    }
    const std::string iso = (dir / "image.iso").string();
    if (!sh("xorriso -as mkisofs -V BENCH -o '" + iso + "' '" + (dir / "tree").string() + "' >/dev/null 2>&1"))
        return fail("xorriso failed (scripts/install-deps.sh installs it)");
    fs::remove_all(dir / "tree");
    const uint64_t isoBytes = fs::file_size(iso);
    const uint32_t sectors = uint32_t(isoBytes / 2048);

    // The device and the dd target.
    if (!VelkSimSetBusDir((dir / "bus").c_str())) return fail(VelkSimLastError());
    const std::string size = "lun0.sectors=" + std::to_string(sectors + 64);
    const char* settings[] = {size.c_str(), "bad=none", nullptr};
    if (!VelkSimCreate("cd", "cdrom", settings)) return fail(VelkSimLastError());
    const std::string target = (dir / "target.img").string();
    {
        std::ofstream t(target, std::ios::binary);
        t.seekp(std::streamoff(isoBytes) - 1);
        t.put('\0');
    }

    double secs = 0;
    bool warm = imbraRun(iso, secs);   // warm-up: image and LUN enter the page cache
    warm = ddRun(iso, target, secs) && warm;
    Figures imbra, dd, core, lib;
    for (int r = 0; r < rounds; ++r) {
        imbra.ok = imbraRun(iso, secs) && imbra.ok;
        imbra.runs.push_back(secs);
        dd.ok = ddRun(iso, target, secs) && dd.ok;
        dd.runs.push_back(secs);
    }
    // In this process (Imbra's runs are forked from it: it holds no image
    // while they run).
    std::vector<uint8_t> image(isoBytes);
    std::ifstream(iso, std::ios::binary).read(reinterpret_cast<char*>(image.data()), std::streamsize(isoBytes));
    for (int r = 0; r < rounds; ++r) {
        core.ok = coreRun(iso, secs) && core.ok;
        core.runs.push_back(secs);
        lib.ok = libraryRun(image, secs) && lib.ok;
        lib.runs.push_back(secs);
    }

    const double mb = double(isoBytes) / 1e6;
    std::printf("Imbra Program + Verify, ISO 9660 image by xorriso: %.1f MiB, %u sectors of 2048 bytes\n"
                "(warm page cache, %d rounds, best / median seconds)\n",
                double(isoBytes) / 1048576.0, sectors, rounds);
    auto line = [&](const char* what, const Figures& f, const char* bad) {
        std::printf("  %-62s %6.3f / %6.3f s  %5.0f MB/s moved%s\n", what, f.best(), f.median(), 2 * mb / f.best(),
                    f.ok ? "" : bad);
    };
    line("Imbra headless: Load + Auto (bar step + window update/sector)", imbra, "  (FAILED)");
    line("dd bs=2048 conv=notrunc + cmp", dd, "  (MISMATCH)");
    line("Imbra's transfers without the dialog", core, "  (FAILED)");
    line("device library alone (image in memory)", lib, "  (MISMATCH)");
    std::printf("  ratio Imbra / (dd+cmp): %.2f best, %.2f median (goal <= 0.8)\n", imbra.best() / dd.best(),
                imbra.median() / dd.median());
    std::printf("  ratio transfers alone / (dd+cmp): %.2f; library alone / (dd+cmp): %.2f (best)\n",
                core.best() / dd.best(), lib.best() / dd.best());
    std::printf("  per sector (best): Imbra %.2f us for Program and Verify together, dd+cmp %.2f us\n",
                imbra.best() / sectors * 1e6, dd.best() / sectors * 1e6);
    const bool okImbra = warm && imbra.ok && core.ok, okDd = dd.ok, okLib = lib.ok;

    std::error_code ec;
    fs::remove_all(dir, ec);
    return okImbra && okDd && okLib ? 0 : 1;
}
