// Tests of the kernel layer's objects: semaphores, threads, priorities and
// the catalogues, across processes and runtime instances.

#include "rtkernel/rtkernel.h"

#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <vector>

#include "rtkernel/rtadmin.h"
#include "support/test_support.h"

namespace {

static const int kInit = (RtStartup(), 0);

constexpr uint32_t kLongWait = 10000;  // a bound that only a fault reaches

// ---------------------------------------------------------------- semaphores

TEST(RtSemaphore, CreationChecksItsCounts) {
    struct Case {
        uint32_t Initial, Maximum;
        bool Valid;
    };
    const Case cases[] = {{0, 1, true}, {1, 1, true}, {5, 9, true}, {2, 1, false}, {0, 0, false}};
    for (const Case& c : cases) {
        RTHANDLE h = CreateRtSemaphore(c.Initial, c.Maximum, 0);
        EXPECT_EQ(h != RT_BAD_HANDLE, c.Valid) << c.Initial << "/" << c.Maximum;
        if (h != RT_BAD_HANDLE) {
            EXPECT_GE(h, RT_FIRST_OBJECT_HANDLE);
        }
    }
}

TEST(RtSemaphore, CountsUnitsUpToItsMaximum) {
    RTHANDLE s = CreateRtSemaphore(2, 3, 0);
    ASSERT_NE(s, RT_BAD_HANDLE);
    EXPECT_EQ(WaitForRtSemaphore(s, 1, 0), 1u);
    EXPECT_EQ(WaitForRtSemaphore(s, 1, 0), 0u);
    EXPECT_EQ(WaitForRtSemaphore(s, 1, 0), RT_WAIT_FAILED);

    EXPECT_TRUE(ReleaseRtSemaphore(s, 2));
    EXPECT_FALSE(ReleaseRtSemaphore(s, 2)) << "3 + 2 units is past the maximum of 3";
    EXPECT_TRUE(ReleaseRtSemaphore(s, 1));
    EXPECT_FALSE(ReleaseRtSemaphore(s, 1));
    // The failed releases changed nothing: exactly 3 units are there.
    EXPECT_EQ(WaitForRtSemaphore(s, 3, 0), 0u);
    EXPECT_EQ(WaitForRtSemaphore(s, 1, 0), RT_WAIT_FAILED);
}

TEST(RtSemaphore, ExitSemaphoreTakesOneReleaseOnly) {
    // Two releases in a row, as a shutdown event followed by a stop event do.
    RTHANDLE s = CreateRtSemaphore(0, 1, 0);
    EXPECT_TRUE(ReleaseRtSemaphore(s, 1));
    EXPECT_FALSE(ReleaseRtSemaphore(s, 1));
    EXPECT_EQ(WaitForRtSemaphore(s, 1, RT_WAIT_FOREVER), 0u);
}

TEST(RtSemaphore, ReleaseNearTheTopOfTheRangeDoesNotWrap) {
    RTHANDLE s = CreateRtSemaphore(0xFFFFFFF0u, 0xFFFFFFFEu, 0);
    ASSERT_NE(s, RT_BAD_HANDLE);
    EXPECT_FALSE(ReleaseRtSemaphore(s, 0xFFFFFFF0u));
    EXPECT_TRUE(ReleaseRtSemaphore(s, 0x0E));
    EXPECT_FALSE(ReleaseRtSemaphore(s, 1));
    EXPECT_EQ(WaitForRtSemaphore(s, 0xFFFFFFFEu, 0), 0u);
}

TEST(RtSemaphore, BadArgumentsFail) {
    RTHANDLE s = CreateRtSemaphore(1, 2, 0);
    EXPECT_EQ(WaitForRtSemaphore(s, 0, 0), RT_WAIT_FAILED);
    EXPECT_EQ(WaitForRtSemaphore(s, 3, 0), RT_WAIT_FAILED) << "more units than the maximum";
    EXPECT_FALSE(ReleaseRtSemaphore(s, 0));
    for (RTHANDLE bad : {RTHANDLE(0), RT_BAD_HANDLE, RT_ROOT_PROCESS_HANDLE, RT_THIS_PROCESS_HANDLE,
                         GetRtThreadHandles(RT_THIS_THREAD)}) {
        EXPECT_EQ(WaitForRtSemaphore(bad, 1, 0), RT_WAIT_FAILED) << bad;
        EXPECT_FALSE(ReleaseRtSemaphore(bad, 1)) << bad;
    }
    // Still intact.
    EXPECT_EQ(WaitForRtSemaphore(s, 1, 0), 0u);
}

TEST(RtSemaphore, FiniteTimeoutEndsTheWait) {
    RTHANDLE s = CreateRtSemaphore(0, 1, 0);
    EXPECT_EQ(WaitForRtSemaphore(s, 1, 30), RT_WAIT_FAILED);
}

struct PingPong {
    RTHANDLE Request, Reply;
    std::atomic<int> Rounds{0};
};

void Ponger(void* p) {
    auto* pp = static_cast<PingPong*>(p);
    for (int i = 0; i < 3; ++i) {
        if (WaitForRtSemaphore(pp->Request, 1, RT_WAIT_FOREVER) == RT_WAIT_FAILED) return;
        pp->Rounds++;
        ReleaseRtSemaphore(pp->Reply, 1);
    }
}

TEST(RtSemaphore, ReleaseWakesAWaiterInAnotherThread) {
    PingPong pp;
    pp.Request = CreateRtSemaphore(0, 1, 0);
    pp.Reply = CreateRtSemaphore(0, 1, 0);
    ASSERT_NE(CreateRtThread(100, Ponger, 4096, &pp), RT_BAD_HANDLE);
    for (int i = 1; i <= 3; ++i) {
        EXPECT_TRUE(ReleaseRtSemaphore(pp.Request, 1));
        ASSERT_EQ(WaitForRtSemaphore(pp.Reply, 1, kLongWait), 0u) << "round " << i;
        EXPECT_EQ(pp.Rounds.load(), i);
    }
}

// ------------------------------------------------------------------- threads

struct ThreadProbe {
    RTHANDLE Done;
    void* Parameter = nullptr;
    RTHANDLE Self = 0;
    size_t StackSize = 0;
    bool CataloguedSelf = false;
    RTHANDLE Leave = 0;  // when set, the thread waits on it before it ends
};

void Probe(void* p) {
    auto* probe = static_cast<ThreadProbe*>(p);
    probe->Parameter = p;
    probe->Self = GetRtThreadHandles(RT_THIS_THREAD);
    pthread_attr_t attr;
    if (pthread_getattr_np(pthread_self(), &attr) == 0) {
        pthread_attr_getstacksize(&attr, &probe->StackSize);
        pthread_attr_destroy(&attr);
    }
    // Uses far more stack than the 4096 bytes asked for.
    volatile char big[64 * 1024];
    for (size_t i = 0; i < sizeof(big); i += 512) big[i] = static_cast<char>(i);
    probe->CataloguedSelf = CatalogRtHandle(0, probe->Self, "Probe");
    ReleaseRtSemaphore(probe->Done, 1);
    if (probe->Leave) WaitForRtSemaphore(probe->Leave, 1, RT_WAIT_FOREVER);
}

const RtCatalogEntry* FindEntry(const std::vector<RtCatalogEntry>& all, pid_t pid, const std::string& process,
                                const std::string& name) {
    for (const auto& e : all) {
        if (e.Pid == pid && e.Process == process && e.Name == name) return &e;
    }
    return nullptr;
}

bool HasOwnEntry(const std::string& name) {
    auto all = RtReadCatalog();
    for (const auto& e : all) {
        if (e.Pid == getpid() && !e.Process.empty() && e.Name == name) return true;
    }
    return false;
}

TEST(RtThread, RunsItsFunctionWithTheParameterAndItsOwnHandle) {
    ovtest::ScopedSpace space;
    RtSelectInstance(space.Name());
    ThreadProbe probe;
    probe.Done = CreateRtSemaphore(0, 1, 0);
    RTHANDLE h = CreateRtThread(50, Probe, 4096, &probe);
    ASSERT_NE(h, RT_BAD_HANDLE);
    ASSERT_EQ(WaitForRtSemaphore(probe.Done, 1, kLongWait), 0u);
    EXPECT_EQ(probe.Parameter, &probe);
    EXPECT_EQ(probe.Self, h);
    EXPECT_NE(h, GetRtThreadHandles(RT_THIS_THREAD));
    EXPECT_GE(probe.StackSize, 256u * 1024u);
    EXPECT_TRUE(probe.CataloguedSelf);
    // Once the function returns, the thread's catalogue entry goes with it.
    EXPECT_TRUE(ovtest::WaitUntil([] { return !HasOwnEntry("Probe"); }));
    EXPECT_FALSE(SetRtThreadPriority(h, 10)) << "the handle of an ended thread";
}

TEST(RtThread, HandlesOfTheCallingThreadAndTheProcesses) {
    RTHANDLE self = GetRtThreadHandles(RT_THIS_THREAD);
    EXPECT_NE(self, RT_BAD_HANDLE);
    EXPECT_EQ(GetRtThreadHandles(RT_THIS_THREAD), self);
    EXPECT_EQ(GetRtThreadHandles(RT_THIS_PROCESS), RT_THIS_PROCESS_HANDLE);
    EXPECT_EQ(GetRtThreadHandles(RT_ROOT_PROCESS), RT_ROOT_PROCESS_HANDLE);
    EXPECT_NE(RT_THIS_PROCESS_HANDLE, RT_ROOT_PROCESS_HANDLE);
    EXPECT_EQ(GetRtThreadHandles(2), RT_BAD_HANDLE);
    EXPECT_EQ(GetRtThreadHandles(77), RT_BAD_HANDLE);
    EXPECT_EQ(CreateRtThread(1, nullptr, 4096, nullptr), RT_BAD_HANDLE);
}

// ---------------------------------------------------------------- priorities

TEST(RtPriority, RecordedPrioritiesShowInTheCatalogue) {
    ovtest::ScopedSpace space;
    RtSelectInstance(space.Name());
    ThreadProbe probe;
    probe.Done = CreateRtSemaphore(0, 1, 0);
    probe.Leave = CreateRtSemaphore(0, 1, 0);
    RTHANDLE h = CreateRtThread(40, Probe, 4096, &probe);
    ASSERT_EQ(WaitForRtSemaphore(probe.Done, 1, kLongWait), 0u);
    ASSERT_TRUE(probe.CataloguedSelf);

    auto priorityOf = [](const std::string& name) {
        auto all = RtReadCatalog();
        const RtCatalogEntry* e = FindEntry(all, getpid(), std::to_string(getpid()), name);
        return e ? e->Priority : -100;
    };
    EXPECT_EQ(priorityOf("Probe"), 40);
    EXPECT_TRUE(SetRtThreadPriority(h, 200));
    EXPECT_EQ(priorityOf("Probe"), 200);

    ASSERT_TRUE(CatalogRtHandle(0, GetRtThreadHandles(RT_THIS_THREAD), "Main"));
    EXPECT_TRUE(SetRtThreadPriority(0, 7));
    EXPECT_EQ(priorityOf("Main"), 7);
    EXPECT_TRUE(SetRtThreadPriority(GetRtThreadHandles(RT_THIS_THREAD), 255));
    EXPECT_EQ(priorityOf("Main"), 255);

    auto all = RtReadCatalog();
    const RtCatalogEntry* e = FindEntry(all, getpid(), std::to_string(getpid()), "Probe");
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(e->Kind, "thread");
    EXPECT_GT(e->Tid, 0);
    EXPECT_NE(e->Tid, getpid()) << "the probe is not the main thread";

    ReleaseRtSemaphore(probe.Leave, 1);
    EXPECT_TRUE(UncatalogRtHandle(0, "Main"));
}

TEST(RtPriority, ProcessCeilingLimitsLaterPriorities) {
    ovtest::ScopedSpace space;
    RtSelectInstance(space.Name());
    ASSERT_TRUE(CatalogRtHandle(0, GetRtThreadHandles(RT_THIS_THREAD), "Main"));
    ASSERT_TRUE(SetRtProcessMaxPriority(0, 50));
    EXPECT_TRUE(SetRtThreadPriority(0, 10));
    auto all = RtReadCatalog();
    const RtCatalogEntry* e = FindEntry(all, getpid(), std::to_string(getpid()), "Main");
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(e->Priority, 50);
    EXPECT_TRUE(SetRtProcessMaxPriority(RT_THIS_PROCESS_HANDLE, 0));
    EXPECT_FALSE(SetRtProcessMaxPriority(RT_ROOT_PROCESS_HANDLE, 0));
    EXPECT_FALSE(SetRtProcessMaxPriority(RT_BAD_HANDLE, 0));
    EXPECT_TRUE(UncatalogRtHandle(0, "Main"));
}

TEST(RtPriority, OnlyThreadsOfThisProcessTakePriorities) {
    RTHANDLE sem = CreateRtSemaphore(0, 1, 0);
    for (RTHANDLE bad : {sem, RT_BAD_HANDLE, RT_ROOT_PROCESS_HANDLE, RT_THIS_PROCESS_HANDLE}) {
        EXPECT_FALSE(SetRtThreadPriority(bad, 10)) << bad;
    }
}

TEST(RtPriority, LinuxPrioritiesKeepTheOrderOfUrgency) {
    EXPECT_EQ(RtLinuxPriority(0), 99);
    EXPECT_EQ(RtLinuxPriority(255), 1);
    for (int p = 1; p <= 255; ++p) {
        int more = RtLinuxPriority(static_cast<uint8_t>(p - 1)), less = RtLinuxPriority(static_cast<uint8_t>(p));
        EXPECT_GE(more, less) << p;
        EXPECT_GE(less, 1);
        EXPECT_LE(more, 99);
    }
    // 256 levels fold onto 99, so neighbours may share one, but never more
    // than three of them.
    for (int p = 0; p + 3 <= 255; ++p) {
        EXPECT_GT(RtLinuxPriority(static_cast<uint8_t>(p)), RtLinuxPriority(static_cast<uint8_t>(p + 3))) << p;
    }
}

// ---------------------------------------------------------------- catalogues

TEST(RtCatalog, NamesAreUniquePerCatalogue) {
    ovtest::ScopedSpace space;
    RtSelectInstance(space.Name());
    RTHANDLE exit = CreateRtSemaphore(0, 1, 0);
    RTHANDLE other = CreateRtSemaphore(0, 1, 0);
    EXPECT_TRUE(CatalogRtHandle(0, exit, "Exit"));
    EXPECT_FALSE(CatalogRtHandle(0, other, "Exit")) << "taken in this process's catalogue";
    EXPECT_FALSE(CatalogRtHandle(RT_THIS_PROCESS_HANDLE, exit, "Exit"));
    EXPECT_TRUE(CatalogRtHandle(RT_ROOT_PROCESS_HANDLE, other, "Exit")) << "the root catalogue is another one";
    EXPECT_FALSE(CatalogRtHandle(RT_ROOT_PROCESS_HANDLE, exit, "Exit"));

    auto all = RtReadCatalog();
    const RtCatalogEntry* own = FindEntry(all, getpid(), std::to_string(getpid()), "Exit");
    ASSERT_NE(own, nullptr);
    EXPECT_EQ(own->Kind, "semaphore");
    EXPECT_EQ(own->Priority, -1);

    EXPECT_TRUE(UncatalogRtHandle(0, "Exit"));
    EXPECT_FALSE(UncatalogRtHandle(0, "Exit"));
    EXPECT_TRUE(CatalogRtHandle(0, other, "Exit")) << "free again";
    EXPECT_TRUE(UncatalogRtHandle(RT_ROOT_PROCESS_HANDLE, "Exit"));
    EXPECT_TRUE(UncatalogRtHandle(0, "Exit"));
    EXPECT_TRUE(RtReadCatalog().empty());
}

TEST(RtCatalog, RejectsBadNamesAndHandles) {
    ovtest::ScopedSpace space;
    RtSelectInstance(space.Name());
    RTHANDLE sem = CreateRtSemaphore(0, 1, 0);
    const std::string longest(31, 'n'), tooLong(32, 'n');
    EXPECT_TRUE(CatalogRtHandle(0, sem, longest.c_str()));
    EXPECT_FALSE(CatalogRtHandle(0, sem, tooLong.c_str()));
    EXPECT_FALSE(CatalogRtHandle(0, sem, ""));
    EXPECT_FALSE(CatalogRtHandle(0, sem, nullptr));
    EXPECT_FALSE(CatalogRtHandle(0, RT_BAD_HANDLE, "Bad"));
    EXPECT_FALSE(CatalogRtHandle(0, RT_ROOT_PROCESS_HANDLE, "Root"));
    EXPECT_FALSE(CatalogRtHandle(sem, sem, "NotAProcess"));
    EXPECT_FALSE(UncatalogRtHandle(RT_BAD_HANDLE, longest.c_str()));
    EXPECT_FALSE(UncatalogRtHandle(0, nullptr));
    auto all = RtReadCatalog();
    ASSERT_EQ(all.size(), 1u);
    EXPECT_EQ(all[0].Name, longest);
}

// Writes one byte to fd and waits until the other end of `hold` closes.
[[noreturn]] void ChildReport(int fd, char result, int hold) {
    (void)!write(fd, &result, 1);
    char c;
    while (read(hold, &c, 1) > 0) {
    }
    _exit(0);
}

TEST(RtCatalog, OtherProcessesSeeTheRootCatalogueUntilTheOwnerEnds) {
    ovtest::ScopedSpace space;
    RtSelectInstance(space.Name());
    ASSERT_TRUE(CatalogRtHandle(RT_ROOT_PROCESS_HANDLE, RT_THIS_PROCESS_HANDLE, "Parent"));
    ASSERT_TRUE(CatalogRtHandle(0, GetRtThreadHandles(RT_THIS_THREAD), "Main"));

    int ready[2], hold[2];
    ASSERT_EQ(pipe(ready), 0);
    ASSERT_EQ(pipe(hold), 0);
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        close(ready[0]);
        close(hold[1]);
        char result = 'y';
        if (CatalogRtHandle(RT_ROOT_PROCESS_HANDLE, RT_THIS_PROCESS_HANDLE, "Parent")) result = 'a';
        if (UncatalogRtHandle(RT_ROOT_PROCESS_HANDLE, "ChildSvc")) result = 'b';
        if (!CatalogRtHandle(GetRtThreadHandles(RT_ROOT_PROCESS), GetRtThreadHandles(RT_THIS_PROCESS), "ChildSvc"))
            result = 'c';
        if (!SetRtThreadPriority(0, 77)) result = 'd';
        if (!CatalogRtHandle(0, GetRtThreadHandles(RT_THIS_THREAD), "Main")) result = 'e';
        if (!CatalogRtHandle(0, CreateRtSemaphore(0, 1, 0), "Exit")) result = 'f';
        if (!SetRtThreadPriority(0, 78)) result = 'g';
        ChildReport(ready[1], result, hold[0]);
    }
    close(ready[1]);
    close(hold[0]);
    char result = 0;
    ASSERT_EQ(read(ready[0], &result, 1), 1);
    EXPECT_EQ(result, 'y');

    EXPECT_EQ(RtFindProcess("ChildSvc"), pid);
    EXPECT_EQ(RtFindProcess("Parent"), getpid());
    EXPECT_EQ(RtFindProcess("Main"), 0) << "only the root catalogue names processes";
    auto all = RtReadCatalog();
    const RtCatalogEntry* svc = FindEntry(all, pid, "", "ChildSvc");
    ASSERT_NE(svc, nullptr);
    EXPECT_EQ(svc->Kind, "process");
    const RtCatalogEntry* main = FindEntry(all, pid, "ChildSvc", "Main");
    ASSERT_NE(main, nullptr);
    EXPECT_EQ(main->Kind, "thread");
    EXPECT_EQ(main->Priority, 78);
    EXPECT_EQ(main->Tid, pid) << "the child's main thread";
    const RtCatalogEntry* exit = FindEntry(all, pid, "ChildSvc", "Exit");
    ASSERT_NE(exit, nullptr);
    EXPECT_EQ(exit->Kind, "semaphore");
    ASSERT_NE(FindEntry(all, getpid(), "Parent", "Main"), nullptr) << "each process has its own Main";

    // The parent cannot take the child's root name while the child lives.
    EXPECT_FALSE(CatalogRtHandle(RT_ROOT_PROCESS_HANDLE, RT_THIS_PROCESS_HANDLE, "ChildSvc"));

    kill(pid, SIGKILL);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    close(ready[0]);
    close(hold[1]);

    EXPECT_EQ(RtFindProcess("ChildSvc"), 0);
    for (const auto& e : RtReadCatalog()) EXPECT_NE(e.Pid, pid) << e.Name;
    EXPECT_TRUE(CatalogRtHandle(RT_ROOT_PROCESS_HANDLE, RT_THIS_PROCESS_HANDLE, "ChildSvc"))
        << "the dead child's name is free";
    EXPECT_TRUE(UncatalogRtHandle(RT_ROOT_PROCESS_HANDLE, "ChildSvc"));
    EXPECT_TRUE(UncatalogRtHandle(RT_ROOT_PROCESS_HANDLE, "Parent"));
    EXPECT_TRUE(UncatalogRtHandle(0, "Main"));
}

TEST(RtCatalog, InstancesAreSeparatedByName) {
    ovtest::ScopedSpace a, b;
    RtSelectInstance(a.Name());
    EXPECT_EQ(RtInstanceName(), a.Name());
    EXPECT_EQ(RtFindProcess("Svc"), 0);
    EXPECT_FALSE(ovtest::FileExists("/dev/shm/ovrt-" + a.Name())) << "reading creates nothing";
    ASSERT_TRUE(CatalogRtHandle(RT_ROOT_PROCESS_HANDLE, RT_THIS_PROCESS_HANDLE, "Svc"));
    EXPECT_TRUE(ovtest::FileExists("/dev/shm/ovrt-" + a.Name()));

    RtSelectInstance(b.Name());
    EXPECT_EQ(RtInstanceName(), b.Name());
    EXPECT_EQ(RtFindProcess("Svc"), 0);
    EXPECT_TRUE(RtReadCatalog().empty());
    EXPECT_TRUE(CatalogRtHandle(RT_ROOT_PROCESS_HANDLE, RT_THIS_PROCESS_HANDLE, "Svc"));

    RtSelectInstance(a.Name());
    EXPECT_EQ(RtFindProcess("Svc"), getpid());
    EXPECT_TRUE(RtDestroyInstance(a.Name()));
    EXPECT_FALSE(ovtest::FileExists("/dev/shm/ovrt-" + a.Name()));
    EXPECT_EQ(RtFindProcess("Svc"), 0);
    EXPECT_FALSE(RtDestroyInstance(a.Name()));

    RtSelectInstance(b.Name());
    EXPECT_EQ(RtFindProcess("Svc"), getpid());

    RtSelectInstance("bad/name");
    EXPECT_FALSE(CatalogRtHandle(RT_ROOT_PROCESS_HANDLE, RT_THIS_PROCESS_HANDLE, "Svc"));
    EXPECT_TRUE(RtReadCatalog().empty());
}

}  // namespace
