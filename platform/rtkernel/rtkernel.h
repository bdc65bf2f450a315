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

// The fixed handles that GetRtThreadHandles returns for the processes. Thread
// and semaphore handles are allocated from RT_FIRST_OBJECT_HANDLE upwards and
// are valid only inside the process that created them.
constexpr RTHANDLE RT_ROOT_PROCESS_HANDLE = 0x0001;
constexpr RTHANDLE RT_THIS_PROCESS_HANDLE = 0x0002;
constexpr RTHANDLE RT_FIRST_OBJECT_HANDLE = 0x0010;

// Event codes that signals are delivered as.
constexpr uint32_t RT_EVENT_POWER_FAIL = 8;  // SIGPWR
constexpr uint32_t RT_EVENT_INTERRUPT = 11;  // SIGINT
constexpr uint32_t RT_EVENT_TERMINATE = 12;  // SIGTERM

typedef void (*RtThreadFunc)(void* parameter);

// Starts a detached thread running func(parameter) at the given priority. The
// stack size is a minimum; the layer gives at least 256 KiB. Returns the
// thread's handle, or RT_BAD_HANDLE. When func returns, the thread's handle
// and its catalogue entries go away.
RTHANDLE CreateRtThread(uint8_t priority, RtThreadFunc func, uint32_t stackSize, void* parameter);

// A counting semaphore with `initial` units and at most `maximum` (at least
// 1, and initial <= maximum; else RT_BAD_HANDLE). Flags are ignored.
RTHANDLE CreateRtSemaphore(uint32_t initial, uint32_t maximum, uint32_t flags);
// Takes `units` units, waiting up to timeoutMs (RT_WAIT_FOREVER: no limit).
// Returns the units left after taking, or RT_WAIT_FAILED on a bad handle,
// a bad count or a time-out.
uint32_t WaitForRtSemaphore(RTHANDLE semaphore, uint32_t units, uint32_t timeoutMs);
// Adds `units` units (at least 1). Fails, changing nothing, past the maximum.
bool ReleaseRtSemaphore(RTHANDLE semaphore, uint32_t units);

// Enters `handle` under `name` in the catalogue of `process` (0: the calling
// process; the root process handle: the shared root catalogue). A name is
// at most 31 characters and unique within its catalogue; the entry of a
// process that has ended no longer holds its name. `handle` is a thread, a
// semaphore or RT_THIS_PROCESS_HANDLE. Entries are seen by other processes
// through rtadmin.h. Fails when the shared catalogue cannot be opened.
bool CatalogRtHandle(RTHANDLE process, RTHANDLE handle, const char* name);
// Removes `name` from the catalogue of `process`; false when it is not there.
bool UncatalogRtHandle(RTHANDLE process, const char* name);

// RT_THIS_THREAD, RT_THIS_PROCESS or RT_ROOT_PROCESS; RT_BAD_HANDLE for any
// other selector. A thread not started by CreateRtThread (the main thread)
// is given a handle on first asking, with priority 128.
RTHANDLE GetRtThreadHandles(uint32_t selector);

// Sets the most urgent priority that threads of the calling process (0 or
// RT_THIS_PROCESS_HANDLE) may take from now on: later thread priorities more
// urgent than it are raised to it. The initial ceiling is 0 (no limit).
bool SetRtProcessMaxPriority(RTHANDLE process, uint8_t priority);
// Records the priority of a thread of this process (0: the calling one),
// shows it in the catalogue and, in real-time mode, applies it.
bool SetRtThreadPriority(RTHANDLE thread, uint8_t priority);

// Both sleep at least the given time; an interrupted sleep resumes.
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
// Returns false, leaving *event untouched, on a time-out or a bad argument
// (no bit of 0..3 in mask, or a null record). Code: SIGPWR 8, SIGINT 11,
// SIGTERM 12, SystemEventSignal() its value; Param1 is the sending process
// where known, else 0; Param2 is 0. The event signals must be blocked in
// every thread of the process (RtStartup), or they may end it instead.
bool RtNotifyEvent(uint32_t mask, uint32_t timeoutMs, RTEVENT* event);
