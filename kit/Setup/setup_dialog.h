// setup_dialog.h - "Driver Install": what the kit's Setup/Setup tells the
// operator about drivers, in a dialog of its own.
#pragma once

#include "ui/dialog.h"

#include <string>

namespace setup {

enum : int { IDC_SETUP_TEXT = 1000 };

// The text: paragraphs separated by blank lines; the window wraps them.
const std::string& setupText();

ui::DialogTemplate setupDialogTemplate();

// Shows the text until OK, Escape or the close box.
class SetupDialog : public ui::Dialog {
public:
    SetupDialog();
};

}  // namespace setup
