// store.cpp - the bus directory, the clock and the mapped device stores.
#include "sim.h"

#include <velk.h>
#include <velk_sim.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#if defined(VELK_HAVE_REGSTORE)
#include "regstore.h"
#endif

namespace velk::sim {

// ---- clock -------------------------------------------------------------------------

namespace {

struct ClockFns {
    VelkSimNowFn now = nullptr;
    VelkSimSleepFn sleep = nullptr;
    void* ctx = nullptr;
};
std::mutex g_clockMutex;
ClockFns g_clock;

ClockFns clockFns() {
    std::lock_guard<std::mutex> lk(g_clockMutex);
    return g_clock;
}

}  // namespace

int64_t nowMs() {
    ClockFns c = clockFns();
    if (c.now) return c.now(c.ctx);
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

void sleepMs(int64_t ms) {
    if (ms <= 0) return;
    ClockFns c = clockFns();
    if (c.sleep) {
        c.sleep(c.ctx, ms);
        return;
    }
    timespec ts{time_t(ms / 1000), long(ms % 1000) * 1000000L};
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}

void setClock(VelkSimNowFn now, VelkSimSleepFn sleep, void* ctx) {
    std::lock_guard<std::mutex> lk(g_clockMutex);
    g_clock = ClockFns{now, sleep, ctx};
}

// ---- errors ---------------------------------------------------------------------

namespace {
thread_local std::string t_error;
}
void setError(std::string msg) { t_error = std::move(msg); }
const std::string& lastError() { return t_error; }

// ---- store faults ------------------------------------------------------------------
//
// A mapped store page that the file system cannot provide (the file shrank
// under the mapping, or it ran out of space when the page was first written)
// raises SIGBUS. The handler below knows the library's mappings: it maps a
// private zero page over the faulting one, counts the fault on the device
// (whose calls then fail) and lets the access finish. Any other SIGBUS goes
// to the handler that was there before, or ends the process as it would have.

namespace {

constexpr int kFaultSlots = 1024;
struct FaultSlot {
    std::atomic<uintptr_t> begin{0}, end{0};
    std::atomic<std::atomic<uint32_t>*> faults{nullptr};
};
FaultSlot g_faultSlots[kFaultSlots];
std::mutex g_faultSlotMutex;
struct sigaction g_previousBus {};
uintptr_t g_pageSize = 4096;

void onStoreFault(int sig, siginfo_t* info, void* context) {
    const uintptr_t addr = reinterpret_cast<uintptr_t>(info->si_addr);
    if (info->si_code > 0) {
        for (auto& slot : g_faultSlots) {
            const uintptr_t b = slot.begin.load(std::memory_order_acquire);
            if (b == 0 || addr < b || addr >= slot.end.load(std::memory_order_acquire)) continue;
            const uintptr_t page = addr & ~(g_pageSize - 1);
            const long r = syscall(SYS_mmap, page, g_pageSize, PROT_READ | PROT_WRITE,
                                   MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED, -1, 0);
            if (r != long(page)) break;
            if (auto* f = slot.faults.load(std::memory_order_acquire)) f->fetch_add(1, std::memory_order_acq_rel);
            return;
        }
    }
    if (g_previousBus.sa_flags & SA_SIGINFO) {
        g_previousBus.sa_sigaction(sig, info, context);
        return;
    }
    if (g_previousBus.sa_handler != SIG_DFL && g_previousBus.sa_handler != SIG_IGN) {
        g_previousBus.sa_handler(sig);
        return;
    }
    // The default action: a faulting access repeats and ends the process; a
    // SIGBUS sent by another process is raised again.
    struct sigaction dfl {};
    dfl.sa_handler = SIG_DFL;
    sigemptyset(&dfl.sa_mask);
    sigaction(SIGBUS, &dfl, nullptr);
    if (info->si_code <= 0) raise(SIGBUS);
}

int watchMapping(uint8_t* data, uint64_t size, std::atomic<uint32_t>* faults) {
    static std::once_flag once;
    std::call_once(once, [] {
        g_pageSize = uintptr_t(sysconf(_SC_PAGESIZE));
        struct sigaction sa {};
        sa.sa_sigaction = onStoreFault;
        sigemptyset(&sa.sa_mask);
        // Not blocked while it runs, so that nothing stays blocked should a
        // handler before it leave by a jump.
        sa.sa_flags = SA_SIGINFO | SA_NODEFER;
        sigaction(SIGBUS, &sa, &g_previousBus);
    });
    std::lock_guard<std::mutex> lk(g_faultSlotMutex);
    for (int i = 0; i < kFaultSlots; ++i) {
        FaultSlot& slot = g_faultSlots[i];
        if (slot.begin.load(std::memory_order_relaxed) != 0) continue;
        slot.faults.store(faults, std::memory_order_release);
        slot.end.store(reinterpret_cast<uintptr_t>(data) + size, std::memory_order_release);
        slot.begin.store(reinterpret_cast<uintptr_t>(data), std::memory_order_release);
        return i;
    }
    return -1;  // table full: this mapping goes unwatched
}

void unwatchMapping(int i) {
    if (i < 0) return;
    std::lock_guard<std::mutex> lk(g_faultSlotMutex);
    g_faultSlots[i].begin.store(0, std::memory_order_release);
    g_faultSlots[i].end.store(0, std::memory_order_release);
    g_faultSlots[i].faults.store(nullptr, std::memory_order_release);
}

}  // namespace

// ---- mappings ----------------------------------------------------------------------

Mapping::~Mapping() { unmap(); }

void Mapping::unmap() {
    unwatchMapping(slot_);
    slot_ = -1;
    if (data_) munmap(data_, size_);
    if (fd_ >= 0) ::close(fd_);
    data_ = nullptr;
    size_ = 0;
    fd_ = -1;
}

bool Mapping::map(const fs::path& file, uint64_t size, std::atomic<uint32_t>* faults) {
    unmap();
    fd_ = ::open(file.c_str(), O_RDWR | O_CLOEXEC);
    if (fd_ < 0) return false;
    struct stat st {};
    // A store never changes size after creation.
    if (fstat(fd_, &st) != 0 || !S_ISREG(st.st_mode) || uint64_t(st.st_size) != size) {
        unmap();
        return false;
    }
    if (size == 0) return true;
    void* p = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd_, 0);
    if (p == MAP_FAILED) {
        unmap();
        return false;
    }
    data_ = static_cast<uint8_t*>(p);
    size_ = size;
    slot_ = watchMapping(data_, size_, faults);
    return true;
}

namespace {

// fallocate, or (emulate) posix_fallocate, which on a file system without
// fallocate writes a zero byte into each block that reads as zero: safe only
// while no other process writes the file, that is under the device lock.
bool allocate(int fd, uint64_t off, uint64_t len, bool emulate) {
    if (len == 0) return true;
    for (;;) {
        int rc = emulate ? posix_fallocate(fd, off_t(off), off_t(len))
                         : (fallocate(fd, FALLOC_FL_KEEP_SIZE, off_t(off), off_t(len)) == 0 ? 0 : errno);
        if (rc == 0) return true;
        if (rc == EINTR) continue;
        errno = rc;
        return false;
    }
}

}  // namespace

namespace {

// Writes a new file whole (pwrite allocates what it writes, so a full file
// system shows here as an error rather than later as SIGBUS).
bool writeNewFile(const fs::path& file, const void* data, size_t n) {
    int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0) return false;
    const uint8_t* p = static_cast<const uint8_t*>(data);
    size_t done = 0;
    while (done < n) {
        ssize_t w = ::pwrite(fd, p + done, n - done, off_t(done));
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) {
            int e = w < 0 ? errno : ENOSPC;
            ::close(fd);
            errno = e;
            return false;
        }
        done += size_t(w);
    }
    if (::close(fd) != 0) return false;
    return true;
}

// A new sparse file of the given size, with single bytes written at the given
// offsets (they are allocated now).
bool writeSparseFile(const fs::path& file, uint64_t size, const std::vector<std::pair<uint64_t, uint8_t>>& bytes) {
    int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0) return false;
    bool ok = ftruncate(fd, off_t(size)) == 0;
    for (size_t i = 0; ok && i < bytes.size(); ++i) {
        ssize_t w;
        do w = ::pwrite(fd, &bytes[i].second, 1, off_t(bytes[i].first));
        while (w < 0 && errno == EINTR);
        ok = w == 1;
        if (w == 0) errno = ENOSPC;
    }
    int e = errno;
    if (::close(fd) != 0 && ok) return false;
    errno = e;
    return ok;
}

}  // namespace

// ---- bus ------------------------------------------------------------------------------

namespace {
constexpr uint32_t kBusMagic = 0x56425331;  // "VBS1"
}

Bus::Bus(fs::path dir) : dir_(std::move(dir)) {
    std::error_code ec;
    fs::create_directories(dir_ / "devices", ec);
    if (ec) return;
    int fd = ::open((dir_ / "bus.state").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) return;
    // Sized once under the bus lock so two first users agree; written, not
    // truncated into place, so that it takes its space on the disk now.
    flock(fd, LOCK_EX);
    struct stat st {};
    fstat(fd, &st);
    bool fresh = st.st_size < off_t(sizeof(BusHeader));
    if (fresh) {
        BusHeader zero{};
        std::memset(static_cast<void*>(&zero), 0, sizeof zero);
        if (::pwrite(fd, &zero, sizeof zero, 0) != ssize_t(sizeof zero)) {
            flock(fd, LOCK_UN);
            ::close(fd);
            return;
        }
    }
    void* p = mmap(nullptr, sizeof(BusHeader), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (p != MAP_FAILED) {
        header_ = static_cast<BusHeader*>(p);
        if (fresh || header_->magic != kBusMagic) {
            header_->seq.store(1);
            header_->nextDue.store(-1);
            header_->magic = kBusMagic;
        }
    }
    flock(fd, LOCK_UN);
    ::close(fd);
}

Bus::~Bus() {
    if (header_) munmap(header_, sizeof(BusHeader));
}

uint64_t Bus::sequence() {
    if (!header_) return 0;
    int64_t due = header_->nextDue.load(std::memory_order_acquire);
    if (due >= 0 && nowMs() >= due) applyDue();
    return header_->seq.load(std::memory_order_acquire);
}

void Bus::changed(const std::string& what) {
    if (!header_) return;
    uint64_t seq = header_->seq.fetch_add(1) + 1;
    fs::path events = dir_ / "events";
    int fd = ::open(events.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0) return;
    struct stat st {};
    if (fstat(fd, &st) == 0 && st.st_size > 64 * 1024 && ftruncate(fd, 0) != 0) {
        // A full events file only costs space; the line below still wakes watchers.
    }
    std::string line = std::to_string(seq) + " " + what + "\n";
    ssize_t w = ::write(fd, line.data(), line.size());
    (void)w;
    ::close(fd);
}

void Bus::scheduleAt(int64_t when) {
    if (!header_ || when < 0) return;
    int64_t cur = header_->nextDue.load();
    while ((cur < 0 || when < cur) && !header_->nextDue.compare_exchange_weak(cur, when)) {
    }
}

std::vector<std::string> Bus::deviceNames() const {
    std::vector<std::string> names;
    std::error_code ec;
    for (auto it = fs::directory_iterator(devicesDir(), ec); !ec && it != fs::directory_iterator(); it.increment(ec)) {
        std::string name = it->path().filename().string();
        // Skip devices being made or removed (".new-*", ".gone-*"). A folder
        // that is not a whole device is listed too: it shows as damaged.
        std::error_code ec2;
        if (!name.empty() && name[0] != '.' && it->is_directory(ec2)) names.push_back(name);
    }
    std::sort(names.begin(), names.end());
    return names;
}

int64_t Bus::nextScheduled() {
    if (!header_) return -1;
    // Recompute from the devices: a scheduled change that was cancelled (plug,
    // removal) drops out here.
    int64_t next = -1;
    auto self = shared_from_this();
    for (auto& n : deviceNames()) {
        auto d = Device::open(self, n);
        if (!d) continue;
        d->attached();  // applies what is due
        State* s = d->state();
        int64_t at = s->returnAt.load();
        if (s->offBus.load() && s->plugged.load() && !s->removed.load() && at >= 0)
            next = next < 0 ? at : std::min(next, at);
    }
    header_->nextDue.store(next);
    return next;
}

void Bus::applyDue() { nextScheduled(); }

int Bus::lockBus() const {
    int fd = ::open((dir_ / "bus.lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd >= 0) flock(fd, LOCK_EX);
    return fd;
}

void Bus::unlockBus(int fd) const {
    if (fd < 0) return;
    flock(fd, LOCK_UN);
    ::close(fd);
}

namespace {
std::mutex g_busMutex;
std::shared_ptr<Bus> g_bus;

std::string defaultBusDir() {
    if (const char* d = std::getenv("VELK_SIM_DIR"); d && *d) return d;
    if (const char* x = std::getenv("XDG_STATE_HOME"); x && *x) return std::string(x) + "/velk-sim";
    const char* home = std::getenv("HOME");
    return std::string(home && *home ? home : "/tmp") + "/.local/state/velk-sim";
}
}  // namespace

std::shared_ptr<Bus> currentBus() {
    std::lock_guard<std::mutex> lk(g_busMutex);
    if (!g_bus) {
        auto b = std::make_shared<Bus>(defaultBusDir());
        if (!b->ok()) {
            setError("cannot open the bus directory " + b->dir().string());
            return b;
        }
        g_bus = b;
    }
    return g_bus;
}

bool setBusDir(const std::string& dir) {
    auto b = std::make_shared<Bus>(dir);
    if (!b->ok()) {
        setError("cannot create the bus directory " + dir);
        return false;
    }
    std::lock_guard<std::mutex> lk(g_busMutex);
    g_bus = b;
    return true;
}

// ---- configuration file ---------------------------------------------------------

std::optional<Config> loadConfig(const fs::path& deviceDir, const std::string& name) {
    std::error_code ec;
    if (!fs::is_directory(deviceDir, ec)) {
        setError("no such device: " + name);
        return std::nullopt;
    }
    const std::string damaged = "device '" + name + "' is damaged: ";
    const std::string remedy = " (velk-sim remove " + name + " deletes it)";
    std::ifstream in(deviceDir / "config");
    if (!in) {
        setError(damaged + "its config file is missing" + remedy);
        return std::nullopt;
    }
    std::string line, profile;
    std::vector<std::string> settings;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.empty() || line[0] == '#') continue;
        if (line.rfind("profile=", 0) == 0)
            profile = line.substr(8);
        else
            settings.push_back(line);
    }
    auto cfg = makeConfig(profile, settings, name);
    if (!cfg) setError(damaged + "its config file says: " + lastError() + remedy);
    return cfg;
}

// ---- device ---------------------------------------------------------------------------

namespace {

// A plausible 8051-style firmware image: a reset vector, pseudo-random code
// and tables over three quarters of the code area, version and signature at
// F8h/FCh, erased (FFh) above.
void fillFirmware(uint8_t* rom, const Config& c, uint32_t seed) {
    std::memset(rom, 0xFF, c.romSize);
    uint32_t end = c.codeStart + c.codeSize * 3 / 4;
    uint32_t x = seed | 1;
    for (uint32_t i = c.codeStart; i < end; ++i) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        rom[i] = uint8_t(x >> 7);
    }
    rom[c.codeStart + 0] = 0x02;  // LJMP 0100h
    rom[c.codeStart + 1] = 0x01;
    rom[c.codeStart + 2] = 0x00;
    std::memcpy(rom + c.codeStart + 0xF8, c.version.data(), 4);
    std::memcpy(rom + c.codeStart + 0xFC, c.signature.data(), 4);
}

void putString(uint8_t* rec, size_t off, const std::string& s) {
    std::memset(rec + off, 0, 64);
    std::memcpy(rec + off, s.data(), std::min<size_t>(s.size(), 63));
}

// The settings record a new device is programmed with (layouts by class).
void defaultRecord(const Config& c, uint8_t* rec) {
    std::memset(rec, 0, VELK_EEP_RECORD_SIZE);
    uint32_t one = 1;
    std::memcpy(rec, &one, 4);
    std::memcpy(rec + 4, &c.vid, 2);
    std::memcpy(rec + 6, &c.pid, 2);
    uint8_t cls = c.deviceClass;
    if (cls <= 0x0F) {
        uint16_t atapi = uint16_t(c.pid + 1);
        std::memcpy(rec + 8, &atapi, 2);
        putString(rec, 14, "VELK");
        putString(rec, 78, "IDE Bridge");
        putString(rec, 142, "USB");
        putString(rec, 206, "00000001");
    } else if (cls <= 0x1F && cls != 0x14) {
        rec[10] = 0;          // icon display number
        rec[12] = 0xF1;       // all card types under icon 0
        putString(rec, 18, "VELK");
        putString(rec, 82, "Card Reader");
        putString(rec, 146, "USB");
        putString(rec, 210, "00000001");
        putString(rec, 274, "CARD");
    } else if (cls == 0x14) {
        putString(rec, 12, "VELK");
        putString(rec, 76, "Card Reader");
        putString(rec, 140, "USB");
        putString(rec, 204, "00000001");
        putString(rec, 268, "VELK");
        putString(rec, 332, "Card Reader");
    } else if (cls <= 0x2F) {
        putString(rec, 10, "VELK");
        putString(rec, 74, "Flash Disk");
        putString(rec, 138, "USB");
        putString(rec, 202, "00000001");
        putString(rec, 266, "VELK");
        putString(rec, 330, "Flash Disk");
    }
}

}  // namespace

bool Device::create(Bus& bus, const std::string& name, const Config& cfg) {
    fs::path dir = bus.deviceDir(name);
    std::error_code ec;
    if (fs::exists(dir, ec) || fs::is_symlink(dir, ec)) {
        setError("device '" + name + "' exists");
        return false;
    }
    // Built in a scratch folder and renamed into place, so a reader never sees
    // a half-made device. Every store is written with pwrite, or made sparse,
    // before it is mapped: a file system without room fails a write here
    // instead of faulting under a mapping.
    fs::path tmp = bus.devicesDir() / (".new-" + name + "-" + std::to_string(getpid()));
    fs::remove_all(tmp, ec);
    if (!fs::create_directory(tmp, ec)) {
        setError("cannot create device '" + name + "': " + ec.message());
        return false;
    }
    auto failed = [&](const std::string& what) {
        const int err = errno;
        std::error_code ec2;
        fs::remove_all(tmp, ec2);
        setError("cannot create device '" + name + "': " + what + (err ? std::string(": ") + std::strerror(err) : ""));
        return false;
    };

    std::string text = "profile=" + cfg.profile + "\n";
    for (auto& kv : cfg.settings) text += kv + "\n";
    if (!writeNewFile(tmp / "config", text.data(), text.size())) return failed("cannot write its config");

    // EEPROM and its copy in the ROM: the profile's settings.
    uint8_t rec[VELK_EEP_RECORD_SIZE];
    defaultRecord(cfg, rec);
    uint16_t words[64];
    std::fill(std::begin(words), std::end(words), 0xFFFF);
    encodeEeprom(cfg.deviceClass, rec, words);

    std::vector<uint8_t> rom(cfg.romSize);
    fillFirmware(rom.data(), cfg, 0x9E3779B9u ^ uint32_t(cfg.pid) << 8 ^ cfg.deviceClass);
    if (uint64_t(cfg.eepWindow) + 128 > rom.size()) return failed("its EEP copy lies outside the ROM");
    for (int i = 0; i < 64; ++i) {
        rom[cfg.eepWindow + 2 * i] = uint8_t(words[i]);
        rom[cfg.eepWindow + 2 * i + 1] = uint8_t(words[i] >> 8);
    }
    if (!writeNewFile(tmp / "rom.bin", rom.data(), rom.size())) return failed("cannot write its ROM");

    // Factory-bad blocks carry their mark from the start (stored inverted:
    // value 00h is FFh on the disk), and their map bits are set.
    std::vector<uint8_t> map(cfg.nandMapBytes(), 0);
    std::vector<std::pair<uint64_t, uint8_t>> marks;
    for (auto& [chip, block] : cfg.factoryBad) {
        uint32_t ppb = cfg.pagesPerBlock[chip];
        uint64_t base = cfg.spareBase(chip) + uint64_t(block) * ppb * cfg.spareSize();
        size_t markByte = cfg.pageSize == 512 ? 5 : 0;
        for (uint32_t p = 0; p < 2 && p < ppb; ++p) {
            uint64_t off = base + uint64_t(p) * cfg.spareSize() + markByte;
            map[off / kNandUnit / 8] |= uint8_t(1u << (off / kNandUnit % 8));
            marks.emplace_back(off, 0xFF);
        }
    }
    if (!writeSparseFile(tmp / "nand.bin", cfg.nandBytes(), marks)) return failed("cannot write its flash store");
    if (!writeNewFile(tmp / "nand.map", map.data(), map.size())) return failed("cannot write its flash map");
    for (size_t i = 0; i < cfg.luns.size(); ++i)
        if (!writeSparseFile(tmp / ("lun" + std::to_string(i) + ".img"), cfg.luns[i].sectors * cfg.luns[i].blockLength, {}))
            return failed("cannot make its LUN image");

    // The state record: allocated in full, then set up through its mapping.
    {
        std::vector<uint8_t> zeros(sizeof(State), 0);
        if (!writeNewFile(tmp / "state", zeros.data(), zeros.size())) return failed("cannot write its state record");
        Mapping st;
        if (!st.map(tmp / "state", sizeof(State), nullptr)) return failed("cannot map its state record");
        State* s = reinterpret_cast<State*>(st.data());
        s->magic = kStateMagic;
        s->size = sizeof(State);
        pthread_mutexattr_t attr;
        pthread_mutexattr_init(&attr);
        pthread_mutexattr_setpshared(&attr, PTHREAD_PROCESS_SHARED);
        pthread_mutexattr_setrobust(&attr, PTHREAD_MUTEX_ROBUST);
        pthread_mutex_init(&s->lock, &attr);
        pthread_mutexattr_destroy(&attr);
        s->plugged.store(1);
        s->offBus.store(0);
        s->returnAt.store(-1);
        for (size_t i = 0; i < cfg.luns.size(); ++i) s->media[i].store(cfg.luns[i].present ? 1 : 0);
        std::memcpy(s->eeprom, words, sizeof words);
    }
    // What was written must read back as this device (the config file, every
    // store), or nothing is left.
    if (!openAt(bus.shared_from_this(), name, tmp)) {
        errno = 0;
        return failed("it does not read back (" + lastError() + ")");
    }
    fs::rename(tmp, dir, ec);
    if (ec) {
        errno = ec.value();
        return failed("cannot move it into place");
    }
    return true;
}

std::shared_ptr<Device> Device::open(std::shared_ptr<Bus> bus, const std::string& name) {
    if (!bus || !bus->ok()) return nullptr;
    return openAt(bus, name, bus->deviceDir(name));
}

namespace {

// The owner glibc records in a robust mutex whose holder died and that was
// released without being made consistent: it can never be taken again. The
// library always makes it consistent, so it only shows in damaged bytes.
constexpr int kLockNotRecoverable = INT_MAX - 1;

// The kind word of a robust process-shared mutex as this C library sets it
// up; the lock bytes of a state record are checked against it before use.
int robustKind() {
    static const int kind = [] {
        pthread_mutexattr_t attr;
        pthread_mutexattr_init(&attr);
        pthread_mutexattr_setpshared(&attr, PTHREAD_PROCESS_SHARED);
        pthread_mutexattr_setrobust(&attr, PTHREAD_MUTEX_ROBUST);
        pthread_mutex_t m;
        pthread_mutex_init(&m, &attr);
        int k = m.__data.__kind;
        pthread_mutex_destroy(&m);
        pthread_mutexattr_destroy(&attr);
        return k;
    }();
    return kind;
}

void initRobust(pthread_mutex_t* m) {
    pthread_mutexattr_t attr;
    pthread_mutexattr_init(&attr);
    pthread_mutexattr_setpshared(&attr, PTHREAD_PROCESS_SHARED);
    pthread_mutexattr_setrobust(&attr, PTHREAD_MUTEX_ROBUST);
    pthread_mutex_init(m, &attr);
    pthread_mutexattr_destroy(&attr);
}

}  // namespace

std::shared_ptr<Device> Device::openAt(std::shared_ptr<Bus> bus, const std::string& name, const fs::path& dir) {
    auto cfg = loadConfig(dir, name);
    if (!cfg) return nullptr;
    std::shared_ptr<Device> d(new Device());
    d->bus_ = bus;
    d->name_ = name;
    d->cfg_ = *cfg;
    auto damaged = [&](const std::string& what) {
        setError("device '" + name + "' is damaged: " + what + " (velk-sim remove " + name + " deletes it)");
        return nullptr;
    };
    std::atomic<uint32_t>* faults = &d->faults_;
    if (!d->state_.map(dir / "state", sizeof(State), faults)) return damaged("its state record is missing or has the wrong size");
    const State* s = d->state();
    if (s->magic != kStateMagic || s->size != sizeof(State)) return damaged("its state record is not one of this simulator");
    if (s->lock.__data.__kind != robustKind() || s->lock.__data.__owner == kLockNotRecoverable)
        return damaged("the lock in its state record is not a valid lock");
    if (!d->rom_.map(dir / "rom.bin", cfg->romSize, faults)) return damaged("its ROM store rom.bin is missing or has the wrong size");
    if (!d->nand_.map(dir / "nand.bin", cfg->nandBytes(), faults))
        return damaged("its flash store nand.bin is missing or has the wrong size");
    if (!d->nandMap_.map(dir / "nand.map", cfg->nandMapBytes(), faults))
        return damaged("its flash map nand.map is missing or has the wrong size");
    for (size_t i = 0; i < cfg->luns.size(); ++i) {
        auto m = std::make_unique<Mapping>();
        std::string file = "lun" + std::to_string(i) + ".img";
        if (!m->map(dir / file, cfg->luns[i].sectors * cfg->luns[i].blockLength, faults))
            return damaged("its LUN image " + file + " is missing or has the wrong size");
        d->luns_.push_back(std::move(m));
    }
    d->lunBacked_.resize(cfg->luns.size());
    // Stores written whole at creation are allocated; this also covers
    // devices made sparse by older builds. The map is written by lock-free
    // bit updates, so it is allocated here once (a failure only means a fault
    // later, which the SIGBUS handler turns into failing calls).
    auto whole = [](const Mapping& m) {
        return allocate(m.fd(), 0, m.size(), false) || errno == EOPNOTSUPP;
    };
    d->stateBacked_ = whole(d->state_);
    d->romBacked_ = whole(d->rom_);
    whole(d->nandMap_);
    d->cacheLayout();
    return d;
}

void Device::markRemoved(const fs::path& deviceDir) {
    int fd = ::open((deviceDir / "state").c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0) return;
    struct stat st {};
    if (fstat(fd, &st) == 0 && uint64_t(st.st_size) == sizeof(State)) {
        void* p = mmap(nullptr, sizeof(State), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
        if (p != MAP_FAILED) {
            static_cast<State*>(p)->removed.store(1);
            munmap(p, sizeof(State));
        }
    }
    ::close(fd);
}

void Device::cacheLayout() {
    static_assert(VELK_MAX_CHIPS <= 8, "room for the per-chip layout");
    for (uint8_t c = 0; c < cfg_.chips && c < 8; ++c) {
        dataBase_[c] = cfg_.dataBase(c);
        spareBase_[c] = cfg_.spareBase(c);
        ppb_[c] = cfg_.pagesPerBlock[c];
    }
    spareSize_ = cfg_.spareSize();
    markByte_ = cfg_.pageSize == 512 ? 5 : 0;
}

// ---- the device lock ----------------------------------------------------------------
//
// A robust process-shared mutex in the state record: no system call while
// uncontended; a holder that dies hands it on with EOWNERDEAD, and the next
// holder finishes its write (recover). Its bytes live in a file, so they are
// checked before use: a lock whose kind word is not a robust shared one is
// refused (the device reads as damaged), and a lock held by a thread that
// does not exist, or whose word does not match the owner glibc records, is
// set up afresh. Waits are bounded: a call never hangs on a lock.

namespace {

constexpr int64_t kLockSliceMs = 200;
constexpr uint32_t kFutexTidMask = 0x3FFFFFFF;

bool threadAlive(pid_t tid) {
    if (tid <= 0) return false;
    char path[32];
    std::snprintf(path, sizeof path, "/proc/%d", int(tid));
    struct stat st {};
    if (stat(path, &st) == 0) return true;
    // Without /proc nothing can be told: take the holder for alive.
    return errno != ENOENT || stat("/proc/self", &st) != 0;
}

}  // namespace

Device::Lock::Lock(Device& d) : d_(d) { held_ = d.acquire(); }

Device::Lock::~Lock() {
    if (held_) pthread_mutex_unlock(&d_.state()->lock);
}

bool Device::acquire() {
    State* s = state();
    pthread_mutex_t* m = &s->lock;
    if (std::atomic_ref<int>(m->__data.__kind).load(std::memory_order_relaxed) != robustKind()) {
        setError("device '" + name_ + "' is damaged: the lock in its state record is not a valid lock");
        return false;
    }
    int rc = pthread_mutex_trylock(m);
    if (rc == EBUSY) rc = waitForLock();
    if (rc == EOWNERDEAD) {
        // The holder died: finish its write in flight, then go on.
        recover();
        pthread_mutex_consistent(m);
        rc = 0;
    }
    if (rc != 0) {
        setError("device '" + name_ + "': " +
                 (rc == ETIMEDOUT ? std::string("another process holds its lock and does not let go")
                                  : "its lock cannot be taken: " + std::string(std::strerror(rc))));
        return false;
    }
    // A write that a holder left unfinished without dying (its store faulted).
    if (s->journal.valid.load(std::memory_order_acquire) != 0) recover();
    return true;
}

int Device::waitForLock() {
    pthread_mutex_t* m = &state()->lock;
    int64_t waited = 0;
    uint32_t suspect = 0;
    for (;;) {
        timespec until{};
        clock_gettime(CLOCK_REALTIME, &until);
        until.tv_nsec += kLockSliceMs * 1000000;
        until.tv_sec += until.tv_nsec / 1000000000;
        until.tv_nsec %= 1000000000;
        int rc = pthread_mutex_timedlock(m, &until);
        if (rc != ETIMEDOUT) return rc;
        waited += kLockSliceMs;
        const uint32_t word = std::atomic_ref<int>(m->__data.__lock).load(std::memory_order_acquire);
        const pid_t tid = pid_t(word & kFutexTidMask);
        const pid_t owner = std::atomic_ref<int>(m->__data.__owner).load(std::memory_order_acquire);
        if (tid == 0) continue;
        // A holder records itself right after it takes the lock, so a word
        // that names another thread twice in a row, or a thread that is gone
        // (and was never handed on by the kernel), is not a lock anyone holds.
        bool stuck = !threadAlive(tid) || (tid != owner && suspect == word);
        suspect = tid != owner ? word : 0;
        if (stuck) {
            reinitLock(word);
            continue;
        }
        if (waited >= kLockPatienceMs) return ETIMEDOUT;
    }
}

void Device::reinitLock(uint32_t word) {
    // One process at a time (a file lock on the state record), and only if
    // nobody has taken or set up the lock meanwhile.
    flock(state_.fd(), LOCK_EX);
    pthread_mutex_t* m = &state()->lock;
    if (uint32_t(std::atomic_ref<int>(m->__data.__lock).load(std::memory_order_acquire)) == word) initRobust(m);
    flock(state_.fd(), LOCK_UN);
}

// ---- stores --------------------------------------------------------------------------

uint8_t* Device::storeBase(uint32_t store, uint64_t& size) const {
    if (store == uint32_t(StoreId::State)) {
        size = sizeof(State);
        return state_.data();
    }
    if (store == uint32_t(StoreId::Rom)) {
        size = rom_.size();
        return rom_.data();
    }
    if (store == uint32_t(StoreId::Nand)) {
        size = nand_.size();
        return nand_.data();
    }
    size_t lun = store - uint32_t(StoreId::Lun0);
    if (store >= uint32_t(StoreId::Lun0) && lun < luns_.size()) {
        size = luns_[lun]->size();
        return luns_[lun]->data();
    }
    size = 0;
    return nullptr;
}

namespace {
constexpr uint64_t kPage = 4096;            // LUN pages known to be allocated
constexpr uint64_t kLunChunk = 64 * 1024;   // allocated at a time where there is room
}  // namespace

bool Device::lunPagesKnown(size_t lun, uint64_t off, uint64_t len) const {
    const auto& bits = lunBacked_[lun];
    if (bits.empty() || len == 0) return len == 0;
    for (uint64_t p = off / kPage, last = (off + len - 1) / kPage; p <= last; ++p)
        if (!(bits[p / 64] >> (p % 64) & 1)) return false;
    return true;
}

void Device::lunPagesBacked(size_t lun, uint64_t off, uint64_t len) {
    if (len == 0) return;
    auto& bits = lunBacked_[lun];
    if (bits.empty()) bits.assign((luns_[lun]->size() + kPage * 64 - 1) / (kPage * 64), 0);
    for (uint64_t p = off / kPage, last = (off + len - 1) / kPage; p <= last; ++p) bits[p / 64] |= uint64_t(1) << (p % 64);
}

bool Device::backStore(uint32_t store, uint64_t off, uint64_t len) {
    if (len == 0) return true;
    if (store == uint32_t(StoreId::State)) return stateBacked_ || allocate(state_.fd(), off, len, false);
    if (store == uint32_t(StoreId::Rom)) return romBacked_ || allocate(rom_.fd(), off, len, false);
    if (store == uint32_t(StoreId::Nand)) {
        // A unit whose map bit is set is allocated (it is allocated before the
        // bit is set, and an erase punches it out only while clearing the bit).
        for (uint64_t u = off / kNandUnit, last = (off + len - 1) / kNandUnit; u <= last;) {
            if (mayHoldData(u * kNandUnit, 1)) {
                ++u;
                continue;
            }
            uint64_t v = u;
            while (v + 1 <= last && !mayHoldData((v + 1) * kNandUnit, 1)) ++v;
            const uint64_t a = u * kNandUnit, b = std::min((v + 1) * kNandUnit, nand_.size());
            if (!allocate(nand_.fd(), a, b - a, true)) return false;
            u = v + 1;
        }
        return true;
    }
    const size_t lun = store - uint32_t(StoreId::Lun0);
    if (store < uint32_t(StoreId::Lun0) || lun >= luns_.size()) return false;
    if (lunPagesKnown(lun, off, len)) return true;
    const uint64_t size = luns_[lun]->size();
    const int fd = luns_[lun]->fd();
    const uint64_t ca = off / kLunChunk * kLunChunk, cb = std::min(size, (off + len + kLunChunk - 1) / kLunChunk * kLunChunk);
    if (allocate(fd, ca, cb - ca, true)) {
        lunPagesBacked(lun, ca, cb - ca);
        return true;
    }
    // No room for the whole chunk: the pages themselves may still fit.
    const uint64_t pa = off / kPage * kPage, pb = std::min(size, (off + len + kPage - 1) / kPage * kPage);
    if (!allocate(fd, pa, pb - pa, true)) return false;
    lunPagesBacked(lun, pa, pb - pa);
    return true;
}

bool Device::copyOut(void* dst, const void* src, size_t n) const {
    const uint32_t before = faults_.load(std::memory_order_acquire);
    std::memcpy(dst, src, n);
    return faults_.load(std::memory_order_acquire) == before && before == 0;
}

bool Device::readLun(size_t lun, uint64_t off, uint8_t* out, size_t n) {
    if (lun >= luns_.size() || off > luns_[lun]->size() || n > luns_[lun]->size() - off || broken()) return false;
    if (!lunPagesKnown(lun, off, n)) {
        // First read of these pages by this process: the ones the file system
        // holds data for are learnt; a page it has not allocated is read with
        // pread, which returns zeros without allocating (a mapped read of it
        // allocates on tmpfs, and faults when the file system is full).
        const int fd = luns_[lun]->fd();
        bool all = true;
        for (uint64_t p = off / kPage * kPage; p < off + n; p += kPage) {
            if (lseek(fd, off_t(p), SEEK_DATA) == off_t(p))
                lunPagesBacked(lun, p, 1);
            else
                all = false;
        }
        if (!all) {
            size_t done = 0;
            while (done < n) {
                ssize_t r = ::pread(fd, out + done, n - done, off_t(off + done));
                if (r < 0 && errno == EINTR) continue;
                if (r <= 0) return false;
                done += size_t(r);
            }
            return true;
        }
    }
    return copyOut(out, luns_[lun]->data() + off, n);
}

bool Device::commit(StoreId store, uint32_t lun, uint64_t off, const uint8_t* data, size_t len) {
    Journal& j = state()->journal;
    uint32_t id = uint32_t(store) + (store == StoreId::Lun0 ? lun : 0);
    uint64_t size = 0;
    uint8_t* base = storeBase(id, size);
    if (!base || off > size || len > size - off || broken()) return false;
    if (!backStore(id, off, len)) {
        setError("device '" + name_ + "': no room on the file system for the write (" + std::strerror(errno) + ")");
        return false;
    }
    while (len > 0) {
        size_t n = std::min(len, kJournalBytes);
        std::memcpy(j.data, data, n);
        j.kind = uint32_t(JournalKind::Copy);
        j.store = id;
        j.len = uint32_t(n);
        j.offset = off;
        j.valid.store(1, std::memory_order_seq_cst);
        if (hasFault(FaultKind::CrashMidWrite) || crashAtThisWrite()) crashHalfWay(base + off, data, n);
        std::memcpy(base + off, data, n);
        // A store that faulted under this mapping: the journal entry stays for
        // the next holder, whose mappings are whole, to finish or drop.
        if (broken()) return false;
        j.valid.store(0, std::memory_order_seq_cst);
        data += n;
        off += n;
        len -= n;
    }
    return true;
}

bool Device::crashAtThisWrite() {
    if (!hasFault(FaultKind::CrashAtWrite)) return false;
    State* s = state();
    for (uint32_t i = 0; i < s->faultCount && i < kMaxFaults; ++i) {
        Fault& f = s->faults[i];
        if (f.kind != uint32_t(FaultKind::CrashAtWrite)) continue;
        if (f.a > 1) {
            --f.a;
            return false;
        }
        return true;
    }
    return false;
}

// The crash faults: copy half, then die as a SIGKILL would leave it (one
// shot: the fault is gone for whoever comes next).
void Device::crashHalfWay(uint8_t* dst, const uint8_t* src, size_t n) {
    State* s = state();
    uint32_t kept = 0, kinds = 0;
    for (uint32_t i = 0; i < s->faultCount && i < kMaxFaults; ++i)
        if (s->faults[i].kind != uint32_t(FaultKind::CrashMidWrite) &&
            s->faults[i].kind != uint32_t(FaultKind::CrashAtWrite)) {
            kinds |= 1u << (s->faults[i].kind & 31);
            s->faults[kept++] = s->faults[i];
        }
    __atomic_store_n(&s->faultCount, kept, __ATOMIC_RELEASE);
    s->faultKinds.store(kinds, std::memory_order_release);
    std::memcpy(dst, src, n / 2);
    raise(SIGKILL);
    _exit(137);
}

// Finishes the journalled write of a holder that did not (under the lock).
// What cannot be finished is dropped, never retried: an entry whose fields
// are out of range, or whose target the file system has no room for now.
void Device::recover() {
    Journal& j = state()->journal;
    const uint32_t valid = j.valid.load();
    if (valid == 0) return;
    if (valid == 1 && j.kind == uint32_t(JournalKind::EraseBlock)) {
        uint8_t chip = uint8_t(j.offset >> 32);
        uint32_t block = uint32_t(j.offset);
        if ((j.offset >> 32) < cfg_.chips && block < cfg_.blocks[chip]) eraseBlockNow(chip, block);
    } else if (valid == 1 && j.kind == uint32_t(JournalKind::Copy)) {
        uint64_t size = 0;
        uint8_t* base = storeBase(j.store, size);
        if (base && j.len <= kJournalBytes && j.offset <= size && j.len <= size - j.offset &&
            backStore(j.store, j.offset, j.len)) {
            if (j.store == uint32_t(StoreId::Nand)) markWritten(j.offset, j.len);
            std::memcpy(base + j.offset, j.data, j.len);
        }
    }
    j.valid.store(0);
}

bool Device::attached() {
    State* s = state();
    if (broken() || s->removed.load(std::memory_order_acquire) || !s->plugged.load(std::memory_order_acquire))
        return false;
    if (!s->offBus.load(std::memory_order_acquire)) return true;
    int64_t at = s->returnAt.load(std::memory_order_acquire);
    if (at < 0 || nowMs() < at) return false;
    bool back = false;
    {
        Lock lk(*this);
        if (!lk) return false;
        if (s->offBus.load() && s->returnAt.load() == at) {
            s->offBus.store(0);
            s->returnAt.store(-1);
            back = true;
        }
    }
    if (back) bus_->changed("attach " + name_);
    return true;
}

bool Device::detach(int64_t delayMs) {
    State* s = state();
    int64_t at = delayMs < 0 ? -1 : nowMs() + delayMs;
    bool was;
    {
        Lock lk(*this);
        if (!lk) return false;
        was = s->plugged.load() && !s->offBus.load();
        s->returnAt.store(at);
        s->offBus.store(1);
    }
    if (at >= 0) bus_->scheduleAt(at);
    if (was) bus_->changed("detach " + name_);
    return true;
}

bool Device::setPlugged(bool on) {
    State* s = state();
    bool before, after;
    {
        Lock lk(*this);
        if (!lk) return false;
        before = s->plugged.load() && !s->offBus.load();
        s->plugged.store(on ? 1 : 0);
        if (on) {
            s->offBus.store(0);
            s->returnAt.store(-1);
        }
        after = on;
    }
    if (before != after) bus_->changed(std::string(after ? "attach " : "detach ") + name_);
    if (after) recordFirstAttach();
    return true;
}

void Device::recordFirstAttach() {
    State* s = state();
    if (s->registryRecorded.load()) return;
#if defined(VELK_HAVE_REGSTORE)
    regstore::Store store(bus_->dir() / "registry");
    if (!regstore::recordUsbDevice(store, cfg_.vid, cfg_.pid, cfg_.rev, cfg_.instance, cfg_.description)) return;
#endif
    s->registryRecorded.store(1);
}

bool Device::hasFault(FaultKind k, uint32_t a, uint32_t b, uint32_t c, int args) const {
    const State* s = state();
    if (!(s->faultKinds.load(std::memory_order_acquire) & (1u << (uint32_t(k) & 31)))) return false;
    uint32_t n = std::min<uint32_t>(__atomic_load_n(&s->faultCount, __ATOMIC_ACQUIRE), kMaxFaults);
    for (uint32_t i = 0; i < n; ++i) {
        const Fault& f = s->faults[i];
        if (f.kind != uint32_t(k)) continue;
        if (args >= 1 && f.a != a) continue;
        if (args >= 2 && f.b != b) continue;
        if (args >= 3 && f.c != c) continue;
        return true;
    }
    return false;
}

std::optional<uint32_t> Device::faultValue(FaultKind k) const {
    const State* s = state();
    if (!(s->faultKinds.load(std::memory_order_acquire) & (1u << (uint32_t(k) & 31)))) return std::nullopt;
    uint32_t n = std::min<uint32_t>(__atomic_load_n(&s->faultCount, __ATOMIC_ACQUIRE), kMaxFaults);
    for (uint32_t i = 0; i < n; ++i)
        if (s->faults[i].kind == uint32_t(k)) return s->faults[i].a;
    return std::nullopt;
}

bool Device::addFault(const Fault& f) {
    State* s = state();
    uint32_t n = s->faultCount;
    if (n >= kMaxFaults) return false;
    s->faults[n] = f;
    __atomic_store_n(&s->faultCount, n + 1, __ATOMIC_RELEASE);
    s->faultKinds.fetch_or(1u << (f.kind & 31), std::memory_order_release);
    return true;
}

void Device::removeFault(FaultKind k, uint32_t a, uint32_t b) {
    State* s = state();
    uint32_t n = std::min<uint32_t>(s->faultCount, kMaxFaults), kept = 0, kinds = 0;
    bool removed = false;
    for (uint32_t i = 0; i < n; ++i) {
        const Fault f = s->faults[i];
        if (!removed && f.kind == uint32_t(k) && f.a == a && f.b == b) {
            removed = true;
            continue;
        }
        kinds |= 1u << (f.kind & 31);
        s->faults[kept++] = f;
    }
    __atomic_store_n(&s->faultCount, kept, __ATOMIC_RELEASE);
    s->faultKinds.store(kinds, std::memory_order_release);
}

void Device::clearFaults() {
    State* s = state();
    __atomic_store_n(&s->faultCount, 0u, __ATOMIC_RELEASE);
    s->faultKinds.store(0, std::memory_order_release);
}

// ---- NAND ---------------------------------------------------------------------------

void Device::markWritten(uint64_t off, uint64_t n) {
    if (n == 0) return;
    uint8_t* map = nandMap_.data();
    for (uint64_t u = off / kNandUnit, last = (off + n - 1) / kNandUnit; u <= last; ++u) {
        std::atomic_ref<uint8_t> byte(map[u / 8]);
        uint8_t bit = uint8_t(1u << (u % 8));
        if (!(byte.load(std::memory_order_relaxed) & bit)) byte.fetch_or(bit, std::memory_order_seq_cst);
    }
}

bool Device::mayHoldData(uint64_t off, uint64_t n) const {
    if (n == 0) return false;
    const uint8_t* map = nandMap_.data();
    for (uint64_t u = off / kNandUnit, last = (off + n - 1) / kNandUnit; u <= last; ++u)
        if (std::atomic_ref<const uint8_t>(map[u / 8]).load(std::memory_order_acquire) & (1u << (u % 8))) return true;
    return false;
}

// Clears the bits of the units wholly inside [off, off+n), once they are zero.
void Device::markErased(uint64_t off, uint64_t n) {
    uint8_t* map = nandMap_.data();
    for (uint64_t u = (off + kNandUnit - 1) / kNandUnit, end = (off + n) / kNandUnit; u < end; ++u) {
        std::atomic_ref<uint8_t> byte(map[u / 8]);
        uint8_t bit = uint8_t(1u << (u % 8));
        if (byte.load(std::memory_order_relaxed) & bit) byte.fetch_and(uint8_t(~bit), std::memory_order_seq_cst);
    }
}

bool Device::readNand(uint64_t off, uint8_t* out, size_t n) const {
    // Unit by unit: one never programmed since its last erase is erased, and
    // no store page is touched for it.
    const uint8_t* p = nand_.data();
    const uint32_t before = faults_.load(std::memory_order_acquire);
    for (size_t done = 0; done < n;) {
        const uint64_t at = off + done;
        const size_t k = size_t(std::min<uint64_t>(n - done, (at / kNandUnit + 1) * kNandUnit - at));
        if (!mayHoldData(at, k))
            std::memset(out + done, 0xFF, k);
        else
            for (size_t i = 0; i < k; ++i) out[done + i] = uint8_t(~p[at + i]);
        done += k;
    }
    return before == 0 && faults_.load(std::memory_order_acquire) == 0;
}

bool Device::readErasedUnlocked(uint64_t off, uint8_t* out, size_t n) const {
    if (mayHoldData(off, n)) return false;
    std::memset(out, 0xFF, n);
    return true;
}

bool Device::marksErasedUnlocked(uint8_t chip, uint32_t block) const {
    uint32_t pages = std::min<uint32_t>(2, ppb_[chip]);
    for (uint32_t p = 0; p < pages; ++p)
        if (mayHoldData(spareOffset(chip, block, p) + markByte_, 1)) return false;
    return true;
}

bool Device::programNand(uint64_t off, const uint8_t* in, size_t n) {
    // Stored inverted: the value is ~stored, and programming can only clear
    // bits (value = old AND new), so stored |= ~new. The units are allocated
    // first (a failure changes nothing); then the written-map bits are set
    // before the store changes, so a reader never skips programmed bytes.
    if (broken()) return false;
    if (!backStore(uint32_t(StoreId::Nand), off, n)) {
        setError("device '" + name_ + "': no room on the file system for the write (" + std::strerror(errno) + ")");
        return false;
    }
    markWritten(off, n);
    const uint8_t* p = nand_.data() + off;
    uint8_t tmp[kJournalBytes];
    while (n > 0) {
        size_t k = std::min(n, kJournalBytes);
        for (size_t i = 0; i < k; ++i) tmp[i] = uint8_t(p[i] | uint8_t(~in[i]));
        if (!commit(StoreId::Nand, 0, off, tmp, k)) return false;
        p += k;
        in += k;
        off += k;
        n -= k;
    }
    return true;
}

bool Device::blockIsBad(uint8_t chip, uint32_t block) const {
    uint32_t pages = std::min<uint32_t>(2, ppb_[chip]);
    for (uint32_t p = 0; p < pages; ++p) {
        uint8_t v;
        if (!readNand(spareOffset(chip, block, p) + markByte_, &v, 1)) return true;
        if (v != 0xFF) return true;
    }
    return false;
}

bool Device::isFactoryBad(uint8_t chip, uint32_t block) const {
    for (auto& [c, b] : cfg_.factoryBad)
        if (c == chip && b == block) return true;
    return hasFault(FaultKind::BadBlock, chip, block, 0, 2);
}

bool Device::writeBadMark(uint8_t chip, uint32_t block) {
    uint32_t pages = std::min<uint32_t>(2, ppb_[chip]);
    uint8_t zero = 0;
    for (uint32_t p = 0; p < pages; ++p)
        if (!programNand(spareOffset(chip, block, p) + markByte_, &zero, 1)) return false;
    return true;
}

bool Device::eraseBlock(uint8_t chip, uint32_t block) {
    if (broken()) return false;
    Journal& j = state()->journal;
    j.kind = uint32_t(JournalKind::EraseBlock);
    j.offset = uint64_t(chip) << 32 | block;
    j.valid.store(1, std::memory_order_seq_cst);
    eraseBlockNow(chip, block);
    if (broken()) return false;
    j.valid.store(0, std::memory_order_seq_cst);
    return true;
}

// Zeroes the units of [off, off+len) of nand.bin whose map bits are set (a
// clear unit is zero already, and may not be allocated: it is not written).
// With punch, whole file pages are punched out (they read back as zeros,
// i.e. erased, and give their space back); the rest is cleared by hand, on
// units that are allocated.
void Device::zeroNand(uint64_t off, uint64_t len, bool punch) {
    static const uint64_t pg = uint64_t(sysconf(_SC_PAGESIZE));
    uint8_t* base = nand_.data();
    const uint64_t end = off + len;
    for (uint64_t u = off / kNandUnit; u * kNandUnit < end;) {
        if (!mayHoldData(std::max(off, u * kNandUnit), 1)) {
            ++u;
            continue;
        }
        uint64_t v = u + 1;
        while (v * kNandUnit < end && mayHoldData(v * kNandUnit, 1)) ++v;
        const uint64_t a = std::max(off, u * kNandUnit), b = std::min(end, v * kNandUnit);
        const uint64_t pa = (a + pg - 1) / pg * pg, pb = b / pg * pg;
        if (punch && pb > pa &&
            fallocate(nand_.fd(), FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE, off_t(pa), off_t(pb - pa)) == 0) {
            std::memset(base + a, 0, pa - a);
            std::memset(base + pb, 0, b - pb);
        } else {
            std::memset(base + a, 0, b - a);
        }
        u = v;
    }
}

void Device::eraseBlockNow(uint8_t chip, uint32_t block) {
    const uint64_t pages = ppb_[chip];
    const uint64_t dataOff = dataOffset(chip, block, 0), dataLen = pages * cfg_.pageSize;
    const uint64_t spareOff = spareOffset(chip, block, 0), spareLen = pages * spareSize_;
    const bool factoryBad = isFactoryBad(chip, block);
    zeroNand(dataOff, dataLen, true);
    // A factory-bad block's marks are written again below: its spares are
    // cleared in place, so the pages holding the marks stay allocated.
    zeroNand(spareOff, spareLen, !factoryBad);
    markErased(dataOff, dataLen);
    // A factory-bad block keeps the map bits of its spare area, so a reader
    // without the lock never sees its marks erased.
    if (!factoryBad) markErased(spareOff, spareLen);
    if (factoryBad) {
        // Part of the erase's own journal entry: redone with it.
        uint8_t* p = nand_.data();
        for (uint32_t pg2 = 0; pg2 < std::min<uint32_t>(2, ppb_[chip]); ++pg2) {
            uint64_t off = spareOffset(chip, block, pg2) + markByte_;
            if (!mayHoldData(off, 1) && !backStore(uint32_t(StoreId::Nand), off, 1)) continue;
            markWritten(off, 1);
            p[off] = 0xFF;  // stored inverted: value 00h
        }
    }
}

}  // namespace velk::sim
