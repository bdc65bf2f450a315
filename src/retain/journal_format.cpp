// The change journal's bytes: header, groups and their replay.
#include "retain/journal_format.h"

#include <cstring>

#include "retain/layout_record.h"

namespace {

const char kJournalMagic[8] = {'O', 'v', 'J', 'o', 'u', 'r', 'n', 'l'};
constexpr uint32_t kJournalVersion = 1;

void Put32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}
void Put64(uint8_t* p, uint64_t v) {
    for (int i = 0; i < 8; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}
uint32_t Get32(const uint8_t* p) {
    uint32_t v = 0;
    for (int i = 3; i >= 0; --i) v = v << 8 | p[i];
    return v;
}
uint64_t Get64(const uint8_t* p) {
    uint64_t v = 0;
    for (int i = 7; i >= 0; --i) v = v << 8 | p[i];
    return v;
}

// Checks the records of one group and hands them over; false, handing over
// nothing, when they do not fill the group exactly.
bool RecordsFill(const uint8_t* p, size_t length, uint32_t count) {
    size_t at = 0;
    for (uint32_t i = 0; i < count; ++i) {
        if (length - at < kJournalRecordHeaderSize) return false;
        const uint16_t size = static_cast<uint16_t>(p[at + 4] | p[at + 5] << 8);
        if (size == 0 || length - at - kJournalRecordHeaderSize < size) return false;
        at += kJournalRecordHeaderSize + size;
    }
    return at == length;
}

}  // namespace

void EncodeJournalHeader(std::vector<uint8_t>* out, const JournalIdentity& file) {
    uint8_t h[kJournalHeaderSize];
    std::memcpy(h, kJournalMagic, sizeof kJournalMagic);
    Put32(h + 8, kJournalVersion);
    Put32(h + 12, file.LayoutHash);
    Put64(h + 16, file.FileLength);
    Put32(h + 24, file.FileCrc);
    Put32(h + 28, Crc32c(0, h, 28));
    out->insert(out->end(), h, h + sizeof h);
}

bool DecodeJournalHeader(const uint8_t* data, size_t size, JournalIdentity* file) {
    if (size < kJournalHeaderSize) return false;
    if (std::memcmp(data, kJournalMagic, sizeof kJournalMagic) != 0) return false;
    if (Get32(data + 8) != kJournalVersion) return false;
    if (Get32(data + 28) != Crc32c(0, data, 28)) return false;
    file->LayoutHash = Get32(data + 12);
    file->FileLength = Get64(data + 16);
    file->FileCrc = Get32(data + 24);
    return true;
}

size_t BeginJournalGroup(std::vector<uint8_t>* out, uint64_t sequence) {
    const size_t start = out->size();
    out->resize(start + kJournalGroupHeaderSize);
    Put64(out->data() + start + 4, sequence);
    return start;
}

size_t ReserveJournalRecord(std::vector<uint8_t>* out, uint32_t index, uint16_t size) {
    const size_t at = out->size();
    out->resize(at + kJournalRecordHeaderSize + size);
    uint8_t* p = out->data() + at;
    Put32(p, index);
    p[4] = static_cast<uint8_t>(size);
    p[5] = static_cast<uint8_t>(size >> 8);
    return at + kJournalRecordHeaderSize;
}

void AppendJournalRecord(std::vector<uint8_t>* out, uint32_t index, const void* value, uint16_t size) {
    const size_t at = ReserveJournalRecord(out, index, size);
    if (size) std::memcpy(out->data() + at, value, size);
}

void FinishJournalGroup(std::vector<uint8_t>* out, size_t groupStart) {
    uint8_t* g = out->data() + groupStart;
    const size_t length = out->size() - groupStart - kJournalGroupHeaderSize;
    uint32_t count = 0;
    for (size_t at = 0; at < length;) {
        const uint8_t* r = g + kJournalGroupHeaderSize + at;
        at += kJournalRecordHeaderSize + static_cast<uint16_t>(r[4] | r[5] << 8);
        ++count;
    }
    Put32(g, static_cast<uint32_t>(length));
    Put32(g + 12, count);
    uint32_t crc = Crc32c(0, g, 16);
    Put32(g + 16, Crc32c(crc, g + kJournalGroupHeaderSize, length));
}

// Whether the group at g (with `available` bytes after its header) is
// whole but for its length word.
static bool LengthWordDamaged(const uint8_t* g, size_t available) {
    const uint32_t count = Get32(g + 12);
    const uint8_t* records = g + kJournalGroupHeaderSize;
    size_t at = 0;
    for (uint32_t i = 0; i < count; ++i) {
        if (available - at < kJournalRecordHeaderSize) return false;
        at += kJournalRecordHeaderSize + static_cast<uint16_t>(records[at + 4] | records[at + 5] << 8);
        if (at > available) return false;
    }
    uint8_t header[16];
    std::memcpy(header, g, sizeof header);
    Put32(header, static_cast<uint32_t>(at));
    return Crc32c(Crc32c(0, header, sizeof header), records, at) == Get32(g + 16);
}

JournalReplay ReplayJournalGroups(const uint8_t* data, size_t size, JournalRecordFn fn, void* context) {
    JournalReplay result;
    if (size < kJournalHeaderSize) return result;
    size_t at = kJournalHeaderSize;
    result.WholeBytes = at;
    while (at < size) {
        result.Tail = true;
        if (size - at < kJournalGroupHeaderSize) break;
        const uint8_t* g = data + at;
        const uint32_t length = Get32(g);
        if (size - at - kJournalGroupHeaderSize < length) {
            // Past the end: a group a crash cut short, unless its length
            // word alone was damaged - the records its count names are all
            // there and the checksum holds with the length they fill.
            result.Damaged = LengthWordDamaged(g, size - at - kJournalGroupHeaderSize);
            break;
        }
        // The group is there in full: from here a stop is damage.
        result.Damaged = true;
        if (Get64(g + 4) != result.LastSequence + 1) break;
        uint32_t crc = Crc32c(0, g, 16);
        if (Crc32c(crc, g + kJournalGroupHeaderSize, length) != Get32(g + 16)) break;
        const uint32_t count = Get32(g + 12);
        const uint8_t* records = g + kJournalGroupHeaderSize;
        if (!RecordsFill(records, length, count)) break;
        result.Damaged = false;
        for (size_t r = 0; r < length;) {
            const uint16_t valueSize = static_cast<uint16_t>(records[r + 4] | records[r + 5] << 8);
            if (fn) fn(context, Get32(records + r), records + r + kJournalRecordHeaderSize, valueSize);
            r += kJournalRecordHeaderSize + valueSize;
        }
        result.Groups += 1;
        result.Records += count;
        result.LastSequence += 1;
        at += kJournalGroupHeaderSize + length;
        result.WholeBytes = at;
        result.Tail = false;
    }
    // A file system may leave a torn append as zeros up to the new length:
    // that is a cut-short tail too.
    if (result.Damaged) {
        bool zeros = true;
        for (size_t i = result.WholeBytes; zeros && i < size; ++i) zeros = data[i] == 0;
        result.Damaged = !zeros;
    }
    return result;
}
