// JSON strings: the escapes of json_text.h.
#include "common/json_text.h"

#include <cstdint>

#include "common/shown_text.h"

namespace {

const char kDigits[] = "0123456789abcdef";

void Escape(std::string* out, uint32_t unit) {
    *out += "\\u";
    for (int shift = 12; shift >= 0; shift -= 4) *out += kDigits[(unit >> shift) & 15];
}

}  // namespace

std::string JsonText(const std::string& text) {
    std::string out = "\"";
    out.reserve(text.size() + 2);
    for (size_t i = 0; i < text.size();) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\r') {
            out += "\\r";
        } else if (c == '\t') {
            out += "\\t";
        } else if (c < 0x20 || c == 0x7F) {
            Escape(&out, c);
        } else if (c >= 0x80) {
            uint32_t cp = 0;
            const size_t len = Utf8SequenceLength(text, i, &cp);
            if (len == 0) {
                Escape(&out, 0xDC00u | c);  // one byte that is not UTF-8
            } else {
                if (HiddenCodePoint(cp))
                    Escape(&out, cp);
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
    return out + "\"";
}
