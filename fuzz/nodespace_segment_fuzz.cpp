// Fuzz target: shared segments written by someone who breaks their rules.
//
// A node space of its own holds nodes of several kinds beside the service's
// configuration variables, and a retain file of them is saved once; this
// process catalogues itself in the kernel instance of the same name and
// writes a status record there. Each input is a list of patches,
// [offset: 2 bytes][length: 1 byte][bytes], applied to the segment's header,
// node table, value table and value heap, the catalogue and the status record (offsets
// wrap around their total length); then the save and the load run over the
// spoiled node space, the catalogue is read and searched as ovnode does, the
// service's process is looked for, and the status record is read and its
// texts escaped; the patched bytes are put back. None may crash (the
// sanitizers watch every access) nor hang (libFuzzer's -timeout), and the
// retain file a save leaves is never longer than its header and the memory
// the node space holds for values: value entries (sizes, offsets, sequences)
// and the node space's lock word are patched like the rest. A lock word that
// names a live thread costs one deadline, after which calls do not wait for
// some time (ovhgapi.h), so no input waits more than one. Left out of the
// patches: the catalogue's lock word (its library waits out a deadline a
// call) and the reservation marks, which bound how much memory the library
// may commit; what the library does with wrong marks is the fault guard's
// business.
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "common/shown_text.h"
#include "nodespace/nodespace_admin.h"
#include "nodespace/ovhgapi.h"
#include "nodespace/segment_layout.h"
#include "plant_space.h"
#include "retain/retain_file.h"
#include "retain/retain_paths.h"
#include "rtkernel/rtadmin.h"
#include "rtkernel/rtkernel.h"
#include "status/status_segment.h"
#include "variables/variables.h"

namespace {

uint8_t* Base() {
    return reinterpret_cast<uint8_t*>(NodeTable()) - nodespace::kDefaultLayout.TableOffset;
}

// Whether header byte `at` belongs to the fields left alone.
bool Protected(size_t at) {
    using nodespace::SegmentHeader;
    auto within = [at](size_t from, size_t size) { return at >= from && at < from + size; };
    return within(offsetof(SegmentHeader, TableReserved), sizeof(uint64_t)) ||
           within(offsetof(SegmentHeader, HeapReserved), sizeof(uint64_t)) ||
           within(offsetof(SegmentHeader, ValuesReserved), sizeof(uint64_t)) ||
           within(offsetof(SegmentHeader, HashReserved), sizeof(SegmentHeader::HashReserved));
}

struct Region {
    uint8_t* At;
    size_t Size;
};

// The catalogue's bytes and the status record, mapped here.
uint8_t* Catalogue = nullptr;
size_t CatalogueSize = 0;
ServiceStatus* Status = nullptr;
// The catalogue's lock word: after its 16-byte header.
constexpr size_t kCatalogueLock = 16;

void CleanUpInstance() {
    RtDestroyInstance(PlantSpaceName());
    StatusSegmentRemove(PlantSpaceName());
}

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

    RtSelectInstance(PlantSpaceName());
    atexit(CleanUpInstance);
    FuzzCheck(CatalogRtHandle(RT_ROOT_PROCESS_HANDLE, GetRtThreadHandles(RT_THIS_PROCESS), "OvRetain"));
    FuzzCheck(CatalogRtHandle(0, GetRtThreadHandles(RT_THIS_THREAD), "Main"));
    const int fd = open(("/dev/shm/ovrt-" + PlantSpaceName()).c_str(), O_RDWR | O_CLOEXEC);
    struct stat st;
    FuzzCheck(fd >= 0 && fstat(fd, &st) == 0);
    CatalogueSize = static_cast<size_t>(st.st_size);
    void* mapped = mmap(nullptr, CatalogueSize, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    close(fd);
    FuzzCheck(mapped != MAP_FAILED);
    Catalogue = static_cast<uint8_t*>(mapped);
    std::string error;
    Status = StatusSegmentCreate(&error);
    FuzzCheck(Status != nullptr);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const auto* header = reinterpret_cast<nodespace::SegmentHeader*>(Base());
    const Region regions[] = {
        {Base(), sizeof(nodespace::SegmentHeader)},
        {Base() + nodespace::kDefaultLayout.TableOffset, static_cast<size_t>(NodeCount()) * sizeof(NodeRecord)},
        {Base() + nodespace::kDefaultLayout.ValuesOffset,
         static_cast<size_t>(NodeCount()) * sizeof(nodespace::ValueEntry)},
        {Base() + nodespace::kDefaultLayout.HeapOffset, static_cast<size_t>(header->HeapUsed.load())},
        {Catalogue, CatalogueSize},
        {reinterpret_cast<uint8_t*>(Status), sizeof(ServiceStatus)},
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
                    const bool kept =
                        (&r == &regions[0] && Protected(offset)) ||
                        (&r == &regions[4] && offset >= kCatalogueLock && offset < kCatalogueLock + sizeof(OwnerLock));
                    if (!kept) r.At[offset] = data[i];
                    break;
                }
                offset -= r.Size;
            }
        }
    }

    if (SaveRetainFile() == 1) {
        // Never more than the values the node space really holds.
        struct stat st;
        FuzzCheck(stat(GetRetainFilePath(), &st) == 0);
        FuzzCheck(static_cast<uint64_t>(st.st_size) <= 4 + header->HeapReserved.load());
    }
    LoadRetainFile();
    std::vector<RtCatalogEntry> entries;
    std::string error;
    if (RtReadCatalog(&entries, &error)) {
        for (const RtCatalogEntry& e : entries) ShowText(e.Name + e.Process);
    }
    uint64_t start = 0;
    RtFindProcess("OvRetain", &start);
    NodeSpaceServiceProcess(PlantSpaceName(), "ovretain", &start, &error);
    StatusSnapshot snap{};
    if (StatusSegmentRead(PlantSpaceName(), geteuid(), &snap, &error)) {
        ShowText(snap.Record.RetainPath);
        for (const StatusKindRecord& k : snap.Record.Kinds) ShowText(k.LastError);
        StatusProcessRuns(snap.Record.Pid, snap.Owner);
    }

    size_t offset = 0;
    for (const Region& r : regions) {
        std::memcpy(r.At, saved.data() + offset, r.Size);
        offset += r.Size;
    }
    return 0;
}
