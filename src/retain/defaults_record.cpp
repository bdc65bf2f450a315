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
constexpr size_t kHeaderSize = 28;  // version 2: 32, with the file's kind
constexpr size_t kMostKept = 64;

struct DefaultsRecord {
    JournalIdentity File;
    DefaultsKind FileKind = DEFAULTS_ONLY;
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
    if (!PDirReadWhole(dir, kRecordName, &bytes, kHeaderSize + 4 + kMostKept * 8 + 4)) return false;
    if (bytes.size() < kHeaderSize + 4) return false;
    const bool v2 = std::memcmp(bytes.data(), kMagic2, 8) == 0;
    if (!v2 && std::memcmp(bytes.data(), kMagic1, 8) != 0) return false;
    const size_t header = v2 ? kHeaderSize + 4 : kHeaderSize, entry = v2 ? 8 : 4;
    if (bytes.size() < header + 4) return false;
    const uint32_t n = Get32(bytes.data() + header - 4);
    if (n > kMostKept || bytes.size() != header + entry * n + 4) return false;
    if (Crc32c(0, bytes.data(), bytes.size() - 4) != Get32(bytes.data() + bytes.size() - 4)) return false;
    record->File.FileLength = Get32(bytes.data() + 8) | static_cast<uint64_t>(Get32(bytes.data() + 12)) << 32;
    record->File.FileCrc = Get32(bytes.data() + 16);
    record->File.LayoutHash = Get32(bytes.data() + 20);
    if (v2) record->FileKind = KindOf(Get32(bytes.data() + 24));
    for (uint32_t i = 0; i < n; ++i) {
        const uint8_t* at = bytes.data() + header + entry * i;
        record->Kept[Get32(at)] = v2 ? KindOf(Get32(at + 4)) : DEFAULTS_ONLY;
    }
    return true;
}

void Write(PDir* dir, const DefaultsRecord& record) {
    std::vector<uint8_t> bytes(kMagic2, kMagic2 + 8);
    Put32(&bytes, static_cast<uint32_t>(record.File.FileLength));
    Put32(&bytes, static_cast<uint32_t>(record.File.FileLength >> 32));
    Put32(&bytes, record.File.FileCrc);
    Put32(&bytes, record.File.LayoutHash);
    Put32(&bytes, record.FileKind);
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
    record.File = file;
    record.FileKind = kind;
    Write(dir, record);
}

void NoteKeptAside(PDir* dir, const JournalIdentity& file, uint32_t seq) {
    DefaultsRecord record;
    if (!Read(dir, &record) || !(record.File == file)) return;
    record.Kept[seq] = record.FileKind;
    Write(dir, record);
}

bool WrittenFromDefaults(PDir* dir, const JournalIdentity& file, DefaultsKind* kind) {
    DefaultsRecord record;
    if (!Read(dir, &record) || !(record.File == file)) return false;
    *kind = record.FileKind;
    return true;
}

std::map<uint32_t, DefaultsKind> KeptFromDefaults(PDir* dir) {
    DefaultsRecord record;
    Read(dir, &record);
    return record.Kept;
}
