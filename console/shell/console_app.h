// console_app.h - the console's application object.
#pragma once

namespace console {

// A dialog application with no document, no frame window and no settings:
// start-up runs the console dialog modally and returns false, so no message
// loop follows and the program ends when the dialog closes.
class ConsoleApp {
public:
    bool initInstance();
};

}  // namespace console
