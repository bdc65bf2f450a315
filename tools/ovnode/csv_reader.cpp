#include "ovnode/csv_reader.h"

namespace ovnode {

CsvStep ReadCsvRecord(std::string_view text, bool atEnd, size_t* posInOut, size_t* lineInOut, CsvRecord* record,
                      size_t* errorLine, std::string* error) {
    size_t pos = *posInOut;
    size_t line = *lineInOut;
    const size_t n = text.size();
    // True when the text ends at `at` but the input may not: the record
    // cannot be judged yet.
    auto cut = [&](size_t at) { return !atEnd && at >= n; };
    auto fail = [&](size_t where, const char* what) {
        *errorLine = where;
        *error = what;
        return CSV_ERROR;
    };
    // Wholly empty lines before the record.
    for (;;) {
        if (cut(pos)) return CSV_MORE;
        if (pos == n) return CSV_END;
        if (text[pos] == '\n') {
            ++pos;
        } else if (text[pos] == '\r' && (cut(pos + 1) || (pos + 1 < n && text[pos + 1] == '\n'))) {
            if (cut(pos + 1)) return CSV_MORE;
            pos += 2;
        } else {
            break;
        }
        ++line;
    }
    record->Line = line;
    record->Fields.clear();
    while (true) {
        std::string field;
        if (cut(pos)) return CSV_MORE;
        if (pos < n && text[pos] == '"') {
            const size_t openedOn = line;
            ++pos;
            while (true) {
                if (cut(pos)) return CSV_MORE;
                if (pos == n) return fail(openedOn, "quoted field is not closed");
                char c = text[pos++];
                if (c == '"') {
                    if (cut(pos)) return CSV_MORE;
                    if (pos < n && text[pos] == '"') {
                        field += '"';
                        ++pos;
                        continue;
                    }
                    break;
                }
                if (c == '\n') ++line;
                field += c;
            }
            if (pos < n && text[pos] != ',' && text[pos] != '\n' && text[pos] != '\r')
                return fail(line, "text after a closing quote");
        } else {
            while (true) {
                if (cut(pos)) return CSV_MORE;
                if (pos == n || text[pos] == ',' || text[pos] == '\n') break;
                if (text[pos] == '\r') {
                    if (cut(pos + 1)) return CSV_MORE;
                    if (pos + 1 < n && text[pos + 1] == '\n') break;
                }
                if (text[pos] == '"') return fail(line, "quote inside an unquoted field");
                field += text[pos++];
            }
        }
        record->Fields.push_back(std::move(field));
        if (cut(pos)) return CSV_MORE;
        if (pos < n && text[pos] == ',') {
            ++pos;
            continue;
        }
        // The record's end: LF, CRLF or the end of the text.
        if (pos == n) {
            ++line;
            break;
        }
        if (text[pos] == '\n') {
            ++pos;
        } else if (text[pos] == '\r' && pos + 1 < n && text[pos + 1] == '\n') {
            pos += 2;
        } else {
            if (text[pos] == '\r' && cut(pos + 1)) return CSV_MORE;
            return fail(line, "stray carriage return");
        }
        ++line;
        break;
    }
    *posInOut = pos;
    *lineInOut = line;
    return CSV_RECORD;
}

CsvResult ParseCsv(std::string_view text) {
    CsvResult result;
    size_t pos = 0, line = 1;
    for (;;) {
        CsvRecord record;
        const CsvStep step = ReadCsvRecord(text, true, &pos, &line, &record, &result.ErrorLine, &result.Error);
        if (step == CSV_END) break;
        if (step == CSV_ERROR) {
            result.Records.clear();
            return result;
        }
        result.Records.push_back(std::move(record));
    }
    result.Ok = true;
    return result;
}

}  // namespace ovnode
