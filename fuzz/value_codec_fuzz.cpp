// Fuzz target: ovnode's value parsing and formatting.
//
// Input: two bytes of type code, two bytes of node size, one byte choosing
// the direction, then the rest. Direction even: the rest is a value text;
// when ParseValue accepts it, the bytes have the node's size and formatting
// them gives a text that parses back to the very same bytes. Direction odd:
// the rest is a node value; formatting it and parsing the text back gives the
// value again (text values up to their first zero byte). Any break of these
// rules aborts, and so does anything the sanitizers catch.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "ovnode/value_codec.h"

using namespace ovnode;

namespace {

void Check(bool ok) {
    if (!ok) abort();
}

uint16_t ExpectedSize(uint16_t type, uint16_t size) {
    std::optional<uint16_t> fixed = FixedSizeOfType(type);
    if (fixed && (KindOfType(type) == ValueKind::Unsigned || KindOfType(type) == ValueKind::Signed)) return *fixed;
    return size;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 5) return 0;
    const uint16_t type = static_cast<uint16_t>(data[0] | data[1] << 8);
    // Sizes far above a few kilobytes only slow the search down.
    const uint16_t nodeSize = static_cast<uint16_t>((data[2] | data[3] << 8) & 0x0FFF);
    const bool fromText = (data[4] & 1) == 0;
    const std::string_view rest(reinterpret_cast<const char*>(data + 5), size - 5);

    // The plain number reader that sizes and type codes go through.
    uint64_t number = 0;
    std::string why;
    if (ParseUnsigned(rest, 0xFFFF, &number, &why))
        Check(number <= 0xFFFF);
    else
        Check(!why.empty());

    if (fromText) {
        std::vector<uint8_t> bytes;
        std::string error;
        if (!ParseValue(type, nodeSize, rest, &bytes, &error)) {
            Check(!error.empty());
            return 0;
        }
        Check(bytes.size() == ExpectedSize(type, nodeSize));
        const std::string shown = FormatValue(type, bytes);
        std::vector<uint8_t> again;
        Check(ParseValue(type, nodeSize, shown, &again, &error));
        Check(again == bytes);
        return 0;
    }

    // A node value as the node space would hold it.
    const uint16_t want = ExpectedSize(type, nodeSize);
    std::vector<uint8_t> value(want, 0);
    if (want) std::memcpy(value.data(), rest.data(), std::min<size_t>(want, rest.size()));
    const std::string shown = FormatValue(type, value);
    std::vector<uint8_t> back;
    std::string error;
    const bool parsed = ParseValue(type, nodeSize, shown, &back, &error);
    if (KindOfType(type) == ValueKind::Text) {
        // A text without a zero byte in its size does not fit back in.
        const bool hasZero = !value.empty() && std::memchr(value.data(), 0, value.size()) != nullptr;
        Check(parsed == hasZero);
        if (!parsed) return 0;
        const size_t len = std::strlen(reinterpret_cast<const char*>(value.data()));
        Check(back.size() == value.size());
        Check(std::equal(value.begin(), value.begin() + static_cast<ptrdiff_t>(len), back.begin()));
        for (size_t i = len; i < back.size(); ++i) Check(back[i] == 0);
        return 0;
    }
    Check(parsed);
    Check(back == value);
    return 0;
}
