// retain_paths.h - the retain file's and the backup's paths.
//
// Built once by the start-up check from OutPath, used as a plain prefix:
// OutPath + "OvRetain.bin" and OutPath + "OvRetain.$$$" (kRetainPathSize
// bytes each, cut short to fit). Until they are built both are empty texts,
// and saves and loads touch no file. Building and forgetting happen with the
// retain-file lock held (retain_file.h); readers take the texts as they are.
//
// An OutPath that reads as an empty text (its node could not be made or
// read) or whose mapped path is not absolute names no directory the service
// may use: no file is ever written or read relative to the working
// directory. Then the paths stay empty and RetainPathsUnusable is true, so
// that saves fail aloud instead of doing nothing.
#pragma once

constexpr unsigned kRetainPathSize = 128;

// False (the paths left empty) when OutPath is unusable.
bool BuildRetainFilePaths();
bool RetainPathsUnusable();
// The paths; empty texts until BuildRetainFilePaths has run.
const char* GetRetainFilePath();
const char* GetBackupFilePath();
// Makes both paths empty again.
void ForgetRetainFilePaths();
// Empty paths and a usable OutPath, as before the start-up check.
void ResetRetainPathsForTest();
