// rt_objects.cpp - the process-local object table (threads and semaphores),
// thread priorities, sleeps and the catalogue calls that name objects.

#include <errno.h>
#include <pthread.h>
#include <sched.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>

#include "rt_internal.h"
#include "rtadmin.h"
#include "rtkernel.h"

namespace {

constexpr size_t kMaxObjects = 0x1000 - RT_FIRST_OBJECT_HANDLE;
constexpr uint8_t kAdoptedPriority = 128;

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr size_t kMinStack = 1024 * 1024;
#else
constexpr size_t kMinStack = 256 * 1024;
#endif

struct Semaphore {
    std::mutex Lock;
    std::condition_variable Changed;
    uint32_t Count = 0;
    uint32_t Maximum = 0;
};

enum class ObjKind { Free, Thread, Semaphore };

struct Object {
    ObjKind Kind = ObjKind::Free;
    // Threads. Owner is the process the thread runs in: a forked child
    // inherits the table but none of the other threads.
    pid_t Owner = 0;
    pid_t Tid = 0;
    pthread_t Thread{};
    uint8_t Priority = 0;
    // Semaphores; shared so that a wait needs no table lock.
    std::shared_ptr<Semaphore> Sem;
};

struct Table {
    std::mutex Lock;
    Object Objects[kMaxObjects];
    size_t Next = 0;
    uint8_t Ceiling = 0;
};

thread_local RTHANDLE tSelf = 0;
thread_local pid_t tSelfPid = 0;

void ForkPrepare();
void ForkParent();
void ForkChild();

// Never destroyed: detached threads may still use it while the process exits.
Table& T() {
    static Table* table = [] {
        auto* t = new Table;
        pthread_atfork(ForkPrepare, ForkParent, ForkChild);
        return t;
    }();
    return *table;
}

// No thread may hold a layer lock across fork, or the child would find it
// taken for ever.
void ForkPrepare() {
    T().Lock.lock();
    RtCatalogLock().lock();
}
void ForkParent() {
    RtCatalogLock().unlock();
    T().Lock.unlock();
}
void ForkChild() {
    ForkParent();
}

RTHANDLE Allocate(Table& t, Object obj) {
    for (size_t i = 0; i < kMaxObjects; ++i) {
        size_t idx = (t.Next + i) % kMaxObjects;
        if (t.Objects[idx].Kind == ObjKind::Free) {
            t.Objects[idx] = std::move(obj);
            // Allocate round-robin so a freed handle is not soon handed out again.
            t.Next = idx + 1;
            return static_cast<RTHANDLE>(RT_FIRST_OBJECT_HANDLE + idx);
        }
    }
    return RT_BAD_HANDLE;
}

Object* Find(Table& t, RTHANDLE handle, ObjKind kind) {
    if (handle < RT_FIRST_OBJECT_HANDLE || handle >= RT_FIRST_OBJECT_HANDLE + kMaxObjects) return nullptr;
    Object& o = t.Objects[handle - RT_FIRST_OBJECT_HANDLE];
    return o.Kind == kind ? &o : nullptr;
}

bool Realtime() {
    static const bool on = [] {
        const char* v = getenv("OVRT_REALTIME");
        return v && strcmp(v, "1") == 0;
    }();
    return on;
}

// The error of the first SCHED_FIFO request the system refused; 0 while none
// was.
std::atomic<int> RealtimeRefused{0};

// Applies a priority in real-time mode; a process without the right keeps
// the scheduling it has, and the first refusal is kept for
// RtRealtimeRefusal.
void ApplySchedule(pthread_t thread, uint8_t priority) {
    if (!Realtime()) return;
    sched_param sp{};
    sp.sched_priority = RtLinuxPriority(priority);
    const int error = pthread_setschedparam(thread, SCHED_FIFO, &sp);
    int none = 0;
    if (error != 0) RealtimeRefused.compare_exchange_strong(none, error);
}

uint8_t Effective(const Table& t, uint8_t priority) {
    return priority < t.Ceiling ? t.Ceiling : priority;
}

// The calling thread's handle, adopting a thread the layer did not start.
// Called with the table lock held.
RTHANDLE SelfLocked(Table& t) {
    pid_t pid = getpid();
    if (tSelf != 0 && tSelfPid == pid && Find(t, tSelf, ObjKind::Thread)) return tSelf;
    Object obj;
    obj.Kind = ObjKind::Thread;
    obj.Owner = pid;
    obj.Tid = gettid();
    obj.Thread = pthread_self();
    obj.Priority = Effective(t, kAdoptedPriority);
    RTHANDLE h = Allocate(t, std::move(obj));
    if (h == RT_BAD_HANDLE) return h;
    tSelf = h;
    tSelfPid = pid;
    return h;
}

struct StartBlock {
    RtThreadFunc Func;
    void* Parameter;
    RTHANDLE Handle;
    std::mutex Lock;
    std::condition_variable Ready;
    bool Started = false;
};

void* Trampoline(void* arg) {
    auto* start = static_cast<StartBlock*>(arg);
    RtThreadFunc func = start->Func;
    void* parameter = start->Parameter;
    RTHANDLE handle = start->Handle;
    Table& t = T();
    {
        std::lock_guard<std::mutex> lock(t.Lock);
        Object* o = Find(t, handle, ObjKind::Thread);
        o->Tid = gettid();
        o->Thread = pthread_self();
        o->Owner = getpid();
        ApplySchedule(o->Thread, o->Priority);
    }
    tSelf = handle;
    tSelfPid = getpid();
    {
        std::lock_guard<std::mutex> lock(start->Lock);
        start->Started = true;
        start->Ready.notify_all();
    }
    // start belongs to the creator from here on.
    func(parameter);
    {
        std::lock_guard<std::mutex> lock(t.Lock);
        RtCatalogDropHandle(handle);
        t.Objects[handle - RT_FIRST_OBJECT_HANDLE] = Object{};
    }
    return nullptr;
}

timespec Deadline(uint32_t ms) {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    ts.tv_sec += ms / 1000;
    ts.tv_nsec += static_cast<long>(ms % 1000) * 1000000L;
    if (ts.tv_nsec >= 1000000000L) {
        ts.tv_sec += 1;
        ts.tv_nsec -= 1000000000L;
    }
    return ts;
}

void SleepMs(uint32_t ms) {
    if (ms == 0) {
        sched_yield();
        return;
    }
    timespec deadline = Deadline(ms);
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &deadline, nullptr) == EINTR) {
    }
}

bool ValidName(const char* name) {
    if (!name) return false;
    size_t n = strnlen(name, 32);
    return n > 0 && n <= 31;
}

}  // namespace

void RtKernelInit() {
    T();
}

int RtLinuxPriority(uint8_t priority) {
    return 99 - (static_cast<int>(priority) * 98) / 255;
}

int RtRealtimeRefusal() {
    return RealtimeRefused.load();
}

RTHANDLE CreateRtThread(uint8_t priority, RtThreadFunc func, uint32_t stackSize, void* parameter) {
    if (!func) return RT_BAD_HANDLE;
    Table& t = T();
    RTHANDLE handle;
    {
        std::lock_guard<std::mutex> lock(t.Lock);
        Object obj;
        obj.Kind = ObjKind::Thread;
        obj.Owner = getpid();
        obj.Priority = Effective(t, priority);
        handle = Allocate(t, std::move(obj));
    }
    if (handle == RT_BAD_HANDLE) return handle;

    long page = sysconf(_SC_PAGESIZE);
    size_t stack = stackSize < kMinStack ? kMinStack : stackSize;
    stack = (stack + page - 1) / page * page;
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    pthread_attr_setstacksize(&attr, stack);

    StartBlock start{func, parameter, handle, {}, {}, false};
    pthread_t thread;
    int rc = pthread_create(&thread, &attr, Trampoline, &start);
    pthread_attr_destroy(&attr);
    if (rc != 0) {
        std::lock_guard<std::mutex> lock(t.Lock);
        t.Objects[handle - RT_FIRST_OBJECT_HANDLE] = Object{};
        return RT_BAD_HANDLE;
    }
    // Wait until the thread has its id, so that it can be catalogued at once.
    std::unique_lock<std::mutex> lock(start.Lock);
    start.Ready.wait(lock, [&] { return start.Started; });
    return handle;
}

RTHANDLE CreateRtSemaphore(uint32_t initial, uint32_t maximum, uint32_t /*flags*/) {
    if (maximum == 0 || initial > maximum) return RT_BAD_HANDLE;
    Object obj;
    obj.Kind = ObjKind::Semaphore;
    obj.Sem = std::make_shared<Semaphore>();
    obj.Sem->Count = initial;
    obj.Sem->Maximum = maximum;
    Table& t = T();
    std::lock_guard<std::mutex> lock(t.Lock);
    return Allocate(t, std::move(obj));
}

static std::shared_ptr<Semaphore> FindSemaphore(RTHANDLE handle) {
    Table& t = T();
    std::lock_guard<std::mutex> lock(t.Lock);
    Object* o = Find(t, handle, ObjKind::Semaphore);
    return o ? o->Sem : nullptr;
}

uint32_t WaitForRtSemaphore(RTHANDLE semaphore, uint32_t units, uint32_t timeoutMs) {
    std::shared_ptr<Semaphore> sem = FindSemaphore(semaphore);
    if (!sem || units == 0 || units > sem->Maximum) return RT_WAIT_FAILED;
    std::unique_lock<std::mutex> lock(sem->Lock);
    auto enough = [&] { return sem->Count >= units; };
    if (timeoutMs == RT_WAIT_FOREVER) {
        sem->Changed.wait(lock, enough);
    } else {
        auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        if (!sem->Changed.wait_until(lock, until, enough)) return RT_WAIT_FAILED;
    }
    sem->Count -= units;
    return sem->Count;
}

bool ReleaseRtSemaphore(RTHANDLE semaphore, uint32_t units) {
    std::shared_ptr<Semaphore> sem = FindSemaphore(semaphore);
    if (!sem || units == 0) return false;
    std::lock_guard<std::mutex> lock(sem->Lock);
    if (units > sem->Maximum - sem->Count) return false;
    sem->Count += units;
    sem->Changed.notify_all();
    return true;
}

bool CatalogRtHandle(RTHANDLE process, RTHANDLE handle, const char* name) {
    bool root;
    if (process == 0 || process == RT_THIS_PROCESS_HANDLE) {
        root = false;
    } else if (process == RT_ROOT_PROCESS_HANDLE) {
        root = true;
    } else {
        return false;
    }
    if (!ValidName(name)) return false;
    Table& t = T();
    // The table lock stays held so that a priority change cannot slip in
    // between reading the priority and entering it.
    std::lock_guard<std::mutex> lock(t.Lock);
    if (handle == RT_THIS_PROCESS_HANDLE) {
        return RtCatalogInsert(root, RtEntryKind::Process, handle, 0, -1, name);
    }
    if (Object* o = Find(t, handle, ObjKind::Thread)) {
        if (o->Owner != getpid()) return false;
        return RtCatalogInsert(root, RtEntryKind::Thread, handle, o->Tid, o->Priority, name);
    }
    if (Find(t, handle, ObjKind::Semaphore)) {
        return RtCatalogInsert(root, RtEntryKind::Semaphore, handle, 0, -1, name);
    }
    return false;
}

bool UncatalogRtHandle(RTHANDLE process, const char* name) {
    if (!ValidName(name)) return false;
    if (process == 0 || process == RT_THIS_PROCESS_HANDLE) return RtCatalogRemove(false, name);
    if (process == RT_ROOT_PROCESS_HANDLE) return RtCatalogRemove(true, name);
    return false;
}

RTHANDLE GetRtThreadHandles(uint32_t selector) {
    switch (selector) {
        case RT_THIS_THREAD: {
            Table& t = T();
            std::lock_guard<std::mutex> lock(t.Lock);
            return SelfLocked(t);
        }
        case RT_THIS_PROCESS:
            return RT_THIS_PROCESS_HANDLE;
        case RT_ROOT_PROCESS:
            return RT_ROOT_PROCESS_HANDLE;
        default:
            return RT_BAD_HANDLE;
    }
}

bool SetRtProcessMaxPriority(RTHANDLE process, uint8_t priority) {
    if (process != 0 && process != RT_THIS_PROCESS_HANDLE) return false;
    Table& t = T();
    std::lock_guard<std::mutex> lock(t.Lock);
    t.Ceiling = priority;
    return true;
}

bool SetRtThreadPriority(RTHANDLE thread, uint8_t priority) {
    Table& t = T();
    std::lock_guard<std::mutex> lock(t.Lock);
    if (thread == 0) thread = SelfLocked(t);
    Object* o = Find(t, thread, ObjKind::Thread);
    if (!o || o->Owner != getpid()) return false;
    o->Priority = Effective(t, priority);
    ApplySchedule(o->Thread, o->Priority);
    RtCatalogSetPriority(thread, o->Priority);
    return true;
}

void RtSleep(uint32_t milliseconds) {
    SleepMs(milliseconds);
}
void RtSleepEx(uint32_t milliseconds) {
    SleepMs(milliseconds);
}
