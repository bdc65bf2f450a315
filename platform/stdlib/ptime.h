// ptime.h - the platform's clock for measuring intervals.
//
// PTimeMonotonicMs reads a clock that never goes back and does not follow
// changes of the wall-clock time, in milliseconds from an arbitrary start.
// Callable from any thread; it cannot fail.
#pragma once

#include <cstdint>

uint64_t PTimeMonotonicMs();
