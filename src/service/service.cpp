// service.cpp - start-up in its fixed order, the service event handler and
// shutdown.
#include "service/service.h"

#include <errno.h>
#include <unistd.h>

#include <atomic>
#include <cstring>

#include "nodespace/ovhgapi.h"
#include "report/report.h"
#include "retain/adoption.h"
#include "retain/retain_file.h"
#include "retain/startup_check.h"
#include "rtkernel/rtadmin.h"
#include "rtkernel/rtkernel.h"
#include "service/readiness.h"
#include "service/status_record.h"
#include "stdlib/pmem.h"
#include "threads/threads.h"
#include "variables/variables.h"

namespace {

constexpr uint32_t kThreadStackSize = 4096;

// Written once by ServiceInit before ExitSemaphoreReady is set; read by
// SignalExit only after it has seen the flag set.
RTHANDLE ExitSemaphore = RT_BAD_HANDLE;

// The hand-over between SignalExit, which may run on any thread from the
// registration on, and ServiceInit, which creates the semaphore later. Each
// side first publishes its own flag, then reads the other's; with
// sequentially consistent atomics at least one of them sees both flags and
// releases, so no exit request is lost. When both release, the second one
// fails past the semaphore's maximum of one unit, which is harmless.
std::atomic<bool> ExitRequested{false};
std::atomic<bool> ExitSaveFailed{false};
std::atomic<bool> ExitSemaphoreReady{false};
// Why the service ends; the first reason given holds (a static text).
std::atomic<const char*> ExitReason{nullptr};

// Set by ServiceInit before it returns false for a node space that cannot be
// attached or verified; main thread only.
bool StartFailedOnConfiguration = false;

}  // namespace

bool ServiceInit() {
    // Nothing is touched on a node space that cannot be trusted, or that
    // another service already serves: two would tear each other's files.
    int32_t holder = 0;
    char reason[256];
    if (const int32_t claim = NodeClaimService(&holder, reason, sizeof reason); claim != 0) {
        report(&LogChannel, "ERR", "Service not started: %s.", reason);
        // Served by another process may pass; a node space that cannot be
        // trusted stays so until someone mends it.
        StartFailedOnConfiguration = claim != EBUSY;
        return false;
    }
    OpenStatusRecord();
    // The buffers of a save or load of a large node space are not kept.
    PMemReturnLargeBlocks(size_t{1} << 20);
    report(&LogChannel, "INF", "Service started: process %d.", static_cast<int>(getpid()));

    ServiceRecord record;
    memset(&record, 0, sizeof record);
    record.Magic = kServiceRecordMagic;
    record.Handler = OnServiceEvent;
    RegisterService(&record);

    RtSleep(100);

    PublishConfiguration();
    PublishStatus();
    PublishTriggers();

    ExitSemaphore = CreateRtSemaphore(0, 1, 0);
    CatalogRtHandle(0, ExitSemaphore, "Exit");
    ExitSemaphoreReady.store(true, std::memory_order_seq_cst);
    // A stop that came before the semaphore existed ends the service as soon
    // as start-up is done.
    if (ExitRequested.load(std::memory_order_seq_cst)) ReleaseRtSemaphore(ExitSemaphore, 1);

    // Priorities wrap at 256: Priority 254 gives the main thread 0.
    SetRtProcessMaxPriority(0, 0);
    SetRtThreadPriority(0, static_cast<uint8_t>(GetPriority() + 2));
    // OVRT_REALTIME=1 asked for SCHED_FIFO; without the right (RLIMIT_RTPRIO,
    // CAP_SYS_NICE, the cgroup's real-time budget) the threads run on under
    // the normal scheduler, which would otherwise go unnoticed.
    if (const int refused = RtRealtimeRefusal(); refused != 0)
        report(&LogChannel, "WRN", "Real-time scheduling not granted (%s): the threads run under the normal scheduler.",
               strerror(refused));

    RTHANDLE root = GetRtThreadHandles(RT_ROOT_PROCESS);
    UncatalogRtHandle(root, "OvRetain");
    CatalogRtHandle(root, GetRtThreadHandles(RT_THIS_PROCESS), "OvRetain");
    CatalogRtHandle(0, GetRtThreadHandles(RT_THIS_THREAD), "Main");

    CreateRtThread(static_cast<uint8_t>(GetPriority() + 1), NotifyThread, kThreadStackSize, nullptr);

    if (!CheckRetainFile()) {
        // Another node space's service owns the retain directory, or
        // OutPath lies outside the drive root (a configuration error).
        StartFailedOnConfiguration = RetainOutPathRefused();
        UncatalogRtHandle(root, "OvRetain");
        UnregisterService();
        CloseStatusRecord();
        return false;
    }
    // The values come back before the first poll counts Live or says ready;
    // a node space that already adopted the file keeps its live values.
    // A file of another layout that could not be kept aside is not loaded.
    if (GetAutoLoad() == 1 && RetainFileAwaitsAutoLoad()) RecordedRetainOperation(STATUS_AUTOLOAD, LoadRetainFile);
    RecordAwaitedLoad();
    RecordRetainFileSeen();

    // Only exactly 1 counts; an absent AutoRun reads 0 and leaves Run alone.
    if (GetAutoRun() == 1) SetRun(1);

    ServiceStartupComplete();
    // Off the path of any event: the first save of the run then costs what
    // every later one does.
    PrepareFirstSave();
    return true;
}

void ServiceExit() {
    ServiceShutdownBegins();
    UncatalogRtHandle(GetRtThreadHandles(RT_ROOT_PROCESS), "OvRetain");
    UnregisterService();
    // A save still running on another thread (a second shutdown event) would
    // be cut off when main returns: wait for it, and keep the lock so that no
    // new one starts before the process ends.
    LockRetainFile();
    CloseStatusRecord();
    const char* reason = ExitReason.load();
    report(&LogChannel, "INF", "Service stopped: %s; exit status %d.", reason ? reason : "exit requested",
           ServiceExitStatus());
}

int32_t OnServiceEvent(uint32_t /*context*/, uint32_t event) {
    switch (event) {
        case EM_SERVICE_STOP:
            report(&LogChannel, "DBG", "EM_SERVICE_STOP recieved.");
            ServiceShutdownBegins();
            // before start-up has built the paths this does nothing (see SaveForExit)
            RecordedRetainOperation(STATUS_STOP_SAVE, SaveForExit);
            SetRun(0);
            SignalExit("stop event");
            break;
        case EM_SERVICE_RUN:
            report(&LogChannel, "DBG", "EM_SERVICE_RUN recieved.");
            SetRun(1);
            break;
        case EM_SERVICE_PAUSE:
            report(&LogChannel, "DBG", "EM_SERVICE_PAUSE recieved.");
            SetRun(0);
            break;
        default:
            break;
    }
    return 0;
}

// Whatever the wait returns, the caller goes on to shutdown.
void WaitForExit() {
    WaitForRtSemaphore(ExitSemaphore, 1, RT_WAIT_FOREVER);
}

void SignalExit(const char* reason) {
    const char* none = nullptr;
    ExitReason.compare_exchange_strong(none, reason);
    ExitRequested.store(true, std::memory_order_seq_cst);
    if (ExitSemaphoreReady.load(std::memory_order_seq_cst)) ReleaseRtSemaphore(ExitSemaphore, 1);
}

uint8_t SaveForExit() {
    const int status = SaveRetainFileStatus();
    if (status == 0) ExitSaveFailed.store(true, std::memory_order_seq_cst);
    return status == 1 ? 1 : 0;
}

bool NodeSpaceLost() {
    static std::atomic<bool> lost{false};
    if (lost.load()) return true;
    if (NodeSpaceSound() != ESTALE) return false;
    lost.store(true);
    report(&LogChannel, "ERR", "Node space destroyed or replaced under the service; ending without a save.");
    ServiceShutdownBegins();
    ExitSaveFailed.store(true, std::memory_order_seq_cst);
    SetRun(0);
    SignalExit("node space destroyed or replaced");
    return true;
}

int ServiceStartFailureStatus() {
    return StartFailedOnConfiguration ? kExitConfiguration : 1;
}

int ServiceExitStatus() {
    return ExitSaveFailed.load(std::memory_order_seq_cst) ? 1 : 0;
}
