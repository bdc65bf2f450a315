// Tests of system events: signals of the system and events sent by other
// processes, delivered through RtNotifyEvent.

#include <gtest/gtest.h>
#include <signal.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "common/event_signals.h"
#include "common/process_identity.h"
#include "rtkernel/rtadmin.h"
#include "rtkernel/rtkernel.h"
#include "support/test_support.h"

namespace {

// Blocks the event signals before gtest or any test starts a thread.
static const int kInit = (RtStartup(), 0);

constexpr uint32_t kLongWait = 10000;  // a bound that only a fault reaches
constexpr uint32_t kAllEvents = 0x0F;

// Discards events left over by an earlier test in this process.
void Drain() {
    RTEVENT e;
    while (RtNotifyEvent(kAllEvents, 0, &e)) {
    }
}

TEST(RtEvent, SignalsArriveAsTheirEventCodes) {
    Drain();
    struct Case {
        int Signal;
        uint32_t Code;
    };
    const Case cases[] = {{SIGTERM, 12}, {SIGINT, 11}, {SIGPWR, 8}};
    for (const Case& c : cases) {
        ASSERT_EQ(kill(getpid(), c.Signal), 0);
        RTEVENT e{0, 0, 0};
        ASSERT_TRUE(RtNotifyEvent(kAllEvents, kLongWait, &e)) << strsignal(c.Signal);
        EXPECT_EQ(e.Code, c.Code) << strsignal(c.Signal);
        EXPECT_EQ(e.Param1, static_cast<uint32_t>(getpid()));
    }
}

TEST(RtEvent, AnyMaskOfTheFourClassesTakesEveryEvent) {
    Drain();
    for (uint32_t mask : {0x01u, 0x02u, 0x04u, 0x08u, 0x0Fu, 0xFFu}) {
        ASSERT_TRUE(RtSendEvent(getpid(), 40 + mask, nullptr));
        RTEVENT e{};
        ASSERT_TRUE(RtNotifyEvent(mask, kLongWait, &e)) << mask;
        EXPECT_EQ(e.Code, 40 + mask);
    }
}

TEST(RtEvent, BadArgumentsFailAndLeaveTheEventPending) {
    Drain();
    ASSERT_TRUE(RtSendEvent(getpid(), 9, nullptr));
    RTEVENT e{1, 2, 3};
    EXPECT_FALSE(RtNotifyEvent(0, kLongWait, &e));
    EXPECT_FALSE(RtNotifyEvent(0x10, kLongWait, &e)) << "no bit of 0..3";
    EXPECT_FALSE(RtNotifyEvent(kAllEvents, kLongWait, nullptr));
    EXPECT_EQ(e.Code, 1u);
    EXPECT_EQ(e.Param1, 2u);
    EXPECT_EQ(e.Param2, 3u);
    ASSERT_TRUE(RtNotifyEvent(kAllEvents, 0, &e));
    EXPECT_EQ(e.Code, 9u);
}

TEST(RtEvent, TimeoutLeavesTheRecordUntouched) {
    Drain();
    for (uint32_t timeout : {0u, 1u, 30u}) {
        RTEVENT e{77, 88, 99};
        EXPECT_FALSE(RtNotifyEvent(kAllEvents, timeout, &e)) << timeout;
        EXPECT_EQ(e.Code, 77u);
        EXPECT_EQ(e.Param1, 88u);
        EXPECT_EQ(e.Param2, 99u);
    }
}

TEST(RtEvent, EventSentWhileNobodyWaitsIsKept) {
    Drain();
    ASSERT_TRUE(RtSendEvent(getpid(), 230, nullptr));
    ASSERT_EQ(kill(getpid(), SIGTERM), 0);
    std::vector<uint32_t> got;
    RTEVENT e{};
    while (RtNotifyEvent(kAllEvents, 0, &e)) got.push_back(e.Code);
    std::sort(got.begin(), got.end());
    EXPECT_EQ(got, (std::vector<uint32_t>{12, 230}));
}

TEST(RtEvent, EventsFromAnotherProcessArriveInOrder) {
    Drain();
    const std::vector<uint32_t> codes = {8, 255, 230, 9, 0, 12, 0xFFFFFFFEu};
    pid_t parent = getpid();
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        for (uint32_t code : codes) {
            if (!RtSendEvent(parent, code, nullptr)) _exit(1);
        }
        _exit(0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    for (uint32_t code : codes) {
        RTEVENT e{};
        ASSERT_TRUE(RtNotifyEvent(kAllEvents, kLongWait, &e)) << code;
        EXPECT_EQ(e.Code, code);
        EXPECT_EQ(e.Param1, static_cast<uint32_t>(pid));
        EXPECT_EQ(e.Param2, 0u);
    }
}

struct Waiter {
    RTHANDLE Done;
    RTEVENT Event{0, 0, 0};
    bool Result = false;
};

void WaitForever(void* p) {
    auto* w = static_cast<Waiter*>(p);
    w->Result = RtNotifyEvent(kAllEvents, RT_WAIT_FOREVER, &w->Event);
    ReleaseRtSemaphore(w->Done, 1);
}

TEST(RtEvent, ThreadWaitingWithoutLimitReceivesTheEvent) {
    Drain();
    Waiter w;
    w.Done = CreateRtSemaphore(0, 1, 0);
    ASSERT_NE(CreateRtThread(161, WaitForever, 4096, &w), RT_BAD_HANDLE);
    ASSERT_TRUE(RtSendEvent(getpid(), 42, nullptr));
    ASSERT_EQ(WaitForRtSemaphore(w.Done, 1, kLongWait), 0u);
    EXPECT_TRUE(w.Result);
    EXPECT_EQ(w.Event.Code, 42u);
}

TEST(RtEvent, SendingToNoProcessReportsWhy) {
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) _exit(0);
    ASSERT_EQ(waitpid(pid, nullptr, 0), pid);
    std::string error;
    EXPECT_FALSE(RtSendEvent(pid, 12, &error));
    EXPECT_NE(error.find(strerror(ESRCH)), std::string::npos) << error;
    for (pid_t bad : {0, -1}) {
        error.clear();
        EXPECT_FALSE(RtSendEvent(bad, 12, &error));
        EXPECT_FALSE(error.empty());
    }
}

// Whom an event may reach, each check on its own (no catalogue in front of
// it): only the process that started when the caller believes, never pid 1.
TEST(RtEvent, OnlyTheProcessThatStartedThenReceivesIt) {
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        pause();  // the event signals stay blocked, as in the parent
        _exit(0);
    }
    const uint64_t start = ProcessStartTime(child);
    ASSERT_NE(start, 0u);
    // The event signal queued for the child, as the kernel shows it.
    auto pending = [&] {
        std::string status = ovtest::ReadFile("/proc/" + std::to_string(child) + "/status");
        size_t at = status.find("ShdPnd:");
        if (at == std::string::npos) return false;
        unsigned long long mask = std::stoull(status.substr(at + 7), nullptr, 16);
        return ((mask >> (SystemEventSignal() - 1)) & 1) != 0;
    };
    std::string error;
    EXPECT_FALSE(RtSendEvent(child, 230, &error, start + 1)) << "a live pid with another start time";
    EXPECT_NE(error.find("another process"), std::string::npos) << error;
    EXPECT_FALSE(pending());
    error.clear();
    EXPECT_FALSE(RtSendEvent(1, 230, &error, ProcessStartTime(1)));
    EXPECT_NE(error.find("never signalled"), std::string::npos) << error;
    EXPECT_TRUE(RtSendEvent(child, 230, &error, start)) << error;
    EXPECT_TRUE(ovtest::WaitUntil(pending));
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
}

}  // namespace
