// Protections tried together, as a plant lives: a reboot (the node space
// destroyed and built again from the layout, with its defaults) on top of
// a missing, damaged or cut-short check record, a type or size changed
// under the same hash, a copy of a kept file, a second node space in the
// same directory. Each row runs the real executables, compares the nodes'
// values with what a file last held durably, and checks the exit statuses.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "e2e/service_e2e.h"

namespace svctest {
namespace {

// The plant's layout: Speed (type 7, or 4: two bytes), Name (a text) and
// Count (7), in this order; a node added after them changes the hash.
struct Layout {
    std::string SpeedName = "Plant.Speed";
    std::string SpeedType = "7";
    std::string NameSize = "16";
    bool Added = false;
};

class CombinationB;
struct Row {
    const char* Name;
    void (CombinationB::*Run)();
};
std::ostream& operator<<(std::ostream& out, const Row& row) {
    return out << row.Name;
}

class CombinationB : public ServiceTest, public ::testing::WithParamInterface<Row> {
public:
    // Row 5: no check record, one text resized and one type changed under
    // the same names: the file's own record is found by its hash and
    // length, so the file is kept aside, nothing is loaded into the wrong
    // nodes, and retain-restore brings its values back by name.
    void TypeAndSizeChangedWithoutACheckRecord() {
        FirstBoot({}, {{"AutoLoad", "1"}});
        std::filesystem::remove(Dir() + "OvRetain.check");
        Reboot({.SpeedType = "4", .NameSize = "24"}, {{"AutoLoad", "1"}});
        StartAndWait();
        ASSERT_TRUE(WaitForLog({"WRN",
                                "Retained file layout differs under the same hash code: node 0 was type 7 size "
                                "4, is type 4 size 2."}))
            << service_->Output();
        ASSERT_TRUE(Polling()) << service_->Output();
        ExpectPlant("0", "", "0");
        EXPECT_EQ(Get("OutPath"), "C:\\\\Orvale\\\\");  // as get prints it: backslashes escaped
        const std::vector<std::string> kept = Kept();
        ASSERT_EQ(kept.size(), 1u);
        Ovnode({"retain-restore", kept[0]});
        ExpectPlant("0", "pump", "99");  // the type-changed value is not taken
        EXPECT_EQ(Stop(), 0);
    }

    // Row 5b: the layout record deleted, then a text shrunk under the same
    // hash: the check record names a record that is gone, so the file,
    // longer than the table's slots, is not loaded by position; it is kept
    // aside before the stop's save.
    void RecordDeletedAndSizeChanged() {
        FirstBoot({}, {{"AutoLoad", "1"}});
        const std::string saved = ovtest::ReadFile(RetainFile());
        for (const auto& e : std::filesystem::directory_iterator(Dir()))
            if (e.path().extension() == ".layout") std::filesystem::remove(e.path());
        Reboot({.NameSize = "8"}, {{"AutoLoad", "1"}});
        StartAndWait();
        ASSERT_TRUE(Polling()) << service_->Output();
        EXPECT_TRUE(ErrStarting("Retain file not loaded: it is ")) << service_->Output();
        ExpectPlant("0", "", "0");
        EXPECT_EQ(Stop(), 0);
        const std::vector<std::string> kept = Kept();
        ASSERT_EQ(kept.size(), 1u);
        EXPECT_EQ(ovtest::ReadFile(kept[0]), saved);
    }

    // Row 10: a file cut short, no check record: the load fails aloud and
    // changes nothing; after a program change its kept copy still restores
    // the slots it holds.
    void CutShortWithoutACheckRecord() {
        FirstBoot({}, {});
        std::string file = ovtest::ReadFile(RetainFile());
        file.resize(file.size() - 3);
        ovtest::WriteFile(RetainFile(), file);
        std::filesystem::remove(Dir() + "OvRetain.check");
        Reboot({}, {});
        StartAndWait();
        ASSERT_TRUE(Polling()) << service_->Output();
        EXPECT_EQ(ovtest::Ovnode(active_, {"load", "--wait"}).Status, 1);
        EXPECT_TRUE(ErrStarting("Retain file not loaded: none of the 1 layout records of its hash "))
            << service_->Output();
        EXPECT_EQ(Get("LoadCount"), "0");
        ExpectPlant("0", "", "0");
        EXPECT_EQ(Stop(), 0);
        EXPECT_EQ(ovtest::ReadFile(Kept().at(0)), file) << "kept before the stop's save";
        // The retain file lost, then a program change: the cut copy's layout
        // record stays, and its first slots come back by name through it.
        std::filesystem::remove(RetainFile());
        Reboot({.Added = true}, {});
        StartAndWait();
        ASSERT_TRUE(Polling()) << service_->Output();
        EXPECT_EQ(Stop(), 0);
        auto restored = ovtest::Ovnode(active_, {"retain-restore", Kept().at(0)});
        EXPECT_EQ(restored.Status, 0) << restored.Err;
        ExpectPlant("1234", "pump", "99");  // the cut took a slot of the service's own
    }

    // Row 6: the lock file deleted as stale lets a second node space's
    // service start on the directory: the first one's saves and loads then
    // refuse, it ends with status 1, and the file is the second one's.
    // The second node space, with the plant's layout, and the environment
    // its service runs in: the same drive root.
    ovtest::Env SecondNodeSpace(const ovtest::ScopedSpace& other) {
        for (const std::vector<std::string>& line : {std::vector<std::string>{"create", "Plant.Speed", "7"},
                                                     {"create", "Plant.Name", "12", "16"},
                                                     {"create", "Plant.Count", "7"},
                                                     {"create", Full("AutoRun"), "1"},
                                                     {"set", Full("AutoRun"), "1"}})
            EXPECT_EQ(ovtest::Ovnode(other.Name(), line).Status, 0);
        ovtest::Env env = Environment();
        env["OVNODE_SPACE"] = other.Name();
        return env;
    }

    void ClaimLostToASecondNodeSpace() {
        FirstBoot({}, {});
        StartAndWait();
        ASSERT_TRUE(Polling()) << service_->Output();
        ovtest::ScopedSpace other;
        const ovtest::Env env = SecondNodeSpace(other);
        {
            ovtest::Child refused({OVRETAIN_BIN}, env);
            EXPECT_EQ(refused.Wait(), 1) << refused.Output();
        }
        ASSERT_TRUE(std::filesystem::remove(Dir() + "OvRetain.lock"));
        ovtest::Child second({OVRETAIN_BIN}, env);
        ASSERT_TRUE(ovtest::WaitUntil([&] {
            const std::string live = ovtest::OvnodeGet(other.Name(), Full("Live"));
            return !live.empty() && live != "0";
        })) << second.Output();
        ASSERT_EQ(ovtest::Ovnode(other.Name(), {"set", "Plant.Count", "555"}).Status, 0);
        ASSERT_EQ(ovtest::Ovnode(other.Name(), {"save", "--wait"}).Status, 0) << second.Output();
        const std::string theirs = ovtest::ReadFile(RetainFile());

        Ovnode({"set", "Plant.Count", "77"});
        EXPECT_EQ(ovtest::Ovnode(active_, {"save", "--wait"}).Status, 1);
        EXPECT_EQ(ovtest::Ovnode(active_, {"load", "--wait"}).Status, 1);
        const std::string holder = "the retain directory is used by process " + std::to_string(second.Pid()) + ".";
        EXPECT_EQ(Count({"ERR", "Retain file save failed: " + holder}), 1u) << service_->Output();
        EXPECT_EQ(Count({"ERR", "Retain file load failed: " + holder}), 1u) << service_->Output();
        EXPECT_EQ(Plant("Count"), "77");
        EXPECT_EQ(Stop(), 1) << "the stop's save fails";
        EXPECT_EQ(ovtest::ReadFile(RetainFile()), theirs);
        EXPECT_EQ(SlotValue(theirs, "Plant.Count"), 555u);
        ASSERT_EQ(ovtest::Ovnode(other.Name(), {"service", "stop"}).Status, 0);
        EXPECT_EQ(second.Wait(), 0) << second.Output();
    }

    // Row 6b: the directory was not there when the first service started;
    // a second node space's service made it, saved and ended: the first one
    // neither loads nor replaces what it wrote.
    void DirectoryMadeAfterStartBySecondNodeSpace() {
        FirstBoot({}, {});
        std::filesystem::remove_all(Dir());
        StartAndWait();
        ASSERT_TRUE(Polling()) << service_->Output();
        ovtest::ScopedSpace other;
        ovtest::Child second({OVRETAIN_BIN}, SecondNodeSpace(other));
        ASSERT_TRUE(ovtest::WaitUntil([&] {
            const std::string live = ovtest::OvnodeGet(other.Name(), Full("Live"));
            return !live.empty() && live != "0";
        })) << second.Output();
        ASSERT_EQ(ovtest::Ovnode(other.Name(), {"set", "Plant.Count", "555"}).Status, 0);
        ASSERT_EQ(ovtest::Ovnode(other.Name(), {"service", "stop", "--wait"}).Status, 0) << second.Output();
        EXPECT_EQ(second.Wait(), 0) << second.Output();
        const std::string theirs = ovtest::ReadFile(RetainFile()), mine = Plant("Count");
        EXPECT_EQ(ovtest::Ovnode(active_, {"load", "--wait"}).Status, 1);
        const std::string holder = "the retain directory is used by process " + std::to_string(second.Pid()) + ".";
        EXPECT_EQ(Count({"ERR", "Retain file load failed: " + holder}), 1u) << service_->Output();
        EXPECT_EQ(Plant("Count"), mine);
        EXPECT_EQ(Stop(), 1) << "the stop's save fails";
        EXPECT_EQ(ovtest::ReadFile(RetainFile()), theirs);
    }

    // Row 7: no check record, a layout change at start-up: the file kept
    // aside keeps its layout record, and retain-restore of it works.
    void KeptWithoutACheckRecordKeepsItsRecord() {
        FirstBoot({}, {});
        std::filesystem::remove(Dir() + "OvRetain.check");
        Reboot({.Added = true}, {});
        StartAndWait();
        ASSERT_TRUE(Polling()) << service_->Output();
        EXPECT_EQ(Stop(), 0);
        const std::vector<std::string> kept = Kept();
        ASSERT_EQ(kept.size(), 1u);
        ExpectPlant("0", "", "0");
        auto restored = ovtest::Ovnode(active_, {"retain-restore", kept[0]});
        EXPECT_EQ(restored.Status, 0) << restored.Err;
        ExpectPlant("1234", "pump", "99");
    }

    // Row 12: a damaged check record refuses no good file: AutoLoad loads it,
    // and one "WRN" line says the record was written anew.
    void DamagedCheckRecord() {
        FirstBoot({}, {{"AutoLoad", "1"}});
        std::string check = ovtest::ReadFile(Dir() + "OvRetain.check");
        check[20] ^= 0x10;
        ovtest::WriteFile(Dir() + "OvRetain.check", check);
        Reboot({}, {{"AutoLoad", "1"}});
        StartAndWait();
        ASSERT_TRUE(Polling()) << service_->Output();
        ASSERT_TRUE(
            WaitForLog({"WRN",
                        "Check record OvRetain.check is damaged: written anew for the 1 files its layout records "
                        "describe."}))
            << service_->Output();
        ExpectPlant("1234", "pump", "99");
        EXPECT_EQ(Stop(), 0);
    }

    // Row 9: a kept file copied by hand under another name is read through
    // the record of its hash and length, or one named with --layout.
    void CopyUnderAnotherName() {
        FirstBoot({}, {});
        Reboot({.Added = true}, {});
        StartAndWait();
        ASSERT_TRUE(Polling()) << service_->Output();
        EXPECT_EQ(ovtest::Ovnode(active_, {"save", "--wait"}).Status, 0);
        EXPECT_EQ(Stop(), 0);
        const std::vector<std::string> kept = Kept();
        ASSERT_EQ(kept.size(), 1u);
        const std::string copy = Dir() + "copy.bin";
        std::filesystem::copy_file(kept[0], copy);
        auto dump = ovtest::Ovnode(active_, {"retain-dump", copy});
        EXPECT_EQ(dump.Status, 0) << dump.Err;
        EXPECT_NE(dump.Out.find("layout record "), std::string::npos) << dump.Out;
        auto diff = ovtest::Ovnode(active_, {"retain-diff", copy, kept[0]});
        EXPECT_EQ(diff.Status, 0) << diff.Err << diff.Out;
        auto restored = ovtest::Ovnode(active_, {"retain-restore", copy});
        EXPECT_EQ(restored.Status, 0) << restored.Err;
        ExpectPlant("1234", "pump", "99");

        // Away from its records: only a record named with --layout reads it.
        ovtest::TempDir away;
        const std::string alone = away.Path() + "/copy.bin";
        std::filesystem::copy_file(kept[0], alone);
        Ovnode({"set", "Plant.Count", "0"});
        EXPECT_EQ(ovtest::Ovnode(active_, {"retain-restore", alone}).Status, 1);
        std::string record;
        for (const auto& e : std::filesystem::directory_iterator(Dir()))
            if (e.path().extension() == ".layout" &&
                e.path().filename().string().compare(9, 8, kept[0].substr(kept[0].size() - 21, 8)) == 0)
                record = e.path();
        ASSERT_FALSE(record.empty());
        auto named = ovtest::Ovnode(active_, {"retain-restore", alone, "--layout", record});
        EXPECT_EQ(named.Status, 0) << named.Err;
        EXPECT_EQ(Plant("Count"), "99");
    }

    // A rename to a longer name at the same place (Plant.Speed to
    // Plant.SpeedMax) with Migrate: the renamed node keeps its own value,
    // every other plant value moves.
    void RenamedToALongerNameWithMigrate() {
        FirstBoot({}, {});
        Reboot({.SpeedName = "Plant.SpeedMax"}, {{"Migrate", "1"}});
        StartAndWait();
        ASSERT_TRUE(Polling()) << service_->Output();
        ASSERT_TRUE(ovtest::WaitUntil([&] {
            return Log().size() > 0 && Count({"WRN", MigratedLine()}) == 1;
        })) << service_->Output();
        EXPECT_EQ(ovtest::Ovnode(active_, {"load", "--wait"}).Status, 0);
        EXPECT_EQ(ovtest::OvnodeGet(active_, "Plant.SpeedMax"), "0");
        EXPECT_EQ(Plant("Name"), "pump");
        EXPECT_EQ(Plant("Count"), "99");
        EXPECT_EQ(Stop(), 0);
    }

protected:
    std::string Dir() const { return drives_.Path() + "/C/Orvale/"; }
    void Build(const Layout& layout, const std::vector<std::pair<std::string, std::string>>& settings) {
        Ovnode({"create", layout.SpeedName, layout.SpeedType});
        Ovnode({"create", "Plant.Name", "12", layout.NameSize});
        Ovnode({"create", "Plant.Count", "7"});
        if (layout.Added) Ovnode({"create", "Plant.Added", "7"});
        Create("AutoRun", "1", "1");
        for (const auto& [name, value] : settings) Create(name, "1", value);
    }
    // The node space destroyed and built again from the layout.
    void Reboot(const Layout& layout, const std::vector<std::pair<std::string, std::string>>& settings) {
        DestroyAndAttachAgain();
        Build(layout, settings);
    }
    // The plant's values saved durably by a stop: Speed 1234, Name pump,
    // Count 99.
    void FirstBoot(const Layout& layout, const std::vector<std::pair<std::string, std::string>>& settings) {
        Build(layout, settings);
        StartAndWait();
        ASSERT_TRUE(Polling()) << service_->Output();
        Ovnode({"set", layout.SpeedName, "1234"});
        Ovnode({"set", "Plant.Name", "pump"});
        Ovnode({"set", "Plant.Count", "99"});
        ASSERT_EQ(Stop(), 0);
        const std::string file = ovtest::ReadFile(RetainFile());
        ASSERT_EQ(SlotValue(file, "Plant.Count"), 99u);
    }
    void ExpectPlant(const std::string& speed, const std::string& name, const std::string& count) const {
        EXPECT_EQ(Plant("Speed"), speed);
        EXPECT_EQ(Plant("Name"), name);
        EXPECT_EQ(Plant("Count"), count);
    }
    // The set-aside files, oldest first.
    std::vector<std::string> Kept() const {
        std::vector<std::string> kept;
        for (const auto& e : std::filesystem::directory_iterator(Dir()))
            if (e.path().extension() == ".old") kept.push_back(e.path());
        std::sort(kept.begin(), kept.end());
        return kept;
    }
    // Live counts: the start-up check and AutoLoad are done.
    bool Polling() const {
        return ovtest::WaitUntil([&] {
            const std::string live = Get("Live");
            return !live.empty() && live != "0";
        });
    }
    bool ErrStarting(const std::string& prefix) const {
        for (const LogLine& l : Log())
            if (l.Level == "ERR" && l.Text.rfind(prefix, 0) == 0) return true;
        return false;
    }
    static std::string MigratedLine() {
        return "Retained file migrated by name: kept 15, resized 0, new 2, dropped 1.";
    }
};

TEST_P(CombinationB, ValuesAreNeverLostNorLoadedIntoTheWrongNode) {
    (this->*GetParam().Run)();
}

const Row kRows[] = {
    {"row5_type_and_size_changed_without_a_check_record", &CombinationB::TypeAndSizeChangedWithoutACheckRecord},
    {"row5b_record_deleted_and_size_changed", &CombinationB::RecordDeletedAndSizeChanged},
    {"row6_claim_lost_to_a_second_node_space", &CombinationB::ClaimLostToASecondNodeSpace},
    {"row6b_directory_made_after_start_by_a_second_node_space",
     &CombinationB::DirectoryMadeAfterStartBySecondNodeSpace},
    {"row7_kept_without_a_check_record_keeps_its_record", &CombinationB::KeptWithoutACheckRecordKeepsItsRecord},
    {"row9_copy_under_another_name", &CombinationB::CopyUnderAnotherName},
    {"row10_cut_short_without_a_check_record", &CombinationB::CutShortWithoutACheckRecord},
    {"row12_damaged_check_record", &CombinationB::DamagedCheckRecord},
    {"renamed_to_a_longer_name_with_Migrate", &CombinationB::RenamedToALongerNameWithMigrate},
};

INSTANTIATE_TEST_SUITE_P(Combination, CombinationB, ::testing::ValuesIn(kRows),
                         [](const ::testing::TestParamInfo<Row>& info) { return std::string(info.param.Name); });

}  // namespace
}  // namespace svctest
