// retain_dir_claim.h - one service per retain directory.
//
// Two node spaces whose services resolve OutPath to the same directory
// would set aside and overwrite each other's files. The service that first
// touches a retain directory claims it: an exclusive lock (flock) on the
// file OvRetain.lock in it, which holds the claimant's pid as decimal text
// and a newline, written when the lock is taken. The lock is held until the
// process ends; the file stays.
//
// The claim is checked again before every save and load: it holds while
// the file named OvRetain.lock in the directory is still the very file
// (device and inode) whose lock this process holds. A lock file that was
// removed (by a person who took it for stale) or replaced, or a directory
// made anew under the same path, is claimed afresh: when another process
// took the directory this process had claimed (it holds the new lock file,
// or the lock file names it although it has ended: it may have written its
// own node space's files there), the claim is lost for the rest of the run.
// A claim taken afresh in the directory this process had claimed, from a
// lock file that names no other process, gives one "WRN" line ("Retain
// directory claimed again: ...").
//
// A directory that did not exist when the start-up check ran
// (NoteRetainDirectoryAbsent) was made afterwards: while this process has not
// claimed it, a lock file there that names another process means that process
// made it and wrote there, and the claim is refused the same way.
//
// ClaimRetainDirectory runs with the retain-file lock held (retain_file.h),
// on the thread of the start-up check, a save or a load. Apart from that
// line it reports nothing: the caller says what a refusal means.
#pragma once

#include <sys/types.h>

#include "stdlib/pdir.h"

// True when this process holds the claim of dir (taken now or before).
// False when another process holds it (*holder its pid, 0 when the file
// names none; errno EWOULDBLOCK) or the lock could not be taken (errno).
bool ClaimRetainDirectory(PDir* dir, pid_t* holder);
void NoteRetainDirectoryAbsent();
