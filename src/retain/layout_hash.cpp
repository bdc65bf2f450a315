// The layout hash and the start-up check of the retain file.
#include "retain/layout_hash.h"

#include <atomic>
#include <cstring>
#include <mutex>

#include "nodespace/ovhgapi.h"
#include "report/report.h"
#include "retain/md5.h"
#include "retain/migration.h"
#include "retain/retain_file.h"
#include "retain/set_aside.h"
#include "stdlib/pfile.h"
#include "variables/variables.h"

namespace {

std::atomic<uint32_t> CachedLayoutHash{0};
// How many node records the cached hash was folded from; set once, together
// with the hash, under FoldPublishLock.
std::atomic<int32_t> CachedLayoutCount{0};
std::mutex FoldPublishLock;
uint32_t StoredLayoutHash = 0;
char RetainFilePath[kRetainPathSize];
char BackupFilePath[kRetainPathSize];

const char kRetainFileName[] = "OvRetain.bin";
const char kBackupFileName[] = "OvRetain.$$$";

// Copies src into dst of size bytes, cutting it short to keep the zero.
void BoundedCopy(char* dst, size_t size, const char* src) {
    size_t length = src ? strnlen(src, size - 1) : 0;
    if (length) std::memcpy(dst, src, length);
    dst[length] = '\0';
}

// Appends src to the text in dst of size bytes, cutting it short likewise.
void BoundedAppend(char* dst, size_t size, const char* src) {
    size_t used = strnlen(dst, size - 1);
    BoundedCopy(dst + used, size - used, src);
}

void BuildPath(char* path, const char* fileName) {
    BoundedCopy(path, kRetainPathSize, GetOutPath());
    BoundedAppend(path, kRetainPathSize, fileName);
}

uint32_t LoadLe32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
           static_cast<uint32_t>(p[3]) << 24;
}

}  // namespace

void DigestText(uint8_t out[16], const char* text) {
    Md5Digest(text, std::strlen(text), out);
}

uint32_t ComputeLayoutHash() {
    uint32_t cached = CachedLayoutHash.load(std::memory_order_acquire);
    if (cached != 0) return cached;
    uint32_t h = 0;
    const int32_t count = NodeCount();
    const NodeRecord* table = NodeTable();
    if (table) {
        for (int32_t i = 0; i < count; ++i) {
            uint8_t digest[16];
            // The library keeps every name zero-terminated; the bound only
            // guards against a record that is not.
            Md5Digest(table[i].Name, strnlen(table[i].Name, sizeof table[i].Name), digest);
            h = ((h << 1) | (h >> 31)) + LoadLe32(digest);
        }
    }
    // Only the finished fold is published; a result of 0 is not cached. The
    // first fold to finish is kept with its node count, so the two always
    // belong together.
    if (h == 0) return h;
    std::lock_guard<std::mutex> guard(FoldPublishLock);
    if (CachedLayoutHash.load(std::memory_order_acquire) == 0) {
        CachedLayoutCount.store(table ? count : 0, std::memory_order_relaxed);
        CachedLayoutHash.store(h, std::memory_order_release);
    }
    return CachedLayoutHash.load(std::memory_order_acquire);
}

int32_t LayoutHashNodeCount() {
    if (CachedLayoutHash.load(std::memory_order_acquire) == 0) return 0;
    return CachedLayoutCount.load(std::memory_order_relaxed);
}

void BuildRetainFilePaths() {
    BuildPath(RetainFilePath, kRetainFileName);
    BuildPath(BackupFilePath, kBackupFileName);
}

const char* GetRetainFilePath() {
    return RetainFilePath;
}
const char* GetBackupFilePath() {
    return BackupFilePath;
}

uint32_t ReadStoredLayoutHash() {
    PFile* file = PFileOpen(RetainFilePath, "rb");
    if (!file) return StoredLayoutHash;
    uint8_t header[4];
    StoredLayoutHash = PFileRead(file, header, sizeof header) ? LoadLe32(header) : 0;
    PFileClose(file);
    return StoredLayoutHash;
}

void RotateBackupFile() {
    // rename replaces the backup in one step, so there is no moment without
    // one; with no retain file there is nothing to rotate and the backup stays.
    if (RetainFilePath[0] == '\0' || !PFileExists(RetainFilePath)) return;
    PFileRename(RetainFilePath, BackupFilePath);
    PFileSyncDir(RetainFilePath);
}

void RemoveRetainFile() {
    if (RetainFilePath[0] == '\0') return;
    if (PFileRemove(RetainFilePath)) PFileSyncDir(RetainFilePath);
}

void CheckRetainFile() {
    LockRetainFile();
    BuildRetainFilePaths();
    uint32_t h = ComputeLayoutHash();
    uint32_t s = ReadStoredLayoutHash();
    if (h != s) {
        report(&LogChannel, "WRN", "Retained file hash code does not match and will be deleted.");
        report(&LogChannel, "WRN", "current hash code = %x", h);
        report(&LogChannel, "WRN", "file hash code    = %x", s);
        // The file is kept aside first; with Migrate its values then move
        // into a file of this layout instead of being left behind.
        const bool present = RetainFilePath[0] != '\0' && PFileExists(RetainFilePath);
        if (present) SetAsideRetainFile(s);
        const bool migrated = present && GetMigrate() == 1 && MigrateRetainFile(h, s);
        if (!migrated) {
            if (GetUseBackup() != 0) {
                RotateBackupFile();
            } else {
                RemoveRetainFile();
            }
        }
        RemoveUnusedLayoutRecords(h);
    }
    UnlockRetainFile();
}

void ResetLayoutHashForTest() {
    LockRetainFile();
    CachedLayoutHash.store(0, std::memory_order_release);
    CachedLayoutCount.store(0, std::memory_order_relaxed);
    StoredLayoutHash = 0;
    RetainFilePath[0] = '\0';
    BackupFilePath[0] = '\0';
    UnlockRetainFile();
}
