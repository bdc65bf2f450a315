// ovnode archive: the sets that ovretain-archive keeps in the object store
// (archive/archive_sets.h), listed, read back, checked and restored into the
// node space by name. A restore reads the set into a private temporary
// directory and hands it to retain-restore, so the values reach the nodes
// by the same matching as any retain file's.
#include <stdlib.h>
#include <unistd.h>

#include <ctime>
#include <iomanip>
#include <ostream>
#include <sstream>
#include <vector>

#include "archive/archive_config.h"
#include "archive/archive_sets.h"
#include "ovnode/commands.h"

namespace ovnode {
namespace {

bool Connect(const Invocation& inv, S3Store* store, std::string* prefix, std::ostream& err) {
    ArchiveConfig config;
    std::string why;
    if (!ReadArchiveConfig(ArchiveConfigPath(), &config, &why)) {
        err << "ovnode: archive configuration refused: " << why << "\n";
        return false;
    }
    store->Endpoint = config.Endpoint;
    store->Bucket = config.Bucket;
    store->Region = config.Region;
    store->AccessKey = config.AccessKey;
    store->Secret = config.Secret;
    store->CaFile = config.CaFile;
    *prefix = inv.From.empty() ? config.Prefix : inv.From;
    if (prefix->back() != '/') *prefix += '/';
    return true;
}

std::string Stamp(int64_t seconds) {
    time_t t = static_cast<time_t>(seconds);
    struct tm tm {};
    gmtime_r(&t, &tm);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &tm);
    return text;
}

std::string Hex8(uint32_t value) {
    std::ostringstream out;
    out << std::hex << std::setw(8) << std::setfill('0') << value;
    return out.str();
}

int ListFleet(S3Store* store, std::ostream& out, std::ostream& err) {
    std::vector<S3Object> markers;
    S3Result result;
    if (!S3List(store, "fleet/", &markers, &result)) {
        err << "ovnode: cannot list the bucket: " << S3Describe(result) << "\n";
        return kExitFailure;
    }
    const int64_t now = static_cast<int64_t>(std::time(nullptr));
    for (const S3Object& marker : markers) {
        const std::string suffix = "newest";
        if (marker.Key.size() < 6 + suffix.size()) continue;
        const std::string prefix = marker.Key.substr(6, marker.Key.size() - 6 - suffix.size());
        std::vector<uint8_t> body;
        bool found = false;
        if (!S3Get(store, marker.Key, &body, &found, &result)) {
            err << "ovnode: cannot read " << marker.Key << ": " << S3Describe(result) << "\n";
            return kExitFailure;
        }
        const int64_t modified = S3TimeSeconds(marker.LastModified);
        out << prefix << "  " << std::string(body.begin(), body.end()) << "  age "
            << (modified < 0 ? std::string("?") : std::to_string(now - modified) + " s") << "\n";
    }
    return kExitOk;
}

int List(const Invocation& inv, S3Store* store, const std::string& prefix, std::ostream& out, std::ostream& err) {
    std::vector<ArchiveSet> sets;
    S3Result result;
    if (!ListArchiveSets(store, prefix, &sets, &result)) {
        err << "ovnode: cannot list " << prefix << ": " << S3Describe(result) << "\n";
        return kExitFailure;
    }
    if (inv.Json) {
        out << "[";
        for (size_t i = 0; i < sets.size(); ++i) {
            const ArchiveSet& s = sets[i];
            out << (i ? "," : "") << "{\"set\":" << JsonString(s.Name) << ",\"time\":" << JsonString(Stamp(s.Time))
                << ",\"hash\":\"" << Hex8(s.Hash) << "\",\"layout\":\"" << Hex8(s.LayoutId) << "\",\"size\":" << s.Size
                << ",\"verified\":" << (s.Present ? "true" : "false") << "}";
        }
        out << "]\n";
        return kExitOk;
    }
    for (const ArchiveSet& s : sets)
        out << s.Name << "  " << Stamp(s.Time) << "  hash " << Hex8(s.Hash) << "  " << s.Size << " bytes  "
            << (s.Present ? "verified" : "FILE MISSING") << "\n";
    if (sets.empty()) out << "no sets under " << prefix << "\n";
    return kExitOk;
}

// The set a command names: "latest" (or none) is the newest.
bool PickSet(S3Store* store, const std::string& prefix, const std::string& wanted, std::string* set,
             std::ostream& err) {
    if (!wanted.empty() && wanted != "latest") {
        *set = wanted;
        return true;
    }
    std::vector<ArchiveSet> sets;
    S3Result result;
    if (!ListArchiveSets(store, prefix, &sets, &result)) {
        err << "ovnode: cannot list " << prefix << ": " << S3Describe(result) << "\n";
        return false;
    }
    if (sets.empty()) {
        err << "ovnode: no sets under " << prefix << "\n";
        return false;
    }
    *set = sets.back().Name;
    return true;
}

int Pull(S3Store* store, const std::string& prefix, const std::string& set, const std::string& dir, PulledSet* pulled,
         std::ostream& err) {
    std::string why;
    if (!ReadArchiveSet(store, prefix, set, pulled, &why)) {
        err << "ovnode: set " << set << " of " << prefix << ": " << why << "\n";
        return kExitFailure;
    }
    if (!WritePulledSet(*pulled, dir, &why)) {
        err << "ovnode: " << why << "\n";
        return kExitFailure;
    }
    return kExitOk;
}

int Restore(const Invocation& inv, S3Store* store, const std::string& prefix, std::ostream& out, std::ostream& err) {
    std::string set;
    if (inv.Args.size() > 2) {
        err << "ovnode: too many arguments to archive restore\n";
        return kExitUsage;
    }
    if (!PickSet(store, prefix, inv.Args.size() > 1 ? inv.Args[1] : "", &set, err)) return kExitFailure;
    char dir[] = "/tmp/ovnode-archive-XXXXXX";
    if (!mkdtemp(dir)) {
        err << "ovnode: cannot make a temporary directory\n";
        return kExitFailure;
    }
    PulledSet pulled;
    int status = Pull(store, prefix, set, dir, &pulled, err);
    if (status == kExitOk) {
        out << "set " << set << " of " << prefix << ": " << pulled.File.size() << " bytes, " << pulled.Groups
            << " journal groups\n";
        Invocation restore = inv;
        restore.Command = "retain-restore";
        restore.Args = {std::string(dir) + "/OvRetain.bin"};
        status = CommandRetainRestore(restore, out, err);
    }
    for (const char* name : {"OvRetain.bin", "OvRetain.check", "OvRetain.journal"})
        unlink((std::string(dir) + "/" + name).c_str());
    const CheckEntry& e = pulled.Manifest.Entry;
    unlink((std::string(dir) + "/OvRetain." + Hex8(e.Hash) + "." + Hex8(e.LayoutId) + ".layout").c_str());
    rmdir(dir);
    return status;
}

int Verify(S3Store* store, const std::string& prefix, std::ostream& out, std::ostream& err) {
    std::vector<ArchiveSet> sets;
    S3Result result;
    if (!ListArchiveSets(store, prefix, &sets, &result)) {
        err << "ovnode: cannot list " << prefix << ": " << S3Describe(result) << "\n";
        return kExitFailure;
    }
    unsigned failed = 0;
    for (const ArchiveSet& s : sets) {
        PulledSet pulled;
        std::string why;
        if (ReadArchiveSet(store, prefix, s.Name, &pulled, &why)) {
            out << s.Name << "  ok (" << pulled.Groups << " journal groups)\n";
        } else {
            out << s.Name << "  FAILED: " << why << "\n";
            ++failed;
        }
    }
    out << sets.size() << " sets, " << failed << " failed\n";
    return failed ? kExitFailure : kExitOk;
}

}  // namespace

int CommandArchive(const Invocation& inv, std::ostream& out, std::ostream& err) {
    const std::string& what = inv.Args[0];
    const size_t args = inv.Args.size();
    const bool shapeOk = (what == "list" && args == 1) || (what == "pull" && args == 3) ||
                         (what == "restore" && args <= 2) || (what == "verify" && args == 1);
    if (!shapeOk || (inv.All && what != "list") || (inv.Json && what != "list") || (inv.DryRun && what != "restore") ||
        (inv.All && !inv.From.empty())) {
        err << "ovnode: usage: ovnode archive list [--json] | list --all | pull SET DIR | restore [SET|latest] "
               "[--from PREFIX] [--dry-run] | verify\n";
        return kExitUsage;
    }
    S3Store store;
    std::string prefix;
    if (!Connect(inv, &store, &prefix, err)) return kExitFailure;
    int status = kExitOk;
    if (what == "list") {
        status = inv.All ? ListFleet(&store, out, err) : List(inv, &store, prefix, out, err);
    } else if (what == "pull") {
        PulledSet pulled;
        std::string set;
        status = PickSet(&store, prefix, inv.Args[1], &set, err) ? Pull(&store, prefix, set, inv.Args[2], &pulled, err)
                                                                 : kExitFailure;
        if (status == kExitOk)
            out << "set " << set << " into " << inv.Args[2] << ": " << pulled.File.size() << " bytes, " << pulled.Groups
                << " journal groups\n";
    } else if (what == "restore") {
        status = Restore(inv, &store, prefix, out, err);
    } else {
        status = Verify(&store, prefix, out, err);
    }
    S3Close(&store);
    return status;
}

}  // namespace ovnode
