// The record of retain files written from defaults.
#include "retain/defaults_record.h"

#include <cstring>
#include <vector>

#include "retain/file_names.h"
#include "retain/layout_record.h"
#include "stdlib/pfile.h"

namespace {

const char* const kRecordName = kDefaultsRecordName;
const char kMagic[8] = {'O', 'v', 'D', 'e', 'f', 'l', 't', '1'};
constexpr size_t kHeaderSize = 28;
constexpr size_t kMostKept = 64;

struct DefaultsRecord {
    JournalIdentity File;
    std::set<uint32_t> Kept;
};

uint32_t Get32(const uint8_t* p) {
    return p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24;
}
void Put32(std::vector<uint8_t>* out, uint32_t v) {
    for (int i = 0; i < 4; ++i) out->push_back(static_cast<uint8_t>(v >> (8 * i)));
}

// False (an empty record) when it is not there or does not check out.
bool Read(PDir* dir, DefaultsRecord* record) {
    *record = DefaultsRecord();
    std::vector<uint8_t> bytes;
    if (!PDirReadWhole(dir, kRecordName, &bytes, kHeaderSize + kMostKept * 4 + 4)) return false;
    if (bytes.size() < kHeaderSize + 4 || std::memcmp(bytes.data(), kMagic, 8) != 0) return false;
    const uint32_t n = Get32(bytes.data() + 24);
    if (n > kMostKept || bytes.size() != kHeaderSize + 4 * n + 4) return false;
    if (Crc32c(0, bytes.data(), bytes.size() - 4) != Get32(bytes.data() + bytes.size() - 4)) return false;
    record->File.FileLength = Get32(bytes.data() + 8) | static_cast<uint64_t>(Get32(bytes.data() + 12)) << 32;
    record->File.FileCrc = Get32(bytes.data() + 16);
    record->File.LayoutHash = Get32(bytes.data() + 20);
    for (uint32_t i = 0; i < n; ++i) record->Kept.insert(Get32(bytes.data() + kHeaderSize + 4 * i));
    return true;
}

void Write(PDir* dir, const DefaultsRecord& record) {
    std::vector<uint8_t> bytes(kMagic, kMagic + 8);
    Put32(&bytes, static_cast<uint32_t>(record.File.FileLength));
    Put32(&bytes, static_cast<uint32_t>(record.File.FileLength >> 32));
    Put32(&bytes, record.File.FileCrc);
    Put32(&bytes, record.File.LayoutHash);
    // The newest (highest numbers) when there are more than fit.
    auto from = record.Kept.begin();
    for (size_t skip = record.Kept.size() > kMostKept ? record.Kept.size() - kMostKept : 0; skip > 0; --skip) ++from;
    Put32(&bytes, static_cast<uint32_t>(std::distance(from, record.Kept.end())));
    for (auto it = from; it != record.Kept.end(); ++it) Put32(&bytes, *it);
    Put32(&bytes, Crc32c(0, bytes.data(), bytes.size()));
    const char* step = nullptr;
    PDirWriteFile(dir, kRecordName, bytes.data(), bytes.size(), &step);
}

}  // namespace

void NoteSavedFromDefaults(PDir* dir, const JournalIdentity& file) {
    DefaultsRecord record;
    Read(dir, &record);
    if (record.File == file) return;
    record.File = file;
    Write(dir, record);
}

void NoteKeptAside(PDir* dir, const JournalIdentity& file, uint32_t seq) {
    DefaultsRecord record;
    if (!Read(dir, &record) || !(record.File == file)) return;
    record.Kept.insert(seq);
    Write(dir, record);
}

std::set<uint32_t> KeptFromDefaults(PDir* dir) {
    DefaultsRecord record;
    Read(dir, &record);
    return record.Kept;
}
