// sim_cli.h - runs the velk-sim executable on a test's bus.
#pragma once

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/wait.h>

#ifndef VELK_SIM_EXE
#error "VELK_SIM_EXE names the velk-sim executable"
#endif

namespace velktest {

struct CliResult {
    int code = -1;
    std::string out, err;
    // Bad input is one line "velk-sim: ..." on standard error and exit code 2.
    bool oneLineError() const {
        return code == 2 && !err.empty() && err.find('\n') == err.size() - 1 && err.rfind("velk-sim: ", 0) == 0;
    }
};

// velk-sim ARGS (a shell word list) with VELK_SIM_DIR=busDir; its output is
// kept in outDir (busDir by default) while it runs.
inline CliResult runCli(const std::string& busDir, const std::string& args, const std::string& outDir = "") {
    const std::string out = outDir.empty() ? busDir : outDir;
    std::string outFile = out + "/.out", errFile = out + "/.err";
    std::string cmd = "VELK_SIM_DIR='" + busDir + "' '" VELK_SIM_EXE "' " + args + " >'" + outFile + "' 2>'" + errFile + "'";
    int st = std::system(cmd.c_str());
    CliResult r;
    r.code = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    std::ifstream o(outFile), e(errFile);
    std::stringstream so, se;
    so << o.rdbuf();
    se << e.rdbuf();
    r.out = so.str();
    r.err = se.str();
    return r;
}

}  // namespace velktest
