#include "reader_test_dialog.h"

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <memory>

#include "console/production/reader_test_ini.h"
#include "console/production/test_cycle.h"
#include "platform/os/os.h"

namespace production {

using console::kLunRows;
using console::lunBarId;

namespace {

constexpr unsigned kErrorBox = ui::MB_OK | ui::MB_ICONERROR;
constexpr int kRepeatIndex = 1;
// "Repeat": cycles per LUN in each pass.
constexpr uint32_t kRepeatTimes = 20;

}  // namespace

ReaderTestDialog::ReaderTestDialog() : ui::Dialog(readerTestTemplate()), panel_(*this, IDC_TEST)
{
    // A removal stops a running test; its list lives on until the worker ends.
    panel_.onRemoved = [this] { stop_.set(); };
}

ReaderTestDialog::~ReaderTestDialog() = default;

bool ReaderTestDialog::onInitDialog()
{
    // Arrivals and removals of the class "USB" reach the panel.
    for (const os::Guid& guid : os::classGuidsFromName("USB", 8))
        os::registerDeviceNotification(*this, guid);

    panel_.clearRows();
    panel_.zeroTable();

    setText(IDC_MAX_LOOP, "");
    setChecked(IDC_STOP_WHEN_ERROR, 0);
    enable(IDC_STOP_WHEN_ERROR, false);

    const ReaderTestIni ini = readReaderTestIni(os::currentDirectory() + "/" + kReaderTestIniName);
    if (!ini.message.empty())
        messageBox(ini.message, "Error", kErrorBox);
    testTimes_ = ini.testTimes;

    char count[16];
    std::snprintf(count, sizeof count, "%d", int(ini.testTimes));
    resetContent(IDC_TEST_TIMES);
    addString(IDC_TEST_TIMES, count);
    addString(IDC_TEST_TIMES, "Repeat");
    setCurSel(IDC_TEST_TIMES, 0);

    stop_.reset();

    if (!panel_.createList()) {
        enable(IDC_TEST, false);
        return true;
    }
    // Before anything else: what an interrupted test left on this device.
    restoreInterrupted();
    if (panel_.refreshSectorCounts())
        panel_.writeLabels();
    panel_.setDeviceReady(true);
    return true;
}

void ReaderTestDialog::restoreInterrupted()
{
    const console::SharedList list = panel_.list();
    if (!list)
        return;
    const RestoreReport r = restorePending(journalDirectory(), list->get());
    if (r.restored > 0)
        setText(console::IDC_LUN_STATUS, restoredText(r.restored));
}

void ReaderTestDialog::onCommand(int id)
{
    switch (id) {
    case IDC_TEST:
        startTest();
        break;
    case IDC_STOP:
        stop_.set();
        break;
    case IDC_EXIT:
        closeAfterWorker(ui::IDOK, 1000);
        break;
    case ui::IDCANCEL:
        // Escape and the close box.
        closeAfterWorker(ui::IDCANCEL, 0);
        break;
    default:
        // Enter (IDOK) does not end the dialog: it has no OK button.
        break;
    }
}

void ReaderTestDialog::closeAfterWorker(int result, int64_t graceMs)
{
    stop_.set();
    if (graceMs > 0)
        ui::sleepMs(graceMs);
    idle_.wait();  // a cycle in progress finishes with its write-back
    endDialog(result);
}

void ReaderTestDialog::onSelChange(int id)
{
    if (id != IDC_TEST_TIMES)
        return;
    if (curSel(IDC_TEST_TIMES) == kRepeatIndex) {
        setText(IDC_MAX_LOOP, "");
        enable(IDC_MAX_LOOP, false);
        enable(IDC_STOP_WHEN_ERROR, true);
    } else {
        enable(IDC_MAX_LOOP, true);
        setChecked(IDC_STOP_WHEN_ERROR, 0);
        enable(IDC_STOP_WHEN_ERROR, false);
    }
}

void ReaderTestDialog::startTest()
{
    if (!idle_.isSet())
        return;  // one worker at a time
    const std::string edit = text(IDC_MAX_LOOP);
    const int sel = curSel(IDC_TEST_TIMES);
    stop_.reset();
    repeat_ = 0;

    uint32_t times = 0;
    if (!edit.empty()) {
        times = parseUnsigned(edit);
    } else if (sel == 0) {
        times = parseUnsigned(itemText(IDC_TEST_TIMES, 0));
    } else if (sel == kRepeatIndex) {
        times = kRepeatTimes;
        repeat_ = 1;
    } else {
        const std::string typed = text(IDC_TEST_TIMES);
        if (typed.empty()) {
            messageBox("Please assign the test times", "Error", kErrorBox);
            return;
        }
        times = parseUnsigned(typed);
    }
    testTimes_ = times;

    for (int row = 0; row < kLunRows; ++row) {
        panel_.paintMark(row, console::kRowNoMark);
        setRange(lunBarId(row), 0, int(times & 0xFFFF));
        setStep(lunBarId(row), 1);
        setPos(lunBarId(row), 0);
    }
    enable(IDC_TEST, false);

    restoreInterrupted();
    panel_.zeroTable();
    panel_.refreshSectorCounts();

    const console::SharedList list = panel_.list();
    const DeviceIdentity id = list ? DeviceIdentity::read(list->get()) : DeviceIdentity{};
    idle_.reset();
    panel_.setJobRunning(true);
    startWorker([this, list, id] { worker(list, id); });
}

void ReaderTestDialog::decideOnRepeating()
{
    // Read now: a change made during the run counts.
    repeat_ = curSel(IDC_TEST_TIMES) == kRepeatIndex && !checked(IDC_STOP_WHEN_ERROR) ? 1 : 0;
}

void ReaderTestDialog::progress(const console::SharedList& list, int lun, uint32_t value)
{
    if (panel_.holds(list))
        postMessage(WM_TEST_PROGRESS, uintptr_t(lun), intptr_t(value));
}

void ReaderTestDialog::worker(console::SharedList list, DeviceIdentity id)
{
    struct End {
        ReaderTestDialog& d;
        const console::SharedList& list;
        ~End()
        {
            d.panel_.jobEnded(list, true);  // "Test" again, unless the device went
            d.idle_.set();
        }
    } end{*this, list};

    panel_.setDeviceReady(false);
    if (!list) {
        messageBox("Device not found", "Error", kErrorBox);
        return;
    }
    if (panel_.refreshSectorCounts(list))
        panel_.writeLabels(list);
    panel_.setDeviceReady(true, list);
    const console::LunTable snapshot = panel_.table();

    std::string error;
    std::unique_ptr<RestoreJournal> journal = RestoreJournal::create(journalDirectory(), id, &error);
    if (!journal) {
        messageBox(error, "Error", kErrorBox);
        return;
    }

    const VelkHandle h = list->get();
    SectorCycle cycle(h, *journal);
    TestRandom random;
    const uint32_t times = testTimes_;
    const int luns = std::min<int>(snapshot.lunCount(), kLunRows);
    for (;;) {
        for (int row = 0; row < kLunRows; ++row)
            panel_.setRowState(row, console::kRowNoMark);
        random.seed(uint32_t(std::time(nullptr)));
        for (int n = 0; n < luns; ++n) {
            const uint32_t sectors = snapshot.sectors(n);
            if (sectors == 0) {
                panel_.paintMark(n, console::kRowNoMark, list);  // no medium: no test, no mark
                continue;
            }
            const auto lun = uint8_t(n);
            VelkOpenDevice(h, lun);
            int pass = 1;
            uint32_t i = 0;
            while (i < times) {
                progress(list, n, i);
                const uint32_t lba = uint32_t(random.next()) % sectors;
                if (cycle.run(lun, sectors, lba, i) != CycleResult::Passed) {
                    pass = 0;
                    decideOnRepeating();
                    break;
                }
                if (stop_.isSet()) {
                    // Stopped after a whole cycle: no mark for this LUN.
                    VelkCloseDevice(h, lun);
                    return;
                }
                ++i;
            }
            VelkCloseDevice(h, lun);
            progress(list, n, i);
            panel_.paintMark(n, pass, list);
            if (!pass && stop_.isSet())
                return;  // a test whose every cycle fails can be stopped too
        }
        progress(list, kAllLuns, 0);
        if (!repeat_)
            break;
    }
}

void ReaderTestDialog::onUserMessage(unsigned msg, uintptr_t w, intptr_t l)
{
    if (msg != WM_TEST_PROGRESS || !panel_.list())
        return;  // late news from a test whose device has gone
    const int lun = int(w);
    if (lun == kAllLuns) {
        setText(console::IDC_LUN_STATUS, "All LUN is tested completely.");
        return;
    }
    char status[64];
    std::snprintf(status, sizeof status, "LUN %d is testing.....", lun);
    setText(console::IDC_LUN_STATUS, status);
    if (lun >= 0 && lun < kLunRows)
        setPos(lunBarId(lun), int(l));
}

void ReaderTestDialog::onPaint(ui::Painter& p)
{
    panel_.repaintMarks(p);
}

void ReaderTestDialog::onTimer(int id)
{
    if (id != console::LunPanel::kSettleTimer)
        return;
    if (panel_.onSettleTimer() && idle_.isSet())
        restoreInterrupted();
}

int ReaderTestDialog::onDeviceChange(unsigned event)
{
    return panel_.onDeviceChange(event);
}

void ReaderTestDialog::onDestroy()
{
    stop_.set();
    idle_.wait();
    panel_.dropList();
}

}  // namespace production
