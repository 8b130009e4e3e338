#include "format_dialog.h"

#include <pthread.h>

#include <algorithm>
#include <cstdio>
#include <memory>

#include "platform/os/os.h"

namespace production {

using console::kLunRows;
using console::lunBarId;

namespace {

constexpr char kDriverServiceTitle[] = "Device Driver Service";

uint8_t loadByte(uint8_t& b)
{
    return std::atomic_ref<uint8_t>(b).load(std::memory_order_acquire);
}

void storeByte(uint8_t& b, uint8_t v)
{
    std::atomic_ref<uint8_t>(b).store(v, std::memory_order_release);
}

// Names the calling thread (as top and debuggers show it).
void nameThread(const char* name)
{
    pthread_setname_np(pthread_self(), name);
}

}  // namespace

FormatDialog::FormatDialog() : ui::Dialog(formatTemplate()), panel_(*this, IDC_FORMAT)
{
    panel_.onRemoved = [this] {
        // Gone before the job told it to leave: the job must not report a
        // completed format.
        if (!done_.isSet() && !safeRemoving_.load())
            interrupted_ = true;
        removalSeen_.set();
    };
}

FormatDialog::~FormatDialog() = default;

bool FormatDialog::onInitDialog()
{
    for (const os::Guid& guid : os::classGuidsFromName("USB", 8))
        os::registerDeviceNotification(*this, guid);

    idle_ = 1;
    done_.set();
    panel_.clearRows();
    panel_.zeroTable();
    if (!panel_.createList()) {
        enable(IDC_FORMAT, false);
        return true;
    }
    if (panel_.refreshSectorCounts())
        panel_.writeLabels();
    panel_.setDeviceReady(true);
    return true;
}

void FormatDialog::onCommand(int id)
{
    switch (id) {
    case IDC_FORMAT:
        startJob();
        break;
    case ui::IDCANCEL:
        // The button ("Exit" / "Stop"), Escape and the close box.
        stopOrExit();
        break;
    default:
        // Enter (IDOK) does not end the dialog: it has no OK button.
        break;
    }
}

void FormatDialog::stopOrExit()
{
    storeByte(abort_, 1);
    if (text(ui::IDCANCEL).substr(0, 9) == "Stop") {
        idle_ = 1;  // the job end clears the status line; the job goes on with the next LUN
        return;
    }
    done_.wait();
    endDialog(0);
}

void FormatDialog::startJob()
{
    if (!done_.isSet())
        return;  // one job at a time
    enable(IDC_FORMAT, false);
    setText(ui::IDCANCEL, "Stop");
    idle_ = 0;
    done_.reset();
    interrupted_ = false;
    safeRemoving_ = false;
    for (int row = 0; row < kLunRows; ++row) {
        panel_.paintMark(row, console::kRowNoMark);
        setRange(lunBarId(row), 0, 100);
        setStep(lunBarId(row), 1);
        setPos(lunBarId(row), 0);
    }
    panel_.zeroTable();
    panel_.refreshSectorCounts();
    const console::SharedList list = panel_.list();
    panel_.setJobRunning(true);
    startWorker([this, list] { job(list); });
}

void FormatDialog::job(console::SharedList list)
{
    nameThread("format job");
    panel_.setDeviceReady(false);
    const bool go = messageBox("Format will erase all data on the memory card. Continue?", "Warning",
                               ui::MB_YESNO | ui::MB_ICONEXCLAMATION) == ui::IDYES;
    if (go) {
        closeDriverServiceWindows();
        if (!list) {
            messageBox("Device not found", "Error", ui::MB_OK | ui::MB_ICONERROR);
        } else {
            if (panel_.refreshSectorCounts(list))
                panel_.writeLabels(list);
            const console::LunTable snapshot = panel_.table();
            panel_.setDeviceReady(true, list);
            for (int row = 0; row < kLunRows; ++row)
                panel_.setRowState(row, console::kRowNoMark);

            const int drives = std::min<int>(panel_.driveCount(), kLunRows);
            for (int n = 0; n < drives && !interrupted_ && !closing_; ++n) {
                if (snapshot.sectors(n) == 0) {
                    panel_.paintMark(n, console::kRowNoMark, list);  // no medium
                    continue;
                }
                formatLun(list, n);
            }
            if (!interrupted_ && !closing_) {
                safeRemoving_ = true;
                removalSeen_.reset();
                // The box comes once the device has left (as the removal
                // reaches the dialog while the platform ejects it), so that
                // the rows are cleared before the end message, not after.
                if (VelkSafeRemove(list->get(), 0)) {
                    for (int64_t waited = 0; waited < kSafeRemovalWaitMs && !removalSeen_.isSet();
                         waited += kSafeRemovalPollMs)
                        removalSeen_.wait(kSafeRemovalPollMs);
                }
                messageBox("Please remove the device and reattach it.", "", ui::MB_OK);
                postMessage(WM_FORMAT_PROGRESS, 15, 0);
            }
        }
    }

    // Job end. After a "Stop" the status line is cleared, behind the
    // job's own messages.
    if (idle_)
        postMessage(WM_FORMAT_CLEAR_STATUS);
    setText(ui::IDCANCEL, "Exit");
    idle_ = 1;
    // "Format" comes back only with a device probed after the job started.
    panel_.jobEnded(list, false);
    done_.set();
}

void FormatDialog::formatLun(const console::SharedList& list, int n)
{
    const VelkHandle h = list->get();
    const auto lun = uint8_t(n);
    uint8_t mediaType = 0;
    VelkOpenDevice(h, lun);
    const int query = VelkGetLunMediaType(h, lun, &mediaType);
    VelkCloseDevice(h, lun);
    currentLun_ = n;
    if (query == 1 && mediaType == 0) {
        storeByte(abort_, 0);
        return;  // the slot reports no medium after all
    }
    storeByte(abort_, 0);
    storeByte(progress_, 0);
    // Shared with the progress thread, which may still touch them after the
    // job has seen it end.
    auto formatReturned = std::make_shared<ui::ManualResetEvent>(false);
    auto followerEnded = std::make_shared<ui::ManualResetEvent>(false);
    startWorker([this, n, formatReturned, followerEnded] { followProgress(n, *formatReturned, *followerEnded); });
    VelkOpenDevice(h, lun);
    VelkLogicalFormat(h, lun, &progress_, &abort_);  // a failed format is not reported
    VelkCloseDevice(h, lun);
    formatReturned->set();
    followerEnded->wait();
}

void FormatDialog::followProgress(int lun, ui::ManualResetEvent& formatReturned, ui::ManualResetEvent& ended)
{
    nameThread("format progress");
    const int bar = lunBarId(lun);
    setRange(bar, 0, 100);
    setStep(bar, 1);
    setPos(bar, 0);
    // Follows the byte until it reaches 100 (not shown), the LUN is aborted,
    // or the format call returns, pausing briefly between two looks.
    for (;;) {
        const uint8_t p = loadByte(progress_);
        if (p >= 100 || loadByte(abort_) == 1 || formatReturned.isSet())
            break;
        setPos(bar, p);
        formatReturned.wait(kPollMs);
    }
    ended.set();
}

void FormatDialog::closeDriverServiceWindows()
{
    // Other programs' "Device Driver Service" windows would hold the
    // device: each is closed, half a second apart. A stop request ends the
    // attempts (a window that will not close must not hold the job forever).
    while (!idle_ && !closing_) {
        const auto w = os::findWindow(kDriverServiceTitle);
        if (!w)
            break;
        os::closeWindow(*w);
        ui::sleepMs(kWindowCloseMs);
    }
}

void FormatDialog::onUserMessage(unsigned msg, uintptr_t w, intptr_t l)
{
    if (msg == WM_FORMAT_CLEAR_STATUS) {
        setText(console::IDC_LUN_STATUS, "");
        return;
    }
    if (msg != WM_FORMAT_PROGRESS)
        return;
    const int n = int(w);
    const long v = long(l);
    if (n == 15) {
        setText(console::IDC_LUN_STATUS, "All LUN is format completely.");
        return;
    }
    if (v != 0 && v % 10 != 0)
        return;
    char status[64];
    std::snprintf(status, sizeof status, v < 80 ? "LUN %d is formatting....." : "LUN %d is Building file system.....",
                  n);
    setText(console::IDC_LUN_STATUS, status);
}

void FormatDialog::onPaint(ui::Painter& p)
{
    panel_.repaintMarks(p);
}

void FormatDialog::onTimer(int id)
{
    if (id == console::LunPanel::kSettleTimer)
        panel_.onSettleTimer();
}

int FormatDialog::onDeviceChange(unsigned event)
{
    return panel_.onDeviceChange(event);
}

void FormatDialog::onDestroy()
{
    // The window goes only after the job: the LUN in progress is aborted
    // and no further LUN is started.
    closing_ = true;
    storeByte(abort_, 1);
    done_.wait();
    panel_.dropList();
}

}  // namespace production
