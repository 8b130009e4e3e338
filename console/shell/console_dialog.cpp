#include "console_dialog.h"

#include "console/production/format_dialog.h"
#include "console/production/reader_test_dialog.h"
#include "console/shell/resources.h"
#include "console/shell/tool_panel_dialog.h"
#include "console/shell/usb_walk.h"
#include "console/shell/version_text.h"
#include "console/writer/flash_writer_dialog.h"

namespace console {

const int ConsoleDialog::kDeviceButtons[4] = {IDC_WRITER, IDC_RW_TEST, IDC_FORMAT, IDC_KITBOX};

ConsoleDialog::ConsoleDialog() : ui::Dialog(consoleTemplate()) {}

ConsoleDialog::~ConsoleDialog()
{
    dropProbeList();
}

bool ConsoleDialog::onInitDialog()
{
    if (tmpl().systemMenu) {
        const std::string about = loadString(IDS_ABOUTBOX);
        if (!about.empty())
            appendSystemMenu(IDM_ABOUTBOX, about);
    }

    if (!registerForDeviceChanges()) {
        messageBox("Error to register device notification", "Error", ui::MB_OK | ui::MB_ICONERROR);
        // The dialog still shows, with the template's state: no version in
        // the title, no probe (device buttons enabled), no paths.
        return false;
    }

    putVersionIntoTitle();
    probe();

    const std::string cwd = os::currentDirectory();
    // Appended as they are: a working directory "/" gives "//Setup/Setup".
    setupPath_ = cwd + "/Setup/Setup";
    readMePath_ = cwd + "/Readme.txt";
    return true;
}

bool ConsoleDialog::registerForDeviceChanges()
{
    // Every setup class named "USB" (at most 8) as a device-interface filter;
    // one failure is a failure. The registrations live as long as the window.
    for (const os::Guid& guid : os::classGuidsFromName("USB", 8)) {
        if (!os::registerDeviceNotification(*this, guid))
            return false;
    }
    return true;
}

std::optional<os::FileVersion> ConsoleDialog::programVersion() const
{
    // By file name, found by the platform's search rules.
    return os::fileVersion("Tavrin");
}

bool ConsoleDialog::usbChildWalk() const
{
    return UsbChildWalk();
}

VelkHandle ConsoleDialog::createProbeList()
{
    return VelkCreateDeviceList(0, 0, 1);
}

void ConsoleDialog::putVersionIntoTitle()
{
    const auto v = programVersion();
    if (!v)
        return;  // no version resource: the title stays as it is
    setTitle(titleWithVersion(title(), versionText(v->major, v->minor, v->build, v->revision)));
}

void ConsoleDialog::probe()
{
    probeList_ = createProbeList();
    if (probeList_) {
        dropProbeList();
        return;  // the device buttons keep their enabled state
    }
    enableDeviceButtons(false);
}

void ConsoleDialog::enableDeviceButtons(bool on)
{
    for (int id : kDeviceButtons)
        enable(id, on);
}

void ConsoleDialog::dropProbeList()
{
    if (probeList_) {
        VelkDestroyDeviceList(probeList_);
        probeList_ = nullptr;
    }
}

void ConsoleDialog::onCommand(int id)
{
    switch (id) {
    case IDC_README:
        if (readMePath_)
            os::shellOpen(*readMePath_);  // a missing file is not reported
        break;
    case IDC_WRITER:
        runWriterDialog();
        break;
    case IDC_RW_TEST:
        runReadWriteTestDialog();
        break;
    case IDC_FORMAT:
        runFormatDialog();
        break;
    case IDC_KITBOX:
        runToolPanelDialog();
        break;
    case IDC_DRIVER_INSTALL:
        if (setupPath_)
            os::shellOpen(*setupPath_);
        break;
    case IDC_DELETE_REGISTRY:
        // Built from the working directory at the time of the click.
        os::shellOpen(os::currentDirectory() + "/Kitbox/Kesso");
        break;
    case IDC_EXIT:
        endDialog(ui::IDOK);
        break;
    default:
        // Escape and the close box arrive as IDCANCEL and end the dialog
        // with Cancel; Enter as IDOK.
        ui::Dialog::onCommand(id);
        break;
    }
}

void ConsoleDialog::runReadWriteTestDialog()
{
    production::ReaderTestDialog dlg;
    dlg.runModal();
}

void ConsoleDialog::runFormatDialog()
{
    production::FormatDialog dlg;
    dlg.runModal();
}

void ConsoleDialog::onSysCommand(int cmd)
{
    if (cmd == IDM_ABOUTBOX)
        runAboutBox();
}

void ConsoleDialog::runWriterDialog()
{
    writer::FlashWriterDialog writer;
    writer.runModal();
}

void ConsoleDialog::runToolPanelDialog()
{
    ToolPanelDialog panel;
    panel.runModal();
}

void ConsoleDialog::runAboutBox()
{
    ui::Dialog about(aboutTemplate());
    about.runModal();
}

int ConsoleDialog::onDeviceChange(unsigned event)
{
    if (event != ui::DBT_DEVICEARRIVAL && event != ui::DBT_DEVICEREMOVECOMPLETE)
        return 0;

    const bool found = usbChildWalk();
    if (event == ui::DBT_DEVICEARRIVAL) {
        if (found) {
            killTimer(kSettleTimer);
            setTimer(kSettleTimer, kSettleMs);
        }
    } else {
        killTimer(kSettleTimer);
        dropProbeList();
        enableDeviceButtons(false);
    }
    return 1;
}

void ConsoleDialog::onTimer(int id)
{
    if (id != kSettleTimer)
        return;
    killTimer(kSettleTimer);
    dropProbeList();
    probeList_ = createProbeList();
    // The buttons come back whether or not the device answered: the
    // arrival said something is there.
    enableDeviceButtons(true);
    dropProbeList();
}

void ConsoleDialog::onDestroy()
{
    dropProbeList();
}

}  // namespace console
