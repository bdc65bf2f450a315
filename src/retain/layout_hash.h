// layout_hash.h - the layout hash, the retain file's paths, the backup
// rotation and the start-up check of the retain file.
//
// The layout hash is a 32-bit fold of the MD5 digests of all node names in
// node-table order: h = rotl(h, 1) + first four digest bytes (little-endian).
// It is computed once and cached (0 means "not yet"); ComputeLayoutHash may
// run on several threads at once and only ever stores a finished value.
//
// The paths are built once by CheckRetainFile from OutPath, used as a plain
// prefix: OutPath + "OvRetain.bin" and OutPath + "OvRetain.$$$".
// CheckRetainFile runs once on the main thread; its removal or rotation holds
// the retain-file lock (retain_file.h) so it never overlaps a save or load.
#pragma once

#include <cstdint>

constexpr unsigned kRetainPathSize = 128;

void DigestText(uint8_t out[16], const char* text);
uint32_t ComputeLayoutHash();
void BuildRetainFilePaths();
const char* GetRetainFilePath();
const char* GetBackupFilePath();
uint32_t ReadStoredLayoutHash();
void RotateBackupFile();
void RemoveRetainFile();
void CheckRetainFile();

// Forgets the cached hash, the stored hash and the paths. For tests only.
void ResetLayoutHashForTest();
