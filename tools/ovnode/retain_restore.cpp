// ovnode retain-restore: the values of any retain file written into the node
// space by name, through the file's own layout record, with the matching
// rules of the service's migration (retain/migration.h). The journal that
// extends the file - the one kept beside a kept file (<file>.journal), else
// OvRetain.journal when it names this very file - is folded in first, as
// the service's migration does (retain/journal_keep.h), with one line.
// The service's own status nodes and triggers are left as they are: they
// are not the plant's values, and a trigger written back would make the
// running service save, or load the retain file over what was restored. So
// is OutPath: the file restored lies in the directory it names, and a path
// written back from another or a damaged file would move every later save
// (and the file a start loads) into another directory.
#include <cstring>
#include <ostream>
#include <vector>

#include "nodespace/nodespace_admin.h"
#include "nodespace/ovhgapi.h"
#include "ovnode/commands.h"
#include "ovnode/retained_file.h"
#include "retain/journal_keep.h"
#include "retain/migration.h"
#include "retain/node_slot.h"
#include "retain/retain_file.h"
#include "stdlib/pdir.h"
#include "variables/variables.h"

namespace ovnode {
namespace {

struct Restore {
    bool DryRun = false;
    std::vector<uint8_t> Buffer;
    std::vector<std::string> ServiceOwn;  // full names of the nodes left alone
};

std::vector<std::string> ServiceOwnNames() {
    std::vector<std::string> names;
    const std::string prefix = std::string("SERVICE.") + ContainerName() + ".";
    for (const VariableDescriptor* table : {StatusTable, TriggerTable})
        for (const VariableDescriptor* row = table; row->Name; ++row) names.push_back(prefix + row->Name);
    names.push_back(prefix + "OutPath");
    return names;
}

// Writes one matched value back as a load would; a resized text keeps a
// terminating zero, a resized range is cut short or zero-filled.
void WriteBack(void* context, const NodeRecord& node, uint16_t size, const uint8_t* value, uint16_t valueSize,
               const LayoutRecordEntry*) {
    Restore* restore = static_cast<Restore*>(context);
    if (!value || restore->DryRun) return;
    for (const std::string& own : restore->ServiceOwn)
        if (own == node.Name) return;
    restore->Buffer.assign(size, 0);
    std::memcpy(restore->Buffer.data(), value, valueSize < size ? valueSize : size);
    WriteNodeSlot(node, restore->Buffer.data(), size);
}

// The journal folded in, for the line or the object that says so.
struct FoldedJournal {
    std::string Name;  // "" when none extends the file
    uint64_t Groups = 0;
    uint64_t Records = 0;
};

// Folds the journal that extends the file into its bytes.
FoldedJournal FoldItsJournal(RetainedFile* file) {
    FoldedJournal folded;
    std::string name;
    PDir* dir = PDirOpenParent(file->Path.c_str(), &name);
    if (!dir) return folded;
    const JournalIdentity identity = IdentityOfRetainBytes(file->Bytes);
    std::vector<uint8_t> journal;
    std::string used = KeptJournalName(name);
    if (!ReadJournalOf(dir, used.c_str(), identity, &journal)) {
        used = kJournalFileName;
        if (!ReadJournalOf(dir, used.c_str(), identity, &journal)) used.clear();
    }
    PDirClose(dir);
    if (used.empty()) return folded;
    uint64_t skipped = 0;
    const JournalReplay replay = FoldJournal(journal, file->Record, &file->Bytes, &skipped);
    folded.Name = used;
    folded.Groups = replay.Groups;
    folded.Records = replay.Records;
    return folded;
}

}  // namespace

int CommandRetainRestore(const Invocation& inv, std::ostream& out, std::ostream& err) {
    RetainedFile file;
    std::string error;
    if (!ReadRetainedBytes(inv.Args[0], &file, &error) || !ReadRetainedRecord(&file, &error, inv.Layouts)) {
        err << "ovnode: " << error << "\n";
        return kExitFailure;
    }
    if (!NodeSpaceExists(inv.Space)) {
        err << "ovnode: node space '" << inv.Space << "' does not exist\n";
        return kExitFailure;
    }
    if (!NodeSpaceAttach(inv.Space, false, &error)) {
        err << "ovnode: cannot open node space '" << inv.Space << "': " << error << "\n";
        return kExitFailure;
    }
    const FoldedJournal journal = FoldItsJournal(&file);
    if (!journal.Name.empty() && !inv.Json)
        out << "journal " << journal.Name << ": " << journal.Groups << " groups applied (" << journal.Records
            << " values)\n";
    Restore restore;
    restore.DryRun = inv.DryRun;
    restore.ServiceOwn = ServiceOwnNames();
    MigrationCounts counts;
    if (!MatchRetainedValues(file.Record, file.Bytes.data(), file.Bytes.size(), NodeTable(), NodeCount(), WriteBack,
                             &restore, &counts, &error)) {
        err << "ovnode: retain file " << file.Path << " refused: " << error << "\n";
        return kExitFailure;
    }
    if (inv.Json) {
        // written: the nodes given a value (kept and resized); new: nodes
        // the file has no value for, left as they are; dropped: values of
        // the file no node takes (no node of that name, type or size).
        out << "{\"file\": " << JsonString(file.Path) << ", \"layout_record\": " << JsonString(file.RecordPath)
            << ", \"journal\": ";
        if (journal.Name.empty())
            out << "null";
        else
            out << "{\"name\": " << JsonString(journal.Name) << ", \"groups\": " << journal.Groups
                << ", \"values\": " << journal.Records << "}";
        out << ", \"dry_run\": " << (inv.DryRun ? "true" : "false")
            << ", \"written\": " << (inv.DryRun ? 0 : counts.Kept + counts.Resized) << ", \"kept\": " << counts.Kept
            << ", \"resized\": " << counts.Resized << ", \"new\": " << counts.New << ", \"dropped\": " << counts.Dropped
            << "}\n";
        return kExitOk;
    }
    out << "kept " << counts.Kept << ", resized " << counts.Resized << ", new " << counts.New << ", dropped "
        << counts.Dropped << (inv.DryRun ? " (dry run: nothing written)\n" : "\n");
    return kExitOk;
}

}  // namespace ovnode
