// raw_file.h - writing a raw file ("Save to hex") so that a failure or a
// crash never leaves it half-written.
#pragma once

#include <string>
#include <string_view>

namespace writer {

// Makes `content` the content of the file at `path` in one step: it is
// written and synced to a fresh file beside it, which is then renamed over
// it. False when any step fails; the file at `path` is then as it was.
bool replaceFileContent(const std::string& path, std::string_view content);

}  // namespace writer
