// The load's guard against slots of another layout.
#include "retain/load_guard.h"

#include <cstdio>
#include <cstring>
#include <string>

#include "report/report.h"
#include "retain/node_slot.h"

namespace {

constexpr size_t kNameMax = sizeof(NodeRecord::Name) - 1;

std::string Hex8(uint32_t value) {
    char text[9];
    std::snprintf(text, sizeof text, "%08x", value);
    return text;
}

}  // namespace

bool OpenLoadGuard(PDir* dir, const CheckEntry& entry, uint64_t fileSize, const NodeRecord* table, int32_t count,
                   LoadGuard* guard, std::string* why) {
    uint32_t id = entry.LayoutId;
    const FileRecordFind found = FindFileLayoutRecord(dir, entry.Hash, fileSize, &id, &guard->Record, why);
    guard->HasRecord = found == FILE_RECORD_FOUND;
    if (found == FILE_RECORD_UNFIT) return false;
    if (guard->HasRecord) return true;
    // No record of its hash at all: slots in order, from a file that holds
    // every node's slot.
    uint64_t length = 4;
    for (int32_t i = 0; table && i < count; ++i) length += NodeSlotSize(table[i]);
    const bool named = entry.LayoutId != 0;
    if (named ? fileSize == length : fileSize >= length) return true;
    char text[256];
    std::snprintf(text, sizeof text,
                  "it is %llu bytes long, the node table's slots %llu, and %s (cut short, or of another layout)",
                  static_cast<unsigned long long>(fileSize), static_cast<unsigned long long>(length),
                  named ? ("its layout record " + LayoutRecordName(entry.Hash, entry.LayoutId) + " is gone").c_str()
                        : ("no layout record of its hash " + Hex8(entry.Hash) + " is there").c_str());
    *why = text;
    return false;
}

const uint8_t* GuardedSlot(LoadGuard* guard, int32_t i, const NodeRecord& node, uint16_t size, const uint8_t* file,
                           size_t fileSize) {
    if (!guard->HasRecord) {
        if (size == 0 || guard->Offset + size > fileSize) return nullptr;
        const uint8_t* slot = file + guard->Offset;
        guard->Offset += size;
        return slot;
    }
    const std::vector<LayoutRecordEntry>& entries = guard->Record.Entries;
    if (!guard->ByName) {
        const size_t at = static_cast<size_t>(i);
        if (at >= entries.size()) return nullptr;  // the file holds no later slot
        const LayoutRecordEntry& e = entries[at];
        if (LayoutEntryNamesNode(e, node) && e.Type == node.Type && e.Size == size) {
            if (size == 0 || e.Offset + size > fileSize) return nullptr;
            return file + e.Offset;
        }
        guard->ByName = true;
        guard->Names.reserve(entries.size());
        for (size_t j = 0; j < entries.size(); ++j)
            guard->Names.emplace(std::string_view(entries[j].Name, entries[j].NameLength), static_cast<uint32_t>(j));
    }
    if (size == 0) return nullptr;
    const auto found = guard->Names.find(std::string_view(node.Name, strnlen(node.Name, kNameMax)));
    if (found != guard->Names.end()) {
        const LayoutRecordEntry& e = entries[found->second];
        if (e.Type == node.Type && e.Size == size && e.Offset + size <= fileSize) {
            ++guard->Loaded;
            return file + e.Offset;
        }
    }
    ++guard->Unchanged;
    return nullptr;
}

void CloseLoadGuard(LoadGuard* guard) {
    if (!guard->ByName) return;
    report(&LogChannel, "WRN",
           "Retain file layout differs from the node table: %llu values loaded by name, %llu nodes left unchanged.",
           static_cast<unsigned long long>(guard->Loaded), static_cast<unsigned long long>(guard->Unchanged));
}
