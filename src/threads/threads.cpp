// threads.cpp - the Trig thread, which turns changes of the Save and Load
// triggers into saves and loads of the retain file, and the Notify thread,
// which ends the service on a shutdown-class system event.
#include "threads/threads.h"

#include "nodespace/ovhgapi.h"
#include "report/report.h"
#include "retain/retain_file.h"
#include "rtkernel/rtkernel.h"
#include "service/readiness.h"
#include "service/service.h"
#include "service/status_record.h"
#include "stdlib/pmem.h"
#include "threads/autosave.h"
#include "threads/journal_poll.h"
#include "variables/variables.h"

namespace {

constexpr uint32_t kThreadStackSize = 4096;
constexpr uint32_t kPollPeriodMs = 100;
constexpr uint32_t kAllEventClasses = 0x0F;

// For the "Service stopped" line: a static text per shutdown code.
const char* ShutdownReason(uint32_t code) {
    switch (code) {
        case 8:
            return "power-fail event 8";
        case 11:
            return "shutdown event 11";
        case 12:
            return "shutdown event 12";
        case 230:
            return "shutdown event 230";
        case 255:
            return "shutdown event 255";
        default:
            return "shutdown event";
    }
}

bool IsShutdownEvent(uint32_t code) {
    switch (code) {
        case 8:
        case 11:
        case 12:
        case 230:
        case 255:
            return true;
        default:
            return false;
    }
}

// Index 0 names no node: a watcher on it reads nothing and writes nothing.
void WriteLastSeen(TriggerWatcher* watcher) {
    WriteOwnValue(watcher->NodeIndex, &watcher->LastSeen, 4);
}

}  // namespace

void PublishTriggers() {
    PublishTable(TriggerTable);
    // Started even when the table was cut short; its handle is not needed.
    CreateRtThread(static_cast<uint8_t>(GetPriority()), TrigThread, kThreadStackSize, nullptr);
}

TriggerWatcher* CreateTriggerWatcher(uint32_t nodeIndex) {
    auto* watcher = static_cast<TriggerWatcher*>(PMemAlloc(sizeof(TriggerWatcher)));
    if (watcher == nullptr) return nullptr;
    watcher->NodeIndex = nodeIndex;
    watcher->LastSeen = 0;
    WriteLastSeen(watcher);
    return watcher;
}

bool TriggerChanged(TriggerWatcher* watcher) {
    if (watcher == nullptr || watcher->NodeIndex == 0) return false;
    uint32_t previous = watcher->LastSeen;
    // A read that fails leaves LastSeen as it was, so nothing fires.
    NodeReadValue(watcher->NodeIndex, &watcher->LastSeen, 4);
    return watcher->LastSeen != previous;
}

void ResetTrigger(TriggerWatcher* watcher) {
    if (watcher == nullptr) return;
    watcher->LastSeen = 0;
    WriteLastSeen(watcher);
}

void FreeTriggerWatcher(TriggerWatcher* watcher) {
    PMemFree(watcher);
}

void TrigThread(void* /*parameter*/) {
    // Creating the watchers clears both triggers: a value left in them from
    // before the start is discarded without action.
    TriggerWatcher* save = CreateTriggerWatcher(TriggerTable[SAVE_ROW].Index);
    TriggerWatcher* load = CreateTriggerWatcher(TriggerTable[LOAD_ROW].Index);
    CatalogRtHandle(0, GetRtThreadHandles(RT_THIS_THREAD), "Trig");
    for (;;) {
        RtSleepEx(kPollPeriodMs);
        if (NodeSpaceLost()) continue;
        ServicePollAlive();
        // Live counts and triggers act only once start-up (the check and
        // AutoLoad) is done.
        if (!ServiceStarted()) continue;
        const bool paused = GetRun() == 0;
        RecordRunState(paused);
        if (paused) continue;
        IncrementLive();
        // Save before load; both may fire in one poll. Each fired trigger is
        // reset whatever the outcome, and only a success is counted.
        if (TriggerChanged(save)) {
            uint8_t ok = RecordedRetainOperation(STATUS_TRIGGER_SAVE, SaveRetainFile);
            ResetTrigger(save);
            if (ok) IncrementSaveCount();
        }
        if (TriggerChanged(load)) {
            uint8_t ok = RecordedRetainOperation(STATUS_TRIGGER_LOAD, LoadRetainFile);
            ResetTrigger(load);
            if (ok) IncrementLoadCount();
        }
        AutoSavePoll();
        JournalPoll();
    }
}

void NotifyThread(void* /*parameter*/) {
    CatalogRtHandle(0, GetRtThreadHandles(RT_THIS_THREAD), "Notify");
    RTEVENT event = {};
    for (;;) {
        // The code is cleared before each wait and looked at only after a
        // successful one: a failed wait leaves the record unwritten, and
        // acting on the code it still held would repeat the previous event
        // (a second save and release for one shutdown). The log line says an
        // event came, so it is written only then too; a wait that fails at
        // once would otherwise flood the log. Such a failure is retried after
        // one poll period rather than in a tight loop.
        event.Code = 0;
        if (!RtNotifyEvent(kAllEventClasses, RT_WAIT_FOREVER, &event)) {
            RtSleepEx(kPollPeriodMs);
            continue;
        }
        report(&LogChannel, "DBG", "NotifyEvent recieved.");
        if (IsShutdownEvent(event.Code)) {
            ServiceShutdownBegins();
            RecordedRetainOperation(STATUS_SHUTDOWN_SAVE, SaveForExit);
            SetRun(0);
            SignalExit(ShutdownReason(event.Code));
        }
    }
}
