// files.cpp - the current directory, the version resource of executables, and
// replacing a file whole.
//
// A program carries its version as a marker string compiled into it (see
// version.cmake): "TAVRIN-FILEVERSION:" followed by "major.minor.build.revision"
// and a NUL byte. fileVersion finds the executable by the platform's search
// rules (the program's own folder, the current directory, then PATH) and
// scans it for the first well-formed marker.
#include "os.h"
#include "os_internal.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include <cstdlib>
#include <fstream>

namespace fs = std::filesystem;

namespace os {

namespace detail {

std::string versionMarkerPrefix() {
    // Put together at run time: a literal here would itself sit in every
    // program's file, right before a byte that is no version.
    std::string prefix = "TAVRIN-";
    prefix += "FILEVERSION:";
    return prefix;
}

namespace {

// "a.b.c.d" + NUL at data[pos...]: four decimal parts of at most 5 digits,
// each at most 65535.
std::optional<FileVersion> parseVersionAt(const std::string& data, size_t pos) {
    uint32_t parts[4] = {0, 0, 0, 0};
    for (int i = 0; i < 4; ++i) {
        size_t digits = 0;
        while (pos < data.size() && data[pos] >= '0' && data[pos] <= '9') {
            if (++digits > 5) return std::nullopt;
            parts[i] = parts[i] * 10 + uint32_t(data[pos] - '0');
            ++pos;
        }
        if (digits == 0 || parts[i] > 0xFFFF) return std::nullopt;
        char expected = i < 3 ? '.' : '\0';
        if (pos >= data.size() || data[pos] != expected) return std::nullopt;
        ++pos;
    }
    return FileVersion{uint16_t(parts[0]), uint16_t(parts[1]), uint16_t(parts[2]), uint16_t(parts[3])};
}

}  // namespace

std::optional<FileVersion> readVersionResource(const fs::path& file) {
    std::error_code ec;
    if (!fs::is_regular_file(file, ec)) return std::nullopt;
    std::ifstream in(file, std::ios::binary);
    if (!in) return std::nullopt;
    const std::string prefix = versionMarkerPrefix();
    const size_t longest = prefix.size() + 4 * 5 + 3 + 1;  // prefix + "65535.65535.65535.65535" + NUL
    // Read in chunks, keeping the tail of each so a marker across a chunk
    // border is still seen.
    std::string window;
    std::vector<char> chunk(1 << 16);
    while (in) {
        in.read(chunk.data(), std::streamsize(chunk.size()));
        std::streamsize got = in.gcount();
        if (got <= 0) break;
        window.append(chunk.data(), size_t(got));
        bool atEnd = !in;
        size_t pos = 0;
        while ((pos = window.find(prefix, pos)) != std::string::npos) {
            // Near the end of the window and more to come: decide next round.
            if (!atEnd && window.size() - pos < longest) break;
            if (auto v = parseVersionAt(window, pos + prefix.size())) return v;
            pos += 1;
        }
        if (window.size() > longest) window.erase(0, window.size() - longest);
    }
    return std::nullopt;
}

std::optional<fs::path> searchFile(const std::string& name, const fs::path& exeDir, const fs::path& cwd,
                                   const std::string& pathEnv) {
    if (name.empty()) return std::nullopt;
    std::error_code ec;
    auto usable = [&](const fs::path& p) { return fs::is_regular_file(p, ec); };
    // A name with a folder part is taken as it is, relative to the current directory.
    if (name.find('/') != std::string::npos) {
        fs::path p = fs::path(name).is_absolute() ? fs::path(name) : cwd / name;
        if (usable(p)) return p;
        return std::nullopt;
    }
    std::vector<fs::path> folders;
    if (!exeDir.empty()) folders.push_back(exeDir);
    folders.push_back(cwd);
    size_t start = 0;
    for (;;) {
        size_t colon = pathEnv.find(':', start);
        std::string entry = pathEnv.substr(start, colon == std::string::npos ? std::string::npos : colon - start);
        folders.push_back(entry.empty() ? cwd : fs::path(entry).is_absolute() ? fs::path(entry) : cwd / entry);
        if (colon == std::string::npos) break;
        start = colon + 1;
    }
    for (const auto& f : folders)
        if (usable(f / name)) return f / name;
    return std::nullopt;
}

}  // namespace detail

std::string currentDirectory() {
    std::error_code ec;
    fs::path p = fs::current_path(ec);
    return ec ? std::string() : p.string();
}

std::optional<FileVersion> fileVersion(const std::string& fileName) {
    std::error_code ec;
    fs::path exe = fs::read_symlink("/proc/self/exe", ec);
    fs::path exeDir = ec ? fs::path() : exe.parent_path();
    fs::path cwd = fs::current_path(ec);
    if (ec) cwd = ".";
    const char* path = std::getenv("PATH");
    auto file = detail::searchFile(fileName, exeDir, cwd, path ? path : "");
    if (!file) return std::nullopt;
    return detail::readVersionResource(*file);
}

Replaced replaceFile(const std::string& path, std::string_view content) {
    std::error_code ec;
    if (path.empty() || fs::is_directory(path, ec)) return Replaced::CannotCreate;
    std::string tmp = path + ".XXXXXX";
    const int fd = ::mkstemp(tmp.data());
    if (fd < 0) return Replaced::CannotCreate;
    bool ok = true;
    for (std::string_view rest = content; ok && !rest.empty();) {
        const ssize_t n = ::write(fd, rest.data(), rest.size());
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) ok = false;
        else rest.remove_prefix(size_t(n));
    }
    // mkstemp makes the file 0600: give it the mode of the file it replaces,
    // or the one a new file would get.
    struct stat old {};
    mode_t mode = 0;
    if (::stat(path.c_str(), &old) == 0) {
        mode = old.st_mode & 07777;
    } else {
        const mode_t mask = ::umask(0);
        ::umask(mask);
        mode = 0666 & ~mask;
    }
    ok = ok && ::fchmod(fd, mode) == 0;
    ok = ok && ::fsync(fd) == 0;
    ok = ::close(fd) == 0 && ok;
    ok = ok && ::rename(tmp.c_str(), path.c_str()) == 0;
    if (!ok) {
        ::unlink(tmp.c_str());
        return Replaced::WriteFailed;
    }
    return Replaced::Done;
}

}  // namespace os
