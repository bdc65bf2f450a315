// segment_layout.h - how a node space lies in its shared-memory segment.
//
// One segment "/ovns-<name>" per node space, of full size from the start,
// with memory reserved in chunks before anything is written there (the
// high-water marks below), so that a full /dev/shm makes a creation fail
// with ENOSPC instead of ending a process:
//
//   offset 0            SegmentHeader (one page block): magic, version, lock,
//                       counts, service registrations
//   kWrittenOffset      written-node bitmap: bit i - 1 set when node i was
//                       written or created since the service last took the
//                       written nodes; a summary bit in the header per word
//   kTableOffset        node table: kCapacity NodeRecords of 578 bytes, in
//                       creation order; records never move
//   kHashOffset         name index: 2 * kCapacity 64-bit slots, open
//                       addressing with linear probing; a slot holds
//                       (32-bit name hash << 32) | node index, 0 when empty
//   kValuesOffset       value table: kCapacity ValueEntries of 16 bytes, entry
//                       i - 1 for node i: [uint32 sequence][uint16 size]
//                       [uint16 type][uint64 heap offset of the value]
//   kHeapOffset         values: one block per node, 8-byte aligned, the value
//                       padded to 8 bytes
//
// A value access reads the node's entry and its value, never the library's
// bytes of the 578-byte record (LibSize and LibValue stay zero): a walk over
// every node reads 16 dense bytes a node beside what the caller reads from
// the records itself. An entry is written once, before its node is visible.
//
// Version 4 brought the value table; a segment of another version is refused
// with a message that says how to rebuild it (ovnode destroy, then the nodes
// created again from their layout), never read. The segment keeps the size
// it had before, so that an older one still opens far enough to be told so.
//
// Reservation: the header block at creation; the table, the value table and
// the heap up to TableReserved, ValuesReserved and HeapReserved bytes, grown
// in chunks; the name index by
// chunks of kHashChunk bytes, one bit each in HashReserved. A chunk of the
// index whose bit is clear was never written, so all its slots are empty and
// a lookup need not touch it.
//
// Every count, size and offset read from the segment is checked against
// these bounds before it is used: any process of the allowed group may have
// written anything there.
//
// Every value write and creation sets its node's bit and then the summary
// bit of its word, under the lock; the one consumer (the service) exchanges
// summary words, then the bitmap words they name, with 0, without the lock:
// a bit set after its word was taken is taken the next time.
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
constexpr uint32_t kVersion = 4;          // 2: the write generation; 3: reserved memory, owner lock; 4: the value table
constexpr uint32_t kCapacity = 1u << 21;  // 2,097,152 nodes
constexpr uint32_t kHashSlots = kCapacity * 2;
constexpr uint32_t kMaxServices = 64;
// The written-node bitmap: one bit per node, reserved with the header.
constexpr size_t kWrittenOffset = 64 * 1024;
constexpr uint32_t kWrittenWords = kCapacity / 64;
constexpr size_t kWrittenBytes = size_t{kWrittenWords} * sizeof(uint64_t);
constexpr size_t kTableOffset = kWrittenOffset + kWrittenBytes;
constexpr size_t kHashOffset = (kTableOffset + size_t{kCapacity} * sizeof(NodeRecord) + 4095) & ~size_t{4095};
constexpr size_t kValuesOffset = kHashOffset + size_t{kHashSlots} * sizeof(uint64_t);
constexpr size_t kValueEntrySize = 16;
constexpr size_t kHeapOffset = kValuesOffset + size_t{kCapacity} * kValueEntrySize;
// The segment's size is that of version 3, whose table began at 64 KiB and
// whose heap began where its name index ended: an older segment still opens
// far enough to be told apart.
constexpr size_t kSegmentSize = ((64 * 1024 + size_t{kCapacity} * sizeof(NodeRecord) + 4095) & ~size_t{4095}) +
                                size_t{kHashSlots} * sizeof(uint64_t) + (size_t{4} << 30);
constexpr size_t kHeapSize = kSegmentSize - kHeapOffset;
constexpr size_t kTableChunk = 256 * 1024;
constexpr size_t kHeapChunk = 256 * 1024;
constexpr size_t kValuesChunk = 64 * 1024;
constexpr size_t kHashChunk = 64 * 1024;
constexpr uint32_t kHashChunkSlots = kHashChunk / sizeof(uint64_t);
constexpr uint32_t kHashChunks = kHashSlots / kHashChunkSlots;

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
    std::atomic<uint64_t> HashReserved[kHashChunks / 64];
    ServiceSlot Services[kMaxServices];
    // Advanced under the lock after every value write and node creation is
    // complete (release), and by the repair of a dead holder's leftovers.
    std::atomic<uint64_t> WriteGeneration;
    // Reserved bytes of the value table (version 4).
    std::atomic<uint64_t> ValuesReserved;
    // Bit w set: word w of the written-node bitmap may have bits set.
    std::atomic<uint64_t> WrittenSummary[kWrittenWords / 64];
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
