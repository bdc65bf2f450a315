// layout_record.h - the layout record kept beside every retain file: which
// node each slot of a retain file belongs to.
//
// A retain file holds values only; its slots can be told apart only by
// walking a node table with the sizes it was written with. A layout record
// keeps that table: every node's name, type code and Size in node-table
// order, Size-0 nodes included. Each layout has a record of its own, named
// by the layout hash and by the record's own checksum:
//   OvRetain.<hash>.<id>.layout   (OutPath prefix; <hash> the retain file's
//                                  header word, <id> the record's trailing
//                                  CRC-32C, each 8 lower-case hex digits)
// so two layouts that differ only in a type code or a Size (their hash is
// the same) have two records, and a record is never rewritten for another
// layout: a name stands for one content. The check record (check_record.h)
// and the name of a set-aside file say which record a file was written with.
// Earlier versions kept one record per hash, OvRetain.<hash>.layout, and
// rewrote it when a size changed; such a "legacy" record is still read for a
// file that nothing else names a record for, and is never written.
//
// Format (all fixed-width numbers little-endian), version 2, written from
// this version on:
//   offset 0   8 bytes  "OvLayout"
//   offset 8   4 bytes  format version, 2
//   offset 12  4 bytes  the layout hash
//   offset 16  4 bytes  k: the number of entries (from the first) whose names
//                       fold to the layout hash
//   offset 20  4 bytes  n: the number of entries, k <= n <= 16,777,216 (the
//                       most nodes a node space can be made to hold; records
//                       written before the capacity could be chosen have
//                       n <= 2,097,152)
//   offset 24  n entries, one after another, each five fields:
//                varint   P: the length of the prefix the name shares with
//                         the previous entry's name (0 for the first entry),
//                         at most that name's length
//                varint   S: the length of the rest; P + S from 1 to 561,
//                         S 0 only for a name that is a shorter prefix of
//                         the previous one (a repeated name is refused)
//                S bytes  the rest of the name, no zero byte; the name is
//                         the previous name's first P bytes and these
//                varint   type code
//                varint   Size (0 for a node without a slot)
//   then       4 bytes  CRC-32C (Castagnoli) of every byte before it: the
//                       record's id
// A varint is an unsigned number of at most 16 bits, 7 bits a byte, lowest
// first, the top bit set on every byte but the last (1 to 3 bytes). Names of
// one device share most of their bytes, so an entry takes some 16 bytes
// where version 1 took 41 (1,000,000 plant nodes: 15.8 MB against 41.4 MB).
//
// Version 1, read but no longer written: the same header with version 1,
// then n entries of
//                2 bytes  name length L (1 to 561)
//                L bytes  the name, no terminating zero
//                2 bytes  type code
//                2 bytes  Size (0 for a node without a slot)
// and the CRC-32C. A record of another version is refused as "of an unknown
// format version N", as a damaged one is: a build that predates version 2
// treats a version-2 record as no record at all (see the load guard and the
// start-up check), never as entries it misreads.
//
// Nothing follows the CRC. Entries past k are nodes created after the hash
// was cached: saves go on writing that hash, so a layout of one hash can
// grow, and each size of it has its own record. A retain file covers as
// many entries as its length holds.
//
// A record verifies when the magic, version and checksum are right, the
// entries fill the file exactly, k <= n, no name repeats, and the names of the
// first k entries fold to the hash. Nothing that does not verify is used. A
// quick read (ReadLayoutRecordEntries) checks all of it but the fold, which
// costs a digest per name: for the load and the start-up check, which
// compare the entries with the node table by name themselves.
//
// EnsureLayoutRecord is called by a save with the retain-file lock held,
// before the new retain file is renamed into place, with the save's retain
// directory: records are read and written relative to it, as the retain
// file is. It remembers the hash, the entry count and the shape (types and
// sizes) it last found or wrote, so an ordinary save costs one comparison;
// only a missing or differing record is written, durably
// (<name>.tmp, flush, fsync, rename, directory fsync, all relative to the
// directory). A failure reports one "ERR" line naming the step ("Layout
// record rename failed: No space left on device"), removes the temporary
// file and returns false; every record on disk stays as it was. The other
// operations keep no state and may be called from any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "nodespace/ovhgapi.h"
#include "stdlib/pdir.h"

struct LayoutRecordEntry {
    // The name is the first Shared bytes of the previous entry's name, then
    // NameLength - Shared bytes at Name (into LayoutRecord::Bytes or Names,
    // not zero-terminated). Shared is 0, and Name the whole name, but in a
    // version-2 record read with a key hint (below).
    const char* Name;
    uint16_t NameLength;
    uint16_t Type;
    uint16_t Size;
    uint16_t Shared;
    uint32_t Key;     // first digest word of the name, as the layout hash takes it
    uint64_t Offset;  // where the entry's slot starts in a retain file
};

struct LayoutRecord {
    uint32_t Hash = 0;
    uint32_t HashedCount = 0;
    uint32_t Version = 0;
    std::vector<uint8_t> Bytes;  // the whole record file
    std::vector<char> Names;     // the names of a version-2 record, one after another, and 8 spare bytes
    std::vector<LayoutRecordEntry> Entries;
    std::vector<uint32_t> Lookup;  // open addressing by Key: entry index + 1, 0 empty
    // Read with a key hint: for node j of the hint's table, the index + 1 of
    // the entry that names it (0: none); Lookup then holds only the entries
    // that name no node of that table. In a version-2 record such an entry
    // keeps no name spelled out: Name and Shared are the rest of its name as
    // the record's bytes hold it (the name is the node's).
    std::vector<uint32_t> NodeEntry;
};

// A record being built: Begin, one Append per node, Finish.
struct LayoutRecordBuilder {
    std::vector<uint8_t> Bytes;  // the record once finished; scratch beyond Used until then
    size_t Used = 0;
    uint32_t Version = 0;
    uint32_t Count = 0;
    uint16_t LastLength = 0;
    char Last[sizeof(NodeRecord::Name)];  // the previous entry's name
};

// OutPath + name, from the retain file's path; false when the paths are not
// built yet or it would not fit.
bool RetainSiblingPath(const char* name, char* out, size_t size);
// OutPath + LayoutRecordName(hash, id), from the retain file's path; false
// when the paths are not built yet or it would not fit.
bool LayoutRecordPathFor(uint32_t hash, uint32_t id, char* out, size_t size);
// The record path beside the retain file at `retainPath` (any directory):
// its directory + "/" + LayoutRecordName(hash, id). For the tools.
std::string LayoutRecordPathBeside(const std::string& retainPath, uint32_t hash, uint32_t id);

// Building a record: Begin, one Append per node, Finish (counts and
// checksum; builder->Bytes is then the record). Version 2 unless asked for
// version 1, which only tests and benchmarks write (old records on disk).
void BeginLayoutRecord(LayoutRecordBuilder* builder, uint32_t hash, uint32_t hashedCount, uint32_t version = 2);
void AppendLayoutRecordEntry(LayoutRecordBuilder* builder, const char* name, size_t length, uint16_t type,
                             uint16_t size);
// Appends, to a version-2 record, the entry whose name is the previous
// entry's name up to `shared` bytes and then `restLength` bytes at rest, as
// an entry of another record may hold it: without the name spelled out.
// False, appending nothing, when that is not how AppendLayoutRecordEntry
// would write that name after the previous one (another version, a prefix
// longer than the previous name, or one that is not the longest shared);
// the caller then appends the name.
bool AppendLayoutRecordRest(LayoutRecordBuilder* builder, size_t shared, const char* rest, size_t restLength,
                            uint16_t type, uint16_t size);
void FinishLayoutRecord(LayoutRecordBuilder* builder);
// Room for a record of about size bytes, its pages mapped at once.
void ReserveLayoutRecord(LayoutRecordBuilder* builder, size_t size);

// Keys already digested from the names of a node table: Keys[j] is the key
// of Table[j]'s name, for j < Count. A record's entry that names the same
// node takes its key from here instead of digesting the name again.
struct LayoutKeyHint {
    const NodeRecord* Table = nullptr;
    const uint32_t* Keys = nullptr;
    int32_t Count = 0;
};

// Checks and indexes a record held in record->Bytes; false with the reason.
bool VerifyLayoutRecord(LayoutRecord* record, std::string* why, const LayoutKeyHint* hint = nullptr);
// Reads and verifies the record at path (drive form allowed) and checks that
// it is the record of `hash`; false with the reason.
bool ReadLayoutRecord(const char* path, uint32_t hash, LayoutRecord* record, std::string* why,
                      const LayoutKeyHint* hint = nullptr);
// The same for the record (hash, id) in the retain directory dir (id 0: the
// legacy record of the hash).
bool ReadLayoutRecordIn(PDir* dir, uint32_t hash, uint32_t id, LayoutRecord* record, std::string* why,
                        const LayoutKeyHint* hint = nullptr);
// The quick read of the record (hash, id) in dir: everything checked but the
// fold of its names, and no lookup built (FindLayoutRecordEntry finds
// nothing in it). ENOENT in errno when the record is not there.
bool ReadLayoutRecordEntries(PDir* dir, uint32_t hash, uint32_t id, LayoutRecord* record, std::string* why);
// The length of the retain file that the record of `hash` and `id` in dir
// describes (LayoutRecordFileLength), from a quick read that leaves the
// names unspelled: for a caller that needs nothing else of many records.
// scratch holds what is read, its memory kept from call to call; its
// entries' names are not to be read. False when the record does not read.
bool ReadLayoutRecordFileLength(PDir* dir, uint32_t hash, uint32_t id, LayoutRecord* scratch, uint64_t* length);
// What the search for a retain file's record found.
enum FileRecordFind {
    FILE_RECORD_FOUND,  // the record that describes the file
    FILE_RECORD_NONE,   // the directory holds no record of the file's hash at all
    FILE_RECORD_UNFIT,  // records of the hash are there, but none (or more than one
                        // layout) describes the file's length
};
// The record of a retain file of fileSize bytes and header word hash,
// written with the record *id (0: not known, as for a file that no check
// record lists or a set-aside file of the older form): that record when
// *id is not 0 and it reads; else, among every record of the hash in dir
// (the legacy one included), the one whose slots end exactly where the file
// does, *id then its id. Records of one content under two names count
// once; records of two layouts of that length are not told apart, and
// none is taken. When none of them reads, a record held in memory
// (RewriteLayoutRecordOfTable) of the hash, *id and length. A quick read, as
// above. The reason when not found.
FileRecordFind FindFileLayoutRecord(PDir* dir, uint32_t hash, uint64_t fileSize, uint32_t* id, LayoutRecord* record,
                                    std::string* why);
// Where the slots of a record end: 4 and the sum of its entries' Sizes.
uint64_t LayoutRecordFileLength(const LayoutRecord& record);
// The first node of table [0, count) whose name, type code or Size is not
// that of its entry, among the entries whose slots the file of fileSize
// bytes holds; -1 when there is none. With the retain directory dir, a
// record that lists exactly what EnsureLayoutRecord would build from this
// table (every node matched) is remembered as that function's own; the
// caller then holds the retain-file lock.
int64_t FirstLayoutDifference(const LayoutRecord& record, const NodeRecord* table, int32_t count, uint64_t fileSize,
                              PDir* dir = nullptr);
// Whether node's name is the entry's, for an entry whose Name is the whole
// name (Shared 0).
bool LayoutEntryNamesNode(const LayoutRecordEntry& e, const NodeRecord& node);
// The index of the entry named name, or -1. In a record read with a key
// hint it finds only the entries that name no node of the hint's table.
int64_t FindLayoutRecordEntry(const LayoutRecord& record, const char* name, size_t length);
// The first digest word of a name, as the layout hash folds it.
uint32_t LayoutNameKey(const char* name, size_t length);

// The 8 lower-case hex digits of name at `at` as a number; false when they
// are not that.
bool ParseHex8(const std::string& name, size_t at, uint32_t* value);
// "OvRetain.<hash>.<id>.layout"; "OvRetain.<hash>.layout" (legacy) for id 0.
std::string LayoutRecordName(uint32_t hash, uint32_t id);
// The hash and id of a record's file name (id 0 for a legacy one); false for
// any other name.
bool ParseLayoutRecordName(const std::string& name, uint32_t* hash, uint32_t* id);
// The id of a finished record: its trailing checksum.
uint32_t LayoutRecordId(const std::vector<uint8_t>& bytes);

// Makes sure a record of `hash` in the retain directory dir lists nodes
// [0, count) of table as they are now; see above. `shape` is the save's
// fold of the nodes' types and sizes (LayoutShapeStep): a change of it makes
// the record be looked at again. *id is the record's id. The caller holds
// the retain-file lock.
bool EnsureLayoutRecord(PDir* dir, uint32_t hash, const NodeRecord* table, int32_t count, uint32_t shape, uint32_t* id);
// Writes the record of `hash` that nodes [0, count) of table build, when
// its id is `id`: a damaged record of a file written from this very table
// is made whole again. False (nothing written) for another id. A write that
// fails is reported as EnsureLayoutRecord does, and the record is then held
// in memory: FindFileLayoutRecord finds it when no record of its hash in dir
// can be read, until a save writes it (true all the same). The caller holds
// the retain-file lock.
bool RewriteLayoutRecordOfTable(PDir* dir, uint32_t hash, uint32_t id, const NodeRecord* table, int32_t count);
// The same for a record of `hash` in dir that cannot be read, when its name
// carries the id the table builds: an id is drawn from a record's bytes, so
// that record held exactly what the table builds. True when one was written
// (or is held, as above).
bool RewriteUnreadableLayoutRecordOfTable(PDir* dir, uint32_t hash, const NodeRecord* table, int32_t count);
// One node's step of the shape fold: node `index` of the table has that type
// code and Size. The fold is a sum of the steps, so the folds of two ranges
// of a table add up to the fold of both.
inline uint32_t LayoutShapeStep(uint32_t shape, int32_t index, uint16_t type, uint16_t size) {
    uint32_t x = ((static_cast<uint32_t>(type) << 16) | size) ^ (static_cast<uint32_t>(index) * 0x9E3779B1u);
    x ^= x >> 16;
    x *= 0x7FEB352Du;
    x ^= x >> 15;
    x *= 0x846CA68Bu;
    x ^= x >> 16;
    return shape + x;
}
// One node's step of the fold of the names (length bytes at name) of a
// table, as KnownLayoutRecord gives it.
uint32_t LayoutNamesStep(uint32_t names, const char* name, size_t length);
// What EnsureLayoutRecord last made sure of in the retain directory dir: the
// record (Hash, Id) lists nodes [0, Count) of the table as they were when it
// was built from them, their types and sizes folding to Shape and their
// names to Names (LayoutNamesStep). A table that still has Count nodes, that
// shape and those names is the record's table. False when nothing is
// remembered for dir. The caller holds the retain-file lock.
struct KnownLayout {
    uint32_t Hash = 0;
    uint32_t Id = 0;
    int32_t Count = 0;
    uint32_t Shape = 0;
    uint32_t Names = 0;
    // Where the slot of node Count / 2 starts in a file of this record.
    uint64_t HalfOffset = 0;
    // Another number whenever something else is remembered: a conclusion
    // drawn from this record holds while its serial is the same.
    uint64_t Serial = 0;
};
bool KnownLayoutRecord(PDir* dir, KnownLayout* known);
// Writes bytes, a finished record of `hash`, under its own name in dir,
// durably (nothing is written when that record is there already); reports
// and fails as EnsureLayoutRecord does. For a caller that built the record
// on a walk of the table it had to make anyway.
bool WriteLayoutRecord(PDir* dir, uint32_t hash, const std::vector<uint8_t>& bytes);
// Makes sure of the record of `hash` for nodes [0, count) of table ahead of
// the first save, as that save would (reporting as it does), so that the
// save finds it remembered. A record remembered for this directory, hash and
// count already is left to the save's own comparison of the shape, without
// a walk. The caller holds the retain-file lock.
void RecallLayoutRecord(PDir* dir, uint32_t hash, const NodeRecord* table, int32_t count);
// Puts bytes in place as the file `name` of the retain directory dir,
// durably (see PDirWriteFile). A failure reports "<what> <step> failed:
// <error>" as "ERR" and returns false; the previous file stays as it was.
bool WriteRetainSibling(PDir* dir, const char* name, const std::vector<uint8_t>& bytes, const char* what);

// CRC-32C of size bytes, continuing from crc (0 to start).
uint32_t Crc32c(uint32_t crc, const void* data, size_t size);
// The CRC-32C of two pieces one after the other, from the CRC-32C of each
// and the length of the second.
uint32_t Crc32cCombine(uint32_t first, uint32_t second, uint64_t secondLength);

// Forgets what EnsureLayoutRecord remembers. For tests only.
void ResetLayoutRecordForTest();
