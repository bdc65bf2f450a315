#include "ovnode/commands.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <ostream>
#include <set>
#include <sstream>
#include <thread>
#include <unordered_map>

#include "common/json_text.h"
#include "common/shown_text.h"
#include "nodespace/nodespace_admin.h"
#include "nodespace/ovhgapi.h"
#include "ovnode/layout.h"
#include "ovnode/layout_stream.h"
#include "ovnode/shown_text.h"
#include "ovnode/status_view.h"
#include "ovnode/value_codec.h"
#include "rtkernel/rtadmin.h"

namespace ovnode {
namespace {

// Why a read of the node space gave nothing to trust.
const char kUnreadable[] = "the node space's lock was held past its deadline by a live process, or its memory is gone";

struct NodeInfo {
    uint32_t Index = 0;
    uint16_t Type = 0;
    uint16_t Size = 0;
};

// Messages may quote names and texts from the node space or the command
// line: they are shown escaped, never raw.
int Fail(std::ostream& err, const std::string& what) {
    err << "ovnode: " << ShownText(what) << "\n";
    return kExitFailure;
}

int Usage(std::ostream& err, const std::string& what) {
    err << "ovnode: " << ShownText(what) << "\n";
    return kExitUsage;
}

// Attaches to the node space of the invocation. Reads pass create = false so
// that looking never brings a node space into being.
bool Attach(const Invocation& inv, bool create, std::ostream& err, uint32_t capacity = 0) {
    if (!create && !NodeSpaceExists(inv.Space)) {
        err << "ovnode: node space '" << ShownText(inv.Space) << "' does not exist\n";
        return false;
    }
    std::string error;
    if (!NodeSpaceAttach(inv.Space, create, &error, capacity)) {
        err << "ovnode: cannot open node space '" << ShownText(inv.Space) << "': " << ShownText(error) << "\n";
        return false;
    }
    return true;
}

// The capacity of the node space that creations go to: that of the one
// there (attached), else the one it will be made with (--capacity, else
// OVNODE_CAPACITY, else the default). A --capacity that an existing node
// space does not have is refused: a node space keeps its capacity.
bool TargetCapacity(const Invocation& inv, uint32_t* capacity, std::ostream& err) {
    if (NodeSpaceExists(inv.Space)) {
        if (!Attach(inv, false, err)) return false;
        *capacity = NodeSpaceCapacity();
        if (inv.Capacity && inv.Capacity != *capacity) {
            err << "ovnode: node space '" << ShownText(inv.Space) << "' exists with a capacity of " << *capacity
                << " nodes: --capacity applies when one is made (remove it with 'ovnode destroy' first)\n";
            return false;
        }
        return true;
    }
    std::string why;
    if (inv.Capacity)
        *capacity = inv.Capacity;
    else if (!NodeSpaceCreationCapacity(capacity, &why)) {
        err << "ovnode: " << ShownText(why) << "\n";
        return false;
    }
    return true;
}

std::string RecordName(const NodeRecord& record) {
    return std::string(record.Name, strnlen(record.Name, sizeof(record.Name)));
}

bool FindNode(const std::string& name, NodeInfo* info) {
    uint32_t index = NodeSpaceFind(name.c_str());
    const NodeRecord* record = index ? NodeSpaceRecord(index) : nullptr;
    if (!record) return false;
    info->Index = index;
    info->Type = record->Type;
    info->Size = NodeSpaceValueSize(record);
    return true;
}

std::vector<uint8_t> ReadNodeValue(uint32_t index, uint16_t size) {
    std::vector<uint8_t> value(size, 0);
    if (size) NodeReadData(index, value.data(), size);
    return value;
}

// Creates one node at value zero; a text node through NodeCreateString.
// 0, or the library's errno value.
int32_t CreateNode(const std::string& name, uint16_t type, uint16_t size) {
    if (type == kTypeText) {
        uint8_t scratch[32] = {};
        uint32_t scratchWord = 0;
        return NodeCreateString(name.c_str(), type, size, "", "", scratch, sizeof(scratch), &scratchWord);
    }
    return NodeCreate(name.c_str(), type, size, "", "");
}

std::string CreateError(int32_t rc) {
    const uint32_t capacity = NodeSpaceCapacity();
    if (rc == ENOSPC && capacity && static_cast<uint32_t>(std::max(NodeCount(), 0)) >= capacity)
        return "the node space is full: it holds " + std::to_string(capacity) +
               " nodes, the capacity it was made with (--capacity or OVNODE_CAPACITY when it is made)";
    return rc == ENOSPC ? "the node space is full or /dev/shm has no room left (" + std::string(std::strerror(rc)) + ")"
                        : std::strerror(rc);
}

bool WriteNodeValue(const std::string& name, const std::vector<uint8_t>& value) {
    static const uint8_t kNothing = 0;
    return NodeWriteByName(name.c_str(), value.empty() ? &kNothing : value.data(),
                           static_cast<uint16_t>(value.size())) == 0;
}

// Shows a value or name as get and list print it: control characters, bytes
// that are not UTF-8 and backslashes escaped (common/shown_text.h), so that
// a row stays one line, drives no terminal and reads back with set --escaped.
std::string TableValue(const std::string& value) {
    return ShownText(value, true);
}

// One node as get --json and list --json give it: the value a number for
// the numeric types, else a string.
std::string NodeJson(uint32_t index, const std::string& name, uint16_t type, uint16_t size, const std::string& value) {
    const ValueKind kind = KindOfType(type);
    const bool numeric = kind == ValueKind::Unsigned || kind == ValueKind::Signed;
    return "{\"index\": " + std::to_string(index) + ", \"name\": " + JsonText(name) +
           ", \"type\": " + std::to_string(type) + ", \"size\": " + std::to_string(size) +
           ", \"value\": " + (numeric ? value : JsonText(value)) + "}";
}

const char* EventName(uint32_t event) {
    switch (event) {
        case 101:
            return "EM_SERVICE_STOP";
        case 102:
            return "EM_SERVICE_RUN";
        default:
            return "EM_SERVICE_PAUSE";
    }
}

// The process that service and notify send to: the node space's service as
// the kernel names it (the holder of its instance lock, running ovretain),
// never whatever pid a catalogue entry holds, since any member of the group
// can write those. A --to NAME that no entry has sends nothing; an entry that
// names another process is said and ignored. 0 when nothing may be sent.
pid_t ServiceTarget(const Invocation& inv, uint64_t* start, std::ostream& err) {
    RtSelectInstance(inv.Space);
    uint64_t entryStart = 0;
    const pid_t entry = RtFindProcess(inv.To, &entryStart);
    if (entry == 0 && inv.ToGiven) {
        Fail(err, "no process is catalogued as " + inv.To + ": nothing sent");
        return 0;
    }
    std::string why;
    const pid_t pid = NodeSpaceServiceProcess(inv.Space, kServiceProgram, start, &why);
    if (pid == 0) {
        Fail(err, why);
        return 0;
    }
    if (entry != 0 && (entry != pid || entryStart != *start))
        err << "ovnode: the catalogue entry " << ShownText(inv.To) << " names process " << entry
            << ", not the node space's service (process " << pid << "): entry ignored\n";
    return pid;
}

// Waits until the node space's service has passed start-up (its record says
// it polls); false at the deadline.
bool AwaitStartedService(const Invocation& inv) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(inv.Timeout);
    for (;;) {
        const ServiceView view = ReadServiceView(inv.Space);
        if (view.Running && view.State() != "starting") return true;
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

// The first name of a layout that stands a second time, among the nodes
// whose name hashes to one of `hashes` (sorted) with another: "line N: node
// X is already given on line M". True when there is none (two names met by
// their hash alone). Reads the stream from its first node.
bool FindRepeatedName(LayoutStream* stream, const std::vector<uint64_t>& hashes, std::string* error) {
    std::vector<uint64_t> shared;
    for (size_t i = 1; i < hashes.size(); ++i)
        if (hashes[i] == hashes[i - 1] && (shared.empty() || shared.back() != hashes[i])) shared.push_back(hashes[i]);
    std::unordered_map<std::string, size_t> seen;
    LayoutNode node;
    LayoutStep step;
    while ((step = NextLayoutNode(stream, &node, error)) == LAYOUT_NODE) {
        if (!std::binary_search(shared.begin(), shared.end(), std::hash<std::string>()(node.Name))) continue;
        auto [it, fresh] = seen.emplace(node.Name, node.Line);
        if (!fresh) {
            *error = "line " + std::to_string(node.Line) + ": node " + node.Name + " is already given on line " +
                     std::to_string(it->second);
            return false;
        }
    }
    return step == LAYOUT_END;
}

// Lines on standard error while a long layout is read: one every few
// seconds, and one at the end of each pass, when shown.
struct LayoutProgress {
    bool Shown;
    uint64_t FileSize;
    std::ostream& Err;
    const char* Pass = "";
    std::chrono::steady_clock::time_point Started, Last;

    LayoutProgress(bool shown, uint64_t size, std::ostream& err) : Shown(shown), FileSize(size), Err(err) {}
    void Begin(const char* pass) {
        Pass = pass;
        Started = Last = std::chrono::steady_clock::now();
    }
    void Step(uint64_t offset, size_t nodes) {
        if (!Shown || nodes % 4096 != 0) return;
        const auto now = std::chrono::steady_clock::now();
        if (now - Last < std::chrono::seconds(3)) return;
        Last = now;
        Err << "ovnode: load-layout: " << Pass << " " << nodes << " nodes, "
            << (FileSize ? offset * 100 / FileSize : 100) << "% of the file\n"
            << std::flush;
    }
    void End(size_t nodes) {
        if (!Shown) return;
        const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - Started).count();
        char text[32];
        std::snprintf(text, sizeof text, "%.1f", seconds);
        Err << "ovnode: load-layout: " << Pass << " " << nodes << " nodes in " << text << " s\n" << std::flush;
    }
};

}  // namespace

std::string JsonString(const std::string& text) {
    return JsonText(text);
}

int CommandCreate(const Invocation& inv, std::ostream&, std::ostream& err) {
    const std::string& name = inv.Args[0];
    std::string why;
    uint16_t type = 0, size = 0;
    if (!CheckNewNodeName(name, &why)) return Usage(err, why);
    if (!ParseTypeCode(inv.Args[1], &type, &why)) return Usage(err, why);
    if (!ResolveNodeSize(type, inv.Args.size() > 2 ? inv.Args[2] : "", &size, &why)) return Usage(err, why);
    uint32_t capacity = 0;
    if (!TargetCapacity(inv, &capacity, err) || !Attach(inv, true, err, capacity)) return kExitFailure;
    NodeInfo info;
    if (FindNode(name, &info)) return Fail(err, "node " + name + " exists already");
    if (int32_t rc = CreateNode(name, type, size))
        return Fail(err, "cannot create node " + name + ": " + CreateError(rc));
    return kExitOk;
}

int CommandSet(const Invocation& inv, std::ostream&, std::ostream& err) {
    const std::string& name = inv.Args[0];
    std::string why;
    if (!CheckNodeName(name, &why)) return Usage(err, why);
    // A set can only succeed on a node that exists, so it never creates a
    // node space either.
    if (!Attach(inv, false, err)) return kExitFailure;
    NodeInfo info;
    if (!FindNode(name, &info)) return Fail(err, "unknown node " + name);
    // --escaped: the form get and list print, read back to the bytes it shows.
    std::string text = inv.Args[1];
    if (inv.Escaped && !ReadShownText(inv.Args[1], &text, &why)) return Usage(err, "value: " + why);
    std::vector<uint8_t> value;
    if (!ParseValue(info.Type, info.Size, text, &value, &why)) return Usage(err, why);
    if (!WriteNodeValue(name, value)) return Fail(err, "cannot write node " + name);
    return kExitOk;
}

int CommandGet(const Invocation& inv, std::ostream& out, std::ostream& err) {
    std::string why;
    for (const std::string& name : inv.Args)
        if (!CheckNodeName(name, &why)) return Usage(err, why);
    if (!Attach(inv, false, err)) return kExitFailure;
    // One name: its value alone. Several: NAME, a TAB and the value on each
    // line (neither holds a TAB once escaped), or a JSON array as list gives.
    const bool several = inv.Args.size() > 1;
    int status = kExitOk;
    bool any = false;
    if (inv.Json && several) out << "[";
    for (const std::string& name : inv.Args) {
        NodeInfo info;
        if (!FindNode(name, &info)) {
            status = Fail(err, "unknown node " + name);
            continue;
        }
        const uint32_t failures = NodeAccessFailures();
        const std::string value = FormatValue(info.Type, ReadNodeValue(info.Index, info.Size));
        if (NodeAccessFailures() != failures) {
            status = Fail(err, "cannot read node " + name + ": " + kUnreadable);
            continue;
        }
        if (inv.Json)
            out << (several ? (any ? ",\n " : "\n ") : "") << NodeJson(info.Index, name, info.Type, info.Size, value)
                << (several ? "" : "\n");
        else if (several)
            out << TableValue(name) << "\t" << TableValue(value) << "\n";
        else
            out << TableValue(value) << "\n";
        any = true;
    }
    if (inv.Json && several) out << (any ? "\n]\n" : "]\n");
    return status;
}

int CommandList(const Invocation& inv, std::ostream& out, std::ostream& err) {
    if (!Attach(inv, false, err)) return kExitFailure;
    // Nodes added while listing are left out: the count is taken once.
    const uint32_t failures = NodeAccessFailures();
    const int32_t count = std::max<int32_t>(NodeCount(), 0);
    const NodeRecord* table = count ? NodeTable() : nullptr;
    // --prefix: compared in place, without a copy of every name.
    const std::string& prefix = inv.Prefix;
    auto shown = [&](const NodeRecord& r) {
        return prefix.size() <= sizeof r.Name && std::strncmp(r.Name, prefix.c_str(), prefix.size()) == 0;
    };

    if (inv.Names) {
        for (int32_t i = 0; i < count; ++i)
            if (shown(table[i])) out << TableValue(RecordName(table[i])) << "\n";
        return kExitOk;
    }

    if (inv.Json) {
        out << "[";
        bool any = false;
        for (int32_t i = 0; i < count; ++i) {
            const NodeRecord& r = table[i];
            if (!shown(r)) continue;
            const uint16_t size = NodeSpaceValueSize(&r);
            const std::string value = FormatValue(r.Type, ReadNodeValue(r.Index, size));
            out << (any ? ",\n " : "\n ") << NodeJson(r.Index, RecordName(r), r.Type, size, value);
            any = true;
        }
        out << (any ? "\n]\n" : "]\n");
        if (NodeAccessFailures() != failures) return Fail(err, std::string("values may be missing: ") + kUnreadable);
        return kExitOk;
    }

    // Two passes: widths first, so that a large table needs no copy of itself.
    size_t wIndex = 5, wName = 4, wType = 4, wSize = 4;
    for (int32_t i = 0; i < count; ++i) {
        const NodeRecord& r = table[i];
        if (!shown(r)) continue;
        wIndex = std::max(wIndex, std::to_string(r.Index).size());
        wName = std::max(wName, TableValue(RecordName(r)).size());
        wType = std::max(wType, std::to_string(r.Type).size());
        wSize = std::max(wSize, std::to_string(NodeSpaceValueSize(&r)).size());
    }
    auto row = [&](const std::string& index, const std::string& name, const std::string& type, const std::string& size,
                   const std::string& value) {
        std::string line;
        line.append(wIndex - std::min(wIndex, index.size()), ' ').append(index).append("  ");
        line.append(name).append(wName - std::min(wName, name.size()), ' ').append("  ");
        line.append(wType - std::min(wType, type.size()), ' ').append(type).append("  ");
        line.append(wSize - std::min(wSize, size.size()), ' ').append(size).append("  ");
        line.append(value);
        while (!line.empty() && line.back() == ' ') line.pop_back();
        out << line << "\n";
    };
    row("INDEX", "NAME", "TYPE", "SIZE", "VALUE");
    for (int32_t i = 0; i < count; ++i) {
        const NodeRecord& r = table[i];
        if (!shown(r)) continue;
        const uint16_t size = NodeSpaceValueSize(&r);
        row(std::to_string(r.Index), TableValue(RecordName(r)), std::to_string(r.Type), std::to_string(size),
            TableValue(FormatValue(r.Type, ReadNodeValue(r.Index, size))));
    }
    if (NodeAccessFailures() != failures) return Fail(err, std::string("values may be missing: ") + kUnreadable);
    return kExitOk;
}

int CommandLoadLayout(const Invocation& inv, std::ostream& out, std::ostream& err) {
    const std::string& path = inv.Args[0];
    LayoutStream stream;
    std::string problem;
    if (!OpenLayoutStream(path, &stream, &problem))
        return Fail(err, "cannot read layout file " + path + ": " + problem);
    struct Closer {
        LayoutStream* Stream;
        ~Closer() { CloseLayoutStream(Stream); }
    } closer{&stream};
    uint32_t capacity = 0;
    if (!TargetCapacity(inv, &capacity, err)) return kExitFailure;
    LayoutProgress progress(inv.Progress || isatty(STDERR_FILENO), stream.Size, err);

    // The whole file is checked before anything is created: each node, that
    // they fit the node space, and that no name stands twice (by a hash of
    // each name, 8 bytes a node; the names themselves only when two hashes
    // meet).
    std::vector<uint64_t> hashes;
    LayoutNode node;
    std::string why;
    LayoutStep step;
    progress.Begin("checked");
    while ((step = NextLayoutNode(&stream, &node, &why)) == LAYOUT_NODE) {
        if (hashes.size() >= capacity)
            return Fail(err, path + ": line " + std::to_string(node.Line) + ": more nodes than the node space holds (" +
                                 std::to_string(capacity) + ", the capacity it " +
                                 (NodeSpaceCapacity() ? "was made with)" : "would be made with)"));
        hashes.push_back(std::hash<std::string>()(node.Name));
        progress.Step(LayoutStreamOffset(stream), hashes.size());
    }
    if (step == LAYOUT_ERROR) return Fail(err, path + ": " + why);
    const size_t total = hashes.size();
    std::sort(hashes.begin(), hashes.end());
    if (std::adjacent_find(hashes.begin(), hashes.end()) != hashes.end()) {
        if (!RewindLayoutStream(&stream, &why)) return Fail(err, "cannot read layout file " + path + ": " + why);
        if (!FindRepeatedName(&stream, hashes, &why)) return Fail(err, path + ": " + why);
    }
    std::vector<uint64_t>().swap(hashes);
    progress.End(total);

    if (!RewindLayoutStream(&stream, &why)) return Fail(err, "cannot read layout file " + path + ": " + why);
    if (!Attach(inv, true, err, capacity)) return kExitFailure;
    size_t created = 0, kept = 0;
    progress.Begin("created");
    while ((step = NextLayoutNode(&stream, &node, &why)) == LAYOUT_NODE) {
        progress.Step(LayoutStreamOffset(stream), created + kept + 1);
        NodeInfo info;
        if (FindNode(node.Name, &info)) {
            ++kept;
            continue;
        }
        if (int32_t rc = CreateNode(node.Name, node.Type, node.Size)) {
            // Another process may have created it meanwhile.
            if (FindNode(node.Name, &info)) {
                ++kept;
                continue;
            }
            return Fail(err, path + ": line " + std::to_string(node.Line) + ": cannot create node " + node.Name + ": " +
                                 CreateError(rc) + " (created " + std::to_string(created) + " before it)");
        }
        ++created;
        if (node.HasValue && !WriteNodeValue(node.Name, node.Value))
            return Fail(err, path + ": line " + std::to_string(node.Line) + ": cannot write node " + node.Name);
    }
    // Checked whole before: a fault now means the file changed under us.
    if (step == LAYOUT_ERROR || created + kept != total)
        return Fail(err, path + ": changed while it was read (created " + std::to_string(created) + ", kept " +
                             std::to_string(kept) + " before that)");
    progress.End(created);
    if (inv.Json)
        out << "{\"created\": " << created << ", \"kept\": " << kept << "}\n";
    else
        out << "created " << created << ", kept " << kept << "\n";
    return kExitOk;
}

int CommandService(const Invocation& inv, std::ostream& out, std::ostream& err) {
    static const std::map<std::string, uint32_t> kEvents = {{"run", 102}, {"pause", 103}, {"stop", 101}};
    auto it = kEvents.find(inv.Args[0]);
    if (it == kEvents.end()) return Usage(err, "unknown service action '" + inv.Args[0] + "' (run, pause or stop)");
    const uint32_t event = it->second;
    if (inv.Wait && event == 103) return Usage(err, "option --wait applies to service run and stop only");
    if (!Attach(inv, false, err)) return kExitFailure;
    // run --wait first waits for a service that is still starting: its
    // handler takes events once it polls.
    if (inv.Wait && event == 102 && !AwaitStartedService(inv))
        return Fail(err, "timed out waiting for a service to start");
    uint64_t start = 0;
    const pid_t pid = ServiceTarget(inv, &start, err);
    if (pid == 0) return kExitFailure;
    std::string error;
    const ServiceView before = inv.Wait ? ReadServiceView(inv.Space) : ServiceView();
    if (!NodeSpaceSendControl(pid, event, &error, start))
        return Fail(
            err, "cannot send " + std::string(EventName(event)) + " to process " + std::to_string(pid) + ": " + error);
    out << "sent " << EventName(event) << " (" << event << ") to process " << pid << "\n";
    if (inv.Wait && event == 102) return WaitForServiceRunning(inv, pid, out, err);
    if (inv.Wait) return WaitForServiceEnd(inv, pid, before, out, err);
    return kExitOk;
}

int CommandNotify(const Invocation& inv, std::ostream& out, std::ostream& err) {
    uint64_t code = 0;
    std::string why;
    if (!ParseUnsigned(inv.Args[0], 0xFFFFFFFFu, &code, &why)) return Usage(err, "event code " + why);
    if (!Attach(inv, false, err)) return kExitFailure;
    uint64_t start = 0;
    const pid_t pid = ServiceTarget(inv, &start, err);
    if (pid == 0) return kExitFailure;
    std::string error;
    if (!RtSendEvent(pid, static_cast<uint32_t>(code), &error, start))
        return Fail(err,
                    "cannot send event " + std::to_string(code) + " to process " + std::to_string(pid) + ": " + error);
    out << "sent event " << code << " to process " << pid << "\n";
    return kExitOk;
}

int CommandCatalog(const Invocation& inv, std::ostream& out, std::ostream& err) {
    if (!Attach(inv, false, err)) return kExitFailure;
    RtSelectInstance(inv.Space);
    std::vector<RtCatalogEntry> entries;
    std::string error;
    if (!RtReadCatalog(&entries, &error)) return Fail(err, "cannot read the catalogue: " + error);

    if (inv.Json) {
        out << "[";
        for (size_t i = 0; i < entries.size(); ++i) {
            const RtCatalogEntry& e = entries[i];
            out << (i ? ",\n " : "\n ") << "{\"name\": " << JsonString(e.Name) << ", \"kind\": " << JsonString(e.Kind)
                << ", \"pid\": " << e.Pid << ", \"tid\": " << e.Tid << ", \"priority\": " << e.Priority
                << ", \"process\": " << JsonString(e.Process) << "}";
        }
        out << (entries.empty() ? "]\n" : "\n]\n");
        return kExitOk;
    }

    struct Row {
        std::string Name, Kind, Pid, Tid, Priority;
    };
    std::vector<Row> rows;
    std::set<pid_t> shown;  // a process catalogued under two root names shows its own entries once
    for (const RtCatalogEntry& root : entries) {
        if (!root.Process.empty()) continue;
        rows.push_back({TableValue(root.Name), root.Kind, std::to_string(root.Pid),
                        root.Tid ? std::to_string(root.Tid) : "",
                        root.Priority >= 0 ? std::to_string(root.Priority) : ""});
        if (root.Kind != "process" || !shown.insert(root.Pid).second) continue;
        for (const RtCatalogEntry& own : entries) {
            if (own.Process.empty() || own.Pid != root.Pid) continue;
            rows.push_back({"  " + TableValue(own.Name), own.Kind, std::to_string(own.Pid),
                            own.Tid ? std::to_string(own.Tid) : "",
                            own.Priority >= 0 ? std::to_string(own.Priority) : ""});
        }
    }
    size_t wName = 4, wKind = 4, wPid = 3, wTid = 3;
    for (const Row& r : rows) {
        wName = std::max(wName, r.Name.size());
        wKind = std::max(wKind, r.Kind.size());
        wPid = std::max(wPid, r.Pid.size());
        wTid = std::max(wTid, r.Tid.size());
    }
    auto print = [&](const Row& r) {
        std::string line = r.Name;
        line.append(wName - r.Name.size() + 2, ' ').append(r.Kind).append(wKind - r.Kind.size() + 2, ' ');
        line.append(wPid - r.Pid.size(), ' ').append(r.Pid).append("  ");
        line.append(wTid - r.Tid.size(), ' ').append(r.Tid).append("  ").append(r.Priority);
        while (!line.empty() && line.back() == ' ') line.pop_back();
        out << line << "\n";
    };
    print({"NAME", "KIND", "PID", "TID", "PRIORITY"});
    for (const Row& r : rows) print(r);
    return kExitOk;
}

int CommandDestroy(const Invocation& inv, std::ostream& out, std::ostream& err) {
    const bool existed = NodeSpaceExists(inv.Space);
    const pid_t service = existed ? NodeSpaceServiceHolder(inv.Space) : 0;
    if (service != 0 && !inv.Force)
        return Fail(err, "a service (process " + std::to_string(service) + ") runs on node space '" + inv.Space +
                             "'; stop it first, or give --force");
    std::string error;
    if (existed && !NodeSpaceDestroy(inv.Space, &error))
        return Fail(err, "cannot remove node space '" + inv.Space + "': " + error);
    RtDestroyInstance(inv.Space);
    StatusSegmentRemove(inv.Space);  // the service's status record, when one is left
    if (!existed) return Fail(err, "node space '" + inv.Space + "' does not exist");
    out << "removed node space " << inv.Space << "\n";
    return kExitOk;
}

}  // namespace ovnode
