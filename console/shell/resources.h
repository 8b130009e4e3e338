// resources.h - what the console carries with it: its string table, its
// dialog templates and its icon.
#pragma once

#include <string>

#include "platform/ui/dialog.h"

namespace console {

// Resource numbers.
enum : int {
    IDS_ABOUTBOX = 101,        // text of the about item of the system menu
    IDS_HARDWARE_IDS = 102,    // hardware-ID match list (not read by the console)
    IDD_ABOUTBOX = 100,
    IDD_CONSOLE = 102,
    IDR_MAINFRAME = 128,       // application icon
    IDB_BANNER = 129,          // bitmap at the top left of the console
};

// Control IDs of the console dialog.
enum : int {
    IDC_README = 1000,
    IDC_WRITER = 1001,
    IDC_RW_TEST = 1002,
    IDC_FORMAT = 1003,
    IDC_DRIVER_INSTALL = 1004,
    IDC_EXIT = 1005,
    IDC_KITBOX = 1006,
    IDC_DELETE_REGISTRY = 1007,
};

// System-menu command of the about item.
inline constexpr int IDM_ABOUTBOX = 16;

// An entry of the string table (zh-TW resources, UTF-8); empty when there is
// no entry with that number.
std::string loadString(int id);

// Dialog template 102: the console, 359 x 187 dialog units.
ui::DialogTemplate consoleTemplate();
// Dialog template 100: the about box.
ui::DialogTemplate aboutTemplate();

}  // namespace console
