// autosave.cpp - the Trig thread's autosave and the rate limit on the lines
// of a failing one.
#include "threads/autosave.h"

#include <cstdio>

#include "report/report.h"
#include "retain/adoption.h"
#include "retain/retain_file.h"
#include "service/status_record.h"
#include "stdlib/ptime.h"
#include "variables/variables.h"

namespace {

constexpr uint32_t kShortestPeriodMs = 100;
constexpr uint64_t kFailureReportGapMs = 60 * 1000;

// All on the Trig thread.
bool Polled = false;
uint64_t FirstPollMs = 0;
uint32_t Failures = 0;       // failed autosaves since the last successful save
uint64_t LastFailureMs = 0;  // end of the last failed autosave
uint64_t LastLineMs = 0;     // when the last line about the failures was written
uint32_t Unreported = 0;     // failures since that line
HeldReport LastHeld = {};    // the line the last failed autosave's save reported

void ReportRecovery() {
    report(&LogChannel, "WRN", "Retain file saved again after %u failed autosaves.", Failures);
    Failures = 0;
}

}  // namespace

void AutoSaveOutcome(bool ok, const HeldReport& held, uint64_t nowMs) {
    if (ok) {
        if (held.Count > 0) report(&LogChannel, held.Level, "%s", held.Text);
        if (Failures > 0) ReportRecovery();
        return;
    }
    LastFailureMs = nowMs;
    if (held.Count > 0) LastHeld = held;
    if (Failures++ == 0) {
        if (held.Count > 0)
            report(&LogChannel, held.Level, "%s", held.Text);
        else
            report(&LogChannel, "ERR", "Autosave failed.");
        LastLineMs = nowMs;
        Unreported = 0;
        return;
    }
    ++Unreported;
    if (nowMs - LastLineMs < kFailureReportGapMs) return;
    report(&LogChannel, "ERR", "Autosave failed %u more times; last: %s", Unreported,
           LastHeld.Count > 0 ? LastHeld.Text : "no line");
    LastLineMs = nowMs;
    Unreported = 0;
}

void AutoSavePoll() {
    const uint64_t now = PTimeMonotonicMs();
    if (!Polled) {
        Polled = true;
        FirstPollMs = now;
    }
    uint64_t mark = 0, savedMs = 0;
    const bool saved = LastSuccessfulSave(&mark, &savedMs);
    // A save of another kind may have ended the failures.
    if (Failures > 0 && saved && savedMs > LastFailureMs) ReportRecovery();

    uint32_t period = GetAutoSave();
    if (period == 0) return;
    // Values nobody loaded are not saved over: the first load (or another
    // save, which keeps the file first) ends the wait.
    if (RetainFileAwaitsLoad()) return;
    if (period < kShortestPeriodMs) period = kShortestPeriodMs;
    uint64_t since = saved ? savedMs : FirstPollMs;
    if (Failures > 0 && LastFailureMs > since) since = LastFailureMs;
    if (now - since < period) return;
    // Before the first save of this run nobody knows what the file holds.
    if (saved && ChangeMark() == mark) return;

    HeldReport held;
    ReportHold(&held);
    const bool ok = RecordedRetainOperation(STATUS_AUTOSAVE, SaveRetainFile) != 0;
    ReportHold(nullptr);
    // Failures have their own lines, at most one a minute.
    if (ok) ReportOperationOutcome(STATUS_AUTOSAVE, true);
    AutoSaveOutcome(ok, held, PTimeMonotonicMs());
}
