// Keeping mismatching retain files as .old files, and removing unused layout
// records.
#include "retain/set_aside.h"

#include <errno.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "report/report.h"
#include "retain/layout_record.h"
#include "retain/retain_dir.h"
#include "retain/retain_paths.h"
#include "stdlib/pdir.h"
#include "stdlib/pfile.h"

namespace {

constexpr size_t kKeptOldFiles = 3;
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

bool HeaderWord(PDir* dir, const std::string& name, uint32_t* hash) {
    PFile* file = PDirOpenRead(dir, name.c_str());
    if (!file) return false;
    uint8_t header[4];
    const bool ok = PFileRead(file, header, sizeof header);
    PFileClose(file);
    if (ok) *hash = header[0] | header[1] << 8 | header[2] << 16 | static_cast<uint32_t>(header[3]) << 24;
    return ok;
}

// Keeps the newest kKeptOldFiles .old files, `keep` among them.
void PruneOldFiles(PDir* dir, const std::string& keep) {
    std::vector<std::string> names;
    if (!PDirList(dir, &names)) return;
    struct Old {
        int64_t Time;
        std::string Name;
    };
    std::vector<Old> olds;
    for (const std::string& name : names) {
        uint32_t hash;
        struct stat st;
        if (!ParseHashName(name, ".old", &hash) || name == keep || !PDirStat(dir, name.c_str(), &st) ||
            !S_ISREG(st.st_mode))
            continue;
        olds.push_back({int64_t{st.st_ctim.tv_sec} * 1000000000 + st.st_ctim.tv_nsec, name});
    }
    if (olds.size() < kKeptOldFiles) return;
    std::sort(olds.begin(), olds.end(),
              [](const Old& a, const Old& b) { return a.Time != b.Time ? a.Time > b.Time : a.Name > b.Name; });
    bool removed = false;
    for (size_t i = kKeptOldFiles - 1; i < olds.size(); ++i) removed |= PDirRemove(dir, olds[i].Name.c_str());
    if (removed) PDirSync(dir);
}

}  // namespace

bool SetAsideRetainFile(PDir* dir, const std::string& retainName, uint32_t fileHash) {
    char name[32], oldPath[kPathSize];
    std::snprintf(name, sizeof name, "OvRetain.%08x.old", fileHash);
    // The path, in the form OutPath gives it, only names the file in the log.
    if (!RetainSiblingPath(name, oldPath, sizeof oldPath)) {
        errno = ENAMETOOLONG;
        ReportStep("path");
        return false;
    }
    const std::string temp = std::string(name) + ".tmp";
    PDirRemove(dir, temp.c_str());
    if (PDirLink(dir, retainName.c_str(), temp.c_str())) {
        if (!PDirRename(dir, temp.c_str(), name)) {
            ReportStep("rename");
            PDirRemove(dir, temp.c_str());
            return false;
        }
        if (!PDirSync(dir)) {
            ReportStep("directory sync");
            return false;
        }
    } else {
        // No links here: a copy, written as durably as a save.
        const char* step = "read";
        if (!PDirCopyFile(dir, retainName.c_str(), name, &step)) {
            ReportStep(step);
            return false;
        }
    }
    report(&LogChannel, "WRN", "Retained file kept as %s.", oldPath);
    PruneOldFiles(dir, name);
    return true;
}

void RemoveUnusedLayoutRecords(PDir* dir, uint32_t currentHash) {
    std::vector<std::string> names;
    if (!dir || !PDirList(dir, &names)) return;
    std::set<uint32_t> used = {currentHash};
    uint32_t hash;
    if (HeaderWord(dir, RetainFileName(GetRetainFilePath()), &hash)) used.insert(hash);
    if (GetBackupFilePath()[0] != '\0' && HeaderWord(dir, RetainFileName(GetBackupFilePath()), &hash))
        used.insert(hash);
    for (const std::string& name : names) {
        if (ParseHashName(name, ".old", &hash) && HeaderWord(dir, name, &hash)) used.insert(hash);
    }
    bool removed = false;
    for (const std::string& name : names) {
        const bool record = ParseHashName(name, ".layout", &hash);
        const bool leftover = ParseHashName(name, ".layout.tmp", &hash);
        if ((!record || used.count(hash)) && !leftover) continue;
        removed |= PDirRemove(dir, name.c_str());
    }
    if (removed) PDirSync(dir);
}
