// The check record beside the retain file: writing it before a save's
// rename, and judging a retain file by it.
#include "retain/check_record.h"

#include <errno.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <utility>

#include "report/report.h"
#include "retain/layout_record.h"
#include "retain/retain_dir.h"
#include "retain/retain_paths.h"
#include "stdlib/pdir.h"
#include "stdlib/pfile.h"

namespace {

const char kMagic[8] = {'O', 'v', 'C', 'h', 'e', 'c', 'k', '1'};
constexpr uint32_t kVersion = 1;
constexpr size_t kHeaderSize = 16;
constexpr size_t kEntrySize = 20;
constexpr size_t kMaxEntries = 3;
constexpr size_t kChunk = size_t{1} << 20;
constexpr uint64_t kRetainFileMax = uint64_t{1} << 40;
const char kDamaged[] = "its check record is damaged";

// What is known of the files in place, in the directory KnownDir: whether
// each is there and whole, and which entry it is. Guarded by the retain-file
// lock.
struct FileState {
    bool Whole = false;
    CheckEntry Entry;
    // The file as it was when it was learnt or written, so that a change by
    // anyone else (another process) is noticed and the file learnt again.
    bool There = false;
    uint64_t Ino = 0, Size = 0, ModifiedNs = 0, ChangedNs = 0;
};
bool KnownValid = false;
std::string KnownDir;
FileState Current, Backup;
// The retain file as last read or written whole (LastSeenRetainFile).
SeenRetainFile Seen;

uint32_t LoadLe32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
           static_cast<uint32_t>(p[3]) << 24;
}
void PutLe32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

// Takes down the identity of the file `name` as it is now.
void Identify(PDir* dir, const char* name, FileState* f) {
    struct stat st;
    f->There = name[0] != '\0' && PDirStat(dir, name, &st);
    if (!f->There) return;
    f->Ino = st.st_ino;
    f->Size = static_cast<uint64_t>(st.st_size);
    f->ModifiedNs = static_cast<uint64_t>(st.st_mtim.tv_sec) * 1000000000u + st.st_mtim.tv_nsec;
    f->ChangedNs = static_cast<uint64_t>(st.st_ctim.tv_sec) * 1000000000u + st.st_ctim.tv_nsec;
}

bool SameState(const FileState& a, const FileState& b) {
    return a.There == b.There && (!a.There || (a.Ino == b.Ino && a.Size == b.Size && a.ModifiedNs == b.ModifiedNs &&
                                               a.ChangedNs == b.ChangedNs));
}

bool Unchanged(PDir* dir, const char* name, const FileState& f) {
    FileState now;
    Identify(dir, name, &now);
    return SameState(now, f);
}

bool IsRetainFile(const char* name) {
    return name[0] != '\0' && RetainFileName(GetRetainFilePath()) == name;
}

// The retain file `name`, as it is now, was the one of length, crc and
// header when it was as `before` says: kept when it did not change since.
void NoteSeen(PDir* dir, const char* name, const FileState& before, uint64_t length, uint32_t crc, uint32_t header) {
    FileState now;
    Identify(dir, name, &now);
    if (!now.There || !SameState(before, now) || now.Size != length) return;
    Seen.Known = true;
    Seen.Entry = CheckEntry();
    Seen.Entry.Length = length;
    Seen.Entry.Crc = crc;
    Seen.Entry.Hash = header;
    Seen.Ino = now.Ino;
    Seen.Size = now.Size;
    Seen.ModifiedNs = now.ModifiedNs;
    Seen.ChangedNs = now.ChangedNs;
}

bool SameFile(const CheckEntry& a, const CheckEntry& b) {
    return a.Length == b.Length && a.Crc == b.Crc && a.Hash == b.Hash;
}

std::vector<uint8_t> Encode(const std::vector<CheckEntry>& entries) {
    std::vector<uint8_t> bytes(kHeaderSize + entries.size() * kEntrySize + 4, 0);
    std::memcpy(bytes.data(), kMagic, sizeof kMagic);
    PutLe32(&bytes[8], kVersion);
    PutLe32(&bytes[12], static_cast<uint32_t>(entries.size()));
    uint8_t* p = &bytes[kHeaderSize];
    for (const CheckEntry& e : entries) {
        PutLe32(p, static_cast<uint32_t>(e.Length));
        PutLe32(p + 4, static_cast<uint32_t>(e.Length >> 32));
        PutLe32(p + 8, e.Crc);
        PutLe32(p + 12, e.Hash);
        PutLe32(p + 16, e.LayoutId);
        p += kEntrySize;
    }
    PutLe32(p, Crc32c(0, bytes.data(), bytes.size() - 4));
    return bytes;
}

// Finds out which entry of the record the file `name` is; false when it is
// not there, cannot be read, or (with a record) is none of its entries.
bool Learn(PDir* dir, const char* name, const std::vector<CheckEntry>& entries, bool recordMissing, CheckEntry* entry) {
    if (name[0] == '\0') return false;
    uint64_t length = 0;
    uint32_t crc = 0, header = 0;
    if (!ChecksumRetainFile(dir, name, &length, &crc, &header)) return false;
    CheckEntry file;
    file.Length = length;
    file.Crc = crc;
    file.Hash = header;
    if (recordMissing) {
        // Written before check records: whole as far as anyone can tell.
        *entry = file;
        return true;
    }
    for (const CheckEntry& e : entries)
        if (SameFile(e, file)) {
            *entry = e;
            return true;
        }
    return false;  // damaged: it is not vouched for again
}

}  // namespace

bool CrcStreamFlush(CrcStream* stream) {
    if (stream->Error != 0) {
        errno = stream->Error;
        return false;
    }
    stream->Crc = Crc32c(stream->Crc, stream->Buffer.data(), stream->Used);
    if (stream->File && stream->Used != 0) {
        const bool written = stream->Positioned
                                 ? PFileWriteAt(stream->File, stream->Offset, stream->Buffer.data(), stream->Used)
                                 : PFileWrite(stream->File, stream->Buffer.data(), stream->Used);
        if (!written) {
            stream->Error = errno != 0 ? errno : EIO;
            return false;
        }
        stream->Offset += stream->Used;
    }
    stream->Used = 0;
    if (stream->Buffer.size() < (size_t{1} << 16)) stream->Buffer.resize(size_t{1} << 16);
    return true;
}

bool ReadCheckRecord(PDir* dir, std::vector<CheckEntry>* entries, bool* missing, std::string* why) {
    entries->clear();
    *missing = false;
    std::vector<uint8_t> b;
    if (!PDirReadWhole(dir, kCheckRecordName, &b, 4096)) {
        *missing = errno == ENOENT;
        *why = *missing ? std::string("it has no check record")
                        : std::string("its check record is unreadable: ") + std::strerror(errno);
        return false;
    }
    const size_t size = b.size();
    if (size < kHeaderSize + 4 || std::memcmp(b.data(), kMagic, sizeof kMagic) != 0 || LoadLe32(&b[8]) != kVersion ||
        Crc32c(0, b.data(), size - 4) != LoadLe32(&b[size - 4])) {
        *why = kDamaged;
        return false;
    }
    const uint32_t count = LoadLe32(&b[12]);
    if (count == 0 || count > kMaxEntries || size != kHeaderSize + count * kEntrySize + 4) {
        *why = kDamaged;
        return false;
    }
    for (uint32_t i = 0; i < count; ++i) {
        const uint8_t* p = &b[kHeaderSize + i * kEntrySize];
        CheckEntry e;
        e.Length = LoadLe32(p) | static_cast<uint64_t>(LoadLe32(p + 4)) << 32;
        e.Crc = LoadLe32(p + 8);
        e.Hash = LoadLe32(p + 12);
        e.LayoutId = LoadLe32(p + 16);
        entries->push_back(e);
    }
    return true;
}

CheckVerdict VerifyRetainFile(PDir* dir, uint64_t length, uint32_t crc, uint32_t header, CheckEntry* entry,
                              std::string* why) {
    std::vector<CheckEntry> entries;
    bool missing = false;
    if (!ReadCheckRecord(dir, &entries, &missing, why)) return missing ? CHECK_NO_RECORD : CHECK_FAILED;
    for (const CheckEntry& e : entries)
        if (e.Length == length && e.Crc == crc && e.Hash == header) {
            *entry = e;
            return CHECK_VERIFIED;
        }
    char text[160];
    bool sameLength = false;
    for (const CheckEntry& e : entries) sameLength |= e.Length == length;
    if (sameLength) {
        std::snprintf(text, sizeof text, "its checksum %08x is not the one recorded (damaged)", crc);
    } else {
        std::snprintf(text, sizeof text, "it is %llu bytes long, not the %llu bytes recorded (%s)",
                      static_cast<unsigned long long>(length), static_cast<unsigned long long>(entries[0].Length),
                      length < entries[0].Length ? "cut short" : "extended");
    }
    *why = text;
    return CHECK_FAILED;
}

bool ReadRetainBytes(PDir* dir, const char* name, std::vector<uint8_t>* bytes, uint32_t* crc, const char** step) {
    bytes->clear();
    *crc = 0;
    *step = "open";
    FileState before;
    const bool retain = IsRetainFile(name);
    if (retain) Identify(dir, name, &before);
    PFile* file = PDirOpenRead(dir, name);
    if (!file) return false;
    *step = "read";
    const int64_t size = PFileSize(file);
    if (size < 0 || static_cast<uint64_t>(size) > kRetainFileMax) {
        const int error = size < 0 ? errno : EFBIG;
        PFileClose(file);
        errno = error;
        return false;
    }
    bytes->resize(static_cast<size_t>(size));
    for (size_t at = 0; at < bytes->size();) {
        const size_t n = std::min(kChunk, bytes->size() - at);
        if (!PFileRead(file, bytes->data() + at, n)) {
            const int error = errno == 0 ? EAGAIN : errno;  // it shrank while read
            PFileClose(file);
            bytes->clear();
            errno = error;
            return false;
        }
        *crc = Crc32c(*crc, bytes->data() + at, n);
        at += n;
    }
    PFileClose(file);
    if (retain) NoteSeen(dir, name, before, bytes->size(), *crc, bytes->size() >= 4 ? LoadLe32(bytes->data()) : 0);
    return true;
}

bool ChecksumRetainFile(PDir* dir, const char* name, uint64_t* length, uint32_t* crc, uint32_t* header) {
    *length = 0;
    *crc = 0;
    *header = 0;
    FileState before;
    const bool retain = IsRetainFile(name);
    if (retain) Identify(dir, name, &before);
    PFile* file = PDirOpenRead(dir, name);
    if (!file) return false;
    const int64_t size = PFileSize(file);
    if (size < 0) {
        const int error = errno;
        PFileClose(file);
        errno = error;
        return false;
    }
    std::vector<uint8_t> chunk(std::min<uint64_t>(kChunk, static_cast<uint64_t>(size)));
    for (uint64_t at = 0; at < static_cast<uint64_t>(size);) {
        const size_t n = static_cast<size_t>(std::min<uint64_t>(chunk.size(), static_cast<uint64_t>(size) - at));
        if (!PFileRead(file, chunk.data(), n)) {
            const int error = errno == 0 ? EAGAIN : errno;
            PFileClose(file);
            errno = error;
            return false;
        }
        if (at == 0 && n >= 4) *header = LoadLe32(chunk.data());
        *crc = Crc32c(*crc, chunk.data(), n);
        at += n;
    }
    PFileClose(file);
    *length = static_cast<uint64_t>(size);
    if (retain) NoteSeen(dir, name, before, *length, *crc, *header);
    return true;
}

CheckVerdict VerifyRetainFileNamed(PDir* dir, const char* name, CheckEntry* entry, std::string* why) {
    uint64_t length = 0;
    uint32_t crc = 0, header = 0;
    if (!ChecksumRetainFile(dir, name, &length, &crc, &header)) {
        const int error = errno;
        *why = std::string("unreadable: ") + std::strerror(error);
        errno = error;
        return CHECK_FAILED;
    }
    const CheckVerdict verdict = VerifyRetainFile(dir, length, crc, header, entry, why);
    errno = 0;
    return verdict;
}

namespace {

const char kStagedName[] = "OvRetain.check.tmp";

void ReportCheckStep(const char* step) {
    const int error = errno;
    report(&LogChannel, "ERR", "Check record %s failed: %s", step, std::strerror(error));
}

}  // namespace

namespace {

// What the record is to say of the retain file and the backup in place: from
// what is known of them, or learnt from the files when they are not known or
// were changed by someone else.
void LearnFilesInPlace(PDir* dir, const char* retainName, const char* backupName) {
    const bool known = KnownValid && KnownDir == PDirPath(dir);
    std::vector<CheckEntry> entries;
    bool read = false, missing = false;
    for (auto [f, name] : {std::pair<FileState*, const char*>{&Current, retainName}, {&Backup, backupName}}) {
        if (known && Unchanged(dir, name, *f)) continue;
        // Not known, or changed by someone else: learnt from the file.
        if (!read) {
            std::string why;
            // A damaged record is first written anew from what the files
            // prove, so that the files it vouched for stay vouched for.
            if (!ReadCheckRecord(dir, &entries, &missing, &why) && why == kDamaged) {
                RepairCheckRecord(dir, retainName, backupName);
                ReadCheckRecord(dir, &entries, &missing, &why);
            }
            read = true;
        }
        f->Whole = Learn(dir, name, entries, missing, &f->Entry);
        Identify(dir, name, f);
    }
    KnownValid = true;
    KnownDir = PDirPath(dir);
}

}  // namespace

void RecallCheckRecord(PDir* dir, const char* retainName, const char* backupName) {
    LearnFilesInPlace(dir, retainName, backupName);
}

bool StageCheckRecord(PDir* dir, const char* retainName, const char* backupName, const CheckEntry& fresh,
                      PFile** staged) {
    *staged = nullptr;
    LearnFilesInPlace(dir, retainName, backupName);
    std::vector<CheckEntry> listed = {fresh};
    for (const FileState* f : {&Current, &Backup}) {
        if (!f->Whole) continue;
        bool listedAlready = false;
        for (const CheckEntry& e : listed) listedAlready |= SameFile(e, f->Entry);
        if (!listedAlready) listed.push_back(f->Entry);
    }
    const std::vector<uint8_t> bytes = Encode(listed);
    PFile* file = PDirCreate(dir, kStagedName);
    if (!file) {
        ReportCheckStep("open");
        return false;
    }
    if (!PFileWrite(file, bytes.data(), bytes.size()) || !PFileFlush(file)) {
        ReportCheckStep("write");
        AbandonCheckRecord(dir, file);
        return false;
    }
    *staged = file;
    return true;
}

bool CommitCheckRecord(PDir* dir, PFile* staged) {
    const char* step = nullptr;
    if (!PFileSync(staged)) step = "sync";
    int error = errno;
    const bool closed = PFileClose(staged);
    if (!step && !closed) {
        step = "close";
        error = errno;
    }
    if (!step && !PDirRename(dir, kStagedName, kCheckRecordName)) {
        step = "rename";
        error = errno;
    }
    if (!step) return true;
    // The old record stands: nothing was renamed.
    PDirRemove(dir, kStagedName);
    errno = error;
    ReportCheckStep(step);
    return false;
}

void AbandonCheckRecord(PDir* dir, PFile* staged) {
    if (staged) PFileClose(staged);
    PDirRemove(dir, kStagedName);
}

bool PrepareCheckRecord(PDir* dir, const char* retainName, const char* backupName, const CheckEntry& fresh) {
    PFile* staged = nullptr;
    if (!StageCheckRecord(dir, retainName, backupName, fresh, &staged) || !CommitCheckRecord(dir, staged)) return false;
    if (PDirSync(dir)) return true;
    ReportCheckStep("directory sync");
    return false;
}

bool BackupOfAnotherLayout(uint32_t* retainId) {
    *retainId = Current.Whole ? Current.Entry.LayoutId : 0;
    if (!KnownValid || !Current.There || !Backup.There || !Backup.Whole) return false;
    return !Current.Whole || Current.Entry.Hash != Backup.Entry.Hash || Current.Entry.LayoutId != Backup.Entry.LayoutId;
}

void NoteRetainFileReplaced(PDir* dir, const char* retainName, const char* backupName, const CheckEntry& fresh,
                            bool backupRefreshed) {
    // Written whole by this process, renamed into place just now.
    FileState now;
    Identify(dir, retainName, &now);
    NoteSeen(dir, retainName, now, fresh.Length, fresh.Crc, fresh.Hash);
    if (!KnownValid) return;
    if (backupRefreshed) Backup = Current;
    Current.Whole = true;
    Current.Entry = fresh;
    Identify(dir, retainName, &Current);
    Identify(dir, backupName, &Backup);
}

bool RepairCheckRecord(PDir* dir, const char* retainName, const char* backupName) {
    std::vector<CheckEntry> entries;
    bool missing = false;
    std::string why;
    // Only a record that reads and does not check out: an unreadable one
    // may be sound.
    if (ReadCheckRecord(dir, &entries, &missing, &why) || why != kDamaged) return true;
    std::vector<CheckEntry> proven;
    for (const char* name : {retainName, backupName}) {
        CheckEntry e;
        LayoutRecord record;
        std::string ignored;
        if (name[0] == '\0' || !ChecksumRetainFile(dir, name, &e.Length, &e.Crc, &e.Hash) || e.Length < 4 ||
            FindFileLayoutRecord(dir, e.Hash, e.Length, &e.LayoutId, &record, &ignored) != FILE_RECORD_FOUND)
            continue;
        bool listed = false;
        for (const CheckEntry& p : proven) listed |= SameFile(p, e);
        if (!listed) proven.push_back(e);
    }
    ForgetCheckState();
    if (proven.empty()) {
        report(&LogChannel, "WRN",
               "Check record %s is damaged: no file has a layout record of its length; it is removed.",
               kCheckRecordName);
        if (!PDirRemove(dir, kCheckRecordName) || !PDirSync(dir)) {
            ReportCheckStep("removal");
            return false;
        }
        return true;
    }
    report(&LogChannel, "WRN",
           "Check record %s is damaged: written anew for the %zu files its layout records describe.", kCheckRecordName,
           proven.size());
    return WriteRetainSibling(dir, kCheckRecordName, Encode(proven), "Check record");
}

SeenRetainFile LastSeenRetainFile() {
    return Seen;
}

bool CheckRecordDamaged(const std::string& why) {
    return why == kDamaged;
}

void ForgetCheckState() {
    KnownValid = false;
    KnownDir.clear();
}

bool ReadRetainFileForLoad(PDir* dir, const std::string& name, const std::string& backupName, bool useBackup,
                           std::vector<uint8_t>* bytes, CheckEntry* entry, bool* fromBackup) {
    if (fromBackup) *fromBackup = false;
    uint32_t crc = 0;
    const char* step = "open";
    if (!ReadRetainBytes(dir, name.c_str(), bytes, &crc, &step)) {
        const int error = errno;
        // Only a file that is not there is quietly no file.
        if (error != ENOENT || std::strcmp(step, "open") != 0) ReportRetainFileError(step, error);
        errno = error;
        return false;
    }
    if (bytes->size() < 4) {
        report(&LogChannel, "ERR", "Retain file read failed: the file is shorter than its header");
        errno = 0;
        return false;
    }
    const uint32_t header = LoadLe32(bytes->data());
    std::string why;
    CheckVerdict verdict = VerifyRetainFile(dir, bytes->size(), crc, header, entry, &why);
    if (verdict == CHECK_FAILED && why == kDamaged) {
        const bool repaired = RepairCheckRecord(dir, name.c_str(), backupName.c_str());
        verdict = VerifyRetainFile(dir, bytes->size(), crc, header, entry, &why);
        // A damaged record that could not be replaced proves nothing: the
        // files count as having none, as when no file could be proven.
        if (!repaired && verdict == CHECK_FAILED && why == kDamaged) verdict = CHECK_NO_RECORD;
    }
    if (verdict == CHECK_VERIFIED) return true;
    if (verdict == CHECK_NO_RECORD) {
        report(&LogChannel, "DBG", "Retain file has no check record: loaded without verifying.");
        *entry = CheckEntry();
        entry->Length = bytes->size();
        entry->Crc = crc;
        entry->Hash = header;
        return true;
    }
    if (useBackup && !backupName.empty()) {
        std::vector<uint8_t> backup;
        std::string backupWhy;
        if (ReadRetainBytes(dir, backupName.c_str(), &backup, &crc, &step) && backup.size() >= 4 &&
            VerifyRetainFile(dir, backup.size(), crc, LoadLe32(backup.data()), entry, &backupWhy) == CHECK_VERIFIED) {
            report(&LogChannel, "WRN", "Retain file not loaded: %s; the backup is loaded instead.", why.c_str());
            bytes->swap(backup);
            if (fromBackup) *fromBackup = true;
            return true;
        }
    }
    report(&LogChannel, "ERR", "Retain file not loaded: %s.", why.c_str());
    bytes->clear();
    errno = 0;
    return false;
}
