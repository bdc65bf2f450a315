// The service's start-up, event handler and shutdown, run inside the test
// program: the handler's table directly, and whole start-ups in a fresh
// process each (threadsafe death tests re-execute the program), where the
// outcome of steps that run in a fixed order can be checked without racing
// the service.
#include "service/service.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "nodespace/nodespace_admin.h"
#include "nodespace/ovhgapi.h"
#include "rtkernel/rtadmin.h"
#include "support/test_support.h"
#include "variables/variables.h"

namespace {

// The event signals must be blocked before any thread starts.
const bool kRtStarted = (RtStartup(), true);

std::string Full(const std::string& name) {
    return "SERVICE.OvRetain." + name;
}

uint32_t Read(const std::string& name) {
    uint32_t v = 0;
    NodeReadByName(Full(name).c_str(), &v, 4);
    return v;
}

void Make(const std::string& name, uint16_t type, uint32_t value) {
    NodeCreate(Full(name).c_str(), type, 4, "", "");
    NodeWriteByName(Full(name).c_str(), &value, 4);
}

TEST(ServiceEvents, RunAndPauseSetTheRunFlagAndOtherCodesDoNothing) {
    ovtest::ScopedSpace space;
    std::string error;
    ASSERT_TRUE(NodeSpaceAttach(space.Name(), true, &error)) << error;
    ResetVariablesForTest();
    PublishStatus();

    struct Case {
        uint32_t Event;
        uint8_t RunBefore, RunAfter;
        const char* Line;  // nullptr: nothing logged
    };
    const Case cases[] = {
        {103, 1, 0, "DBG EM_SERVICE_PAUSE recieved."},
        {103, 0, 0, "DBG EM_SERVICE_PAUSE recieved."},
        {102, 0, 1, "DBG EM_SERVICE_RUN recieved."},
        {102, 1, 1, "DBG EM_SERVICE_RUN recieved."},
        {100, 1, 1, nullptr},
        {100, 0, 0, nullptr},
        {104, 1, 1, nullptr},
        {104, 0, 0, nullptr},
        {0, 1, 1, nullptr},
        {0xFFFFFFFF, 0, 0, nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Event);
        SetRun(c.RunBefore);
        ovtest::StderrCapture capture;
        EXPECT_EQ(OnServiceEvent(0x1234, c.Event), 0);
        capture.Restore();
        EXPECT_EQ(GetRun(), c.RunAfter);
        std::vector<std::string> expected;
        if (c.Line) expected.push_back(c.Line);
        EXPECT_EQ(capture.Lines(), expected);
    }
    ResetVariablesForTest();
    NodeSpaceDetach();
}

// --- whole start-ups, each in a process of its own ---

struct StartCase {
    int Priority;  // -1: no Priority node before the start
    int AutoRun;   // -1: no AutoRun node
    uint32_t RunBefore;
    uint32_t RunAfter;
    int Main, Notify, Trig;
};

void PrintTo(const StartCase& c, std::ostream* out) {
    *out << "Priority " << c.Priority << ", AutoRun " << c.AutoRun << ", Run " << c.RunBefore << " -> " << c.RunAfter;
}

int ThreadPriority(const std::string& name) {
    for (const RtCatalogEntry& e : RtReadCatalog())
        if (e.Pid == getpid() && !e.Process.empty() && e.Name == name && e.Kind == "thread") return e.Priority;
    return -1;
}

bool Registered() {
    auto services = NodeSpaceServices();
    return std::find(services.begin(), services.end(), getpid()) != services.end();
}

// Waits for the Exit semaphore on a thread of its own, so that a wait that
// never ends shows as a missed deadline instead of a hung test.
bool ExitWaitEnds() {
    static std::atomic<bool> ended{false};
    std::thread([] {
        WaitForExit();
        ended = true;
    }).detach();
    return ovtest::WaitUntil([] { return ended.load(); });
}

// A node space and drive directory of the child process's own.
struct ChildPlace {
    ovtest::ScopedSpace Space;
    ovtest::TempDir Drives;
};
ChildPlace* Place = nullptr;

void UseFreshSpace() {
    Place = new ChildPlace;
    setenv("OVRT_DRIVES", Place->Drives.Path().c_str(), 1);
    std::string error;
    if (!NodeSpaceAttach(Place->Space.Name(), true, &error)) std::_Exit(10);
    RtSelectInstance(Place->Space.Name());
}

// Ends the child with code, removing its node space and directory first.
// The service's threads never end, so the process leaves without running
// static destructors.
[[noreturn]] void Finish(int code) {
    delete Place;
    fflush(nullptr);
    std::_Exit(code);
}

#define CHECK_OR_EXIT(cond, code)  \
    do {                           \
        if (!(cond)) Finish(code); \
    } while (0)

void StartUpAndShutDown(const StartCase& c) {
    UseFreshSpace();
    if (c.Priority >= 0) Make("Priority", 7, static_cast<uint32_t>(c.Priority));
    if (c.AutoRun >= 0) Make("AutoRun", 1, static_cast<uint32_t>(c.AutoRun));
    Make("Run", 1, c.RunBefore);

    ServiceInit();
    // Everything up to the AutoRun step has happened once ServiceInit returns.
    CHECK_OR_EXIT(Registered(), 20);
    CHECK_OR_EXIT(Read("Run") == c.RunAfter, 21);
    CHECK_OR_EXIT(RtFindProcess("OvRetain") == getpid(), 22);
    CHECK_OR_EXIT(ThreadPriority("Main") == c.Main, 23);
    // Notify and Trig catalogue themselves once running.
    CHECK_OR_EXIT(ovtest::WaitUntil([&] { return ThreadPriority("Notify") == c.Notify; }), 24);
    CHECK_OR_EXIT(ovtest::WaitUntil([&] { return ThreadPriority("Trig") == c.Trig; }), 25);
    CHECK_OR_EXIT(Read("Interval") == 100 && Read("Save") == 0 && Read("LoadCount") == 0, 26);

    SignalExit("test");
    CHECK_OR_EXIT(ExitWaitEnds(), 27);
    ServiceExit();
    CHECK_OR_EXIT(RtFindProcess("OvRetain") == 0, 28);
    CHECK_OR_EXIT(!Registered(), 29);
    Finish(0);
}

class ServiceStartUp : public ::testing::TestWithParam<StartCase> {};

TEST_P(ServiceStartUp, RunsEveryStepInOrderAndShutsDown) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(StartUpAndShutDown(GetParam()), ::testing::ExitedWithCode(0), "");
}

// AutoRun: absent and 2 leave Run as it was, only 1 forces it on.
// Priorities: main +2, Notify +1, Trig itself, each wrapping at 256.
INSTANTIATE_TEST_SUITE_P(Service, ServiceStartUp,
                         ::testing::Values(StartCase{-1, -1, 0, 0, 162, 161, 160},
                                           StartCase{-1, 1, 0, 1, 162, 161, 160}, StartCase{-1, 2, 0, 0, 162, 161, 160},
                                           StartCase{-1, 0, 1, 1, 162, 161, 160}, StartCase{254, -1, 1, 1, 0, 255, 254},
                                           StartCase{255, 1, 0, 1, 1, 0, 255}));

// A stop delivered before start-up has created the Exit semaphore: logged at
// once, and remembered, so the wait after start-up ends straight away.
void StopBeforeStartUp() {
    UseFreshSpace();
    ovtest::StderrCapture capture;
    CHECK_OR_EXIT(OnServiceEvent(0, EM_SERVICE_STOP) == 0, 30);
    ServiceInit();
    CHECK_OR_EXIT(ExitWaitEnds(), 31);
    ServiceExit();
    capture.Restore();
    auto texts = capture.Lines();
    CHECK_OR_EXIT(std::count(texts.begin(), texts.end(), "DBG EM_SERVICE_STOP recieved.") == 1, 32);
    Finish(0);
}

TEST(ServiceStop, AStopBeforeTheExitSemaphoreExistsEndsTheServiceAfterStartUp) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(StopBeforeStartUp(), ::testing::ExitedWithCode(0), "");
}

// A stop after start-up writes Run 0 and releases the wait; a second stop
// (a release past the maximum) changes nothing more.
void StopAfterStartUp() {
    UseFreshSpace();
    ServiceInit();
    CHECK_OR_EXIT(Read("Run") == 1, 40);
    OnServiceEvent(0, EM_SERVICE_STOP);
    OnServiceEvent(0, EM_SERVICE_STOP);
    CHECK_OR_EXIT(Read("Run") == 0, 41);
    CHECK_OR_EXIT(ExitWaitEnds(), 42);
    ServiceExit();
    Finish(0);
}

TEST(ServiceStop, AStopWritesRunZeroAndEndsTheWait) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(StopAfterStartUp(), ::testing::ExitedWithCode(0), "");
}

}  // namespace
