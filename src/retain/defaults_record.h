// defaults_record.h - which retain files were written from defaults, so
// that pruning the set-aside files (set_aside.h) removes those first.
//
// A save from a node space that has loaded nothing in this run, made after
// it met a retain file nobody loaded (adoption.h), writes the node space's
// defaults and whatever was set since, not the plant's saved values. Such a
// save notes its file here; when that file is later kept aside, its kept
// name is noted instead; and pruning keeps the copies of values nobody
// loaded before the copies written from defaults.
//
// The record, OvRetain.defaults (OutPath prefix), is written durably (a
// temporary file, fsync, rename, directory fsync) and read only by the
// service. Format (all numbers little-endian):
//   offset 0   8 bytes  "OvDeflt1"
//   offset 8   8 bytes  length of the retain file written from defaults
//   offset 16  4 bytes  its CRC-32C
//   offset 20  4 bytes  its header word (all three 0: none)
//   offset 24  4 bytes  n: the number of kept files noted, at most 64
//   offset 28  n times 4 bytes: the <seq> of a set-aside file
//                       (OvRetain.<seq>.<hash>.<id>.old) written from defaults
//   then       4 bytes  CRC-32C of every byte before it
// A record that does not check out is no record: every copy then ranks as
// values nobody loaded, as before the record existed. Beyond 64 the lowest
// numbers (the oldest files, long pruned) are dropped.
//
// Every function runs with the retain-file lock held, on the retain
// directory of a save or of the start-up check. Nothing is reported: the
// record only orders pruning, and a record that cannot be written leaves
// every copy ranked as values.
#pragma once

#include <cstdint>
#include <set>

#include "retain/journal_format.h"
#include "stdlib/pdir.h"

// A save wrote `file` from defaults.
void NoteSavedFromDefaults(PDir* dir, const JournalIdentity& file);
// The file of identity `file` was kept aside as set-aside number `seq`:
// noted when it was written from defaults.
void NoteKeptAside(PDir* dir, const JournalIdentity& file, uint32_t seq);
// The <seq> of the set-aside files written from defaults.
std::set<uint32_t> KeptFromDefaults(PDir* dir);
