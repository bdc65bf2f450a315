// archive_status.h - the archive's state as its status file holds it, for
// `ovnode status` and `ovnode metrics`.
//
// The file (archive_config.h names where) is text, one "key value" a line,
// written whole through a temporary file and a rename by ovretain-archive:
//   pid <pid>
//   state ok|failing|starting
//   updated <seconds since the epoch>
//   last_success <seconds since the epoch, 0 before the first>
//   pending_bytes <bytes not shipped yet>
//   uploads <objects stored since the start>
//   errors <failed requests since the start>
//   last_set <name of the newest set shipped>
//   last_error <the store's answer to the last failure>
// Reads only; any thread.
#pragma once

#include <cstdint>
#include <string>

struct ArchiveStatus {
    int Pid = 0;
    std::string State;
    int64_t Updated = 0;
    int64_t LastSuccess = 0;
    uint64_t PendingBytes = 0;
    uint64_t Uploads = 0;
    uint64_t Errors = 0;
    std::string LastSet;
    std::string LastError;
};

// False when there is no such file or it cannot be read.
bool ReadArchiveStatus(const std::string& path, ArchiveStatus* status);
// Whether the process that wrote it still runs.
bool ArchiveStatusLive(const ArchiveStatus& status);
