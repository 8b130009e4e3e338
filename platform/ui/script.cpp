// script.cpp - the text forms shared by the script and the transcript.
#include "headless.h"
#include "internal.h"

#include <cstdio>

namespace ui::detail {

std::string quote(const std::string& s) {
    std::string r = "\"";
    for (char c : s) {
        switch (c) {
        case '\n': r += "\\n"; break;
        case '\r': r += "\\r"; break;
        case '\t': r += "\\t"; break;
        case '\\': r += "\\\\"; break;
        case '"': r += "\\\""; break;
        default: r += c;
        }
    }
    return r + "\"";
}

std::string unescape(const std::string& s) {
    std::string r;
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '\\' && i + 1 < s.size()) {
            const char n = s[i + 1];
            const char* map = nullptr;
            switch (n) {
            case 'n': map = "\n"; break;
            case 'r': map = "\r"; break;
            case 't': map = "\t"; break;
            case '\\': map = "\\"; break;
            }
            if (map) {
                r += map;
                ++i;
                continue;
            }
        }
        r += s[i];
    }
    return r;
}

std::string colorText(Color c) {
    char buf[8];
    std::snprintf(buf, sizeof buf, "#%02X%02X%02X", c.r, c.g, c.b);
    return buf;
}

std::string resultName(int result) {
    switch (result) {
    case IDOK: return "OK";
    case IDCANCEL: return "Cancel";
    case IDABORT: return "Abort";
    case IDRETRY: return "Retry";
    case IDIGNORE: return "Ignore";
    case IDYES: return "Yes";
    case IDNO: return "No";
    default: return std::to_string(result);
    }
}

std::string kindName(Kind k) {
    switch (k) {
    case Kind::PushButton: return "PushButton";
    case Kind::DefPushButton: return "DefPushButton";
    case Kind::CheckBox: return "CheckBox";
    case Kind::AutoCheckBox: return "AutoCheckBox";
    case Kind::RadioButton: return "RadioButton";
    case Kind::AutoRadioButton: return "AutoRadioButton";
    case Kind::GroupBox: return "GroupBox";
    case Kind::Static: return "Static";
    case Kind::Edit: return "Edit";
    case Kind::ListBox: return "ListBox";
    case Kind::ComboBox: return "ComboBox";
    case Kind::ProgressBar: return "ProgressBar";
    case Kind::Bitmap: return "Bitmap";
    }
    return "?";
}

static std::string rectText(const Rect& r) {
    return "(" + std::to_string(r.left) + "," + std::to_string(r.top) + ")-(" +
           std::to_string(r.right) + "," + std::to_string(r.bottom) + ")";
}

// paint "TITLE" fill #RRGGBB (L,T)-(R,B)
// paint "TITLE" text "TEXT" #RRGGBB on #RRGGBB|none (L,T)-(R,B) "FACE" HEIGHT
std::string markLine(const Dialog& d, const Mark& m) {
    std::string s = "paint " + quote(d.title());
    if (m.op == Mark::Op::Fill) return s + " fill " + colorText(m.color) + " " + rectText(m.rect);
    s += " text " + quote(m.text) + " " + colorText(m.color) + " on " +
         (m.background ? colorText(*m.background) : std::string("none")) + " " + rectText(m.rect) +
         " " + quote(m.font.face) + " " + std::to_string(m.font.height);
    return s;
}

}  // namespace ui::detail
