// kesso_bench: how long Kesso takes to list a registry of thousands of device
// keys, and to remove a few of them, on the file-backed registry of a
// temporary bus. Prints its figures; nothing is asserted.
//
//   kesso_bench [DEVICES [DIR]]   (default 5000 device keys, in /dev/shm when
//                                   it can be written, else the temporary folder)
//
// The registry writes every key with an fsync, so on a disk making the
// registry takes far longer than reading it; the bus sits in memory by
// default so that the set-up stays short. Reading costs the same either way
// once the registry is in the page cache.
#include "platform/os/regstore.h"
#include "regclean/registry_cleaner.h"

#include <velk_sim.h>

#include <chrono>
#include <ctime>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include <unistd.h>

namespace {

double secondsSince(std::chrono::steady_clock::time_point t0) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

// Processor time of this process (user + system): steadier than the wall
// clock on a machine shared with other work.
double cpuSeconds() { return double(std::clock()) / CLOCKS_PER_SEC; }

regstore::Value text(const std::string& s) {
    regstore::Value v;
    v.strings = {s};
    return v;
}

}  // namespace

int main(int argc, char** argv) {
    const int devices = argc > 1 ? std::atoi(argv[1]) : 5000;
    if (devices <= 0) {
        std::fprintf(stderr, "usage: kesso_bench [DEVICES [DIR]]\n");
        return 2;
    }
    std::filesystem::path base = argc > 2 ? std::filesystem::path(argv[2])
                                 : ::access("/dev/shm", W_OK) == 0 ? std::filesystem::path("/dev/shm")
                                                                   : std::filesystem::temp_directory_path();
    std::string dir = (base / "kesso-bench-XXXXXX").string();
    if (!::mkdtemp(dir.data()) || !VelkSimSetBusDir(dir.c_str())) {
        std::fprintf(stderr, "kesso_bench: no temporary bus\n");
        return 1;
    }

    // Every tenth device has a second revision; every seventh key is of
    // another class, every eleventh spelt "VID_" (neither is listed).
    regstore::Store store(std::filesystem::path(dir) / "registry");
    auto t0 = std::chrono::steady_clock::now();
    size_t instances = 0, expected = 0;
    for (int i = 0; i < devices; ++i) {
        char name[40], id[64];
        const bool upper = i % 11 == 5;
        std::snprintf(name, sizeof name, upper ? "VID_%04X&PID_%04X" : "Vid_%04x&Pid_%04x", 0x1000 + i / 16, i % 16);
        const bool hid = i % 7 == 3;
        for (int rev = 1; rev <= (i % 10 == 0 ? 2 : 1); ++rev) {
            std::snprintf(id, sizeof id, "USB\\%s&Rev_%04d", name, rev * 100);
            regstore::Value ids;
            ids.type = regstore::Value::Type::MultiString;
            ids.strings = {id, std::string("USB\\") + name};
            const std::string key = std::string(regclean::kEnumUsbKey) + "\\" + name + "\\5&" + std::to_string(i) +
                                    "&0&" + std::to_string(rev);
            if (!store.createKeyWithValues(key, {{"Class", text(hid ? "HIDClass" : "USB")},
                                                 {"ClassGUID", text(hid ? "{745A17A0-74D3-11D0-B6FE-00A0C90F57DA}"
                                                                        : regstore::kUsbClassGuid)},
                                                 {"HardwareID", ids}})) {
                std::fprintf(stderr, "kesso_bench: cannot write the registry\n");
                return 1;
            }
            ++instances;
        }
        expected += !upper && !hid;
    }
    std::printf("registry in %s: %d device keys, %zu instances (made in %.2f s)\n", dir.c_str(), devices, instances,
                secondsSince(t0));

    std::vector<std::string> listed;
    for (int round = 1; round <= 3; ++round) {
        listed.clear();
        t0 = std::chrono::steady_clock::now();
        const double c0 = cpuSeconds();
        regclean::ListUsbEntries([&](const std::string& n) { listed.push_back(n); });
        std::printf("ListUsbEntries round %d: %zu entries (expected %zu) in %.4f s (cpu %.4f s)\n", round,
                    listed.size(), expected, secondsSince(t0), cpuSeconds() - c0);
    }

    // The same test with every key looked up by its whole path from the
    // root, as a reader without open keys does: the cost the open keys save.
    {
        t0 = std::chrono::steady_clock::now();
        const double c0 = cpuSeconds();
        size_t n = 0;
        auto root = os::RegistryKey::open(regclean::kEnumUsbKey);
        for (size_t i = 0; root; ++i) {
            auto name = root->subkeyName(i);
            if (!name) break;
            if (name->rfind("Vid", 0) != 0) continue;
            const std::string path = std::string(regclean::kEnumUsbKey) + "\\" + *name;
            auto device = os::RegistryKey::open(path);
            auto first = device ? device->subkeyName(0) : std::nullopt;
            auto instance = first ? os::RegistryKey::open(path + "\\" + *first) : std::nullopt;
            auto cls = instance ? instance->stringValue("Class") : std::nullopt;
            n += cls && cls->rfind("USB", 0) == 0;
        }
        std::printf("the same by whole paths: %zu entries in %.4f s (cpu %.4f s)\n", n, secondsSince(t0),
                    cpuSeconds() - c0);
    }

    for (size_t chosen : {size_t(1), size_t(50)}) {
        std::vector<std::string> patterns;
        for (size_t k = 0; k < chosen && k < listed.size(); ++k)
            patterns.push_back(regclean::RemovalPattern(listed[k * (listed.size() / chosen)]));
        t0 = std::chrono::steady_clock::now();
        const double c0 = cpuSeconds();
        const auto r = regclean::RemoveUsbDevices(patterns);
        std::printf("RemoveUsbDevices, %zu entries chosen: %zu nodes removed, %zu failed, in %.4f s (cpu %.4f s)\n",
                    chosen, r.removed, r.failed, secondsSince(t0), cpuSeconds() - c0);
    }

    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
    return 0;
}
