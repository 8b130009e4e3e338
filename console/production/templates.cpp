#include "templates.h"

#include <string>

#include "console/shell/lun_panel.h"

namespace production {

namespace {

using ui::Kind;

// The banner, the status line and the seven rows: caption, drive label and
// progress bar. The pass/fail mark is painted right of the bar, 195 pixels
// beyond the label's right edge.
void addRows(ui::DialogTemplate& t, int barWidth)
{
    t.controls.push_back({-1, Kind::Bitmap, std::to_string(IDB_BANNER), {7, 7, 150, 26}, 0});
    t.controls.push_back({console::IDC_LUN_STATUS, Kind::Static, "", {7, 38, 200, 8}, 0});
    for (int row = 0; row < console::kLunRows; ++row) {
        const int y = 51 + 13 * row;
        t.controls.push_back({console::lunCaptionId(row), Kind::Static, "LUN" + std::to_string(row) + ":",
                              {7, y + 1, 22, 8}, 0});
        t.controls.push_back({console::lunLabelId(row), Kind::Static, "", {30, y + 1, 62, 8}, 0});
        t.controls.push_back({console::lunBarId(row), Kind::ProgressBar, "", {95, y, barWidth, 10}, 0});
    }
}

}  // namespace

ui::DialogTemplate readerTestTemplate()
{
    ui::DialogTemplate t;
    t.id = IDD_READER_TEST;
    t.caption = "ReaderTest";
    t.cx = 295;
    t.cy = 150;
    t.systemMenu = true;
    addRows(t, 120);
    t.controls.push_back({-1, Kind::Static, "Test Times", {165, 9, 40, 8}, 0});
    t.controls.push_back({IDC_TEST_TIMES, Kind::ComboBox, "", {208, 7, 50, 60},
                          ui::CBS_DROPDOWN | ui::LBS_SORT | ui::WS_VSCROLL | ui::WS_GROUP});
    t.controls.push_back({IDC_STOP_WHEN_ERROR, Kind::AutoCheckBox, "Stop when error", {165, 23, 80, 10}, 0});
    t.controls.push_back({-1, Kind::Static, "Max Loop", {248, 24, 30, 8}, ui::WS_HIDDEN});
    t.controls.push_back({IDC_MAX_LOOP, Kind::Edit, "", {248, 34, 40, 12}, ui::WS_HIDDEN | ui::ES_NUMBER});
    t.controls.push_back({IDC_TEST, Kind::PushButton, "Test", {248, 58, 40, 14}, ui::WS_GROUP});
    t.controls.push_back({IDC_STOP, Kind::PushButton, "Stop", {248, 80, 40, 14}, 0});
    t.controls.push_back({IDC_EXIT, Kind::PushButton, "Exit", {248, 102, 40, 14}, 0});
    return t;
}

ui::DialogTemplate formatTemplate()
{
    ui::DialogTemplate t;
    t.id = IDD_FORMAT;
    t.caption = "Format";
    t.cx = 285;
    t.cy = 148;
    t.systemMenu = true;
    addRows(t, 120);
    t.controls.push_back({IDC_FORMAT, Kind::PushButton, "Format", {246, 58, 34, 14}, ui::WS_GROUP});
    t.controls.push_back({ui::IDCANCEL, Kind::PushButton, "Exit", {246, 80, 34, 14}, 0});
    return t;
}

}  // namespace production
