// One node's slot of the retain file: its size, and its value read or
// written back by the operation its type code calls for.
#include "retain/node_slot.h"

#include <cstring>

namespace {

constexpr uint16_t kTextType = 12;
constexpr uint16_t kRangeType = 13;

}  // namespace

// The node's slot size: its "Size" attribute, or 0 when it cannot be read.
uint16_t NodeSlotSize(const NodeRecord& node) {
    uint16_t size = 0;
    if (NodeGetAttribute(node.Name, "Size", &size, sizeof size) != 0) return 0;
    return size;
}

void ReadNodeSlot(const NodeRecord& node, uint8_t* buffer, uint16_t size) {
    switch (node.Type) {
        case kTextType:
            NodeReadStringByName(node.Name, reinterpret_cast<char*>(buffer), size);
            break;
        case kRangeType:
            NodeReadRange(node.Index, 0, buffer, size);
            break;
        default:
            NodeReadData(node.Index, buffer, size);
            break;
    }
}

void WriteNodeSlot(const NodeRecord& node, uint8_t* buffer, uint16_t size) {
    switch (node.Type) {
        case kTextType:
            // A text cut off without its zero keeps its first Size - 1 characters.
            if (!std::memchr(buffer, 0, size)) buffer[size - 1] = 0;
            NodeWriteStringByName(node.Name, reinterpret_cast<const char*>(buffer));
            break;
        case kRangeType:
            NodeWriteRange(node.Index, 0, buffer, size);
            break;
        default:
            NodeWriteData(node.Index, buffer, size);
            break;
    }
}
