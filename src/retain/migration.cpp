// Migration of retained values by name over a layout change.
#include "retain/migration.h"

#include <errno.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "report/report.h"
#include "retain/check_record.h"
#include "retain/journal_keep.h"
#include "retain/layout_hash.h"
#include "retain/node_slot.h"
#include "retain/records_ahead.h"
#include "retain/retain_dir.h"
#include "retain/retain_file.h"
#include "retain/retain_paths.h"
#include "stdlib/pdir.h"
#include "stdlib/pfile.h"
#include "stdlib/pmem.h"
#include "variables/variables.h"

namespace {

constexpr uint16_t kTextType = 12;
constexpr uint16_t kRangeType = 13;
constexpr size_t kNameMax = sizeof(NodeRecord::Name) - 1;
// The header and every value the node space can hold (its 4 GiB of values).
constexpr uint64_t kRetainFileMax = 4 + (uint64_t{4} << 30);

// The new retain file and its layout record under construction, both from
// the one walk of the node table that the matching makes.
struct Migrated {
    std::vector<uint8_t> Bytes;  // zeros beyond Used until the walk ends
    size_t Used = 0;
    LayoutRecordBuilder Record;
    const LayoutRecordEntry* Previous = nullptr;  // the old entry of the node before, if any
};

void AppendSlot(void* context, const NodeRecord& node, uint16_t size, const uint8_t* value, uint16_t valueSize,
                const LayoutRecordEntry* entry) {
    Migrated* migrated = static_cast<Migrated*>(context);
    // Where the node before took the entry before this one, this entry's
    // name follows that node's name as it follows in the old record: its
    // rest is copied from there, and the node's name is not read.
    const bool after = entry && migrated->Previous && entry == migrated->Previous + 1;
    migrated->Previous = entry;
    if (!after || !AppendLayoutRecordRest(&migrated->Record, entry->Shared, entry->Name,
                                          entry->NameLength - entry->Shared, node.Type, size))
        AppendLayoutRecordEntry(&migrated->Record, node.Name, strnlen(node.Name, kNameMax), node.Type, size);
    if (size == 0) return;
    std::vector<uint8_t>& bytes = migrated->Bytes;
    if (bytes.size() - migrated->Used < size) bytes.resize(std::max(2 * bytes.size(), migrated->Used + size));
    uint8_t* slot = bytes.data() + migrated->Used;
    migrated->Used += size;
    if (!value) {
        ReadNodeSlot(node, slot, size);
        return;
    }
    std::memcpy(slot, value, valueSize < size ? valueSize : size);
    if (node.Type == kTextType && valueSize > size && !std::memchr(slot, 0, size)) slot[size - 1] = 0;
}

}  // namespace

bool MatchRetainedValues(const LayoutRecord& record, const uint8_t* file, size_t fileSize, const NodeRecord* table,
                         int32_t count, TakeRetainedValue take, void* context, MigrationCounts* counts,
                         std::string* why) {
    *counts = MigrationCounts();
    if (fileSize < 4) {
        *why = "the file is shorter than its 4-byte header";
        return false;
    }
    const size_t entries = record.Entries.size();
    const uint64_t recordEnd = entries ? record.Entries.back().Offset + record.Entries.back().Size : uint64_t{4};
    if (fileSize > recordEnd) {
        *why = "the file (" + std::to_string(fileSize) + " bytes) is longer than its layout record describes (" +
               std::to_string(recordEnd) + " bytes)";
        return false;
    }
    std::vector<uint8_t> taken(entries, 0);
    size_t cursor = 0;  // most nodes keep their order: try the next entry first
    for (int32_t i = 0; table && i < count; ++i) {
        // The name is read only for a node the record does not name in order.
        const NodeRecord& node = WalkTo(table, i, count);
        const uint16_t size = NodeSlotSize(node);
        if (size == 0) {
            take(context, node, 0, nullptr, 0, nullptr);
            continue;
        }
        int64_t found = -1;
        if (static_cast<size_t>(i) < record.NodeEntry.size()) {
            // Read with this table as its hint: the entry of each node that
            // the record names is known, the lookup holds the others.
            const uint32_t entry = record.NodeEntry[static_cast<size_t>(i)];
            found = entry != 0 ? static_cast<int64_t>(entry) - 1
                               : FindLayoutRecordEntry(record, node.Name, strnlen(node.Name, kNameMax));
        } else {
            const size_t length = strnlen(node.Name, kNameMax);
            // (In a record read with a hint, a node past the hint's table
            // names no entry of a node within it: only the lookup can tell.)
            if (record.NodeEntry.empty() && cursor < entries && record.Entries[cursor].NameLength == length &&
                std::memcmp(record.Entries[cursor].Name, node.Name, length) == 0) {
                found = static_cast<int64_t>(cursor);
            } else {
                found = FindLayoutRecordEntry(record, node.Name, length);
            }
        }
        const uint8_t* value = nullptr;
        uint16_t valueSize = 0;
        if (found >= 0) {
            cursor = static_cast<size_t>(found) + 1;
            const LayoutRecordEntry& e = record.Entries[static_cast<size_t>(found)];
            const bool held = e.Size != 0 && e.Offset + e.Size <= fileSize;
            const bool resizable = e.Type == kTextType || e.Type == kRangeType;
            if (held && e.Type == node.Type && (e.Size == size || resizable)) {
                value = file + e.Offset;
                valueSize = e.Size;
                taken[static_cast<size_t>(found)] = 1;
                ++(e.Size == size ? counts->Kept : counts->Resized);
            }
        }
        if (!value) ++counts->New;
        take(context, node, size, value, valueSize, found >= 0 ? &record.Entries[static_cast<size_t>(found)] : nullptr);
    }
    for (size_t j = 0; j < entries; ++j) {
        const LayoutRecordEntry& e = record.Entries[j];
        if (!taken[j] && e.Size != 0 && e.Offset + e.Size <= fileSize) ++counts->Dropped;
    }
    return true;
}

bool MigrateRetainFile(PDir* dir, const std::string& retainName, uint32_t currentHash, uint32_t fileHash,
                       uint32_t fileLayoutId, const std::vector<uint32_t>& currentKeys, bool settingsOnly,
                       LayoutRecord* found) {
    char recordPath[kRetainPathSize + 16];
    LayoutRecord own;
    LayoutRecord& record = found && !found->Bytes.empty() ? *found : own;
    std::string why;
    LayoutKeyHint hint;
    hint.Table = NodeTable();
    hint.Keys = currentKeys.data();
    hint.Count = hint.Table ? static_cast<int32_t>(std::min<size_t>(currentKeys.size(), NodeCount())) : 0;
    // The path, in the form OutPath gives it, only names the record in the log.
    if (!LayoutRecordPathFor(fileHash, fileLayoutId, recordPath, sizeof recordPath)) {
        why = "its layout record path does not fit";
    } else if (&record == found ? !VerifyLayoutRecord(&record, &why, &hint)
                                : !ReadLayoutRecordIn(dir, fileHash, fileLayoutId, &record, &why, &hint)) {
        why = "layout record " + std::string(recordPath) + " is " + why;
    }
    std::vector<uint8_t> old;
    if (why.empty() && !PDirReadWhole(dir, retainName.c_str(), &old, kRetainFileMax))
        why = std::string("the file cannot be read: ") + std::strerror(errno);

    // The values changed since the old file was written come with it.
    std::vector<uint8_t> journal;
    if (why.empty() && ReadJournalOf(dir, kJournalFileName, IdentityOfRetainBytes(old), &journal)) {
        uint64_t skipped = 0;
        const JournalReplay replay = FoldJournal(journal, record, &old, &skipped);
        report(&LogChannel, "DBG", "Journal %s folded into the migrated values: %llu groups, %llu values",
               kJournalFileName, static_cast<unsigned long long>(replay.Groups),
               static_cast<unsigned long long>(replay.Records));
    }
    const int32_t count = NodeCount();
    const NodeRecord* table = NodeTable();
    Migrated migrated;
    migrated.Bytes = {static_cast<uint8_t>(currentHash), static_cast<uint8_t>(currentHash >> 8),
                      static_cast<uint8_t>(currentHash >> 16), static_cast<uint8_t>(currentHash >> 24)};
    // The record lists at least the nodes the hash was folded from; should
    // the table be shorter than that, the record is made the save's way.
    const int32_t hashed = currentHash == 0 ? 0 : LayoutHashNodeCount();
    const bool recordOnTheWalk = table != nullptr && count >= hashed;
    BeginLayoutRecord(&migrated.Record, currentHash, static_cast<uint32_t>(hashed));
    migrated.Used = migrated.Bytes.size();
    if (why.empty()) {
        // Both buffers about as large as the old ones (a version-1 record
        // is about four times a version-2 one), their pages mapped at once.
        migrated.Bytes.reserve(old.size() + 4096);
        PMemPrefault(migrated.Bytes.data(), migrated.Bytes.capacity());
        migrated.Bytes.resize(migrated.Bytes.capacity());
        ReserveLayoutRecord(&migrated.Record,
                            (record.Version == 1 ? record.Bytes.size() / 3 : record.Bytes.size()) + 4096);
    }
    MigrationCounts counts;
    if (why.empty() &&
        !MatchRetainedValues(record, old.data(), old.size(), table, count, AppendSlot, &migrated, &counts, &why))
        why = "refused: " + why;
    if (!why.empty()) {
        report(&LogChannel, "WRN", "Retained file not migrated: %s.", why.c_str());
        return false;
    }
    // As in a save: the record first, then the file; with UseBackup the
    // mismatching file becomes the backup.
    migrated.Bytes.resize(migrated.Used);
    FinishLayoutRecord(&migrated.Record);
    CheckEntry fresh;
    fresh.Length = migrated.Bytes.size();
    fresh.Crc = Crc32c(0, migrated.Bytes.data(), migrated.Bytes.size());
    fresh.Hash = currentHash;
    if (recordOnTheWalk) {
        if (!WriteLayoutRecord(dir, currentHash, migrated.Record.Bytes)) return false;
        fresh.LayoutId = LayoutRecordId(migrated.Record.Bytes);
    } else {
        uint32_t shape = 0;
        for (int32_t i = 0; table && i < count; ++i)
            shape = LayoutShapeStep(shape, i, table[i].Type, NodeSlotSize(table[i]));
        if (!EnsureLayoutRecord(dir, currentHash, table, count, shape, &fresh.LayoutId)) return false;
    }
    const std::string backupName = RetainFileName(GetBackupFilePath());
    if (!PrepareCheckRecord(dir, retainName.c_str(), backupName.c_str(), fresh)) return false;
    const bool backupRefreshed =
        GetUseBackup() != 0 && KeepPreviousAsBackup(dir, retainName.c_str(), backupName.c_str());
    if (!WriteRetainSibling(dir, retainName.c_str(), migrated.Bytes, "Retain file")) {
        ForgetCheckState();
        return false;
    }
    NoteRetainFileReplaced(dir, retainName.c_str(), backupName.c_str(), fresh, backupRefreshed);
    report(&LogChannel, "WRN", "Retained file migrated by name%s: kept %llu, resized %llu, new %llu, dropped %llu.",
           settingsOnly ? ", as the layout only gained nodes of the service's own" : "",
           static_cast<unsigned long long>(counts.Kept), static_cast<unsigned long long>(counts.Resized),
           static_cast<unsigned long long>(counts.New), static_cast<unsigned long long>(counts.Dropped));
    return true;
}
