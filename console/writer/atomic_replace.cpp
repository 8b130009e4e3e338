#include "atomic_replace.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace eep {

namespace {

bool writeAll(int fd, std::string_view content) {
    while (!content.empty()) {
        const ssize_t n = ::write(fd, content.data(), content.size());
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        content.remove_prefix(static_cast<size_t>(n));
    }
    return true;
}

std::string directoryOf(const std::string& path) {
    const auto slash = path.find_last_of('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

// Makes a finished rename durable; a failure here leaves the new content in
// place, so it is not reported.
void syncDirectory(const std::string& dir) {
    const int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return;
    ::fsync(fd);
    ::close(fd);
}

bool sameFile(const struct stat& a, const std::string& path) {
    struct stat b {};
    if (path.empty() || ::stat(path.c_str(), &b) != 0) return false;
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// Gives a new file the permissions of the file it replaces.
void copyMode(int fd, const std::string& target) {
    struct stat st {};
    if (::stat(target.c_str(), &st) == 0) ::fchmod(fd, st.st_mode & 07777);
}

}  // namespace

bool writeProduced(int fd, const ScratchFile::Producer& produce) {
    constexpr size_t kBuffer = 64 * 1024;
    std::string buf;
    buf.reserve(kBuffer);
    bool failed = false;
    const Sink sink = [&](std::string_view piece) {
        if (failed) return false;
        if (buf.size() + piece.size() > kBuffer) {
            failed = !writeAll(fd, buf);
            buf.clear();
            if (failed) return false;
        }
        if (piece.size() > kBuffer) {
            failed = !writeAll(fd, piece);
            return !failed;
        }
        buf.append(piece);
        return true;
    };
    if (!produce(sink) || failed) return false;
    return writeAll(fd, buf);
}

ScratchFile::~ScratchFile() {
    if (fd_ >= 0) ::close(fd_);
    if (created_ && !path_.empty()) ::unlink(path_.c_str());
}

int ScratchFile::doRename(const char* from, const char* to) {
    return rename_ ? rename_(from, to) : ::rename(from, to);
}

bool ScratchFile::open(const std::string& path) {
    // A scratch that is a symbolic link is refused: writing through it would
    // change the file it points to.
    path_ = path;
    fd_ = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0666);
    if (fd_ >= 0) {
        created_ = true;
        return true;
    }
    if (errno != EEXIST) return false;
    fd_ = ::open(path.c_str(), O_WRONLY | O_CLOEXEC | O_NOFOLLOW);
    return fd_ >= 0;
}

bool ScratchFile::commit(std::string_view content, const std::string& target, const std::string& source) {
    return commit([content](const Sink& out) { return out(content); }, target, source);
}

bool ScratchFile::commit(const Producer& produce, const std::string& target, const std::string& source) {
    if (fd_ < 0) return false;
    struct stat self {};
    if (::fstat(fd_, &self) != 0) return false;
    if (sameFile(self, target) || sameFile(self, source)) {
        // The scratch is the file being replaced or copied: leave it alone.
        ::close(fd_);
        fd_ = -1;
        return commitBeside(produce, target);
    }
    const bool written = ::ftruncate(fd_, 0) == 0 && writeProduced(fd_, produce);
    if (written) copyMode(fd_, target);
    const bool synced = written && ::fsync(fd_) == 0;
    const bool closed = ::close(fd_) == 0;
    fd_ = -1;
    created_ = true;  // from here on the scratch is ours to remove on failure
    if (!(synced && closed)) return false;
    if (doRename(path_.c_str(), target.c_str()) == 0) {
        created_ = false;
        syncDirectory(directoryOf(target));
        return true;
    }
    if (errno != EXDEV) return false;
    // Another file system: the rename must happen inside the target's own.
    return commitBeside(produce, target);
}

bool ScratchFile::commitBeside(const Producer& produce, const std::string& target) {
    std::string temp;
    int fd = -1;
    for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
        temp = target + ".tmp" + std::to_string(::getpid()) + "-" + std::to_string(attempt);
        fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd < 0 && errno != EEXIST) return false;
    }
    if (fd < 0) return false;
    const bool written = writeProduced(fd, produce);
    if (written) copyMode(fd, target);
    const bool synced = written && ::fsync(fd) == 0;
    const bool closed = ::close(fd) == 0;
    if (!(synced && closed) || doRename(temp.c_str(), target.c_str()) != 0) {
        ::unlink(temp.c_str());
        return false;
    }
    syncDirectory(directoryOf(target));
    return true;
}

}  // namespace eep
