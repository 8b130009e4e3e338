#include "console_app.h"

#include "console/shell/console_dialog.h"

namespace console {

bool ConsoleApp::initInstance()
{
    ConsoleDialog dlg;
    dlg.runModal();  // the result is not looked at
    return false;
}

}  // namespace console
