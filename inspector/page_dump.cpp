#include "inspector/page_dump.h"

#include "inspector/page_text.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace inspector {

namespace {

// Reads a stream in pieces as text-mode reads of at most kReadPiece
// characters give them: up to and including the next line feed, or
// kReadPiece characters, or what is left before the end. CR LF counts as
// one line feed.
class PieceReader {
public:
    explicit PieceReader(std::istream& in) : in_(in) {}

    // False at the end of the stream (nothing read) and on a read error.
    bool next(std::string& piece) {
        piece.clear();
        while (piece.size() < kReadPiece) {
            if (pos_ == len_ && !fill()) break;
            // Whole runs up to the next line feed or carriage return at once.
            const size_t room = std::min(len_ - pos_, kReadPiece - piece.size());
            const char* from = buf_ + pos_;
            const char* lf = static_cast<const char*>(std::memchr(from, '\n', room));
            const size_t upTo = lf ? size_t(lf - from) + 1 : room;
            const char* cr = static_cast<const char*>(std::memchr(from, '\r', upTo));
            if (!cr) {
                piece.append(from, upTo);
                pos_ += upTo;
                if (lf) break;
                continue;
            }
            piece.append(from, size_t(cr - from));
            pos_ += size_t(cr - from) + 1;
            // CR LF is one line feed; a CR alone is a character.
            if (peek() == '\n') continue;
            piece += '\r';
        }
        return !piece.empty();
    }

    // Back to the beginning of the stream. False when it cannot seek.
    bool rewind() {
        pos_ = len_ = 0;
        end_ = false;
        in_.clear();
        in_.seekg(0);
        return static_cast<bool>(in_);
    }

private:
    bool fill() {
        if (end_) return false;
        pos_ = 0;
        len_ = 0;
        if (std::streambuf* sb = in_.rdbuf(); sb && in_.good()) len_ = static_cast<size_t>(sb->sgetn(buf_, sizeof buf_));
        if (len_ == 0) {
            end_ = true;
            in_.setstate(std::ios::eofbit);
        }
        return len_ > 0;
    }
    int peek() {
        if (pos_ == len_ && !fill()) return -1;
        return static_cast<unsigned char>(buf_[pos_]);
    }

    std::istream& in_;
    char buf_[16384];
    size_t pos_ = 0, len_ = 0;
    bool end_ = false;
};

// The piece as a string: up to its first NUL character.
std::string_view asText(const std::string& piece) {
    const size_t nul = piece.find('\0');
    return std::string_view(piece).substr(0, nul == std::string::npos ? piece.size() : nul);
}

bool startsWith(std::string_view piece, std::string_view marker) {
    return piece.substr(0, marker.size()) == marker;
}

bool isEmptyLine(std::string_view piece) { return !piece.empty() && piece[0] == '\n'; }

// Reads until a piece starts with one of the markers; returns the one
// found, or nothing at the end of the file.
std::optional<std::string_view> seek(PieceReader& in, std::string_view a, std::string_view b) {
    std::string piece;
    while (in.next(piece)) {
        const std::string_view t = asText(piece);
        if (startsWith(t, a)) return a;
        if (startsWith(t, b)) return b;
    }
    return std::nullopt;
}

}  // namespace

std::string dumpLabel(size_t row) {
    char label[40];
    // Three formats by the size of the row number; together they give four
    // digits up to row 4095.
    if (row < 16)
        std::snprintf(label, sizeof label, "0x00%zx0h : ", row);
    else if (row < 256)
        std::snprintf(label, sizeof label, "0x0%2zx0h : ", row);
    else
        std::snprintf(label, sizeof label, "0x%3zx0h : ", row);
    return label;
}

std::string dumpText(bool physical, std::string_view spareText, std::string_view dataText,
                     size_t dataBytes) {
    std::string s;
    if (physical) {
        s += kSpareMarker;
        s += "\n\n\t\t";
        s += spareText.substr(0, std::min(spareText.size(), kSpareTextLimit));
        s += "\n\n";
    }
    s += kDataMarker;
    s += "\n\n";
    const size_t take = dataBytes == 0 ? 0 : 3 * dataBytes - 1;
    dataText = dataText.substr(0, std::min(dataText.size(), take));
    for (size_t r = 0; kRowChars * r < dataText.size(); ++r) {
        s += dumpLabel(r);
        s += dataText.substr(kRowChars * r, kRowChars - 1);
        s += '\n';
    }
    s += "\n\n";
    s += kEndMarker;
    return s;
}

Restored readDump(std::istream& stream, bool physical, size_t dataCapacity) {
    Restored r;
    PieceReader in(stream);
    std::string piece;
    if (physical) {
        const auto found = seek(in, kSpareMarker, kEndMarker);
        if (!found) return r;
        if (*found == kEndMarker) {
            r.outcome = Restored::Outcome::NotFound;
            return r;
        }
        std::string spare;
        bool dataFound = false;
        while (in.next(piece)) {
            const std::string_view t = asText(piece);
            if (startsWith(t, kDataMarker)) {
                dataFound = true;
                break;
            }
            if (t.empty() || isEmptyLine(t)) continue;
            // Each line starts the spare text again; tabs are dropped.
            spare.clear();
            for (char c : t) {
                if (c == '\n' || spare.size() == kSpareTextLimit) break;
                if (c != '\t') spare += c;
            }
        }
        if (!dataFound) return r;
        r.spareText = spare;
        if (!in.rewind()) return r;
    }

    const auto found = seek(in, kDataMarker, kEndMarker);
    if (!found) return r;
    if (*found == kEndMarker) {
        r.outcome = Restored::Outcome::NotFound;
        return r;
    }
    const size_t capacityChars = 3 * dataCapacity;
    std::string data;
    while (in.next(piece)) {
        const std::string_view t = asText(piece);
        if (startsWith(t, kEndMarker)) {
            if (data.size() > capacityChars) data.resize(capacityChars);
            r.dataText = std::move(data);
            r.outcome = Restored::Outcome::Ready;
            return r;
        }
        if (t.empty() || isEmptyLine(t)) continue;
        const size_t colon = t.find(':');
        if (colon == std::string_view::npos) continue;
        if (data.size() >= capacityChars) continue;   // more rows than one page or sector holds
        // The row: the 47 characters from two after the colon, as far as
        // the line goes, then blanks to its 48.
        std::string_view text = colon + 2 < t.size() ? t.substr(colon + 2, kRowChars - 1) : std::string_view();
        text = text.substr(0, std::min(text.size(), text.find('\n')));
        data.append(text);
        data.append(kRowChars - text.size(), ' ');
    }
    return r;
}

}  // namespace inspector
