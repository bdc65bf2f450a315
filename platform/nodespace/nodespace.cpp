// The node-space library on POSIX shared memory. Layout and locking rules are
// described in segment_layout.h.
#include <errno.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <mutex>
#include <string>

#include "common/process_identity.h"
#include "common/shm_segment.h"
#include "nodespace/nodespace_admin.h"
#include "nodespace/ovhgapi.h"
#include "nodespace/segment_layout.h"
#include "stdlib/pmem.h"

using namespace nodespace;

namespace {

struct Space {
    ShmSegment Segment;
    // From the capacity read once when the segment was opened and checked
    // against its size; never from the header again.
    Layout L;
    SegmentHeader* Header;
    NodeRecord* Table;
    std::atomic<uint64_t>* Slots;
    ValueEntry* Values;
    std::atomic<uint64_t>* Written;
    uint8_t* Heap;
    std::string Name;
    // A count CountOf found within the reserved tables. Nodes are never
    // removed and reserved memory is never given back, so a record below it
    // is found by its Name pointer without reading the header again: the
    // header's first lines are written by every value write, and another
    // core reading them for each node would wait for them each time.
    // Released after the acquire of the count it was read from.
    std::atomic<int32_t> Known{0};
};

std::mutex g_attachLock;
std::atomic<Space*> g_space{nullptr};
// Accesses that failed a check (NodeAccessFailures).
std::atomic<uint32_t> g_failures{0};

// Counts a failed access; returns what the failing call should.
template <typename T>
T Fail(T result) {
    g_failures.fetch_add(1, std::memory_order_relaxed);
    return result;
}

std::string SegmentName(const std::string& name) {
    return "/ovns-" + name;
}

// Opens the segment's header block alone: enough to read its version and
// capacity, whatever its size.
bool OpenHeader(const std::string& name, ShmSegment* seg, std::string* error) {
    return ShmOpen(SegmentName(name), kWrittenOffset, 0, false, nullptr, seg, nullptr, error);
}

// The layout of the existing segment `name`, from the capacity in its
// header: refused with the reason when the header is not this build's or
// the capacity is out of bounds.
bool ReadLayout(const std::string& name, Layout* layout, std::string* error) {
    ShmSegment seg;
    if (!OpenHeader(name, &seg, error)) return false;
    const auto* h = static_cast<const SegmentHeader*>(seg.Base);
    const uint64_t magic = h->Magic;
    const uint32_t version = h->Version;
    const uint32_t capacity = h->Capacity;
    const bool faulted = ShmFaults(seg) != 0;
    ShmClose(&seg);
    if (magic == kMagic && version != kVersion && !faulted) {
        // Made by another build of this library: its memory is laid out
        // otherwise, and reading it as this one would misread every value.
        if (error) {
            *error = "node space '" + name + "' has layout version " + std::to_string(version) +
                     ", this build reads version " + std::to_string(kVersion) + ": remove it with 'ovnode destroy' " +
                     "and create its nodes again from the layout ('ovnode load-layout')";
        }
        errno = EINVAL;
        return false;
    }
    if (magic != kMagic || faulted) {
        if (error) *error = "node space '" + name + "' has an unknown layout";
        errno = EINVAL;
        return false;
    }
    if (capacity < kMinCapacity || capacity > kMaxCapacity) {
        if (error)
            *error = "node space '" + name + "' has an unknown layout (a capacity of " + std::to_string(capacity) +
                     " nodes)";
        errno = EINVAL;
        return false;
    }
    *layout = LayoutFor(capacity);
    return true;
}

Space* NewSpace(const ShmSegment& seg, const Layout& l, const std::string& name) {
    auto* base = static_cast<uint8_t*>(seg.Base);
    auto* s = new Space;
    s->Segment = seg;
    s->L = l;
    s->Header = static_cast<SegmentHeader*>(seg.Base);
    s->Table = reinterpret_cast<NodeRecord*>(base + l.TableOffset);
    s->Slots = reinterpret_cast<std::atomic<uint64_t>*>(base + l.HashOffset);
    s->Values = reinterpret_cast<ValueEntry*>(base + l.ValuesOffset);
    s->Written = reinterpret_cast<std::atomic<uint64_t>*>(base + kWrittenOffset);
    s->Heap = base + l.HeapOffset;
    s->Name = name;
    return s;
}

// Maps node space `name`; with create, makes it with `capacity` nodes (0:
// the creation capacity, NodeSpaceCreationCapacity) when it does not exist.
Space* Map(const std::string& name, bool create, uint32_t capacity, std::string* error) {
    if (!ShmValidName(name)) {
        if (error) *error = "invalid node space name '" + name + "'";
        return nullptr;
    }
    // Twice at most: a creator that loses the race to another opens what the
    // other made.
    for (int attempt = 0; attempt < 2; ++attempt) {
        Layout l;
        if (ReadLayout(name, &l, error)) {
            ShmSegment seg;
            // The file must be as long as the capacity says (ShmOpen checks),
            // and the header keep the capacity it had.
            if (!ShmOpen(SegmentName(name), l.SegmentSize, 0, false, nullptr, &seg, nullptr, error)) return nullptr;
            const auto* h = static_cast<const SegmentHeader*>(seg.Base);
            if (h->Capacity != l.Capacity || ShmFaults(seg) != 0) {
                if (error) *error = "node space '" + name + "' has an unknown layout";
                ShmClose(&seg);
                return nullptr;
            }
            return NewSpace(seg, l, name);
        }
        if (errno != ENOENT) return nullptr;
        if (!create) {
            if (error) *error = "node space '" + name + "' does not exist";
            return nullptr;
        }
        uint32_t chosen = capacity;
        if (chosen == 0 && !NodeSpaceCreationCapacity(&chosen, error)) return nullptr;
        if (chosen < kMinCapacity || chosen > kMaxCapacity) {
            if (error)
                *error = "a node space holds " + std::to_string(kMinCapacity) + " to " + std::to_string(kMaxCapacity) +
                         " nodes, not " + std::to_string(chosen);
            return nullptr;
        }
        l = LayoutFor(chosen);
        auto init = [&l](void* base) {
            auto* h = static_cast<SegmentHeader*>(base);
            h->Magic = kMagic;
            h->Version = kVersion;
            h->Capacity = l.Capacity;
            // The rest of a fresh segment reads as zero: a free lock, no
            // nodes, no reserved chunks, no services, write generation 0.
        };
        ShmSegment seg;
        bool created = false;
        if (ShmOpen(SegmentName(name), l.SegmentSize, l.TableOffset, true, init, &seg, &created, error)) {
            if (created) return NewSpace(seg, l, name);
            ShmClose(&seg);  // another process made it first: opened as it is
        } else if (errno != EINVAL && errno != EEXIST) {
            return nullptr;
        }
    }
    if (error && error->empty()) *error = "node space '" + name + "' cannot be opened";
    return nullptr;
}

__attribute__((noinline)) Space* AttachDefault() {
    std::lock_guard<std::mutex> guard(g_attachLock);
    Space* s = g_space.load(std::memory_order_acquire);
    if (!s) {
        s = Map(NodeSpaceDefaultName(), true, 0, nullptr);
        g_space.store(s, std::memory_order_release);
    }
    return s;
}

// The attached node space, attaching to the default one on first use.
inline Space* Current() {
    Space* s = g_space.load(std::memory_order_acquire);
    return s ? s : AttachDefault();
}

// ---- names and the hash index ----

inline uint64_t HashName(const char* name, size_t len) {
    // FNV-1a over 8-byte words, then a final mix: cheap for the short
    // dotted names of a plant hierarchy and well spread over the slots.
    uint64_t h = 0xcbf29ce484222325ull ^ len;
    size_t i = 0;
    for (; i + 8 <= len; i += 8) {
        uint64_t w;
        std::memcpy(&w, name + i, 8);
        h = (h ^ w) * 0x100000001b3ull;
        h ^= h >> 29;
    }
    uint64_t tail = 0;
    std::memcpy(&tail, name + i, len - i);
    h = (h ^ tail) * 0x100000001b3ull;
    h ^= h >> 32;
    h *= 0xd6e8feb86659fd93ull;
    h ^= h >> 32;
    return h;
}

inline uint32_t Tag(uint64_t hash) {
    return static_cast<uint32_t>(hash >> 32) | 1u;
}

// The record of index, when it names one of the first count nodes and says so itself.
inline NodeRecord* RecordAt(Space* s, uint32_t index, int32_t count) {
    if (index == 0 || index > static_cast<uint32_t>(count)) return nullptr;
    NodeRecord* r = &s->Table[index - 1];
    uint32_t own;
    std::memcpy(&own, &r->Index, sizeof own);
    return own == index ? r : Fail<NodeRecord*>(nullptr);
}

// Whether a page of the segment went away under this process (ShmFaults):
// the segment is broken for good.
inline bool Broken(Space* s) {
    return s->Segment.Faults && s->Segment.Faults->load(std::memory_order_acquire) != 0;
}

// The number of nodes, bounded by the reserved tables and the capacity; 0
// once the segment is known to be broken. Inlined: every value access asks,
// and a count within its bounds costs two multiplications and four loads of
// the header's own words.
__attribute__((always_inline)) inline int32_t CountOf(Space* s) {
    int32_t count = s->Header->Count.load(std::memory_order_acquire);
    if (count <= 0) return 0;
    const uint64_t n = static_cast<uint32_t>(count);
    if (n <= s->L.Capacity && n * sizeof(NodeRecord) <= s->Header->TableReserved.load(std::memory_order_acquire) &&
        n * sizeof(ValueEntry) <= s->Header->ValuesReserved.load(std::memory_order_acquire)) {
        if (Broken(s)) return Fail(0);
        return count;
    }
    uint64_t fit = std::min<uint64_t>(
        std::min<uint64_t>(s->Header->TableReserved.load(std::memory_order_acquire) / sizeof(NodeRecord),
                           s->Header->ValuesReserved.load(std::memory_order_acquire) / sizeof(ValueEntry)),
        s->L.Capacity);
    if (static_cast<uint64_t>(count) > fit) return Fail(static_cast<int32_t>(fit));
    if (Broken(s)) return Fail(0);
    return count;
}

inline bool HashChunkReserved(Space* s, uint32_t slot) {
    uint32_t chunk = slot / s->L.HashChunkSlots;
    return (s->Header->HashReserved[chunk / 64].load(std::memory_order_acquire) >> (chunk % 64)) & 1;
}

// Finds the slot of name: returns its node index or 0. Looks at most at
// every slot once, and never into a chunk that was not reserved.
uint32_t Lookup(Space* s, const char* name, size_t len, int32_t count) {
    uint64_t h = HashName(name, len);
    uint32_t tag = Tag(h);
    const uint32_t slots = s->L.HashSlots;
    uint32_t mask = slots - 1;
    uint32_t i = static_cast<uint32_t>(h) & mask;
    for (uint32_t probes = 0; probes < slots; ++probes, i = (i + 1) & mask) {
        if (!HashChunkReserved(s, i)) return 0;
        uint64_t slot = s->Slots[i].load(std::memory_order_acquire);
        if (slot == 0) return 0;
        if (static_cast<uint32_t>(slot >> 32) != tag) continue;
        uint32_t index = static_cast<uint32_t>(slot);
        NodeRecord* r = RecordAt(s, index, count);
        if (r && std::memcmp(r->Name, name, len + 1) == 0) return index;
    }
    return 0;
}

// The empty slot where name goes, its chunk reserved; HashSlots when none
// can be had (*rc says why). Runs with the lock held.
uint32_t FreeSlot(Space* s, const char* name, size_t len, int32_t* rc) {
    const uint32_t slots = s->L.HashSlots;
    uint32_t mask = slots - 1;
    uint32_t i = static_cast<uint32_t>(HashName(name, len)) & mask;
    for (uint32_t probes = 0; probes < slots; ++probes, i = (i + 1) & mask) {
        if (!HashChunkReserved(s, i)) {
            uint32_t chunk = i / s->L.HashChunkSlots;
            int e = ShmReserve(s->Segment, s->L.HashOffset + size_t{chunk} * s->L.HashChunk, s->L.HashChunk);
            if (e != 0) {
                *rc = e;
                return slots;
            }
            s->Header->HashReserved[chunk / 64].fetch_or(uint64_t{1} << (chunk % 64), std::memory_order_release);
        }
        if (s->Slots[i].load(std::memory_order_relaxed) == 0) return i;
    }
    *rc = ENOSPC;
    return slots;
}

int32_t InsertSlot(Space* s, const char* name, size_t len, uint32_t index) {
    int32_t rc = 0;
    uint32_t i = FreeSlot(s, name, len, &rc);
    if (i == s->L.HashSlots) return rc;
    s->Slots[i].store((uint64_t{Tag(HashName(name, len))} << 32) | index, std::memory_order_release);
    return 0;
}

// Grows the reservation of [base, base + *reserved) to cover `need` bytes,
// in chunks, within `limit`. 0 or an errno value. Runs with the lock held.
int32_t ReserveUpTo(Space* s, size_t base, std::atomic<uint64_t>* reserved, uint64_t need, size_t chunk, size_t limit) {
    uint64_t have = reserved->load(std::memory_order_relaxed);
    if (need <= have && have <= limit) return 0;
    if (need > limit) return ENOSPC;
    uint64_t from = std::min<uint64_t>(have, need) & ~uint64_t{chunk - 1};
    uint64_t to = std::min<uint64_t>((need + chunk - 1) & ~uint64_t{chunk - 1}, limit);
    if (int e = ShmReserve(s->Segment, base + from, to - from)) return e;
    reserved->store(to, std::memory_order_release);
    return 0;
}

// A node as a value access sees it: its index and its value-table entry,
// the size read once from the entry. Index 0: no such node.
struct Node {
    uint32_t Index = 0;
    ValueEntry* Entry = nullptr;
    uint16_t Size = 0;
};

inline Node NodeAt(Space* s, uint32_t index) {
    Node n;
    n.Index = index;
    n.Entry = &s->Values[index - 1];
    std::memcpy(&n.Size, &n.Entry->Size, sizeof n.Size);
    return n;
}

// The index of a name that is not a record's own Name field: by its hash.
__attribute__((noinline)) uint32_t LookupName(Space* s, const char* name, int32_t count) {
    size_t len = strnlen(name, kNodeNameMax + 1);
    if (len == 0 || len > kNodeNameMax) return 0;
    return Lookup(s, name, len, count);
}

// The node a name refers to. The service passes the Name field of a node
// record straight from the table; that pointer (the first byte of one of the
// first count records, which lie in this process's own mapping) is
// recognised without hashing, and below a count found before (Known)
// without reading the header. Any other pointer is looked up by the text it
// points at. Either way the record must name itself by that index. Inlined
// into each operation: saves ask once per node.
__attribute__((always_inline)) inline Node FindNode(Space* s, const char* name) {
    if (!s || !name) return Node{};
    const uint64_t offset = reinterpret_cast<uintptr_t>(name) - reinterpret_cast<uintptr_t>(s->Table);
    // The index of the record whose Name the pointer is, among the first n; 0 if none.
    const auto ownName = [offset](int32_t n) {
        return offset < uint64_t(n) * sizeof(NodeRecord) && offset % sizeof(NodeRecord) == 0
                   ? static_cast<uint32_t>(offset / sizeof(NodeRecord)) + 1
                   : 0u;
    };
    const int32_t known = s->Known.load(std::memory_order_acquire);
    if (const uint32_t index = ownName(known); index != 0 && !Broken(s))
        return RecordAt(s, index, known) ? NodeAt(s, index) : Node{};
    const int32_t count = CountOf(s);
    if (count > known) s->Known.store(count, std::memory_order_release);
    uint32_t index = ownName(count);
    if (index == 0) index = LookupName(s, name, count);
    return RecordAt(s, index, count) ? NodeAt(s, index) : Node{};
}

// The node of an index, when its record says it is that node.
__attribute__((always_inline)) inline Node FindIndex(Space* s, uint32_t index) {
    if (!s || !RecordAt(s, index, CountOf(s))) return Node{};
    return NodeAt(s, index);
}

// ---- values ----

// The node's value words, when they lie whole in the reserved heap; else
// nullptr, counted as a failed access.
inline uint64_t* WordsOf(Space* s, const Node& n) {
    uint64_t off;
    std::memcpy(&off, &n.Entry->Offset, sizeof off);
    uint64_t limit = std::min<uint64_t>(s->Header->HeapReserved.load(std::memory_order_acquire), s->L.HeapSize);
    uint64_t bytes = (uint64_t{n.Size} + 7) & ~uint64_t{7};
    if ((off & 7) != 0 || off > limit || limit - off < bytes) return Fail<uint64_t*>(nullptr);
    return reinterpret_cast<uint64_t*>(s->Heap + off);
}

void CopyOut(const uint64_t* words, size_t offset, uint8_t* dst, size_t n) {
    size_t i = 0;
    while (i < n) {
        size_t pos = offset + i, b = pos & 7;
        // Acquire keeps the reader's second look at the sequence after
        // every word of the copy.
        uint64_t v = __atomic_load_n(&words[pos >> 3], __ATOMIC_ACQUIRE);
        size_t take = std::min<size_t>(8 - b, n - i);
        PMemCopy(dst + i, reinterpret_cast<uint8_t*>(&v) + b, take);
        i += take;
    }
}

void CopyIn(uint64_t* words, size_t offset, const uint8_t* src, size_t n) {
    size_t i = 0;
    while (i < n) {
        size_t pos = offset + i, b = pos & 7;
        size_t take = std::min<size_t>(8 - b, n - i);
        uint64_t v = 0;
        if (take != 8) v = __atomic_load_n(&words[pos >> 3], __ATOMIC_RELAXED);
        PMemCopy(reinterpret_cast<uint8_t*>(&v) + b, src + i, take);
        // Release keeps the odd sequence, stored before, ahead of every word.
        __atomic_store_n(&words[pos >> 3], v, __ATOMIC_RELEASE);
        i += take;
    }
}

void ZeroFill(uint64_t* words, size_t offset, size_t n) {
    static const uint8_t zeros[64] = {};
    while (n > 0) {
        size_t take = std::min<size_t>(n, sizeof zeros);
        CopyIn(words, offset, zeros, take);
        offset += take;
        n -= take;
    }
}

// Marks node `index` as written; with the lock held. A bit already set costs
// one load. The word's bit goes first, then its summary bit: a consumer that
// takes the summary and then the word gets the node either by this take or,
// its word taken before the bit was set, by the summary bit set after it
// (the two exchanges on the word order the summary's reading). The repair
// of a dead writer sets the summary bit even where the word's was set: its
// writer may have died between the two.
inline void MarkWritten(Space* s, uint32_t index, bool repair = false) {
    const uint32_t bit = index - 1;
    if (bit >= s->L.Capacity) return;
    const uint64_t mask = uint64_t{1} << (bit % 64);
    std::atomic<uint64_t>& word = s->Written[bit / 64];
    if ((word.load(std::memory_order_relaxed) & mask) == 0)
        word.fetch_or(mask, std::memory_order_acq_rel);
    else if (!repair)
        return;
    const uint32_t g = (bit / 64) >> s->L.SummaryShift;
    std::atomic<uint64_t>& summary = s->Header->WrittenSummary[g / 64];
    const uint64_t summaryMask = uint64_t{1} << (g % 64);
    if ((summary.load(std::memory_order_acquire) & summaryMask) == 0)
        summary.fetch_or(summaryMask, std::memory_order_release);
}

// Counts one change; runs with the lock held, so a plain increment of the
// shared word is enough. Release: the change's bytes come first.
inline void CountChange(SegmentHeader* h) {
    h->WriteGeneration.store(h->WriteGeneration.load(std::memory_order_relaxed) + 1, std::memory_order_release);
}

// Repairs what a lock holder that died left behind. Runs with the lock held.
void RepairAfterOwnerDied(Space* s) {
    SegmentHeader* h = s->Header;
    CountChange(h);  // it may have died after its change and before counting it
    int32_t count = CountOf(s);
    if (uint32_t w = h->Writing.load(std::memory_order_relaxed)) {
        if (w <= static_cast<uint32_t>(count) && RecordAt(s, w, count)) {
            std::atomic<uint32_t>& seq = s->Values[w - 1].Sequence;
            uint32_t v = seq.load(std::memory_order_relaxed);
            if (v & 1) seq.store(v + 1, std::memory_order_release);
            MarkWritten(s, w, true);
        }
        h->Writing.store(0, std::memory_order_relaxed);
    }
    if (uint32_t c = h->Creating.load(std::memory_order_relaxed)) {
        // The node became visible (Count) before its name went into the
        // index; finish that step if the holder did not.
        if (NodeRecord* r = RecordAt(s, c, count)) {
            size_t len = strnlen(r->Name, kNodeNameMax);
            if (Lookup(s, r->Name, len, count) != c) InsertSlot(s, r->Name, len, c);
        }
        h->Creating.store(0, std::memory_order_relaxed);
    }
}

long long MonotonicMs() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1000LL + ts.tv_nsec / 1000000;
}

// Until when no lock call waits (MonotonicMs): set when a live holder kept
// the lock past the deadline, so that every later call of a walk fails at
// once instead of waiting out a deadline of its own (a holder that keeps the
// lock, or lets go and takes it again between the calls, would otherwise
// cost a deadline a node).
std::atomic<long long> g_noWaitUntil{0};

// Takes the node space's lock: false, counted as a failed access, when a
// live holder keeps it past the deadline (or past no deadline at all, in
// the time after a deadline passed).
bool Lock(Space* s) {
    const long long until = g_noWaitUntil.load(std::memory_order_relaxed);
    const int deadline = until != 0 && MonotonicMs() < until ? 0 : kOwnerLockDeadlineMs;
    switch (OwnerLockAcquire(&s->Header->Lock, deadline)) {
        case LockResult::Taken:
            return true;
        case LockResult::TakenFromDead:
            RepairAfterOwnerDied(s);
            return true;
        case LockResult::TimedOut:
            break;
    }
    if (deadline != 0) g_noWaitUntil.store(MonotonicMs() + 2 * kOwnerLockDeadlineMs, std::memory_order_relaxed);
    return Fail(false);
}

void Unlock(Space* s) {
    OwnerLockRelease(&s->Header->Lock);
}

// ReadBytes past its first try, or for a value of more than one word.
__attribute__((noinline)) bool ReadBytesRetrying(Space* s, const Node& node, const uint64_t* words, size_t offset,
                                                 void* dst, size_t n) {
    std::atomic<uint32_t>& sequence = node.Entry->Sequence;
    auto* out = static_cast<uint8_t*>(dst);
    for (unsigned tries = 0; tries < 2000; ++tries) {
        uint32_t s1 = sequence.load(std::memory_order_acquire);
        if (s1 & 1) {
#if defined(__x86_64__) || defined(__i386__)
            __builtin_ia32_pause();
#endif
            continue;
        }
        if (offset == 0 && n - 1 < 8) {
            // The common small value: one word (never for 0 bytes, which
            // may lie at the end of the reserved heap).
            uint64_t v = __atomic_load_n(&words[0], __ATOMIC_ACQUIRE);
            PMemCopy(out, &v, n);
        } else {
            CopyOut(words, offset, out, n);
        }
        if (sequence.load(std::memory_order_relaxed) == s1) return true;
    }
    // The writer died mid-write (taking the lock repairs that), is slow, or
    // the sequence word was overwritten: with the lock held nobody writes,
    // so the value is whole and an odd sequence is garbage.
    if (!Lock(s)) return false;
    CopyOut(words, offset, out, n);
    uint32_t seq = sequence.load(std::memory_order_relaxed);
    if (seq & 1) sequence.store(seq + 1, std::memory_order_release);
    Unlock(s);
    return true;
}

// Copies n bytes from offset of the node's value, never torn. A value that
// stays odd or keeps changing is copied under the lock instead; false when
// that cannot be had either. A value of one word read at the first try (the
// common case of a walk over every node) takes the inlined path.
__attribute__((always_inline)) inline bool ReadBytes(Space* s, const Node& node, size_t offset, void* dst, size_t n) {
    const uint64_t* words = WordsOf(s, node);
    if (!words) return false;
    if (offset == 0 && n - 1 < 8) {
        // Never for 0 bytes, which may lie at the end of the reserved heap.
        std::atomic<uint32_t>& sequence = node.Entry->Sequence;
        const uint32_t s1 = sequence.load(std::memory_order_acquire);
        // Acquire keeps the second look at the sequence after the word.
        const uint64_t v = __atomic_load_n(&words[0], __ATOMIC_ACQUIRE);
        if ((s1 & 1) == 0 && sequence.load(std::memory_order_relaxed) == s1) {
            PMemCopy(dst, &v, n);
            return true;
        }
    }
    return ReadBytesRetrying(s, node, words, offset, dst, n);
}

// Writes n bytes at offset and zeros over [offset + n, zeroTo), under the lock.
bool WriteBytes(Space* s, const Node& node, size_t offset, const void* src, size_t n, size_t zeroTo) {
    uint64_t* words = WordsOf(s, node);
    if (!words) return false;
    if (!Lock(s)) return false;
    std::atomic<uint32_t>& sequence = node.Entry->Sequence;
    s->Header->Writing.store(node.Index, std::memory_order_relaxed);
    uint32_t seq = sequence.load(std::memory_order_relaxed);
    sequence.store(seq + 1, std::memory_order_relaxed);
    if (offset == 0 && n <= 8 && zeroTo <= 8 && (n | zeroTo) != 0) {
        // The common small value: its one word put together and stored
        // once, the bytes past n (and past zeroTo) as the two steps below
        // leave them.
        uint64_t v = std::max(n, zeroTo) == 8 ? 0 : __atomic_load_n(&words[0], __ATOMIC_RELAXED);
        auto* bytes = reinterpret_cast<uint8_t*>(&v);
        PMemCopy(bytes, src, n);
        if (zeroTo > n) std::memset(bytes + n, 0, zeroTo - n);
        __atomic_store_n(&words[0], v, __ATOMIC_RELEASE);
    } else {
        CopyIn(words, offset, static_cast<const uint8_t*>(src), n);
        if (zeroTo > offset + n) ZeroFill(words, offset + n, zeroTo - offset - n);
    }
    sequence.store(seq + 2, std::memory_order_release);
    s->Header->Writing.store(0, std::memory_order_relaxed);
    MarkWritten(s, node.Index);
    CountChange(s->Header);
    Unlock(s);
    return true;
}

// A whole-value write: the low-order bytes that fit, zeros after them.
__attribute__((always_inline)) inline bool WriteValue(Space* s, const Node& node, const void* src, size_t n) {
    return WriteBytes(s, node, 0, src, std::min<size_t>(n, node.Size), node.Size);
}

__attribute__((always_inline)) inline void ReadValue(Space* s, const Node& node, void* dst, size_t n) {
    ReadBytes(s, node, 0, dst, std::min<size_t>(n, node.Size));
}

uint16_t SizeForType(uint16_t type, uint16_t given) {
    int fixed = NodeSpaceFixedSize(type);
    return fixed < 0 ? given : static_cast<uint16_t>(fixed);
}

int32_t Create(const char* name, uint16_t type, uint16_t size) {
    Space* s = Current();
    if (!s || !name) return EINVAL;
    size_t len = strnlen(name, kNodeNameMax + 1);
    if (len == 0 || len > kNodeNameMax) return ENAMETOOLONG;
    SegmentHeader* h = s->Header;
    if (!Lock(s)) return ETIMEDOUT;
    int32_t count = h->Count.load(std::memory_order_relaxed);
    int32_t rc = 0;
    uint64_t blockBytes = (uint64_t{size} + 7) & ~uint64_t{7};
    uint64_t heapUsed = h->HeapUsed.load(std::memory_order_relaxed);
    const Layout& l = s->L;
    uint32_t slot = l.HashSlots;
    if (count < 0 || count != CountOf(s) || (heapUsed & 7) != 0 || heapUsed > l.HeapSize) {
        rc = Fail(EIO);  // counts that do not fit the segment: nothing is added to it
    } else if (Lookup(s, name, len, count) != 0) {
        rc = EEXIST;
    } else if (static_cast<uint32_t>(count) >= l.Capacity || heapUsed + blockBytes > l.HeapSize) {
        rc = ENOSPC;
    } else if ((rc = ReserveUpTo(s, l.TableOffset, &h->TableReserved,
                                 (uint64_t{static_cast<uint32_t>(count)} + 1) * sizeof(NodeRecord), kTableChunk,
                                 size_t{l.Capacity} * sizeof(NodeRecord))) != 0 ||
               (rc = ReserveUpTo(s, l.ValuesOffset, &h->ValuesReserved,
                                 (uint64_t{static_cast<uint32_t>(count)} + 1) * sizeof(ValueEntry), kValuesChunk,
                                 size_t{l.Capacity} * sizeof(ValueEntry))) != 0 ||
               (rc = ReserveUpTo(s, l.HeapOffset, &h->HeapReserved, heapUsed + blockBytes, kHeapChunk, l.HeapSize)) !=
                   0 ||
               (slot = FreeSlot(s, name, len, &rc)) == l.HashSlots) {
        // /dev/shm is full: nothing was written.
    } else {
        uint32_t index = static_cast<uint32_t>(count) + 1;
        NodeRecord* r = &s->Table[index - 1];
        std::memset(r, 0, sizeof *r);
        std::memcpy(r->Name, name, len);
        r->Type = type;
        r->Index = index;
        ValueEntry* e = &s->Values[index - 1];
        e->Sequence.store(0, std::memory_order_relaxed);
        e->Size = size;
        e->Type = type;
        e->Offset = heapUsed;
        // Fresh segment pages read as zero, so the value starts at 0.
        h->HeapUsed.store(heapUsed + blockBytes, std::memory_order_relaxed);
        h->Creating.store(index, std::memory_order_relaxed);
        h->Count.store(static_cast<int32_t>(index), std::memory_order_release);
        s->Slots[slot].store((uint64_t{Tag(HashName(name, len))} << 32) | index, std::memory_order_release);
        h->Creating.store(0, std::memory_order_relaxed);
        MarkWritten(s, index);
        CountChange(h);
    }
    Unlock(s);
    return rc;
}

}  // namespace

// ---- library operations ----

NodeLogChannelTag LogChannel;

int32_t NodeCount() {
    Space* s = Current();
    return s ? CountOf(s) : 0;
}

NodeRecord* NodeTable() {
    Space* s = Current();
    return s ? s->Table : nullptr;
}

namespace {

// Clears every written mark, handing each marked word to take(w, bits).
template <typename Take>
void TakeWrittenWords(Take take) {
    Space* s = Current();
    if (!s) return;
    const uint32_t words = s->L.WrittenWords;
    const uint32_t shift = s->L.SummaryShift;
    for (uint32_t sw = 0; sw < kSummaryWords && (sw * 64) << shift < words; ++sw) {
        std::atomic<uint64_t>& summary = s->Header->WrittenSummary[sw];
        if (summary.load(std::memory_order_relaxed) == 0) continue;
        uint64_t groups = summary.exchange(0, std::memory_order_acquire);
        while (groups) {
            const uint32_t g = sw * 64 + static_cast<uint32_t>(__builtin_ctzll(groups));
            groups &= groups - 1;
            for (uint32_t w = g << shift; w < ((g + 1) << shift) && w < words; ++w) {
                take(w, s->Written[w].exchange(0, std::memory_order_acq_rel));
            }
        }
    }
}

}  // namespace

void NodeTakeWritten(std::vector<uint32_t>* indexes) {
    TakeWrittenWords([indexes](uint32_t w, uint64_t bits) {
        while (bits) {
            indexes->push_back(w * 64 + static_cast<uint32_t>(__builtin_ctzll(bits)) + 1);
            bits &= bits - 1;
        }
    });
}

void NodeForgetWritten() {
    TakeWrittenWords([](uint32_t, uint64_t) {});
}

uint64_t NodeWriteGeneration() {
    Space* s = Current();
    return s ? s->Header->WriteGeneration.load(std::memory_order_acquire) : 0;
}

// Compares with a short literal without a call: saves ask for "Size" once
// per node.
template <size_t N>
inline bool SameText(const char* text, const char (&literal)[N]) {
    for (size_t i = 0; i < N; ++i) {
        if (text[i] != literal[i]) return false;
    }
    return true;
}

int32_t NodeGetAttribute(const char* name, const char* attribute, void* out, uint16_t size) {
    Node node = FindNode(Current(), name);
    if (!node.Index || !attribute || !out) return ENOENT;
    if (SameText(attribute, "Size")) {
        uint16_t v = node.Size;
        PMemCopy(out, &v, std::min<size_t>(size, sizeof v));
    } else if (SameText(attribute, "Type")) {
        uint16_t v;
        std::memcpy(&v, &node.Entry->Type, sizeof v);
        PMemCopy(out, &v, std::min<size_t>(size, sizeof v));
    } else if (SameText(attribute, "Index")) {
        uint32_t v = node.Index;
        PMemCopy(out, &v, std::min<size_t>(size, sizeof v));
    } else {
        return EINVAL;
    }
    return 0;
}

int32_t NodeCreate(const char* name, uint16_t type, uint16_t size, const char*, const char*) {
    return Create(name, type, SizeForType(type, size));
}

int32_t NodeCreateString(const char* name, uint16_t type, uint16_t size, const char*, const char*, void*, uint32_t,
                         uint32_t*) {
    return Create(name, type, SizeForType(type, size));
}

int32_t NodeWriteByName(const char* name, const void* value, uint16_t size) {
    Space* s = Current();
    Node node = FindNode(s, name);
    if (!node.Index || (!value && size)) return ENOENT;
    return WriteValue(s, node, value, size) ? 0 : EIO;
}

void NodeReadByName(const char* name, void* buffer, uint16_t size) {
    Space* s = Current();
    Node node = FindNode(s, name);
    if (node.Index && buffer) ReadValue(s, node, buffer, size);
}

int32_t NodeWriteStringByName(const char* name, const char* text) {
    Space* s = Current();
    Node node = FindNode(s, name);
    if (!node.Index || !text) return ENOENT;
    if (node.Size == 0) return ENOSPC;
    size_t n = strnlen(text, node.Size - 1u);
    return WriteBytes(s, node, 0, text, n, node.Size) ? 0 : EIO;
}

void NodeReadStringByName(const char* name, char* buffer, uint16_t size) {
    Space* s = Current();
    Node node = FindNode(s, name);
    if (!node.Index || !buffer || size == 0) return;
    size_t n = std::min<size_t>(size, node.Size);
    if (n == 0) {
        buffer[0] = 0;
        return;
    }
    if (!ReadBytes(s, node, 0, buffer, n)) return;
    if (!std::memchr(buffer, 0, n)) buffer[n == size ? n - 1 : n] = 0;
}

void NodeReadValue(uint32_t index, void* buffer, uint16_t size) {
    Space* s = Current();
    if (Node node = FindIndex(s, index); node.Index && buffer) ReadValue(s, node, buffer, size);
}

void NodeWriteValue(uint32_t index, const void* buffer, uint16_t size) {
    Space* s = Current();
    if (Node node = FindIndex(s, index); node.Index && buffer) WriteValue(s, node, buffer, size);
}

void NodeReadData(uint32_t index, void* buffer, uint16_t size) {
    Space* s = Current();
    if (Node node = FindIndex(s, index); node.Index && buffer) ReadValue(s, node, buffer, size);
}

void NodeWriteData(uint32_t index, const void* buffer, uint16_t size) {
    NodeWriteValue(index, buffer, size);
}

void NodeReadRange(uint32_t index, uint32_t offset, void* buffer, uint16_t size) {
    Space* s = Current();
    Node node = FindIndex(s, index);
    if (!node.Index || !buffer || offset >= node.Size) return;
    ReadBytes(s, node, offset, buffer, std::min<size_t>(size, node.Size - offset));
}

void NodeWriteRange(uint32_t index, uint32_t offset, const void* buffer, uint16_t size) {
    Space* s = Current();
    Node node = FindIndex(s, index);
    if (!node.Index || !buffer || offset >= node.Size) return;
    size_t n = std::min<size_t>(size, node.Size - offset);
    WriteBytes(s, node, offset, buffer, n, 0);
}

// ---- administration ----

std::string NodeSpaceDefaultName() {
    const char* env = getenv("OVNODE_SPACE");
    return env && *env ? env : "ovnodespace";
}

bool NodeSpaceAttach(const std::string& name, bool create, std::string* error, uint32_t capacity) {
    std::lock_guard<std::mutex> guard(g_attachLock);
    Space* old = g_space.load(std::memory_order_acquire);
    if (old && old->Name == name) return true;
    Space* s = Map(name, create, capacity, error);
    if (!s) return false;
    g_space.store(s, std::memory_order_release);
    if (old) {
        ShmClose(&old->Segment);
        delete old;
    }
    return true;
}

void NodeSpaceDetach() {
    std::lock_guard<std::mutex> guard(g_attachLock);
    Space* old = g_space.exchange(nullptr);
    if (old) {
        ShmClose(&old->Segment);
        delete old;
    }
}

namespace {

// Maps the pages of the value table and of the values in use into this
// process now, so that the service's first walk over them does not take a
// page fault every few nodes. Only reserved memory is touched (the bounds
// come from the header, each within its region); a kernel without
// MADV_POPULATE_READ (before 5.14) leaves it to the walk.
void PopulateValues(Space* s) {
    auto populate = [&](size_t offset, uint64_t bytes, uint64_t limit) {
        bytes = std::min(bytes, limit) & ~uint64_t{4095};
        if (bytes) madvise(static_cast<uint8_t*>(s->Segment.Base) + offset, bytes, MADV_POPULATE_READ);
    };
    SegmentHeader* h = s->Header;
    populate(s->L.ValuesOffset, h->ValuesReserved.load(std::memory_order_acquire),
             size_t{s->L.Capacity} * sizeof(ValueEntry));
    populate(
        s->L.HeapOffset,
        std::min(h->HeapUsed.load(std::memory_order_acquire) + 4095, h->HeapReserved.load(std::memory_order_acquire)),
        s->L.HeapSize);
}

}  // namespace

int32_t NodeClaimService(int32_t* holder, char* reason, uint16_t size) {
    auto say = [&](const std::string& text) {
        if (reason && size) {
            size_t n = std::min<size_t>(text.size(), size - 1u);
            std::memcpy(reason, text.data(), n);
            reason[n] = 0;
        }
    };
    // The node space the process is attached to, else the default one.
    Space* s = g_space.load(std::memory_order_acquire);
    std::string name = s ? s->Name : NodeSpaceDefaultName();
    std::string error;
    if (!s && !NodeSpaceAttach(name, true, &error)) {
        say(error);
        return ENODEV;
    }
    std::lock_guard<std::mutex> guard(g_attachLock);
    s = g_space.load(std::memory_order_acquire);
    pid_t other = 0;
    if (!s) {
        say("node space '" + name + "' is not attached");
        return ENODEV;
    }
    if (!ShmLockInstance(s->Segment, &other)) {
        if (holder) *holder = other;
        say("node space '" + name + "' is served by process " + std::to_string(other));
        return EBUSY;
    }
    PopulateValues(s);
    say("");
    return 0;
}

uint32_t NodeAccessFailures() {
    Space* s = g_space.load(std::memory_order_acquire);
    return g_failures.load(std::memory_order_relaxed) + (s ? ShmFaults(s->Segment) : 0);
}

int32_t NodeCheckValues(int32_t count, uint64_t* bytes, uint32_t* node) {
    if (bytes) *bytes = 0;
    if (node) *node = 0;
    Space* s = Current();
    if (!s) return ENODEV;
    const uint32_t n = static_cast<uint32_t>(std::max<int32_t>(0, std::min(count, CountOf(s))));
    SegmentHeader* h = s->Header;
    // The values in use, within the reserved heap and within the memory the
    // segment's file really holds: sizes and offsets of the entries are
    // judged against that, not against words any member may have written.
    uint64_t limit = std::min<uint64_t>(std::min<uint64_t>(h->HeapUsed.load(std::memory_order_acquire),
                                                           h->HeapReserved.load(std::memory_order_acquire)),
                                        s->L.HeapSize);
    struct stat st;
    if (fstat(s->Segment.Fd, &st) != 0) return Fail(EIO);
    limit = std::min<uint64_t>(limit, static_cast<uint64_t>(st.st_blocks) * 512);
    uint64_t end = 0, sum = 0;
    for (uint32_t i = 0; i < n; ++i) {
        ValueEntry* e = &s->Values[i];
        uint16_t size, type;
        uint64_t offset;
        std::memcpy(&size, &e->Size, sizeof size);
        std::memcpy(&type, &e->Type, sizeof type);
        std::memcpy(&offset, &e->Offset, sizeof offset);
        const int fixed = NodeSpaceFixedSize(type);
        const uint64_t block = (uint64_t{size} + 7) & ~uint64_t{7};
        if ((offset & 7) != 0 || offset < end || offset > limit || limit - offset < block ||
            (fixed >= 0 && size != fixed)) {
            if (node) *node = i + 1;
            return Fail(EIO);
        }
        end = offset + block;
        sum += size;
    }
    if (bytes) *bytes = sum;
    return 0;
}

int32_t NodeSpaceSound() {
    Space* s = Current();
    return s ? ShmSound(s->Segment) : ENODEV;
}

int32_t NodeMarkAdopted(const void* mark, uint16_t size) {
    Space* s = Current();
    if (!s || size > kAdoptionMarkSize || (size && !mark)) return EINVAL;
    if (!Lock(s)) return ETIMEDOUT;
    SegmentHeader* h = s->Header;
    std::memset(h->Adopted, 0, sizeof h->Adopted);
    if (size) std::memcpy(h->Adopted, mark, size);
    h->AdoptedSize = size;
    Unlock(s);
    return 0;
}

uint16_t NodeAdoptedMark(void* mark, uint16_t size) {
    if (mark && size) std::memset(mark, 0, size);
    Space* s = Current();
    if (!s || !mark || !Lock(s)) return 0;
    SegmentHeader* h = s->Header;
    // Any group member may have written the size: bounded before use.
    const uint16_t stored = static_cast<uint16_t>(std::min<uint32_t>(h->AdoptedSize, kAdoptionMarkSize));
    const uint16_t n = std::min(stored, size);
    std::memcpy(mark, h->Adopted, n);
    Unlock(s);
    return n;
}

pid_t NodeSpaceServiceHolder(const std::string& name) {
    return ShmValidName(name) ? ShmInstanceHolder(SegmentName(name), false) : 0;
}

pid_t NodeSpaceServiceProcess(const std::string& name, const std::string& program, uint64_t* startTime,
                              std::string* error) {
    const pid_t holder = ShmValidName(name) ? ShmInstanceHolder(SegmentName(name), true) : 0;
    if (holder == 0) {
        if (error) *error = "the service is not running on node space '" + name + "'";
        return 0;
    }
    if (holder < 0) {
        if (error) *error = "the service of node space '" + name + "' cannot be named from here";
        return 0;
    }
    const std::string who = "process " + std::to_string(holder);
    const uint64_t start = ProcessStartTime(holder);
    const std::string exe = ProcessExecutable(holder);
    const size_t slash = exe.rfind('/');
    const std::string base = slash == std::string::npos ? exe : exe.substr(slash + 1);
    std::string why;
    if (holder == 1)
        why = who + " holds node space '" + name + "' but is the system's first process";
    else if (start == 0 || exe.empty())
        why = who + " holds node space '" + name + "' but cannot be examined";
    else if (base != program)
        why = who + " holds node space '" + name + "' but runs " + exe + ", not " + program;
    if (why.empty()) {
        // The segment under the name is the one the process holds; that it
        // is this node space's, the process itself says: it serves the node
        // space its environment named when it started.
        std::string served;
        bool read = false;
        if (!ProcessEnvironment(holder, "OVNODE_SPACE", &served, &read) || served.empty()) served = "ovnodespace";
        if (!read)
            why = who + " holds node space '" + name + "' but cannot be examined";
        else if (served != name)
            why = who + " holds the segment named '" + name + "' but serves node space '" + served + "'";
    }
    if (!why.empty()) {
        if (error) *error = why + ": nothing sent";
        return 0;
    }
    *startTime = start;
    return holder;
}

bool NodeSpaceOwner(const std::string& name, uid_t* owner) {
    return ShmValidName(name) && ShmOwner(SegmentName(name), owner);
}

bool NodeSpaceExists(const std::string& name) {
    return ShmValidName(name) && ShmExists(SegmentName(name));
}

bool NodeSpaceDestroy(const std::string& name, std::string* error) {
    if (!ShmValidName(name)) {
        if (error) *error = "invalid node space name '" + name + "'";
        return false;
    }
    if (!ShmUnlink(SegmentName(name), error)) {
        if (error && errno == ENOENT) *error = "node space '" + name + "' does not exist";
        return false;
    }
    return true;
}

int NodeSpaceFixedSize(uint16_t type) {
    switch (type) {
        case 1:
        case 3:
            return 1;
        case 4:
        case 5:
            return 2;
        case 6:
        case 7:
            return 4;
        case 2:
            return 0;
        default:
            return -1;
    }
}

uint32_t NodeSpaceCapacity() {
    Space* s = g_space.load(std::memory_order_acquire);
    return s ? s->L.Capacity : 0;
}

bool NodeSpaceCreationCapacity(uint32_t* capacity, std::string* error) {
    *capacity = kDefaultCapacity;
    const char* env = getenv("OVNODE_CAPACITY");
    if (!env || !*env) return true;
    uint64_t v = 0;
    const char* p = env;
    for (; *p >= '0' && *p <= '9' && v <= kMaxCapacity; ++p) v = v * 10 + static_cast<uint64_t>(*p - '0');
    if (*p != '\0' || v < kMinCapacity || v > kMaxCapacity) {
        if (error)
            *error = "OVNODE_CAPACITY must be a number of nodes from " + std::to_string(kMinCapacity) + " to " +
                     std::to_string(kMaxCapacity) + ", not '" + std::string(env).substr(0, 40) + "'";
        return false;
    }
    *capacity = static_cast<uint32_t>(v);
    return true;
}

const NodeRecord* NodeSpaceRecord(uint32_t index) {
    Space* s = Current();
    return s ? RecordAt(s, index, CountOf(s)) : nullptr;
}

uint32_t NodeSpaceFind(const char* name) {
    return FindNode(Current(), name).Index;
}

uint16_t NodeSpaceValueSize(const NodeRecord* record) {
    return record ? FindNode(Current(), record->Name).Size : 0;
}

// Service registration lives in registration.cpp; it needs the header.
SegmentHeader* NodeSpaceHeaderForRegistration() {
    Space* s = Current();
    return s ? s->Header : nullptr;
}
