// threads.h - the Trig thread, which polls the Save and Load triggers, and the
// Notify thread, which waits for the kernel's system events.
//
// PublishTriggers runs once on the main thread at start-up; the thread bodies
// never return. Trigger watchers are owned by the Trig thread; a watcher that
// could not be allocated (nullptr) or that watches index 0 never fires. The
// Notify thread acts only on events that RtNotifyEvent actually delivered. No
// failure is reported: a failed save or load only goes uncounted.
#pragma once

#include <cstdint>

struct TriggerWatcher {
    uint32_t NodeIndex;
    uint32_t LastSeen;
};

void PublishTriggers();
void TrigThread(void* parameter);
void NotifyThread(void* parameter);

TriggerWatcher* CreateTriggerWatcher(uint32_t nodeIndex);
bool TriggerChanged(TriggerWatcher* watcher);
void ResetTrigger(TriggerWatcher* watcher);
void FreeTriggerWatcher(TriggerWatcher* watcher);
