// service.h - the service's entry, start-up order, control events and
// shutdown.
//
// ServiceInit and ServiceExit run on the main thread. OnServiceEvent runs on
// the library's delivery thread and may come before ServiceInit has created
// the Exit semaphore: a stop that early is remembered and ends the service as
// soon as the semaphore exists. SignalExit may be called from any thread.
#pragma once

#include <cstdint>

constexpr uint32_t EM_SERVICE_STOP = 101;
constexpr uint32_t EM_SERVICE_RUN = 102;
constexpr uint32_t EM_SERVICE_PAUSE = 103;

// The exit status of a start that failed on its configuration: a node space
// that cannot be attached or verified. Service managers leave it failed
// instead of restarting it (EX_CONFIG of sysexits.h).
constexpr int kExitConfiguration = 78;

// False, after one "ERR" line, when the node space cannot be attached or
// verified or another service runs on it (nothing has been started then),
// or when another process claimed the retain directory (the start-up check
// read nothing; the registration is withdrawn). With AutoLoad 1 the retain
// file that the node space has not adopted is loaded before start-up is
// complete.
bool ServiceInit();
// What main returns after ServiceInit failed: kExitConfiguration for a node
// space that cannot be attached or verified, else 1.
int ServiceStartFailureStatus();
void ServiceExit();
int32_t OnServiceEvent(uint32_t context, uint32_t event);
void WaitForExit();
// reason ("stop event", "shutdown event 12", ...) names why in the log line
// "Service stopped: <reason>; exit status <n>."; the first one given holds.
void SignalExit(const char* reason);
// The save of a stop or shutdown event (SaveRetainFile's result): a failure
// makes the process's exit status 1. A stop that comes before start-up has
// built the paths ends the service without a save, and without a failure.
// Any thread.
uint8_t SaveForExit();
// Each poll of the Trig thread: true once the node space was destroyed or
// replaced under the service. The first time it writes one "ERR" line and
// ends the service with status 1; nothing is saved (every save fails, see
// adoption.h), so a newer service's file is never replaced.
bool NodeSpaceLost();
// What main returns: 0, or 1 when a save before exit failed.
int ServiceExitStatus();
