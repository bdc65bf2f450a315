// The journal that travels with its retain file: its kept name, and folding
// its groups into the file's values.
#include "retain/journal_keep.h"

#include <errno.h>

#include <cstring>

#include "retain/check_record.h"
#include "stdlib/pfile.h"

namespace {

struct FoldTarget {
    const LayoutRecord* Record;
    std::vector<uint8_t>* File;
    uint64_t* Skipped;
};

void FoldRecord(void* context, uint32_t index, const uint8_t* value, uint16_t size) {
    auto* t = static_cast<FoldTarget*>(context);
    const std::vector<LayoutRecordEntry>& entries = t->Record->Entries;
    if (index == 0 || index > entries.size()) {
        *t->Skipped += 1;
        return;
    }
    const LayoutRecordEntry& e = entries[index - 1];
    if (e.Size != size || size == 0 || e.Offset + size > t->File->size()) {
        *t->Skipped += 1;
        return;
    }
    std::memcpy(t->File->data() + e.Offset, value, size);
}

}  // namespace

std::string KeptJournalName(const std::string& keptName) {
    return keptName + ".journal";
}

bool ReadJournalOf(PDir* dir, const char* journalName, const JournalIdentity& file, std::vector<uint8_t>* journal) {
    if (!PDirReadWhole(dir, journalName, journal, JournalReadLimit(file.FileLength))) return false;
    JournalIdentity named;
    errno = 0;
    if (!DecodeJournalHeader(journal->data(), journal->size(), &named) || !(named == file)) return false;
    return ReplayJournalGroups(journal->data(), journal->size(), nullptr, nullptr).Groups > 0;
}

bool JournalNamesFile(PDir* dir, const char* journalName, const JournalIdentity& file) {
    PFile* in = PDirOpenRead(dir, journalName);
    if (!in) return false;
    uint8_t header[kJournalHeaderSize];
    JournalIdentity named;
    const bool names =
        PFileRead(in, header, sizeof header) && DecodeJournalHeader(header, sizeof header, &named) && named == file;
    PFileClose(in);
    return names;
}

JournalIdentity IdentityOfRetainBytes(const std::vector<uint8_t>& bytes) {
    JournalIdentity id;
    if (bytes.size() >= 4)
        id.LayoutHash = bytes[0] | bytes[1] << 8 | bytes[2] << 16 | static_cast<uint32_t>(bytes[3]) << 24;
    id.FileLength = bytes.size();
    id.FileCrc = Crc32c(0, bytes.data(), bytes.size());
    return id;
}

JournalReplay FoldJournal(const std::vector<uint8_t>& journal, const LayoutRecord& record, std::vector<uint8_t>* file,
                          uint64_t* skipped) {
    *skipped = 0;
    FoldTarget target{&record, file, skipped};
    return ReplayJournalGroups(journal.data(), journal.size(), FoldRecord, &target);
}
