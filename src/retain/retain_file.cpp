// Saving the values of all nodes into the retain file and loading them back.
#include "retain/retain_file.h"

#include <errno.h>

#include <cstdio>
#include <cstring>
#include <mutex>

#include "nodespace/ovhgapi.h"
#include "report/report.h"
#include "retain/layout_hash.h"
#include "retain/layout_record.h"
#include "stdlib/pfile.h"
#include "stdlib/pmem.h"
#include "stdlib/ptime.h"
#include "variables/variables.h"

namespace {

std::mutex RetainFileLock;

// The last successful save of this run (see LastSuccessfulSave), written
// with RetainFileLock held and read under a lock of its own, so that the
// Trig thread's poll never waits for a save in progress.
std::mutex LastSaveLock;
bool LastSaveDone = false;
uint64_t LastSaveMark = 0;
uint64_t LastSaveEndMs = 0;

constexpr uint16_t kTextType = 12;
constexpr uint16_t kRangeType = 13;
constexpr size_t kTempPathSize = kRetainPathSize + 8;
// The walk touches the last 16 bytes of each 578-byte node record (type,
// index and the library's value fields), which may span two cache lines:
// fetching them some way ahead hides most of the memory latency of a large
// table.
constexpr int32_t kPrefetchAhead = 8;

// Record i of the walk, with the records ahead of it on their way. Always
// inlined: GCC judges a prefetching function free of side effects and drops
// calls to it.
__attribute__((always_inline)) inline const NodeRecord& WalkTo(const NodeRecord* table, int32_t i, int32_t count) {
    if (i + kPrefetchAhead < count) {
        __builtin_prefetch(&table[i + kPrefetchAhead].Type);
        __builtin_prefetch(&table[i + kPrefetchAhead].LibValue[7]);  // may lie on the next line
    }
    return table[i];
}

// One "ERR" line naming the failed step and the system error in errno.
void ReportFailure(const char* step) {
    int error = errno;
    report(&LogChannel, "ERR", "Retain file %s failed: %s", step, std::strerror(error));
}

// The node's slot size: its "Size" attribute, or 0 when it cannot be read.
uint16_t SlotSize(const NodeRecord& node) {
    uint16_t size = 0;
    if (NodeGetAttribute(node.Name, "Size", &size, sizeof size) != 0) return 0;
    return size;
}

void ReadSlot(const NodeRecord& node, uint8_t* buffer, uint16_t size) {
    switch (node.Type) {
        case kTextType:
            NodeReadStringByName(node.Name, reinterpret_cast<char*>(buffer), size);
            break;
        case kRangeType:
            NodeReadRange(node.Index, 0, buffer, size);
            break;
        default:
            NodeReadData(node.Index, buffer, size);
            break;
    }
}

void WriteSlot(const NodeRecord& node, uint8_t* buffer, uint16_t size) {
    switch (node.Type) {
        case kTextType:
            // A text cut off without its zero keeps its first Size - 1 characters.
            if (!std::memchr(buffer, 0, size)) buffer[size - 1] = 0;
            NodeWriteStringByName(node.Name, reinterpret_cast<const char*>(buffer));
            break;
        case kRangeType:
            NodeWriteRange(node.Index, 0, buffer, size);
            break;
        default:
            NodeWriteData(node.Index, buffer, size);
            break;
    }
}

// Gives the current retain file the backup's name too, replacing the backup
// in one rename; the retain file keeps its name throughout. Failures only
// leave the older backup in place and are not reported.
void KeepPreviousAsBackup(const char* retainPath, const char* backupPath) {
    if (backupPath[0] == '\0' || !PFileExists(retainPath)) return;
    char linkPath[kTempPathSize];
    std::snprintf(linkPath, sizeof linkPath, "%s.tmp", backupPath);
    PFileRemove(linkPath);
    if (!PFileLink(retainPath, linkPath) || !PFileRename(linkPath, backupPath)) PFileRemove(linkPath);
}

// Ends a save that failed after the temporary file was created.
uint8_t Abandon(PFile* file, const char* tempPath) {
    if (file) PFileClose(file);
    PFileRemove(tempPath);
    return 0;
}

uint8_t SaveLocked() {
    const int32_t count = NodeCount();
    const NodeRecord* table = NodeTable();
    const bool useBackup = GetUseBackup() != 0;
    const char* retainPath = GetRetainFilePath();
    if (retainPath[0] == '\0') return 0;  // the start-up check has not built the paths yet
    char tempPath[kTempPathSize];
    std::snprintf(tempPath, sizeof tempPath, "%s.tmp", retainPath);

    if (!PFileMakeParents(retainPath)) {
        ReportFailure("directory creation");
        return 0;
    }
    PFile* file = PFileOpen(tempPath, "wb");
    if (!file) {
        ReportFailure("open");
        return 0;
    }
    const uint32_t hash = ComputeLayoutHash();
    const uint8_t header[4] = {static_cast<uint8_t>(hash), static_cast<uint8_t>(hash >> 8),
                               static_cast<uint8_t>(hash >> 16), static_cast<uint8_t>(hash >> 24)};
    if (!PFileWrite(file, header, sizeof header)) {
        ReportFailure("header write");
        return Abandon(file, tempPath);
    }
    if (!PFileSeek(file, sizeof header)) {
        report(&LogChannel, "ERR", "Hashfile seek point set err.");
        return Abandon(file, tempPath);
    }
    for (int32_t i = 0; table && i < count; ++i) {
        const NodeRecord& node = WalkTo(table, i, count);
        uint16_t size = SlotSize(node);
        if (size == 0) continue;
        uint8_t* buffer = static_cast<uint8_t*>(PMemAlloc(size));
        if (!buffer) {
            // Leaving the slot out would shift every later value.
            ReportFailure("value buffer allocation");
            return Abandon(file, tempPath);
        }
        // Cleared so that bytes the library does not fill (after a text's
        // zero) are zeros in the file, not left-overs of the heap.
        std::memset(buffer, 0, size);
        ReadSlot(node, buffer, size);
        bool written = PFileWrite(file, buffer, size);
        int error = errno;
        PMemFree(buffer);
        if (!written) {
            errno = error;
            ReportFailure("write");
            return Abandon(file, tempPath);
        }
    }
    if (!PFileFlush(file)) {
        ReportFailure("flush");
        return Abandon(file, tempPath);
    }
    if (!PFileSync(file)) {
        ReportFailure("sync");
        return Abandon(file, tempPath);
    }
    if (!PFileClose(file)) {
        ReportFailure("close");
        return Abandon(nullptr, tempPath);
    }
    // The record that names the new file's slots is on disk before the file.
    if (!EnsureLayoutRecord(hash, table, count)) return Abandon(nullptr, tempPath);
    if (useBackup) KeepPreviousAsBackup(retainPath, GetBackupFilePath());
    if (!PFileRename(tempPath, retainPath)) {
        ReportFailure("rename");
        return Abandon(nullptr, tempPath);
    }
    if (!PFileSyncDir(retainPath)) {
        // The new file is in place but not known to be durable.
        ReportFailure("directory sync");
        return 0;
    }
    return 1;
}

uint8_t LoadLocked() {
    const int32_t count = NodeCount();
    const NodeRecord* table = NodeTable();
    const char* retainPath = GetRetainFilePath();
    if (retainPath[0] == '\0') return 0;
    PFile* file = PFileOpen(retainPath, "rb");
    if (!file) return 0;
    uint8_t header[4];
    PFileRead(file, header, sizeof header);  // not judged: the start-up check does that
    for (int32_t i = 0; table && i < count; ++i) {
        const NodeRecord& node = WalkTo(table, i, count);
        uint16_t size = SlotSize(node);
        if (size == 0) continue;
        uint8_t* buffer = static_cast<uint8_t*>(PMemAlloc(size));
        if (!buffer) {
            PFileSkip(file, size);  // the later nodes keep their own slots
            continue;
        }
        if (PFileRead(file, buffer, size)) WriteSlot(node, buffer, size);
        PMemFree(buffer);
    }
    PFileClose(file);
    return 1;
}

}  // namespace

void ReadNodeSlot(const NodeRecord& node, uint8_t* buffer, uint16_t size) {
    ReadSlot(node, buffer, size);
}
void WriteNodeSlot(const NodeRecord& node, uint8_t* buffer, uint16_t size) {
    WriteSlot(node, buffer, size);
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

bool LastSuccessfulSave(uint64_t* markAtStart, uint64_t* endMs) {
    std::lock_guard<std::mutex> hold(LastSaveLock);
    if (!LastSaveDone) return false;
    *markAtStart = LastSaveMark;
    *endMs = LastSaveEndMs;
    return true;
}

uint8_t LoadRetainFile() {
    std::lock_guard<std::mutex> guard(RetainFileLock);
    return LoadLocked();
}
