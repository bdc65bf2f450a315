// set_aside.h - keeping a retain file that will not be used any more, and
// removing the layout records no file needs any more.
//
// SetAsideRetainFile gives the retain file a second name of its own beside
// it (a hard link, or a durable copy where the file system has no links):
//   OvRetain.<seq>.<hash>.<id>.old
// <seq> (10 decimal digits) numbers the files in the order they were set
// aside: one more than the highest number there; <hash> is the file's header
// word and <id> the id of its layout record (layout_record.h): as the check
// record names it or, for a file it does not list, the record of its hash
// whose slots end exactly where the file does; 00000000 when there is none
// (then the legacy record of the hash describes it). Each 8 lower-case hex
// digits. Files of the older form OvRetain.<hash>.old count as set aside
// before all others. A name is never reused and no file ever replaces
// another. The journal that extends the
// file (journal_keep.h) is kept beside it first, as <that name>.journal,
// with one "WRN" line ("Journal OvRetain.journal kept with it as <path>.").
// A file that holds the same values as one kept already (with the same
// journal, or none) is not kept twice; nor is one whose values the file
// replacing it (`replacement`, written with the layout record
// `replacementId`) holds too, when no journal extends it. Values count as
// the same when the bytes are, or when two files of one layout record
// differ only in the slots of the service's own status nodes (Status,
// Error, Live, SaveCount, LoadCount) and triggers (Save, Load). It reports
// "Retained file kept as <path>." ("WRN"; the path of the copy kept
// already, when there is one; nothing when the replacement holds the
// values), or one "ERR" line naming the failed step; a file that could not
// be kept is left as it was. A load that took the backup in place
// of a file that did not verify keeps that file too (adoption.h). Then
// the set-aside files are pruned: copies of values nobody loaded rank
// before copies written from defaults (defaults_record.h), each kind newest
// first; the first eight (or the number in the node
// SERVICE.OvRetain.KeepOld, type 7, read by name and never created, when
// that is more, up to 32) are kept, and beyond those the newest one of each
// layout (hash and id), at most as many again; a file goes with its kept
// journal. The disk budget: past the first eight, a file stays only while
// it and the files ranked before it, with their journals, take at most
// 2 * that number times the retain file's length (at least 1 MiB). Of the
// journals kept on their own (OvRetain.journal.<n>.old, journal.h) the
// newest as many are kept. Every file removed gets one "WRN" line naming it.
//
// SetAsideBackupFile keeps the backup `backupName` the same way before the
// start-up check lets something replace it, or a save replaces a backup of
// another layout: the retain file `replacement`
// (with its layout record `replacementId`; empty when the retain file is
// gone) unless that file holds its values. After a reboot, or a retain file
// deleted or damaged, the backup may hold the only copy of values the
// retain file does not. A copy kept already with the same values counts
// whatever journal was kept beside it: no journal extends the backup, so a
// kept journal holds only newer values. True when there is no backup, or it
// is kept.
//
// RemoveUnusedLayoutRecords removes every layout record that neither the
// check record, OvRetain.bin, OvRetain.$$$, a set-aside file nor the
// current hash refers to (with currentId not 0, only that record of the
// current hash counts as current: a save that wrote a new record sweeps the
// ones it replaced), and leftover temporary records. A file that no
// check record entry (of its hash and length) or name gives a record id
// refers to every record of its hash whose slots end where it does
// (FindFileLayoutRecord, layout_record.h): one of them is its own; when none
// does (a file cut short), to every record of its hash that reads and
// reaches past its end, through which its first slots may still be read. Failures are not reported: a record left
// over costs only room.
//
// Both run with the retain-file lock held (the start-up check on the main
// thread, a save that keeps a file aside first, or such a load), on a retain directory
// `dir` (retain_dir.h): every file operation is relative to it; retainName
// is the retain file's name.
#pragma once

#include <cstdint>
#include <string>

#include "stdlib/pdir.h"

bool SetAsideRetainFile(PDir* dir, const std::string& retainName, uint32_t fileHash,
                        const std::string& replacement = std::string(), uint32_t replacementId = 0);
// The same, for a caller that found the retain file's layout record already
// (FindFileLayoutRecord, with this directory as it is now): layoutId is the
// one found, which a file no check record lists is kept by.
bool SetAsideRetainFileOfRecord(PDir* dir, const std::string& retainName, uint32_t fileHash, uint32_t layoutId);
bool SetAsideBackupFile(PDir* dir, const std::string& backupName, const std::string& replacement,
                        uint32_t replacementId);
void RemoveUnusedLayoutRecords(PDir* dir, uint32_t currentHash, uint32_t currentId = 0);

// A set-aside file's name taken apart: seq 0 and id 0 for the older form.
struct SetAsideName {
    uint32_t Seq = 0;
    uint32_t Hash = 0;
    uint32_t Id = 0;
};
bool ParseSetAsideName(const std::string& name, SetAsideName* parsed);
