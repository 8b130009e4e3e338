// regstore.cpp - the registry as a directory tree.
//
// On disk: one directory per key, named after the key (with '%', '/' and a
// leading '.' written as %XX so that no key name can escape its parent or
// collide with the store's own files). The values of a key live together in
// the file "%values" inside its directory:
//
//   REGSTORE 1
//   S<TAB>DeviceDesc<TAB>Velk USB Device
//   M<TAB>HardwareID<TAB>USB\\Vid_3a7c&Pid_0760&Rev_0100<TAB>USB\\Vid_3a7c&Pid_0760
//   D<TAB>Capabilities<TAB>132
//
// (backslash, tab, CR and LF inside names and strings escaped as \\ \t \r \n).
// Store-owned names start with '%' followed by a lower-case letter, which an
// encoded key name never does (encodings use upper-case hex digits).
//
// Atomicity: a values file is replaced by writing a temporary file and
// renaming it over the old one; a key created with its values is built under a
// temporary name and renamed into place; a deleted key is first renamed away
// and then removed. Writers serialise on an flock of "%lock" in the root so
// that two processes never create the same key under two spellings.
#include "regstore.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <system_error>

namespace fs = std::filesystem;

namespace regstore {

namespace {

constexpr const char* kValuesFile = "%values";
constexpr const char* kLockFile = "%lock";
constexpr const char* kHeader = "REGSTORE 1";

char lowerAscii(char c) { return (c >= 'A' && c <= 'Z') ? char(c - 'A' + 'a') : c; }

std::string lowerCopy(const std::string& s) {
    std::string r = s;
    for (char& c : r) c = lowerAscii(c);
    return r;
}

bool sameName(const std::string& a, const std::string& b) {
    return a.size() == b.size() && lowerCopy(a) == lowerCopy(b);
}

// Splits "A\\B\\C" into its key names. The empty path is the root. An empty
// name ("A\\\\B", a leading or trailing backslash) makes the path invalid.
std::optional<std::vector<std::string>> splitPath(const std::string& path) {
    std::vector<std::string> parts;
    if (path.empty()) return parts;
    size_t start = 0;
    for (;;) {
        size_t bs = path.find('\\', start);
        std::string part = path.substr(start, bs == std::string::npos ? std::string::npos : bs - start);
        if (part.empty()) return std::nullopt;
        parts.push_back(std::move(part));
        if (bs == std::string::npos) break;
        start = bs + 1;
    }
    return parts;
}

const char kHex[] = "0123456789ABCDEF";

std::string encodeName(const std::string& name) {
    std::string out;
    for (size_t i = 0; i < name.size(); ++i) {
        unsigned char c = static_cast<unsigned char>(name[i]);
        if (c == '%' || c == '/' || c == 0 || (i == 0 && c == '.')) {
            out += '%';
            out += kHex[c >> 4];
            out += kHex[c & 15];
        } else {
            out += char(c);
        }
    }
    return out;
}

int hexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// The key name an entry of a key directory stands for; nothing for the
// store's own files and anything this code would not have written.
std::optional<std::string> decodeName(const std::string& enc) {
    std::string out;
    for (size_t i = 0; i < enc.size(); ++i) {
        if (enc[i] != '%') {
            out += enc[i];
            continue;
        }
        if (i + 2 >= enc.size()) return std::nullopt;
        int hi = hexDigit(enc[i + 1]), lo = hexDigit(enc[i + 2]);
        if (hi < 0 || lo < 0) return std::nullopt;
        out += char(hi * 16 + lo);
        i += 2;
    }
    if (out.empty() || encodeName(out) != enc) return std::nullopt;
    return out;
}

// The directory of the subkey `name` of the key at `dir`, matched without
// regard to case; nothing when there is none.
std::optional<fs::path> findChild(const fs::path& dir, const std::string& name) {
    std::error_code ec;
    fs::path exact = dir / encodeName(name);
    if (fs::is_directory(exact, ec)) return exact;
    std::optional<std::pair<std::string, fs::path>> best;
    for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
        std::string entry = it->path().filename().string();
        auto decoded = decodeName(entry);
        if (!decoded || !sameName(*decoded, name)) continue;
        if (!it->is_directory(ec)) continue;
        // Deterministic choice should two spellings ever exist.
        if (!best || entry < best->first) best = std::make_pair(entry, it->path());
    }
    if (best) return best->second;
    return std::nullopt;
}

std::optional<fs::path> resolve(const fs::path& root, const std::string& keyPath) {
    auto parts = splitPath(keyPath);
    if (!parts) return std::nullopt;
    std::error_code ec;
    if (!fs::is_directory(root, ec)) return std::nullopt;
    fs::path p = root;
    for (const auto& part : *parts) {
        auto child = findChild(p, part);
        if (!child) return std::nullopt;
        p = *child;
    }
    return p;
}

std::string escape(const std::string& s) {
    std::string out;
    for (char c : s) {
        switch (c) {
        case '\\': out += "\\\\"; break;
        case '\t': out += "\\t"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        default: out += c;
        }
    }
    return out;
}

std::optional<std::string> unescape(const std::string& s) {
    std::string out;
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] != '\\') {
            out += s[i];
            continue;
        }
        if (++i >= s.size()) return std::nullopt;
        switch (s[i]) {
        case '\\': out += '\\'; break;
        case 't': out += '\t'; break;
        case 'n': out += '\n'; break;
        case 'r': out += '\r'; break;
        default: return std::nullopt;
        }
    }
    return out;
}

using NamedValue = std::pair<std::string, Value>;

std::vector<std::string> splitTabs(const std::string& line) {
    std::vector<std::string> fields;
    size_t start = 0;
    for (;;) {
        size_t t = line.find('\t', start);
        fields.push_back(line.substr(start, t == std::string::npos ? std::string::npos : t - start));
        if (t == std::string::npos) break;
        start = t + 1;
    }
    return fields;
}

// Reads the values of a key directory. Lines that do not parse are skipped,
// so one damaged entry does not hide the others.
std::vector<NamedValue> readValues(const fs::path& keyDir) {
    std::vector<NamedValue> values;
    std::ifstream in(keyDir / kValuesFile, std::ios::binary);
    if (!in) return values;
    std::string line;
    if (!std::getline(in, line) || line != kHeader) return values;
    while (std::getline(in, line)) {
        auto f = splitTabs(line);
        if (f.size() < 2 || f[0].size() != 1) continue;
        auto name = unescape(f[1]);
        if (!name) continue;
        Value v;
        bool ok = true;
        switch (f[0][0]) {
        case 'S': {
            if (f.size() != 3) { ok = false; break; }
            auto s = unescape(f[2]);
            if (!s) { ok = false; break; }
            v.type = Value::Type::String;
            v.strings = {*s};
            break;
        }
        case 'M':
            v.type = Value::Type::MultiString;
            for (size_t i = 2; i < f.size() && ok; ++i) {
                auto s = unescape(f[i]);
                if (s) v.strings.push_back(*s); else ok = false;
            }
            break;
        case 'D': {
            if (f.size() != 3 || f[2].empty() || f[2].size() > 10) { ok = false; break; }
            uint64_t n = 0;
            for (char c : f[2]) {
                if (c < '0' || c > '9') { ok = false; break; }
                n = n * 10 + uint64_t(c - '0');
            }
            if (n > 0xFFFFFFFFu) ok = false;
            v.type = Value::Type::Dword;
            v.dword = uint32_t(n);
            break;
        }
        default: ok = false;
        }
        if (!ok) continue;
        auto same = std::find_if(values.begin(), values.end(),
                                 [&](const NamedValue& nv) { return sameName(nv.first, *name); });
        if (same == values.end()) values.emplace_back(*name, std::move(v));
    }
    return values;
}

std::string formatValues(const std::vector<NamedValue>& values) {
    std::ostringstream out;
    out << kHeader << '\n';
    for (const auto& [name, v] : values) {
        switch (v.type) {
        case Value::Type::String:
            out << "S\t" << escape(name) << '\t' << escape(v.strings.empty() ? std::string() : v.strings[0]);
            break;
        case Value::Type::MultiString:
            out << "M\t" << escape(name);
            for (const auto& s : v.strings) out << '\t' << escape(s);
            break;
        case Value::Type::Dword:
            out << "D\t" << escape(name) << '\t' << v.dword;
            break;
        }
        out << '\n';
    }
    return out.str();
}

std::string uniqueSuffix() {
    static std::atomic<unsigned> counter{0};
    return std::to_string(::getpid()) + "." + std::to_string(counter.fetch_add(1));
}

// Writes `data` to dir/name through a temporary file and a rename, so a
// reader sees the old file or the new one, never a part.
bool writeFileAtomic(const fs::path& dir, const std::string& name, const std::string& data) {
    fs::path tmp = dir / ("%tmp." + uniqueSuffix());
    int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return false;
    size_t done = 0;
    while (done < data.size()) {
        ssize_t n = ::write(fd, data.data() + done, data.size() - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            ::close(fd);
            ::unlink(tmp.c_str());
            return false;
        }
        done += size_t(n);
    }
    bool ok = ::fsync(fd) == 0;
    ok = (::close(fd) == 0) && ok;
    if (ok) ok = ::rename(tmp.c_str(), (dir / name).c_str()) == 0;
    if (!ok) ::unlink(tmp.c_str());
    return ok;
}

// Exclusive lock of the store for one change, across processes.
class WriteLock {
public:
    explicit WriteLock(const fs::path& root) {
        std::error_code ec;
        fs::create_directories(root, ec);
        fd_ = ::open((root / kLockFile).c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
        if (fd_ >= 0) {
            while (::flock(fd_, LOCK_EX) != 0 && errno == EINTR) {
            }
        }
    }
    ~WriteLock() {
        if (fd_ >= 0) ::close(fd_);
    }
    WriteLock(const WriteLock&) = delete;
    WriteLock& operator=(const WriteLock&) = delete;
    bool ok() const { return fd_ >= 0; }

private:
    int fd_ = -1;
};

// Creates the keys of `parts` below root that are missing (callers hold the
// lock); returns the directory of the last one.
std::optional<fs::path> createPath(const fs::path& root, const std::vector<std::string>& parts) {
    fs::path p = root;
    for (const auto& part : parts) {
        if (auto child = findChild(p, part)) {
            p = *child;
            continue;
        }
        fs::path dir = p / encodeName(part);
        if (::mkdir(dir.c_str(), 0755) != 0 && errno != EEXIST) return std::nullopt;
        p = dir;
    }
    return p;
}

}  // namespace

Store::Store(fs::path root) : root_(std::move(root)) {}

bool Store::keyExists(const std::string& keyPath) const {
    return resolve(root_, keyPath).has_value();
}

std::vector<std::string> Store::subkeys(const std::string& keyPath) const {
    std::vector<std::string> names;
    auto dir = resolve(root_, keyPath);
    if (!dir) return names;
    std::error_code ec;
    for (fs::directory_iterator it(*dir, ec), end; !ec && it != end; it.increment(ec)) {
        auto decoded = decodeName(it->path().filename().string());
        if (!decoded || !it->is_directory(ec)) continue;
        names.push_back(*decoded);
    }
    std::sort(names.begin(), names.end(), [](const std::string& a, const std::string& b) {
        std::string la = lowerCopy(a), lb = lowerCopy(b);
        return la != lb ? la < lb : a < b;
    });
    return names;
}

std::optional<fs::path> Store::keyFolder(const std::string& keyPath) const { return resolve(root_, keyPath); }

std::optional<Value> Store::value(const std::string& keyPath, const std::string& name) const {
    auto dir = resolve(root_, keyPath);
    if (!dir) return std::nullopt;
    for (auto& [n, v] : readValues(*dir)) {
        if (sameName(n, name)) return v;
    }
    return std::nullopt;
}

bool Store::createKey(const std::string& keyPath) {
    auto parts = splitPath(keyPath);
    if (!parts) return false;
    WriteLock lock(root_);
    if (!lock.ok()) return false;
    return createPath(root_, *parts).has_value();
}

bool Store::setValue(const std::string& keyPath, const std::string& name, const Value& v) {
    WriteLock lock(root_);
    if (!lock.ok()) return false;
    auto dir = resolve(root_, keyPath);
    if (!dir) return false;
    auto values = readValues(*dir);
    auto same = std::find_if(values.begin(), values.end(),
                             [&](const NamedValue& nv) { return sameName(nv.first, name); });
    if (same != values.end()) same->second = v;  // keeps the name's first spelling
    else values.emplace_back(name, v);
    return writeFileAtomic(*dir, kValuesFile, formatValues(values));
}

bool Store::createKeyWithValues(const std::string& keyPath, const std::vector<std::pair<std::string, Value>>& values) {
    auto parts = splitPath(keyPath);
    if (!parts || parts->empty()) return false;
    WriteLock lock(root_);
    if (!lock.ok()) return false;
    if (resolve(root_, keyPath)) return true;
    std::vector<std::string> parentParts(parts->begin(), parts->end() - 1);
    auto parent = createPath(root_, parentParts);
    if (!parent) return false;
    fs::path tmp = *parent / ("%tmp." + uniqueSuffix());
    if (::mkdir(tmp.c_str(), 0755) != 0) return false;
    std::vector<NamedValue> unique;
    for (const auto& nv : values) {
        auto same = std::find_if(unique.begin(), unique.end(),
                                 [&](const NamedValue& u) { return sameName(u.first, nv.first); });
        if (same != unique.end()) same->second = nv.second;
        else unique.push_back(nv);
    }
    bool ok = writeFileAtomic(tmp, kValuesFile, formatValues(unique)) &&
              ::rename(tmp.c_str(), (*parent / encodeName(parts->back())).c_str()) == 0;
    if (!ok) {
        std::error_code ec;
        fs::remove_all(tmp, ec);
    }
    return ok;
}

bool Store::deleteKey(const std::string& keyPath) {
    auto parts = splitPath(keyPath);
    if (!parts || parts->empty()) return false;  // the root is not a key to delete
    WriteLock lock(root_);
    if (!lock.ok()) return false;
    auto dir = resolve(root_, keyPath);
    if (!dir) return false;
    // Renamed away first: other processes see the whole subtree vanish at once.
    fs::path doomed = dir->parent_path() / ("%del." + uniqueSuffix());
    if (::rename(dir->c_str(), doomed.c_str()) != 0) return false;
    std::error_code ec;
    fs::remove_all(doomed, ec);
    return true;
}

std::string usbDeviceKey(uint16_t vid, uint16_t pid) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "SYSTEM\\CurrentControlSet\\Enum\\USB\\Vid_%04x&Pid_%04x", vid, pid);
    return buf;
}

std::vector<std::string> usbHardwareIds(uint16_t vid, uint16_t pid, uint16_t rev) {
    char withRev[64], withoutRev[64];
    std::snprintf(withRev, sizeof withRev, "USB\\Vid_%04x&Pid_%04x&Rev_%04x", vid, pid, rev);
    std::snprintf(withoutRev, sizeof withoutRev, "USB\\Vid_%04x&Pid_%04x", vid, pid);
    return {withRev, withoutRev};
}

bool recordUsbDevice(Store& store, uint16_t vid, uint16_t pid, uint16_t rev,
                     const std::string& instance, const std::string& description) {
    auto str = [](std::string s) {
        Value v;
        v.type = Value::Type::String;
        v.strings = {std::move(s)};
        return v;
    };
    Value ids;
    ids.type = Value::Type::MultiString;
    ids.strings = usbHardwareIds(vid, pid, rev);
    std::vector<std::pair<std::string, Value>> values = {
        {"Class", str("USB")},
        {"ClassGUID", str(kUsbClassGuid)},
        {"HardwareID", ids},
        {"DeviceDesc", str(description)},
    };
    return store.createKeyWithValues(usbDeviceKey(vid, pid) + "\\" + instance, values);
}

}  // namespace regstore
