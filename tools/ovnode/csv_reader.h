// csv_reader.h - a reader of comma-separated text as RFC 4180 describes it.
//
// Pure functions on strings; no global state, callable from any thread.
// Fields may be quoted; inside quotes a doubled quote stands for one quote,
// and commas and line breaks are part of the field. Records end with LF or
// CRLF; the last one may lack its line break. A line that is wholly empty
// (outside quotes) is skipped. Anything else that breaks the rules is an
// error naming the line where it is found.
//
// ParseCsv reads a whole text; ReadCsvRecord reads one record at a time
// from text that may still be arriving (a file read in pieces), so that a
// file of any length is read in the memory of one record.
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

enum CsvStep {
    CSV_RECORD,  // *record read; *pos and *line moved past it
    CSV_END,     // no record left (atEnd only)
    CSV_MORE,    // the record may go on past the end of text: call again with more of it
    CSV_ERROR,   // *errorLine and *error say what is wrong
};

// Reads the record at text[*pos], *line being the line *pos lies on.
// atEnd: text holds the rest of the input. Without it, nothing is consumed
// when the answer is CSV_MORE (*pos and *line stay as they were).
CsvStep ReadCsvRecord(std::string_view text, bool atEnd, size_t* pos, size_t* line, CsvRecord* record,
                      size_t* errorLine, std::string* error);

}  // namespace ovnode
