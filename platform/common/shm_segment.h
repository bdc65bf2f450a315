// shm_segment.h - named POSIX shared-memory segments and the lock between
// processes, shared by the node-space and kernel layers.
//
// Creation: a segment is built as an unnamed file in /dev/shm and linked into
// place fully initialised, so a process that opens a segment never sees a
// half-built one, two racing creators leave exactly one segment, and a
// creator that dies leaves nothing behind. It is created with mode 0660,
// owned by the creating user and the group named by OVNODE_GROUP (a group
// name or a decimal group id; anything else is refused); without it, the
// service's group ("ovretain", where the system has it) when the creator is
// root or a member of it, so that the service can use what they make; else
// the creator's effective group.
//
// Access: whoever opens a segment (without following a link or waiting on a
// FIFO) checks its type, link count, owner, group and mode first. Anything
// but a regular file with exactly one name is refused: a hard link would
// make one node space's segment answer for another. A segment that every
// user may write is refused. One owned by root or the opening user is used.
// Any other is used only when its group is allowed (the group OVNODE_GROUP
// names; without it, any group of the opener, effective or supplementary,
// and for root the service's group) and its owner is a member of that group.
// A refusal names the owner and the group; one made by a user who is not
// root, the service's user or a member of the configured group is called
// foreign, and the advice is to remove it.
//
// Memory: a segment's file has its full size from the start but holds pages
// only where they were reserved (ShmReserve). A page is touched only after it
// was reserved, so a full /dev/shm is an ENOSPC from ShmReserve, never a
// SIGBUS. Should a mapped page go away all the same (the file was cut short
// by someone, or a page of an unreserved hole could not be had), the access
// does not end the process: the page is replaced by a private page of zeros
// and the segment's fault count goes up (ShmFaults); its users then treat
// the segment as broken.
//
// Failures return false with a one-line reason in *error where one is given.
// Every function may be called from any thread.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

// The packaged service's group and user.
constexpr const char* kShmServiceGroup = "ovretain";
constexpr const char* kShmServiceUser = "ovretain";

struct ShmSegment {
    void* Base = nullptr;
    size_t Size = 0;
    int Fd = -1;  // kept open: reservations, size checks and the instance lock
    const std::atomic<uint32_t>* Faults = nullptr;
};

// True when name is a usable instance name: 1..200 of [A-Za-z0-9_.-].
bool ShmValidName(const std::string& name);

// Maps segment `shmName` ("/...") with `size` bytes. When it does not exist
// and `create` is set, it is created, its first `reserve` bytes reserved and
// init(base) run on it before it becomes visible. *created tells which
// happened. An existing segment must pass the access check and be at least
// `size` bytes long.
bool ShmOpen(const std::string& shmName, size_t size, size_t reserve, bool create,
             const std::function<void(void*)>& init, ShmSegment* out, bool* created, std::string* error);
void ShmClose(ShmSegment* segment);
bool ShmExists(const std::string& shmName);
// The user who owns the segment; false when there is none.
bool ShmOwner(const std::string& shmName, uid_t* owner);
// Removes the segment's name, and nothing else: names that merely begin
// with it belong to other instances.
bool ShmUnlink(const std::string& shmName, std::string* error);

// Reserves [offset, offset + length) of the segment's file: 0, or the errno
// value of the failure (ENOSPC when /dev/shm is full).
int ShmReserve(const ShmSegment& segment, size_t offset, size_t length);

// Accesses to the segment that found its memory gone (see above); 0 while it
// is sound.
uint32_t ShmFaults(const ShmSegment& segment);

// 0 while the segment is whole and still the one under its name; ESTALE
// once its name was removed (destroyed, or replaced by another segment);
// EFAULT when its file was cut short or an access found memory gone (see
// above). One fstat: cheap enough for every poll.
int ShmSound(const ShmSegment& segment);

// The pid of the live process that holds the segment's instance lock, 0
// when none does or the name holds no regular file (never blocks: a FIFO
// there is no segment). With `checked`, also 0 unless the file passes the
// access check (one name, owner and group as above): for a caller about to
// signal the holder. Without it, for one that must not go on while anyone
// holds the segment under any of its names. ShmLockInstance takes it for the calling process until it
// closes the segment or ends: false, with the holder in *holder, when
// another process has it.
pid_t ShmInstanceHolder(const std::string& shmName, bool checked);
bool ShmLockInstance(const ShmSegment& segment, pid_t* holder);

// A lock between processes that records its holder's thread id: a waiter that
// finds the holder gone (killed, even after it unmapped the segment) takes the
// lock over, and no waiter waits past its deadline for a holder that lives
// but does not let go. A zero-filled OwnerLock is free.
struct OwnerLock {
    std::atomic<uint32_t> Word;  // holder's thread id, plus kOwnerLockWaiters
    uint32_t Reserved;
};
constexpr uint32_t kOwnerLockWaiters = 0x80000000u;

enum class LockResult {
    Taken,          // held now
    TakenFromDead,  // held now; the previous holder died holding it
    TimedOut,       // not held: a live holder kept it past the deadline
};
// Default deadline of a lock: far beyond any holder's ordinary hold.
constexpr int kOwnerLockDeadlineMs = 5000;
LockResult OwnerLockAcquire(OwnerLock* lock, int deadlineMs = kOwnerLockDeadlineMs);
void OwnerLockRelease(OwnerLock* lock);

// True while process pid exists.
bool ProcessAlive(int pid);
