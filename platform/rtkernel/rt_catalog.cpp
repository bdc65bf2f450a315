// rt_catalog.cpp - the catalogues of names. The root catalogue and every
// process's own live together in one shared segment "/ovrt-<instance>", so
// that tools in other processes can read them. Each entry carries the pid and
// start time of the process that made it (process_identity.h); entries of
// processes that have ended, or whose pid now names another process, are
// skipped on reading and freed on the next write. The segment is data: an
// entry is used only as far as it checks out.

#include <errno.h>
#include <pthread.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "common/process_identity.h"
#include "common/shm_segment.h"
#include "rt_internal.h"
#include "rtadmin.h"

namespace {

constexpr uint32_t kMagic = 0x4F565254;  // "OVRT"
constexpr uint32_t kVersion = 2;
constexpr uint32_t kCapacity = 1024;
constexpr size_t kNameSize = 32;

struct Entry {
    int32_t Owner;  // process that made the entry; 0: the slot is free
    int32_t Tid;
    uint16_t Handle;
    uint8_t Kind;  // RtEntryKind
    uint8_t Root;  // 1: root catalogue, 0: the owner's own
    int16_t Priority;
    uint16_t Reserved;
    char Name[kNameSize];
    uint64_t StartTime;  // of the owner
};

struct Segment {
    uint32_t Magic;
    uint32_t Version;
    uint32_t Capacity;
    uint32_t EntrySize;
    OwnerLock Lock;
    Entry Entries[kCapacity];
};

struct State {
    std::mutex Lock;
    bool Selected = false;
    std::string Instance;    // when Selected
    std::string MappedName;  // segment name of Seg, "" when none is mapped
    ShmSegment Seg;
};

// Never destroyed: detached threads may still catalogue while the process exits.
State& S() {
    static State* state = [] {
        RtKernelInit();
        return new State;
    }();
    return *state;
}

std::string InstanceLocked(const State& s) {
    if (s.Selected) return s.Instance;
    const char* env = getenv("OVNODE_SPACE");
    return env && *env ? std::string(env) : std::string("ovnodespace");
}

std::string SegmentName(const std::string& instance) {
    return "/ovrt-" + instance;
}

void CloseLocked(State& s) {
    ShmClose(&s.Seg);
    s.MappedName.clear();
}

// The current instance's segment, mapped (and created when `create`) on
// first use. Called with the state lock held.
Segment* MapLocked(State& s, bool create, std::string* error = nullptr) {
    std::string instance = InstanceLocked(s);
    if (!ShmValidName(instance)) return nullptr;
    std::string name = SegmentName(instance);
    if (s.MappedName == name && s.Seg.Base) return static_cast<Segment*>(s.Seg.Base);
    CloseLocked(s);
    auto init = [](void* base) {
        auto* seg = static_cast<Segment*>(base);
        seg->Magic = kMagic;
        seg->Version = kVersion;
        seg->Capacity = kCapacity;
        seg->EntrySize = sizeof(Entry);
    };
    ShmSegment seg;
    if (!ShmOpen(name, sizeof(Segment), sizeof(Segment), create, init, &seg, nullptr, error)) {
        if (error && errno == ENOENT) error->clear();  // no catalogue yet: nothing in it
        return nullptr;
    }
    auto* mapped = static_cast<Segment*>(seg.Base);
    if (ShmFaults(seg) != 0 || mapped->Magic != kMagic || mapped->Version != kVersion ||
        mapped->Capacity != kCapacity || mapped->EntrySize != sizeof(Entry)) {
        if (error) *error = "the catalogue " + name + " is not of this version";
        ShmClose(&seg);
        return nullptr;
    }
    s.Seg = seg;
    s.MappedName = name;
    return mapped;
}

bool Alive(const Entry& e) {
    return e.Owner != 0 && (e.Owner == getpid() || ProcessIs(e.Owner, e.StartTime));
}

void FreeDead(Segment* seg) {
    for (Entry& e : seg->Entries) {
        if (e.Owner != 0 && !Alive(e)) e.Owner = 0;
    }
}

// Runs f(segment) under the segment's lock. False when the segment cannot
// be mapped.
template <typename F>
bool WithSegment(bool create, F f, std::string* error = nullptr) {
    State& s = S();
    std::lock_guard<std::mutex> lock(s.Lock);
    Segment* seg = MapLocked(s, create, error);
    if (!seg) return false;
    switch (OwnerLockAcquire(&seg->Lock)) {
        case LockResult::TimedOut:
            if (error) *error = "the catalogue's lock is held by a live process that does not let go";
            return false;
        case LockResult::TakenFromDead:
            // The holder died, perhaps in the middle of a write: an entry is
            // only claimed by its last store (Owner), so freeing the dead
            // processes' entries repairs everything it may have left.
            FreeDead(seg);
            break;
        case LockResult::Taken:
            break;
    }
    f(seg);
    OwnerLockRelease(&seg->Lock);
    return true;
}

bool SameName(const Entry& e, const char* name) {
    return strncmp(e.Name, name, kNameSize) == 0;
}

}  // namespace

std::mutex& RtCatalogLock() {
    return S().Lock;
}

bool RtCatalogInsert(bool root, RtEntryKind kind, RTHANDLE handle, int tid, int priority, const char* name) {
    bool ok = false;
    pid_t self = getpid();
    WithSegment(true, [&](Segment* seg) {
        FreeDead(seg);
        Entry* slot = nullptr;
        for (Entry& e : seg->Entries) {
            if (e.Owner == 0) {
                if (!slot) slot = &e;
                continue;
            }
            bool sameCatalog = root ? e.Root == 1 : (e.Root == 0 && e.Owner == self);
            if (sameCatalog && SameName(e, name)) return;
        }
        if (!slot) return;
        slot->Tid = tid;
        slot->Handle = handle;
        slot->Kind = static_cast<uint8_t>(kind);
        slot->Root = root ? 1 : 0;
        slot->Priority = static_cast<int16_t>(priority);
        slot->Reserved = 0;
        memset(slot->Name, 0, kNameSize);
        strncpy(slot->Name, name, kNameSize - 1);
        slot->StartTime = SelfStartTime();
        slot->Owner = self;
        ok = true;
    });
    return ok;
}

bool RtCatalogRemove(bool root, const char* name) {
    bool found = false;
    pid_t self = getpid();
    WithSegment(false, [&](Segment* seg) {
        FreeDead(seg);
        for (Entry& e : seg->Entries) {
            if (e.Owner == 0 || !SameName(e, name)) continue;
            bool sameCatalog = root ? e.Root == 1 : (e.Root == 0 && e.Owner == self);
            if (sameCatalog) {
                e.Owner = 0;
                found = true;
            }
        }
    });
    return found;
}

void RtCatalogSetPriority(RTHANDLE handle, int priority) {
    pid_t self = getpid();
    WithSegment(false, [&](Segment* seg) {
        for (Entry& e : seg->Entries) {
            if (e.Owner == self && e.Handle == handle && e.Kind == static_cast<uint8_t>(RtEntryKind::Thread)) {
                e.Priority = static_cast<int16_t>(priority);
            }
        }
    });
}

void RtCatalogDropHandle(RTHANDLE handle) {
    pid_t self = getpid();
    WithSegment(false, [&](Segment* seg) {
        for (Entry& e : seg->Entries) {
            if (e.Owner == self && e.Handle == handle) e.Owner = 0;
        }
    });
}

std::string RtInstanceName() {
    State& s = S();
    std::lock_guard<std::mutex> lock(s.Lock);
    return InstanceLocked(s);
}

void RtSelectInstance(const std::string& name) {
    State& s = S();
    std::lock_guard<std::mutex> lock(s.Lock);
    s.Selected = true;
    s.Instance = name;
    if (s.MappedName != SegmentName(name)) CloseLocked(s);
}

std::vector<RtCatalogEntry> RtReadCatalog() {
    std::vector<RtCatalogEntry> out;
    RtReadCatalog(&out, nullptr);
    return out;
}

bool RtReadCatalog(std::vector<RtCatalogEntry>* entries, std::string* error) {
    std::vector<Entry> raw;
    std::string why;
    const bool read = WithSegment(
        false,
        [&](Segment* seg) {
            for (const Entry& e : seg->Entries) {
                if (Alive(e)) raw.push_back(e);
            }
        },
        &why);
    entries->clear();
    if (!read && !why.empty()) {
        if (error) *error = why;
        return false;
    }
    std::map<pid_t, std::string> processNames;
    for (const Entry& e : raw) {
        if (e.Root && e.Kind == static_cast<uint8_t>(RtEntryKind::Process) && !processNames.count(e.Owner)) {
            processNames[e.Owner] = std::string(e.Name, strnlen(e.Name, kNameSize));
        }
    }
    static const char* const kKinds[] = {"", "process", "thread", "semaphore"};
    std::vector<RtCatalogEntry>& out = *entries;
    for (const Entry& e : raw) {
        RtCatalogEntry c;
        c.Pid = e.Owner;
        if (!e.Root) {
            auto it = processNames.find(e.Owner);
            c.Process = it != processNames.end() ? it->second : std::to_string(e.Owner);
        }
        c.Name = std::string(e.Name, strnlen(e.Name, kNameSize));
        c.Kind = e.Kind < 4 ? kKinds[e.Kind] : "";
        bool thread = e.Kind == static_cast<uint8_t>(RtEntryKind::Thread);
        c.Priority = thread ? e.Priority : -1;
        c.Tid = thread ? e.Tid : 0;
        out.push_back(c);
    }
    return true;
}

pid_t RtFindProcess(const std::string& name, uint64_t* startTime) {
    pid_t found = 0;
    WithSegment(false, [&](Segment* seg) {
        for (const Entry& e : seg->Entries) {
            if (e.Root && Alive(e) && name.size() < kNameSize && SameName(e, name.c_str())) {
                found = e.Owner;
                if (startTime) *startTime = e.Owner == getpid() ? SelfStartTime() : e.StartTime;
                return;
            }
        }
    });
    return found;
}

bool RtDestroyInstance(const std::string& name) {
    if (!ShmValidName(name)) return false;
    State& s = S();
    std::lock_guard<std::mutex> lock(s.Lock);
    std::string seg = SegmentName(name);
    if (s.MappedName == seg) CloseLocked(s);
    return ShmUnlink(seg, nullptr);
}
