// journal_poll.cpp - the Trig thread's journal appends and journal saves.
#include "threads/journal_poll.h"

#include "retain/adoption.h"
#include "retain/journal.h"
#include "retain/retain_file.h"
#include "service/status_record.h"
#include "stdlib/ptime.h"
#include "variables/variables.h"

namespace {

constexpr uint32_t kShortestPeriodMs = 100;

uint64_t LastAppendMs = 0;    // Trig thread
uint32_t RecordedPeriod = 0;  // the period the status record shows

}  // namespace

void JournalPoll() {
    uint32_t period = GetJournal();
    if (period != 0 && period < kShortestPeriodMs) period = kShortestPeriodMs;
    if (period != RecordedPeriod) {
        RecordJournalPeriod(period);
        RecordedPeriod = period;
    }
    if (period == 0) return;
    // Values nobody loaded are not the plant's: nothing is journaled for them.
    if (RetainFileAwaitsLoad()) return;
    const uint64_t now = PTimeMonotonicMs();
    if (LastAppendMs != 0 && now - LastAppendMs < period) return;
    LockRetainFile();
    const bool appended = JournalAppendChanges();
    const bool wantsSave = JournalWantsSave(now, period);
    RecordJournalFigures(GetJournalFigures());
    UnlockRetainFile();
    if (appended) LastAppendMs = now;
    if (wantsSave) RecordedRetainOperation(STATUS_JOURNAL_SAVE, SaveRetainFile);
}
