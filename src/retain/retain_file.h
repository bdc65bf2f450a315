// retain_file.h - saving every node's value into the retain file and loading
// it back.
//
// The file: a 4-byte little-endian header word (the cached layout hash, see
// layout_hash.h), then one slot of exactly "Size" bytes for every node whose
// "Size" attribute reads as nonzero, in node-table order, and nothing else.
// Text nodes (type 12) are read and written by name as texts, type 13 as a
// byte range, every other type as raw data by node index.
//
// A save never leaves a torn OvRetain.bin: it creates the directories of
// OutPath (mode 0750), opens that directory once (retain_dir.h: never
// through a symbolic link; as root, refused when another user could change
// it) and does every step relative to it: it writes the new file as
// OvRetain.bin.tmp (a stale one, or a link planted under that name, is
// removed first; created exclusively, mode 0640, never through a link),
// flushes, fsyncs and closes it, and only then, with UseBackup on and a
// retain file present, links the current OvRetain.bin to OvRetain.$$$.tmp
// and renames that over OvRetain.$$$ (so OvRetain.bin is never absent and the
// backup is replaced in one step; where the file system has no hard links
// the backup is a durable copy instead, and a backup that could not be
// refreshed gives one "WRN" line; a backup of another layout than the
// retain file's is first kept aside, set_aside.h, and stays in place when it
// could not be), then renames OvRetain.bin.tmp over
// OvRetain.bin and fsyncs the directory. At every moment OvRetain.bin is the
// complete old file or the complete new one. Before the rename the save
// makes sure the layout record of its hash lists every node it walked
// (layout_record.h). Any failure reports one "ERR" line that names the step and the system error ("Retain file write
// failed: No space left on device"; a failed seek past the header reports "Hashfile seek point set err." and then the
// system error on a line of its own), removes the temporary file and returns 0, leaving the previous file (and backup)
// as they were.
//
// A save also writes the check record (check_record.h) before the renames,
// the file's length and CRC-32C taken while its slots are written.
//
// Before anything is written, a save has the node space check every node's
// value entry (NodeCheckValues): entries that disagree with the node space
// give one "ERR" line naming the first such node and return 0, and the walk
// never writes more slot bytes than the checked entries hold. A walk (of a
// save or a load) ends within 64 nodes of a failed node-space access (a lock
// held past its deadline), and the operation fails aloud.
//
// A load opens the retain file without following a link or blocking, and
// only a regular file, and reads it whole (the CRC-32C taken on each chunk)
// before any node is written: a file its check record does not vouch for is
// not loaded (one "ERR" line, 0; with UseBackup a backup that verifies is
// loaded instead, with one "WRN" line, and the file that did not verify is
// kept aside then and adopted, see adoption.h), and a file with no check record is
// loaded as it is (one "DBG" line). Anything but a regular file, a file
// shorter than its 4-byte header and every failure but a missing file gives
// one "ERR" line and returns 0, with no node written. It does not judge the
// header and writes each complete slot back; at the end of the file the
// node whose slot is cut short and every later one are left unchanged. The
// file's own layout record keeps slots from nodes they were not written for
// (load_guard.h). A slot whose buffer cannot be allocated is skipped, so
// the later nodes still get their own values. A text slot with no zero byte
// loads as its first Size - 1 characters. A load that finds no file returns
// 0 with one "ERR" line that says so (also when its directory is not there).
//
// Callable from any thread; saves, loads and the start-up check are
// serialised by one lock held for each whole operation. Both return 1 on
// success and 0 on failure. Before the start-up check has built the paths
// both return 0 without touching any file.
//
// Before it writes anything a save passes the guards of adoption.h (a node
// space destroyed, replaced, cut short or with fewer nodes fails it) and
// claims the retain directory (retain_dir_claim.h: a directory another
// process claimed fails it, naming that process). Before its rename it keeps
// a retain file that the node space has not adopted (adoption.h); a keep
// that fails fails the save. A successful save or load marks the file
// adopted. With an unusable OutPath (retain_paths.h) every save fails with
// one "ERR" line.
#pragma once

#include <cstdint>

#include "stdlib/pdir.h"

uint8_t SaveRetainFile();
uint8_t LoadRetainFile();
// SaveRetainFile, telling a save that could not start because the start-up
// check has not run yet (-1) from a failed one (0) and a success (1).
int SaveRetainFileStatus();

// The last save of this run that returned 1, whoever made it: the
// ChangeMark (variables.h) taken as it began and the PTimeMonotonicMs at
// which it ended. False before the first. Any thread; never waits for a save.
bool LastSuccessfulSave(uint64_t* markAtStart, uint64_t* endMs);

// Readies the first save of the run: the layout record that every save makes
// sure of is checked ahead of time (RecallLayoutRecord, layout_record.h), and
// the files in place that the check record lists are read and checksummed
// (RecallCheckRecord, check_record.h), so that the save of a stop or
// shutdown event does neither first. Called
// by the service once start-up is done, off the path of any event. Reports
// nothing of its own (a retain directory that is refused is said so once
// more); a save that comes meanwhile waits for it on the retain-file lock.
void PrepareFirstSave();

// Gives the retain file `retainName` of dir the backup's name
// `backupName` too, replacing the backup in one rename (a durable copy where
// the file system has no links); with no retain file, or no backup name,
// nothing changes. A failure leaves the older backup and gives one "WRN"
// line. True when the backup now holds the retain file. Called with the
// retain-file lock held.
bool KeepPreviousAsBackup(PDir* dir, const char* retainName, const char* backupName);

// The lock that keeps saves, loads and the start-up check apart. Not
// recursive: a holder must not call SaveRetainFile or LoadRetainFile.
void LockRetainFile();
void UnlockRetainFile();
