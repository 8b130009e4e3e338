// restore_journal.h - the read/write test's restore journal: the saved
// contents of every sector while a test pattern is on it, kept in a small
// file in the user's state folder, so that a test killed at any moment
// loses no sector. The next start of the test dialog with that device
// attached writes every pending entry back.
//
// One file per test run, "<state>/tavrin/restore/rj-XXXXXX.journal",
// mapped while the run lasts and held with an exclusive lock (flock), so a
// restore never touches the journal of a test that is still running in
// another process. The file is removed when the run ends with nothing
// pending.
//
// Layout (host byte order; the file never leaves the machine):
//   header, 128 bytes: "TAVRRJ01", version 1, slot count, slot size, the
//     device's USB IDs and serial, a CRC-32 of the bytes before it;
//   kSlots slots of 544 bytes: state (0 free, 1 pending), CRC-32 of the
//     rest, LUN index, the LUN's capacity in sectors, the LBA, a sequence
//     number, the 512 saved bytes.
// The header also holds the journal's creation time: a restore writes the
// newest entries first and the oldest last, so when a sector has entries
// in two journals (a run that could not put a sector back, then another run
// on the same sector) the contents from before any test win.
// An entry is filled and its CRC stored before its state becomes pending;
// a process killed half way through leaves a free slot. A pending entry
// whose CRC does not match, or a header that does not check, makes the
// whole journal damaged: it is left as it is and nothing of it is written.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "velk/include/velk.h"

namespace production {

// What recognises the device a journal belongs to.
struct DeviceIdentity {
    uint16_t vid = 0;        // USB IDs from the drive information (0 when it cannot be read)
    uint16_t pid = 0;
    std::string serial;      // serial string of the EEPROM (empty when absent), at most 63 bytes

    // Reads it from the device behind h.
    static DeviceIdentity read(VelkHandle h);
    friend bool operator==(const DeviceIdentity&, const DeviceIdentity&) = default;
};

// The serial string of a 64-word EEPROM image: the USB string descriptor at
// the position in the low byte of word 5 (empty for position 0 or a
// descriptor that does not fit).
std::string serialFromEeprom(const uint16_t words[64]);

// "$XDG_STATE_HOME/tavrin/restore", else "$HOME/.local/state/tavrin/restore";
// empty when neither is set (a relative XDG_STATE_HOME is ignored).
std::string journalDirectory();

class RestoreJournal {
public:
    static constexpr int kSlots = 64;

    // A new journal for one run in dir (made, mode 0700, when missing).
    // Null with a message in *error when it cannot be made.
    static std::unique_ptr<RestoreJournal> create(const std::string& dir, const DeviceIdentity& id,
                                                  std::string* error);
    // Removes the file when no entry is pending; otherwise keeps it for the
    // next start.
    ~RestoreJournal();
    RestoreJournal(const RestoreJournal&) = delete;
    RestoreJournal& operator=(const RestoreJournal&) = delete;

    // Records a sector's contents before a pattern goes onto it. Returns the
    // slot, or -1 when every slot holds an entry that could not be put back.
    int record(uint8_t lun, uint32_t capacity, uint32_t lba, const uint8_t saved[512]);
    // The saved contents are back on the sector.
    void clear(int slot);
    int pending() const;
    const std::string& path() const { return path_; }

private:
    RestoreJournal() = default;
    std::string path_;
    int fd_ = -1;
    uint8_t* map_ = nullptr;
    size_t size_ = 0;
    int next_ = 0;      // the slot to try first
    uint32_t seq_ = 0;  // entries recorded so far
};

struct RestoreReport {
    int restored = 0;  // sectors written back (and read back equal)
    int left = 0;      // pending entries of this device that could not be written back
    int damaged = 0;   // journals left alone because they do not check
    int foreign = 0;   // journals of other devices, left alone
    int busy = 0;      // journals of tests still running
};

// Writes every pending entry of every journal in dir that belongs to the
// device behind h back to its LUN: only onto a LUN with the recorded index
// and capacity, and only from a journal whose header and pending entries
// check. A journal with nothing left pending is removed.
RestoreReport restorePending(const std::string& dir, VelkHandle h);

// The status text after a restore: "Restored %d sector(s) left by an
// interrupted test."
std::string restoredText(int sectors);

// CRC-32 (IEEE 802.3 polynomial, reflected) of n bytes.
uint32_t crc32(const void* data, size_t n, uint32_t crc = 0);

}  // namespace production
