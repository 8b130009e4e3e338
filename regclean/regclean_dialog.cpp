#include "regclean/regclean_dialog.h"

#include "regclean/registry_cleaner.h"

#include <chrono>

namespace regclean {

ui::DialogTemplate regCleanTemplate() {
    using ui::Kind;
    ui::DialogTemplate t;
    t.id = IDD_REGCLEAN;
    t.caption = "Kesso";
    t.cx = 266;
    t.cy = 170;
    t.systemMenu = true;
    t.controls = {
        {IDC_ENTRY_LIST, Kind::ListBox, "", {7, 7, 180, 156},
         ui::LBS_SORT | ui::LBS_MULTIPLESEL | ui::WS_VSCROLL | ui::WS_GROUP},
        {IDC_SHOW_REGISTRY, Kind::DefPushButton, "Show Registry", {196, 7, 63, 14}, ui::WS_GROUP},
        {IDC_DELETE_REGISTRY, Kind::PushButton, "Delete Registry", {196, 26, 63, 14}, 0},
        {IDC_CLOSE_WINDOW, Kind::PushButton, "Close Window", {196, 149, 63, 14}, 0},
    };
    return t;
}

RegCleanDialog::RegCleanDialog() : ui::Dialog(regCleanTemplate()) {}

void RegCleanDialog::onCommand(int id) {
    switch (id) {
    case IDC_SHOW_REGISTRY:
        showRegistry();
        break;
    case IDC_DELETE_REGISTRY:
        deleteRegistry();
        break;
    default:
        // "Close Window", Escape and the close box arrive as IDCANCEL and end
        // the program.
        ui::Dialog::onCommand(id);
        break;
    }
}

void RegCleanDialog::showRegistry() {
    resetContent(IDC_ENTRY_LIST);
    // Each entry is shown as it is found. With thousands of entries the
    // window is brought up to date at most every 40 ms (and once at the
    // end), so showing the list never costs more than finding it.
    using Clock = std::chrono::steady_clock;
    constexpr auto kRepaintEvery = std::chrono::milliseconds(40);
    auto lastShown = Clock::now() - kRepaintEvery;
    bool pending = false;
    ListUsbEntries([&](const std::string& name) {
        addString(IDC_ENTRY_LIST, name);
        pending = true;
        if (Clock::now() - lastShown >= kRepaintEvery) {
            updateWindow();
            lastShown = Clock::now();
            pending = false;
        }
    });
    if (pending) updateWindow();
}

void RegCleanDialog::deleteRegistry() {
    if (count(IDC_ENTRY_LIST) == 0) return;
    if (messageBox("Delete Registry ?", "Warning", ui::MB_OKCANCEL | ui::MB_ICONEXCLAMATION) != ui::IDOK) return;
    std::vector<std::string> patterns;
    for (int index : selectedItems(IDC_ENTRY_LIST)) patterns.push_back(RemovalPattern(itemText(IDC_ENTRY_LIST, index)));
    // With no entry selected nothing is removed; the list is rebuilt anyway.
    RemoveUsbDevices(patterns, [this] { messageBox("Error!!", "", ui::MB_OK); });
    showRegistry();
}

}  // namespace regclean
