// Keeping retain files aside under names of their own, pruning them, and
// removing unused layout records.
#include "retain/set_aside.h"

#include <errno.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "nodespace/ovhgapi.h"
#include "report/report.h"
#include "retain/check_record.h"
#include "retain/defaults_record.h"
#include "retain/journal_keep.h"
#include "retain/layout_record.h"
#include "retain/retain_dir.h"
#include "retain/retain_paths.h"
#include "stdlib/pdir.h"
#include "stdlib/pfile.h"
#include "variables/variables.h"

namespace {

constexpr uint32_t kKeptOldFiles = 8;
// KeepOld asks for more only up to this: the node is a group member's to
// write, the disk is root's.
constexpr uint32_t kKeptOldMax = 32;
// The byte budget of the set-aside files and their journals is figured
// from the retain file's length, but never from less than this.
constexpr uint64_t kBudgetFloor = uint64_t{1} << 20;
constexpr size_t kPathSize = kRetainPathSize + 48;
constexpr size_t kChunk = size_t{1} << 20;
// A retain file holds at most 4 GiB of values and its header.
constexpr uint64_t kSetAsideCompareLimit = 4 + (uint64_t{4} << 30);

void ReportStep(const char* step) {
    int error = errno;
    report(&LogChannel, "ERR", "Retain file set-aside %s failed: %s", step, std::strerror(error));
}

bool HeaderWord(PDir* dir, const std::string& name, uint32_t* hash) {
    PFile* file = PDirOpenRead(dir, name.c_str());
    if (!file) return false;
    uint8_t header[4];
    const bool ok = PFileRead(file, header, sizeof header);
    PFileClose(file);
    if (ok) *hash = header[0] | header[1] << 8 | header[2] << 16 | static_cast<uint32_t>(header[3]) << 24;
    return ok;
}

// Whether the regular files a and b of dir hold the same bytes.
bool SameContent(PDir* dir, const std::string& a, const std::string& b) {
    PFile* fa = PDirOpenRead(dir, a.c_str());
    PFile* fb = fa ? PDirOpenRead(dir, b.c_str()) : nullptr;
    bool same = fa && fb && PFileSize(fa) == PFileSize(fb) && PFileSize(fa) >= 0;
    if (same) {
        std::vector<uint8_t> ca(kChunk), cb(kChunk);
        for (int64_t left = PFileSize(fa); same && left > 0;) {
            const size_t n = static_cast<size_t>(std::min<int64_t>(left, kChunk));
            same =
                PFileRead(fa, ca.data(), n) && PFileRead(fb, cb.data(), n) && std::memcmp(ca.data(), cb.data(), n) == 0;
            left -= static_cast<int64_t>(n);
        }
    }
    if (fa) PFileClose(fa);
    if (fb) PFileClose(fb);
    return same;
}

struct Kept {
    SetAsideName Parsed;
    std::string Name;
};

// The set-aside files of dir, newest first.
std::vector<Kept> ListSetAside(PDir* dir) {
    std::vector<std::string> names;
    std::vector<Kept> kept;
    if (!PDirList(dir, &names)) return kept;
    for (const std::string& name : names) {
        Kept k;
        struct stat st;
        if (!ParseSetAsideName(name, &k.Parsed) || !PDirStat(dir, name.c_str(), &st) || !S_ISREG(st.st_mode)) continue;
        k.Name = name;
        kept.push_back(k);
    }
    std::sort(kept.begin(), kept.end(), [](const Kept& a, const Kept& b) {
        return a.Parsed.Seq != b.Parsed.Seq ? a.Parsed.Seq > b.Parsed.Seq : a.Name > b.Name;
    });
    return kept;
}

// SERVICE.OvRetain.KeepOld when it asks for more than the eight kept anyway,
// up to kKeptOldMax.
uint32_t KeptCount() {
    uint32_t value = 0;
    NodeReadByName(kKeepOldSetting.Node, &value, 4);
    return std::min(std::max(value, kKeptOldFiles), kKeptOldMax);
}

// The length of the regular file `name` of dir; 0 when there is none.
uint64_t FileLength(PDir* dir, const std::string& name) {
    struct stat st;
    return PDirStat(dir, name.c_str(), &st) && S_ISREG(st.st_mode) ? static_cast<uint64_t>(st.st_size) : 0;
}

// The retain-directory path of `name`, in the form OutPath gives it, for
// the log.
std::string ShownPath(const std::string& name) {
    char path[kPathSize];
    if (!RetainSiblingPath(name.c_str(), path, sizeof path)) std::snprintf(path, sizeof path, "%s", name.c_str());
    return path;
}

// Removes the file `name` of dir with one "WRN" line; true when removed.
bool Prune(PDir* dir, const std::string& name, uint32_t keep, bool journal) {
    if (!PDirRemove(dir, name.c_str())) return false;
    if (journal)
        report(&LogChannel, "WRN", "Journal %s removed: %u newer kept journals are kept.", ShownPath(name).c_str(),
               keep);
    else
        report(&LogChannel, "WRN", "Retained file %s removed: %u newer set-aside files are kept.",
               ShownPath(name).c_str(), keep);
    return true;
}

// The journals kept as OvRetain.journal.<n>.old (journals of a file that
// was not there to keep them with), newest (highest n) first.
std::vector<std::pair<uint32_t, std::string>> ListKeptJournals(PDir* dir) {
    std::vector<std::pair<uint32_t, std::string>> kept;
    std::vector<std::string> names;
    if (!PDirList(dir, &names)) return kept;
    const std::string prefix = std::string(kJournalFileName) + ".";
    for (const std::string& name : names) {
        if (name.size() <= prefix.size() + 4 || name.compare(0, prefix.size(), prefix) != 0 ||
            name.compare(name.size() - 4, 4, ".old") != 0)
            continue;
        uint64_t n = 0;
        size_t i = prefix.size();
        for (; i < name.size() - 4 && name[i] >= '0' && name[i] <= '9' && n <= UINT32_MAX; ++i)
            n = n * 10 + (name[i] - '0');
        if (i == name.size() - 4 && n != 0 && n <= UINT32_MAX) kept.push_back({static_cast<uint32_t>(n), name});
    }
    std::sort(kept.begin(), kept.end(), [](const auto& a, const auto& b) { return a.first > b.first; });
    return kept;
}

// Keeps the KeptCount() set-aside files that rank first and beyond them the
// newest of each layout, at most KeptCount() of those; a file goes with the
// journal kept beside it. Past the first eight, a file stays only while the
// files kept before it and their journals, with it, fit the byte budget:
// 2 * KeptCount() times the retain file's length (at least kBudgetFloor).
// Of the journals kept on their own, the newest KeptCount() are kept. One
// "WRN" line for each file removed.
void PruneSetAside(PDir* dir) {
    std::vector<Kept> kept = ListSetAside(dir);
    // Copies of values nobody loaded rank before copies written from
    // defaults with values written in their run, and those before copies
    // of defaults alone; each kind newest first.
    const std::map<uint32_t, DefaultsKind> defaults = KeptFromDefaults(dir);
    const auto rank = [&](const Kept& k) {
        const auto it = defaults.find(k.Parsed.Seq);
        return it == defaults.end() ? 0 : it->second == DEFAULTS_WITH_WRITES ? 1 : 2;
    };
    std::stable_sort(kept.begin(), kept.end(), [&](const Kept& a, const Kept& b) { return rank(a) < rank(b); });
    const uint32_t keep = KeptCount();
    const uint64_t budget =
        uint64_t{2} * keep * std::max(FileLength(dir, RetainFileName(GetRetainFilePath())), kBudgetFloor);
    // The newest file of each layout by number, whatever its rank: past the
    // first ones, each layout keeps its latest state.
    std::map<std::pair<uint32_t, uint32_t>, uint32_t> newest;
    for (const Kept& k : kept) {
        uint32_t& seq = newest[{k.Parsed.Hash, k.Parsed.Id}];
        seq = std::max(seq, k.Parsed.Seq);
    }
    uint32_t extraLayouts = 0;
    uint64_t bytes = 0;
    bool removed = false;
    for (size_t i = 0; i < kept.size(); ++i) {
        const bool newestOfLayout = newest[{kept[i].Parsed.Hash, kept[i].Parsed.Id}] == kept[i].Parsed.Seq;
        const std::string journal = KeptJournalName(kept[i].Name);
        const uint64_t size = FileLength(dir, kept[i].Name) + FileLength(dir, journal);
        const bool extra = i >= keep && newestOfLayout && extraLayouts < keep;
        if (i < kKeptOldFiles || ((i < keep || extra) && bytes + size <= budget)) {
            bytes += size;
            extraLayouts += extra;
            continue;
        }
        if (Prune(dir, kept[i].Name, keep, false)) {
            removed = true;
            struct stat st;
            if (PDirStat(dir, journal.c_str(), &st)) Prune(dir, journal, keep, true);
        }
    }
    const auto journals = ListKeptJournals(dir);
    for (size_t i = keep; i < journals.size(); ++i) removed |= Prune(dir, journals[i].second, keep, true);
    if (removed) PDirSync(dir);
}

// The slots of the service's own status nodes (Status, Error, Live,
// SaveCount, LoadCount) and triggers (Save, Load) in a retain file of `length` bytes written with the
// layout record (hash, id); false when that record cannot be read.
bool StatusSlots(PDir* dir, uint32_t hash, uint32_t id, uint64_t length,
                 std::vector<std::pair<uint64_t, uint16_t>>* slots) {
    LayoutRecord record;
    std::string why;
    uint32_t found = id;
    if (id == 0 || FindFileLayoutRecord(dir, hash, length, &found, &record, &why) != FILE_RECORD_FOUND) return false;
    std::vector<std::string> names;
    for (StatusRow row : kUnjournaledRows)
        names.push_back(std::string("SERVICE.") + ContainerName() + "." + StatusTable[row].Name);
    // And the triggers: a file a Save trigger wrote holds that trigger.
    for (const VariableDescriptor* row = TriggerTable; row->Name; ++row)
        names.push_back(std::string("SERVICE.") + ContainerName() + "." + row->Name);
    for (const LayoutRecordEntry& e : record.Entries) {
        if (e.Size == 0 || e.Offset + e.Size > length) continue;
        for (const std::string& n : names)
            if (e.Shared == 0 && e.NameLength == n.size() && std::memcmp(e.Name, n.data(), n.size()) == 0)
                slots->push_back({e.Offset, e.Size});
    }
    return true;
}

// Whether the retain files a and b of dir (written with the layout records
// idA and idB) hold the same values: the same bytes, or files of one layout
// that differ only in the slots of the service's own status nodes, which
// change at every run whatever the plant's values.
bool SameValues(PDir* dir, const std::string& a, uint32_t idA, const std::string& b, uint32_t idB) {
    if (SameContent(dir, a, b)) return true;
    if (idA == 0 || idA != idB) return false;
    std::vector<uint8_t> ba, bb;
    if (!PDirReadWhole(dir, a.c_str(), &ba, kSetAsideCompareLimit) ||
        !PDirReadWhole(dir, b.c_str(), &bb, kSetAsideCompareLimit) || ba.size() != bb.size() || ba.size() < 4 ||
        std::memcmp(ba.data(), bb.data(), 4) != 0)
        return false;
    const uint32_t hash = ba[0] | ba[1] << 8 | ba[2] << 16 | static_cast<uint32_t>(ba[3]) << 24;
    std::vector<std::pair<uint64_t, uint16_t>> slots;
    if (!StatusSlots(dir, hash, idA, ba.size(), &slots)) return false;
    for (const auto& [offset, size] : slots) {
        std::memset(ba.data() + offset, 0, size);
        std::memset(bb.data() + offset, 0, size);
    }
    return ba == bb;
}

// Keeps the journal `journal` beside the kept file `keptName`: a hard link,
// or a durable copy. False after one "ERR" line.
bool KeepJournalBeside(PDir* dir, const char* journal, const std::string& keptName) {
    const std::string name = KeptJournalName(keptName);
    // One left by a keep that did not get as far as its file.
    PDirRemove(dir, name.c_str());
    if (PDirLink(dir, journal, name.c_str())) {
        if (PDirSync(dir)) return true;
        ReportStep("directory sync");
        return false;
    }
    if (errno == EEXIST) {
        ReportStep("link");
        return false;
    }
    const char* step = "read";
    if (PDirCopyFile(dir, journal, name.c_str(), &step)) return true;
    ReportStep(step);
    return false;
}

}  // namespace

bool ParseSetAsideName(const std::string& name, SetAsideName* parsed) {
    *parsed = SetAsideName();
    if (name.compare(0, 9, "OvRetain.") != 0) return false;
    if (name.size() == 9 + 8 + 4) return name.compare(17, 4, ".old") == 0 && ParseHex8(name, 9, &parsed->Hash);
    if (name.size() != 9 + 10 + 1 + 8 + 1 + 8 + 4 || name[19] != '.' || name[28] != '.' ||
        name.compare(37, 4, ".old") != 0)
        return false;
    uint64_t seq = 0;
    for (size_t i = 9; i < 19; ++i) {
        if (name[i] < '0' || name[i] > '9') return false;
        seq = seq * 10 + static_cast<uint64_t>(name[i] - '0');
    }
    if (seq == 0 || seq > UINT32_MAX) return false;
    parsed->Seq = static_cast<uint32_t>(seq);
    return ParseHex8(name, 20, &parsed->Hash) && ParseHex8(name, 29, &parsed->Id);
}

namespace {

// backup: the file is the backup, which no journal extends: a kept copy of
// the same values counts as it whatever journal was kept beside that copy
// (it holds only newer values).
// foundId: the layout record the caller found for the file (its id), or
// nullptr to find it here.
bool SetAside(PDir* dir, const std::string& retainName, uint32_t fileHash, const std::string& replacement,
              uint32_t replacementId, bool backup, const uint32_t* foundId = nullptr) {
    // Which layout record describes the file: its check record's entry.
    uint64_t length = 0;
    uint32_t crc = 0, header = 0;
    if (!ChecksumRetainFile(dir, retainName.c_str(), &length, &crc, &header)) {
        ReportStep("read");
        return false;
    }
    CheckEntry entry;
    std::string why;
    if (VerifyRetainFile(dir, length, crc, header, &entry, &why) != CHECK_VERIFIED) {
        // One that no check record lists: the record of its hash and length.
        entry.LayoutId = 0;
        LayoutRecord record;
        if (foundId)
            entry.LayoutId = *foundId;
        else if (FindFileLayoutRecord(dir, fileHash, length, &entry.LayoutId, &record, &why) != FILE_RECORD_FOUND)
            entry.LayoutId = 0;
    }
    // The journal that extends the file holds values the file does not; one
    // that cannot be read may, and goes with it too.
    std::vector<uint8_t> journalBytes;
    const bool journal = ReadJournalOf(dir, kJournalFileName, JournalIdentity{header, length, crc}, &journalBytes) ||
                         (errno != 0 && errno != ENOENT);
    journalBytes = std::vector<uint8_t>();
    // A file whose values the file replacing it holds too loses nothing.
    if (!replacement.empty() && !journal && SameValues(dir, retainName, entry.LayoutId, replacement, replacementId))
        return true;
    const std::vector<Kept> kept = ListSetAside(dir);
    for (const Kept& k : kept) {
        if (!SameValues(dir, retainName, entry.LayoutId, k.Name, k.Parsed.Id)) continue;
        // And with the same journal, or none on either side.
        struct stat st;
        const std::string keptJournal = KeptJournalName(k.Name);
        if (journal ? !SameContent(dir, kJournalFileName, keptJournal)
                    : !backup && PDirStat(dir, keptJournal.c_str(), &st))
            continue;
        // Kept already: the path of that copy, in the form OutPath gives it.
        report(&LogChannel, "WRN", "Retained file kept as %s.", ShownPath(k.Name).c_str());
        return true;
    }
    uint32_t seq = 1;
    for (const Kept& k : kept) seq = std::max(seq, k.Parsed.Seq + 1);
    char name[64];
    std::snprintf(name, sizeof name, "OvRetain.%010u.%08x.%08x.old", seq, fileHash, entry.LayoutId);
    // The path, in the form OutPath gives it, only names the file in the log.
    char path[kPathSize];
    if (!RetainSiblingPath(name, path, sizeof path)) {
        errno = ENAMETOOLONG;
        ReportStep("path");
        return false;
    }
    // The journal first: a kept file is never without the values that
    // extend it.
    if (journal && !KeepJournalBeside(dir, kJournalFileName, name)) return false;
    const char* step = "link";
    bool done = PDirLink(dir, retainName.c_str(), name);
    if (done && !PDirSync(dir)) {
        // There, but perhaps not durably: kept with its journal all the same.
        ReportStep("directory sync");
        return false;
    }
    if (!done && errno != EEXIST) {
        // No links here: a copy, written as durably as a save.
        step = "read";
        done = PDirCopyFile(dir, retainName.c_str(), name, &step);
    }
    if (!done) {
        ReportStep(step);
        if (journal) PDirRemove(dir, KeptJournalName(name).c_str());
        return false;
    }
    NoteKeptAside(dir, JournalIdentity{header, length, crc}, seq);
    report(&LogChannel, "WRN", "Retained file kept as %s.", path);
    if (journal)
        report(&LogChannel, "WRN", "Journal %s kept with it as %s.", kJournalFileName,
               ShownPath(KeptJournalName(name)).c_str());
    PruneSetAside(dir);
    return true;
}

}  // namespace

bool SetAsideRetainFile(PDir* dir, const std::string& retainName, uint32_t fileHash, const std::string& replacement,
                        uint32_t replacementId) {
    return SetAside(dir, retainName, fileHash, replacement, replacementId, false);
}

bool SetAsideRetainFileOfRecord(PDir* dir, const std::string& retainName, uint32_t fileHash, uint32_t layoutId) {
    return SetAside(dir, retainName, fileHash, std::string(), 0, false, &layoutId);
}

bool SetAsideBackupFile(PDir* dir, const std::string& backupName, const std::string& replacement,
                        uint32_t replacementId) {
    struct stat st;
    if (backupName.empty() || !PDirStat(dir, backupName.c_str(), &st)) return true;
    uint32_t hash = 0;
    if (!HeaderWord(dir, backupName, &hash)) {
        ReportStep("read");
        return false;
    }
    return SetAside(dir, backupName, hash, replacement, replacementId, true);
}

void RemoveUnusedLayoutRecords(PDir* dir, uint32_t currentHash, uint32_t currentId) {
    std::vector<std::string> names;
    if (!dir || !PDirList(dir, &names)) return;
    // (hash, id) of every record a file may be read through; id 0 is the
    // legacy record of the hash.
    std::set<std::pair<uint32_t, uint32_t>> used;
    std::vector<CheckEntry> entries;
    bool missing = false;
    std::string why;
    ReadCheckRecord(dir, &entries, &missing, &why);
    for (const CheckEntry& e : entries) used.insert({e.Hash, e.LayoutId});
    // A file whose name or check entry names no record is read through
    // every record of its hash that describes its length: those stay as
    // long as the file does. When none does (a file cut short, whose first
    // slots may still be read by name) every record of its hash that reads
    // and reaches past its end stays.
    LayoutRecord scratch;  // one buffer for every record read (some 150 MB at ten million nodes)
    auto usedByLength = [&](const std::string& name, uint32_t hash) {
        struct stat st;
        if (!PDirStat(dir, name.c_str(), &st)) return;
        // A file of a length and hash the check record lists has its id.
        for (const CheckEntry& e : entries)
            if (e.Hash == hash && e.Length == static_cast<uint64_t>(st.st_size) && e.LayoutId != 0) return;
        std::vector<std::pair<uint32_t, uint32_t>> longer;
        bool fits = false;
        for (const std::string& other : names) {
            uint32_t h = 0, i = 0;
            uint64_t end = 0;
            if (!ParseLayoutRecordName(other, &h, &i) || h != hash ||
                !ReadLayoutRecordFileLength(dir, h, i, &scratch, &end))
                continue;
            if (end == static_cast<uint64_t>(st.st_size)) {
                used.insert({h, i});
                fits = true;
            } else if (end > static_cast<uint64_t>(st.st_size)) {
                longer.push_back({h, i});
            }
        }
        if (!fits) used.insert(longer.begin(), longer.end());
    };
    uint32_t hash = 0, id = 0;
    for (const std::string& file : {RetainFileName(GetRetainFilePath()), RetainFileName(GetBackupFilePath())}) {
        if (file.empty() || !HeaderWord(dir, file, &hash)) continue;
        used.insert({hash, 0});
        usedByLength(file, hash);
    }
    for (const std::string& name : names) {
        SetAsideName parsed;
        if (!ParseSetAsideName(name, &parsed)) continue;
        used.insert({parsed.Hash, parsed.Id});
        if (parsed.Id == 0) usedByLength(name, parsed.Hash);
    }
    bool removed = false;
    for (const std::string& name : names) {
        const bool leftover = name.size() > 11 && name.compare(0, 9, "OvRetain.") == 0 &&
                              name.compare(name.size() - 11, 11, ".layout.tmp") == 0;
        const bool record = ParseLayoutRecordName(name, &hash, &id);
        const bool current = hash == currentHash && (currentId == 0 || id == currentId);
        if (!leftover && (!record || current || used.count({hash, id}))) continue;
        removed |= PDirRemove(dir, name.c_str());
    }
    if (removed) PDirSync(dir);
}
