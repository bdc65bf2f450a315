#include "archive/archive_sets.h"

#include <openssl/evp.h>

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <map>
#include <set>
#include <sstream>

#include "retain/journal_format.h"
#include "retain/layout_record.h"
#include "stdlib/pdir.h"

namespace {

std::string Hex8(uint32_t value) {
    char buffer[9];
    std::snprintf(buffer, sizeof buffer, "%08x", value);
    return buffer;
}

bool ParseHex32(const std::string& text, uint32_t* value) {
    if (text.size() != 8 || text.find_first_not_of("0123456789abcdef") != std::string::npos) return false;
    *value = static_cast<uint32_t>(std::strtoul(text.c_str(), nullptr, 16));
    return true;
}

void PutLe(std::vector<uint8_t>* out, uint64_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) out->push_back(static_cast<uint8_t>(value >> (8 * i)));
}

uint32_t GetLe32(const uint8_t* p) {
    return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

void NoRecord(void*, uint32_t, const uint8_t*, uint16_t) {}

}  // namespace

std::string ArchiveDataKey(const std::string& prefix, const std::string& md5) {
    return prefix + "data/" + md5;
}
std::string ArchiveLayoutKey(const std::string& prefix, uint32_t hash, uint32_t id) {
    return prefix + "layout/" + LayoutRecordName(hash, id);
}
std::string ArchiveManifestKey(const std::string& prefix, const std::string& set) {
    return prefix + "sets/" + set + ".manifest";
}
std::string ArchiveJournalPrefix(const std::string& prefix, const std::string& set) {
    return prefix + "journal/" + set + "/";
}
std::string ArchiveJournalKey(const std::string& prefix, const std::string& set, uint64_t first, uint64_t last) {
    char buffer[40];
    std::snprintf(buffer, sizeof buffer, "%016" PRIx64 "-%016" PRIx64, first, last);
    return ArchiveJournalPrefix(prefix, set) + buffer;
}
std::string ArchiveFleetKey(const std::string& prefix) {
    return "fleet/" + prefix + "newest";
}

std::string ArchiveSetName(int64_t time, uint32_t hash, uint32_t id, const std::string& md5) {
    time_t t = static_cast<time_t>(time);
    struct tm tm {};
    gmtime_r(&t, &tm);
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%Y%m%dT%H%M%SZ", &tm);
    return std::string(stamp) + "." + Hex8(hash) + "." + Hex8(id) + "." + md5;
}

bool ParseArchiveSetName(const std::string& name, ArchiveSet* set) {
    // 16 + 1 + 8 + 1 + 8 + 1 + 32
    if (name.size() != 67 || name[16] != '.' || name[25] != '.' || name[34] != '.') return false;
    struct tm tm {};
    const char* end = strptime(name.c_str(), "%Y%m%dT%H%M%SZ", &tm);
    if (end != name.c_str() + 16) return false;
    std::string md5 = name.substr(35);
    if (md5.find_first_not_of("0123456789abcdef") != std::string::npos) return false;
    if (!ParseHex32(name.substr(17, 8), &set->Hash) || !ParseHex32(name.substr(26, 8), &set->LayoutId)) return false;
    set->Name = name;
    set->Time = static_cast<int64_t>(timegm(&tm));
    set->Md5 = md5;
    return true;
}

std::string EncodeSetManifest(const SetManifest& m) {
    std::ostringstream out;
    out << "ovretain-archive-set 1\ntime " << m.Time << "\nmd5 " << m.Md5 << "\nlength " << m.Entry.Length << "\ncrc "
        << Hex8(m.Entry.Crc) << "\nhash " << Hex8(m.Entry.Hash) << "\nlayout " << Hex8(m.Entry.LayoutId) << "\n";
    return out.str();
}

bool DecodeSetManifest(const std::string& text, SetManifest* m) {
    std::istringstream in(text);
    std::string line;
    if (!std::getline(in, line) || line != "ovretain-archive-set 1") return false;
    unsigned seen = 0;
    while (std::getline(in, line)) {
        size_t space = line.find(' ');
        if (space == std::string::npos) return false;
        const std::string key = line.substr(0, space), value = line.substr(space + 1);
        if (key == "time") {
            m->Time = std::strtoll(value.c_str(), nullptr, 10);
            seen |= 1;
        } else if (key == "md5" && value.size() == 32) {
            m->Md5 = value;
            seen |= 2;
        } else if (key == "length") {
            m->Entry.Length = std::strtoull(value.c_str(), nullptr, 10);
            seen |= 4;
        } else if (key == "crc" && ParseHex32(value, &m->Entry.Crc)) {
            seen |= 8;
        } else if (key == "hash" && ParseHex32(value, &m->Entry.Hash)) {
            seen |= 16;
        } else if (key == "layout" && ParseHex32(value, &m->Entry.LayoutId)) {
            seen |= 32;
        } else {
            return false;
        }
    }
    return seen == 63;
}

std::string Md5Hex(const uint8_t* data, size_t size) {
    unsigned char out[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_Digest(data, size, out, &length, EVP_md5(), nullptr);
    std::string hex;
    char buffer[3];
    for (unsigned i = 0; i < length; ++i) {
        std::snprintf(buffer, sizeof buffer, "%02x", out[i]);
        hex += buffer;
    }
    return hex;
}

bool ListArchiveSets(S3Store* store, const std::string& prefix, std::vector<ArchiveSet>* sets, S3Result* result) {
    sets->clear();
    std::vector<S3Object> manifests, data;
    if (!S3List(store, prefix + "sets/", &manifests, result) || !S3List(store, prefix + "data/", &data, result))
        return false;
    std::map<std::string, uint64_t> sizes;
    for (const S3Object& object : data) sizes[object.Key.substr(prefix.size() + 5)] = object.Size;
    const std::string suffix = ".manifest";
    for (const S3Object& object : manifests) {
        std::string name = object.Key.substr(prefix.size() + 5);
        if (name.size() <= suffix.size() || name.compare(name.size() - suffix.size(), suffix.size(), suffix) != 0)
            continue;
        name.resize(name.size() - suffix.size());
        ArchiveSet set;
        if (!ParseArchiveSetName(name, &set)) continue;
        auto it = sizes.find(set.Md5);
        set.Present = it != sizes.end();
        set.Size = set.Present ? it->second : 0;
        sets->push_back(set);
    }
    std::sort(sets->begin(), sets->end(), [](const ArchiveSet& a, const ArchiveSet& b) { return a.Name < b.Name; });
    return true;
}

bool ReadArchiveSet(S3Store* store, const std::string& prefix, const std::string& set, PulledSet* pulled,
                    std::string* why) {
    *pulled = PulledSet{};
    S3Result result;
    bool found = false;
    auto get = [&](const std::string& key, std::vector<uint8_t>* bytes, const char* what) {
        if (!S3Get(store, key, bytes, &found, &result)) {
            *why = std::string("cannot read the set's ") + what + ": " + S3Describe(result);
            return false;
        }
        if (!found) *why = std::string("the set's ") + what + " is missing (" + key + ")";
        return found;
    };
    std::vector<uint8_t> text;
    if (!get(ArchiveManifestKey(prefix, set), &text, "manifest")) return false;
    if (!DecodeSetManifest(std::string(text.begin(), text.end()), &pulled->Manifest)) {
        *why = "the set's manifest cannot be read";
        return false;
    }
    const SetManifest& m = pulled->Manifest;
    if (!get(ArchiveDataKey(prefix, m.Md5), &pulled->File, "retain file")) return false;
    if (Md5Hex(pulled->File.data(), pulled->File.size()) != m.Md5 || pulled->File.size() != m.Entry.Length ||
        Crc32c(0, pulled->File.data(), pulled->File.size()) != m.Entry.Crc || pulled->File.size() < 4 ||
        GetLe32(pulled->File.data()) != m.Entry.Hash) {
        *why = "the set's retain file does not match its manifest";
        return false;
    }
    if (!get(ArchiveLayoutKey(prefix, m.Entry.Hash, m.Entry.LayoutId), &pulled->Layout, "layout record")) return false;
    const std::vector<uint8_t>& layout = pulled->Layout;
    if (layout.size() < 28 || Crc32c(0, layout.data(), layout.size() - 4) != m.Entry.LayoutId ||
        GetLe32(&layout[layout.size() - 4]) != m.Entry.LayoutId) {
        *why = "the set's layout record is damaged";
        return false;
    }
    std::vector<S3Object> parts;
    if (!S3List(store, ArchiveJournalPrefix(prefix, set), &parts, &result)) {
        *why = "cannot list the set's journal: " + S3Describe(result);
        return false;
    }
    std::vector<uint8_t> journal;
    EncodeJournalHeader(&journal, JournalIdentity{m.Entry.Hash, m.Entry.Length, m.Entry.Crc});
    uint64_t expected = 1;
    for (const S3Object& part : parts) {  // in key order: by first sequence
        unsigned long long first = 0, last = 0;
        const std::string name = part.Key.substr(part.Key.rfind('/') + 1);
        if (std::sscanf(name.c_str(), "%16llx-%16llx", &first, &last) != 2 || first != expected || last < first) break;
        std::vector<uint8_t> bytes;
        if (!get(part.Key, &bytes, "journal")) return false;
        journal.insert(journal.end(), bytes.begin(), bytes.end());
        expected = last + 1;
    }
    if (expected > 1) {
        JournalReplay replay = ReplayJournalGroups(journal.data(), journal.size(), NoRecord, nullptr);
        journal.resize(replay.WholeBytes);
        pulled->Groups = replay.Groups;
        if (replay.Groups) pulled->Journal = std::move(journal);
    }
    return true;
}

bool WritePulledSet(const PulledSet& pulled, const std::string& dir, std::string* why) {
    PDirMake(dir.c_str());
    PDir* d = PDirOpen(dir.c_str());
    if (!d) {
        *why = "cannot open " + dir + ": " + std::strerror(errno);
        return false;
    }
    const CheckEntry& e = pulled.Manifest.Entry;
    std::vector<uint8_t> check;
    for (char c : std::string("OvCheck1")) check.push_back(static_cast<uint8_t>(c));
    PutLe(&check, 1, 4);
    PutLe(&check, 1, 4);
    PutLe(&check, e.Length, 8);
    PutLe(&check, e.Crc, 4);
    PutLe(&check, e.Hash, 4);
    PutLe(&check, e.LayoutId, 4);
    PutLe(&check, Crc32c(0, check.data(), check.size()), 4);
    struct Part {
        std::string Name;
        const std::vector<uint8_t>* Bytes;
    };
    std::vector<Part> parts = {{LayoutRecordName(e.Hash, e.LayoutId), &pulled.Layout},
                               {kCheckRecordName, &check},
                               {"OvRetain.bin", &pulled.File}};
    if (!pulled.Journal.empty()) parts.push_back({kJournalFileName, &pulled.Journal});
    bool ok = true;
    for (const Part& part : parts) {
        const char* step = nullptr;
        if (!PDirWriteFile(d, part.Name.c_str(), part.Bytes->data(), part.Bytes->size(), &step)) {
            *why = dir + "/" + part.Name + ": " + (step ? step : "write") + " failed: " + std::strerror(errno);
            ok = false;
            break;
        }
    }
    PDirClose(d);
    return ok;
}

bool PruneArchiveSets(S3Store* store, const std::string& prefix, unsigned keep,
                      const std::function<void(const std::string&)>& removed,
                      const std::function<void(const std::string&)>& deleted, S3Result* result) {
    std::vector<ArchiveSet> sets;
    if (!ListArchiveSets(store, prefix, &sets, result)) return false;
    std::set<std::string> kept;
    std::set<std::pair<uint32_t, uint32_t>> layouts;
    for (size_t i = sets.size(); i-- > 0;) {
        const ArchiveSet& s = sets[i];
        bool newestOfLayout = layouts.insert({s.Hash, s.LayoutId}).second;
        if (sets.size() - i <= keep || newestOfLayout) kept.insert(s.Name);
    }
    std::set<std::string> data, records;
    for (const ArchiveSet& s : sets) {
        if (kept.count(s.Name)) {
            data.insert(ArchiveDataKey(prefix, s.Md5));
            records.insert(ArchiveLayoutKey(prefix, s.Hash, s.LayoutId));
            continue;
        }
        if (!S3Delete(store, ArchiveManifestKey(prefix, s.Name), result)) return false;
        std::vector<S3Object> parts;
        if (!S3List(store, ArchiveJournalPrefix(prefix, s.Name), &parts, result)) return false;
        for (const S3Object& part : parts)
            if (!S3Delete(store, part.Key, result)) return false;
        removed(s.Name);
    }
    std::vector<S3Object> objects, more;
    if (!S3List(store, prefix + "data/", &objects, result) || !S3List(store, prefix + "layout/", &more, result))
        return false;
    objects.insert(objects.end(), more.begin(), more.end());
    for (const S3Object& object : objects) {
        if (data.count(object.Key) || records.count(object.Key)) continue;
        if (!S3Delete(store, object.Key, result)) return false;
        deleted(object.Key);
    }
    return true;
}
