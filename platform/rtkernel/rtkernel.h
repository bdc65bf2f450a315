// rtkernel.h - the real-time kernel operations, on POSIX threads and signals.
//
// Owns: threads, counting semaphores, the catalogues of names, thread
// priorities and the delivery of system events to a process.
//
// Contract:
//  - Every operation may be called from any thread.
//  - Objects are named by 16-bit handles. Handle 0 in a catalogue or priority
//    call means "the calling process" or "the calling thread".
//  - Failures are reported by the result (RT_BAD_HANDLE, false or
//    RT_WAIT_FAILED) and never abort the process.
//  - Priorities run 0..255, lower more urgent. They are recorded and shown in
//    the catalogue; with OVRT_REALTIME=1, where the process may, threads run
//    under SCHED_FIFO with the priority mapped onto Linux's range.
//  - The root catalogue is shared by all processes of the runtime instance
//    named by OVNODE_SPACE (default "ovnodespace").
//  - System events: SIGPWR arrives as event 8, SIGINT as 11 and SIGTERM as 12;
//    any code can be sent by another process (rtadmin.h). An event that
//    arrives while no thread waits is kept until one does.
#pragma once

#include <cstdint>

typedef uint16_t RTHANDLE;

constexpr RTHANDLE RT_BAD_HANDLE = 0xFFFF;
constexpr uint32_t RT_WAIT_FOREVER = 0xFFFFFFFFu;
constexpr uint32_t RT_WAIT_FAILED = 0xFFFFFFFFu;

// Selectors of GetRtThreadHandles.
constexpr uint32_t RT_THIS_THREAD = 0;
constexpr uint32_t RT_THIS_PROCESS = 1;
constexpr uint32_t RT_ROOT_PROCESS = 3;

// Event codes that signals are delivered as.
constexpr uint32_t RT_EVENT_POWER_FAIL = 8;   // SIGPWR
constexpr uint32_t RT_EVENT_INTERRUPT = 11;   // SIGINT
constexpr uint32_t RT_EVENT_TERMINATE = 12;   // SIGTERM

typedef void (*RtThreadFunc)(void* parameter);

// Starts a thread running func(parameter) at the given priority. The stack
// size is a minimum; the layer may give more. Returns the thread's handle.
RTHANDLE CreateRtThread(uint8_t priority, RtThreadFunc func, uint32_t stackSize, void* parameter);

// A counting semaphore with `initial` units and at most `maximum`.
RTHANDLE CreateRtSemaphore(uint32_t initial, uint32_t maximum, uint32_t flags);
// Takes `units` units, waiting up to timeoutMs (RT_WAIT_FOREVER: no limit).
// Returns the units left after taking, or RT_WAIT_FAILED on a bad handle,
// a bad count or a time-out.
uint32_t WaitForRtSemaphore(RTHANDLE semaphore, uint32_t units, uint32_t timeoutMs);
// Adds `units` units. Fails, changing nothing, past the maximum.
bool ReleaseRtSemaphore(RTHANDLE semaphore, uint32_t units);

// Enters `handle` under `name` in the catalogue of `process` (0: the calling
// process; the root process handle: the shared root catalogue). A name is
// at most 31 characters and unique within its catalogue.
bool CatalogRtHandle(RTHANDLE process, RTHANDLE handle, const char* name);
bool UncatalogRtHandle(RTHANDLE process, const char* name);

// RT_THIS_THREAD, RT_THIS_PROCESS or RT_ROOT_PROCESS.
RTHANDLE GetRtThreadHandles(uint32_t selector);

bool SetRtProcessMaxPriority(RTHANDLE process, uint8_t priority);
bool SetRtThreadPriority(RTHANDLE thread, uint8_t priority);

void RtSleep(uint32_t milliseconds);
void RtSleepEx(uint32_t milliseconds);

// The record that RtNotifyEvent fills: the event code first.
struct RTEVENT {
    uint32_t Code;
    uint32_t Param1;
    uint32_t Param2;
};
static_assert(sizeof(RTEVENT) == 12, "event record is 12 bytes");

// Waits up to timeoutMs for the next system event of the classes in mask
// (bits 0..3; every event belongs to them) and writes it into *event.
// Returns false, leaving *event untouched, on a time-out or a bad argument.
bool RtNotifyEvent(uint32_t mask, uint32_t timeoutMs, RTEVENT* event);
