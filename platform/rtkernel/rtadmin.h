// rtadmin.h - the kernel layer's operations for tools and tests: reading the
// root catalogue, finding processes and sending system events.
//
// Callable from any thread. Failures return false or an empty result and set
// *error where one is given.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

// Sets up the calling process for event delivery: blocks the signals that
// arrive as events in every thread that starts afterwards, and ignores the
// signals that would otherwise end it for nothing. The service calls
// it before main through a static initialiser; tests call it first thing.
void RtStartup();

// Name of the runtime instance: OVNODE_SPACE, else "ovnodespace".
std::string RtInstanceName();
// Uses another instance from now on (tools with --space, tests).
void RtSelectInstance(const std::string& name);

struct RtCatalogEntry {
    pid_t Pid = 0;        // process the entry belongs to
    std::string Process;  // catalogue it stands in: "" for the root one,
                          // else the name of its process in the root
                          // catalogue, or its pid in decimal
    std::string Name;     // catalogued name
    std::string Kind;     // "process", "thread" or "semaphore"
    int Priority = -1;    // threads: current priority; others: -1
    int Tid = 0;          // threads: Linux thread id
};

// Every live entry: the root catalogue and each process's own, with entries
// of processes that have ended left out.
std::vector<RtCatalogEntry> RtReadCatalog();
// The same, saying why it could not be read: false, with the reason, when
// the catalogue is there but refused, not of this layout, or its lock was
// not had in time. No catalogue at all reads as an empty one.
bool RtReadCatalog(std::vector<RtCatalogEntry>* entries, std::string* error);
// Process id catalogued under name in the root catalogue, or 0 (also when
// the process that made the entry has ended or its pid names another process
// now). *startTime, where given, receives the process's start time.
pid_t RtFindProcess(const std::string& name, uint64_t* startTime = nullptr);
// Delivers system event `code` to process pid, only while it is the process
// that started at startTime (0: whichever process pid is now) and takes
// events: one that does not block the event signal is refused, since the
// signal would end it.
bool RtSendEvent(pid_t pid, uint32_t code, std::string* error, uint64_t startTime = 0);
// Removes the instance's shared catalogue.
bool RtDestroyInstance(const std::string& name);

// The SCHED_FIFO priority (1..99) that kernel priority p (0..255, lower more
// urgent) runs at in real-time mode (OVRT_REALTIME=1): a linear fold, 0 to 99
// and 255 to 1, so up to three neighbouring priorities share a level.
int RtLinuxPriority(uint8_t priority);
// 0 while real-time mode was not asked for or every SCHED_FIFO request was
// granted; else the error (EPERM, ...) of the first one the system refused.
// The threads then run on under the normal scheduler.
int RtRealtimeRefusal();
