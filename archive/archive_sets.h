// archive_sets.h - the bucket layout of the archive, and reading sets back.
//
// Under a controller's prefix P (archive_config.h):
//   P data/<md5>                          a retain file's bytes, named by their
//                                         MD5 (hex): the same bytes are stored once
//   P layout/OvRetain.<hash>.<id>.layout  a layout record (layout_record.h),
//                                         stored once
//   P sets/<set>.manifest                 a set, written after everything it
//                                         names: a set is there when this is
//   P journal/<set>/<first>-<last>        whole change-journal groups
//                                         (journal_format.h, without the
//                                         header) of sequence first to last
//                                         (16 hex digits each) that extend the
//                                         set's file, each object complete
//   fleet/P newest                        the name of P's newest set: the
//                                         fleet view lists fleet/ alone
// <set> is <UTC time YYYYMMDDTHHMMSSZ>.<hash>.<layout id>.<md5>: sets sort by
// time, and a listing tells each set's file and layout without reading it.
// The manifest, text, holds the file's check entry (check_record.h):
//   ovretain-archive-set 1
//   time <seconds since the epoch>
//   md5 <hex>
//   length <bytes>
//   crc <CRC-32C, 8 hex digits>
//   hash <layout hash, 8 hex digits>
//   layout <layout record id, 8 hex digits>
// A journal object whose sequence does not follow the one before is not
// used, nor any after it.
//
// Every call makes requests to the store through the S3Store given: one
// thread at a time per store. Failures are results with a reason.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "archive/s3_client.h"
#include "retain/check_record.h"

struct ArchiveSet {
    std::string Name;
    int64_t Time = 0;
    uint32_t Hash = 0;
    uint32_t LayoutId = 0;
    std::string Md5;
    uint64_t Size = 0;     // the data object's size, 0 when it is missing
    bool Present = false;  // the data object is there
};

struct SetManifest {
    int64_t Time = 0;
    std::string Md5;
    CheckEntry Entry;
};

std::string ArchiveDataKey(const std::string& prefix, const std::string& md5);
std::string ArchiveLayoutKey(const std::string& prefix, uint32_t hash, uint32_t id);
std::string ArchiveManifestKey(const std::string& prefix, const std::string& set);
std::string ArchiveJournalPrefix(const std::string& prefix, const std::string& set);
std::string ArchiveJournalKey(const std::string& prefix, const std::string& set, uint64_t first, uint64_t last);
std::string ArchiveFleetKey(const std::string& prefix);
std::string ArchiveSetName(int64_t time, uint32_t hash, uint32_t id, const std::string& md5);
bool ParseArchiveSetName(const std::string& name, ArchiveSet* set);
std::string EncodeSetManifest(const SetManifest& manifest);
bool DecodeSetManifest(const std::string& text, SetManifest* manifest);
std::string Md5Hex(const uint8_t* data, size_t size);

// The sets under prefix, oldest first.
bool ListArchiveSets(S3Store* store, const std::string& prefix, std::vector<ArchiveSet>* sets, S3Result* result);

// What a set holds once read back and checked.
struct PulledSet {
    SetManifest Manifest;
    std::vector<uint8_t> File;
    std::vector<uint8_t> Layout;
    std::vector<uint8_t> Journal;  // header and whole groups; empty when none was shipped
    uint64_t Groups = 0;
};
// Reads the set and checks every part: the file's MD5, length and CRC-32C
// against the manifest, the layout record's id, the journal's groups.
bool ReadArchiveSet(S3Store* store, const std::string& prefix, const std::string& set, PulledSet* pulled,
                    std::string* why);
// Writes what was read into dir as a retain directory holds it:
// OvRetain.bin, its layout record, OvRetain.check and OvRetain.journal.
bool WritePulledSet(const PulledSet& pulled, const std::string& dir, std::string* why);

// Retention: keeps the newest `keep` sets and the newest set of each layout;
// removes the others (manifest first, so a set is never seen half removed,
// then its journal), then every data object and layout record no kept set
// names. `removed` hears of each set removed, `deleted` of each data object
// and layout record deleted.
bool PruneArchiveSets(S3Store* store, const std::string& prefix, unsigned keep,
                      const std::function<void(const std::string&)>& removed,
                      const std::function<void(const std::string&)>& deleted, S3Result* result);
