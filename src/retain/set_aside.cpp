// Keeping mismatching retain files as .old files, and removing unused layout
// records.
#include "retain/set_aside.h"

#include <errno.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "report/report.h"
#include "retain/layout_hash.h"
#include "retain/layout_record.h"
#include "stdlib/pdirectory.h"
#include "stdlib/pfile.h"

namespace {

constexpr size_t kKeptOldFiles = 3;
constexpr uint64_t kRetainFileMax = uint64_t{1} << 40;
constexpr size_t kPathSize = kRetainPathSize + 16;

void ReportStep(const char* step) {
    int error = errno;
    report(&LogChannel, "ERR", "Retain file set-aside %s failed: %s", step, std::strerror(error));
}

// "OvRetain." + 8 lower-case hex digits + suffix; the hash in *hash.
bool ParseHashName(const std::string& name, const char* suffix, uint32_t* hash) {
    const size_t suffixLength = std::strlen(suffix);
    if (name.size() != 9 + 8 + suffixLength || name.compare(0, 9, "OvRetain.") != 0 ||
        name.compare(17, std::string::npos, suffix) != 0)
        return false;
    uint32_t h = 0;
    for (size_t i = 9; i < 17; ++i) {
        const char c = name[i];
        if (c >= '0' && c <= '9') {
            h = h << 4 | static_cast<uint32_t>(c - '0');
        } else if (c >= 'a' && c <= 'f') {
            h = h << 4 | static_cast<uint32_t>(c - 'a' + 10);
        } else {
            return false;
        }
    }
    *hash = h;
    return true;
}

bool HeaderWord(const char* path, uint32_t* hash) {
    PFile* file = PFileOpen(path, "rb");
    if (!file) return false;
    uint8_t header[4];
    const bool ok = PFileRead(file, header, sizeof header);
    PFileClose(file);
    if (ok) *hash = header[0] | header[1] << 8 | header[2] << 16 | static_cast<uint32_t>(header[3]) << 24;
    return ok;
}

// Keeps the newest kKeptOldFiles .old files, `keep` among them.
void PruneOldFiles(const char* keep) {
    std::vector<std::string> names;
    if (!PFileListSiblings(GetRetainFilePath(), &names)) return;
    struct Old {
        int64_t Time;
        std::string Path;
    };
    std::vector<Old> olds;
    for (const std::string& name : names) {
        uint32_t hash;
        char path[kPathSize];
        int64_t time = 0;
        if (!ParseHashName(name, ".old", &hash) || !RetainSiblingPath(name.c_str(), path, sizeof path)) continue;
        if (std::strcmp(path, keep) != 0 && PFileStatus(path, nullptr, &time)) olds.push_back({time, path});
    }
    if (olds.size() < kKeptOldFiles) return;
    std::sort(olds.begin(), olds.end(),
              [](const Old& a, const Old& b) { return a.Time != b.Time ? a.Time > b.Time : a.Path > b.Path; });
    bool removed = false;
    for (size_t i = kKeptOldFiles - 1; i < olds.size(); ++i) removed |= PFileRemove(olds[i].Path.c_str());
    if (removed) PFileSyncDir(GetRetainFilePath());
}

}  // namespace

bool SetAsideRetainFile(uint32_t fileHash) {
    char name[32], oldPath[kPathSize], tempPath[kPathSize + 8];
    std::snprintf(name, sizeof name, "OvRetain.%08x.old", fileHash);
    if (!RetainSiblingPath(name, oldPath, sizeof oldPath)) {
        errno = ENAMETOOLONG;
        ReportStep("path");
        return false;
    }
    std::snprintf(tempPath, sizeof tempPath, "%s.tmp", oldPath);
    PFileRemove(tempPath);
    if (PFileLink(GetRetainFilePath(), tempPath)) {
        if (!PFileRename(tempPath, oldPath)) {
            ReportStep("rename");
            PFileRemove(tempPath);
            return false;
        }
        if (!PFileSyncDir(oldPath)) {
            ReportStep("directory sync");
            return false;
        }
    } else {
        // No links here: a copy, written as durably as a save.
        std::vector<uint8_t> bytes;
        if (!PFileReadWhole(GetRetainFilePath(), &bytes, kRetainFileMax)) {
            ReportStep("read");
            return false;
        }
        if (!WriteFileDurably(oldPath, bytes, "Retain file set-aside")) return false;
    }
    report(&LogChannel, "WRN", "Retained file kept as %s.", oldPath);
    PruneOldFiles(oldPath);
    return true;
}

void RemoveUnusedLayoutRecords(uint32_t currentHash) {
    std::vector<std::string> names;
    if (GetRetainFilePath()[0] == '\0' || !PFileListSiblings(GetRetainFilePath(), &names)) return;
    std::set<uint32_t> used = {currentHash};
    uint32_t hash;
    if (HeaderWord(GetRetainFilePath(), &hash)) used.insert(hash);
    if (HeaderWord(GetBackupFilePath(), &hash)) used.insert(hash);
    char path[kPathSize];
    for (const std::string& name : names) {
        if (ParseHashName(name, ".old", &hash) && RetainSiblingPath(name.c_str(), path, sizeof path) &&
            HeaderWord(path, &hash))
            used.insert(hash);
    }
    bool removed = false;
    for (const std::string& name : names) {
        const bool record = ParseHashName(name, ".layout", &hash);
        const bool leftover = ParseHashName(name, ".layout.tmp", &hash);
        if ((!record || used.count(hash)) && !leftover) continue;
        if (RetainSiblingPath(name.c_str(), path, sizeof path)) removed |= PFileRemove(path);
    }
    if (removed) PFileSyncDir(GetRetainFilePath());
}
