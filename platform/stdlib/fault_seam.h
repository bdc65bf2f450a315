// fault_seam.h - internal to platform/stdlib: the shared start of the fault
// seam of pfile.h and pmem.h.
//
// ArmFaultsFromEnvironment reads $OVRT_FAULT once per process (the first
// call does the work, later calls return at once) and arms what it names.
// Thread-safe.
#pragma once

#include "stdlib/pfile.h"

void ArmFaultsFromEnvironment();
// Checks call number n of op against its armed fault: true (with errno set)
// when the call must fail.
bool PFileFaultHit(PFileOp op);
