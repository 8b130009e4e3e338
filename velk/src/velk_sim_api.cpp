// velk_sim_api.cpp - control of the simulated bus (velk_sim.h).
#include <velk_sim.h>
#include <velk.h>

#include "sim.h"

#include <algorithm>
#include <charconv>
#include <cstring>
#include <fstream>
#include <sstream>
#include <sys/inotify.h>
#include <unistd.h>


using namespace velk::sim;

namespace {

template <class F>
auto guarded(F&& f, decltype(f()) onError) noexcept -> decltype(f()) {
    try {
        return f();
    } catch (const std::exception& e) {
        setError(e.what());
    } catch (...) {
        setError("internal error");
    }
    return onError;
}

bool validName(const char* name) {
    if (!name || !*name || std::strlen(name) >= 64) return false;
    for (const char* p = name; *p; ++p) {
        char c = *p;
        if (!(std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '_' || c == '.')) return false;
    }
    return name[0] != '.';
}

std::shared_ptr<Device> openNamed(const char* name) {
    if (!validName(name)) {
        setError(std::string("bad device name '") + (name ? name : "") + "'");
        return nullptr;
    }
    auto bus = currentBus();
    if (!bus->ok()) return nullptr;
    // A folder that is not a whole device says so (Device::open).
    return Device::open(bus, name);
}

// Removes scratch folders of creations and removals that did not finish (the
// process died): each is made and gone within one hold of the bus lock, so
// whatever the caller, holding that lock, still finds is left over.
void sweepScratch(Bus& bus) {
    std::error_code ec;
    std::vector<fs::path> stale;
    for (auto it = fs::directory_iterator(bus.devicesDir(), ec); !ec && it != fs::directory_iterator(); it.increment(ec)) {
        const std::string n = it->path().filename().string();
        if (n.rfind(".new-", 0) == 0 || n.rfind(".gone-", 0) == 0) stale.push_back(it->path());
    }
    for (auto& p : stale) fs::remove_all(p, ec);
}

// The bus lock for the span of a scope.
class BusLock {
public:
    explicit BusLock(Bus& b) : bus_(b), fd_(b.lockBus()) {}
    ~BusLock() { bus_.unlockBus(fd_); }
    BusLock(const BusLock&) = delete;
    BusLock& operator=(const BusLock&) = delete;
    bool held() const { return fd_ >= 0; }

private:
    Bus& bus_;
    int fd_;
};

// The profile named in a config file, whatever else it says ("" if none).
std::string profileOf(const fs::path& dir) {
    std::ifstream in(dir / "config");
    std::string line;
    while (std::getline(in, line))
        if (line.rfind("profile=", 0) == 0) return printable(line.substr(8));
    return "";
}

struct FaultWord {
    const char* word;
    FaultKind kind;
    int args;
    const char* help;
};

const FaultWord kFaults[] = {
    {"bad-block", FaultKind::BadBlock, 2, "bad-block CHIP BLOCK      factory-bad block (bad mark now and after every erase)"},
    {"lba-read", FaultKind::LbaRead, 2, "lba-read LUN LBA          reading that sector fails"},
    {"lba-write", FaultKind::LbaWrite, 2, "lba-write LUN LBA         writing that sector fails"},
    {"lba-corrupt", FaultKind::LbaCorrupt, 2, "lba-corrupt LUN LBA       that sector reads back wrong"},
    {"lba-torn", FaultKind::LbaTorn, 2,
     "lba-torn LUN LBA          the next write of that sector fails after its first half is written (one shot)"},
    {"eeprom-word", FaultKind::EepromWord, 1, "eeprom-word INDEX         writing that EEPROM word fails"},
    {"eeprom-read", FaultKind::EepromRead, 1, "eeprom-read INDEX         reading that EEPROM word fails (also VelkReadEepData)"},
    {"eep-data-write", FaultKind::EepDataWrite, 0, "eep-data-write            VelkWriteEepData fails"},
    {"fw-write", FaultKind::FwWrite, 0, "fw-write                  firmware write fails half way"},
    {"fw-read", FaultKind::FwRead, 0, "fw-read                   firmware read fails half way"},
    {"rom-write", FaultKind::RomWrite, 0, "rom-write                 external ROM write fails"},
    {"no-reenum", FaultKind::NoReenum, 0, "no-reenum                 after a ROM erase the device stays off the bus"},
    {"drive-info", FaultKind::DriveInfo, 0, "drive-info                VelkGetDriveInfo fails"},
    {"lun-count", FaultKind::LunCount, 1, "lun-count N               drive information reports LunCount N"},
    {"page-read", FaultKind::PageRead, 3, "page-read CHIP BLOCK PAGE that page (data and spare) cannot be read"},
    {"erase", FaultKind::Erase, 2, "erase CHIP BLOCK          that block cannot be erased"},
    {"crash-mid-write", FaultKind::CrashMidWrite, 0,
     "crash-mid-write           the next process writing a store dies half way (SIGKILL)"},
    {"crash-at-write", FaultKind::CrashAtWrite, 1,
     "crash-at-write N          the process doing the Nth store write from now dies half way through it (SIGKILL)"},
};

std::string hex4(uint32_t v) {
    char b[8];
    std::snprintf(b, sizeof b, "%04X", v & 0xFFFF);
    return b;
}

}  // namespace

namespace velk::sim {
bool parseNum(const std::string& s, uint32_t& out) {
    if (s.empty()) return false;
    int base = 10;
    std::string_view v = s;
    if (v.size() > 2 && v[0] == '0' && (v[1] == 'x' || v[1] == 'X')) {
        base = 16;
        v.remove_prefix(2);
    }
    uint32_t value = 0;
    auto [p, ec] = std::from_chars(v.data(), v.data() + v.size(), value, base);
    if (ec != std::errc() || p != v.data() + v.size()) return false;
    out = value;
    return true;
}

std::string faultHelp() {
    std::string s = "Faults (velk-sim fault NAME ...):\n";
    for (auto& f : kFaults) s += std::string("  ") + f.help + "\n";
    s += "  clear                     remove every fault\n";
    return s;
}
}  // namespace velk::sim

extern "C" {

const char* VelkSimBusDir(void) {
    static thread_local std::string dir;
    dir = currentBus()->dir().string();
    return dir.c_str();
}

int VelkSimSetBusDir(const char* dir) {
    return guarded([&] { return dir && *dir && setBusDir(dir) ? 1 : 0; }, 0);
}

const char* VelkSimLastError(void) { return lastError().c_str(); }

void VelkSimSetClock(VelkSimNowFn now, VelkSimSleepFn sleep, void* ctx) { setClock(now, sleep, ctx); }

int64_t VelkSimNow(void) { return nowMs(); }

int VelkSimListDevices(VelkSimDeviceInfo* out, int max) {
    return guarded(
        [&]() -> int {
            auto bus = currentBus();
            if (!bus->ok()) return -1;
            auto names = bus->deviceNames();
            int n = 0;
            for (auto& name : names) {
                if (!validName(name.c_str())) continue;
                auto d = Device::open(bus, name);
                if (!d) {
                    if (out && n < max) {
                        VelkSimDeviceInfo& i = out[n];
                        std::memset(&i, 0, sizeof i);
                        std::snprintf(i.name, sizeof i.name, "%s", name.c_str());
                        std::snprintf(i.profile, sizeof i.profile, "%s", profileOf(bus->deviceDir(name)).c_str());
                        i.damaged = 1;
                        std::string why = lastError();
                        const std::string lead = "device '" + name + "' is damaged: ";
                        if (why.rfind(lead, 0) == 0) why = why.substr(lead.size());
                        if (size_t cut = why.find(" (velk-sim remove"); cut != std::string::npos) why.resize(cut);
                        std::snprintf(i.problem, sizeof i.problem, "%s", why.c_str());
                    }
                    ++n;
                    continue;
                }
                if (out && n < max) {
                    VelkSimDeviceInfo& i = out[n];
                    std::memset(&i, 0, sizeof i);
                    const Config& c = d->config();
                    std::snprintf(i.name, sizeof i.name, "%s", name.c_str());
                    std::snprintf(i.profile, sizeof i.profile, "%s", c.profile.c_str());
                    std::snprintf(i.instance, sizeof i.instance, "%s", c.instance.c_str());
                    i.vid = c.vid;
                    i.pid = c.pid;
                    i.rev = c.rev;
                    i.deviceClass = c.deviceClass;
                    i.lunCount = uint8_t(c.luns.size());
                    i.attached = d->attached() ? 1 : 0;
                    i.plugged = d->state()->plugged.load() ? 1 : 0;
                }
                ++n;
            }
            return n;
        },
        -1);
}

uint64_t VelkSimBusSequence(void) {
    return guarded([] { return currentBus()->sequence(); }, uint64_t(0));
}

int VelkSimBusWatchFd(void) {
    return guarded(
        [] {
            static std::mutex m;
            static int fd = -1;
            static std::string watched;
            std::lock_guard<std::mutex> lk(m);
            std::string dir = currentBus()->dir().string();
            if (fd >= 0 && watched == dir) return fd;
            if (fd < 0) fd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
            if (fd < 0) return -1;
            // The events file is rewritten on every attach/detach; creation and
            // removal of devices show in the devices folder.
            if (inotify_add_watch(fd, dir.c_str(), IN_MODIFY | IN_CREATE | IN_MOVED_TO | IN_DELETE | IN_CLOSE_WRITE) < 0 ||
                inotify_add_watch(fd, (dir + "/devices").c_str(), IN_CREATE | IN_MOVED_TO | IN_DELETE | IN_MOVED_FROM) < 0)
                return -1;
            watched = dir;
            return fd;
        },
        -1);
}

void VelkSimDrainWatch(void) {
    int fd = VelkSimBusWatchFd();
    if (fd < 0) return;
    char buf[4096];
    while (read(fd, buf, sizeof buf) > 0) {
    }
}

int64_t VelkSimNextScheduledChange(void) {
    return guarded([] { return currentBus()->nextScheduled(); }, int64_t(-1));
}

int VelkSimCreate(const char* name, const char* profile, const char* const* settings) {
    return guarded(
        [&] {
            if (!validName(name)) {
                setError(std::string("bad device name '") + (name ? name : "") + "'");
                return 0;
            }
            std::vector<std::string> sets;
            for (auto p = settings; p && *p; ++p) sets.emplace_back(*p);
            auto cfg = makeConfig(profile ? profile : "", sets, name);
            if (!cfg) return 0;
            auto bus = currentBus();
            if (!bus->ok()) return 0;
            std::shared_ptr<Device> d;
            {
                BusLock lock(*bus);
                if (lock.held()) sweepScratch(*bus);
                if (!Device::create(*bus, name, *cfg)) return 0;
                d = Device::open(bus, name);
                if (!d) {
                    // Made but not usable: it goes again.
                    const std::string why = lastError();
                    std::error_code ec;
                    fs::remove_all(bus->deviceDir(name), ec);
                    setError("cannot create device '" + std::string(name) + "': " + why);
                    return 0;
                }
            }
            d->recordFirstAttach();
            bus->changed(std::string("create ") + name);
            return 1;
        },
        0);
}

int VelkSimRemove(const char* name) {
    return guarded(
        [&] {
            if (!validName(name)) {
                setError(std::string("bad device name '") + (name ? name : "") + "'");
                return 0;
            }
            auto bus = currentBus();
            if (!bus->ok()) return 0;
            fs::path dir = bus->deviceDir(name);
            std::error_code ec;
            {
                BusLock lock(*bus);
                if (!fs::is_directory(dir, ec)) {
                    setError(std::string("no such device: ") + name);
                    return 0;
                }
                // Handles on it (in any process) see it gone; no device lock is
                // needed for the flag, and a damaged device may have none.
                Device::markRemoved(dir);
                fs::path gone = bus->devicesDir() / (std::string(".gone-") + name + "-" + std::to_string(getpid()));
                fs::rename(dir, gone, ec);
                if (ec) {
                    setError(std::string("cannot remove ") + name + ": " + ec.message());
                    return 0;
                }
                fs::remove_all(gone, ec);
                if (lock.held()) sweepScratch(*bus);
            }
            bus->changed(std::string("remove ") + name);
            return 1;
        },
        0);
}

int VelkSimPlug(const char* name) {
    return guarded(
        [&] {
            auto d = openNamed(name);
            return d && d->setPlugged(true) ? 1 : 0;
        },
        0);
}

int VelkSimUnplug(const char* name) {
    return guarded(
        [&] {
            auto d = openNamed(name);
            return d && d->setPlugged(false) ? 1 : 0;
        },
        0);
}

int VelkSimSetMedia(const char* name, int lun, int present) {
    return guarded(
        [&] {
            auto d = openNamed(name);
            if (!d) return 0;
            if (lun < 0 || size_t(lun) >= d->config().luns.size()) {
                setError("no LUN " + std::to_string(lun) + " on " + name);
                return 0;
            }
            d->state()->media[lun].store(present ? 1 : 0);
            d->bus().changed(std::string(present ? "media-in " : "media-out ") + name + " " + std::to_string(lun));
            return 1;
        },
        0);
}

int VelkSimSetWriteProtect(const char* name, int on) {
    return guarded(
        [&] {
            auto d = openNamed(name);
            if (!d) return 0;
            d->state()->writeProtect.store(on ? 1 : 0);
            return 1;
        },
        0);
}

int VelkSimPressButton(const char* name) {
    return guarded(
        [&] {
            auto d = openNamed(name);
            if (!d) return 0;
            d->state()->buttonPresses.fetch_add(1);
            return 1;
        },
        0);
}

int VelkSimFault(const char* name, const char* command) {
    return guarded(
        [&] {
            auto d = openNamed(name);
            if (!d) return 0;
            std::istringstream in(command ? command : "");
            std::string word, tok;
            in >> word;
            std::vector<std::string> args;
            while (in >> tok) args.push_back(tok);
            if (word == "clear" && args.empty()) {
                Device::Lock lk(*d);
                if (!lk) return 0;
                d->clearFaults();
                return 1;
            }
            for (auto& f : kFaults) {
                if (word != f.word) continue;
                if (int(args.size()) != f.args) {
                    setError("fault " + word + " takes " + std::to_string(f.args) + " argument(s)");
                    return 0;
                }
                Fault fault{uint32_t(f.kind), 0, 0, 0};
                uint32_t* slots[3] = {&fault.a, &fault.b, &fault.c};
                for (int i = 0; i < f.args; ++i)
                    if (!parseNum(args[i], *slots[i])) {
                        setError("bad number '" + args[i] + "'");
                        return 0;
                    }
                const Config& c = d->config();
                if (f.kind == FaultKind::BadBlock || f.kind == FaultKind::Erase || f.kind == FaultKind::PageRead) {
                    if (fault.a >= c.chips || fault.b >= c.blocks[fault.a] ||
                        (f.kind == FaultKind::PageRead && fault.c >= c.pagesPerBlock[fault.a])) {
                        setError("no such flash location on " + std::string(name));
                        return 0;
                    }
                }
                if ((f.kind == FaultKind::LbaRead || f.kind == FaultKind::LbaWrite || f.kind == FaultKind::LbaCorrupt ||
                     f.kind == FaultKind::LbaTorn) &&
                    (fault.a >= c.luns.size() || fault.b >= c.luns[fault.a].sectors)) {
                    setError("no such sector on " + std::string(name));
                    return 0;
                }
                if ((f.kind == FaultKind::EepromWord || f.kind == FaultKind::EepromRead) && fault.a >= 64) {
                    setError("EEPROM word index out of range (0-63)");
                    return 0;
                }
                if (f.kind == FaultKind::LunCount && fault.a > 255) {
                    setError("LUN count out of range (0-255)");
                    return 0;
                }
                Device::Lock lk(*d);
                if (!lk) return 0;
                if (d->state()->faultCount >= kMaxFaults) {
                    setError("too many faults on " + std::string(name));
                    return 0;
                }
                // The mark first: a fault is listed only once it is in place.
                if (f.kind == FaultKind::BadBlock && !d->writeBadMark(uint8_t(fault.a), fault.b)) return 0;
                return d->addFault(fault) ? 1 : 0;
            }
            setError("unknown fault '" + word + "'");
            return 0;
        },
        0);
}

size_t VelkSimDescribe(const char* name, char* buf, size_t size) {
    return guarded(
        [&]() -> size_t {
            auto d = openNamed(name);
            if (!d) return 0;
            const Config& c = d->config();
            State* s = d->state();
            std::ostringstream o;
            o << "name:        " << name << "\n"
              << "profile:     " << c.profile << "\n"
              << "usb:         Vid_" << hex4(c.vid) << "&Pid_" << hex4(c.pid) << "&Rev_" << hex4(c.rev)
              << "  instance " << c.instance << "\n"
              << "class:       " << hex4(c.deviceClass).substr(2) << "h  " << c.description << "\n"
              << "bus:         " << (d->attached() ? "attached" : "detached")
              << (s->plugged.load() ? "" : " (unplugged)");
            if (s->offBus.load() && s->plugged.load()) {
                int64_t at = s->returnAt.load();
                o << (at < 0 ? " (off the bus until plugged)" : " (back at clock " + std::to_string(at) + " ms)");
            }
            o << "\ntiming:      " << (c.realistic ? "realistic" : "instant")
              << "   autoreplug " << (c.autoReplugMs < 0 ? std::string("off") : std::to_string(c.autoReplugMs) + " ms")
              << "\nwrite-protect: " << (s->writeProtect.load() ? "on" : "off")
              << "   button presses pending: " << s->buttonPresses.load() << "\n";
            static const char* slotNames[] = {"XD", "Flash", "?", "IDE", "CF", "SM", "SD/MMC", "MS/Pro"};
            for (size_t i = 0; i < c.luns.size(); ++i) {
                const LunConfig& l = c.luns[i];
                const char* slot = "?";
                for (int b = 0; b < 8; ++b)
                    if (l.slot == (1u << b)) slot = slotNames[b];
                o << "lun " << i << ":       " << (l.cdrom ? "CD-ROM" : slot) << ", " << l.sectors << " x " << l.blockLength
                  << " bytes, " << (s->media[i].load() ? "medium in" : "empty") << "\n";
            }
            if (c.chips) {
                o << "nand:        " << int(c.chips) << " chip(s), " << c.pageSize << "+" << c.spareSize() << " bytes/page:";
                for (uint8_t i = 0; i < c.chips; ++i) o << " [" << c.blocks[i] << " blocks x " << c.pagesPerBlock[i] << " pages]";
                o << "\n";
            }
            char window[16];
            std::snprintf(window, sizeof window, "%04Xh", unsigned(c.eepWindow));
            o << "rom:         " << c.romSize << " bytes, code " << c.codeStart << "+" << c.codeSize << ", EEP copy at "
              << window << "\n";
            o << "eeprom:     ";
            for (int i = 0; i < 8; ++i) o << " " << hex4(s->eeprom[i]);
            o << " ...\n";
            o << "cis:         AccessTimeSel " << int(s->cis[VELK_CIS_ACCESS_TIME_SEL]) << ", CopyBackOff "
              << int(s->cis[VELK_CIS_COPY_BACK_OFF]) << "\nformat progress pair: " << s->progressA << ", "
              << s->progressB << "\n";
            uint32_t n = std::min<uint32_t>(s->faultCount, kMaxFaults);
            o << "faults:      " << (n ? "" : "none");
            for (uint32_t i = 0; i < n; ++i) {
                const Fault& f = s->faults[i];
                for (auto& fw : kFaults) {
                    if (uint32_t(fw.kind) != f.kind) continue;
                    o << (i ? "; " : "") << fw.word;
                    const uint32_t vals[3] = {f.a, f.b, f.c};
                    for (int k = 0; k < fw.args; ++k) o << " " << vals[k];
                }
            }
            o << "\n";
            std::string text = o.str();
            if (buf && size) {
                size_t n2 = std::min(size - 1, text.size());
                std::memcpy(buf, text.data(), n2);
                buf[n2] = 0;
            }
            return text.size() + 1;
        },
        size_t(0));
}

const char* const* VelkSimProfiles(void) { return profileNames(); }

}  // extern "C"
