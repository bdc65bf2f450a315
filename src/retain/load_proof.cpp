// The load's proof of the node table, and the in-order load that checks it
// chunk by chunk.
#include "retain/load_proof.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <memory>
#include <utility>

#include "retain/layout_record.h"
#include "retain/node_slot.h"
#include "retain/records_ahead.h"
#include "retain/second_thread.h"

namespace {

// Nodes a chunk of the table has.
constexpr int32_t kProofChunk = 512;

// Names are asked for this many records ahead of the folds below (the walk
// itself brings in only the type code's line).
constexpr int32_t kNamesAhead = 16;

// A node's name folded: taken 8 bytes at a time up to its terminating zero
// (bytes after it masked off), a few instructions a node.
uint64_t NameStep(uint64_t fold, const NodeRecord& node) {
    constexpr uint64_t kOnes = 0x0101010101010101ull, kHighs = 0x8080808080808080ull;
    uint64_t h = 0;
    size_t at = 0;
    for (; at + 8 <= sizeof node.Name; at += 8) {
        uint64_t word;
        std::memcpy(&word, node.Name + at, 8);
        const uint64_t zero = (word - kOnes) & ~word & kHighs;
        if (zero) {
            // The lowest flagged byte is the first zero; what follows it is not the name's.
            const uint64_t first = zero & (~zero + 1);
            h = ((h << 23) | (h >> 41)) ^ (word & ((first << 1) - 1)) ^ at;
            return (fold ^ h) * 0x9E3779B97F4A7C15ull + 1;
        }
        h = ((h << 23) | (h >> 41)) ^ word;
    }
    // A record without its zero: the name's last bytes as they are.
    for (; at < sizeof node.Name; ++at) h = ((h << 23) | (h >> 41)) ^ static_cast<uint8_t>(node.Name[at]);
    return (fold ^ h) * 0x9E3779B97F4A7C15ull + 1;
}

// A node's type code and Size folded.
uint64_t ShapeStep(uint64_t fold, const NodeRecord& node, uint16_t size) {
    return (fold ^ ((static_cast<uint64_t>(node.Type) << 16) | size)) * 0x9E3779B97F4A7C15ull + 1;
}

// The table a load last proved to be the remembered record's: while the
// same record is remembered (its serial) for the same table and node count,
// the proof holds for a later load, each chunk's nodes still folding to
// NameFolds and ShapeFolds. Guarded by the retain-file lock.
struct ProvenLayout {
    bool Valid = false;
    const NodeRecord* Table = nullptr;
    int32_t Count = 0;
    uint64_t Serial = 0;
    uint64_t End = 0;                  // where the last slot ends
    std::vector<uint64_t> NameFolds;   // NameStep over each chunk's nodes
    std::vector<uint64_t> ShapeFolds;  // ShapeStep over each chunk's nodes
};
ProvenLayout Proven;

// Whether nodes [begin, end) still have the proof's names.
bool NamesAsProved(const NodeRecord* table, int32_t count, int32_t begin, int32_t end) {
    uint64_t fold = 0;
    for (int32_t i = begin; i < end; ++i) {
        NameAhead(table, i, count, kNamesAhead, NAME_TWO_LINES);
        fold = NameStep(fold, table[i]);
    }
    return fold == Proven.NameFolds[static_cast<size_t>(begin / kProofChunk)];
}

// Nodes [begin, end) of table, their Sizes into sizes: whether their type
// codes and Sizes fold to the proof's chunk.
bool ShapeAsProved(const NodeRecord* table, int32_t count, int32_t begin, int32_t end, uint16_t* sizes) {
    uint64_t fold = 0;
    for (int32_t i = begin; i < end; ++i) {
        const NodeRecord& node = WalkTo(table, i, count);
        sizes[i - begin] = NodeSlotSize(node);
        fold = ShapeStep(fold, node, sizes[i - begin]);
    }
    return fold == Proven.ShapeFolds[static_cast<size_t>(begin / kProofChunk)];
}

// A large table's chunks are checked on the second thread ahead of the
// load's writes, their names, type codes and Sizes, so that the lines they
// lie on never reach the writing core (the Sizes it is handed are the
// second thread's, in a buffer of the load's). Each chunk is checked once,
// by whichever thread claims it first; the load claims a chunk the second
// thread has not reached yet, and waits for one it is checking (a chunk's
// check: some microseconds).
enum ChunkCheck : uint8_t { CHUNK_UNCLAIMED, CHUNK_CLAIMED, CHUNK_AS_PROVED, CHUNK_CHANGED };
struct ChunksAhead {
    const NodeRecord* Table = nullptr;
    int32_t Count = 0;
    uint16_t* Sizes = nullptr;                      // each node's, once its chunk is checked; none: no thread ahead
    std::unique_ptr<std::atomic<uint8_t>[]> State;  // a ChunkCheck a chunk
    size_t Room = 0;                                // chunks State holds
    std::atomic<bool> Stop{false};                  // the load ended: check no more
};
ChunksAhead Ahead;
// A table of at least this many nodes is worth it.
constexpr int32_t kAheadFrom = 1 << 14;
// A thread that has not checked the chunk it claimed after this many looks
// was held up: the waiting one checks it as well.
constexpr int kLooksBeforeChecking = 1 << 16;

// Nodes [begin, end) of chunk k.
void ChunkBounds(int32_t k, int32_t* begin, int32_t* end) {
    *begin = k * kProofChunk;
    *end = std::min(Ahead.Count, *begin + kProofChunk);
}

// Whether chunk k's nodes still are as proved, their Sizes into sizes.
bool ChunkAsProvedHere(int32_t k, uint16_t* sizes) {
    int32_t begin = 0, end = 0;
    ChunkBounds(k, &begin, &end);
    return ShapeAsProved(Ahead.Table, Ahead.Count, begin, end, sizes) &&
           NamesAsProved(Ahead.Table, Ahead.Count, begin, end);
}

// Checks chunk k, its Sizes into sizes, when no thread has claimed it yet:
// its ChunkCheck then, CHUNK_CLAIMED while another thread is checking it.
uint8_t ClaimChunk(int32_t k, uint16_t* sizes) {
    std::atomic<uint8_t>& state = Ahead.State[static_cast<size_t>(k)];
    uint8_t seen = CHUNK_UNCLAIMED;
    if (!state.compare_exchange_strong(seen, CHUNK_CLAIMED, std::memory_order_acq_rel)) return seen;
    seen = ChunkAsProvedHere(k, sizes) ? CHUNK_AS_PROVED : CHUNK_CHANGED;
    state.store(seen, std::memory_order_release);
    return seen;
}

// The load's: whether chunk k is as proved, checked here or by the second
// thread (waited for while it checks it); *sizes says where its Sizes are
// then (own: room for a chunk's, when no thread is ahead or the one ahead
// was held up).
bool ChunkAsProved(int32_t k, uint16_t* own, const uint16_t** sizes) {
    uint16_t* shared = Ahead.Sizes ? Ahead.Sizes + static_cast<size_t>(k) * kProofChunk : own;
    *sizes = shared;
    uint8_t seen = ClaimChunk(k, shared);
    for (int looks = 0; seen == CHUNK_CLAIMED; ++looks) {
        if (looks == kLooksBeforeChecking) {
            *sizes = own;
            return ChunkAsProvedHere(k, own);
        }
        seen = Ahead.State[static_cast<size_t>(k)].load(std::memory_order_acquire);
    }
    return seen == CHUNK_AS_PROVED;
}

// The second thread's: every chunk the load has not claimed, in order, up to
// the first that changed.
void CheckChunksAhead(void*) {
    const int32_t chunks = (Ahead.Count + kProofChunk - 1) / kProofChunk;
    for (int32_t k = 0; k < chunks && !Ahead.Stop.load(std::memory_order_relaxed); ++k)
        if (ClaimChunk(k, Ahead.Sizes + static_cast<size_t>(k) * kProofChunk) == CHUNK_CHANGED) break;
}

// Writes nodes [begin, end) from bytes at *offset; false when a Size does
// not fit the file (not the one proved: as the end of the file).
bool WriteChunk(const NodeRecord* table, int32_t begin, int32_t end, const uint16_t* sizes,
                const std::vector<uint8_t>& bytes, uint64_t* offset) {
    for (int32_t i = begin; i < end; ++i) {
        const uint16_t size = sizes[i - begin];
        const NodeRecord& node = WalkTo(table, i, end);
        if (size == 0) continue;
        if (size > bytes.size() - *offset) return false;
        LoadNodeSlot(node, bytes.data() + *offset, size);
        *offset += size;
    }
    return true;
}

}  // namespace

LayoutProof ProveFileLayout(PDir* dir, const CheckEntry& entry, const NodeRecord* table, int32_t count,
                            uint64_t fileSize, std::vector<uint16_t>* sizes) {
    KnownLayout known;
    if (!table || entry.LayoutId == 0 || !KnownLayoutRecord(dir, &known) || known.Hash != entry.Hash ||
        known.Id != entry.LayoutId || known.Count != count)
        return NOT_FILE_LAYOUT;
    if (Proven.Valid && Proven.Table == table && Proven.Count == count && Proven.Serial == known.Serial)
        return Proven.End == fileSize ? PROVED_BEFORE : NOT_FILE_LAYOUT;
    sizes->resize(static_cast<size_t>(count));
    const size_t chunks = static_cast<size_t>((count + kProofChunk - 1) / kProofChunk);
    std::vector<uint64_t> nameFolds(chunks), shapeFolds(chunks);
    uint32_t shape = 0;
    uint32_t names = 0;
    uint64_t end = 4;
    for (int32_t i = 0; i < count; ++i) {
        NameAhead(table, i, count, kNamesAhead, NAME_TWO_LINES);
        const NodeRecord& node = WalkTo(table, i, count);
        const uint16_t size = NodeSlotSize(node);
        (*sizes)[static_cast<size_t>(i)] = size;
        shape = LayoutShapeStep(shape, i, node.Type, size);
        names = LayoutNamesStep(names, node.Name, strnlen(node.Name, kNodeNameMax));
        const size_t k = static_cast<size_t>(i / kProofChunk);
        nameFolds[k] = NameStep(nameFolds[k], node);
        shapeFolds[k] = ShapeStep(shapeFolds[k], node, size);
        end += size;
    }
    if (shape != known.Shape || names != known.Names) return NOT_FILE_LAYOUT;
    Proven = ProvenLayout{true, table, count, known.Serial, end, std::move(nameFolds), std::move(shapeFolds)};
    return end == fileSize ? PROVED_NOW : NOT_FILE_LAYOUT;
}

bool LoadInOrder(LayoutProof proof, const NodeRecord* table, int32_t count, std::vector<uint16_t>* sizes,
                 const std::vector<uint8_t>& bytes, uint32_t failuresBefore) {
    const int32_t chunks = (count + kProofChunk - 1) / kProofChunk;
    bool ahead = false;
    if (proof == PROVED_BEFORE) {
        Ahead.Table = table;
        Ahead.Count = count;
        const size_t need = static_cast<size_t>(chunks);
        if (Ahead.Room < need) {
            Ahead.State.reset(new std::atomic<uint8_t>[need]());
            Ahead.Room = need;
        }
        for (size_t k = 0; k < need; ++k) Ahead.State[k].store(CHUNK_UNCLAIMED, std::memory_order_relaxed);
        Ahead.Sizes = nullptr;
        Ahead.Stop.store(false, std::memory_order_relaxed);
        if (count >= kAheadFrom) {
            sizes->resize(static_cast<size_t>(count));
            Ahead.Sizes = sizes->data();
            ahead = SecondThreadBegin(CheckChunksAhead, nullptr);
        }
    }
    // Each chunk's records are still in the cache when its slots are written.
    uint16_t own[kProofChunk];
    uint64_t offset = 4;
    bool asProved = true;
    for (int32_t k = 0; k < chunks; ++k) {
        const int32_t begin = k * kProofChunk, end = std::min(count, begin + kProofChunk);
        const uint16_t* chunkSizes = nullptr;
        if (proof == PROVED_NOW) {
            chunkSizes = sizes->data() + begin;
        } else if (!ChunkAsProved(k, own, &chunkSizes)) {
            asProved = false;
            break;
        }
        if (!WriteChunk(table, begin, end, chunkSizes, bytes, &offset) || NodeAccessFailures() != failuresBefore) break;
    }
    if (ahead) {
        Ahead.Stop.store(true, std::memory_order_relaxed);
        SecondThreadEnd();
    }
    Ahead.Sizes = nullptr;
    if (!asProved) Proven.Valid = false;
    return asProved;
}
