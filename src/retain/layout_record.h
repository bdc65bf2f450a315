// layout_record.h - the layout record kept beside every retain file: which
// node each slot of a retain file belongs to.
//
// A retain file holds values only; its slots can be told apart only by
// walking a node table with the sizes it was written with. The record
// OvRetain.<hash>.layout (OutPath prefix, <hash> the retain file's header
// word as 8 lower-case hex digits) keeps that table: every node's name, type
// code and Size in node-table order, Size-0 nodes included.
//
// Format (all numbers little-endian):
//   offset 0   8 bytes  "OvLayout"
//   offset 8   4 bytes  format version, 1
//   offset 12  4 bytes  the layout hash
//   offset 16  4 bytes  k: the number of entries (from the first) whose names
//                       fold to the layout hash
//   offset 20  4 bytes  n: the number of entries, n >= k
//   offset 24  n entries, one after another:
//                2 bytes  name length L (1 to 561)
//                L bytes  the name, no terminating zero
//                2 bytes  type code
//                2 bytes  Size (0 for a node without a slot)
//   then       4 bytes  CRC-32C (Castagnoli) of every byte before it
// Nothing else follows. Entries past k are nodes created after the hash was
// cached: saves go on writing that hash, so the record for one hash grows. A
// retain file of hash h covers as many entries as its length holds.
//
// A record verifies when the magic, version and checksum are right, the
// entries fill the file exactly, k <= n, no name repeats, and the names of the
// first k entries fold to the hash. Nothing that does not verify is used.
//
// EnsureLayoutRecord is called by a save with the retain-file lock held,
// before the new retain file is renamed into place, with the save's retain
// directory: records are read and written relative to it, as the retain
// file is. It remembers the hash and
// the entry count it last found or wrote, so an ordinary save costs one
// comparison; only a missing, short, damaged or differing record is written,
// durably (OvRetain.<hash>.layout.tmp, flush, fsync, rename, directory
// fsync, all relative to the directory). A failure reports one "ERR" line naming the step ("Layout record
// rename failed: No space left on device"), removes the temporary file and
// returns false; the previous record stays as it was. The other operations
// keep no state and may be called from any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "nodespace/ovhgapi.h"
#include "stdlib/pdir.h"

struct LayoutRecordEntry {
    const char* Name;  // into LayoutRecord::Bytes, not zero-terminated
    uint16_t NameLength;
    uint16_t Type;
    uint16_t Size;
    uint32_t Key;     // first digest word of the name, as the layout hash takes it
    uint64_t Offset;  // where the entry's slot starts in a retain file
};

struct LayoutRecord {
    uint32_t Hash = 0;
    uint32_t HashedCount = 0;
    std::vector<uint8_t> Bytes;  // the whole record file
    std::vector<LayoutRecordEntry> Entries;
    std::vector<uint32_t> Lookup;  // open addressing by Key: entry index + 1, 0 empty
};

// OutPath + name, from the retain file's path; false when the paths are not
// built yet or it would not fit.
bool RetainSiblingPath(const char* name, char* out, size_t size);
// OutPath + "OvRetain.<hash>.layout", from the retain file's path; false when
// the paths are not built yet or it would not fit.
bool LayoutRecordPathFor(uint32_t hash, char* out, size_t size);
// The record path beside the retain file at `retainPath` (any directory):
// its directory + "/OvRetain.<hash>.layout". For the tools.
std::string LayoutRecordPathBeside(const std::string& retainPath, uint32_t hash);

// Building a record: Begin, one Append per node, Finish (counts and checksum).
void BeginLayoutRecord(std::vector<uint8_t>* bytes, uint32_t hash, uint32_t hashedCount);
void AppendLayoutRecordEntry(std::vector<uint8_t>* bytes, const char* name, size_t length, uint16_t type,
                             uint16_t size);
void FinishLayoutRecord(std::vector<uint8_t>* bytes);

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
// The same for the record of `hash` in the retain directory dir.
bool ReadLayoutRecordIn(PDir* dir, uint32_t hash, LayoutRecord* record, std::string* why,
                        const LayoutKeyHint* hint = nullptr);
// The index of the entry named name, or -1.
int64_t FindLayoutRecordEntry(const LayoutRecord& record, const char* name, size_t length);
// The first digest word of a name, as the layout hash folds it.
uint32_t LayoutNameKey(const char* name, size_t length);

// "OvRetain.<hash>.layout".
std::string LayoutRecordName(uint32_t hash);

// Makes sure the record of `hash` in the retain directory dir lists nodes
// [0, count) of table as they are now; see above. The caller holds the
// retain-file lock.
bool EnsureLayoutRecord(PDir* dir, uint32_t hash, const NodeRecord* table, int32_t count);
// Checks the record of `hash` in dir against nodes [0, count) of table as
// EnsureLayoutRecord does and, when it matches, remembers it, so that the
// next save need not read it. Writes nothing and reports nothing: a record
// that is missing or differs is the next save's to write. The caller holds
// the retain-file lock.
void RecallLayoutRecord(PDir* dir, uint32_t hash, const NodeRecord* table, int32_t count);
// Writes bytes, a finished record of `hash` that lists `listed` nodes as the
// table has them, as that hash's record in dir, durably, and remembers it as
// EnsureLayoutRecord does; reports and fails as it does. For a caller that
// built the record on a walk of the table it had to make anyway.
bool WriteLayoutRecord(PDir* dir, uint32_t hash, int32_t listed, const std::vector<uint8_t>& bytes);
// Puts bytes in place as the file `name` of the retain directory dir,
// durably (see PDirWriteFile). A failure reports "<what> <step> failed:
// <error>" as "ERR" and returns false; the previous file stays as it was.
bool WriteRetainSibling(PDir* dir, const char* name, const std::vector<uint8_t>& bytes, const char* what);

// CRC-32C of size bytes, continuing from crc (0 to start).
uint32_t Crc32c(uint32_t crc, const void* data, size_t size);

// Forgets what EnsureLayoutRecord remembers. For tests only.
void ResetLayoutRecordForTest();
