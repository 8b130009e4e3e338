#include "eep_session.h"

#include <filesystem>

namespace eep {

namespace {

const Message kOpenFailed{"Error to open file", "Error", Icon::Error};
const Message kOpenNewFailed{"Error to open new file", "Error", Icon::Error};

std::string titleOf(const std::string& path) { return std::filesystem::path(path).filename().string(); }

std::string fullPathOf(const std::string& path) {
    std::error_code ec;
    const auto abs = std::filesystem::absolute(path, ec);
    return ec ? path : abs.lexically_normal().string();
}

}  // namespace

EepSession::EepSession(SessionOptions options) : options_(std::move(options)) { image_.fill(0xFFFF); }

std::string EepSession::scratchPath() const {
    return options_.workDir.empty() ? std::string("Temp.eep") : options_.workDir + "/Temp.eep";
}

LoadResult EepSession::readAndParse(const std::string& path, uint8_t deviceClass, const SerialSettings& serial,
                                    FieldMapping mapping) {
    LoadResult out;
    InputFile file;
    if (path.empty() || !file.open(path)) {
        out.messages.push_back(kOpenFailed);
        return out;
    }
    ParseRequest req;
    req.deviceClass = deviceClass;
    req.serialLine = serialLineFor(serial, options_.clock);
    req.mapping = mapping;
    LineReader lines(file.fd(), file.size());
    ParseResult r = parseEep(lines, req);
    out.messages = std::move(r.messages);
    if (!r.valid) return out;

    image_ = r.image;
    wordCount_ = r.wordCount;
    checksumIndex_ = r.checksumIndex;
    strings_ = std::move(r.strings);
    fields_ = r.fields;
    serial_ = SerialState{true, r.serialIsNumeric, r.serialKeepsWidth};
    next_ = {};
    serialLine_ = req.serialLine;
    loaded_ = r.loaded;
    out.fields = r.update;
    out.loaded = r.loaded;
    if (r.loaded) {
        loadedPath_ = path;
        out.fullPath = fullPathOf(path);
        out.fileTitle = titleOf(path);
    }
    return out;
}

LoadResult EepSession::load(const std::string& path, uint8_t deviceClass, const SerialSettings& serial) {
    savedFlag_ = false;
    savedPath_.clear();
    loaded_ = false;
    if (path.empty()) return {};
    return readAndParse(path, deviceClass, serial, FieldMapping::ByClass);
}

bool EepSession::reloadBeforeRun(SerialMode mode) const {
    return mode != SerialMode::AutoIncrement || savedFlag_;
}

ReloadResult EepSession::reload(uint8_t deviceClass, const SerialSettings& serial) {
    ReloadResult out;
    if (serial.mode == SerialMode::Boundary) {
        if (auto m = checkStartEnd(serial)) {
            out.messages.push_back(*m);
            return out;
        }
    }
    serial_ = {};
    next_ = {};
    loaded_ = false;
    image_.fill(0xFFFF);
    if (savedFlag_ && !savedPath_.empty()) loadedPath_ = savedPath_;
    static_cast<LoadResult&>(out) = readAndParse(loadedPath_, deviceClass, serial, FieldMapping::Reload);
    if (serial.mode == SerialMode::AutoIncrement) savedFlag_ = false;
    out.runMayStart = out.loaded;
    return out;
}

NextSerial EepSession::nextSerial(const SerialSettings& serial) {
    next_ = computeNextSerial(image_, serial_, serial);
    // The serial the device receives follows the one advanced in the image.
    if (!next_.imageText.empty()) {
        std::string& s = strings_.serial;
        if (s.size() < next_.imageText.size()) s.resize(next_.imageText.size(), ' ');
        s.replace(0, next_.imageText.size(), next_.imageText);
    }
    return next_;
}

HandOffResult EepSession::handOff(const SerialSettings& serial) {
    HandOffResult out;
    if (!serial_.isNumeric || lo(image_[5]) == 0 || !next_.computed) return out;
    switch (serial.mode) {
    case SerialMode::Boundary: out.startText = next_.text; break;
    case SerialMode::AutoIncrement: out.fileRewritten = writeSerialBack(next_.text); break;
    case SerialMode::Random: break;
    }
    return out;
}

bool EepSession::writeSerialBack(const std::string& serial) {
    InputFile file;
    if (loadedPath_.empty() || !file.open(loadedPath_)) return false;
    ScratchFile scratch(options_.rename);
    if (!scratch.open(scratchPath())) return false;
    LineReader lines(file.fd(), file.size());
    const ParseResult layout = parseEep(lines, ParseRequest{});
    lines.rewind();
    if (!rewriteSerial(lines, layout, serial, nullptr)) return false;   // no room: the file stays
    return scratch.commit(
        [&](const Sink& out) {
            lines.rewind();
            return rewriteSerial(lines, layout, serial, &out);
        },
        loadedPath_, loadedPath_);
}

SaveResult EepSession::saveAs(const std::string& target, uint8_t deviceClass, const FieldTexts& fields) {
    SaveResult out;
    if (target.empty()) return out;
    // The icon-setting check is about a card reader's drive icons; other
    // classes have none, and the check would refuse every save of theirs.
    if (auto m = isCardReader(deviceClass) ? checkIconSetting(deviceClass, fields) : std::nullopt) {
        out.messages.push_back(*m);
        return out;
    }
    ScratchFile scratch(options_.rename);
    if (!scratch.open(scratchPath())) {
        out.messages.push_back(kOpenNewFailed);
        return out;
    }
    InputFile file;
    if (loadedPath_.empty() || !file.open(loadedPath_)) {
        out.messages.push_back(kOpenFailed);
        return out;
    }
    ParseRequest req;
    req.deviceClass = deviceClass;
    req.serialLine = serialLine_;
    LineReader lines(file.fd(), file.size());
    ParseResult parsed = parseEep(lines, req);
    if (!parsed.valid) {
        // The template changed on disk since it was loaded.
        out.messages = std::move(parsed.messages);
        return out;
    }
    const auto copy = [&](const Sink& sink) {
        lines.rewind();
        return rewriteForSave(lines, parsed, deviceClass, fields, sink);
    };
    if (!scratch.commit(copy, target, loadedPath_)) {
        out.messages.push_back(kOpenNewFailed);
        return out;
    }
    savedPath_ = target;
    savedFlag_ = true;
    out.saved = true;
    out.fileTitle = titleOf(target);
    return out;
}

}  // namespace eep
