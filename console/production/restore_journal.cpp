#include "restore_journal.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <system_error>
#include <type_traits>
#include <utility>
#include <vector>

namespace production {

namespace fs = std::filesystem;

namespace {

constexpr char kMagic[8] = {'T', 'A', 'V', 'R', 'R', 'J', '0', '1'};
constexpr uint32_t kVersion = 1;
constexpr uint32_t kFree = 0, kPending = 1;
constexpr size_t kSectorSize = 512;

struct Header {
    char magic[8];
    uint32_t version;
    uint32_t slotCount;
    uint32_t slotSize;
    uint16_t vid, pid;
    char serial[64];
    uint64_t created;  // real time of creation (ns): older journals are restored last
    uint8_t reserved[28];
    uint32_t crc;  // of the bytes before it
};
static_assert(sizeof(Header) == 128);

struct Slot {
    uint32_t state;  // kFree / kPending; written last (atomically)
    uint32_t crc;    // of the bytes after it
    uint8_t lun;
    uint8_t pad[3];
    uint32_t capacity;
    uint32_t lba;
    uint32_t seq;    // order of the entries within the journal
    uint8_t data[512];
    uint8_t tail[8];
};
static_assert(sizeof(Slot) == 544);
static_assert(offsetof(Slot, lun) == 8);

constexpr size_t kFileBytes = sizeof(Header) + RestoreJournal::kSlots * sizeof(Slot);

uint32_t slotCrc(const Slot& s)
{
    return crc32(reinterpret_cast<const uint8_t*>(&s) + offsetof(Slot, lun), sizeof(Slot) - offsetof(Slot, lun));
}

uint32_t headerCrc(const Header& h)
{
    return crc32(&h, offsetof(Header, crc));
}

Header makeHeader(const DeviceIdentity& id)
{
    Header h{};
    std::memcpy(h.magic, kMagic, sizeof kMagic);
    h.version = kVersion;
    h.slotCount = RestoreJournal::kSlots;
    h.slotSize = sizeof(Slot);
    h.vid = id.vid;
    h.pid = id.pid;
    std::memcpy(h.serial, id.serial.data(), std::min(id.serial.size(), sizeof h.serial - 1));
    struct timespec ts{};
    ::clock_gettime(CLOCK_REALTIME, &ts);
    h.created = uint64_t(ts.tv_sec) * 1000000000u + uint64_t(ts.tv_nsec);
    h.crc = headerCrc(h);
    return h;
}

bool headerChecks(const Header& h)
{
    return std::memcmp(h.magic, kMagic, sizeof kMagic) == 0 && h.version == kVersion &&
           h.slotCount == RestoreJournal::kSlots && h.slotSize == sizeof(Slot) && h.crc == headerCrc(h) &&
           std::memchr(h.serial, 0, sizeof h.serial) != nullptr;
}

uint32_t loadState(const Slot& s)
{
    return std::atomic_ref<const uint32_t>(s.state).load(std::memory_order_acquire);
}

void storeState(Slot& s, uint32_t v)
{
    std::atomic_ref<uint32_t>(s.state).store(v, std::memory_order_release);
}

// Moves all n bytes at `at` through pread or pwrite, going on after short
// transfers and interruptions. False on an error or an end of file.
template <typename Buffer, typename Transfer>
bool transferAll(Transfer transfer, int fd, Buffer* buf, size_t n, off_t at)
{
    auto* p = reinterpret_cast<std::conditional_t<std::is_const_v<Buffer>, const uint8_t, uint8_t>*>(buf);
    while (n > 0) {
        const ssize_t r = transfer(fd, p, n, at);
        if (r <= 0) {
            if (r < 0 && errno == EINTR)
                continue;
            return false;
        }
        p += r;
        n -= size_t(r);
        at += r;
    }
    return true;
}

bool readAll(int fd, void* buf, size_t n, off_t at) { return transferAll(::pread, fd, buf, n, at); }

bool writeAll(int fd, const void* buf, size_t n, off_t at) { return transferAll(::pwrite, fd, buf, n, at); }

bool isJournalName(const std::string& name)
{
    static const std::string suffix = ".journal";
    return name.size() > suffix.size() && name.rfind("rj-", 0) == 0 &&
           name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0;
}

// "rj-XXXXXX": a journal still being made, or left by a test killed while
// it made one.
bool isUnfinishedName(const std::string& name)
{
    return name.size() == 9 && name.rfind("rj-", 0) == 0 && name.find('.') == std::string::npos;
}

// Its maker holds its lock from the start: a file nobody holds was left by
// a test killed before it wrote anything to the device.
void removeIfAbandoned(const std::string& path)
{
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0)
        return;
    struct stat st{};
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == ::getuid() &&
        ::flock(fd, LOCK_EX | LOCK_NB) == 0)
        ::unlink(path.c_str());
    ::close(fd);
}

}  // namespace

uint32_t crc32(const void* data, size_t n, uint32_t crc)
{
    static const std::array<uint32_t, 256> table = [] {
        std::array<uint32_t, 256> t{};
        for (uint32_t i = 0; i < 256; ++i) {
            uint32_t c = i;
            for (int k = 0; k < 8; ++k)
                c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            t[i] = c;
        }
        return t;
    }();
    const auto* p = static_cast<const uint8_t*>(data);
    crc = ~crc;
    for (size_t i = 0; i < n; ++i)
        crc = table[(crc ^ p[i]) & 0xFF] ^ (crc >> 8);
    return ~crc;
}

std::string serialFromEeprom(const uint16_t words[64])
{
    const unsigned p = words[5] & 0xFF;
    if (p == 0 || p >= 63 || (words[p] >> 8) != 0x03)
        return {};
    const unsigned bytes = words[p] & 0xFF;
    if (bytes < 2)
        return {};
    std::string s;
    for (unsigned k = 1; k <= (bytes - 2) / 2 && p + k < 63 && s.size() < 63; ++k) {
        const char c = char(words[p + k] & 0xFF);
        if (c == 0)
            break;
        s += c;
    }
    return s;
}

DeviceIdentity DeviceIdentity::read(VelkHandle h)
{
    DeviceIdentity id;
    DRIVE_INFO_COMMON* info = nullptr;
    uint8_t count = 0;
    if (VelkGetDriveInfo(h, &info, &count) && info) {
        id.vid = info[0].Vid;
        id.pid = info[0].Pid;
    }
    uint16_t words[64];
    if (VelkReadEEPROM(h, 0, 0, 64, words))
        id.serial = serialFromEeprom(words);
    return id;
}

std::string journalDirectory()
{
    const char* state = std::getenv("XDG_STATE_HOME");
    if (state && state[0] == '/')
        return std::string(state) + "/tavrin/restore";
    const char* home = std::getenv("HOME");
    if (home && *home)
        return std::string(home) + "/.local/state/tavrin/restore";
    return {};
}

std::string restoredText(int sectors)
{
    char buf[96];
    std::snprintf(buf, sizeof buf, "Restored %d sector(s) left by an interrupted test.", sectors);
    return buf;
}

// ---- the journal of a running test ------------------------------------------------

std::unique_ptr<RestoreJournal> RestoreJournal::create(const std::string& dir, const DeviceIdentity& id,
                                                       std::string* error)
{
    auto fail = [&](const std::string& what) {
        if (error)
            *error = what;
        return nullptr;
    };
    if (dir.empty())
        return fail("Can't create the restore journal: no state folder (XDG_STATE_HOME or HOME).");
    std::error_code ec;
    fs::create_directories(dir, ec);
    ::chmod(dir.c_str(), 0700);
    if (!fs::is_directory(dir, ec))
        return fail("Can't create the restore journal in " + dir + ".");

    // Built under a temporary name and linked into place once whole, so a
    // restore never meets a half-made header.
    std::string tmp = dir + "/rj-XXXXXX";
    const int fd = ::mkostemp(tmp.data(), O_CLOEXEC);
    if (fd < 0)
        return fail("Can't create the restore journal in " + dir + ".");
    std::unique_ptr<RestoreJournal> j(new RestoreJournal);
    j->fd_ = fd;
    const Header h = makeHeader(id);
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0 || ::ftruncate(fd, off_t(kFileBytes)) != 0 ||
        !writeAll(fd, &h, sizeof h, 0)) {
        ::unlink(tmp.c_str());
        return fail("Can't write the restore journal in " + dir + ".");
    }
    void* m = ::mmap(nullptr, kFileBytes, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (m == MAP_FAILED) {
        ::unlink(tmp.c_str());
        return fail("Can't map the restore journal in " + dir + ".");
    }
    j->map_ = static_cast<uint8_t*>(m);
    j->size_ = kFileBytes;
    const std::string final = tmp + ".journal";
    if (::link(tmp.c_str(), final.c_str()) != 0) {
        ::unlink(tmp.c_str());
        return fail("Can't create the restore journal in " + dir + ".");
    }
    ::unlink(tmp.c_str());
    j->path_ = final;
    return j;
}

RestoreJournal::~RestoreJournal()
{
    if (map_) {
        if (pending() == 0 && !path_.empty())
            ::unlink(path_.c_str());
        ::munmap(map_, size_);
    }
    if (fd_ >= 0)
        ::close(fd_);  // releases the lock
}

int RestoreJournal::record(uint8_t lun, uint32_t capacity, uint32_t lba, const uint8_t saved[512])
{
    auto* slots = reinterpret_cast<Slot*>(map_ + sizeof(Header));
    for (int k = 0; k < kSlots; ++k) {
        const int i = (next_ + k) % kSlots;
        Slot& s = slots[i];
        if (loadState(s) != kFree)
            continue;
        s.lun = lun;
        s.capacity = capacity;
        s.lba = lba;
        s.seq = ++seq_;
        std::memcpy(s.data, saved, sizeof s.data);
        s.crc = slotCrc(s);
        storeState(s, kPending);
        next_ = i;
        return i;
    }
    return -1;
}

void RestoreJournal::clear(int slot)
{
    if (slot < 0 || slot >= kSlots)
        return;
    auto* slots = reinterpret_cast<Slot*>(map_ + sizeof(Header));
    storeState(slots[slot], kFree);
}

int RestoreJournal::pending() const
{
    const auto* slots = reinterpret_cast<const Slot*>(map_ + sizeof(Header));
    int n = 0;
    for (int i = 0; i < kSlots; ++i)
        n += loadState(slots[i]) == kPending;
    return n;
}

// ---- restore ----------------------------------------------------------------------

namespace {

enum class Verdict { Usable, Damaged, Foreign, Busy, Skipped };

// A journal of this device, checked and locked while the restore runs.
struct OpenJournal {
    std::string path;
    int fd = -1;
    Header header{};
    std::vector<Slot> slots;
    int left = 0;
    OpenJournal() = default;
    OpenJournal(OpenJournal&& o) noexcept
        : path(std::move(o.path)), fd(std::exchange(o.fd, -1)), header(o.header), slots(std::move(o.slots)),
          left(o.left) {}
    ~OpenJournal()
    {
        if (fd >= 0)
            ::close(fd);  // releases the lock
    }
};

Verdict openJournal(const std::string& path, const DeviceIdentity& id, OpenJournal& j)
{
    j.path = path;
    j.fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC | O_NOFOLLOW);
    if (j.fd < 0)
        return Verdict::Skipped;
    struct stat st{};
    if (::fstat(j.fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != ::getuid())
        return Verdict::Foreign;
    if (::flock(j.fd, LOCK_EX | LOCK_NB) != 0)
        return Verdict::Busy;  // a test that still runs holds it
    if (st.st_size != off_t(kFileBytes))
        return Verdict::Damaged;
    j.slots.resize(RestoreJournal::kSlots);
    if (!readAll(j.fd, &j.header, sizeof j.header, 0) ||
        !readAll(j.fd, j.slots.data(), j.slots.size() * sizeof(Slot), off_t(sizeof j.header)))
        return Verdict::Damaged;
    if (!headerChecks(j.header))
        return Verdict::Damaged;
    DeviceIdentity owner;
    owner.vid = j.header.vid;
    owner.pid = j.header.pid;
    owner.serial = j.header.serial;
    if (!(owner == id))
        return Verdict::Foreign;
    for (const Slot& s : j.slots)
        if (s.state != kFree && (s.state != kPending || s.crc != slotCrc(s)))
            return Verdict::Damaged;
    return Verdict::Usable;
}

}  // namespace

RestoreReport restorePending(const std::string& dir, VelkHandle h)
{
    RestoreReport r;
    if (dir.empty() || !h)
        return r;
    std::error_code ec;
    std::vector<std::string> files;
    for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
        const std::string name = it->path().filename().string();
        if (isJournalName(name))
            files.push_back(it->path().string());
        else if (isUnfinishedName(name))
            removeIfAbandoned(it->path().string());
    }
    if (files.empty())
        return r;
    const DeviceIdentity id = DeviceIdentity::read(h);

    std::vector<OpenJournal> journals;
    for (const std::string& f : files) {
        OpenJournal j;
        switch (openJournal(f, id, j)) {
        case Verdict::Usable: journals.push_back(std::move(j)); break;
        case Verdict::Damaged: ++r.damaged; break;
        case Verdict::Foreign: ++r.foreign; break;
        case Verdict::Busy: ++r.busy; break;
        case Verdict::Skipped: break;
        }
    }

    // Newest first, so that when two entries name the same sector the older
    // one (which saved what was there before any test) is written last.
    struct Entry { OpenJournal* j; size_t slot; };
    std::vector<Entry> entries;
    for (OpenJournal& j : journals)
        for (size_t i = 0; i < j.slots.size(); ++i)
            if (j.slots[i].state == kPending)
                entries.push_back({&j, i});
    std::sort(entries.begin(), entries.end(), [](const Entry& a, const Entry& b) {
        if (a.j->header.created != b.j->header.created)
            return a.j->header.created > b.j->header.created;
        return a.j->slots[a.slot].seq > b.j->slots[b.slot].seq;
    });

    DRIVE_INFO_COMMON* info = nullptr;
    uint8_t luns = 0;
    if (!VelkGetDriveInfo(h, &info, &luns) || !info)
        luns = 0;
    for (const Entry& e : entries) {
        const Slot& s = e.j->slots[e.slot];
        // Only onto the LUN it came from: same index, same capacity.
        uint32_t sectors = 0, blockLength = 0;
        const bool sameLun = s.lun < luns && VelkReadCapacity(h, s.lun, &sectors, &blockLength) &&
                             sectors == s.capacity && blockLength == kSectorSize && s.lba < sectors;
        uint8_t back[kSectorSize];
        const bool written = sameLun && VelkWriteLBA(h, s.lun, s.lba, 1, s.data) &&
                             VelkReadLBA(h, s.lun, s.lba, 1, back) && std::memcmp(back, s.data, kSectorSize) == 0;
        if (!written) {
            ++e.j->left;
            continue;
        }
        ++r.restored;
        const uint32_t freeState = kFree;
        if (!writeAll(e.j->fd, &freeState, sizeof freeState, off_t(sizeof(Header) + e.slot * sizeof(Slot))))
            ++e.j->left;  // written back but still listed: writing it again later is harmless
    }
    for (OpenJournal& j : journals) {
        r.left += j.left;
        if (j.left == 0)
            ::unlink(j.path.c_str());
    }
    return r;
}

}  // namespace production
