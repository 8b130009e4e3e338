#include "lun_panel.h"

#include <cstdio>
#include <cstring>

#include "console/shell/usb_walk.h"

namespace console {

namespace {

// The marks: "O" in blue for a pass, "X" in red for a fail, on white.
const ui::Font kMarkFont{"Arial Black", 20, 13, 0};
constexpr ui::Color kBlue{0, 0, 255};
constexpr ui::Color kRed{255, 0, 0};
constexpr ui::Color kWhite{255, 255, 255};

}  // namespace

uint8_t mediaCodeFromFlags(uint8_t flags)
{
    // Tested in this order; a later match overrides an earlier one.
    static const struct { uint8_t bit; uint8_t code; } order[] = {
        {0x08, kMediaIde}, {0x10, kMediaCf}, {0x20, kMediaSm}, {0x40, kMediaSd},
        {0x80, kMediaMs}, {0x01, kMediaXd}, {0x02, kMediaFlash},
    };
    uint8_t code = kMediaNone;
    for (const auto& o : order)
        if (flags & o.bit)
            code = o.code;
    return code;
}

const char* mediaName(uint8_t code)
{
    static const char* const names[] = {"", "IDE", "MS/Pro", "SD/MMC", "SM", "CF", "Flash", "XD", "Unknow"};
    return code < sizeof names / sizeof names[0] ? names[code] : "";
}

std::string driveLabel(char letter, uint8_t code)
{
    char buf[64];  // the label is built in a 64-byte buffer
    std::snprintf(buf, sizeof buf, "(%c:) %s", letter, mediaName(code));
    return buf;
}

void LunTable::setMediaCode(int lun, uint8_t code)
{
    if (lun >= 0 && lun < kCodes)
        bytes_[1 + lun] = code;
}

uint32_t LunTable::sectors(int lun) const
{
    uint32_t n = 0;
    if (lun >= 0 && lun < kCounts)
        std::memcpy(&n, &bytes_[20 + 4 * lun], 4);
    return n;
}

void LunTable::setSectors(int lun, uint32_t n)
{
    if (lun >= 0 && lun < kCounts)
        std::memcpy(&bytes_[20 + 4 * lun], &n, 4);
}

LunPanel::LunPanel(ui::Dialog& owner, int startButton) : owner_(owner), startButton_(startButton)
{
    rowStates_.fill(kRowNoMark);
}

LunPanel::~LunPanel() = default;

bool LunPanel::usbChildWalk() const
{
    return UsbChildWalk();
}

// ---- the device list ----------------------------------------------------------

bool LunPanel::createList()
{
    device::List l(VelkCreateDeviceList(0, 0, 1));
    std::lock_guard lk(m_);
    records_ = nullptr;
    list_ = l ? std::make_shared<device::List>(std::move(l)) : nullptr;
    return list_ != nullptr;
}

void LunPanel::dropList()
{
    std::lock_guard lk(m_);
    list_.reset();
    records_ = nullptr;
}

SharedList LunPanel::list() const
{
    std::lock_guard lk(m_);
    return list_;
}

bool LunPanel::holds(const SharedList& list) const
{
    std::lock_guard lk(m_);
    return list && list == list_;
}

// ---- LUN listing and labels ------------------------------------------------------

bool LunPanel::refreshSectorCounts(const SharedList& expected)
{
    std::lock_guard lk(m_);
    if (!expectedLocked(expected))
        return false;
    return refreshLocked();
}

bool LunPanel::refreshLocked()
{
    if (!list_)
        return false;
    VelkHandle h = list_->get();
    DRIVE_INFO_COMMON* info = nullptr;
    uint8_t count = 0;
    if (!VelkGetDriveInfo(h, &info, &count) || !info) {
        // One row, LUN 0, whose medium is not known.
        table_.setLunCount(1);
        table_.setMediaCode(0, kMediaUnknown);
    } else {
        records_ = info;
        driveCount_ = count;
        table_.setLunCount(count);
        for (int i = 0; i < count && i < LunTable::kCodes; ++i)
            table_.setMediaCode(i, mediaCodeFromFlags(info[i].MediaFlags));
    }
    for (int i = 0; i < table_.lunCount() && i < LunTable::kCounts; ++i) {
        // As if the table's field were handed over: the library writes what
        // it writes (an empty slot gives 0), a call that writes nothing
        // leaves what the table had. The results are not looked at.
        uint32_t sectors = table_.sectors(i), blockLength = 0;
        VelkOpenDevice(h, uint8_t(i));
        VelkReadCapacity(h, uint8_t(i), &sectors, &blockLength);
        VelkCloseDevice(h, uint8_t(i));
        table_.setSectors(i, sectors);
    }
    return true;
}

void LunPanel::writeLabels(const SharedList& expected)
{
    std::lock_guard lk(m_);
    if (!expectedLocked(expected))
        return;
    writeLabelsLocked();
}

void LunPanel::writeLabelsLocked()
{
    for (int row = 0; row < kLunRows; ++row) {
        const uint8_t code = table_.mediaCode(row);
        if (code == kMediaNone) {
            owner_.setText(lunLabelId(row), "");
            owner_.enable(lunLabelId(row), false);
            continue;
        }
        // The drive records are queried again for every labelled row.
        DRIVE_INFO_COMMON* info = nullptr;
        uint8_t count = 0;
        if (list_ && VelkGetDriveInfo(list_->get(), &info, &count) && info) {
            records_ = info;
            driveCount_ = count;
        }
        // The "Unknow" row takes the letter of the first record, if any
        // record was ever returned.
        char letter = kPlaceholderLetter;
        if (records_ && (row < driveCount_ || row == 0))
            letter = records_[row].DriveLetter;
        owner_.setText(lunLabelId(row), driveLabel(letter, code));
        owner_.enable(lunLabelId(row), true);
    }
}

// ---- marks --------------------------------------------------------------------------

ui::Rect LunPanel::markRect(int row) const
{
    // Window-relative values used as client coordinates, as the rows have
    // always placed their marks.
    const ui::Rect d = owner_.windowRect();
    const ui::Rect l = owner_.controlRect(lunLabelId(row));
    ui::Rect r;
    r.left = l.right - d.left + 195;
    r.right = l.right - d.left + 225;
    r.bottom = l.top - d.top;
    r.top = r.bottom - 22;
    return r;
}

void LunPanel::drawMarkLocked(ui::Painter& p, int row) const
{
    const ui::Rect r = markRect(row);
    const int state = rowStates_[row];
    if (state != kRowFail && state != kRowPass) {
        p.fillRect(r, ui::kButtonFace);
        return;
    }
    p.drawText(r, state == kRowPass ? "O" : "X", kMarkFont, state == kRowPass ? kBlue : kRed, kWhite, ui::DT_LEFT);
}

void LunPanel::paintMark(int row, int state, const SharedList& expected)
{
    if (row < 0 || row >= kLunRows)
        return;
    std::lock_guard lk(m_);
    if (!expectedLocked(expected))
        return;
    rowStates_[row] = state;
    ui::Painter p(owner_);
    drawMarkLocked(p, row);
}

void LunPanel::setRowState(int row, int state)
{
    if (row < 0 || row >= kLunRows)
        return;
    std::lock_guard lk(m_);
    rowStates_[row] = state;
}

int LunPanel::rowState(int row) const
{
    if (row < 0 || row >= kLunRows)
        return kRowNoMark;
    std::lock_guard lk(m_);
    return rowStates_[row];
}

void LunPanel::repaintMarks(ui::Painter& p)
{
    std::lock_guard lk(m_);
    for (int row = 0; row < kLunRows; ++row)
        drawMarkLocked(p, row);
}

void LunPanel::clearRows()
{
    std::lock_guard lk(m_);
    clearRowsLocked();
}

void LunPanel::clearRowsLocked()
{
    owner_.setText(IDC_LUN_STATUS, "");
    ui::Painter p(owner_);
    for (int row = 0; row < kLunRows; ++row) {
        owner_.setText(lunLabelId(row), "");
        rowStates_[row] = kRowNoMark;
        drawMarkLocked(p, row);
        owner_.setPos(lunBarId(row), 0);
    }
}

// ---- table and flags ----------------------------------------------------------------

LunTable LunPanel::table() const
{
    std::lock_guard lk(m_);
    return table_;
}

void LunPanel::zeroTable()
{
    std::lock_guard lk(m_);
    table_.zero();
}

uint8_t LunPanel::driveCount() const
{
    std::lock_guard lk(m_);
    return driveCount_;
}

void LunPanel::setDeviceReady(bool on, const SharedList& expected)
{
    std::lock_guard lk(m_);
    if (expectedLocked(expected))
        ready_ = on;
}

void LunPanel::setJobRunning(bool on)
{
    std::lock_guard lk(m_);
    jobRunning_ = on;
}

void LunPanel::jobEnded(const SharedList& jobList, bool sameListToo)
{
    std::lock_guard lk(m_);
    jobRunning_ = false;
    if (ready_ && list_ && (sameListToo || list_ != jobList))
        owner_.enable(startButton_, true);
}

// ---- device change and settle timer ------------------------------------------------

int LunPanel::onDeviceChange(unsigned event)
{
    if (event != ui::DBT_DEVICEARRIVAL && event != ui::DBT_DEVICEREMOVECOMPLETE)
        return 0;
    const bool found = usbChildWalk();
    if (event == ui::DBT_DEVICEARRIVAL) {
        if (found) {
            owner_.killTimer(kSettleTimer);
            owner_.setTimer(kSettleTimer, kSettleMs);
        }
        return 1;
    }
    owner_.killTimer(kSettleTimer);
    {
        std::lock_guard lk(m_);
        list_.reset();  // a running job keeps its own reference
        records_ = nullptr;
        clearRowsLocked();
        ready_ = false;
        owner_.enable(startButton_, false);
    }
    if (onRemoved)
        onRemoved();
    return 1;
}

bool LunPanel::onSettleTimer()
{
    owner_.killTimer(kSettleTimer);
    std::lock_guard lk(m_);
    if (ready_)
        return false;  // a device already serves the dialog, or a job runs
    clearRowsLocked();
    table_.zero();
    list_.reset();
    records_ = nullptr;
    device::List l(VelkCreateDeviceList(0, 0, 1));
    if (!l)
        return false;  // the start button stays disabled
    list_ = std::make_shared<device::List>(std::move(l));
    DRIVE_INFO_COMMON* info = nullptr;
    uint8_t count = 0;
    if (VelkGetDriveInfo(list_->get(), &info, &count) && info) {
        records_ = info;
        driveCount_ = count;
    }
    // Ready only when the device reports as many LUNs as it lists drives;
    // otherwise it is still settling: wait for the next arrival.
    if (!records_ || records_[0].LunCount != driveCount_) {
        list_.reset();
        records_ = nullptr;
        return false;
    }
    if (refreshLocked())
        writeLabelsLocked();
    ready_ = true;
    if (!jobRunning_)
        owner_.enable(startButton_, true);
    return true;
}

}  // namespace console
