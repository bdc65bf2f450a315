// report.h - the service's one way of writing a log line.
//
// report formats a printf-style message into one shared 1024-byte buffer
// (allocated on first use, never released) and hands it with its level tag
// ("ERR", "WRN", "INF" or "DBG") to the node-space library's log channel.
// Callable from any thread: calls are serialised so texts never mix. A
// buffer that cannot be allocated drops the message; the next call retries.
//
// A thread may hold its lines back for a while (ReportHold): report() then
// writes nothing for that thread but counts the lines and keeps the first,
// for the caller to write, summarise or drop. Other threads are not affected.
//
// Each thread also keeps the text of the last "ERR" line it reported (cut at
// 159 bytes), held back or not, so that whoever ran a failed operation can
// say why it failed.
#pragma once

#include "nodespace/ovhgapi.h"

void report(NodeLogChannelTag* channel, const char* level, const char* format, ...)
    __attribute__((format(printf, 3, 4)));

// Lines held back: how many, and the level and text of the first (cut to fit).
struct HeldReport {
    unsigned Count;
    char Level[4];
    char Text[256];
};
// From ReportHold(held) until ReportHold(nullptr), the calling thread's lines
// go into *held (cleared first) instead of the log.
void ReportHold(HeldReport* held);

// The last "ERR" text reported on the calling thread since its last
// ClearReportedError; "" when none.
const char* LastReportedError();
void ClearReportedError();
