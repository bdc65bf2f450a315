// Service registration, control-event delivery and the log channel.
//
// A registered process holds a slot of the segment's service table with its
// pid and start time. Control events reach it as queued real-time signals
// (event_signals.h), which keep the order they were sent in; a delivery
// thread of the library takes them one at a time and calls the handler. A
// slot whose process has ended, or whose pid now names another process, is
// absent: free for the next registration and never sent to.
//
// Log lines go to standard error as "<UTC time> <level> <program>: <text>".
// When standard error is the system journal ($JOURNAL_STREAM names its device
// and inode), a line starts instead with its syslog priority ("<3>" for ERR,
// "<4>" WRN, "<7>" DBG, "<6>" any other level) and leaves out the time, which
// the journal records itself.
//
// Writing a line never waits: a line that standard error cannot take at once
// (a reader that stopped reading) is dropped and counted, and the first line
// that goes out again is preceded by one "WRN" line with the count.
#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "common/event_signals.h"
#include "common/process_identity.h"
#include "common/shm_segment.h"
#include "nodespace/nodespace_admin.h"
#include "nodespace/ovhgapi.h"
#include "nodespace/segment_layout.h"

using namespace nodespace;

SegmentHeader* NodeSpaceHeaderForRegistration();

namespace {

// Value that the library queues to itself to end its delivery thread.
constexpr int kStopDelivery = INT_MIN;

std::mutex g_regLock;
std::atomic<ServiceEventHandler> g_handler{nullptr};
pthread_t g_thread;
bool g_threadRunning = false;
std::atomic<bool> g_stopDelivery{false};

void* DeliveryThread(void*) {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, ControlEventSignal());
    while (!g_stopDelivery.load()) {
        siginfo_t info;
        if (sigwaitinfo(&set, &info) < 0) continue;
        int value = info.si_value.sival_int;
        if (info.si_code == SI_QUEUE && info.si_pid == getpid() && value == kStopDelivery) break;
        if (ServiceEventHandler handler = g_handler.load()) handler(0, static_cast<uint32_t>(value));
    }
    return nullptr;
}

// Standard error is the journal's stream: $JOURNAL_STREAM is "device:inode"
// in decimal and they are standard error's. Asked for every line, as the
// stream may be redirected at any time.
bool StderrIsJournal() {
    const char* stream = getenv("JOURNAL_STREAM");
    if (stream == nullptr) return false;
    char* end = nullptr;
    errno = 0;
    unsigned long long device = strtoull(stream, &end, 10);
    if (errno != 0 || end == stream || *end != ':') return false;
    const char* inodeText = end + 1;
    unsigned long long inode = strtoull(inodeText, &end, 10);
    if (errno != 0 || end == inodeText || *end != '\0') return false;
    struct stat st;
    return fstat(STDERR_FILENO, &st) == 0 && st.st_dev == device && st.st_ino == inode;
}

const char* JournalPriority(const char* level) {
    if (level == nullptr) return "<6>";
    if (strcmp(level, "ERR") == 0) return "<3>";
    if (strcmp(level, "WRN") == 0) return "<4>";
    if (strcmp(level, "DBG") == 0) return "<7>";
    return "<6>";
}

// The live process a slot names, or 0.
pid_t SlotProcess(const ServiceSlot& slot) {
    int32_t pid = slot.Pid.load();
    if (pid == 0) return 0;
    if (pid == getpid()) return pid;
    return ProcessIs(pid, slot.StartTime.load()) ? pid : 0;
}

}  // namespace

int32_t RegisterService(const ServiceRecord* record) {
    if (!record || record->Magic != kServiceRecordMagic || !record->Handler) return EINVAL;
    SegmentHeader* h = NodeSpaceHeaderForRegistration();
    if (!h) return ENODEV;
    BlockEventSignals();
    int32_t self = getpid();
    ServiceSlot* claimed = nullptr;
    for (auto& slot : h->Services) {
        if (slot.Pid.load() == self) claimed = &slot;
    }
    for (auto& slot : h->Services) {
        if (claimed) break;
        int32_t pid = slot.Pid.load();
        if (SlotProcess(slot) == 0 && slot.Pid.compare_exchange_strong(pid, self)) {
            slot.StartTime.store(SelfStartTime());
            claimed = &slot;
        }
    }
    if (!claimed) return ENOSPC;
    std::lock_guard<std::mutex> guard(g_regLock);
    g_handler.store(record->Handler);
    if (!g_threadRunning) {
        g_stopDelivery.store(false);
        if (pthread_create(&g_thread, nullptr, DeliveryThread, nullptr) != 0) {
            int32_t pid = self;
            claimed->Pid.compare_exchange_strong(pid, 0);
            g_handler.store(nullptr);
            return EAGAIN;
        }
        g_threadRunning = true;
    }
    return 0;
}

int32_t UnregisterService() {
    SegmentHeader* h = NodeSpaceHeaderForRegistration();
    int32_t self = getpid();
    if (h) {
        for (auto& slot : h->Services) {
            int32_t pid = self;
            slot.Pid.compare_exchange_strong(pid, 0);
        }
    }
    std::lock_guard<std::mutex> guard(g_regLock);
    g_handler.store(nullptr);
    if (!g_threadRunning) return 0;
    g_threadRunning = false;
    if (pthread_equal(pthread_self(), g_thread)) {
        // Called from a handler: the thread ends once the handler returns.
        g_stopDelivery.store(true);
        pthread_detach(g_thread);
        return 0;
    }
    union sigval value;
    value.sival_int = kStopDelivery;
    sigqueue(getpid(), ControlEventSignal(), value);
    pthread_join(g_thread, nullptr);
    return 0;
}

std::vector<pid_t> NodeSpaceServices() {
    std::vector<pid_t> out;
    SegmentHeader* h = NodeSpaceHeaderForRegistration();
    if (!h) return out;
    for (auto& slot : h->Services) {
        if (pid_t pid = SlotProcess(slot)) out.push_back(pid);
    }
    return out;
}

bool NodeSpaceSendControl(pid_t pid, uint32_t event, std::string* error, uint64_t startTime) {
    if (startTime != 0) return SignalProcess(pid, startTime, ControlEventSignal(), static_cast<int>(event), error);
    SegmentHeader* h = NodeSpaceHeaderForRegistration();
    uint64_t start = 0;
    for (size_t i = 0; h && pid != 0 && i < kMaxServices; ++i) {
        if (SlotProcess(h->Services[i]) == pid)
            start = pid == getpid() ? SelfStartTime() : h->Services[i].StartTime.load();
    }
    if (start == 0) {
        if (error) *error = "process " + std::to_string(pid) + " has no registered service";
        return false;
    }
    return SignalProcess(pid, start, ControlEventSignal(), static_cast<int>(event), error);
}

namespace {

// Where log lines go. Standard error is never waited on: a pipe or terminal
// gets a descriptor of its own opened non-blocking (so the flag does not
// change the one shared with other processes), a socket is sent to without
// waiting, and a regular file is written as it is. Looked at for each line
// (standard error may be replaced while the process runs); all under the
// line lock.
int LogFd = -1;  // the descriptor of its own, or -1
dev_t LogDevice = 0;
ino_t LogInode = 0;
bool LogIsSocket = false;
unsigned long LogDropped = 0;  // lines lost since the last line that went out
bool LogMidLine = false;       // a line was cut short: the next starts afresh

int ChooseLogDescriptor() {
    struct stat st;
    if (fstat(STDERR_FILENO, &st) != 0) return STDERR_FILENO;
    LogIsSocket = S_ISSOCK(st.st_mode);
    if (!S_ISFIFO(st.st_mode) && !S_ISCHR(st.st_mode)) return STDERR_FILENO;
    if (LogFd >= 0 && st.st_dev == LogDevice && st.st_ino == LogInode) return LogFd;
    if (LogFd >= 0) close(LogFd);
    LogFd = open("/proc/self/fd/2", O_WRONLY | O_APPEND | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    LogDevice = st.st_dev;
    LogInode = st.st_ino;
    return LogFd >= 0 ? LogFd : STDERR_FILENO;
}

// Writes what standard error takes at once: the number of bytes written.
size_t PutNow(int fd, const char* p, size_t size) {
    size_t done = 0;
    while (done < size) {
        ssize_t n = LogIsSocket ? send(fd, p + done, size - done, MSG_DONTWAIT | MSG_NOSIGNAL)
                                : write(fd, p + done, size - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        done += static_cast<size_t>(n);
    }
    return done;
}

std::string FormatLine(const char* level, const char* text) {
    std::string line;
    if (StderrIsJournal()) {
        line = JournalPriority(level);
    } else {
        struct timespec now;
        clock_gettime(CLOCK_REALTIME, &now);
        struct tm utc;
        gmtime_r(&now.tv_sec, &utc);
        char stamp[40];
        strftime(stamp, sizeof stamp, "%Y-%m-%dT%H:%M:%S", &utc);
        line = std::string(stamp) + "." + std::to_string(now.tv_nsec / 1000000 + 1000).substr(1) + "Z ";
    }
    return line + (level ? level : "-") + " " + program_invocation_short_name + ": " + (text ? text : "") + "\n";
}

// Writes one whole line, or counts it as dropped.
bool PutLine(int fd, const std::string& line) {
    if (LogMidLine) {
        if (PutNow(fd, "\n", 1) != 1) return false;
        LogMidLine = false;
    }
    const size_t done = PutNow(fd, line.data(), line.size());
    if (done == line.size()) return true;
    LogMidLine = done > 0;
    return false;
}

}  // namespace

int32_t NodeLogWrite(NodeLogChannelTag*, const char* level, const char* text) {
    static std::mutex lock;
    const std::string line = FormatLine(level, text);
    std::lock_guard<std::mutex> guard(lock);
    const int fd = ChooseLogDescriptor();
    if (LogDropped > 0) {
        const std::string count = FormatLine(
            "WRN", (std::to_string(LogDropped) + " log lines dropped: standard error did not take them").c_str());
        if (!PutLine(fd, count)) {
            ++LogDropped;
            return EAGAIN;
        }
        LogDropped = 0;
    }
    if (PutLine(fd, line)) return 0;
    ++LogDropped;
    return errno ? errno : EIO;
}
