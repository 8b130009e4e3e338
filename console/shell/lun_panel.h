// lun_panel.h - the seven-row per-LUN display of the console's format and
// read/write test dialogs: the drives of the attached device with their
// media types, drive letters and sector counts, a progress bar and a
// pass/fail mark per row, and the re-probe of the device after an arrival.
//
// Each of the two dialogs owns one panel. The panel keeps the dialog's
// device list; a job's worker takes its own reference to it (list()), so a
// device removal, which drops the panel's reference, never destroys the list
// under a running job.
//
// Threads: the dialog thread calls every operation; a job's worker calls
// refreshSectorCounts, writeLabels, paintMark and setDeviceReady, passing
// the list it works on. An operation given a list that is no longer the
// panel's (the device was removed, or re-probed, since the job started)
// does nothing, so a job that outlives its device never paints over the
// no-device state. One mutex serialises the operations.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "device/records.h"
#include "platform/ui/dialog.h"

namespace console {

// The seven rows and the controls every owning template gives them.
inline constexpr int kLunRows = 7;
inline constexpr int IDC_LUN_STATUS = 1012;
inline constexpr int lunCaptionId(int row) { return 1013 + 3 * row; }  // "LUN0:" ... "LUN6:"
inline constexpr int lunLabelId(int row) { return 1014 + 3 * row; }    // drive label
inline constexpr int lunBarId(int row) { return 1015 + 3 * row; }      // progress bar

// What a row shows beside its label.
enum RowState : int { kRowFail = 0, kRowPass = 1, kRowNoMark = 2 };

// Media codes of the LUN table and the names drive labels show for them.
enum MediaCode : uint8_t {
    kMediaNone = 0, kMediaIde = 1, kMediaMs = 2, kMediaSd = 3, kMediaSm = 4,
    kMediaCf = 5, kMediaFlash = 6, kMediaXd = 7, kMediaUnknown = 8,
};
// Decodes MediaFlags in the device's order of precedence: bit 3, 4, 5, 6,
// 7, 0, 1, each later match overriding an earlier one; bit 2 is not read.
uint8_t mediaCodeFromFlags(uint8_t flags);
// "" for kMediaNone and codes out of range; "Unknow" for kMediaUnknown.
const char* mediaName(uint8_t code);
// "(%c:) %s", as the rows show it.
std::string driveLabel(char letter, uint8_t code);

// The LUN table: byte 0 the LUN count, bytes 1-19 the media codes of LUN 0,
// 1, ..., bytes 20-99 the 32-bit sector counts of LUN 0, 1, ... (20 of
// them). Jobs copy all 100 bytes as their snapshot.
class LunTable {
public:
    static constexpr int kCodes = 19;
    static constexpr int kCounts = 20;

    void zero() { bytes_.fill(0); }
    uint8_t lunCount() const { return bytes_[0]; }
    void setLunCount(uint8_t n) { bytes_[0] = n; }
    uint8_t mediaCode(int lun) const { return lun >= 0 && lun < kCodes ? bytes_[1 + lun] : 0; }
    void setMediaCode(int lun, uint8_t code);
    uint32_t sectors(int lun) const;
    void setSectors(int lun, uint32_t n);
    const std::array<uint8_t, 100>& bytes() const { return bytes_; }

private:
    std::array<uint8_t, 100> bytes_{};
};

using SharedList = std::shared_ptr<device::List>;

class LunPanel {
public:
    // The settle timer: 2000 ms after the last arrival that passes the USB
    // child walk.
    static constexpr int kSettleTimer = 1;
    static constexpr unsigned kSettleMs = 2000;
    // Letter of the "Unknow" row when no drive record was ever returned.
    static constexpr char kPlaceholderLetter = '?';

    // owner: the dialog whose rows these are; startButton: the control the
    // panel disables on removal and enables once a re-probe found the device.
    LunPanel(ui::Dialog& owner, int startButton);
    virtual ~LunPanel();
    LunPanel(const LunPanel&) = delete;
    LunPanel& operator=(const LunPanel&) = delete;

    // ---- the device list ----
    // VelkCreateDeviceList(0, 0, 1) as the panel's list; false when no device.
    bool createList();
    void dropList();
    // The panel's list (null when there is none); a job keeps it while it runs.
    SharedList list() const;
    // True while `list` is still the panel's list.
    bool holds(const SharedList& list) const;

    // ---- the operations of the dialogs and their jobs ----
    // Fills the LUN count, media codes and sector counts of the table from
    // the device. False only when there is no list (or `expected` is given
    // and is no longer the panel's list).
    bool refreshSectorCounts(const SharedList& expected = nullptr);
    // The seven row labels from the table ("(E:) SD/MMC"; blank and disabled
    // for media code 0).
    void writeLabels(const SharedList& expected = nullptr);
    // Stores the row's state and draws its mark.
    void paintMark(int row, int state, const SharedList& expected = nullptr);
    // Stores the state only (drawn at the next paint).
    void setRowState(int row, int state);
    int rowState(int row) const;
    // Draws every stored mark: from the dialog's onPaint.
    void repaintMarks(ui::Painter& p);
    // Status line and labels "", no marks, every bar at 0.
    void clearRows();

    LunTable table() const;
    void zeroTable();
    // The drive count of the last successful drive query.
    uint8_t driveCount() const;

    // Sets or clears the flag; with `expected`, only while it is the panel's list.
    void setDeviceReady(bool on, const SharedList& expected = nullptr);

    // ---- device change and settle timer (dialog thread) ----
    int onDeviceChange(unsigned event);
    // Timer 1. Returns true when it brought the panel to device ready.
    bool onSettleTimer();

    // A job runs: the settle timer may re-probe, but leaves the start button
    // to the job's end.
    void setJobRunning(bool on);
    // A job ended: the start button comes back when the panel is ready with
    // a list, and (unless sameListToo) only with a list probed after the job
    // started (`jobList` is the list the job worked on).
    void jobEnded(const SharedList& jobList, bool sameListToo);

    // Called on the dialog thread after a removal has cleared the panel.
    std::function<void()> onRemoved;

    // The mark's rectangle beside a row's label, in client pixels.
    ui::Rect markRect(int row) const;

protected:
    // The USB child walk of the console (replaceable in tests).
    virtual bool usbChildWalk() const;

private:
    bool refreshLocked();
    void writeLabelsLocked();
    void drawMarkLocked(ui::Painter& p, int row) const;
    void clearRowsLocked();
    bool expectedLocked(const SharedList& expected) const { return !expected || expected == list_; }

    ui::Dialog& owner_;
    const int startButton_;
    mutable std::mutex m_;
    SharedList list_;
    DRIVE_INFO_COMMON* records_ = nullptr;  // owned by the list's library handle
    uint8_t driveCount_ = 0;
    LunTable table_;
    std::array<int, kLunRows> rowStates_;
    std::atomic<bool> ready_{false};
    bool jobRunning_ = false;
};

}  // namespace console
