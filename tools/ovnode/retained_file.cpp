// Reading a retain file and its layout record for the ovnode commands.
#include "ovnode/retained_file.h"

#include <errno.h>

#include <cstring>

#include "ovnode/shown_text.h"
#include "retain/check_record.h"
#include "retain/set_aside.h"
#include "stdlib/pdir.h"
#include "stdlib/pfile.h"

namespace ovnode {

bool ReadRetainedBytes(const std::string& given, RetainedFile* file, std::string* error) {
    file->Path = PFileMapPath(given.c_str());
    // Bounded as retain-dump's reads are, before anything is allocated.
    if (!PFileReadWhole(file->Path.c_str(), &file->Bytes, kRetainFileLimit)) {
        *error = "cannot read retain file " + file->Path + ": " +
                 (errno == EFBIG ? "it is larger than " + std::to_string(kRetainFileLimit) +
                                       " bytes, more than any "
                                       "retain file holds"
                                 : std::string(std::strerror(errno)));
        return false;
    }
    if (file->Bytes.size() < 4) {
        *error = "retain file " + file->Path + " is shorter than its 4-byte header";
        return false;
    }
    const uint8_t* h = file->Bytes.data();
    file->Header = h[0] | h[1] << 8 | h[2] << 16 | static_cast<uint32_t>(h[3]) << 24;
    return true;
}

namespace {

// The first of the records given that is of the file's hash and describes
// its length.
bool ReadGivenRecord(RetainedFile* file, const std::vector<std::string>& given, std::string* error) {
    std::string reasons;
    for (const std::string& g : given) {
        const std::string path = PFileMapPath(g.c_str());
        std::string why;
        if (ReadLayoutRecord(path.c_str(), file->Header, &file->Record, &why)) {
            const uint64_t end = LayoutRecordFileLength(file->Record);
            if (end == file->Bytes.size()) {
                file->RecordPath = path;
                return true;
            }
            why = "for " + std::to_string(end) + " bytes";
        }
        reasons += (reasons.empty() ? "" : "; ") + ShownText(path) + " is " + why;
    }
    file->Record.Entries.clear();
    *error = "retain file " + file->Path + " (" + std::to_string(file->Bytes.size()) +
             " bytes) is described by none of the layout records given: " + reasons;
    return false;
}

// A file cut short that no name or check entry gives a record: when the
// directory holds exactly one record of its hash, and that record's slots
// reach past the file's end, the file's first slots are read through it.
bool OnlyLongerRecord(PDir* dir, uint32_t hash, uint64_t size, uint32_t* id) {
    std::vector<std::string> names;
    if (*id != 0 || !PDirList(dir, &names)) return false;
    uint32_t only = 0;
    int count = 0;
    for (const std::string& name : names) {
        uint32_t h = 0, i = 0;
        if (!ParseLayoutRecordName(name, &h, &i) || h != hash) continue;
        LayoutRecord record;
        std::string ignored;
        count += 1;
        if (ReadLayoutRecordEntries(dir, h, i, &record, &ignored) && LayoutRecordFileLength(record) > size) only = i;
    }
    if (count != 1 || only == 0) return false;
    *id = only;
    return true;
}

}  // namespace

bool ReadRetainedRecord(RetainedFile* file, std::string* error, const std::vector<std::string>& given) {
    if (!given.empty()) return ReadGivenRecord(file, given, error);
    std::string name, why;
    PDir* dir = PDirOpenParent(file->Path.c_str(), &name);
    if (!dir) {
        *error = "cannot open the directory of retain file " + file->Path + ": " + std::strerror(errno);
        return false;
    }
    // The file's own record: named by a set-aside file's name, else by the
    // check record beside it, else the one of its hash and length.
    uint32_t id = 0;
    SetAsideName parsed;
    CheckEntry entry;
    if (ParseSetAsideName(name, &parsed) && parsed.Hash == file->Header) {
        id = parsed.Id;
    } else if (VerifyRetainFile(dir, file->Bytes.size(), Crc32c(0, file->Bytes.data(), file->Bytes.size()),
                                file->Header, &entry, &why) == CHECK_VERIFIED) {
        id = entry.LayoutId;
    }
    LayoutRecord found;
    bool ok = FindFileLayoutRecord(dir, file->Header, file->Bytes.size(), &id, &found, &why) == FILE_RECORD_FOUND ||
              OnlyLongerRecord(dir, file->Header, file->Bytes.size(), &id);
    const std::string path = LayoutRecordPathBeside(file->Path, file->Header, id);
    // Read again in full: the names must reproduce the hash.
    if (ok && !ReadLayoutRecordIn(dir, file->Header, id, &file->Record, &why)) {
        ok = false;
        why = path + " is " + why;
    }
    PDirClose(dir);
    if (!ok) {
        *error =
            "retain file " + file->Path + " has no usable layout record: " + why + " (name the record with --layout)";
        return false;
    }
    const uint64_t end = LayoutRecordFileLength(file->Record);
    if (file->Bytes.size() > end) {
        *error = "retain file " + file->Path + " (" + std::to_string(file->Bytes.size()) +
                 " bytes) is longer than its layout record " + path + " describes (" + std::to_string(end) + " bytes)";
        return false;
    }
    file->RecordPath = path;
    return true;
}

bool RetainedValue(const RetainedFile& file, size_t entry, std::vector<uint8_t>* value) {
    const LayoutRecordEntry& e = file.Record.Entries[entry];
    if (e.Size == 0 || e.Offset + e.Size > file.Bytes.size()) return false;
    value->assign(file.Bytes.begin() + static_cast<long>(e.Offset),
                  file.Bytes.begin() + static_cast<long>(e.Offset + e.Size));
    return true;
}

}  // namespace ovnode
