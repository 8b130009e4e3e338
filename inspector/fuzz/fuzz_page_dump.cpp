// Fuzz target: Restore's reader of page dump files and the spare and data
// parses that a Write runs on what it read (and on raw text). The first
// byte picks the mode and the page or sector size; the rest is the file.
// Buffers are exactly as large as the parses are told, so a write past one
// is reported.
#include "inspector/page_dump.h"
#include "inspector/page_text.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <sstream>
#include <string>

namespace {

void parseBoth(const std::string& spare, const std::string& data, size_t n) {
    auto spareBytes = std::make_unique<uint8_t[]>(inspector::kShownSpareBytes);
    inspector::parseSpare(spare, spareBytes.get());
    auto dataBytes = std::make_unique<uint8_t[]>(n ? n : 1);
    inspector::parseData(data, n ? dataBytes.get() : nullptr, n);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const uint8_t pick = data[0];
    const bool physical = pick & 1;
    static const size_t sizes[] = {512, 2048, 16, 0, 4, 6, 1, 4096};
    const size_t n = sizes[(pick >> 1) & 7];
    const std::string file(reinterpret_cast<const char*>(data) + 1, size - 1);

    std::istringstream in(file);
    const inspector::Restored r = inspector::readDump(in, physical, n);
    if (r.dataText.size() > 3 * n) __builtin_trap();
    if (r.spareText && r.spareText->size() > inspector::kSpareTextLimit) __builtin_trap();
    if (r.outcome == inspector::Restored::Outcome::Ready)
        parseBoth(r.spareText.value_or(std::string()), r.dataText, n);

    // The same bytes typed into the boxes.
    parseBoth(file, file, n);

    // What Save makes of the restored texts reads back to the same data text.
    if (r.outcome == inspector::Restored::Outcome::Ready && n > 0) {
        const std::string again = inspector::dumpText(physical, r.spareText.value_or(""), r.dataText, n);
        std::istringstream in2(again);
        const inspector::Restored r2 = inspector::readDump(in2, false, n);
        if (r2.outcome != inspector::Restored::Outcome::Ready) __builtin_trap();
    }
    return 0;
}
