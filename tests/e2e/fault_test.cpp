// Faults injected into the file operations of the real ovretain through
// OVRT_FAULT: a save that meets one fails with one "ERR" line naming the
// step, keeps the previous retain file byte for byte, is not counted in
// SaveCount, and the service goes on; the next save succeeds.
//
// Each case first lets a clean run save and stop, so that a retain file of
// the current layout exists. The second run's start-up check opens the
// retain directory (open 1), then opens, reads and closes that file (open 2,
// read 1, close 1); its first save then creates the directories (mkdir 1),
// opens the directory (open 3) and the temporary file in it (open 4),
// writes the header (write 1) and the slots (write 2...), flushes (flush 1),
// syncs (sync 1), closes (close 2), with UseBackup links the current file to
// the backup's temporary name (link 1) and renames that into place (rename
// 1), renames the new file over the old one (rename 1, or 2 with UseBackup)
// and fsyncs the directory (syncdir 1). Each fault below hits exactly one of
// those calls; an ERRNAME the seam does not know would arm nothing, which the
// expected "ERR" line (or, for the silent backup faults, the backup's
// content) would show.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "e2e/service_e2e.h"

namespace svctest {
namespace {

struct FaultCase {
    const char* Name;
    const char* Fault;  // OVRT_FAULT of the second run
    int UseBackup;
    const char* Line;  // the one "ERR" line of the failed save
};

std::ostream& operator<<(std::ostream& out, const FaultCase& c) {
    return out << c.Name;
}

// The check record is renamed before the backup's and the retain file's
// renames; the start-up check opens and closes the retain file, its check
// record and its layout record before the first save (which then finds that
// record remembered and does not read it again), and the preparation of the
// first save reads the check record, the retain file and the backup (two
// more opens, the backup's too when it is missing), all before the first save
// opens and closes its new file.
const FaultCase kFaults[] = {
    {"ENOSPC_on_a_slot_write", "write:2:ENOSPC", 0, "Retain file write failed: No space left on device"},
    {"EIO_on_a_slot_write", "write:2:EIO", 0, "Retain file write failed: Input/output error"},
    {"ENOSPC_on_the_header_write", "write:1:ENOSPC", 0, "Retain file header write failed: No space left on device"},
    {"ENOSPC_on_fsync", "sync:1:ENOSPC", 0, "Retain file sync failed: No space left on device"},
    {"EIO_on_fsync", "sync:1:EIO", 0, "Retain file sync failed: Input/output error"},
    {"EIO_on_fsync_with_backup", "sync:1:EIO", 1, "Retain file sync failed: Input/output error"},
    {"ENOSPC_on_rename", "rename:2:ENOSPC", 0, "Retain file rename failed: No space left on device"},
    {"EIO_on_rename", "rename:2:EIO", 0, "Retain file rename failed: Input/output error"},
    {"EIO_on_rename_with_backup", "rename:3:EIO", 1, "Retain file rename failed: Input/output error"},
    {"EIO_on_flush", "flush:1:EIO", 0, "Retain file flush failed: Input/output error"},
    {"EIO_on_close", "close:7:EIO", 0, "Retain file close failed: Input/output error"},
    {"failing_open", "open:12:EACCES", 0, "Retain file open failed: Permission denied"},
    {"failing_open_with_backup", "open:12:EMFILE", 1, "Retain file open failed: Too many open files"},
    {"failing_directory_creation", "mkdir:1:EROFS", 0, "Retain file directory creation failed: Read-only file system"},
};

class FaultRuns : public ServiceTest {
protected:
    void StartWith(const ovtest::Env& extra) {
        ovtest::Env env = Environment();
        env.insert(extra.begin(), extra.end());
        service_ = std::make_unique<ovtest::Child>(std::vector<std::string>{OVRETAIN_BIN}, env);
        ASSERT_TRUE(ovtest::WaitUntil([&] { return Started(); })) << service_->Output();
    }
    uint32_t Number(const std::string& name) const {
        std::string v = Get(name);
        return v.empty() ? 0 : static_cast<uint32_t>(std::stoul(v));
    }
    // Waits until Live has changed `polls` times: the Trig thread has then
    // finished the poll it was in, counters included.
    bool PollsPass(int polls) const {
        std::string last = Get("Live");
        int changes = 0;
        return ovtest::WaitUntil([&] {
            std::string now = Get("Live");
            if (now != last) ++changes, last = now;
            return changes >= polls;
        });
    }
    size_t ErrLines() const {
        size_t n = 0;
        for (const LogLine& l : Log()) n += l.Level == "ERR";
        return n;
    }
    std::string TempFile() const { return RetainFile() + ".tmp"; }
    // A clean run that leaves a retain file (and with UseBackup a backup) of
    // two plant nodes; Plant.Speed is then changed for the next save.
    void FirstRun(int useBackup, std::string* previous, std::string* previousBackup) {
        Ovnode({"create", "Plant.Speed", "7"});
        Ovnode({"set", "Plant.Speed", "1234"});
        Ovnode({"create", "Plant.Name", "12", "16"});
        Ovnode({"set", "Plant.Name", "pump"});
        StartWith({});
        Set("UseBackup", std::to_string(useBackup));
        Set("Save", "1");
        ASSERT_TRUE(WaitFor("SaveCount", "1")) << service_->Output();
        ASSERT_EQ(Stop(), 0);
        *previous = ovtest::ReadFile(RetainFile());
        *previousBackup = ovtest::ReadFile(BackupFile());
        ASSERT_EQ(previous->size(), RetainFileLength());
        ASSERT_EQ(SlotValue(*previous, "Plant.Speed"), 1234u);
        ASSERT_EQ(useBackup != 0, ovtest::FileExists(BackupFile()));
        Ovnode({"set", "Plant.Speed", "4321"});
    }
    // Starts the run with `fault` armed, set to save.
    void FaultyRun(const char* fault) {
        StartWith({{"OVRT_FAULT", fault}});
        ASSERT_EQ(ErrLines(), 0u) << service_->Output();  // the start-up check is untouched
        // The nodes still hold the first run's count, and the Run 0 of its stop.
        Set("SaveCount", "0");
        Set("Run", "1");
    }
};

class InjectedFault : public FaultRuns, public ::testing::WithParamInterface<FaultCase> {};

TEST_P(InjectedFault, SaveFailsAloneAndTheNextOneSucceeds) {
    const FaultCase& c = GetParam();
    std::string previous, previousBackup;
    FirstRun(c.UseBackup, &previous, &previousBackup);
    if (HasFatalFailure()) return;

    // The faulty run: its first save meets the fault.
    FaultyRun(c.Fault);
    ASSERT_FALSE(HasFatalFailure());
    Set("Save", "1");
    ASSERT_TRUE(WaitForLog({"ERR", c.Line})) << service_->Output();
    ASSERT_TRUE(WaitFor("Save", "0"));
    ASSERT_TRUE(PollsPass(2)) << service_->Output();
    EXPECT_EQ(Get("SaveCount"), "0");
    EXPECT_EQ(ErrLines(), 1u) << service_->Output();
    EXPECT_TRUE(service_->Running());
    EXPECT_EQ(ovtest::ReadFile(RetainFile()), previous);
    EXPECT_FALSE(ovtest::FileExists(TempFile()));
    if (c.UseBackup) {
        // Before the final rename the backup is untouched; at the rename the
        // backup already names the file that stays in place.
        std::string backup = ovtest::ReadFile(BackupFile());
        EXPECT_TRUE(backup == previousBackup || backup == previous);
    }

    // The fault was one call: the next save goes through.
    Set("Save", "1");
    ASSERT_TRUE(WaitFor("SaveCount", "1")) << service_->Output();
    const std::string saved = ovtest::ReadFile(RetainFile());
    EXPECT_EQ(saved.size(), RetainFileLength());
    EXPECT_EQ(SlotValue(saved, "Plant.Speed"), 4321u);
    EXPECT_EQ(saved.substr(0, 4), previous.substr(0, 4));  // same layout, same header
    if (c.UseBackup) {
        EXPECT_EQ(ovtest::ReadFile(BackupFile()), previous);
    }
    EXPECT_FALSE(ovtest::FileExists(TempFile()));
    EXPECT_EQ(ErrLines(), 1u) << service_->Output();
    EXPECT_EQ(Stop(), 0);
}

INSTANTIATE_TEST_SUITE_P(Fault, InjectedFault, ::testing::ValuesIn(kFaults),
                         [](const ::testing::TestParamInfo<FaultCase>& info) { return info.param.Name; });

// save --wait, status and the service manager's status line report a failed
// save with the service's own error text, and clear once the next save
// succeeds; status then judges the file without reading it.
TEST_F(FaultRuns, SaveWaitAndStatusReportAFailedSave) {
    CreatePlant();
    ovtest::NotifySocket manager;
    StartWith({{"OVRT_FAULT", "write:2:ENOSPC"}, {"NOTIFY_SOCKET", manager.Path()}});
    if (HasFatalFailure()) return;
    // A sender blocks once the socket's queue is full (10 datagrams by
    // default, a second of keep-alives): a thread empties it meanwhile.
    std::mutex lock;
    std::vector<std::string> messages;
    std::atomic<bool> done{false};
    std::thread drain([&] {
        while (!done) {
            std::string m = manager.Next(20ms);
            std::lock_guard<std::mutex> hold(lock);
            if (!m.empty()) messages.push_back(m);
        }
    });
    const std::string error = "Retain file write failed: No space left on device";
    ovtest::RunResult r = ovtest::Ovnode(active_, {"save", "--wait", "--json"});
    EXPECT_EQ(r.Status, 1);
    EXPECT_NE(r.Err.find("save failed: " + error), std::string::npos) << r.Err;
    EXPECT_TRUE(ovtest::IsJson(r.Out)) << r.Out;
    EXPECT_NE(r.Out.find("{\"kind\": \"trigger_save\", \"outcome\": \"failure\", "), std::string::npos) << r.Out;
    EXPECT_NE(r.Out.find("\"successes\": 0, \"failures\": 1, \"error\": \"" + error + "\"}"), std::string::npos)
        << r.Out;
    r = ovtest::Ovnode(active_, {"status"});
    EXPECT_EQ(r.Status, 1);
    EXPECT_NE(r.Out.find("the last save failed"), std::string::npos) << r.Out;
    EXPECT_NE(r.Out.find("0 successes, 1 failures; " + error), std::string::npos) << r.Out;
    std::map<std::string, double> m = ParseMetrics(ovtest::Ovnode(active_, {"metrics"}).Out);
    EXPECT_EQ(m["ovretain_up"], 1);
    EXPECT_EQ(m["ovretain_operations_total{kind=\"trigger_save\",outcome=\"failure\"}"], 1);
    EXPECT_EQ(m.count("ovretain_last_success{kind=\"trigger_save\",error=\"" + error + "\"}"), 1u);
#if OVRT_HAVE_SD_NOTIFY
    EXPECT_TRUE(ovtest::WaitUntil([&] {
        std::lock_guard<std::mutex> hold(lock);
        return std::find(messages.begin(), messages.end(), "STATUS=Last trigger save failed: " + error) !=
               messages.end();
    }));
#endif

    r = ovtest::Ovnode(active_, {"save", "--wait", "--json"});
    EXPECT_EQ(r.Status, 0) << r.Err;
    EXPECT_NE(r.Out.find("\"outcome\": \"success\""), std::string::npos) << r.Out;
    EXPECT_NE(r.Out.find("\"successes\": 1, \"failures\": 1, \"error\": null}"), std::string::npos) << r.Out;
    r = ovtest::Ovnode(active_, {"status"});
    EXPECT_EQ(r.Status, 0);
    EXPECT_NE(r.Out.find("check record: verified"), std::string::npos) << r.Out;
    EXPECT_EQ(ParseMetrics(ovtest::Ovnode(active_, {"metrics"}).Out)["ovretain_retain_file_verified"], 1);

    // The file the service wrote is judged by what its status record says
    // of it: status opens none of it (a hold on its open would stop status
    // there). Changed behind the service's back, it is read again and found
    // to be no file its check record lists.
    ovtest::HoldPoint opening("open", "OvRetain.bin");
    for (const char* command : {"status", "metrics"}) {
        ovtest::Child look({OVNODE_BIN, "--space", active_, command}, {{"OVRT_HOLD", opening.Setting()}});
        EXPECT_EQ(look.Wait(), 0) << command << " opened the retain file: " << look.Output();
        EXPECT_TRUE(look.Output().find("check record: verified") != std::string::npos ||
                    look.Output().find("\novretain_retain_file_verified 1\n") != std::string::npos)
            << look.Output();
    }
    const int fd = open(RetainFile().c_str(), O_WRONLY);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(pwrite(fd, "\xA5", 1, 4), 1);
    close(fd);
    ovtest::Child look({OVNODE_BIN, "--space", active_, "status"}, {{"OVRT_HOLD", opening.Setting()}});
    EXPECT_TRUE(opening.Reached());
    opening.Release();
    EXPECT_EQ(look.Wait(), 0);
    EXPECT_NE(look.Output().find("check record: failed"), std::string::npos) << look.Output();
    EXPECT_EQ(Stop(), 0);
    done = true;
    drain.join();
}

// Faults after the new file is complete. A failed directory fsync comes
// after the rename: the new file is in place (complete) but the save reports
// the step and is not counted, as the file may not survive a power cut. A
// failed link of the backup (a file system without hard links) falls back to
// a durable copy; when the backup cannot be refreshed at all the older one
// stays and one "WRN" line says so, while the save itself succeeds and counts.
struct LateFault {
    const char* Name;
    const char* Fault;
    int UseBackup;
    const char* Line;     // "" when the save succeeds
    const char* Warning;  // the one "WRN" line; "" when the backup was refreshed
};

std::ostream& operator<<(std::ostream& out, const LateFault& c) {
    return out << c.Name;
}

const LateFault kLateFaults[] = {
    {"EIO_on_the_directory_fsync", "syncdir:1:EIO", 0, "Retain file directory sync failed: Input/output error", ""},
    {"failing_backup_link", "link:1:EPERM", 1, "", ""},
    {"failing_backup_rename", "rename:2:EIO", 1, "",
     "Retain backup could not be refreshed (rename): Input/output error"},
};

class LateInjectedFault : public FaultRuns, public ::testing::WithParamInterface<LateFault> {};

TEST_P(LateInjectedFault, TheNewFileIsInPlaceAndComplete) {
    const LateFault& c = GetParam();
    std::string previous, previousBackup;
    FirstRun(c.UseBackup, &previous, &previousBackup);
    if (HasFatalFailure()) return;
    FaultyRun(c.Fault);
    ASSERT_FALSE(HasFatalFailure());

    Set("Save", "1");
    const bool reported = c.Line[0] != '\0';
    if (reported) {
        ASSERT_TRUE(WaitForLog({"ERR", c.Line})) << service_->Output();
        ASSERT_TRUE(WaitFor("Save", "0"));
        ASSERT_TRUE(PollsPass(2)) << service_->Output();
        EXPECT_EQ(Get("SaveCount"), "0");
    } else {
        ASSERT_TRUE(WaitFor("SaveCount", "1")) << service_->Output();
    }
    EXPECT_EQ(ErrLines(), reported ? 1u : 0u) << service_->Output();
    const bool refreshed = c.Warning[0] == '\0';
    EXPECT_EQ(Count({"WRN", c.Warning}), refreshed ? 0u : 1u) << service_->Output();
    const std::string saved = ovtest::ReadFile(RetainFile());
    EXPECT_EQ(saved.size(), RetainFileLength());
    EXPECT_EQ(SlotValue(saved, "Plant.Speed"), 4321u);
    EXPECT_FALSE(ovtest::FileExists(TempFile()));
    if (c.UseBackup) {
        EXPECT_EQ(ovtest::ReadFile(BackupFile()), refreshed ? previous : previousBackup);
        EXPECT_FALSE(ovtest::FileExists(BackupFile() + ".tmp"));
    }
    EXPECT_TRUE(service_->Running());
    EXPECT_EQ(Stop(), 0);
}

INSTANTIATE_TEST_SUITE_P(Fault, LateInjectedFault, ::testing::ValuesIn(kLateFaults),
                         [](const ::testing::TestParamInfo<LateFault>& info) { return info.param.Name; });

// A disk that fails for a while under autosave: the first failure's line,
// nothing more while it goes on (a summary comes once a minute, see the
// reporting's own test), and one line when a save goes through again.
TEST_F(FaultRuns, AFailingAutosaveReportsOnceAndItsRecovery) {
    Ovnode({"create", "Plant.Speed", "7"});
    Ovnode({"set", "Plant.Speed", "1234"});
    Create("AutoSave", "7", "100");
    StartWith({{"OVRT_FAULT", "sync:1:EIO:20"}});
    const LogLine recovered{"WRN", "Retain file saved again after 20 failed autosaves."};
    ASSERT_TRUE(WaitForLog(recovered)) << service_->Output();
    // The first save of a new layout writes its layout record first: that
    // sync is the first to fail.
    EXPECT_EQ(Count({"ERR", "Layout record sync failed: Input/output error"}), 1u) << service_->Output();
    EXPECT_EQ(ErrLines(), 1u) << service_->Output();
    EXPECT_EQ(SlotValue(ovtest::ReadFile(RetainFile()), "Plant.Speed"), 1234u);
    EXPECT_FALSE(ovtest::FileExists(TempFile()));
    EXPECT_EQ(Get("SaveCount"), "0");
    EXPECT_EQ(Stop(), 0);
    EXPECT_EQ(Count(recovered), 1u);
}

// Faults under which a save would write the wrong thing or into the wrong
// place: each ends the service with the retain file of the first run byte
// for byte, and the exit status says so. Only the log that nobody reads is a
// fault the service goes through: its stop is not held up and saves.
enum class Harm { CutShort, LostPages, NoOutPath, Destroyed, SharedDirectory, LogNotRead };
struct HarmCase {
    const char* Name;
    Harm What;
    int Status;        // of the run that meets the fault
    bool Kept;         // the retain file is the first run's, byte for byte
    const char* Line;  // an "ERR" line it writes
};
std::ostream& operator<<(std::ostream& out, const HarmCase& c) {
    return out << c.Name;
}
const HarmCase kHarms[] = {
    {"node_space_cut_short", Harm::CutShort, 1, true, "Retain file save failed: the node space shrank or lost pages."},
    {"node_space_lost_its_header_page", Harm::LostPages, 1, true,
     "Retain file save failed: the node space holds 0 nodes, the start-up check saw "},
    {"OutPath_unreadable", Harm::NoOutPath, 1, true, "Retain file save failed: OutPath names no usable directory."},
    {"node_space_destroyed", Harm::Destroyed, 1, true,
     "Node space destroyed or replaced under the service; ending without a save."},
    {"second_node_space_same_directory", Harm::SharedDirectory, 1, true,
     "Service not started: retain directory of C:\\Orvale\\OvRetain.bin is used by process "},
    {"log_reader_stopped", Harm::LogNotRead, 0, false, nullptr},
};

class HarmfulFault : public FaultRuns, public ::testing::WithParamInterface<HarmCase> {
protected:
    std::string SegmentFile() const { return "/dev/shm/ovns-" + active_; }
    // Started, with the start-up check done: Live counts only after it.
    void StartPolling() {
        StartWith({});
        Set("Run", "1");
        ASSERT_TRUE(PollsPass(1)) << service_->Output();
    }
    bool HasErr(const std::string& output, const char* prefix) const {
        return output.find(std::string(" ERR ovretain: ") + prefix) != std::string::npos;
    }
};

TEST_P(HarmfulFault, FailsAndLeavesTheRetainFileAsItWas) {
    const HarmCase& c = GetParam();
    std::string previous, previousBackup;
    FirstRun(0, &previous, &previousBackup);
    if (HasFatalFailure()) return;
    int status = -1;
    std::string output;
    switch (c.What) {
        case Harm::CutShort:
        case Harm::LostPages: {
            StartPolling();
            if (HasFatalFailure()) return;
            NodeSpaceDetach();  // this process keeps its hands off the segment
            const int fd = open(SegmentFile().c_str(), O_RDWR | O_CLOEXEC);
            ASSERT_GE(fd, 0);
            if (c.What == Harm::CutShort)
                ASSERT_EQ(ftruncate(fd, 4096), 0);
            else
                ASSERT_EQ(fallocate(fd, FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE, 0, 4096), 0);
            close(fd);
            service_->Signal(SIGTERM);
            status = service_->Wait();
            break;
        }
        case Harm::NoOutPath:
            Set("OutPath", "");
            StartPolling();
            if (HasFatalFailure()) return;
            service_->Signal(SIGTERM);
            status = service_->Wait();
            EXPECT_FALSE(ovtest::FileExists("OvRetain.bin")) << "nothing in the working directory";
            break;
        case Harm::Destroyed: {
            StartPolling();
            if (HasFatalFailure()) return;
            Ovnode({"destroy", "--force"});
            status = service_->Wait();  // it notices by itself
            break;
        }
        case Harm::SharedDirectory: {
            StartPolling();
            if (HasFatalFailure()) return;
            ovtest::ScopedSpace other;
            ovtest::Env env = Environment();
            env["OVNODE_SPACE"] = other.Name();
            ovtest::Child second({OVRETAIN_BIN}, env);
            status = second.Wait();
            output = second.Output();
            EXPECT_NE(output.find("used by process " + std::to_string(Pid()) + "."), std::string::npos) << output;
            EXPECT_EQ(ovtest::ReadFile(RetainFile()), previous);
            EXPECT_EQ(Stop(), 0) << "the first service goes on";
            previous = ovtest::ReadFile(RetainFile());  // its own save at the stop
            break;
        }
        case Harm::LogNotRead: {
            // Standard error into a FIFO of one page that this test holds
            // open and never reads.
            ovtest::TempDir fifoDir;
            const std::string fifo = fifoDir.Path() + "/stderr";
            ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
            const int reader = open(fifo.c_str(), O_RDWR | O_CLOEXEC);
            ASSERT_GE(reader, 0);
            fcntl(reader, F_SETPIPE_SZ, 4096);
            service_ = std::make_unique<ovtest::Child>(
                std::vector<std::string>{"/bin/sh", "-c", "exec \"$0\" 2>\"$1\"", OVRETAIN_BIN, fifo}, Environment());
            ASSERT_TRUE(ovtest::WaitUntil([&] { return Started(); }));
            // Each event is a log line: far more than the page takes.
            for (int i = 0; i < 200; ++i) SendControl(i % 2 ? 102 : 103);
            ASSERT_TRUE(WaitFor("Run", "1"));
            service_->Signal(SIGTERM);
            status = service_->Wait();
            close(reader);
            break;
        }
    }
    if (output.empty()) output = service_->Output();
    EXPECT_EQ(status, c.Status) << output;
    EXPECT_EQ(ovtest::ReadFile(RetainFile()) == previous, c.Kept) << output;
    if (!c.Kept) {
        EXPECT_EQ(SlotValue(ovtest::ReadFile(RetainFile()), "Plant.Speed"), 4321u);
    }
    if (c.Line) {
        EXPECT_TRUE(HasErr(output, c.Line)) << output;
    }
    EXPECT_FALSE(ovtest::FileExists(TempFile()));
}

INSTANTIATE_TEST_SUITE_P(Fault, HarmfulFault, ::testing::ValuesIn(kHarms),
                         [](const ::testing::TestParamInfo<HarmCase>& info) { return info.param.Name; });

}  // namespace
}  // namespace svctest
