// The Trig and Notify threads through the real ovretain: saves and loads
// through the Save and Load triggers, the counters, pausing, and the system
// events and signals that end the service.
#include <signal.h>
#include <sys/stat.h>

#include <fstream>

#include "e2e/service_e2e.h"

namespace svctest {
namespace {

class ThreadsTest : public ServiceTest {
protected:
    void SetPlant(const std::string& name, const std::string& value) { Ovnode({"set", "Plant." + name, value}); }
    unsigned long Live() const { return std::stoul("0" + Get("Live")); }
    // Waits until `polls` more running polls have passed.
    bool PollsPass(unsigned long polls) const {
        unsigned long until = Live() + polls;
        return ovtest::WaitUntil([&] { return Live() >= until; });
    }
    uint32_t SavedSpeed() const { return SlotValue(ovtest::ReadFile(RetainFile()), "Plant.Speed"); }
    // What says the retain file was rewritten: its inode and change times,
    // and the bytes the service has written (to storage and through write()).
    std::string FileAndWrites() const {
        struct stat st {};
        if (::stat(RetainFile().c_str(), &st) != 0) return "no file";
        std::ostringstream out;
        out << "inode " << st.st_ino << " mtime " << st.st_mtim.tv_sec << "." << st.st_mtim.tv_nsec;
        std::ifstream io("/proc/" + std::to_string(Pid()) + "/io");
        for (std::string line; std::getline(io, line);)
            if (line.rfind("write_bytes:", 0) == 0 || line.rfind("wchar:", 0) == 0) out << " " << line;
        return out.str();
    }
};

TEST_F(ThreadsTest, AutoSaveSavesAChangeWithoutATriggerAndWritesNothingWhileIdle) {
    CreatePlant();
    Create("AutoSave", "7", "500");
    StartAndWait();
    // Nothing is known about the file before the first save of a run: one
    // period after the start it is written.
    ASSERT_TRUE(ovtest::WaitUntil([&] { return SavedSpeed() == 1234u; }, 3s)) << service_->Output();

    SetPlant("Speed", "4242");
    EXPECT_TRUE(ovtest::WaitUntil([&] { return SavedSpeed() == 4242u; }, 2s)) << service_->Output();
    EXPECT_EQ(Get("SaveCount"), "0");  // an autosave is not counted, but recorded
    EXPECT_TRUE(ovtest::WaitUntil([&] {
        return ovtest::Ovnode(active_, {"status", "--json"}).Out.find("\"autosave\": {\"outcome\": \"success\"") !=
               std::string::npos;
    }));

    // Idle for four periods: Live ticks on, the file is left alone, and the
    // service writes nothing at all.
    std::string before = FileAndWrites();
    ASSERT_NE(before.find("write_bytes"), std::string::npos) << before;
    ASSERT_TRUE(PollsPass(20));
    EXPECT_EQ(FileAndWrites(), before);

    // Switched off at run time: a change stays unsaved.
    Set("AutoSave", "0");
    SetPlant("Speed", "5151");
    ASSERT_TRUE(PollsPass(10));
    EXPECT_EQ(FileAndWrites(), before);
    // And on again.
    Set("AutoSave", "50");  // counts as 100
    EXPECT_TRUE(ovtest::WaitUntil([&] { return SavedSpeed() == 5151u; }, 2s)) << service_->Output();
    EXPECT_EQ(Get("SaveCount"), "0");
    EXPECT_EQ(Stop(), 0);
    for (const LogLine& line : Log()) EXPECT_NE(line.Level, "ERR") << line;
}

TEST_F(ThreadsTest, WithoutAutoSaveNothingIsSavedUntilATrigger) {
    CreatePlant();
    StartAndWait();
    SetPlant("Speed", "4242");
    ASSERT_TRUE(PollsPass(10));
    EXPECT_FALSE(ovtest::FileExists(RetainFile()));
    EXPECT_EQ(Stop(), 0);
}

TEST_F(ThreadsTest, SaveTriggerWritesTheFileResetsTheTriggerAndCounts) {
    CreatePlant();
    StartAndWait();
    EXPECT_FALSE(ovtest::FileExists(RetainFile()));

    Set("Save", "5");
    ASSERT_TRUE(WaitFor("SaveCount", "1")) << service_->Output();
    EXPECT_EQ(Get("Save"), "0");
    std::string file = ovtest::ReadFile(RetainFile());
    EXPECT_EQ(file.size(), RetainFileLength());
    EXPECT_EQ(SlotValue(file, "Plant.Speed"), 1234u);
    // The trigger is reset only after the save, so the file holds its value.
    EXPECT_EQ(SlotValue(file, Full("Save")), 5u);
    EXPECT_EQ(SlotValue(file, Full("SaveCount")), 0u);
    long name = SlotOffset("Plant.Name");
    EXPECT_EQ(file.substr(name, 5), std::string("pump\0", 5));

    // The same value again, after the reset, is a new request.
    SetPlant("Speed", "77");
    Set("Save", "5");
    ASSERT_TRUE(WaitFor("SaveCount", "2"));
    EXPECT_EQ(Get("Save"), "0");
    EXPECT_EQ(SlotValue(ovtest::ReadFile(RetainFile()), "Plant.Speed"), 77u);
    EXPECT_EQ(Stop(), 0);

    // The header holds the layout hash: a restart over the same layout finds
    // no mismatch and keeps the file.
    StartAndWait();
    EXPECT_EQ(Stop(), 0);
    for (const LogLine& line : Log()) EXPECT_NE(line.Level, "WRN") << line;
    EXPECT_TRUE(ovtest::FileExists(RetainFile()));
}

TEST_F(ThreadsTest, LoadTriggerRestoresTheSavedValues) {
    CreatePlant();
    StartAndWait();
    Set("Save", "1");
    ASSERT_TRUE(WaitFor("SaveCount", "1"));
    SetPlant("Speed", "999");
    SetPlant("Name", "valve");

    Set("Load", "3");
    ASSERT_TRUE(WaitFor("LoadCount", "1")) << service_->Output();
    EXPECT_EQ(Plant("Speed"), "1234");
    EXPECT_EQ(Plant("Name"), "pump");
    EXPECT_EQ(Get("Load"), "0");
    // The load put the saved Save value 1 back: the next poll saves again.
    EXPECT_TRUE(WaitFor("SaveCount", "2"));
    EXPECT_TRUE(WaitFor("Save", "0"));
    EXPECT_EQ(Stop(), 0);
}

TEST_F(ThreadsTest, LoadWithoutAFileResetsTheTriggerAndDoesNotCount) {
    StartAndWait();
    ASSERT_FALSE(ovtest::FileExists(RetainFile()));
    Set("Load", "1");
    ASSERT_TRUE(WaitFor("Load", "0"));
    // A later poll: by the time this save is counted the load's poll is over.
    Set("Save", "1");
    ASSERT_TRUE(WaitFor("SaveCount", "1"));
    EXPECT_EQ(Get("LoadCount"), "0");
    EXPECT_EQ(Stop(), 0);
}

TEST_F(ThreadsTest, SaveAndLoadInOnePollSaveFirst) {
    CreatePlant();
    StartAndWait();
    Set("Save", "1");
    ASSERT_TRUE(WaitFor("SaveCount", "1"));  // the file holds Speed 1234

    Ovnode({"service", "pause"});
    ASSERT_TRUE(WaitFor("Run", "0"));
    SetPlant("Speed", "222");
    Set("Save", "7");
    Set("Load", "7");
    Ovnode({"service", "run"});
    // Both are pending at the first poll after run. Saving first puts 222
    // into the file that the load then reads; the other order would bring
    // back 1234.
    ASSERT_TRUE(WaitFor("LoadCount", "1")) << service_->Output();
    EXPECT_EQ(Plant("Speed"), "222");
    EXPECT_EQ(Get("Load"), "0");
    EXPECT_EQ(Stop(), 0);
}

TEST_F(ThreadsTest, PausedTriggersWaitForRunAndLiveStandsStill) {
    StartAndWait();
    ASSERT_TRUE(ovtest::WaitUntil([&] { return std::stoul("0" + Get("Live")) >= 2; }));  // counts while running
    Ovnode({"service", "pause"});
    ASSERT_TRUE(WaitFor("Run", "0"));
    unsigned long live = std::stoul(Get("Live"));
    Set("Save", "4");
    // Some ten polls while paused: the save stays pending and Live moves at
    // most once (a poll already past its Run check when the pause came).
    EXPECT_FALSE(ovtest::WaitUntil(
        [&] { return Get("Save") != "4" || Get("SaveCount") != "0" || std::stoul(Get("Live")) > live + 1; }, 1s));

    Ovnode({"service", "run"});
    ASSERT_TRUE(WaitFor("SaveCount", "1"));
    EXPECT_EQ(Get("Save"), "0");
    EXPECT_TRUE(ovtest::WaitUntil([&] { return std::stoul(Get("Live")) > live + 2; }));
    EXPECT_EQ(Stop(), 0);
}

TEST_F(ThreadsTest, TriggerValuesPresentAtStartAreClearedWithoutAction) {
    CreatePlant();
    StartAndWait();
    EXPECT_EQ(Stop(), 0);  // the stop saves: the file holds Speed 1234
    ASSERT_TRUE(ovtest::FileExists(RetainFile()));
    std::string saved = ovtest::ReadFile(RetainFile());

    // Pending requests left from before the next start.
    SetPlant("Speed", "555");
    Set("Save", "9");
    Set("Load", "9");
    Set("Run", "1");  // the stop left it 0
    StartAndWait();   // the Trig thread catalogues itself after clearing both
    EXPECT_EQ(Get("Save"), "0");
    EXPECT_EQ(Get("Load"), "0");
    // Live reaching 2 means the first running poll, where a pending trigger
    // would have fired, is over.
    ASSERT_TRUE(ovtest::WaitUntil([&] { return std::stoul("0" + Get("Live")) >= 2; }));
    EXPECT_EQ(Get("SaveCount"), "0");
    EXPECT_EQ(Get("LoadCount"), "0");
    EXPECT_EQ(Plant("Speed"), "555");                  // nothing loaded
    EXPECT_EQ(ovtest::ReadFile(RetainFile()), saved);  // nothing saved
    EXPECT_EQ(Stop(), 0);
}

// How a shutdown-class event reaches the service.
struct Shutdown {
    const char* Name;
    uint32_t Code;  // sent with ovnode notify, or
    int Signal;     // the signal sent instead when nonzero
};

void PrintTo(const Shutdown& s, std::ostream* out) {
    *out << s.Name;
}

class ShutdownEvents : public ThreadsTest, public ::testing::WithParamInterface<Shutdown> {};

TEST_P(ShutdownEvents, SaveSetRunZeroAndEndTheService) {
    const Shutdown& s = GetParam();
    CreatePlant();
    StartAndWait();
    SetPlant("Speed", "4321");
    ASSERT_FALSE(ovtest::FileExists(RetainFile()));
    if (s.Signal)
        service_->Signal(s.Signal);
    else
        Ovnode({"notify", std::to_string(s.Code)});
    EXPECT_EQ(service_->Wait(), 0) << service_->Output();
    EXPECT_EQ(Count(kNotifyLine), 1u);
    EXPECT_EQ(Count(kStopLine), 0u);
    EXPECT_EQ(Get("Run"), "0");
    std::string file = ovtest::ReadFile(RetainFile());
    EXPECT_EQ(file.size(), RetainFileLength());
    EXPECT_EQ(SlotValue(file, "Plant.Speed"), 4321u);
    EXPECT_EQ(SlotValue(file, Full("Run")) & 0xFF, 1u);  // saved before Run was cleared
    EXPECT_EQ(RtFindProcess("OvRetain"), 0);
}

INSTANTIATE_TEST_SUITE_P(Threads, ShutdownEvents,
                         ::testing::Values(Shutdown{"code8", 8, 0}, Shutdown{"code11", 11, 0},
                                           Shutdown{"code12", 12, 0}, Shutdown{"code230", 230, 0},
                                           Shutdown{"code255", 255, 0}, Shutdown{"SIGTERM", 0, SIGTERM},
                                           Shutdown{"SIGINT", 0, SIGINT}, Shutdown{"SIGHUP", 0, SIGHUP},
                                           Shutdown{"SIGQUIT", 0, SIGQUIT}, Shutdown{"SIGXCPU", 0, SIGXCPU}),
                         [](const auto& info) { return std::string(info.param.Name); });

// Signals that mean nothing to the service neither end nor stop it: after
// all of them it still answers a stop, saves and ends with status 0.
TEST_F(ThreadsTest, SignalsThatMeanNothingToTheServiceAreIgnored) {
    CreatePlant();
    StartAndWait();
    for (int sig : {SIGPIPE, SIGUSR1, SIGUSR2, SIGALRM, SIGXFSZ, SIGVTALRM, SIGPROF, SIGTSTP, SIGTTIN, SIGTTOU, SIGIO,
                    SIGRTMIN, SIGRTMIN + 5, SIGRTMAX})
        service_->Signal(sig);
    std::string live = Get("Live");
    ASSERT_TRUE(ovtest::WaitUntil([&] { return Get("Live") != live; })) << "still polling";
    SetPlant("Speed", "9090");
    EXPECT_EQ(Stop(), 0) << service_->Output();
    EXPECT_EQ(SlotValue(ovtest::ReadFile(RetainFile()), "Plant.Speed"), 9090u);
}

TEST_F(ThreadsTest, OtherSystemEventsAreOnlyLogged) {
    StartAndWait();
    size_t seen = 0;
    for (const char* code : {"7", "9", "10", "13", "229", "256", "0x1000C"}) {
        SCOPED_TRACE(code);
        Ovnode({"notify", code});
        ASSERT_TRUE(WaitForLog(kNotifyLine, ++seen));
        EXPECT_TRUE(service_->Running());
        EXPECT_EQ(Get("Run"), "1");
        EXPECT_FALSE(ovtest::FileExists(RetainFile()));  // nothing saved
    }
    EXPECT_EQ(Stop(), 0);
    EXPECT_EQ(Count(kNotifyLine), seen);
}

TEST_F(ThreadsTest, ValuesSurviveARestartIntoAFreshNodeSpace) {
    CreatePlant();
    StartAndWait();
    SetPlant("Speed", "31337");
    SetPlant("Name", "mixer");
    Set("Interval", "500");
    Set("Save", "1");
    ASSERT_TRUE(WaitFor("SaveCount", "1"));
    EXPECT_EQ(Stop(), 0);

    // A fresh node space with the same layout, over the same directory.
    ovtest::ScopedSpace fresh;
    UseSpace(fresh.Name());
    CreatePlant();
    StartAndWait();
    EXPECT_EQ(Plant("Speed"), "1234");
    EXPECT_TRUE(ovtest::FileExists(RetainFile()));  // same layout: the file is kept
    Set("Load", "1");
    ASSERT_TRUE(WaitFor("LoadCount", "1")) << service_->Output();
    EXPECT_EQ(Plant("Speed"), "31337");
    EXPECT_EQ(Plant("Name"), "mixer");
    EXPECT_EQ(Get("Interval"), "500");
    EXPECT_EQ(Stop(), 0);
}

}  // namespace
}  // namespace svctest
