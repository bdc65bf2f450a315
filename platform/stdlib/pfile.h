// pfile.h - the platform's file operations, with a seam for injected faults.
//
// A PFile is a buffered file handle, like stdio's, opened for reading ("rb")
// or for writing ("wb": created or truncated). Paths of the drive form
// "X:\dir\name" are mapped onto "<drive root>/X/dir/name", backslashes
// becoming slashes; the drive root is $OVRT_DRIVES, else
// $HOME/.local/share/ovretain/drives (/var/lib/ovretain/drives for root).
// Other paths are used as they are.
//
// Contract: one thread uses a PFile at a time. Every operation that can fail
// returns false (or SIZE_MAX / nullptr) and leaves errno set; a failure is
// never hidden. Writes are buffered until PFileFlush or PFileClose.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

struct PFile;

// Maps a path of the drive form onto this machine; others come back as given.
std::string PFileMapPath(const char* path);

PFile* PFileOpen(const char* path, const char* mode);
// Reads exactly size bytes. False at end of file or on an error.
bool PFileRead(PFile* file, void* buffer, size_t size);
// Writes size bytes into the buffer (and to the file when it fills).
bool PFileWrite(PFile* file, const void* buffer, size_t size);
bool PFileSeek(PFile* file, int64_t offset);
// Writes out buffered bytes.
bool PFileFlush(PFile* file);
// Flushes and forces the file's data to the storage device.
bool PFileSync(PFile* file);
// Flushes and closes; the handle is released even when this fails.
bool PFileClose(PFile* file);

bool PFileRemove(const char* path);
// Replaces `to` by `from` atomically.
bool PFileRename(const char* from, const char* to);
// Forces the directory entry changes of the directory holding `path`.
bool PFileSyncDir(const char* path);
// Creates the missing directories above `path` (the last component is a
// file name and is not created).
bool PFileMakeParents(const char* path);
bool PFileExists(const char* path);

// Fault injection for tests. Each operation counts its calls; the fault
// makes call number `nth` (1 = the next) of `op`, and every later one while
// `sticky`, fail with `error`. Also set from $OVRT_FAULT="op:nth:ERRNAME".
enum PFileOp { PF_OPEN, PF_READ, PF_WRITE, PF_SEEK, PF_FLUSH, PF_SYNC, PF_CLOSE, PF_REMOVE, PF_RENAME, PF_SYNCDIR,
               PF_MKDIR, PF_OP_COUNT };
void PFileInjectFault(PFileOp op, unsigned nth, int error, bool sticky = false);
void PFileClearFaults();
const char* PFileOpName(PFileOp op);
