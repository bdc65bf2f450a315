// journal_keep.h - the change journal travels with the retain file it
// extends.
//
// A journal (journal_format.h) names its retain file by the file's header
// word, length and CRC-32C. Its values are the file's too: when the file is
// kept aside (set_aside.h), the journal is kept beside the kept file under
// that file's name followed by ".journal",
//   OvRetain.<seq>.<hash>.<id>.old.journal
// (a hard link, or a durable copy), and goes when that file is pruned. A
// migration folds the journal's whole groups into the old file's values
// before it matches them by name (migration.h), and ovnode retain-restore
// and retain-dump apply the kept journal of a kept file the same way.
//
// Folding: a journal record names its node by index, and a node's index is
// its place in the table the file was written from, plus one. The file's
// layout record lists that table in order, so the record of index i goes to
// the slot of entry i - 1 when that slot has the record's size and lies
// within the file; any other record is skipped and counted.
//
// ReadJournalOf reads relative to a retain directory (under the retain-file
// lock in the service; the tools call it on a directory of their own). The
// others keep no state: any thread. Nothing here reports; failures are
// results.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "retain/journal_format.h"
#include "retain/layout_record.h"
#include "stdlib/pdir.h"

// The name a journal kept with the kept retain file `keptName` takes.
std::string KeptJournalName(const std::string& keptName);

// The journal file `journalName` of dir, read whole into *journal, when it
// names `file` and holds at least one whole group; false otherwise (errno
// ENOENT when there is no such file, 0 when it names another file or holds
// no whole group).
bool ReadJournalOf(PDir* dir, const char* journalName, const JournalIdentity& file, std::vector<uint8_t>* journal);

// Whether the journal file `journalName` of dir is there and names `file`
// (whatever groups it holds).
bool JournalNamesFile(PDir* dir, const char* journalName, const JournalIdentity& file);

// The identity a journal of the retain file `bytes` (header included) names.
JournalIdentity IdentityOfRetainBytes(const std::vector<uint8_t>& bytes);

// Applies the whole groups of `journal` (header included, naming the file)
// to the retain file `file`, whose slots `record` describes, as above.
// *skipped counts the records that fit no slot.
JournalReplay FoldJournal(const std::vector<uint8_t>& journal, const LayoutRecord& record, std::vector<uint8_t>* file,
                          uint64_t* skipped);
