// records_ahead.h - walks of the node table in order, with the records
// ahead of the one at hand on their way: a 578-byte record a node puts each
// field the walk reads on a line of its own, and a large table is far
// larger than the cache.
//
// Header only, no state: any thread may call these. Each is always
// inlined: GCC judges a prefetching function free of side effects and drops
// calls to it.
#pragma once

#include <cstdint>

#include "nodespace/ovhgapi.h"

// The walk reads the type and the index of each 578-byte node record (8
// bytes at offset 562), which may span two cache lines: fetching them some
// way ahead hides most of the memory latency of a large table.
constexpr int32_t kPrefetchAhead = 8;

// Record i of the walk, with the type code and index of the records ahead
// of it on their way.
__attribute__((always_inline)) inline const NodeRecord& WalkTo(const NodeRecord* table, int32_t i, int32_t count) {
    if (i + kPrefetchAhead < count) {
        const char* ahead = reinterpret_cast<const char*>(&table[i + kPrefetchAhead].Type);
        __builtin_prefetch(ahead);
        __builtin_prefetch(ahead + 7);  // the index's last byte may lie on the next line
    }
    return table[i];
}

// What NameAhead brings in of a record: its name's first line; the next
// as well (a name that runs past the first line's end); or the name's first
// line and the type code's (for a walk that does not go by WalkTo).
enum NameLines { NAME_LINE, NAME_TWO_LINES, NAME_AND_TYPE_LINES };

// Record i + ahead on its way, when there is one, for a walk that reads
// names nothing else brought in (the Size by a record's own name finds the
// node by the record's position, and reads neither).
__attribute__((always_inline)) inline void NameAhead(const NodeRecord* table, int64_t i, int64_t count, int32_t ahead,
                                                     NameLines lines = NAME_LINE) {
    if (i + ahead < count) {
        const NodeRecord& r = table[i + ahead];
        __builtin_prefetch(r.Name);
        if (lines == NAME_TWO_LINES) __builtin_prefetch(r.Name + 56);
        if (lines == NAME_AND_TYPE_LINES) __builtin_prefetch(&r.Type);
    }
}
