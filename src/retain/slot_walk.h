// slot_walk.h - the save's walk of the node table: each node's slot read
// from the node space into a checksum's stream that writes the retain file,
// on the calling thread, or over two threads for a large table.
//
// A walk of a range reports nothing; it leaves its first failure in the
// SlotWalk for the save to report. WalkSlots may run on any thread.
// WalkSlotsInHalves and HalfWalkerReady run with the retain-file lock held
// (retain_file.h): one halved walk at a time. The second half goes to the
// thread of second_thread.h, or is walked by the caller when that thread is
// busy with other work.
#pragma once

#include <cstdint>

#include "nodespace/ovhgapi.h"
#include "retain/check_record.h"
#include "retain/records_ahead.h"

// How often a walk asks whether a node-space access failed: once every so
// many nodes, so that the question costs the walk nothing measurable.
constexpr int32_t kFailureCheckNodes = 64;

// A table of at least this many nodes is worth a second thread.
constexpr int32_t kHalvesFrom = 1 << 14;

// A walk of nodes [Begin, End) of Table, each slot (NodeSlotSize bytes,
// zeros where the library fills nothing) added to Crc, whose File takes
// the slots; and what it found.
struct SlotWalk {
    const NodeRecord* Table = nullptr;
    int32_t Begin = 0;
    int32_t End = 0;
    uint64_t Limit = 0;           // the most slot bytes the checked value entries allow
    uint32_t FailuresBefore = 0;  // NodeAccessFailures at the save's start
    CrcStream Crc;
    uint32_t Shape = 0;  // the shape fold of nodes [Begin, End) (LayoutShapeStep)
    uint64_t SlotBytes = 0;
    // The first failure: none (nullptr), kSizeChanged (the slots grew past
    // Limit at node FailedNode, counted from 1), or the step that failed
    // ("value buffer allocation", "write") with its errno in Error. A
    // node-space access that failed ends the walk early without a failure
    // here: the save asks NodeAccessFailures.
    const char* Failed = nullptr;
    int Error = 0;
    int32_t FailedNode = 0;
};
extern const char kSizeChanged[];

// Walks w's range and flushes its stream.
void WalkSlots(SlotWalk* w);
// Whether the second thread is there for WalkSlotsInHalves (started now if
// it is not yet); false when it could not be started.
bool HalfWalkerReady();
// Walks first on this thread and second on the second thread at the same
// time, and returns when both are through (failed or not). Each writes its
// own range of the file: second's stream is Positioned where its slots
// start. After HalfWalkerReady only.
void WalkSlotsInHalves(SlotWalk* first, SlotWalk* second);
