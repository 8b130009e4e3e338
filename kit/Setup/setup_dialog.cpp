#include "setup_dialog.h"

namespace setup {

const std::string& setupText() {
    static const std::string text =
        "Tavrin driver set-up\n"
        "\n"
        "Nothing needs to be installed on this computer.\n"
        "\n"
        "The simulated device used by this kit needs no driver: the device library reaches it "
        "through its bus folder (see Readme.txt, \"velk-sim\").\n"
        "\n"
        "Real card readers and flash disks are USB mass-storage devices, which the kernel "
        "already serves (usb-storage). To work on real hardware the device library would need "
        "a hardware back end (not part of this kit) and the operator would need read/write "
        "access to the device nodes, for example with a udev rule such as\n"
        "\n"
        "SUBSYSTEM==\"usb\", ATTR{idVendor}==\"3a7c\", MODE=\"0660\", GROUP=\"plugdev\"\n"
        "SUBSYSTEM==\"scsi_generic\", ATTRS{idVendor}==\"3a7c\", MODE=\"0660\", GROUP=\"plugdev\"\n"
        "\n"
        "in /etc/udev/rules.d/70-tavrin.rules and the operator in group plugdev.";
    return text;
}

ui::DialogTemplate setupDialogTemplate() {
    using ui::Kind;
    ui::DialogTemplate t;
    t.id = 100;
    t.caption = "Driver Install";
    t.cx = 350;
    t.cy = 178;
    t.systemMenu = true;
    t.controls = {
        {IDC_SETUP_TEXT, Kind::Static, setupText(), {10, 8, 330, 142}, 0},
        {ui::IDOK, Kind::DefPushButton, "OK", {150, 157, 50, 14}, 0},
    };
    return t;
}

SetupDialog::SetupDialog() : ui::Dialog(setupDialogTemplate()) {}

}  // namespace setup
