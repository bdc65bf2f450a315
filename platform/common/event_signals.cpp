#include "event_signals.h"

#include <pthread.h>

void BlockEventSignals() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, ControlEventSignal());
    sigaddset(&set, SystemEventSignal());
    for (const EndingSignal& s : kEndingSignals) sigaddset(&set, s.Number);
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

void IgnoreStraySignals() {
    // Signals whose default action would end the process without a save, and
    // that the service does not use: a reader of its standard error that has
    // gone (SIGPIPE; the write then fails with EPIPE), a file size limit
    // (SIGXFSZ; the write fails with EFBIG and the save reports it), timers
    // and user signals sent by mistake, terminal job control (which would
    // stop the service, not end it, but a stopped service saves nothing) and
    // the real-time signals other than the two that carry events.
    const int stray[] = {SIGPIPE, SIGUSR1, SIGUSR2, SIGALRM, SIGXFSZ, SIGVTALRM,
                         SIGPROF, SIGTSTP, SIGTTIN, SIGTTOU, SIGIO,   SIGSTKFLT};
    struct sigaction ignore = {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    for (int sig : stray) sigaction(sig, &ignore, nullptr);
    for (int sig = SIGRTMIN; sig <= SIGRTMAX; ++sig) {
        if (sig == ControlEventSignal() || sig == SystemEventSignal()) continue;
        sigaction(sig, &ignore, nullptr);
    }
}
