// rt_events.cpp - system events: signals that wait blocked until a thread
// asks for them with RtNotifyEvent.
//
//   SIGPWR              -> event 8  (power failure)
//   SIGINT              -> event 11 (interrupt)
//   SIGTERM             -> event 12 (termination)
//   SIGHUP, SIGQUIT,
//   SIGXCPU             -> event 12 too: each ends a process, so the service
//                          ends as on SIGTERM, with its save
//   SystemEventSignal() -> the event code carried as the signal's value
//                          (RtSendEvent); 0 when it came without one

#include <errno.h>
#include <signal.h>
#include <string.h>
#include <time.h>

#include <string>

#include "common/event_signals.h"
#include "common/process_identity.h"
#include "rtadmin.h"
#include "rtkernel.h"

namespace {

sigset_t EventSet() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SystemEventSignal());
    for (const EndingSignal& s : kEndingSignals) sigaddset(&set, s.Number);
    return set;
}

long long NowNs() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1000000000LL + ts.tv_nsec;
}

uint32_t EventCode(const siginfo_t& info) {
    switch (info.si_signo) {
        case SIGPWR:
            return RT_EVENT_POWER_FAIL;
        case SIGINT:
            return RT_EVENT_INTERRUPT;
        default:
            // The other ending signals (kEndingSignals) end a process: a
            // termination, as SIGTERM.
            if (info.si_signo != SystemEventSignal()) return RT_EVENT_TERMINATE;
            return info.si_code == SI_QUEUE ? static_cast<uint32_t>(info.si_value.sival_int) : 0;
    }
}

}  // namespace

void RtStartup() {
    BlockEventSignals();
    IgnoreStraySignals();
}

bool RtNotifyEvent(uint32_t mask, uint32_t timeoutMs, RTEVENT* event) {
    if (!event || (mask & 0x0F) == 0) return false;
    // Waiting for a signal needs it blocked in the waiting thread too.
    BlockEventSignals();
    sigset_t set = EventSet();
    siginfo_t info;
    int sig;
    if (timeoutMs == RT_WAIT_FOREVER) {
        do {
            sig = sigwaitinfo(&set, &info);
        } while (sig < 0 && errno == EINTR);
    } else {
        long long deadline = NowNs() + static_cast<long long>(timeoutMs) * 1000000LL;
        for (;;) {
            long long left = deadline - NowNs();
            if (left < 0) left = 0;
            timespec ts{static_cast<time_t>(left / 1000000000LL), static_cast<long>(left % 1000000000LL)};
            sig = sigtimedwait(&set, &info, &ts);
            if (sig >= 0 || errno != EINTR) break;
        }
    }
    if (sig < 0) return false;
    event->Code = EventCode(info);
    bool fromProcess = info.si_code == SI_USER || info.si_code == SI_QUEUE;
    event->Param1 = fromProcess ? static_cast<uint32_t>(info.si_pid) : 0;
    event->Param2 = 0;
    return true;
}

bool RtSendEvent(pid_t pid, uint32_t code, std::string* error, uint64_t startTime) {
    if (pid <= 0) {
        if (error) *error = "bad process id " + std::to_string(pid);
        return false;
    }
    if (startTime == 0) startTime = ProcessStartTime(pid);
    return SignalProcess(pid, startTime, SystemEventSignal(), static_cast<int>(code), error);
}
