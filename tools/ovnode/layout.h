// layout.h - the node layout files that `ovnode load-layout` reads.
//
// A layout is CSV text (csv_reader.h) whose first record is the header
// name,type,size,value and whose every other record describes one node.
// size may be empty where the type fixes it (and defaults to 80 for text);
// value may be empty, meaning "leave the new node at zero". A name may stand
// only once in a file.
//
// Pure functions on strings and records; no node-space access, callable
// from any thread. Failures return false with "line N: ..." in *error.
// layout_stream.h reads a layout file through the same checks one node at a
// time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "ovnode/csv_reader.h"

namespace ovnode {

struct LayoutNode {
    size_t Line = 0;
    std::string Name;
    uint16_t Type = 0;
    uint16_t Size = 0;
    bool HasValue = false;
    std::vector<uint8_t> Value;  // Size bytes, when HasValue
};

// Checks a node name: 1 to 561 bytes. False with the reason otherwise.
bool CheckNodeName(std::string_view name, std::string* error);

// CheckNodeName, and for a node about to be made also no control bytes: a
// name is printed by every tool that lists the node space.
bool CheckNewNodeName(std::string_view name, std::string* error);

// Resolves the value size of a new node of `type` from an optional SIZE
// text (empty: not given). False with the reason when the size is missing,
// malformed, or contradicts the type.
bool ResolveNodeSize(uint16_t type, std::string_view sizeText, uint16_t* size, std::string* error);

// Parses a type code 0..65535.
bool ParseTypeCode(std::string_view text, uint16_t* type, std::string* error);

// Checks the header record.
bool CheckLayoutHeader(const CsvRecord& header, std::string* error);
// Checks one record after the header and gives the node it describes.
bool ParseLayoutNode(const CsvRecord& record, LayoutNode* node, std::string* error);

// Reads and checks a whole layout. Nothing partial is returned on failure.
bool ParseLayout(std::string_view text, std::vector<LayoutNode>* nodes, std::string* error);

}  // namespace ovnode
