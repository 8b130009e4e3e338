#include "rom_size_dialog.h"

#include <cstdio>

#include "device/records.h"
#include "writer_resources.h"

namespace writer {

namespace {

constexpr uint32_t kQn537Size = 0xC000;    // 49152
constexpr uint32_t kQn537eSize = 0x10000;  // 65536

}  // namespace

RomSizeDialog::RomSizeDialog() : ui::Dialog(romSizeDialogTemplate()) {}

bool RomSizeDialog::onInitDialog() {
    // The ROM area of the device, from a device list of the dialog's own.
    uint32_t start = 0, size = 0;
    {
        device::List list = device::List::devices(0, 0, 1);
        device::OpenScope open(list.get(), 0);
        if (list) VelkGetFirmwareSize(list.get(), 0, &start, &size);
    }
    const unsigned kib = size >> 10;
    char text[16];
    std::snprintf(text, sizeof text, "%d", static_cast<int>(kib));
    setText(IDC_ROM_SIZE_KIB, text);
    if (kib == 48)
        setChecked(IDC_ROM_QN537, 1);
    else if (kib == 64)
        setChecked(IDC_ROM_QN537E, 1);
    else
        messageBox("The function doesn't support this IC-type!!", "", ui::MB_OK);
    return true;
}

void RomSizeDialog::onCommand(int id) {
    if (id == ui::IDCANCEL) {
        endDialog(ui::IDCANCEL);
        return;
    }
    if (id != ui::IDOK) return;
    if (checked(IDC_ROM_QN537))
        size_ = kQn537Size;
    else if (checked(IDC_ROM_QN537E))
        size_ = kQn537eSize;
    else {
        messageBox("Please select the IC type!!", "", ui::MB_OK);
        return;
    }
    endDialog(ui::IDOK);
}

}  // namespace writer
