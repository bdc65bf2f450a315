// check_record.h - the check record beside the retain file: the length and
// checksum of every retain file that may stand as OvRetain.bin or
// OvRetain.$$$, and the layout record each was written with.
//
// The retain file carries no checksum of its own (its format is fixed), so a
// save writes OvRetain.check (OutPath prefix) before it renames the new file
// into place. The record lists, newest first, the file the save is about to
// put in place, the file in place now, and the file the backup holds (each
// once, and only those known to be whole). At every moment of a save,
// whatever a crash leaves, OvRetain.bin and OvRetain.$$$ are each one of the
// files listed: the record is written as OvRetain.check.tmp before the new
// retain file is synced (so the file system's commit of the one takes the
// other's data along), fsynced, and renamed over OvRetain.check before the
// backup is refreshed and before the retain file's rename; the save's one
// directory fsync after its rename makes both renames durable. This relies
// on the file system committing the renames of one directory in the order
// they were made (the journals of ext4, XFS and btrfs do): the record's
// rename is never lost while the retain file's later one is kept.
//
// Format (all numbers little-endian):
//   offset 0   8 bytes  "OvCheck1"
//   offset 8   4 bytes  format version, 1
//   offset 12  4 bytes  m: the number of entries, 1 to 3
//   offset 16  m entries of 20 bytes, newest first:
//                8 bytes  the file's length in bytes
//                4 bytes  CRC-32C (Castagnoli) of the whole file, header word
//                         included
//                4 bytes  the file's header word (its layout hash)
//                4 bytes  the id of its layout record (layout_record.h), 0
//                         when none is known
//   then       4 bytes  CRC-32C of every byte before it
// Nothing else follows. A record that does not check out as a whole is not
// used: no file verifies by it, and it is written anew from what the files
// prove (RepairCheckRecord) by the first start-up check, load or save that
// reads it.
//
// A file verifies when its length, checksum and header word are those of one
// entry. A file with no check record beside it (written by an older
// version) cannot be judged and is used as it is. What the record module
// knows of the files in place (which entry each is, and each file's inode,
// size and times) is kept between saves, guarded by the retain-file lock
// (retain_file.h) that every caller holds; a save that does not know, or
// finds a file changed, reads that file once to find out. Failures to
// write report one "ERR" line naming the step ("Check record rename failed:
// No space left on device"); reads report nothing and give the reason.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "retain/file_names.h"
#include "stdlib/pdir.h"
#include "stdlib/pfile.h"
#include "stdlib/pmem.h"

struct CheckEntry {
    uint64_t Length = 0;
    uint32_t Crc = 0;
    uint32_t Hash = 0;
    uint32_t LayoutId = 0;
};

enum CheckVerdict {
    CHECK_VERIFIED,   // the file is one the record lists: *entry says which
    CHECK_NO_RECORD,  // there is no check record: the file cannot be judged
    CHECK_FAILED,     // the file is none of those listed, or the record is damaged
};

// The length and CRC-32C of a file taken while it is written in small
// pieces (a save's slots): the pieces are gathered and the checksum taken
// over 64 KiB at a time, which costs far less than one call per slot. With
// File set, each gathered 64 KiB is also written to File as it is checked:
// one file write per 64 KiB instead of one per piece. The first write that
// fails leaves its errno in Error; from then on nothing more is written.
struct CrcStream {
    uint64_t Length = 0;
    uint32_t Crc = 0;
    size_t Used = 0;
    std::vector<uint8_t> Buffer;  // 64 KiB once the first flush has run
    PFile* File = nullptr;
    // Positioned: each gathered piece goes to File at Offset (PFileWriteAt),
    // which then moves on; else through PFileWrite.
    bool Positioned = false;
    uint64_t Offset = 0;
    int Error = 0;
};
// Takes the checksum of what is gathered, and writes it to File when set
// (done by CrcStreamAdd as needed; call it first, to make room, and once
// more at the end). False once a write has failed.
bool CrcStreamFlush(CrcStream* stream);
// False once a write of File has failed (this piece may be the one that
// made the stream write).
inline bool CrcStreamAdd(CrcStream* stream, const void* data, size_t size) {
    if (stream->Buffer.size() - stream->Used < size) {
        if (!CrcStreamFlush(stream)) return false;
        if (stream->Buffer.size() < size) stream->Buffer.resize(size);
    }
    PMemCopy(stream->Buffer.data() + stream->Used, data, size);
    stream->Used += size;
    stream->Length += size;
    return true;
}

// Reads the check record of dir; false with the reason. *missing tells a
// record that is not there from one that cannot be used.
bool ReadCheckRecord(PDir* dir, std::vector<CheckEntry>* entries, bool* missing, std::string* why);
// Judges a file (its length, checksum and header word) by the record of dir.
CheckVerdict VerifyRetainFile(PDir* dir, uint64_t length, uint32_t crc, uint32_t header, CheckEntry* entry,
                              std::string* why);
// Reads the whole regular file `name` of dir, the checksum taken on each
// chunk as it arrives: *crc of all bytes. False with errno on a failure
// (ENOENT when it is not there) and *step "open" or "read".
bool ReadRetainBytes(PDir* dir, const char* name, std::vector<uint8_t>* bytes, uint32_t* crc, const char** step);
// A load's read of the retain file `name`: the whole file, verified first.
// A file that fails is not used: one "ERR" line ("Retain file not loaded:
// <why>.") and false; with useBackup and a backup `backupName` that
// verifies, the backup's bytes instead, with one "WRN" line ("Retain file
// not loaded: <why>; the backup is loaded instead."). A file with no check
// record is used with one "DBG" line. A file that cannot be read, or is
// shorter than its 4-byte header, gives one "ERR" line and false; a missing
// file gives false and nothing (errno ENOENT). *entry is the file's entry
// (its length, checksum and header alone when it has no record);
// *fromBackup (when given) tells whether the backup's bytes were taken.
// A check record found damaged is repaired first (RepairCheckRecord) and
// the file judged by what it then holds.
bool ReadRetainFileForLoad(PDir* dir, const std::string& name, const std::string& backupName, bool useBackup,
                           std::vector<uint8_t>* bytes, CheckEntry* entry, bool* fromBackup = nullptr);
// The same without keeping the bytes: the length, checksum and header word
// (0 when shorter than 4 bytes).
bool ChecksumRetainFile(PDir* dir, const char* name, uint64_t* length, uint32_t* crc, uint32_t* header);
// Reads a whole file and judges it: the verdict, or CHECK_FAILED with errno
// set and *why "unreadable: ..." when it cannot be read. *entry as above.
CheckVerdict VerifyRetainFileNamed(PDir* dir, const char* name, CheckEntry* entry, std::string* why);

// A save, after the new file `fresh` is written (as retainName + ".tmp"),
// before it is synced: writes OvRetain.check.tmp listing fresh, the file in
// place now and the backup's file. False after one "ERR" line ("Check
// record <step> failed: ..."), with nothing left behind.
bool StageCheckRecord(PDir* dir, const char* retainName, const char* backupName, const CheckEntry& fresh,
                      PFile** staged);
// What StageCheckRecord learns of the files in place (reading them whole
// when they are not known yet), ahead of a save, so that the first save of
// a run does not pay for it. The caller holds the retain-file lock.
void RecallCheckRecord(PDir* dir, const char* retainName, const char* backupName);
// Then, once the retain file is synced: fsyncs the staged record and renames
// it into place. False after one "ERR" line, the temporary file removed.
bool CommitCheckRecord(PDir* dir, PFile* staged);
// Drops a staged record that will not be committed.
void AbandonCheckRecord(PDir* dir, PFile* staged);
// Both steps at once, with a directory fsync of its own: for a caller that
// writes the retain file by another way (the migration).
bool PrepareCheckRecord(PDir* dir, const char* retainName, const char* backupName, const CheckEntry& fresh);
// After StageCheckRecord, before the retain file in place becomes the
// backup: whether the backup in place may hold values that file does not.
// So it is when both are known whole and differ in header word or layout
// record (a layout changed, and the start-up check let the old file become
// the backup), or when the backup is known whole and the retain file is not.
// *retainId is the retain file's layout record id (0 when not known).
bool BackupOfAnotherLayout(uint32_t* retainId);
// After the rename that put `fresh` in place; backupRefreshed when the file
// it replaced became the backup.
void NoteRetainFileReplaced(PDir* dir, const char* retainName, const char* backupName, const CheckEntry& fresh,
                            bool backupRefreshed);
// A check record that is there but damaged is replaced by what the files
// prove: OvRetain.bin and the backup `backupName`, each listed when a
// layout record of its header word describes its length exactly
// (FindFileLayoutRecord, layout_record.h), with that record's id; when
// neither is, the damaged record is removed, and the files count as having
// none. One "WRN" line says so ("Check record OvRetain.check is damaged:
// ..."); a failure to write gives one "ERR" line. A record that is missing,
// unreadable or sound is left as it is. Called by the start-up check, a
// load and a save (when it reads the record) that find the record damaged.
// False when the damaged record is still in place (its replacement or
// removal failed, on a full disk say): it proves nothing, and the start-up
// check and a load then treat the files as having no record. The caller
// holds the retain-file lock.
bool RepairCheckRecord(PDir* dir, const char* retainName, const char* backupName);
// Whether a reason given above says that the check record itself is
// damaged (then RepairCheckRecord applies).
bool CheckRecordDamaged(const std::string& why);
// What the module knows of the files in place is no longer so (they were
// moved, removed or written by another way): the next save reads them.
void ForgetCheckState();

// The retain file (the one GetRetainFilePath names) as the service last
// read or wrote it whole: by a save, a load, the start-up check or a save's
// look at the files in place. Its length, checksum and header word, with
// its inode, size and times at that moment, taken only when they did not
// change while it was read. The status record carries it, so that a tool
// that finds the file still so need not read it to judge it. Known false
// until then. The caller holds the retain-file lock.
struct SeenRetainFile {
    bool Known = false;
    CheckEntry Entry;  // Length, Crc and Hash (the header word); LayoutId 0
    uint64_t Ino = 0, Size = 0, ModifiedNs = 0, ChangedNs = 0;
};
SeenRetainFile LastSeenRetainFile();
