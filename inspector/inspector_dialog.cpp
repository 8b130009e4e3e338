#include "inspector/inspector_dialog.h"

#include "inspector/page_dump.h"
#include "inspector/page_text.h"
#include "platform/os/os.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>


#ifndef PELISKAR_VERSION
#define PELISKAR_VERSION "1.0.0.0"
#endif

namespace inspector {

namespace {

using ui::MB_ICONERROR;
using ui::MB_ICONQUESTION;
using ui::MB_OK;
using ui::MB_YESNO;

constexpr int kActions[] = {IDC_READ, IDC_WRITE, IDC_NEXT_PAGE, IDC_PREV_PAGE,
                            IDC_ERASE_BLOCK, IDC_NEXT_BLOCK, IDC_PREV_BLOCK};

const char kReadFail[] = "Flash Data Read Fail!";
const char kRewriteReadFail[] = "Flash Data Read Error, so Writing Fail !";

ui::FileDialogSpec dumpFileSpec() {
    ui::FileDialogSpec spec;
    spec.filter = "Setup File (*.txt)|*.txt||";
    spec.defaultExt = "txt";
    spec.hideReadOnly = true;
    return spec;
}

// A range message with its number, as a signed int ("-1" for a chip of no
// pages), in the messages' 128-character buffer.
std::string format(const char* fmt, long long v) {
    char buf[128];
    std::snprintf(buf, sizeof buf, fmt, static_cast<int>(v));
    return buf;
}

}  // namespace

ui::DialogTemplate inspectorTemplate() {
    using ui::Kind;
    ui::DialogTemplate t;
    t.id = IDD_PELISKAR;
    t.caption = "Peliskar";
    t.cx = 301;
    t.cy = 341;
    t.systemMenu = true;
    t.controls = {
        {-1, Kind::GroupBox, "Logical/Physical Data", {7, 4, 76, 44}, 0},
        {IDC_LOGICAL, Kind::AutoRadioButton, "Logical", {15, 16, 60, 10}, ui::WS_GROUP},
        {IDC_PHYSICAL, Kind::AutoRadioButton, "Physical", {15, 31, 60, 10}, 0},
        {-1, Kind::Static, "Logical Address", {92, 8, 56, 8}, ui::WS_GROUP},
        {IDC_LBA, Kind::Edit, "", {150, 6, 70, 12}, ui::ES_NUMBER},
        {-1, Kind::Static, "Flash Num", {92, 24, 56, 8}, 0},
        {IDC_FLASH_NUM, Kind::ComboBox, "", {150, 22, 70, 80},
         ui::CBS_DROPDOWNLIST | ui::LBS_SORT | ui::WS_VSCROLL},
        {-1, Kind::Static, "Block", {92, 40, 56, 8}, 0},
        {IDC_BLOCK, Kind::Edit, "", {150, 38, 70, 12}, ui::ES_NUMBER},
        {-1, Kind::Static, "Page", {92, 56, 56, 8}, 0},
        {IDC_PAGE, Kind::Edit, "", {150, 54, 70, 12}, ui::ES_NUMBER},
        {IDC_READ, Kind::PushButton, "&Read", {232, 5, 62, 14}, ui::WS_GROUP},
        {IDC_WRITE, Kind::PushButton, "&Write", {232, 21, 62, 14}, 0},
        {IDC_SAVE, Kind::PushButton, "Save", {232, 37, 62, 14}, 0},
        {IDC_RESTORE, Kind::PushButton, "Restore", {232, 53, 62, 14}, 0},
        {IDC_CLOSE, Kind::PushButton, "&Close", {232, 69, 62, 14}, 0},
        {-1, Kind::Static, "Redundant", {7, 90, 44, 8}, 0},
        {IDC_SPARE, Kind::Edit, "", {53, 88, 241, 12}, ui::ES_UPPERCASE},
        {IDC_PREV_PAGE, Kind::PushButton, "Prev Page", {7, 106, 54, 14}, 0},
        {IDC_NEXT_PAGE, Kind::PushButton, "Next Page", {65, 106, 54, 14}, 0},
        {IDC_PREV_BLOCK, Kind::PushButton, "Prev Blk", {123, 106, 54, 14}, 0},
        {IDC_NEXT_BLOCK, Kind::PushButton, "Next Blk", {181, 106, 54, 14}, 0},
        {IDC_ERASE_BLOCK, Kind::PushButton, "Erase Blk", {240, 106, 54, 14}, 0},
        {IDC_ADDRESS, Kind::Edit, "", {7, 126, 44, 208}, ui::ES_MULTILINE | ui::ES_READONLY, int(kLabelChars)},
        {IDC_DATA, Kind::Edit, "", {53, 126, 241, 208},
         ui::ES_MULTILINE | ui::ES_UPPERCASE | ui::WS_VSCROLL, int(kRowChars)},
    };
    return t;
}

ui::DialogTemplate aboutTemplate() {
    using ui::Kind;
    ui::DialogTemplate t;
    t.id = 100;
    t.caption = "About Peliskar";
    t.cx = 200;
    t.cy = 55;
    t.systemMenu = true;
    t.controls = {
        {-1, Kind::Static, "Peliskar Version " PELISKAR_VERSION, {14, 10, 119, 8}, 0},
        {-1, Kind::Static, "NAND page and logical sector inspector", {14, 25, 150, 8}, 0},
        {ui::IDOK, Kind::DefPushButton, "OK", {143, 7, 50, 14}, ui::WS_GROUP},
    };
    return t;
}

InspectorDialog::InspectorDialog(PageDeviceFactory makeDevice)
    : ui::Dialog(inspectorTemplate()), makeDevice_(std::move(makeDevice)) {
    if (!makeDevice_) makeDevice_ = [](VelkHandle h) { return std::make_unique<VelkPageDevice>(h); };
}

InspectorDialog::~InspectorDialog() = default;

// ---- start-up and end ------------------------------------------------------------

bool InspectorDialog::onInitDialog() {
    appendSystemMenu(IDM_ABOUTBOX, "&About Peliskar...");

    list_ = device::List::devices(0, 0);
    if (!list_) {
        messageBox("Device not found", "Information", MB_OK | MB_ICONERROR);
        endDialog(ui::IDCANCEL);
        return true;
    }
    dev_ = makeDevice_(list_.get());
    dev_->start();

    FlashGeometry g;
    // A device without a flash record has no chips either.
    if (!dev_->geometry(g) || g.chipCount == 0) {
        release();
        endDialog(ui::IDCANCEL);
        return true;
    }
    chipCount_ = g.chipCount;
    pageSize_ = g.pageSize;
    blockPages_ = g.pagesPerBlock;
    dev_->capacity(sectorCount_, sectorSize_);

    spareSize_ = pageSize_ == 512 ? 16 : 64;
    blockData_.assign(size_t(pageSize_) * blockPages_, 0);
    blockSpare_.assign(size_t(spareSize_) * blockPages_, 0);
    pageData_.assign(pageSize_, 0);
    pageSpare_.assign(spareSize_, 0);
    // The library transfers whole sectors of the size it knows, so a sector
    // size that could not be read at start-up still gets room for its
    // largest sector.
    sector_.assign(std::max<size_t>(sectorSize_, 2048), 0);

    setChecked(IDC_PHYSICAL, 1);
    setChecked(IDC_LOGICAL, 0);
    setTextLimit(IDC_DATA, int(pageSize_ * 3));
    enable(IDC_LBA, false);
    for (int id : {IDC_FLASH_NUM, IDC_BLOCK, IDC_PAGE, IDC_SPARE}) enable(id, true);
    enableActions(false);

    for (unsigned c = 0; c < chipCount_; ++c) addString(IDC_FLASH_NUM, std::to_string(c));
    setCurSel(IDC_FLASH_NUM, 0);
    setText(IDC_BLOCK, "0");
    setText(IDC_PAGE, "0");
    readButton();
    return true;
}

void InspectorDialog::release() {
    if (dev_) dev_->close();
    dev_.reset();
    list_.reset();
    blockData_ = {};
    blockSpare_ = {};
    pageData_ = {};
    pageSpare_ = {};
    sector_ = {};
}

void InspectorDialog::onDestroy() { release(); }

void InspectorDialog::onSysCommand(int cmd) {
    if (cmd != IDM_ABOUTBOX) return;
    ui::Dialog about(aboutTemplate());
    about.runModal();
}

// ---- events --------------------------------------------------------------------

void InspectorDialog::onCommand(int id) {
    if (!dev_) {
        // Not started (no device): only the ways out.
        if (id == IDC_CLOSE || id == ui::IDCANCEL) endDialog(ui::IDCANCEL);
        return;
    }
    switch (id) {
    case IDC_PHYSICAL: toPhysical(); break;
    case IDC_LOGICAL: toLogical(); break;
    case IDC_READ: readButton(); break;
    case IDC_WRITE: write(); break;
    case IDC_NEXT_PAGE: nextPage(); break;
    case IDC_PREV_PAGE: prevPage(); break;
    case IDC_NEXT_BLOCK: nextBlock(); break;
    case IDC_PREV_BLOCK: prevBlock(); break;
    case IDC_ERASE_BLOCK: eraseBlock(); break;
    case IDC_SAVE: save(); break;
    case IDC_RESTORE: restore(); break;
    case IDC_CLOSE:
    case ui::IDCANCEL:   // the close box and Escape end the program as Close does
        release();
        endDialog(id == IDC_CLOSE ? ui::IDOK : ui::IDCANCEL);
        break;
    default:
        // Enter (IDOK) in a field does not end the program.
        break;
    }
}

void InspectorDialog::onSelChange(int id) {
    if (id == IDC_FLASH_NUM && dev_) updateButtons();
}

void InspectorDialog::onEditChange(int id) {
    if (!dev_) return;
    if (id == IDC_BLOCK || id == IDC_PAGE || id == IDC_LBA) updateButtons();
}

void InspectorDialog::onScroll(int id, int firstVisibleLine) {
    if (id != IDC_DATA || !dev_) return;
    // The first row is kept in a byte.
    const unsigned first = static_cast<uint8_t>(firstVisibleLine);
    setText(IDC_ADDRESS, addressColumn(pageSize_, first));
}

// ---- fields ------------------------------------------------------------------------

bool InspectorDialog::physical() const { return checked(IDC_PHYSICAL) != 0; }

bool InspectorDialog::checkPhysical(PhysicalAddress& at) {
    at.chip = fieldNumber(text(IDC_FLASH_NUM));
    at.block = fieldNumber(text(IDC_BLOCK));
    at.page = fieldNumber(text(IDC_PAGE));
    if (at.chip > chipCount_ - 1) {
        messageBox(format("Please enter an integer less than %d in Flash Num Field.", chipCount_), "Info",
                   MB_OK | MB_ICONERROR);
        return false;
    }
    at.limits = dev_->limits(at.chip);
    const long long lastPage = static_cast<long long>(at.limits.pagesPerBlock) - 1;
    if (static_cast<long long>(at.page) > lastPage) {
        messageBox(format("Please enter an integer between 0 and %d in Page Field.", lastPage), "Info",
                   MB_OK | MB_ICONERROR);
        return false;
    }
    // Unsigned, as the block count is: a chip without blocks takes any number.
    const uint32_t lastBlock = at.limits.blockCount - 1;
    if (at.block > lastBlock) {
        messageBox(format("Please enter an integer between 0 and %d in Physical Block Field.",
                          static_cast<int32_t>(lastBlock)),
                   "Info", MB_OK | MB_ICONERROR);
        return false;
    }
    return true;
}

bool InspectorDialog::checkLogical(uint32_t& lba) {
    lba = fieldNumber(text(IDC_LBA));
    const uint32_t last = sectorCount_ - 1;
    if (lba > last) {
        messageBox(format("Please enter an integer between 0 and %d in Logical Address Field.",
                          static_cast<int32_t>(last)),
                   "Info", MB_OK | MB_ICONERROR);
        return false;
    }
    return true;
}

void InspectorDialog::enableActions(bool on) {
    for (int id : kActions) enable(id, on);
}

bool InspectorDialog::updateButtons() {
    if (!physical()) {
        uint32_t lba = 0;
        if (text(IDC_LBA).empty() || !checkLogical(lba)) {
            enableActions(false);
            return false;
        }
        const uint32_t last = sectorCount_ - 1;
        enable(IDC_READ, true);
        enable(IDC_WRITE, true);
        enable(IDC_ERASE_BLOCK, false);
        enable(IDC_NEXT_BLOCK, false);
        enable(IDC_PREV_BLOCK, false);
        enable(IDC_NEXT_PAGE, lba != last);
        enable(IDC_PREV_PAGE, lba > 0 || lba == last);
        return true;
    }
    PhysicalAddress at;
    if (text(IDC_FLASH_NUM).empty() || text(IDC_BLOCK).empty() || text(IDC_PAGE).empty() ||
        !checkPhysical(at)) {
        enableActions(false);
        return false;
    }
    const long long lastPage = static_cast<long long>(at.limits.pagesPerBlock) - 1;
    const uint32_t lastBlock = at.limits.blockCount - 1;
    const bool atEnd = at.page == lastPage && at.block == lastBlock;
    enable(IDC_READ, true);
    enable(IDC_WRITE, true);
    enable(IDC_ERASE_BLOCK, true);
    enable(IDC_NEXT_PAGE, static_cast<long long>(at.page) < lastPage);
    enable(IDC_PREV_PAGE, at.page > 0 || atEnd);
    enable(IDC_NEXT_BLOCK, at.block < lastBlock);
    enable(IDC_PREV_BLOCK, at.block > 0 || atEnd);
    return true;
}

// ---- modes ---------------------------------------------------------------------------

void InspectorDialog::toPhysical() {
    setTextLimit(IDC_DATA, int(pageSize_ * 3));
    enable(IDC_LBA, false);
    for (int id : {IDC_FLASH_NUM, IDC_BLOCK, IDC_PAGE, IDC_SPARE}) enable(id, true);
    if (updateButtons()) readButton();
}

void InspectorDialog::toLogical() {
    if (text(IDC_LBA).empty()) setText(IDC_LBA, "0");
    setTextLimit(IDC_DATA, int(std::min<uint64_t>(uint64_t(sectorSize_) * 3, 0x7FFFFFFF)));
    enable(IDC_LBA, true);
    for (int id : {IDC_FLASH_NUM, IDC_BLOCK, IDC_PAGE, IDC_SPARE}) enable(id, false);
    if (updateButtons()) readButton();
}

// ---- reading ---------------------------------------------------------------------------

void InspectorDialog::readButton() {
    if (physical()) {
        PhysicalAddress at;
        if (checkPhysical(at)) pageRead(at.chip, at.block, at.page);
    } else {
        uint32_t lba = 0;
        if (checkLogical(lba)) sectorRead(lba);
    }
}

void InspectorDialog::pageRead(unsigned chip, uint32_t block, unsigned page) {
    std::fill(pageData_.begin(), pageData_.end(), 0);
    std::fill(pageSpare_.begin(), pageSpare_.end(), 0);
    const int spareOk = dev_->readRedundant(chip, block, page, pageSpare_.data());
    const int dataOk = dev_->readPhysical(chip, block, page, pageData_.data());
    if (!spareOk || !dataOk) {
        messageBox(kReadFail, "Error", MB_OK | MB_ICONERROR);
        return;
    }
    setText(IDC_ADDRESS, addressColumn(pageSize_));
    setText(IDC_SPARE, hexText(pageSpare_.data(), std::min<size_t>(kShownSpareBytes, spareSize_)));
    setText(IDC_DATA, hexText(pageData_.data(), pageSize_));
}

void InspectorDialog::sectorRead(uint32_t lba) {
    std::fill(sector_.begin(), sector_.end(), 0);
    if (dev_->readSector(lba, sector_.data()) != 1) {
        messageBox(kReadFail, "Error", MB_OK | MB_ICONERROR);
        return;
    }
    setText(IDC_ADDRESS, addressColumn(pageSize_));
    setText(IDC_DATA, hexText(sector_.data(), sectorSize_));
}

// ---- navigation ------------------------------------------------------------------------
// The read comes first, then the field: the field moves even when the read
// failed, and its change runs the button-state update.

void InspectorDialog::nextPage() {
    if (physical()) {
        PhysicalAddress at;
        if (!checkPhysical(at)) return;
        const unsigned n = at.page + 1;
        if (static_cast<long long>(n) > static_cast<long long>(at.limits.pagesPerBlock) - 1) return;
        pageRead(at.chip, at.block, n);
        setText(IDC_PAGE, std::to_string(n));
    } else {
        uint32_t lba = 0;
        if (!checkLogical(lba)) return;
        const uint32_t n = lba + 1;
        if (n > sectorCount_ - 1 || n == 0) return;
        sectorRead(n);
        setText(IDC_LBA, std::to_string(n));
    }
}

void InspectorDialog::prevPage() {
    if (physical()) {
        PhysicalAddress at;
        if (!checkPhysical(at)) return;
        // The button stays enabled on the only page of a one-page block:
        // there is no page before page 0.
        if (at.page == 0) return;
        pageRead(at.chip, at.block, at.page - 1);
        setText(IDC_PAGE, std::to_string(at.page - 1));
    } else {
        uint32_t lba = 0;
        if (!checkLogical(lba)) return;
        if (lba == 0) return;
        sectorRead(lba - 1);
        setText(IDC_LBA, std::to_string(lba - 1));
    }
}

void InspectorDialog::nextBlock() {
    if (!physical()) return;
    PhysicalAddress at;
    if (!checkPhysical(at)) return;
    const uint32_t n = at.block + 1;
    if (n > at.limits.blockCount - 1 || n == 0) return;
    pageRead(at.chip, n, 0);
    setText(IDC_PAGE, "0");
    setText(IDC_BLOCK, std::to_string(n));
}

void InspectorDialog::prevBlock() {
    if (!physical()) return;
    PhysicalAddress at;
    if (!checkPhysical(at)) return;
    if (at.block == 0) return;
    pageRead(at.chip, at.block - 1, 0);
    setText(IDC_PAGE, "0");
    setText(IDC_BLOCK, std::to_string(at.block - 1));
}

void InspectorDialog::eraseBlock() {
    if (!physical()) return;
    PhysicalAddress at;
    if (!checkPhysical(at)) return;
    if (dev_->eraseBlock(at.chip, at.block) == 1) pageRead(at.chip, at.block, at.page);
}

// ---- writing ---------------------------------------------------------------------------

void InspectorDialog::write() {
    uint8_t status = 0;
    dev_->status(status);
    if (status & 1) {
        messageBox("The disk cannot be written!\nThe switched is in write protect mode.\n", "Error",
                   MB_OK | MB_ICONERROR);
        return;
    }
    if (physical()) {
        std::fill(pageSpare_.begin(), pageSpare_.end(), 0);
        std::fill(pageData_.begin(), pageData_.end(), 0);
        PhysicalAddress at;
        if (!checkPhysical(at)) return;
        switch (parseSpare(text(IDC_SPARE), pageSpare_.data())) {
        case ParseResult::Ok: break;
        case ParseResult::Empty:
            if (messageBox("Redundant Area is Empty !\nDo you still want to write data to Flash ?", "Question",
                           MB_YESNO | MB_ICONQUESTION) != ui::IDYES)
                return;
            break;
        case ParseResult::Bad:
            messageBox("Redundant data input is incorrect !", "Error", MB_OK | MB_ICONERROR);
            return;
        }
        switch (parseData(text(IDC_DATA), pageData_.data(), pageSize_)) {
        case ParseResult::Ok: break;
        case ParseResult::Empty:
            if (messageBox("Data Area is Empty !\nDo you still want to write data to Flash ?", "Question",
                           MB_YESNO | MB_ICONQUESTION) != ui::IDYES)
                return;
            std::fill(pageData_.begin(), pageData_.end(), 0);
            break;
        case ParseResult::Bad:
            messageBox("Data input is incorrect !", "Error", MB_OK | MB_ICONERROR);
            return;
        }
        blockRewrite(at);
        return;
    }
    std::fill(sector_.begin(), sector_.end(), 0);
    uint32_t lba = 0;
    if (!checkLogical(lba)) return;
    switch (parseData(text(IDC_DATA), sector_.data(), sectorSize_)) {
    case ParseResult::Ok: break;
    case ParseResult::Empty:
        if (messageBox("Data Area is Empty !\nDo you still want to write data to Flash ?", "Question",
                       MB_YESNO | MB_ICONQUESTION) != ui::IDYES)
            return;
        std::fill(sector_.begin(), sector_.end(), 0);
        break;
    case ParseResult::Bad:
        messageBox("Data input is incorrect !", "Error", MB_OK | MB_ICONERROR);
        return;
    }
    logicalWrite(lba);
}

void InspectorDialog::blockRewrite(const PhysicalAddress& at) {
    // The buffers hold the pages per block of chip 0. A block is read,
    // erased and written only within the selected chip's block, and never
    // erased when the buffers cannot hold all of its pages.
    const unsigned chipPages = at.limits.pagesPerBlock;
    if (chipPages > blockPages_) {
        messageBox(kRewriteReadFail, "Error", MB_OK | MB_ICONERROR);
        return;
    }
    const unsigned pages = chipPages;
    const size_t P = pageSize_, S = spareSize_;
    ui::WaitCursor busy;
    updateWindow();

    std::fill(blockSpare_.begin(), blockSpare_.end(), 0);
    std::fill(blockData_.begin(), blockData_.end(), 0);
    for (unsigned i = 0; i < pages; ++i) {
        uint8_t* data = blockData_.data() + i * P;
        uint8_t* spare = blockSpare_.data() + i * S;
        if (i == at.page) {
            std::copy(pageData_.begin(), pageData_.end(), data);
            std::copy_n(pageSpare_.begin(), std::min<size_t>(kShownSpareBytes, S), spare);
            continue;
        }
        const int spareOk = dev_->readRedundant(at.chip, at.block, i, spare);
        const int dataOk = dev_->readPhysical(at.chip, at.block, i, data);
        if (!spareOk || !dataOk) {
            messageBox(kRewriteReadFail, "Error", MB_OK | MB_ICONERROR);
            return;   // nothing erased
        }
    }
    if (!dev_->eraseBlock(at.chip, at.block)) {
        messageBox("Erase block fail!", "Error", MB_OK | MB_ICONERROR);
        return;
    }
    // Every page is written back even after one failed: the others are in
    // memory, and only the page that failed is lost.
    bool failed = false;
    for (unsigned i = 0; i < pages; ++i) {
        const int spareOk = dev_->writeRedundant(at.chip, at.block, i, blockSpare_.data() + i * S);
        const int dataOk = dev_->writePhysical(at.chip, at.block, i, blockData_.data() + i * P);
        if (!spareOk || !dataOk) failed = true;
    }
    if (failed)
        messageBox("Write data to Flash fail!", "Error", MB_OK | MB_ICONERROR);
    else
        messageBox("Write data to Flash success !", "Info", MB_OK);
}

void InspectorDialog::logicalWrite(uint32_t lba) {
    uint8_t status = 0;
    dev_->status(status);
    if (status & 1) {
        messageBox("WRITE PROTECT", "Warning", MB_OK | MB_ICONERROR);
        return;
    }
    if (dev_->writeSector(lba, sector_.data()))
        messageBox("Write data to Flash (logical area) success !", "Info", MB_OK);
    else
        messageBox("Write data to Flash (logical area) fail!", "Error", MB_OK | MB_ICONERROR);
}

// ---- page dump files -------------------------------------------------------------------

void InspectorDialog::save() {
    const std::optional<std::string> path = saveFileDialog(dumpFileSpec());
    if (!path || path->empty()) return;
    const bool phys = physical();
    const size_t bytes = phys ? pageSize_ : sectorSize_;
    const std::string file = dumpText(phys, text(IDC_SPARE), text(IDC_DATA), bytes);
    const os::Replaced done = os::replaceFile(*path, file);
    if (done == os::Replaced::CannotCreate) {
        messageBox("Error to open file", "Error", MB_OK | MB_ICONERROR);
        return;
    }
    if (done == os::Replaced::WriteFailed) {
        messageBox("Error to write file", "Error", MB_OK | MB_ICONERROR);
        return;
    }
    messageBox("Finish to save file " + *path + " !", ui::program().executable, MB_OK);
}

void InspectorDialog::restore() {
    Restored r;
    {
        ui::WaitCursor busy;
        const std::optional<std::string> path = openFileDialog(dumpFileSpec());
        if (!path || path->empty()) return;
        std::error_code ec;
        std::ifstream in;
        if (!std::filesystem::is_directory(*path, ec)) in.open(*path, std::ios::binary);
        if (!in.is_open()) {
            messageBox("Error to open file", "Error", MB_OK | MB_ICONERROR);
            return;
        }
        // The rebuilt text holds one page or one sector, whichever is larger.
        r = readDump(in, physical(), std::max<size_t>(pageSize_, sectorSize_));
    }
    if (r.spareText) setText(IDC_SPARE, *r.spareText);
    switch (r.outcome) {
    case Restored::Outcome::NotFound:
        return;
    case Restored::Outcome::ReadError:
        messageBox("Error to read file", "Error", MB_OK | MB_ICONERROR);
        return;
    case Restored::Outcome::Ready:
        break;
    }
    setText(IDC_DATA, r.dataText);
    updateWindow();
    write();
}

}  // namespace inspector
