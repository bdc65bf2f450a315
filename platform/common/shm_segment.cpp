#include "shm_segment.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstring>

namespace {

std::string SysError(const std::string& what, const std::string& name) {
    return what + " " + name + ": " + std::strerror(errno);
}

bool MapFd(int fd, size_t size, ShmSegment* out, std::string* error, const std::string& name) {
    void* base = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (base == MAP_FAILED) {
        if (error) *error = SysError("cannot map", name);
        return false;
    }
    out->Base = base;
    out->Size = size;
    return true;
}

bool OpenExisting(const std::string& shmName, ShmSegment* out, std::string* error) {
    int fd = shm_open(shmName.c_str(), O_RDWR, 0);
    if (fd < 0) {
        if (error) *error = SysError("cannot open", shmName);
        return false;
    }
    struct stat st;
    if (fstat(fd, &st) != 0 || st.st_size <= 0) {
        if (error) *error = "broken shared segment " + shmName;
        close(fd);
        return false;
    }
    bool ok = MapFd(fd, static_cast<size_t>(st.st_size), out, error, shmName);
    close(fd);
    return ok;
}

}  // namespace

bool ShmValidName(const std::string& name) {
    if (name.empty() || name.size() > 200) return false;
    for (char c : name) {
        bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' || c == '.' ||
                  c == '-';
        if (!ok) return false;
    }
    return name != "." && name != "..";
}

bool ShmOpen(const std::string& shmName, size_t size, bool create, const std::function<void(void*)>& init,
             ShmSegment* out, bool* created, std::string* error) {
    if (created) *created = false;
    if (OpenExisting(shmName, out, nullptr)) return true;
    if (errno != ENOENT || !create) {
        return OpenExisting(shmName, out, error);
    }
    // Build the segment under a private name, then link it into place: link
    // never replaces, so of two racing creators exactly one wins.
    static std::atomic<unsigned> serial{0};
    std::string tmp = shmName + ".init." + std::to_string(getpid()) + "." + std::to_string(serial++);
    int fd = shm_open(tmp.c_str(), O_RDWR | O_CREAT | O_EXCL, 0666);
    if (fd < 0) {
        if (error) *error = SysError("cannot create", shmName);
        return false;
    }
    fchmod(fd, 0666);
    if (ftruncate(fd, static_cast<off_t>(size)) != 0) {
        if (error) *error = SysError("cannot size", shmName);
        close(fd);
        shm_unlink(tmp.c_str());
        return false;
    }
    ShmSegment seg;
    if (!MapFd(fd, size, &seg, error, shmName)) {
        close(fd);
        shm_unlink(tmp.c_str());
        return false;
    }
    close(fd);
    init(seg.Base);
    std::string from = "/dev/shm" + tmp, to = "/dev/shm" + shmName;
    int rc = link(from.c_str(), to.c_str());
    int linkErrno = errno;
    shm_unlink(tmp.c_str());
    if (rc != 0) {
        ShmClose(&seg);
        if (linkErrno == EEXIST) return OpenExisting(shmName, out, error);
        errno = linkErrno;
        if (error) *error = SysError("cannot publish", shmName);
        return false;
    }
    *out = seg;
    if (created) *created = true;
    return true;
}

void ShmClose(ShmSegment* segment) {
    if (segment->Base) munmap(segment->Base, segment->Size);
    segment->Base = nullptr;
    segment->Size = 0;
}

bool ShmExists(const std::string& shmName) {
    struct stat st;
    return stat(("/dev/shm" + shmName).c_str(), &st) == 0;
}

bool ShmUnlink(const std::string& shmName, std::string* error) {
    if (shm_unlink(shmName.c_str()) != 0) {
        if (error) *error = SysError("cannot remove", shmName);
        return false;
    }
    return true;
}

void RobustMutexInit(pthread_mutex_t* mutex) {
    pthread_mutexattr_t attr;
    pthread_mutexattr_init(&attr);
    pthread_mutexattr_setpshared(&attr, PTHREAD_PROCESS_SHARED);
    pthread_mutexattr_setrobust(&attr, PTHREAD_MUTEX_ROBUST);
    pthread_mutex_init(mutex, &attr);
    pthread_mutexattr_destroy(&attr);
}

bool RobustMutexLock(pthread_mutex_t* mutex) {
    int rc = pthread_mutex_lock(mutex);
    return rc == EOWNERDEAD;
}

void RobustMutexConsistent(pthread_mutex_t* mutex) {
    pthread_mutex_consistent(mutex);
}

void RobustMutexUnlock(pthread_mutex_t* mutex) {
    pthread_mutex_unlock(mutex);
}

bool ProcessAlive(int pid) {
    if (pid <= 0) return false;
    return kill(pid, 0) == 0 || errno == EPERM;
}
