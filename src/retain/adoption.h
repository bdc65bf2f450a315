// adoption.h - which retain file the node space's values belong to, and the
// guards every save passes before it may replace the retain file.
//
// A node space adopts the retain file when a load of it succeeds or a save
// writes it from that node space. The node space keeps the mark itself
// (NodeMarkAdopted, not a node), so a service restarted on a surviving node
// space finds it and a node space built afresh (after a reboot) has none.
// The mark is 48 bytes in this machine's byte order:
//
//   offset  size  field
//        0     8  magic: "OVADOPT1" (0x3154504F4441564F) when the node
//                 space held the plant's values (it loaded the file, or
//                 saved values it loaded or was given); "OVADOPTD" when a
//                 save wrote the file from defaults, "OVADOPTW" from
//                 defaults with values written in its run (SavingFromDefaults)
//        8     8  st_dev of the retain directory (and of the file in it)
//       16     8  st_ino of the retain directory
//       24     8  st_ino of the retain file
//       32     8  st_size of the retain file
//       40     8  st_mtim of the retain file, ns since the epoch
//
// Every save writes its file afresh (a new inode), so a file that another
// node space's service, a migration or a person put there never matches.
// A service restarted on the node space after its file changed reads from
// the magic whether the node space holds defaults.
//
// While a retain file is there that the node space has not adopted, its
// values were never loaded: RetainFileAwaitsLoad is true, autosave holds off
// and AutoLoad loads it. Every other save keeps it under a set-aside name of
// its own first (KeepUnadoptedRetainFile) unless what the save wrote holds
// its values, and fails when that cannot be done: no file of values is
// replaced unseen. A file that cannot be read is kept the same way.
//
// SaveGuardsPass refuses a save into a node space that was destroyed,
// replaced, cut short or lost pages, or holds fewer nodes than the start-up
// check saw: what such a save would write is not the plant's values.
//
// All but RetainFileAwaitsLoad run with the retain-file lock held
// (retain_file.h), on the thread of the save, load or start-up check; they
// report their failures with one "ERR" line (the keep's line comes from
// set_aside.h). RetainFileAwaitsLoad may be read from any thread.
#pragma once

#include <string>

#include "stdlib/pdir.h"

// End of the start-up check: remembers how many nodes it saw and whether the
// retain file `name` of dir (nullptr: no directory) awaits its first load.
// ofThisLayout false: the file is of another layout and stays only because
// it could not be kept aside; AutoLoad then leaves it alone.
void NoteRetainFileAtStartup(PDir* dir, const std::string& name, bool ofThisLayout = true);
bool RetainFileAwaitsLoad();
// RetainFileAwaitsLoad, for a file AutoLoad may load.
bool RetainFileAwaitsAutoLoad();
// Whether the node space adopted the retain file `name` of dir as it is now.
bool RetainFileAdopted(PDir* dir, const std::string& name);

// True when a save may go on; false after one "ERR" line.
bool SaveGuardsPass();

// Before a save renames its temporary file `tempName` (written with the
// layout record tempLayoutId) over the retain file `name`: keeps a retain
// file that is not adopted, with its journal, unless the temporary file
// holds its values and no journal extends it (set_aside.h). False
// (reported) when it could not be kept.
bool KeepUnadoptedRetainFile(PDir* dir, const std::string& name, const std::string& tempName, uint32_t tempLayoutId);

// After a load took the backup's values in place of the retain file `name`
// of dir, which did not verify: keeps that file aside (set_aside.h) and, when
// it is kept, adopts it, so that autosave and the journal protect the values
// loaded as after any load. A file that could not be kept stays unadopted
// but no longer awaits a load: autosave and the journal go on, and each save
// tries to keep it again (and fails while it cannot), saving the values
// loaded, not defaults.
void AdoptInPlaceOfDamagedFile(PDir* dir, const std::string& name);

// The retain file `name` of dir is adopted: after a save wrote it, or a load
// read it. A mark that cannot be written leaves the node space's old one.
void MarkRetainFileAdopted(PDir* dir, const std::string& name);

// True while the saves of this run write defaults: one of them met a
// retain file nobody loaded (KeepUnadoptedRetainFile) in a node space built
// afresh or whose mark says it holds defaults, and no load has succeeded
// since (NoteValuesLoaded). Such saves are noted in
// defaults_record.h.
bool SavingFromDefaults();
// Whether anybody but the service has written a value since the start-up
// check (ChangeMark, variables.h; a trigger a client wrote counts), or the
// file this run went on with held such values: a save from defaults then
// holds those values too.
bool ValuesWrittenThisRun();
// The start-up check found the node space's own file (adopted, or migrated
// from it) noted as written from defaults (defaults_record.h): this node
// space has loaded nothing since, so its saves are from defaults too, with
// values written when that file's were.
void NoteAdoptedFileFromDefaults(bool withWrites);
// The start-up check kept aside a file of another layout whose values this
// node space never loaded, and migrated nothing into it: the node space
// holds its layout's defaults, so its saves are from defaults too.
void NoteValuesKeptAsideUnloaded();
void NoteValuesLoaded();

// Forgets the node count and the awaited load. For tests only.
void ResetAdoptionForTest();
