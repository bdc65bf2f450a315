#include "ovnode/csv_reader.h"

namespace ovnode {

CsvResult ParseCsv(std::string_view text) {
    CsvResult result;
    size_t line = 1;
    size_t pos = 0;
    const size_t n = text.size();

    auto fail = [&](size_t where, std::string what) {
        result.Ok = false;
        result.Records.clear();
        result.ErrorLine = where;
        result.Error = std::move(what);
        return result;
    };
    // True at a record's end: LF, CRLF or the end of the text. Consumes it.
    auto atRecordEnd = [&]() {
        if (pos == n) return true;
        if (text[pos] == '\n') {
            ++pos;
            return true;
        }
        if (text[pos] == '\r' && pos + 1 < n && text[pos + 1] == '\n') {
            pos += 2;
            return true;
        }
        return false;
    };

    while (pos < n) {
        CsvRecord record;
        record.Line = line;
        if (atRecordEnd()) {  // a wholly empty line
            ++line;
            continue;
        }
        while (true) {
            std::string field;
            if (pos < n && text[pos] == '"') {
                const size_t openedOn = line;
                ++pos;
                while (true) {
                    if (pos == n) return fail(openedOn, "quoted field is not closed");
                    char c = text[pos++];
                    if (c == '"') {
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
                while (pos < n && text[pos] != ',' && text[pos] != '\n') {
                    if (text[pos] == '\r' && pos + 1 < n && text[pos + 1] == '\n') break;
                    if (text[pos] == '"') return fail(line, "quote inside an unquoted field");
                    field += text[pos++];
                }
            }
            record.Fields.push_back(std::move(field));
            if (pos < n && text[pos] == ',') {
                ++pos;
                continue;
            }
            if (!atRecordEnd()) return fail(line, "stray carriage return");
            ++line;
            break;
        }
        result.Records.push_back(std::move(record));
    }
    result.Ok = true;
    return result;
}

}  // namespace ovnode
