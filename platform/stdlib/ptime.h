// ptime.h - the platform's clocks: one for measuring intervals, one for
// saying when something happened.
//
// PTimeMonotonicMs reads a clock that never goes back and does not follow
// changes of the wall-clock time, in milliseconds from an arbitrary start.
// PTimeWallNs reads the wall clock, in ns since the Unix epoch, for times
// shown to people. Callable from any thread; they cannot fail.
#pragma once

#include <cstdint>

uint64_t PTimeMonotonicMs();
uint64_t PTimeWallNs();
