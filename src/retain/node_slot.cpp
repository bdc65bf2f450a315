// One node's slot of the retain file: its value written back by the
// operation its type code calls for.
#include "retain/node_slot.h"

#include <cstring>

#include "stdlib/pmem.h"

void WriteNodeSlot(const NodeRecord& node, uint8_t* buffer, uint16_t size) {
    switch (node.Type) {
        case kTextNodeType:
            // A text cut off without its zero keeps its first Size - 1 characters.
            if (!std::memchr(buffer, 0, size)) buffer[size - 1] = 0;
            NodeWriteStringByName(node.Name, reinterpret_cast<const char*>(buffer));
            break;
        case kRangeNodeType:
            NodeWriteRange(node.Index, 0, buffer, size);
            break;
        default:
            NodeWriteData(node.Index, buffer, size);
            break;
    }
}

void LoadNodeSlot(const NodeRecord& node, const uint8_t* slot, uint16_t size) {
    uint8_t* buffer = static_cast<uint8_t*>(PMemAlloc(size));
    if (!buffer) return;
    std::memcpy(buffer, slot, size);
    WriteNodeSlot(node, buffer, size);
    PMemFree(buffer);
}
