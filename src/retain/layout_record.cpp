// The layout record beside each retain file: building, writing, reading and
// verifying it.
#include "retain/layout_record.h"

#include <errno.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "report/report.h"
#include "retain/file_names.h"
#include "retain/layout_hash.h"
#include "retain/md5.h"
#include "retain/records_ahead.h"
#include "retain/retain_paths.h"
#include "stdlib/pdir.h"
#include "stdlib/pfile.h"
#include "stdlib/pmem.h"

namespace {

const char kMagic[8] = {'O', 'v', 'L', 'a', 'y', 'o', 'u', 't'};
constexpr uint32_t kVersion = 2;
constexpr size_t kHeaderSize = 24;
constexpr uint32_t kEntriesMax = kNodeSpaceCapacityMax;  // the most nodes any node space holds
constexpr size_t kChecksumSize = 4;
constexpr size_t kEntryFixed = 6;  // name length, type, Size
constexpr size_t kNameMax = sizeof(NodeRecord::Name) - 1;
// A record of a full node table: its header, the largest entry of either
// version (four varints of at most 3 bytes and the name) for every node a
// node space can hold, the CRC. Larger files are refused unread.
constexpr uint64_t kRecordMax = kHeaderSize + uint64_t{kEntriesMax} * (4 * 3 + kNameMax) + kChecksumSize;

// What EnsureLayoutRecord last found or wrote: the record KnownId of
// KnownHash lists at least KnownCount nodes as a table of shape KnownShape
// has them, KnownNames the fold of their names (LayoutNamesStep) as the
// record was built from them. Guarded by the retain-file lock that every
// caller holds.
bool KnownValid = false;
uint32_t KnownHash = 0;
int32_t KnownCount = 0;
uint32_t KnownShape = 0;
uint32_t KnownId = 0;
uint32_t KnownNames = 0;
uint64_t KnownHalfOffset = 0;  // where the slot of node KnownCount / 2 starts
std::string KnownPath;         // the retain directory
uint64_t KnownSerial = 0;      // advanced by every Remember and reset
// The record's file as it was then: one cut, flipped, replaced or removed
// since is made sure of again, so that a save never names a record that
// cannot be read.
struct stat KnownFile {};

// A record RewriteLayoutRecordOfTable built for a file of this node table
// whose own record is damaged, and could not write (a full disk): what that
// record holds. Files are found by it (FindFileLayoutRecord) until it is
// written, and it is never remembered as written. Guarded as above.
bool StandInHeld = false;
std::string StandInPath;  // the retain directory
uint32_t StandInHash = 0;
uint32_t StandInId = 0;
std::vector<uint8_t> StandInBytes;

bool StandInIs(const std::string& path, uint32_t hash, uint32_t id) {
    return StandInHeld && StandInPath == path && StandInHash == hash && StandInId == id;
}

bool ParseRecord(LayoutRecord* record, std::string* why, bool full, const LayoutKeyHint* hint);

// The held record (hash, id) into *record, when it describes a file of
// fileSize bytes.
bool StandInFits(PDir* dir, uint32_t hash, uint32_t id, uint64_t fileSize, LayoutRecord* record) {
    if (!StandInIs(PDirPath(dir), hash, id)) return false;
    record->Bytes = StandInBytes;
    std::string ignored;
    return ParseRecord(record, &ignored, false, nullptr) && LayoutRecordFileLength(*record) == fileSize;
}

uint32_t LoadLe32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
           static_cast<uint32_t>(p[3]) << 24;
}
uint16_t LoadLe16(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] | p[1] << 8);
}
void PutLe32(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
    p[2] = static_cast<uint8_t>(v >> 16);
    p[3] = static_cast<uint8_t>(v >> 24);
}
uint8_t* PutLe16(uint8_t* p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
    return p + 2;
}
uint8_t* PutVarint(uint8_t* p, uint16_t v) {
    while (v >= 0x80) {
        *p++ = static_cast<uint8_t>(v | 0x80);
        v = static_cast<uint16_t>(v >> 7);
    }
    *p++ = static_cast<uint8_t>(v);
    return p;
}
// A varint at *pos, before end; false when it runs past end or past 16 bits.
inline __attribute__((always_inline)) bool TakeVarint(const uint8_t* b, size_t* pos, size_t end, uint16_t* value) {
    if (*pos < end && b[*pos] < 0x80) {
        *value = b[(*pos)++];
        return true;
    }
    uint32_t v = 0;
    for (int shift = 0; shift <= 14; shift += 7) {
        if (*pos >= end) return false;
        const uint8_t byte = b[(*pos)++];
        v |= static_cast<uint32_t>(byte & 0x7F) << shift;
        if (!(byte & 0x80)) {
            if (v > 0xFFFF) return false;
            *value = static_cast<uint16_t>(v);
            return true;
        }
    }
    return false;
}

// CRC-32C, reflected polynomial 0x82F63B78: the processor's instruction
// where it has one, a table otherwise; both give the same value.
uint32_t Crc32cTable(uint32_t crc, const uint8_t* p, size_t n) {
    static const auto table = [] {
        struct Table {
            uint32_t Word[256];
        } t{};
        for (uint32_t i = 0; i < 256; ++i) {
            uint32_t c = i;
            for (int k = 0; k < 8; ++k) c = (c & 1) ? (c >> 1) ^ 0x82F63B78u : c >> 1;
            t.Word[i] = c;
        }
        return t;
    }();
    while (n--) crc = table.Word[(crc ^ *p++) & 0xFF] ^ (crc >> 8);
    return crc;
}

#if defined(__x86_64__)
__attribute__((target("sse4.2"))) uint32_t Crc32cHardware(uint32_t crc, const uint8_t* p, size_t n) {
    uint64_t c = crc;
    for (; n >= 8; p += 8, n -= 8) {
        uint64_t word;
        std::memcpy(&word, p, 8);
        c = __builtin_ia32_crc32di(c, word);
    }
    uint32_t c32 = static_cast<uint32_t>(c);
    while (n--) c32 = __builtin_ia32_crc32qi(c32, *p++);
    return c32;
}
bool HasCrcInstruction() {
    static const bool has = [] {
        __builtin_cpu_init();
        return __builtin_cpu_supports("sse4.2") != 0;
    }();
    return has;
}
#endif

bool SameFile(const struct stat& a, const struct stat& b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino && a.st_size == b.st_size &&
           a.st_mtim.tv_sec == b.st_mtim.tv_sec && a.st_mtim.tv_nsec == b.st_mtim.tv_nsec;
}

// Whether what is remembered holds for dir: its record is still the file it was.
bool KnownFor(PDir* dir) {
    struct stat st;
    return KnownValid && KnownPath == PDirPath(dir) &&
           PDirStat(dir, LayoutRecordName(KnownHash, KnownId).c_str(), &st) && SameFile(st, KnownFile);
}

void Remember(PDir* dir, uint32_t hash, int32_t listed, uint32_t shape, uint32_t id, uint32_t names,
              uint64_t halfOffset) {
    const char* path = PDirPath(dir).c_str();
    // A record held in memory only is written by the next save.
    KnownValid = !StandInIs(path, hash, id) && PDirStat(dir, LayoutRecordName(hash, id).c_str(), &KnownFile);
    KnownHash = hash;
    KnownCount = listed;
    KnownShape = shape;
    KnownId = id;
    KnownNames = names;
    KnownHalfOffset = halfOffset;
    KnownPath = path;
    ++KnownSerial;
}

// The retain file's directory prefix: the retain path without its file name.
size_t RetainPrefixLength(const char* retainPath) {
    size_t length = std::strlen(retainPath);
    const size_t nameLength = sizeof kRetainFileName - 1;
    if (length < nameLength || std::strcmp(retainPath + length - nameLength, kRetainFileName) != 0) return SIZE_MAX;
    return length - nameLength;
}

// One "ERR" line naming the failed step and the system error in errno.
void ReportStep(const char* what, const char* step) {
    int error = errno;
    report(&LogChannel, "ERR", "%s %s failed: %s", what, step, std::strerror(error));
}

bool ParseRecord(LayoutRecord* record, std::string* why, bool full, const LayoutKeyHint* hint);

// After a record's bytes were read (`read`, errno set when not): verifies
// them and checks that they are the record of `hash`.
bool CheckReadRecord(bool read, uint32_t hash, LayoutRecord* record, std::string* why, const LayoutKeyHint* hint) {
    if (!read) {
        *why = errno == ENOENT ? std::string("missing") : std::string("unreadable: ") + std::strerror(errno);
        return false;
    }
    if (!ParseRecord(record, why, true, hint)) return false;
    if (record->Hash != hash) {
        char text[64];
        std::snprintf(text, sizeof text, "for a different hash (%08x)", record->Hash);
        *why = text;
        return false;
    }
    return true;
}

// The entry's key: from the hint when the entry names the node at the
// cursor, the one after it, or (found by name) anywhere in the hint's table,
// the cursor then moving past it and *node the node's position; digested
// from the name otherwise (*node -1).
uint32_t EntryKey(const LayoutRecordEntry& e, const LayoutKeyHint* hint, int32_t* cursor, int32_t* node) {
    *node = -1;
    if (hint && hint->Table && hint->Keys) {
        for (int32_t at = *cursor; at < hint->Count && at <= *cursor + 1; ++at)
            if (LayoutEntryNamesNode(e, hint->Table[at])) {
                *cursor = at + 1;
                *node = at;
                return hint->Keys[at];
            }
        char name[kNameMax + 1];
        std::memcpy(name, e.Name, e.NameLength);
        name[e.NameLength] = '\0';
        uint32_t index = 0;
        if (NodeGetAttribute(name, "Index", &index, sizeof index) == 0 && index >= 1 &&
            index <= static_cast<uint32_t>(hint->Count) && LayoutEntryNamesNode(e, hint->Table[index - 1])) {
            *cursor = static_cast<int32_t>(index);
            *node = static_cast<int32_t>(index - 1);
            return hint->Keys[index - 1];
        }
    }
    return LayoutNameKey(e.Name, e.NameLength);
}

// Copies n bytes as whole words: up to 7 bytes more are read and written.
inline void CopyWords(char* to, const char* from, size_t n) {
    for (size_t k = 0; k < n; k += 8) {
        uint64_t word;
        std::memcpy(&word, from + k, 8);
        std::memcpy(to + k, &word, 8);
    }
}

// Resizes v to n elements, their pages mapped at once instead of a page
// fault each (records of a million nodes fill some 70 MB).
template <typename T>
void Prefaulted(std::vector<T>* v, size_t n) {
    v->reserve(n);
    PMemPrefault(v->data(), v->capacity() * sizeof(T));
    v->resize(n);
}

// The entries of a version-1 record, from kHeaderSize to end.
bool ParseEntries1(LayoutRecord* record, size_t end, std::string* why) {
    const std::vector<uint8_t>& b = record->Bytes;
    const size_t count = record->Entries.size();
    size_t pos = kHeaderSize;
    uint64_t offset = 4;
    for (size_t i = 0; i < count; ++i) {
        if (end - pos < kEntryFixed + 1) {
            *why = "inconsistent (entries end early)";
            return false;
        }
        const uint16_t length = LoadLe16(&b[pos]);
        if (length == 0 || length > kNameMax || end - pos < kEntryFixed + length) {
            *why = "inconsistent (entry " + std::to_string(i) + " has a bad name length)";
            return false;
        }
        LayoutRecordEntry& e = record->Entries[i];
        e.Name = reinterpret_cast<const char*>(&b[pos + 2]);
        e.NameLength = length;
        if (std::memchr(e.Name, 0, length)) {
            *why = "inconsistent (entry " + std::to_string(i) + " has a zero byte in its name)";
            return false;
        }
        e.Type = LoadLe16(&b[pos + 2 + length]);
        e.Size = LoadLe16(&b[pos + 4 + length]);
        e.Key = 0;
        e.Offset = offset;
        offset += e.Size;
        pos += kEntryFixed + length;
    }
    if (pos != end) {
        *why = "inconsistent (bytes after the last entry)";
        return false;
    }
    return true;
}

// The entries of a version-2 record, from kHeaderSize to end: one pass that
// checks every field and sums the name lengths, and (with `spell`) one that
// spells the names out into record->Names. Without it each entry's Name is
// left at the rest of its name in Bytes and Key holds the length of the
// prefix shared with the name before it, for SpellAndKey.
bool ParseEntries2(LayoutRecord* record, size_t end, bool spell, std::string* why) {
    const uint8_t* b = record->Bytes.data();
    const size_t count = record->Entries.size();
    size_t pos = kHeaderSize;
    uint64_t offset = 4;
    size_t total = 0;
    uint16_t previous = 0;
    for (size_t i = 0; i < count; ++i) {
        uint16_t shared = 0, rest = 0;
        if (!TakeVarint(b, &pos, end, &shared) || !TakeVarint(b, &pos, end, &rest)) {
            *why = "inconsistent (entries end early)";
            return false;
        }
        if (i > 0 && rest == 0 && shared == previous) {
            *why = "inconsistent (entry " + std::to_string(i) + " repeats the name before it)";
            return false;
        }
        if (shared > previous || shared + rest == 0 || shared + rest > kNameMax || end - pos < rest) {
            *why = "inconsistent (entry " + std::to_string(i) + " has a bad name length)";
            return false;
        }
        LayoutRecordEntry& e = record->Entries[i];
        e.Name = reinterpret_cast<const char*>(b + pos);  // the rest, until the names are spelled out
        e.NameLength = static_cast<uint16_t>(shared + rest);
        e.Key = shared;
        pos += rest;
        if (!TakeVarint(b, &pos, end, &e.Type) || !TakeVarint(b, &pos, end, &e.Size)) {
            *why = "inconsistent (entries end early)";
            return false;
        }
        e.Offset = offset;
        offset += e.Size;
        total += e.NameLength;
        previous = e.NameLength;
    }
    if (pos != end) {
        *why = "inconsistent (bytes after the last entry)";
        return false;
    }
    if (!spell) return true;
    // Spelled out a word at a time: Names has a word to spare at its end,
    // and a rest is read so only where the record's bytes go on that far.
    Prefaulted(&record->Names, total + 8);
    char* at = record->Names.data();
    const char* last = at;
    const uint8_t* bytesEnd = b + record->Bytes.size();
    for (LayoutRecordEntry& e : record->Entries) {
        const size_t shared = e.Key, rest = e.NameLength - shared;
        CopyWords(at, last, shared);
        if (reinterpret_cast<const uint8_t*>(e.Name) + rest + 8 <= bytesEnd) {
            CopyWords(at + shared, e.Name, rest);
        } else {
            std::memcpy(at + shared, e.Name, rest);
        }
        e.Name = at;
        e.Key = 0;
        last = at;
        at += e.NameLength;
    }
    // The prefixes come from names already spelled out: one look at all
    // of them finds a zero byte in any rest.
    if (std::memchr(record->Names.data(), 0, total)) {
        *why = "inconsistent (a name has a zero byte)";
        return false;
    }
    return true;
}

bool ParseRecordEntries(LayoutRecord* record, std::string* why, bool full, const LayoutKeyHint* hint,
                        bool spell = true) {
    const std::vector<uint8_t>& b = record->Bytes;
    record->Entries.clear();
    record->Lookup.clear();
    record->NodeEntry.clear();
    record->Names.clear();
    const size_t size = b.size();
    if (size < kHeaderSize + kChecksumSize) {
        *why = "truncated (" + std::to_string(size) + " bytes)";
        return false;
    }
    if (std::memcmp(b.data(), kMagic, sizeof kMagic) != 0) {
        *why = "not a layout record";
        return false;
    }
    record->Version = LoadLe32(&b[8]);
    if (record->Version != 1 && record->Version != 2) {
        *why = "of an unknown format version " + std::to_string(record->Version);
        return false;
    }
    if (Crc32c(0, b.data(), size - kChecksumSize) != LoadLe32(&b[size - kChecksumSize])) {
        *why = "damaged or truncated (checksum does not match)";
        return false;
    }
    record->Hash = LoadLe32(&b[12]);
    record->HashedCount = LoadLe32(&b[16]);
    const uint32_t count = LoadLe32(&b[20]);
    const size_t end = size - kChecksumSize;
    // The smallest entry: 7 bytes in version 1, 4 in version 2.
    const size_t least = record->Version == 1 ? kEntryFixed + 1 : 4;
    if (record->HashedCount > count || count > (end - kHeaderSize) / least ||
        (record->Version == 2 && count > kEntriesMax)) {
        *why = "inconsistent (entry counts do not fit)";
        return false;
    }
    Prefaulted(&record->Entries, count);
    // With a hint, an entry that names a node of its table is that node's
    // (NodeEntry); two such entries of one node name it twice. Only the
    // others go into the lookup. The names of a version-2 record are then
    // spelled out one at a time beside that comparison, and only those of
    // the others are kept.
    const bool hinted = full && hint && hint->Table && hint->Keys && hint->Count > 0;
    const bool spellOnTheWay = hinted && record->Version == 2;
    if (!(record->Version == 1 ? ParseEntries1(record, end, why)
                               : ParseEntries2(record, end, spell && !spellOnTheWay, why)))
        return false;
    if (!full) return true;

    if (hinted) record->NodeEntry.assign(static_cast<size_t>(hint->Count), 0);
    uint32_t h = 0;
    int32_t cursor = 0;
    uint32_t unnamed = 0;  // entries that name no node of the hint's table
    std::vector<uint8_t> named(hinted ? count : 0, 0);
    char spelled[kNameMax + 1];  // the name of entry i, spelled out
    std::vector<uint32_t> kept;  // the entries whose names go into Names
    for (uint32_t i = 0; i < count; ++i) {
        LayoutRecordEntry& e = record->Entries[i];
        const char* const restAt = e.Name;  // with spellOnTheWay: the rest of the name, after e.Key shared bytes
        const uint16_t sharedHere = static_cast<uint16_t>(e.Key);
        if (spellOnTheWay) {
            const size_t shared = e.Key, rest = e.NameLength - shared;
            std::memcpy(spelled + shared, e.Name, rest);
            if (std::memchr(spelled + shared, 0, rest)) {
                *why = "inconsistent (a name has a zero byte)";
                return false;
            }
            e.Name = spelled;
        }
        // The table's names ahead on their way (they are compared in order).
        if (hinted) NameAhead(hint->Table, static_cast<int64_t>(cursor), hint->Count, kPrefetchAhead);
        int32_t node = -1;
        e.Key = EntryKey(e, hint, &cursor, &node);
        if (i < record->HashedCount) h = ((h << 1) | (h >> 31)) + e.Key;
        if (node < 0) {
            ++unnamed;
        } else if (record->NodeEntry[static_cast<size_t>(node)] != 0) {
            *why = "inconsistent (names node " + std::string(e.Name, e.NameLength) + " twice)";
            return false;
        } else {
            record->NodeEntry[static_cast<size_t>(node)] = i + 1;
            named[i] = 1;
        }
        if (spellOnTheWay) {
            if (named[i]) {
                // The node's name is the entry's; the rest stays where it is.
                e.Name = restAt;
                e.Shared = sharedHere;
            } else {
                record->Names.insert(record->Names.end(), e.Name, e.Name + e.NameLength);
                kept.push_back(i);
            }
        }
    }
    // Names grew as it went: the kept entries point into it only now.
    size_t at = 0;
    for (uint32_t i : kept) {
        record->Entries[i].Name = record->Names.data() + at;
        at += record->Entries[i].NameLength;
    }
    if (h != record->Hash) {
        char text[96];
        std::snprintf(text, sizeof text, "its names do not reproduce its hash %08x (they give %08x)", record->Hash, h);
        *why = text;
        return false;
    }
    size_t slots = 16;
    while (slots < 2 * static_cast<size_t>(unnamed)) slots *= 2;
    record->Lookup.assign(slots, 0);
    const size_t mask = slots - 1;
    for (uint32_t i = 0; i < count; ++i) {
        const LayoutRecordEntry& e = record->Entries[i];
        if (hinted && named[i]) continue;
        size_t at = e.Key & mask;
        while (uint32_t other = record->Lookup[at]) {
            const LayoutRecordEntry& o = record->Entries[other - 1];
            if (o.NameLength == e.NameLength && std::memcmp(o.Name, e.Name, e.NameLength) == 0) {
                *why = "inconsistent (names node " + std::string(e.Name, e.NameLength) + " twice)";
                return false;
            }
            at = (at + 1) & mask;
        }
        record->Lookup[at] = i + 1;
    }
    return true;
}

// A record that does not verify keeps no entries (some may point at names
// spelled out on the way).
bool ParseRecord(LayoutRecord* record, std::string* why, bool full, const LayoutKeyHint* hint) {
    if (ParseRecordEntries(record, why, full, hint)) return true;
    record->Entries.clear();
    record->NodeEntry.clear();
    record->Lookup.clear();
    return false;
}

}  // namespace

std::string LayoutRecordName(uint32_t hash, uint32_t id) {
    char name[40];
    if (id == 0) {
        std::snprintf(name, sizeof name, "OvRetain.%08x.layout", hash);
    } else {
        std::snprintf(name, sizeof name, "OvRetain.%08x.%08x.layout", hash, id);
    }
    return name;
}

bool ParseHex8(const std::string& name, size_t at, uint32_t* value) {
    if (name.size() < at + 8) return false;
    uint32_t v = 0;
    for (size_t i = at; i < at + 8; ++i) {
        const char c = name[i];
        if (c >= '0' && c <= '9') {
            v = v << 4 | static_cast<uint32_t>(c - '0');
        } else if (c >= 'a' && c <= 'f') {
            v = v << 4 | static_cast<uint32_t>(c - 'a' + 10);
        } else {
            return false;
        }
    }
    *value = v;
    return true;
}

bool ParseLayoutRecordName(const std::string& name, uint32_t* hash, uint32_t* id) {
    auto hex = [&](size_t at, uint32_t* out) { return ParseHex8(name, at, out); };
    if (name.compare(0, 9, "OvRetain.") != 0) return false;
    *id = 0;
    if (name.size() == 9 + 8 + 7 && name.compare(17, 7, ".layout") == 0) return hex(9, hash);
    return name.size() == 9 + 8 + 1 + 8 + 7 && name[17] == '.' && name.compare(26, 7, ".layout") == 0 && hex(9, hash) &&
           hex(18, id) && *id != 0;
}

uint32_t LayoutRecordId(const std::vector<uint8_t>& bytes) {
    return bytes.size() >= kChecksumSize ? LoadLe32(&bytes[bytes.size() - kChecksumSize]) : 0;
}

uint32_t Crc32c(uint32_t crc, const void* data, size_t size) {
    const uint8_t* p = static_cast<const uint8_t*>(data);
#if defined(__x86_64__)
    if (HasCrcInstruction()) return ~Crc32cHardware(~crc, p, size);
#endif
    return ~Crc32cTable(~crc, p, size);
}

namespace {

// a * b modulo the CRC-32C polynomial, both in the reflected bit order.
uint32_t MultiplyModCrc(uint32_t a, uint32_t b) {
    uint32_t product = 0;
    for (uint32_t bit = 1u << 31; bit != 0; bit >>= 1) {
        if (a & bit) product ^= b;
        b = (b & 1) ? (b >> 1) ^ 0x82F63B78u : b >> 1;
    }
    return product;
}

}  // namespace

uint32_t Crc32cCombine(uint32_t first, uint32_t second, uint64_t secondLength) {
    // first times x to the power of the second's length in bits, plus the
    // second: squares of x^8 taken for each bit of the length.
    uint32_t power = 1u << 31;   // x^0
    uint32_t square = 1u << 23;  // x^8
    for (uint64_t n = secondLength; n != 0; n >>= 1) {
        if (n & 1) power = MultiplyModCrc(power, square);
        square = MultiplyModCrc(square, square);
    }
    return MultiplyModCrc(power, first) ^ second;
}

uint32_t LayoutNameKey(const char* name, size_t length) {
    uint8_t digest[16];
    Md5Digest(name, length, digest);
    return LoadLe32(digest);
}

bool RetainSiblingPath(const char* name, char* out, size_t size) {
    const char* retainPath = GetRetainFilePath();
    const size_t prefix = RetainPrefixLength(retainPath);
    if (retainPath[0] == '\0' || prefix == SIZE_MAX) return false;
    int n = std::snprintf(out, size, "%.*s%s", static_cast<int>(prefix), retainPath, name);
    return n > 0 && static_cast<size_t>(n) < size;
}

bool LayoutRecordPathFor(uint32_t hash, uint32_t id, char* out, size_t size) {
    return RetainSiblingPath(LayoutRecordName(hash, id).c_str(), out, size);
}

std::string LayoutRecordPathBeside(const std::string& retainPath, uint32_t hash, uint32_t id) {
    const std::string name = LayoutRecordName(hash, id);
    const std::string mapped = PFileMapPath(retainPath.c_str());
    const size_t slash = mapped.rfind('/');
    return (slash == std::string::npos ? std::string() : mapped.substr(0, slash + 1)) + name;
}

void BeginLayoutRecord(LayoutRecordBuilder* builder, uint32_t hash, uint32_t hashedCount, uint32_t version) {
    std::vector<uint8_t>& bytes = builder->Bytes;
    bytes.assign(kHeaderSize, 0);
    std::memcpy(bytes.data(), kMagic, sizeof kMagic);
    builder->Version = version == 1 ? 1 : kVersion;
    PutLe32(&bytes[8], builder->Version);
    PutLe32(&bytes[12], hash);
    PutLe32(&bytes[16], hashedCount);
    builder->Used = kHeaderSize;
    builder->Count = 0;
    builder->LastLength = 0;
}

void ReserveLayoutRecord(LayoutRecordBuilder* builder, size_t size) {
    if (builder->Bytes.size() >= size) return;
    builder->Bytes.reserve(size);
    PMemPrefault(builder->Bytes.data(), builder->Bytes.capacity());
    builder->Bytes.resize(size);
}

namespace {

// Room for the longest entry; Bytes beyond Used are scratch until Finish.
uint8_t* EntryRoom(LayoutRecordBuilder* builder) {
    constexpr size_t kEntryMost = 4 * 3 + kNameMax;
    std::vector<uint8_t>& bytes = builder->Bytes;
    if (bytes.size() - builder->Used < kEntryMost) bytes.resize(std::max(2 * bytes.size(), builder->Used + kEntryMost));
    return bytes.data() + builder->Used;
}

// A version-2 entry at p: the name is the previous one's first `shared`
// bytes and the rest; the previous name becomes this one.
void PutEntry2(LayoutRecordBuilder* builder, uint8_t* p, size_t shared, const char* rest, size_t restLength,
               uint16_t type, uint16_t size) {
    p = PutVarint(p, static_cast<uint16_t>(shared));
    p = PutVarint(p, static_cast<uint16_t>(restLength));
    std::memcpy(p, rest, restLength);
    p = PutVarint(PutVarint(p + restLength, type), size);
    std::memmove(builder->Last + shared, rest, restLength);
    builder->LastLength = static_cast<uint16_t>(shared + restLength);
    ++builder->Count;
    builder->Used = static_cast<size_t>(p - builder->Bytes.data());
}

}  // namespace

void AppendLayoutRecordEntry(LayoutRecordBuilder* builder, const char* name, size_t length, uint16_t type,
                             uint16_t size) {
    uint8_t* p = EntryRoom(builder);
    if (builder->Version == 1) {
        p = PutLe16(p, static_cast<uint16_t>(length));
        std::memcpy(p, name, length);
        p = PutLe16(PutLe16(p + length, type), size);
        ++builder->Count;
        builder->Used = static_cast<size_t>(p - builder->Bytes.data());
        return;
    }
    // The prefix shared with the previous name, a word at a time.
    const char* last = builder->Last;
    size_t most = std::min<size_t>(length, builder->LastLength);
    size_t shared = 0;
    for (; shared + 8 <= most; shared += 8) {
        uint64_t a, b;
        std::memcpy(&a, name + shared, 8);
        std::memcpy(&b, last + shared, 8);
        if (a != b) {
            if (__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__) {
                shared += static_cast<size_t>(__builtin_ctzll(a ^ b)) / 8;
                most = shared;  // the first byte that differs
            }
            break;
        }
    }
    while (shared < most && name[shared] == last[shared]) ++shared;
    PutEntry2(builder, p, shared, name + shared, length - shared, type, size);
}

bool AppendLayoutRecordRest(LayoutRecordBuilder* builder, size_t shared, const char* rest, size_t restLength,
                            uint16_t type, uint16_t size) {
    // The longest shared prefix ends at the end of the shorter name or at
    // the first byte where the two differ; a name is never the one before.
    if (builder->Version != 2 || shared > builder->LastLength || shared + restLength == 0 ||
        shared + restLength > kNameMax)
        return false;
    if (restLength == 0 ? shared == builder->LastLength
                        : shared < builder->LastLength && rest[0] == builder->Last[shared])
        return false;
    PutEntry2(builder, EntryRoom(builder), shared, rest, restLength, type, size);
    return true;
}

void FinishLayoutRecord(LayoutRecordBuilder* builder) {
    std::vector<uint8_t>& bytes = builder->Bytes;
    bytes.resize(builder->Used);
    PutLe32(&bytes[20], builder->Count);
    const uint32_t crc = Crc32c(0, bytes.data(), bytes.size());
    bytes.resize(bytes.size() + kChecksumSize);
    PutLe32(bytes.data() + bytes.size() - kChecksumSize, crc);
    builder->Used = bytes.size();
}

bool VerifyLayoutRecord(LayoutRecord* record, std::string* why, const LayoutKeyHint* hint) {
    return ParseRecord(record, why, true, hint);
}

bool ReadLayoutRecord(const char* path, uint32_t hash, LayoutRecord* record, std::string* why,
                      const LayoutKeyHint* hint) {
    const bool read = PFileReadWhole(path, &record->Bytes, kRecordMax);
    return CheckReadRecord(read, hash, record, why, hint);
}

bool ReadLayoutRecordIn(PDir* dir, uint32_t hash, uint32_t id, LayoutRecord* record, std::string* why,
                        const LayoutKeyHint* hint) {
    const bool read = PDirReadWhole(dir, LayoutRecordName(hash, id).c_str(), &record->Bytes, kRecordMax);
    if (!CheckReadRecord(read, hash, record, why, hint)) return false;
    if (id != 0 && LayoutRecordId(record->Bytes) != id) {
        *why = "not the record its name says";
        return false;
    }
    return true;
}

bool ReadLayoutRecordEntries(PDir* dir, uint32_t hash, uint32_t id, LayoutRecord* record, std::string* why) {
    if (!PDirReadWhole(dir, LayoutRecordName(hash, id).c_str(), &record->Bytes, kRecordMax)) {
        const int error = errno;
        *why = error == ENOENT ? std::string("missing") : std::string("unreadable: ") + std::strerror(error);
        errno = error;
        return false;
    }
    errno = 0;
    if (!ParseRecord(record, why, false, nullptr)) return false;
    if (record->Hash != hash || (id != 0 && LayoutRecordId(record->Bytes) != id)) {
        *why = "not the record its name says";
        return false;
    }
    return true;
}

bool ReadLayoutRecordFileLength(PDir* dir, uint32_t hash, uint32_t id, LayoutRecord* scratch, uint64_t* length) {
    std::string why;
    if (!PDirReadWhole(dir, LayoutRecordName(hash, id).c_str(), &scratch->Bytes, kRecordMax) ||
        !ParseRecordEntries(scratch, &why, false, nullptr, false) || scratch->Hash != hash ||
        (id != 0 && LayoutRecordId(scratch->Bytes) != id))
        return false;
    *length = LayoutRecordFileLength(*scratch);
    return true;
}

uint64_t LayoutRecordFileLength(const LayoutRecord& record) {
    return record.Entries.empty() ? 4 : record.Entries.back().Offset + record.Entries.back().Size;
}

namespace {

// Whether two records list the same names, type codes and Sizes.
bool SameLayout(const LayoutRecord& a, const LayoutRecord& b) {
    if (a.Entries.size() != b.Entries.size()) return false;
    for (size_t i = 0; i < a.Entries.size(); ++i) {
        const LayoutRecordEntry &x = a.Entries[i], &y = b.Entries[i];
        if (x.NameLength != y.NameLength || x.Type != y.Type || x.Size != y.Size ||
            std::memcmp(x.Name, y.Name, x.NameLength) != 0)
            return false;
    }
    return true;
}

}  // namespace

FileRecordFind FindFileLayoutRecord(PDir* dir, uint32_t hash, uint64_t fileSize, uint32_t* id, LayoutRecord* record,
                                    std::string* why) {
    if (*id != 0 && ReadLayoutRecordEntries(dir, hash, *id, record, why)) return FILE_RECORD_FOUND;
    const uint32_t named = *id;
    std::string namedWhy = named != 0 ? *why : std::string();
    if (named != 0 && StandInFits(dir, hash, named, fileSize, record)) return FILE_RECORD_FOUND;
    std::vector<std::string> names;
    if (!PDirList(dir, &names)) {
        *why = std::string("its directory cannot be listed: ") + std::strerror(errno);
        return FILE_RECORD_UNFIT;
    }
    std::sort(names.begin(), names.end());
    size_t ofHash = 0, layouts = 0;
    uint32_t foundId = 0;
    for (const std::string& name : names) {
        uint32_t h = 0, i = 0;
        if (!ParseLayoutRecordName(name, &h, &i) || h != hash) continue;
        ++ofHash;
        LayoutRecord candidate;
        std::string ignored;
        if (!ReadLayoutRecordEntries(dir, hash, i, &candidate, &ignored) ||
            LayoutRecordFileLength(candidate) != fileSize)
            continue;
        if (layouts != 0 && SameLayout(*record, candidate)) {
            if (foundId == 0) foundId = i;  // the record of an id is named by it
            continue;
        }
        ++layouts;
        *record = std::move(candidate);
        foundId = i;
    }
    char text[160];
    if (layouts == 1 && named != 0 && foundId != named) {
        // The file was written with the record its name or check entry
        // names, which cannot be read: one of another id lists another
        // layout (one content has one id), whose slots would hand nodes each
        // other's bytes.
        *why = "its layout record " + LayoutRecordName(hash, named) + " is " + namedWhy +
               ", and the one of its length is another layout's";
        record->Entries.clear();
        return FILE_RECORD_UNFIT;
    }
    if (layouts == 1) {
        *id = foundId;
        return FILE_RECORD_FOUND;
    }
    // None readable: the record this node table builds, held in memory
    // since it could not be written.
    if (layouts == 0 && named == 0 && StandInHeld && StandInFits(dir, hash, StandInId, fileSize, record)) {
        *id = StandInId;
        return FILE_RECORD_FOUND;
    }
    record->Entries.clear();
    if (ofHash == 0) {
        std::snprintf(text, sizeof text, "no layout record of its hash %08x is there", hash);
        *why = text;
        return FILE_RECORD_NONE;
    }
    std::snprintf(text, sizeof text, "%s of the %zu layout records of its hash %08x describes its %llu bytes",
                  layouts == 0 ? "none" : "more than one", ofHash, hash, static_cast<unsigned long long>(fileSize));
    *why = text;
    return FILE_RECORD_UNFIT;
}

int64_t FirstLayoutDifference(const LayoutRecord& record, const NodeRecord* table, int32_t count, uint64_t fileSize,
                              PDir* dir) {
    const size_t n = std::min(record.Entries.size(), static_cast<size_t>(std::max(count, 0)));
    uint32_t shape = 0;
    uint32_t names = 0;
    size_t i = 0;
    for (; table && i < n; ++i) {
        const LayoutRecordEntry& e = record.Entries[i];
        if (e.Offset + e.Size > fileSize) break;  // the file holds no slot from here on
        NameAhead(table, static_cast<int64_t>(i), static_cast<int64_t>(n), 16, NAME_AND_TYPE_LINES);
        const NodeRecord& node = table[i];
        uint16_t size = 0;
        if (NodeGetAttribute(node.Name, "Size", &size, sizeof size) != 0) size = 0;
        if (!LayoutEntryNamesNode(e, node) || e.Type != node.Type || e.Size != size) return static_cast<int64_t>(i);
        shape = LayoutShapeStep(shape, static_cast<int32_t>(i), node.Type, size);
        names = LayoutNamesStep(names, node.Name, e.NameLength);
    }
    // Every node matched, and the record is the one a save would build from
    // this table (this version, the hash's node count, one entry a node, or
    // the hashed ones when there are more): a save finds it remembered, and
    // a load of its file need not read it again.
    const int32_t hashed = record.Hash == 0 ? 0 : LayoutHashNodeCount();
    const size_t listed = static_cast<size_t>(count > hashed ? count : hashed);
    if (dir && table && i == static_cast<size_t>(std::max(count, 0)) && record.Version == 2 &&
        record.HashedCount == static_cast<uint32_t>(hashed) && record.Entries.size() == listed)
        Remember(dir, record.Hash, count, shape, LayoutRecordId(record.Bytes), names,
                 count > 0 ? record.Entries[static_cast<size_t>(count / 2)].Offset : 4);
    return -1;
}

bool LayoutEntryNamesNode(const LayoutRecordEntry& e, const NodeRecord& node) {
    // The entry's bytes are not zero (a record that verifies has none): the
    // same bytes, then the node's terminating zero.
    return e.NameLength <= kNameMax && std::memcmp(node.Name, e.Name, e.NameLength) == 0 &&
           node.Name[e.NameLength] == '\0';
}

int64_t FindLayoutRecordEntry(const LayoutRecord& record, const char* name, size_t length) {
    if (record.Lookup.empty()) return -1;
    const size_t mask = record.Lookup.size() - 1;
    for (size_t at = LayoutNameKey(name, length) & mask;; at = (at + 1) & mask) {
        const uint32_t slot = record.Lookup[at];
        if (slot == 0) return -1;
        const LayoutRecordEntry& e = record.Entries[slot - 1];
        if (e.NameLength == length && std::memcmp(e.Name, name, length) == 0) return slot - 1;
    }
}

bool WriteRetainSibling(PDir* dir, const char* name, const std::vector<uint8_t>& bytes, const char* what) {
    const char* step = "open";
    if (PDirWriteFile(dir, name, bytes.data(), bytes.size(), &step)) return true;
    ReportStep(what, step);
    return false;
}

namespace {

// The record of `hash` for nodes [0, count) of table, built in builder; the
// fold of their names (LayoutNamesStep).
uint32_t BuildTableRecord(uint32_t hash, const NodeRecord* table, int32_t count, LayoutRecordBuilder* builder,
                          uint64_t* halfOffset = nullptr) {
    // The hash covers the first `hashed` records; the record lists at least
    // those, so that it can be checked, even when the save walked fewer.
    const int32_t hashed = hash == 0 ? 0 : LayoutHashNodeCount();
    const int32_t listed = count > hashed ? count : hashed;
    BeginLayoutRecord(builder, hash, static_cast<uint32_t>(hashed));
    ReserveLayoutRecord(builder, kHeaderSize + static_cast<size_t>(listed) * 16);
    uint32_t names = 0;
    uint64_t offset = 4;
    for (int32_t i = 0; i < listed; ++i) {
        const NodeRecord& node = table[i];
        uint16_t size = 0;
        if (NodeGetAttribute(node.Name, "Size", &size, sizeof size) != 0) size = 0;
        if (halfOffset && i == count / 2) *halfOffset = offset;
        offset += size;
        const size_t length = strnlen(node.Name, kNameMax);
        AppendLayoutRecordEntry(builder, node.Name, length, node.Type, size);
        if (i < count) names = LayoutNamesStep(names, node.Name, length);
    }
    FinishLayoutRecord(builder);
    return names;
}

}  // namespace

bool RewriteLayoutRecordOfTable(PDir* dir, uint32_t hash, uint32_t id, const NodeRecord* table, int32_t count) {
    if (count < 0 || !table) count = 0;
    LayoutRecordBuilder builder;
    BuildTableRecord(hash, table, count, &builder);
    if (LayoutRecordId(builder.Bytes) != id) return false;
    if (WriteLayoutRecord(dir, hash, builder.Bytes)) return true;
    // Its file stays damaged for now (the line before says why): the
    // record is held in memory, and the next save that can write it does.
    StandInHeld = true;
    StandInPath = PDirPath(dir);
    StandInHash = hash;
    StandInId = id;
    StandInBytes = std::move(builder.Bytes);
    report(&LogChannel, "WRN", "Layout record %s is read as this node table builds it until a save can write it.",
           LayoutRecordName(hash, id).c_str());
    return true;
}

bool RewriteUnreadableLayoutRecordOfTable(PDir* dir, uint32_t hash, const NodeRecord* table, int32_t count) {
    std::vector<std::string> names;
    if (!PDirList(dir, &names)) return false;
    for (const std::string& name : names) {
        uint32_t h = 0, id = 0;
        LayoutRecord record;
        std::string why;
        if (!ParseLayoutRecordName(name, &h, &id) || h != hash || id == 0 ||
            ReadLayoutRecordEntries(dir, hash, id, &record, &why))
            continue;
        if (RewriteLayoutRecordOfTable(dir, hash, id, table, count)) return true;
    }
    return false;
}

bool EnsureLayoutRecord(PDir* dir, uint32_t hash, const NodeRecord* table, int32_t count, uint32_t shape,
                        uint32_t* id) {
    if (count < 0 || !table) count = 0;
    if (KnownFor(dir) && KnownHash == hash && count == KnownCount && shape == KnownShape) {
        *id = KnownId;
        return true;
    }
    LayoutRecordBuilder builder;
    uint64_t halfOffset = 4;
    const uint32_t names = BuildTableRecord(hash, table, count, &builder, &halfOffset);
    if (!WriteLayoutRecord(dir, hash, builder.Bytes)) return false;
    *id = LayoutRecordId(builder.Bytes);
    Remember(dir, hash, count, shape, *id, names, halfOffset);
    return true;
}

void RecallLayoutRecord(PDir* dir, uint32_t hash, const NodeRecord* table, int32_t count) {
    if (count < 0 || !table) count = 0;
    // A record the start-up check (or a save) made sure of for this hash and
    // node count is what the save will find remembered: its own walk folds
    // the shape and compares it, so a second fold here (a lookup by name per
    // node, more than a warm save's walk) would only keep a save asked for
    // meanwhile waiting.
    if (KnownFor(dir) && KnownHash == hash && KnownCount == count) return;
    // The shape as the save's walk folds it: the record it makes sure of
    // is then the one remembered here.
    uint32_t shape = 0;
    for (int32_t i = 0; i < count; ++i) {
        uint16_t size = 0;
        if (NodeGetAttribute(table[i].Name, "Size", &size, sizeof size) != 0) size = 0;
        shape = LayoutShapeStep(shape, i, table[i].Type, size);
    }
    uint32_t id = 0;
    EnsureLayoutRecord(dir, hash, table, count, shape, &id);
}

bool WriteLayoutRecord(PDir* dir, uint32_t hash, const std::vector<uint8_t>& bytes) {
    const std::string name = LayoutRecordName(hash, LayoutRecordId(bytes));
    // A record of this name holds these bytes unless it was damaged.
    std::vector<uint8_t> there;
    const bool written = (PDirReadWhole(dir, name.c_str(), &there, kRecordMax) && there == bytes) ||
                         WriteRetainSibling(dir, name.c_str(), bytes, "Layout record");
    if (written && StandInIs(PDirPath(dir), hash, LayoutRecordId(bytes))) {
        StandInHeld = false;
        StandInBytes.clear();
    }
    return written;
}

uint32_t LayoutNamesStep(uint32_t names, const char* name, size_t length) {
    // The length goes in after the bytes, so that names cannot trade bytes.
    return (Crc32c(names, name, length) * 0x01000193u) ^ static_cast<uint32_t>(length);
}

bool KnownLayoutRecord(PDir* dir, KnownLayout* known) {
    // What a load goes by: the record as this process made sure of it, even
    // when its file was damaged since (the next save writes it again).
    if (!KnownValid || KnownPath != PDirPath(dir)) return false;
    known->Hash = KnownHash;
    known->Id = KnownId;
    known->Count = KnownCount;
    known->Shape = KnownShape;
    known->Names = KnownNames;
    known->HalfOffset = KnownHalfOffset;
    known->Serial = KnownSerial;
    return true;
}

void ResetLayoutRecordForTest() {
    StandInHeld = false;
    KnownValid = false;
    KnownHash = 0;
    KnownCount = 0;
    ++KnownSerial;
}
