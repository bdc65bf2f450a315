// event_signals.h - the POSIX signals that carry events between processes.
//
// Control events (run, pause, stop) for a registered service travel as
// kControlEventSignal, kernel system events as kSystemEventSignal, each with
// the event code as the signal's value. SIGTERM, SIGINT and SIGPWR are system
// events too, and so are SIGHUP, SIGQUIT and SIGXCPU (a hang-up, a quit from
// the terminal and a CPU limit end the service like SIGTERM, with its save).
// All of them must be blocked in every thread, so that they wait
// queued until the thread that delivers them asks: BlockEventSignals does that
// and must run before the process starts any thread.
#pragma once

#include <signal.h>

inline int ControlEventSignal() {
    return SIGRTMIN + 1;
}
inline int SystemEventSignal() {
    return SIGRTMIN + 2;
}

// The signals that are system events: each ends the service with its save
// (SIGPWR as a power failure, SIGINT as an interrupt, the others as a
// termination). Blocked by BlockEventSignals, waited for by RtNotifyEvent,
// named in ovretain --help and in the list of public names.
struct EndingSignal {
    int Number;
    const char* Name;
};
inline const EndingSignal kEndingSignals[] = {{SIGTERM, "SIGTERM"}, {SIGINT, "SIGINT"},   {SIGHUP, "SIGHUP"},
                                              {SIGQUIT, "SIGQUIT"}, {SIGXCPU, "SIGXCPU"}, {SIGPWR, "SIGPWR"}};

// Blocks the event signals in the calling thread; threads started afterwards
// inherit the mask. Safe to call more than once.
void BlockEventSignals();

// Ignores, for the whole process, every other signal whose default action
// would end it although it means nothing to it (SIGPIPE, SIGUSR1, SIGUSR2,
// SIGALRM, SIGXFSZ, SIGVTALRM, SIGPROF, the terminal stops, SIGIO,
// SIGSTKFLT, the unused real-time signals). The fault signals (SIGSEGV,
// SIGBUS, SIGILL, SIGFPE, SIGABRT, SIGTRAP, SIGSYS) keep their default.
void IgnoreStraySignals();
