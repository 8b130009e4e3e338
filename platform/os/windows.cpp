// windows.cpp - the per-user registry of the programs' top-level windows.
//
// Every dialog window shown by a program of the tool set is recorded as one
// small file in the registry folder, "<pid>.<seq>.win":
//
//   TAVRIN-WINDOW 1
//   pid 4711
//   start 123456            (the process's start time, /proc/<pid>/stat)
//   title Ornel
//
// written atomically (temporary file + rename) when the window is shown or
// retitled and deleted when it is destroyed. The window's handle is
// "<pid>:<seq>". Entries of processes that have ended (or whose pid now
// belongs to another process, or that are zombies) are ignored and removed.
//
// Closing a window of another process: the caller drops a request file
// "close.<pid>.<seq>.<caller pid>.<n>.req" into the folder; the owner's poller
// (woken through inotify, or after every script line in headless runs) posts
// the close message to the dialog and deletes the request; the caller waits
// for that deletion, bounded, and gives up when the owner dies.
//
// The folder: $TAVRIN_WINDOWS_DIR if set; in headless runs "windows" in the
// bus directory (scripted runs on different buses never see each other's
// windows); otherwise $XDG_RUNTIME_DIR/tavrin-windows, else
// /tmp/tavrin-windows-<uid>. It must be a real folder owned by the user and
// writable by nobody else; any other is refused (nothing is recorded or found).
#include "os.h"
#include "os_internal.h"

#include "ui/dialog.h"
#include <velk_sim.h>

#include <fcntl.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <map>
#include <mutex>
#include <sstream>

namespace fs = std::filesystem;

namespace os {

namespace {

struct Registry {
    std::mutex m;
    fs::path explicitDir;
    std::map<ui::Dialog*, uint64_t> seqOf;
    std::map<uint64_t, ui::Dialog*> dialogOf;
    uint64_t nextSeq = 1;
    std::map<ui::Dialog*, std::string> recordedIn;  // folder each entry was written to
};

Registry& registry() {
    static Registry r;
    return r;
}

constexpr int kCloseTimeoutMs = 5000;  // how long closeWindow waits for the owner
std::atomic<unsigned> g_requestCounter{0};

// Start time of a live (not zombie) process, from /proc/<pid>/stat; nothing
// when the process is gone.
std::optional<uint64_t> processStart(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string stat;
    if (!std::getline(in, stat)) return std::nullopt;
    size_t close = stat.rfind(')');  // the command name may hold blanks and parentheses
    if (close == std::string::npos) return std::nullopt;
    std::istringstream rest(stat.substr(close + 1));
    std::string field;
    // Fields after the name: state (3) ... starttime (22).
    for (int i = 3; i <= 22; ++i) {
        if (!(rest >> field)) return std::nullopt;
        if (i == 3 && (field == "Z" || field == "X")) return std::nullopt;
    }
    try {
        return std::stoull(field);
    } catch (...) {
        return std::nullopt;
    }
}

// This process's start time; looked up again after a fork.
uint64_t ownStart() {
    static std::atomic<pid_t> cachedPid{0};
    static std::atomic<uint64_t> cachedStart{0};
    pid_t self = ::getpid();
    if (cachedPid.load() != self) {
        cachedStart.store(processStart(self).value_or(0));
        cachedPid.store(self);
    }
    return cachedStart.load();
}

std::string escape(const std::string& s) {
    std::string out;
    for (char c : s) {
        if (c == '\\') out += "\\\\";
        else if (c == '\n') out += "\\n";
        else if (c == '\r') out += "\\r";
        else out += c;
    }
    return out;
}

std::string unescape(const std::string& s) {
    std::string out;
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] != '\\' || i + 1 == s.size()) {
            out += s[i];
            continue;
        }
        char c = s[++i];
        out += c == 'n' ? '\n' : c == 'r' ? '\r' : c;
    }
    return out;
}

fs::path defaultDir() {
    if (const char* env = std::getenv("TAVRIN_WINDOWS_DIR"); env && *env) return env;
    if (ui::hooks::headless()) {
        const char* bus = VelkSimBusDir();
        if (bus && *bus) return fs::path(bus) / "windows";
    }
    if (const char* run = std::getenv("XDG_RUNTIME_DIR"); run && *run == '/') return fs::path(run) / "tavrin-windows";
    return "/tmp/tavrin-windows-" + std::to_string(::geteuid());
}

// Creates the folder if needed and checks that it is safe to use.
bool usableDir(const fs::path& dir) {
    std::error_code ec;
    fs::create_directories(dir.parent_path(), ec);
    ::mkdir(dir.c_str(), 0700);
    struct stat st;
    if (::lstat(dir.c_str(), &st) != 0) return false;
    return S_ISDIR(st.st_mode) && st.st_uid == ::geteuid() && (st.st_mode & 022) == 0;
}

bool writeAtomic(const fs::path& file, const std::string& data) {
    fs::path tmp = file.parent_path() /
                   ("tmp." + std::to_string(::getpid()) + "." + std::to_string(g_requestCounter.fetch_add(1)));
    {
        std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
        if (!out) return false;
        out << data;
        out.flush();
        if (!out) {
            out.close();
            ::unlink(tmp.c_str());
            return false;
        }
    }
    if (::rename(tmp.c_str(), file.c_str()) != 0) {
        ::unlink(tmp.c_str());
        return false;
    }
    return true;
}

struct Entry {
    pid_t pid = 0;
    uint64_t seq = 0;
    uint64_t start = 0;
    std::string title;
    fs::path file;
};

std::optional<Entry> readEntry(const fs::path& file) {
    std::ifstream in(file);
    std::string line;
    if (!std::getline(in, line) || line != "TAVRIN-WINDOW 1") return std::nullopt;
    Entry e;
    e.file = file;
    bool havePid = false, haveTitle = false;
    while (std::getline(in, line)) {
        size_t blank = line.find(' ');
        if (blank == std::string::npos) continue;
        std::string key = line.substr(0, blank), value = line.substr(blank + 1);
        try {
            if (key == "pid") e.pid = pid_t(std::stol(value)), havePid = true;
            else if (key == "start") e.start = std::stoull(value);
            else if (key == "seq") e.seq = std::stoull(value);
            else if (key == "title") e.title = unescape(value), haveTitle = true;
        } catch (...) {
            return std::nullopt;
        }
    }
    if (!havePid || !haveTitle || e.pid <= 0) return std::nullopt;
    return e;
}

bool alive(const Entry& e) {
    auto start = processStart(e.pid);
    return start && *start == e.start;
}

// The live entries of the folder, in (pid, seq) order; stale ones are removed.
std::vector<Entry> liveEntries(const fs::path& dir) {
    std::vector<Entry> out;
    std::error_code ec;
    for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
        if (it->path().extension() != ".win") continue;
        auto e = readEntry(it->path());
        if (!e) continue;
        if (!alive(*e)) {
            ::unlink(it->path().c_str());
            continue;
        }
        out.push_back(std::move(*e));
    }
    std::sort(out.begin(), out.end(),
              [](const Entry& a, const Entry& b) { return a.pid != b.pid ? a.pid < b.pid : a.seq < b.seq; });
    return out;
}

std::optional<std::pair<pid_t, uint64_t>> parseHandle(const std::string& handle) {
    size_t colon = handle.find(':');
    if (colon == std::string::npos || colon == 0 || colon + 1 == handle.size()) return std::nullopt;
    for (size_t i = 0; i < handle.size(); ++i)
        if (i != colon && (handle[i] < '0' || handle[i] > '9')) return std::nullopt;
    if (colon > 9 || handle.size() - colon - 1 > 18) return std::nullopt;
    return std::make_pair(pid_t(std::stol(handle.substr(0, colon))), std::stoull(handle.substr(colon + 1)));
}

std::string entryName(pid_t pid, uint64_t seq) { return std::to_string(pid) + "." + std::to_string(seq) + ".win"; }

// The poller of the window registry: an inotify descriptor on the folder, so
// that the Qt front end wakes when a close request arrives.
struct Watcher {
    std::mutex m;
    int fd = -1;
    int wd = -1;
    fs::path watched;
};

Watcher& watcher() {
    static Watcher w;
    return w;
}

void pollCloseRequestsImpl() {
    Watcher& w = watcher();
    bool scan = false;
    {
        std::lock_guard lock(w.m);
        fs::path dir = detail::windowRegistryDir();
        if (dir != w.watched) {
            if (w.fd >= 0 && w.wd >= 0) inotify_rm_watch(w.fd, w.wd);
            w.wd = -1;
            w.watched = dir;
            if (w.fd >= 0 && usableDir(dir)) w.wd = inotify_add_watch(w.fd, dir.c_str(), IN_CREATE | IN_MOVED_TO);
            scan = true;
        }
        if (w.fd < 0 || w.wd < 0) {
            scan = true;  // no notification: look every time
        } else {
            char buf[4096];
            while (::read(w.fd, buf, sizeof buf) > 0) scan = true;
        }
    }
    if (scan) detail::serveCloseRequests();
}

}  // namespace

namespace detail {

void setWindowRegistryDir(const fs::path& dir) {
    std::lock_guard lock(registry().m);
    registry().explicitDir = dir;
}

fs::path windowRegistryDir() {
    {
        std::lock_guard lock(registry().m);
        if (!registry().explicitDir.empty()) return registry().explicitDir;
    }
    return defaultDir();
}

std::string recordWindow(ui::Dialog& dlg, const std::string& title) {
    fs::path dir = windowRegistryDir();
    Registry& r = registry();
    uint64_t seq;
    {
        std::lock_guard lock(r.m);
        auto it = r.seqOf.find(&dlg);
        if (it == r.seqOf.end()) {
            seq = r.nextSeq++;
            r.seqOf[&dlg] = seq;
            r.dialogOf[seq] = &dlg;
        } else {
            seq = it->second;
        }
        // A window recorded in another folder before (a test switched buses)
        // moves to the current one.
        auto old = r.recordedIn.find(&dlg);
        if (old != r.recordedIn.end() && old->second != dir.string())
            ::unlink((fs::path(old->second) / entryName(::getpid(), seq)).c_str());
        r.recordedIn[&dlg] = dir.string();
    }
    std::string handle = std::to_string(::getpid()) + ":" + std::to_string(seq);
    if (!usableDir(dir)) return handle;
    std::ostringstream data;
    data << "TAVRIN-WINDOW 1\n"
         << "pid " << ::getpid() << "\n"
         << "seq " << seq << "\n"
         << "start " << ownStart() << "\n"
         << "title " << escape(title) << "\n";
    writeAtomic(dir / entryName(::getpid(), seq), data.str());
    return handle;
}

void forgetWindow(ui::Dialog& dlg) {
    Registry& r = registry();
    std::lock_guard lock(r.m);
    auto it = r.seqOf.find(&dlg);
    if (it == r.seqOf.end()) return;
    auto in = r.recordedIn.find(&dlg);
    if (in != r.recordedIn.end()) {
        ::unlink((fs::path(in->second) / entryName(::getpid(), it->second)).c_str());
        r.recordedIn.erase(in);
    }
    r.dialogOf.erase(it->second);
    r.seqOf.erase(it);
}

int serveCloseRequests() {
    fs::path dir = windowRegistryDir();
    const std::string mine = "close." + std::to_string(::getpid()) + ".";
    int handled = 0;
    std::error_code ec;
    for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
        std::string name = it->path().filename().string();
        if (name.rfind(mine, 0) != 0 || it->path().extension() != ".req") continue;
        uint64_t seq = 0;
        try {
            seq = std::stoull(name.substr(mine.size()));
        } catch (...) {
        }
        ui::Dialog* dlg = nullptr;
        {
            std::lock_guard lock(registry().m);
            auto d = registry().dialogOf.find(seq);
            if (d != registry().dialogOf.end()) dlg = d->second;
        }
        if (dlg) dlg->postClose();
        ::unlink(it->path().c_str());
        ++handled;
    }
    return handled;
}

int windowWatchFd() {
    Watcher& w = watcher();
    std::lock_guard lock(w.m);
    if (w.fd < 0) w.fd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    return w.fd;
}

void pollCloseRequests() { pollCloseRequestsImpl(); }

}  // namespace detail

std::optional<std::string> findWindow(const std::string& title) {
    fs::path dir = detail::windowRegistryDir();
    if (!usableDir(dir)) return std::nullopt;
    for (const auto& e : liveEntries(dir))
        if (e.title == title) return std::to_string(e.pid) + ":" + std::to_string(e.seq);
    return std::nullopt;
}

bool closeWindow(const std::string& windowHandle) {
    auto h = parseHandle(windowHandle);
    if (!h) return false;
    auto [pid, seq] = *h;
    if (pid == ::getpid()) {
        ui::Dialog* dlg = nullptr;
        {
            std::lock_guard lock(registry().m);
            auto d = registry().dialogOf.find(seq);
            if (d != registry().dialogOf.end()) dlg = d->second;
        }
        if (!dlg) return false;
        dlg->postClose();
        return true;
    }
    fs::path dir = detail::windowRegistryDir();
    if (!usableDir(dir)) return false;
    auto entry = readEntry(dir / entryName(pid, seq));
    if (!entry || !alive(*entry)) return false;

    int ino = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (ino >= 0) inotify_add_watch(ino, dir.c_str(), IN_DELETE | IN_MOVED_FROM);
    fs::path request = dir / ("close." + std::to_string(pid) + "." + std::to_string(seq) + "." +
                              std::to_string(::getpid()) + "." + std::to_string(g_requestCounter.fetch_add(1)) +
                              ".req");
    bool ok = writeAtomic(request, "close\n");
    if (ok) {
        // Waits for the owner to take the request, looking at least every
        // 50 ms whether it is still alive.
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kCloseTimeoutMs);
        std::error_code ec;
        for (;;) {
            if (!fs::exists(request, ec)) break;
            if (!alive(*entry) || std::chrono::steady_clock::now() >= deadline) {
                ok = ::unlink(request.c_str()) != 0;  // gone meanwhile: the owner took it after all
                break;
            }
            struct pollfd pfd{ino, POLLIN, 0};
            ::poll(&pfd, ino >= 0 ? 1 : 0, 50);
            if (ino >= 0) {
                char buf[4096];
                while (::read(ino, buf, sizeof buf) > 0) {
                }
            }
        }
    }
    if (ino >= 0) ::close(ino);
    return ok;
}

}  // namespace os
