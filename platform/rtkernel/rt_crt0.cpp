// rt_crt0.cpp - start-up code linked into real-time applications. Before any
// static initialiser of the program and before main, it blocks the signals
// that arrive as system events, so that every thread the program starts
// inherits the mask and the signals wait for RtNotifyEvent instead of
// ending the process.

#include "rtadmin.h"

__attribute__((constructor(101))) static void RtCrt0Startup() {
    RtStartup();
}
