// startup_check.h - the start-up check of the retain file: does the file
// there belong to this node table's layout, and what becomes of it if not.
//
// CheckRetainFile runs once on the main thread, before the threads start,
// and holds the retain-file lock (retain_file.h) for its whole run, so
// building the paths (retain_paths.h), reading the header and the removal
// or rotation never overlap a save or load. ReadStoredLayoutHash,
// RotateBackupFile and RemoveRetainFile do not take the lock: their callers
// hold it. Each of them, and the check as a whole, works relative to one
// descriptor of the retain directory (retain_dir.h).
//
// Nothing here reports a failure except the check: a "DBG" line with the
// resolved retain file path, a "WRN" line for an OutPath that climbs out of
// its drive root or is longer than is read, the three "WRN" lines for a
// mismatch, and one "ERR" line for a retain file that is there but cannot
// be read (such a file is left alone; only a missing file counts as no file)
// or a retain directory that is refused.
//
// A file there is first verified by its check record (check_record.h). A
// file of this layout that does not verify gets one "WRN" line ("Retained
// file does not verify: <why>; it is left as it is.") and is left alone. A
// file whose hash matches but whose own layout record differs from the node
// table in a type code or Size gets one "WRN" line ("Retained file layout
// differs under the same hash code: ...") and counts as a mismatch.
//
// On a mismatch CheckRetainFile first keeps the retain file aside
// (set_aside.h), with the journal that extends it; a file that cannot be
// kept is left where it is, and so is every other file (one more "ERR"
// line: "Retained file left as it is: it could not be kept aside first.";
// AutoLoad then leaves it alone, see adoption.h).
// When the node SERVICE.OvRetain.Migrate (read by name, never created)
// holds 1, it writes a retain file of the current layout with the values it
// can match by name (migration.h), the journal folded in, instead of
// removing or rotating the old one; a node space that had adopted the old
// file adopts the new one. A layout that differs from the file's only in
// the service's own nodes (SERVICE.OvRetain.*: settings turned on by
// creating them) is migrated so whatever Migrate says, with the migration's
// one "WRN" line saying so instead of the three mismatch lines. The journal
// of the old file is then removed (it is kept beside the kept file). Last
// it removes the layout records that no file needs any more. A matching
// file is left alone: the check then touches no file. At its end it tells
// adoption.h what it left.
//
// This module stands above the hash, the paths, the records, the check
// record, set-aside and migration; none of them calls back into it.
#pragma once

#include <cstdint>

// Reads the retain file's header word into the stored hash and returns it.
// A file that does not open leaves the stored hash as it was; a file shorter
// than its 4-byte header reads as 0.
uint32_t ReadStoredLayoutHash();
// The same, setting *error to the system error when the file is there but
// cannot be read (0 otherwise; a missing file is not an error).
uint32_t ReadStoredLayoutHash(int* error);
// Moves the retain file to the backup path (replacing the backup in one
// rename). With no retain file present the existing backup is kept.
void RotateBackupFile();
void RemoveRetainFile();
// False, after one "ERR" line, when another process claimed the retain
// directory (retain_dir_claim.h): the service must not start. The claim is
// taken before any file is read. An OutPath that names no usable directory
// gives one "ERR" line, and nothing is read. An OutPath whose directory lies
// outside the drive root (PFileDriveRoot) is false too, after one "ERR"
// line, and RetainOutPathRefused() then says so: a configuration error.
// After every outcome but the last two, one "INF" line says what the check
// did about a mismatch (kept aside, migrated, or there was no file).
bool CheckRetainFile();
bool RetainOutPathRefused();

// Forgets the cached hash, the stored hash and the paths. For tests only.
void ResetRetainStateForTest();
