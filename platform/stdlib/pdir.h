// pdir.h - file operations relative to one open directory, so that a
// directory path is resolved once per operation and nothing planted in it
// (a symbolic link, a FIFO, a device) is followed or blocks.
//
// A PDir holds one descriptor of a directory, opened with O_DIRECTORY and
// O_NOFOLLOW on its last component (a symbolic link there fails with ELOOP
// or ENOTDIR). Every operation below works on a plain name inside it (no
// '/'; the callers pass file names such as "OvRetain.bin"):
//   - reads open the name with O_NOFOLLOW | O_NONBLOCK and use it only when it
//     is a regular file (checked before and after the open);
//   - new files are created with O_CREAT | O_EXCL | O_NOFOLLOW, mode 0640
//     (less the umask), after a stale file of that name has been removed;
//   - renames, links (never following a link), removals and the directory's
//     fsync use the descriptor (renameat, linkat, unlinkat, fsync).
// Directories that PDirOpen creates get mode 0750 (less the umask). Drive
// paths ("C:\dir\") are mapped as pfile.h describes.
//
// Every operation passes through the fault seam of pfile.h under the
// existing names: PDirMake counts as "mkdir", opening the directory as
// "open", opening a file in it "open" too, then
// "remove", "rename", "link" and "syncdir"; the PFile handles they give are
// ordinary PFiles ("read", "write", "sync", "close"...).
//
// Contract: any thread may call these; one thread uses a given PDir at a
// time. Failures return false (or nullptr) with errno set. A name that
// exists but is not a regular file fails a read with EISDIR for a directory
// and EINVAL for anything else (FIFO, socket, device); PDirNotRegular tells
// those apart from other failures.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "stdlib/pfile.h"

struct PDir;

// Splits a path (mapped) into the directory that holds it ("." when it has
// none) and its last component.
void PDirSplitPath(const char* path, std::string* dir, std::string* name);
// Creates the missing directories of `dir` (mapped); existing ones are fine,
// a component that is not a directory fails with ENOTDIR. The parent of
// each directory made is fsynced before the next one is made.
bool PDirMake(const char* dir);
// Opens the directory `dir` (mapped); nullptr on failure.
PDir* PDirOpen(const char* dir);
// Opens the directory `dir` (mapped), which must lie inside the directory
// `root` (mapped; the drive root): every component below root is opened
// relative to the one above it and never through a symbolic link (ELOOP),
// and with create the missing ones (root included) are made first. A
// directory outside root, or a ".." below it, fails with EXDEV. With vet,
// root and each directory below it must be owned by root or the calling
// user and writable by neither group nor others (sticky or not), else EPERM;
// files of such a directory are then read only when root or the calling
// user owns them (PDirOpenRead fails with EPERM). The reason of a refusal
// is put in *why. Counts as a "mkdir" (with create) and an "open".
// A failure that is no refusal leaves *why empty and names the failed step in
// *step: "mkdir" or "open".
PDir* PDirOpenBeneath(const char* root, const char* dir, bool create, bool vet, std::string* why,
                      const char** step = nullptr);
// Opens the directory holding `path` and gives the path's last component.
PDir* PDirOpenParent(const char* path, std::string* name);
void PDirClose(PDir* dir);
// A second handle on the same directory (its descriptor duplicated, so the
// path is not looked up again); nullptr on failure.
PDir* PDirDup(PDir* dir);
// The directory's path as opened (mapped).
const std::string& PDirPath(const PDir* dir);

// Opens name for reading: a regular file only, never through a link.
PFile* PDirOpenRead(PDir* dir, const char* name);
// True when errno after a failed PDirOpenRead says the name is there but is
// not a regular file.
bool PDirNotRegular(int error);
// Creates name afresh for writing (a stale file of that name is removed
// first; a link is never followed).
PFile* PDirCreate(PDir* dir, const char* name);
bool PDirRemove(PDir* dir, const char* name);
// Replaces `to` by `from` atomically (renameat).
bool PDirRename(PDir* dir, const char* from, const char* to);
// Gives the file `from` the second name `to`; EEXIST when `to` exists.
bool PDirLink(PDir* dir, const char* from, const char* to);
// Takes an exclusive lock (flock) on the regular file `name`, made (mode
// 0640) when absent, never through a link and without waiting, and writes
// the caller's pid into it. Gives the descriptor that holds the lock, to be
// kept open for as long as the lock is to be held; -1 on failure, with errno
// EWOULDBLOCK when another holder has it, and then the pid written in the
// file (0 when it does not name one) in *holder. On success *previous, when
// given, is the pid the file named before (0 when none). Not a fault-seam
// operation.
int PDirLockFile(PDir* dir, const char* name, pid_t* holder, pid_t* previous = nullptr);
// Forces the directory's entry changes to the storage device.
bool PDirSync(PDir* dir);
// The name's status without following a link; false (ENOENT) when absent.
// Not a fault-seam operation.
bool PDirStat(PDir* dir, const char* name, struct stat* st);
// The names in the directory (not "." and ".."), in no particular order.
// Counts as an "open".
bool PDirList(PDir* dir, std::vector<std::string>* names);
// Reads the whole regular file `name` into bytes (replacing their content),
// as PDirOpenRead opens it; EFBIG beyond maxSize bytes, EAGAIN when the file
// grew while it was read. Counts as an "open" and a "read".
bool PDirReadWhole(PDir* dir, const char* name, std::vector<uint8_t>* bytes, uint64_t maxSize);
// The same for a path (mapped) given whole, its directory opened as
// PDirOpenParent opens it: for the tools, which name a file anywhere.
bool PFileReadWhole(const char* path, std::vector<uint8_t>* bytes, uint64_t maxSize);

// Durable replacement of the file `name` by `size` bytes of data: written as
// name + ".tmp", flushed, fsynced, closed, renamed over name, directory
// fsynced. On failure the temporary file is removed, *step names the failed
// step ("open", "write", "sync", "close", "rename", "directory sync") and
// errno holds the system error.
bool PDirWriteFile(PDir* dir, const char* name, const void* data, size_t size, const char** step);
// Durable copy of the regular file `from` into `to`, the same way (a read
// failure reports the step "read"). For file systems without hard links.
bool PDirCopyFile(PDir* dir, const char* from, const char* to, const char** step);
