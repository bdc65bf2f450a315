// ovnode retain-dump: shows a retain file against the current layout.
//
// The file holds no names or sizes of its own: its slots are found only by
// walking the node table with each node's current Size, as the service does
// when it loads. So the dump pairs each slot with the node that would receive
// it, and says where the file and the layout part ways. When the header is
// not the current layout's hash, the file's own layout record, if one lies
// beside it and verifies, names the slots instead.
#include <cstring>
#include <fstream>
#include <iomanip>
#include <iterator>
#include <ostream>
#include <sstream>

#include "nodespace/nodespace_admin.h"
#include "nodespace/ovhgapi.h"
#include "ovnode/commands.h"
#include "ovnode/retained_file.h"
#include "ovnode/shown_text.h"
#include "ovnode/value_codec.h"
#include "retain/layout_hash.h"
#include "stdlib/pfile.h"

namespace ovnode {
namespace {

std::string Hex(uint32_t v) {
    std::ostringstream s;
    s << "0x" << std::hex << std::setw(8) << std::setfill('0') << v;
    return s.str();
}

// The slots by the file's own layout record.
void DumpByRecord(const RetainedFile& file, std::ostream& out) {
    const std::vector<LayoutRecordEntry>& entries = file.Record.Entries;
    out << "layout record " << LayoutRecordPathBeside(file.Path, file.Header) << " (" << entries.size()
        << " nodes): the slots by the layout the file was written with\n";
    size_t slots = 0;
    std::vector<uint8_t> value;
    for (size_t i = 0; i < entries.size(); ++i) {
        const LayoutRecordEntry& e = entries[i];
        if (e.Size == 0) continue;
        const std::string name(e.Name, e.NameLength);
        if (!RetainedValue(file, i, &value)) {
            out << "file ends at byte " << file.Bytes.size() << ": the slot of " << name << " (" << e.Size
                << " bytes at offset " << e.Offset << ") and every later one are missing\n";
            return;
        }
        out << std::left << std::setw(10) << e.Offset << " " << std::setw(40) << name << " " << std::setw(4) << e.Type
            << " " << FormatValue(e.Type, value) << "\n";
        ++slots;
    }
    out << slots << " slots; the file ends with the last slot\n";
}

}  // namespace

int CommandRetainDump(const Invocation& inv, std::ostream& out, std::ostream& err) {
    const std::string& given = inv.Args[0];
    const std::string path = PFileMapPath(given.c_str());
    std::string content, problem;
    if (!ReadInputFile(path, kRetainFileLimit, &content, &problem)) {
        err << "ovnode: cannot read retain file " << ShownText(path) << ": " << problem << "\n";
        return kExitFailure;
    }
    const std::vector<uint8_t> bytes(content.begin(), content.end());
    content.clear();
    if (!NodeSpaceExists(inv.Space)) {
        err << "ovnode: node space '" << ShownText(inv.Space) << "' does not exist\n";
        return kExitFailure;
    }
    std::string error;
    if (!NodeSpaceAttach(inv.Space, false, &error)) {
        err << "ovnode: cannot open node space '" << ShownText(inv.Space) << "': " << ShownText(error) << "\n";
        return kExitFailure;
    }

    const int32_t count = std::max<int32_t>(NodeCount(), 0);
    const NodeRecord* table = NodeTable();
    size_t expected = 4;
    for (int32_t i = 0; i < count; ++i) expected += NodeSpaceValueSize(&table[i]);
    uint32_t header = 0;
    if (bytes.size() >= 4) std::memcpy(&header, bytes.data(), 4);  // little-endian, as the machine
    const uint32_t hash = ComputeLayoutHash();
    const bool headerMatches = bytes.size() >= 4 && header == hash;
    // --check judges the file as a whole: header and length.
    const int verdict = !inv.Check || (headerMatches && bytes.size() == expected) ? kExitOk : kExitFailure;

    if (inv.Json) {
        out << "{\"file\": " << JsonString(path) << ", \"size\": " << bytes.size()
            << ", \"expected_size\": " << expected
            << ", \"header\": " << (bytes.size() >= 4 ? JsonString(Hex(header)) : "null")
            << ", \"layout_hash\": " << JsonString(Hex(hash))
            << ", \"header_matches\": " << (headerMatches ? "true" : "false");
        size_t offset = 4;
        std::string missingFrom;
        if (!inv.Check) out << ", \"slots\": [";
        for (int32_t i = 0, n = 0; bytes.size() >= 4 && i < count; ++i) {
            const NodeRecord& r = table[i];
            const uint16_t size = NodeSpaceValueSize(&r);
            if (size == 0) continue;
            const std::string name(r.Name, strnlen(r.Name, sizeof r.Name));
            if (offset + size > bytes.size()) {
                missingFrom = name;
                break;
            }
            if (!inv.Check) {
                const std::vector<uint8_t> slot(bytes.begin() + static_cast<long>(offset),
                                                bytes.begin() + static_cast<long>(offset + size));
                const std::string value = FormatValue(r.Type, slot);
                const ValueKind kind = KindOfType(r.Type);
                const bool numeric = kind == ValueKind::Unsigned || kind == ValueKind::Signed;
                out << (n++ ? ",\n  " : "\n  ") << "{\"offset\": " << offset << ", \"name\": " << JsonString(name)
                    << ", \"type\": " << r.Type << ", \"size\": " << size
                    << ", \"value\": " << (numeric ? value : JsonString(value)) << "}";
            }
            offset += size;
        }
        if (!inv.Check) out << "]";
        out << ", \"missing_from\": " << (missingFrom.empty() ? "null" : JsonString(missingFrom))
            << ", \"extra_bytes\": " << (missingFrom.empty() && bytes.size() > offset ? bytes.size() - offset : 0)
            << "}\n";
        return verdict;
    }

    out << "file         " << ShownText(path) << " (" << bytes.size() << " bytes; the layout expects " << expected
        << ")\n";
    if (bytes.size() < 4) {
        out << "header word  missing: the file is shorter than its 4-byte header\n";
        return verdict;
    }
    out << "header word  " << Hex(header) << "\n"
        << "layout hash  " << Hex(hash)
        << (header == hash ? "  (match)\n" : "  (differ: a start-up check would set this file aside)\n");
    if (inv.Check) {
        if (verdict == kExitOk)
            out << "the file matches the layout\n";
        else if (!headerMatches)
            out << "the header does not match the layout\n";
        else
            out << "the file is " << (bytes.size() < expected ? "shorter" : "longer") << " than the layout expects\n";
        return verdict;
    }
    if (header != hash) {
        RetainedFile own;
        own.Path = path;
        own.Bytes = bytes;
        own.Header = header;
        std::string why;
        if (ReadRetainedRecord(&own, &why)) {
            DumpByRecord(own, out);
            return kExitOk;
        }
        out << "no layout record to go by (" << why << "); the slots against the current layout:\n";
    }

    size_t offset = 4, slots = 0;
    for (int32_t i = 0; i < count; ++i) {
        const NodeRecord& r = table[i];
        const uint16_t size = NodeSpaceValueSize(&r);
        if (size == 0) continue;
        const std::string name(r.Name, strnlen(r.Name, sizeof r.Name));
        if (offset + size > bytes.size()) {
            out << "file ends at byte " << bytes.size() << ": the slot of " << ShownText(name, true) << " (" << size
                << " bytes at offset " << offset << ") and every later one are missing; a load leaves those nodes "
                << "unchanged\n";
            return kExitOk;
        }
        const std::vector<uint8_t> slot(bytes.begin() + static_cast<long>(offset),
                                        bytes.begin() + static_cast<long>(offset + size));
        out << std::left << std::setw(10) << offset << " " << std::setw(40) << ShownText(name, true) << " "
            << std::setw(4) << r.Type << " " << ShownText(FormatValue(r.Type, slot), true) << "\n";
        offset += size;
        ++slots;
    }
    out << slots << " slots";
    if (offset < bytes.size()) {
        out << "; " << (bytes.size() - offset) << " bytes after the last slot that no node of this layout takes\n";
    } else {
        out << "; the file ends with the last slot\n";
    }
    return kExitOk;
}

}  // namespace ovnode
