#include "archive/archive_ship.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "archive/archive_sets.h"
#include "retain/check_record.h"
#include "retain/journal_keep.h"
#include "retain/layout_record.h"
#include "stdlib/pdir.h"

namespace {

constexpr const char kRetainName[] = "OvRetain.bin";

bool StandardErrorIsJournal() {
    const char* stream = std::getenv("JOURNAL_STREAM");
    struct stat st {};
    if (!stream || fstat(STDERR_FILENO, &st) != 0) return false;
    unsigned long long dev = 0, ino = 0;
    return std::sscanf(stream, "%llu:%llu", &dev, &ino) == 2 && dev == st.st_dev && ino == st.st_ino;
}

// A failed request: counted, its answer kept for the status and the log.
bool Failed(ArchiveShipper* s, const std::string& what, const S3Result& result) {
    ++s->Errors;
    s->LastError = what + ": " + S3Describe(result);
    return false;
}

bool Put(ArchiveShipper* s, const std::string& key, const uint8_t* data, size_t size) {
    S3Result result;
    if (!S3Put(&s->Store, key, data, size, &result)) return Failed(s, "upload of " + key, result);
    ++s->Uploads;
    s->Keys.insert(key);
    return true;
}

bool PutOnce(ArchiveShipper* s, const std::string& key, const std::vector<uint8_t>& bytes) {
    if (s->Keys.count(key)) return true;
    return Put(s, key, bytes.data(), bytes.size());
}

bool LearnKeys(ArchiveShipper* s) {
    std::vector<S3Object> data, layouts;
    S3Result result;
    const std::string& prefix = s->Config->Prefix;
    if (!S3List(&s->Store, prefix + "data/", &data, &result) ||
        !S3List(&s->Store, prefix + "layout/", &layouts, &result))
        return Failed(s, "listing " + prefix, result);
    s->Keys.clear();
    for (const S3Object& o : data) s->Keys.insert(o.Key);
    for (const S3Object& o : layouts) s->Keys.insert(o.Key);
    s->Listed = true;
    return true;
}

uint32_t Le32(const uint8_t* p) {
    return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<uint32_t>(p[3]) << 24);
}
uint64_t Le64(const uint8_t* p) {
    return Le32(p) | (static_cast<uint64_t>(Le32(p + 4)) << 32);
}

void NoRecord(void*, uint32_t, const uint8_t*, uint16_t) {}

// Ships the groups after those shipped; true when there was nothing to ship.
bool ShipJournal(ArchiveShipper* s, PDir* dir) {
    // An idle plant's journal does not grow: nothing is read then.
    struct stat st {};
    if (!PDirStat(dir, kJournalFileName, &st)) return true;
    if (st.st_ino == s->JournalInode && static_cast<uint64_t>(st.st_size) == s->JournalSeen) return true;
    std::vector<uint8_t> journal;
    if (!ReadJournalOf(dir, kJournalFileName, s->Shipped, &journal)) return true;
    JournalReplay replay = ReplayJournalGroups(journal.data(), journal.size(), NoRecord, nullptr);
    const auto seen = [&] {
        s->JournalInode = st.st_ino;
        s->JournalSeen = journal.size();
        return true;
    };
    if (replay.LastSequence <= s->JournalSequence) return seen();
    // Where the first group not shipped starts.
    size_t at = kJournalHeaderSize;
    while (at + kJournalGroupHeaderSize <= replay.WholeBytes && Le64(&journal[at + 4]) <= s->JournalSequence)
        at += kJournalGroupHeaderSize + Le32(&journal[at]);
    if (at >= replay.WholeBytes || Le64(&journal[at + 4]) != s->JournalSequence + 1) return true;
    s->PendingBytes += replay.WholeBytes - at;
    const std::string key = ArchiveJournalKey(s->Config->Prefix, s->Set, s->JournalSequence + 1, replay.LastSequence);
    if (!Put(s, key, journal.data() + at, replay.WholeBytes - at)) return false;
    s->PendingBytes -= replay.WholeBytes - at;
    s->JournalSequence = replay.LastSequence;
    s->JournalOffset = replay.WholeBytes;
    return seen();
}

// The fleet marker and retention, owed after each new set until they have run.
bool Retain(ArchiveShipper* s) {
    const std::string& set = s->Set;
    if (!Put(s, ArchiveFleetKey(s->Config->Prefix), reinterpret_cast<const uint8_t*>(set.data()), set.size()))
        return false;
    S3Result result;
    auto removed = [](const std::string& name) { ArchiveLog("DBG", "Archive: set " + name + " removed (retention)"); };
    auto deleted = [s](const std::string& key) { s->Keys.erase(key); };
    if (!PruneArchiveSets(&s->Store, s->Config->Prefix, s->Config->Keep, removed, deleted, &result))
        return Failed(s, "retention", result);
    s->RetentionOwed = false;
    return true;
}

bool ShipSet(ArchiveShipper* s, PDir* dir, const std::vector<uint8_t>& bytes, const CheckEntry& entry) {
    const std::string& prefix = s->Config->Prefix;
    struct timespec begin {};
    clock_gettime(CLOCK_MONOTONIC, &begin);
    const std::string layoutName = LayoutRecordName(entry.Hash, entry.LayoutId);
    if (!s->Listed && !LearnKeys(s)) return false;
    // The record is read only when the store lacks it (16 MB at 1M nodes).
    const std::string layoutKey = ArchiveLayoutKey(prefix, entry.Hash, entry.LayoutId);
    std::vector<uint8_t> layout;
    const bool stored = s->Keys.count(layoutKey) != 0;
    if (entry.LayoutId == 0 || (!stored && !PDirReadWhole(dir, layoutName.c_str(), &layout, uint64_t{256} << 20))) {
        // Nothing to ship without the record that tells the slots apart.
        if (s->LastError.rfind("no layout record", 0) != 0)
            ArchiveLog("WRN", "Archive: retain file not shipped: no layout record " + layoutName);
        s->LastError = "no layout record " + layoutName;
        return true;
    }
    SetManifest manifest;
    manifest.Time = static_cast<int64_t>(std::time(nullptr));
    manifest.Md5 = Md5Hex(bytes.data(), bytes.size());
    manifest.Entry = entry;
    const std::string set = ArchiveSetName(manifest.Time, entry.Hash, entry.LayoutId, manifest.Md5);
    if (set == s->Set) {
        // The same bytes saved again within the second: a name of its own next second.
        s->Again = true;
        return true;
    }
    const std::string text = EncodeSetManifest(manifest);
    if (!PutOnce(s, ArchiveDataKey(prefix, manifest.Md5), bytes) ||
        (!stored && !Put(s, layoutKey, layout.data(), layout.size())) ||
        !Put(s, ArchiveManifestKey(prefix, set), reinterpret_cast<const uint8_t*>(text.data()), text.size()))
        return false;
    // The set is there from here on.
    struct timespec end {};
    clock_gettime(CLOCK_MONOTONIC, &end);
    s->Set = set;
    s->JournalInode = 0;
    s->JournalSeen = 0;
    s->SetInode = s->Inode;
    s->Shipped = JournalIdentity{entry.Hash, entry.Length, entry.Crc};
    s->JournalSequence = 0;
    s->JournalOffset = kJournalHeaderSize;
    char took[32];
    std::snprintf(took, sizeof took, "%.3f",
                  static_cast<double>(end.tv_sec - begin.tv_sec) + (end.tv_nsec - begin.tv_nsec) / 1e9);
    ArchiveLog("DBG",
               "Archive: set " + set + " shipped (" + std::to_string(bytes.size()) + " bytes in " + took + " s)");
    s->RetentionOwed = true;
    if (!ShipJournal(s, dir)) return false;
    return Retain(s);
}

bool Pass(ArchiveShipper* s, bool journalDue) {
    PDir* dir = PDirOpen(s->Config->RetainDir.c_str());
    if (!dir) {
        // No retain directory yet (no save so far): nothing to ship.
        if (!s->DirMissingSaid)
            ArchiveLog("WRN", "Archive: retain directory " + s->Config->RetainDir +
                                  " cannot be opened: " + std::strerror(errno) + "; shipping once it can");
        s->DirMissingSaid = true;
        return true;
    }
    s->DirMissingSaid = false;
    s->PendingBytes = 0;
    bool ok = true;
    struct stat st {};
    if (PDirStat(dir, kRetainName, &st)) {
        const int64_t changeNs = static_cast<int64_t>(st.st_ctim.tv_sec) * 1000000000 + st.st_ctim.tv_nsec;
        if (st.st_ino != s->Inode || st.st_size != s->Size || changeNs != s->ChangeNs) {
            s->Inode = st.st_ino;
            s->Size = st.st_size;
            s->ChangeNs = changeNs;
            s->Verified = false;
        }
        if (!s->Verified) {
            std::vector<uint8_t> bytes;
            uint32_t crc = 0;
            const char* step = nullptr;
            CheckEntry entry;
            std::string why;
            if (ReadRetainBytes(dir, kRetainName, &bytes, &crc, &step) && bytes.size() >= 4 &&
                VerifyRetainFile(dir, bytes.size(), crc, Le32(bytes.data()), &entry, &why) == CHECK_VERIFIED) {
                const bool same = JournalIdentity{entry.Hash, entry.Length, entry.Crc} == s->Shipped &&
                                  !s->Set.empty() && (s->SetInode == 0 || s->SetInode == st.st_ino);
                if (same) {
                    s->SetInode = st.st_ino;
                    s->Verified = true;
                } else {
                    s->PendingBytes += bytes.size();
                    s->Again = false;
                    ok = ShipSet(s, dir, bytes, entry);
                    if (ok && !s->Again) s->PendingBytes -= bytes.size();
                    s->Verified = ok && !s->Again;
                    journalDue = false;  // shipped with the set
                }
            } else {
                // A save under way, or a file no record vouches for: looked
                // at again once it changes.
                s->Verified = true;
            }
        }
    }
    if (ok && journalDue && !s->Set.empty()) ok = ShipJournal(s, dir);
    if (ok && s->RetentionOwed) ok = Retain(s);
    PDirClose(dir);
    return ok;
}

}  // namespace

void ArchiveLog(const char* level, const std::string& text) {
    static const bool journal = StandardErrorIsJournal();
    const char* priority = std::strcmp(level, "ERR") == 0   ? "<3>"
                           : std::strcmp(level, "WRN") == 0 ? "<4>"
                           : std::strcmp(level, "DBG") == 0 ? "<7>"
                                                            : "<6>";
    std::fprintf(stderr, "%s%s %s\n", journal ? priority : "", level, text.c_str());
    std::fflush(stderr);
}

unsigned ArchiveRetryDelay(unsigned failedPasses) {
    unsigned delay = 1;
    for (unsigned i = 1; i < failedPasses && delay < 5; ++i) delay *= 2;
    return delay < 5 ? delay : 5;
}

bool StartArchiveShipper(ArchiveShipper* s, const ArchiveConfig* config, std::string* why) {
    s->Config = config;
    s->Store.Endpoint = config->Endpoint;
    s->Store.Bucket = config->Bucket;
    s->Store.Region = config->Region;
    s->Store.AccessKey = config->AccessKey;
    s->Store.Secret = config->Secret;
    s->Store.CaFile = config->CaFile;
    S3Result result;
    if (!S3CheckBucket(&s->Store, &result)) {
        if (result.Code == "NoSuchBucket")
            *why = "bucket '" + config->Bucket + "' does not exist (" + S3Describe(result) + ")";
        else if (result.Status == 403)
            *why = "the store refuses the credentials of access key '" + config->AccessKey + "' (" +
                   S3Describe(result) + ")";
        else
            *why = "the store at " + config->Endpoint + " does not answer: " + S3Describe(result);
        return false;
    }
    std::vector<ArchiveSet> sets;
    if (!ListArchiveSets(&s->Store, config->Prefix, &sets, &result)) {
        *why = "cannot list " + config->Prefix + ": " + S3Describe(result);
        return false;
    }
    if (!sets.empty()) {
        // Carry on with the newest set: its file is not shipped again, its
        // journal continues where the store's copy ends.
        std::vector<uint8_t> text;
        bool found = false;
        SetManifest manifest;
        if (S3Get(&s->Store, ArchiveManifestKey(config->Prefix, sets.back().Name), &text, &found, &result) && found &&
            DecodeSetManifest(std::string(text.begin(), text.end()), &manifest)) {
            s->Set = sets.back().Name;
            s->Shipped = JournalIdentity{manifest.Entry.Hash, manifest.Entry.Length, manifest.Entry.Crc};
            std::vector<S3Object> parts;
            if (S3List(&s->Store, ArchiveJournalPrefix(config->Prefix, s->Set), &parts, &result) && !parts.empty()) {
                unsigned long long first = 0, last = 0;
                const std::string& key = parts.back().Key;
                if (std::sscanf(key.c_str() + key.rfind('/') + 1, "%16llx-%16llx", &first, &last) == 2)
                    s->JournalSequence = last;
            }
        }
    }
    s->LastSuccess = static_cast<int64_t>(std::time(nullptr));
    return true;
}

bool ShipArchiveOnce(ArchiveShipper* s, bool journalDue) {
    const uint64_t before = s->Uploads;
    const bool ok = Pass(s, journalDue);
    if (!ok) {
        ++s->FailedPasses;
        if (!s->Failing) ArchiveLog("WRN", "Archive store failed: " + s->LastError + "; retrying");
        s->Failing = true;
        return false;
    }
    if (s->Failing) {
        // Nothing needed the store in this pass: ask it once.
        S3Result result;
        if (s->Uploads == before && !S3CheckBucket(&s->Store, &result)) {
            Failed(s, "bucket check", result);
            ++s->FailedPasses;
            return false;
        }
        ArchiveLog("WRN", "Archive store answers again after " + std::to_string(s->FailedPasses) +
                              " failed attempts; shipping resumed");
    }
    s->Failing = false;
    s->FailedPasses = 0;
    if (s->Uploads != before) s->LastSuccess = static_cast<int64_t>(std::time(nullptr));
    return true;
}

void WriteArchiveStatus(const ArchiveShipper& s) {
    const std::string& path = s.Config->StatusFile;
    const std::string tmp = path + ".tmp";
    FILE* f = std::fopen(tmp.c_str(), "w");
    if (!f) return;
    std::fprintf(f,
                 "pid %d\nstate %s\nupdated %lld\nlast_success %lld\npending_bytes %llu\nuploads %llu\n"
                 "errors %llu\nlast_set %s\nlast_error %s\n",
                 static_cast<int>(getpid()), s.Failing ? "failing" : "ok", static_cast<long long>(std::time(nullptr)),
                 static_cast<long long>(s.LastSuccess), static_cast<unsigned long long>(s.PendingBytes),
                 static_cast<unsigned long long>(s.Uploads), static_cast<unsigned long long>(s.Errors), s.Set.c_str(),
                 s.Failing ? s.LastError.c_str() : "");
    const bool ok = std::fclose(f) == 0;
    if (!ok || std::rename(tmp.c_str(), path.c_str()) != 0) std::remove(tmp.c_str());
}
