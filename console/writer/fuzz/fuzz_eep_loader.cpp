// Fuzzes the EEP loader, the next-serial computation and both writers'
// rewrites on arbitrary file content. The first two bytes choose the device
// class and the serial mode; the rest is the file.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "eep_file.h"
#include "serial.h"

using namespace eep;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    const uint8_t cls = data[0];
    const uint8_t knobs = data[1];
    const std::string_view content(reinterpret_cast<const char*>(data + 2), size - 2);

    SerialSettings serial;
    serial.mode = static_cast<SerialMode>(knobs % 3);
    serial.start = std::to_string((knobs >> 2) & 7) + "5";
    serial.end = (knobs & 0x20) ? "0099" : "7";
    const Clock clock = [] { return LocalTime{2026, 12, 7, 21, 5, 9, 42}; };

    ParseRequest req;
    req.deviceClass = cls;
    req.serialLine = serialLineFor(serial, clock);
    req.mapping = (knobs & 0x40) ? FieldMapping::Reload : FieldMapping::ByClass;
    ParseResult r = parseEep(content, req);

    if (r.loaded && (!r.valid || r.wordCount > kEepromWords)) std::abort();
    if (r.valid && r.checksumIndex >= kEepromWords) std::abort();

    // Two runs of the next serial, as two devices programmed from one parse.
    SerialState state{true, r.serialIsNumeric, r.serialKeepsWidth};
    Image image = r.image;
    const NextSerial first = computeNextSerial(image, state, serial);
    const NextSerial second = computeNextSerial(image, state, serial);
    for (const NextSerial* n : {&first, &second}) {
        if (n->computed && n->text.empty()) std::abort();
        if (n->text.find_first_not_of("0123456789") != std::string::npos) std::abort();
    }

    // Writer 2: the file keeps its layout; only serial characters change.
    // The dry run (no output, reading no further than "[END]") agrees with
    // the copy.
    const std::string next = second.computed ? second.text : std::string("0000");
    const ParseResult asWritten = req.serialLine ? parseEep(content, ParseRequest{}) : ParseResult{};
    const ParseResult& layout = req.serialLine ? asWritten : r;
    const auto rewritten = rewriteSerial(content, layout, next);
    LineReader dry(content);
    if (rewriteSerial(dry, layout, next, nullptr) != rewritten.has_value()) std::abort();
    if (rewritten) {
        // The writers' layout (words counted, nothing encoded) gives every
        // line the role the parse gives it.
        LineReader pieces(content);
        ParseResult full;
        full.image.fill(0xFFFF);
        BodyParser parsing(&full, layout.request), following(nullptr, layout.request);
        size_t length = 0;
        for (std::string_view piece; pieces.next(piece);) {
            if (piece.empty() || piece.size() > kPieceChars) std::abort();
            length += piece.size();
            const LineRole a = parsing.feed(piece), b = following.feed(piece);
            if (a.kind != b.kind || a.tag != b.tag || a.word != b.word) std::abort();
        }
        if (rewritten->size() != length) std::abort();
        const ParseResult again = parseEep(*rewritten, ParseRequest{});
        if (again.valid != layout.valid || again.wordCount != layout.wordCount) std::abort();
    }

    // Writer 1 (offered only after a load) from the parsed fields; its output
    // must load again.
    if (r.loaded) {
        FieldTexts fields;
        r.update.applyTo(fields);
        const std::string saved = rewriteForSave(content, r, cls, fields);
        const ParseResult reparsed = parseEep(saved, req);
        if (!reparsed.valid) std::abort();
        (void)checkIconSetting(cls, fields);
    }
    return 0;
}
