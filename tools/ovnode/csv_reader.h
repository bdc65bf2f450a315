// csv_reader.h - a reader of comma-separated text as RFC 4180 describes it.
//
// Pure function on a string; no global state, callable from any thread.
// Fields may be quoted; inside quotes a doubled quote stands for one quote,
// and commas and line breaks are part of the field. Records end with LF or
// CRLF; the last one may lack its line break. A line that is wholly empty
// (outside quotes) is skipped. Anything else that breaks the rules is an
// error naming the line where it is found.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace ovnode {

struct CsvRecord {
    size_t Line = 0;                  // line (from 1) on which the record starts
    std::vector<std::string> Fields;  // one or more fields
};

struct CsvResult {
    bool Ok = false;
    std::vector<CsvRecord> Records;  // every record, when Ok
    size_t ErrorLine = 0;            // when not Ok: line of the fault
    std::string Error;               // when not Ok: what is wrong there
};

CsvResult ParseCsv(std::string_view text);

}  // namespace ovnode
