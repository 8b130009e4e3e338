// Retirex: lists the bad blocks of a scan log and, on request, erases and
// retires them on the attached flash disk.
#include "marker/marker_dialog.h"

int main(int argc, char** argv) {
    return ui::runProgram(argc, argv, {"Retirex", "Retirex"}, [] {
        marker::MarkerDialog dlg;
        dlg.runModal();
    });
}
