#include "ovnode/value_codec.h"

#include <cstring>
#include <limits>

#include "nodespace/nodespace_admin.h"

namespace ovnode {
namespace {

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

std::string Quoted(std::string_view text) {
    return "'" + std::string(text) + "'";
}

// Digits of `text` in base 10 or 16, without sign or prefix; false on an
// empty text, a foreign character or a value above max.
bool ParseDigits(std::string_view digits, unsigned base, uint64_t max, uint64_t* value, bool* overflow) {
    *overflow = false;
    if (digits.empty()) return false;
    uint64_t v = 0;
    for (char c : digits) {
        int d = HexDigit(c);
        if (d < 0 || static_cast<unsigned>(d) >= base) return false;
        if (v > (max - static_cast<uint64_t>(d)) / base) {
            *overflow = true;
            return false;
        }
        v = v * base + static_cast<uint64_t>(d);
    }
    *value = v;
    return true;
}

bool HasHexPrefix(std::string_view text) {
    return text.size() >= 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
}

void StoreLittleEndian(uint64_t v, uint16_t size, std::vector<uint8_t>* bytes) {
    bytes->assign(size, 0);
    for (uint16_t i = 0; i < size && i < 8; ++i) (*bytes)[i] = static_cast<uint8_t>(v >> (8 * i));
}

uint64_t LoadLittleEndian(const std::vector<uint8_t>& bytes, size_t width) {
    uint64_t v = 0;
    for (size_t i = 0; i < width && i < bytes.size(); ++i) v |= static_cast<uint64_t>(bytes[i]) << (8 * i);
    return v;
}

bool ParseInteger(uint16_t type, uint16_t size, std::string_view text, std::vector<uint8_t>* bytes,
                  std::string* error) {
    const unsigned bits = 8u * size;
    const uint64_t pattern = bits >= 64 ? std::numeric_limits<uint64_t>::max() : (uint64_t{1} << bits) - 1;
    const bool isSigned = KindOfType(type) == ValueKind::Signed;
    const std::string range =
        isSigned ? std::to_string(-static_cast<int64_t>((pattern >> 1) + 1)) + " to " + std::to_string(pattern >> 1)
                 : "0 to " + std::to_string(pattern);
    auto outOfRange = [&] {
        if (error)
            *error = "value " + Quoted(text) + " out of range for type " + std::to_string(type) + " (" + range + ")";
        return false;
    };
    auto notNumber = [&] {
        if (error) *error = "value " + Quoted(text) + " is not a decimal or 0x hex number";
        return false;
    };

    uint64_t v = 0;
    bool overflow = false;
    if (HasHexPrefix(text)) {
        // Hex is the value's bit pattern, for signed types too.
        if (!ParseDigits(text.substr(2), 16, pattern, &v, &overflow)) return overflow ? outOfRange() : notNumber();
        StoreLittleEndian(v, size, bytes);
        return true;
    }
    bool negative = false;
    std::string_view digits = text;
    if (!digits.empty() && digits[0] == '-') {
        negative = true;
        digits.remove_prefix(1);
    }
    const uint64_t limit = isSigned ? (negative ? (pattern >> 1) + 1 : pattern >> 1) : pattern;
    if (!ParseDigits(digits, 10, limit, &v, &overflow)) {
        return overflow ? outOfRange() : notNumber();
    }
    if (negative && !isSigned && v != 0) return outOfRange();
    StoreLittleEndian(negative ? (~v + 1) & pattern : v, size, bytes);
    return true;
}

bool ParseText(uint16_t size, std::string_view text, std::vector<uint8_t>* bytes, std::string* error) {
    if (text.find('\0') != std::string_view::npos) {
        if (error) *error = "text value contains a zero byte";
        return false;
    }
    if (size == 0 || text.size() > static_cast<size_t>(size) - 1) {
        if (error)
            *error = "text of " + std::to_string(text.size()) + " bytes is too long for a text node of size " +
                     std::to_string(size) + " (at most " + std::to_string(size ? size - 1 : 0) + ")";
        return false;
    }
    bytes->assign(size, 0);
    std::memcpy(bytes->data(), text.data(), text.size());
    return true;
}

bool ParseBytes(uint16_t size, std::string_view text, std::vector<uint8_t>* bytes, std::string* error) {
    if (text.size() % 2 != 0) {
        if (error) *error = "hex value " + Quoted(text) + " has an odd number of digits";
        return false;
    }
    for (char c : text) {
        if (HexDigit(c) < 0) {
            if (error) *error = "value " + Quoted(text) + " is not hex bytes (two hex digits per byte)";
            return false;
        }
    }
    if (text.size() / 2 > size) {
        if (error)
            *error = "hex value of " + std::to_string(text.size() / 2) + " bytes is too long for a node of size " +
                     std::to_string(size);
        return false;
    }
    bytes->assign(size, 0);
    for (size_t i = 0; i < text.size() / 2; ++i)
        (*bytes)[i] = static_cast<uint8_t>(HexDigit(text[2 * i]) * 16 + HexDigit(text[2 * i + 1]));
    return true;
}

}  // namespace

ValueKind KindOfType(uint16_t type) {
    switch (type) {
        case 1:
        case 3:
        case 5:
        case 7:
            return ValueKind::Unsigned;
        case 4:
        case 6:
            return ValueKind::Signed;
        case kTypeText:
            return ValueKind::Text;
        default:
            return ValueKind::Bytes;
    }
}

std::optional<uint16_t> FixedSizeOfType(uint16_t type) {
    int fixed = NodeSpaceFixedSize(type);
    if (fixed < 0) return std::nullopt;
    return static_cast<uint16_t>(fixed);
}

bool ParseUnsigned(std::string_view text, uint64_t max, uint64_t* value, std::string* error) {
    bool overflow = false;
    bool ok = HasHexPrefix(text) ? ParseDigits(text.substr(2), 16, max, value, &overflow)
                                 : ParseDigits(text, 10, max, value, &overflow);
    if (!ok && error) {
        *error = overflow ? Quoted(text) + " is out of range (0 to " + std::to_string(max) + ")"
                          : Quoted(text) + " is not a decimal or 0x hex number";
    }
    return ok;
}

bool ParseValue(uint16_t type, uint16_t size, std::string_view text, std::vector<uint8_t>* bytes, std::string* error) {
    switch (KindOfType(type)) {
        case ValueKind::Unsigned:
        case ValueKind::Signed:
            return ParseInteger(type, *FixedSizeOfType(type), text, bytes, error);
        case ValueKind::Text:
            return ParseText(size, text, bytes, error);
        case ValueKind::Bytes:
            return ParseBytes(size, text, bytes, error);
    }
    return false;
}

std::string FormatValue(uint16_t type, const std::vector<uint8_t>& bytes) {
    switch (KindOfType(type)) {
        case ValueKind::Unsigned:
            return std::to_string(LoadLittleEndian(bytes, *FixedSizeOfType(type)));
        case ValueKind::Signed: {
            const unsigned bits = 8u * *FixedSizeOfType(type);
            uint64_t v = LoadLittleEndian(bytes, bits / 8);
            int64_t s = static_cast<int64_t>(v);
            if (v >> (bits - 1)) s -= static_cast<int64_t>(uint64_t{1} << bits);
            return std::to_string(s);
        }
        case ValueKind::Text: {
            size_t n = 0;
            while (n < bytes.size() && bytes[n] != 0) ++n;
            return std::string(reinterpret_cast<const char*>(bytes.data()), n);
        }
        case ValueKind::Bytes: {
            static const char kDigits[] = "0123456789abcdef";
            std::string out;
            out.reserve(bytes.size() * 2);
            for (uint8_t b : bytes) {
                out += kDigits[b >> 4];
                out += kDigits[b & 15];
            }
            return out;
        }
    }
    return {};
}

}  // namespace ovnode
