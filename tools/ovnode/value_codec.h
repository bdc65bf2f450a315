// value_codec.h - how ovnode reads node values from text and shows them.
//
// Pure functions on strings and bytes: no node-space access, no global
// state, callable from any thread. Failures return false (or nullopt) with a
// one-line reason in *error; nothing throws.
//
// Text forms by type code:
//  - 1, 3, 5, 7: unsigned decimal (1, 2 or 4 bytes);
//  - 4, 6: signed decimal (2 or 4 bytes);
//    all six also take 0x hex, read as the bit pattern of the value, so
//    "0xFFFF" is -1 for type 4;
//  - 12: text, at most Size - 1 bytes (the rest of the value is zero);
//  - 13, 2 and any other code: lower-case hex, two digits per byte, byte 0
//    first. Parsing takes upper or lower case, no prefix, at most Size bytes;
//    a shorter value is zero-filled, so "" clears the node.
// Values are little-endian, as in the node space.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace ovnode {

enum class ValueKind { Unsigned, Signed, Text, Bytes };

constexpr uint16_t kTypeText = 12;
constexpr uint16_t kTypeBytes = 13;
constexpr uint16_t kDefaultTextSize = 80;

ValueKind KindOfType(uint16_t type);

// Value size that the type fixes (1, 2, 4, or 0 for type 2), or nullopt when
// the size is chosen at creation (12, 13 and unknown codes).
std::optional<uint16_t> FixedSizeOfType(uint16_t type);

// Parses an unsigned integer: decimal digits or 0x followed by hex digits.
// Fails on anything else and on values above max.
bool ParseUnsigned(std::string_view text, uint64_t max, uint64_t* value, std::string* error);

// Parses `text` as the value of a node of `type` whose value has `size`
// bytes, into exactly `size` bytes.
bool ParseValue(uint16_t type, uint16_t size, std::string_view text, std::vector<uint8_t>* bytes, std::string* error);

// Shows the value `bytes` of a node of `type`. A numeric value shorter than
// its type's size is read as zero-extended.
std::string FormatValue(uint16_t type, const std::vector<uint8_t>& bytes);

}  // namespace ovnode
