// pmem.h - the platform's memory allocation, with a seam for injected faults.
//
// Thread-safe. PMemAlloc returns nullptr when the memory cannot be had (or a
// fault is injected); PMemFree accepts nullptr.
#pragma once

#include <cstddef>

void* PMemAlloc(size_t size);
void PMemFree(void* block);

// Makes allocation number `nth` (1 = the next) fail; 0 clears the fault.
void PMemInjectFault(unsigned nth);
