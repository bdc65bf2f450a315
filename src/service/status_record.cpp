// The service's status record: each save and load timed and its outcome
// written into the shared status segment.
#include "service/status_record.h"

#include <chrono>
#include <cstring>
#include <mutex>
#include <string>

#include "nodespace/ovhgapi.h"
#include "report/report.h"
#include "retain/adoption.h"
#include "retain/check_record.h"
#include "retain/layout_hash.h"
#include "retain/node_slot.h"
#include "retain/retain_file.h"
#include "retain/retain_paths.h"
#include "stdlib/pfile.h"
#include "sysmanager/service_notify.h"

namespace {

// How the one-line status to the service manager names each kind.
const char* const SaveNames[kStatusKindSlots] = {"trigger",  nullptr, "stop",   "shutdown",
                                                 "autosave", nullptr, "journal"};

// How the log's outcome lines name each kind.
const char* const OperationNames[kStatusKindSlots] = {"Trigger save", "Trigger load",  "Stop save",    "Shutdown save",
                                                      "Autosave",     "AutoLoad load", "Journal save", "Load"};

// The duration of the calling thread's last recorded operation.
thread_local double LastOperationMs = 0;

// Set once by OpenStatusRecord, before any other thread records.
ServiceStatus* Record = nullptr;
// One writer at a time; readers in other processes go by the sequence.
std::mutex RecordLock;

// Between StatusSegmentBeginWrite and EndWrite, with RecordLock held.
void CopyJournalFigures(const JournalFigures& figures) {
    StatusJournalRecord& j = Record->Journal;
    j.Bytes = figures.Bytes;
    j.Appends = figures.Appends;
    j.LastAppendNs = figures.LastAppendNs;
    j.Compactions = figures.Compactions;
}

// What the service knows of the retain file and of its layout's hash, for
// the File block. Read with the retain-file lock held.
StatusFileRecord FileFigures() {
    StatusFileRecord f{};
    const SeenRetainFile seen = LastSeenRetainFile();
    if (seen.Known) {
        f.Length = seen.Entry.Length;
        f.Ino = seen.Ino;
        f.ModifiedNs = seen.ModifiedNs;
        f.ChangedNs = seen.ChangedNs;
        f.Crc = seen.Entry.Crc;
        f.Header = seen.Entry.Hash;
        f.Known = 1;
    }
    // Only a hash already folded: never a fold of every name for the record.
    const int32_t count = LayoutHashNodeCount();
    if (count > 0) {
        const uint32_t hash = ComputeLayoutHash();
        if (LayoutHashNodeCount() == count) {
            f.LayoutHash = hash;
            f.LayoutCount = static_cast<uint32_t>(count);
        }
    }
    return f;
}

}  // namespace

void OpenStatusRecord() {
    std::string error;
    bool taken = false;
    Record = StatusSegmentCreate(&error, &taken);
    if (Record == nullptr) report(&LogChannel, taken ? "ERR" : "WRN", "Status record not available: %s", error.c_str());
}

void RecordAwaitedLoad() {
    if (Record == nullptr) return;
    std::lock_guard<std::mutex> hold(RecordLock);
    StatusSegmentBeginWrite(Record);
    Record->Flags = (Record->Flags & ~STATUS_FLAG_AWAITS_LOAD) | (RetainFileAwaitsLoad() ? STATUS_FLAG_AWAITS_LOAD : 0);
    StatusSegmentEndWrite(Record);
}

void RecordRetainFileSeen() {
    if (Record == nullptr) return;
    LockRetainFile();
    const std::string path = GetRetainFilePath()[0] ? PFileMapPath(GetRetainFilePath()) : std::string();
    const StatusFileRecord file = FileFigures();
    {
        std::lock_guard<std::mutex> hold(RecordLock);
        StatusSegmentBeginWrite(Record);
        Record->File = file;
        if (path.size() < kStatusPathSize) std::strncpy(Record->RetainPath, path.c_str(), kStatusPathSize - 1);
        StatusSegmentEndWrite(Record);
    }
    UnlockRetainFile();
}

void RecordRunState(bool paused) {
    // Touched by the Trig thread only.
    static bool known = false;
    static bool wasPaused = false;
    if (known && paused == wasPaused) return;
    if (!known) report(&LogChannel, "INF", "Service ready: triggers are polled every 100 ms while Run is not 0.");
    if (paused)
        report(&LogChannel, "INF", "Service paused: Run is 0; the triggers wait.");
    else if (known)
        report(&LogChannel, "INF", "Service running: Run is not 0; the triggers act.");
    known = true;
    wasPaused = paused;
    if (Record == nullptr) return;
    std::lock_guard<std::mutex> hold(RecordLock);
    StatusSegmentBeginWrite(Record);
    Record->Flags = (Record->Flags & STATUS_FLAG_AWAITS_LOAD) | STATUS_FLAG_POLLING | (paused ? STATUS_FLAG_PAUSED : 0);
    StatusSegmentEndWrite(Record);
}

void CloseStatusRecord() {
    if (Record == nullptr) return;
    std::lock_guard<std::mutex> hold(RecordLock);
    StatusSegmentBeginWrite(Record);
    Record->EndedNs = StatusClockNs();
    Record->State = STATUS_STATE_ENDED;
    StatusSegmentEndWrite(Record);
}

uint8_t RecordedRetainOperation(StatusKind kind, uint8_t (*operation)()) {
    if (kind >= kStatusKindSlots) return operation();
    const uint64_t startNs = StatusClockNs();
    if (Record != nullptr) {
        std::lock_guard<std::mutex> hold(RecordLock);
        StatusSegmentBeginWrite(Record);
        ++Record->Kinds[kind].Begun;
        StatusSegmentEndWrite(Record);
    }
    ClearReportedError();
    const auto started = std::chrono::steady_clock::now();
    const uint8_t ok = operation();
    const auto took = std::chrono::steady_clock::now() - started;
    const char* error = ok ? "" : LastReportedError();
    LastOperationMs = std::chrono::duration<double, std::milli>(took).count();
    // An autosave's lines are held back: it reports its own outcome.
    if (kind != STATUS_AUTOSAVE) ReportOperationOutcome(kind, ok);
    if (Record != nullptr) {
        // The path on this machine, as the service maps it: tools need not
        // share the service's drive mapping.
        // Read under the retain-file lock: the start-up check builds the path
        // while another thread may record a shutdown's save. The journal's
        // figures too, written before the lock is let go (see
        // RecordJournalFigures).
        LockRetainFile();
        const std::string path = GetRetainFilePath()[0] ? PFileMapPath(GetRetainFilePath()) : std::string();
        const JournalFigures journal = GetJournalFigures();
        const StatusFileRecord file = FileFigures();
        {
            std::lock_guard<std::mutex> hold(RecordLock);
            StatusKindRecord& k = Record->Kinds[kind];
            StatusSegmentBeginWrite(Record);
            CopyJournalFigures(journal);
            Record->File = file;
            k.LastStartNs = startNs;
            k.LastDurationNs =
                static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(took).count());
            k.LastOutcome = ok ? STATUS_OUTCOME_OK : STATUS_OUTCOME_FAILED;
            ++(ok ? k.Successes : k.Failures);
            std::strncpy(k.LastError, error, kStatusErrorSize - 1);
            Record->Flags =
                (Record->Flags & ~STATUS_FLAG_AWAITS_LOAD) | (RetainFileAwaitsLoad() ? STATUS_FLAG_AWAITS_LOAD : 0);
            if (path.size() < kStatusPathSize) std::strncpy(Record->RetainPath, path.c_str(), kStatusPathSize - 1);
            StatusSegmentEndWrite(Record);
        }
        UnlockRetainFile();
    }
    if (const char* save = SaveNames[kind]) {
        if (ok)
            NotifyServiceStatus("Last %s save succeeded in %.3f s", save, std::chrono::duration<double>(took).count());
        else
            NotifyServiceStatus("Last %s save failed: %s", save, error[0] ? error : "nothing reported");
    }
    return ok;
}

void ReportOperationOutcome(StatusKind kind, bool ok) {
    const char* name = kind < kStatusKindSlots ? OperationNames[kind] : "Operation";
    if (!ok) {
        report(&LogChannel, "INF", "%s failed after %.3f ms (the ERR line before says why).", name, LastOperationMs);
        return;
    }
    // The retain file's length by the node table: the header and every slot.
    const int32_t count = NodeCount() > 0 ? NodeCount() : 0;
    const NodeRecord* table = NodeTable();
    uint64_t bytes = 4;
    for (int32_t i = 0; table != nullptr && i < count; ++i) bytes += NodeSlotSize(table[i]);
    report(&LogChannel, "INF", "%s done: %d nodes, %llu bytes in %.3f ms.", name, static_cast<int>(count),
           static_cast<unsigned long long>(bytes), LastOperationMs);
}

void RecordJournalFigures(const JournalFigures& figures) {
    if (Record == nullptr) return;
    std::lock_guard<std::mutex> hold(RecordLock);
    // Only this process writes the record: what it holds is what was written.
    const StatusJournalRecord& j = Record->Journal;
    if (figures == JournalFigures{j.Bytes, j.Appends, j.LastAppendNs, j.Compactions}) return;
    StatusSegmentBeginWrite(Record);
    CopyJournalFigures(figures);
    StatusSegmentEndWrite(Record);
}

void RecordJournalPeriod(uint32_t periodMs) {
    if (Record == nullptr) return;
    std::lock_guard<std::mutex> hold(RecordLock);
    if (Record->Journal.PeriodMs == periodMs) return;
    StatusSegmentBeginWrite(Record);
    Record->Journal.PeriodMs = periodMs;
    StatusSegmentEndWrite(Record);
}
