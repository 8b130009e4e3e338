// inspector_dialog.h - Peliskar's one dialog: shows and edits one NAND page
// with the first 16 bytes of its spare area (physical mode) or one logical
// sector (logical mode), navigates pages, blocks and sectors, erases and
// rewrites blocks, and saves and restores the view as a page dump file.
// Everything runs on the dialog thread.
#pragma once

#include "device/records.h"
#include "inspector/page_device.h"
#include "ui/dialog.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace inspector {

enum : int {
    IDD_PELISKAR = 102,
    IDC_DATA = 1001,         // data bytes, 16 per row
    IDC_ADDRESS = 1002,      // address column beside the data rows
    IDC_READ = 1003,
    IDC_LOGICAL = 1004,
    IDC_PHYSICAL = 1005,
    IDC_BLOCK = 1006,
    IDC_LBA = 1007,          // "Logical Address"
    IDC_PAGE = 1008,
    IDC_NEXT_PAGE = 1009,
    IDC_PREV_PAGE = 1010,
    IDC_ERASE_BLOCK = 1011,
    IDC_NEXT_BLOCK = 1012,
    IDC_PREV_BLOCK = 1013,
    IDC_SPARE = 1023,        // "Redundant": the first 16 spare bytes
    IDC_CLOSE = 1025,
    IDC_SAVE = 1026,
    IDC_RESTORE = 1027,
    IDC_FLASH_NUM = 1029,
    IDC_WRITE = 1034,
    IDM_ABOUTBOX = 0x0010,   // "&About Peliskar..." in the system menu
};

ui::DialogTemplate inspectorTemplate();
ui::DialogTemplate aboutTemplate();

// Makes the dialog's device from its (non-null) device list.
using PageDeviceFactory = std::function<std::unique_ptr<PageDevice>(VelkHandle)>;

class InspectorDialog : public ui::Dialog {
public:
    // Without a factory the device is the device library's.
    explicit InspectorDialog(PageDeviceFactory makeDevice = {});
    ~InspectorDialog() override;

    bool onInitDialog() override;
    void onCommand(int id) override;
    void onSelChange(int id) override;
    void onEditChange(int id) override;
    void onScroll(int id, int firstVisibleLine) override;
    void onSysCommand(int cmd) override;
    void onDestroy() override;

private:
    struct PhysicalAddress {
        unsigned chip = 0;
        uint32_t block = 0;
        unsigned page = 0;
        ChipLimits limits;   // of that chip, fetched by the check
    };

    bool physical() const;
    // The field checks: false (after the range message) when a field is out
    // of range.
    bool checkPhysical(PhysicalAddress& out);
    bool checkLogical(uint32_t& lba);
    // Enables the seven action buttons by the fields; true when they are valid.
    bool updateButtons();
    void enableActions(bool on);

    void toPhysical();
    void toLogical();
    void readButton();
    void pageRead(unsigned chip, uint32_t block, unsigned page);
    void sectorRead(uint32_t lba);
    void nextPage();
    void prevPage();
    void nextBlock();
    void prevBlock();
    void eraseBlock();
    void write();
    void blockRewrite(const PhysicalAddress& at);
    void logicalWrite(uint32_t lba);
    void save();
    void restore();
    void release();

    PageDeviceFactory makeDevice_;
    device::List list_;
    std::unique_ptr<PageDevice> dev_;

    // Fixed at start-up.
    unsigned chipCount_ = 0;
    unsigned pageSize_ = 0;
    unsigned spareSize_ = 0;
    unsigned blockPages_ = 0;    // pages per block of chip 0: what a block rewrite holds
    uint32_t sectorCount_ = 0;
    uint32_t sectorSize_ = 0;

    // Working buffers (sizes in bytes as named).
    std::vector<uint8_t> blockData_;    // pageSize_ * blockPages_
    std::vector<uint8_t> blockSpare_;   // spareSize_ * blockPages_
    std::vector<uint8_t> pageData_;     // pageSize_
    std::vector<uint8_t> pageSpare_;    // spareSize_
    std::vector<uint8_t> sector_;       // at least sectorSize_
};

}  // namespace inspector
