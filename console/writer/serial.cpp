#include "serial.h"

#include <chrono>
#include <cstdio>
#include <ctime>
#include <limits>

#include "eep_text.h"

namespace eep {

LocalTime systemLocalTime() {
    const auto now = std::chrono::system_clock::now();
    const std::time_t secs = std::chrono::system_clock::to_time_t(now);
    std::tm tm{};
    localtime_r(&secs, &tm);
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
    return LocalTime{tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec,
                     static_cast<int>(ms)};
}

std::string timeStamp(const LocalTime& t) {
    char buf[96];
    std::snprintf(buf, sizeof buf, "%04d%02d%02d%02d%02d%02d%03d", t.year, t.month, t.day, t.hour,
                  t.minute, t.second, t.millisecond);
    return buf;
}

std::optional<std::string> serialLineFor(const SerialSettings& s, const Clock& clock) {
    switch (s.mode) {
    case SerialMode::Random: return "\"" + timeStamp(clock ? clock() : systemLocalTime()) + "\"";
    case SerialMode::Boundary: return "\"" + s.start + "\"";
    case SerialMode::AutoIncrement: break;
    }
    return std::nullopt;
}

int64_t editValue(std::string_view text) { return leadingDecimal(text.substr(0, 19)); }

int64_t boundaryOf(const SerialSettings& s) {
    return s.mode == SerialMode::Boundary ? editValue(s.end) : std::numeric_limits<int64_t>::max();
}

std::optional<Message> checkStartEnd(const SerialSettings& s) {
    if (s.start.empty() || s.end.empty())
        return Message{"You must input numbers in Start and End fileds.", "", Icon::None};
    if (editValue(s.end) < editValue(s.start))
        return Message{"End number must more than Start number.", "", Icon::None};
    return std::nullopt;
}

namespace {

// A value that needs more digits than the serial's width starts again at 1,
// so a serial never grows past its room.
int64_t fitted(int64_t value, size_t width) { return std::to_string(value).size() > width ? 1 : value; }

// The value as text: zero-filled to the width unless the serial keeps its
// width (then as short as it is).
std::string serialText(int64_t value, size_t width, bool keepsWidth) {
    std::string s = std::to_string(value);
    if (!keepsWidth && s.size() < width) s.insert(0, width - s.size(), '0');
    return s;
}

}  // namespace

NextSerial computeNextSerial(Image& image, SerialState& state, const SerialSettings& s) {
    NextSerial out;
    const size_t p = lo(image[5]);
    if (!state.isNumeric || p == 0 || p >= kImageWords) return out;

    const uint8_t header = lo(image[p]);
    const size_t chars = header >= 2 ? (header - 2u) / 2u : 0;
    const int64_t b = boundaryOf(s);
    auto read = [&](size_t n) {
        std::string text;
        for (size_t j = 1; j <= n && p + j < kImageWords; ++j) text.push_back(static_cast<char>(lo(image[p + j])));
        return leadingDecimal(text);
    };

    int64_t next = 0;
    size_t width = chars;
    if (state.freshlyParsed) {
        state.freshlyParsed = false;
        if (s.mode == SerialMode::Boundary) width = s.end.size();
        if (width == 0) return out;
        const int64_t v = read(width);
        next = (v > 0 && v < b) ? v + 1 : (s.mode == SerialMode::Boundary ? b : 1);
    } else {
        if (width == 0) return out;
        const int64_t v = read(width);
        const int64_t w = fitted((v > 0 && v < b) ? v + 1 : 1, width);
        out.imageText = serialText(w, width, state.keepsWidth);
        for (size_t j = 0; j < out.imageText.size() && p + 1 + j < kImageWords; ++j)
            image[p + 1 + j] = static_cast<uint8_t>(out.imageText[j]);
        next = (w > 0 && w < b) ? w + 1 : 1;
    }
    out.text = serialText(fitted(next, width), width, state.keepsWidth);
    out.computed = true;
    return out;
}

}  // namespace eep
