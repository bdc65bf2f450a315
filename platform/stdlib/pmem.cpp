// Memory allocation over malloc, with the injected-fault seam and a
// small-block fast path.
#include "stdlib/pmem.h"

#include <errno.h>
#include <malloc.h>
#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <cstdlib>

#include "stdlib/fault_seam.h"

namespace {

std::atomic<uint64_t> AllocCalls{0};
std::atomic<uint64_t> FailAt{0};  // 0: no fault armed
std::atomic<bool> FailSticky{false};

bool AllocFaultHit() {
    uint64_t target = FailAt.load(std::memory_order_acquire);
    if (target == 0) return false;  // counted only while a fault is armed
    uint64_t n = AllocCalls.fetch_add(1, std::memory_order_relaxed) + 1;
    if (n < target) return false;
    return n == target || FailSticky.load(std::memory_order_relaxed);
}

// Every block starts with a header of one alignment unit that names its size
// class (kLarge: not cached), so that the block handed out keeps malloc's
// 16-byte alignment and PMemFree knows where the block goes.
constexpr size_t kHeader = 16;
constexpr size_t kClassBytes = 16;
constexpr size_t kClasses = 32;  // blocks of up to 512 bytes are cached
constexpr uint32_t kLarge = 0xFFFFFFFFu;

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
// Under the sanitizers every block goes back to malloc, so that a use after
// release is still caught.
constexpr bool kCache = false;
#else
constexpr bool kCache = true;
#endif

// One released block per size class and thread, handed out again by the
// next allocation of that class: a walk that allocates and releases one
// small buffer per node then never reaches malloc after the first nodes.
struct ThreadCache {
    void* Slot[kClasses] = {};
    ~ThreadCache() {
        for (void*& block : Slot) {
            std::free(block);
            block = nullptr;
        }
    }
};
thread_local ThreadCache Cache;

inline uint32_t ClassOf(size_t size) {
    size_t c = (size + kClassBytes - 1) / kClassBytes;  // 1..kClasses for cached sizes
    return c >= 1 && c <= kClasses ? static_cast<uint32_t>(c - 1) : kLarge;
}

}  // namespace

void* PMemAlloc(size_t size) {
    ArmFaultsFromEnvironment();
    if (AllocFaultHit()) {
        errno = ENOMEM;
        return nullptr;
    }
    if (size == 0) size = 1;
    const uint32_t cls = ClassOf(size);
    uint8_t* block = nullptr;
    if (kCache && cls != kLarge && Cache.Slot[cls] != nullptr) {
        block = static_cast<uint8_t*>(Cache.Slot[cls]);
        Cache.Slot[cls] = nullptr;
    } else {
        // A cached class gets its whole class size, so any block of the
        // class can serve any request of it.
        size_t bytes = cls == kLarge ? size : (cls + 1) * kClassBytes;
        if (bytes > SIZE_MAX - kHeader) {
            errno = ENOMEM;
            return nullptr;
        }
        block = static_cast<uint8_t*>(std::malloc(kHeader + bytes));
        if (!block) {
            errno = ENOMEM;
            return nullptr;
        }
        *reinterpret_cast<uint32_t*>(block) = cls;
    }
    return block + kHeader;
}

void PMemFree(void* memory) {
    if (memory == nullptr) return;
    uint8_t* block = static_cast<uint8_t*>(memory) - kHeader;
    const uint32_t cls = *reinterpret_cast<uint32_t*>(block);
    if (kCache && cls != kLarge && Cache.Slot[cls] == nullptr) {
        Cache.Slot[cls] = block;
        return;
    }
    std::free(block);
}

void PMemInjectFault(unsigned nth, bool sticky) {
    FailSticky.store(sticky, std::memory_order_relaxed);
    uint64_t target = nth == 0 ? 0 : AllocCalls.load(std::memory_order_relaxed) + nth;
    FailAt.store(target, std::memory_order_release);
}

void PMemPrefault(void* block, size_t size) {
#ifndef MADV_POPULATE_WRITE
#define MADV_POPULATE_WRITE 23  // Linux 5.14; older kernels refuse it (EINVAL)
#endif
    if (!block || size == 0) return;
    const uintptr_t page = static_cast<uintptr_t>(sysconf(_SC_PAGESIZE));
    const uintptr_t start = (reinterpret_cast<uintptr_t>(block) + page - 1) & ~(page - 1);
    const uintptr_t end = (reinterpret_cast<uintptr_t>(block) + size) & ~(page - 1);
    const int saved = errno;
    if (end > start) madvise(reinterpret_cast<void*>(start), end - start, MADV_POPULATE_WRITE);
    errno = saved;
}

void PMemReturnLargeBlocks(size_t size) {
    // A threshold set here stays: the allocator no longer raises it (and the
    // heap's trim threshold with it) to the size of the last large block
    // released.
    mallopt(M_MMAP_THRESHOLD, static_cast<int>(size));
}
