// The fault seam of the file and memory operations: per-operation call
// counters, the armed faults and holds, $OVRT_FAULT and $OVRT_HOLD.
#include "stdlib/fault_seam.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

#include "stdlib/pmem.h"

namespace {

// A fault fires at call number Target and at the Times - 1 calls after it
// (every later call when Times is kForever). Target 0 means no fault; calls
// are counted only while a fault is armed, so the operations cost one load
// when none is (saves call them per node).
constexpr uint64_t kForever = ~uint64_t{0};

struct Fault {
    std::atomic<uint64_t> Calls{0};
    std::atomic<uint64_t> Target{0};
    std::atomic<int> Error{0};
    std::atomic<uint64_t> Times{1};
};

Fault Faults[PF_OP_COUNT];

const char* const OpNames[PF_OP_COUNT] = {"open",  "read",   "write",  "seek", "flush",   "sync",
                                          "close", "remove", "rename", "link", "syncdir", "mkdir"};

struct ErrorName {
    const char* Name;
    int Code;
};
const ErrorName ErrorNames[] = {
    {"ENOSPC", ENOSPC}, {"EIO", EIO},         {"EACCES", EACCES}, {"EPERM", EPERM},   {"ENOENT", ENOENT},
    {"EROFS", EROFS},   {"EXDEV", EXDEV},     {"ENOMEM", ENOMEM}, {"EDQUOT", EDQUOT}, {"EFBIG", EFBIG},
    {"EEXIST", EEXIST}, {"ENOTDIR", ENOTDIR}, {"EISDIR", EISDIR}, {"EINVAL", EINVAL}, {"EBADF", EBADF},
    {"EMFILE", EMFILE}, {"ENFILE", ENFILE},   {"EINTR", EINTR},   {"EBUSY", EBUSY},   {"ENAMETOOLONG", ENAMETOOLONG},
};

int ParseError(const std::string& text) {
    for (const ErrorName& e : ErrorNames) {
        if (text == e.Name) return e.Code;
    }
    char* end = nullptr;
    long value = std::strtol(text.c_str(), &end, 10);
    if (!text.empty() && end && *end == '\0' && value > 0 && value < 4096) return static_cast<int>(value);
    return 0;
}

void Arm(PFileOp op, unsigned nth, int error, uint64_t times) {
    Fault& f = Faults[op];
    f.Error.store(error, std::memory_order_relaxed);
    f.Times.store(times, std::memory_order_relaxed);
    uint64_t target = nth == 0 ? 0 : f.Calls.load(std::memory_order_relaxed) + nth;
    f.Target.store(target, std::memory_order_release);
    if (target != 0)
        FileFaultsArmed.fetch_or(1u << op, std::memory_order_release);
    else
        FileFaultsArmed.fetch_and(~(1u << op), std::memory_order_release);
}

// Arms one entry "op:nth:ERRNAME[:sticky|:count]"; false when it is malformed.
bool ParseEntry(const std::string& entry) {
    std::string field[4];
    size_t count = 0, start = 0;
    while (count < 4) {
        size_t colon = entry.find(':', start);
        field[count++] = entry.substr(start, colon == std::string::npos ? std::string::npos : colon - start);
        if (colon == std::string::npos) break;
        start = colon + 1;
    }
    if (count < 3) return false;
    char* end = nullptr;
    unsigned long nth = std::strtoul(field[1].c_str(), &end, 10);
    if (field[1].empty() || *end != '\0' || nth == 0 || nth > 0xFFFFFFFFul) return false;
    uint64_t times = 1;
    if (count == 4 && field[3] == "sticky") {
        times = kForever;
    } else if (count == 4) {
        unsigned long n = std::strtoul(field[3].c_str(), &end, 10);
        if (field[3].empty() || *end != '\0' || n == 0 || n > 0xFFFFFFFFul) return false;
        times = n;
    }
    if (field[0] == "alloc") {
        if (times != 1 && times != kForever) return false;  // once or sticky only
        PMemInjectFault(static_cast<unsigned>(nth), times == kForever);
        return true;
    }
    int error = ParseError(field[2]);
    if (error == 0) return false;
    for (int op = 0; op < PF_OP_COUNT; ++op) {
        if (field[0] == OpNames[op]) {
            Arm(static_cast<PFileOp>(op), static_cast<unsigned>(nth), error, times);
            return true;
        }
    }
    return false;
}

// A malformed entry is named on standard error: a typo would otherwise arm
// nothing, and a test relying on it would pass for nothing.
void ArmEntry(const std::string& entry) {
    if (!ParseEntry(entry)) std::fprintf(stderr, "OVRT_FAULT: ignoring '%s'\n", entry.c_str());
}

// A hold of one operation: its nth call on a file of this name waits at the
// gate. Set up once, before any operation reads it; only Calls changes.
struct Hold {
    std::string Name;
    std::string Gate;
    uint64_t Nth = 0;
    std::atomic<uint64_t> Calls{0};
};

Hold Holds[PF_OP_COUNT];

// Arms one entry "op:name:nth:gate"; false when it is malformed.
bool ParseHold(const std::string& entry) {
    size_t first = entry.find(':');
    size_t second = first == std::string::npos ? first : entry.find(':', first + 1);
    size_t third = second == std::string::npos ? second : entry.find(':', second + 1);
    if (third == std::string::npos || third + 1 >= entry.size()) return false;
    const std::string op = entry.substr(0, first), name = entry.substr(first + 1, second - first - 1),
                      nth = entry.substr(second + 1, third - second - 1);
    char* end = nullptr;
    unsigned long n = std::strtoul(nth.c_str(), &end, 10);
    if (name.empty() || name.find('/') != std::string::npos || nth.empty() || *end != '\0' || n == 0) return false;
    for (PFileOp o : {PF_OPEN, PF_REMOVE, PF_RENAME, PF_LINK}) {
        if (op != OpNames[o]) continue;
        Holds[o].Name = name;
        Holds[o].Gate = entry.substr(third + 1);
        Holds[o].Nth = n;
        FileHoldsArmed.fetch_or(1u << o, std::memory_order_release);
        return true;
    }
    return false;
}

// Splits a comma-separated setting and hands each entry to arm.
void ArmEach(const char* setting, void (*arm)(const std::string&)) {
    if (!setting) return;
    std::string all = setting;
    size_t start = 0;
    while (start <= all.size()) {
        size_t comma = all.find(',', start);
        arm(all.substr(start, comma == std::string::npos ? std::string::npos : comma - start));
        if (comma == std::string::npos) break;
        start = comma + 1;
    }
}

void ArmHoldEntry(const std::string& entry) {
    if (!ParseHold(entry)) std::fprintf(stderr, "OVRT_HOLD: ignoring '%s'\n", entry.c_str());
}

}  // namespace

std::atomic<uint32_t> FileHoldsArmed{0};

void PFileHoldCounted(PFileOp op, const char* name) {
    Hold& h = Holds[op];
    const char* slash = std::strrchr(name, '/');
    if (h.Name != (slash ? slash + 1 : name)) return;
    if (h.Calls.fetch_add(1, std::memory_order_relaxed) + 1 != h.Nth) return;
    int saved = errno;
    int fd = ::open(h.Gate.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
    if (fd >= 0) ::close(fd);
    struct stat st;
    const struct timespec pause = {0, 2000000};
    while (fd >= 0 && ::stat(h.Gate.c_str(), &st) == 0) ::nanosleep(&pause, nullptr);
    errno = saved;
}

std::atomic<bool> FaultEnvironmentRead{false};
std::atomic<uint32_t> FileFaultsArmed{0};

void ReadFaultEnvironment() {
    static std::once_flag once;
    std::call_once(once, [] {
        ArmEach(std::getenv("OVRT_FAULT"), ArmEntry);
        ArmEach(std::getenv("OVRT_HOLD"), ArmHoldEntry);
    });
    FaultEnvironmentRead.store(true, std::memory_order_release);
}

bool PFileFaultCounted(PFileOp op) {
    Fault& f = Faults[op];
    uint64_t target = f.Target.load(std::memory_order_acquire);
    if (target == 0) return false;
    uint64_t n = f.Calls.fetch_add(1, std::memory_order_relaxed) + 1;
    if (n < target) return false;
    if (n - target >= f.Times.load(std::memory_order_relaxed)) return false;
    errno = f.Error.load(std::memory_order_relaxed);
    return true;
}

void PFileInjectFault(PFileOp op, unsigned nth, int error, bool sticky) {
    ArmFaultsFromEnvironment();
    if (op < 0 || op >= PF_OP_COUNT) return;
    Arm(op, nth, error, sticky ? kForever : 1);
}

void PFileClearFaults() {
    ArmFaultsFromEnvironment();
    for (Fault& f : Faults) f.Target.store(0, std::memory_order_release);
    FileFaultsArmed.store(0, std::memory_order_release);
}

const char* PFileOpName(PFileOp op) {
    if (op < 0 || op >= PF_OP_COUNT) return "?";
    return OpNames[op];
}
