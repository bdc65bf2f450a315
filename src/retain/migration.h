// migration.h - carrying retained values over a change of the node layout,
// by name, through the layout record of the file that holds them.
//
// Matching rules, shared by the start-up migration and the tools: a current
// node whose name and type code match an entry of the old record takes that
// entry's value; when the Size differs, a text (12) or byte range (13) value
// is cut short or zero-filled ("resized"; a text cut short keeps a
// terminating zero), and any other value is not kept. Counts: kept (same
// Size), resized, new (current nodes with a slot that take no old value) and
// dropped (old values that no current node takes). Size-0 nodes have no
// value and are not counted. A file longer than its record, or shorter than
// its 4-byte header, is refused; a shorter one gives the values it holds in
// full.
//
// MigrateRetainFile runs in the start-up check, with the retain-file lock
// held, on the main thread, on the check's retain directory `dir`: the
// files are read and written relative to it (retainName is the retain
// file's name there). It reports one "WRN" line with the counts, or
// one saying why the file was not migrated, and reports failures to write
// as a save does ("ERR", the step named; the previous files stay as they
// were). MatchRetainedValues keeps no state: any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "nodespace/ovhgapi.h"
#include "retain/layout_record.h"
#include "stdlib/pdir.h"

struct MigrationCounts {
    uint64_t Kept = 0;
    uint64_t Resized = 0;
    uint64_t New = 0;
    uint64_t Dropped = 0;
};

// Called for each current node, in table order: value is the old value
// (valueSize bytes, which may differ from size for a resized one), or null
// when the node takes none; entry is the record's entry of the node's name,
// or null when there is none. A node without a slot comes with size 0 and
// neither.
typedef void (*TakeRetainedValue)(void* context, const NodeRecord& node, uint16_t size, const uint8_t* value,
                                  uint16_t valueSize, const LayoutRecordEntry* entry);

// Matches the retain file `file` (header included), described by `record`,
// to nodes [0, count) of table; false with the reason when the file is
// refused (nothing is then taken). A record read with a key hint is matched
// to that hint's table.
bool MatchRetainedValues(const LayoutRecord& record, const uint8_t* file, size_t fileSize, const NodeRecord* table,
                         int32_t count, TakeRetainedValue take, void* context, MigrationCounts* counts,
                         std::string* why);

// Writes the current layout's OvRetain.bin from the mismatching one of hash
// fileHash, written with the layout record fileLayoutId (0: the legacy
// record of the hash), as described above; false (after saying why) when it
// did not. The check record (check_record.h) vouches for the new file before
// it is put in place.
// currentKeys are the node keys of the current hash's fold, when the caller
// has them (see TakeLayoutNodeKeys): they spare digesting names again.
// settingsOnly: the layout only gained nodes of the service's own, which
// the line then says. The whole groups of the journal that extends the old
// file (journal_keep.h) are folded into its values before they are matched
// (one "DBG" line). found: that record as the caller read it already
// (a quick read, ReadLayoutRecordEntries), or null; it is verified where it
// is instead of read again, which at ten million nodes spares reading and
// mapping some 150 MB anew.
bool MigrateRetainFile(PDir* dir, const std::string& retainName, uint32_t currentHash, uint32_t fileHash,
                       uint32_t fileLayoutId, const std::vector<uint32_t>& currentKeys, bool settingsOnly = false,
                       LayoutRecord* found = nullptr);
