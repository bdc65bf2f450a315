// readiness.cpp - readiness, watchdog and stopping messages to the service
// manager, through the platform's notify operation.
#include "service/readiness.h"

#include <atomic>

#include "sysmanager/service_notify.h"

namespace {

std::atomic<bool> StartupDone{false};
std::atomic<bool> ShutdownBegun{false};
// Touched by the Trig thread only.
bool ReadySent = false;

}  // namespace

void ServiceStartupComplete() {
    StartupDone.store(true);
}

bool ServiceStarted() {
    return StartupDone.load();
}

void ServicePollAlive() {
    if (!ReadySent && StartupDone.load() && !ShutdownBegun.load()) {
        ReadySent = true;
        NotifyServiceManager("READY=1");
    }
    NotifyServiceManager("WATCHDOG=1");
}

void ServiceShutdownBegins() {
    if (!ShutdownBegun.exchange(true)) NotifyServiceManager("STOPPING=1");
}
