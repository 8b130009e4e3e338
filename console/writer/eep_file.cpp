#include "eep_file.h"

#include "eep_encode.h"

#include <algorithm>
#include <climits>

namespace eep {

namespace {

const Message kReadFailValidation{"Error to Read file", "Error", Icon::Error};
const Message kInvalidFormat{"Setup File with an invalid format", "Error", Icon::Error};
const Message kReadFailBody{"Error to read file", "Error", Icon::Error};
const Message kStringDefineError{"String define error", "Error", Icon::Error};
const Message kDataSizeOver{"Data size over the 1024 bits", "Warning", Icon::Error};

// Characters from..from+count of a line's text, as far as the text goes.
std::string chars(std::string_view text, size_t from, size_t count) {
    if (from >= text.size()) return {};
    return std::string(text.substr(from, count));
}

// Fills the dialog's fields and the numeric settings from data line `word`.
void decodeDataLine(ParseResult& r, const ParseRequest& req, int word, std::string_view text,
                    uint16_t value) {
    const uint8_t cls = req.deviceClass;
    const std::string all = chars(text, 0, 4), hh = chars(text, 0, 2), ll = chars(text, 2, 2);
    Fields& f = r.fields;
    FieldUpdate& u = r.update;

    // Numeric settings, always by device class.
    switch (word) {
    case 0: f.vendorId = value; break;
    case 1:
        f.productId = value;
        if (isIdeBridge(cls)) f.atapiProductId = static_cast<uint16_t>((hi(value) << 8) | lo(f.atapiProductId));
        break;
    case 2:
        f.word2High = hi(value);
        if (isIdeBridge(cls)) f.initialDelay = lo(value);
        else if (cls == kReaderWithStrings) f.word2Low = lo(value);
        else if (isCardReader(cls)) f.cardType = lo(value);
        break;
    case 3:
        if (isIdeBridge(cls)) {
            f.atapiProductId = static_cast<uint16_t>((f.atapiProductId & 0xFF00) | hi(value));
            f.config2 = lo(value);
        } else if (isCardReader(cls)) {
            f.iconNumber = lo(value);
            if (cls == kReaderWithStrings) f.word3High = hi(value);
            else f.cardNamePosition = hi(value);
        }
        break;
    case 6:
        if (isIdeBridge(cls)) f.config1 = lo(value);
        [[fallthrough]];
    case 7:
    case 8:
        if (isCardReader(cls)) {
            f.iconMasks[2 * (word - 6)] = lo(value);
            f.iconMasks[2 * (word - 6) + 1] = hi(value);
        }
        if (word == 7 && isFlashDisk(cls)) f.config1 = lo(value);
        break;
    case 9:
        if (isIdeBridge(cls) || isCardReader(cls) || isFlashDisk(cls)) f.config1 = lo(value);
        break;
    default: break;
    }

    auto icons = [&] {
        setIconMask(u.icons, 2 * (word - 6), lo(value));
        setIconMask(u.icons, 2 * (word - 6) + 1, hi(value));
    };

    if (req.mapping == FieldMapping::Reload) {
        switch (word) {
        case 0: u.vid = all; break;
        case 1: u.pid = all; break;
        case 2: u.cardType = ll; break;
        case 3: u.iconNumber = ll; break;
        case 6: case 7: case 8: icons(); break;
        case 9: u.config1 = ll; break;
        default: break;
        }
        return;
    }
    if (isIdeBridge(cls)) {
        switch (word) {
        case 0: u.vid = all; break;
        case 1: u.pidHighByte = hh; u.pidLowByteAta = ll; u.disablePid = true; break;
        case 2: u.initialDelay = ll; break;
        case 3: u.pidLowByteAtapi = hh; u.config2 = ll; break;
        case 6: case 9: u.config1 = ll; break;
        default: break;
        }
    } else if (isCardReader(cls)) {
        switch (word) {
        case 0: u.vid = all; break;
        case 1: u.pid = all; break;
        case 2: if (cls != kReaderWithStrings) u.cardType = ll; break;
        case 3: u.iconNumber = ll; break;
        case 6: case 7: case 8: icons(); break;
        case 9: u.config1 = ll; break;
        default: break;
        }
    } else if (isFlashDisk(cls)) {
        switch (word) {
        case 0: u.vid = all; break;
        case 1: u.pid = all; break;
        case 7: case 9: u.config1 = ll; break;
        default: break;
        }
    }
}

// Stores the words of one string section at word i and records its position.
void encodeSection(ParseResult& r, const ParseRequest& req, Tag tag, std::string_view text, int64_t& i) {
    const EncodedString e = encodeString(tag, text);
    if (e.clipped) r.messages.push_back(*e.clipped);

    uint16_t& posWord = r.image[static_cast<size_t>(e.positionWord)];
    const uint8_t pos = static_cast<uint8_t>(i & 0xFF);
    posWord = e.positionInHigh ? static_cast<uint16_t>((pos << 8) | lo(posWord))
                               : static_cast<uint16_t>((hi(posWord) << 8) | pos);
    for (uint16_t w : e.words) {
        if (i < kImageWords) r.image[static_cast<size_t>(i)] = w;
        ++i;
    }

    Strings& s = r.strings;
    FieldUpdate& u = r.update;
    switch (tag) {
    case Tag::VendorStr: s.vendor = std::string(text); u.vendorStr = e.text; break;
    case Tag::ProductStr: s.product = std::string(text); u.productStr = e.text; break;
    case Tag::InterfaceStr: s.interface = std::string(text); break;
    case Tag::SerialStr: s.serial = std::string(text); break;
    case Tag::InquiryVendor:
        s.inquiryVendor = std::string(text.substr(0, 8));
        if (isFlashDisk(req.deviceClass)) u.inquiryVendor = e.text;
        break;
    case Tag::InquiryProduct:
        s.inquiryProduct = std::string(text.substr(0, 16));
        if (isFlashDisk(req.deviceClass)) u.inquiryProduct = e.text;
        break;
    case Tag::CardStr: {
        s.cardNames = splitNames(text, ",", 8, 7);
        const auto edits = splitNames(text, ",", 5, std::string::npos);
        for (size_t k = 0; k < u.cardNames.size(); ++k) u.cardNames[k] = k < edits.size() ? edits[k] : "";
        break;
    }
    default: break;
    }
}

// A string tag's definition line. Without a result only the words the
// section takes are counted (the writers follow the layout that way).
void stringSection(ParseResult* r, const ParseRequest& req, Tag tag, std::string_view line, int64_t& i) {
    const auto run = quotedRun(line);
    if (!run) {
        if (r) r->messages.push_back(kStringDefineError);
        return;
    }
    std::string_view text = line.substr(run->begin, std::min(run->length, textLimit(tag)));
    if (tag == Tag::SerialStr && req.serialLine) {
        // The serial mode's text stands in for the file's.
        const std::string_view rline = lineText(*req.serialLine);
        const auto rrun = quotedRun(rline);
        if (!rrun) {
            if (r) r->messages.push_back(kStringDefineError);
            return;
        }
        text = rline.substr(rrun->begin, std::min(rrun->length, textLimit(tag)));
    }
    if (!r) {
        i += static_cast<int64_t>(encodedWordCount(tag, text));
        return;
    }
    if (tag == Tag::SerialStr) {
        const SerialFlags flags = serialFlags(text);
        r->serialFound = true;
        r->serialIsNumeric = flags.numeric;
        r->serialKeepsWidth = flags.keepsWidth;
    }
    encodeSection(*r, req, tag, text, i);
}

}  // namespace

SerialFlags serialFlags(std::string_view text) {
    SerialFlags f;
    if (text.empty()) return f;
    std::string_view digits = text;
    if (digits.back() == ' ') digits.remove_suffix(1);
    if (digits.empty()) return f;
    for (char c : digits)
        if (c < '0' || c > '9') return f;
    f.numeric = true;
    f.keepsWidth = digits.size() != text.size();
    return f;
}

LineRole BodyParser::feed(std::string_view piece) {
    const std::string_view text = lineText(piece);
    switch (state_) {
    case State::Before:
        if (tagOf(text) != Tag::Start) return {};
        state_ = State::Body;
        return {LineKind::Start, Tag::None, -1};
    case State::After:
        return {};
    case State::Definition:
        state_ = State::Body;
        stringSection(r_, req_, pending_, text, word_);
        return {LineKind::Definition, pending_, -1};
    case State::Body:
        break;
    }
    const Tag tag = tagOf(text);
    if (tag == Tag::End) {
        state_ = State::After;
        if (r_) r_->bodyComplete = true;
        return {LineKind::End, Tag::None, -1};
    }
    if (isStringTag(tag)) {
        pending_ = tag;
        state_ = State::Definition;
        return {LineKind::StringTag, Tag::None, -1};
    }
    if (!piece.empty() && piece[0] == '#') return {LineKind::Comment, Tag::None, -1};
    if (r_) {
        const uint16_t value = leadingHex(text).value_or(0);
        if (word_ < kImageWords) r_->image[static_cast<size_t>(word_)] = value;
        if (word_ <= 9) decodeDataLine(*r_, req_, static_cast<int>(word_), text, value);
    }
    const LineRole role{LineKind::Data, Tag::None, static_cast<int>(std::min<int64_t>(word_, INT_MAX))};
    ++word_;
    return role;
}

ParseResult parseEep(LineReader& lines, const ParseRequest& req) {
    ParseResult r;
    r.request = req;
    r.image.fill(0xFFFF);

    // One reading serves both steps. The validation: "[CheckSumIndex]" with
    // its value line before "[START]", then "[START]", then "[END]"; it is
    // done once both tags have been seen. The parse of the body runs on the
    // same lines from the first "[START]" to its "[END]", which is never
    // before the validation's (a string tag may take an "[END]" as its
    // definition line): what the parse finds only counts when the file
    // validates.
    bool seenStart = false, seenEnd = false, haveIndex = false, indexLineNext = false;
    BodyParser body(&r, r.request);
    std::string_view piece;
    while (!(seenStart && seenEnd)) {
        if (!lines.next(piece)) break;
        body.feed(piece);
        const std::string_view text = lineText(piece);
        if (indexLineNext) {
            indexLineNext = false;
            if (const auto v = leadingHex(text)) {
                // The checksum word must lie in the 64-word EEPROM.
                haveIndex = *v < kEepromWords;
                if (haveIndex) r.checksumIndex = *v;
                continue;
            }
        }
        const Tag tag = tagOf(text);
        if (tag == Tag::CheckSumIndex && !seenStart) indexLineNext = true;
        else if (tag == Tag::Start) seenStart = true;
        else if (tag == Tag::End && seenStart) seenEnd = true;
    }
    if (!(haveIndex && seenStart && seenEnd)) {
        ParseResult invalid;
        invalid.request = req;
        invalid.image.fill(0xFFFF);
        if (!(seenStart && seenEnd)) invalid.messages.push_back(kReadFailValidation);
        invalid.messages.push_back(kInvalidFormat);
        return invalid;
    }
    r.valid = true;

    // The rest of the body, up to its "[END]".
    while (!body.ended()) {
        if (!lines.next(piece)) {
            r.messages.push_back(kReadFailBody);
            break;
        }
        body.feed(piece);
    }

    applyChecksum(r.image, r.checksumIndex);
    r.wordCount = static_cast<int>(std::min<int64_t>(body.words(), INT_MAX));
    r.loaded = r.bodyComplete;
    if (r.wordCount > kEepromWords) {
        r.messages.push_back(kDataSizeOver);
        r.loaded = false;
    }
    return r;
}

ParseResult parseEep(std::string_view content, const ParseRequest& req) {
    LineReader lines(content);
    return parseEep(lines, req);
}

std::optional<Message> checkIconSetting(uint8_t deviceClass, const FieldTexts& fields) {
    if (deviceClass >= 1 && deviceClass <= 3) return std::nullopt;
    static constexpr std::array<uint8_t, kCardRows> kWeights = {0x10, 0x08, 0x04, 0x02, 0x01};
    std::array<int, kIcons> weight{};
    int k = 0;
    for (; k < kIcons; ++k) {
        for (int row = 0; row < kCardRows; ++row)
            if (fields.icons[row][k]) weight[k] += kWeights[row];
        if (weight[k] == 0) break;
    }
    std::string_view number = fields.iconNumber;
    while (!number.empty() && (number.front() == ' ' || number.front() == '\t')) number.remove_prefix(1);
    const int64_t n = leadingDecimal(number);
    if (n != k - 1)
        return Message{"The icon display number is mismatch with reader icon setting.", "Error", Icon::Error};
    for (int j = 0; j < n; ++j)
        if (weight[j] < weight[j + 1])
            return Message{"The reader icon setting is not correct.", "Error", Icon::Error};
    return std::nullopt;
}

namespace {

// Overwrites the leading characters of a line from `column` on with `text`,
// lengthening the line when needed; the line break stays at the end.
std::string overwrite(std::string_view piece, size_t column, std::string_view text) {
    if (text.empty()) return std::string(piece);
    const bool hasBreak = !piece.empty() && piece.back() == '\n';
    std::string body(piece.substr(0, piece.size() - (hasBreak ? 1 : 0)));
    if (body.size() < column) body.resize(column, ' ');
    for (size_t j = 0; j < text.size(); ++j) {
        if (column + j < body.size()) body[column + j] = text[j];
        else body.push_back(text[j]);
    }
    return hasBreak ? body + '\n' : body;
}

std::string definitionLine(std::string_view text) { return "\"" + std::string(text) + "\" #\n"; }

}  // namespace

bool rewriteForSave(LineReader& in, const ParseResult& parsed, uint8_t deviceClass, const FieldTexts& fields,
                    const Sink& out) {
    if (!parsed.valid) return false;
    BodyParser body(nullptr, parsed.request);
    std::string_view piece;
    while (in.next(piece)) {
        const LineRole role = body.feed(piece);
        std::string changed;
        if (role.kind == LineKind::Data && role.word <= parsed.checksumIndex) {
            switch (role.word) {
            case 0: changed = overwrite(piece, 0, fields.vid); break;
            case 1: changed = overwrite(piece, 0, fields.pid); break;
            case 2: changed = overwrite(piece, 2, fields.cardType); break;
            case 3:
                changed = overwrite(piece, 2, deviceClass >= 1 && deviceClass <= 3 ? fields.config2
                                                                                   : fields.iconNumber);
                break;
            case 6: case 7: case 8:
                // Lines 6 to 8 hold icon card masks on card readers only; on
                // the other classes they carry other settings and stay.
                if (isCardReader(deviceClass)) {
                    const int icon = 2 * (role.word - 6);
                    changed = overwrite(piece, 0, hex2(iconMask(fields.icons, icon + 1)) +
                                                      hex2(iconMask(fields.icons, icon)));
                }
                break;
            case 9: changed = overwrite(piece, 2, fields.config1); break;
            default: break;
            }
        } else if (role.kind == LineKind::Definition) {
            if (role.tag == Tag::VendorStr || role.tag == Tag::ProductStr) {
                std::string_view text = role.tag == Tag::VendorStr ? fields.vendorStr : fields.productStr;
                if (!text.empty() && text.back() == ' ') text.remove_suffix(1);
                changed = definitionLine(text);
            } else if (role.tag == Tag::CardStr) {
                std::string joined;
                for (size_t e = 0; e < fields.cardNames.size(); ++e) {
                    joined += fields.cardNames[e];
                    if (e + 1 < fields.cardNames.size() && !fields.cardNames[e + 1].empty()) joined += ',';
                }
                changed = definitionLine(joined);
            }
        }
        if (!out(changed.empty() ? piece : std::string_view(changed))) return false;
    }
    return !in.failed();
}

std::string rewriteForSave(std::string_view content, const ParseResult& parsed, uint8_t deviceClass,
                           const FieldTexts& fields) {
    LineReader in(content);
    std::string text;
    text.reserve(content.size() + 256);
    rewriteForSave(in, parsed, deviceClass, fields, [&](std::string_view s) {
        text.append(s);
        return true;
    });
    return text;
}

bool rewriteSerial(LineReader& in, const ParseResult& parsed, std::string_view newSerial, const Sink* out) {
    if (newSerial.empty() || !parsed.valid) return false;
    BodyParser body(nullptr, parsed.request);
    bool changed = false;
    std::string line;
    std::string_view piece;
    while (in.next(piece)) {
        const LineRole role = body.feed(piece);
        std::string_view written = piece;
        if (role.kind == LineKind::Definition && role.tag == Tag::SerialStr) {
            const auto run = quotedRun(lineText(piece));
            // The new text must fit between the quotes, so the closing quote stays.
            if (run && newSerial.size() <= run->length) {
                line.assign(piece);
                line.replace(run->begin, newSerial.size(), newSerial);
                written = line;
                changed = true;
            }
        }
        if (!out) {
            if (body.ended()) break;   // nothing after "[END]" changes
            continue;
        }
        if (!(*out)(written)) return false;
    }
    return changed && !in.failed();
}

std::optional<std::string> rewriteSerial(std::string_view content, const ParseResult& parsed,
                                         std::string_view newSerial) {
    LineReader in(content);
    std::string text;
    text.reserve(content.size());
    const Sink out = [&](std::string_view s) {
        text.append(s);
        return true;
    };
    if (!rewriteSerial(in, parsed, newSerial, &out)) return std::nullopt;
    return text;
}

uint8_t iconMask(const IconBoxes& boxes, int icon) {
    uint8_t mask = 0;
    for (int row = 0; row < kCardRows; ++row)
        if (boxes[row][icon]) mask |= kCardMaskBits[row];
    return mask;
}

void setIconMask(IconBoxes& boxes, int icon, uint8_t mask) {
    for (int row = 0; row < kCardRows; ++row)
        if (mask & kCardMaskBits[row]) boxes[row][icon] = true;
}

void FieldUpdate::applyTo(FieldTexts& f) const {
    auto set = [](std::string& field, const std::optional<std::string>& v) {
        if (v) field = *v;
    };
    set(f.vid, vid); set(f.pid, pid);
    set(f.pidHighByte, pidHighByte); set(f.pidLowByteAta, pidLowByteAta);
    set(f.pidLowByteAtapi, pidLowByteAtapi); set(f.initialDelay, initialDelay);
    set(f.cardType, cardType); set(f.iconNumber, iconNumber);
    set(f.config1, config1); set(f.config2, config2);
    set(f.vendorStr, vendorStr); set(f.productStr, productStr);
    set(f.inquiryVendor, inquiryVendor); set(f.inquiryProduct, inquiryProduct);
    f.cardNames = cardNames;
    f.icons = icons;
    if (disablePid) f.pidEnabled = false;
}

}  // namespace eep
