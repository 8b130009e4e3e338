// velk-sim - sets up the simulated USB bus behind the device library.
#include <velk_sim.h>

#include "../src/sim.h"

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

const char* kUsage =
    "usage: velk-sim COMMAND ...\n"
    "  create NAME --profile P [--set KEY=VALUE]...   make a device (starts attached)\n"
    "  list                                           devices of the bus\n"
    "  show NAME                                      one device in detail\n"
    "  remove NAME                                    delete a device and its stores\n"
    "  plug NAME | unplug NAME                        attach / detach the device\n"
    "  media NAME LUN in|out                          insert / eject the medium of a slot\n"
    "  wp NAME on|off                                 write-protect switch\n"
    "  button NAME                                    press the device's button\n"
    "  fault NAME FAULT [ARGS]                        inject a fault (below)\n"
    "  profiles                                       the built-in profiles\n"
    "The bus directory is $VELK_SIM_DIR (else $XDG_STATE_HOME/velk-sim, else\n"
    "~/.local/state/velk-sim). Numbers are decimal or 0x-prefixed hexadecimal.\n";

int usageError(const std::string& msg) {
    std::fprintf(stderr, "velk-sim: %s\n", msg.c_str());
    return 2;
}

int simError(const char* what) {
    const char* e = VelkSimLastError();
    return usageError(std::string(what) + ": " + (e && *e ? e : "failed"));
}

// A LUN index: decimal or 0x hexadecimal, range-checked before it is narrowed.
bool parseLun(const std::string& s, int& out) {
    uint32_t v = 0;
    if (!velk::sim::parseNum(s, v) || v > 255) return false;
    out = int(v);
    return true;
}

void printHelp() {
    std::fputs(kUsage, stdout);
    std::printf("Profiles:");
    for (auto p = VelkSimProfiles(); *p; ++p) std::printf(" %s", *p);
    std::printf("\n%s%s", velk::sim::settingsHelp().c_str(), velk::sim::faultHelp().c_str());
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> a(argv + 1, argv + argc);
    if (a.empty()) return usageError("no command (try velk-sim --help)");
    const std::string& cmd = a[0];
    auto need = [&](size_t n) { return a.size() == n + 1; };

    if (cmd == "--help" || cmd == "-h" || cmd == "help") {
        printHelp();
        return 0;
    }
    if (cmd == "profiles") {
        for (auto p = VelkSimProfiles(); *p; ++p) std::printf("%s\n", *p);
        return 0;
    }
    if (cmd == "create") {
        if (a.size() < 2) return usageError("create needs a device name");
        std::string profile;
        std::vector<std::string> sets;
        for (size_t i = 2; i < a.size(); ++i) {
            if (a[i] == "--profile" && i + 1 < a.size())
                profile = a[++i];
            else if (a[i] == "--set" && i + 1 < a.size())
                sets.push_back(a[++i]);
            else
                return usageError("unexpected argument '" + a[i] + "' to create");
        }
        if (profile.empty()) return usageError("create needs --profile P");
        std::vector<const char*> ptrs;
        for (auto& s : sets) ptrs.push_back(s.c_str());
        ptrs.push_back(nullptr);
        if (!VelkSimCreate(a[1].c_str(), profile.c_str(), ptrs.data())) return simError("create");
        return 0;
    }
    if (cmd == "list") {
        if (!need(0)) return usageError("list takes no arguments");
        int n = VelkSimListDevices(nullptr, 0);
        if (n < 0) return simError("list");
        std::vector<VelkSimDeviceInfo> devs(size_t(n) + 1);
        n = VelkSimListDevices(devs.data(), int(devs.size()));
        std::printf("%-16s %-12s %-9s %-5s %-4s %-4s %s\n", "NAME", "PROFILE", "VID:PID", "CLASS", "LUNS", "BUS", "INSTANCE");
        for (int i = 0; i < n && i < int(devs.size()); ++i) {
            const auto& d = devs[size_t(i)];
            if (d.damaged)
                std::printf("%-16s %-12s %-9s %-5s %-4s %-4s damaged: %s (velk-sim remove %s deletes it)\n", d.name,
                            *d.profile ? d.profile : "?", "-", "-", "-", "-", d.problem, d.name);
            else
                std::printf("%-16s %-12s %04X:%04X %02Xh   %-4d %-4s %s\n", d.name, d.profile, d.vid, d.pid,
                            d.deviceClass, d.lunCount, d.attached ? "on" : "off", d.instance);
        }
        return 0;
    }
    if (cmd == "show") {
        if (!need(1)) return usageError("usage: show NAME");
        size_t len = VelkSimDescribe(a[1].c_str(), nullptr, 0);
        if (!len) return simError("show");
        std::string buf(len, '\0');
        VelkSimDescribe(a[1].c_str(), buf.data(), buf.size());
        std::fputs(buf.c_str(), stdout);
        return 0;
    }
    if (cmd == "remove" || cmd == "plug" || cmd == "unplug" || cmd == "button") {
        if (!need(1)) return usageError("usage: " + cmd + " NAME");
        const char* n = a[1].c_str();
        int ok = cmd == "remove" ? VelkSimRemove(n) : cmd == "plug" ? VelkSimPlug(n) : cmd == "unplug" ? VelkSimUnplug(n)
                                                                                                        : VelkSimPressButton(n);
        return ok ? 0 : simError(cmd.c_str());
    }
    if (cmd == "media") {
        int lun = 0;
        if (!need(3) || !parseLun(a[2], lun) || (a[3] != "in" && a[3] != "out"))
            return usageError("usage: media NAME LUN in|out");
        return VelkSimSetMedia(a[1].c_str(), lun, a[3] == "in") ? 0 : simError("media");
    }
    if (cmd == "wp") {
        if (!need(2) || (a[2] != "on" && a[2] != "off")) return usageError("usage: wp NAME on|off");
        return VelkSimSetWriteProtect(a[1].c_str(), a[2] == "on") ? 0 : simError("wp");
    }
    if (cmd == "fault") {
        if (a.size() < 3) return usageError("usage: fault NAME FAULT [ARGS] (see velk-sim --help)");
        std::string f;
        for (size_t i = 2; i < a.size(); ++i) f += (i > 2 ? " " : "") + a[i];
        return VelkSimFault(a[1].c_str(), f.c_str()) ? 0 : simError("fault");
    }
    return usageError("unknown command '" + cmd + "' (try velk-sim --help)");
}
