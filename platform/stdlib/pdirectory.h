// pdirectory.h - what the retain directory holds: its entries, and a file's
// length and modification time. Beside pfile.h, with the same path mapping
// (drive form "X:\dir\name" onto the drive root) and the same contract: any
// thread may call these; a failure returns false and leaves errno set.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// The names (not "." and "..") in the directory holding `path`, whose last
// component is a file name. Counts as an "open" for fault injection.
bool PFileListSiblings(const char* path, std::vector<std::string>* names);
// Length in bytes and status change time (ns since the epoch: when the file
// last got a name, was renamed or written) of a regular file; either out
// pointer may be null.
bool PFileStatus(const char* path, uint64_t* size, int64_t* changedNs);
// Reads the whole regular file at path into bytes (replacing its content).
// Fails with EFBIG beyond maxSize bytes. Counts as an "open" and a "read".
bool PFileReadWhole(const char* path, std::vector<uint8_t>* bytes, uint64_t maxSize);
