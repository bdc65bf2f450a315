// The change journal beside the retain file: appends, restarts after a full
// save, and the replay after a load.
#include "retain/journal.h"

#include <errno.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "nodespace/ovhgapi.h"
#include "report/report.h"
#include "retain/node_slot.h"
#include "stdlib/pmem.h"
#include "stdlib/ptime.h"
#include "variables/variables.h"

namespace {

const char* const kJournalName = kJournalFileName;
const char kJournalTemp[] = "OvRetain.journal.tmp";

// With the retain-file lock held.
PFile* Live = nullptr;          // the journal appended to, open at its end
JournalIdentity LiveFile;       // the retain file it extends
uint64_t LiveSequence = 0;      // of its last group
uint64_t LiveBytes = 0;         // its length
bool WantSave = false;          // a full save should start a new journal
uint64_t LastWantMs = 0;        // when JournalWantsSave last said yes
std::vector<uint32_t> Pending;  // written, in no durable journal or file yet
std::vector<uint32_t> InSave;   // taken by the save in progress
std::vector<uint8_t> Group;     // the group being built, kept for its capacity
std::vector<uint32_t> LeftOut;  // sorted: nodes whose writes are not appended
// Grows whenever a save or a load changes what the journal holds or waits
// for; read without the lock (JournalEpoch).
std::atomic<uint64_t> Epoch{0};
bool AppendFailed = false;  // the last append failed (reported once)
// What this run left behind for appends: the journal as its last write left
// it, and the retain file it extends (by name in its directory) as the save
// put it in place. Either changed by someone else makes appends worthless.
struct stat LiveStat;
PDir* BaseDir = nullptr;
std::string BaseName;
struct stat BaseStat;
// The layout record the retain file was written with: without it no load
// by name reads the file or its journal once the layout changes.
std::string RecordName;
struct stat RecordStat;
uint64_t Appends = 0;       // groups appended this run
uint64_t LastAppendNs = 0;  // wall clock of the last
uint64_t Compactions = 0;   // journals started by a full save this run

void CloseLive() {
    if (Live) PFileClose(Live);
    Live = nullptr;
    LiveBytes = 0;
    LiveSequence = 0;
    PDirClose(BaseDir);
    BaseDir = nullptr;
}

bool SameState(const struct stat& a, const struct stat& b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino && a.st_size == b.st_size &&
           a.st_mtim.tv_sec == b.st_mtim.tv_sec && a.st_mtim.tv_nsec == b.st_mtim.tv_nsec;
}

// Whether the open journal may be appended to: not when it was removed
// or replaced, written or cut by someone else, or the retain file it extends
// was (a file cut, flipped, deleted or put there by hand), or that file's
// layout record was (the full save writes it again). A load reads no
// append after such a change, so the nodes wait for a full save; that save
// keeps a retain file it did not write aside first (adoption.h).
enum class Unusable { No, Removed, Changed, BaseChanged, RecordChanged };
Unusable LiveUnusable() {
    struct stat st;
    if (PFileLinkCount(Live) == 0) return Unusable::Removed;
    if (!PFileStat(Live, &st) || !SameState(st, LiveStat)) return Unusable::Changed;
    if (!BaseDir || !PDirStat(BaseDir, BaseName.c_str(), &st) || !SameState(st, BaseStat)) return Unusable::BaseChanged;
    if (!PDirStat(BaseDir, RecordName.c_str(), &st) || !SameState(st, RecordStat)) return Unusable::RecordChanged;
    return Unusable::No;
}

void ReportStep(const char* what, const char* step) {
    int error = errno;
    report(&LogChannel, "ERR", "Journal %s failed (%s): %s", what, step, std::strerror(error ? error : EIO));
}

// Adds the nodes written since the last take to `into`.
void TakeWritten(std::vector<uint32_t>* into) {
    NodeTakeWritten(into);
}

// Empties a list of nodes; one that grew past a few pages (every node of a
// large node space written at once, as its creation marks them) gives its
// memory back rather than keeping 4 bytes a node for good.
void Release(std::vector<uint32_t>* v) {
    constexpr size_t kKept = 64 * 1024;
    v->clear();
    if (v->capacity() > kKept) std::vector<uint32_t>().swap(*v);
}

void SortUnique(std::vector<uint32_t>* v) {
    std::sort(v->begin(), v->end());
    v->erase(std::unique(v->begin(), v->end()), v->end());
}

// The table position of the node with index `index`, or -1.
int64_t PositionOf(const NodeRecord* table, int32_t count, uint32_t index) {
    if (!table || index == 0 || index > static_cast<uint32_t>(count)) return -1;
    const int64_t at = static_cast<int64_t>(index) - 1;
    return table[at].Index == index ? at : -1;
}

// Writes bytes, flushes and syncs them with `sync`; false with the failed
// step in *step.
bool WriteDurably(PFile* file, const std::vector<uint8_t>& bytes, bool (*sync)(PFile*), const char** step) {
    *step = "write";
    if (!PFileWrite(file, bytes.data(), bytes.size())) return false;
    *step = "flush";
    if (!PFileFlush(file)) return false;
    *step = "sync";
    return sync(file);
}

// A journal that names `file` and holds no group, put in place durably and
// left open for appends.
bool StartJournal(PDir* dir, const JournalIdentity& file) {
    std::vector<uint8_t> header;
    EncodeJournalHeader(&header, file);
    const char* step = "open";
    PFile* out = PDirCreate(dir, kJournalTemp);
    bool ok = out != nullptr && WriteDurably(out, header, PFileSync, &step);
    if (ok) {
        step = "rename";
        ok = PDirRename(dir, kJournalTemp, kJournalName);
    }
    if (ok) {
        step = "directory sync";
        ok = PDirSync(dir);
    }
    if (!ok) {
        ReportStep("restart", step);
        if (out) PFileClose(out);
        PDirRemove(dir, kJournalTemp);
        return false;
    }
    Live = out;
    LiveFile = file;
    LiveSequence = 0;
    LiveBytes = header.size();
    PFileStat(Live, &LiveStat);
    return true;
}

// A name OvRetain.journal.<n>.old that is not taken yet.
std::string FreeAsideName(PDir* dir) {
    for (unsigned n = 1;; ++n) {
        char name[64];
        std::snprintf(name, sizeof name, "%s.%u.old", kJournalName, n);
        struct stat st;
        if (!PDirStat(dir, name, &st)) return name;
    }
}

struct ApplyContext {
    const NodeRecord* Table;
    int32_t Count;
    uint64_t Skipped;
};

void ApplyRecord(void* context, uint32_t index, const uint8_t* value, uint16_t size) {
    auto* c = static_cast<ApplyContext*>(context);
    const int64_t at = PositionOf(c->Table, c->Count, index);
    // A node whose slot is not what the journal holds keeps its value.
    if (at < 0 || NodeSlotSize(c->Table[at]) != size) {
        c->Skipped += 1;
        return;
    }
    uint8_t* buffer = static_cast<uint8_t*>(PMemAlloc(size));
    if (!buffer) {
        c->Skipped += 1;
        return;
    }
    std::memcpy(buffer, value, size);
    WriteNodeSlot(c->Table[at], buffer, size);
    PMemFree(buffer);
}

// What follows the replay of the journal `bytes` after a load: the line
// that says what was applied, the keep of a damaged journal, and the end of
// appends to it.
void AfterReplay(PDir* dir, const std::vector<uint8_t>& bytes, const JournalReplay& replay) {
    report(&LogChannel, "DBG", "Journal applied: %llu groups, %llu values%s",
           static_cast<unsigned long long>(replay.Groups), static_cast<unsigned long long>(replay.Records),
           replay.Tail ? "; a damaged or cut-short tail was left out" : "");
    if (replay.Damaged) {
        // Whole groups may follow the damage: the journal is kept as it is
        // (the next full save puts a new one in its place).
        const std::string aside = FreeAsideName(dir);
        const char* step = "link";
        bool kept = PDirLink(dir, kJournalName, aside.c_str());
        if (!kept && errno != EEXIST) kept = PDirCopyFile(dir, kJournalName, aside.c_str(), &step);
        if (kept) kept = PDirSync(dir);
        report(&LogChannel, "WRN", "Journal %s is damaged after group %llu: %llu bytes after it not applied; %s %s",
               kJournalName, static_cast<unsigned long long>(replay.Groups),
               static_cast<unsigned long long>(bytes.size() - replay.WholeBytes),
               kept ? "kept as" : "could not be kept as", aside.c_str());
    }
    // The values loaded are every node's: they are folded into the next full
    // save rather than appended one by one.
    CloseLive();
}

}  // namespace

void JournalSaveBegins() {
    Epoch.fetch_add(1, std::memory_order_acq_rel);
    InSave.clear();
    if (GetJournal() == 0) {
        // No journal to carry them should the save fail: a journal starts
        // only with a full save, which holds every value. Listing them
        // would cost 4 bytes a node after a load (every node written).
        NodeForgetWritten();
        Release(&Pending);
        return;
    }
    TakeWritten(&InSave);
    InSave.insert(InSave.end(), Pending.begin(), Pending.end());
    Release(&Pending);
}

void JournalSaveEnded(PDir* dir, bool saved, const JournalIdentity& file, const std::string& name,
                      const std::string& recordName) {
    Epoch.fetch_add(1, std::memory_order_acq_rel);
    if (!saved) {
        // Still to be journaled, against the file the journal extends.
        Pending.insert(Pending.end(), InSave.begin(), InSave.end());
        Release(&InSave);
        return;
    }
    Release(&InSave);
    CloseLive();
    WantSave = false;
    AppendFailed = false;
    if (GetJournal() == 0) {
        // The new file holds every value the old journal did.
        if (PDirRemove(dir, kJournalName)) PDirSync(dir);
        return;
    }
    const bool started = StartJournal(dir, file);
    if (started) {
        Compactions += 1;
        BaseDir = PDirDup(dir);
        BaseName = name;
        RecordName = recordName;
        if (BaseDir &&
            (!PDirStat(BaseDir, name.c_str(), &BaseStat) || !PDirStat(BaseDir, recordName.c_str(), &RecordStat))) {
            PDirClose(BaseDir);
            BaseDir = nullptr;
        }
    }
    // A journal that could not be restarted names the old file: remove it,
    // the new file holds its values. The next append asks for a save again.
    if (!started && PDirRemove(dir, kJournalName)) PDirSync(dir);
}

void JournalLeaveOut(const uint32_t* indexes, size_t count) {
    LeftOut.clear();
    for (size_t i = 0; i < count; ++i)
        if (indexes[i] != 0) LeftOut.push_back(indexes[i]);
    SortUnique(&LeftOut);
}

bool JournalSettled() {
    return Pending.empty() && !WantSave && !AppendFailed && Live != nullptr;
}

uint64_t JournalEpoch() {
    return Epoch.load(std::memory_order_acquire);
}

bool JournalAppendChanges() {
    std::vector<uint32_t> nodes;
    nodes.swap(Pending);
    TakeWritten(&nodes);
    if (nodes.empty()) return true;
    SortUnique(&nodes);
    if (!LeftOut.empty()) {
        nodes.erase(
            std::remove_if(nodes.begin(), nodes.end(),
                           [](uint32_t index) { return std::binary_search(LeftOut.begin(), LeftOut.end(), index); }),
            nodes.end());
        if (nodes.empty()) return true;
    }
    // A journal removed or replaced while open (by hand) would take appends
    // that no load ever reads: they wait for a full save, which starts a
    // new journal.
    const Unusable unusable = Live ? LiveUnusable() : Unusable::No;
    if (unusable == Unusable::Removed) {
        report(&LogChannel, "WRN", "Journal %s was removed while in use: the next full save starts a new one.",
               kJournalName);
    } else if (unusable == Unusable::Changed) {
        report(&LogChannel, "WRN", "Journal %s was changed by another writer: the next full save starts a new one.",
               kJournalName);
    } else if (unusable == Unusable::BaseChanged) {
        report(&LogChannel, "WRN",
               "Retain file %s was changed or removed since this service wrote it: its journal is not appended to; "
               "the next full save writes it anew.",
               BaseName.c_str());
    } else if (unusable == Unusable::RecordChanged) {
        report(&LogChannel, "WRN",
               "Layout record %s of retain file %s was changed or removed: its journal is not appended to; the next "
               "full save writes both anew.",
               RecordName.c_str(), BaseName.c_str());
    }
    if (unusable != Unusable::No) CloseLive();
    if (!Live) {
        Pending.swap(nodes);
        WantSave = true;
        return true;
    }
    const int32_t count = NodeCount();
    const NodeRecord* table = NodeTable();
    Group.clear();
    const size_t start = BeginJournalGroup(&Group, LiveSequence + 1);
    for (uint32_t index : nodes) {
        const int64_t at = PositionOf(table, count, index);
        if (at < 0) continue;
        const uint16_t size = NodeSlotSize(table[at]);
        if (size == 0) continue;
        // Read straight into the group, zeros where the library fills nothing.
        const size_t valueAt = ReserveJournalRecord(&Group, index, size);
        ReadNodeSlot(table[at], &Group[valueAt], size);
    }
    FinishJournalGroup(&Group, start);
    const char* step = "write";
    const bool ok = WriteDurably(Live, Group, PFileDataSync, &step);
    if (!ok) {
        // What was written may end in half a group: nothing is appended
        // after it. A full save starts a new journal.
        if (!AppendFailed) ReportStep("append", step);
        AppendFailed = true;
        CloseLive();
        Pending.swap(nodes);
        WantSave = true;
        return false;
    }
    if (AppendFailed) report(&LogChannel, "WRN", "Journal appends work again.");
    AppendFailed = false;
    LiveSequence += 1;
    LiveBytes += Group.size();
    PFileStat(Live, &LiveStat);
    Appends += 1;
    LastAppendNs = PTimeWallNs();
    if (LiveBytes > LiveFile.FileLength) WantSave = true;
    return true;
}

bool JournalWantsSave(uint64_t nowMs, uint32_t periodMs) {
    if (!WantSave) return false;
    if (LastWantMs != 0 && nowMs - LastWantMs < periodMs) return false;
    LastWantMs = nowMs;
    return true;
}

uint64_t JournalApply(PDir* dir, const JournalIdentity& file) {
    Epoch.fetch_add(1, std::memory_order_acq_rel);
    std::vector<uint8_t> bytes;
    if (!PDirReadWhole(dir, kJournalName, &bytes, JournalReadLimit(file.FileLength))) {
        if (errno != ENOENT) ReportStep("read", "read");
        return 0;
    }
    JournalIdentity named;
    if (!DecodeJournalHeader(bytes.data(), bytes.size(), &named) || !(named == file)) {
        const std::string aside = FreeAsideName(dir);
        const bool kept = PDirRename(dir, kJournalName, aside.c_str()) && PDirSync(dir);
        report(&LogChannel, "WRN", "Journal %s does not extend the retain file loaded; %s %s", kJournalName,
               kept ? "kept as" : "not applied and could not be kept as", aside.c_str());
        return 0;
    }
    ApplyContext context{NodeTable(), NodeCount(), 0};
    const JournalReplay replay = ReplayJournalGroups(bytes.data(), bytes.size(), ApplyRecord, &context);
    AfterReplay(dir, bytes, replay);
    return replay.Groups;
}

void JournalFolded(PDir* dir, const std::vector<uint8_t>& journal, const JournalReplay& replay) {
    Epoch.fetch_add(1, std::memory_order_acq_rel);
    AfterReplay(dir, journal, replay);
}

JournalFigures GetJournalFigures() {
    JournalFigures f;
    f.Bytes = Live ? LiveBytes : 0;
    f.Appends = Appends;
    f.LastAppendNs = LastAppendNs;
    f.Compactions = Compactions;
    return f;
}

void ResetJournalForTest() {
    Epoch.fetch_add(1, std::memory_order_acq_rel);
    CloseLive();
    Appends = 0;
    LastAppendNs = 0;
    Compactions = 0;
    WantSave = false;
    LastWantMs = 0;
    Pending.clear();
    InSave.clear();
    LeftOut.clear();
    AppendFailed = false;
}
