// journal_format.h - the bytes of the change journal, OvRetain.journal: the
// values that changed since the retain file beside it was written, appended
// a poll at a time.
//
// Format (all numbers little-endian):
//   header, 32 bytes:
//     offset 0   8 bytes  "OvJournl"
//     offset 8   4 bytes  format version, 1
//     offset 12  4 bytes  the retain file's header word (its layout hash)
//     offset 16  8 bytes  the retain file's length in bytes
//     offset 24  4 bytes  the retain file's CRC-32C (as its check record has it)
//     offset 28  4 bytes  CRC-32C of bytes 0 to 27
//   then groups, one per append, each:
//     offset 0   4 bytes  L: the length of the records that follow
//     offset 4   8 bytes  sequence: 1 for the first group, then one more each
//     offset 12  4 bytes  n: the number of records
//     offset 16  4 bytes  CRC-32C of bytes 0 to 15 and of the L record bytes
//     offset 20  L bytes  n records, one after another:
//                           4 bytes  node index
//                           2 bytes  value size S (1 or more)
//                           S bytes  the value, as its retain-file slot holds it
// A group is whole when its L bytes are there, its checksum matches, its
// sequence is the one expected and its records fill L exactly. Replay takes
// the groups in order and stops at the first that is not whole: a group cut
// short by a crash during its append costs that group and nothing before it.
// A group that is there in full but not whole is damage, and the replay
// says so (the service then keeps that journal aside, see journal.h).
// A later record of a node replaces an earlier one.
//
// Pure functions over byte buffers: no state, no I/O, callable from any
// thread. Failures are results (false), never reports.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

// The journal's name, kJournalFileName, beside the retain file it extends.
#include "retain/file_names.h"

constexpr size_t kJournalHeaderSize = 32;
constexpr size_t kJournalGroupHeaderSize = 20;
constexpr size_t kJournalRecordHeaderSize = 6;

// The retain file a journal extends.
struct JournalIdentity {
    uint32_t LayoutHash = 0;
    uint64_t FileLength = 0;
    uint32_t FileCrc = 0;
};

inline bool operator==(const JournalIdentity& a, const JournalIdentity& b) {
    return a.LayoutHash == b.LayoutHash && a.FileLength == b.FileLength && a.FileCrc == b.FileCrc;
}

// The most bytes a journal of the retain file of `fileLength` bytes is read
// with: one is folded in once it outgrows its file, so one far beyond that
// was not written by this service and is not read.
constexpr uint64_t JournalReadLimit(uint64_t fileLength) {
    return fileLength * 4 + (uint64_t{64} << 20);
}

// Appends the 32-byte header naming `file` to out.
void EncodeJournalHeader(std::vector<uint8_t>* out, const JournalIdentity& file);
// Reads the header at the start of data; false when it is short or damaged.
bool DecodeJournalHeader(const uint8_t* data, size_t size, JournalIdentity* file);

// Building one group at the end of out: Begin, one Append per changed node,
// Finish. Begin returns where the group starts, which Finish takes.
size_t BeginJournalGroup(std::vector<uint8_t>* out, uint64_t sequence);
void AppendJournalRecord(std::vector<uint8_t>* out, uint32_t index, const void* value, uint16_t size);
// Appends a record of `size` zero bytes and returns where its value starts
// in out, for a caller that reads the value straight into the group.
size_t ReserveJournalRecord(std::vector<uint8_t>* out, uint32_t index, uint16_t size);
void FinishJournalGroup(std::vector<uint8_t>* out, size_t groupStart);

// What a replay found.
struct JournalReplay {
    uint64_t Groups = 0;   // whole groups applied
    uint64_t Records = 0;  // records in them
    uint64_t LastSequence = 0;
    size_t WholeBytes = 0;  // header and whole groups: where the next append goes
    bool Tail = false;      // bytes after the last whole group were left unread
    // Of those, a group whose bytes are all there failed its checks (its
    // checksum, sequence or records): damage, not a group a crash cut short.
    bool Damaged = false;
};

// Called once per record of a whole group, in order.
using JournalRecordFn = void (*)(void* context, uint32_t index, const uint8_t* value, uint16_t size);

// Replays the groups of a journal whose header has been checked: data and
// size cover the whole file, header included. Every record of a group is
// handed to fn only after the whole group has been checked.
JournalReplay ReplayJournalGroups(const uint8_t* data, size_t size, JournalRecordFn fn, void* context);
