// ovnode's commands for processes of the runtime: catalog, service and
// notify, through the real executable. This test process stands in for a
// service: it catalogues itself, registers a handler and waits for events.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
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

// service and notify reach only the process that the kernel names as the
// node space's holder and that runs ovretain: this test process, catalogued
// and registered as the service and even holding the node space, is not it.
TEST_F(OvnodeControlTest, OnlyTheServiceHoldingTheNodeSpaceIsSignalled) {
    ServiceRecord record{};
    record.Magic = kServiceRecordMagic;
    record.Handler = RecordEvent;
    ASSERT_EQ(RegisterService(&record), 0);
    ASSERT_TRUE(CatalogRtHandle(RT_ROOT_PROCESS_HANDLE, GetRtThreadHandles(RT_THIS_PROCESS), "OvRetain"));
    RTEVENT e{};
    while (RtNotifyEvent(0x0F, 0, &e)) {
    }
    struct Case {
        std::vector<std::string> Args;
        std::string Why;
    };
    const Case unheld[] = {
        {{"service", "pause"}, "not running"},
        {{"notify", "230"}, "not running"},
        {{"service", "--to", "NoSuch", "run"}, "no process is catalogued as NoSuch"},
        {{"notify", "230", "--to", "NoSuch"}, "no process is catalogued as NoSuch"},
    };
    for (const Case& c : unheld) {
        RunResult r = Ovnode(Space(), c.Args);
        EXPECT_EQ(r.Status, 1) << c.Args[0];
        EXPECT_NE(r.Err.find(c.Why), std::string::npos) << r.Err;
    }
    int32_t holder = 0;
    char reason[128];
    ASSERT_EQ(NodeClaimService(&holder, reason, sizeof reason), 0) << reason;
    for (const std::vector<std::string>& args : {std::vector<std::string>{"service", "pause"}, {"notify", "230"}}) {
        RunResult r = Ovnode(Space(), args);
        EXPECT_EQ(r.Status, 1) << args[0];
        EXPECT_NE(r.Err.find("not ovretain: nothing sent"), std::string::npos) << r.Err;
    }
    EXPECT_TRUE(Events().empty());
    EXPECT_FALSE(RtNotifyEvent(0x0F, 0, &e));
}

// Texts from a segment or a file reach the terminal escaped in every command:
// ESC, a C1 control, a bidi control and a byte that is not UTF-8.
TEST_F(OvnodeControlTest, HostileTextIsShownEscapedInEveryCommand) {
    const std::string evil = "\x1b[2J\xc2\x9b\xe2\x80\xae\xff", shown = "\\x1b[2J\\u009b\\u202e\\xff";
    ASSERT_EQ(Ovnode(Space(), {"create", "t", "12", "40"}).Status, 0);
    ASSERT_EQ(NodeWriteStringByName("t", evil.c_str()), 0);
    ASSERT_TRUE(CatalogRtHandle(RT_ROOT_PROCESS_HANDLE, GetRtThreadHandles(RT_THIS_PROCESS), ("E" + evil).c_str()));
    ovtest::TempDir dir;
    ovtest::WriteFile(dir.File("f.bin"), std::string(4, '\0') + evil + std::string(40 - evil.size(), '\0'));
    const std::vector<std::vector<std::string>> commands = {
        {"get", "t"}, {"list"}, {"catalog"}, {"retain-dump", dir.File("f.bin")}};
    for (const std::vector<std::string>& args : commands) {
        RunResult r = Ovnode(Space(), args);
        EXPECT_EQ(r.Status, 0) << args[0] << ": " << r.Err;
        EXPECT_NE(r.Out.find(shown), std::string::npos) << args[0] << ": " << r.Out;
        EXPECT_EQ(r.Out.find('\x1b'), std::string::npos) << args[0];
        EXPECT_EQ(r.Out.find("\xe2\x80\xae"), std::string::npos) << args[0];
    }
    UncatalogRtHandle(RT_ROOT_PROCESS_HANDLE, ("E" + evil).c_str());
}

// The pid of a killed service, taken by another process: its catalogue entry
// and registration no longer name anything, so nothing is sent.
TEST(OvnodeControl, APidReusedAfterTheServiceDiedReceivesNothing) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root for a private pid namespace";
    ScopedSpace space;
    ovtest::TempDir drives;
    const std::string script =
        "\"$1\" & pid=$!\n"
        "for i in $(seq 200); do \"$2\" catalog | grep -q '^OvRetain' && break; sleep 0.05; done\n"
        "kill -KILL $pid; wait $pid\n"
        "echo $((pid - 1)) > /proc/sys/kernel/ns_last_pid\n"
        "sleep 60 & victim=$!\n"
        "[ $victim -eq $pid ] || { echo \"pid not reused: $victim $pid\"; exit 98; }\n"
        "\"$2\" service stop; echo \"service $?\"\n"
        "\"$2\" notify 12; echo \"notify $?\"\n"
        "kill -0 $victim && echo alive; kill $victim\n";
    RunResult r = ovtest::Run({"/usr/bin/unshare", "--pid", "--fork", "--mount-proc", "/bin/sh", "-c", script, "sh",
                               OVRETAIN_BIN, OVNODE_BIN},
                              {{"OVNODE_SPACE", space.Name()}, {"OVRT_DRIVES", drives.Path()}});
    if (r.Out.empty()) GTEST_SKIP() << "no private pid namespace here: " << r.Err;
    EXPECT_NE(r.Out.find("service 1\nnotify 1\nalive\n"), std::string::npos) << r.Out << r.Err;
    EXPECT_NE(r.Err.find("not running"), std::string::npos) << r.Err;
    RtDestroyInstance(space.Name());
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
    // A record of the first version, which ended before the journal's figures.
    record.Magic = kStatusMagic;
    record.Version = 1;
    ovtest::WriteFile(path, std::string(reinterpret_cast<const char*>(&record), offsetof(ServiceStatus, Journal)));
    r = Ovnode(Space(), {"status"});
    EXPECT_NE(r.Out.find("not of this version (version 1"), std::string::npos) << r.Out;

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
    EXPECT_NE(r.Out.find("starting, pid " + std::to_string(getpid())), std::string::npos) << "never polled\n" << r.Out;
    EXPECT_NE(r.Out.find("stop_save     never"), std::string::npos) << "outcome 7 is none\n" << r.Out;
    EXPECT_EQ(Lines(r.Out).size(), 5u + STATUS_KIND_COUNT) << "control bytes break no line\n" << r.Out;
    r = Ovnode(Space(), {"status", "--json"});
    EXPECT_TRUE(ovtest::IsJson(r.Out)) << r.Out;
    r = Ovnode(Space(), {"metrics"});
    EXPECT_EQ(r.Status, 0);
    EXPECT_NE(r.Out.find("ovretain_last_success{kind=\"trigger_save\",error=\"\\\""), std::string::npos) << r.Out;
    EXPECT_EQ(r.Out.find("stop_save\"} "), std::string::npos) << "a kind that never ran has no last values\n" << r.Out;

    // What anyone can put at the record's place: nothing hangs, nothing lies,
    // and no path a record names is opened.
    ovtest::TempDir dir;
    const std::string fifo = dir.File("fifo");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    std::snprintf(record.RetainPath, sizeof record.RetainPath, "%s", fifo.c_str());
    ovtest::WriteFile(path, std::string(reinterpret_cast<const char*>(&record), sizeof record));
    const std::vector<std::string> commands[] = {{"status"}, {"metrics"}, {"save", "--wait", "--timeout", "1"}};
    auto run = [&](const std::vector<std::string>& args) {
        std::vector<std::string> argv{"/usr/bin/timeout", "20", OVNODE_BIN, "--space", Space()};
        argv.insert(argv.end(), args.begin(), args.end());
        return ovtest::Run(argv);
    };
    for (const std::vector<std::string>& args : commands) {
        r = run(args);
        EXPECT_NE(r.Status, 124) << args[0] << " hung on a FIFO the record names";
    }
    ASSERT_EQ(unlink(path.c_str()), 0);
    ASSERT_EQ(mkfifo(path.c_str(), 0644), 0);
    for (const std::vector<std::string>& args : commands) {
        r = run(args);
        if (args[0] == "metrics")
            EXPECT_NE(r.Out.find("\novretain_up 0\n"), std::string::npos) << r.Out;
        else
            EXPECT_EQ(r.Status, 1) << args[0] << " on a FIFO in the record's place: " << r.Out << r.Err;
    }
    EXPECT_NE(run({"status"}).Out.find("not a regular file"), std::string::npos);
    ASSERT_EQ(unlink(path.c_str()), 0);
    if (geteuid() != 0) return;
    const ovtest::TestUser user = ovtest::UnprivilegedUser();
    if (!user.Valid()) return;
    // A well-formed record saying "running", put there by another user.
    ovtest::WriteFile(path, std::string(reinterpret_cast<const char*>(&record), sizeof record));
    ASSERT_EQ(chown(path.c_str(), user.Uid, user.Gid), 0);
    r = run({"status"});
    EXPECT_EQ(r.Status, 1);
    EXPECT_NE(r.Out.find("no trusted status"), std::string::npos) << r.Out;
    EXPECT_EQ(r.Out.find("running, pid"), std::string::npos) << r.Out;
    EXPECT_NE(run({"metrics"}).Out.find("\novretain_up 0\n"), std::string::npos);
}

}  // namespace
