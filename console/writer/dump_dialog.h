// dump_dialog.h - the "Dump Dialog": the EEPROM words, one line per eight,
// and the strings decoded from them. It closes with its "OK" button.
#pragma once

#include <string>
#include <vector>

#include "eeprom_dump.h"
#include "platform/ui/dialog.h"

namespace writer {

struct DumpContent {
    std::vector<std::string> lines;
    DumpStrings strings;   // the inquiry fields of the dialog stay empty
};

class DumpDialog : public ui::Dialog {
public:
    explicit DumpDialog(DumpContent content);
    bool onInitDialog() override;

private:
    DumpContent content_;
};

}  // namespace writer
