// The service's status record in a shared segment of its own. See
// status_segment.h for the layout.
#include "status/status_segment.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <pwd.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <new>
#include <vector>

#include "common/shm_segment.h"
#include "rtkernel/rtadmin.h"

namespace {

std::string RecordName(const std::string& instance) {
    return "ovstatus-" + instance;
}

std::string SysError(const std::string& what) {
    return what + ": " + std::strerror(errno);
}

template <size_t N>
void Terminate(char (&text)[N]) {
    text[N - 1] = '\0';
}

int OpenDirectory(const char* path) {
    return open(path, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
}

// The service's own directory: there, owned by the calling user and
// writable by nobody else; -1 otherwise.
int OwnDirectory() {
    int fd = OpenDirectory(kStatusServiceDir);
    struct stat st {};
    if (fd >= 0 && (fstat(fd, &st) != 0 || st.st_uid != geteuid() || (st.st_mode & (S_IWGRP | S_IWOTH)))) {
        close(fd);
        fd = -1;
    }
    return fd;
}

// The packaged service's user, when this system has one.
bool ServiceUser(uid_t* uid) {
    struct passwd pw, *found = nullptr;
    std::vector<char> buf(16384);
    if (getpwnam_r(kShmServiceUser, &pw, buf.data(), buf.size(), &found) != 0 || !found) return false;
    *uid = pw.pw_uid;
    return true;
}

}  // namespace

std::string StatusRecordPath(const std::string& instance) {
    const std::string own = std::string(kStatusServiceDir) + "/" + RecordName(instance);
    struct stat st {};
    if (lstat(own.c_str(), &st) == 0) return own;
    return std::string(kStatusSharedDir) + "/" + RecordName(instance);
}

uint64_t StatusClockNs() {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    return static_cast<uint64_t>(now.tv_sec) * 1000000000u + static_cast<uint64_t>(now.tv_nsec);
}

ServiceStatus* StatusSegmentCreate(std::string* error, bool* taken) {
    if (taken) *taken = false;
    const std::string instance = RtInstanceName();
    if (!ShmValidName(instance)) {
        if (error) *error = "invalid instance name";
        return nullptr;
    }
    int dir = OwnDirectory();
    const char* where = kStatusServiceDir;
    if (dir < 0) {
        dir = OpenDirectory(kStatusSharedDir);
        where = kStatusSharedDir;
    }
    if (dir < 0) {
        if (error) *error = SysError(std::string("cannot open ") + where);
        return nullptr;
    }
    const std::string name = RecordName(instance);
    const std::string tmp = name + ".new." + std::to_string(getpid());
    unlinkat(dir, tmp.c_str(), 0);
    int fd = openat(dir, tmp.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0) {
        if (error) *error = SysError("cannot create " + std::string(where) + "/" + tmp);
        close(dir);
        return nullptr;
    }
    fchmod(fd, 0644);  // whatever the umask: readable by every tool, written only by the service
    void* base = MAP_FAILED;
    // Reserved, not only sized: on a full /dev/shm the first touch of an
    // unreserved page would end the service with SIGBUS.
    if (fallocate(fd, 0, 0, sizeof(ServiceStatus)) == 0)
        base = mmap(nullptr, sizeof(ServiceStatus), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (base == MAP_FAILED) {
        if (error) *error = SysError("cannot size or map " + tmp);
        close(fd);
        unlinkat(dir, tmp.c_str(), 0);
        close(dir);
        return nullptr;
    }
    close(fd);
    std::memset(base, 0, sizeof(ServiceStatus));
    auto* status = new (base) ServiceStatus;
    status->Magic = kStatusMagic;
    status->Version = kStatusVersion;
    status->KindCount = kStatusKindSlots;
    status->KindSize = sizeof(StatusKindRecord);
    status->State = STATUS_STATE_RUNNING;
    status->Pid = static_cast<int32_t>(getpid());
    status->StartedNs = StatusClockNs();
    // rename replaces an earlier service's record in one step; in the sticky
    // /dev/shm it fails on a record some other user put there (which readers
    // refuse by its owner).
    if (renameat(dir, tmp.c_str(), dir, name.c_str()) != 0) {
        if (error) *error = SysError("cannot put " + std::string(where) + "/" + name + " in place");
        // Something other than a record of this user's holds the name (a
        // directory, a FIFO, another user's file): readers find no trusted
        // status there.
        struct stat st {};
        if (taken && fstatat(dir, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
            (!S_ISREG(st.st_mode) || st.st_uid != geteuid()))
            *taken = true;
        unlinkat(dir, tmp.c_str(), 0);
        close(dir);
        munmap(base, sizeof(ServiceStatus));
        return nullptr;
    }
    close(dir);
    return status;
}

void StatusSegmentBeginWrite(ServiceStatus* status) {
    // Acquire keeps the changes that follow from moving above the odd mark.
    __atomic_fetch_add(&status->Sequence, 1, __ATOMIC_ACQ_REL);
}

void StatusSegmentEndWrite(ServiceStatus* status) {
    __atomic_fetch_add(&status->Sequence, 1, __ATOMIC_RELEASE);
}

bool StatusSegmentRead(const std::string& instance, uid_t trusted, StatusSnapshot* out, std::string* error) {
    if (!ShmValidName(instance)) {
        if (error) *error = "invalid instance name";
        return false;
    }
    const std::string path = StatusRecordPath(instance);
    // Never through a link, and never waiting on a FIFO planted there.
    int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        if (error)
            *error = errno == ENOENT ? "no status record (the service has not run)" : SysError("cannot open " + path);
        return false;
    }
    struct stat st {};
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        if (error) *error = "no trusted status: the status record " + path + " is not a regular file";
        close(fd);
        return false;
    }
    uid_t service = 0;
    if (st.st_uid != 0 && st.st_uid != trusted && !(ServiceUser(&service) && st.st_uid == service)) {
        if (error)
            *error = "no trusted status: the status record " + path + " belongs to user " + std::to_string(st.st_uid) +
                     ", not to root, the service's user or this user: ignored";
        close(fd);
        return false;
    }
    // A record of version 2 (a service from before the File block): read as
    // far as it goes, its File knowing nothing.
    uint32_t head[2] = {};
    const bool ours = pread(fd, head, sizeof head, 0) == static_cast<ssize_t>(sizeof head) && head[0] == kStatusMagic;
    const size_t size = ours && head[1] == 2 ? kStatusVersion2Size : sizeof(ServiceStatus);
    if (st.st_size != static_cast<off_t>(size)) {
        // A record of another version has another size: say so rather than
        // calling it damaged. Its other bytes are not looked at.
        if (error)
            *error = ours && head[1] != kStatusVersion
                         ? "the status record is not of this version (version " + std::to_string(head[1]) +
                               "; this tool reads version " + std::to_string(kStatusVersion) + ")"
                         : "the status record has the wrong size";
        close(fd);
        return false;
    }
    void* base = mmap(nullptr, size, PROT_READ, MAP_SHARED, fd, 0);
    close(fd);
    if (base == MAP_FAILED) {
        if (error) *error = SysError("cannot map the status record");
        return false;
    }
    const auto* shared = static_cast<const ServiceStatus*>(base);
    // A writer holds the sequence odd only for a few stores; one that stays
    // odd this long has died mid-change, and the copy is taken as it is.
    out->Consistent = false;
    for (int attempt = 0; attempt < 2000 && !out->Consistent; ++attempt) {
        uint32_t before = __atomic_load_n(&shared->Sequence, __ATOMIC_ACQUIRE);
        std::memset(static_cast<void*>(&out->Record), 0, sizeof(ServiceStatus));
        std::memcpy(static_cast<void*>(&out->Record), base, size);
        // The copy must be complete before the sequence is read again. The
        // mapping is read-only, so no read-modify-write can order it: a fence
        // does, except under ThreadSanitizer, which has none (and cannot see
        // the writer in another process anyway).
#if !defined(__SANITIZE_THREAD__)
        __atomic_thread_fence(__ATOMIC_ACQUIRE);
#endif
        uint32_t after = __atomic_load_n(&shared->Sequence, __ATOMIC_SEQ_CST);
        out->Consistent = before == after && (before & 1) == 0;
        if (!out->Consistent && attempt >= 100) usleep(50);
    }
    munmap(base, size);
    out->Owner = st.st_uid;
    ServiceStatus& r = out->Record;
    if (r.Magic != kStatusMagic || r.Version != (size == sizeof(ServiceStatus) ? kStatusVersion : 2) ||
        r.KindCount != kStatusKindSlots || r.KindSize != sizeof(StatusKindRecord)) {
        if (error) *error = "the status record is not of this version";
        return false;
    }
    Terminate(r.RetainPath);
    if (r.State > STATUS_STATE_ENDED) r.State = STATUS_STATE_NONE;
    for (StatusKindRecord& k : r.Kinds) {
        Terminate(k.LastError);
        if (k.LastOutcome > STATUS_OUTCOME_FAILED) k.LastOutcome = STATUS_OUTCOME_NONE;
    }
    return true;
}

bool StatusSegmentRemove(const std::string& instance) {
    if (!ShmValidName(instance)) return false;
    bool removed = false;
    for (const char* dir : {kStatusServiceDir, kStatusSharedDir}) {
        if (unlink((std::string(dir) + "/" + RecordName(instance)).c_str()) == 0) removed = true;
    }
    return removed;
}

namespace {

// The state letter of a /proc stat file: it follows the last ')' of the
// command name. '\0' when it cannot be read.
char StatState(const std::string& path) {
    std::ifstream in(path);
    std::string line;
    std::getline(in, line);
    const size_t paren = line.rfind(')');
    if (paren == std::string::npos || paren + 2 >= line.size()) return '\0';
    return line[paren + 2];
}

}  // namespace

bool StatusProcessRuns(pid_t pid, uid_t uid) {
    if (pid <= 0) return false;
    const std::string dir = "/proc/" + std::to_string(pid);
    struct stat st {};
    if (stat(dir.c_str(), &st) != 0 || (uid != kStatusAnyUser && st.st_uid != uid)) return false;
    // A main thread that has returned is a zombie while the other threads
    // still run (and hold what the process holds): the process runs while
    // any of its threads does.
    DIR* tasks = opendir((dir + "/task").c_str());
    if (tasks == nullptr) {
        const char state = StatState(dir + "/stat");
        return state != '\0' && state != 'Z' && state != 'X';
    }
    bool runs = false;
    while (const dirent* entry = readdir(tasks)) {
        if (entry->d_name[0] == '.') continue;
        const char state = StatState(dir + "/task/" + entry->d_name + "/stat");
        if (state != '\0' && state != 'Z' && state != 'X') {
            runs = true;
            break;
        }
    }
    closedir(tasks);
    return runs;
}
