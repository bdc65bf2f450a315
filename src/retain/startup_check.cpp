// The start-up check of the retain file.
#include "retain/startup_check.h"

#include <errno.h>
#include <sys/stat.h>

#include <cstring>
#include <string>
#include <vector>

#include "report/report.h"
#include "retain/adoption.h"
#include "retain/check_record.h"
#include "retain/defaults_record.h"
#include "retain/journal.h"
#include "retain/journal_keep.h"
#include "retain/layout_hash.h"
#include "retain/layout_record.h"
#include "retain/migration.h"
#include "retain/node_slot.h"
#include "retain/retain_dir.h"
#include "retain/retain_dir_claim.h"
#include "retain/retain_file.h"
#include "retain/retain_paths.h"
#include "retain/set_aside.h"
#include "stdlib/pfile.h"
#include "variables/variables.h"

namespace {

uint32_t StoredLayoutHash = 0;

uint32_t LoadLe32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
           static_cast<uint32_t>(p[3]) << 24;
}

}  // namespace

namespace {

// Reads the header word of the retain file `name` in dir into the stored
// hash. A file that is not there leaves the stored hash as it was; a file
// shorter than its header reads as 0. A file that is there but cannot be
// read sets *error (errno's value) and leaves the stored hash alone.
uint32_t ReadHeader(PDir* dir, const std::string& name, int* error) {
    *error = 0;
    PFile* file = PDirOpenRead(dir, name.c_str());
    if (!file) {
        if (errno != ENOENT) *error = errno;
        return StoredLayoutHash;
    }
    uint8_t header[4];
    if (PFileRead(file, header, sizeof header)) {
        StoredLayoutHash = LoadLe32(header);
    } else if (errno == 0) {
        StoredLayoutHash = 0;
    } else {
        *error = errno;
    }
    PFileClose(file);
    return StoredLayoutHash;
}

// Moves the retain file to the backup name, replacing the backup in one
// rename; with no retain file the backup stays.
void RotateIn(PDir* dir, const std::string& name) {
    struct stat st;
    if (!PDirStat(dir, name.c_str(), &st)) return;
    if (PDirRename(dir, name.c_str(), RetainFileName(GetBackupFilePath()).c_str())) PDirSync(dir);
}

void RemoveIn(PDir* dir, const std::string& name) {
    if (PDirRemove(dir, name.c_str())) PDirSync(dir);
}

// Opens the retain directory for one of the operations below; nullptr when
// there is none (or it was refused, which has been reported).
PDir* OpenForCheck(std::string* name) {
    if (GetRetainFilePath()[0] == '\0') return nullptr;
    return OpenRetainDirectory(GetRetainFilePath(), false, name);
}

// Set by CheckRetainFile for an OutPath outside the drive root.
bool OutPathRefused = false;

// Says once where the retain file is, and what became of an OutPath that
// could not be used as it stands.
void ReportPaths() {
    bool climbed = false;
    const std::string resolved = PFileMapPath(GetRetainFilePath(), &climbed);
    report(&LogChannel, "DBG", "Retain file %s", resolved.c_str());
    std::string dir, name;
    PDirSplitPath(GetRetainFilePath(), &dir, &name);
    if (climbed) report(&LogChannel, "WRN", "OutPath climbs out of its drive root with \"..\"; using %s", dir.c_str());
    if (OutPathNodeLength() >= kOutPathRead)
        report(&LogChannel, "WRN", "OutPath is longer than the %u characters read; using %s",
               static_cast<unsigned>(kOutPathRead - 1), dir.c_str());
}

// True when the node table and the layout of the retain file that `record`
// describes differ in nothing but the service's own nodes
// (SERVICE.OvRetain.*, the settings a user turns on by creating them): with
// those left out of both, the same nodes in the same order, with the same
// type codes and Sizes.
bool OnlyServiceNodesDiffer(const LayoutRecord& record) {
    const std::string own = std::string("SERVICE.") + ContainerName() + ".";
    const NodeRecord* table = NodeTable();
    const int32_t count = table ? NodeCount() : 0;
    const std::vector<LayoutRecordEntry>& entries = record.Entries;
    auto ownEntry = [&](const LayoutRecordEntry& e) {
        return e.Shared == 0 && e.NameLength >= own.size() && std::memcmp(e.Name, own.data(), own.size()) == 0;
    };
    size_t j = 0;
    for (int32_t i = 0; i < count; ++i) {
        const NodeRecord& node = table[i];
        if (std::strncmp(node.Name, own.c_str(), own.size()) == 0) continue;
        while (j < entries.size() && ownEntry(entries[j])) ++j;
        if (j == entries.size() || !LayoutEntryNamesNode(entries[j], node)) return false;
        if (entries[j].Type != node.Type || entries[j].Size != NodeSlotSize(node)) return false;
        ++j;
    }
    while (j < entries.size() && ownEntry(entries[j])) ++j;
    return j == entries.size();
}

}  // namespace

uint32_t ReadStoredLayoutHash() {
    int error = 0;
    return ReadStoredLayoutHash(&error);
}

uint32_t ReadStoredLayoutHash(int* error) {
    *error = 0;
    std::string name;
    PDir* dir = OpenForCheck(&name);
    if (!dir) {
        if (GetRetainFilePath()[0] != '\0' && errno != ENOENT && errno != ENOTDIR) *error = errno;
        return StoredLayoutHash;
    }
    uint32_t stored = ReadHeader(dir, name, error);
    PDirClose(dir);
    return stored;
}

void RotateBackupFile() {
    std::string name;
    PDir* dir = OpenForCheck(&name);
    if (!dir) return;
    RotateIn(dir, name);
    PDirClose(dir);
}

void RemoveRetainFile() {
    std::string name;
    PDir* dir = OpenForCheck(&name);
    if (!dir) return;
    RemoveIn(dir, name);
    PDirClose(dir);
}

bool RetainOutPathRefused() {
    return OutPathRefused;
}

bool CheckRetainFile() {
    LockRetainFile();
    if (!BuildRetainFilePaths()) {
        // Nothing is read or written in the working directory instead.
        report(&LogChannel, "ERR", "OutPath names no usable directory; the retain file is neither read nor saved.");
        UnlockRetainFile();
        return true;
    }
    {
        // Every save would be refused there: a configuration error, told
        // before the service counts as ready.
        std::string outDir, outName;
        PDirSplitPath(GetRetainFilePath(), &outDir, &outName);
        std::string root = PFileDriveRoot(), mapped = PFileMapPath(outDir.c_str());
        while (root.size() > 1 && root.back() == '/') root.pop_back();
        while (mapped.size() > 1 && mapped.back() == '/') mapped.pop_back();
        if (mapped != root && mapped.compare(0, root.size() + 1, root + "/") != 0) {
            report(&LogChannel, "ERR",
                   "Service not started: retain directory %s lies outside the drive root %s (OutPath must lie inside "
                   "OVRT_DRIVES).",
                   mapped.c_str(), root.c_str());
            OutPathRefused = true;
            UnlockRetainFile();
            return false;
        }
    }
    ReportPaths();
    uint32_t h = ComputeLayoutHash();
    // Only a migration uses them, and only here: freed when the check ends.
    const std::vector<uint32_t> keys = TakeLayoutNodeKeys();
    // One directory descriptor for the whole check. A directory that does
    // not exist holds no file; one that was refused has been reported, and
    // nothing in it is touched.
    std::string name;
    PDir* dir = OpenForCheck(&name);
    if (!dir && errno != ENOENT && errno != ENOTDIR) {
        UnlockRetainFile();
        return true;
    }
    if (!dir) NoteRetainDirectoryAbsent();
    // Before any file in it is touched: the directory is this service's.
    pid_t holder = 0;
    if (dir && !ClaimRetainDirectory(dir, &holder)) {
        const int claimError = errno;
        PDirClose(dir);
        UnlockRetainFile();
        if (claimError == EWOULDBLOCK) {
            report(&LogChannel, "ERR", "Service not started: retain directory of %s is used by process %d.",
                   GetRetainFilePath(), static_cast<int>(holder));
            return false;
        }
        // Not claimed (a read-only directory): the check only reads, and
        // each save tries again.
        report(&LogChannel, "WRN", "Retain directory not claimed: %s", std::strerror(claimError));
        LockRetainFile();
        dir = OpenForCheck(&name);
    }
    int error = 0;
    uint32_t s = dir ? ReadHeader(dir, name, &error) : StoredLayoutHash;
    struct stat st;
    const bool present = error == 0 && dir != nullptr && PDirStat(dir, name.c_str(), &st);
    // A file there is judged by its check record first.
    CheckEntry entry;
    std::string damage;
    CheckVerdict verdict = present ? VerifyRetainFileNamed(dir, name.c_str(), &entry, &damage) : CHECK_NO_RECORD;
    if (verdict == CHECK_FAILED && CheckRecordDamaged(damage)) {
        // A damaged check record would refuse good files: the files say
        // what it is to hold.
        const bool repaired = RepairCheckRecord(dir, name.c_str(), RetainFileName(GetBackupFilePath()).c_str());
        verdict = VerifyRetainFileNamed(dir, name.c_str(), &entry, &damage);
        // One that could not be replaced proves nothing: as no record.
        if (!repaired && verdict == CHECK_FAILED && CheckRecordDamaged(damage)) verdict = CHECK_NO_RECORD;
    }
    if (present && verdict == CHECK_FAILED && errno != 0) error = errno;
    if (verdict != CHECK_VERIFIED) entry.LayoutId = 0;
    // A file that no check record lists: its record is found by its hash
    // and length, and it is described by no record when records of its
    // hash are there and none fits.
    LayoutRecord record;
    std::string noRecord;
    FileRecordFind found = FILE_RECORD_NONE;
    if (present && error == 0 && verdict != CHECK_FAILED)
        found = FindFileLayoutRecord(dir, s, static_cast<uint64_t>(st.st_size), &entry.LayoutId, &record, &noRecord);
    // The file's own record damaged, while this node table is the one the
    // file was written from: the record the table builds has the id the
    // check record names, or, with no check record to name one, the id in
    // the damaged record's name; written anew it describes the file again.
    if (found != FILE_RECORD_FOUND && h == s &&
        ((verdict == CHECK_VERIFIED && entry.LayoutId != 0 &&
          RewriteLayoutRecordOfTable(dir, s, entry.LayoutId, NodeTable(), NodeCount())) ||
         (found == FILE_RECORD_UNFIT && verdict == CHECK_NO_RECORD &&
          RewriteUnreadableLayoutRecordOfTable(dir, s, NodeTable(), NodeCount()))))
        found = FindFileLayoutRecord(dir, s, static_cast<uint64_t>(st.st_size), &entry.LayoutId, &record, &noRecord);
    bool changed = false;
    // A layout that only gained the service's own settings costs no value:
    // the file is migrated by name whatever Migrate says.
    const bool settingsOnly = error == 0 && h != s && present && verdict != CHECK_FAILED &&
                              found == FILE_RECORD_FOUND && OnlyServiceNodesDiffer(record);
    if (error != 0) {
        // A file that is there but cannot be read is never removed or
        // rotated: it may hold the only copy of the values.
        ReportRetainFileError("read", error);
    } else if (settingsOnly) {
        changed = true;
    } else if (h != s) {
        report(&LogChannel, "WRN", "Retained file hash code does not match and will be deleted.");
        report(&LogChannel, "WRN", "current hash code = %x", h);
        report(&LogChannel, "WRN", "file hash code    = %x", s);
        changed = true;
    } else if (present && verdict == CHECK_FAILED) {
        // Its layout is this one, but it is not the file that was saved:
        // a load refuses it, and nothing here touches it.
        report(&LogChannel, "WRN", "Retained file does not verify: %s; it is left as it is.", damage.c_str());
    } else if (present) {
        // The hash covers names only: the file's own record says whether a
        // type code or Size changed under it.
        if (found == FILE_RECORD_UNFIT) {
            // A load refuses it; nothing here touches it.
            report(&LogChannel, "WRN", "Retained file has no layout record of its length: %s; it is left as it is.",
                   noRecord.c_str());
        } else if (found == FILE_RECORD_FOUND) {
            const int64_t at = FirstLayoutDifference(record, NodeTable(), NodeCount(), st.st_size,
                                                     entry.LayoutId != 0 ? dir : nullptr);
            if (at >= 0) {
                const LayoutRecordEntry& e = record.Entries[static_cast<size_t>(at)];
                const NodeRecord& node = NodeTable()[at];
                uint16_t size = 0;
                if (NodeGetAttribute(node.Name, "Size", &size, sizeof size) != 0) size = 0;
                report(&LogChannel, "WRN",
                       "Retained file layout differs under the same hash code: node %lld was type %u size %u, is "
                       "type %u size %u.",
                       static_cast<long long>(at), e.Type, e.Size, node.Type, size);
                changed = true;
            }
        }
    }
    // A file this node space holds the values of: so does a migration of it.
    const bool adopted = changed && present && RetainFileAdopted(dir, name);
    // The journal that extends the file goes where the file goes: kept
    // beside it when it holds a group (one that cannot be read stays).
    JournalIdentity identity;
    std::vector<uint8_t> groups;
    const bool journal =
        changed && present &&
        ChecksumRetainFile(dir, name.c_str(), &identity.FileLength, &identity.FileCrc, &identity.LayoutHash) &&
        JournalNamesFile(dir, kJournalFileName, identity) &&
        (ReadJournalOf(dir, kJournalFileName, identity, &groups) || errno == 0);
    groups = std::vector<uint8_t>();
    // A file written from defaults stays one when migrated: its copies are
    // pruned before copies of values nobody loaded.
    DefaultsKind defaultsKind = DEFAULTS_ONLY;
    const bool fromDefaults =
        changed && present && identity.FileLength != 0 && WrittenFromDefaults(dir, identity, &defaultsKind);
    // The file is kept aside first, with its journal; a file that could
    // not be kept stays where it is, and so does everything else.
    bool leftInPlace = false;
    // The lines above say what the check found; one line after them says
    // what was done about it.
    const bool mismatch = changed;
    // The backup is kept aside before the old file may replace it, and
    // when the retain file is gone: it may hold what that file lost. It
    // goes first, so that of two kept files of one layout the old retain
    // file, which holds the newer values, is the newer one that pruning
    // keeps. A backup that could not be kept stays, and the old file (kept
    // aside below) is removed instead of becoming the backup.
    const bool backupKept =
        changed && dir && GetUseBackup() != 0 &&
        SetAsideBackupFile(dir, RetainFileName(GetBackupFilePath()), present ? name : std::string(), entry.LayoutId);
    // Kept by the record found above, which nothing since has changed.
    if (changed && present &&
        !(found == FILE_RECORD_FOUND ? SetAsideRetainFileOfRecord(dir, name, s, entry.LayoutId)
                                     : SetAsideRetainFile(dir, name, s))) {
        report(&LogChannel, "ERR", "Retained file left as it is: it could not be kept aside first.");
        changed = false;
        leftInPlace = true;
    }
    if (changed) {
        // With Migrate its values then move into a file of this layout
        // instead of being left behind.
        bool migrated = false;
        if (present && (GetMigrate() == 1 || settingsOnly)) {
            if (verdict == CHECK_FAILED) {
                report(&LogChannel, "WRN", "Retained file not migrated: %s.", damage.c_str());
            } else {
                migrated = MigrateRetainFile(dir, name, h, s, entry.LayoutId, keys, settingsOnly,
                                             found == FILE_RECORD_FOUND ? &record : nullptr);
                JournalIdentity fresh;
                if (migrated && fromDefaults &&
                    ChecksumRetainFile(dir, name.c_str(), &fresh.FileLength, &fresh.FileCrc, &fresh.LayoutHash)) {
                    NoteSavedFromDefaults(dir, fresh, defaultsKind);
                    if (adopted) NoteAdoptedFileFromDefaults(defaultsKind == DEFAULTS_WITH_WRITES);
                }
                // After the note: the mark says whether the node space holds defaults.
                if (migrated && adopted) MarkRetainFileAdopted(dir, name);
            }
        }
        bool rotated = false;
        if (!migrated && backupKept) {
            RotateIn(dir, name);
            rotated = present;
        } else if (!migrated && dir) {
            RemoveIn(dir, name);
        }
        // Kept beside the file set aside, and folded into a migrated one.
        if (journal) RemoveIn(dir, kJournalFileName);
        ForgetCheckState();
        RemoveUnusedLayoutRecords(dir, h);
        if (!present)
            report(&LogChannel, "INF", "Retained file check: there was no retain file; nothing was deleted.");
        else if (migrated)
            report(&LogChannel, "INF",
                   "Retained file check: the old file was kept aside and migrated into this layout's file; nothing "
                   "was deleted.");
        else
            report(&LogChannel, "INF", "Retained file check: the old file was kept aside; %s",
                   rotated ? "the retain file became the backup." : "the retain file was removed.");
        if (present && !migrated && !adopted) NoteValuesKeptAsideUnloaded();
    } else if (mismatch) {
        report(&LogChannel, "INF", "Retained file check: nothing was deleted; the file is left as it is.");
    }
    // A node space that goes on with its own file written from defaults
    // (restarted without a load in between) still saves defaults.
    DefaultsKind ownKind = DEFAULTS_ONLY;
    if (!mismatch && present && verdict == CHECK_VERIFIED && RetainFileAdopted(dir, name) &&
        WrittenFromDefaults(dir, JournalIdentity{entry.Hash, entry.Length, entry.Crc}, &ownKind))
        NoteAdoptedFileFromDefaults(ownKind == DEFAULTS_WITH_WRITES);
    NoteRetainFileAtStartup(dir, name, !leftInPlace);
    PDirClose(dir);
    UnlockRetainFile();
    return true;
}

void ResetRetainStateForTest() {
    LockRetainFile();
    ForgetLayoutHash();
    ForgetCheckState();
    OutPathRefused = false;
    ResetJournalForTest();
    StoredLayoutHash = 0;
    ResetRetainPathsForTest();
    ResetAdoptionForTest();
    UnlockRetainFile();
}
