// Tavrin: the console of the tool set.
#include "console/shell/console_app.h"
#include "platform/ui/dialog.h"

int main(int argc, char** argv)
{
    const ui::ProgramInfo info{"Tavrin", "Tavrin"};
    return ui::runProgram(argc, argv, info, [] {
        console::ConsoleApp app;
        app.initInstance();
    });
}
