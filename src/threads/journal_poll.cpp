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

uint64_t LastAppendMs = 0;  // Trig thread

}  // namespace

void JournalPoll() {
    uint32_t period = GetJournal();
    if (period == 0) return;
    if (period < kShortestPeriodMs) period = kShortestPeriodMs;
    // Values nobody loaded are not the plant's: nothing is journaled for them.
    if (RetainFileAwaitsLoad()) return;
    const uint64_t now = PTimeMonotonicMs();
    if (LastAppendMs != 0 && now - LastAppendMs < period) return;
    LockRetainFile();
    const bool appended = JournalAppendChanges();
    const bool wantsSave = JournalWantsSave(now, period);
    UnlockRetainFile();
    if (appended) LastAppendMs = now;
    if (wantsSave) RecordedRetainOperation(STATUS_JOURNAL_SAVE, SaveRetainFile);
}
