// ovnode status, metrics, save and load: the service's status record read
// back, and triggers written and waited for.
//
// The record (status_segment.h) comes from another process: every field is
// checked or escaped before it is shown, and the service counts as running
// only while its process runs as the user who owns the record.
#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <ostream>
#include <sstream>
#include <thread>
#include <vector>

#include "archive/archive_config.h"
#include "archive/archive_status.h"
#include "nodespace/nodespace_admin.h"
#include "nodespace/ovhgapi.h"
#include "ovnode/commands.h"
#include "ovnode/shown_text.h"
#include "ovnode/status_view.h"
#include "retain/check_record.h"
#include "retain/layout_hash.h"
#include "retain/layout_record.h"
#include "service/public_names.h"
#include "status/status_segment.h"
#include "stdlib/pdir.h"
#include "stdlib/pfile.h"
#include "version/version.h"

namespace ovnode {
namespace {

constexpr int kKindCount = static_cast<int>(STATUS_KIND_COUNT);
const char* const* const kKindNames = kStatusKindNames;

int Fail(std::ostream& err, const std::string& what) {
    err << "ovnode: " << ShownText(what) << "\n";
    return kExitFailure;
}

// ISO 8601 in UTC with milliseconds; "-" for 0.
std::string Iso(uint64_t ns) {
    if (ns == 0) return "-";
    time_t seconds = static_cast<time_t>(ns / 1000000000u);
    struct tm utc {};
    if (!gmtime_r(&seconds, &utc)) return "-";
    char text[96];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03uZ", utc.tm_year + 1900, utc.tm_mon + 1,
                  utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec, static_cast<unsigned>(ns / 1000000u % 1000u));
    return text;
}

std::string Seconds(uint64_t ns, int decimals) {
    char text[40];
    std::snprintf(text, sizeof text, "%.*f", decimals, static_cast<double>(ns) / 1e9);
    return text;
}

const char* OutcomeName(uint32_t outcome) {
    switch (outcome) {
        case STATUS_OUTCOME_OK:
            return "success";
        case STATUS_OUTCOME_FAILED:
            return "failure";
        default:
            return "none";
    }
}

bool IsSaveKind(int kind) {
    return kind != STATUS_TRIGGER_LOAD && kind != STATUS_AUTOLOAD;
}

// The most recent save of any kind, or -1 when none has run.
int LastSave(const ServiceStatus& r) {
    int last = -1;
    for (int k = 0; k < kKindCount; ++k) {
        if (!IsSaveKind(k) || r.Kinds[k].LastOutcome == STATUS_OUTCOME_NONE) continue;
        if (last < 0 || r.Kinds[k].LastStartNs > r.Kinds[last].LastStartNs) last = k;
    }
    return last;
}

// A text from the record, shown on one line and escaped.
std::string Printable(const char* text) {
    return ShownText(text);
}

// A Prometheus label value: backslash, quote and newline escaped.
std::string LabelValue(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (c == '\\' || c == '"') out += '\\';
        if (c == '\n') {
            out += "\\n";
            continue;
        }
        out += c;
    }
    return out;
}

// Reads the value of node `name` as an unsigned number of up to 4 bytes.
bool ReadNumber(const std::string& name, uint32_t* value) {
    uint32_t index = NodeSpaceFind(name.c_str());
    const NodeRecord* record = index ? NodeSpaceRecord(index) : nullptr;
    if (!record) return false;
    uint8_t bytes[4] = {};
    uint16_t size = std::min<uint16_t>(NodeSpaceValueSize(record), 4);
    if (size) NodeReadData(index, bytes, size);
    *value = static_cast<uint32_t>(bytes[0]) | bytes[1] << 8 | bytes[2] << 16 | static_cast<uint32_t>(bytes[3]) << 24;
    return true;
}

bool WriteOne(const std::string& name) {
    uint32_t index = NodeSpaceFind(name.c_str());
    const NodeRecord* record = index ? NodeSpaceRecord(index) : nullptr;
    if (!record) return false;
    uint8_t one[4] = {1, 0, 0, 0};
    uint16_t size = std::min<uint16_t>(NodeSpaceValueSize(record), 4);
    return size > 0 && NodeWriteByName(name.c_str(), one, size) == 0;
}

bool AttachExisting(const Invocation& inv, std::ostream& err) {
    if (!NodeSpaceExists(inv.Space)) {
        err << "ovnode: node space '" << inv.Space << "' does not exist\n";
        return false;
    }
    std::string error;
    if (!NodeSpaceAttach(inv.Space, false, &error)) {
        err << "ovnode: cannot open node space '" << inv.Space << "': " << error << "\n";
        return false;
    }
    return true;
}

void Sleep() {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
}

}  // namespace

ServiceView ReadServiceView(const std::string& space) {
    ServiceView view;
    StatusSnapshot snap{};
    // Only the service writes its record: one owned by anyone but root, the
    // service's user or this user was put there by someone else (a node
    // space's owner may be any member of its group).
    if (!StatusSegmentRead(space, geteuid(), &snap, &view.Why)) return view;
    view.HasRecord = true;
    view.Consistent = snap.Consistent;
    view.Record = snap.Record;
    view.Running = view.Record.State == STATUS_STATE_RUNNING && StatusProcessRuns(view.Record.Pid, snap.Owner);
    if (!view.Running)
        view.Why = view.Record.State == STATUS_STATE_ENDED ? "ended" : "its process is gone without a clean end";
    return view;
}

std::string ServiceView::State() const {
    if (!Running) return "stopped";
    if ((Record.Flags & STATUS_FLAG_POLLING) == 0) return "starting";
    return (Record.Flags & STATUS_FLAG_PAUSED) != 0 ? "paused" : "running";
}

RetainFileView ReadRetainFileView(const std::string& drivePath, bool haveLayout, bool mayOpen,
                                  const StatusFileRecord* known) {
    RetainFileView f;
    f.Path = PFileMapPath(drivePath.c_str());
    // Only what lstat says of a path that came from the record or from a
    // node; the file is opened for its header only inside the drive root,
    // without following a link or waiting (a FIFO would), and only when it
    // is the regular file lstat saw.
    struct stat st {};
    if (lstat(f.Path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return f;
    f.Exists = true;
    f.Size = static_cast<uint64_t>(st.st_size);
    f.ModifiedNs = static_cast<uint64_t>(st.st_mtim.tv_sec) * 1000000000u + static_cast<uint64_t>(st.st_mtim.tv_nsec);
    std::string root = PFileDriveRoot();
    while (root.size() > 1 && root.back() == '/') root.pop_back();
    const bool inside = f.Path.compare(0, root.size() + 1, root + "/") == 0 && f.Path.find("/../") == std::string::npos;
    if (!mayOpen || !inside) return f;
    uint32_t crc = 0;
    uint64_t read = 0;
    const uint64_t changedNs =
        static_cast<uint64_t>(st.st_ctim.tv_sec) * 1000000000u + static_cast<uint64_t>(st.st_ctim.tv_nsec);
    std::string name;
    PDir* dir = PDirOpenParent(f.Path.c_str(), &name);
    if (!dir) return f;
    if (known && known->Known == 1 && known->Ino == static_cast<uint64_t>(st.st_ino) && known->Length == f.Size &&
        known->ModifiedNs == f.ModifiedNs && known->ChangedNs == changedNs) {
        // The file the service last read or wrote whole, unchanged since:
        // its checksum and header word from the service's record.
        f.FromService = true;
        f.HasHeader = f.Size >= 4;
        f.Header = f.HasHeader ? known->Header : 0;
        crc = known->Crc;
        read = known->Length;
    } else {
        // Read whole through the platform's file layer (a regular file
        // only, never through a link or waiting on a FIFO), and used only
        // when it is still the file lstat saw.
        uint64_t length = 0;
        uint32_t header = 0;
        const bool whole = ChecksumRetainFile(dir, name.c_str(), &length, &crc, &header);
        struct stat after {};
        if (!whole || lstat(f.Path.c_str(), &after) != 0 || after.st_dev != st.st_dev || after.st_ino != st.st_ino) {
            PDirClose(dir);
            return f;
        }
        read = length;
        f.HasHeader = length >= 4;
        f.Header = header;
    }
    CheckEntry entry;
    const CheckVerdict verdict = VerifyRetainFile(dir, read, crc, f.HasHeader ? f.Header : 0, &entry, &f.CheckWhy);
    PDirClose(dir);
    f.Check = verdict == CHECK_VERIFIED ? "verified" : verdict == CHECK_FAILED ? "failed" : "none";
    if (verdict != CHECK_FAILED) f.CheckWhy.clear();
    if (haveLayout) {
        f.HaveLayout = true;
        // The service's fold when it covers every node there is now (nodes
        // are only ever added): no name is digested again.
        f.LayoutHash = known && known->LayoutCount != 0 && known->LayoutCount == static_cast<uint32_t>(NodeCount())
                           ? known->LayoutHash
                           : ComputeLayoutHash();
        // The sum of the sizes from the value table, 16 bytes a node; by
        // the records (578 bytes a node) only when the table does not
        // check out.
        const int32_t count = std::max<int32_t>(NodeCount(), 0);
        uint64_t bytes = 0;
        uint32_t bad = 0;
        if (NodeCheckValues(count, &bytes, &bad) == 0) {
            f.Expected = 4 + bytes;
        } else {
            const NodeRecord* table = NodeTable();
            f.Expected = 4;
            for (int32_t i = 0; table && i < count; ++i) f.Expected += NodeSpaceValueSize(&table[i]);
        }
    }
    return f;
}

// The retain file the service uses: the path its record names, else the one
// OutPath gives now. Only the latter is opened (for its header), and only
// when the record names the same file.
static RetainFileView RetainFileOf(const ServiceView& view, bool haveSpace) {
    char outPath[128] = {};
    if (haveSpace) NodeReadStringByName("SERVICE.OvRetain.OutPath", outPath, sizeof outPath - 1);
    if (!outPath[0]) std::strcpy(outPath, "C:\\Orvale\\");
    const std::string fromNode = std::string(outPath) + "OvRetain.bin";
    const StatusFileRecord* known = view.HasRecord ? &view.Record.File : nullptr;
    if (!view.HasRecord || !view.Record.RetainPath[0]) return ReadRetainFileView(fromNode, haveSpace, true, known);
    const std::string fromRecord = view.Record.RetainPath;
    return ReadRetainFileView(fromRecord, haveSpace, fromRecord == PFileMapPath(fromNode.c_str()), known);
}

// Attaches to the node space for status and metrics: false, with the reason
// on err, when it is there but refused.
static bool AttachForStatus(const Invocation& inv, std::ostream& err, bool* haveSpace) {
    *haveSpace = false;
    if (!NodeSpaceExists(inv.Space)) return true;
    std::string error;
    if (!NodeSpaceAttach(inv.Space, false, &error)) {
        err << "ovnode: cannot open node space '" << ShownText(inv.Space) << "': " << ShownText(error) << "\n";
        return false;
    }
    *haveSpace = true;
    return true;
}

// The archive's status file (archive/archive_status.h): where its
// configuration says, else the default place for the node space; false when
// there is none (no archive runs here).
bool ReadArchiveView(const std::string& space, ArchiveStatus* status) {
    ArchiveConfig config;
    std::string why;
    const std::string path =
        ReadArchiveConfig(ArchiveConfigPath(), &config, &why) ? config.StatusFile : DefaultArchiveStatusFile(space);
    return ReadArchiveStatus(path, status);
}

int CommandStatus(const Invocation& inv, std::ostream& out, std::ostream& err) {
    bool haveSpace = false;
    if (!AttachForStatus(inv, err, &haveSpace)) return kExitFailure;
    const ServiceView view = ReadServiceView(inv.Space);
    const RetainFileView file = RetainFileOf(view, haveSpace);
    const ServiceStatus& r = view.Record;
    const int last = view.HasRecord ? LastSave(r) : -1;
    const bool lastFailed = last >= 0 && r.Kinds[last].LastOutcome == STATUS_OUTCOME_FAILED;
    const bool awaitsLoad = view.Running && (r.Flags & STATUS_FLAG_AWAITS_LOAD) != 0;

    if (inv.Json) {
        out << "{\"service\": {\"running\": " << (view.Running ? "true" : "false")
            << ", \"state\": " << JsonString(view.State());
        if (view.HasRecord) {
            out << ", \"pid\": " << r.Pid << ", \"started\": " << JsonString(Iso(r.StartedNs))
                << ", \"ended\": " << (r.EndedNs ? JsonString(Iso(r.EndedNs)) : "null")
                << ", \"consistent\": " << (view.Consistent ? "true" : "false");
        }
        if (!view.Running) out << ", \"why\": " << JsonString(view.Why);
        out << "},\n \"retain_file\": {\"path\": " << JsonString(file.Path)
            << ", \"exists\": " << (file.Exists ? "true" : "false");
        if (file.Exists) {
            out << ", \"size\": " << file.Size << ", \"modified\": " << JsonString(Iso(file.ModifiedNs))
                << ", \"check\": " << JsonString(file.Check) << ", \"check_why\": "
                << (file.CheckWhy.empty() ? "null" : JsonString(Printable(file.CheckWhy.c_str())));
            if (file.HaveLayout && file.HasHeader)
                out << ", \"expected_size\": " << file.Expected
                    << ", \"header_matches\": " << (file.HeaderMatches() ? "true" : "false");
        }
        out << "},\n \"operations\": {";
        for (int k = 0; view.HasRecord && k < kKindCount; ++k) {
            const StatusKindRecord& o = r.Kinds[k];
            out << (k ? ",\n  " : "\n  ") << JsonString(kKindNames[k])
                << ": {\"outcome\": " << JsonString(OutcomeName(o.LastOutcome))
                << ", \"last_start\": " << (o.LastStartNs ? JsonString(Iso(o.LastStartNs)) : "null")
                << ", \"duration_seconds\": " << Seconds(o.LastDurationNs, 6) << ", \"successes\": " << o.Successes
                << ", \"failures\": " << o.Failures << ", \"error\": " << JsonString(Printable(o.LastError)) << "}";
        }
        out << (view.HasRecord ? "\n },\n" : "},\n");
        if (view.HasRecord) {
            const StatusJournalRecord& j = r.Journal;
            out << " \"journal\": {\"on\": " << (j.PeriodMs ? "true" : "false") << ", \"period_ms\": " << j.PeriodMs
                << ", \"bytes\": " << j.Bytes << ", \"appends\": " << j.Appends
                << ", \"last_append\": " << (j.LastAppendNs ? JsonString(Iso(j.LastAppendNs)) : "null")
                << ", \"compactions\": " << j.Compactions << "},\n";
        }
        ArchiveStatus a;
        if (ReadArchiveView(inv.Space, &a))
            out << " \"archive\": {\"running\": " << (ArchiveStatusLive(a) ? "true" : "false")
                << ", \"state\": " << JsonString(a.State) << ", \"last_success\": "
                << (a.LastSuccess ? JsonString(Iso(static_cast<uint64_t>(a.LastSuccess) * 1000000000u)) : "null")
                << ", \"pending_bytes\": " << a.PendingBytes << ", \"uploads\": " << a.Uploads
                << ", \"errors\": " << a.Errors << ", \"last_set\": " << JsonString(a.LastSet)
                << ", \"error\": " << JsonString(Printable(a.LastError.c_str())) << "},\n";
        out << " \"last_save_failed\": " << (lastFailed ? "true" : "false")
            << ",\n \"awaits_first_load\": " << (awaitsLoad ? "true" : "false") << "}\n";
    } else {
        out << "service      ";
        if (view.Running)
            out << view.State() << ", pid " << r.Pid << ", started " << Iso(r.StartedNs) << "\n";
        else if (view.HasRecord)
            out << "not running (" << view.Why << "), was pid " << r.Pid << ", started " << Iso(r.StartedNs) << "\n";
        else
            out << "not running (" << view.Why << ")\n";
        if (view.HasRecord && !view.Consistent) out << "             the record was being written when read\n";
        out << "retain file  " << Printable(file.Path.c_str()) << "\n             ";
        if (!file.Exists) {
            out << "missing\n";
        } else {
            out << file.Size << " bytes, modified " << Iso(file.ModifiedNs);
            if (!file.HasHeader)
                out << ", header not read (not the file that OutPath names in the drive root)\n";
            else if (!file.HaveLayout)
                out << ", layout unknown (no node space)\n";
            else
                out << (file.HeaderMatches() ? ", header matches the layout" : ", header does not match the layout")
                    << (file.Size == file.Expected
                            ? ""
                            : ", length differs from the layout's " + std::to_string(file.Expected))
                    << "\n";
            out << "             check record: " << file.Check
                << (file.CheckWhy.empty() ? "" : ": " + Printable(file.CheckWhy.c_str())) << "\n";
        }
        for (int k = 0; view.HasRecord && k < kKindCount; ++k) {
            const StatusKindRecord& o = r.Kinds[k];
            char name[20];
            std::snprintf(name, sizeof name, "%-14s", kKindNames[k]);
            out << name;
            if (o.LastOutcome == STATUS_OUTCOME_NONE) {
                out << "never\n";
                continue;
            }
            out << OutcomeName(o.LastOutcome) << " " << Iso(o.LastStartNs) << " in " << Seconds(o.LastDurationNs, 3)
                << " s; " << o.Successes << " successes, " << o.Failures << " failures";
            if (o.LastError[0]) out << "; " << Printable(o.LastError);
            out << "\n";
        }
        if (view.HasRecord) {
            const StatusJournalRecord& j = r.Journal;
            out << "journal       ";
            if (j.PeriodMs)
                out << "on, every " << j.PeriodMs << " ms";
            else
                out << "off";
            // Figures of a journal turned off since remain until the next full save.
            if (j.PeriodMs || j.Appends || j.Compactions)
                out << "; " << j.Bytes << " bytes, " << j.Appends << " appends (last " << Iso(j.LastAppendNs) << "), "
                    << j.Compactions << " compactions";
            out << "\n";
        }
        ArchiveStatus a;
        if (ReadArchiveView(inv.Space, &a)) {
            out << "archive       " << (ArchiveStatusLive(a) ? a.State : std::string("not running"));
            out << ", last shipped " << (a.LastSuccess ? Iso(static_cast<uint64_t>(a.LastSuccess) * 1000000000u) : "-")
                << ", " << a.PendingBytes << " bytes pending; " << a.Uploads << " uploads, " << a.Errors << " errors";
            if (!a.LastSet.empty()) out << "; newest set " << a.LastSet;
            if (!a.LastError.empty()) out << "; " << Printable(a.LastError.c_str());
            out << "\n";
        }
        if (awaitsLoad) out << "the retain file awaits its first load: autosave waits\n";
        if (lastFailed) out << "the last save failed\n";
    }
    return view.Running && !lastFailed ? kExitOk : kExitFailure;
}

int CommandMetrics(const Invocation& inv, std::ostream& out, std::ostream& err) {
    bool haveSpace = false;
    if (!AttachForStatus(inv, err, &haveSpace)) return kExitFailure;
    const ServiceView view = ReadServiceView(inv.Space);
    const RetainFileView file = RetainFileOf(view, haveSpace);
    const ServiceStatus& r = view.Record;
    // Each family from the list of public names: its HELP and TYPE lines,
    // then its name for the samples.
    auto family = [&](const MetricFamilyInfo& f) -> const char* {
        out << "# HELP " << f.Name << " " << f.Help << "\n# TYPE " << f.Name << " " << f.Type << "\n";
        return f.Name;
    };
    out << family(kMetricUp) << " " << (view.Running ? 1 : 0) << "\n";
    out << family(kMetricPaused) << " " << (view.State() == "paused" ? 1 : 0) << "\n";
    out << family(kMetricBuildInfo) << "{version=\"" << LabelValue(ProjectVersion()) << "\"} 1\n";
    if (view.HasRecord) {
        out << family(kMetricStartTime) << " " << Seconds(r.StartedNs, 3) << "\n";
        const char* operations = family(kMetricOperations);
        for (int k = 0; k < kKindCount; ++k) {
            out << operations << "{kind=\"" << kKindNames[k] << "\",outcome=\"success\"} " << r.Kinds[k].Successes
                << "\n";
            out << operations << "{kind=\"" << kKindNames[k] << "\",outcome=\"failure\"} " << r.Kinds[k].Failures
                << "\n";
        }
        const MetricFamilyInfo* gauges[] = {&kMetricLastStartTime, &kMetricLastDuration, &kMetricLastSuccess};
        for (size_t g = 0; g < 3; ++g) {
            const char* name = family(*gauges[g]);
            for (int k = 0; k < kKindCount; ++k) {
                const StatusKindRecord& o = r.Kinds[k];
                if (o.LastOutcome == STATUS_OUTCOME_NONE) continue;
                out << name << "{kind=\"" << kKindNames[k] << "\"";
                if (g == 2 && o.LastOutcome == STATUS_OUTCOME_FAILED)
                    out << ",error=\"" << LabelValue(Printable(o.LastError)) << "\"";
                out << "} ";
                if (g == 0) out << Seconds(o.LastStartNs, 3);
                if (g == 1) out << Seconds(o.LastDurationNs, 6);
                if (g == 2) out << (o.LastOutcome == STATUS_OUTCOME_OK ? 1 : 0);
                out << "\n";
            }
        }
        const StatusJournalRecord& j = r.Journal;
        out << family(kMetricJournalPeriod) << " " << Seconds(uint64_t{j.PeriodMs} * 1000000u, 3) << "\n";
        out << family(kMetricJournalBytes) << " " << j.Bytes << "\n";
        out << family(kMetricJournalAppends) << " " << j.Appends << "\n";
        out << family(kMetricJournalCompactions) << " " << j.Compactions << "\n";
        if (j.LastAppendNs) out << family(kMetricJournalLastAppend) << " " << Seconds(j.LastAppendNs, 3) << "\n";
    }
    out << family(kMetricRetainFilePresent) << " " << (file.Exists ? 1 : 0) << "\n";
    if (file.Exists) {
        out << family(kMetricRetainFileSize) << " " << file.Size << "\n";
        out << family(kMetricRetainFileModified) << " " << Seconds(file.ModifiedNs, 3) << "\n";
        if (file.Check != "none")
            out << family(kMetricRetainFileVerified) << " " << (file.Check == "verified" ? 1 : 0) << "\n";
        if (file.HaveLayout && file.HasHeader)
            out << family(kMetricRetainFileHeaderMatch) << " " << (file.HeaderMatches() ? 1 : 0) << "\n";
    }
    ArchiveStatus a;
    if (ReadArchiveView(inv.Space, &a)) {
        out << family(kMetricArchiveUp) << " " << (ArchiveStatusLive(a) ? 1 : 0) << "\n";
        if (a.LastSuccess) out << family(kMetricArchiveLastSuccess) << " " << a.LastSuccess << "\n";
        out << family(kMetricArchivePending) << " " << a.PendingBytes << "\n";
        out << family(kMetricArchiveUploads) << " " << a.Uploads << "\n";
        out << family(kMetricArchiveErrors) << " " << a.Errors << "\n";
    }
    return kExitOk;
}

namespace {

// Writes trigger `name` and waits until a save or load of `kind` that began
// after the call has ended; its outcome.
int TriggerAndWait(const Invocation& inv, const char* trigger, StatusKind kind, std::ostream& out, std::ostream& err) {
    const std::string node = std::string("SERVICE.OvRetain.") + trigger;
    const char* what = kind == STATUS_TRIGGER_LOAD ? "load" : "save";
    if (!AttachExisting(inv, err)) return kExitFailure;
    if (!NodeSpaceFind(node.c_str())) return Fail(err, "unknown node " + node + " (has the service run?)");
    if (NodeSpaceServiceHolder(inv.Space) == 0)
        return Fail(err, "the service is not running on node space '" + inv.Space + "': " + trigger + " not written");
    if (!inv.Wait) {
        if (!WriteOne(node)) return Fail(err, "cannot write node " + node);
        return kExitOk;
    }
    ServiceView view = ReadServiceView(inv.Space);
    if (!view.Running) return Fail(err, "the service is not running (" + view.Why + ")");
    const pid_t pid = view.Record.Pid;
    // Any operation numbered past `begun` started after this point, so it
    // covers every value written before the command.
    const uint64_t begun = view.Record.Kinds[kind].Begun;
    if (!WriteOne(node)) return Fail(err, "cannot write node " + node);
    // With --json, every end of the wait is one object on stdout: the
    // outcome as status gives it ("none" when the wait ended without one).
    // `k` is the kind's record when read whole, `done` when it holds this
    // command's operation.
    auto json = [&](const StatusKindRecord* k, bool done, const std::string& why) {
        if (!inv.Json) return;
        out << "{\"kind\": " << JsonString(kKindNames[kind])
            << ", \"outcome\": " << JsonString(OutcomeName(done ? k->LastOutcome : STATUS_OUTCOME_NONE))
            << ", \"pid\": " << pid << ", \"started\": " << (done ? JsonString(Iso(k->LastStartNs)) : "null")
            << ", \"duration_seconds\": " << (done ? Seconds(k->LastDurationNs, 6) : "null")
            << ", \"successes\": " << (k ? k->Successes : 0) << ", \"failures\": " << (k ? k->Failures : 0)
            << ", \"error\": " << (why.empty() ? "null" : JsonString(why)) << "}\n";
    };
    auto failed = [&](const StatusKindRecord* k, const std::string& why) {
        json(k, false, why);
        return Fail(err, why);
    };
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(inv.Timeout);
    for (;;) {
        view = ReadServiceView(inv.Space);
        if (!view.HasRecord || view.Record.Pid != pid || !view.Running)
            return failed(nullptr, "the service ended before it handled the " + std::string(what));
        const StatusKindRecord& k = view.Record.Kinds[kind];
        if (view.Consistent && k.Successes + k.Failures > begun) {
            if (k.LastOutcome == STATUS_OUTCOME_OK) {
                if (inv.Json)
                    json(&k, true, "");
                else
                    out << what << " succeeded in " << Seconds(k.LastDurationNs, 3) << " s\n";
                return kExitOk;
            }
            json(&k, true, k.LastError[0] ? k.LastError : "failed");  // the service's own text
            return Fail(
                err, std::string(what) + " failed" + (k.LastError[0] ? ": " + Printable(k.LastError) : std::string()));
        }
        // A trigger written while the service was resetting it after an
        // earlier operation is lost: write it again.
        uint32_t value = 1;
        if (view.Consistent && k.Begun == begun && ReadNumber(node, &value) && value == 0) {
            ServiceView again = ReadServiceView(inv.Space);
            if (again.Consistent && again.Record.Kinds[kind].Begun == begun) WriteOne(node);
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            uint32_t run = 1;
            ReadNumber("SERVICE.OvRetain.Run", &run);
            return failed(view.Consistent ? &k : nullptr, "timed out waiting for the " + std::string(what) +
                                                              (run == 0 ? " (Run is 0: the service is paused)" : ""));
        }
        Sleep();
    }
}

}  // namespace

int CommandSave(const Invocation& inv, std::ostream& out, std::ostream& err) {
    return TriggerAndWait(inv, "Save", STATUS_TRIGGER_SAVE, out, err);
}

int CommandLoad(const Invocation& inv, std::ostream& out, std::ostream& err) {
    return TriggerAndWait(inv, "Load", STATUS_TRIGGER_LOAD, out, err);
}

int WaitForServiceRunning(const Invocation& inv, pid_t pid, std::ostream& out, std::ostream& err) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(inv.Timeout);
    for (;;) {
        const ServiceView view = ReadServiceView(inv.Space);
        if (view.HasRecord && view.Record.Pid == pid && !view.Running)
            return Fail(err, "the service ended before it ran (" + view.Why + ")");
        if (view.HasRecord && view.Record.Pid == pid && view.Consistent && view.State() == "running") {
            out << "service running\n";
            return kExitOk;
        }
        if (std::chrono::steady_clock::now() >= deadline)
            return Fail(err, "timed out waiting for the service to run (state " + view.State() + ")");
        Sleep();
    }
}

int WaitForServiceEnd(const Invocation& inv, pid_t pid, const ServiceView& before, std::ostream& out,
                      std::ostream& err) {
    const bool hadRecord = before.HasRecord && before.Record.Pid == pid;
    const uint64_t stopsBefore = hadRecord ? before.Record.Kinds[STATUS_STOP_SAVE].Begun : 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(inv.Timeout);
    auto late = [&] { return std::chrono::steady_clock::now() >= deadline; };
    for (;;) {
        ServiceView view = ReadServiceView(inv.Space);
        bool ours = hadRecord && view.HasRecord && view.Record.Pid == pid;
        bool ended = ours && view.Consistent && view.Record.State == STATUS_STATE_ENDED;
        if (ended || !StatusProcessRuns(pid, kStatusAnyUser)) {
            // The record says so just before the process returns: wait for
            // the process itself, every thread of it, and for the node
            // space's single-instance lock to be let go, so that a destroy
            // or a new start right after is not refused.
            auto holds = [&] {
                return StatusProcessRuns(pid, kStatusAnyUser) || NodeSpaceServiceHolder(inv.Space) == pid;
            };
            while (holds() && !late()) Sleep();
            if (holds()) return Fail(err, "timed out waiting for the service to end");
            // The record as the process left it: it may have said so after
            // the look above and before the process ended.
            view = ReadServiceView(inv.Space);
            ours = hadRecord && view.HasRecord && view.Record.Pid == pid;
            ended = ours && view.Consistent && view.Record.State == STATUS_STATE_ENDED;
            if (!ours) return Fail(err, "service ended; its outcome is unknown (no status record)");
            if (!ended) return Fail(err, "service ended without a clean shutdown");
            const StatusKindRecord& k = view.Record.Kinds[STATUS_STOP_SAVE];
            if (k.Begun <= stopsBefore || k.LastOutcome == STATUS_OUTCOME_NONE) {
                out << "service ended\n";
                return kExitOk;
            }
            if (k.LastOutcome == STATUS_OUTCOME_OK) {
                out << "service ended; its stop save succeeded\n";
                return kExitOk;
            }
            return Fail(err, "service ended; its stop save failed" +
                                 (k.LastError[0] ? ": " + Printable(k.LastError) : std::string()));
        }
        if (late()) return Fail(err, "timed out waiting for the service to end");
        Sleep();
    }
}

}  // namespace ovnode
