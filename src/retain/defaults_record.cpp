// The record of retain files written from defaults.
#include "retain/defaults_record.h"

#include <cstring>
#include <iterator>
#include <vector>

#include "retain/file_names.h"
#include "retain/layout_record.h"
#include "stdlib/pfile.h"

namespace {

const char* const kRecordName = kDefaultsRecordName;
const char kMagic1[8] = {'O', 'v', 'D', 'e', 'f', 'l', 't', '1'};
const char kMagic2[8] = {'O', 'v', 'D', 'e', 'f', 'l', 't', '2'};
const char kMagic3[8] = {'O', 'v', 'D', 'e', 'f', 'l', 't', '3'};
// Up to the count of kept files: version 1 28 bytes, version 2 32 (with the
// file's kind), version 3 52 (with the file before it).
constexpr size_t kHeaderSize = 28, kHeaderSize2 = 32, kHeaderSize3 = 52;
constexpr size_t kMostKept = 64;

struct DefaultsRecord {
    JournalIdentity File;
    DefaultsKind FileKind = DEFAULTS_ONLY;
    // The file noted before File: with a backup, the file the backup holds.
    JournalIdentity Previous;
    DefaultsKind PreviousKind = DEFAULTS_ONLY;
    std::map<uint32_t, DefaultsKind> Kept;
};

uint32_t Get32(const uint8_t* p) {
    return p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24;
}
void Put32(std::vector<uint8_t>* out, uint32_t v) {
    for (int i = 0; i < 4; ++i) out->push_back(static_cast<uint8_t>(v >> (8 * i)));
}
DefaultsKind KindOf(uint32_t word) {
    return word == DEFAULTS_WITH_WRITES ? DEFAULTS_WITH_WRITES : DEFAULTS_ONLY;
}

// False (an empty record) when it is not there or does not check out.
bool Read(PDir* dir, DefaultsRecord* record) {
    *record = DefaultsRecord();
    std::vector<uint8_t> bytes;
    if (!PDirReadWhole(dir, kRecordName, &bytes, kHeaderSize3 + kMostKept * 8 + 4)) return false;
    if (bytes.size() < kHeaderSize + 4) return false;
    const bool v3 = std::memcmp(bytes.data(), kMagic3, 8) == 0;
    const bool v2 = v3 || std::memcmp(bytes.data(), kMagic2, 8) == 0;
    if (!v2 && std::memcmp(bytes.data(), kMagic1, 8) != 0) return false;
    const size_t header = v3 ? kHeaderSize3 : v2 ? kHeaderSize2 : kHeaderSize, entry = v2 ? 8 : 4;
    if (bytes.size() < header + 4) return false;
    const uint32_t n = Get32(bytes.data() + header - 4);
    if (n > kMostKept || bytes.size() != header + entry * n + 4) return false;
    if (Crc32c(0, bytes.data(), bytes.size() - 4) != Get32(bytes.data() + bytes.size() - 4)) return false;
    record->File.FileLength = Get32(bytes.data() + 8) | static_cast<uint64_t>(Get32(bytes.data() + 12)) << 32;
    record->File.FileCrc = Get32(bytes.data() + 16);
    record->File.LayoutHash = Get32(bytes.data() + 20);
    if (v2) record->FileKind = KindOf(Get32(bytes.data() + 24));
    if (v3) {
        record->Previous.FileLength = Get32(bytes.data() + 28) | static_cast<uint64_t>(Get32(bytes.data() + 32)) << 32;
        record->Previous.FileCrc = Get32(bytes.data() + 36);
        record->Previous.LayoutHash = Get32(bytes.data() + 40);
        record->PreviousKind = KindOf(Get32(bytes.data() + 44));
    }
    for (uint32_t i = 0; i < n; ++i) {
        const uint8_t* at = bytes.data() + header + entry * i;
        record->Kept[Get32(at)] = v2 ? KindOf(Get32(at + 4)) : DEFAULTS_ONLY;
    }
    return true;
}

void PutFile(std::vector<uint8_t>* bytes, const JournalIdentity& file, DefaultsKind kind) {
    Put32(bytes, static_cast<uint32_t>(file.FileLength));
    Put32(bytes, static_cast<uint32_t>(file.FileLength >> 32));
    Put32(bytes, file.FileCrc);
    Put32(bytes, file.LayoutHash);
    Put32(bytes, kind);
}

void Write(PDir* dir, const DefaultsRecord& record) {
    std::vector<uint8_t> bytes(kMagic3, kMagic3 + 8);
    PutFile(&bytes, record.File, record.FileKind);
    PutFile(&bytes, record.Previous, record.PreviousKind);
    // The newest (highest numbers) when there are more than fit.
    auto from = record.Kept.begin();
    for (size_t skip = record.Kept.size() > kMostKept ? record.Kept.size() - kMostKept : 0; skip > 0; --skip) ++from;
    Put32(&bytes, static_cast<uint32_t>(std::distance(from, record.Kept.end())));
    for (auto it = from; it != record.Kept.end(); ++it) {
        Put32(&bytes, it->first);
        Put32(&bytes, it->second);
    }
    Put32(&bytes, Crc32c(0, bytes.data(), bytes.size()));
    const char* step = nullptr;
    PDirWriteFile(dir, kRecordName, bytes.data(), bytes.size(), &step);
}

}  // namespace

void NoteSavedFromDefaults(PDir* dir, const JournalIdentity& file, DefaultsKind kind) {
    DefaultsRecord record;
    Read(dir, &record);
    if (record.File == file && record.FileKind == kind) return;
    if (!(record.File == file)) {
        record.Previous = record.File;
        record.PreviousKind = record.FileKind;
    }
    record.File = file;
    record.FileKind = kind;
    Write(dir, record);
}

// The kind of `file` when the record notes it (as the file, or the one
// before it).
bool KindIn(const DefaultsRecord& record, const JournalIdentity& file, DefaultsKind* kind) {
    if (file.FileLength == 0) return false;
    if (record.File == file)
        *kind = record.FileKind;
    else if (record.Previous == file)
        *kind = record.PreviousKind;
    else
        return false;
    return true;
}

void NoteKeptAside(PDir* dir, const JournalIdentity& file, uint32_t seq) {
    DefaultsRecord record;
    DefaultsKind kind;
    if (!Read(dir, &record) || !KindIn(record, file, &kind)) return;
    record.Kept[seq] = kind;
    Write(dir, record);
}

bool WrittenFromDefaults(PDir* dir, const JournalIdentity& file, DefaultsKind* kind) {
    DefaultsRecord record;
    return Read(dir, &record) && KindIn(record, file, kind);
}

std::map<uint32_t, DefaultsKind> KeptFromDefaults(PDir* dir) {
    DefaultsRecord record;
    Read(dir, &record);
    return record.Kept;
}
