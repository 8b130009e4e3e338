// Feeds arbitrary bytes to the scan-log reader: every bad block it reports
// must name a block line it actually read, and reading must end.
#include "marker/log_reader.h"

#include <cstdint>
#include <cstdlib>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string_view bytes(reinterpret_cast<const char*>(data), size);
    marker::LineReader lines(bytes);
    marker::ScanLogReader reader(lines);
    size_t found = 0;
    while (auto b = reader.next()) {
        // Each bad block consumes at least its block line and its status line.
        if (++found > size / 2 + 1) std::abort();
        auto at = marker::parseBlockLine(b->blockLine);
        if (!at || at->chip != b->chip || at->block != b->block) std::abort();
        if (b->statusLine.find("Block Status : Fail") == std::string::npos) std::abort();
        if (b->blockLine.size() > marker::kMaxLinePiece || b->statusLine.size() > marker::kMaxLinePiece) std::abort();
    }
    return 0;
}
