#include "shm_segment.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <grp.h>
#include <linux/futex.h>
#include <pthread.h>
#include <pwd.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <mutex>
#include <vector>

namespace {

constexpr mode_t kSegmentMode = 0660;
const char kShmDir[] = "/dev/shm";

std::string SysError(const std::string& what, const std::string& name, int error) {
    return what + " " + name + ": " + std::strerror(error);
}

std::string PathOf(const std::string& shmName) {
    return kShmDir + shmName;
}

// ---- the group that may use segments ----

std::string UserName(uid_t uid) {
    struct passwd pw, *found = nullptr;
    std::vector<char> buf(16384);
    if (getpwuid_r(uid, &pw, buf.data(), buf.size(), &found) == 0 && found) return found->pw_name;
    return std::to_string(uid);
}

std::string GroupName(gid_t gid) {
    struct group gr, *found = nullptr;
    std::vector<char> buf(16384);
    if (getgrgid_r(gid, &gr, buf.data(), buf.size(), &found) == 0 && found) return found->gr_name;
    return std::to_string(gid);
}

// OVNODE_GROUP as a group id: a group's name or a decimal group id. *set is
// false when it is unset or empty; false (with the reason) when it is
// anything else.
bool NamedGroup(gid_t* gid, bool* set, std::string* error) {
    const char* env = getenv("OVNODE_GROUP");
    *set = env && *env;
    if (!*set) return true;
    bool digits = true;
    for (const char* p = env; *p; ++p) digits = digits && *p >= '0' && *p <= '9';
    if (digits) {
        errno = 0;
        char* end = nullptr;
        unsigned long long n = strtoull(env, &end, 10);
        // (gid_t)-1 means "no group" to the system calls: not a group id.
        if (errno == 0 && *end == '\0' && n < static_cast<unsigned long long>(static_cast<gid_t>(-1))) {
            *gid = static_cast<gid_t>(n);
            return true;
        }
        if (error) *error = std::string("OVNODE_GROUP is out of the range of group ids: ") + env;
        return false;
    }
    struct group gr, *found = nullptr;
    std::vector<char> buf(16384);
    if (getgrnam_r(env, &gr, buf.data(), buf.size(), &found) == 0 && found) {
        *gid = gr.gr_gid;
        return true;
    }
    if (error) *error = std::string("OVNODE_GROUP names no group: ") + env;
    return false;
}

// The packaged service's group, when this system has one.
bool ServiceGroup(gid_t* gid) {
    struct group gr, *found = nullptr;
    std::vector<char> buf(16384);
    if (getgrnam_r(kShmServiceGroup, &gr, buf.data(), buf.size(), &found) != 0 || !found) return false;
    *gid = gr.gr_gid;
    return true;
}

// Whether the calling process has group gid, as its effective or as a
// supplementary group.
bool InGroup(gid_t gid) {
    if (getegid() == gid) return true;
    int n = getgroups(0, nullptr);
    if (n <= 0) return false;
    std::vector<gid_t> groups(static_cast<size_t>(n));
    n = getgroups(n, groups.data());
    for (int i = 0; i < n; ++i) {
        if (groups[static_cast<size_t>(i)] == gid) return true;
    }
    return false;
}

// The group that segments are created with: OVNODE_GROUP; else the service's
// group for root and its members, so that what they make the service can
// use; else the creator's own.
bool CreationGroup(gid_t* gid, std::string* error) {
    bool set = false;
    if (!NamedGroup(gid, &set, error)) return false;
    if (set) return true;
    gid_t service;
    if (ServiceGroup(&service) && (geteuid() == 0 || InGroup(service))) {
        *gid = service;
        return true;
    }
    *gid = getegid();
    return true;
}

// Whether the calling process may use segments of group gid: the group that
// OVNODE_GROUP names; without it, any group of its own and, for root, the
// service's group.
bool GroupAllowed(gid_t gid, std::string* error, bool* ok) {
    gid_t named;
    bool set = false;
    if (!NamedGroup(&named, &set, error)) return false;
    if (set) {
        *ok = gid == named;
        return true;
    }
    gid_t service;
    *ok = InGroup(gid) || (geteuid() == 0 && ServiceGroup(&service) && gid == service);
    return true;
}

bool UserInGroup(uid_t uid, gid_t gid) {
    struct passwd pw, *found = nullptr;
    std::vector<char> buf(16384);
    if (getpwuid_r(uid, &pw, buf.data(), buf.size(), &found) != 0 || !found) return false;
    if (pw.pw_gid == gid) return true;
    int n = 64;
    std::vector<gid_t> groups(static_cast<size_t>(n));
    if (getgrouplist(pw.pw_name, pw.pw_gid, groups.data(), &n) < 0) {
        groups.resize(static_cast<size_t>(n));
        if (getgrouplist(pw.pw_name, pw.pw_gid, groups.data(), &n) < 0) return false;
    }
    for (int i = 0; i < n; ++i) {
        if (groups[static_cast<size_t>(i)] == gid) return true;
    }
    return false;
}

// The packaged service's user, when this system has one.
bool ServiceUser(uid_t* uid) {
    struct passwd pw, *found = nullptr;
    std::vector<char> buf(16384);
    if (getpwnam_r(kShmServiceUser, &pw, buf.data(), buf.size(), &found) != 0 || !found) return false;
    *uid = pw.pw_uid;
    return true;
}

// Whether user uid may have made a segment this process uses: the service's
// user, or a member of the configured group (OVNODE_GROUP; without it, the
// service's group where the system has one, else this process's own group).
bool KnownCreator(uid_t uid, std::string* groupName) {
    uid_t service;
    if (ServiceUser(&service) && uid == service) return true;
    gid_t group;
    bool set = false;
    if (!NamedGroup(&group, &set, nullptr) || !set) {
        if (!ServiceGroup(&group)) group = getegid();
    }
    *groupName = GroupName(group);
    return UserInGroup(uid, group);
}

// Whether a segment of this owner, group, mode and link count may be trusted
// by this process: a regular file with one name; its own or root's; else one
// whose group the process may use and whose owner is a member of that group.
// One made by a user who is none of root, this process's user, the service's
// user or a member of the configured group is foreign: the advice is to
// remove it, never to trust its group.
bool CheckAccess(const struct stat& st, const std::string& name, std::string* error) {
    if (!S_ISREG(st.st_mode)) {
        if (error) *error = "shared segment " + name + " is not a regular file: refused";
        return false;
    }
    if (st.st_nlink != 1) {
        // A second name for one segment makes it answer for another node
        // space: whoever holds it would be taken for that one's service.
        if (error)
            *error = "shared segment " + name + " has " + std::to_string(st.st_nlink) +
                     " names (a hard link to another segment?): refused";
        return false;
    }
    if (st.st_mode & S_IWOTH) {
        if (error) *error = "shared segment " + name + " is writable by every user: refused";
        return false;
    }
    if (st.st_uid == 0 || st.st_uid == geteuid()) return true;
    bool allowed = false;
    if (!GroupAllowed(st.st_gid, error, &allowed)) return false;
    if (allowed && UserInGroup(st.st_uid, st.st_gid)) return true;
    if (error) {
        const std::string owner = UserName(st.st_uid), group = GroupName(st.st_gid);
        std::string configured;
        if (!KnownCreator(st.st_uid, &configured)) {
            *error = "shared segment " + name + " was made by user " + owner + ", who is not root, the service's " +
                     "user or a member of group " + configured + ": a foreign segment, refused (remove it: rm " +
                     PathOf(name) + ")";
        } else if (!allowed) {
            *error = "shared segment " + name + " belongs to user " + owner + " and group " + group +
                     ", a group this user may not use: refused (join group " + group +
                     ", or set OVNODE_GROUP=" + group + " if the node space is meant to be shared through it)";
        } else {
            *error = "shared segment " + name + " belongs to user " + owner + " and group " + group + ", but " + owner +
                     " is not a member of " + group + ": refused (planted by another user?)";
        }
    }
    return false;
}

// ---- the fault guard ----

// Mappings whose lost pages are replaced instead of ending the process.
struct Guarded {
    std::atomic<uintptr_t> Base{0};
    std::atomic<size_t> Size{0};
    std::atomic<int> Fd{-1};
    std::atomic<uint32_t> Faults{0};
};
constexpr int kGuarded = 16;
Guarded g_guarded[kGuarded];
struct sigaction g_previousBus;
std::atomic<bool> g_guardInstalled{false};

void OnBus(int sig, siginfo_t* info, void* context) {
    auto addr = reinterpret_cast<uintptr_t>(info->si_addr);
    const uintptr_t page = static_cast<uintptr_t>(sysconf(_SC_PAGESIZE));
    for (Guarded& g : g_guarded) {
        uintptr_t base = g.Base.load(std::memory_order_acquire);
        size_t size = g.Size.load(std::memory_order_acquire);
        if (base == 0 || addr < base || addr >= base + size) continue;
        uintptr_t from = addr & ~(page - 1), to = from + page;
        // A file cut short: everything past its new end goes at once.
        struct stat st;
        if (fstat(g.Fd.load(), &st) == 0 && from >= base + static_cast<uintptr_t>(st.st_size)) {
            uintptr_t end = (base + static_cast<uintptr_t>(st.st_size) + page - 1) & ~(page - 1);
            from = end < from ? end : from;
            to = base + size;
        }
        g.Faults.fetch_add(1, std::memory_order_acq_rel);
        if (mmap(reinterpret_cast<void*>(from), to - from, PROT_READ | PROT_WRITE,
                 MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED, -1, 0) != MAP_FAILED)
            return;
        break;
    }
    // Not ours: what would have happened without the guard.
    if (g_previousBus.sa_flags & SA_SIGINFO) {
        if (g_previousBus.sa_sigaction) return g_previousBus.sa_sigaction(sig, info, context);
    } else if (g_previousBus.sa_handler != SIG_DFL && g_previousBus.sa_handler != SIG_IGN) {
        return g_previousBus.sa_handler(sig);
    }
    signal(SIGBUS, SIG_DFL);  // the access repeats and ends the process as it would have
}

Guarded* Guard(const ShmSegment& seg) {
    static std::mutex lock;
    std::lock_guard<std::mutex> guard(lock);
    if (!g_guardInstalled.exchange(true)) {
        struct sigaction sa;
        std::memset(&sa, 0, sizeof sa);
        sa.sa_sigaction = OnBus;
        sa.sa_flags = SA_SIGINFO | SA_NODEFER;
        sigemptyset(&sa.sa_mask);
        sigaction(SIGBUS, &sa, &g_previousBus);
    }
    for (Guarded& g : g_guarded) {
        if (g.Base.load() != 0) continue;
        g.Size.store(0);
        g.Fd.store(seg.Fd);
        g.Faults.store(0);
        g.Base.store(reinterpret_cast<uintptr_t>(seg.Base), std::memory_order_release);
        g.Size.store(seg.Size, std::memory_order_release);
        return &g;
    }
    return nullptr;  // more segments than slots: this one is unguarded
}

Guarded* FindGuard(const void* base) {
    for (Guarded& g : g_guarded) {
        if (base && g.Base.load(std::memory_order_acquire) == reinterpret_cast<uintptr_t>(base)) return &g;
    }
    return nullptr;
}

bool MapFd(int fd, size_t size, ShmSegment* out, std::string* error, const std::string& name) {
    void* base = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (base == MAP_FAILED) {
        if (error) *error = SysError("cannot map", name, errno);
        return false;
    }
    out->Base = base;
    out->Size = size;
    out->Fd = fd;
    Guarded* g = Guard(*out);
    out->Faults = g ? &g->Faults : nullptr;
    return true;
}

bool OpenExisting(const std::string& shmName, size_t size, ShmSegment* out, std::string* error) {
    int fd = shm_open(shmName.c_str(), O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0);
    if (fd < 0) {
        int e = errno;
        if (error) *error = SysError("cannot open", shmName, e);
        errno = e;
        return false;
    }
    struct stat st;
    if (fstat(fd, &st) != 0) {
        if (error) *error = SysError("cannot inspect", shmName, errno);
        close(fd);
        return false;
    }
    if (!CheckAccess(st, shmName, error)) {
        close(fd);
        errno = EPERM;
        return false;
    }
    if (st.st_size < static_cast<off_t>(size)) {
        if (error)
            *error = "shared segment " + shmName + " is cut short (" + std::to_string(st.st_size) + " of " +
                     std::to_string(size) + " bytes)";
        close(fd);
        errno = EINVAL;
        return false;
    }
    if (!MapFd(fd, size, out, error, shmName)) {
        close(fd);
        return false;
    }
    return true;
}

long Futex(std::atomic<uint32_t>* word, int op, uint32_t value, const struct timespec* timeout) {
    return syscall(SYS_futex, reinterpret_cast<uint32_t*>(word), op, value, timeout, nullptr, 0);
}

// Whether the thread tid is gone: no such thread, or a zombie that will
// never let go.
bool ThreadGone(uint32_t tid) {
    if (tid == 0) return true;
    if (kill(static_cast<pid_t>(tid), 0) != 0 && errno == ESRCH) return true;
    char path[64];
    std::snprintf(path, sizeof path, "/proc/%u/stat", tid);
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return errno == ENOENT;
    char buf[512];
    ssize_t n = read(fd, buf, sizeof buf - 1);
    close(fd);
    if (n <= 0) return false;
    buf[n] = 0;
    const char* paren = strrchr(buf, ')');
    return paren && paren[1] == ' ' && (paren[2] == 'Z' || paren[2] == 'X');
}

long long NowMs() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1000LL + ts.tv_nsec / 1000000;
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

bool ShmOpen(const std::string& shmName, size_t size, size_t reserve, bool create,
             const std::function<void(void*)>& init, ShmSegment* out, bool* created, std::string* error) {
    if (created) *created = false;
    if (OpenExisting(shmName, size, out, error)) return true;
    if (errno != ENOENT || !create) return false;
    gid_t group;
    if (!CreationGroup(&group, error)) return false;
    // An unnamed file, linked into place once complete: link never replaces,
    // so of two racing creators exactly one wins, and one that dies on the way
    // leaves nothing.
    int fd = open(kShmDir, O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    if (fd < 0) {
        if (error) *error = SysError("cannot create", shmName, errno);
        return false;
    }
    auto fail = [&](const char* what) {
        int e = errno;
        if (error) *error = SysError(what, shmName, e);
        close(fd);
        errno = e;
        return false;
    };
    if (group != getegid() && fchown(fd, static_cast<uid_t>(-1), group) != 0)
        return fail(("cannot give to group " + std::to_string(group)).c_str());
    if (fchmod(fd, kSegmentMode) != 0) return fail("cannot set the mode of");
    if (ftruncate(fd, static_cast<off_t>(size)) != 0) return fail("cannot size");
    if (reserve > 0 && fallocate(fd, 0, 0, static_cast<off_t>(reserve)) != 0) return fail("cannot reserve memory for");
    ShmSegment seg;
    if (!MapFd(fd, size, &seg, error, shmName)) {
        close(fd);
        return false;
    }
    init(seg.Base);
    char from[64];
    std::snprintf(from, sizeof from, "/proc/self/fd/%d", fd);
    if (linkat(AT_FDCWD, from, AT_FDCWD, PathOf(shmName).c_str(), AT_SYMLINK_FOLLOW) != 0) {
        int linkErrno = errno;
        ShmClose(&seg);
        if (linkErrno == EEXIST) return OpenExisting(shmName, size, out, error);
        if (error) *error = SysError("cannot publish", shmName, linkErrno);
        errno = linkErrno;
        return false;
    }
    *out = seg;
    if (created) *created = true;
    return true;
}

void ShmClose(ShmSegment* segment) {
    if (Guarded* g = FindGuard(segment->Base)) {
        g->Size.store(0, std::memory_order_release);
        g->Base.store(0, std::memory_order_release);
    }
    if (segment->Base) munmap(segment->Base, segment->Size);
    if (segment->Fd >= 0) close(segment->Fd);
    segment->Base = nullptr;
    segment->Size = 0;
    segment->Fd = -1;
    segment->Faults = nullptr;
}

bool ShmExists(const std::string& shmName) {
    struct stat st;
    return stat(PathOf(shmName).c_str(), &st) == 0;
}

bool ShmOwner(const std::string& shmName, uid_t* owner) {
    struct stat st;
    if (lstat(PathOf(shmName).c_str(), &st) != 0) return false;
    *owner = st.st_uid;
    return true;
}

bool ShmUnlink(const std::string& shmName, std::string* error) {
    if (shm_unlink(shmName.c_str()) != 0) {
        if (error) *error = SysError("cannot remove", shmName, errno);
        return false;
    }
    return true;
}

int ShmReserve(const ShmSegment& segment, size_t offset, size_t length) {
    if (offset + length > segment.Size) return ENOSPC;
    int rc;
    do {
        rc = fallocate(segment.Fd, 0, static_cast<off_t>(offset), static_cast<off_t>(length));
    } while (rc != 0 && errno == EINTR);
    return rc == 0 ? 0 : errno;
}

uint32_t ShmFaults(const ShmSegment& segment) {
    return segment.Faults ? segment.Faults->load(std::memory_order_acquire) : 0;
}

int ShmSound(const ShmSegment& segment) {
    struct stat st;
    if (segment.Fd < 0 || fstat(segment.Fd, &st) != 0) return EBADF;
    // Removed (or another file put in its place): the mapping outlives the
    // name, but nobody else sees what is written into it any more.
    if (st.st_nlink == 0) return ESTALE;
    if (static_cast<uint64_t>(st.st_size) < segment.Size || ShmFaults(segment) != 0) return EFAULT;
    return 0;
}

namespace {

// The single-instance lock: a write lock on the segment file's first byte.
struct flock InstanceLockRequest() {
    struct flock fl;
    std::memset(&fl, 0, sizeof fl);
    fl.l_type = F_WRLCK;
    fl.l_whence = SEEK_SET;
    fl.l_start = 0;
    fl.l_len = 1;
    return fl;
}

// This thread's id, asked of the kernel once per thread: the owner lock is
// taken on every value written, and gettid() is a system call. A forked
// child's one thread has a new id, so the cache is dropped in the child.
thread_local uint32_t tThreadId = 0;

void ForgetThreadId() {
    tThreadId = 0;
}

uint32_t ThisThreadId() {
    if (tThreadId == 0) {
        static const int registered = pthread_atfork(nullptr, nullptr, ForgetThreadId);
        (void)registered;
        tThreadId = static_cast<uint32_t>(gettid());
    }
    return tThreadId;
}

}  // namespace

pid_t ShmInstanceHolder(const std::string& shmName, bool checked) {
    // Opened read-only, without following a link or waiting (a FIFO planted
    // under the name), and asked about only when it is a regular file and,
    // when checked, a segment this process would use: one name, owned as the
    // access check requires. (A process closing any descriptor of a file
    // drops its own record locks, so the holder must never call this on its
    // own segment.)
    int fd = open(PathOf(shmName).c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return 0;
    struct stat st;
    pid_t holder = 0;
    if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && (!checked || CheckAccess(st, shmName, nullptr))) {
        struct flock fl = InstanceLockRequest();
        if (fcntl(fd, F_GETLK, &fl) == 0 && fl.l_type != F_UNLCK) holder = fl.l_pid > 0 ? fl.l_pid : -1;
    }
    close(fd);
    return holder;
}

bool ShmLockInstance(const ShmSegment& segment, pid_t* holder) {
    struct flock fl = InstanceLockRequest();
    if (fcntl(segment.Fd, F_SETLK, &fl) == 0) return true;
    if (holder) {
        *holder = -1;
        fl = InstanceLockRequest();
        if (fcntl(segment.Fd, F_GETLK, &fl) == 0 && fl.l_type != F_UNLCK && fl.l_pid > 0) *holder = fl.l_pid;
    }
    return false;
}

LockResult OwnerLockAcquire(OwnerLock* lock, int deadlineMs) {
    const uint32_t self = ThisThreadId();
    uint32_t expected = 0;
    if (lock->Word.compare_exchange_strong(expected, self, std::memory_order_acquire, std::memory_order_relaxed))
        return LockResult::Taken;
    for (int spin = 0; spin < 200; ++spin) {
#if defined(__x86_64__) || defined(__i386__)
        __builtin_ia32_pause();
#endif
        expected = 0;
        if (lock->Word.load(std::memory_order_relaxed) == 0 &&
            lock->Word.compare_exchange_weak(expected, self, std::memory_order_acquire, std::memory_order_relaxed))
            return LockResult::Taken;
    }
    const long long deadline = NowMs() + deadlineMs;
    for (;;) {
        uint32_t word = lock->Word.load(std::memory_order_relaxed);
        if (word == 0) {
            // Taken with the waiters mark: others may still sleep on it.
            if (lock->Word.compare_exchange_weak(word, self | kOwnerLockWaiters, std::memory_order_acquire,
                                                 std::memory_order_relaxed))
                return LockResult::Taken;
            continue;
        }
        uint32_t owner = word & ~kOwnerLockWaiters;
        if (owner == self || ThreadGone(owner)) {
            // Its holder is gone (or was this very thread, which can only
            // mean it died in a forked copy or left without letting go).
            if (lock->Word.compare_exchange_strong(word, self | (word & kOwnerLockWaiters), std::memory_order_acquire,
                                                   std::memory_order_relaxed))
                return LockResult::TakenFromDead;
            continue;
        }
        long long left = deadline - NowMs();
        if (left <= 0) return LockResult::TimedOut;
        if (!(word & kOwnerLockWaiters) &&
            !lock->Word.compare_exchange_weak(word, word | kOwnerLockWaiters, std::memory_order_relaxed))
            continue;
        // Sleep until released, looking at the holder again every 20 ms.
        long wait = left < 20 ? left : 20;
        struct timespec ts {
            0, wait * 1000000L
        };
        Futex(&lock->Word, FUTEX_WAIT, word | kOwnerLockWaiters, &ts);
    }
}

void OwnerLockRelease(OwnerLock* lock) {
    uint32_t previous = lock->Word.exchange(0, std::memory_order_release);
    if (previous & kOwnerLockWaiters) Futex(&lock->Word, FUTEX_WAKE, INT32_MAX, nullptr);
}

bool ProcessAlive(int pid) {
    if (pid <= 0) return false;
    return kill(pid, 0) == 0 || errno == EPERM;
}
