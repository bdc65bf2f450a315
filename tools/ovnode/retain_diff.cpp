// ovnode retain-diff: two retain files compared by name through their own
// layout records.
#include <ostream>
#include <string>
#include <unordered_map>
#include <vector>

#include "ovnode/commands.h"
#include "ovnode/retained_file.h"
#include "ovnode/shown_text.h"
#include "ovnode/value_codec.h"

namespace ovnode {
namespace {

struct Shown {
    uint16_t Type = 0;
    std::string Value;  // as 'get' prints it
};

// Every value the file holds in full, by name, in record order.
std::vector<std::pair<std::string, Shown>> Values(const RetainedFile& file) {
    std::vector<std::pair<std::string, Shown>> values;
    std::vector<uint8_t> bytes;
    for (size_t i = 0; i < file.Record.Entries.size(); ++i) {
        const LayoutRecordEntry& e = file.Record.Entries[i];
        if (!RetainedValue(file, i, &bytes)) continue;
        values.push_back({std::string(e.Name, e.NameLength), {e.Type, FormatValue(e.Type, bytes)}});
    }
    return values;
}

// Names and values come from files anyone may have written: shown escaped.
std::string Show(const Shown& s, bool withType) {
    return withType ? ShownText(s.Value) + " (type " + std::to_string(s.Type) + ")" : ShownText(s.Value);
}

}  // namespace

int CommandRetainDiff(const Invocation& inv, std::ostream& out, std::ostream& err) {
    RetainedFile files[2];
    for (int i = 0; i < 2; ++i) {
        std::string error;
        // A record given is taken by the file it describes; the other finds
        // its own.
        if (!ReadRetainedBytes(inv.Args[i], &files[i], &error) ||
            (!ReadRetainedRecord(&files[i], &error, inv.Layouts) &&
             (inv.Layouts.empty() || !ReadRetainedRecord(&files[i], &error)))) {
            err << "ovnode: " << error << "\n";
            return kExitFailure;
        }
    }
    const auto first = Values(files[0]);
    const auto second = Values(files[1]);
    std::unordered_map<std::string, const Shown*> inSecond;
    for (const auto& [name, shown] : second) inSecond.emplace(name, &shown);
    std::unordered_map<std::string, bool> inFirst;
    size_t differences = 0;
    for (const auto& [name, shown] : first) {
        inFirst.emplace(name, true);
        auto it = inSecond.find(name);
        if (it == inSecond.end()) {
            out << ShownText(name) << ": only in " << ShownText(inv.Args[0]) << " (" << Show(shown, false) << ")\n";
            ++differences;
        } else if (it->second->Type != shown.Type || it->second->Value != shown.Value) {
            const bool types = it->second->Type != shown.Type;
            out << ShownText(name) << ": " << Show(shown, types) << " -> " << Show(*it->second, types) << "\n";
            ++differences;
        }
    }
    for (const auto& [name, shown] : second) {
        if (inFirst.count(name)) continue;
        out << ShownText(name) << ": only in " << ShownText(inv.Args[1]) << " (" << Show(shown, false) << ")\n";
        ++differences;
    }
    return differences ? kExitFailure : kExitOk;
}

}  // namespace ovnode
