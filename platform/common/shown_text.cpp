// Escaping texts for terminals and logs.
#include "common/shown_text.h"

#include <cstring>

namespace {

const char kDigits[] = "0123456789abcdef";

void Hex(std::string* out, const char* prefix, unsigned value, int digits) {
    *out += prefix;
    for (int shift = (digits - 1) * 4; shift >= 0; shift -= 4) *out += kDigits[(value >> shift) & 15];
}

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// The `digits` hex digits at s[i]; false when there are fewer.
bool HexAt(const std::string& s, size_t i, int digits, uint32_t* value) {
    if (i + static_cast<size_t>(digits) > s.size()) return false;
    uint32_t v = 0;
    for (int k = 0; k < digits; ++k) {
        const int d = HexValue(s[i + static_cast<size_t>(k)]);
        if (d < 0) return false;
        v = v << 4 | static_cast<uint32_t>(d);
    }
    *value = v;
    return true;
}

void AppendUtf8(std::string* out, uint32_t cp) {
    if (cp < 0x80) {
        *out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        *out += static_cast<char>(0xC0 | cp >> 6);
        *out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        *out += static_cast<char>(0xE0 | cp >> 12);
        *out += static_cast<char>(0x80 | (cp >> 6 & 0x3F));
        *out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

}  // namespace

bool HiddenCodePoint(uint32_t cp) {
    return cp < 0xA0 || cp == 0x061C || cp == 0x200E || cp == 0x200F || (cp >= 0x202A && cp <= 0x202E) ||
           (cp >= 0x2066 && cp <= 0x2069);
}

size_t Utf8SequenceLength(const std::string& s, size_t i, uint32_t* cp) {
    const auto b = [&](size_t k) { return static_cast<unsigned char>(s[k]); };
    unsigned char c = b(i);
    size_t len;
    uint32_t v;
    if (c >= 0xC2 && c <= 0xDF) {
        len = 2, v = c & 0x1F;
    } else if (c >= 0xE0 && c <= 0xEF) {
        len = 3, v = c & 0x0F;
    } else if (c >= 0xF0 && c <= 0xF4) {
        len = 4, v = c & 0x07;
    } else {
        return 0;
    }
    if (i + len > s.size()) return 0;
    for (size_t k = 1; k < len; ++k) {
        if ((b(i + k) & 0xC0) != 0x80) return 0;
        v = (v << 6) | (b(i + k) & 0x3F);
    }
    if ((len == 3 && v < 0x800) || (len == 4 && (v < 0x10000 || v > 0x10FFFF)) || (v >= 0xD800 && v <= 0xDFFF))
        return 0;
    *cp = v;
    return len;
}

std::string ShowText(const std::string& text, bool escapeBackslash) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size();) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (c == '\n') {
            out += "\\n";
        } else if (c == '\t') {
            out += "\\t";
        } else if (c == '\\' && escapeBackslash) {
            out += "\\\\";
        } else if (c < 0x20 || c == 0x7F) {
            Hex(&out, "\\x", c, 2);
        } else if (c >= 0x80) {
            uint32_t cp = 0;
            const size_t len = Utf8SequenceLength(text, i, &cp);
            if (len == 0) {
                Hex(&out, "\\x", c, 2);
            } else {
                if (HiddenCodePoint(cp))
                    Hex(&out, "\\u", cp, 4);
                else
                    out.append(text, i, len);
                i += len;
                continue;
            }
        } else {
            out += static_cast<char>(c);
        }
        ++i;
    }
    return out;
}

bool TextNeedsShowing(const char* text) {
    for (const char* p = text; *p; ++p) {
        const unsigned char c = static_cast<unsigned char>(*p);
        if (c < 0x20 || c >= 0x7F) return true;
    }
    return false;
}

bool ReadShownText(const std::string& shown, std::string* text, std::string* error) {
    std::string out;
    out.reserve(shown.size());
    for (size_t i = 0; i < shown.size(); ++i) {
        if (shown[i] != '\\') {
            out += shown[i];
            continue;
        }
        const char kind = i + 1 < shown.size() ? shown[i + 1] : '\0';
        uint32_t value = 0;
        if (kind == '\\' || kind == 'n' || kind == 't') {
            out += kind == 'n' ? '\n' : kind == 't' ? '\t' : '\\';
            i += 1;
        } else if (kind == 'x' && HexAt(shown, i + 2, 2, &value)) {
            out += static_cast<char>(value);
            i += 3;
        } else if (kind == 'u' && HexAt(shown, i + 2, 4, &value) && (value < 0xD800 || value > 0xDFFF)) {
            AppendUtf8(&out, value);
            i += 5;
        } else {
            if (error)
                *error = "escape at byte " + std::to_string(i + 1) +
                         " is none of \\\\, \\n, \\t, \\xNN or \\uXXXX (a surrogate is none)";
            return false;
        }
    }
    *text = std::move(out);
    return true;
}
