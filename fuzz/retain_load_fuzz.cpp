// Fuzz target: loading an arbitrary retain file into a node space.
//
// A node space of its own holds nodes of every kind the file can carry
// (numbers of each width, texts, byte ranges, an unknown type code, a node
// of Size 0) beside the service's configuration variables. Each input is
// written as the retain file; before the load every value is set to a
// pattern. A file that holds a slot for every node must load (1) and give
// every node exactly its slot (a text up to its first zero byte, or its
// first Size - 1 characters, zero-filled after), whatever follows; a shorter
// one (no check record or layout record is beside it to say what it is)
// must fail (0) and leave every node at the pattern. The header word must
// read as the start-up check reads it. Any break of
// these rules aborts, and so does anything the sanitizers catch.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "nodespace/nodespace_admin.h"
#include "nodespace/ovhgapi.h"
#include "plant_space.h"
#include "retain/retain_file.h"
#include "retain/retain_paths.h"
#include "retain/startup_check.h"
#include "variables/variables.h"

namespace {

struct Slot {
    const NodeRecord* Node;
    uint16_t Size;
};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    OpenPlantSpace("retain");

    MakePlantNode("Plant.Flag", 1, 1);
    MakePlantNode("Plant.Text1", 12, 1);
    MakePlantNode("Plant.Short", 4, 2);
    MakePlantNode("Plant.Name", 12, 8);
    MakePlantNode("Plant.Empty", 2, 0);
    MakePlantNode("Plant.Counter", 7, 4);
    MakePlantNode("Plant.Mask", 13, 3);
    MakePlantNode("Plant.Odd", 200, 5);
    MakePlantNode("Plant.Signed", 6, 4);
    MakePlantNode("Plant.Title", 12, 80);
    MakePlantNode("Plant.Block", 13, 16);
    UsePlantDirectory();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string path = GetRetainFilePath();
    FILE* f = std::fopen(path.c_str(), "wb");
    FuzzCheck(f != nullptr);
    FuzzCheck(size == 0 || std::fwrite(data, 1, size, f) == size);
    FuzzCheck(std::fclose(f) == 0);

    std::vector<Slot> slots;
    const uint8_t pattern[8] = {0x5A, 0xA5, 0x5A, 0xA5, 0x5A, 0xA5, 0x5A, 0xA5};
    for (int32_t i = 0; i < NodeCount(); ++i) {
        const NodeRecord* node = &NodeTable()[i];
        uint16_t slotSize = 0;
        if (NodeGetAttribute(node->Name, "Size", &slotSize, 2) != 0 || slotSize == 0) continue;
        std::vector<uint8_t> fill(slotSize);
        for (size_t b = 0; b < fill.size(); ++b) fill[b] = pattern[b % 8];
        FuzzCheck(NodeWriteByName(node->Name, fill.data(), slotSize) == 0);
        slots.push_back({node, slotSize});
    }

    // A file without a whole header, or (with no check record or layout
    // record beside it) without a slot for every node, loads nothing and
    // fails.
    size_t length = 4;
    for (const Slot& s : slots) length += s.Size;
    const bool whole = size >= length;
    FuzzCheck(LoadRetainFile() == (whole ? 1 : 0));

    size_t offset = 4;
    for (const Slot& s : slots) {
        std::vector<uint8_t> value(s.Size);
        NodeReadByName(s.Node->Name, value.data(), s.Size);
        std::vector<uint8_t> want(s.Size);
        if (whole) {
            const uint8_t* slot = data + offset;
            if (s.Node->Type == 12) {
                size_t n = 0;
                while (n < static_cast<size_t>(s.Size - 1) && slot[n] != 0) ++n;
                std::memcpy(want.data(), slot, n);
            } else {
                std::memcpy(want.data(), slot, s.Size);
            }
        } else {
            for (size_t b = 0; b < want.size(); ++b) want[b] = pattern[b % 8];
        }
        FuzzCheck(value == want);
        offset += s.Size;
    }

    // The header as the start-up check reads it: shorter than 4 bytes is 0.
    uint32_t header = 0;
    if (size >= 4) header = data[0] | data[1] << 8 | data[2] << 16 | static_cast<uint32_t>(data[3]) << 24;
    LockRetainFile();
    uint32_t stored = ReadStoredLayoutHash();
    UnlockRetainFile();
    FuzzCheck(stored == header);
    return 0;
}
