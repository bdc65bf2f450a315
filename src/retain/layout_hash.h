// layout_hash.h - the layout hash, the retain file's paths, the backup
// rotation and the start-up check of the retain file.
//
// The layout hash is a 32-bit fold of the MD5 digests of all node names in
// node-table order: h = rotl(h, 1) + first four digest bytes (little-endian).
// It is computed once and cached (0 means "not yet"); ComputeLayoutHash may
// run on several threads at once: each fold works in a local and only the
// finished value is stored.
//
// The paths are built once by CheckRetainFile from OutPath, used as a plain
// prefix: OutPath + "OvRetain.bin" and OutPath + "OvRetain.$$$" (128 bytes
// each, bounded). CheckRetainFile runs once on the main thread and holds the
// retain-file lock (retain_file.h) for its whole run, so building the paths,
// reading the header and the removal or rotation never overlap a save or
// load. ReadStoredLayoutHash, RotateBackupFile and RemoveRetainFile do not
// take the lock: their callers hold it. Each of them, and the check as a
// whole, works relative to one descriptor of the retain directory
// (retain_dir.h). Nothing here reports a failure except the check: a "DBG"
// line with the resolved retain file path, a "WRN" line for an OutPath that
// climbs out of its drive root or is longer than is read, the three "WRN"
// lines for a mismatch, and one "ERR" line for a retain file that is there
// but cannot be read (such a file is left alone; only a missing file counts
// as no file) or a retain directory that is refused.
//
// On a mismatch CheckRetainFile first keeps the retain file as
// OvRetain.<file hash>.old (set_aside.h); when the node
// SERVICE.OvRetain.Migrate (read here by name, never created) holds 1, it
// writes a retain file of the current layout with the values it can match by
// name (migration.h) instead of removing or rotating the old one. Last it
// removes the layout records that no file needs any more. A matching file
// is left alone as before: the check then touches no file.
#pragma once

#include <cstdint>
#include <vector>

constexpr unsigned kRetainPathSize = 128;

// The MD5 digest of text's bytes up to, not including, its terminating zero.
void DigestText(uint8_t out[16], const char* text);
uint32_t ComputeLayoutHash();
// The number of node records (from record 0) the cached hash was folded
// from; 0 while no hash is cached.
int32_t LayoutHashNodeCount();
// The per-node keys of the fold that set the cached hash (key j from node
// j's name), handed over once and then forgotten: the start-up check uses
// them to check an old layout record without digesting again the names the
// fold digested. Empty when there are none to hand over.
std::vector<uint32_t> TakeLayoutNodeKeys();
void BuildRetainFilePaths();
// The paths; empty texts until BuildRetainFilePaths has run.
const char* GetRetainFilePath();
const char* GetBackupFilePath();
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
void CheckRetainFile();

// Forgets the cached hash, the stored hash and the paths. For tests only.
void ResetLayoutHashForTest();
