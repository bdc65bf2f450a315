// ovnode retain-dump: shows a retain file against the current layout.
//
// The file holds no names or sizes of its own: its slots are found only by
// walking the node table with each node's current Size, as the service does
// when it loads. So the dump pairs each slot with the node that would receive
// it, and says where the file and the layout part ways. When the header is
// not the current layout's hash, the file's own layout record, if one lies
// beside it and verifies, names the slots instead, in the table and in
// --json alike ("layout_record" says which); --check judges the file against
// the current layout only, as a load would. --journal shows the values with
// the change journal beside the file applied: its records name nodes by
// index, and a node's index is its place in the table the slots came from
// (the current one, or the file's own record, whose entries are in table
// order), so each record goes to the slot of that place when the sizes agree.
// --layout names the record to show the slots by, whatever the header.
// A kept file's journal, kept beside it as <file>.journal, is taken before
// OvRetain.journal. The journal is parsed by the service's own code
// (journal_format.h).
#include <errno.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <iomanip>
#include <iterator>
#include <ostream>
#include <sstream>

#include "nodespace/nodespace_admin.h"
#include "nodespace/ovhgapi.h"
#include "ovnode/commands.h"
#include "ovnode/retained_file.h"
#include "ovnode/shown_text.h"
#include "ovnode/value_codec.h"
#include "retain/check_record.h"
#include "retain/journal_format.h"
#include "retain/journal_keep.h"
#include "retain/layout_hash.h"
#include "retain/set_aside.h"
#include "stdlib/pdir.h"
#include "stdlib/pfile.h"

namespace ovnode {
namespace {

std::string Hex(uint32_t v) {
    std::ostringstream s;
    s << "0x" << std::hex << std::setw(8) << std::setfill('0') << v;
    return s.str();
}

// One slot of a file as a layout places it.
struct Slot {
    uint32_t Index;  // of its node, as the journal names it
    uint64_t Offset;
    std::string Name;
    uint16_t Type;
    uint16_t Size;
};

// The slots the current node table places in a file.
std::vector<Slot> SlotsOfTable(const NodeRecord* table, int32_t count) {
    std::vector<Slot> slots;
    uint64_t offset = 4;
    for (int32_t i = 0; table && i < count; ++i) {
        const NodeRecord& r = table[i];
        const uint16_t size = NodeSpaceValueSize(&r);
        if (size == 0) continue;
        slots.push_back({r.Index, offset, std::string(r.Name, strnlen(r.Name, sizeof r.Name)), r.Type, size});
        offset += size;
    }
    return slots;
}

// The slots by a file's own layout record.
std::vector<Slot> SlotsOfRecord(const LayoutRecord& record) {
    std::vector<Slot> slots;
    for (size_t i = 0; i < record.Entries.size(); ++i) {
        const LayoutRecordEntry& e = record.Entries[i];
        if (e.Size != 0)
            slots.push_back(
                {static_cast<uint32_t>(i + 1), e.Offset, std::string(e.Name, e.NameLength), e.Type, e.Size});
    }
    return slots;
}

// The first slot the file does not hold in full, or slots.size().
size_t FirstMissing(const std::vector<Slot>& slots, size_t fileSize) {
    for (size_t i = 0; i < slots.size(); ++i)
        if (slots[i].Offset + slots[i].Size > fileSize) return i;
    return slots.size();
}

std::string SlotValue(const std::vector<uint8_t>& bytes, const Slot& slot) {
    const std::vector<uint8_t> value(bytes.begin() + static_cast<long>(slot.Offset),
                                     bytes.begin() + static_cast<long>(slot.Offset + slot.Size));
    return FormatValue(slot.Type, value);
}

// How the check record beside the file judges it: "verified", "failed"
// (why in *why) or "none" (no check record there).
const char* FileCheck(const std::string& path, const std::vector<uint8_t>& bytes, std::string* why) {
    std::string name;
    PDir* dir = PDirOpenParent(path.c_str(), &name);
    if (!dir) {
        *why = std::string("its directory cannot be opened: ") + std::strerror(errno);
        return "failed";
    }
    uint32_t header = 0;
    if (bytes.size() >= 4) std::memcpy(&header, bytes.data(), 4);
    CheckEntry entry;
    const CheckVerdict verdict =
        VerifyRetainFile(dir, bytes.size(), Crc32c(0, bytes.data(), bytes.size()), header, &entry, why);
    PDirClose(dir);
    if (verdict == CHECK_VERIFIED) return "verified";
    // A set-aside file is not one the check record speaks for.
    SetAsideName parsed;
    if (verdict == CHECK_FAILED && !ParseSetAsideName(name, &parsed)) return "failed";
    why->clear();
    return "none";
}

// What --journal found beside the file, and what of it was applied.
struct JournalView {
    std::string Name = kJournalFileName;
    bool Present = false;
    bool Applies = false;  // it names this very file
    std::string Problem;   // why it could not be read
    JournalIdentity Named;
    JournalReplay Replay;
    uint64_t Skipped = 0;  // records for no slot of the file (or of another size)
};

struct JournalTarget {
    const std::vector<Slot>* Slots;
    size_t Held;  // slots the file holds
    std::vector<uint8_t>* Bytes;
    uint64_t* Skipped;
};

void ApplyToSlot(void* context, uint32_t index, const uint8_t* value, uint16_t size) {
    auto* t = static_cast<JournalTarget*>(context);
    const std::vector<Slot>& slots = *t->Slots;
    // Slots are in index order.
    auto it = std::lower_bound(slots.begin(), slots.begin() + static_cast<long>(t->Held), index,
                               [](const Slot& slot, uint32_t i) { return slot.Index < i; });
    if (it == slots.begin() + static_cast<long>(t->Held) || it->Index != index || it->Size != size) {
        *t->Skipped += 1;
        return;
    }
    std::memcpy(t->Bytes->data() + it->Offset, value, size);
}

// Applies the journal beside `path` to bytes, the file's content, when it
// names that file.
JournalView ApplyJournal(const std::string& path, const std::vector<Slot>& slots, size_t held,
                         std::vector<uint8_t>* bytes) {
    JournalView view;
    std::string name;
    PDir* dir = PDirOpenParent(path.c_str(), &name);
    std::vector<uint8_t> journal;
    // A kept file's own journal, kept beside it, before the live one.
    struct stat st;
    if (dir && PDirStat(dir, KeptJournalName(name).c_str(), &st)) view.Name = KeptJournalName(name);
    const bool read = dir && PDirReadWhole(dir, view.Name.c_str(), &journal, JournalReadLimit(bytes->size()));
    const int error = errno;
    if (dir) PDirClose(dir);
    if (!read) {
        if (error != ENOENT) {
            view.Present = true;
            view.Problem = std::string("cannot be read: ") + std::strerror(error);
        }
        return view;
    }
    view.Present = true;
    if (!DecodeJournalHeader(journal.data(), journal.size(), &view.Named)) {
        view.Problem = "its header is damaged or cut short";
        return view;
    }
    uint32_t header = 0;
    if (bytes->size() >= 4) std::memcpy(&header, bytes->data(), 4);
    view.Applies = view.Named == JournalIdentity{header, bytes->size(), Crc32c(0, bytes->data(), bytes->size())};
    if (!view.Applies) return view;
    JournalTarget target{&slots, held, bytes, &view.Skipped};
    view.Replay = ReplayJournalGroups(journal.data(), journal.size(), ApplyToSlot, &target);
    return view;
}

std::string JournalText(const JournalView& j) {
    if (!j.Present) return std::string("none beside the file: nothing to apply");
    if (!j.Problem.empty()) return std::string(j.Name) + " " + j.Problem + ": not applied";
    if (!j.Applies) {
        std::ostringstream s;
        s << j.Name << " names another file (header " << Hex(j.Named.LayoutHash) << ", " << j.Named.FileLength
          << " bytes, CRC " << Hex(j.Named.FileCrc) << "): not applied";
        return s.str();
    }
    std::ostringstream s;
    s << j.Name << ": " << j.Replay.Groups << " groups applied (" << j.Replay.Records << " values)";
    if (j.Replay.Tail) s << "; a damaged or cut-short group and what follows it left out";
    if (j.Skipped) s << "; " << j.Skipped << " of them for no slot of this file, left out";
    return s.str();
}

}  // namespace

int CommandRetainDump(const Invocation& inv, std::ostream& out, std::ostream& err) {
    const std::string& given = inv.Args[0];
    const std::string path = PFileMapPath(given.c_str());
    std::string content, problem;
    if (!ReadInputFile(path, kRetainFileLimit, &content, &problem)) {
        err << "ovnode: cannot read retain file " << ShownText(path) << ": " << problem << "\n";
        return kExitFailure;
    }
    std::vector<uint8_t> bytes(content.begin(), content.end());
    content.clear();
    if (!NodeSpaceExists(inv.Space)) {
        err << "ovnode: node space '" << ShownText(inv.Space) << "' does not exist\n";
        return kExitFailure;
    }
    std::string error;
    if (!NodeSpaceAttach(inv.Space, false, &error)) {
        err << "ovnode: cannot open node space '" << ShownText(inv.Space) << "': " << ShownText(error) << "\n";
        return kExitFailure;
    }

    const int32_t count = std::max<int32_t>(NodeCount(), 0);
    const NodeRecord* table = NodeTable();
    size_t expected = 4;
    for (int32_t i = 0; i < count; ++i) expected += NodeSpaceValueSize(&table[i]);
    uint32_t header = 0;
    if (bytes.size() >= 4) std::memcpy(&header, bytes.data(), 4);  // little-endian, as the machine
    const uint32_t hash = ComputeLayoutHash();
    const bool headerMatches = bytes.size() >= 4 && header == hash;
    // The check record beside the file says whether it is the file that was
    // saved; --check judges the file as a whole: that, header and length.
    std::string checkWhy;
    const char* check = FileCheck(path, bytes, &checkWhy);
    const bool damaged = std::strcmp(check, "failed") == 0;
    const int verdict = !inv.Check || (headerMatches && bytes.size() == expected && !damaged) ? kExitOk : kExitFailure;

    // A file of another layout is shown by its own record when one lies
    // beside it and verifies; else against the current layout.
    std::vector<Slot> slots;
    std::string recordPath, noRecord;
    size_t recordNodes = 0;
    if (bytes.size() >= 4 && (!headerMatches || !inv.Layouts.empty()) && !inv.Check) {
        RetainedFile own;
        own.Path = path;
        own.Bytes = bytes;
        own.Header = header;
        const bool read = ReadRetainedRecord(&own, &noRecord, inv.Layouts);
        if (!read && !inv.Layouts.empty()) {
            err << "ovnode: " << ShownText(noRecord) << "\n";
            return kExitFailure;
        }
        if (read) {
            recordPath = own.RecordPath;
            slots = SlotsOfRecord(own.Record);
            recordNodes = own.Record.Entries.size();
        }
    }
    if (recordPath.empty() && bytes.size() >= 4) slots = SlotsOfTable(table, count);
    const size_t held = FirstMissing(slots, bytes.size());
    const uint64_t end = held == 0 ? 4 : slots[held - 1].Offset + slots[held - 1].Size;
    // After everything above has judged the file as it is on disk.
    JournalView journal;
    if (inv.Journal) journal = ApplyJournal(path, slots, held, &bytes);

    if (inv.Json) {
        out << "{\"file\": " << JsonString(path) << ", \"size\": " << bytes.size()
            << ", \"expected_size\": " << expected
            << ", \"header\": " << (bytes.size() >= 4 ? JsonString(Hex(header)) : "null")
            << ", \"layout_hash\": " << JsonString(Hex(hash))
            << ", \"header_matches\": " << (headerMatches ? "true" : "false") << ", \"check\": " << JsonString(check)
            << ", \"check_why\": " << (checkWhy.empty() ? "null" : JsonString(checkWhy));
        if (inv.Journal) {
            out << ", \"journal\": {\"present\": " << (journal.Present ? "true" : "false")
                << ", \"applied\": " << (journal.Applies ? "true" : "false")
                << ", \"groups\": " << journal.Replay.Groups << ", \"values\": " << journal.Replay.Records
                << ", \"skipped\": " << journal.Skipped
                << ", \"tail_left_out\": " << (journal.Replay.Tail ? "true" : "false")
                << ", \"text\": " << JsonString(JournalText(journal)) << "}";
        }
        if (!inv.Check) {
            out << ", \"layout_record\": " << (recordPath.empty() ? "null" : JsonString(recordPath))
                << ", \"slots\": [";
            for (size_t i = 0; i < held; ++i) {
                const Slot& slot = slots[i];
                const std::string value = SlotValue(bytes, slot);
                const ValueKind kind = KindOfType(slot.Type);
                const bool numeric = kind == ValueKind::Unsigned || kind == ValueKind::Signed;
                out << (i ? ",\n  " : "\n  ") << "{\"offset\": " << slot.Offset
                    << ", \"name\": " << JsonString(slot.Name) << ", \"type\": " << slot.Type
                    << ", \"size\": " << slot.Size << ", \"value\": " << (numeric ? value : JsonString(value)) << "}";
            }
            out << "]";
        }
        const bool whole = held == slots.size();
        out << ", \"missing_from\": " << (whole ? "null" : JsonString(slots[held].Name))
            << ", \"extra_bytes\": " << (whole && bytes.size() > end ? bytes.size() - end : 0) << "}\n";
        return verdict;
    }

    out << "file         " << ShownText(path) << " (" << bytes.size() << " bytes; the layout expects " << expected
        << ")\n";
    if (bytes.size() < 4) {
        out << "header word  missing: the file is shorter than its 4-byte header\n";
        return verdict;
    }
    out << "header word  " << Hex(header) << "\n"
        << "layout hash  " << Hex(hash)
        << (header == hash ? "  (match)\n" : "  (differ: a start-up check would set this file aside)\n");
    out << "check record " << check << (checkWhy.empty() ? "" : ": " + ShownText(checkWhy)) << "\n";
    if (inv.Journal) out << "journal      " << ShownText(JournalText(journal)) << "\n";
    if (inv.Check) {
        if (damaged)
            out << "the file is not the one that was saved\n";
        else if (verdict == kExitOk)
            out << "the file matches the layout\n";
        else if (!headerMatches)
            out << "the header does not match the layout\n";
        else
            out << "the file is " << (bytes.size() < expected ? "shorter" : "longer") << " than the layout expects\n";
        return verdict;
    }
    if (!recordPath.empty()) {
        out << "layout record " << ShownText(recordPath) << " (" << recordNodes
            << " nodes): the slots by the layout the file was written with\n";
    } else if (!headerMatches) {
        out << "no layout record to go by (" << ShownText(noRecord) << "); the slots against the current layout:\n";
    }
    for (size_t i = 0; i < held; ++i) {
        const Slot& slot = slots[i];
        out << std::left << std::setw(10) << slot.Offset << " " << std::setw(40) << ShownText(slot.Name, true) << " "
            << std::setw(4) << slot.Type << " " << ShownText(SlotValue(bytes, slot), true) << "\n";
    }
    if (held < slots.size()) {
        const Slot& slot = slots[held];
        out << "file ends at byte " << bytes.size() << ": the slot of " << ShownText(slot.Name, true) << " ("
            << slot.Size << " bytes at offset " << slot.Offset << ") and every later one are missing; a load leaves "
            << "those nodes unchanged\n";
        return kExitOk;
    }
    out << held << " slots";
    if (end < bytes.size()) {
        out << "; " << (bytes.size() - end) << " bytes after the last slot that no node of "
            << (recordPath.empty() ? "this layout" : "its layout") << " takes\n";
    } else {
        out << "; the file ends with the last slot\n";
    }
    return kExitOk;
}

}  // namespace ovnode
