// Peliskar (shipped as Pelisk): shows and edits one NAND page with its spare
// area, or one logical sector, of the attached flash disk.
#include "inspector/inspector_dialog.h"

int main(int argc, char** argv) {
    return ui::runProgram(argc, argv, {"Peliskar", "Pelisk"}, [] {
        inspector::InspectorDialog dlg;
        dlg.runModal();
    });
}
