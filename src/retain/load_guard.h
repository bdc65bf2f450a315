// load_guard.h - keeps a load from writing a slot into a node that the
// slot was not written for.
//
// The retain file's slots are found by walking the node table with each
// node's current Size. The file's own layout record is found by the id its
// check record entry names or, when no entry names one (a file no check
// record lists) or that record is gone, among the records of the file's
// hash by the file's length (FindFileLayoutRecord, layout_record.h). With
// the record at hand the guard walks it beside the table: while every node
// has the name, type code and Size of its entry the slots are taken in
// order; from the first node that differs on, each node takes the slot of
// the entry of its own name, and only when that entry's type code and Size
// are the node's own; every other node is left as it is.
//
// Slots are never taken in order while records of the file's hash are
// there and none describes the file: such a load is refused. Without any
// record of its hash (a file from before layout records) the slots are
// taken in order, and only from a file that holds a slot for every node of
// the table: a shorter one is cut short or of another layout, and is
// refused too. A file whose check record entry names a record that is gone
// (deleted by a person) was written with records: its slots are taken in
// order only when it holds exactly the table's slots, since any other
// length is another layout.
//
// Used by a load with the retain-file lock held; one guard per load.
// OpenLoadGuard says why it refuses; the caller reports it.
// CloseLoadGuard reports one "WRN" line when the walk went by name.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>

#include "nodespace/ovhgapi.h"
#include "retain/check_record.h"
#include "retain/layout_record.h"
#include "stdlib/pdir.h"

struct LoadGuard {
    LayoutRecord Record;
    bool HasRecord = false;
    bool ByName = false;  // the table and the record parted ways
    uint64_t Offset = 4;  // the next slot, when taken in order without a record
    std::unordered_map<std::string_view, uint32_t> Names;
    uint64_t Loaded = 0;     // nodes given a value by name
    uint64_t Unchanged = 0;  // nodes with a slot left as they are, once by name
};

// Finds the record of the file described by entry in dir; false with the
// reason when the file is not to be loaded (nodes [0, count) of table are
// the ones it would be loaded into).
bool OpenLoadGuard(PDir* dir, const CheckEntry& entry, uint64_t fileSize, const NodeRecord* table, int32_t count,
                   LoadGuard* guard, std::string* why);
// The slot for node i (with the given Size) in the file's bytes, or null
// when it gets none: then, unless guard->ByName, no later node does either.
// Call it for every node, Size-0 ones included, in table order.
const uint8_t* GuardedSlot(LoadGuard* guard, int32_t i, const NodeRecord& node, uint16_t size, const uint8_t* file,
                           size_t fileSize);
void CloseLoadGuard(LoadGuard* guard);
