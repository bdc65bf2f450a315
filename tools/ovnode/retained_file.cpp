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

bool ReadRetainedRecord(RetainedFile* file, std::string* error) {
    std::string name, why;
    PDir* dir = PDirOpenParent(file->Path.c_str(), &name);
    if (!dir) {
        *error = "cannot open the directory of retain file " + file->Path + ": " + std::strerror(errno);
        return false;
    }
    // The file's own record: named by a set-aside file's name, else by the
    // check record beside it, else the legacy record of its hash.
    uint32_t id = 0;
    SetAsideName parsed;
    CheckEntry entry;
    if (ParseSetAsideName(name, &parsed) && parsed.Hash == file->Header) {
        id = parsed.Id;
    } else if (VerifyRetainFile(dir, file->Bytes.size(), Crc32c(0, file->Bytes.data(), file->Bytes.size()),
                                file->Header, &entry, &why) == CHECK_VERIFIED) {
        id = entry.LayoutId;
    }
    const std::string path = LayoutRecordPathBeside(file->Path, file->Header, id);
    bool ok = ReadLayoutRecordIn(dir, file->Header, id, &file->Record, &why);
    const std::vector<LayoutRecordEntry>& entries = file->Record.Entries;
    const uint64_t end = entries.empty() ? 4 : entries.back().Offset + entries.back().Size;
    if (ok && id == 0 && file->Bytes.size() != 4) {
        // A legacy record may have been rewritten for other sizes: only one
        // whose slots end where the file does is taken.
        ok = false;
        for (const LayoutRecordEntry& e : entries) ok |= e.Size != 0 && e.Offset + e.Size == file->Bytes.size();
        if (!ok) why = "for other sizes than the file's";
    }
    PDirClose(dir);
    if (!ok) {
        *error = "retain file " + file->Path + " has no usable layout record: " + path + " is " + why;
        return false;
    }
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
