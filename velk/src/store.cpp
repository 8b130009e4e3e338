// store.cpp - the bus directory, the clock and the mapped device stores.
#include "sim.h"

#include <velk.h>
#include <velk_sim.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
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

// ---- mappings ----------------------------------------------------------------------

Mapping::~Mapping() {
    if (data_) munmap(data_, size_);
    if (fd_ >= 0) ::close(fd_);
}

bool Mapping::map(const fs::path& file, uint64_t size, bool create) {
    fd_ = ::open(file.c_str(), O_RDWR | O_CLOEXEC | (create ? O_CREAT : 0), 0644);
    if (fd_ < 0) return false;
    struct stat st {};
    if (fstat(fd_, &st) != 0) return false;
    if (uint64_t(st.st_size) != size) {
        if (!create) return false;  // a store never changes size after creation
        if (ftruncate(fd_, off_t(size)) != 0) return false;
    }
    if (size == 0) return true;
    void* p = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd_, 0);
    if (p == MAP_FAILED) return false;
    data_ = static_cast<uint8_t*>(p);
    size_ = size;
    return true;
}

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
    // Size it once under the bus lock so two first users agree.
    flock(fd, LOCK_EX);
    struct stat st {};
    fstat(fd, &st);
    bool fresh = st.st_size < off_t(sizeof(BusHeader));
    if (fresh && ftruncate(fd, sizeof(BusHeader)) != 0) {
        ::close(fd);
        return;
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
        // Skip devices being made or removed (".new-*", ".gone-*").
        if (!name.empty() && name[0] != '.' && it->is_directory(ec) && fs::exists(it->path() / "state", ec))
            names.push_back(name);
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
    std::ifstream in(deviceDir / "config");
    if (!in) {
        setError("no such device: " + name);
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
    return makeConfig(profile, settings, name);
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
    if (fs::exists(dir, ec)) {
        setError("device '" + name + "' exists");
        return false;
    }
    // Built in a scratch folder and renamed into place, so a reader never sees
    // a half-made device.
    fs::path tmp = bus.devicesDir() / (".new-" + name + "-" + std::to_string(getpid()));
    fs::remove_all(tmp, ec);
    if (!fs::create_directories(tmp, ec)) {
        setError("cannot create " + tmp.string());
        return false;
    }
    auto cleanup = [&] { fs::remove_all(tmp, ec); };
    {
        std::ofstream out(tmp / "config");
        out << "profile=" << cfg.profile << "\n";
        for (auto& s : cfg.settings) out << s << "\n";
        if (!out) {
            cleanup();
            setError("cannot write the device configuration");
            return false;
        }
    }
    Mapping st, rom, nand, nandMap;
    if (!st.map(tmp / "state", sizeof(State), true) || !rom.map(tmp / "rom.bin", cfg.romSize, true) ||
        !nand.map(tmp / "nand.bin", cfg.nandBytes(), true) || !nandMap.map(tmp / "nand.map", cfg.nandMapBytes(), true)) {
        cleanup();
        setError("cannot create the device stores");
        return false;
    }
    for (size_t i = 0; i < cfg.luns.size(); ++i) {
        Mapping l;
        if (!l.map(tmp / ("lun" + std::to_string(i) + ".img"), cfg.luns[i].sectors * cfg.luns[i].blockLength, true)) {
            cleanup();
            setError("cannot create the LUN image");
            return false;
        }
    }
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
    std::memset(s->cis, 0, sizeof s->cis);
    fillFirmware(rom.data(), cfg, 0x9E3779B9u ^ uint32_t(cfg.pid) << 8 ^ cfg.deviceClass);

    // EEPROM and its copy in the ROM: the profile's settings.
    uint8_t rec[VELK_EEP_RECORD_SIZE];
    defaultRecord(cfg, rec);
    uint16_t words[64];
    std::fill(std::begin(words), std::end(words), 0xFFFF);
    encodeEeprom(cfg.deviceClass, rec, words);
    std::memcpy(s->eeprom, words, sizeof words);
    for (int i = 0; i < 64; ++i) {
        rom.data()[cfg.eepWindow + 2 * i] = uint8_t(words[i]);
        rom.data()[cfg.eepWindow + 2 * i + 1] = uint8_t(words[i] >> 8);
    }
    // Factory-bad blocks carry their mark from the start (map bit first).
    for (auto& [chip, block] : cfg.factoryBad) {
        uint32_t ppb = cfg.pagesPerBlock[chip];
        uint64_t base = cfg.spareBase(chip) + uint64_t(block) * ppb * cfg.spareSize();
        size_t markByte = cfg.pageSize == 512 ? 5 : 0;
        for (uint32_t p = 0; p < 2 && p < ppb; ++p) {
            uint64_t off = base + uint64_t(p) * cfg.spareSize() + markByte;
            nandMap.data()[off / kNandUnit / 8] |= uint8_t(1u << (off / kNandUnit % 8));
            nand.data()[off] = 0xFF;
        }
    }
    if (msync(st.data(), sizeof(State), MS_SYNC) != 0) {
        // The page cache holds the state for every process either way.
    }
    fs::rename(tmp, dir, ec);
    if (ec) {
        cleanup();
        setError("cannot create device '" + name + "': " + ec.message());
        return false;
    }
    return true;
}

std::shared_ptr<Device> Device::open(std::shared_ptr<Bus> bus, const std::string& name) {
    if (!bus || !bus->ok()) return nullptr;
    fs::path dir = bus->deviceDir(name);
    auto cfg = loadConfig(dir, name);
    if (!cfg) return nullptr;
    std::shared_ptr<Device> d(new Device());
    d->bus_ = bus;
    d->name_ = name;
    d->cfg_ = *cfg;
    if (!d->state_.map(dir / "state", sizeof(State), false) || d->state()->magic != kStateMagic ||
        !d->rom_.map(dir / "rom.bin", cfg->romSize, false) || !d->nand_.map(dir / "nand.bin", cfg->nandBytes(), false) ||
        !d->nandMap_.map(dir / "nand.map", cfg->nandMapBytes(), false)) {
        setError("device '" + name + "' has damaged stores");
        return nullptr;
    }
    for (size_t i = 0; i < cfg->luns.size(); ++i) {
        auto m = std::make_unique<Mapping>();
        if (!m->map(dir / ("lun" + std::to_string(i) + ".img"), cfg->luns[i].sectors * cfg->luns[i].blockLength, false)) {
            setError("device '" + name + "' has a damaged LUN image");
            return nullptr;
        }
        d->luns_.push_back(std::move(m));
    }
    d->cacheLayout();
    return d;
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

Device::Lock::Lock(Device& d) : m_(&d.state()->lock) {
    int rc = pthread_mutex_lock(m_);
    if (rc == EOWNERDEAD) {
        // The holder died: finish its write in flight, then go on.
        d.recover();
        pthread_mutex_consistent(m_);
    }
}

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

void Device::commit(StoreId store, uint32_t lun, uint64_t off, const uint8_t* data, size_t len) {
    Journal& j = state()->journal;
    uint32_t id = uint32_t(store) + (store == StoreId::Lun0 ? lun : 0);
    uint64_t size = 0;
    uint8_t* base = storeBase(id, size);
    if (!base || off > size || len > size - off) return;
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
        j.valid.store(0, std::memory_order_seq_cst);
        data += n;
        off += n;
        len -= n;
    }
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

void Device::recover() {
    Journal& j = state()->journal;
    if (!j.valid.load()) return;
    if (j.kind == uint32_t(JournalKind::EraseBlock)) {
        uint8_t chip = uint8_t(j.offset >> 32);
        uint32_t block = uint32_t(j.offset);
        if (chip < cfg_.chips && block < cfg_.blocks[chip]) eraseBlockNow(chip, block);
    } else {
        uint64_t size = 0;
        uint8_t* base = storeBase(j.store, size);
        if (base && j.len <= kJournalBytes && j.offset <= size && j.len <= size - j.offset) {
            if (j.store == uint32_t(StoreId::Nand)) markWritten(j.offset, j.len);
            std::memcpy(base + j.offset, j.data, j.len);
        }
    }
    j.valid.store(0);
}

Device::Lock::~Lock() { pthread_mutex_unlock(m_); }

bool Device::attached() {
    State* s = state();
    if (s->removed.load(std::memory_order_acquire) || !s->plugged.load(std::memory_order_acquire)) return false;
    if (!s->offBus.load(std::memory_order_acquire)) return true;
    int64_t at = s->returnAt.load(std::memory_order_acquire);
    if (at < 0 || nowMs() < at) return false;
    bool back = false;
    {
        Lock lk(*this);
        if (s->offBus.load() && s->returnAt.load() == at) {
            s->offBus.store(0);
            s->returnAt.store(-1);
            back = true;
        }
    }
    if (back) bus_->changed("attach " + name_);
    return true;
}

void Device::detach(int64_t delayMs) {
    State* s = state();
    int64_t at = delayMs < 0 ? -1 : nowMs() + delayMs;
    bool was;
    {
        Lock lk(*this);
        was = s->plugged.load() && !s->offBus.load();
        s->returnAt.store(at);
        s->offBus.store(1);
    }
    if (at >= 0) bus_->scheduleAt(at);
    if (was) bus_->changed("detach " + name_);
}

void Device::setPlugged(bool on) {
    State* s = state();
    bool before, after;
    {
        Lock lk(*this);
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

void Device::readNand(uint64_t off, uint8_t* out, size_t n) const {
    if (!mayHoldData(off, n)) {
        // Never programmed since its last erase: erased, and no store page is touched.
        std::memset(out, 0xFF, n);
        return;
    }
    const uint8_t* p = nand_.data() + off;
    for (size_t i = 0; i < n; ++i) out[i] = uint8_t(~p[i]);
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

void Device::programNand(uint64_t off, const uint8_t* in, size_t n) {
    // Stored inverted: the value is ~stored, and programming can only clear
    // bits (value = old AND new), so stored |= ~new. The written-map bits are
    // set before the store changes, so a reader never skips programmed bytes.
    markWritten(off, n);
    const uint8_t* p = nand_.data() + off;
    uint8_t tmp[kJournalBytes];
    while (n > 0) {
        size_t k = std::min(n, kJournalBytes);
        for (size_t i = 0; i < k; ++i) tmp[i] = uint8_t(p[i] | uint8_t(~in[i]));
        commit(StoreId::Nand, 0, off, tmp, k);
        p += k;
        in += k;
        off += k;
        n -= k;
    }
}

bool Device::blockIsBad(uint8_t chip, uint32_t block) const {
    uint32_t pages = std::min<uint32_t>(2, ppb_[chip]);
    for (uint32_t p = 0; p < pages; ++p) {
        uint8_t v;
        readNand(spareOffset(chip, block, p) + markByte_, &v, 1);
        if (v != 0xFF) return true;
    }
    return false;
}

bool Device::isFactoryBad(uint8_t chip, uint32_t block) const {
    for (auto& [c, b] : cfg_.factoryBad)
        if (c == chip && b == block) return true;
    return hasFault(FaultKind::BadBlock, chip, block, 0, 2);
}

void Device::writeBadMark(uint8_t chip, uint32_t block) {
    uint32_t pages = std::min<uint32_t>(2, ppb_[chip]);
    uint8_t zero = 0;
    for (uint32_t p = 0; p < pages; ++p) programNand(spareOffset(chip, block, p) + markByte_, &zero, 1);
}

void Device::eraseBlock(uint8_t chip, uint32_t block) {
    Journal& j = state()->journal;
    j.kind = uint32_t(JournalKind::EraseBlock);
    j.offset = uint64_t(chip) << 32 | block;
    j.valid.store(1, std::memory_order_seq_cst);
    eraseBlockNow(chip, block);
    j.valid.store(0, std::memory_order_seq_cst);
}

namespace {

// Zeroes [off, off+len) of a mapped store: whole file pages are punched out
// (they read back as zeros, i.e. erased), the edges cleared by hand.
void zeroRange(uint8_t* base, int fd, uint64_t off, uint64_t len) {
    static const uint64_t pg = uint64_t(sysconf(_SC_PAGESIZE));
    uint64_t a = (off + pg - 1) / pg * pg, b = (off + len) / pg * pg;
    if (b > a && fallocate(fd, FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE, off_t(a), off_t(b - a)) == 0) {
        std::memset(base + off, 0, a - off);
        std::memset(base + b, 0, off + len - b);
    } else {
        std::memset(base + off, 0, len);
    }
}

}  // namespace

void Device::eraseBlockNow(uint8_t chip, uint32_t block) {
    const uint64_t pages = ppb_[chip];
    const uint64_t dataOff = dataOffset(chip, block, 0), dataLen = pages * cfg_.pageSize;
    const uint64_t spareOff = spareOffset(chip, block, 0), spareLen = pages * spareSize_;
    uint8_t* p = nand_.data();
    // Only the parts the written-map says may hold data need clearing.
    if (mayHoldData(dataOff, dataLen)) zeroRange(p, nand_.fd(), dataOff, dataLen);
    if (mayHoldData(spareOff, spareLen)) zeroRange(p, nand_.fd(), spareOff, spareLen);
    markErased(dataOff, dataLen);
    const bool factoryBad = isFactoryBad(chip, block);
    // A factory-bad block keeps the map bits of its spare area, so a reader
    // without the lock never sees its marks erased.
    if (!factoryBad) markErased(spareOff, spareLen);
    if (factoryBad) {
        // Part of the erase's own journal entry: redone with it.
        for (uint32_t pg2 = 0; pg2 < std::min<uint32_t>(2, ppb_[chip]); ++pg2) {
            uint64_t off = spareOffset(chip, block, pg2) + markByte_;
            markWritten(off, 1);
            p[off] = 0xFF;  // stored inverted: value 00h
        }
    }
}

bool Device::eepWindowProtected() const { return true; }

}  // namespace velk::sim
