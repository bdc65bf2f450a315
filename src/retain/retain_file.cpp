// Saving the values of all nodes into the retain file and loading them back.
#include "retain/retain_file.h"

#include <errno.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "nodespace/ovhgapi.h"
#include "report/report.h"
#include "retain/adoption.h"
#include "retain/check_record.h"
#include "retain/defaults_record.h"
#include "retain/journal.h"
#include "retain/journal_keep.h"
#include "retain/layout_hash.h"
#include "retain/layout_record.h"
#include "retain/load_guard.h"
#include "retain/load_proof.h"
#include "retain/node_slot.h"
#include "retain/retain_dir.h"
#include "retain/retain_dir_claim.h"
#include "retain/retain_paths.h"
#include "retain/set_aside.h"
#include "retain/slot_walk.h"
#include "stdlib/pfile.h"
#include "stdlib/pmem.h"
#include "stdlib/ptime.h"
#include "variables/variables.h"

namespace {

std::mutex RetainFileLock;

// The layout (hash, record id) of the last save of this run: a save under
// another one sweeps the records no file needs. Under RetainFileLock.
std::pair<uint32_t, uint32_t> LastSavedLayout{0, 0};

// The last successful save of this run (see LastSuccessfulSave), written
// with RetainFileLock held and read under a lock of its own, so that the
// Trig thread's poll never waits for a save in progress.
std::mutex LastSaveLock;
bool LastSaveDone = false;
uint64_t LastSaveMark = 0;
uint64_t LastSaveEndMs = 0;

// One "ERR" line naming the failed step and the system error in errno.
void ReportFailure(const char* step) {
    int error = errno;
    report(&LogChannel, "ERR", "Retain file %s failed: %s", step, std::strerror(error));
}

// True, after one "ERR" line, when node-space accesses failed a check since
// `before` (NodeAccessFailures): what the walk read or wrote is not to be
// trusted.
bool NodeSpaceFailed(uint32_t before, const char* what) {
    uint32_t failed = NodeAccessFailures() - before;
    if (failed == 0) return false;
    report(&LogChannel, "ERR", "Retain file %s failed: the node space failed %u checks (damaged or locked).", what,
           failed);
    return true;
}

// Ends a save that failed after the temporary file was created.
uint8_t Abandon(PDir* dir, PFile* file, const char* tempName) {
    if (file) PFileClose(file);
    PDirRemove(dir, tempName);
    PDirClose(dir);
    return 0;
}

// False, after one "ERR" line, when the walk failed.
bool WalkSucceeded(const SlotWalk& w) {
    if (!w.Failed) return true;
    if (w.Failed == kSizeChanged) {
        report(&LogChannel, "ERR",
               "Retain file save failed: the value entry of node %u changed its size during the save.",
               static_cast<unsigned>(w.FailedNode));
    } else {
        errno = w.Error;
        ReportFailure(w.Failed);
    }
    return false;
}

// A backup of another layout (a layout changed, and the start-up check let
// the old file become the backup) may hold the only copy of values the
// retain file does not: it is kept aside before the retain file replaces
// it, and stays where it is when it could not be.
bool BackupMayBeReplaced(PDir* dir, const std::string& backupName, const std::string& retainName) {
    uint32_t retainId = 0;
    return !BackupOfAnotherLayout(&retainId) || SetAsideBackupFile(dir, backupName, retainName, retainId);
}

// mayHalve: the walk may be shared with the second thread (not when a
// halved walk just found the table unlike the remembered record).
uint8_t SaveWalk(bool mayHalve = true) {
    const uint32_t failuresBefore = NodeAccessFailures();
    const int32_t count = NodeCount();
    const NodeRecord* table = NodeTable();
    const bool useBackup = GetUseBackup() != 0;
    const char* retainPath = GetRetainFilePath();
    if (retainPath[0] == '\0') {
        if (RetainPathsUnusable())
            report(&LogChannel, "ERR", "Retain file save failed: OutPath names no usable directory.");
        return 0;  // or the start-up check has not built the paths yet
    }
    if (!SaveGuardsPass()) return 0;
    // Value entries that disagree with the node space (any member of the
    // group may write them) are refused before anything is written, and the
    // walk never writes more than the checked entries hold: the file stays
    // within what the real nodes hold.
    uint64_t valueBytes = 0;
    uint32_t badNode = 0;
    if (table && NodeCheckValues(count, &valueBytes, &badNode) != 0) {
        report(&LogChannel, "ERR",
               "Retain file save failed: the value entry of node %u disagrees with the node space (overlapping, out "
               "of order, out of range or of the wrong size).",
               badNode);
        return 0;
    }

    std::string name;
    PDir* dir = OpenRetainDirectory(retainPath, true, &name);
    if (!dir) return 0;
    pid_t holder = 0;
    if (!ClaimRetainDirectory(dir, &holder)) {
        if (errno == EWOULDBLOCK)
            report(&LogChannel, "ERR", "Retain file save failed: the retain directory is used by process %d.",
                   static_cast<int>(holder));
        else
            ReportFailure("directory claim");
        PDirClose(dir);
        return 0;
    }
    const std::string tempName = name + ".tmp";
    const char* temp = tempName.c_str();
    PFile* file = PDirCreate(dir, temp);
    if (!file) {
        ReportFailure("open");
        PDirClose(dir);
        return 0;
    }
    const uint32_t hash = ComputeLayoutHash();
    const uint8_t header[4] = {static_cast<uint8_t>(hash), static_cast<uint8_t>(hash >> 8),
                               static_cast<uint8_t>(hash >> 16), static_cast<uint8_t>(hash >> 24)};
    // The check record's length and checksum, and the shape of the layout,
    // are taken on the way.
    CheckEntry fresh;
    fresh.Hash = hash;
    SlotWalk first;
    first.Table = table;
    first.End = table ? count : 0;
    first.Limit = valueBytes;
    first.FailuresBefore = failuresBefore;
    CrcStreamFlush(&first.Crc);
    CrcStreamAdd(&first.Crc, header, sizeof header);
    if (!PFileWrite(file, header, sizeof header)) {
        ReportFailure("header write");
        return Abandon(dir, file, temp);
    }
    if (!PFileSeek(file, sizeof header)) {
        // The header leaves the buffer at the seek, so a full device shows
        // here: the system error goes with the line.
        int error = errno;
        report(&LogChannel, "ERR", "Hashfile seek point set err.");
        if (error != 0) report(&LogChannel, "ERR", "Retain file seek failed: %s", std::strerror(error));
        return Abandon(dir, file, temp);
    }
    // The slots go to the file through the checksum's stream, 64 KiB at a
    // time; the header is in the checksum already and on its way.
    CrcStreamFlush(&first.Crc);
    first.Crc.File = file;
    // A large table the remembered record describes: the second thread
    // writes the second half at the offset the record gives, while this one
    // writes the first; the checksums of the two are combined.
    KnownLayout known;
    const bool halves = mayHalve && table && count >= kHalvesFrom && KnownLayoutRecord(dir, &known) &&
                        known.Hash == hash && known.Count == count && known.HalfOffset >= sizeof header &&
                        known.HalfOffset - sizeof header <= valueBytes && HalfWalkerReady();
    SlotWalk second;
    if (halves) {
        first.End = count / 2;
        second.Table = table;
        second.Begin = count / 2;
        second.End = count;
        second.Limit = valueBytes - (known.HalfOffset - sizeof header);
        second.FailuresBefore = failuresBefore;
        CrcStreamFlush(&second.Crc);
        second.Crc.File = file;
        second.Crc.Positioned = true;
        second.Crc.Offset = known.HalfOffset;
        WalkSlotsInHalves(&first, &second);
    } else {
        WalkSlots(&first);
    }
    if (!WalkSucceeded(first) || (halves && !WalkSucceeded(second))) return Abandon(dir, file, temp);
    uint32_t shape = first.Shape + second.Shape;
    fresh.Crc = first.Crc.Crc;
    fresh.Length = first.Crc.Length;
    if (halves) {
        if (NodeSpaceFailed(failuresBefore, "save")) return Abandon(dir, file, temp);
        // The first half did not end where the record says the second
        // begins, or a type or size is not the record's: the table is not
        // the one remembered, and the file is written again in one walk.
        if (first.Crc.Length != known.HalfOffset || shape != known.Shape) {
            Abandon(dir, file, temp);
            return SaveWalk(false);
        }
        fresh.Crc = Crc32cCombine(first.Crc.Crc, second.Crc.Crc, second.Crc.Length);
        fresh.Length = first.Crc.Length + second.Crc.Length;
    }
    if (NodeSpaceFailed(failuresBefore, "save")) return Abandon(dir, file, temp);
    if (!PFileFlush(file)) {
        ReportFailure("flush");
        return Abandon(dir, file, temp);
    }
    // The record that names the new file's slots, and the check record that
    // vouches for it, are in place before the file. The check record is
    // written before the file's sync, which then takes it along.
    const std::string backupName = RetainFileName(GetBackupFilePath());
    PFile* check = nullptr;
    if (!EnsureLayoutRecord(dir, hash, table, count, shape, &fresh.LayoutId) ||
        !StageCheckRecord(dir, name.c_str(), backupName.c_str(), fresh, &check))
        return Abandon(dir, file, temp);
    if (!PFileSync(file)) {
        ReportFailure("sync");
        AbandonCheckRecord(dir, check);
        return Abandon(dir, file, temp);
    }
    if (!PFileClose(file)) {
        ReportFailure("close");
        AbandonCheckRecord(dir, check);
        return Abandon(dir, nullptr, temp);
    }
    // Values that nobody loaded are kept before they are replaced.
    if (!KeepUnadoptedRetainFile(dir, name, tempName, fresh.LayoutId)) {
        AbandonCheckRecord(dir, check);
        return Abandon(dir, nullptr, temp);
    }
    if (!CommitCheckRecord(dir, check)) return Abandon(dir, nullptr, temp);
    const bool backupRefreshed = useBackup && BackupMayBeReplaced(dir, backupName, name) &&
                                 KeepPreviousAsBackup(dir, name.c_str(), backupName.c_str());
    if (!PDirRename(dir, temp, name.c_str())) {
        ReportFailure("rename");
        return Abandon(dir, nullptr, temp);
    }
    NoteRetainFileReplaced(dir, name.c_str(), backupName.c_str(), fresh, backupRefreshed);
    if (!PDirSync(dir)) {
        // The new file is in place but not known to be durable.
        ReportFailure("directory sync");
        PDirClose(dir);
        return 0;
    }
    MarkRetainFileAdopted(dir, name);
    // A save under a record other than the last one's leaves records that
    // no file may need any more: swept now, not only at the next start.
    if (fresh.Hash != LastSavedLayout.first || fresh.LayoutId != LastSavedLayout.second) {
        RemoveUnusedLayoutRecords(dir, fresh.Hash, fresh.LayoutId);
        LastSavedLayout = {fresh.Hash, fresh.LayoutId};
    }
    if (SavingFromDefaults())
        NoteSavedFromDefaults(dir, JournalIdentity{fresh.Hash, fresh.Length, fresh.Crc},
                              ValuesWrittenThisRun() ? DEFAULTS_WITH_WRITES : DEFAULTS_ONLY);
    JournalSaveEnded(dir, true, JournalIdentity{fresh.Hash, fresh.Length, fresh.Crc}, name,
                     LayoutRecordName(fresh.Hash, fresh.LayoutId));
    PDirClose(dir);
    return 1;
}

// A save, with the journal told which nodes it holds and what became of it.
uint8_t SaveLocked() {
    JournalSaveBegins();
    const uint8_t ok = SaveWalk();
    if (!ok) JournalSaveEnded(nullptr, false, JournalIdentity{});
    return ok;
}

// What follows the walk of a load: closes dir.
uint8_t FinishLoad(PDir* dir, const std::string& name, const CheckEntry& entry, bool fromBackup, bool inOrder,
                   uint32_t failuresBefore) {
    const uint8_t result = NodeSpaceFailed(failuresBefore, "load") ? 0 : 1;
    // The node space holds the file's values now: it is theirs to save over.
    // A backup loaded in place of a damaged file: that file is kept aside
    // now, and then the values loaded are protected as after any load.
    if (result) NoteValuesLoaded();
    if (result && !fromBackup) MarkRetainFileAdopted(dir, name);
    if (result && fromBackup) AdoptInPlaceOfDamagedFile(dir, name);
    // Then the values changed since that file was written, when the node
    // table is still the one the file was. A journal of the damaged file
    // names another file than the backup: it is kept aside, not applied.
    if (result && inOrder) JournalApply(dir, JournalIdentity{entry.Hash, entry.Length, entry.Crc});
    PDirClose(dir);
    return result;
}

// Folds the whole groups of the journal that extends the file `entry` into
// its bytes, through the file's record; true when there was one (the
// journal module then says so and keeps a damaged one, as after a replay).
bool FoldJournalForLoad(PDir* dir, const CheckEntry& entry, const LayoutRecord& record, std::vector<uint8_t>* bytes) {
    std::vector<uint8_t> journal;
    if (!ReadJournalOf(dir, kJournalFileName, JournalIdentity{entry.Hash, entry.Length, entry.Crc}, &journal))
        return false;
    uint64_t skipped = 0;
    JournalFolded(dir, journal, FoldJournal(journal, record, bytes, &skipped));
    return true;
}

// A load with no file to read: the read says nothing of its own.
void ReportNoRetainFile(const std::string& name) {
    report(&LogChannel, "ERR", "Retain file load failed: there is no retain file %s.", name.c_str());
}

uint8_t LoadLocked() {
    const uint32_t failuresBefore = NodeAccessFailures();
    const int32_t count = NodeCount();
    const NodeRecord* table = NodeTable();
    const char* retainPath = GetRetainFilePath();
    if (retainPath[0] == '\0') return 0;
    std::string name;
    PDir* dir = OpenRetainDirectory(retainPath, false, &name);
    if (!dir) {
        if (errno == ENOENT || errno == ENOTDIR) ReportNoRetainFile(name);
        return 0;
    }
    // Another process's directory holds its node space's values, not ours.
    // (One that cannot be claimed at all, read-only, is still read.)
    pid_t holder = 0;
    if (!ClaimRetainDirectory(dir, &holder) && errno == EWOULDBLOCK) {
        report(&LogChannel, "ERR", "Retain file load failed: the retain directory is used by process %d.",
               static_cast<int>(holder));
        PDirClose(dir);
        return 0;
    }
    const std::string backupName = RetainFileName(GetBackupFilePath());
    // The whole file, verified before any node is written; the header is
    // not judged: the start-up check does that.
    std::vector<uint8_t> bytes;
    CheckEntry entry;
    bool fromBackup = false;
    if (!ReadRetainFileForLoad(dir, name, backupName, GetUseBackup() != 0, &bytes, &entry, &fromBackup)) {
        // The read says why, except for a file that is not there.
        if (errno == ENOENT) ReportNoRetainFile(name);
        PDirClose(dir);
        return 0;
    }
    // A file written with the record this run built from the node table,
    // for a table that still has that record's nodes, names, types and
    // sizes and the file's exact length: every slot is its node's, in
    // order, without the record. The first load after the record is
    // remembered proves it on a walk before any node is written; a later
    // one checks each chunk of nodes just before it writes them.
    std::vector<uint16_t> sizes;
    const LayoutProof proof = ProveFileLayout(dir, entry, table, count, bytes.size(), &sizes);
    // A chunk that no longer folds as proved sends the whole load by the
    // record: it writes again, by name, what the chunks before it wrote.
    if (proof != NOT_FILE_LAYOUT && LoadInOrder(proof, table, count, &sizes, bytes, failuresBefore))
        return FinishLoad(dir, name, entry, fromBackup, true, failuresBefore);
    // The file's own layout record, when it has one, keeps each slot from
    // a node whose type or size it was not written with.
    LoadGuard guard;
    std::string refused;
    bool guarded = OpenLoadGuard(dir, entry, bytes.size(), table, count, &guard, &refused);
    // The file's own record damaged since, while this node table is the one
    // the file was written from: as at start-up, the record the table builds
    // has the id its check entry names or, with none, the damaged record's
    // name; written anew it describes the file again.
    if (!guarded && entry.Hash == ComputeLayoutHash() &&
        (entry.LayoutId != 0 ? RewriteLayoutRecordOfTable(dir, entry.Hash, entry.LayoutId, table, count)
                             : RewriteUnreadableLayoutRecordOfTable(dir, entry.Hash, table, count)))
        guarded = OpenLoadGuard(dir, entry, bytes.size(), table, count, &guard, &refused);
    if (!guarded) {
        report(&LogChannel, "ERR", "Retain file not loaded: %s.", refused.c_str());
        PDirClose(dir);
        return 0;
    }
    // When the walk goes by name the journal cannot follow the nodes by
    // index: its whole groups are folded into the file's slots first,
    // through the same record.
    const bool folded = guard.HasRecord && !fromBackup && FoldJournalForLoad(dir, entry, guard.Record, &bytes);
    for (int32_t i = 0; table && i < count; ++i) {
        const NodeRecord& node = WalkTo(table, i, count);
        uint16_t size = NodeSlotSize(node);
        const uint8_t* slot = GuardedSlot(&guard, i, node, size, bytes.data(), bytes.size());
        if (size == 0) continue;
        if (!slot) {
            // The end of the file (or of the slots in order): every later
            // node is left as it is unless the guard finds it by name.
            if (!guard.ByName) break;
            continue;
        }
        LoadNodeSlot(node, slot, size);
        if ((i & (kFailureCheckNodes - 1)) == 0 && NodeAccessFailures() != failuresBefore) break;  // as a save
    }
    const bool inOrder = !guard.ByName && !folded;
    CloseLoadGuard(&guard);
    return FinishLoad(dir, name, entry, fromBackup, inOrder, failuresBefore);
}

}  // namespace

// Gives the current retain file the backup's name too, replacing the backup
// in one rename; the retain file keeps its name throughout. Where the file
// system has no hard links the backup is a durable copy instead. A backup
// that could not be refreshed leaves the older one in place and gives one
// "WRN" line; the save goes on.
bool KeepPreviousAsBackup(PDir* dir, const char* retainName, const char* backupName) {
    struct stat st;
    if (backupName[0] == '\0' || !PDirStat(dir, retainName, &st)) return false;
    const std::string linkName = std::string(backupName) + ".tmp";
    PDirRemove(dir, linkName.c_str());
    const char* step = "link";
    bool done = false;
    if (PDirLink(dir, retainName, linkName.c_str())) {
        done = PDirRename(dir, linkName.c_str(), backupName);
        if (!done) step = "rename";
        int error = errno;
        if (!done) PDirRemove(dir, linkName.c_str());
        errno = error;
    } else {
        done = PDirCopyFile(dir, retainName, backupName, &step);
    }
    if (!done) {
        int error = errno;
        report(&LogChannel, "WRN", "Retain backup could not be refreshed (%s): %s", step, std::strerror(error));
    }
    return done;
}

void LockRetainFile() {
    RetainFileLock.lock();
}
void UnlockRetainFile() {
    RetainFileLock.unlock();
}

uint8_t SaveRetainFile() {
    std::lock_guard<std::mutex> guard(RetainFileLock);
    // Taken before the walk: a change made while the save runs may be missed
    // by this file, so it must count as a change after the save.
    const uint64_t mark = ChangeMark();
    const uint8_t ok = SaveLocked();
    if (ok) {
        std::lock_guard<std::mutex> hold(LastSaveLock);
        LastSaveDone = true;
        LastSaveMark = mark;
        LastSaveEndMs = PTimeMonotonicMs();
    }
    return ok;
}

void PrepareFirstSave() {
    std::lock_guard<std::mutex> guard(RetainFileLock);
    const char* retainPath = GetRetainFilePath();
    if (retainPath[0] == '\0') return;
    std::string name;
    PDir* dir = OpenRetainDirectory(retainPath, false, &name);
    if (!dir) return;
    RecallLayoutRecord(dir, ComputeLayoutHash(), NodeTable(), NodeCount());
    RecallCheckRecord(dir, name.c_str(), RetainFileName(GetBackupFilePath()).c_str());
    PDirClose(dir);
}

bool LastSuccessfulSave(uint64_t* markAtStart, uint64_t* endMs) {
    std::lock_guard<std::mutex> hold(LastSaveLock);
    if (!LastSaveDone) return false;
    *markAtStart = LastSaveMark;
    *endMs = LastSaveEndMs;
    return true;
}

int SaveRetainFileStatus() {
    std::lock_guard<std::mutex> guard(RetainFileLock);
    if (GetRetainFilePath()[0] == '\0' && !RetainPathsUnusable()) return -1;
    return SaveLocked();
}

uint8_t LoadRetainFile() {
    std::lock_guard<std::mutex> guard(RetainFileLock);
    return LoadLocked();
}
