// shell.cpp - opening documents and starting programs with their default
// action, without waiting for them.
//
// An executable regular file is a program: it is spawned directly (its own
// session, the caller's working directory and environment). Anything else is
// a document and goes to xdg-open. A small detached thread reaps each child,
// so a program that ends never lingers as a zombie (which would still look
// alive to the window registry).
//
// Headless runs write "start PATH" or "open PATH" to the transcript, for a
// missing file too (a name without an extension counts as a program then), so
// a script shows what the program tried to start; they spawn only when
// TAVRIN_SPAWN=1. A missing file returns false and starts nothing.
#include "os.h"

#include "ui/dialog.h"

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <thread>

extern char** environ;

namespace fs = std::filesystem;

namespace os {

namespace {

// Spawns argv[0] (searched in PATH when `search`), detached from this process.
bool spawnDetached(const std::vector<std::string>& args, bool search) {
    std::vector<char*> argv;
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);

    posix_spawnattr_t attr;
    if (posix_spawnattr_init(&attr) != 0) return false;
    sigset_t none, defaults;
    sigemptyset(&none);
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    sigaddset(&defaults, SIGINT);
    sigaddset(&defaults, SIGQUIT);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setsigdefault(&attr, &defaults);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSID | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

    pid_t pid = -1;
    int rc = search ? posix_spawnp(&pid, argv[0], nullptr, &attr, argv.data(), environ)
                    : posix_spawn(&pid, argv[0], nullptr, &attr, argv.data(), environ);
    posix_spawnattr_destroy(&attr);
    if (rc != 0) return false;
    try {
        std::thread([pid] {
            int status = 0;
            while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
            }
        }).detach();
    } catch (...) {
        // No thread for the reaper: the child is reaped when this process ends.
    }
    return true;
}

}  // namespace

bool shellOpen(const std::string& path) {
    if (path.empty()) return false;
    std::error_code ec;
    auto st = fs::status(path, ec);
    bool exists = !ec && fs::exists(st);
    bool program = exists ? (fs::is_regular_file(st) && ::access(path.c_str(), X_OK) == 0)
                          : !fs::path(path).has_extension();
    if (ui::hooks::headless()) {
        ui::hooks::transcript(std::string(program ? "start " : "open ") + path);
        const char* spawn = std::getenv("TAVRIN_SPAWN");
        if (!exists) return false;
        if (!spawn || std::strcmp(spawn, "1") != 0) return true;
    }
    if (!exists) return false;
    if (program) return spawnDetached({path}, false);
    return spawnDetached({"xdg-open", path}, true);
}

}  // namespace os
