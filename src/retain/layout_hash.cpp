// The layout hash: the fold of the node names' digests.
#include "retain/layout_hash.h"

#include <atomic>
#include <cstring>
#include <mutex>

#include "nodespace/ovhgapi.h"
#include "retain/md5.h"
#include "retain/records_ahead.h"
#include "retain/second_thread.h"

namespace {

std::atomic<uint32_t> CachedLayoutHash{0};
// How many node records the cached hash was folded from; set once, together
// with the hash, under FoldPublishLock.
std::atomic<int32_t> CachedLayoutCount{0};
std::mutex FoldPublishLock;
// The keys of the published fold, until TakeLayoutNodeKeys hands them over.
std::vector<uint32_t> FoldKeys;

uint32_t LoadLe32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
           static_cast<uint32_t>(p[3]) << 24;
}

// Nodes [Begin, End) of Table, whose keys go to Keys[Begin, End).
struct KeyRange {
    const NodeRecord* Table;
    uint32_t* Keys;
    int32_t Begin;
    int32_t End;
};

// A table of at least this many nodes is digested on two threads.
constexpr int32_t kKeysHalvedFrom = 1 << 14;

// Each node's key: the first four bytes of its name's digest.
void DigestKeys(const KeyRange& range) {
    for (int32_t i = range.Begin; i < range.End; ++i) {
        NameAhead(range.Table, i, range.End, 4);
        uint8_t digest[16];
        // The library keeps every name zero-terminated; the bound only
        // guards against a record that is not.
        const char* name = range.Table[i].Name;
        Md5Digest(name, strnlen(name, sizeof range.Table[i].Name), digest);
        range.Keys[i] = LoadLe32(digest);
    }
}

void DigestKeysOf(void* range) {
    DigestKeys(*static_cast<const KeyRange*>(range));
}

}  // namespace

void DigestText(uint8_t out[16], const char* text) {
    Md5Digest(text, std::strlen(text), out);
}

uint32_t ComputeLayoutHash() {
    uint32_t cached = CachedLayoutHash.load(std::memory_order_acquire);
    if (cached != 0) return cached;
    uint32_t h = 0;
    const int32_t count = NodeCount();
    const NodeRecord* table = NodeTable();
    std::vector<uint32_t> keys;
    if (table && count > 0) {
        keys.resize(static_cast<size_t>(count));
        // A large table's second half is digested on the second thread.
        KeyRange whole{table, keys.data(), 0, count};
        KeyRange second{table, keys.data(), count / 2, count};
        const bool halved = count >= kKeysHalvedFrom && SecondThreadBegin(DigestKeysOf, &second);
        if (halved) whole.End = second.Begin;
        DigestKeys(whole);
        if (halved) SecondThreadEnd();
        for (int32_t i = 0; i < count; ++i) h = ((h << 1) | (h >> 31)) + keys[static_cast<size_t>(i)];
    }
    // Only the finished fold is published; a result of 0 is not cached. The
    // first fold to finish is kept with its node count, so the two always
    // belong together.
    if (h == 0) return h;
    std::lock_guard<std::mutex> guard(FoldPublishLock);
    if (CachedLayoutHash.load(std::memory_order_acquire) == 0) {
        CachedLayoutCount.store(table ? count : 0, std::memory_order_relaxed);
        FoldKeys = std::move(keys);
        CachedLayoutHash.store(h, std::memory_order_release);
    }
    return CachedLayoutHash.load(std::memory_order_acquire);
}

int32_t LayoutHashNodeCount() {
    if (CachedLayoutHash.load(std::memory_order_acquire) == 0) return 0;
    return CachedLayoutCount.load(std::memory_order_relaxed);
}

std::vector<uint32_t> TakeLayoutNodeKeys() {
    std::lock_guard<std::mutex> guard(FoldPublishLock);
    std::vector<uint32_t> keys;
    keys.swap(FoldKeys);
    return keys;
}

void ForgetLayoutHash() {
    std::lock_guard<std::mutex> guard(FoldPublishLock);
    CachedLayoutHash.store(0, std::memory_order_release);
    CachedLayoutCount.store(0, std::memory_order_relaxed);
    FoldKeys.clear();
}
