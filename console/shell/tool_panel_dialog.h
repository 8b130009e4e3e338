// tool_panel_dialog.h - the console's tool panel for USB flash disks
// ("Usb Flash Disk Tools", template 136): starts the satellites in the Kitbox
// folder of the working directory, and reads and writes the flash access time
// and the copy-back function of the flash disk's CIS block.
#pragma once

#include <optional>
#include <string>

#include "platform/ui/dialog.h"

namespace console {

enum : int {
    IDD_TOOL_PANEL = 136,
    IDC_PELISK = 1207,
    IDC_ORNEL = 1208,
    IDC_IMBRA = 1210,
    IDC_WRITE_CIS = 1211,
    IDC_READ_CIS = 1212,
    IDC_RETIREX = 1213,
    IDC_ACCESS_50NS = 1214,     // "50 ns(Default)", first of its group
    IDC_ACCESS_30NS = 1215,     // "30 ns"
    IDC_COPY_BACK_ON = 1216,    // "On   (Default)", first of its group
    IDC_COPY_BACK_OFF = 1217,   // "Off"
    // "E&xit" is 1005, as on the console (IDC_EXIT).
};

// A satellite started with the running-copy check and the device probe.
struct Satellite {
    int button;
    const char* path;            // relative to the working directory, with its leading "/"
    const char* windowTitle;     // the title a running copy is recognised by
    const char* runningMessage;  // shown instead of starting a second copy
};

inline constexpr Satellite kPelisk{IDC_PELISK, "/Kitbox/Pelisk", "Peliskar", "Pelisk existed !"};
inline constexpr Satellite kOrnel{IDC_ORNEL, "/Kitbox/Ornel", "Ornel", "Ornel existed !"};
inline constexpr Satellite kImbra{IDC_IMBRA, "/Kitbox/Imbra", "Imbra", "Imbra existed !"};
inline constexpr const char* kRetirexPath = "/Kitbox/Retirex";

ui::DialogTemplate toolPanelTemplate();

// The path of a satellite under the working directory cwd: at a drive root
// (cwd ends in "/") the relative path goes without its leading "/". Nothing
// when the working directory is unknown (empty).
std::optional<std::string> satellitePath(const std::string& cwd, const std::string& relative);

class ToolPanelDialog : public ui::Dialog {
public:
    ToolPanelDialog();

    bool onInitDialog() override;
    void onCommand(int id) override;

private:
    void startWithChecks(const Satellite& s);
    void startRetirex();
    void writeCis();
    void readCis();
};

}  // namespace console
