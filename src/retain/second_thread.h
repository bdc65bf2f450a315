// second_thread.h - one thread beside the caller's, for work that splits in
// two: the caller does one part while the second thread does the other.
//
// Any thread may call. The thread takes one piece of work at a time: a
// caller that finds it busy with another caller's work, or that cannot start
// it, is told so (SecondThreadBegin returns false) and does that part itself.
// The thread is started by the first call, at the service's priority, and
// waits for work between calls. Nothing here reports.
#pragma once

// Hands work(arg) to the second thread; true when it took it, and the caller
// must then call SecondThreadEnd once it is through with its own part.
bool SecondThreadBegin(void (*work)(void*), void* arg);
// Waits until the work handed over by the last SecondThreadBegin is through.
void SecondThreadEnd();
// Whether the second thread is there (started now if it is not yet); false
// when it could not be started.
bool SecondThreadReady();
