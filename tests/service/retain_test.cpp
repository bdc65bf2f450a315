// Saving and loading the retain file: the exact bytes of a small file, round
// trips, short and odd files, OutPath forms, the backup, and failures
// injected into the file and memory operations.
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "nodespace/nodespace_admin.h"
#include "nodespace/ovhgapi.h"
#include "retain/check_record.h"
#include "retain/journal.h"
#include "retain/layout_hash.h"
#include "retain/layout_record.h"
#include "retain/retain_file.h"
#include "retain/retain_paths.h"
#include "retain/slot_walk.h"
#include "retain/startup_check.h"
#include "stdlib/pfile.h"
#include "stdlib/pmem.h"
#include "support/test_support.h"
#include "variables/variables.h"

namespace {

using ovtest::FileExists;
using ovtest::ReadFile;
using ovtest::ScopedSpace;
using ovtest::TempDir;
using ovtest::WriteFile;

const char kOutPathNode[] = "SERVICE.OvRetain.OutPath";

std::string Bytes(std::initializer_list<int> bytes) {
    std::string s;
    for (int b : bytes) s += static_cast<char>(b);
    return s;
}

class RetainFile : public ::testing::Test {
protected:
    void SetUp() override {
        std::string error;
        ASSERT_TRUE(NodeSpaceAttach(space_.Name(), true, &error)) << error;
        ResetVariablesForTest();
        ResetRetainStateForTest();
        // The retain directory must lie inside the drive root.
        ASSERT_EQ(setenv("OVRT_DRIVES", dir_.Path().c_str(), 1), 0);
    }
    void TearDown() override {
        unsetenv("OVRT_DRIVES");
        PFileClearFaults();
        PMemInjectFault(0);
        ResetRetainStateForTest();
        ResetVariablesForTest();
        NodeSpaceDetach();
    }

    // Publishes the configuration (so UseBackup can be read) and points
    // OutPath at `outPath`, then builds the paths as the start-up does.
    void Configure(const std::string& outPath, uint8_t useBackup = 0) {
        PublishConfiguration();
        ASSERT_EQ(NodeWriteStringByName(kOutPathNode, outPath.c_str()), 0);
        ASSERT_EQ(NodeWriteByName("SERVICE.OvRetain.UseBackup", &useBackup, 1), 0);
        BuildRetainFilePaths();
    }

    static void MakeNumeric(const std::string& name, uint16_t type, uint16_t size, uint64_t value) {
        ASSERT_EQ(NodeCreate(name.c_str(), type, size, "", ""), 0) << name;
        ASSERT_EQ(NodeWriteByName(name.c_str(), &value, std::min<uint16_t>(size, 8)), 0) << name;
    }
    static void MakeBytes(const std::string& name, uint16_t type, const std::string& value) {
        ASSERT_EQ(NodeCreate(name.c_str(), type, static_cast<uint16_t>(value.size()), "", ""), 0) << name;
        ASSERT_EQ(NodeWriteByName(name.c_str(), value.data(), static_cast<uint16_t>(value.size())), 0) << name;
    }
    static void MakeText(const std::string& name, uint16_t size, const std::string& text) {
        char scratch[32];
        uint32_t word = 0;
        ASSERT_EQ(NodeCreateString(name.c_str(), 12, size, "", "", scratch, sizeof scratch, &word), 0) << name;
        ASSERT_EQ(NodeWriteStringByName(name.c_str(), text.c_str()), 0) << name;
    }
    static std::string Value(const std::string& name) {
        uint16_t size = 0;
        NodeGetAttribute(name.c_str(), "Size", &size, 2);
        std::string out(size, '\0');
        NodeReadByName(name.c_str(), out.data(), size);
        return out;
    }
    static std::string Text(const std::string& name) {
        char buffer[256] = {};
        NodeReadStringByName(name.c_str(), buffer, sizeof buffer);
        return buffer;
    }
    static void SetValue(const std::string& name, const std::string& value) {
        ASSERT_EQ(NodeWriteByName(name.c_str(), value.data(), static_cast<uint16_t>(value.size())), 0) << name;
    }

    // A node space of numeric, text and range nodes with values derived from
    // `seed`; returns the names. Node `retyped` (one of every fifth) is
    // signed instead of unsigned, at the same size.
    std::vector<std::string> Populate(int count, int retyped = -1) {
        std::vector<std::string> names;
        for (int i = 0; i < count; ++i) {
            std::string name = "Rt.Node" + std::to_string(i);
            switch (i % 5) {
                case 0:
                    MakeNumeric(name, i == retyped ? 6 : 7, 4, 0);
                    break;
                case 1:
                    MakeNumeric(name, 1, 1, 0);
                    break;
                case 2:
                    MakeText(name, 40, "");
                    break;
                case 3:
                    MakeBytes(name, 13, std::string(10 + i % 7, '\0'));
                    break;
                case 4:
                    MakeBytes(name, 20, std::string(3, '\0'));
                    break;
            }
            names.push_back(name);
        }
        return names;
    }
    static void Fill(const std::vector<std::string>& names, int seed) {
        for (size_t i = 0; i < names.size(); ++i) {
            if (i % 5 == 2) {
                ASSERT_EQ(NodeWriteStringByName(names[i].c_str(), ("text " + std::to_string(seed * 1000 + i)).c_str()),
                          0);
                continue;
            }
            std::string value = Value(names[i]);
            for (size_t k = 0; k < value.size(); ++k) value[k] = static_cast<char>(seed * 31 + i * 7 + k);
            SetValue(names[i], value);
        }
    }
    static std::vector<std::string> Snapshot(const std::vector<std::string>& names) {
        std::vector<std::string> out;
        for (const std::string& name : names) out.push_back(Value(name));
        return out;
    }

    ScopedSpace space_;
    TempDir dir_;
};

// The file of a small node space, byte by byte. OutPath is on drive T:,
// mapped into the test's directory, so that its own slot is a fixed text.
TEST_F(RetainFile, GoldenBytes) {
    ASSERT_EQ(setenv("OVRT_DRIVES", dir_.Path().c_str(), 1), 0);
    MakeText(kOutPathNode, 80, "T:\\g\\");
    MakeNumeric("g.Bool", 1, 1, 1);
    MakeNumeric("g.Dint", 7, 4, 0x12345678);
    MakeText("g.Text", 16, "abc");
    MakeNumeric("g.Empty", 2, 0, 0);
    MakeBytes("g.Range", 13, Bytes({1, 2, 3, 4, 5, 6}));
    MakeNumeric("g.Word", 4, 2, 0xBEEF);
    BuildRetainFilePaths();
    EXPECT_STREQ(GetRetainFilePath(), "T:\\g\\OvRetain.bin");

    ASSERT_EQ(SaveRetainFile(), 1);
    unsetenv("OVRT_DRIVES");

    std::string expected = Bytes({0x33, 0x58, 0x63, 0x29});                     // the fold of the seven names
    expected += "T:\\g\\" + std::string(75, '\0');                              // OutPath, 80 bytes
    expected += Bytes({0x01});                                                  // g.Bool
    expected += Bytes({0x78, 0x56, 0x34, 0x12});                                // g.Dint
    expected += Bytes({'a', 'b', 'c', 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0});  // g.Text, 16 bytes
    expected += Bytes({1, 2, 3, 4, 5, 6});                                      // g.Range; g.Empty has no slot
    expected += Bytes({0xEF, 0xBE});                                            // g.Word
    EXPECT_EQ(ReadFile(dir_.File("T/g/OvRetain.bin")), expected);
    EXPECT_EQ(expected.size(), 4u + 80 + 1 + 4 + 16 + 6 + 2);
    EXPECT_FALSE(FileExists(dir_.File("T/g/OvRetain.bin.tmp")));
}

TEST_F(RetainFile, SaveThenLoadRestoresEveryValue) {
    Configure(dir_.Path() + "/");
    std::vector<std::string> names = Populate(500);
    Fill(names, 1);
    std::vector<std::string> saved = Snapshot(names);
    std::string configuration = Value("SERVICE.OvRetain.Priority");
    ASSERT_EQ(SaveRetainFile(), 1);

    Fill(names, 2);
    ASSERT_NE(Snapshot(names), saved);
    uint32_t priority = 7;
    ASSERT_EQ(NodeWriteByName("SERVICE.OvRetain.Priority", &priority, 4), 0);
    ASSERT_EQ(LoadRetainFile(), 1);
    EXPECT_EQ(Snapshot(names), saved);
    EXPECT_EQ(Text("Rt.Node2"), "text 1002");
    EXPECT_EQ(Value("SERVICE.OvRetain.Priority"), configuration) << "the service's own nodes are saved too";

    // A second load of the same table goes by what the first one proved of it.
    Fill(names, 3);
    saved = Snapshot(names);
    ASSERT_EQ(SaveRetainFile(), 1);
    Fill(names, 4);
    ASSERT_EQ(LoadRetainFile(), 1);
    EXPECT_EQ(Snapshot(names), saved);
}

// A large table is walked by two threads, each writing its own half of the
// file: the same bytes as one walk, whose checksum and shape the two halves'
// combine to. A save then writes the file one walk writes, and it loads.
TEST_F(RetainFile, ALargeTableWalkedInHalvesWritesTheSameFile) {
    Configure(dir_.Path() + "/");
    std::vector<std::string> names = Populate(kHalvesFrom + 101);
    Fill(names, 1);
    const NodeRecord* table = NodeTable();
    const int32_t count = NodeCount();
    uint64_t halfOffset = 0;
    for (int32_t i = 0; i < count / 2; ++i) {
        uint16_t size = 0;
        NodeGetAttribute(table[i].Name, "Size", &size, sizeof size);
        halfOffset += size;
    }
    ASSERT_TRUE(HalfWalkerReady());
    uint32_t shapes[2] = {}, crcs[2] = {};
    for (int halves = 0; halves < 2; ++halves) {
        PDir* dir = PDirOpen(dir_.Path().c_str());
        ASSERT_NE(dir, nullptr);
        PFile* file = PDirCreate(dir, halves ? "halves" : "whole");
        SlotWalk first, second;
        for (SlotWalk* w : {&first, &second}) {
            w->Table = table;
            w->Limit = ~uint64_t{0};
            CrcStreamFlush(&w->Crc);
            w->Crc.File = file;
        }
        first.End = count;
        if (halves) {
            first.End = second.Begin = count / 2;
            second.End = count;
            second.Crc.Positioned = true;
            second.Crc.Offset = halfOffset;
            WalkSlotsInHalves(&first, &second);
        } else {
            WalkSlots(&first);
        }
        EXPECT_EQ(first.Failed, nullptr);
        EXPECT_EQ(second.Failed, nullptr);
        EXPECT_TRUE(PFileClose(file));
        PDirClose(dir);
        shapes[halves] = first.Shape + second.Shape;
        crcs[halves] = halves ? Crc32cCombine(first.Crc.Crc, second.Crc.Crc, second.Crc.Length) : first.Crc.Crc;
    }
    const std::string whole = ReadFile(dir_.File("whole"));
    EXPECT_EQ(ReadFile(dir_.File("halves")), whole);
    EXPECT_EQ(crcs[1], crcs[0]);
    EXPECT_EQ(crcs[0], Crc32c(0, whole.data(), whole.size()));
    EXPECT_EQ(shapes[1], shapes[0]);

    // The first save remembers the record, the second walks in halves.
    ASSERT_EQ(SaveRetainFile(), 1);
    EXPECT_EQ(ReadFile(dir_.File("OvRetain.bin")).substr(4), whole);
    Fill(names, 2);
    const std::vector<std::string> values = Snapshot(names);
    ASSERT_EQ(SaveRetainFile(), 1);
    Fill(names, 3);
    ASSERT_EQ(LoadRetainFile(), 1) << "the check record vouches for it";
    EXPECT_EQ(Snapshot(names), values);

    // A later load goes by the first one's proof, each chunk checked before
    // it is written. A type changed in place since stops it at that chunk
    // and sends the load by name, which leaves the node alone.
    Fill(names, 3);
    ASSERT_EQ(LoadRetainFile(), 1);
    EXPECT_EQ(Snapshot(names), values);
    NodeRecord& late = NodeTable()[count - 7];
    const size_t k = std::find(names.begin(), names.end(), std::string(late.Name)) - names.begin();
    ASSERT_LT(k, names.size());
    Fill(names, 3);
    std::vector<std::string> expected = values;
    expected[k] = Snapshot(names)[k];
    const uint16_t type = late.Type;
    late.Type = type == 7 ? 8 : 7;
    ASSERT_EQ(LoadRetainFile(), 1);
    late.Type = type;
    EXPECT_EQ(Snapshot(names), expected);

    // A table of the same hash, count and sizes under the remembered record,
    // one type changed in the second half: the halves' shapes do not add up
    // to the record's, so the save writes the table's own record in place
    // of the remembered one, and the file loads by it.
    const auto records = [&] {
        std::vector<std::string> found;
        for (const auto& e : std::filesystem::directory_iterator(dir_.Path()))
            if (e.path().extension() == ".layout") found.push_back(e.path().filename());
        return found;
    };
    const std::vector<std::string> before = records();
    ScopedSpace other;
    NodeSpaceDetach();
    std::string error;
    ASSERT_TRUE(NodeSpaceAttach(other.Name(), true, &error)) << error;
    Configure(dir_.Path() + "/");
    ASSERT_EQ((kHalvesFrom + 1) % 5, 0);
    names = Populate(kHalvesFrom + 101, kHalvesFrom + 1);
    Fill(names, 4);
    const std::vector<std::string> retyped = Snapshot(names);
    ASSERT_EQ(SaveRetainFile(), 1);
    EXPECT_NE(records(), before);
    ResetLayoutRecordForTest();
    Fill(names, 5);
    ASSERT_EQ(LoadRetainFile(), 1);
    EXPECT_EQ(Snapshot(names), retyped);
}

// A file that no check record lists, cut short or longer: its layout
// record is found by its hash and length, and slots are never taken by
// position while records of its hash are there and none describes it. A
// file from before layout records is taken in order only when it holds
// every node's slot; the bytes after them are ignored.
TEST_F(RetainFile, AFileNoCheckRecordListsLoadsOnlyByARecordOfItsLength) {
    Configure(dir_.Path() + "/");
    MakeNumeric("s.A", 7, 4, 0x11111111);
    MakeNumeric("s.B", 7, 4, 0x22222222);
    MakeNumeric("s.C", 7, 4, 0x33333333);
    ASSERT_EQ(SaveRetainFile(), 1);
    const std::string full = ReadFile(GetRetainFilePath());
    struct Case {
        const char* Name;
        std::string File;
        bool Records;  // the layout record the save wrote is there
        std::string Line;
    };
    const Case cases[] = {
        {"cut short", full.substr(0, full.size() - 6), true, "none of the 1 layout records of its hash"},
        {"cut short, no record", full.substr(0, full.size() - 6), false, "(cut short, or of another layout)"},
        {"longer", full + "xx", true, "none of the 1 layout records of its hash"},
        {"longer, no record", full + "xx", false, ""},
        {"whole", full, true, ""},
    };
    const std::string record = [&] {
        for (const auto& e : std::filesystem::directory_iterator(dir_.Path()))
            if (e.path().extension() == ".layout") return e.path().string();
        return std::string();
    }();
    ASSERT_FALSE(record.empty());
    const std::string recordBytes = ReadFile(record);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        WriteFile(GetRetainFilePath(), c.File);
        std::filesystem::remove(dir_.File("OvRetain.check"));
        if (c.Records) WriteFile(record, recordBytes);
        if (!c.Records) std::filesystem::remove(record);
        for (const char* name : {"s.A", "s.B", "s.C"}) SetValue(name, Bytes({0, 0, 0, 0}));
        ovtest::StderrCapture log;
        const uint8_t loaded = LoadRetainFile();
        const std::vector<std::string> lines = log.Lines();
        ASSERT_EQ(lines.size(), c.Line.empty() ? 1u : 2u) << ::testing::PrintToString(lines);
        EXPECT_EQ(lines[0], "DBG Retain file has no check record: loaded without verifying.");
        if (!c.Line.empty()) {
            EXPECT_EQ(loaded, 0);
            EXPECT_EQ(lines[1].rfind("ERR Retain file not loaded: ", 0), 0u) << lines[1];
            EXPECT_NE(lines[1].find(c.Line), std::string::npos) << lines[1];
            for (const char* name : {"s.A", "s.B", "s.C"}) EXPECT_EQ(Value(name), Bytes({0, 0, 0, 0})) << name;
        } else {
            EXPECT_EQ(loaded, 1);
            EXPECT_EQ(Value("s.C"), Bytes({0x33, 0x33, 0x33, 0x33}));
        }
    }
}

TEST_F(RetainFile, LoadTakesSlotsAsTheyAreWhateverTheHeader) {
    Configure(dir_.Path() + "/");
    std::string outPath = Text(kOutPathNode);
    MakeNumeric("h.Num", 7, 4, 0);
    MakeText("h.Text", 8, "");
    // Header that matches nothing, then the configuration's slots (Priority,
    // Interval, UseBackup, OutPath), then a number and a text slot without
    // its zero.
    std::string file = Bytes({0xEF, 0xBE, 0xAD, 0xDE});
    file += Bytes({160, 0, 0, 0}) + Bytes({100, 0, 0, 0}) + Bytes({0});
    file += outPath + std::string(80 - outPath.size(), '\0');
    file += Bytes({5, 6, 7, 8}) + "ABCDEFGH";
    WriteFile(GetRetainFilePath(), file);
    ASSERT_EQ(LoadRetainFile(), 1);
    EXPECT_EQ(Value("h.Num"), Bytes({5, 6, 7, 8}));
    EXPECT_EQ(Text("h.Text"), "ABCDEFG") << "a text without its zero keeps Size - 1 characters";
}

// No OutPath node (it could not be made): nothing is written or read in the
// working directory instead, and every save fails aloud, the last one too.
TEST_F(RetainFile, WithoutAnOutPathNothingIsSavedInTheWorkingDirectory) {
    std::string cwd = std::filesystem::current_path();
    std::filesystem::current_path(dir_.Path());
    ovtest::StderrCapture log;
    EXPECT_FALSE(BuildRetainFilePaths());
    const uint8_t saved = SaveRetainFile();
    const int last = SaveRetainFileStatus();
    const uint8_t loaded = LoadRetainFile();
    std::vector<std::string> lines = log.Lines();
    std::filesystem::current_path(cwd);
    EXPECT_EQ(saved, 0);
    EXPECT_EQ(last, 0) << "a failure, not a save that could not start";
    EXPECT_EQ(loaded, 0);
    EXPECT_EQ(lines, std::vector<std::string>(2, "ERR Retain file save failed: OutPath names no usable directory."));
    EXPECT_TRUE(std::filesystem::is_empty(dir_.Path()));
}

TEST_F(RetainFile, NothingHappensBeforeThePathsAreBuilt) {
    PublishConfiguration();
    ovtest::StderrCapture log;
    EXPECT_EQ(SaveRetainFile(), 0);
    EXPECT_EQ(LoadRetainFile(), 0);
    EXPECT_EQ(log.Lines(), std::vector<std::string>{});
    EXPECT_FALSE(FileExists(".tmp"));
}

TEST_F(RetainFile, OutPathForms) {
    struct Case {
        std::string OutPath;
        std::string File;  // where the retain file lands; "" refused
    };
    const std::string outside = dir_.Path() + "-outside/";
    const Case cases[] = {
        {dir_.Path() + "/plain/", dir_.File("plain/OvRetain.bin")},
        {dir_.Path() + "/pre", dir_.File("preOvRetain.bin")},
        {dir_.Path() + "/made/on/demand/", dir_.File("made/on/demand/OvRetain.bin")},
        {"D:\\data", dir_.File("D/dataOvRetain.bin")},
        {"C:\\Orvale\\", dir_.File("C/Orvale/OvRetain.bin")},
        // Outside the drive root: refused aloud, nothing made there.
        {outside, ""},
        {dir_.Path() + "/../", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.OutPath);
        Configure(c.OutPath);
        ovtest::StderrCapture log;
        ASSERT_EQ(SaveRetainFile(), c.File.empty() ? 0 : 1);
        if (c.File.empty()) {
            const std::vector<std::string> lines = log.Lines();
            ASSERT_EQ(lines.size(), 1u);
            EXPECT_NE(lines[0].find("outside the drive root " + dir_.Path()), std::string::npos) << lines[0];
            continue;
        }
        EXPECT_EQ(ReadFile(c.File).size(), 4u + 4 + 4 + 1 + 80);
        EXPECT_EQ(LoadRetainFile(), 1);
    }
    EXPECT_FALSE(FileExists(outside));
}

TEST_F(RetainFile, BackupHoldsThePreviousFile) {
    Configure(dir_.Path() + "/", 1);
    MakeNumeric("b.Value", 7, 4, 1);
    std::string retain = dir_.File("OvRetain.bin"), backup = dir_.File("OvRetain.$$$");

    WriteFile(backup, "older backup");
    ASSERT_EQ(SaveRetainFile(), 1);
    EXPECT_EQ(ReadFile(backup), "older backup") << "with no retain file the backup is kept";
    std::string first = ReadFile(retain);

    MakeNumeric("b.Other", 7, 4, 2);
    ASSERT_EQ(SaveRetainFile(), 1);
    EXPECT_EQ(ReadFile(backup), first);
    EXPECT_EQ(ReadFile(retain).size(), first.size() + 4);
    EXPECT_FALSE(FileExists(backup + ".tmp"));

    // Off: the backup stays as it is.
    uint8_t off = 0;
    ASSERT_EQ(NodeWriteByName("SERVICE.OvRetain.UseBackup", &off, 1), 0);
    ASSERT_EQ(SaveRetainFile(), 1);
    EXPECT_EQ(ReadFile(backup), first);

    // On again: the backup is of the layout before b.Other, and may hold the
    // only copy of its values. It is kept aside before it is replaced, once
    // (as the older backup, of a header word of its own, was above).
    ASSERT_EQ(NodeWriteByName("SERVICE.OvRetain.UseBackup", Bytes({1}).data(), 1), 0);
    auto keptCopies = [&] {
        std::map<std::string, std::string> kept;
        for (const auto& e : std::filesystem::directory_iterator(dir_.Path()))
            if (e.path().extension() == ".old") kept[e.path().filename().string()] = ReadFile(e.path().string());
        std::multiset<std::string> values;
        for (const auto& [name, value] : kept) values.insert(value);
        return values;
    };
    for (int save = 0; save < 2; ++save) {
        ASSERT_EQ(SaveRetainFile(), 1);
        EXPECT_EQ(keptCopies(), (std::multiset<std::string>{"older backup", first}));
    }

    // A retain file damaged from outside does not take the place of a whole
    // backup either: the backup is kept aside first (as is the damaged file).
    const std::string whole = ReadFile(backup);
    std::string damaged = ReadFile(retain);
    damaged[8] ^= 1;
    WriteFile(retain, damaged);
    ASSERT_EQ(SaveRetainFile(), 1);
    EXPECT_EQ(keptCopies().count(whole), 1u);
}

// The check record lists the backup's file for as long as it is the backup:
// after saves without UseBackup left an older backup in place (one of them
// finding the check record damaged, and writing it anew from the files), a
// damaged retain file still gives way to that backup once UseBackup is on
// again.
TEST_F(RetainFile, TheBackupStaysListedWhileSavesLeaveItInPlace) {
    Configure(dir_.Path() + "/", 1);
    MakeNumeric("b.Value", 7, 4, 1);
    ASSERT_EQ(SaveRetainFile(), 1);
    SetValue("b.Value", Bytes({2, 0, 0, 0}));
    ASSERT_EQ(SaveRetainFile(), 1);  // the backup holds 1
    ASSERT_EQ(NodeWriteByName("SERVICE.OvRetain.UseBackup", Bytes({0}).data(), 1), 0);
    SetValue("b.Value", Bytes({3, 0, 0, 0}));
    ASSERT_EQ(SaveRetainFile(), 1);
    std::string check = ReadFile(dir_.File("OvRetain.check"));
    check[20] ^= 1;
    WriteFile(dir_.File("OvRetain.check"), check);
    ForgetCheckState();  // as at the first save of a run
    SetValue("b.Value", Bytes({4, 0, 0, 0}));
    {
        ovtest::StderrCapture log;
        ASSERT_EQ(SaveRetainFile(), 1);
        EXPECT_EQ(log.Lines(), std::vector<std::string>{"WRN Check record OvRetain.check is damaged: written anew for "
                                                        "the 2 files its layout records describe."});
    }
    std::string file = ReadFile(dir_.File("OvRetain.bin"));
    file[4] ^= 1;
    WriteFile(dir_.File("OvRetain.bin"), file);
    ASSERT_EQ(NodeWriteByName("SERVICE.OvRetain.UseBackup", Bytes({1}).data(), 1), 0);
    SetValue("b.Value", Bytes({0, 0, 0, 0}));
    ovtest::StderrCapture log;
    EXPECT_EQ(LoadRetainFile(), 1) << ::testing::PrintToString(log.Lines());
    EXPECT_EQ(Value("b.Value"), Bytes({1, 0, 0, 0}));
}

// The directory's claim holds while OvRetain.lock in it is the file this
// process locked: once that file was removed, or the directory made anew,
// and another process locked the new one, every save and load refuses;
// once that process lets go, the claim is taken afresh.
TEST_F(RetainFile, ALostDirectoryClaimStopsSavesAndLoads) {
    Configure(dir_.Path() + "/");
    MakeNumeric("c.Value", 7, 4, 1);
    ASSERT_EQ(SaveRetainFile(), 1);
    const std::string lock = dir_.File("OvRetain.lock");
    for (bool anew : {false, true}) {
        SCOPED_TRACE(anew ? "directory made anew" : "lock file removed");
        if (anew) {
            std::filesystem::remove_all(dir_.Path());
            std::filesystem::create_directories(dir_.Path());
        } else {
            ASSERT_TRUE(std::filesystem::remove(lock));
        }
        // The other process: a lock on an open file of its own.
        const int other = open(lock.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
        ASSERT_GE(other, 0);
        ASSERT_EQ(write(other, "4242\n", 5), 5);
        ASSERT_EQ(flock(other, LOCK_EX | LOCK_NB), 0);
        const bool had = FileExists(dir_.File("OvRetain.bin"));
        const std::string before = had ? ReadFile(dir_.File("OvRetain.bin")) : "";
        SetValue("c.Value", Bytes({9, 0, 0, 0}));
        ovtest::StderrCapture log;
        EXPECT_EQ(SaveRetainFile(), 0);
        EXPECT_EQ(LoadRetainFile(), 0);
        EXPECT_EQ(log.Lines(), (std::vector<std::string>{
                                   "ERR Retain file save failed: the retain directory is used by process 4242.",
                                   "ERR Retain file load failed: the retain directory is used by process 4242."}));
        EXPECT_EQ(FileExists(dir_.File("OvRetain.bin")), had);
        EXPECT_EQ(had ? ReadFile(dir_.File("OvRetain.bin")) : "", before);
        EXPECT_EQ(Value("c.Value"), Bytes({9, 0, 0, 0}));
        close(other);
        // Let go: a directory made anew is claimed afresh; in the one this
        // process had claimed the other may have left its own files, so the
        // claim stays lost.
        EXPECT_EQ(SaveRetainFile(), anew ? 1 : 0);
    }
}

// Each injected failure: the save returns 0 with one "ERR" line naming the
// step, the previous retain file and backup stay byte for byte, and no
// temporary file is left.
TEST_F(RetainFile, FailuresKeepThePreviousFile) {
    Configure(dir_.Path() + "/");
    std::vector<std::string> names = Populate(20);
    Fill(names, 1);
    ASSERT_EQ(SaveRetainFile(), 1);
    std::string retain = dir_.File("OvRetain.bin"), backup = dir_.File("OvRetain.$$$");
    const std::string previous = ReadFile(retain);
    WriteFile(backup, "backup");
    Fill(names, 2);

    struct Case {
        const char* Name;
        std::function<void()> Arm;
        std::string Line;
    };
    const Case cases[] = {
        {"ENOSPC on a slot write", [] { PFileInjectFault(PF_WRITE, 2, ENOSPC); },
         "ERR Retain file write failed: No space left on device"},
        {"EIO on fsync", [] { PFileInjectFault(PF_SYNC, 1, EIO); }, "ERR Retain file sync failed: Input/output error"},
        {"EIO on the check record's fsync", [] { PFileInjectFault(PF_SYNC, 2, EIO); },
         "ERR Check record sync failed: Input/output error"},
        {"failing rename", [] { PFileInjectFault(PF_RENAME, 2, EXDEV); },
         "ERR Retain file rename failed: Invalid cross-device link"},
        {"failing check record rename", [] { PFileInjectFault(PF_RENAME, 1, EXDEV); },
         "ERR Check record rename failed: Invalid cross-device link"},
        {"failing flush", [] { PFileInjectFault(PF_FLUSH, 1, EDQUOT); },
         "ERR Retain file flush failed: " + std::string(strerror(EDQUOT))},
        // The backup written anew before each case is read once (the check
        // record and the backup closed) before the new file is closed.
        {"failing close", [] { PFileInjectFault(PF_CLOSE, 3, EIO); },
         "ERR Retain file close failed: Input/output error"},
        {"failing directory open", [] { PFileInjectFault(PF_OPEN, 1, EMFILE); },
         "ERR Retain file directory open failed: Too many open files"},
        {"failing open", [] { PFileInjectFault(PF_OPEN, 2, EACCES); },
         "ERR Retain file open failed: Permission denied"},
        {"failing header write", [] { PFileInjectFault(PF_WRITE, 1, EIO); },
         "ERR Retain file header write failed: Input/output error"},
        {"failing seek", [] { PFileInjectFault(PF_SEEK, 1, ENOSPC); },
         "ERR Hashfile seek point set err.\nERR Retain file seek failed: No space left on device"},
        {"failing directory creation", [] { PFileInjectFault(PF_MKDIR, 1, EROFS); },
         "ERR Retain file directory creation failed: Read-only file system"},
        {"value buffer unavailable", [] { PMemInjectFault(2); },
         "ERR Retain file value buffer allocation failed: Cannot allocate memory"},
    };
    for (uint8_t useBackup : {0, 1}) {
        ASSERT_EQ(NodeWriteByName("SERVICE.OvRetain.UseBackup", &useBackup, 1), 0);
        for (const Case& c : cases) {
            // With the backup on, a rename also puts the backup in place first.
            SCOPED_TRACE(std::string(c.Name) + (useBackup ? " (backup on)" : ""));
            // A fresh file: after a failed rename the backup may be a second
            // name of the retain file, which writing in place would change.
            std::filesystem::remove(backup);
            WriteFile(backup, "backup");
            const std::string record = ReadFile(dir_.File("OvRetain.check"));
            c.Arm();
            if (useBackup && std::string(c.Name) == "failing rename") PFileInjectFault(PF_RENAME, 3, EXDEV);
            ovtest::StderrCapture log;
            EXPECT_EQ(SaveRetainFile(), 0);
            std::vector<std::string> lines = log.Lines();
            PFileClearFaults();
            PMemInjectFault(0);
            std::vector<std::string> want;
            for (size_t at = 0; at <= c.Line.size();) {
                size_t end = std::min(c.Line.find('\n', at), c.Line.size());
                want.push_back(c.Line.substr(at, end - at));
                at = end + 1;
            }
            EXPECT_EQ(lines, want);
            EXPECT_EQ(ReadFile(retain), previous);
            if (!useBackup || std::string(c.Name) != "failing rename") {
                EXPECT_EQ(ReadFile(backup), "backup");
            }
            // Only the retain file's own rename comes after the record's.
            if (std::string(c.Name) != "failing rename") {
                EXPECT_EQ(ReadFile(dir_.File("OvRetain.check")), record);
            }
            EXPECT_FALSE(FileExists(retain + ".tmp"));
        }
    }
    ASSERT_EQ(NodeWriteByName("SERVICE.OvRetain.UseBackup", Bytes({0}).data(), 1), 0);
    ASSERT_EQ(SaveRetainFile(), 1) << "a later save goes through";
    EXPECT_NE(ReadFile(retain), previous);
}

// The layout record of the saved file, named by the check record's newest
// entry.
std::string SavedRecordPath(const TempDir& dir, uint32_t hash) {
    PDir* d = PDirOpen(dir.Path().c_str());
    std::vector<CheckEntry> entries;
    bool missing = false;
    std::string why;
    const bool ok = d && ReadCheckRecord(d, &entries, &missing, &why);
    if (d) PDirClose(d);
    EXPECT_TRUE(ok) << why;
    return ok ? dir.File(LayoutRecordName(hash, entries[0].LayoutId)) : std::string();
}

// The layout record of the file is on disk before the file; an ordinary
// save writes none; a node created after the hash was cached makes the next
// save write a longer record of its own, leaving the old one as it was, and
// a failure to write it keeps every file as it was.
TEST_F(RetainFile, SaveKeepsTheLayoutRecordLongEnough) {
    Configure(dir_.Path() + "/");
    Fill(Populate(5), 1);
    ResetLayoutRecordForTest();
    ASSERT_EQ(SaveRetainFile(), 1);
    const uint32_t hash = ComputeLayoutHash();
    const std::string recordPath = SavedRecordPath(dir_, hash), retain = dir_.File("OvRetain.bin");
    LayoutRecord record;
    std::string why;
    ASSERT_TRUE(ReadLayoutRecord(recordPath.c_str(), hash, &record, &why)) << why;
    const uint32_t hashed = static_cast<uint32_t>(NodeCount());
    EXPECT_EQ(record.HashedCount, hashed);
    EXPECT_EQ(record.Entries.size(), hashed);
    auto identity = [&] {
        struct stat st {};
        stat(recordPath.c_str(), &st);
        return std::to_string(st.st_ino) + "/" + std::to_string(st.st_mtim.tv_nsec) + "/" +
               std::to_string(st.st_mtim.tv_sec);
    };
    const std::string first = identity();
    ASSERT_EQ(SaveRetainFile(), 1);
    ResetLayoutRecordForTest();  // as a new process would: it finds the record there
    ASSERT_EQ(SaveRetainFile(), 1);
    EXPECT_EQ(identity(), first) << "an ordinary save rewrote the record";

    MakeNumeric("Rt.Late", 7, 4, 9);
    const std::string previous = ReadFile(retain), previousRecord = ReadFile(recordPath);
    PFileInjectFault(PF_RENAME, 1, ENOSPC);
    ovtest::StderrCapture log;
    EXPECT_EQ(SaveRetainFile(), 0);
    PFileClearFaults();
    EXPECT_EQ(log.Lines(), std::vector<std::string>{"ERR Layout record rename failed: No space left on device"});
    EXPECT_EQ(ReadFile(retain), previous);
    for (const auto& entry : std::filesystem::directory_iterator(dir_.Path()))
        EXPECT_NE(entry.path().extension(), ".tmp") << entry.path();

    ASSERT_EQ(SaveRetainFile(), 1);
    EXPECT_EQ(ComputeLayoutHash(), hash);
    const std::string grownPath = SavedRecordPath(dir_, hash);
    EXPECT_NE(grownPath, recordPath);
    EXPECT_EQ(ReadFile(recordPath), previousRecord) << "a record is never rewritten for another layout";
    ASSERT_TRUE(ReadLayoutRecord(grownPath.c_str(), hash, &record, &why)) << why;
    EXPECT_EQ(record.HashedCount, hashed);
    ASSERT_EQ(record.Entries.size(), hashed + 1);
    EXPECT_EQ(std::string(record.Entries.back().Name, record.Entries.back().NameLength), "Rt.Late");
    EXPECT_EQ(ReadFile(retain).size(), record.Entries.back().Offset + 4);

    // A layout that changes before every save leaves no trail of records:
    // each save sweeps those that no file there is written with.
    for (int i = 0; i < 4; ++i) {
        MakeNumeric("Rt.Flip" + std::to_string(i), 7, 4, 1);
        ASSERT_EQ(SaveRetainFile(), 1);
    }
    size_t records = 0, kept = 0;
    for (const auto& entry : std::filesystem::directory_iterator(dir_.Path())) {
        records += entry.path().extension() == ".layout";
        kept += entry.path().extension() == ".old";
    }
    // The current record, and the previous file's until the check record
    // no longer lists it.
    EXPECT_LE(records, kept + 2);
}

// A full save takes the nodes written so far from the journal; when it
// fails they are the journal's again: the next append carries them.
TEST_F(RetainFile, AFailedSaveHandsItsNodesBackToTheJournal) {
    Configure(dir_.Path() + "/");
    MakeNumeric("SERVICE.OvRetain.Journal", 7, 4, 100);
    MakeNumeric("Rt.Speed", 7, 4, 1);
    ASSERT_EQ(SaveRetainFile(), 1);  // starts the journal
    SetValue("Rt.Speed", Bytes({0x42, 0, 0, 0}));
    PFileInjectFault(PF_SYNC, 1, EIO);
    {
        ovtest::StderrCapture log;
        ASSERT_EQ(SaveRetainFile(), 0);
    }
    LockRetainFile();
    const bool appended = JournalAppendChanges();
    UnlockRetainFile();
    ASSERT_TRUE(appended);
    const std::string journal = ReadFile(dir_.File("OvRetain.journal"));
    std::vector<std::pair<uint32_t, std::string>> records;
    ReplayJournalGroups(
        reinterpret_cast<const uint8_t*>(journal.data()), journal.size(),
        [](void* c, uint32_t index, const uint8_t* value, uint16_t size) {
            static_cast<decltype(records)*>(c)->push_back(
                {index, std::string(reinterpret_cast<const char*>(value), size)});
        },
        &records);
    EXPECT_EQ(records,
              (std::vector<std::pair<uint32_t, std::string>>{{VariableIndex("Rt.Speed"), Bytes({0x42, 0, 0, 0})}}));

    // A journal removed or written by hand, or a retain file changed under
    // it, takes no append that no load would read: the change waits for the
    // full save the journal then asks for.
    const std::string journalPath = dir_.File("OvRetain.journal"), retainPath = dir_.File("OvRetain.bin");
    std::string record;
    for (const auto& e : std::filesystem::directory_iterator(dir_.Path()))
        if (e.path().extension() == ".layout") record = e.path().filename();
    ASSERT_FALSE(record.empty());
    const struct {
        std::function<void()> damage;
        std::string line;
    } cases[] = {
        {[&] { ASSERT_EQ(std::remove(journalPath.c_str()), 0); },
         "WRN Journal OvRetain.journal was removed while in use: the next full save starts a new one."},
        {[&] { ASSERT_EQ(truncate(journalPath.c_str(), 20), 0); },
         "WRN Journal OvRetain.journal was changed by another writer: the next full save starts a new one."},
        {[&] { ASSERT_EQ(truncate(retainPath.c_str(), 7), 0); },
         "WRN Retain file OvRetain.bin was changed or removed since this service wrote it: its journal is not "
         "appended to; the next full save writes it anew."},
        {[&] { ASSERT_EQ(std::remove(retainPath.c_str()), 0); },
         "WRN Retain file OvRetain.bin was changed or removed since this service wrote it: its journal is not "
         "appended to; the next full save writes it anew."},
        // Without its record the file's values, and what the journal would
        // add, could be read by name no more once the layout changes.
        {[&] { ASSERT_EQ(std::remove(dir_.File(record).c_str()), 0); },
         "WRN Layout record " + record +
             " of retain file OvRetain.bin was changed or removed: its journal is not appended to; the next full "
             "save writes both anew."},
    };
    uint64_t nowMs = 1;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line);
        {
            ovtest::StderrCapture quiet;
            ASSERT_EQ(SaveRetainFile(), 1);  // a new journal, appended to once
        }
        SetValue("Rt.Speed", Bytes({0x44, 0, 0, 0}));
        LockRetainFile();
        ASSERT_TRUE(JournalAppendChanges());
        UnlockRetainFile();
        c.damage();
        SetValue("Rt.Speed", Bytes({0x45, 0, 0, 0}));
        ovtest::StderrCapture log;
        LockRetainFile();
        JournalAppendChanges();
        UnlockRetainFile();
        EXPECT_EQ(log.Lines(), std::vector<std::string>{c.line});
        EXPECT_TRUE(JournalWantsSave(nowMs += 1000, 100));
    }
}

TEST_F(RetainFile, LoadSkipsASlotWhoseBufferIsUnavailable) {
    Configure(dir_.Path() + "/");
    MakeNumeric("m.A", 7, 4, 0x0A0A0A0A);
    MakeText("m.B", 20, "bee");
    MakeNumeric("m.C", 7, 4, 0x0C0C0C0C);
    ASSERT_EQ(SaveRetainFile(), 1);
    SetValue("m.A", Bytes({0, 0, 0, 0}));
    ASSERT_EQ(NodeWriteStringByName("m.B", "changed"), 0);
    SetValue("m.C", Bytes({0, 0, 0, 0}));
    // The configuration has four slots; m.B's buffer is the sixth.
    PMemInjectFault(6);
    ASSERT_EQ(LoadRetainFile(), 1);
    EXPECT_EQ(Value("m.A"), Bytes({10, 10, 10, 10}));
    EXPECT_EQ(Text("m.B"), "changed");
    EXPECT_EQ(Value("m.C"), Bytes({12, 12, 12, 12})) << "later nodes still get their own values";
}

// The whole file is read before any node is written: a read error leaves
// every node as it was, and the load fails aloud.
TEST_F(RetainFile, LoadStopsAtTheFirstReadError) {
    Configure(dir_.Path() + "/");
    const std::vector<std::string> names = {"e.1", "e.2", "e.3", "e.4", "e.5"};
    for (size_t i = 0; i < names.size(); ++i) MakeNumeric(names[i], 7, 4, 1111 * (i + 1));
    ASSERT_EQ(SaveRetainFile(), 1);
    for (const std::string& name : names) SetValue(name, Bytes({0, 0, 0, 0}));
    PFileInjectFault(PF_READ, 1, EIO);
    ovtest::StderrCapture log;
    EXPECT_EQ(LoadRetainFile(), 0);
    EXPECT_EQ(log.Lines(), std::vector<std::string>{"ERR Retain file read failed: Input/output error"});
    for (const std::string& name : names) EXPECT_EQ(Value(name), Bytes({0, 0, 0, 0})) << name;
}

// Only a regular file with a whole header is loaded: anything else fails
// with one "ERR" line, at once (a FIFO does not block), and loads nothing.
TEST_F(RetainFile, OnlyARegularFileWithAHeaderIsLoaded) {
    Configure(dir_.Path() + "/");
    MakeNumeric("o.A", 7, 4, 0x0A0A0A0A);
    const std::string retain = dir_.File("OvRetain.bin");
    WriteFile(dir_.File("elsewhere"), std::string(64, 'Z'));
    struct Case {
        const char* Name;
        std::function<void()> Make;
        std::string Line;
    };
    const Case cases[] = {
        {"a directory", [&] { std::filesystem::create_directory(retain); },
         "ERR Retain file open failed: Is a directory"},
        {"a FIFO", [&] { ASSERT_EQ(mkfifo(retain.c_str(), 0600), 0); },
         "ERR Retain file open failed: not a regular file"},
        {"a symbolic link", [&] { std::filesystem::create_symlink(dir_.File("elsewhere"), retain); },
         "ERR Retain file open failed: not a regular file"},
        {"an empty file", [&] { WriteFile(retain, ""); },
         "ERR Retain file read failed: the file is shorter than its header"},
        {"three bytes", [&] { WriteFile(retain, "abc"); },
         "ERR Retain file read failed: the file is shorter than its header"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        std::filesystem::remove_all(retain);
        c.Make();
        ovtest::StderrCapture log;
        EXPECT_EQ(LoadRetainFile(), 0);
        EXPECT_EQ(log.Lines(), std::vector<std::string>{c.Line});
        EXPECT_EQ(Value("o.A"), Bytes({10, 10, 10, 10}));
    }
    std::filesystem::remove_all(retain);
}

TEST_F(RetainFile, LoadWithoutAFileFails) {
    for (const std::string& path : {dir_.Path() + "/", dir_.Path() + "/absent/"}) {
        Configure(path);
        ovtest::StderrCapture log;
        EXPECT_EQ(LoadRetainFile(), 0);
        EXPECT_EQ(log.Lines(),
                  std::vector<std::string>{"ERR Retain file load failed: there is no retain file OvRetain.bin."});
    }
}

// Saves and loads from several threads at once never interleave: every file
// they leave is complete, and every load succeeds.
TEST_F(RetainFile, ConcurrentSavesAndLoadsStaySerialised) {
    Configure(dir_.Path() + "/", 1);
    std::vector<std::string> names = Populate(200);
    Fill(names, 3);
    ASSERT_EQ(SaveRetainFile(), 1);
    const size_t length = ReadFile(GetRetainFilePath()).size();
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 10; ++i) {
                if ((t + i) % 3 == 0 ? LoadRetainFile() != 1 : SaveRetainFile() != 1) ++failures;
            }
        });
    }
    for (std::thread& t : threads) t.join();
    EXPECT_EQ(failures.load(), 0);
    EXPECT_EQ(ReadFile(GetRetainFilePath()).size(), length);
    EXPECT_EQ(ReadFile(GetBackupFilePath()).size(), length);
}

}  // namespace
