// ovnode retain-diff: two retain files compared by name through their own
// layout records. Exit status as diff(1): 0 equal, 1 different, 2 when a
// file cannot be read or has no record to compare it by.
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

constexpr int kExitTrouble = 2;

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
            return kExitTrouble;
        }
    }
    const auto first = Values(files[0]);
    const auto second = Values(files[1]);
    std::unordered_map<std::string, const Shown*> inSecond;
    for (const auto& [name, shown] : second) inSecond.emplace(name, &shown);
    std::unordered_map<std::string, bool> inFirst;
    size_t differences = 0;
    // One difference: a value missing from a file is null.
    auto json = [&](const std::string& name, const Shown* a, const Shown* b) {
        auto value = [](const Shown* v) { return v ? JsonString(v->Value) : std::string("null"); };
        auto type = [](const Shown* v) { return v ? std::to_string(v->Type) : std::string("null"); };
        out << (differences ? ",\n  " : "\n  ") << "{\"name\": " << JsonString(name) << ", \"first\": " << value(a)
            << ", \"first_type\": " << type(a) << ", \"second\": " << value(b) << ", \"second_type\": " << type(b)
            << "}";
    };
    if (inv.Json) out << "{\"differences\": [";
    for (const auto& [name, shown] : first) {
        inFirst.emplace(name, true);
        auto it = inSecond.find(name);
        if (it == inSecond.end()) {
            if (inv.Json)
                json(name, &shown, nullptr);
            else
                out << ShownText(name) << ": only in " << ShownText(inv.Args[0]) << " (" << Show(shown, false) << ")\n";
            ++differences;
        } else if (it->second->Type != shown.Type || it->second->Value != shown.Value) {
            const bool types = it->second->Type != shown.Type;
            if (inv.Json)
                json(name, &shown, it->second);
            else
                out << ShownText(name) << ": " << Show(shown, types) << " -> " << Show(*it->second, types) << "\n";
            ++differences;
        }
    }
    for (const auto& [name, shown] : second) {
        if (inFirst.count(name)) continue;
        if (inv.Json)
            json(name, nullptr, &shown);
        else
            out << ShownText(name) << ": only in " << ShownText(inv.Args[1]) << " (" << Show(shown, false) << ")\n";
        ++differences;
    }
    if (inv.Json) out << (differences ? "\n ], " : "], ") << "\"equal\": " << (differences ? "false" : "true") << "}\n";
    return differences ? kExitFailure : kExitOk;
}

}  // namespace ovnode
