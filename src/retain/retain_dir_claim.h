// retain_dir_claim.h - one service per retain directory.
//
// Two node spaces whose services resolve OutPath to the same directory
// would set aside and overwrite each other's files. The service that first
// touches a retain directory claims it: an exclusive lock (flock) on the
// file OvRetain.lock in it, which holds the claimant's pid as decimal text
// and a newline, written when the lock is taken. The lock is held until the
// process ends; the file stays.
//
// ClaimRetainDirectory runs with the retain-file lock held (retain_file.h),
// on the thread of the start-up check or of a save. It reports nothing: the
// caller says what a refusal means.
#pragma once

#include <sys/types.h>

#include "stdlib/pdir.h"

// True when this process holds the claim of dir (taken now or before).
// False when another process holds it (*holder its pid, 0 when the file
// names none; errno EWOULDBLOCK) or the lock could not be taken (errno).
bool ClaimRetainDirectory(PDir* dir, pid_t* holder);
