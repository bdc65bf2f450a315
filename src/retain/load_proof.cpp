// The load's proof of the node table, and the in-order load that checks it
// chunk by chunk.
#include "retain/load_proof.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "retain/layout_record.h"
#include "retain/node_slot.h"
#include "retain/records_ahead.h"

namespace {

// Nodes a chunk of the table has.
constexpr int32_t kProofChunk = 512;

// Names are asked for this many records ahead of the folds below (the walk
// itself brings in only the type code's line).
constexpr int32_t kNamesAhead = 16;

// One node's step of a chunk's fold: its name, type code and Size. The
// name is taken 8 bytes at a time up to its terminating zero (bytes after
// it masked off): a few instructions a node, on the record's lines that the
// Size by name has just brought in.
uint64_t ChunkStep(uint64_t fold, const NodeRecord& node, uint16_t size) {
    constexpr uint64_t kOnes = 0x0101010101010101ull, kHighs = 0x8080808080808080ull;
    uint64_t h = (static_cast<uint64_t>(node.Type) << 16) | size;
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

// The table a load last proved to be the remembered record's: while the
// same record is remembered (its serial) for the same table and node count,
// the proof holds for a later load, each chunk's nodes still folding to
// ChunkFolds. Guarded by the retain-file lock.
struct ProvenLayout {
    bool Valid = false;
    const NodeRecord* Table = nullptr;
    int32_t Count = 0;
    uint64_t Serial = 0;
    uint64_t End = 0;                  // where the last slot ends
    std::vector<uint64_t> ChunkFolds;  // ChunkStep over each chunk's nodes
};
ProvenLayout Proven;

// Nodes [begin, end) of table, their Sizes into sizes: whether they fold to
// the proof's chunk.
bool CheckChunk(const NodeRecord* table, int32_t count, int32_t begin, int32_t end, uint16_t* sizes) {
    uint64_t fold = 0;
    for (int32_t i = begin; i < end; ++i) {
        NameAhead(table, i, count, kNamesAhead, NAME_TWO_LINES);
        const NodeRecord& node = WalkTo(table, i, count);
        sizes[i - begin] = NodeSlotSize(node);
        fold = ChunkStep(fold, node, sizes[i - begin]);
    }
    return fold == Proven.ChunkFolds[static_cast<size_t>(begin / kProofChunk)];
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
    std::vector<uint64_t> chunkFolds(static_cast<size_t>((count + kProofChunk - 1) / kProofChunk));
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
        uint64_t& chunk = chunkFolds[static_cast<size_t>(i / kProofChunk)];
        chunk = ChunkStep(chunk, node, size);
        end += size;
    }
    if (shape != known.Shape || names != known.Names) return NOT_FILE_LAYOUT;
    Proven = ProvenLayout{true, table, count, known.Serial, end, std::move(chunkFolds)};
    return end == fileSize ? PROVED_NOW : NOT_FILE_LAYOUT;
}

bool LoadInOrder(LayoutProof proof, const NodeRecord* table, int32_t count, const std::vector<uint16_t>& sizes,
                 const std::vector<uint8_t>& bytes, uint32_t failuresBefore) {
    // Each chunk's records are still in the cache when its slots are written.
    uint16_t checked[kProofChunk];
    uint64_t offset = 4;
    for (int32_t begin = 0; begin < count; begin += kProofChunk) {
        const int32_t end = std::min(count, begin + kProofChunk);
        const uint16_t* chunkSizes = checked;
        if (proof == PROVED_NOW) {
            chunkSizes = sizes.data() + begin;
        } else if (!CheckChunk(table, count, begin, end, checked)) {
            Proven.Valid = false;
            return false;
        }
        if (!WriteChunk(table, begin, end, chunkSizes, bytes, &offset) || NodeAccessFailures() != failuresBefore) break;
    }
    return true;
}
