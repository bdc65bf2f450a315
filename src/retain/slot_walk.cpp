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

// The second thread: it runs HalfJob(HalfArgument) when HalfGo is
// released and releases HalfDone when it is through. Started by the first
// HalfWalkerReady, at the service's priority; its callers hold the
// retain-file lock, so one job is handed over at a time.
RTHANDLE HalfGo = RT_BAD_HANDLE;
RTHANDLE HalfDone = RT_BAD_HANDLE;
void (*HalfJob)(void*) = nullptr;
void* HalfArgument = nullptr;

void HalfThread(void*) {
    while (WaitForRtSemaphore(HalfGo, 1, RT_WAIT_FOREVER) != RT_WAIT_FAILED) {
        HalfJob(HalfArgument);
        ReleaseRtSemaphore(HalfDone, 1);
    }
}

void WalkSlotsJob(void* walk) {
    WalkSlots(static_cast<SlotWalk*>(walk));
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

void RunInHalves(void (*job)(void*), void* here, void* there) {
    HalfJob = job;
    HalfArgument = there;
    const bool handed = ReleaseRtSemaphore(HalfGo, 1);
    job(here);
    // The second half may use what both share until it is through; one
    // that could not be handed over is run here.
    if (handed) {
        WaitForRtSemaphore(HalfDone, 1, RT_WAIT_FOREVER);
    } else {
        job(there);
    }
}

void WalkSlotsInHalves(SlotWalk* first, SlotWalk* second) {
    RunInHalves(WalkSlotsJob, first, second);
}
