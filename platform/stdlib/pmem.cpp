// Memory allocation over malloc, with the injected-fault seam.
#include "stdlib/pmem.h"

#include <errno.h>

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

}  // namespace

void* PMemAlloc(size_t size) {
    ArmFaultsFromEnvironment();
    if (AllocFaultHit()) {
        errno = ENOMEM;
        return nullptr;
    }
    void* block = std::malloc(size == 0 ? 1 : size);
    if (!block) errno = ENOMEM;
    return block;
}

void PMemFree(void* block) {
    std::free(block);
}

void PMemInjectFault(unsigned nth, bool sticky) {
    FailSticky.store(sticky, std::memory_order_relaxed);
    uint64_t target = nth == 0 ? 0 : AllocCalls.load(std::memory_order_relaxed) + nth;
    FailAt.store(target, std::memory_order_release);
}
