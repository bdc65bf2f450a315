// process_identity.h - a process named by more than its pid, and signals that
// reach only the process they were meant for.
//
// A pid is reused once its process has ended; the pid together with the
// process's start time (field 22 of /proc/<pid>/stat, in clock ticks since
// boot) names one process for good. Records in shared segments that name a
// process keep both, and whoever acts on such a record checks both.
//
// Callable from any thread; failures return false (or 0) with a reason in
// *error where one is given.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>

// Start time of process pid, or 0 when there is no such process.
uint64_t ProcessStartTime(pid_t pid);
// Start time of the calling process.
uint64_t SelfStartTime();
// True when process pid exists and is the one that started at startTime.
bool ProcessIs(pid_t pid, uint64_t startTime);

// The path of process pid's executable ("" when it cannot be read), without
// the " (deleted)" that follows it once the file was replaced (an upgrade).
std::string ProcessExecutable(pid_t pid);

// The value of variable `name` in the environment process pid started
// with; false when it has none or /proc/<pid>/environ cannot be read (*whole
// tells which). Read whole, up to 1 MiB.
bool ProcessEnvironment(pid_t pid, const std::string& name, std::string* value, bool* whole);

// Queues signal sig carrying value to process pid, only if it is still the
// process that started at startTime and it blocks, catches or ignores sig (a
// process that does neither would be ended by it). Never to pid 1 (the
// system's service manager reads real-time signals as orders of its own),
// nor to a pid below it.
bool SignalProcess(pid_t pid, uint64_t startTime, int sig, int value, std::string* error);
