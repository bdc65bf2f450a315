#include "process_identity.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// The text of /proc/<pid>/<file>, at most size - 1 bytes; false when it
// cannot be read.
bool ReadProc(pid_t pid, const char* file, char* buf, size_t size) {
    char path[64];
    std::snprintf(path, sizeof path, "/proc/%d/%s", static_cast<int>(pid), file);
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    ssize_t n = read(fd, buf, size - 1);
    close(fd);
    if (n <= 0) return false;
    buf[n] = 0;
    return true;
}

// Bit sig of the hexadecimal mask on the line of /proc/<pid>/status that
// starts with key.
bool MaskHas(const char* status, const char* key, int sig) {
    const char* line = std::strstr(status, key);
    if (!line) return false;
    unsigned long long mask = std::strtoull(line + std::strlen(key), nullptr, 16);
    return sig >= 1 && sig <= 64 && ((mask >> (sig - 1)) & 1);
}

}  // namespace

uint64_t ProcessStartTime(pid_t pid) {
    if (pid <= 0) return 0;
    char buf[1024];
    if (!ReadProc(pid, "stat", buf, sizeof buf)) return 0;
    // The name in parentheses may hold anything; fields count from the last ')'.
    const char* p = std::strrchr(buf, ')');
    if (!p) return 0;
    ++p;
    for (int field = 3; field < 22 && p; ++field) p = std::strchr(p + 1, ' ');
    return p ? std::strtoull(p + 1, nullptr, 10) : 0;
}

uint64_t SelfStartTime() {
    static std::atomic<pid_t> pid{0};
    static std::atomic<uint64_t> start{0};
    pid_t self = getpid();
    if (pid.load(std::memory_order_acquire) != self) {
        start.store(ProcessStartTime(self), std::memory_order_relaxed);
        pid.store(self, std::memory_order_release);
    }
    return start.load(std::memory_order_relaxed);
}

bool ProcessIs(pid_t pid, uint64_t startTime) {
    return pid > 0 && startTime != 0 && ProcessStartTime(pid) == startTime;
}

std::string ProcessExecutable(pid_t pid) {
    if (pid <= 0) return "";
    char path[64], target[4096];
    std::snprintf(path, sizeof path, "/proc/%d/exe", static_cast<int>(pid));
    ssize_t n = readlink(path, target, sizeof target - 1);
    if (n <= 0) return "";
    std::string exe(target, static_cast<size_t>(n));
    const std::string deleted = " (deleted)";
    if (exe.size() > deleted.size() && exe.compare(exe.size() - deleted.size(), deleted.size(), deleted) == 0)
        exe.resize(exe.size() - deleted.size());
    return exe;
}

bool ProcessEnvironment(pid_t pid, const std::string& name, std::string* value, bool* whole) {
    *whole = false;
    if (pid <= 0) return false;
    char path[64];
    std::snprintf(path, sizeof path, "/proc/%d/environ", static_cast<int>(pid));
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    std::string env;
    char buf[8192];
    ssize_t n = -1;
    while (env.size() < (size_t{1} << 20) && (n = read(fd, buf, sizeof buf)) > 0)
        env.append(buf, static_cast<size_t>(n));
    close(fd);
    *whole = n == 0;
    if (!*whole) return false;
    const std::string key = name + "=";
    for (size_t at = 0; at < env.size();) {
        size_t end = env.find('\0', at);
        if (end == std::string::npos) end = env.size();
        if (env.compare(at, key.size(), key) == 0) {
            *value = env.substr(at + key.size(), end - at - key.size());
            return true;
        }
        at = end + 1;
    }
    return false;
}

bool SignalProcess(pid_t pid, uint64_t startTime, int sig, int value, std::string* error) {
    const std::string who = "process " + std::to_string(pid);
    if (pid <= 1) {
        if (error) *error = who + " is never signalled";
        return false;
    }
    // Held open, the descriptor names this process even should its pid be
    // reused meanwhile; the start time read after opening it tells which
    // process that is.
    int pidfd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
    if (pidfd < 0 && errno != ENOSYS) {
        if (error) *error = who + " has ended: " + std::strerror(errno);
        return false;
    }
    auto fail = [&](const std::string& why) {
        if (pidfd >= 0) close(pidfd);
        if (error) *error = why;
        return false;
    };
    if (!ProcessIs(pid, startTime)) return fail(who + " has ended; its pid now names another process");
    char status[4096];
    if (!ReadProc(pid, "status", status, sizeof status)) return fail(who + " has ended");
    if (!MaskHas(status, "SigBlk:", sig) && !MaskHas(status, "SigCgt:", sig) && !MaskHas(status, "SigIgn:", sig))
        return fail(who + " does not take events");
    siginfo_t info;
    std::memset(&info, 0, sizeof info);
    info.si_signo = sig;
    info.si_code = SI_QUEUE;
    info.si_pid = getpid();
    info.si_uid = getuid();
    info.si_value.sival_int = value;
    long rc;
    if (pidfd >= 0) {
        rc = syscall(SYS_pidfd_send_signal, pidfd, sig, &info, 0);
    } else {
        union sigval v;
        v.sival_int = value;
        rc = sigqueue(pid, sig, v);
    }
    if (rc != 0) return fail("cannot signal " + who + ": " + std::strerror(errno));
    if (pidfd >= 0) close(pidfd);
    return true;
}
