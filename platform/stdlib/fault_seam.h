// fault_seam.h - internal to platform/stdlib: the shared start of the fault
// seam of pfile.h and pmem.h.
//
// ArmFaultsFromEnvironment reads $OVRT_FAULT and $OVRT_HOLD once per process (the first
// call does the work, later calls return at once) and arms what it names.
// Thread-safe.
#pragma once

#include <atomic>
#include <cstdint>

#include "stdlib/pfile.h"

// Set once $OVRT_FAULT has been read; bit op of FileFaultsArmed set while a
// fault of that file operation is armed. The checks below cost one load each
// when nothing is armed: saves make them once per node.
extern std::atomic<bool> FaultEnvironmentRead;
extern std::atomic<uint32_t> FileFaultsArmed;

void ReadFaultEnvironment();
inline void ArmFaultsFromEnvironment() {
    if (!FaultEnvironmentRead.load(std::memory_order_acquire)) ReadFaultEnvironment();
}
// Counts a call of op while a fault of it is armed; see PFileFaultHit.
bool PFileFaultCounted(PFileOp op);
// Checks call number n of op against its armed fault: true (with errno set)
// when the call must fail.
inline bool PFileFaultHit(PFileOp op) {
    ArmFaultsFromEnvironment();
    if ((FileFaultsArmed.load(std::memory_order_acquire) & (1u << op)) == 0) return false;
    return PFileFaultCounted(op);
}

// Bit op of FileHoldsArmed set while a hold ($OVRT_HOLD) of that operation
// waits for its call: one load when none does.
extern std::atomic<uint32_t> FileHoldsArmed;
// Counts a call of op on the file named `name` (a path: its last component
// counts) and, at the armed call, holds it until the gate is removed.
void PFileHoldCounted(PFileOp op, const char* name);
inline void PFileHoldAt(PFileOp op, const char* name) {
    ArmFaultsFromEnvironment();
    if ((FileHoldsArmed.load(std::memory_order_acquire) & (1u << op)) == 0 || !name) return;
    PFileHoldCounted(op, name);
}
