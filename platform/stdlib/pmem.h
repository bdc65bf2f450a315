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

void* PMemAlloc(size_t size);
void PMemFree(void* block);
// Asks the system to back the pages of [block, block + size) with memory now,
// in one call, rather than one page fault at a time as they are first
// written: for a large buffer about to be filled. A hint only: where the
// system cannot, the pages fault in as usual.
void PMemPrefault(void* block, size_t size);

// Makes allocation number `nth` (1 = the next) fail, and every later one
// while `sticky`; 0 clears the fault. Allocations of all threads count.
void PMemInjectFault(unsigned nth, bool sticky = false);
