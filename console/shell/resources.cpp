#include "resources.h"

namespace console {

namespace {

// Entry 102: 50 hardware IDs, ";" after each, a blank after every second
// separator (925 characters). Device lists are created with VID 0 and PID 0,
// so the console never needs it; it travels with the program as the list a
// device library may match against.
const char kHardwareIds[] =
    "VID_3A7C&PID_0760;VID_3A7C&PID_07A0; "
    "VID_3A7C&PID_0710;VID_3A7C&PID_0760; "
    "VID_3A7C&PID_0760;VID_3A7C&PID_0760; "
    "VID_3A7C&PID_0760;VID_3A7C&PID_0760; "
    "VID_3A7C&PID_0760;VID_3A7C&PID_0760; "
    "VID_3A7C&PID_0760;VID_3A7C&PID_0760; "
    "VID_3A7C&PID_0760;VID_3A7C&PID_0760; "
    "VID_3A7C&PID_0760;VID_3A7C&PID_0760; "
    "VID_3A7C&PID_0760;VID_3A7C&PID_0760; "
    "VID_3A7C&PID_0760;VID_3A7C&PID_0760; "
    "VID_3A7C&PID_0760;VID_3A7C&PID_0760; "
    "VID_3A7C&PID_0760;VID_3A7C&PID_0760; "
    "VID_3A7C&PID_0760;VID_3A7C&PID_0760; "
    "VID_3A7C&PID_0760;VID_3A7C&PID_0760; "
    "VID_3A7C&PID_0760;VID_3A7C&PID_0760; "
    "VID_3A7C&PID_0760;VID_3A7C&PID_0760; "
    "VID_3A7C&PID_0760;VID_3A7C&PID_0760; "
    "VID_3A7C&PID_0760;VID_3A7C&PID_0760; "
    "VID_3A7C&PID_0760;VID_3A7C&PID_0760; "
    "VID_3A7C&PID_0760;VID_3A7C&PID_0760; "
    "VID_3A7C&PID_0760;VID_3A7C&PID_0760; "
    "VID_3A7C&PID_0760;VID_3A7C&PID_0760; "
    "VID_3A7C&PID_0760;VID_3A7C&PID_0760; "
    "VID_3A7C&PID_0760;VID_3A7C&PID_0760; "
    "VID_3A7C&PID_0760;VID_3A7C&PID_0760; ";

}  // namespace

std::string loadString(int id)
{
    switch (id) {
    case IDS_ABOUTBOX: return "關於 Tavrin(&A)...";
    case IDS_HARDWARE_IDS: return kHardwareIds;
    default: return {};
    }
}

ui::DialogTemplate consoleTemplate()
{
    using ui::Kind;
    ui::DialogTemplate t;
    t.id = IDD_CONSOLE;
    t.caption = "Tavrin";
    t.cx = 359;
    t.cy = 187;
    t.systemMenu = true;

    // Top band: the banner bitmap at the left, the two buttons that need no
    // frame at the right. The controls come in the order the console lists
    // them, which is the order the Tab key visits them: "E&xit" last.
    t.controls.push_back({-1, Kind::Bitmap, std::to_string(IDB_BANNER), {7, 7, 150, 26}, 0});
    t.controls.push_back({IDC_README, Kind::PushButton, "Read Me first", {208, 12, 70, 14}, 0});

    // One row per framed command: the frame says what the button does.
    struct Row { int id; const char* button; const char* frame; };
    static const Row rows[] = {
        {IDC_WRITER, "F/&W && EEPROM", "Click to update Reader Firmware / EEPROM"},
        {IDC_RW_TEST, "&Read/Write Test", "Click to Read/Write test for Mass Production"},
        {IDC_FORMAT, "&Format", "Format for every media card"},
        {IDC_KITBOX, "Kitbox", "Usb Flash Disk Tools"},
        {IDC_DRIVER_INSTALL, "Driver Install", "Install driver for Win98SE/Me/XP/2000"},
        {IDC_DELETE_REGISTRY, "Delete Registry", "Delete USB storage registry"},
    };
    int y = 37;
    for (const Row& r : rows) {
        t.controls.push_back({-1, Kind::GroupBox, r.frame, {7, y, 268, 20}, 0});
        t.controls.push_back({r.id, Kind::PushButton, r.button, {282, y + 4, 70, 14}, 0});
        y += 24;
    }
    t.controls.push_back({IDC_EXIT, Kind::PushButton, "E&xit", {282, 12, 70, 14}, 0});
    return t;
}

ui::DialogTemplate aboutTemplate()
{
    using ui::Kind;
    ui::DialogTemplate t;
    t.id = IDD_ABOUTBOX;
    t.caption = "About Tavrin";
    t.cx = 235;
    t.cy = 55;
    t.systemMenu = true;
    t.controls.push_back({-1, Kind::Bitmap, std::to_string(IDR_MAINFRAME), {11, 17, 20, 20}, 0});
    t.controls.push_back({-1, Kind::Static, "Tavrin Version " TAVRIN_VERSION, {40, 10, 119, 8}, 0});
    t.controls.push_back({-1, Kind::Static, "USB card reader and flash disk tools", {40, 25, 140, 8}, 0});
    t.controls.push_back({ui::IDOK, Kind::DefPushButton, "OK", {178, 7, 50, 14}, ui::WS_GROUP});
    return t;
}

}  // namespace console
