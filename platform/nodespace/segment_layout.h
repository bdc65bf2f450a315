// segment_layout.h - how a node space lies in its shared-memory segment.
//
// One segment "/ovns-<name>" per node space, of full size from the start,
// with memory reserved in chunks before anything is written there (the
// high-water marks below), so that a full /dev/shm makes a creation fail
// with ENOSPC instead of ending a process. Its capacity C, the most nodes it
// holds, is chosen when it is created (kMinCapacity to kMaxCapacity, by
// default kDefaultCapacity) and kept in the header; every offset below
// follows from it (LayoutFor):
//
//   offset 0            SegmentHeader (one page block): magic, version, lock,
//                       capacity, counts, service registrations
//   WrittenOffset       written-node bitmap: bit i - 1 set when node i was
//                       written or created since the service last took the
//                       written nodes, ceil(C / 64) words; a summary bit in
//                       the header per group of 2^SummaryShift words
//   TableOffset         node table: C NodeRecords of 578 bytes, in creation
//                       order; records never move
//   HashOffset          name index: HashSlots (a power of two, at least 2 C)
//                       64-bit slots, open addressing with linear probing; a
//                       slot holds (32-bit name hash << 32) | node index, 0
//                       when empty
//   ValuesOffset        value table: C ValueEntries of 16 bytes, entry
//                       i - 1 for node i: [uint32 sequence][uint16 size]
//                       [uint16 type][uint64 heap offset of the value]
//   HeapOffset          values: one block per node, 8-byte aligned, the value
//                       padded to 8 bytes
//
// The header's own size and its arrays do not depend on C, so that a segment
// is opened in two steps: its header block alone, whose capacity is checked
// against the bounds and, through the size it implies, against the size of
// the segment's file; then the whole segment. The capacity is read once, at
// that opening, and never again from shared memory. The default capacity
// lays a segment out exactly as version 4 did before the capacity could be
// chosen, so that segments made then still open.
//
// A value access reads the node's entry and its value, never the library's
// bytes of the 578-byte record (LibSize and LibValue stay zero): a walk over
// every node reads 16 dense bytes a node beside what the caller reads from
// the records itself. An entry is written once, before its node is visible.
//
// Version 4 brought the value table; a segment of another version is refused
// with a message that says how to rebuild it (ovnode destroy, then the nodes
// created again from their layout), never read. Any segment's header block
// opens, however old, so that it can be told so.
//
// Reservation: the header block and the bitmap at creation; the table, the
// value table and the heap up to TableReserved, ValuesReserved and
// HeapReserved bytes, grown in chunks; the name index by chunks of
// HashChunk bytes (at most kHashChunksMax of them), one bit each in
// HashReserved. A chunk of the index whose bit is clear was never written,
// so all its slots are empty and a lookup need not touch it.
//
// Every count, size and offset read from the segment is checked against
// these bounds before it is used: any process of the allowed group may have
// written anything there.
//
// Every value write and creation sets its node's bit and then the summary
// bit of its word's group, under the lock; the one consumer (the service)
// exchanges summary words, then the bitmap words of the groups they name,
// with 0, without the lock: a bit set after its word was taken is taken the
// next time.
//
// Concurrency: creations and value writes hold the segment's OwnerLock
// (shm_segment.h), which records its holder's thread id. Readers take no
// lock: a value entry's sequence is odd while a writer changes it, and a
// reader retries until it copies a value between two equal even sequences.
// Value bytes are accessed as atomic words (release stores, acquire loads:
// plain moves on x86), so the copy is never a data race and needs no fences.
// A node becomes visible by the release store of NodeCount after its record,
// entry and value are complete.
// A writer that dies holding the lock is repaired by the next locker: the
// value it was writing gets an even sequence again, and a creation it left
// half-done is completed or dropped. A reader that finds a sequence odd for
// too long takes the lock and copies the value under it.
//
// WriteGeneration counts changes: every value write and node creation adds 1
// once its bytes are in place, so a reader that sees a generation also sees
// every value written before it. The repair after a dead holder adds 1 too,
// whatever the holder got done, so no change goes uncounted.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "common/shm_segment.h"
#include "nodespace/ovhgapi.h"

namespace nodespace {

constexpr uint64_t kMagic = 0x314543415053564full;  // "OVSPACE1"
constexpr uint32_t kVersion = 4;  // 2: the write generation; 3: reserved memory, owner lock; 4: the value table
constexpr uint32_t kDefaultCapacity = 1u << 21;  // 2,097,152 nodes
constexpr uint32_t kMinCapacity = kNodeSpaceCapacityMin;
constexpr uint32_t kMaxCapacity = kNodeSpaceCapacityMax;
constexpr uint32_t kMaxServices = 64;
// The header block, alone at the start of the segment.
constexpr size_t kWrittenOffset = 64 * 1024;
constexpr size_t kValueEntrySize = 16;
constexpr size_t kTableChunk = 256 * 1024;
constexpr size_t kHeapChunk = 256 * 1024;
constexpr size_t kValuesChunk = 64 * 1024;
// The header's arrays: chunks of the name index, summary bits of the bitmap.
constexpr uint32_t kHashChunksMax = 512;
constexpr uint32_t kSummaryWords = 512;

// Where everything lies in a segment of a given capacity.
struct Layout {
    uint32_t Capacity = 0;
    uint32_t HashSlots = 0;       // a power of two
    uint32_t HashChunkSlots = 0;  // slots of one reservation chunk of the index
    size_t HashChunk = 0;         // its bytes, a multiple of 4096
    uint32_t WrittenWords = 0;    // of the bitmap
    uint32_t SummaryShift = 0;    // summary bit of bitmap word w: w >> SummaryShift
    size_t TableOffset = 0;
    size_t HashOffset = 0;
    size_t ValuesOffset = 0;
    size_t HeapOffset = 0;
    size_t HeapSize = 0;
    size_t SegmentSize = 0;
};

constexpr size_t PageAligned(size_t bytes) {
    return (bytes + 4095) & ~size_t{4095};
}

// The layout of capacity (within kMinCapacity..kMaxCapacity). The heap is
// what is left of 4 GiB beside the bitmap and the value table, as it was
// for the first capacity.
constexpr Layout LayoutFor(uint32_t capacity) {
    Layout l;
    l.Capacity = capacity;
    l.HashSlots = 512;
    while (l.HashSlots < 2 * uint64_t{capacity}) l.HashSlots *= 2;
    l.HashChunk = size_t{l.HashSlots} * sizeof(uint64_t) / kHashChunksMax;
    if (l.HashChunk < 4096) l.HashChunk = 4096;
    l.HashChunkSlots = static_cast<uint32_t>(l.HashChunk / sizeof(uint64_t));
    l.WrittenWords = (capacity + 63) / 64;
    while (((l.WrittenWords - 1) >> l.SummaryShift) >= kSummaryWords * 64) ++l.SummaryShift;
    l.TableOffset = kWrittenOffset + PageAligned(size_t{l.WrittenWords} * sizeof(uint64_t));
    l.HashOffset = PageAligned(l.TableOffset + size_t{capacity} * sizeof(NodeRecord));
    l.ValuesOffset = l.HashOffset + size_t{l.HashSlots} * sizeof(uint64_t);
    l.HeapOffset = PageAligned(l.ValuesOffset + size_t{capacity} * kValueEntrySize);
    l.SegmentSize = PageAligned(kWrittenOffset + size_t{capacity} * sizeof(NodeRecord)) +
                    size_t{l.HashSlots} * sizeof(uint64_t) + (size_t{4} << 30);
    l.HeapSize = l.SegmentSize - l.HeapOffset;
    return l;
}

// The default capacity lies as version 4 laid every segment out.
constexpr Layout kDefaultLayout = LayoutFor(kDefaultCapacity);
static_assert(kDefaultLayout.TableOffset == 327680 && kDefaultLayout.HashOffset == 1212481536 &&
                  kDefaultLayout.ValuesOffset == 1246035968 && kDefaultLayout.HeapOffset == 1279590400 &&
                  kDefaultLayout.SegmentSize == 5540741120 && kDefaultLayout.HashChunk == 65536 &&
                  kDefaultLayout.SummaryShift == 0,
              "a segment of the default capacity lies as version 4 laid it out");
static_assert(LayoutFor(kMaxCapacity).HeapOffset < LayoutFor(kMaxCapacity).SegmentSize, "room for values");
static_assert(size_t{LayoutFor(kMaxCapacity).HashSlots} * sizeof(uint64_t) / LayoutFor(kMaxCapacity).HashChunk <=
                  kHashChunksMax,
              "the index's chunks fit the header");
static_assert(((LayoutFor(kMaxCapacity).WrittenWords - 1) >> LayoutFor(kMaxCapacity).SummaryShift) < kSummaryWords * 64,
              "the bitmap's groups fit the summary");

// A registered service: its pid and start time (process_identity.h).
struct ServiceSlot {
    std::atomic<int32_t> Pid;
    uint32_t Reserved;
    std::atomic<uint64_t> StartTime;
};

struct SegmentHeader {
    uint64_t Magic;
    uint32_t Version;
    uint32_t Capacity;
    OwnerLock Lock;
    std::atomic<int32_t> Count;
    std::atomic<uint64_t> HeapUsed;
    // Node whose value a lock holder is writing (0: none), and node a lock
    // holder is creating (0: none): what a dead holder may have left half-done.
    std::atomic<uint32_t> Writing;
    std::atomic<uint32_t> Creating;
    // Reserved memory: bytes of the table and of the heap, chunks of the index.
    std::atomic<uint64_t> TableReserved;
    std::atomic<uint64_t> HeapReserved;
    std::atomic<uint64_t> HashReserved[kHashChunksMax / 64];
    ServiceSlot Services[kMaxServices];
    // Advanced under the lock after every value write and node creation is
    // complete (release), and by the repair of a dead holder's leftovers.
    std::atomic<uint64_t> WriteGeneration;
    // Reserved bytes of the value table (version 4).
    std::atomic<uint64_t> ValuesReserved;
    // Bit g set: a word of group g of the written-node bitmap (words
    // g << SummaryShift onwards) may have bits set.
    std::atomic<uint64_t> WrittenSummary[kSummaryWords];
    // The retain file that the node space's service adopted
    // (NodeMarkAdopted): AdoptedSize bytes of Adopted, written and read under
    // the lock. Zero in a fresh segment: nothing adopted.
    uint32_t AdoptedSize;
    uint32_t AdoptedReserved;
    uint8_t Adopted[kAdoptionMarkSize];
};
static_assert(sizeof(SegmentHeader) <= kWrittenOffset, "header fits before the bitmap");

// A node's entry in the value table.
struct ValueEntry {
    std::atomic<uint32_t> Sequence;
    uint16_t Size;
    uint16_t Type;
    uint64_t Offset;  // of the value in the heap; a multiple of 8
};
static_assert(sizeof(ValueEntry) == kValueEntrySize, "value entry is 16 bytes");

}  // namespace nodespace
