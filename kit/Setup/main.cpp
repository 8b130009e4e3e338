// Setup: the kit's driver set-up, started by the console's "Driver Install".
// It installs nothing (nothing is needed) and says so in a window; without a
// display (started from a terminal on a machine without a desktop) it
// writes the same text on standard output.
#include "setup_dialog.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

bool displayNamed() {
    for (const char* v : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"}) {
        const char* s = std::getenv(v);
        if (s && *s) return true;
    }
    return false;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 1 && !displayNamed()) {
        std::printf("%s\n", setup::setupText().c_str());
        return 0;
    }
    return ui::runProgram(argc, argv, {"Setup", "Setup"}, [] {
        setup::SetupDialog dlg;
        dlg.runModal();
    });
}
