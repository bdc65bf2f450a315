// archive_ship.h - shipping what the service has made durable in the retain
// directory to the store (archive_sets.h gives the layout).
//
// A pass (ShipArchiveOnce) looks at OvRetain.bin: a file it has not shipped
// (a new save, even of the same bytes, since each save starts a journal of
// its own) that verifies by its check record is read once and shipped as a new set -
// its bytes and its layout record unless the store has them already, then
// its manifest, then the fleet marker - followed by the whole journal
// groups that extend it; then retention runs. A file that does not verify
// (a save under way, or damage) is left for the next pass. With the journal
// due, the groups appended since the last shipment go as one object. Only
// the newest file is ever owed: a file replaced before it was shipped is
// never shipped.
//
// The store's health: the first failed pass writes one "WRN" line, the
// first pass after failures whose requests the store answered another (a
// pass with nothing to ship asks the store once to find out); the caller waits longer
// between failed passes (ArchiveRetryDelay). Nothing is written into the
// retain directory. One thread; the state is the caller's.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <set>
#include <string>

#include "archive/archive_config.h"
#include "archive/s3_client.h"
#include "retain/journal_format.h"

struct ArchiveShipper {
    const ArchiveConfig* Config = nullptr;
    S3Store Store;
    // What the store holds, as far as this run knows.
    bool Listed = false;
    std::set<std::string> Keys;
    // The set shipped last and how far its journal went.
    std::string Set;
    JournalIdentity Shipped;
    uint64_t JournalSequence = 0;
    uint64_t JournalOffset = 0;
    // The journal file as last read (inode, length): unchanged, it is not read again.
    ino_t JournalInode = 0;
    uint64_t JournalSeen = 0;
    // The retain file last looked at (inode, size, change time), so that an
    // unchanged file is not read again.
    ino_t Inode = 0;
    off_t Size = -1;
    int64_t ChangeNs = -1;
    bool Verified = false;  // that file verified and is shipped
    // The inode of the file the set was shipped from (0: the set was found
    // in the store at the start). A save of the same bytes starts a new
    // journal, so it makes a new set (its bytes are not uploaded again).
    ino_t SetInode = 0;
    bool Again = false;           // the pass could not name a new set yet: the next one ships it
    bool DirMissingSaid = false;  // the line about a retain directory that cannot be opened
    bool RetentionOwed = false;   // the fleet marker and retention after a set, until they have run
    // Health and counts, for the status file.
    bool Failing = false;
    unsigned FailedPasses = 0;
    int64_t LastSuccess = 0;
    uint64_t Uploads = 0;
    uint64_t Errors = 0;
    uint64_t PendingBytes = 0;
    std::string LastError;
};

// Connects the shipper to the store and learns where the controller's
// newest set and its journal stand. False with the reason (wrong
// credentials, a missing bucket, a store that does not answer).
bool StartArchiveShipper(ArchiveShipper* shipper, const ArchiveConfig* config, std::string* why);
// One pass; journalDue ships the journal's new groups. False when the
// store failed (the reason in LastError).
bool ShipArchiveOnce(ArchiveShipper* shipper, bool journalDue);
// Seconds to wait after n failed passes in a row: 1, 2, 4, capped at 5.
unsigned ArchiveRetryDelay(unsigned failedPasses);
// Writes the shipper's state to the status file (temporary file, rename).
void WriteArchiveStatus(const ArchiveShipper& shipper);
// One log line, "WRN ..." (or "ERR", "INF") on standard error, with its
// syslog priority first when standard error is the system journal.
void ArchiveLog(const char* level, const std::string& text);
