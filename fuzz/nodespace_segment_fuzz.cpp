// Fuzz target: a node-space segment written by someone who breaks its rules.
//
// A node space of its own holds nodes of several kinds beside the service's
// configuration variables, and a retain file of them is saved once. Each
// input is a list of patches, [offset: 2 bytes][length: 1 byte][bytes],
// applied to the segment's header, node table, value table and value heap (offsets wrap
// around their total length); then the save and the load run over the
// spoiled segment, and the patched bytes are put back. They must not crash
// (the sanitizers watch every access) nor hang (libFuzzer's -timeout).
// Left out of the patches: the lock word (a thread id of some live process
// there only makes every call wait out its deadline) and the reservation
// marks, which bound how much memory the library may commit; what the library
// does with wrong marks is the fault guard's business.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "nodespace/nodespace_admin.h"
#include "nodespace/ovhgapi.h"
#include "nodespace/segment_layout.h"
#include "plant_space.h"
#include "retain/retain_file.h"
#include "variables/variables.h"

namespace {

uint8_t* Base() {
    return reinterpret_cast<uint8_t*>(NodeTable()) - nodespace::kTableOffset;
}

// Whether header byte `at` belongs to the fields left alone.
bool Protected(size_t at) {
    using nodespace::SegmentHeader;
    auto within = [at](size_t from, size_t size) { return at >= from && at < from + size; };
    return within(offsetof(SegmentHeader, Lock), sizeof(OwnerLock)) ||
           within(offsetof(SegmentHeader, TableReserved), sizeof(uint64_t)) ||
           within(offsetof(SegmentHeader, HeapReserved), sizeof(uint64_t)) ||
           within(offsetof(SegmentHeader, ValuesReserved), sizeof(uint64_t)) ||
           within(offsetof(SegmentHeader, HashReserved), sizeof(SegmentHeader::HashReserved));
}

struct Region {
    uint8_t* At;
    size_t Size;
};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    OpenPlantSpace("segment");

    MakePlantNode("Plant.Flag", 1, 1);
    MakePlantNode("Plant.Short", 4, 2);
    MakePlantNode("Plant.Name", 12, 8);
    MakePlantNode("Plant.Counter", 7, 4);
    MakePlantNode("Plant.Mask", 13, 3);
    MakePlantNode("Plant.Block", 13, 16);
    UsePlantDirectory();
    FuzzCheck(SaveRetainFile() == 1);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const auto* header = reinterpret_cast<nodespace::SegmentHeader*>(Base());
    const Region regions[] = {
        {Base(), sizeof(nodespace::SegmentHeader)},
        {Base() + nodespace::kTableOffset, static_cast<size_t>(NodeCount()) * sizeof(NodeRecord)},
        {Base() + nodespace::kValuesOffset, static_cast<size_t>(NodeCount()) * sizeof(nodespace::ValueEntry)},
        {Base() + nodespace::kHeapOffset, static_cast<size_t>(header->HeapUsed.load())},
    };
    size_t total = 0;
    for (const Region& r : regions) total += r.Size;
    std::vector<uint8_t> saved;
    for (const Region& r : regions) saved.insert(saved.end(), r.At, r.At + r.Size);

    for (size_t i = 0; i + 3 <= size;) {
        size_t at = (data[i] | size_t{data[i + 1]} << 8) % total;
        size_t length = data[i + 2];
        i += 3;
        for (size_t k = 0; k < length && i < size; ++k, ++i, at = (at + 1) % total) {
            size_t offset = at;
            for (const Region& r : regions) {
                if (offset < r.Size) {
                    if (&r != &regions[0] || !Protected(offset)) r.At[offset] = data[i];
                    break;
                }
                offset -= r.Size;
            }
        }
    }

    SaveRetainFile();
    LoadRetainFile();

    size_t offset = 0;
    for (const Region& r : regions) {
        std::memcpy(r.At, saved.data() + offset, r.Size);
        offset += r.Size;
    }
    return 0;
}
