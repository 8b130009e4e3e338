#include "tool_panel_dialog.h"

#include "console/shell/resources.h"
#include "device/records.h"
#include "platform/os/os.h"

namespace console {

namespace {

// Messages without a title of their own: the program's name, OK, exclamation.
void notify(ui::Dialog& d, const std::string& text)
{
    d.messageBox(text, "", ui::MB_OK | ui::MB_ICONEXCLAMATION);
}

void startProgram(const std::string& path)
{
    os::shellOpen(path);  // a missing file gives no message
}

}  // namespace

ui::DialogTemplate toolPanelTemplate()
{
    using ui::Kind;
    ui::DialogTemplate t;
    t.id = IDD_TOOL_PANEL;
    t.caption = "Usb Flash Disk Tools";
    t.cx = 273;
    t.cy = 220;
    t.systemMenu = true;

    // The controls come in the order the panel lists them, which is the order
    // the Tab key visits them: the satellites, the CIS buttons, "E&xit", then
    // the CIS settings.
    t.controls.push_back({-1, Kind::Bitmap, std::to_string(IDB_BANNER), {7, 7, 150, 26}, 0});

    // One row per satellite: the frame says what the button starts.
    struct Row { int id; const char* button; const char* frame; };
    static const Row rows[] = {
        {IDC_PELISK, "&Pelisk", "Click to Lunch Pelisk"},
        {IDC_ORNEL, "&Ornel", "Click to Lunch Ornel"},
        {IDC_IMBRA, "&Imbra", "Auto-Run Image file dump utility"},
        {IDC_RETIREX, "Retirex", "Mark Bad Block by Log File"},
    };
    int y = 37;
    for (const Row& r : rows) {
        t.controls.push_back({-1, Kind::GroupBox, r.frame, {7, y, 195, 21}, 0});
        t.controls.push_back({r.id, Kind::PushButton, r.button, {209, y + 4, 57, 14}, 0});
        y += 25;
    }

    t.controls.push_back({IDC_READ_CIS, Kind::PushButton, "Read  CIS", {205, 163, 54, 14}, ui::WS_GROUP});
    t.controls.push_back({IDC_WRITE_CIS, Kind::PushButton, "Write CIS", {205, 183, 54, 14}, 0});
    t.controls.push_back({IDC_EXIT, Kind::PushButton, "E&xit", {209, 12, 57, 14}, 0});

    // The CIS settings: two radio groups in the frame around the CIS buttons.
    t.controls.push_back({-1, Kind::GroupBox, "Setup the Flash", {7, 140, 259, 73}, ui::WS_GROUP});
    t.controls.push_back({-1, Kind::GroupBox, " Access Time ", {15, 152, 86, 52}, 0});
    t.controls.push_back({IDC_ACCESS_50NS, Kind::AutoRadioButton, "50 ns(Default)", {23, 166, 72, 10}, ui::WS_GROUP});
    t.controls.push_back({IDC_ACCESS_30NS, Kind::AutoRadioButton, "30 ns", {23, 184, 72, 10}, 0});
    t.controls.push_back({-1, Kind::GroupBox, " Copy Back Function ", {109, 152, 86, 52}, ui::WS_GROUP});
    t.controls.push_back({IDC_COPY_BACK_ON, Kind::AutoRadioButton, "On   (Default)", {117, 166, 72, 10}, ui::WS_GROUP});
    t.controls.push_back({IDC_COPY_BACK_OFF, Kind::AutoRadioButton, "Off", {117, 184, 72, 10}, 0});
    return t;
}

std::optional<std::string> satellitePath(const std::string& cwd, const std::string& relative)
{
    if (cwd.empty())
        return std::nullopt;
    if (cwd.back() == '/')
        return cwd + relative.substr(relative.front() == '/' ? 1 : 0);
    return cwd + relative;
}

ToolPanelDialog::ToolPanelDialog() : ui::Dialog(toolPanelTemplate()) {}

bool ToolPanelDialog::onInitDialog()
{
    setChecked(IDC_ACCESS_50NS, 1);
    setChecked(IDC_COPY_BACK_ON, 1);
    return true;
}

void ToolPanelDialog::onCommand(int id)
{
    switch (id) {
    case IDC_PELISK:
        startWithChecks(kPelisk);
        break;
    case IDC_ORNEL:
        startWithChecks(kOrnel);
        break;
    case IDC_IMBRA:
        startWithChecks(kImbra);
        break;
    case IDC_RETIREX:
        startRetirex();
        break;
    case IDC_WRITE_CIS:
        writeCis();
        break;
    case IDC_READ_CIS:
        readCis();
        break;
    case IDC_EXIT:
        endDialog(ui::IDOK);
        break;
    default:
        ui::Dialog::onCommand(id);  // Escape and the close box: Cancel
        break;
    }
}

void ToolPanelDialog::startWithChecks(const Satellite& s)
{
    // A running copy anywhere on the desktop, in any process, blocks a
    // second one; this is looked at before the device.
    if (os::findWindow(s.windowTitle)) {
        notify(*this, s.runningMessage);
        return;
    }
    if (!device::List::devices(0, 0, 1)) {  // the probe list goes at once
        notify(*this, "Device not found");
        return;
    }
    if (auto path = satellitePath(os::currentDirectory(), s.path))
        startProgram(*path);
}

void ToolPanelDialog::startRetirex()
{
    // No running-copy check, no device probe, no drive-root rule.
    const std::string cwd = os::currentDirectory();
    if (!cwd.empty())
        startProgram(cwd + kRetirexPath);
}

void ToolPanelDialog::writeCis()
{
    device::List list = device::List::devices(0, 0, 1);
    if (!list) {
        notify(*this, "Device  not  found  !!");
        return;
    }
    // Without a flash record there is nothing to write into: the command
    // fails and nothing is touched.
    const device::FlashInfo info = device::FlashInfo::query(list.get(), 0);
    int r = 0;
    if (info.cisParams()) {
        info.setAccessTimeSel(checked(IDC_ACCESS_50NS) ? 0 : 1);
        info.setCopyBackOff(checked(IDC_COPY_BACK_ON) ? 0 : 1);
        device::OpenScope open(list.get(), 0);
        r = VelkWriteCisBlock(list.get(), 0);
    }
    if (r)
        messageBox("Write  CIS  SUCCESS ", "Info", ui::MB_OK);
    else
        notify(*this, "Write  CIS  FAIL  !!");
}

void ToolPanelDialog::readCis()
{
    device::List list = device::List::devices(0, 0, 1);
    if (!list) {
        notify(*this, "Device  not  found  !!");
        return;
    }
    // Without a flash record the radio buttons keep their state and the
    // command fails.
    const device::FlashInfo info = device::FlashInfo::query(list.get(), 0);
    int r = 0;
    if (info.cisParams()) {
        const bool fast = info.accessTimeSel() != 0;
        setChecked(IDC_ACCESS_50NS, fast ? 0 : 1);
        setChecked(IDC_ACCESS_30NS, fast ? 1 : 0);
        const bool copyBackOff = info.copyBackOff() != 0;
        setChecked(IDC_COPY_BACK_ON, copyBackOff ? 0 : 1);
        setChecked(IDC_COPY_BACK_OFF, copyBackOff ? 1 : 0);
        // The block is written back with the values just read.
        device::OpenScope open(list.get(), 0);
        r = VelkWriteCisBlock(list.get(), 0);
    }
    if (r)
        messageBox("Read  CIS  SUCCESS ", "Info", ui::MB_OK);
    else
        notify(*this, "Read  CIS  FAIL  !!");
}

}  // namespace console
