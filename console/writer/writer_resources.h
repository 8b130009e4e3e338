// writer_resources.h - the writer's dialog templates and their control IDs.
//
// Template 132 is the "EEPROM/Flash Writer" dialog, 133 the "Dump Dialog".
// Every control has an ID of its own, labels included, grouped by hundreds:
// one hundred per group box of the writer, the group box itself first. The
// IDs are stable: scripts and the firmware side build on them.
#pragma once

#include "platform/ui/dialog.h"

namespace writer {

enum : int {
    IDD_FLASH_WRITER = 132,
    IDD_DUMP = 133,
};

enum : int {
    // "EEP file setting"
    IDC_GRP_EEP_SETTING = 1100,
    IDC_VID_LABEL = 1101,
    IDC_VID = 1102,                 // "VID(4)", limit 4
    IDC_PID_LABEL = 1103,
    IDC_PID = 1104,                 // "PID(4)", limit 4
    IDC_READ_EEP = 1105,            // "&Read EEP"
    IDC_VENDOR_STR_LABEL = 1106,
    IDC_VENDOR_STR = 1107,          // "Vendor-Str(8)", limit 8
    IDC_PRODUCT_STR_LABEL = 1108,
    IDC_PRODUCT_STR = 1109,         // "Product-Str(12)", limit 12
    IDC_CONFIG1_LABEL = 1110,
    IDC_CONFIG1 = 1111,             // "Config1 byte setting(1 byte)"
    IDC_CONFIG2_LABEL = 1112,
    IDC_CONFIG2 = 1113,             // "Config2 byte setting(1 byte)"

    // "Serial Number Type"
    IDC_GRP_SERIAL = 1200,
    IDC_SN_AUTO = 1201,             // "S/N Auto increment" (checked at start)
    IDC_SN_RANDOM = 1202,           // "S/N by system random" (created hidden and disabled)
    IDC_SN_BOUNDARY = 1203,         // "S/N Auto increment with boundary"
    IDC_SN_START_LABEL = 1204,
    IDC_SN_START = 1205,            // "Start", digits only
    IDC_SN_END_LABEL = 1206,
    IDC_SN_END = 1207,              // "End", digits only

    // "Card Reader Parameter"
    IDC_GRP_READER = 1300,
    IDC_CARD_STR_LABEL = 1301,
    IDC_CARD_STR1 = 1302,           // "Card-Str" edits 1 to 5 (1302-1306), limit 4
    IDC_CARD_TYPE_LABEL = 1307,
    IDC_CARD_TYPE = 1308,           // "Define card type(1 byte)"
    IDC_ICON_NUMBER_LABEL = 1309,
    IDC_ICON_NUMBER = 1310,         // "Disk icon display number in PC(0~5)"
    IDC_ICON_RESET = 1311,          // "Reset"
    IDC_ICON_ROW_LABEL0 = 1320,     // "Icon0" to "Icon5" (1320-1325)
    IDC_ICON_FIRST = 1330,          // the 30 check boxes: iconBox(icon, cardType)

    // "IDE Parameter"
    IDC_GRP_IDE = 1400,
    IDC_INITIAL_DELAY_LABEL = 1401,
    IDC_INITIAL_DELAY = 1402,       // "Initial delay"
    IDC_PID_HIGH_LABEL = 1403,
    IDC_PID_HIGH = 1404,            // "PID High Byte", limit 2
    IDC_PID_LOW_ATA_LABEL = 1405,
    IDC_PID_LOW_ATA = 1406,         // "PID Low Byte_ATA", limit 2
    IDC_PID_LOW_ATAPI_LABEL = 1407,
    IDC_PID_LOW_ATAPI = 1408,       // "PID Low Byte_ATAPI", limit 2

    // "UFD Parameter"
    IDC_GRP_UFD = 1500,
    IDC_INQ_VENDOR_LABEL = 1501,
    IDC_INQ_VENDOR = 1502,          // inquiry vendor string, limit 8
    IDC_INQ_PRODUCT_LABEL = 1503,
    IDC_INQ_PRODUCT = 1504,         // inquiry product string, limit 16

    // "EEP for 93C46 or CIS"
    IDC_GRP_EEPROM = 1600,
    IDC_LOAD_EEP = 1601,            // "&Load eep file"
    IDC_EEP_FILE_TITLE = 1602,      // read-only: the loaded file's title
    IDC_SAVE_EEP = 1603,            // "Save to eep file"
    IDC_WRITE_EEPROM = 1604,        // "&Write to EEPROM"
    IDC_DUMP_EEPROM = 1605,         // "Dump EEPROM"
    IDC_ERASE_EEPROM = 1606,        // "Erase"
    IDC_SAVE_HEX = 1607,            // "Save to hex"

    // "External Code Flash"
    IDC_GRP_FLASH = 1700,
    IDC_LOAD_FW = 1701,             // "Load FW obj file"
    IDC_FW_FILE_TITLE = 1702,       // read-only: the firmware file's title
    IDC_WRITE_FW = 1703,            // "Write F/W"
    IDC_FW_INFO = 1704,             // "F/W Info"
    IDC_FW_VERSION = 1705,          // read-only: the firmware version
    IDC_DUMP_EEP_DATA = 1706,       // "Dump EEP Data"
    IDC_ERASE_FLASH = 1707,         // "Erase"
    IDC_WRITE_EEP_AND_FW = 1708,    // check box "Write EEP File && F/W"
    IDC_EEP_TO_93C46 = 1709,        // "EEP to 93C46" / "F/W to Flash"

    // "Read / Write ROM File"
    IDC_GRP_ROM = 1800,
    IDC_WRITE_ROM = 1801,           // "Write ROM File"
    IDC_READ_ROM = 1802,            // "Read ROM File"

    // bottom
    IDC_STATUS = 1901,              // the status line
    IDC_PROGRESS = 1902,            // 0 to 100
    IDC_EXIT = 1903,                // "Exit"
};

// The check box of card type `cardType` (eep::CardRow: CF, SM, SD, MS, XD)
// under icon `icon` (0 to 5).
constexpr int iconBox(int icon, int cardType) { return IDC_ICON_FIRST + 5 * icon + cardType; }
constexpr int cardStrEdit(int k) { return IDC_CARD_STR1 + k; }  // k = 0 to 4

// "Dump Dialog"
enum : int {
    IDC_DUMP_LIST = 1001,           // the dump lines
    IDC_DUMP_VENDOR = 1011,         // beside "Vendor :"
    IDC_DUMP_PRODUCT = 1012,        // beside "Product :"
    IDC_DUMP_SERIAL = 1013,         // beside "Serial :"
    IDC_DUMP_INTERFACE = 1014,      // beside "Interface :"
    IDC_DUMP_CARD_TYPE = 1015,      // beside "Card Type :"
    IDC_DUMP_INQ_VENDOR = 1016,     // beside "Inq-Vendor :" (stays empty)
    IDC_DUMP_INQ_PRODUCT = 1017,    // beside "Inq-Product :" (stays empty)
    IDC_DUMP_LABEL_FIRST = 1021,    // the seven labels, "Vendor :" to "Inq-Product :" (1021-1027)
};

ui::DialogTemplate flashWriterTemplate();
ui::DialogTemplate dumpDialogTemplate();

}  // namespace writer
