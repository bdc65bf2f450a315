// report.cpp - formats a log line into the shared report buffer and hands it
// to the node-space library's log channel.
#include "report/report.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "common/shown_text.h"
#include "stdlib/pmem.h"

namespace {

constexpr size_t kReportBufferSize = 1024;

// Allocated on the first call that can have it, never released.
char* ReportBuffer = nullptr;
// Held from the allocation through the hand-over to the library, so that two
// threads never format into the buffer at the same time.
std::mutex ReportLock;

// Where the calling thread's lines go instead of the log; nullptr: the log.
thread_local HeldReport* Held = nullptr;
thread_local char LastError[160];

// Texts in a line may come from a record or a segment: shown escaped, so
// that none forges a line or a journal priority or drives a terminal.
void WriteShownLine(NodeLogChannelTag* channel, const char* level, const char* text) {
    if (!TextNeedsShowing(text)) {
        NodeLogWrite(channel, level, text);
        return;
    }
    NodeLogWrite(channel, level, ShowText(text).c_str());
}

}  // namespace

void ReportHold(HeldReport* held) {
    if (held) *held = HeldReport{};
    Held = held;
}

void report(NodeLogChannelTag* channel, const char* level, const char* format, ...) {
    const bool error = level != nullptr && std::strcmp(level, "ERR") == 0;
    if (Held != nullptr) {
        if (error) {
            // Kept for whoever ran the failed operation, held or not.
            va_list args;
            va_start(args, format);
            vsnprintf(LastError, sizeof LastError, format, args);
            va_end(args);
        }
        if (Held->Count++ == 0) {
            snprintf(Held->Level, sizeof Held->Level, "%s", level);
            va_list args;
            va_start(args, format);
            vsnprintf(Held->Text, sizeof Held->Text, format, args);
            va_end(args);
        }
        return;
    }
    std::lock_guard<std::mutex> hold(ReportLock);
    if (ReportBuffer == nullptr) {
        char* buffer = static_cast<char*>(PMemAlloc(kReportBufferSize));
        if (buffer == nullptr) return;  // dropped; the next call tries again
        memset(buffer, 0, kReportBufferSize);
        ReportBuffer = buffer;
    }
    va_list args;
    va_start(args, format);
    // A longer text is cut at the buffer's end; vsnprintf always terminates it.
    vsnprintf(ReportBuffer, kReportBufferSize, format, args);
    va_end(args);
    if (error) {
        std::strncpy(LastError, ReportBuffer, sizeof LastError - 1);
        LastError[sizeof LastError - 1] = '\0';
    }
    WriteShownLine(channel, level, ReportBuffer);
}

const char* LastReportedError() {
    return LastError;
}

void ClearReportedError() {
    LastError[0] = '\0';
}
