// Adoption of the retain file by the node space, and the guards of a save.
#include "retain/adoption.h"

#include <errno.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <vector>

#include "nodespace/ovhgapi.h"
#include "report/report.h"
#include "retain/set_aside.h"
#include "stdlib/pfile.h"
#include "variables/variables.h"

namespace {

// The magic also says what the node space held when it adopted the file: the
// plant's values (a load, or a save of them), or defaults a save wrote with
// or without values written in its run. A service restarted on the node
// space whose file has changed since learns from it whether the node space
// still holds defaults.
constexpr uint64_t kMarkMagic = 0x3154504F4441564Full;          // "OVADOPT1"
constexpr uint64_t kMarkMagicDefaults = 0x4454504F4441564Full;  // "OVADOPTD"
constexpr uint64_t kMarkMagicWrites = 0x5754504F4441564Full;    // "OVADOPTW"

struct Mark {
    uint64_t Magic;
    uint64_t Device;
    uint64_t DirectoryInode;
    uint64_t FileInode;
    uint64_t Size;
    uint64_t ModifiedNs;
};
static_assert(sizeof(Mark) == kAdoptionMarkSize, "the mark fills the node space's room for it");

std::atomic<bool> AwaitsLoad{false};
// A save of this run met values nobody loaded, and nothing was loaded since.
// With the retain-file lock.
bool FromDefaults = false;
// ChangeMark at the end of the start-up check: while it stays, nobody but
// the service has written a value in this run.
uint64_t StartMark = 0;
// The file this run went on with was written from defaults with values
// written in its run: so are the saves that follow.
bool InheritedWrites = false;
// The file the start-up check left is one AutoLoad may load.
bool AutoLoadable = true;
// Nodes the start-up check saw; -1 before it ran. With the retain-file lock.
int32_t CheckedNodeCount = -1;
// The damaged retain file a load of the backup took the place of, while it
// could not be kept aside (its mark; Magic 0 when none). With the lock.
Mark ReplacedDamaged = {};

// The mark of the retain file `name` of dir as it is now; false when it is
// not there (or dir cannot be looked at).
bool MarkOf(PDir* dir, const std::string& name, Mark* mark) {
    struct stat file, directory;
    if (!dir || !PDirStat(dir, name.c_str(), &file) || !PDirStat(dir, ".", &directory)) return false;
    std::memset(mark, 0, sizeof *mark);
    mark->Magic = kMarkMagic;
    mark->Device = static_cast<uint64_t>(directory.st_dev);
    mark->DirectoryInode = static_cast<uint64_t>(directory.st_ino);
    mark->FileInode = static_cast<uint64_t>(file.st_ino);
    mark->Size = static_cast<uint64_t>(file.st_size);
    mark->ModifiedNs =
        static_cast<uint64_t>(file.st_mtim.tv_sec) * 1000000000u + static_cast<uint64_t>(file.st_mtim.tv_nsec);
    return true;
}

// The node space's mark; false when it has none (built afresh).
bool StoredMark(Mark* stored) {
    if (NodeAdoptedMark(stored, sizeof *stored) != sizeof *stored) return false;
    return stored->Magic == kMarkMagic || stored->Magic == kMarkMagicDefaults || stored->Magic == kMarkMagicWrites;
}

bool Adopted(const Mark& mark) {
    Mark stored;
    if (!StoredMark(&stored)) return false;
    stored.Magic = mark.Magic;
    return std::memcmp(&stored, &mark, sizeof mark) == 0;
}

// The header word of a file, for the name it is kept under; 0 when it
// cannot be read.
uint32_t HeaderOf(PDir* dir, const std::string& name) {
    uint8_t h[4] = {};
    PFile* file = PDirOpenRead(dir, name.c_str());
    if (!file) return 0;
    if (!PFileRead(file, h, sizeof h)) std::memset(h, 0, sizeof h);
    PFileClose(file);
    return h[0] | h[1] << 8 | h[2] << 16 | static_cast<uint32_t>(h[3]) << 24;
}

}  // namespace

void NoteRetainFileAtStartup(PDir* dir, const std::string& name, bool ofThisLayout) {
    CheckedNodeCount = NodeCount();
    AutoLoadable = ofThisLayout;
    StartMark = ChangeMark();
    Mark mark;
    AwaitsLoad.store(MarkOf(dir, name, &mark) && !Adopted(mark));
}

bool RetainFileAdopted(PDir* dir, const std::string& name) {
    Mark mark;
    return MarkOf(dir, name, &mark) && Adopted(mark);
}

bool RetainFileAwaitsLoad() {
    return AwaitsLoad.load();
}

bool RetainFileAwaitsAutoLoad() {
    return AwaitsLoad.load() && AutoLoadable;
}

bool SaveGuardsPass() {
    switch (NodeSpaceSound()) {
        case 0:
            break;
        case ESTALE:
            report(&LogChannel, "ERR", "Retain file save failed: the node space was destroyed or replaced.");
            return false;
        default:
            report(&LogChannel, "ERR", "Retain file save failed: the node space shrank or lost pages.");
            return false;
    }
    const int32_t count = NodeCount();
    if (count < CheckedNodeCount) {
        report(&LogChannel, "ERR", "Retain file save failed: the node space holds %d nodes, the start-up check saw %d.",
               count, CheckedNodeCount);
        return false;
    }
    return true;
}

bool KeepUnadoptedRetainFile(PDir* dir, const std::string& name, const std::string& tempName, uint32_t tempLayoutId) {
    Mark mark;
    if (!MarkOf(dir, name, &mark) || Adopted(mark)) return true;
    // Values nobody loaded are there. A node space built afresh holds
    // defaults: what it saves until it loads comes from defaults. One that
    // adopted a file before (a restart on it, and the file changed since)
    // holds what it held then, as its mark says. Not so for the damaged file
    // whose backup was loaded: the node space holds that backup's values.
    if (std::memcmp(&mark, &ReplacedDamaged, sizeof mark) != 0) {
        Mark stored;
        const bool fresh = !StoredMark(&stored);
        if (fresh || stored.Magic != kMarkMagic) FromDefaults = true;
        if (!fresh && stored.Magic == kMarkMagicWrites) InheritedWrites = true;
    }
    return SetAsideRetainFile(dir, name, HeaderOf(dir, name), tempName, tempLayoutId);
}

void AdoptInPlaceOfDamagedFile(PDir* dir, const std::string& name) {
    Mark mark;
    if (!MarkOf(dir, name, &mark) || Adopted(mark)) return;
    if (SetAsideRetainFile(dir, name, HeaderOf(dir, name))) {
        MarkRetainFileAdopted(dir, name);
        return;
    }
    // The values loaded are the plant's all the same: autosave and the
    // journal protect them, and each save keeps the damaged file aside
    // before it replaces it (KeepUnadoptedRetainFile), or fails.
    ReplacedDamaged = mark;
    AwaitsLoad.store(false);
}

void MarkRetainFileAdopted(PDir* dir, const std::string& name) {
    Mark mark;
    if (!MarkOf(dir, name, &mark)) return;
    if (FromDefaults) mark.Magic = ValuesWrittenThisRun() ? kMarkMagicWrites : kMarkMagicDefaults;
    // A mark that cannot be written costs only a second copy at the next save;
    // this service knows the values are its own.
    NodeMarkAdopted(&mark, sizeof mark);
    ReplacedDamaged = Mark{};
    AwaitsLoad.store(false);
}

bool SavingFromDefaults() {
    return FromDefaults;
}

bool ValuesWrittenThisRun() {
    return InheritedWrites || ChangeMark() != StartMark;
}

void NoteAdoptedFileFromDefaults(bool withWrites) {
    FromDefaults = true;
    InheritedWrites = withWrites;
}

void NoteValuesKeptAsideUnloaded() {
    FromDefaults = true;
}

void NoteValuesLoaded() {
    FromDefaults = false;
    InheritedWrites = false;
}

void ResetAdoptionForTest() {
    FromDefaults = false;
    InheritedWrites = false;
    AutoLoadable = true;
    CheckedNodeCount = -1;
    ReplacedDamaged = Mark{};
    AwaitsLoad.store(false);
}
