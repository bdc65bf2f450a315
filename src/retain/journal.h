// journal.h - the change journal: between full saves, the values that
// changed are appended to OvRetain.journal beside the retain file, so that a
// power cut loses at most one journal period instead of an autosave period.
//
// SERVICE.OvRetain.Journal (type 7, milliseconds) sets the period; absent or
// 0 means off and 1 to 99 count as 100. It is read by name at every poll and
// never created. While it is on and the retain file is adopted (adoption.h),
// JournalPoll appends, at most once a period, one group (journal_format.h)
// with the current value of every node written since the last append, and
// makes it durable (fdatasync) before it returns. A poll with no node
// written appends and writes nothing.
//
// Every full save (any kind) ends the journal it extended: once the new
// retain file is durable, JournalRestart puts a journal with no group that
// names the new file in the old one's place (temporary, fsync, rename,
// directory fsync). A crash in between leaves the old journal, which names
// the old file and is then ignored: the new file already holds its values.
// With the journal off, a full save removes a journal it made obsolete.
// A journal grown past the retain file's length asks for a full save of its
// own (JournalWantsSave), recorded as a journal save. So does one that a
// load would not read to its end any more: the journal removed, replaced or
// written by another writer, or the retain file it extends changed (cut,
// damaged, deleted or replaced) since the save that started it, or so was
// the layout record it was written with (a value journaled then could not
// be read by name once the layout changes); one "WRN" line says which, and
// that full save keeps a changed file aside first and writes the record
// again.
//
// A load, after the retain file's values, applies the whole groups of a
// journal that names that very file, in order, stopping at the first group
// that is cut short or damaged. A group that is there in full but damaged
// (journal_format.h) gets one "WRN" line naming the journal and how many
// bytes after it were not applied, and the journal is kept as it is under
// the name OvRetain.journal.<n>.old (a hard link or a copy; <n> the lowest
// number free), so that the full save that follows never replaces it unseen.
// A journal that names another file is not applied: it is kept (renamed)
// as OvRetain.journal.<n>.old with one "WRN" line. Such kept journals are
// pruned with the set-aside files (set_aside.h). A journal that extends a
// retain file travels with it when the file is kept aside or migrated
// (journal_keep.h).
//
// Locking: every function here is called with the retain-file lock held
// (retain_file.h). The
// Trig thread's poll (threads/journal_poll.h) decides when to append and
// takes the lock for it; saves and loads call in from retain_file.cpp. This
// module calls neither. Failures are reported once per kind of failure
// ("ERR" with the failed step and the system error) and leave the retain
// file alone; a failed append is retried at the next period with the same
// nodes and more.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "retain/journal_format.h"
#include "stdlib/pdir.h"

// Appends one group with the value of every node written since the last
// append (and of the nodes a failed append or save left over); nothing when
// none was. False after a failure, which has been reported. A journal that does not extend the file of the last save
// or load of this run is not appended to: the nodes wait, and
// JournalWantsSave asks for a full save that starts a new journal.
bool JournalAppendChanges();

// The nodes the service itself writes as it runs (its Status, Error, Live,
// SaveCount and LoadCount): their writes are not appended, or the Live count
// alone would append a group at every period of an idle plant. Their values
// come from the last full save. Index 0 entries are ignored.
void JournalLeaveOut(const uint32_t* indexes, size_t count);

// True when no node waits to be appended and no full save is wanted.
bool JournalSettled();
// A count that grows whenever a save or a load changes what the journal
// holds or waits for. The one function here that may be called without the
// lock: a poll that saw the journal settled, and sees the same epoch and no
// write since (variables.h, JournalChangeMark), has nothing to do.
uint64_t JournalEpoch();

// A full save is about to read the node values: the nodes written so far
// are in it. Called before the walk.
void JournalSaveBegins();
// The full save that began has put `file` durably in place in dir under
// `name`, written with the layout record `recordName` (true), or failed
// (false).
void JournalSaveEnded(PDir* dir, bool saved, const JournalIdentity& file, const std::string& name = std::string(),
                      const std::string& recordName = std::string());

// Applies the journal beside the retain file `file` just loaded in dir.
// Returns the number of groups applied.
uint64_t JournalApply(PDir* dir, const JournalIdentity& file);

// A load folded the whole groups of the journal (`journal`, its bytes) into
// the file's values itself, through the file's layout record (a walk by
// name, journal_keep.h), with the result `replay`: reports it and keeps a
// damaged journal as JournalApply does.
void JournalFolded(PDir* dir, const std::vector<uint8_t>& journal, const JournalReplay& replay);

// True when a full save should fold the journal in: it has outgrown the
// retain file, or there is no journal to append to. At most once per
// `periodMs` while the saves it asks for fail.
bool JournalWantsSave(uint64_t nowMs, uint32_t periodMs);

// What the journal has done this run, for the status record.
struct JournalFigures {
    uint64_t Bytes = 0;         // length of the journal appended to; 0 while there is none
    uint64_t Appends = 0;       // groups appended
    uint64_t LastAppendNs = 0;  // when the last one was, ns since the Unix epoch; 0 before the first
    uint64_t Compactions = 0;   // journals started afresh by a full save
};
inline bool operator==(const JournalFigures& a, const JournalFigures& b) {
    return a.Bytes == b.Bytes && a.Appends == b.Appends && a.LastAppendNs == b.LastAppendNs &&
           a.Compactions == b.Compactions;
}
JournalFigures GetJournalFigures();

// Forgets the module's state. For tests only.
void ResetJournalForTest();
