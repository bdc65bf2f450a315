// The layout hash (its worked values, what it covers, its caching and its
// thread safety), the retain file's paths and the start-up check.
#include "retain/layout_hash.h"

#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "nodespace/nodespace_admin.h"
#include "nodespace/ovhgapi.h"
#include "retain/adoption.h"
#include "retain/check_record.h"
#include "retain/defaults_record.h"
#include "retain/journal_format.h"
#include "retain/layout_record.h"
#include "retain/migration.h"
#include "retain/node_slot.h"
#include "retain/retain_file.h"
#include "retain/retain_paths.h"
#include "retain/set_aside.h"
#include "retain/startup_check.h"
#include "stdlib/pdir.h"
#include "stdlib/pfile.h"
#include "support/test_support.h"
#include "variables/variables.h"

namespace {

using ovtest::FileExists;
using ovtest::ReadFile;
using ovtest::ScopedSpace;
using ovtest::TempDir;
using ovtest::WriteFile;

class LayoutHash : public ::testing::Test {
protected:
    void SetUp() override { Attach(space_); }
    void TearDown() override {
        unsetenv("OVRT_DRIVES");
        ResetRetainStateForTest();
        ResetVariablesForTest();
        NodeSpaceDetach();
    }
    void Attach(const ScopedSpace& space) {
        std::string error;
        ASSERT_TRUE(NodeSpaceAttach(space.Name(), true, &error)) << error;
        ResetVariablesForTest();
        ResetRetainStateForTest();
    }
    static void Make(const std::string& name, uint16_t type = 7, uint32_t value = 0) {
        ASSERT_EQ(NodeCreate(name.c_str(), type, 4, "", ""), 0) << name;
        ASSERT_EQ(NodeWriteByName(name.c_str(), &value, 4), 0) << name;
    }
    ScopedSpace space_;
};

TEST_F(LayoutHash, WorkedValues) {
    struct Case {
        std::vector<std::string> Names;
        uint32_t Hash;
    };
    const Case cases[] = {
        {{"abc"}, 0x98500190u},
        {{"a", "b"}, 0x714B6DABu},
        {{"b", "a"}, 0xB6359831u},
    };
    for (const Case& c : cases) {
        ScopedSpace space;
        Attach(space);
        for (const std::string& name : c.Names) Make(name);
        EXPECT_EQ(ComputeLayoutHash(), c.Hash) << c.Names[0];
    }
    uint8_t digest[16];
    DigestText(digest, "abc\0ignored");
    EXPECT_EQ(std::vector<uint8_t>(digest, digest + 4), (std::vector<uint8_t>{0x90, 0x01, 0x50, 0x98}));
}

TEST_F(LayoutHash, CoversNamesAndOrderButNotTypesSizesOrValues) {
    auto hashOf = [&](const std::vector<std::pair<std::string, uint16_t>>& nodes, uint32_t value) {
        ScopedSpace space;
        Attach(space);
        for (auto& [name, type] : nodes) Make(name, type, value);
        return ComputeLayoutHash();
    };
    uint32_t base = hashOf({{"P.a", 7}, {"P.b", 1}, {"P.c", 7}}, 1);
    EXPECT_NE(base, 0u);
    EXPECT_EQ(hashOf({{"P.a", 6}, {"P.b", 3}, {"P.c", 20}}, 99), base);
    EXPECT_NE(hashOf({{"P.a", 7}, {"P.c", 7}, {"P.b", 1}}, 1), base) << "reordered";
    EXPECT_NE(hashOf({{"P.a", 7}, {"P.b", 1}}, 1), base) << "removed";
    EXPECT_NE(hashOf({{"P.a", 7}, {"P.b", 1}, {"P.c", 7}, {"P.d", 7}}, 1), base) << "added";
    EXPECT_NE(hashOf({{"P.a", 7}, {"P.B", 1}, {"P.c", 7}}, 1), base) << "renamed";
}

TEST_F(LayoutHash, FirstNonzeroFoldIsKept) {
    EXPECT_EQ(ComputeLayoutHash(), 0u) << "empty node table";
    Make("abc");
    EXPECT_EQ(ComputeLayoutHash(), 0x98500190u) << "a result of 0 was not cached";
    Make("def");
    EXPECT_EQ(ComputeLayoutHash(), 0x98500190u) << "later nodes do not change the cached hash";
    ResetRetainStateForTest();
    EXPECT_NE(ComputeLayoutHash(), 0x98500190u);
}

// A table large enough that each fold hands half its names to the second
// thread, whichever fold finds it free.
TEST_F(LayoutHash, ConcurrentFoldsAgree) {
    uint32_t expected = 0;
    for (int i = 0; i < 20000; ++i) {
        const std::string name = "Conc.Node" + std::to_string(i);
        Make(name);
        uint8_t digest[16];
        DigestText(digest, name.c_str());
        const uint32_t key = digest[0] | digest[1] << 8 | digest[2] << 16 | static_cast<uint32_t>(digest[3]) << 24;
        expected = ((expected << 1) | (expected >> 31)) + key;
    }
    EXPECT_EQ(ComputeLayoutHash(), expected);
    for (int round = 0; round < 5; ++round) {
        ResetRetainStateForTest();
        std::vector<uint32_t> seen(4);
        std::vector<std::thread> threads;
        for (size_t t = 0; t < seen.size(); ++t) {
            threads.emplace_back([&, t] {
                for (int k = 0; k < 20; ++k) {
                    uint32_t h = ComputeLayoutHash();
                    if (h != expected) {
                        seen[t] = h;
                        return;
                    }
                    seen[t] = h;
                }
            });
        }
        for (std::thread& t : threads) t.join();
        for (uint32_t h : seen) EXPECT_EQ(h, expected);
    }
}

// Paths are built from OutPath as a plain prefix.
TEST_F(LayoutHash, PathsUseOutPathAsAPrefix) {
    EXPECT_STREQ(GetRetainFilePath(), "");
    PublishConfiguration();
    BuildRetainFilePaths();
    EXPECT_STREQ(GetRetainFilePath(), "C:\\Orvale\\OvRetain.bin");
    EXPECT_STREQ(GetBackupFilePath(), "C:\\Orvale\\OvRetain.$$$");

    const std::string full = "SERVICE.OvRetain.OutPath";
    ASSERT_EQ(NodeWriteStringByName(full.c_str(), "D:\\data"), 0);
    BuildRetainFilePaths();
    EXPECT_STREQ(GetRetainFilePath(), "D:\\dataOvRetain.bin");
    EXPECT_STREQ(GetBackupFilePath(), "D:\\dataOvRetain.$$$");

    std::string longest = "/" + std::string(78, 'p');
    ASSERT_EQ(NodeWriteStringByName(full.c_str(), longest.c_str()), 0);
    BuildRetainFilePaths();
    EXPECT_EQ(std::string(GetRetainFilePath()), longest + "OvRetain.bin");
}

// The start-up check against a file on disk. OutPath is a directory of the
// test's own.
class StartupCheck : public LayoutHash {
protected:
    void SetUp() override {
        LayoutHash::SetUp();
        // The retain directory must lie inside the drive root.
        ASSERT_EQ(setenv("OVRT_DRIVES", dir_.Path().c_str(), 1), 0);
        PublishConfiguration();
        ASSERT_EQ(NodeWriteStringByName("SERVICE.OvRetain.OutPath", (dir_.Path() + "/").c_str()), 0);
        Make("Plc.Counter");
        Make("Plc.Speed");
        retain_ = dir_.File("OvRetain.bin");
        backup_ = dir_.File("OvRetain.$$$");
    }
    static void SetUseBackup(uint8_t on) { ASSERT_EQ(NodeWriteByName("SERVICE.OvRetain.UseBackup", &on, 1), 0); }
    static std::string Header(uint32_t h) {
        return std::string{static_cast<char>(h), static_cast<char>(h >> 8), static_cast<char>(h >> 16),
                           static_cast<char>(h >> 24)};
    }
    static std::string Hex(uint32_t h) {
        char text[16];
        std::snprintf(text, sizeof text, "%x", h);
        return text;
    }
    static std::string Hex8(uint32_t h) {
        char text[16];
        std::snprintf(text, sizeof text, "%08x", h);
        return text;
    }
    std::vector<std::string> Warnings(uint32_t current, uint32_t file) {
        return {"WRN Retained file hash code does not match and will be deleted.",
                "WRN current hash code = " + Hex(current), "WRN file hash code    = " + Hex(file)};
    }
    // The check's lines after its first, which says where the retain file is.
    std::vector<std::string> CheckLines(ovtest::StderrCapture& log) const {
        std::vector<std::string> lines = log.Lines();
        EXPECT_FALSE(lines.empty());
        if (lines.empty()) return lines;
        EXPECT_EQ(lines[0], "DBG Retain file " + retain_);
        return {lines.begin() + 1, lines.end()};
    }
    // The set-aside file of that number, hash and layout record id.
    std::string Kept(uint32_t seq, uint32_t hash, uint32_t id = 0) const {
        char name[64];
        std::snprintf(name, sizeof name, "OvRetain.%010u.%08x.%08x.old", seq, hash, id);
        return dir_.File(name);
    }
    // The names of the retain directory's files that end in extension, sorted.
    std::vector<std::string> FilesEnding(const char* extension) const {
        std::vector<std::string> names;
        for (const auto& entry : std::filesystem::directory_iterator(dir_.Path()))
            if (entry.path().extension() == extension) names.push_back(entry.path().filename());
        std::sort(names.begin(), names.end());
        return names;
    }
    std::vector<std::string> LayoutFiles() const { return FilesEnding(".layout"); }
    // The set-aside files, oldest first (not the journals kept on their own).
    std::vector<std::string> KeptFiles() const {
        std::vector<std::string> names = FilesEnding(".old");
        std::erase_if(names, [](const std::string& n) { return n.rfind("OvRetain.journal.", 0) == 0; });
        return names;
    }
    TempDir dir_;
    std::string retain_, backup_;
};

TEST_F(StartupCheck, MatchingHeaderLeavesEverythingAlone) {
    for (uint8_t useBackup : {0, 1}) {
        SetUseBackup(useBackup);
        ResetRetainStateForTest();
        uint32_t h = ComputeLayoutHash();
        std::string content = Header(h) + "slots";
        WriteFile(retain_, content);
        WriteFile(backup_, "old backup");
        ovtest::StderrCapture log;
        CheckRetainFile();
        EXPECT_EQ(CheckLines(log), std::vector<std::string>{});
        EXPECT_EQ(ReadFile(retain_), content);
        EXPECT_EQ(ReadFile(backup_), "old backup");
        EXPECT_STREQ(GetRetainFilePath(), retain_.c_str());
    }
}

TEST_F(StartupCheck, MismatchRemovesOrRotatesTheFile) {
    struct Case {
        uint8_t UseBackup;
        bool RetainPresent;
        std::string Content;   // of the retain file
        uint32_t FileHash;     // as the check reads it
        bool NoLinks = false;  // a file system without hard links: copies
    };
    const std::string header = Header(0x00ABCDEFu);
    const Case cases[] = {
        {0, true, header + "xyz", 0x00ABCDEFu},
        {1, true, header + "xyz", 0x00ABCDEFu},
        {0, false, "", 0},
        {1, false, "", 0},
        {0, true, "ab", 0},  // shorter than its header: reads as 0
        {1, true, header + "xyz", 0x00ABCDEFu, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message() << "UseBackup " << int(c.UseBackup) << " present " << c.RetainPresent
                                          << " size " << c.Content.size() << " no links " << c.NoLinks);
        SetUseBackup(c.UseBackup);
        ResetRetainStateForTest();
        std::filesystem::remove(retain_);
        if (c.RetainPresent) WriteFile(retain_, c.Content);
        WriteFile(backup_, "old backup");
        ovtest::StderrCapture log;
        if (c.NoLinks) PFileInjectFault(PF_LINK, 1, EPERM, true);
        CheckRetainFile();
        PFileClearFaults();
        uint32_t h = ComputeLayoutHash();
        ASSERT_NE(h, c.FileHash);
        std::vector<std::string> expected = Warnings(h, c.FileHash);
        // The backup may hold what the old file lost: kept aside before
        // anything replaces it ("old " read as the header word), and before
        // that file, which holds the newer values.
        const std::string keptBackup = Kept(1, 0x20646c6fu);
        if (c.UseBackup) expected.push_back("WRN Retained file kept as " + keptBackup + ".");
        const std::string kept = Kept(c.UseBackup ? 2 : 1, c.FileHash);
        if (c.RetainPresent) expected.push_back("WRN Retained file kept as " + kept + ".");
        // The line after them says what was really done.
        expected.push_back(!c.RetainPresent ? "INF Retained file check: there was no retain file; nothing was deleted."
                           : c.UseBackup    ? "INF Retained file check: the old file was kept aside; the retain file "
                                              "became the backup."
                                            : "INF Retained file check: the old file was kept aside; the retain file "
                                              "was removed.");
        EXPECT_EQ(CheckLines(log), expected);
        EXPECT_EQ(ReadFile(kept), c.Content) << "the mismatching file is kept aside";
        EXPECT_EQ(FileExists(kept), c.RetainPresent);
        std::filesystem::remove(kept);
        if (c.UseBackup) {
            EXPECT_EQ(ReadFile(keptBackup), "old backup");
        }
        std::filesystem::remove(keptBackup);
        EXPECT_FALSE(FileExists(retain_));
        if (c.UseBackup && c.RetainPresent) {
            EXPECT_EQ(ReadFile(backup_), c.Content) << "the mismatching file became the backup";
        } else {
            EXPECT_EQ(ReadFile(backup_), "old backup") << "with no file to rotate the backup is kept";
        }
    }
}

// A backup whose bytes a kept file holds already is not kept again, even
// when a journal was kept beside that file: pruning would otherwise rank
// the journal-less second copy first and remove the one with the journal.
TEST_F(StartupCheck, ABackupKeptAlreadyWithAJournalIsNotKeptTwice) {
    SetUseBackup(1);
    ResetRetainStateForTest();
    const std::string header = Header(0x00ABCDEFu);
    WriteFile(retain_, header + "new");
    WriteFile(backup_, "old backup");
    WriteFile(Kept(1, 0x20646c6fu), "old backup");
    WriteFile(Kept(1, 0x20646c6fu) + ".journal", "its journal");
    ovtest::StderrCapture log;
    CheckRetainFile();
    const std::vector<std::string> lines = CheckLines(log);
    EXPECT_NE(std::find(lines.begin(), lines.end(), "WRN Retained file kept as " + Kept(1, 0x20646c6fu) + "."),
              lines.end())
        << ::testing::PrintToString(lines);
    EXPECT_EQ(KeptFiles().size(), 2u) << ::testing::PrintToString(KeptFiles());  // and the old retain file
    EXPECT_EQ(ReadFile(Kept(2, 0x00ABCDEFu)), header + "new");
}

TEST_F(StartupCheck, HashesPrintInLowerCaseWithoutLeadingZeros) {
    WriteFile(retain_, Header(0x0000ABCDu));
    ovtest::StderrCapture log;
    CheckRetainFile();
    std::vector<std::string> lines = CheckLines(log);
    ASSERT_EQ(lines.size(), 5u);
    EXPECT_EQ(lines[2], "WRN file hash code    = abcd");
    EXPECT_EQ(lines[3], "WRN Retained file kept as " + Kept(1, 0xabcd) + ".");
}

// A retain file that is there but cannot be read is never removed or
// rotated: one "ERR" line with the system error, and the file stays.
TEST_F(StartupCheck, AnUnreadableFileIsLeftAlone) {
    struct Case {
        const char* Name;
        std::function<void()> Make;  // puts the unreadable file in place
        std::string Line;
    };
    const Case cases[] = {
        {"open fails", [&] { WriteFile(retain_, "abcdefgh"), PFileInjectFault(PF_OPEN, 2, EACCES); },
         "ERR Retain file read failed: Permission denied"},
        {"too many open files", [&] { WriteFile(retain_, "abcdefgh"), PFileInjectFault(PF_OPEN, 2, EMFILE); },
         "ERR Retain file read failed: Too many open files"},
        {"read fails", [&] { WriteFile(retain_, "abcdefgh"), PFileInjectFault(PF_READ, 1, EIO); },
         "ERR Retain file read failed: Input/output error"},
        {"a directory", [&] { std::filesystem::create_directory(retain_); },
         "ERR Retain file read failed: Is a directory"},
        {"a FIFO", [&] { ASSERT_EQ(mkfifo(retain_.c_str(), 0600), 0); },
         "ERR Retain file read failed: not a regular file"},
    };
    for (uint8_t useBackup : {0, 1}) {
        SetUseBackup(useBackup);
        for (const Case& c : cases) {
            SCOPED_TRACE(std::string(c.Name) + (useBackup ? " (backup on)" : ""));
            std::filesystem::remove_all(retain_);
            WriteFile(backup_, "old backup");
            c.Make();
            auto before = std::filesystem::status(retain_).type();
            ovtest::StderrCapture log;
            CheckRetainFile();
            PFileClearFaults();
            EXPECT_EQ(CheckLines(log), std::vector<std::string>{c.Line});
            ASSERT_TRUE(std::filesystem::exists(std::filesystem::symlink_status(retain_)));
            EXPECT_EQ(std::filesystem::status(retain_).type(), before);
            if (before == std::filesystem::file_type::regular) {
                EXPECT_EQ(ReadFile(retain_), "abcdefgh");
            }
            EXPECT_EQ(ReadFile(backup_), "old backup");
        }
    }
    std::filesystem::remove_all(retain_);
}

// An OutPath that climbs out of its drive root, or whose text is longer than
// the 79 characters read, is named in a "WRN" line with what is used instead.
TEST_F(StartupCheck, OutPathsThatCannotBeUsedAsTheyStandAreNamed) {
    const char* drives = getenv("OVRT_DRIVES");
    const std::string saved = drives ? drives : "";
    ASSERT_EQ(setenv("OVRT_DRIVES", dir_.Path().c_str(), 1), 0);
    const std::string full = "SERVICE.OvRetain.OutPath";
    ASSERT_EQ(NodeWriteStringByName(full.c_str(), "C:\\..\\..\\etc\\"), 0);
    ovtest::StderrCapture climbing;
    CheckRetainFile();
    std::vector<std::string> lines = climbing.Lines();
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[0], "DBG Retain file " + dir_.Path() + "/C/etc/OvRetain.bin");
    EXPECT_EQ(lines[1], "WRN OutPath climbs out of its drive root with \"..\"; using " + dir_.Path() + "/C/etc");

    // A node made larger than the published one, before the service runs.
    ScopedSpace other;
    Attach(other);
    char scratch[32];
    uint32_t word = 0;
    ASSERT_EQ(NodeCreateString(full.c_str(), 12, 200, "", "", scratch, sizeof scratch, &word), 0);
    const std::string longPath = dir_.Path() + "/" + std::string(120, 'x') + "/";
    ASSERT_EQ(NodeWriteStringByName(full.c_str(), longPath.c_str()), 0);
    PublishConfiguration();
    ovtest::StderrCapture tooLong;
    CheckRetainFile();
    lines = tooLong.Lines();
    ASSERT_GE(lines.size(), 2u);
    const std::string used = longPath.substr(0, 79);
    EXPECT_EQ(lines[0], "DBG Retain file " + used + "OvRetain.bin");
    EXPECT_EQ(lines[1], "WRN OutPath is longer than the 79 characters read; using " + used.substr(0, used.rfind('/')));
    if (drives) {
        setenv("OVRT_DRIVES", saved.c_str(), 1);
    } else {
        unsetenv("OVRT_DRIVES");
    }
}

// With an empty node table there is no OutPath to read: the paths stay
// empty rather than naming the working directory, and nothing is touched.
TEST_F(LayoutHash, EmptyNodeSpaceWithoutAFileDoesNothing) {
    TempDir dir;
    ASSERT_EQ(setenv("OVRT_DRIVES", dir.Path().c_str(), 1), 0);
    std::string cwd = std::filesystem::current_path();
    std::filesystem::current_path(dir.Path());
    ovtest::StderrCapture log;
    CheckRetainFile();
    std::vector<std::string> lines = log.Lines();
    std::filesystem::current_path(cwd);
    EXPECT_STREQ(GetRetainFilePath(), "");
    EXPECT_STREQ(GetBackupFilePath(), "");
    EXPECT_EQ(lines, std::vector<std::string>{
                         "ERR OutPath names no usable directory; the retain file is neither read nor saved."});
    EXPECT_TRUE(std::filesystem::is_empty(dir.Path()));
}

// A record of the given names (type 7, Size 4), hashing the first `hashed`
// of them, with `hash` in its header (the fold of those names when 0).
std::string Record(const std::vector<std::string>& names, size_t hashed, uint32_t hash = 0, uint32_t version = 2) {
    if (hash == 0)
        for (size_t i = 0; i < hashed; ++i)
            hash = ((hash << 1) | (hash >> 31)) + LayoutNameKey(names[i].data(), names[i].size());
    LayoutRecordBuilder builder;
    BeginLayoutRecord(&builder, hash, static_cast<uint32_t>(hashed), version);
    for (const std::string& name : names) AppendLayoutRecordEntry(&builder, name.data(), name.size(), 7, 4);
    FinishLayoutRecord(&builder);
    return std::string(builder.Bytes.begin(), builder.Bytes.end());
}

uint32_t RecordHash(const std::string& record) {
    return static_cast<uint8_t>(record[12]) | static_cast<uint8_t>(record[13]) << 8 |
           static_cast<uint8_t>(record[14]) << 16 | static_cast<uint32_t>(static_cast<uint8_t>(record[15])) << 24;
}

// With Migrate 1 a mismatching file moves by name only through a record that
// verifies; every other record is refused, the check says why and keeps the
// file aside as it does without Migrate.
TEST_F(StartupCheck, MigrationGoesOnlyByAVerifyingRecord) {
    ASSERT_EQ(NodeCreate("SERVICE.OvRetain.Migrate", 1, 1, "", ""), 0);
    const uint8_t one = 1;
    ASSERT_EQ(NodeWriteByName("SERVICE.OvRetain.Migrate", &one, 1), 0);
    const std::string good = Record({"Plc.Speed", "Plc.Gone"}, 2);
    std::string flipped = good;
    flipped[30] ^= 1;
    const std::string wrongCount = Record({"Plc.Speed", "Plc.Gone"}, 1, RecordHash(good));
    // Names that share prefixes of every length, one longer than a 1-byte
    // length field: records of both versions still name their nodes.
    const std::vector<std::string> shared = {
        "Plc.Speed", "Plc.Spe", "Plc.Speed." + std::string(200, 'x'), "Plc.Speed." + std::string(100, 'x') + "y",
        "Plc.Sp",    "Plc.Gone"};
    std::string unknown = good;
    unknown[8] = 3;
    // Cut inside its last entry, the counts and checksum made to match.
    std::string cut = good.substr(0, good.size() - 6);
    const uint32_t crc = Crc32c(0, cut.data(), cut.size());
    cut.append(reinterpret_cast<const char*>(&crc), 4);
    // Its third entry takes 7 bytes of the 6-byte name before it (the byte
    // past that name left from the first, so that the names still fold to
    // the hash): refused all the same.
    std::string longPrefix = Record({"Plc.Speed", "Plc.Sp", "Plc.Spe"}, 3);
    ASSERT_EQ(longPrefix.substr(41, 3), std::string("\x06\x01"
                                                    "e"));
    longPrefix.replace(41, 3, std::string("\x07\x00", 2));
    longPrefix.resize(longPrefix.size() - 4);
    const uint32_t longCrc = Crc32c(0, longPrefix.data(), longPrefix.size());
    longPrefix.append(reinterpret_cast<const char*>(&longCrc), 4);
    const std::string values = std::string("\x07\0\0\0", 4) + std::string("\x09\0\0\0", 4);
    struct Case {
        std::string Name, Record, File, Why;  // Why: empty for a migration
        std::string Counts = "kept 1, resized 0, new 6, dropped 1";
    };
    const Case cases[] = {
        {"good", good, values, ""},
        // Plc.Speed's slot is cut off: it keeps its own value and is new;
        // nothing past the end of the file is taken for it.
        {"file shorter than the record", good, values.substr(0, 2), "", "kept 0, resized 0, new 7, dropped 0"},
        {"missing", "", values, "is missing."},
        {"truncated header", good.substr(0, 20), values, "truncated (20 bytes)"},
        {"truncated", good.substr(0, good.size() - 1), values, "damaged or truncated (checksum does not match)"},
        {"flipped bit", flipped, values, "damaged or truncated (checksum does not match)"},
        {"hash not reproduced", Record({"Plc.Speed", "Plc.Gone"}, 2, 0x12345678), values, "do not reproduce"},
        {"hashed count changed", wrongCount, values, "do not reproduce"},
        {"same name twice", Record({"Plc.Speed", "Plc.Gone", "Plc.Speed"}, 3), values, "names node Plc.Speed twice"},
        {"same name twice in a row", Record({"Plc.Speed", "Plc.Speed"}, 2), values, "repeats the name before it"},
        {"shared prefixes", Record(shared, 6), values, ""},
        {"version 1", Record(shared, 6, 0, 1), values, ""},
        {"version 1, same name twice", Record({"Plc.Speed", "Plc.Speed"}, 2, 0, 1), values,
         "names node Plc.Speed twice"},
        {"unknown version", unknown, values, "of an unknown format version 3"},
        {"cut inside an entry", cut, values, "inconsistent (entries end early)"},
        {"a prefix longer than the name before", longPrefix, values, "inconsistent (entry 2 has a bad name length)"},
        {"file longer than the record", good, values + "x", "longer than its layout record describes"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        ResetRetainStateForTest();
        ResetLayoutRecordForTest();
        std::filesystem::remove_all(dir_.Path());
        std::filesystem::create_directories(dir_.Path());
        const uint32_t fileHash = RecordHash(c.Record.size() >= 16 ? c.Record : good);
        const std::string recordPath = dir_.File("OvRetain." + Hex8(fileHash) + ".layout");
        if (!c.Record.empty()) WriteFile(recordPath, c.Record);
        WriteFile(retain_, Header(fileHash) + c.File);
        ovtest::StderrCapture log;
        CheckRetainFile();
        const std::vector<std::string> lines = CheckLines(log);
        ASSERT_EQ(lines.size(), 6u) << ::testing::PrintToString(lines);
        EXPECT_EQ(lines[5], c.Why.empty() ? "INF Retained file check: the old file was kept aside and migrated into "
                                            "this layout's file; nothing was deleted."
                                          : "INF Retained file check: the old file was kept aside; the retain file "
                                            "was removed.");
        EXPECT_EQ(ReadFile(Kept(1, fileHash)), Header(fileHash) + c.File);
        const uint32_t h = ComputeLayoutHash();
        if (c.Why.empty()) {
            EXPECT_EQ(lines[4], "WRN Retained file migrated by name: " + c.Counts + ".");
            // Plc.Counter, Migrate and the configuration nodes are new and hold
            // their own values, Plc.Speed its old one.
            EXPECT_EQ(ReadFile(retain_).substr(0, 4), Header(h));
            EXPECT_EQ(ReadFile(retain_).find(std::string("\x07\0\0\0", 4)) != std::string::npos,
                      c.Counts.rfind("kept 1", 0) == 0);
            LayoutRecord record;
            std::string why;
            PDir* dir = PDirOpen(dir_.Path().c_str());
            CheckEntry entry;
            EXPECT_EQ(VerifyRetainFileNamed(dir, "OvRetain.bin", &entry, &why), CHECK_VERIFIED) << why;
            EXPECT_TRUE(ReadLayoutRecordIn(dir, h, entry.LayoutId, &record, &why)) << why;
            PDirClose(dir);
        } else {
            EXPECT_EQ(lines[4].rfind("WRN Retained file not migrated: ", 0), 0u) << lines[4];
            EXPECT_NE(lines[4].find(c.Why), std::string::npos) << lines[4];
            EXPECT_FALSE(FileExists(retain_));
        }
    }
}

// Pruning ranks copies of values nobody loaded first, then copies written
// from defaults in a run in which values were written (a setpoint saved
// after a reboot without a load), then copies of defaults alone.
TEST_F(StartupCheck, PruningKeepsValuesWrittenOverDefaultsBeforeDefaultsAlone) {
    for (uint32_t k = 1; k <= 9; ++k) WriteFile(Kept(k, 0x10), Header(0x10) + "copy " + std::to_string(k));
    PDir* dir = PDirOpen(dir_.Path().c_str());
    ASSERT_NE(dir, nullptr);
    const JournalIdentity withWrites{0x10, 100, 1}, defaultsOnly{0x10, 100, 2};
    NoteSavedFromDefaults(dir, withWrites, DEFAULTS_WITH_WRITES);
    NoteKeptAside(dir, withWrites, 1);
    NoteSavedFromDefaults(dir, defaultsOnly, DEFAULTS_ONLY);
    for (uint32_t k = 3; k <= 9; ++k) NoteKeptAside(dir, defaultsOnly, k);
    PDirClose(dir);
    // A layout change sets the retain file aside as number 10: eleven would
    // be too many, and the two oldest copies of defaults alone go.
    WriteFile(retain_, Header(0x20) + "values");
    ovtest::StderrCapture log;
    CheckRetainFile();
    std::vector<std::string> removed;
    for (const std::string& line : log.Lines())
        if (line.find(" removed: ") != std::string::npos) removed.push_back(line);
    const std::string why = " removed: 8 newer set-aside files are kept.";
    EXPECT_EQ(removed, (std::vector<std::string>{"WRN Retained file " + Kept(4, 0x10) + why,
                                                 "WRN Retained file " + Kept(3, 0x10) + why}));
    EXPECT_TRUE(FileExists(Kept(1, 0x10)));
}

// Past the first eight, each layout keeps its newest file, whatever the rank
// of an older one of it among the first eight.
TEST_F(StartupCheck, PruningKeepsTheNewestFileOfEachLayout) {
    WriteFile(Kept(1, 0x30), Header(0x30) + "values nobody loaded");
    WriteFile(Kept(2, 0x30), Header(0x30) + "a setpoint over defaults");
    for (uint32_t k = 3; k <= 9; ++k) WriteFile(Kept(k, 0x40 + k), Header(0x40 + k) + "a boot's value");
    PDir* dir = PDirOpen(dir_.Path().c_str());
    ASSERT_NE(dir, nullptr);
    const JournalIdentity written{0x30, 100, 1};
    NoteSavedFromDefaults(dir, written, DEFAULTS_WITH_WRITES);
    for (uint32_t k = 2; k <= 9; ++k) NoteKeptAside(dir, written, k);
    PDirClose(dir);
    WriteFile(retain_, Header(0x20) + "values");
    ovtest::StderrCapture log;
    CheckRetainFile();
    EXPECT_TRUE(FileExists(Kept(2, 0x30))) << ::testing::PrintToString(log.Lines());
    EXPECT_TRUE(FileExists(Kept(1, 0x30)));
}

// Ten changes between two layouts: every file set aside gets a name of its
// own, numbered in the order it was set aside; the eight newest stay (more
// with KeepOld), each removal is named in a "WRN" line, an identical file is
// kept once, and only the records that a file still refers to (or the
// current layout's own) stay.
TEST_F(StartupCheck, KeepsTheNewestEightSetAsideFilesAndTheRecordsInUse) {
    WriteFile(dir_.File("OvRetain.00000030.old"), Header(0x30) + "older form");
    // Journals kept on their own, and one kept with the file that will be
    // set aside first: they go with the files, the newest eight stay.
    for (uint32_t n = 1; n <= 10; ++n)
        WriteFile(dir_.File("OvRetain.journal." + std::to_string(n) + ".old"), "journal " + std::to_string(n));
    WriteFile(Kept(1, 0x10) + ".journal", "the first file's journal");
    std::vector<std::string> removals, journalRemovals;
    for (uint32_t k = 1; k <= 10; ++k) {
        ResetRetainStateForTest();
        WriteFile(retain_, Header(k % 2 ? 0x10 : 0x20) + "values " + std::to_string(k));
        ovtest::StderrCapture log;
        CheckRetainFile();
        for (const std::string& line : log.Lines())
            if (line.find(" removed: ") != std::string::npos)
                (line.rfind("WRN Journal ", 0) == 0 ? journalRemovals : removals).push_back(line);
    }
    const std::string journalsKept = " removed: 8 newer kept journals are kept.";
    EXPECT_EQ(journalRemovals,
              (std::vector<std::string>{"WRN Journal " + dir_.File("OvRetain.journal.2.old") + journalsKept,
                                        "WRN Journal " + dir_.File("OvRetain.journal.1.old") + journalsKept,
                                        "WRN Journal " + Kept(1, 0x10) + ".journal" + journalsKept}));
    EXPECT_TRUE(FileExists(dir_.File("OvRetain.journal.3.old")));
    // The older-form file is the only one of its layout, so it stays too.
    std::vector<std::string> expected;
    for (uint32_t k = 3; k <= 10; ++k)
        expected.push_back(std::filesystem::path(Kept(k, k % 2 ? 0x10 : 0x20)).filename());
    expected.push_back("OvRetain.00000030.old");
    EXPECT_EQ(KeptFiles(), expected);
    EXPECT_EQ(ReadFile(Kept(3, 0x10)), Header(0x10) + "values 3");
    EXPECT_EQ(removals, (std::vector<std::string>{
                            "WRN Retained file " + Kept(1, 0x10) + " removed: 8 newer set-aside files are kept.",
                            "WRN Retained file " + Kept(2, 0x20) + " removed: 8 newer set-aside files are kept."}));

    // The same file again is not kept twice; KeepOld raises the number kept.
    ResetRetainStateForTest();
    WriteFile(retain_, Header(0x20) + "values 10");
    ovtest::StderrCapture again;
    CheckRetainFile();
    EXPECT_EQ(CheckLines(again)[3], "WRN Retained file kept as " + Kept(10, 0x20) + ".");
    ASSERT_EQ(NodeCreate("SERVICE.OvRetain.KeepOld", 7, 4, "", ""), 0);
    const uint32_t nine = 9;
    ASSERT_EQ(NodeWriteByName("SERVICE.OvRetain.KeepOld", &nine, 4), 0);
    ResetRetainStateForTest();
    WriteFile(retain_, Header(0x10) + "values 11");
    CheckRetainFile();
    EXPECT_EQ(KeptFiles().size(), 10u) << "nine newest and the only one of its layout";
    // Fewer than eight asked for: eight are kept all the same.
    const uint32_t three = 3;
    ASSERT_EQ(NodeWriteByName("SERVICE.OvRetain.KeepOld", &three, 4), 0);
    ResetRetainStateForTest();
    WriteFile(retain_, Header(0x10) + "values 12");
    CheckRetainFile();
    EXPECT_EQ(KeptFiles().size(), 9u) << "eight newest and the only one of its layout";
    // More than 32 asked for (the node is any group member's to write): 32.
    const uint32_t huge = 4000000000u;
    ASSERT_EQ(NodeWriteByName("SERVICE.OvRetain.KeepOld", &huge, 4), 0);
    for (uint32_t k = 13; k <= 50; ++k) {
        ResetRetainStateForTest();
        WriteFile(retain_, Header(0x10) + "values " + std::to_string(k));
        CheckRetainFile();
    }
    EXPECT_EQ(KeptFiles().size(), 34u) << "32 newest, and the newest of the two other layouts";
    ASSERT_EQ(NodeWriteByName("SERVICE.OvRetain.KeepOld", &three, 4), 0);
    // Bytes are bounded too: past the eight newest, 2 * 8 times the retain
    // file's length (1 MiB at least). With a small file, eight of 3 MiB
    // leave no room for more.
    for (uint32_t k = 51; k <= 59; ++k) {
        ResetRetainStateForTest();
        WriteFile(retain_, Header(0x10) + std::string(k < 59 ? 3 << 20 : 1, static_cast<char>(k)));
        CheckRetainFile();
    }
    EXPECT_EQ(KeptFiles().size(), 8u) << "the oldest large one and the newest of the other layouts do not fit";

    // Records: those of the set-aside files, the backup's, the check
    // record's and the current layout's stay.
    WriteFile(dir_.File("OvRetain.00000010.1234abcd.layout"), "a kept file's");
    WriteFile(dir_.File("OvRetain.00000050.layout"), "no file refers to it");
    WriteFile(dir_.File("OvRetain.00000050.1234abcd.layout"), "no file refers to it");
    WriteFile(dir_.File("OvRetain.00000010.layout.tmp"), "left over");
    WriteFile(backup_, Header(0x60));
    WriteFile(dir_.File("OvRetain.00000060.layout"), "the backup's");
    ResetRetainStateForTest();
    WriteFile(retain_, Header(0x70));
    CheckRetainFile();
    EXPECT_TRUE(FileExists(dir_.File("OvRetain.00000060.layout")));
    EXPECT_FALSE(FileExists(dir_.File("OvRetain.00000050.layout")));
    EXPECT_FALSE(FileExists(dir_.File("OvRetain.00000050.1234abcd.layout")));
    EXPECT_FALSE(FileExists(dir_.File("OvRetain.00000010.1234abcd.layout")));
    EXPECT_FALSE(FileExists(dir_.File("OvRetain.00000010.layout.tmp")));
}

// A node table of one layout in a node space of its own, as after a program
// change: the configuration, Migrate, and Plc.Counter (7), Plc.Value
// (valueType), Plc.Text (12, textSize) and Plc.Last (7). The names, and so
// the hash, are the same in every layout.
class LayoutIdentity : public StartupCheck {
protected:
    void UseLayout(uint16_t valueType, uint16_t textSize, uint8_t migrate = 0, uint8_t useBackup = 0) {
        spaces_.push_back(std::make_unique<ScopedSpace>());
        Attach(*spaces_.back());
        ResetLayoutRecordForTest();
        PublishConfiguration();
        ASSERT_EQ(NodeWriteStringByName("SERVICE.OvRetain.OutPath", (dir_.Path() + "/").c_str()), 0);
        SetUseBackup(useBackup);
        ASSERT_EQ(NodeCreate("SERVICE.OvRetain.Migrate", 1, 1, "", ""), 0);
        ASSERT_EQ(NodeWriteByName("SERVICE.OvRetain.Migrate", &migrate, 1), 0);
        Make("Plc.Counter");
        ASSERT_EQ(NodeCreate("Plc.Value", valueType, valueType == 4 ? 2 : 4, "", ""), 0);
        char scratch[32];
        uint32_t word = 0;
        ASSERT_EQ(NodeCreateString("Plc.Text", 12, textSize, "", "", scratch, sizeof scratch, &word), 0);
        Make("Plc.Last");
    }
    // Generation g in every plant node: g, g + 1, "t<g>", g + 2.
    static void Fill(uint32_t g) {
        const uint32_t value = g + 1, last = g + 2;
        ASSERT_EQ(NodeWriteByName("Plc.Counter", &g, 4), 0);
        uint16_t size = 0;
        NodeGetAttribute("Plc.Value", "Size", &size, sizeof size);
        ASSERT_EQ(NodeWriteByName("Plc.Value", &value, size), 0);
        ASSERT_EQ(NodeWriteStringByName("Plc.Text", ("t" + std::to_string(g)).c_str()), 0);
        ASSERT_EQ(NodeWriteByName("Plc.Last", &last, 4), 0);
    }
    static uint32_t Number(const char* name) {
        uint32_t value = 0;
        uint16_t size = 0;
        NodeGetAttribute(name, "Size", &size, sizeof size);
        NodeReadByName(name, &value, size);
        return value;
    }
    static std::string Text() {
        char text[64] = {};
        NodeReadStringByName("Plc.Text", text, sizeof text - 1);
        return text;
    }
    std::vector<std::unique_ptr<ScopedSpace>> spaces_;
};

// A text resized, or a type changed, without a rename: the hash stays, the
// file's record tells the change. No node ever gets another node's bytes:
// without Migrate the file is kept aside and goes; with it the unchanged
// nodes and the resized text keep their values; and a load that meets such
// a file without a start-up check takes only the values whose type and
// Size are the node's own, by name.
TEST_F(LayoutIdentity, ATypeOrSizeChangeUnderTheSameHashIsALayoutChange) {
    struct Case {
        const char* Name;
        uint16_t FromType, FromText, ToType, ToText;
        std::string Line, Counts, ByName;
        bool TextKept, ValueKept;
    };
    const Case cases[] = {
        {"text resized", 7, 24, 7, 40, "node 7 was type 12 size 24, is type 12 size 40",
         "kept 8, resized 1, new 0, dropped 0", "1 values loaded by name, 1 nodes left unchanged", true, true},
        {"type changed", 7, 24, 4, 24, "node 6 was type 7 size 4, is type 4 size 2",
         "kept 8, resized 0, new 1, dropped 1", "2 values loaded by name, 1 nodes left unchanged", true, false},
    };
    for (const Case& c : cases) {
        // No Migrate, Migrate, a load without a check, the same with no check
        // record (the file's record then found by its hash and length).
        for (int mode : {0, 1, 2, 3}) {
            SCOPED_TRACE(std::string(c.Name) + " mode " + std::to_string(mode));
            std::filesystem::remove_all(dir_.Path());
            std::filesystem::create_directories(dir_.Path());
            UseLayout(c.FromType, c.FromText, mode == 1);
            CheckRetainFile();
            Fill(1);
            ASSERT_EQ(SaveRetainFile(), 1);
            const uint32_t before = ComputeLayoutHash();

            UseLayout(c.ToType, c.ToText, mode == 1);
            ASSERT_EQ(ComputeLayoutHash(), before) << "the hash covers names only";
            ovtest::StderrCapture log;
            if (mode >= 2) {
                if (mode == 3) std::filesystem::remove(dir_.File("OvRetain.check"));
                BuildRetainFilePaths();
            } else {
                CheckRetainFile();
            }
            Fill(50);
            const uint8_t loaded = LoadRetainFile();
            std::vector<std::string> lines = log.Lines();
            if (mode < 2) {
                ASSERT_GE(lines.size(), 3u) << ::testing::PrintToString(lines);
                EXPECT_EQ(lines[1], "WRN Retained file layout differs under the same hash code: " + c.Line + ".");
                ASSERT_EQ(KeptFiles().size(), 1u);
                EXPECT_EQ(lines[2], "WRN Retained file kept as " + dir_.File(KeptFiles()[0]) + ".");
            }
            if (mode == 0) {
                EXPECT_EQ(loaded, 0) << "the file went";
                EXPECT_EQ(Number("Plc.Counter"), 50u);
            } else {
                EXPECT_EQ(loaded, 1);
                if (mode == 1) {
                    ASSERT_GE(lines.size(), 2u);
                    EXPECT_EQ(lines.back(),
                              "INF Retained file check: the old file was kept aside and migrated into this layout's "
                              "file; nothing was deleted.");
                    lines.pop_back();
                }
                EXPECT_EQ(lines.back(), mode == 1
                                            ? "WRN Retained file migrated by name: " + c.Counts + "."
                                            : "WRN Retain file layout differs from the node table: " + c.ByName + ".");
                EXPECT_EQ(Number("Plc.Counter"), 1u);
                EXPECT_EQ(Number("Plc.Last"), 3u);
                if (mode == 1) {
                    // The migration wrote the record a save builds for this
                    // table, byte for byte: the save finds it there.
                    const std::vector<std::string> records = LayoutFiles();
                    ASSERT_EQ(SaveRetainFile(), 1);
                    EXPECT_EQ(LayoutFiles(), records);
                }
                // A value not kept is the node's own: as it was at the
                // migration, or as it is at the load.
                EXPECT_EQ(Number("Plc.Value"), c.ValueKept ? 2u : mode == 1 ? 0u : 51u);
                EXPECT_EQ(Text(), c.TextKept && (mode == 1 || c.FromText == c.ToText) ? "t1" : "t50");
            }
        }
    }
}

// A load of the file this run saved, or found at start-up, goes by the
// remembered record only while the table is still that record's: two nodes of one type and Size
// whose names were swapped, or a type code changed in place, after the save
// send the load by name, so that each value goes to the node of its name
// and a node of another type keeps its own.
TEST_F(LayoutIdentity, ALoadAfterTheTableChangedInPlaceGoesByName) {
    struct Case {
        const char* Name;
        bool Swap;
        uint16_t Type;  // Plc.Value's type code for the load (7 as saved)
        uint32_t Counter, Value, Last;
    };
    const Case cases[] = {
        {"unchanged", false, 7, 1, 2, 3},
        {"names swapped", true, 7, 3, 2, 1},
        {"type changed", false, 8, 1, 51, 3},
    };
    // A load before the change proved the table: the load after it checks
    // each chunk of nodes before it writes them.
    for (const Case& c : cases) {
        for (const bool loadedBefore : {false, true}) {
            SCOPED_TRACE(std::string(c.Name) + (loadedBefore ? ", loaded before" : ""));
            std::filesystem::remove_all(dir_.Path());
            std::filesystem::create_directories(dir_.Path());
            UseLayout(7, 24);
            CheckRetainFile();
            Fill(1);
            ASSERT_EQ(SaveRetainFile(), 1);
            // A journal group after the save: the text changed. It is applied
            // whichever way the walk goes.
            const std::string saved = ReadFile(retain_);
            std::vector<uint8_t> journal;
            EncodeJournalHeader(
                &journal, JournalIdentity{static_cast<uint32_t>(
                                              static_cast<uint8_t>(saved[0]) | static_cast<uint8_t>(saved[1]) << 8 |
                                              static_cast<uint8_t>(saved[2]) << 16 |
                                              static_cast<uint32_t>(static_cast<uint8_t>(saved[3])) << 24),
                                          saved.size(), Crc32c(0, saved.data(), saved.size())});
            const size_t group = BeginJournalGroup(&journal, 1);
            char text[24] = "t9";
            AppendJournalRecord(&journal, VariableIndex("Plc.Text"), text, sizeof text);
            FinishJournalGroup(&journal, group);
            WriteFile(dir_.File("OvRetain.journal"), std::string(journal.begin(), journal.end()));
            // As after a restart: the start-up check finds the record the save
            // wrote to be this table's, and remembers it as a save would.
            ResetLayoutRecordForTest();
            CheckRetainFile();
            PDir* dir = PDirOpen(dir_.Path().c_str());
            ASSERT_NE(dir, nullptr);
            KnownLayout known;
            EXPECT_TRUE(KnownLayoutRecord(dir, &known));
            PDirClose(dir);
            if (loadedBefore) {
                ASSERT_EQ(LoadRetainFile(), 1);
            }
            Fill(50);
            NodeRecord* table = NodeTable();
            NodeRecord* counter = nullptr;
            NodeRecord* value = nullptr;
            NodeRecord* last = nullptr;
            for (int32_t i = 0; i < NodeCount(); ++i) {
                if (std::strcmp(table[i].Name, "Plc.Counter") == 0) counter = &table[i];
                if (std::strcmp(table[i].Name, "Plc.Value") == 0) value = &table[i];
                if (std::strcmp(table[i].Name, "Plc.Last") == 0) last = &table[i];
            }
            ASSERT_TRUE(counter && value && last);
            auto swap = [&] { std::swap_ranges(counter->Name, counter->Name + sizeof counter->Name, last->Name); };
            if (c.Swap) swap();
            value->Type = c.Type;
            ovtest::StderrCapture log;
            EXPECT_EQ(LoadRetainFile(), 1);
            const std::vector<std::string> lines = log.Lines();
            // The first save's preparation leaves a remembered record to the
            // save's own walk: the save still writes the record of the table as
            // it is now. (Names swapped in place keep the cached hash and the
            // shape; the save does not look at names.)
            PrepareFirstSave();
            ASSERT_EQ(SaveRetainFile(), 1);
            if (!c.Swap) {
                PDir* d = PDirOpen(dir_.Path().c_str());
                std::vector<CheckEntry> entries;
                bool missing = false;
                std::string why;
                ASSERT_TRUE(d && ReadCheckRecord(d, &entries, &missing, &why)) << why;
                PDirClose(d);
                LayoutRecord record;
                const std::string path = dir_.File(LayoutRecordName(entries[0].Hash, entries[0].LayoutId));
                ASSERT_TRUE(ReadLayoutRecord(path.c_str(), entries[0].Hash, &record, &why)) << why;
                ASSERT_EQ(record.Entries.size(), static_cast<size_t>(NodeCount()));
                for (int32_t i = 0; i < NodeCount(); ++i) {
                    EXPECT_TRUE(LayoutEntryNamesNode(record.Entries[i], table[i])) << i;
                    EXPECT_EQ(record.Entries[i].Type, table[i].Type) << i;
                }
            }
            if (c.Swap) swap();
            value->Type = 7;
            EXPECT_EQ(Number("Plc.Counter"), c.Counter);
            EXPECT_EQ(Number("Plc.Value"), c.Value);
            EXPECT_EQ(Number("Plc.Last"), c.Last);
            EXPECT_EQ(Text(), "t9");
            const bool byName = c.Swap || c.Type != 7;
            EXPECT_EQ(
                !lines.empty() && lines.back().rfind("WRN Retain file layout differs from the node table", 0) == 0,
                byName)
                << ::testing::PrintToString(lines);
        }
    }
}

// The same on a table large enough that a load checks its names on a
// second thread ahead of the writes: two nodes of one chunk, early or late
// in the table, whose names were swapped in place after a load proved the
// table send the next load by name.
TEST_F(LayoutIdentity, ALargeTableChangedInPlaceAnywhereIsLoadedByName) {
    constexpr uint32_t kExtra = 20000;
    struct Change {
        uint32_t At;  // kExtra: none
        bool Type;    // the type code changed, else the names of At and At + 1 swapped
    };
    for (const Change c :
         {Change{kExtra, false}, Change{0, false}, Change{kExtra - 2, false}, Change{kExtra - 2, true}}) {
        SCOPED_TRACE(std::to_string(c.At) + (c.Type ? " type" : " names"));
        std::filesystem::remove_all(dir_.Path());
        std::filesystem::create_directories(dir_.Path());
        UseLayout(7, 24);
        for (uint32_t i = 0; i < kExtra; ++i) Make("Plc.X" + std::to_string(i), 7, i);
        CheckRetainFile();
        ASSERT_EQ(SaveRetainFile(), 1);
        ResetLayoutRecordForTest();
        CheckRetainFile();
        ASSERT_EQ(LoadRetainFile(), 1);  // proves the table
        NodeRecord* table = NodeTable();
        const int32_t first = NodeCount() - static_cast<int32_t>(kExtra);
        ASSERT_STREQ(table[first].Name, "Plc.X0");
        ovtest::StderrCapture log;
        auto change = [&] {
            NodeRecord* a = &table[first + static_cast<int32_t>(c.At)];
            if (c.Type)
                a->Type ^= 7 ^ 8;
            else
                std::swap_ranges(a->Name, a->Name + sizeof a->Name, (a + 1)->Name);
        };
        if (c.At < kExtra) change();
        const uint32_t zero = 0;
        for (uint32_t i = 0; i < kExtra; ++i) NodeWriteData(table[first + static_cast<int32_t>(i)].Index, &zero, 4);
        EXPECT_EQ(LoadRetainFile(), 1);
        if (c.At < kExtra) change();
        for (uint32_t i : {0u, 1u, kExtra - 2, kExtra - 1}) {
            uint32_t expect = i;
            if (c.At < kExtra && c.Type && i == c.At) expect = 0;  // not of the type it was saved with
            if (c.At < kExtra && !c.Type && i / 2 == c.At / 2) expect = i ^ 1;
            EXPECT_EQ(Number(("Plc.X" + std::to_string(i)).c_str()), expect) << i;
        }
        const std::vector<std::string> lines = log.Lines();
        EXPECT_EQ(!lines.empty() && lines.back().rfind("WRN Retain file layout differs from the node table", 0) == 0,
                  c.At < kExtra)
            << ::testing::PrintToString(lines);
    }
}

// A record damaged or removed after a save remembered it is written again
// by the next save: a file is never saved naming a record that cannot be read.
// Damaged before a restart on the same node table, the start-up check writes
// it again: the table builds the very record the check record names.
TEST_F(LayoutIdentity, ASaveRewritesTheRecordWhenItsFileChanged) {
    const char* damages[] = {"cut", "flip", "delete"};
    for (const char* damage : damages) {
        SCOPED_TRACE(damage);
        std::filesystem::remove_all(dir_.Path());
        std::filesystem::create_directories(dir_.Path());
        ResetLayoutRecordForTest();
        UseLayout(7, 24);
        CheckRetainFile();
        Fill(1);
        ASSERT_EQ(SaveRetainFile(), 1);
        const std::vector<std::string> records = LayoutFiles();
        ASSERT_EQ(records.size(), 1u);
        const std::string path = dir_.File(records[0]), good = ReadFile(path);
        auto harm = [&] {
            if (std::strcmp(damage, "delete") == 0) {
                std::filesystem::remove(path);
            } else {
                std::string bytes = good;
                if (std::strcmp(damage, "cut") == 0) bytes.resize(bytes.size() / 2);
                if (std::strcmp(damage, "flip") == 0) bytes[bytes.size() / 2] ^= 0x10;
                WriteFile(path, bytes);
            }
        };
        harm();
        // A load goes by the record this process made sure of meanwhile.
        EXPECT_EQ(LoadRetainFile(), 1);
        // With the check record gone as well: the damaged record's name
        // says which table built it, and the load writes it anew.
        std::filesystem::remove(dir_.File("OvRetain.check"));
        Fill(7);
        EXPECT_EQ(LoadRetainFile(), 1);
        EXPECT_EQ(Number("Plc.Counter"), 1u);
        if (std::strcmp(damage, "delete") != 0) {
            EXPECT_EQ(ReadFile(path), good);
        }
        Fill(2);
        ASSERT_EQ(SaveRetainFile(), 1);
        EXPECT_EQ(ReadFile(path), good);
        harm();
        ResetLayoutRecordForTest();
        CheckRetainFile();
        EXPECT_EQ(ReadFile(path), good);
        Fill(3);
        EXPECT_EQ(LoadRetainFile(), 1);
        EXPECT_EQ(Number("Plc.Counter"), 2u);
        EXPECT_EQ(Text(), "t2");
        // With the check record gone too, a damaged record's name still
        // says which table built it.
        harm();
        std::filesystem::remove(dir_.File("OvRetain.check"));
        ResetLayoutRecordForTest();
        CheckRetainFile();
        if (std::strcmp(damage, "delete") != 0) {
            EXPECT_EQ(ReadFile(path), good);
        }
        Fill(4);
        EXPECT_EQ(LoadRetainFile(), 1);
        EXPECT_EQ(Number("Plc.Counter"), 2u);
        // On a full disk the record cannot be written anew: the file loads
        // by the one the table builds, and the next save writes it.
        ASSERT_EQ(SaveRetainFile(), 1);
        harm();
        ResetLayoutRecordForTest();
        {
            ovtest::StderrCapture full;
            PFileInjectFault(PF_WRITE, 1, ENOSPC, true);
            CheckRetainFile();
            Fill(5);
            EXPECT_EQ(LoadRetainFile(), 1) << ::testing::PrintToString(full.Lines());
            PFileClearFaults();
        }
        EXPECT_EQ(Number("Plc.Counter"), 2u);
        Fill(6);
        ASSERT_EQ(SaveRetainFile(), 1);
        EXPECT_EQ(ReadFile(path), good);
    }
}

// A node space that met a file nobody loaded saves from defaults; restarted
// without a reboot and still without a load, it goes on doing so, and a
// program change migrates such a file into one written from defaults too.
// A node space that holds the plant's values never does, not even when its
// file changed before a restart; nor does one of defaults stop doing so then.
TEST_F(LayoutIdentity, SavesFromDefaultsStaySoAcrossARestartAndAMigration) {
    UseLayout(7, 24);
    CheckRetainFile();
    Fill(1);
    ASSERT_EQ(SaveRetainFile(), 1);
    ovtest::StderrCapture quiet;
    PDir* dir = PDirOpen(dir_.Path().c_str());
    ASSERT_NE(dir, nullptr);
    const auto fromDefaults = [&] {
        JournalIdentity file;
        DefaultsKind kind;
        return ChecksumRetainFile(dir, "OvRetain.bin", &file.FileLength, &file.FileCrc, &file.LayoutHash) &&
               WrittenFromDefaults(dir, file, &kind);
    };
    // The file changed under the node space (touched: it is not the file
    // adopted), then the service restarted on it.
    const auto restartAfterTheFileChanged = [&] {
        std::filesystem::last_write_time(retain_, std::filesystem::last_write_time(retain_) + std::chrono::hours(1));
        ResetRetainStateForTest();
        CheckRetainFile();
    };
    restartAfterTheFileChanged();
    ASSERT_EQ(SaveRetainFile(), 1);
    EXPECT_FALSE(fromDefaults()) << "the plant's values, their file changed";
    UseLayout(7, 24, 1);  // a reboot: the file is nobody's now
    CheckRetainFile();
    ASSERT_EQ(SaveRetainFile(), 1);
    EXPECT_TRUE(fromDefaults());
    ResetRetainStateForTest();  // the service restarted on the same node space
    CheckRetainFile();
    Fill(2);
    ASSERT_EQ(SaveRetainFile(), 1);
    EXPECT_TRUE(fromDefaults()) << "a restart";
    restartAfterTheFileChanged();
    Fill(3);
    ASSERT_EQ(SaveRetainFile(), 1);
    EXPECT_TRUE(fromDefaults()) << "defaults, their file changed";
    UseLayout(7, 40, 1);  // a text resized: migrated by name
    CheckRetainFile();
    EXPECT_TRUE(fromDefaults()) << "a migration";
    PDirClose(dir);
}

// A file whose own record (named by its kept name or check entry) cannot be
// read is never read through a record of another layout that has its hash
// and length: those slots would hand its nodes each other's bytes.
TEST_F(LayoutIdentity, AFileIsNeverReadByAnotherLayoutsRecord) {
    UseLayout(7, 24);
    CheckRetainFile();
    Fill(1);
    ASSERT_EQ(SaveRetainFile(), 1);
    const std::string old = ReadFile(retain_);
    const std::vector<std::string> first = LayoutFiles();
    ASSERT_EQ(first.size(), 1u);
    UseLayout(6, 24);  // a type changed at equal size: the same hash and length
    {
        ovtest::StderrCapture quiet;
        CheckRetainFile();
    }
    Fill(2);
    ASSERT_EQ(SaveRetainFile(), 1);
    ASSERT_EQ(LayoutFiles().size(), 2u) << "the kept file's record stays";
    uint32_t hash = 0, id = 0;
    ASSERT_TRUE(ParseLayoutRecordName(first[0], &hash, &id));
    std::string bytes = ReadFile(dir_.File(first[0]));
    bytes[bytes.size() / 2] ^= 1;
    WriteFile(dir_.File(first[0]), bytes);
    PDir* dir = PDirOpen(dir_.Path().c_str());
    ASSERT_NE(dir, nullptr);
    LayoutRecord record;
    std::string why;
    EXPECT_EQ(FindFileLayoutRecord(dir, hash, old.size(), &id, &record, &why), FILE_RECORD_UNFIT) << why;
    EXPECT_NE(why.find("is another layout's"), std::string::npos) << why;
    PDirClose(dir);
}

// A kept file that names no record is read through the records of its hash
// that describe its length: pruning keeps those, and only those.
TEST_F(LayoutIdentity, PruningKeepsTheRecordsThatDescribeAKeptFilesLength) {
    UseLayout(7, 24);
    {
        ovtest::StderrCapture quiet;
        CheckRetainFile();
    }
    const uint32_t hash = 0x0badf00d;
    auto record = [&](std::vector<uint16_t> sizes) {
        LayoutRecordBuilder builder;
        BeginLayoutRecord(&builder, hash, static_cast<uint32_t>(sizes.size()));
        for (size_t i = 0; i < sizes.size(); ++i) {
            const std::string name = "k." + std::to_string(i);
            AppendLayoutRecordEntry(&builder, name.data(), name.size(), 7, sizes[i]);
        }
        FinishLayoutRecord(&builder);
        const std::string name = LayoutRecordName(hash, LayoutRecordId(builder.Bytes));
        WriteFile(dir_.File(name), std::string(builder.Bytes.begin(), builder.Bytes.end()));
        return name;
    };
    const std::string fits = record({4, 4}), shorter = record({4}), longer = record({4, 4, 4});
    WriteFile(dir_.File("OvRetain.0000000001.0badf00d.00000000.old"), std::string(12, 'v'));
    PDir* dir = PDirOpen(dir_.Path().c_str());
    ASSERT_NE(dir, nullptr);
    RemoveUnusedLayoutRecords(dir, 1);
    PDirClose(dir);
    EXPECT_TRUE(std::filesystem::exists(dir_.File(fits)));
    EXPECT_FALSE(std::filesystem::exists(dir_.File(shorter)));
    EXPECT_FALSE(std::filesystem::exists(dir_.File(longer)));
}

// Upgrade, rollback, upgrade, rollback without Migrate: every earlier value
// set is in a file of its own, and each comes back by its own record.
TEST_F(LayoutIdentity, UpgradeAndRollbackKeepBothLayoutsValues) {
    for (uint32_t g = 1; g <= 5; ++g) {
        UseLayout(7, g % 2 ? 24 : 40);
        // Without its check record, the file is kept by the record of its length.
        if (g == 3) std::remove((dir_.Path() + "/OvRetain.check").c_str());
        CheckRetainFile();
        Fill(g);
        ASSERT_EQ(SaveRetainFile(), 1);
    }
    const std::vector<std::string> kept = KeptFiles();
    ASSERT_EQ(kept.size(), 4u);
    PDir* dir = PDirOpen(dir_.Path().c_str());
    ASSERT_NE(dir, nullptr);
    for (size_t i = 0; i < kept.size(); ++i) {
        SCOPED_TRACE(kept[i]);
        const uint32_t g = static_cast<uint32_t>(i + 1);
        SetAsideName name;
        ASSERT_TRUE(ParseSetAsideName(kept[i], &name));
        EXPECT_EQ(name.Seq, g);
        EXPECT_NE(name.Id, 0u);
        UseLayout(7, g % 2 ? 24 : 40);
        Fill(99);
        LayoutRecord record;
        std::string why;
        ASSERT_TRUE(ReadLayoutRecordIn(dir, name.Hash, name.Id, &record, &why)) << why;
        std::vector<uint8_t> bytes;
        ASSERT_TRUE(PDirReadWhole(dir, kept[i].c_str(), &bytes, 1 << 20));
        MigrationCounts counts;
        auto write = [](void*, const NodeRecord& node, uint16_t size, const uint8_t* value, uint16_t valueSize,
                        const LayoutRecordEntry*) {
            if (!value) return;
            std::vector<uint8_t> buffer(size, 0);
            std::memcpy(buffer.data(), value, std::min(size, valueSize));
            WriteNodeSlot(node, buffer.data(), size);
        };
        ASSERT_TRUE(MatchRetainedValues(record, bytes.data(), bytes.size(), NodeTable(), NodeCount(), write, nullptr,
                                        &counts, &why))
            << why;
        EXPECT_EQ(counts.Resized + counts.New + counts.Dropped, 0u) << "read by its own layout";
        EXPECT_EQ(Number("Plc.Counter"), g);
        EXPECT_EQ(Text(), "t" + std::to_string(g));
    }
    PDirClose(dir);
}

// A file cut short, extended or with a bit flipped is not the file that was
// saved: the start-up check says so and leaves it alone, a load refuses it
// with one "ERR" line and touches no node, and with UseBackup (only then) a
// backup that verifies is loaded instead; a damaged backup never is. A
// damaged check record refuses no good file: it is written anew from what
// the files and their layout records prove.
TEST_F(LayoutIdentity, ADamagedFileIsNotLoaded) {
    struct Case {
        const char* Name;
        std::function<void(std::string*)> Damage;
        std::string Why;
        bool Record = false;  // the check record is damaged, not the file
        bool Full = false;    // and the disk is full: it cannot be written anew (or kept)
    };
    const auto flip = [](std::string* f) { (*f)[f->size() - 3] ^= 4; };
    const Case cases[] = {
        {"bit flipped", flip, "(damaged)"},
        {"cut short", [](std::string* f) { f->resize(f->size() - 5); }, "(cut short)"},
        {"extended", [](std::string* f) { *f += "x"; }, "(extended)"},
        {"check record damaged", flip, "", true},
        {"check record damaged, disk full", flip, "", true, true},
        {"bit flipped, disk full", flip, "(damaged)", false, true},
    };
    // The backup: off (one is there all the same), on, on and damaged too.
    for (int backup : {0, 1, 2}) {
        for (const Case& c : cases) {
            SCOPED_TRACE(std::string(c.Name) + " backup " + std::to_string(backup));
            std::filesystem::remove_all(dir_.Path());
            std::filesystem::create_directories(dir_.Path());
            const uint8_t useBackup = backup != 0;
            UseLayout(7, 24, 0, useBackup);
            CheckRetainFile();
            Fill(1);
            ASSERT_EQ(SaveRetainFile(), 1);
            if (!useBackup) WriteFile(backup_, ReadFile(retain_));
            Fill(2);
            ASSERT_EQ(SaveRetainFile(), 1);
            const std::string damaged = c.Record ? dir_.File("OvRetain.check") : retain_;
            std::string file = ReadFile(damaged);
            c.Damage(&file);
            WriteFile(damaged, file);
            if (backup == 2) {
                std::string old = ReadFile(backup_);
                flip(&old);
                WriteFile(backup_, old);
            }

            UseLayout(7, 24, 0, useBackup);
            ovtest::StderrCapture log;
            if (c.Full) PFileInjectFault(PF_WRITE, 1, ENOSPC, true);
            if (c.Full && !c.Record) PFileInjectFault(PF_LINK, 1, EPERM, true);
            CheckRetainFile();
            Fill(50);
            const uint8_t loaded = LoadRetainFile();
            PFileClearFaults();
            const std::vector<std::string> lines = log.Lines();
            if (c.Record) {
                // The record that could not be written anew proves nothing:
                // the file loads as one that has none (the check and the load
                // each try to write it).
                ASSERT_EQ(lines.size(), c.Full ? 6u : 2u) << ::testing::PrintToString(lines);
                EXPECT_EQ(lines[1],
                          "WRN Check record OvRetain.check is damaged: written anew for the 2 files its layout "
                          "records describe.");
                if (c.Full) {
                    EXPECT_EQ(lines[2], "ERR Check record write failed: No space left on device");
                }
                EXPECT_EQ(loaded, 1);
                EXPECT_EQ(Number("Plc.Counter"), 2u);
                continue;
            }
            // A backup loaded in place of the file keeps the file aside: one line more.
            ASSERT_EQ(lines.size(), 3u + (backup == 1)) << ::testing::PrintToString(lines);
            EXPECT_EQ(lines[1].rfind("WRN Retained file does not verify: ", 0), 0u) << lines[1];
            EXPECT_NE(lines[1].find(c.Why), std::string::npos) << lines[1];
            EXPECT_EQ(ReadFile(retain_), file) << "left alone";
            if (backup == 1) {
                EXPECT_EQ(lines[2].rfind("WRN Retain file not loaded: ", 0), 0u) << lines[2];
                EXPECT_NE(lines[2].find("; the backup is loaded instead."), std::string::npos) << lines[2];
                EXPECT_EQ(loaded, 1);
                EXPECT_EQ(Number("Plc.Counter"), 1u) << "the backup's values";
                // The damaged file is kept at once, and the values loaded are
                // the node space's to protect: autosave and journal run.
                EXPECT_FALSE(RetainFileAwaitsLoad());
                if (c.Full) {
                    // Even when it cannot be kept yet: the next save keeps
                    // it first, and saves the values loaded, not defaults.
                    EXPECT_EQ(lines[3], "ERR Retain file set-aside write failed: No space left on device");
                    ASSERT_EQ(SaveRetainFile(), 1);
                    EXPECT_FALSE(SavingFromDefaults());
                    bool kept = false;
                    for (const auto& entry : std::filesystem::directory_iterator(dir_.Path()))
                        kept = kept || (entry.path() != retain_ && ReadFile(entry.path()) == file);
                    EXPECT_TRUE(kept);
                    continue;
                }
                const std::string prefix = "WRN Retained file kept as ";
                ASSERT_EQ(lines[3].rfind(prefix, 0), 0u) << lines[3];
                const std::string kept = lines[3].substr(prefix.size(), lines[3].size() - prefix.size() - 1);
                EXPECT_EQ(ReadFile(kept), file);
            } else {
                EXPECT_EQ(lines[2].rfind("ERR Retain file not loaded: ", 0), 0u) << lines[2];
                EXPECT_NE(lines[2].find(c.Why), std::string::npos) << lines[2];
                EXPECT_EQ(loaded, 0);
                EXPECT_EQ(Number("Plc.Counter"), 50u);
                EXPECT_EQ(Text(), "t50");
            }
        }
    }
}

}  // namespace
