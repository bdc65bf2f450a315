// The real ovretain killed with SIGKILL at random moments while a client
// makes it save over and over: after every kill OvRetain.bin and
// OvRetain.$$$ are each absent or complete (the header word of the layout
// and the length of the layout) and verify by the check record, the
// start-up check keeps them as they are, and the restarted service loads
// them.
//
// Half of the kills come at a random moment after the saves begin, a quarter
// a random few hundred microseconds after the save's temporary file has
// appeared, and a quarter while the run's first save is held (the fault
// seam's OVRT_HOLD) with its temporary file written but not yet in place, so
// that kills land inside a save on any machine. OVRT_CRASH_ITERATIONS sets
// the number of kills per case (default 16; scripts/crash.sh runs hundreds).
//
// A second case starts each run in a new layout and kills around the first
// save, which writes a new layout record: every retain file left has a
// record that verifies. A third kills it with the journal, UseBackup,
// AutoLoad and Migrate on across layout flips: no value the files held is
// lost, none lands in another node.
#include <signal.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <random>
#include <thread>

#include "e2e/service_e2e.h"

namespace svctest {
namespace {

constexpr int kBlocks = 8;
constexpr int kBlockSize = 60000;  // some 480 kB a save: a save takes a while

int Iterations() {
    const char* v = std::getenv("OVRT_CRASH_ITERATIONS");
    int n = v ? std::atoi(v) : 0;
    return n > 0 ? n : 16;
}

class CrashTest : public ServiceTest, public ::testing::WithParamInterface<int> {
protected:
    void WriteNumber(const std::string& name, uint32_t value) {
        ASSERT_EQ(NodeWriteByName(name.c_str(), &value, 4), 0) << name;
    }
    uint32_t ReadNumber(const std::string& name) const {
        uint32_t value = 0;
        NodeReadByName(name.c_str(), &value, 4);
        return value;
    }
    // A client asks for saves as fast as it can while `moment` waits for the
    // moment to kill; then the service is killed and the client stopped.
    void KillWhileSaving(const std::function<void()>& moment) {
        std::atomic<bool> flooding{true};
        std::thread client([&] {
            const uint32_t one = 1;
            while (flooding.load()) {
                NodeWriteByName(Full("Save").c_str(), &one, 4);
                std::this_thread::yield();
            }
        });
        moment();
        service_->Signal(SIGKILL);
        EXPECT_EQ(service_->Wait(), 128 + SIGKILL);
        flooding = false;
        client.join();
    }
    // A client that counts Loss.Counter up from `last` every stepMs until
    // `counting` ends, keeping in `last` the count it wrote last.
    static std::thread CountLoss(std::atomic<bool>& counting, std::atomic<uint32_t>& last, uint32_t stepMs) {
        return std::thread([&counting, &last, stepMs] {
            auto next = std::chrono::steady_clock::now();
            uint32_t count = last.load();
            while (counting.load()) {
                ++count;
                NodeWriteByName("Loss.Counter", &count, 4);
                last.store(count);
                next += std::chrono::milliseconds(stepMs);
                std::this_thread::sleep_until(next);
            }
        });
    }
    // Until the save's temporary file appears, at most 3 s (a tight poll:
    // WaitUntil's few milliseconds would see most saves only as they end).
    static void WaitForTemporaryFile(const std::string& temp) {
        const auto deadline = std::chrono::steady_clock::now() + 3s;
        while (!ovtest::FileExists(temp) && std::chrono::steady_clock::now() < deadline) std::this_thread::yield();
    }
    // A file that is absent or complete: the layout's length and, once the
    // first complete file has fixed it, the layout's header word.
    void ExpectAbsentOrComplete(const std::string& path, std::string* header, int iteration) {
        if (!ovtest::FileExists(path)) return;
        std::string file = ovtest::ReadFile(path);
        ASSERT_EQ(file.size(), RetainFileLength()) << path << " after kill " << iteration;
        if (header->empty()) *header = file.substr(0, 4);
        EXPECT_EQ(file.substr(0, 4), *header) << path << " after kill " << iteration;
        // Every file holds a value of Crash.Iter that was set before the kill.
        EXPECT_LE(SlotValue(file, "Crash.Iter"), static_cast<uint32_t>(iteration + 1)) << path;
        // ...and is one its check record vouches for: no false alarm.
        auto check = ovtest::Ovnode(active_, {"retain-dump", "--check", path});
        EXPECT_EQ(check.Status, 0) << path << " after kill " << iteration << ": " << check.Out << check.Err;
    }
};

TEST_P(CrashTest, KilledWhileSavingLeavesCompleteFilesThatLoad) {
    const int useBackup = GetParam();
    Ovnode({"create", "Crash.Iter", "7"});
    Ovnode({"create", "Crash.Name", "12", "16"});
    Ovnode({"set", "Crash.Name", "crash"});
    for (int b = 0; b < kBlocks; ++b)
        Ovnode({"create", "Crash.Block" + std::to_string(b), "13", std::to_string(kBlockSize)});
    Create("UseBackup", "1", std::to_string(useBackup));

    std::mt19937 random(std::random_device{}());
    const std::string temp = RetainFile() + ".tmp";
    std::string header;
    int heldInsideASave = 0;
    const int iterations = Iterations();
    for (int i = 0; i < iterations; ++i) {
        SCOPED_TRACE("kill " + std::to_string(i));
        const bool hadFile = ovtest::FileExists(RetainFile());
        const std::string before = ovtest::ReadFile(RetainFile());
        const std::string backupBefore = ovtest::ReadFile(BackupFile());
        // A temporary file that a kill left behind stays on every third
        // restart: the next save must cope with it.
        if (i % 3 != 0) std::remove(temp.c_str());
        const bool tempLeftOver = ovtest::FileExists(temp);
        const bool held = i % 4 == 1 && !tempLeftOver;
        // The run's first save waits as it is about to put its written and
        // synced temporary file in place.
        ovtest::HoldPoint inPlace("rename", "OvRetain.bin.tmp");
        extraEnv_.erase("OVRT_HOLD");
        if (held) extraEnv_["OVRT_HOLD"] = inPlace.Setting();

        StartAndWait();
        if (hadFile) {
            // A complete file of this layout: the start-up check keeps it,
            // and the backup, as they are.
            for (const LogLine& line : Log()) EXPECT_NE(line.Level, "WRN") << line;
            EXPECT_EQ(ovtest::ReadFile(RetainFile()), before);
            EXPECT_EQ(ovtest::ReadFile(BackupFile()), backupBefore);
            // No save is pending (the Trig thread clears the triggers when it
            // starts), so the load reads exactly `before`.
            WriteNumber("Crash.Iter", 0xFFFFFFFF);
            WriteNumber(Full("Load"), 1);
            const uint32_t saved = SlotValue(before, "Crash.Iter");
            ASSERT_TRUE(ovtest::WaitUntil([&] { return ReadNumber("Crash.Iter") == saved; })) << service_->Output();
        }
        ASSERT_EQ(Get("Run"), "1");

        WriteNumber("Crash.Iter", static_cast<uint32_t>(i + 1));
        KillWhileSaving([&] {
            if (held) {
                ASSERT_TRUE(inPlace.Reached()) << service_->Output();
            } else if (i % 2 == 0 || tempLeftOver) {
                // Anywhere in up to four polls of saving.
                std::this_thread::sleep_for(std::chrono::microseconds(random() % 400000));
            } else {
                // Inside a save or just after it: soon after its temporary
                // file appears.
                WaitForTemporaryFile(temp);
                std::this_thread::sleep_for(std::chrono::microseconds(random() % 500));
            }
        });
        if (held) {
            // Killed inside the save: the complete temporary file is left,
            // and the retain file is the one from before.
            ++heldInsideASave;
            EXPECT_EQ(ovtest::ReadFile(temp).size(), RetainFileLength());
            EXPECT_EQ(ovtest::ReadFile(RetainFile()), before);
        }
        ExpectAbsentOrComplete(RetainFile(), &header, i);
        ExpectAbsentOrComplete(BackupFile(), &header, i);
        if (useBackup == 0) {
            EXPECT_FALSE(ovtest::FileExists(BackupFile()));
        }
        if (HasFatalFailure()) return;
    }
    extraEnv_.erase("OVRT_HOLD");
    std::printf("%d kills, %d held inside a save\n", iterations, heldInsideASave);
    RecordProperty("KillsInsideASave", heldInsideASave);
    // Saves did complete between the kills.
    EXPECT_TRUE(ovtest::FileExists(RetainFile()));

    // A last clean run: it loads what the kills left and stops with a save.
    StartAndWait();
    WriteNumber(Full("Load"), 1);
    const uint32_t saved = SlotValue(ovtest::ReadFile(RetainFile()), "Crash.Iter");
    EXPECT_TRUE(ovtest::WaitUntil([&] { return ReadNumber("Crash.Iter") == saved; })) << service_->Output();
    EXPECT_EQ(Stop(), 0);
    EXPECT_EQ(ovtest::ReadFile(RetainFile()).size(), RetainFileLength());
    EXPECT_FALSE(ovtest::FileExists(temp));
}

// The number of kills of a loss-window case: OVRT_LOSS_KILLS, else byDefault.
static int LossKills(int byDefault) {
    const char* v = std::getenv("OVRT_LOSS_KILLS");
    return v && std::atoi(v) > 0 ? std::atoi(v) : byDefault;
}

// The loss window of autosave: a client counts a node up every 10 ms (a late
// client catches up, so the count follows the clock), the service is killed
// at a random moment, and a restart's load gives at least what the retain
// file held at the kill and never more than the count. Before each kill the
// file is seen to reach a count the client wrote in this run: a service that
// stopped autosaving fails here, whatever the machine's speed. How far behind
// the count the file was at the kill (at most a period and a poll plus the
// save's time) is printed as "loss window: ..." and judged by
// scripts/loss_window.sh, which runs hundreds of kills; no test here bounds a
// duration. OVRT_LOSS_KILLS sets the number of kills (default 4). The service
// runs its threads real-time where it may, as a control system runs it.
TEST_F(CrashTest, AutoSaveLosesAtMostOnePeriodAndAPoll) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "the loss window is a bound in time: measured in the normal build, not under a sanitizer";
#endif
    const int kills = LossKills(4);
    constexpr uint32_t kPeriodMs = 500, kStepMs = 10;
    Ovnode({"create", "Loss.Counter", "7"});
    Create("AutoSave", "7", std::to_string(kPeriodMs));
    std::mt19937 random(std::random_device{}());
    uint32_t atKill = 0, saved = 0, longestSaveMs = 0;
    bool fileLeft = false;
    std::vector<uint32_t> behindMs;
    for (int i = 0; i <= kills; ++i) {
        SCOPED_TRACE("kill " + std::to_string(i));
        ovtest::Env env = Environment();
        env["OVRT_REALTIME"] = "1";
        service_ = std::make_unique<ovtest::Child>(std::vector<std::string>{OVRETAIN_BIN}, env);
        ASSERT_TRUE(ovtest::WaitUntil([&] { return Started(); })) << service_->Output();
        if (i > 0 && fileLeft) {
            // The restart loads what the kill left (a kill before the first
            // save of all left nothing to load).
            WriteNumber(Full("Load"), 1);
            ASSERT_TRUE(WaitFor("LoadCount", "1")) << service_->Output();
            const uint32_t loaded = ReadNumber("Loss.Counter");
            EXPECT_LE(loaded, atKill);
            EXPECT_GE(loaded, saved);  // the file, or a later autosave of the same count
        }
        if (i == kills) break;
        std::atomic<bool> counting{true};
        std::atomic<uint32_t> last{ReadNumber("Loss.Counter")};
        std::thread client = CountLoss(counting, last, kStepMs);
        std::this_thread::sleep_for(std::chrono::milliseconds(random() % 2000));
        // Autosave keeps up: the file reaches a count written in this run.
        const uint32_t mark = last.load() + 1;
        EXPECT_TRUE(ovtest::WaitUntil(
            [&] {
                const std::string file = ovtest::ReadFile(RetainFile());
                return file.size() == RetainFileLength() && SlotValue(file, "Loss.Counter") >= mark;
            },
            60s))
            << service_->Output();
        std::this_thread::sleep_for(std::chrono::milliseconds(random() % 2000));
        service_->Signal(SIGKILL);
        EXPECT_EQ(service_->Wait(), 128 + SIGKILL);
        counting = false;
        client.join();
        atKill = last.load();
        // A kill before the first save of all leaves no file: all the counting
        // since the start (from 0) is lost, and it began less than a period ago.
        struct stat st {};
        saved = 0;
        fileLeft = ::stat(RetainFile().c_str(), &st) == 0;
        if (fileLeft) {
            saved = SlotValue(ovtest::ReadFile(RetainFile()), "Loss.Counter");
            const int64_t saveNs =
                (st.st_ctim.tv_sec - st.st_mtim.tv_sec) * 1000000000LL + (st.st_ctim.tv_nsec - st.st_mtim.tv_nsec);
            longestSaveMs = std::max(longestSaveMs, static_cast<uint32_t>(std::max<int64_t>(saveNs, 0) / 1000000));
        }
        ASSERT_LE(saved, atKill) << service_->Output();
        const uint32_t behind = (atKill - saved) * kStepMs;
        behindMs.push_back(behind);
        if (!fileLeft) {
            // Nothing to load: the next run counts from 0 again, as this one did.
            const uint32_t zero = 0;
            NodeWriteByName("Loss.Counter", &zero, 4);
        }
    }
    EXPECT_EQ(Stop(), 0);
    std::sort(behindMs.begin(), behindMs.end());
    std::printf(
        "loss window: %d kills: behind by at most %u ms, median %u ms, 99th percentile %u ms; longest save %u ms; "
        "bound %u ms\n",
        kills, behindMs.back(), behindMs[behindMs.size() / 2], behindMs[behindMs.size() * 99 / 100], longestSaveMs,
        kPeriodMs + 100 + 2 * longestSaveMs);
    RecordProperty("WorstLossMs", static_cast<int>(behindMs.back()));
}

// With the change journal on, what the files hold after a kill (the retain
// file and the whole groups of its journal, as a load after a power cut takes
// them) is never behind a value that the journal or the file held while the
// service ran, and a restart's load gives at least that. The loss is read
// from the files, not from the restarted service: the node space outlives
// the kill, so the restart's retain file is the node space's own and its live
// values are folded into a save before any load. The journal outgrows the
// small retain file every second or so, and each time a full save folds it
// in and starts a new one: of every four kills, two come at a random moment
// once the journal is seen to hold a count written in this run (a service
// that stopped appending fails there, whatever the machine's speed), and two
// while a fold is held (the fault seam's OVRT_HOLD): once with the new
// retain file written but not in place, once with it in place and the new
// journal not yet. How far behind the count the files were at the random
// kills is printed as "loss window: ..." and judged by scripts/loss_window.sh;
// no test here bounds a duration. OVRT_LOSS_KILLS sets the number of kills
// (default 8).
TEST_F(CrashTest, JournalLosesAtMostOnePeriodAndAPoll) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "the loss window is a bound in time: measured in the normal build, not under a sanitizer";
#endif
    const int kills = LossKills(8);
    constexpr uint32_t kPeriodMs = 100, kStepMs = 10;
    Ovnode({"create", "Loss.Counter", "7"});
    Create("Journal", "7", std::to_string(kPeriodMs));
    uint32_t counterIndex = 0;
    for (int32_t k = 0; k < NodeCount(); ++k)
        if (std::string(NodeTable()[k].Name) == "Loss.Counter") counterIndex = NodeTable()[k].Index;
    ASSERT_NE(counterIndex, 0u);
    const std::string dir = RetainFile().substr(0, RetainFile().size() - std::string("OvRetain.bin").size());
    const std::string journal = dir + "OvRetain.journal", saveTemp = RetainFile() + ".tmp",
                      journalTemp = journal + ".tmp";
    // The counter as a load takes it from the files as they are: the retain
    // file's, then the newest in the whole groups of a journal that names the
    // file by its header word and length (numbers little-endian, as this
    // machine's). The count only grows, so the larger of the two. 0 without a
    // complete file.
    auto onDisk = [&]() -> uint32_t {
        const std::string file = ovtest::ReadFile(RetainFile());
        if (file.size() != RetainFileLength()) return 0;
        uint32_t value = SlotValue(file, "Loss.Counter");
        const std::string j = ovtest::ReadFile(journal);
        auto u32 = [&j](size_t at) {
            uint32_t n = 0;
            std::memcpy(&n, j.data() + at, 4);
            return n;
        };
        uint64_t length = 0;
        if (j.size() >= 32) std::memcpy(&length, j.data() + 16, 8);
        if (j.size() < 32 || j.compare(0, 8, "OvJournl") != 0 || j.compare(12, 4, file, 0, 4) != 0 ||
            length != file.size())
            return value;
        for (size_t at = 32; at + 20 <= j.size();) {
            const size_t end = at + 20 + u32(at);
            if (end > j.size()) break;  // cut short: the append was under way
            for (size_t r = at + 20; r + 6 <= end;) {
                uint16_t size = 0;
                std::memcpy(&size, j.data() + r + 4, 2);
                if (r + 6 + size > end) break;
                if (u32(r) == counterIndex && size == 4) value = std::max(value, u32(r + 6));
                r += 6 + size;
            }
            at = end;
        }
        return value;
    };
    std::mt19937 random(std::random_device{}());
    uint32_t atKill = 0, held = 0;
    int heldInsideAFold = 0;
    std::vector<uint32_t> behindMs, foldBehindMs;
    for (int i = 0; i <= kills; ++i) {
        SCOPED_TRACE("kill " + std::to_string(i));
        std::remove(saveTemp.c_str());
        std::remove(journalTemp.c_str());
        // Moments 2 and 3 hold the run's second fold (the first may come
        // before the load) at one of its two renames.
        const int moment = i % 4;
        ovtest::HoldPoint fold("rename", moment == 2 ? "OvRetain.bin.tmp" : "OvRetain.journal.tmp", 2);
        ovtest::Env env = Environment();
        env["OVRT_REALTIME"] = "1";
        if (moment >= 2 && i < kills) env["OVRT_HOLD"] = fold.Setting();
        service_ = std::make_unique<ovtest::Child>(std::vector<std::string>{OVRETAIN_BIN}, env);
        ASSERT_TRUE(ovtest::WaitUntil([&] { return Started(); })) << service_->Output();
        if (i > 0) {
            WriteNumber(Full("Load"), 1);
            ASSERT_TRUE(WaitFor("LoadCount", "1")) << service_->Output();
            const uint32_t loaded = ReadNumber("Loss.Counter");
            EXPECT_LE(loaded, atKill) << service_->Output();
            EXPECT_GE(loaded, held) << service_->Output();
        }
        if (i == kills) break;
        std::atomic<bool> counting{true};
        std::atomic<uint32_t> last{ReadNumber("Loss.Counter")};
        std::thread client = CountLoss(counting, last, kStepMs);
        // What the files hold, read while the service runs.
        std::atomic<uint32_t> seen{0};
        std::thread watcher([&] {
            while (counting.load()) {
                seen.store(std::max(seen.load(), onDisk()));
                std::this_thread::sleep_for(1ms);
            }
        });
        if (moment < 2) {
            // The files reach a count written in this run, then a random moment.
            std::this_thread::sleep_for(std::chrono::milliseconds(random() % 1000));
            const uint32_t mark = last.load() + 1;
            EXPECT_TRUE(ovtest::WaitUntil([&] { return seen.load() >= mark; }, 60s)) << service_->Output();
            std::this_thread::sleep_for(std::chrono::milliseconds(random() % 1000));
        } else {
            ASSERT_TRUE(fold.Reached(60s)) << service_->Output();
        }
        service_->Signal(SIGKILL);
        EXPECT_EQ(service_->Wait(), 128 + SIGKILL);
        counting = false;
        client.join();
        watcher.join();
        atKill = last.load();
        held = onDisk();
        // Nothing the journal or the file held before the kill is lost.
        EXPECT_GE(held, seen.load());
        ASSERT_LE(held, atKill);
        if (moment >= 2) {
            // Held at the rename: its temporary file is complete and waits.
            ++heldInsideAFold;
            EXPECT_TRUE(ovtest::FileExists(moment == 2 ? saveTemp : journalTemp));
        }
        const uint32_t behind = (atKill - held) * kStepMs;
        (moment < 2 ? behindMs : foldBehindMs).push_back(behind);
        std::printf("kill %d%s: behind by %u ms\n", i, moment >= 2 ? " inside a fold" : "", behind);
        std::fflush(stdout);
    }
    EXPECT_EQ(Stop(), 0);
    std::sort(behindMs.begin(), behindMs.end());
    std::sort(foldBehindMs.begin(), foldBehindMs.end());
    std::printf(
        "loss window: %zu kills at random moments: behind by at most %u ms, median %u ms, 99th percentile %u ms; "
        "%zu kills held inside a fold: behind by at most %u ms; bound %u ms\n",
        behindMs.size(), behindMs.empty() ? 0 : behindMs.back(), behindMs.empty() ? 0 : behindMs[behindMs.size() / 2],
        behindMs.empty() ? 0 : behindMs[behindMs.size() * 99 / 100], foldBehindMs.size(),
        foldBehindMs.empty() ? 0 : foldBehindMs.back(), kPeriodMs + 100);
    RecordProperty("WorstLossMs", behindMs.empty() ? 0 : static_cast<int>(behindMs.back()));
    RecordProperty("KillsInsideAFold", heldInsideAFold);
}

// Every protection on at once, as a plant lives: the change journal (100 ms),
// UseBackup, AutoLoad and Migrate, and before each start a reboot into the
// other of two layouts (a node before the plant's comes and goes), so that
// the start-up check migrates the file of the layout before. A client counts
// the plant up, each node in a pattern of its own (counters in ranges of
// their own, texts that carry their node's name and the count), and a
// watcher reads what the files hold with ovnode retain-dump --journal while
// the service runs. Of every five kills one comes at a random moment once
// the files hold a count of this run, one at a random moment of start-up
// (the check, its migration, AutoLoad, the first saves), one while a save is
// held with its file written and not in place, one while a fold is held with
// the new retain file in place and its new journal not, and one while the
// start-up check's migration is held with the old file kept aside and the
// migrated one not in place (the fault seam's OVRT_HOLD). After each kill
// the files still hold every value seen in them, the restart's AutoLoad
// gives each back (a count never goes down), and no file or node holds a
// value of another node's pattern. OVRT_CRASH_ITERATIONS sets the number of
// kills.
TEST_F(CrashTest, KilledWithEveryProtectionOnLosesNothingHeld) {
    const std::vector<std::string> plant = {"Plant.CountA", "Plant.TextA", "Plant.CountB", "Plant.TextB"};
    auto isText = [](const std::string& name) { return name.find(".Text") != std::string::npos; };
    auto base = [](size_t k) { return static_cast<uint32_t>(k + 1) * 100000000u; };
    // The count that node k's value stands for: 0 for the layout's default,
    // -1 for anything but its own pattern of a count written so far.
    std::atomic<uint32_t> written{0};
    auto countOf = [&](size_t k, const std::string& value) -> int64_t {
        const bool text = isText(plant[k]);
        if (value == (text ? "" : "0")) return 0;
        const std::string prefix = text ? plant[k] + " " : "";
        const std::string digits = value.substr(std::min(prefix.size(), value.size()));
        if (value.compare(0, prefix.size(), prefix) != 0 || digits.empty() || digits.size() > 10 ||
            digits.find_first_not_of("0123456789") != std::string::npos)
            return -1;
        int64_t count = std::stoll(digits) - (text ? 0 : base(k));
        return count < 0 || count > written.load() ? -1 : count;
    };
    // The plant's values as a load would take them from the retain file
    // and its journal; empty when the tool fails.
    auto dumped = [&]() -> std::vector<std::string> {
        const auto dump = ovtest::Ovnode(active_, {"retain-dump", "--journal", "--json", RetainFile()});
        std::vector<std::string> values;
        for (const std::string& name : plant) {
            const size_t slot = dump.Out.find("\"name\": \"" + name + "\"");
            const size_t at = dump.Out.find("\"value\": ", slot);
            if (dump.Status != 0 || slot == std::string::npos || at == std::string::npos) return {};
            std::string value = dump.Out.substr(at + 9, dump.Out.find('\n', at) - at - 9);
            while (!value.empty() && (value.back() == ',' || value.back() == '}' || value.back() == ']'))
                value.pop_back();
            if (value.size() >= 2 && value.front() == '"') value = value.substr(1, value.size() - 2);
            values.push_back(value);
        }
        return values;
    };
    uint64_t checked = 0, lost = 0, wrong = 0;
    std::vector<int64_t> held(plant.size(), 0);  // the most each node's value was seen to hold in the files
    // Node k's count from a value, checked against what the files held.
    auto judge = [&](size_t k, const std::string& value, const std::string& where) -> int64_t {
        const int64_t count = countOf(k, value);
        ++checked;
        if (count < 0) {
            ++wrong;
            ADD_FAILURE() << where << ": " << plant[k] << " holds " << value;
        } else if (count < held[k]) {
            ++lost;
            ADD_FAILURE() << where << ": " << plant[k] << " holds " << value << ", the files held count " << held[k];
        }
        return count;
    };

    std::mt19937 random(std::random_device{}());
    const std::string dir = RetainFile().substr(0, RetainFile().size() - std::string("OvRetain.bin").size());
    const int kills = Iterations();
    int byMoment[5] = {};  // kills at each moment
    for (int i = 0; i <= kills; ++i) {
        SCOPED_TRACE("kill " + std::to_string(i));
        DestroyAndAttachAgain();
        if (i % 2 == 1) {
            Ovnode({"create", "Flip.Node", "7"});
            Ovnode({"set", "Flip.Node", "3000000000"});  // no plant node's pattern
        }
        for (const std::string& name : plant)
            Ovnode({"create", name, isText(name) ? "12" : "7", isText(name) ? "32" : "4"});
        for (const char* setting : {"AutoRun", "AutoLoad", "Migrate", "UseBackup"}) Create(setting, "1", "1");
        Create("Journal", "7", "100");
        // Moments 0 and 1 are random, while the client counts and in
        // start-up; moment 2 holds the third rename of a retain file into
        // place (the first may be the migration's, the second the save that
        // starts the journal after the load), moment 3 the second new
        // journal's, and moment 4 the migration's (the run before saved the
        // other layout's file: it ended in a held save or fold).
        const int moment = i < kills ? i % 5 : 0;
        const bool counting = moment != 1 && moment != 4;
        const bool hadFile = ovtest::FileExists(RetainFile());
        const std::string temp = dir + (moment == 3 ? "OvRetain.journal.tmp" : "OvRetain.bin.tmp");
        std::remove((dir + "OvRetain.journal.tmp").c_str());
        std::remove((dir + "OvRetain.bin.tmp").c_str());
        ovtest::HoldPoint hold("rename", temp.substr(dir.size()), moment == 2 ? 3 : moment == 3 ? 2 : 1);
        extraEnv_.erase("OVRT_HOLD");
        if (moment >= 2) extraEnv_["OVRT_HOLD"] = hold.Setting();
        // Catalogued only: moment 4 holds the start-up check itself.
        Start();
        ASSERT_TRUE(ovtest::WaitUntil([&] { return Started(); })) << service_->Output();
        std::vector<int64_t> counts(plant.size(), 0);
        if (counting && hadFile) {
            // The values come back before the client writes.
            ASSERT_TRUE(ovtest::WaitUntil([&] {
                const std::string status = ovtest::Ovnode(active_, {"status", "--json"}).Out;
                return status.find("\"autoload\": {\"outcome\": \"none\"") == std::string::npos &&
                       status.find("\"autoload\": {\"outcome\": ") != std::string::npos;
            })) << service_->Output();
            for (size_t k = 0; k < plant.size(); ++k)
                counts[k] = judge(k, ovtest::OvnodeGet(active_, plant[k]), "after the restart");
        }
        if (HasFatalFailure()) return;
        if (i == kills) break;

        std::atomic<bool> running{counting};
        std::vector<std::atomic<int64_t>> seen(plant.size());
        for (auto& s : seen) s = 0;
        std::thread client, watcher;
        if (counting) {
            client = std::thread([&, n = static_cast<uint32_t>(std::max<int64_t>(
                                         0, *std::max_element(counts.begin(), counts.end())))]() mutable {
                auto next = std::chrono::steady_clock::now();
                while (running.load()) {
                    written = std::max(written.load(), ++n);
                    for (size_t k = 0; k < plant.size(); ++k) {
                        if (isText(plant[k])) {
                            const std::string text = plant[k] + " " + std::to_string(n);
                            NodeWriteByName(plant[k].c_str(), text.c_str(), static_cast<uint16_t>(text.size() + 1));
                        } else {
                            const uint32_t value = base(k) + n;
                            NodeWriteByName(plant[k].c_str(), &value, 4);
                        }
                    }
                    next += 10ms;
                    std::this_thread::sleep_until(next);
                }
            });
            watcher = std::thread([&] {
                std::vector<bool> reported(plant.size());  // each node's first wrong value of the run
                while (running.load()) {
                    const std::vector<std::string> values = dumped();
                    for (size_t k = 0; k < values.size(); ++k) {
                        const int64_t count = countOf(k, values[k]);
                        if (count < 0 && !reported[k]) {
                            reported[k] = true;
                            ++wrong;
                            ADD_FAILURE() << "the files: " << plant[k] << " holds " << values[k];
                        }
                        seen[k] = std::max(seen[k].load(), count);
                    }
                }
            });
        }
        if (moment == 1) {
            std::this_thread::sleep_for(std::chrono::microseconds(random() % 100000));
        } else if (moment == 0) {
            // The files hold a count of this run, then a random moment.
            std::this_thread::sleep_for(std::chrono::milliseconds(random() % 500));
            const int64_t mark = written.load() + 1;
            EXPECT_TRUE(ovtest::WaitUntil(
                [&] { return std::all_of(seen.begin(), seen.end(), [&](auto& s) { return s.load() >= mark; }); }, 60s))
                << service_->Output();
            std::this_thread::sleep_for(std::chrono::milliseconds(random() % 500));
        } else {
            ASSERT_TRUE(hold.Reached(60s)) << service_->Output();
        }
        service_->Signal(SIGKILL);
        EXPECT_EQ(service_->Wait(), 128 + SIGKILL);
        running = false;
        if (client.joinable()) client.join();
        if (watcher.joinable()) watcher.join();
        if (moment >= 2) {
            // Held at the rename: the temporary file waits to go in place.
            EXPECT_TRUE(ovtest::FileExists(temp));
        }
        if (moment == 4) {
            // ...in the start-up check, after it kept the file aside and
            // before the migration ended.
            auto logged = [&](const std::string& start) {
                const std::vector<LogLine> log = Log();
                return std::any_of(log.begin(), log.end(),
                                   [&](const LogLine& l) { return l.Text.rfind(start, 0) == 0; });
            };
            EXPECT_TRUE(logged("Retained file kept as ")) << service_->Output();
            EXPECT_FALSE(logged("Retained file migrated") || logged("Retained file not migrated"))
                << service_->Output();
        }
        ++byMoment[moment];
        // The files after the kill hold all they were seen to hold.
        for (size_t k = 0; k < plant.size(); ++k) held[k] = std::max(held[k], seen[k].load());
        const std::vector<std::string> values = dumped();
        ASSERT_EQ(values.size(), plant.size());
        for (size_t k = 0; k < plant.size(); ++k)
            held[k] = std::max(held[k], judge(k, values[k], "the files after the kill"));
        if (HasFatalFailure()) return;
    }
    extraEnv_.erase("OVRT_HOLD");
    EXPECT_EQ(Stop(), 0) << service_->Output();
    std::printf(
        "%d kills (%d at random moments, %d of them in start-up; %d inside a save, %d inside a fold, %d inside a "
        "migration): %llu values checked, %llu lost, %llu in a wrong node\n",
        kills, byMoment[0] + byMoment[1], byMoment[1], byMoment[2], byMoment[3], byMoment[4],
        static_cast<unsigned long long>(checked), static_cast<unsigned long long>(lost),
        static_cast<unsigned long long>(wrong));
    RecordProperty("ValuesLost", static_cast<int>(lost));
    RecordProperty("ValuesInAWrongNode", static_cast<int>(wrong));
}

// Every start in a new layout (one node more), so that the first save of each
// run writes a new layout record; killed within 60 ms of that save's start
// (data, record, rename). Afterwards
// every retain file present - current, backup, set aside - has a record that
// verifies and describes it (retain-restore --dry-run refuses anything else).
TEST_P(CrashTest, KilledWhileWritingANewLayoutRecordLeavesEveryFileARecord) {
    const int useBackup = GetParam();
    for (int b = 0; b < kBlocks; ++b)
        Ovnode({"create", "Crash.Block" + std::to_string(b), "13", std::to_string(kBlockSize)});
    Create("UseBackup", "1", std::to_string(useBackup));
    std::mt19937 random(std::random_device{}());
    const std::string temp = RetainFile() + ".tmp";
    const std::string dir = RetainFile().substr(0, RetainFile().size() - std::string("OvRetain.bin").size());
    const int iterations = std::max(4, Iterations() / 2);
    // One complete save first: a kill may land before any later save ends
    // (a slow build), and each run must still find a file to set aside.
    StartAndWait();
    ASSERT_EQ(Stop(), 0) << service_->Output();
    Set("Run", "1");  // the stop left it 0, and saves wait for it
    size_t checked = 0;
    for (int i = 0; i < iterations; ++i) {
        SCOPED_TRACE("kill " + std::to_string(i));
        Ovnode({"create", "Crash.Layout" + std::to_string(i), "7"});
        std::remove(temp.c_str());
        StartAndWait();
        KillWhileSaving([&] {
            WaitForTemporaryFile(temp);
            std::this_thread::sleep_for(std::chrono::microseconds(random() % 60000));
        });

        std::vector<std::string> files;
        for (const auto& entry : std::filesystem::directory_iterator(dir)) {
            const std::string name = entry.path().filename();
            if (name == "OvRetain.bin" || name == "OvRetain.$$$" ||
                (name.size() > 4 && name.compare(name.size() - 4, 4, ".old") == 0))
                files.push_back(entry.path());
        }
        for (const std::string& file : files) {
            auto check = ovtest::Ovnode(active_, {"retain-restore", file, "--dry-run"});
            EXPECT_EQ(check.Status, 0) << file << ": " << check.Err;
        }
        checked += files.size();
        if (HasFailure()) return;
    }
    EXPECT_GE(checked, static_cast<size_t>(iterations - 1)) << "each run after the first sets a file aside";
}

INSTANTIATE_TEST_SUITE_P(Crash, CrashTest, ::testing::Values(0, 1), [](const ::testing::TestParamInfo<int>& info) {
    return info.param ? std::string("WithBackup") : std::string("WithoutBackup");
});

}  // namespace
}  // namespace svctest
