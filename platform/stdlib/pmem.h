// pmem.h - the platform's memory allocation, with a seam for injected faults.
//
// Thread-safe. PMemAlloc returns nullptr (errno ENOMEM) when the memory
// cannot be had or a fault is injected; PMemAlloc(0) returns a valid block
// of no usable bytes. PMemFree accepts nullptr. Faults can also be armed
// through $OVRT_FAULT="alloc:nth:ENOMEM" (see pfile.h).
//
// Small blocks are cheap to allocate and release again and again: a block of
// up to 512 bytes that a thread releases is kept, one per 16-byte size class
// and thread, and handed out to that thread's next allocation of the class
// instead of going back to malloc (not in sanitizer builds, which release
// every block). Each allocation is still a block of its own, never shared
// with another that is held; a thread's kept blocks are released when it ends.
#pragma once

#include <cstddef>
#include <cstring>

void* PMemAlloc(size_t size);
void PMemFree(void* block);
// Asks the system to back the pages of [block, block + size) with memory now,
// in one call, rather than one page fault at a time as they are first
// written: for a large buffer about to be filled. A hint only: where the
// system cannot, the pages fault in as usual.
void PMemPrefault(void* block, size_t size);

// For a process that lives long beside large passing buffers (a retain file
// read whole, a layout record built): every block of `size` bytes or more
// gets pages of its own that go back to the system when it is released,
// instead of staying in the allocator's heap as the process's memory for
// good. Call once, before the threads start.
void PMemReturnLargeBlocks(size_t size);

// Makes allocation number `nth` (1 = the next) fail, and every later one
// while `sticky`; 0 clears the fault. Allocations of all threads count.
void PMemInjectFault(unsigned nth, bool sticky = false);

// memcpy and memset for the buffers of single values: the sizes that values
// mostly have (1, 2, 4 and 8 bytes) are plain moves, without a library call;
// any other size is memcpy's or memset's.
inline void PMemCopy(void* to, const void* from, size_t size) {
    switch (size) {
        case 1:
            std::memcpy(to, from, 1);
            break;
        case 2:
            std::memcpy(to, from, 2);
            break;
        case 4:
            std::memcpy(to, from, 4);
            break;
        case 8:
            std::memcpy(to, from, 8);
            break;
        default:
            std::memcpy(to, from, size);
            break;
    }
}
inline void PMemZero(void* to, size_t size) {
    switch (size) {
        case 1:
            std::memset(to, 0, 1);
            break;
        case 2:
            std::memset(to, 0, 2);
            break;
        case 4:
            std::memset(to, 0, 4);
            break;
        case 8:
            std::memset(to, 0, 8);
            break;
        default:
            std::memset(to, 0, size);
            break;
    }
}
