// The real ovretain, driven through ovnode and the node-space library: what
// start-up publishes and catalogues, the control events, and shutdown.
#include "e2e/service_e2e.h"

#include <algorithm>
#include <filesystem>

#include "rtkernel/rtkernel.h"

namespace svctest {
namespace {

TEST_F(ServiceTest, FirstStartPublishesEveryVariableWithItsDefault) {
    StartAndWait();
    // As get prints them: OutPath's backslashes escaped.
    const std::pair<const char*, const char*> defaults[] = {
        {"Priority", "160"}, {"Interval", "100"}, {"UseBackup", "0"}, {"OutPath", "C:\\\\Orvale\\\\"},
        {"Status", "0"},     {"Error", "0"},      {"Run", "1"},       {"SaveCount", "0"},
        {"LoadCount", "0"},  {"Save", "0"},       {"Load", "0"},
    };
    for (auto [name, value] : defaults) EXPECT_EQ(Get(name), value) << name;
    EXPECT_FALSE(Get("Live").empty());  // counts from 0 while running
    // AutoRun and Migrate are read, never created.
    EXPECT_EQ(ovtest::Ovnode(active_, {"get", Full("AutoRun")}).Status, 1);
    EXPECT_EQ(ovtest::Ovnode(active_, {"get", Full("Migrate")}).Status, 1);
    EXPECT_TRUE(Catalogued("Exit", "semaphore"));

    EXPECT_EQ(Stop(), 0);
    EXPECT_EQ(Count(kStopLine), 1u);
    EXPECT_EQ(Get("Run"), "0");
    // Shutdown removes the root entry and the registration.
    EXPECT_EQ(RtFindProcess("OvRetain"), 0);
    auto services = NodeSpaceServices();
    EXPECT_EQ(std::count(services.begin(), services.end(), Pid()), 0);
}

struct PriorityCase {
    const char* Priority;  // nullptr: not created before the start
    int Main, Notify, Trig;
};

void PrintTo(const PriorityCase& c, std::ostream* out) {
    *out << "Priority " << (c.Priority ? c.Priority : "absent");
}

class ServicePriorities : public ServiceTest, public ::testing::WithParamInterface<PriorityCase> {};

TEST_P(ServicePriorities, ThreadsRunAtPriorityPlusTwoPlusOneAndItselfWrappingAt256) {
    const PriorityCase& c = GetParam();
    if (c.Priority) Create("Priority", "7", c.Priority);
    StartAndWait();
    EXPECT_EQ(Get("Priority"), c.Priority ? c.Priority : "160");  // an existing value is kept
    EXPECT_EQ(ThreadPriority("Main"), c.Main);
    EXPECT_EQ(ThreadPriority("Notify"), c.Notify);
    EXPECT_EQ(ThreadPriority("Trig"), c.Trig);
    EXPECT_EQ(Stop(), 0);
}

INSTANTIATE_TEST_SUITE_P(Service, ServicePriorities,
                         ::testing::Values(PriorityCase{nullptr, 162, 161, 160}, PriorityCase{"120", 122, 121, 120},
                                           PriorityCase{"254", 0, 255, 254}, PriorityCase{"255", 1, 0, 255}));

// OVRT_REALTIME=1 where SCHED_FIFO is refused (no CAP_SYS_NICE, an
// RLIMIT_RTPRIO of 0): one "WRN" line, and the service runs on. Not asked
// for, nothing is said.
TEST_F(ServiceTest, RealTimeSchedulingAskedForAndRefusedIsOneWarning) {
    const LogLine refused{"WRN",
                          "Real-time scheduling not granted (Operation not permitted): the threads run under the "
                          "normal scheduler."};
    if (!ovtest::FileExists("/usr/bin/prlimit") || !ovtest::FileExists("/usr/bin/setpriv"))
        GTEST_SKIP() << "needs prlimit and setpriv (util-linux)";
    std::vector<std::string> argv{"/usr/bin/prlimit", "--rtprio=0:0", OVRETAIN_BIN};
    if (geteuid() == 0) argv.insert(argv.begin(), {"/usr/bin/setpriv", "--bounding-set=-sys_nice", "--"});
    for (const bool asked : {true, false}) {
        SCOPED_TRACE(asked ? "asked for" : "not asked for");
        ovtest::Env env = Environment();
        if (asked) env["OVRT_REALTIME"] = "1";
        service_ = std::make_unique<ovtest::Child>(argv, env);
        ASSERT_TRUE(ovtest::WaitUntil([&] { return Started(); })) << service_->Output();
        EXPECT_EQ(Count(refused), asked ? 1u : 0u) << service_->Output();
        EXPECT_EQ(Stop(), 0);
    }
}

TEST_F(ServiceTest, PauseAndRunSwitchTheRunFlagAndLogEachEvent) {
    StartAndWait();
    Ovnode({"service", "pause"});
    ASSERT_TRUE(WaitFor("Run", "0"));
    ASSERT_TRUE(WaitForLog(kPauseLine));
    Ovnode({"service", "run"});
    ASSERT_TRUE(WaitFor("Run", "1"));
    ASSERT_TRUE(WaitForLog(kRunLine));
    EXPECT_TRUE(service_->Running());  // pausing keeps the service up
    EXPECT_EQ(EventLog(), (std::vector<LogLine>{kPauseLine, kRunLine}));
    EXPECT_EQ(Stop(), 0);
    EXPECT_EQ(EventLog(), (std::vector<LogLine>{kPauseLine, kRunLine, kStopLine}));
}

TEST_F(ServiceTest, ControlEventsOutsideTheTableAreIgnoredSilently) {
    StartAndWait();
    // The library delivers events one at a time in the order sent: once the
    // pause is logged, 100 and 104 have been handled.
    for (uint32_t event : {100u, 104u, 0u, 0xFFFFFFFFu}) SendControl(event);
    SendControl(103);
    ASSERT_TRUE(WaitForLog(kPauseLine));
    EXPECT_EQ(EventLog(), std::vector<LogLine>{kPauseLine});
    EXPECT_TRUE(service_->Running());

    for (uint32_t event : {100u, 104u}) SendControl(event);
    SendControl(102);
    ASSERT_TRUE(WaitForLog(kRunLine));
    EXPECT_EQ(EventLog(), (std::vector<LogLine>{kPauseLine, kRunLine}));
    EXPECT_TRUE(service_->Running());
    EXPECT_EQ(Stop(), 0);
}

TEST_F(ServiceTest, AutoRunOneSetsRunAtStart) {
    Create("Run", "1", "0");
    Create("AutoRun", "1", "1");
    StartAndWait();
    EXPECT_TRUE(WaitFor("Run", "1"));
    EXPECT_EQ(Stop(), 0);
}

TEST_F(ServiceTest, StopAtTheEarliestMomentStillEndsTheService) {
    Start();
    // The service registers first and then pauses 100 ms before it creates
    // anything else: a stop sent as soon as the registration shows arrives
    // before the Exit semaphore exists.
    ASSERT_TRUE(ovtest::WaitUntil([&] {
        auto services = NodeSpaceServices();
        return std::find(services.begin(), services.end(), Pid()) != services.end();
    })) << service_->Output();
    SendControl(101);
    EXPECT_EQ(service_->Wait(), 0) << service_->Output();
    EXPECT_EQ(Count(kStopLine), 1u);
    EXPECT_EQ(RtFindProcess("OvRetain"), 0);
}

TEST_F(ServiceTest, RestartFindsThePublishedNodesAndKeepsTheirValues) {
    StartAndWait();
    Set("Interval", "250");
    Set("UseBackup", "1");
    EXPECT_EQ(Stop(), 0);
    int32_t nodes = NodeCount();

    StartAndWait();
    EXPECT_EQ(NodeCount(), nodes);  // nothing created twice
    EXPECT_EQ(Get("Interval"), "250");
    EXPECT_EQ(Get("UseBackup"), "1");
    EXPECT_EQ(Get("Run"), "0");  // left 0 by the stop; no AutoRun
    // Paused, and said so everywhere; run --wait ends it.
    const LogLine paused{"INF", "Service paused: Run is 0; the triggers wait."};
    ASSERT_TRUE(WaitForLog(paused)) << service_->Output();
    auto r = ovtest::Ovnode(active_, {"status"});
    EXPECT_NE(r.Out.find("service      paused, pid " + std::to_string(Pid())), std::string::npos) << r.Out;
    EXPECT_NE(ovtest::Ovnode(active_, {"status", "--json"}).Out.find("\"state\": \"paused\""), std::string::npos);
    EXPECT_EQ(ParseMetrics(ovtest::Ovnode(active_, {"metrics"}).Out)["ovretain_paused"], 1);
    r = ovtest::Ovnode(active_, {"service", "run", "--wait", "--timeout", "20"});
    ASSERT_EQ(r.Status, 0) << r.Err;
    EXPECT_NE(r.Out.find("service running"), std::string::npos) << r.Out;
    EXPECT_NE(ovtest::Ovnode(active_, {"status", "--json"}).Out.find("\"state\": \"running\""), std::string::npos);
    EXPECT_EQ(ParseMetrics(ovtest::Ovnode(active_, {"metrics"}).Out)["ovretain_paused"], 0);
    EXPECT_EQ(Count(paused), 1u);
    EXPECT_EQ(Count({"INF", "Service running: Run is not 0; the triggers act."}), 1u);
    // stop --wait returns with the node space let go: destroy right after.
    r = ovtest::Ovnode(active_, {"service", "stop", "--wait"});
    EXPECT_EQ(r.Status, 0) << r.Err;
    r = ovtest::Ovnode(active_, {"destroy"});
    EXPECT_EQ(r.Status, 0) << r.Err;
    EXPECT_EQ(service_->Wait(), 0);
    EXPECT_EQ(Count({"INF", "Service stopped: stop event; exit status 0."}), 1u) << service_->Output();
}

TEST_F(ServiceTest, TellsTheServiceManagerReadyAliveWhilePausedAndStopping) {
    ovtest::NotifySocket manager;
    extraEnv_["NOTIFY_SOCKET"] = manager.Path();
    Start();
    ASSERT_TRUE(manager.WaitFor("READY=1")) << service_->Output();
    // Ready comes after the start-up check (on a first start it logs the
    // missing file) with every thread up.
    EXPECT_EQ(Count({"WRN", "Retained file hash code does not match and will be deleted."}), 1u);
    EXPECT_TRUE(Started());

    Ovnode({"service", "pause"});
    ASSERT_TRUE(WaitFor("Run", "0"));
    while (!manager.Next(0ms).empty()) {
    }
    // The second keep-alive after the queue was emptied comes from a poll that
    // began after the pause.
    for (int i = 0; i < 2; ++i) ASSERT_TRUE(manager.WaitFor("WATCHDOG=1")) << i;

    SendControl(101);
    EXPECT_TRUE(manager.WaitFor("STOPPING=1"));
    EXPECT_EQ(service_->Wait(), 0);
}

TEST_F(ServiceTest, ArgumentsOnlyAskForVersionOrUsageAnythingElseIsRefused) {
    const std::string versionLine = "ovretain [0-9]+\\.[0-9]+\\.[0-9]+ \\([^ ]+\\)\n";
    struct Case {
        std::vector<std::string> Args;
        int Status;
        std::string OutPattern;  // the whole of standard output
        const char* ErrHas;      // in standard error
    };
    const Case cases[] = {
        {{"--version"}, 0, versionLine, ""},
        {{"--help"}, 0, "usage: ovretain (.|\n)*", ""},
        {{"--bogus"}, 2, "", "usage: ovretain"},
        {{"run"}, 2, "", "unexpected argument 'run'"},
        {{"--version", "extra"}, 2, "", "usage: ovretain"},
    };
    for (const Case& c : cases) {
        std::vector<std::string> argv{OVRETAIN_BIN};
        argv.insert(argv.end(), c.Args.begin(), c.Args.end());
        // A refused argument must not start a service: one would never end.
        ovtest::Child child(argv, Environment());
        EXPECT_EQ(child.Wait(), c.Status) << c.Args[0];
        std::string output = child.Output();
        if (c.Status == 0)
            EXPECT_TRUE(testing::internal::RE::FullMatch(output, testing::internal::RE(c.OutPattern))) << output;
        else
            EXPECT_NE(output.find(c.ErrHas), std::string::npos) << output;
    }
    EXPECT_TRUE(NodeSpaceServices().empty());
}

// ovnode status, metrics and the waits of save, load and stop, against the
// real service from before its start to after its end.
TEST_F(ServiceTest, StatusMetricsAndWaitsFollowTheServiceFromStartToEnd) {
    CreatePlant();
    Create("Journal", "7", "40");  // counts as 100
    ovtest::RunResult r = ovtest::Ovnode(active_, {"status"});
    EXPECT_EQ(r.Status, 1);  // never started
    EXPECT_NE(r.Out.find("not running"), std::string::npos) << r.Out;

    StartAndWait();
    r = ovtest::Ovnode(active_, {"save", "--wait", "--timeout", "20"});
    ASSERT_EQ(r.Status, 0) << r.Err;
    EXPECT_NE(r.Out.find("save succeeded"), std::string::npos) << r.Out;
    EXPECT_EQ(ovtest::ReadFile(RetainFile()).size(), RetainFileLength());
    r = ovtest::Ovnode(active_, {"load", "--wait"});
    ASSERT_EQ(r.Status, 0) << r.Err;

    r = ovtest::Ovnode(active_, {"status"});
    EXPECT_EQ(r.Status, 0) << r.Out;
    EXPECT_NE(r.Out.find("running, pid " + std::to_string(Pid())), std::string::npos) << r.Out;
    EXPECT_NE(r.Out.find("header matches the layout"), std::string::npos) << r.Out;
    EXPECT_NE(r.Out.find("trigger_load  success"), std::string::npos) << r.Out;
    for (const std::vector<std::string>& json :
         {std::vector<std::string>{"status", "--json"}, {"catalog", "--json"}, {"get", "Plant.Name", "--json"}}) {
        r = ovtest::Ovnode(active_, json);
        EXPECT_TRUE(ovtest::IsJson(r.Out)) << json[0] << ":\n" << r.Out;
    }
    EXPECT_NE(ovtest::Ovnode(active_, {"status", "--json"}).Out.find("\"pid\": " + std::to_string(Pid())),
              std::string::npos);
    EXPECT_NE(ovtest::Ovnode(active_, {"get", "Plant.Name", "--json"}).Out.find("\"value\": \"pump\""),
              std::string::npos);

    std::map<std::string, double> m = ParseMetrics(ovtest::Ovnode(active_, {"metrics"}).Out);
    EXPECT_EQ(m["ovretain_up"], 1);
    // The load put back the file's Save value, which may fire one more save.
    EXPECT_GE(m["ovretain_operations_total{kind=\"trigger_save\",outcome=\"success\"}"], 1);
    EXPECT_EQ(m["ovretain_operations_total{kind=\"trigger_save\",outcome=\"failure\"}"], 0);
    EXPECT_EQ(m["ovretain_operations_total{kind=\"trigger_load\",outcome=\"success\"}"], 1);
    EXPECT_EQ(m["ovretain_last_success{kind=\"trigger_save\"}"], 1);
    EXPECT_EQ(m["ovretain_retain_file_size_bytes"], static_cast<double>(RetainFileLength()));
    EXPECT_EQ(m["ovretain_retain_file_header_match"], 1);
    EXPECT_GT(m["ovretain_start_time_seconds"], 1.6e9);

    // The journal: every full save starts it afresh (the first poll's
    // journal save, the trigger's, one for each time it outgrew the file),
    // and a change is appended to the one the last started.
    EXPECT_EQ(m["ovretain_journal_period_seconds"], 0.1);
    auto fullSaves = [&] {
        double n = 0;
        for (const char* kind : {"trigger_save", "stop_save", "shutdown_save", "autosave", "journal_save"})
            n += m[std::string("ovretain_operations_total{kind=\"") + kind + "\",outcome=\"success\"}"];
        return n;
    };
    Ovnode({"set", "Plant.Speed", "4321"});
    EXPECT_TRUE(ovtest::WaitUntil([&] {
        m = ParseMetrics(ovtest::Ovnode(active_, {"metrics"}).Out);
        return m["ovretain_journal_appends_total"] >= 1 && m["ovretain_journal_bytes"] > 32;
    })) << ovtest::Ovnode(active_, {"metrics"}).Out;
    EXPECT_GE(m["ovretain_journal_last_append_time_seconds"], m["ovretain_start_time_seconds"]);
    const double compactions = m["ovretain_journal_compactions_total"];
    EXPECT_EQ(compactions, fullSaves());
    ASSERT_EQ(ovtest::Ovnode(active_, {"save", "--wait"}).Status, 0);
    m = ParseMetrics(ovtest::Ovnode(active_, {"metrics"}).Out);
    EXPECT_GT(m["ovretain_journal_compactions_total"], compactions);
    EXPECT_EQ(m["ovretain_journal_compactions_total"], fullSaves());
    // Idle, the service's own counting appends nothing: once the trigger's
    // reset is in, a few more periods leave the appends where they were.
    auto liveAfter = [&](int polls) {
        const long from = std::strtol(Get("Live").c_str(), nullptr, 10);
        return ovtest::WaitUntil([&] { return std::strtol(Get("Live").c_str(), nullptr, 10) >= from + polls; });
    };
    ASSERT_TRUE(liveAfter(3));
    const double idleAppends = ParseMetrics(ovtest::Ovnode(active_, {"metrics"}).Out)["ovretain_journal_appends_total"];
    ASSERT_TRUE(liveAfter(5));
    EXPECT_EQ(ParseMetrics(ovtest::Ovnode(active_, {"metrics"}).Out)["ovretain_journal_appends_total"], idleAppends);
    r = ovtest::Ovnode(active_, {"status"});
    EXPECT_NE(r.Out.find("journal       on, every 100 ms; "), std::string::npos) << r.Out;
    r = ovtest::Ovnode(active_, {"status", "--json"});
    EXPECT_NE(r.Out.find("\"journal\": {\"on\": true, \"period_ms\": 100, \"bytes\": "), std::string::npos) << r.Out;

    r = ovtest::Ovnode(active_, {"service", "stop", "--wait"});
    EXPECT_EQ(r.Status, 0) << r.Err;
    EXPECT_NE(r.Out.find("stop save succeeded"), std::string::npos) << r.Out;
    // Ended: gone, or a zombie that this test process has yet to reap.
    const std::string stat = ovtest::ReadFile("/proc/" + std::to_string(Pid()) + "/stat");
    EXPECT_TRUE(stat.empty() || stat.find(") Z ") != std::string::npos) << stat;
    EXPECT_EQ(service_->Wait(), 0);
    r = ovtest::Ovnode(active_, {"status"});
    EXPECT_EQ(r.Status, 1);
    EXPECT_NE(r.Out.find("not running (ended)"), std::string::npos) << r.Out;
    m = ParseMetrics(ovtest::Ovnode(active_, {"metrics"}).Out);
    EXPECT_EQ(m["ovretain_up"], 0);
    EXPECT_EQ(m["ovretain_operations_total{kind=\"stop_save\",outcome=\"success\"}"], 1);
    r = ovtest::Ovnode(active_, {"save", "--wait"});
    EXPECT_EQ(r.Status, 1);
    EXPECT_NE(r.Err.find("not running"), std::string::npos) << r.Err;
}

// service and notify against the real service: they reach it and nothing
// else, whatever the catalogue says, and fail aloud once it has ended.
TEST_F(ServiceTest, ServiceAndNotifyReachOnlyTheService) {
    RtStartup();  // this process's event signals queue instead of ending it
    CreatePlant();
    StartAndWait();
    Ovnode({"service", "pause"});
    ASSERT_TRUE(WaitFor("Run", "0"));
    // An entry naming this process is ignored, aloud; the service gets the event.
    ASSERT_TRUE(CatalogRtHandle(RT_ROOT_PROCESS_HANDLE, GetRtThreadHandles(RT_THIS_PROCESS), "Other"));
    ovtest::RunResult r = ovtest::Ovnode(active_, {"service", "--to", "Other", "run"});
    EXPECT_EQ(r.Status, 0) << r.Err;
    EXPECT_NE(r.Err.find("entry ignored"), std::string::npos) << r.Err;
    ASSERT_TRUE(WaitFor("Run", "1"));
    r = ovtest::Ovnode(active_, {"notify", "42", "--to", "Other"});
    EXPECT_EQ(r.Status, 0) << r.Err;
    RTEVENT e{};
    EXPECT_FALSE(RtNotifyEvent(0x0F, 0, &e)) << "the event went to the catalogued process";
    UncatalogRtHandle(RT_ROOT_PROCESS_HANDLE, "Other");
    r = ovtest::Ovnode(active_, {"service", "--to", "NoSuch", "stop"});
    EXPECT_EQ(r.Status, 1);
    EXPECT_NE(r.Err.find("nothing sent"), std::string::npos) << r.Err;
    EXPECT_EQ(kill(Pid(), 0), 0) << "the service still runs";
    EXPECT_EQ(Get("Run"), "1");

    Ovnode({"service", "stop", "--wait"});
    EXPECT_EQ(service_->Wait(), 0);
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"service", "run"}, {"notify", "12"}, {"save"}, {"load"}}) {
        r = ovtest::Ovnode(active_, args);
        EXPECT_EQ(r.Status, 1) << args[0];
        EXPECT_NE(r.Err.find("not running"), std::string::npos) << args[0] << ": " << r.Err;
    }
}

// A plant saved in one layout, then started in a changed one (nodes added,
// removed, renamed, reordered, a text and a range resized, a type and a
// numeric size changed): with Migrate 1 the start-up check carries the
// values over by name and Load brings them back; without it the file is kept
// as an .old file, survives the saves that follow, and ovnode
// retain-restore brings the same values back.
class LayoutChange : public ServiceTest, public ::testing::WithParamInterface<bool> {
protected:
    void Make(const std::string& name, const std::string& type, const std::string& size, const std::string& value) {
        std::vector<std::string> create = {"create", name, type};
        if (!size.empty()) create.push_back(size);
        Ovnode(create);
        if (!value.empty()) Ovnode({"set", name, value});
    }
    std::string Value(const std::string& name) const { return ovtest::OvnodeGet(active_, name); }
    ovtest::ScopedSpace changed_;
};

TEST_P(LayoutChange, UnchangedNodesKeepTheirValuesByName) {
    const bool migrate = GetParam();
    Make("P.Keep", "7", "", "11");
    Make("P.Moved", "7", "", "22");
    Make("P.Gone", "7", "", "33");
    Make("P.OldName", "7", "", "44");
    Make("P.Text", "12", "16", "hello world");
    Make("P.Range", "13", "4", "01020304");
    Make("P.Retyped", "7", "", "55");
    Make("P.Blob", "20", "3", "aabbcc");
    Create("UseBackup", "1", "1");
    StartAndWait();
    EXPECT_EQ(Stop(), 0);  // the stop saves
    const std::string saved = ovtest::ReadFile(RetainFile());
    ASSERT_GE(saved.size(), 4u);
    char hash[16];
    std::snprintf(hash, sizeof hash, "%08x",
                  static_cast<uint8_t>(saved[0]) | static_cast<uint8_t>(saved[1]) << 8 |
                      static_cast<uint8_t>(saved[2]) << 16 |
                      static_cast<uint32_t>(static_cast<uint8_t>(saved[3])) << 24);
    const std::string dir = drives_.Path() + "/C/Orvale/";
    // The file's layout record: the id in the check record's newest entry
    // (offset 32), which names the set-aside file too.
    const std::string check = ovtest::ReadFile(dir + "OvRetain.check");
    ASSERT_GE(check.size(), 36u);
    char id[16];
    std::snprintf(id, sizeof id, "%08x",
                  static_cast<uint8_t>(check[32]) | static_cast<uint8_t>(check[33]) << 8 |
                      static_cast<uint8_t>(check[34]) << 16 |
                      static_cast<uint32_t>(static_cast<uint8_t>(check[35])) << 24);
    const std::string oldName = "OvRetain.0000000001." + std::string(hash) + "." + id + ".old";
    const std::string old = dir + oldName;
    ASSERT_TRUE(ovtest::FileExists(dir + "OvRetain." + hash + "." + id + ".layout"));

    UseSpace(changed_.Name());
    Make("P.Added", "7", "", "");
    Make("P.Keep", "7", "", "");
    Make("P.NewName", "7", "", "");
    Make("P.Text", "12", "8", "");
    Make("P.Range", "13", "6", "");
    Make("P.Retyped", "6", "", "");
    Make("P.Blob", "20", "4", "");
    Make("P.Moved", "7", "", "");
    Create("UseBackup", "1", "1");
    if (migrate) Create("Migrate", "1", "1");
    StartAndWait();
    // Every slot with a value of its own: the unchanged service nodes, P.Keep
    // and P.Moved are kept; P.Text and P.Range resized; P.Added, P.NewName,
    // P.Retyped, P.Blob (and Migrate) new; P.Gone, P.OldName and the old
    // P.Retyped and P.Blob dropped.
    const std::string counts = std::string("resized 2, new ") + (migrate ? "5" : "4") + ", dropped 4";
    ASSERT_TRUE(WaitForLog({"WRN", "Retained file kept as C:\\Orvale\\" + oldName + "."})) << service_->Output();
    EXPECT_EQ(ovtest::ReadFile(old), saved);
    if (migrate) {
        ASSERT_TRUE(ovtest::WaitUntil([&] {
            for (const LogLine& l : Log())
                if (l.Text.find("Retained file migrated by name: kept ") == 0) return true;
            return false;
        })) << service_->Output();
        EXPECT_NE(service_->Output().find(counts + "."), std::string::npos) << service_->Output();
        EXPECT_EQ(Value("P.Keep"), "0") << "nothing is loaded before Load";
        Set("Load", "1");
        ASSERT_TRUE(WaitFor("LoadCount", "1")) << service_->Output();
    } else {
        ASSERT_TRUE(ovtest::WaitUntil([&] { return !ovtest::FileExists(RetainFile()); }));
        // Saves rotate the backup twice over; the .old file stays.
        for (const char* n : {"1", "2", "3"}) {
            Set("Save", "1");
            ASSERT_TRUE(WaitFor("SaveCount", n)) << service_->Output();
        }
        EXPECT_EQ(ovtest::ReadFile(old), saved);
        auto dry = ovtest::Ovnode(active_, {"retain-restore", old, "--dry-run"});
        EXPECT_EQ(dry.Status, 0) << dry.Err;
        EXPECT_EQ(Value("P.Keep"), "0") << "a dry run writes nothing";
        auto restored = ovtest::Ovnode(active_, {"retain-restore", old});
        ASSERT_EQ(restored.Status, 0) << restored.Err;
        EXPECT_NE(restored.Out.find(counts + "\n"), std::string::npos) << restored.Out;
        EXPECT_EQ(dry.Out.substr(0, dry.Out.find(" (dry run")), restored.Out.substr(0, restored.Out.size() - 1));
        // The old file, shown by its own record, and compared by name.
        auto dump = ovtest::Ovnode(active_, {"retain-dump", old});
        EXPECT_NE(dump.Out.find("P.Gone"), std::string::npos) << dump.Out;
        auto json = ovtest::Ovnode(active_, {"retain-dump", "--json", old});
        EXPECT_NE(json.Out.find("\"name\": \"P.Gone\", \"type\": 7, \"size\": 4, \"value\": 33}"), std::string::npos)
            << json.Out;
        // A file a trigger saved holds that trigger: restoring it fires no
        // save, nor a load of the retain file over the values restored.
        std::string fired = saved;
        for (const char* trigger : {"SERVICE.OvRetain.Save ", "SERVICE.OvRetain.Load "}) {
            const size_t at = dump.Out.rfind('\n', dump.Out.find(trigger)) + 1;
            fired[std::stoul(dump.Out.substr(at))] = 1;
        }
        // Nor does it move the service's files elsewhere: the path a file
        // holds (here damaged) is not where the file lies.
        const std::string outPath = Get("OutPath");
        const size_t pathAt = dump.Out.rfind('\n', dump.Out.find("SERVICE.OvRetain.OutPath ")) + 1;
        fired[std::stoul(dump.Out.substr(pathAt)) + 3] ^= 0x20;
        ovtest::WriteFile(dir + "fired.bin", fired);
        Ovnode({"set", "P.Keep", "0"});
        ASSERT_EQ(ovtest::Ovnode(active_, {"retain-restore", dir + "fired.bin"}).Status, 0);
        const unsigned long live = std::stoul(Get("Live"));
        ASSERT_TRUE(ovtest::WaitUntil([&] { return std::stoul(Get("Live")) >= live + 2; }));
        EXPECT_EQ(Get("SaveCount"), "3");
        EXPECT_EQ(Get("LoadCount"), "0");
        EXPECT_EQ(Get("OutPath"), outPath);
        EXPECT_EQ(Value("P.Keep"), "11");
        Set("Save", "1");
        ASSERT_TRUE(WaitFor("SaveCount", "4")) << service_->Output();
        auto diff = ovtest::Ovnode(active_, {"retain-diff", old, RetainFile()});
        EXPECT_EQ(diff.Status, 1) << diff.Err;
        EXPECT_NE(diff.Out.find("P.Gone: only in " + old + " (33)\n"), std::string::npos) << diff.Out;
        EXPECT_NE(diff.Out.find("P.Text: hello world -> hello w\n"), std::string::npos) << diff.Out;
        EXPECT_EQ(diff.Out.find("P.Keep"), std::string::npos) << diff.Out;
        EXPECT_EQ(ovtest::Ovnode(active_, {"retain-diff", old, old}).Status, 0);
        EXPECT_EQ(ovtest::Ovnode(active_, {"retain-diff", old, old + ".none"}).Status, 2) << "trouble, as diff(1)";
        diff = ovtest::Ovnode(active_, {"retain-diff", "--json", old, RetainFile()});
        EXPECT_EQ(diff.Status, 1);
        EXPECT_TRUE(ovtest::IsJson(diff.Out)) << diff.Out;
        EXPECT_NE(diff.Out.find("{\"name\": \"P.Gone\", \"first\": \"33\", \"first_type\": 7, \"second\": null, "
                                "\"second_type\": null}"),
                  std::string::npos)
            << diff.Out;
    }
    const std::pair<const char*, const char*> expected[] = {
        {"P.Keep", "11"},      {"P.Moved", "22"},  {"P.Added", "0"},       {"P.NewName", "0"},
        {"P.Text", "hello w"}, {"P.Retyped", "0"}, {"P.Blob", "00000000"}, {"P.Range", "010203040000"},
    };
    for (auto [name, value] : expected) EXPECT_EQ(Value(name), value) << name;
    EXPECT_EQ(Stop(), 0);
    EXPECT_EQ(ovtest::ReadFile(old), saved) << "the .old file outlives every save";
}

INSTANTIATE_TEST_SUITE_P(Service, LayoutChange, ::testing::Bool(), [](const ::testing::TestParamInfo<bool>& info) {
    return info.param ? std::string("WithMigrate") : std::string("WithoutMigrate");
});

// The commonest event of a plant: a reboot rebuilds the node space from the
// same layout, with defaults, while OvRetain.bin holds the plant's values.
// Nothing saves over them before they are loaded; a stop keeps them under a
// name of their own; AutoLoad brings them back before the first poll; and a
// restart on the surviving node space never rolls live values back.
TEST_F(ServiceTest, AfterARebuildValuesNobodyLoadedAreNeverOverwritten) {
    auto layout = [&](const std::string& autoLoad) {
        CreatePlant();  // Plant.Speed 1234, the layout's default here
        Create("AutoRun", "1", "1");
        Create("AutoSave", "7", "500");
        Create("UseBackup", "1", "1");
        Create("AutoLoad", "1", autoLoad);
    };
    auto rebuild = [&](const std::string& autoLoad) {
        DestroyAndAttachAgain();
        layout(autoLoad);
    };
    auto live = [&] {
        const std::string v = Get("Live");
        return v.empty() ? 0ul : std::stoul(v);
    };
    layout("0");
    Ovnode({"set", "Plant.Speed", "777777"});
    StartAndWait();
    Ovnode({"save", "--wait"});
    ASSERT_EQ(Stop(), 0);
    const std::string values = ovtest::ReadFile(RetainFile());
    ASSERT_EQ(SlotValue(values, "Plant.Speed"), 777777u);

    // Rebuilt, and nobody loads for five autosave periods.
    rebuild("0");
    StartAndWait();
    ASSERT_TRUE(ovtest::WaitUntil([&] { return live() >= 25; })) << service_->Output();
    EXPECT_EQ(ovtest::ReadFile(RetainFile()), values);
    EXPECT_NE(ovtest::Ovnode(active_, {"status"}).Out.find("awaits its first load"), std::string::npos);
    // A stop before any load saves as always, the values kept first.
    ASSERT_EQ(Stop(), 0);
    EXPECT_EQ(SlotValue(ovtest::ReadFile(RetainFile()), "Plant.Speed"), 1234u);
    std::string kept;
    for (const LogLine& l : Log()) {
        const std::string prefix = "Retained file kept as C:\\Orvale\\";
        if (l.Level == "WRN" && l.Text.rfind(prefix, 0) == 0)
            kept = drives_.Path() + "/C/Orvale/" + l.Text.substr(prefix.size(), l.Text.size() - prefix.size() - 1);
    }
    ASSERT_FALSE(kept.empty()) << service_->Output();
    EXPECT_EQ(ovtest::ReadFile(kept), values);
    Ovnode({"retain-restore", kept});
    EXPECT_EQ(Plant("Speed"), "777777");

    // Saved again from the restored node space, then rebuilt with AutoLoad:
    // back by the first poll, without a client, and not a counted load.
    StartAndWait();
    Ovnode({"save", "--wait"});
    ASSERT_EQ(Stop(), 0);
    rebuild("1");
    StartAndWait();
    ASSERT_TRUE(ovtest::WaitUntil([&] { return live() >= 1; }));
    EXPECT_EQ(Plant("Speed"), "777777");
    EXPECT_EQ(Get("LoadCount"), "0");
    EXPECT_NE(ovtest::Ovnode(active_, {"status", "--json"}).Out.find("\"autoload\": {\"outcome\": \"success\""),
              std::string::npos);

    // A value written after the last save, then SIGKILL: the restart on the
    // surviving node space does not load the older file over it.
    Set("AutoSave", "0");
    const unsigned long now = live();
    ASSERT_TRUE(ovtest::WaitUntil([&] { return live() >= now + 2; }));  // no autosave under way
    Ovnode({"set", "Plant.Speed", "888888"});
    service_->Signal(SIGKILL);
    service_->Wait();
    StartAndWait();
    ASSERT_TRUE(ovtest::WaitUntil([&] { return live() >= 1; }));
    EXPECT_EQ(Plant("Speed"), "888888");
    EXPECT_EQ(Stop(), 0);
    size_t olds = 0;
    for (const auto& e : std::filesystem::directory_iterator(drives_.Path() + "/C/Orvale"))
        olds += e.path().extension() == ".old";
    EXPECT_EQ(olds, 1u) << "the defaults were never kept";
}

// READY=1 and the first count of Live come only once the start-up check and
// AutoLoad are done. The check (a migration) is held at its start, and the
// Trig thread's keep-alives show it polled meanwhile.
TEST_F(ServiceTest, ReadyAndLiveWaitForTheCheckAndAutoLoad) {
    constexpr int kNodes = 1000;
    auto build = [&](bool inserted) {
        if (inserted) {
            ASSERT_EQ(NodeCreate("A.Inserted", 7, 4, "", ""), 0);
        }
        ASSERT_EQ(NodeCreate("Plant.Speed", 7, 4, "", ""), 0);
        for (int i = 0; i < kNodes; ++i) ASSERT_EQ(NodeCreate(("Big.N" + std::to_string(i)).c_str(), 7, 4, "", ""), 0);
        Create("AutoRun", "1", "1");
        Create("AutoLoad", "1", "1");
        Create("Migrate", "1", "1");
    };
    auto speed = [] {
        uint32_t v = 0;
        NodeReadByName("Plant.Speed", &v, 4);
        return v;
    };
    build(false);
    if (HasFatalFailure()) return;
    const uint32_t value = 777777;
    ASSERT_EQ(NodeWriteByName("Plant.Speed", &value, 4), 0);
    StartAndWait();
    Ovnode({"save", "--wait"});
    ASSERT_EQ(Stop(), 0);

    NodeSpaceDetach();
    Ovnode({"destroy"});
    UseSpace(active_);
    build(true);  // one node more in front: the check migrates by name
    if (HasFatalFailure()) return;
    ovtest::NotifySocket manager;
    extraEnv_["NOTIFY_SOCKET"] = manager.Path();
    // The check is held as it opens the file it migrates: whatever the
    // machine's speed, the Trig thread polls while the check has not ended.
    ovtest::HoldPoint check("open", "OvRetain.bin");
    extraEnv_["OVRT_HOLD"] = check.Setting();
    Start();
    ASSERT_TRUE(check.Reached()) << service_->Output();
    int pollsWhileHeld = 0;
    const auto holdEnd = std::chrono::steady_clock::now() + 30s;
    while (pollsWhileHeld < 2 && std::chrono::steady_clock::now() < holdEnd) {
        const std::string message = manager.Next(100ms);
        EXPECT_NE(message, "READY=1") << "READY=1 while the start-up check runs";
        pollsWhileHeld += message == "WATCHDOG=1";
    }
    EXPECT_EQ(pollsWhileHeld, 2) << "the Trig thread does not poll during the check";
    uint32_t live = 0;
    NodeReadByName(Full("Live").c_str(), &live, 4);
    EXPECT_EQ(live, 0u) << "Live counts before the check and AutoLoad are done";
    EXPECT_NE(speed(), value);
    check.Release();

    bool ready = false, liveBeforeLoad = false;
    const auto deadline = std::chrono::steady_clock::now() + 60s;
    while (!ready && std::chrono::steady_clock::now() < deadline) {
        const std::string message = manager.Next(5ms);
        ready = message == "READY=1";
        NodeReadByName(Full("Live").c_str(), &live, 4);
        const bool loaded = speed() == value;
        if (ready) {
            EXPECT_TRUE(loaded) << "READY=1 before the values were back";
        }
        if (!loaded && live != 0) liveBeforeLoad = true;
    }
    ASSERT_TRUE(ready) << service_->Output();
    EXPECT_FALSE(liveBeforeLoad);
    EXPECT_EQ(Stop(), 0);
}

}  // namespace
}  // namespace svctest
