// journal_poll.h - the Trig thread's part in the change journal
// (retain/journal.h): when to append, and the full save that folds a
// journal in.
//
// Trig thread only. A poll with the journal off, or before the retain file
// is adopted, or within a period of the last append, reads the Journal node
// and the clock and nothing else.
#pragma once

// One poll's journal work; the Trig thread calls it after the autosave while
// Run is not 0.
void JournalPoll();
