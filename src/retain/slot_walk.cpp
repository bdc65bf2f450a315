// The save's walk of the node table, on one thread or two.
#include "retain/slot_walk.h"

#include <errno.h>

#include "nodespace/ovhgapi.h"
#include "retain/layout_record.h"
#include "retain/node_slot.h"
#include "retain/second_thread.h"
#include "stdlib/pmem.h"

const char kSizeChanged[] = "size";

namespace {

void WalkSlotsOf(void* walk) {
    WalkSlots(static_cast<SlotWalk*>(walk));
}

}  // namespace

bool HalfWalkerReady() {
    return SecondThreadReady();
}

void WalkSlots(SlotWalk* w) {
    for (int32_t i = w->Begin; w->Table && i < w->End; ++i) {
        const NodeRecord& node = WalkTo(w->Table, i, w->End);
        uint16_t size = NodeSlotSize(node);
        w->Shape = LayoutShapeStep(w->Shape, i, node.Type, size);
        if (size == 0) continue;
        w->SlotBytes += size;
        if (w->SlotBytes > w->Limit) {
            w->Failed = kSizeChanged;
            w->FailedNode = i + 1;
            return;
        }
        uint8_t* buffer = static_cast<uint8_t*>(PMemAlloc(size));
        if (!buffer) {
            // Leaving the slot out would shift every later value.
            w->Failed = "value buffer allocation";
            w->Error = errno;
            return;
        }
        // Cleared so that bytes the library does not fill (after a text's
        // zero) are zeros in the file, not left-overs of the heap.
        PMemZero(buffer, size);
        ReadNodeSlot(node, buffer, size);
        const bool written = CrcStreamAdd(&w->Crc, buffer, size);
        PMemFree(buffer);
        if (!written) {
            w->Failed = "write";
            w->Error = w->Crc.Error;
            return;
        }
        // A read that failed (a lock held past its deadline) ends the walk
        // within kFailureCheckNodes nodes, none of which waits again (the
        // library does not wait after a deadline passed): the save fails.
        if ((i & (kFailureCheckNodes - 1)) == 0 && NodeAccessFailures() != w->FailuresBefore) break;
    }
    if (!CrcStreamFlush(&w->Crc)) {
        w->Failed = "write";
        w->Error = w->Crc.Error;
    }
}

void WalkSlotsInHalves(SlotWalk* first, SlotWalk* second) {
    // The second half uses the file until it is through; one that could
    // not be handed over (the thread busy with other work) is walked here.
    const bool handed = SecondThreadBegin(WalkSlotsOf, second);
    WalkSlots(first);
    if (handed) {
        SecondThreadEnd();
    } else {
        WalkSlots(second);
    }
}
