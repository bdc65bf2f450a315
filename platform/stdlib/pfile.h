// pfile.h - the platform's file operations, with a seam for injected faults.
//
// A PFile is a buffered file handle over a POSIX file descriptor, opened for
// reading ("rb") or for writing ("wb": created or truncated, mode 0640 less
// the umask). A symbolic link as the last component is never followed: the
// open fails with ELOOP. Writes collect in a large buffer (saves write many small
// items) and reach the file when it fills, on PFileSeek, PFileFlush,
// PFileSync or PFileClose; reads are buffered likewise. Once a file being
// written has another MiB of whole pages with the kernel, the device is
// asked to start writing them (write-behind, without waiting), so that the
// sync at the end finds most of a large file written.
//
// Paths of the drive form "X:\dir\name" (also "X:/dir/name") are mapped onto
// "<drive root>/X/dir/name", backslashes becoming slashes and the drive
// letter upper case. The drive root is $OVRT_DRIVES when set and not empty,
// else /var/lib/ovretain/drives for root and
// $HOME/.local/share/ovretain/drives for any other user. Every other path is
// used as it is. Every operation below that takes a path maps it.
//
// Contract: any thread may call these operations; one thread uses a given
// PFile at a time. Every operation that can fail returns false (or nullptr)
// and leaves errno set; a failure is never hidden: once a write of a handle
// has failed, its later writes, seeks, flushes, syncs and its close fail too,
// with the first error's errno. PFileRead at the end of the file sets errno
// to 0.
#pragma once

#include <sys/stat.h>

#include <cstddef>
#include <cstdint>
#include <string>

struct PFile;

// Maps a path of the drive form onto this machine; others come back as given.
// In a drive path, "." and ".." components are resolved, and a ".." at the
// drive's top stays there (as on the drive itself): *climbedOut, when given,
// tells whether one did.
std::string PFileMapPath(const char* path);
std::string PFileMapPath(const char* path, bool* climbedOut);
// The directory onto which drive letters are mapped (see above).
std::string PFileDriveRoot();

// Opens path with mode "rb" or "wb"; nullptr on failure (EINVAL for an
// unknown mode).
PFile* PFileOpen(const char* path, const char* mode);
// Takes over an open descriptor as a PFile for reading or writing (as
// PFileOpen's "rb" / "wb" handles); on failure the descriptor is closed.
PFile* PFileFromDescriptor(int fd, bool writing);
// The file's current length in bytes; -1 on failure.
int64_t PFileSize(PFile* file);
// How many names the file has now (0: removed or replaced while open); -1
// on failure.
int64_t PFileLinkCount(PFile* file);
// The open file's status (fstat); false on failure.
bool PFileStat(PFile* file, struct stat* st);
// Reads exactly size bytes. False at end of file (the bytes that were there
// are consumed) or on an error.
bool PFileRead(PFile* file, void* buffer, size_t size);
// Reads and discards size bytes: false when the file ends first. Counts as a
// read for fault injection.
bool PFileSkip(PFile* file, size_t size);
// Writes size bytes into the buffer (and to the file when it fills).
bool PFileWrite(PFile* file, const void* buffer, size_t size);
// Writes size bytes at offset of a file opened for writing, straight to the
// file (not through the buffer, and not moving the position), and starts
// the whole pages among them on their way to the device. One thread may
// call it on a range of the file while another writes the rest through
// PFileWrite: it touches only the descriptor. A failure leaves the handle's
// own state alone (false with errno). Counts as a "write".
bool PFileWriteAt(PFile* file, uint64_t offset, const void* buffer, size_t size);
// Sets the position to offset bytes from the start of the file.
bool PFileSeek(PFile* file, int64_t offset);
// Writes out buffered bytes.
bool PFileFlush(PFile* file);
// Flushes and forces the file's data to the storage device (fsync).
bool PFileSync(PFile* file);
// The same for the data only (fdatasync): the file's length, not its times.
// For appends, whose length is what makes them readable. Counts as a "sync".
bool PFileDataSync(PFile* file);
// Flushes and closes; the handle is released even when this fails.
bool PFileClose(PFile* file);

bool PFileRemove(const char* path);
// Replaces `to` by `from` atomically (rename(2)).
bool PFileRename(const char* from, const char* to);
// Gives the file at `from` the second name `to` (a hard link); fails with
// EEXIST when `to` exists.
bool PFileLink(const char* from, const char* to);
// Forces the directory entry changes (creations, renames, removals) of the
// directory holding `path` to the storage device.
bool PFileSyncDir(const char* path);
// Creates the missing directories above `path` (mode 0750 less the umask;
// the last component is a file name and is not created).
bool PFileMakeParents(const char* path);
bool PFileExists(const char* path);

// Fault injection for tests. Each operation counts its calls; a fault makes
// call number `nth` (1 = the next) of `op`, and every later one while
// `sticky`, fail with errno `error` without doing anything (a failing close
// still releases the handle). One fault per operation; a new one replaces it.
//
// The environment variable OVRT_FAULT, read once at the first call of any
// operation here or in pmem.h, arms faults the same way:
//     OVRT_FAULT="op:nth:ERRNAME[:sticky|:count][,op:nth:ERRNAME...]"
// with op one of the names of PFileOpName - "open", "read", "write", "seek",
// "flush", "sync", "close", "remove", "rename", "link", "syncdir", "mkdir" -
// or "alloc" for PMemAlloc (whose error is always ENOMEM), and ERRNAME a
// name such as ENOSPC, EIO, EACCES, ENOENT, EROFS, EXDEV, ENOMEM or a
// number. A count makes calls nth to nth + count - 1 fail and later ones
// succeed again (a disk that fails for a while); "alloc" takes no count.
// Malformed entries are ignored.
//
// Holds, for tests that need the service stopped at a known point (a kill
// inside a save, a look at the node space while the start-up check runs):
//     OVRT_HOLD="op:name:nth:gate[,op:name:nth:gate...]"
// makes call number nth of op ("open", "remove", "rename" or "link") on a
// file whose last path component is `name` create the file `gate` and wait,
// before it does anything, until that file is removed; then the call goes
// on. A rename or link matches its source or its target name. One hold per
// operation; a malformed entry is named on standard error and ignored.
enum PFileOp {
    PF_OPEN,
    PF_READ,
    PF_WRITE,
    PF_SEEK,
    PF_FLUSH,
    PF_SYNC,
    PF_CLOSE,
    PF_REMOVE,
    PF_RENAME,
    PF_LINK,
    PF_SYNCDIR,
    PF_MKDIR,
    PF_OP_COUNT
};
void PFileInjectFault(PFileOp op, unsigned nth, int error, bool sticky = false);
// Clears every fault of the file operations (not of PMemAlloc).
void PFileClearFaults();
const char* PFileOpName(PFileOp op);
