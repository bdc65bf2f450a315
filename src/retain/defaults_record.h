// defaults_record.h - which retain files were written from defaults, so
// that pruning the set-aside files (set_aside.h) removes those first.
//
// A save from a node space that has loaded nothing in this run, made after
// it met a retain file nobody loaded (adoption.h), writes the node space's
// defaults and whatever was set since, not the plant's saved values. Such a
// save notes its file here; when that file is later kept aside, its kept
// name is noted instead; a file migrated from it into a new layout (the
// start-up check) is written from defaults too; and pruning keeps the copies
// of values nobody loaded before the copies written from defaults.
//
// A file saved in a run in which somebody wrote a value (ChangeMark moved
// since the start-up check, adoption.h) holds those values on top of the
// defaults: it is noted as such, and its copies rank between copies of
// values nobody loaded and copies of defaults alone. A boot that writes a
// program's own values then still cannot push the plant's values out, and a
// setpoint written and saved in a run without a load is not pruned before
// copies that hold nothing but defaults.
//
// The record, OvRetain.defaults (OutPath prefix), is written durably (a
// temporary file, fsync, rename, directory fsync) and read only by the
// service. Format (all numbers little-endian), version 3:
//   offset 0   8 bytes  "OvDeflt3"
//   offset 8   8 bytes  length of the retain file written from defaults
//   offset 16  4 bytes  its CRC-32C
//   offset 20  4 bytes  its header word (all three 0: none)
//   offset 24  4 bytes  its kind: 0 defaults only, 1 with values written
//   offset 28  20 bytes the same of the file noted before it (with
//                       UseBackup, the backup: a save rotates the file
//                       it replaces into the backup, and a layout change
//                       keeps the backup aside with its kind)
//   offset 48  4 bytes  n: the number of kept files noted, at most 64
//   offset 52  n times 8 bytes: the <seq> of a set-aside file
//                       (OvRetain.<seq>.<hash>.<id>.old) written from
//                       defaults, then its kind
//   then       4 bytes  CRC-32C of every byte before it
// Version 2 ("OvDeflt2") had no file before (n at offset 28), version 1
// ("OvDeflt1") no kinds either (n at offset 24, each entry 4 bytes): both
// are read, version 1 with every file of kind 0, and written as version 3
// at the next change. A file is known by its length, CRC-32C and header
// word, so a note stays true of the bytes it names wherever they are. A
// record that does not check out is no record: every
// copy then ranks as values nobody loaded, as before the record existed.
// Beyond 64 the lowest numbers (the oldest files, long pruned) are dropped.
//
// Every function runs with the retain-file lock held, on the retain
// directory of a save or of the start-up check. Nothing is reported: the
// record only orders pruning, and a record that cannot be written leaves
// every copy ranked as values.
#pragma once

#include <cstdint>
#include <map>

#include "retain/journal_format.h"
#include "stdlib/pdir.h"

enum DefaultsKind : uint32_t { DEFAULTS_ONLY = 0, DEFAULTS_WITH_WRITES = 1 };

// A save wrote `file` from defaults (with values written in its run or not).
void NoteSavedFromDefaults(PDir* dir, const JournalIdentity& file, DefaultsKind kind);
// The file of identity `file` was kept aside as set-aside number `seq`:
// noted (with its kind) when it was written from defaults.
void NoteKeptAside(PDir* dir, const JournalIdentity& file, uint32_t seq);
// Whether `file` is the retain file noted as written from defaults; *kind
// then says which.
bool WrittenFromDefaults(PDir* dir, const JournalIdentity& file, DefaultsKind* kind);
// The <seq> of the set-aside files written from defaults, with their kinds.
std::map<uint32_t, DefaultsKind> KeptFromDefaults(PDir* dir);
