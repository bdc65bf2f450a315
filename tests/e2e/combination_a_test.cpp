// The protections together, as a plant lives: reboots (the node space
// destroyed and built again from the same layout), layout changes, damage,
// the journal, the backup and a full disk, two or three at once, against
// the real ovretain and ovnode. Each row compares the values the service
// gives back with what the files held durably before (read with ovnode
// retain-dump --journal while the service ran, or kept byte for byte), and
// checks the exit status.
#include <signal.h>

#include <filesystem>
#include <string>
#include <tuple>
#include <vector>

#include "e2e/service_e2e.h"

namespace svctest {
namespace {

using Settings = std::vector<std::tuple<std::string, std::string, std::string>>;

class Combination;
struct Row {
    const char* Name;
    void (Combination::*Run)();
};

class Combination : public ServiceTest, public ::testing::WithParamInterface<Row> {
public:
    // Rows.
    void KeepingAsideFailsOnAFullDiskWithoutLinks();
    void AJournalGoesWithTheFileKeptAside();
    void AMigrationTakesTheJournalAlong();
    void ADamagedJournalIsReportedAndKept();
    void RebootsWithoutALoadKeepTheValues();
    void ABackupLoadIsProtectedLikeAnyLoad();
    void AddingASettingCostsNoValue();
    void ARestartOnTheSurvivingNodeSpaceSavesAtOnce();

protected:
    std::string Dir() const { return drives_.Path() + "/C/Orvale/"; }
    std::string Journal() const { return Dir() + "OvRetain.journal"; }
    // The plant (Plant.Speed 1234, Plant.Name "pump", and 4 kB of recipe that
    // keep the journal from outgrowing the file at once), `extra` more plant
    // nodes (program changes), AutoRun 1 and the settings, in order.
    void Build(const Settings& settings, int extra = 0) {
        CreatePlant();
        Ovnode({"create", "Plant.Recipe", "13", "4096"});
        for (int i = 0; i < extra; ++i) Ovnode({"create", "Plant.Extra" + (i ? std::to_string(i) : ""), "7"});
        Create("AutoRun", "1", "1");
        for (const auto& [name, type, value] : settings) Create(name, type, value);
    }
    void Reboot(const Settings& settings, int extra = 0) {
        DestroyAndAttachAgain();
        Build(settings, extra);
    }
    void Kill() {
        service_->Signal(SIGKILL);
        service_->Wait();
    }
    unsigned long Live() const {
        const std::string v = Get("Live");
        return v.empty() ? 0ul : std::stoul(v);
    }
    void Polls(unsigned long n) {
        const unsigned long from = Live();
        ASSERT_TRUE(ovtest::WaitUntil([&] { return Live() >= from + n; })) << service_->Output();
    }
    void Save() {
        auto r = ovtest::Ovnode(active_, {"save", "--wait"});
        ASSERT_EQ(r.Status, 0) << r.Out << r.Err << service_->Output();
    }
    // Sets a plant node and waits until the retain file and its journal
    // hold the value durably: what a load would give, read by ovnode.
    void SetDurably(const std::string& node, const std::string& value) {
        Ovnode({"set", node, value});
        const bool text = node == "Plant.Name";
        const std::string wanted = "\"name\": \"" + node + "\", \"type\": " + (text ? "12" : "7") +
                                   ", \"size\": " + (text ? "16" : "4") +
                                   ", \"value\": " + (text ? "\"" + value + "\"" : value) + "}";
        ASSERT_TRUE(ovtest::WaitUntil([&] {
            return ovtest::Ovnode(active_, {"retain-dump", "--journal", "--json", RetainFile()}).Out.find(wanted) !=
                   std::string::npos;
        })) << wanted
            << "\n"
            << ovtest::Ovnode(active_, {"retain-dump", "--journal", RetainFile()}).Out << service_->Output();
    }
    // The retain files kept aside (not the journals kept on their own),
    // sorted.
    std::vector<std::string> Kept() const {
        std::vector<std::string> names;
        for (const auto& e : std::filesystem::directory_iterator(Dir())) {
            const std::string n = e.path().filename();
            if (e.path().extension() == ".old" && n.rfind("OvRetain.journal.", 0) != 0) names.push_back(n);
        }
        std::sort(names.begin(), names.end());
        return names;
    }
    bool Logged(const std::string& level, const std::string& start) const {
        for (const LogLine& l : Log())
            if (l.Level == level && l.Text.rfind(start, 0) == 0) return true;
        return false;
    }
    bool AwaitsLoad() const {
        return ovtest::Ovnode(active_, {"status"}).Out.find("awaits its first load") != std::string::npos;
    }
};

// Row 1. A layout change at start-up on a full file system without hard
// links: the file cannot be kept aside, so it is neither removed nor
// replaced, by the check or by any save, nor loaded by AutoLoad into the
// other layout; once the disk has room it is kept.
void Combination::KeepingAsideFailsOnAFullDiskWithoutLinks() {
    const Settings settings = {{"AutoLoad", "1", "1"}};
    Build(settings);
    Ovnode({"set", "Plant.Speed", "777777"});
    StartAndWait();
    Save();
    ASSERT_EQ(Stop(), 0);
    const std::string saved = ovtest::ReadFile(RetainFile());

    Reboot(settings, 1);
    extraEnv_["OVRT_FAULT"] = "link:1:EPERM:sticky,write:1:ENOSPC:sticky";
    StartAndWait();
    ASSERT_TRUE(WaitForLog({"ERR", "Retain file set-aside write failed: No space left on device"}))
        << service_->Output();
    EXPECT_EQ(ovtest::ReadFile(RetainFile()), saved);
    EXPECT_TRUE(Logged("ERR", "Retained file left as it is: it could not be kept aside first.")) << service_->Output();
    EXPECT_EQ(Plant("Speed"), "1234") << "AutoLoad leaves a file of another layout alone";
    Set("Save", "1");
    ASSERT_TRUE(WaitFor("Save", "0"));
    EXPECT_EQ(Get("SaveCount"), "0");
    EXPECT_EQ(Stop(), 1) << "the stop's save failed";
    EXPECT_EQ(ovtest::ReadFile(RetainFile()), saved);
    EXPECT_TRUE(Kept().empty());

    extraEnv_.erase("OVRT_FAULT");
    StartAndWait();
    EXPECT_EQ(Stop(), 0);
    const std::vector<std::string> kept = Kept();
    ASSERT_EQ(kept.size(), 1u) << service_->Output();
    EXPECT_EQ(ovtest::ReadFile(Dir() + kept[0]), saved);
    Ovnode({"retain-restore", Dir() + kept[0]});
    EXPECT_EQ(Plant("Speed"), "777777");
}

// Row 2a. Changes appended to the journal, SIGKILL, a reboot and a save
// before any load: the file goes aside with its journal, and nothing is
// written before then (several journal periods leave both as they were).
void Combination::AJournalGoesWithTheFileKeptAside() {
    const Settings settings = {{"Journal", "7", "100"}};
    Build(settings);
    StartAndWait();
    Ovnode({"set", "Plant.Speed", "1111"});
    Save();
    SetDurably("Plant.Speed", "2222");
    SetDurably("Plant.Name", "valve");
    Kill();
    const std::string file = ovtest::ReadFile(RetainFile()), journal = ovtest::ReadFile(Journal());

    Reboot(settings);
    StartAndWait();
    Polls(10);
    EXPECT_EQ(ovtest::ReadFile(RetainFile()), file) << "nothing saved before the first load";
    EXPECT_EQ(ovtest::ReadFile(Journal()), journal) << "nothing appended before the first load";
    Save();
    EXPECT_EQ(Stop(), 0);
    const std::vector<std::string> kept = Kept();
    ASSERT_EQ(kept.size(), 1u) << service_->Output();
    EXPECT_EQ(ovtest::ReadFile(Dir() + kept[0]), file);
    EXPECT_EQ(ovtest::ReadFile(Dir() + kept[0] + ".journal"), journal);
    EXPECT_TRUE(Logged("WRN", "Journal OvRetain.journal kept with it as ")) << service_->Output();
    const std::string dump = ovtest::Ovnode(active_, {"retain-dump", "--journal", "--json", Dir() + kept[0]}).Out;
    EXPECT_NE(dump.find("\"name\": \"Plant.Speed\", \"type\": 7, \"size\": 4, \"value\": 2222}"), std::string::npos)
        << dump;
    auto restored = ovtest::Ovnode(active_, {"retain-restore", "--dry-run", "--json", Dir() + kept[0]});
    EXPECT_TRUE(ovtest::IsJson(restored.Out)) << restored.Out;
    EXPECT_NE(restored.Out.find("\"journal\": {\"name\": \"" + kept[0] + ".journal\", \"groups\": "), std::string::npos)
        << restored.Out;
    EXPECT_NE(restored.Out.find("\"dry_run\": true, \"written\": 0, "), std::string::npos) << restored.Out;
    restored = ovtest::Ovnode(active_, {"retain-restore", Dir() + kept[0]});
    ASSERT_EQ(restored.Status, 0) << restored.Err;
    EXPECT_NE(restored.Out.find("journal " + kept[0] + ".journal: "), std::string::npos) << restored.Out;
    EXPECT_EQ(Plant("Speed"), "2222");
    EXPECT_EQ(Plant("Name"), "valve");
}

// Row 2b. The same across a program change with AutoLoad and Migrate: the
// migration folds the journal in, and AutoLoad gives its values.
void Combination::AMigrationTakesTheJournalAlong() {
    const Settings settings = {{"Journal", "7", "100"}, {"AutoLoad", "1", "1"}, {"Migrate", "1", "1"}};
    Build(settings);
    StartAndWait();
    Ovnode({"set", "Plant.Speed", "1111"});
    Save();
    SetDurably("Plant.Speed", "2222");
    SetDurably("Plant.Name", "valve");
    Kill();

    Reboot(settings, 1);
    StartAndWait();
    Polls(1);
    EXPECT_EQ(Plant("Speed"), "2222") << service_->Output();
    EXPECT_EQ(Plant("Name"), "valve");
    EXPECT_FALSE(Logged("WRN", "Journal OvRetain.journal does not extend")) << service_->Output();
    EXPECT_EQ(Stop(), 0);
}

// Row 8. A bit flipped in a journal group with whole groups after it: one
// "WRN" line names the journal, the groups before the damage are applied,
// and the journal is kept byte for byte; a second one is kept beside the
// first.
void Combination::ADamagedJournalIsReportedAndKept() {
    const Settings settings = {{"Journal", "7", "100"}, {"AutoLoad", "1", "1"}};
    Build(settings);
    std::vector<std::string> damaged;
    for (const char* round : {"1", "2"}) {
        SCOPED_TRACE(round);
        StartAndWait();
        Save();
        SetDurably("Plant.Speed", "2222");
        SetDurably("Plant.Name", "valve");
        SetDurably("Plant.Speed", "3333");
        Kill();
        std::string journal = ovtest::ReadFile(Journal());
        const size_t at = journal.find("valve");
        ASSERT_NE(at, std::string::npos);
        journal[at] ^= 0x20;
        ovtest::WriteFile(Journal(), journal);
        damaged.push_back(journal);

        Reboot(settings);
        StartAndWait();
        const std::string aside = std::string("OvRetain.journal.") + round + ".old";
        ASSERT_TRUE(ovtest::WaitUntil([&] {
            for (const LogLine& l : Log())
                if (l.Level == "WRN" && l.Text.rfind("Journal OvRetain.journal is damaged after group ", 0) == 0 &&
                    l.Text.find("; kept as " + aside) != std::string::npos)
                    return true;
            return false;
        })) << service_->Output();
        EXPECT_EQ(Plant("Speed"), "2222") << "the groups before the damage";
        EXPECT_EQ(Plant("Name"), "pump");
        EXPECT_EQ(Stop(), 0);
    }
    EXPECT_EQ(ovtest::ReadFile(Dir() + "OvRetain.journal.1.old"), damaged[0]);
    EXPECT_EQ(ovtest::ReadFile(Dir() + "OvRetain.journal.2.old"), damaged[1]);
}

// Rows 3 and 13. Nine reboots, each started and stopped without a load: the
// saves from defaults differ only in the service's own counters, so none is
// kept, and the one copy of the real values is never pruned, not even when
// copies written from defaults that differ pile up; nor by program changes
// without a migration, with the backup on.
void Combination::RebootsWithoutALoadKeepTheValues() {
    Build({});
    Ovnode({"set", "Plant.Speed", "777777"});
    StartAndWait();
    Save();
    ASSERT_EQ(Stop(), 0);
    const std::string values = ovtest::ReadFile(RetainFile());
    // Each run saves as many times as its number: every file differs from
    // the others in SaveCount.
    for (int reboot = 1; reboot <= 9; ++reboot) {
        SCOPED_TRACE(reboot);
        Reboot({});
        StartAndWait();
        for (int save = 0; save < reboot; ++save) Save();
        ASSERT_EQ(Stop(), 0);
    }
    const std::vector<std::string> kept = Kept();
    ASSERT_EQ(kept.size(), 1u);
    EXPECT_EQ(ovtest::ReadFile(Dir() + kept[0]), values);
    // Nine more, in which the control program writes a value of its own at
    // each boot, still without a load: every stop keeps the copy before it,
    // and pruning removes copies written from defaults before the values.
    for (int reboot = 1; reboot <= 9; ++reboot) {
        SCOPED_TRACE(reboot);
        Reboot({});
        StartAndWait();
        Ovnode({"set", "Plant.Name", "boot " + std::to_string(reboot)});
        ASSERT_EQ(Stop(), 0);
    }
    EXPECT_EQ(Kept().size(), 8u);
    EXPECT_EQ(Kept()[0], kept[0]);
    EXPECT_EQ(ovtest::ReadFile(Dir() + kept[0]), values);
    // Nine program changes with the backup on, each run saving the new
    // layout's defaults, then a value of its own, then killed: each change
    // keeps the retain file and the backup (the two differ), all of them
    // saves from defaults.
    for (int change = 1; change <= 9; ++change) {
        SCOPED_TRACE(change);
        Reboot({{"UseBackup", "1", "1"}}, change);
        StartAndWait();
        Save();
        Ovnode({"set", "Plant.Name", "program " + std::to_string(change)});
        Save();
        Kill();
    }
    EXPECT_EQ(Kept()[0], kept[0]) << ::testing::PrintToString(Kept());
    EXPECT_EQ(ovtest::ReadFile(Dir() + kept[0]), values);
    Ovnode({"retain-restore", Dir() + kept[0]});
    EXPECT_EQ(Plant("Speed"), "777777");
}

// Row 4. AutoLoad, UseBackup, AutoSave and Journal; one bit of the retain
// file flipped; a reboot: the backup is loaded, the damaged file kept aside,
// and a change made then survives a SIGKILL.
void Combination::ABackupLoadIsProtectedLikeAnyLoad() {
    const Settings settings = {
        {"AutoLoad", "1", "1"}, {"UseBackup", "1", "1"}, {"AutoSave", "7", "500"}, {"Journal", "7", "100"}};
    Build(settings);
    Ovnode({"set", "Plant.Speed", "777777"});
    // Saved by two stops, so that neither the file nor the backup holds a
    // pending Save trigger (whose save after the load would hide the row).
    for (int stop = 0; stop < 2; ++stop) {
        StartAndWait();
        ASSERT_EQ(Stop(), 0);
    }
    std::string file = ovtest::ReadFile(RetainFile());
    file[file.size() - 1] ^= 1;
    ovtest::WriteFile(RetainFile(), file);

    Reboot(settings);
    StartAndWait();
    Polls(1);
    EXPECT_EQ(Plant("Speed"), "777777") << service_->Output();
    EXPECT_FALSE(AwaitsLoad());
    const std::vector<std::string> kept = Kept();
    ASSERT_EQ(kept.size(), 1u) << service_->Output() << ::testing::PrintToString(kept);
    EXPECT_EQ(ovtest::ReadFile(Dir() + kept[0]), file);
    SetDurably("Plant.Speed", "999999");
    Kill();
    Reboot(settings);
    StartAndWait();
    Polls(1);
    EXPECT_EQ(Plant("Speed"), "999999") << service_->Output();
    EXPECT_EQ(Stop(), 0);
}

// Row 11. A setting turned on by creating its node under the running
// service, then a restart; then a package upgrade whose start script
// creates AutoLoad: each start migrates the file by name with one "WRN"
// line, and no value is lost.
void Combination::AddingASettingCostsNoValue() {
    Build({});
    Ovnode({"set", "Plant.Speed", "777777"});
    StartAndWait();
    Save();
    Create("AutoSave", "7", "500");
    ASSERT_EQ(Stop(), 0);
    StartAndWait();
    const std::string migrated =
        "Retained file migrated by name, as the layout only gained nodes of the service's own: ";
    ASSERT_TRUE(ovtest::WaitUntil([&] { return Logged("WRN", migrated); })) << service_->Output();
    EXPECT_FALSE(Logged("WRN", "Retained file hash code does not match")) << service_->Output();
    EXPECT_FALSE(AwaitsLoad()) << "this node space holds the values";
    Ovnode({"set", "Plant.Speed", "4242"});
    EXPECT_TRUE(ovtest::WaitUntil([&] { return SlotValue(ovtest::ReadFile(RetainFile()), "Plant.Speed") == 4242u; }))
        << service_->Output();
    ASSERT_EQ(Stop(), 0);

    Reboot({{"AutoSave", "7", "500"}, {"AutoLoad", "1", "1"}});
    StartAndWait();
    Polls(1);
    EXPECT_TRUE(Logged("WRN", migrated)) << service_->Output();
    EXPECT_EQ(Plant("Speed"), "4242");
    EXPECT_EQ(Stop(), 0);
}

// A restart on the node space that adopted its file (SIGKILL, start again):
// nothing awaits a load, and autosave runs at once.
void Combination::ARestartOnTheSurvivingNodeSpaceSavesAtOnce() {
    Build({{"AutoSave", "7", "500"}});
    StartAndWait();
    Save();
    Kill();
    StartAndWait();
    EXPECT_FALSE(AwaitsLoad());
    Ovnode({"set", "Plant.Speed", "4242"});
    EXPECT_TRUE(ovtest::WaitUntil([&] { return SlotValue(ovtest::ReadFile(RetainFile()), "Plant.Speed") == 4242u; }))
        << service_->Output();
    EXPECT_EQ(Stop(), 0);
}

TEST_P(Combination, ValuesSurviveAndFailuresAreReported) {
    (this->*GetParam().Run)();
}

const Row kRows[] = {
    {"KeepingAsideFailsOnAFullDiskWithoutLinks", &Combination::KeepingAsideFailsOnAFullDiskWithoutLinks},
    {"AJournalGoesWithTheFileKeptAside", &Combination::AJournalGoesWithTheFileKeptAside},
    {"AMigrationTakesTheJournalAlong", &Combination::AMigrationTakesTheJournalAlong},
    {"ADamagedJournalIsReportedAndKept", &Combination::ADamagedJournalIsReportedAndKept},
    {"RebootsWithoutALoadKeepTheValues", &Combination::RebootsWithoutALoadKeepTheValues},
    {"ABackupLoadIsProtectedLikeAnyLoad", &Combination::ABackupLoadIsProtectedLikeAnyLoad},
    {"AddingASettingCostsNoValue", &Combination::AddingASettingCostsNoValue},
    {"ARestartOnTheSurvivingNodeSpaceSavesAtOnce", &Combination::ARestartOnTheSurvivingNodeSpaceSavesAtOnce},
};

INSTANTIATE_TEST_SUITE_P(Together, Combination, ::testing::ValuesIn(kRows),
                         [](const ::testing::TestParamInfo<Row>& info) { return std::string(info.param.Name); });

}  // namespace
}  // namespace svctest
