#include "ovnode/layout.h"

#include <unordered_map>

#include "nodespace/ovhgapi.h"
#include "ovnode/csv_reader.h"
#include "ovnode/value_codec.h"

namespace ovnode {

bool CheckNodeName(std::string_view name, std::string* error) {
    if (name.empty()) {
        if (error) *error = "node name is empty";
        return false;
    }
    if (name.size() > kNodeNameMax) {
        if (error)
            *error = "node name of " + std::to_string(name.size()) + " bytes is too long (at most " +
                     std::to_string(kNodeNameMax) + ")";
        return false;
    }
    if (name.find('\0') != std::string_view::npos) {
        if (error) *error = "node name contains a zero byte";
        return false;
    }
    return true;
}

bool CheckNewNodeName(std::string_view name, std::string* error) {
    if (!CheckNodeName(name, error)) return false;
    for (size_t i = 0; i < name.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(name[i]);
        if (c < 0x20 || c == 0x7F) {
            static const char kDigits[] = "0123456789abcdef";
            if (error)
                *error = std::string("node name contains the control byte 0x") + kDigits[c >> 4] + kDigits[c & 15] +
                         " at byte " + std::to_string(i + 1);
            return false;
        }
    }
    return true;
}

bool ParseTypeCode(std::string_view text, uint16_t* type, std::string* error) {
    uint64_t v = 0;
    std::string why;
    if (!ParseUnsigned(text, 0xFFFF, &v, &why)) {
        if (error) *error = "type code " + why;
        return false;
    }
    *type = static_cast<uint16_t>(v);
    return true;
}

bool ResolveNodeSize(uint16_t type, std::string_view sizeText, uint16_t* size, std::string* error) {
    std::optional<uint16_t> fixed = FixedSizeOfType(type);
    if (sizeText.empty()) {
        if (fixed) {
            *size = *fixed;
            return true;
        }
        if (type == kTypeText) {
            *size = kDefaultTextSize;
            return true;
        }
        if (error) *error = "type " + std::to_string(type) + " needs a size";
        return false;
    }
    uint64_t v = 0;
    std::string why;
    if (!ParseUnsigned(sizeText, 0xFFFF, &v, &why)) {
        if (error) *error = "size " + why;
        return false;
    }
    if (fixed && v != *fixed) {
        if (error)
            *error =
                "type " + std::to_string(type) + " has size " + std::to_string(*fixed) + ", not " + std::to_string(v);
        return false;
    }
    if (type == kTypeText && v == 0) {
        if (error) *error = "a text node needs a size of at least 1";
        return false;
    }
    *size = static_cast<uint16_t>(v);
    return true;
}

bool CheckLayoutHeader(const CsvRecord& header, std::string* error) {
    if (header.Fields == std::vector<std::string>{"name", "type", "size", "value"}) return true;
    if (error) *error = "line " + std::to_string(header.Line) + ": header must be name,type,size,value";
    return false;
}

bool ParseLayoutNode(const CsvRecord& rec, LayoutNode* node, std::string* error) {
    auto fail = [&](const std::string& what) {
        if (error) *error = "line " + std::to_string(rec.Line) + ": " + what;
        return false;
    };
    if (rec.Fields.size() != 4) return fail("expected 4 fields, found " + std::to_string(rec.Fields.size()));
    node->Line = rec.Line;
    node->Name = rec.Fields[0];
    node->HasValue = false;
    node->Value.clear();
    std::string why;
    if (!CheckNewNodeName(node->Name, &why)) return fail(why);
    if (!ParseTypeCode(rec.Fields[1], &node->Type, &why)) return fail(why);
    if (!ResolveNodeSize(node->Type, rec.Fields[2], &node->Size, &why)) return fail(why);
    if (!rec.Fields[3].empty()) {
        node->HasValue = true;
        if (!ParseValue(node->Type, node->Size, rec.Fields[3], &node->Value, &why)) return fail(why);
    }
    return true;
}

bool ParseLayout(std::string_view text, std::vector<LayoutNode>* nodes, std::string* error) {
    // A byte-order mark some editors put in front of the header.
    if (text.substr(0, 3) == "\xEF\xBB\xBF") text.remove_prefix(3);
    size_t pos = 0, line = 1, errorLine = 0;
    std::string why;
    CsvRecord rec;
    auto next = [&] {
        const CsvStep step = ReadCsvRecord(text, true, &pos, &line, &rec, &errorLine, &why);
        if (step == CSV_ERROR && error) *error = "line " + std::to_string(errorLine) + ": " + why;
        return step;
    };
    CsvStep step = next();
    if (step == CSV_ERROR) return false;
    if (step == CSV_END) {
        if (error) *error = "layout is empty (expected the header name,type,size,value)";
        return false;
    }
    if (!CheckLayoutHeader(rec, error)) return false;
    std::vector<LayoutNode> out;
    std::unordered_map<std::string, size_t> seen;
    while ((step = next()) == CSV_RECORD) {
        LayoutNode node;
        if (!ParseLayoutNode(rec, &node, error)) return false;
        auto [it, fresh] = seen.emplace(node.Name, rec.Line);
        if (!fresh) {
            if (error)
                *error = "line " + std::to_string(rec.Line) + ": node " + node.Name + " is already given on line " +
                         std::to_string(it->second);
            return false;
        }
        out.push_back(std::move(node));
    }
    if (step == CSV_ERROR) return false;
    *nodes = std::move(out);
    return true;
}

}  // namespace ovnode
