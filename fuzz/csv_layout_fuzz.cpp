// Fuzz target: the CSV reader and the layout files read through it.
//
// The input is a layout text. ParseCsv either fails on a line that exists or
// gives records whose lines rise and that survive being written out again
// (every field quoted) and read back unchanged. ParseLayout either fails with
// a "line N: " reason (or, for a text without records, says it is empty) or
// gives nodes with valid, distinct names and values
// of their node's size. Any break of these rules aborts, and so does
// anything the sanitizers catch.
#include <cstdint>
#include <cstdlib>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "nodespace/ovhgapi.h"
#include "ovnode/csv_reader.h"
#include "ovnode/layout.h"
#include "ovnode/value_codec.h"

using namespace ovnode;

namespace {

void Check(bool ok) {
    if (!ok) abort();
}

std::string WriteCsv(const std::vector<CsvRecord>& records) {
    std::string out;
    for (const CsvRecord& r : records) {
        for (size_t i = 0; i < r.Fields.size(); ++i) {
            if (i) out += ',';
            out += '"';
            for (char c : r.Fields[i]) {
                if (c == '"') out += '"';
                out += c;
            }
            out += '"';
        }
        out += "\r\n";
    }
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    size_t lines = 1;
    for (char c : text) lines += c == '\n';

    CsvResult csv = ParseCsv(text);
    if (!csv.Ok) {
        Check(csv.Records.empty());
        Check(csv.ErrorLine >= 1 && csv.ErrorLine <= lines);
        Check(!csv.Error.empty());
    } else {
        size_t previous = 0;
        for (const CsvRecord& r : csv.Records) {
            Check(r.Line > previous && r.Line <= lines);
            Check(!r.Fields.empty());
            previous = r.Line;
        }
        CsvResult again = ParseCsv(WriteCsv(csv.Records));
        Check(again.Ok);
        Check(again.Records.size() == csv.Records.size());
        for (size_t i = 0; i < csv.Records.size(); ++i) Check(again.Records[i].Fields == csv.Records[i].Fields);
    }

    std::vector<LayoutNode> nodes;
    std::string error;
    if (!ParseLayout(text, &nodes, &error)) {
        // Every fault names its line, but for a text without any record.
        // (ParseLayout drops a leading byte-order mark before reading.)
        std::string_view body = text.substr(0, 3) == "\xEF\xBB\xBF" ? text.substr(3) : text;
        CsvResult bodyCsv = ParseCsv(body);
        const bool noRecords = bodyCsv.Ok && bodyCsv.Records.empty();
        Check(error.rfind("line ", 0) == 0 || (noRecords && error.rfind("layout is empty", 0) == 0));
        return 0;
    }
    Check(csv.Ok || text.substr(0, 3) == "\xEF\xBB\xBF");
    std::set<std::string> names;
    for (const LayoutNode& n : nodes) {
        Check(!n.Name.empty() && n.Name.size() <= kNodeNameMax);
        Check(names.insert(n.Name).second);
        Check(!n.HasValue || n.Value.size() == n.Size);
        Check(n.Type != kTypeText || n.Size >= 1);
    }
    return 0;
}
