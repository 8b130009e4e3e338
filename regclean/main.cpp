// Kesso: lists the USB devices recorded in the device registry and removes
// the device nodes of the entries the user selects.
#include "regclean/regclean_dialog.h"

int main(int argc, char** argv) {
    return ui::runProgram(argc, argv, {"Kesso", "Kesso"}, [] {
        regclean::RegCleanDialog dlg;
        dlg.runModal();
    });
}
