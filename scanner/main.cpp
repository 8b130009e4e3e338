// Ornel: scans every block of the attached flash disk for bad blocks and
// writes scan.log into the current directory.
#include "scanner/scan_dialog.h"

int main(int argc, char** argv) {
    return ui::runProgram(argc, argv, {"Ornel", "Ornel"}, [] {
        scanner::ScanDialog dlg;
        dlg.runModal();
    });
}
