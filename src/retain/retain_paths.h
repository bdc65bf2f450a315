// retain_paths.h - the retain file's and the backup's paths.
//
// Built once by the start-up check from OutPath, used as a plain prefix:
// OutPath + "OvRetain.bin" and OutPath + "OvRetain.$$$" (kRetainPathSize
// bytes each, cut short to fit). Until they are built both are empty texts,
// and saves and loads touch no file. Building and forgetting happen with the
// retain-file lock held (retain_file.h); readers take the texts as they are.
#pragma once

constexpr unsigned kRetainPathSize = 128;

void BuildRetainFilePaths();
// The paths; empty texts until BuildRetainFilePaths has run.
const char* GetRetainFilePath();
const char* GetBackupFilePath();
// Makes both paths empty again.
void ForgetRetainFilePaths();
