// segment_layout.h - how a node space lies in its shared-memory segment.
//
// One segment "/ovns-<name>" per node space, of full size from the start,
// with memory reserved in chunks before anything is written there (the
// high-water marks below), so that a full /dev/shm makes a creation fail
// with ENOSPC instead of ending a process:
//
//   offset 0            SegmentHeader (one page block): magic, lock, counts,
//                       service registrations
//   kTableOffset        node table: kCapacity NodeRecords of 578 bytes, in
//                       creation order; records never move
//   hashOffset          name index: 2 * kCapacity 64-bit slots, open
//                       addressing with linear probing; a slot holds
//                       (32-bit name hash << 32) | node index, 0 when empty
//   heapOffset          values: one block per node, 8-byte aligned:
//                       [uint32 sequence][uint32 size][value, padded to 8]
//
// A NodeRecord's LibSize holds the value size and LibValue the 64-bit heap
// offset of its block (unaligned, written once before the node is visible).
//
// Reservation: the header block at creation; the table and the heap up to
// TableReserved and HeapReserved bytes, grown in chunks; the name index by
// chunks of kHashChunk bytes, one bit each in HashReserved. A chunk of the
// index whose bit is clear was never written, so all its slots are empty and
// a lookup need not touch it.
//
// Every count, size and offset read from the segment is checked against
// these bounds before it is used: any process of the allowed group may have
// written anything there.
//
// Concurrency: creations and value writes hold the segment's OwnerLock
// (shm_segment.h), which records its holder's thread id. Readers take no
// lock: a value block's sequence is odd while a writer changes it, and a
// reader retries until it copies a value between two equal even sequences.
// Value bytes are accessed as atomic words (release stores, acquire loads:
// plain moves on x86), so the copy is never a data race and needs no fences.
// A node becomes visible by the release store of NodeCount after its record and value block are complete.
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
constexpr uint32_t kVersion = 3;                    // 2: the write generation; 3: reserved memory, owner lock
constexpr uint32_t kCapacity = 1u << 21;            // 2,097,152 nodes
constexpr uint32_t kHashSlots = kCapacity * 2;
constexpr uint32_t kMaxServices = 64;
constexpr size_t kTableOffset = 64 * 1024;
constexpr size_t kHashOffset = (kTableOffset + size_t{kCapacity} * sizeof(NodeRecord) + 4095) & ~size_t{4095};
constexpr size_t kHeapOffset = kHashOffset + size_t{kHashSlots} * sizeof(uint64_t);
constexpr size_t kHeapSize = size_t{4} << 30;
constexpr size_t kSegmentSize = kHeapOffset + kHeapSize;
constexpr size_t kTableChunk = 256 * 1024;
constexpr size_t kHeapChunk = 256 * 1024;
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
    // The retain file that the node space's service adopted
    // (NodeMarkAdopted): AdoptedSize bytes of Adopted, written and read under
    // the lock. Zero in a fresh segment: nothing adopted.
    uint32_t AdoptedSize;
    uint32_t AdoptedReserved;
    uint8_t Adopted[kAdoptionMarkSize];
};
static_assert(sizeof(SegmentHeader) <= kTableOffset, "header fits before the table");

struct ValueBlock {
    std::atomic<uint32_t> Sequence;
    uint32_t Size;
    // value words follow
};
static_assert(sizeof(ValueBlock) == 8, "value block header is 8 bytes");

}  // namespace nodespace
