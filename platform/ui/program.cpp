// program.cpp - program start: a scripted run with the headless front end,
// or real windows through the Qt front end.
#include "headless.h"
#include "internal.h"
#include "scripted.h"

#include <velk_sim.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <sstream>

#include <cerrno>
#include <sys/wait.h>
#include <unistd.h>

namespace ui {

namespace {

ProgramInfo gInfo;

int64_t simNow(void*) { return nowMs(); }
void simSleep(void*, int64_t ms) { sleepMs(ms); }

bool haveDisplay() {
    auto set = [](const char* v) {
        const char* s = std::getenv(v);
        return s && *s;
    };
    return set("DISPLAY") || set("WAYLAND_DISPLAY") || set("QT_QPA_PLATFORM");
}

}  // namespace

namespace detail {

int runScriptedFrom(std::istream& script, const std::function<void()>& body) {
    std::istream* in = &script;
    detail::setDialogThread();
    detail::setVirtualClock(true);
    VelkSimSetClock(simNow, simSleep, nullptr);
    detail::Headless fe(*in, stdout);
    detail::setFrontend(&fe);
    fe.preload();
    body();
    const int code = fe.finish();
    // Workers are all joined (their dialogs are gone); nothing uses the
    // front end any more.
    detail::setFrontend(nullptr);
    detail::clearHooks();
    VelkSimSetClock(nullptr, nullptr, nullptr);
    detail::setVirtualClock(false);
    return code;
}

}  // namespace detail

namespace {

int runScripted(const std::string& path, const std::function<void()>& body) {
    if (path == "-") return detail::runScriptedFrom(std::cin, body);
    std::ifstream file(path);
    if (!file) {
        std::fprintf(stderr, "%s: cannot read the script %s\n", gInfo.executable.c_str(), path.c_str());
        return 2;
    }
    return detail::runScriptedFrom(file, body);
}

}  // namespace

namespace scripting {

ScriptRun runScript(const std::string& script, const ProgramInfo& info,
                    const std::function<void()>& body) {
    ScriptRun r;
    int fds[2];
    if (::pipe(fds) != 0) return r;
    std::fflush(stdout);
    const pid_t pid = ::fork();
    if (pid < 0) {
        ::close(fds[0]);
        ::close(fds[1]);
        return r;
    }
    if (pid == 0) {
        ::close(fds[0]);
        ::dup2(fds[1], 1);
        ::close(fds[1]);
        gInfo = info;
        std::istringstream in(script);
        const int code = detail::runScriptedFrom(in, body);
        std::fflush(stdout);
        ::_exit(code);
    }
    ::close(fds[1]);
    char buf[4096];
    ssize_t n;
    while ((n = ::read(fds[0], buf, sizeof buf)) > 0 || (n < 0 && errno == EINTR))
        if (n > 0) r.transcript.append(buf, static_cast<size_t>(n));
    ::close(fds[0]);
    int st = 0;
    while (::waitpid(pid, &st, 0) < 0 && errno == EINTR) {
    }
    r.exitCode = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    return r;
}

}  // namespace scripting

const ProgramInfo& program() { return gInfo; }

int runProgram(int argc, char** argv, const ProgramInfo& info, const std::function<void()>& body) {
    gInfo = info;
    if (gInfo.executable.empty() && argc > 0 && argv[0]) {
        const char* slash = std::strrchr(argv[0], '/');
        gInfo.executable = slash ? slash + 1 : argv[0];
    }
    const std::string exe = gInfo.executable;
    if (argc >= 2 && std::strcmp(argv[1], "--script") == 0) {
        if (argc != 3) {
            std::fprintf(stderr, "usage: %s [--script FILE|-]\n", exe.c_str());
            return 2;
        }
        return runScripted(argv[2], body);
    }
    if (argc > 1) {
        std::fprintf(stderr, "usage: %s [--script FILE|-]\n", exe.c_str());
        return 2;
    }
    if (!haveDisplay()) {
        std::fprintf(stderr,
                     "%s: no display to open a window on (DISPLAY and WAYLAND_DISPLAY are not set); "
                     "run it on a desktop, or headless with --script FILE\n",
                     exe.c_str());
        return 2;
    }
#if defined(TAVRIN_UI_QT)
    detail::setDialogThread();
    std::unique_ptr<Frontend> fe = qt::createFrontend(argc, argv);
    if (!fe) {
        std::fprintf(stderr, "%s: cannot open a window on this display\n", exe.c_str());
        return 2;
    }
    detail::setFrontend(fe.get());
    body();
    detail::setFrontend(nullptr);
    detail::clearHooks();
    return 0;
#else
    std::fprintf(stderr, "%s: this build has no windowed front end; run it with --script FILE\n",
                 exe.c_str());
    return 2;
#endif
}

namespace detail {
const std::string& programName() { return gInfo.name; }
}  // namespace detail

}  // namespace ui
