// rt_internal.h - what the parts of the kernel layer share among themselves:
// the object table (rt_objects.cpp) and the shared catalogue (rt_catalog.cpp).
//
// Lock order: the object table's lock, then the catalogue's process-local
// lock, then the catalogue segment's robust lock. The catalogue functions
// take their own locks; callers may hold the table's.
#pragma once

#include <cstdint>
#include <mutex>

#include "rtkernel.h"

enum class RtEntryKind : uint8_t { Free = 0, Process = 1, Thread = 2, Semaphore = 3 };

// Sets up the layer's process-local state (and its fork handlers) once.
void RtKernelInit();

// The process-local lock of the catalogue (held across fork, see rt_objects).
std::mutex& RtCatalogLock();

// Enters an object of the calling process in the root catalogue or in the
// process's own. False when the name is taken by a live process, the
// catalogue is full or cannot be opened.
bool RtCatalogInsert(bool root, RtEntryKind kind, RTHANDLE handle, int tid, int priority, const char* name);
// Removes `name` from the root catalogue or the calling process's own.
bool RtCatalogRemove(bool root, const char* name);
// Shows a new priority in every entry of thread `handle` of this process.
void RtCatalogSetPriority(RTHANDLE handle, int priority);
// Removes every entry of object `handle` of this process.
void RtCatalogDropHandle(RTHANDLE handle);
