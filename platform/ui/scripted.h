// scripted.h - scripted runs from inside a test: runs a program body headless
// from a script, exactly as "PROGRAM --script FILE" does, and hands back the
// exit code and the transcript.
#pragma once

#include "dialog.h"

#include <functional>
#include <string>

namespace ui::scripting {

struct ScriptRun {
    int exitCode = -1;       // 0 ran through, 1 failed, -1 the run crashed
    std::string transcript;  // standard output of the run
};

// Runs body in a child process (a failing script ends its process), so call
// it while the test has no other threads running. The child's standard error
// goes where the test's goes.
ScriptRun runScript(const std::string& script, const ProgramInfo& info,
                    const std::function<void()>& body);

}  // namespace ui::scripting
