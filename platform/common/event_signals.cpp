#include "event_signals.h"

#include <pthread.h>

void BlockEventSignals() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, ControlEventSignal());
    sigaddset(&set, SystemEventSignal());
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGPWR);
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
}
