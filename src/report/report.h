// report.h - the service's one way of writing a log line.
//
// report formats a printf-style message into one shared 1024-byte buffer
// (allocated on first use, never released) and hands it with its level tag
// ("ERR", "WRN" or "DBG") to the node-space library's log channel.
// Callable from any thread: calls are serialised so texts never mix. A
// buffer that cannot be allocated drops the message; the next call retries.
#pragma once

#include "nodespace/ovhgapi.h"

void report(NodeLogChannelTag* channel, const char* level, const char* format, ...)
    __attribute__((format(printf, 3, 4)));
