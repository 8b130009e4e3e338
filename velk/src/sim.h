// sim.h - the simulated controller behind the device library.
//
// A bus is a directory: bus.state (sequence counter, next scheduled change),
// events (one line per attach/detach, so inotify wakes watchers), registry/
// (the platform's device registry) and devices/NAME/ with one folder per
// device:
//   config    profile=P and the KEY=VALUE settings it was created with
//   state     fixed-size record, mapped by every user: lock, attach state,
//             switches, media, progress pair, CIS record, EEPROM, faults
//   rom.bin   external code ROM (plain bytes)
//   nand.bin  page data of every chip, then (from a 4 KiB boundary) the
//             spare areas of every chip, stored inverted so that a sparse
//             (never written) region reads as erased FFh
//   nand.map  one bit per 4 KiB unit of nand.bin: set before anything is
//             programmed there; a clear bit means the unit is erased, so a
//             read of it touches no store page
//   lunN.img  LUN images (sparse)
// Every store stays mapped while a handle uses the device. Mutations happen
// under the device's process-shared robust mutex; a process killed while it
// holds it leaves the stores readable and the next locker carries on.
//
// The stores are sparse, so a page written for the first time needs space
// on the file system: every write first makes sure its range is allocated
// (posix_fallocate) and fails, changing nothing, when it cannot be. A store
// that still faults under its mapping (it shrank under the device, or the
// file system ran out of space after all) raises SIGBUS; the library's
// handler puts a zero page in its place and marks the device broken for this
// process, so that every later call on it fails instead of the process dying.
#pragma once

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <pthread.h>
#include <string>
#include <vector>

namespace velk::sim {

namespace fs = std::filesystem;

// ---- clock ------------------------------------------------------------------
int64_t nowMs();
using NowFn = int64_t (*)(void*);
using SleepFn = void (*)(void*, int64_t);
void setClock(NowFn now, SleepFn sleep, void* ctx);
void sleepMs(int64_t ms);

// ---- last error (thread-local, for VelkSimLastError) ----------------------
void setError(std::string msg);
const std::string& lastError();

// ---- configuration --------------------------------------------------------------

// Granularity of the NAND written-map (one bit per unit of nand.bin).
inline constexpr uint64_t kNandUnit = 4096;

struct LunConfig {
    uint8_t slot = 0;          // VELK_MEDIA_* bit of the medium this slot takes
    uint32_t blockLength = 512;
    uint64_t sectors = 0;
    bool present = true;       // medium inserted at creation
    bool cdrom = false;
};

struct Config {
    std::string profile;
    std::vector<std::string> settings;  // as given, KEY=VALUE

    uint16_t vid = 0x3A7C, pid = 0, rev = 0x0100;
    uint8_t deviceClass = 0x10;
    std::string instance;
    std::string description;
    std::vector<LunConfig> luns;
    // NAND (chips == 0: none)
    uint8_t chips = 0;
    uint16_t pageSize = 512;
    std::vector<uint32_t> blocks;          // per chip
    std::vector<uint16_t> pagesPerBlock;   // per chip
    std::vector<std::pair<uint8_t, uint32_t>> factoryBad;
    // external ROM
    uint32_t romSize = 0x10000;
    uint32_t codeStart = 0;
    uint32_t codeSize = 0x10000;
    uint32_t eepWindow = 0xFF80;           // 128 bytes
    std::string signature = "XROM";
    std::string version = "0100";
    // behaviour
    bool realistic = false;
    int64_t autoReplugMs = -1;             // after VelkSafeRemove; -1 = until plugged
    int64_t reenumMs = 1000;               // after a ROM erase
    int64_t lbaDelayMs = 0;                // each LBA read or write sleeps this long first

    uint16_t spareSize() const { return pageSize == 512 ? 16 : 64; }
    // nand.bin: the page data of chip 0, 1, ..., then the spare region
    // (aligned to kNandUnit) with the spare areas of chip 0, 1, ...
    uint64_t dataBase(uint8_t chip) const;
    uint64_t spareRegion() const;
    uint64_t spareBase(uint8_t chip) const;
    uint64_t nandBytes() const;
    uint64_t nandMapBytes() const;
};

// Profile defaults with the settings applied, checked as a whole (the order of
// the settings never matters); nullopt + setError (one line) on bad input.
std::optional<Config> makeConfig(const std::string& profile, const std::vector<std::string>& settings,
                                 const std::string& name);
const char* const* profileNames();
std::string settingsHelp();

// ---- faults ------------------------------------------------------------------------

enum class FaultKind : uint32_t {
    None = 0, BadBlock, LbaRead, LbaWrite, LbaCorrupt, EepromWord, EepDataWrite, FwWrite, FwRead,
    RomWrite, NoReenum, DriveInfo, LunCount, PageRead, Erase, CrashMidWrite, EepromRead, CrashAtWrite,
    LbaTorn, NoDrop, RomCorrupt
};

struct Fault {
    uint32_t kind;  // FaultKind
    uint32_t a, b, c;
};

std::string faultHelp();
// A number as velk-sim takes it: decimal or 0x-prefixed hexadecimal, and no
// more than 32 bits (checked before anything is narrowed).
bool parseNum(const std::string& s, uint32_t& out);

// ---- the mapped state record --------------------------------------------------

inline constexpr uint32_t kStateMagic = 0x56534D32;  // "VSM2"
inline constexpr int kMaxLuns = 16;
inline constexpr int kMaxFaults = 64;

// A write in flight: copied here first, then to its store. A process killed
// between the two leaves valid set, and the next locker redoes the copy, so a
// store never keeps half of one write.
inline constexpr size_t kJournalBytes = 4096;
enum class StoreId : uint32_t { State = 0, Rom = 1, Nand = 2, Lun0 = 16 };
enum class JournalKind : uint32_t { Copy = 0, EraseBlock = 1 };
struct Journal {
    std::atomic<uint32_t> valid;
    uint32_t kind;     // JournalKind
    uint32_t store;    // StoreId (+ LUN index)
    uint32_t len;
    uint64_t offset;   // Copy: byte offset; EraseBlock: chip << 32 | block
    uint8_t data[kJournalBytes];
};

struct State {
    uint32_t magic;
    uint32_t size;
    pthread_mutex_t lock;
    std::atomic<uint32_t> removed;        // device deleted from the bus
    std::atomic<uint32_t> plugged;        // velk-sim plug/unplug
    std::atomic<uint32_t> offBus;         // dropped off by safe removal / ROM erase
    std::atomic<int64_t> returnAt;        // clock time of re-attachment, -1 = never
    std::atomic<uint32_t> writeProtect;
    std::atomic<uint32_t> buttonPresses;
    std::atomic<uint32_t> registryRecorded;
    std::atomic<uint32_t> media[kMaxLuns];
    int32_t progressA, progressB;
    uint8_t cis[512];
    uint16_t eeprom[64];
    uint32_t faultCount;
    std::atomic<uint32_t> faultKinds;     // bit k set: a fault of kind k may be listed
    Fault faults[kMaxFaults];
    Journal journal;
};

// ---- bus ----------------------------------------------------------------------------

struct BusHeader {
    uint32_t magic;
    uint32_t pad;
    std::atomic<uint64_t> seq;
    std::atomic<int64_t> nextDue;  // earliest scheduled re-attach, -1 = none
};

class Bus : public std::enable_shared_from_this<Bus> {
public:
    explicit Bus(fs::path dir);
    ~Bus();
    bool ok() const { return header_ != nullptr; }
    const fs::path& dir() const { return dir_; }
    fs::path devicesDir() const { return dir_ / "devices"; }
    fs::path deviceDir(const std::string& name) const { return devicesDir() / name; }
    uint64_t sequence();
    // Counts a change and writes an event line (wakes inotify watchers).
    void changed(const std::string& what);
    void scheduleAt(int64_t when);
    // Applies every re-attachment that has fallen due; recomputes nextDue.
    void applyDue();
    int64_t nextScheduled();
    std::vector<std::string> deviceNames() const;
    // Bus-wide lock for creation and removal (flock on bus.lock).
    int lockBus() const;
    void unlockBus(int fd) const;

private:
    fs::path dir_;
    BusHeader* header_ = nullptr;
};

std::shared_ptr<Bus> currentBus();
bool setBusDir(const std::string& dir);

// ---- a mapped device --------------------------------------------------------------

// An existing store file of the given size, mapped shared. A SIGBUS on the
// mapping counts in *faults (see the note at the top).
class Mapping {
public:
    Mapping() = default;
    ~Mapping();
    Mapping(const Mapping&) = delete;
    Mapping& operator=(const Mapping&) = delete;
    // False when the file is missing, has another size or cannot be mapped.
    bool map(const fs::path& file, uint64_t size, std::atomic<uint32_t>* faults);
    uint8_t* data() const { return data_; }
    uint64_t size() const { return size_; }
    int fd() const { return fd_; }

private:
    void unmap();
    uint8_t* data_ = nullptr;
    uint64_t size_ = 0;
    int fd_ = -1;
    int slot_ = -1;  // in the SIGBUS handler's table
};


class Device {
public:
    // Opens (maps) an existing device; nullptr + setError when it cannot: no
    // such device, or one line saying what is damaged.
    static std::shared_ptr<Device> open(std::shared_ptr<Bus> bus, const std::string& name);
    // Creates the device folder and its stores (under the bus lock). On
    // failure nothing is left behind.
    static bool create(Bus& bus, const std::string& name, const Config& cfg);
    // Sets the removed flag of the device's state record, also of a damaged
    // device whose record still has its size (open handles then fail).
    static void markRemoved(const fs::path& deviceDir);

    const std::string& name() const { return name_; }
    const Config& config() const { return cfg_; }
    State* state() const { return reinterpret_cast<State*>(state_.data()); }
    Bus& bus() const { return *bus_; }

    // Attached now (applies a re-attachment that has fallen due).
    bool attached();
    // Detach for delayMs (-1 = until plugged). False when the lock cannot be had.
    bool detach(int64_t delayMs);
    bool setPlugged(bool on);

    // Writes len bytes at off of a store as one unit (see Journal); under Lock.
    // False (setError) when the range cannot be backed on the file system:
    // nothing changed then. Also false after a store fault (see broken()).
    bool commit(StoreId store, uint32_t lun, uint64_t off, const uint8_t* data, size_t len);

    // RAII lock on the device mutex; finishes the write of a holder that died.
    // It can fail (test it): the lock bytes are not a valid lock, or a live
    // holder kept it for kLockPatienceMs.
    class Lock {
    public:
        explicit Lock(Device& d);
        ~Lock();
        Lock(const Lock&) = delete;
        Lock& operator=(const Lock&) = delete;
        explicit operator bool() const { return held_; }

    private:
        Device& d_;
        bool held_ = false;
    };
    void recover();
    // True once a store of this device faulted under its mapping in this
    // process: every later call on this Device object fails.
    bool broken() const { return faults_.load(std::memory_order_acquire) != 0; }
    // Copies out of a mapped store; false when a store fault happened meanwhile.
    bool copyOut(void* dst, const void* src, size_t n) const;
    // LUN sector read under the lock (pread for pages the file system has not
    // allocated, so that reading never allocates or faults).
    bool readLun(size_t lun, uint64_t off, uint8_t* out, size_t n);
    [[noreturn]] void crashHalfWay(uint8_t* dst, const uint8_t* src, size_t n);
    // The crash-at-write fault: counts one store write down; true when this
    // write is the one to die in. Under Lock.
    bool crashAtThisWrite();

    bool hasFault(FaultKind k, uint32_t a = 0, uint32_t b = 0, uint32_t c = 0, int args = 0) const;
    std::optional<uint32_t> faultValue(FaultKind k) const;
    bool addFault(const Fault& f);  // under lock
    // Removes the first fault of kind k with these two arguments; under lock.
    void removeFault(FaultKind k, uint32_t a, uint32_t b);
    void clearFaults();

    // Stores.
    uint8_t* rom() const { return rom_.data(); }
    uint8_t* nand() const { return nand_.data(); }
    uint8_t* lun(size_t i) const { return i < luns_.size() ? luns_[i]->data() : nullptr; }
    uint64_t lunBytes(size_t i) const { return i < luns_.size() ? luns_[i]->size() : 0; }

    // NAND helpers (indices must be checked by the caller). Offsets are
    // into nand.bin.
    uint64_t dataOffset(uint8_t chip, uint32_t block, uint32_t page) const {
        return dataBase_[chip] + (uint64_t(block) * ppb_[chip] + page) * cfg_.pageSize;
    }
    uint64_t spareOffset(uint8_t chip, uint32_t block, uint32_t page) const {
        return spareBase_[chip] + (uint64_t(block) * ppb_[chip] + page) * spareSize_;
    }
    bool blockIsBad(uint8_t chip, uint32_t block) const;
    bool isFactoryBad(uint8_t chip, uint32_t block) const;
    bool writeBadMark(uint8_t chip, uint32_t block);
    bool eraseBlock(uint8_t chip, uint32_t block);  // journaled
    void eraseBlockNow(uint8_t chip, uint32_t block);
    // Under the lock; false after a store fault.
    bool readNand(uint64_t off, uint8_t* out, size_t n) const;
    // Without the lock: when the written-map says [off, off+n) is erased,
    // fills out with FFh and returns true (a program sets the map bits before
    // it changes the store; an erase clears them after). Else false: read
    // under the lock.
    bool readErasedUnlocked(uint64_t off, uint8_t* out, size_t n) const;
    // Without the lock: true when the bad marks of the block are erased (the
    // block is good) per the written-map; false: ask blockIsBad under the lock.
    bool marksErasedUnlocked(uint8_t chip, uint32_t block) const;
    // False (nothing changed) when the range cannot be backed.
    bool programNand(uint64_t off, const uint8_t* in, size_t n);

    // Registry record at the first attach.
    void recordFirstAttach();

private:
    Device() = default;
    static std::shared_ptr<Device> openAt(std::shared_ptr<Bus> bus, const std::string& name, const fs::path& dir);
    uint8_t* storeBase(uint32_t store, uint64_t& size) const;
    // Makes sure a write to [off, off+len) of a store cannot fault for lack
    // of space; under the lock.
    bool backStore(uint32_t store, uint64_t off, uint64_t len);
    bool lunPagesKnown(size_t lun, uint64_t off, uint64_t len) const;
    void lunPagesBacked(size_t lun, uint64_t off, uint64_t len);
    bool acquire();
    int waitForLock();
    void reinitLock(uint32_t word);
    void cacheLayout();
    // The written-map of nand.bin (see kNandUnit); under the lock.
    void markWritten(uint64_t off, uint64_t n);
    bool mayHoldData(uint64_t off, uint64_t n) const;
    void markErased(uint64_t off, uint64_t n);
    void zeroNand(uint64_t off, uint64_t len, bool punch);
    std::shared_ptr<Bus> bus_;
    std::string name_;
    Config cfg_;
    uint64_t dataBase_[8] = {}, spareBase_[8] = {};
    uint32_t ppb_[8] = {};
    uint32_t spareSize_ = 16, markByte_ = 5;
    mutable std::atomic<uint32_t> faults_{0};  // SIGBUS count of this device's mappings
    Mapping state_, rom_, nand_, nandMap_;
    std::vector<std::unique_ptr<Mapping>> luns_;
    bool stateBacked_ = false, romBacked_ = false;
    // Pages (4 KiB) of each LUN image known to be allocated; under the lock.
    std::vector<std::vector<uint64_t>> lunBacked_;
};

// How long a call waits for a device lock that a live process holds before it
// fails (a holder never keeps it longer than one store write).
inline constexpr int64_t kLockPatienceMs = 30000;

// Config file of a device.
std::optional<Config> loadConfig(const fs::path& deviceDir, const std::string& name);

// Text for a one-line message: control characters shown as \n, \t, \xHH.
std::string printable(const std::string& s);

// Codec bridge (the codec library, or a minimal stand-in until it lands).
bool encodeEeprom(uint8_t deviceClass, const uint8_t* record, uint16_t words[64]);
void decodeEeprom(uint8_t deviceClass, const uint16_t words[64], uint8_t* record);
enum class FormatOutcome { Done, Aborted, Failed };
FormatOutcome formatFat(uint32_t totalSectors,
                        const std::function<bool(uint32_t, uint32_t, const uint8_t*)>& write,
                        const std::function<void(int)>& progress, const std::function<bool()>& aborted,
                        uint32_t volumeId);

}  // namespace velk::sim
