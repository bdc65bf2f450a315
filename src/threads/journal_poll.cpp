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
// The last append left nothing behind (no node waiting, no save wanted), and
// the change mark and journal epoch it was taken at: while both stay, an
// idle poll neither locks nor looks at the written nodes.
bool Settled = false;
uint64_t SettledMark = 0;
uint64_t SettledEpoch = 0;

// The service's own status nodes, published before the Trig thread acts;
// given before each append, which is at most once a period.
void GiveLeftOut() {
    uint32_t indexes[kUnjournaledRowCount];
    for (size_t i = 0; i < kUnjournaledRowCount; ++i)
        indexes[i] = __atomic_load_n(&StatusTable[kUnjournaledRows[i]].Index, __ATOMIC_ACQUIRE);
    JournalLeaveOut(indexes, kUnjournaledRowCount);
}

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
    // Read before the take: a write after it changes the mark again.
    const uint64_t mark = JournalChangeMark();
    if (Settled && mark == SettledMark && JournalEpoch() == SettledEpoch) return;
    LockRetainFile();
    GiveLeftOut();
    const bool appended = JournalAppendChanges();
    const bool wantsSave = JournalWantsSave(now, period);
    Settled = appended && !wantsSave && JournalSettled();
    SettledMark = mark;
    SettledEpoch = JournalEpoch();
    RecordJournalFigures(GetJournalFigures());
    UnlockRetainFile();
    if (appended) LastAppendMs = now;
    if (wantsSave) RecordedRetainOperation(STATUS_JOURNAL_SAVE, SaveRetainFile);
}
