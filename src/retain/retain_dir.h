// retain_dir.h - the directory that holds the retain and backup files,
// opened once for each save, load or start-up check.
//
// OpenRetainDirectory opens the directory of a retain path (see pdir.h: its
// last component never through a symbolic link) and gives the file's name
// in it; every file operation of that save, load or check is then relative
// to it. When the service runs as root, a directory owned by another user
// or writable by others without the sticky bit is refused.
//
// Called with the retain-file lock held (retain_file.h), from any thread.
// Failures report one "ERR" line and return nullptr, except a directory
// that does not exist when none is to be made: that is no file at all, so
// nothing is reported (errno ENOENT, or ENOTDIR when a component of its path
// is a file).
#pragma once

#include <string>

#include "stdlib/pdir.h"

// With create (a save) the missing directories are made first.
PDir* OpenRetainDirectory(const char* path, bool create, std::string* name);
// One "ERR" line for a step on a retain file that failed with `error`
// ("Retain file open failed: Permission denied"); a name that is not a
// regular file (see PDirOpenRead) is said so.
void ReportRetainFileError(const char* step, int error);
// The last component of a retain or backup path.
std::string RetainFileName(const char* path);
