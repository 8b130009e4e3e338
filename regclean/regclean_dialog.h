// regclean_dialog.h - Kesso's one dialog: "Show Registry" lists the USB device
// keys of the registry, "Delete Registry" removes the device nodes of the
// selected entries and lists again, "Close Window" ends the program.
// Everything runs on the dialog thread.
#pragma once

#include "platform/ui/dialog.h"

namespace regclean {

enum : int {
    IDD_REGCLEAN = 102,
    IDC_ENTRY_LIST = 1001,      // sorted, multiple selection
    IDC_SHOW_REGISTRY = 1002,   // "Show Registry" (default button)
    IDC_DELETE_REGISTRY = 3,    // "Delete Registry"
    IDC_CLOSE_WINDOW = 2,       // "Close Window" (IDCANCEL)
};

ui::DialogTemplate regCleanTemplate();

class RegCleanDialog : public ui::Dialog {
public:
    RegCleanDialog();

    void onCommand(int id) override;

    // "Show Registry": empties the list and fills it from the registry,
    // showing each entry as it is added.
    void showRegistry();
    // "Delete Registry": asks, removes the selected entries' device nodes and
    // lists again. Does nothing on an empty list.
    void deleteRegistry();
};

}  // namespace regclean
