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
#include "retain/layout_record.h"
#include "retain/retain_dir.h"
#include "retain/retain_paths.h"
#include "stdlib/pdir.h"
#include "stdlib/pfile.h"

namespace {

constexpr uint32_t kKeptOldFiles = 8;
constexpr size_t kPathSize = kRetainPathSize + 48;
constexpr size_t kChunk = size_t{1} << 20;

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

// SERVICE.OvRetain.KeepOld when it asks for more than the eight kept anyway.
uint32_t KeptCount() {
    uint32_t value = 0;
    NodeReadByName("SERVICE.OvRetain.KeepOld", &value, 4);
    return std::max(value, kKeptOldFiles);
}

// Keeps the newest KeptCount() set-aside files and beyond them the newest
// of each layout; one "WRN" line for each file removed.
void PruneSetAside(PDir* dir) {
    const std::vector<Kept> kept = ListSetAside(dir);
    const uint32_t keep = KeptCount();
    std::set<std::pair<uint32_t, uint32_t>> layouts;
    bool removed = false;
    for (size_t i = 0; i < kept.size(); ++i) {
        const bool newestOfLayout = layouts.insert({kept[i].Parsed.Hash, kept[i].Parsed.Id}).second;
        if (i < keep || newestOfLayout) continue;
        char path[kPathSize];
        if (!RetainSiblingPath(kept[i].Name.c_str(), path, sizeof path))
            std::snprintf(path, sizeof path, "%s", kept[i].Name.c_str());
        if (PDirRemove(dir, kept[i].Name.c_str())) {
            report(&LogChannel, "WRN", "Retained file %s removed: %u newer set-aside files are kept.", path, keep);
            removed = true;
        }
    }
    if (removed) PDirSync(dir);
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

bool SetAsideRetainFile(PDir* dir, const std::string& retainName, uint32_t fileHash) {
    // Which layout record describes the file: its check record's entry.
    CheckEntry entry;
    std::string why;
    const CheckVerdict verdict = VerifyRetainFileNamed(dir, retainName.c_str(), &entry, &why);
    if (errno != 0) {
        ReportStep("read");
        return false;
    }
    // One that no check record lists: the record of its hash and length.
    if (verdict != CHECK_VERIFIED) {
        entry.LayoutId = 0;
        struct stat st;
        LayoutRecord record;
        if (PDirStat(dir, retainName.c_str(), &st) &&
            FindFileLayoutRecord(dir, fileHash, static_cast<uint64_t>(st.st_size), &entry.LayoutId, &record, &why) !=
                FILE_RECORD_FOUND)
            entry.LayoutId = 0;
    }
    const std::vector<Kept> kept = ListSetAside(dir);
    char path[kPathSize];
    for (const Kept& k : kept) {
        if (!SameContent(dir, retainName, k.Name)) continue;
        // Kept already: the path of that copy, in the form OutPath gives it.
        if (!RetainSiblingPath(k.Name.c_str(), path, sizeof path))
            std::snprintf(path, sizeof path, "%s", k.Name.c_str());
        report(&LogChannel, "WRN", "Retained file kept as %s.", path);
        return true;
    }
    uint32_t seq = 1;
    for (const Kept& k : kept) seq = std::max(seq, k.Parsed.Seq + 1);
    char name[64];
    std::snprintf(name, sizeof name, "OvRetain.%010u.%08x.%08x.old", seq, fileHash, entry.LayoutId);
    // The path, in the form OutPath gives it, only names the file in the log.
    if (!RetainSiblingPath(name, path, sizeof path)) {
        errno = ENAMETOOLONG;
        ReportStep("path");
        return false;
    }
    if (PDirLink(dir, retainName.c_str(), name)) {
        if (!PDirSync(dir)) {
            ReportStep("directory sync");
            return false;
        }
    } else if (errno == EEXIST) {
        ReportStep("link");
        return false;
    } else {
        // No links here: a copy, written as durably as a save.
        const char* step = "read";
        if (!PDirCopyFile(dir, retainName.c_str(), name, &step)) {
            ReportStep(step);
            return false;
        }
    }
    report(&LogChannel, "WRN", "Retained file kept as %s.", path);
    PruneSetAside(dir);
    return true;
}

void RemoveUnusedLayoutRecords(PDir* dir, uint32_t currentHash) {
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
    // long as the file does.
    auto usedByLength = [&](const std::string& name, uint32_t hash) {
        struct stat st;
        if (!PDirStat(dir, name.c_str(), &st)) return;
        // A file of a length and hash the check record lists has its id.
        for (const CheckEntry& e : entries)
            if (e.Hash == hash && e.Length == static_cast<uint64_t>(st.st_size) && e.LayoutId != 0) return;
        for (const std::string& other : names) {
            uint32_t h = 0, i = 0;
            LayoutRecord record;
            std::string ignored;
            if (ParseLayoutRecordName(other, &h, &i) && h == hash &&
                ReadLayoutRecordEntries(dir, h, i, &record, &ignored) &&
                LayoutRecordFileLength(record) == static_cast<uint64_t>(st.st_size))
                used.insert({h, i});
        }
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
        if (!leftover && (!record || hash == currentHash || used.count({hash, id}))) continue;
        removed |= PDirRemove(dir, name.c_str());
    }
    if (removed) PDirSync(dir);
}
