// node_slot.h - one node's slot of the retain file, as a save fills it and a
// load writes it back: text nodes (type 12) by name as texts, type 13 as a
// byte range, every other type as raw data by node index.
//
// Any thread; nothing is reported. A failed read leaves the buffer as it
// was (callers clear it first); a failed write leaves the node's value.
#pragma once

#include <cstdint>

#include "nodespace/ovhgapi.h"

constexpr uint16_t kTextNodeType = 12;
constexpr uint16_t kRangeNodeType = 13;

// The node's slot size: its "Size" attribute, or 0 when it cannot be read
// (then the node has no slot). Inline, as the next one: a walk calls both
// once per node.
inline uint16_t NodeSlotSize(const NodeRecord& node) {
    uint16_t size = 0;
    if (NodeGetAttribute(node.Name, "Size", &size, sizeof size) != 0) return 0;
    return size;
}
// Fills buffer with the node's value; the buffer of a text may get a
// terminating zero at its end.
inline void ReadNodeSlot(const NodeRecord& node, uint8_t* buffer, uint16_t size) {
    switch (node.Type) {
        case kTextNodeType:
            NodeReadStringByName(node.Name, reinterpret_cast<char*>(buffer), size);
            break;
        case kRangeNodeType:
            NodeReadRange(node.Index, 0, buffer, size);
            break;
        default:
            NodeReadData(node.Index, buffer, size);
            break;
    }
}
// Writes buffer back into the node; a text cut off without its zero keeps
// its first size - 1 characters (the buffer's last byte becomes the zero).
void WriteNodeSlot(const NodeRecord& node, uint8_t* buffer, uint16_t size);
// Writes a slot of a loaded file into its node through a buffer of its own,
// allocated for this node alone; without a buffer the node is left as it is.
void LoadNodeSlot(const NodeRecord& node, const uint8_t* slot, uint16_t size);
