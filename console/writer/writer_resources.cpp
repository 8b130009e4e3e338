// writer_resources.cpp - the writer's dialog templates, laid out in dialog
// units.
//
// The writer is three columns of settings panels over a row of the three
// operation groups, with the status line, the progress bar, the result mark
// and "Exit" at the bottom:
//
//   EEP file setting      | Card Reader Parameter | IDE Parameter
//   Serial Number Type    |                       | UFD Parameter
//                         |                       | Read / Write ROM File
//   EEP for 93C46 or CIS       | External Code Flash
//   status line, progress bar        [result mark]          Exit
//
// The result mark is painted 260 to 105 pixels left of the client area's
// right edge in its lowest 55 pixels; no control lies there.
#include "writer_resources.h"

#include <array>
#include <string>

namespace writer {

namespace {

using ui::Kind;

class Builder {
public:
    explicit Builder(ui::DialogTemplate& t) : t_(t) {}
    void add(int id, Kind kind, const std::string& caption, ui::DlgRect r, uint32_t style = 0) {
        t_.controls.push_back({id, kind, caption, r, style});
    }
    // A label and the edit it names, on one row at y.
    void labelled(int labelId, const std::string& label, int x, int labelWidth, int editId, int editX,
                  int editWidth, int y, uint32_t editStyle = 0) {
        add(labelId, Kind::Static, label, {x, y + 2, labelWidth, 8});
        add(editId, Kind::Edit, "", {editX, y, editWidth, 12}, editStyle);
    }

private:
    ui::DialogTemplate& t_;
};

constexpr std::array<const char*, 5> kCardTypeCaptions = {"CF", "SM", "SD", "MS", "XD"};

}  // namespace

ui::DialogTemplate flashWriterTemplate() {
    ui::DialogTemplate t;
    t.id = IDD_FLASH_WRITER;
    t.caption = "EEPROM/Flash Writer";
    t.cx = 600;
    t.cy = 292;
    t.systemMenu = true;
    Builder b(t);

    // ---- left column: "EEP file setting" and "Serial Number Type" ----
    b.add(IDC_GRP_EEP_SETTING, Kind::GroupBox, "EEP file setting", {7, 7, 196, 97});
    b.labelled(IDC_VID_LABEL, "VID(4)", 14, 24, IDC_VID, 40, 30, 20);
    b.labelled(IDC_PID_LABEL, "PID(4)", 78, 24, IDC_PID, 104, 30, 20);
    b.add(IDC_READ_EEP, Kind::PushButton, "&Read EEP", {146, 19, 50, 14});
    b.labelled(IDC_VENDOR_STR_LABEL, "Vendor-Str(8)", 14, 58, IDC_VENDOR_STR, 76, 60, 37);
    b.labelled(IDC_PRODUCT_STR_LABEL, "Product-Str(12)", 14, 58, IDC_PRODUCT_STR, 76, 84, 53);
    b.labelled(IDC_CONFIG1_LABEL, "Config1 byte setting(1 byte)", 14, 110, IDC_CONFIG1, 128, 24, 69);
    b.labelled(IDC_CONFIG2_LABEL, "Config2 byte setting(1 byte)", 14, 110, IDC_CONFIG2, 128, 24, 85);

    b.add(IDC_GRP_SERIAL, Kind::GroupBox, "Serial Number Type", {7, 110, 196, 64});
    b.add(IDC_SN_AUTO, Kind::AutoRadioButton, "S/N Auto increment", {14, 123, 82, 10}, ui::WS_GROUP);
    b.add(IDC_SN_RANDOM, Kind::AutoRadioButton, "S/N by system random", {100, 123, 96, 10},
          ui::WS_HIDDEN | ui::WS_DISABLED);
    b.add(IDC_SN_BOUNDARY, Kind::AutoRadioButton, "S/N Auto increment with boundary", {14, 137, 140, 10});
    b.add(IDC_SN_START_LABEL, Kind::Static, "Start", {14, 156, 20, 8}, ui::WS_GROUP);
    b.add(IDC_SN_START, Kind::Edit, "", {36, 154, 64, 12}, ui::ES_NUMBER);
    b.labelled(IDC_SN_END_LABEL, "End", 108, 16, IDC_SN_END, 126, 64, 154, ui::ES_NUMBER);

    // ---- middle column: "Card Reader Parameter" ----
    b.add(IDC_GRP_READER, Kind::GroupBox, "Card Reader Parameter", {210, 7, 196, 167});
    b.add(IDC_CARD_STR_LABEL, Kind::Static, "Card-Str", {217, 22, 30, 8});
    for (int k = 0; k < 5; ++k) b.add(cardStrEdit(k), Kind::Edit, "", {249 + 31 * k, 20, 28, 12});
    b.labelled(IDC_CARD_TYPE_LABEL, "Define card type(1 byte)", 217, 128, IDC_CARD_TYPE, 350, 24, 37);
    b.labelled(IDC_ICON_NUMBER_LABEL, "Disk icon display number in PC(0~5)", 217, 128, IDC_ICON_NUMBER, 350, 24,
               53);
    for (int icon = 0; icon < 6; ++icon) {
        const int y = 72 + 14 * icon;
        b.add(IDC_ICON_ROW_LABEL0 + icon, Kind::Static, "Icon" + std::to_string(icon), {217, y + 1, 26, 8});
        for (int type = 0; type < 5; ++type)
            b.add(iconBox(icon, type), Kind::AutoCheckBox, kCardTypeCaptions[type], {247 + 28 * type, y, 26, 10});
    }
    b.add(IDC_ICON_RESET, Kind::PushButton, "Reset", {352, 154, 46, 14});

    // ---- right column: "IDE Parameter", "UFD Parameter", "Read / Write ROM File" ----
    b.add(IDC_GRP_IDE, Kind::GroupBox, "IDE Parameter", {413, 7, 180, 79});
    b.labelled(IDC_INITIAL_DELAY_LABEL, "Initial delay", 420, 100, IDC_INITIAL_DELAY, 526, 24, 20);
    b.labelled(IDC_PID_HIGH_LABEL, "PID High Byte", 420, 100, IDC_PID_HIGH, 526, 24, 36);
    b.labelled(IDC_PID_LOW_ATA_LABEL, "PID Low Byte_ATA", 420, 100, IDC_PID_LOW_ATA, 526, 24, 52);
    b.labelled(IDC_PID_LOW_ATAPI_LABEL, "PID Low Byte_ATAPI", 420, 100, IDC_PID_LOW_ATAPI, 526, 24, 68);

    b.add(IDC_GRP_UFD, Kind::GroupBox, "UFD Parameter", {413, 92, 180, 50});
    b.labelled(IDC_INQ_VENDOR_LABEL, "Inquiry Vendor(8)", 420, 70, IDC_INQ_VENDOR, 494, 60, 105);
    b.labelled(IDC_INQ_PRODUCT_LABEL, "Inquiry Product(16)", 420, 70, IDC_INQ_PRODUCT, 494, 92, 121);

    b.add(IDC_GRP_ROM, Kind::GroupBox, "Read / Write ROM File", {413, 148, 180, 26});
    b.add(IDC_WRITE_ROM, Kind::PushButton, "Write ROM File", {420, 157, 80, 14});
    b.add(IDC_READ_ROM, Kind::PushButton, "Read ROM File", {506, 157, 80, 14});

    // ---- operations: "EEP for 93C46 or CIS" and "External Code Flash" ----
    b.add(IDC_GRP_EEPROM, Kind::GroupBox, "EEP for 93C46 or CIS", {7, 180, 232, 68});
    b.add(IDC_LOAD_EEP, Kind::PushButton, "&Load eep file", {14, 192, 70, 14});
    b.add(IDC_EEP_FILE_TITLE, Kind::Edit, "", {88, 193, 144, 12}, ui::ES_READONLY);
    b.add(IDC_SAVE_EEP, Kind::PushButton, "Save to eep file", {14, 210, 70, 14});
    b.add(IDC_WRITE_EEPROM, Kind::PushButton, "&Write to EEPROM", {88, 210, 70, 14});
    b.add(IDC_DUMP_EEPROM, Kind::PushButton, "Dump EEPROM", {162, 210, 70, 14});
    b.add(IDC_ERASE_EEPROM, Kind::PushButton, "Erase", {14, 228, 70, 14});
    b.add(IDC_SAVE_HEX, Kind::PushButton, "Save to hex", {88, 228, 70, 14});

    b.add(IDC_GRP_FLASH, Kind::GroupBox, "External Code Flash", {246, 180, 347, 68});
    b.add(IDC_LOAD_FW, Kind::PushButton, "Load FW obj file", {253, 192, 70, 14});
    b.add(IDC_FW_FILE_TITLE, Kind::Edit, "", {327, 193, 150, 12}, ui::ES_READONLY);
    b.add(IDC_WRITE_FW, Kind::PushButton, "Write F/W", {253, 210, 70, 14});
    b.add(IDC_FW_INFO, Kind::PushButton, "F/W Info", {327, 210, 56, 14});
    b.add(IDC_FW_VERSION, Kind::Edit, "", {387, 211, 90, 12}, ui::ES_READONLY);
    b.add(IDC_DUMP_EEP_DATA, Kind::PushButton, "Dump EEP Data", {253, 228, 70, 14});
    b.add(IDC_ERASE_FLASH, Kind::PushButton, "Erase", {327, 228, 56, 14});
    b.add(IDC_WRITE_EEP_AND_FW, Kind::AutoCheckBox, "Write EEP File && F/W", {387, 230, 96, 10});
    b.add(IDC_EEP_TO_93C46, Kind::PushButton, "EEP to 93C46\nF/W to Flash", {486, 192, 100, 24},
          ui::BS_MULTILINE);

    // ---- bottom: status line, progress bar, (result mark), "Exit" ----
    b.add(IDC_STATUS, Kind::Static, "", {7, 258, 410, 9});
    b.add(IDC_PROGRESS, Kind::ProgressBar, "", {7, 272, 410, 12});
    b.add(IDC_EXIT, Kind::PushButton, "Exit", {545, 272, 48, 14});
    return t;
}

ui::DialogTemplate dumpDialogTemplate() {
    ui::DialogTemplate t;
    t.id = IDD_DUMP;
    t.caption = "Dump Dialog";
    t.cx = 330;
    t.cy = 170;
    t.systemMenu = true;
    Builder b(t);
    b.add(IDC_DUMP_LIST, Kind::ListBox, "", {7, 7, 316, 92}, ui::WS_VSCROLL);
    struct Row { const char* label; int id; };
    static const Row left[] = {{"Vendor :", IDC_DUMP_VENDOR}, {"Product :", IDC_DUMP_PRODUCT},
                               {"Serial :", IDC_DUMP_SERIAL}, {"Interface :", IDC_DUMP_INTERFACE}};
    static const Row right[] = {{"Card Type :", IDC_DUMP_CARD_TYPE}, {"Inq-Vendor :", IDC_DUMP_INQ_VENDOR},
                                {"Inq-Product :", IDC_DUMP_INQ_PRODUCT}};
    int label = IDC_DUMP_LABEL_FIRST;
    for (int i = 0; i < 4; ++i)
        b.labelled(label++, left[i].label, 7, 40, left[i].id, 49, 110, 104 + 15 * i, ui::ES_READONLY);
    for (int i = 0; i < 3; ++i)
        b.labelled(label++, right[i].label, 166, 44, right[i].id, 212, 111, 104 + 15 * i, ui::ES_READONLY);
    b.add(ui::IDOK, Kind::DefPushButton, "OK", {273, 149, 50, 14});
    return t;
}

}  // namespace writer
