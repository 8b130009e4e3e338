// atomic_replace.h - replacing a file through a scratch file so that the
// target is never lost or left half-written.
//
// The scratch file (the writers' "Temp.eep" in the working directory) is
// written in full and synced, then renamed over the target in one step. When
// the scratch lies on another file system than the target, or is itself the
// target or the file being copied, the content goes through a fresh file
// beside the target instead. The target is never deleted first.
#pragma once

#include <functional>
#include <string>
#include <string_view>

namespace eep {

class ScratchFile {
public:
    // The rename step, replaceable so tests can make it fail.
    using RenameFn = std::function<int(const char* from, const char* to)>;

    ScratchFile() = default;
    explicit ScratchFile(RenameFn rename) : rename_(std::move(rename)) {}
    ScratchFile(const ScratchFile&) = delete;
    ScratchFile& operator=(const ScratchFile&) = delete;
    // Closes the scratch file; removes it if this object created it and did
    // not move it into place.
    ~ScratchFile();

    // Opens the scratch file for writing (creating it when missing), without
    // touching its content yet. False when it cannot be opened.
    bool open(const std::string& path);

    // Makes `content` the content of `target` in one step. `source` is a file
    // that must survive (the template being copied); it may be empty. False
    // when the target could not be replaced; the target is then unchanged.
    bool commit(std::string_view content, const std::string& target, const std::string& source);

private:
    bool commitBeside(std::string_view content, const std::string& target);
    int doRename(const char* from, const char* to);

    RenameFn rename_;
    std::string path_;
    int fd_ = -1;
    bool created_ = false;
};

// Reads a whole file. False when it cannot be opened or read.
bool readWholeFile(const std::string& path, std::string& content);

}  // namespace eep
