// templates.h - the dialog templates of the format dialog (131) and the
// read/write test dialog (130), and their control IDs. The rows of both
// (status line, "LUN0:" ... "LUN6:", labels, progress bars) carry the IDs
// of the LUN panel (console/shell/lun_panel.h).
#pragma once

#include "platform/ui/dialog.h"

namespace production {

enum : int {
    IDD_READER_TEST = 130,
    IDD_FORMAT = 131,
    IDB_BANNER = 129,          // bitmap at the top left of both dialogs
};

// Read/write test dialog.
enum : int {
    IDC_TEST = 1034,           // "Test": the LUN panel's start button
    IDC_STOP = 1035,           // "Stop"
    IDC_EXIT = 1041,           // "Exit"
    IDC_TEST_TIMES = 1038,     // combo box: the count, then "Repeat"
    IDC_STOP_WHEN_ERROR = 1039,
    IDC_MAX_LOOP = 1040,       // hidden digits-only edit
};

// Format dialog.
enum : int {
    IDC_FORMAT = 1042,         // "Format": the LUN panel's start button
    // Button 2 is the dialog's Cancel command: "Exit", "Stop" while a job runs.
};

ui::DialogTemplate readerTestTemplate();
ui::DialogTemplate formatTemplate();

}  // namespace production
