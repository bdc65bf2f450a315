// ovnode's commands for processes of the runtime: catalog, service and
// notify, through the real executable. This test process stands in for a
// service: it catalogues itself, registers a handler and waits for events.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "nodespace/nodespace_admin.h"
#include "rtkernel/rtadmin.h"
#include "rtkernel/rtkernel.h"
#include "status/status_segment.h"
#include "support/test_support.h"

namespace {

using ovtest::Ovnode;
using ovtest::RunResult;
using ovtest::ScopedSpace;

// Event signals blocked before gtest starts any thread.
const int kInit = (RtStartup(), 0);

std::mutex g_lock;
std::vector<uint32_t> g_events;

int32_t RecordEvent(uint32_t, uint32_t event) {
    std::lock_guard<std::mutex> guard(g_lock);
    g_events.push_back(event);
    return 0;
}

std::vector<uint32_t> Events() {
    std::lock_guard<std::mutex> guard(g_lock);
    return g_events;
}

// Attaches this process to a fresh node space and kernel instance.
class OvnodeControlTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string error;
        ASSERT_TRUE(NodeSpaceAttach(space_.Name(), true, &error)) << error;
        RtSelectInstance(space_.Name());
        std::lock_guard<std::mutex> guard(g_lock);
        g_events.clear();
    }
    void TearDown() override {
        UnregisterService();
        UncatalogRtHandle(RT_ROOT_PROCESS_HANDLE, "OvRetain");
        UncatalogRtHandle(RT_ROOT_PROCESS_HANDLE, "Other");
        UncatalogRtHandle(0, "Main");
        UncatalogRtHandle(0, "Exit");
        NodeSpaceDetach();
        RtDestroyInstance(space_.Name());
    }
    const std::string& Space() const { return space_.Name(); }

private:
    ScopedSpace space_;
};

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    size_t start = 0;
    for (size_t nl; (nl = text.find('\n', start)) != std::string::npos; start = nl + 1)
        lines.push_back(text.substr(start, nl - start));
    return lines;
}

std::vector<std::string> Words(const std::string& line) {
    std::vector<std::string> words;
    size_t i = 0;
    while (i < line.size()) {
        while (i < line.size() && line[i] == ' ') ++i;
        size_t j = line.find(' ', i);
        if (j == std::string::npos) j = line.size();
        if (j > i) words.push_back(line.substr(i, j - i));
        i = j;
    }
    return words;
}

TEST_F(OvnodeControlTest, CatalogOfAnEmptyInstanceIsTheHeaderAlone) {
    RunResult r = Ovnode(Space(), {"catalog"});
    ASSERT_EQ(r.Status, 0) << r.Err;
    EXPECT_EQ(r.Out, "NAME  KIND  PID  TID  PRIORITY\n");
}

TEST_F(OvnodeControlTest, CatalogShowsProcessesWithTheirThreadsAndSemaphores) {
    ASSERT_TRUE(CatalogRtHandle(RT_ROOT_PROCESS_HANDLE, GetRtThreadHandles(RT_THIS_PROCESS), "OvRetain"));
    ASSERT_TRUE(CatalogRtHandle(0, GetRtThreadHandles(RT_THIS_THREAD), "Main"));
    ASSERT_TRUE(SetRtThreadPriority(0, 162));
    RTHANDLE exit = CreateRtSemaphore(0, 1, 0);
    ASSERT_NE(exit, RT_BAD_HANDLE);
    ASSERT_TRUE(CatalogRtHandle(0, exit, "Exit"));

    RunResult r = Ovnode(Space(), {"catalog"});
    ASSERT_EQ(r.Status, 0) << r.Err;
    std::vector<std::string> lines = Lines(r.Out);
    ASSERT_EQ(lines.size(), 4u) << r.Out;
    EXPECT_EQ(Words(lines[0]), (std::vector<std::string>{"NAME", "KIND", "PID", "TID", "PRIORITY"}));
    const std::string pid = std::to_string(getpid());
    EXPECT_EQ(Words(lines[1]), (std::vector<std::string>{"OvRetain", "process", pid}));
    // The process's own entries follow it, indented, in the order catalogued.
    std::vector<std::string> main = Words(lines[2]);
    ASSERT_EQ(main.size(), 5u) << lines[2];
    EXPECT_EQ(lines[2].rfind("  Main", 0), 0u) << lines[2];
    EXPECT_EQ(main[1], "thread");
    EXPECT_EQ(main[2], pid);
    EXPECT_EQ(main[3], std::to_string(gettid()));
    EXPECT_EQ(main[4], "162");
    EXPECT_EQ(Words(lines[3]), (std::vector<std::string>{"Exit", "semaphore", pid}));
    // Columns line up: every kind starts where the header's KIND does.
    const size_t kind = lines[0].find("KIND");
    for (size_t i = 1; i < lines.size(); ++i) EXPECT_EQ(lines[i].find_first_of("pts", kind), kind) << lines[i];
}

TEST_F(OvnodeControlTest, ServiceEventsReachTheCataloguedProcess) {
    ServiceRecord record{};
    record.Magic = kServiceRecordMagic;
    record.Handler = RecordEvent;
    ASSERT_EQ(RegisterService(&record), 0);

    // No catalogue entry yet: the only registered service takes the event.
    RunResult r = Ovnode(Space(), {"service", "pause"});
    ASSERT_EQ(r.Status, 0) << r.Err;
    ASSERT_TRUE(ovtest::WaitUntil([] { return Events().size() == 1; }));

    ASSERT_TRUE(CatalogRtHandle(RT_ROOT_PROCESS_HANDLE, GetRtThreadHandles(RT_THIS_PROCESS), "OvRetain"));
    ASSERT_TRUE(CatalogRtHandle(RT_ROOT_PROCESS_HANDLE, GetRtThreadHandles(RT_THIS_PROCESS), "Other"));
    ASSERT_EQ(Ovnode(Space(), {"service", "run"}).Status, 0);
    ASSERT_EQ(Ovnode(Space(), {"service", "--to", "Other", "stop"}).Status, 0);
    ASSERT_TRUE(ovtest::WaitUntil([] { return Events().size() == 3; }));
    EXPECT_EQ(Events(), (std::vector<uint32_t>{103, 102, 101}));

    // Without a registration there is nobody to tell.
    ASSERT_EQ(UnregisterService(), 0);
    r = Ovnode(Space(), {"service", "run"});
    EXPECT_EQ(r.Status, 1);
    EXPECT_FALSE(r.Err.empty());
    UncatalogRtHandle(RT_ROOT_PROCESS_HANDLE, "OvRetain");
    r = Ovnode(Space(), {"service", "run"});
    EXPECT_EQ(r.Status, 1);
    EXPECT_NE(r.Err.find("no service is registered"), std::string::npos) << r.Err;
    EXPECT_EQ(Events().size(), 3u);
}

TEST_F(OvnodeControlTest, NotifyDeliversTheCodeToTheNamedProcess) {
    RTEVENT e{};
    while (RtNotifyEvent(0x0F, 0, &e)) {
    }
    RunResult r = Ovnode(Space(), {"notify", "230"});
    EXPECT_EQ(r.Status, 1);
    EXPECT_NE(r.Err.find("no process is catalogued as OvRetain"), std::string::npos) << r.Err;

    ASSERT_TRUE(CatalogRtHandle(RT_ROOT_PROCESS_HANDLE, GetRtThreadHandles(RT_THIS_PROCESS), "Other"));
    r = Ovnode(Space(), {"notify", "0xE6", "--to", "Other"});
    ASSERT_EQ(r.Status, 0) << r.Err;
    ASSERT_TRUE(RtNotifyEvent(0x0F, 10000, &e));
    EXPECT_EQ(e.Code, 230u);
    EXPECT_FALSE(RtNotifyEvent(0x0F, 0, &e)) << "one event per notify";

    r = Ovnode(Space(), {"notify", "4294967296", "--to", "Other"});
    EXPECT_EQ(r.Status, 2);
}

}  // namespace

namespace {

// A status record is read from a segment any local user could have written:
// ovnode judges it and never trusts a byte of it.
TEST_F(OvnodeControlTest, StatusTakesNoByteOfTheRecordOnTrust) {
    const std::string path = "/dev/shm/ovstatus-" + Space();
    ovtest::WriteFile(path, "short");
    RunResult r = Ovnode(Space(), {"status"});
    EXPECT_EQ(r.Status, 1);
    EXPECT_NE(r.Out.find("not running (the status record has the wrong size)"), std::string::npos) << r.Out;
    EXPECT_NE(Ovnode(Space(), {"metrics"}).Out.find("\novretain_up 0\n"), std::string::npos);

    ServiceStatus record{};
    ovtest::WriteFile(path, std::string(reinterpret_cast<const char*>(&record), sizeof record));
    r = Ovnode(Space(), {"status"});
    EXPECT_NE(r.Out.find("not of this version"), std::string::npos) << r.Out;

    // A well-formed header around texts without their zero, control bytes and
    // values out of range; the pid is this test's own, so it counts as running.
    record.Magic = kStatusMagic;
    record.Version = kStatusVersion;
    record.KindCount = kStatusKindSlots;
    record.KindSize = sizeof(StatusKindRecord);
    record.State = STATUS_STATE_RUNNING;
    record.Pid = getpid();
    std::memset(record.RetainPath, '\n', sizeof record.RetainPath);
    for (StatusKindRecord& k : record.Kinds) {
        std::memset(k.LastError, 0xFF, sizeof k.LastError);
        k.LastOutcome = 7;
    }
    record.Kinds[STATUS_TRIGGER_SAVE].LastOutcome = STATUS_OUTCOME_FAILED;
    record.Kinds[STATUS_TRIGGER_SAVE].LastError[0] = '"';
    ovtest::WriteFile(path, std::string(reinterpret_cast<const char*>(&record), sizeof record));
    r = Ovnode(Space(), {"status"});
    EXPECT_EQ(r.Status, 1);  // the last save failed
    EXPECT_NE(r.Out.find("running, pid " + std::to_string(getpid())), std::string::npos) << r.Out;
    EXPECT_NE(r.Out.find("stop_save     never"), std::string::npos) << "outcome 7 is none\n" << r.Out;
    EXPECT_EQ(Lines(r.Out).size(), 9u) << "control bytes break no line\n" << r.Out;
    r = Ovnode(Space(), {"status", "--json"});
    EXPECT_TRUE(ovtest::IsJson(r.Out)) << r.Out;
    r = Ovnode(Space(), {"metrics"});
    EXPECT_EQ(r.Status, 0);
    EXPECT_NE(r.Out.find("ovretain_last_success{kind=\"trigger_save\",error=\"\\\""), std::string::npos) << r.Out;
    EXPECT_EQ(r.Out.find("stop_save\"} "), std::string::npos) << "a kind that never ran has no last values\n" << r.Out;
}

}  // namespace
