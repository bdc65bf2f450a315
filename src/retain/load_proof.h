// load_proof.h - what a load proves of the node table before it writes a
// file's slots in order: that nodes [0, count) are the nodes of the layout
// record this run built from the table and remembers (layout_record.h), so
// that a file written with that record needs no record read.
//
// The first load after a record is remembered proves the whole table on a
// walk of its own. Records never move or change once created, so a later
// load of the same table checks each chunk of nodes against the proof just
// before it writes them, on its one walk: a record changed in place since
// (its name, type code or Size) stops the in-order walk before that chunk.
//
// Called by the load with the retain-file lock held, which guards the
// proof; nothing here reports. A load of a large table has its chunks
// checked on the second thread (second_thread.h) ahead of its writes, and
// returns only once that thread is through.
#pragma once

#include <cstdint>
#include <vector>

#include "nodespace/ovhgapi.h"
#include "retain/check_record.h"
#include "stdlib/pdir.h"

enum LayoutProof {
    NOT_FILE_LAYOUT,  // go by the file's record
    PROVED_NOW,       // *sizes holds each node's Size: load with LoadInOrder
    PROVED_BEFORE,    // load with LoadInOrder, which checks each chunk
};

// Whether the file (entry, fileSize bytes) was written with the record this
// run remembers for dir, and nodes [0, count) of table still are that
// record's nodes, with slots that end where the file does. Writes no node;
// any doubt says NOT_FILE_LAYOUT.
LayoutProof ProveFileLayout(PDir* dir, const CheckEntry& entry, const NodeRecord* table, int32_t count,
                            uint64_t fileSize, std::vector<uint16_t>* sizes);

// After PROVED_NOW or PROVED_BEFORE: writes the file's slots (bytes) into
// nodes [0, count) in order, a chunk at a time. After PROVED_NOW each node
// has the Size that *sizes gives it; after PROVED_BEFORE each chunk is
// written once its nodes are found as proved (a large table's Sizes are
// then gathered in *sizes). False when a chunk is not (that chunk and the
// later ones are left as they are, the earlier ones hold their own slots,
// and the proof is dropped). A node-space access that
// failed since failuresBefore ends the walk (true).
bool LoadInOrder(LayoutProof proof, const NodeRecord* table, int32_t count, std::vector<uint16_t>* sizes,
                 const std::vector<uint8_t>& bytes, uint32_t failuresBefore);
