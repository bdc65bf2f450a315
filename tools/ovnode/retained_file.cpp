// Reading a retain file and its layout record for the ovnode commands.
#include "ovnode/retained_file.h"

#include <errno.h>

#include <cstring>

#include "ovnode/shown_text.h"
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
    const std::string path = LayoutRecordPathBeside(file->Path, file->Header);
    std::string why;
    if (!ReadLayoutRecord(path.c_str(), file->Header, &file->Record, &why)) {
        *error = "retain file " + file->Path + " has no usable layout record: " + path + " is " + why;
        return false;
    }
    const std::vector<LayoutRecordEntry>& entries = file->Record.Entries;
    const uint64_t end = entries.empty() ? 4 : entries.back().Offset + entries.back().Size;
    if (file->Bytes.size() > end) {
        *error = "retain file " + file->Path + " (" + std::to_string(file->Bytes.size()) +
                 " bytes) is longer than its layout record " + path + " describes (" + std::to_string(end) + " bytes)";
        return false;
    }
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
