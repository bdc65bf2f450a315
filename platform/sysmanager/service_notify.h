// service_notify.h - messages to the system's service manager through its
// notify socket: readiness, stopping, the watchdog keep-alive and a one-line
// status.
//
// NotifyServiceManager sends one state text such as "READY=1", "STOPPING=1"
// or "WATCHDOG=1" to the datagram socket that $NOTIFY_SOCKET names.
// NotifyServiceStatus formats a status text and sends it as "STATUS=<text>",
// with every line break of the text turned into a blank, so that a text
// (an error message, say) can never add a second assignment.
//
// Both may be called from any thread at any time and keep no state. Each
// sends one datagram without blocking: a listener that stops reading (never
// the case under systemd) costs the message (-EAGAIN), never a stalled
// thread. They return 1 when the message was sent, 0 when there is nobody to
// tell ($NOTIFY_SOCKET unset or empty), and -errno when sending failed (an
// address that is neither an absolute path nor "@abstract" gives -EINVAL).
// A failure is the caller's to ignore: the service never stops over it.
#pragma once

#include <cstdint>

int32_t NotifyServiceManager(const char* state);
int32_t NotifyServiceStatus(const char* format, ...) __attribute__((format(printf, 1, 2)));
