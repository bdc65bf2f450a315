// readiness.h - what the service tells the system's service manager about its
// life: ready, alive, stopping.
//
// The service is ready once start-up is complete (the start-up check and
// AutoRun done) and the Trig thread polls, so that a trigger written from
// then on is acted upon: ServiceStartupComplete marks the first, and the
// next ServicePollAlive sends "READY=1". ServicePollAlive sends "WATCHDOG=1"
// at every poll of the Trig thread, running or paused. ServiceShutdownBegins
// sends "STOPPING=1" once, whichever thread begins shutdown first; no
// "READY=1" follows it.
//
// ServiceStartupComplete runs on the main thread, ServicePollAlive on the Trig
// thread, ServiceShutdownBegins on any thread; they may run at once. Nothing
// is reported: a message that cannot be sent is dropped.
#pragma once

void ServiceStartupComplete();
// True once ServiceStartupComplete ran.
bool ServiceStarted();
void ServicePollAlive();
void ServiceShutdownBegins();
