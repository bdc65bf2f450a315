// The save's walk of the node table, on one thread or two.
#include "retain/slot_walk.h"

#include <errno.h>

#include "nodespace/ovhgapi.h"
#include "retain/layout_record.h"
#include "retain/node_slot.h"
#include "rtkernel/rtkernel.h"
#include "stdlib/pmem.h"
#include "variables/variables.h"

const char kSizeChanged[] = "size";

namespace {

// The second thread: it walks the half handed to it (HalfWalk) when HalfGo
// is released and releases HalfDone when it is through. Started by the
// first save that halves its walk, at the service's priority; saves hold
// RetainFileLock, so one half is handed over at a time.
RTHANDLE HalfGo = RT_BAD_HANDLE;
RTHANDLE HalfDone = RT_BAD_HANDLE;
SlotWalk* HalfWalk = nullptr;

void HalfThread(void*) {
    while (WaitForRtSemaphore(HalfGo, 1, RT_WAIT_FOREVER) != RT_WAIT_FAILED) {
        WalkSlots(HalfWalk);
        ReleaseRtSemaphore(HalfDone, 1);
    }
}

}  // namespace

bool HalfWalkerReady() {
    static bool tried = false, ready = false;
    if (tried) return ready;
    tried = true;
    HalfGo = CreateRtSemaphore(0, 1, 0);
    HalfDone = CreateRtSemaphore(0, 1, 0);
    ready = HalfGo != RT_BAD_HANDLE && HalfDone != RT_BAD_HANDLE &&
            CreateRtThread(static_cast<uint8_t>(GetPriority()), HalfThread, 0, nullptr) != RT_BAD_HANDLE;
    return ready;
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
    HalfWalk = second;
    const bool handed = ReleaseRtSemaphore(HalfGo, 1);
    WalkSlots(first);
    // The second half uses the file until it is through; one that could
    // not be handed over is walked here.
    if (handed) {
        WaitForRtSemaphore(HalfDone, 1, RT_WAIT_FOREVER);
    } else {
        WalkSlots(second);
    }
}
