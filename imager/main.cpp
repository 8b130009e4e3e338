// Imbra: writes an ISO 9660 disc image into the CD-ROM area of the attached
// device and reads it back to verify it.
#include "imager/imbra_dialog.h"

int main(int argc, char** argv) {
    return ui::runProgram(argc, argv, {"Imbra", "Imbra"}, [] {
        imager::ImbraDialog dlg;
        dlg.runModal();
    });
}
