// shm_segment.h - named POSIX shared-memory segments and process-shared
// robust locks, shared by the node-space and kernel layers.
//
// A segment is created fully initialised or not at all: the creator builds it
// under a private name and links it into place, so a process that opens a
// segment never sees a half-built one. Memory is committed only as pages are
// touched, so a segment may reserve far more than it uses.
#pragma once

#include <pthread.h>

#include <cstddef>
#include <functional>
#include <string>

struct ShmSegment {
    void* Base = nullptr;
    size_t Size = 0;
};

// True when name is a usable instance name: 1..200 of [A-Za-z0-9_.-].
bool ShmValidName(const std::string& name);

// Maps segment `shmName` ("/..."), creating it with `size` bytes and running
// init(base) on it first when it does not exist and `create` is set.
// *created tells which happened.
bool ShmOpen(const std::string& shmName, size_t size, bool create, const std::function<void(void*)>& init,
             ShmSegment* out, bool* created, std::string* error);
void ShmClose(ShmSegment* segment);
bool ShmExists(const std::string& shmName);
bool ShmUnlink(const std::string& shmName, std::string* error);

// A process-shared mutex that survives its holder's death.
void RobustMutexInit(pthread_mutex_t* mutex);
// Locks; returns true when the previous holder died while holding it. The
// caller then repairs what the holder left and calls RobustMutexConsistent.
bool RobustMutexLock(pthread_mutex_t* mutex);
void RobustMutexConsistent(pthread_mutex_t* mutex);
void RobustMutexUnlock(pthread_mutex_t* mutex);

// True while process pid exists.
bool ProcessAlive(int pid);
