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

#include "eep_text.h"

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

    // Writes the new content into a sink, piece by piece; false when it
    // cannot be made (a read of the template failed, the sink failed). It
    // may be asked twice (a second time for the file beside the target) and
    // must give the same content each time.
    using Producer = std::function<bool(const Sink&)>;

    // Makes what `produce` writes the content of `target` in one step.
    // `source` is a file that must survive (the template being copied); it
    // may be empty. False when the target could not be replaced; the target
    // is then unchanged. The content goes to the file through a fixed
    // buffer, so memory does not grow with it.
    bool commit(const Producer& produce, const std::string& target, const std::string& source);
    bool commit(std::string_view content, const std::string& target, const std::string& source);

private:
    bool commitBeside(const Producer& produce, const std::string& target);
    int doRename(const char* from, const char* to);

    RenameFn rename_;
    std::string path_;
    int fd_ = -1;
    bool created_ = false;
};


// Writes what `produce` gives into the open descriptor fd through a fixed
// buffer. False when producing or writing failed.
bool writeProduced(int fd, const ScratchFile::Producer& produce);

}  // namespace eep
