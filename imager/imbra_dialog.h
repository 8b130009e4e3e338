// imbra_dialog.h - Imbra's one dialog: Load, Auto, Program, Verify and Exit,
// the log list and the progress bar. Everything runs on the dialog thread:
// Program and Verify run to the end inside the button handler and show each
// log line and progress step at once (Dialog::updateWindow).
#pragma once

#include "device/records.h"
#include "imager/disc_image.h"
#include "imager/transfer.h"
#include "ui/dialog.h"

#include <functional>
#include <memory>
#include <string>

namespace imager {

enum : int {
    IDC_LOAD = 1000,      // "&Load"
    IDC_AUTO = 1001,      // "&Auto"
    IDC_PROGRAM = 1002,   // "&Program"
    IDC_VERIFY = 1003,    // "&Verify"
    IDC_EXIT = 1004,      // "E&xit"
    IDC_LOG = 1005,       // log list, one message per item
    IDC_PROGRESS = 1006,  // one step per sector
};

enum : int {
    IDD_ABOUTBOX = 100,
    IDD_IMBRA = 102,
    IDR_MAINFRAME = 128,   // the program's icon
    IDB_PICTURE = 129,     // the picture beside the buttons
};
inline constexpr int IDM_ABOUTBOX = 16;   // system-menu command of the about item
inline constexpr int kPollTimer = 1;
inline constexpr unsigned kPollMs = 100;

// The device list is made for this vendor and product.
inline constexpr uint16_t kVendorId = 0x3A7C;
inline constexpr uint16_t kProductId = 0x070A;

ui::DialogTemplate imbraDialogTemplate();
ui::DialogTemplate aboutDialogTemplate();

// Makes the device the transfers go to from the dialog's device list.
using SectorDeviceFactory = std::function<std::unique_ptr<SectorDevice>(VelkHandle)>;

class ImbraDialog : public ui::Dialog {
public:
    // Without a factory the transfers go through the device library.
    explicit ImbraDialog(SectorDeviceFactory makeDevice = {});
    ~ImbraDialog() override;

    bool onInitDialog() override;
    void onCommand(int id) override;
    void onTimer(int id) override;
    int onDeviceChange(unsigned event) override;
    void onSysCommand(int cmd) override;
    void onDestroy() override;

    // Load after the file dialog: opens the image at path and looks for its
    // start (the log is not cleared here).
    void loadImage(const std::string& path);
    // Program and Verify as their buttons run them; true when they succeeded.
    bool program();
    bool verify();

    VelkHandle handle() const { return list_.get(); }
    const DiscImage& image() const { return image_; }

private:
    void load();
    void exit(int result);
    void log(const std::string& line);
    // The device is there: drive information, Load (and the image buttons
    // with an image loaded), the poll.
    void deviceFound();
    void deviceGone();
    void enableImageButtons(bool on);
    // The message of the last failed search of the start.
    std::string searchFailure() const;
    TransferResult transfer(bool write);

    SectorDeviceFactory makeDevice_;
    device::List list_;
    device::DriveInfo drive_;
    DiscImage image_;
    bool polling_ = false;
};

}  // namespace imager
