// retained_file.h - a retain file read together with its layout record,
// for the ovnode commands that show or restore its values by name.
//
// The record is found in the file's own directory: a set-aside file's name
// names it, the check record beside a retain file or backup (check_record.h)
// names the one of each file it lists, and a file that neither names (a
// copy under another name, a file the check record does not list) is read
// through the record of its header word whose slots end exactly where the
// file does (FindFileLayoutRecord, layout_record.h), or, for a file cut
// short, the one record of its hash when the directory holds only that one.
// So a copy of a retain file beside its records works under any name. Records named by the
// caller (--layout) are taken instead: the one of the file's hash that
// describes its length. Called from one thread at a time.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "retain/layout_record.h"

namespace ovnode {

struct RetainedFile {
    std::string Path;  // as mapped onto this machine
    std::vector<uint8_t> Bytes;
    uint32_t Header = 0;
    LayoutRecord Record;
    std::string RecordPath;  // the record's path, once read
};

// Reads the file; false with one line saying why when it cannot be read or
// is shorter than its 4-byte header.
bool ReadRetainedBytes(const std::string& given, RetainedFile* file, std::string* error);
// Reads the record of a file read above and checks that it describes the
// file; false with one line saying why. With `given` record paths (drive
// form allowed), the first of the file's hash whose slots end where the
// file does is taken, and no other.
bool ReadRetainedRecord(RetainedFile* file, std::string* error, const std::vector<std::string>& given = {});

// One value of the file by its record entry: the entry's slot bytes, or
// false when the file does not hold them in full or the entry has no slot.
bool RetainedValue(const RetainedFile& file, size_t entry, std::vector<uint8_t>* value);

}  // namespace ovnode
