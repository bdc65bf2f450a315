// ovnode retain-dump through the real binary: a retain file read against the
// node space's current layout.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "support/test_support.h"

namespace {

using namespace ovtest;

// The layout hash of a table holding one node named "abc".
const std::string kAbcHash("\x90\x01\x50\x98", 4);

uint32_t Crc32c(const std::string& bytes) {
    uint32_t crc = 0xFFFFFFFFu;
    for (unsigned char c : bytes) {
        crc ^= c;
        for (int k = 0; k < 8; ++k) crc = (crc & 1) ? (crc >> 1) ^ 0x82F63B78u : crc >> 1;
    }
    return ~crc;
}

std::string Le32(uint32_t v) {
    return std::string{static_cast<char>(v), static_cast<char>(v >> 8), static_cast<char>(v >> 16),
                       static_cast<char>(v >> 24)};
}

// A check record (as a save writes it) that vouches for `file` alone.
std::string CheckRecordFor(const std::string& file) {
    std::string record = std::string("OvCheck1") + Le32(1) + Le32(1) + Le32(static_cast<uint32_t>(file.size())) +
                         Le32(0) + Le32(Crc32c(file)) + file.substr(0, 4) + Le32(0);
    return record + Le32(Crc32c(record));
}

// A change journal's header (as the service writes it) naming `file`, and
// one of its groups: records of (node index, value).
std::string JournalHeaderFor(const std::string& file) {
    const std::string header = "OvJournl" + Le32(1) + file.substr(0, 4) + Le32(static_cast<uint32_t>(file.size())) +
                               Le32(0) + Le32(Crc32c(file));
    return header + Le32(Crc32c(header));
}
std::string JournalGroup(uint32_t sequence, const std::vector<std::pair<uint32_t, std::string>>& records) {
    std::string bytes;
    for (const auto& [index, value] : records)
        bytes += Le32(index) + std::string{static_cast<char>(value.size()), 0} + value;
    const std::string head = Le32(static_cast<uint32_t>(bytes.size())) + Le32(sequence) + Le32(0) +
                             Le32(static_cast<uint32_t>(records.size()));
    return head + Le32(Crc32c(head + bytes)) + bytes;
}

class RetainDumpTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(0, Ovnode(space.Name(), {"create", "abc", "7"}).Status);
        ASSERT_EQ(0, Ovnode(space.Name(), {"create", "empty", "2"}).Status);
        ASSERT_EQ(0, Ovnode(space.Name(), {"create", "text", "12", "8"}).Status);
    }
    RunResult Dump(const std::string& content) {
        WriteFile(dir.File("OvRetain.bin"), content);
        return Ovnode(space.Name(), {"retain-dump", dir.File("OvRetain.bin")});
    }
    ScopedSpace space;
    TempDir dir;
};

TEST_F(RetainDumpTest, PairsEachSlotWithItsNodeAndJudgesTheHeader) {
    // Three nodes now: the hash of "abc" alone no longer matches.
    RunResult r = Dump(kAbcHash + std::string("\x2a\0\0\0", 4) + std::string("hi\0\0\0\0\0\0", 8));
    ASSERT_EQ(0, r.Status) << r.Err;
    EXPECT_NE(std::string::npos, r.Out.find("header word  0x98500190")) << r.Out;
    EXPECT_NE(std::string::npos, r.Out.find("(differ")) << r.Out;
    EXPECT_NE(std::string::npos, r.Out.find("(16 bytes; the layout expects 16)")) << r.Out;
    EXPECT_NE(std::string::npos, r.Out.find("4          abc")) << r.Out;
    EXPECT_NE(std::string::npos, r.Out.find(" 7    42\n")) << r.Out;
    EXPECT_NE(std::string::npos, r.Out.find("8          text")) << r.Out;
    EXPECT_NE(std::string::npos, r.Out.find(" 12   hi\n")) << r.Out;
    EXPECT_EQ(std::string::npos, r.Out.find("empty")) << "a node of Size 0 has no slot\n" << r.Out;
    EXPECT_NE(std::string::npos, r.Out.find("2 slots; the file ends with the last slot")) << r.Out;
}

TEST_F(RetainDumpTest, SaysWhereTheFileIsShortOrLong) {
    RunResult shortFile = Dump(kAbcHash + std::string("\x01\0\0\0", 4) + "hi");
    ASSERT_EQ(0, shortFile.Status) << shortFile.Err;
    EXPECT_NE(std::string::npos, shortFile.Out.find("file ends at byte 10: the slot of text (8 bytes at offset 8)"))
        << shortFile.Out;

    RunResult longFile = Dump(kAbcHash + std::string(12, '\0') + "xyz");
    ASSERT_EQ(0, longFile.Status) << longFile.Err;
    EXPECT_NE(std::string::npos, longFile.Out.find("3 bytes after the last slot")) << longFile.Out;

    RunResult noHeader = Dump("ab");
    ASSERT_EQ(0, noHeader.Status) << noHeader.Err;
    EXPECT_NE(std::string::npos, noHeader.Out.find("shorter than its 4-byte header")) << noHeader.Out;
}

TEST(RetainDump, MatchingHeaderAndMissingInputs) {
    ScopedSpace space;
    TempDir dir;
    ASSERT_EQ(0, Ovnode(space.Name(), {"create", "abc", "7"}).Status);
    WriteFile(dir.File("f.bin"), kAbcHash + std::string("\x05\0\0\0", 4));
    RunResult r = Ovnode(space.Name(), {"retain-dump", dir.File("f.bin")});
    ASSERT_EQ(0, r.Status) << r.Err;
    EXPECT_NE(std::string::npos, r.Out.find("layout hash  0x98500190  (match)")) << r.Out;
    EXPECT_NE(std::string::npos, r.Out.find("check record none")) << r.Out;

    // --check: status 1 for another header, a short or a long file, or one
    // that the check record beside it does not vouch for.
    WriteFile(dir.File("OvRetain.check"), CheckRecordFor(kAbcHash + std::string("\x05\0\0\0", 4)));
    const std::pair<std::string, int> checks[] = {
        {kAbcHash + std::string("\x05\0\0\0", 4), 0}, {kAbcHash + std::string("\x07\0\0\0", 4), 1},
        {"abcd" + std::string("\x05\0\0\0", 4), 1},   {kAbcHash + std::string(3, '\0'), 1},
        {kAbcHash + std::string(5, '\0'), 1},         {"ab", 1}};
    for (const auto& [content, status] : checks) {
        WriteFile(dir.File("c.bin"), content);
        RunResult check = Ovnode(space.Name(), {"retain-dump", "--check", dir.File("c.bin")});
        EXPECT_EQ(status, check.Status) << content.size() << " bytes\n" << check.Out;
        RunResult json = Ovnode(space.Name(), {"retain-dump", "--json", dir.File("c.bin")});
        EXPECT_TRUE(IsJson(json.Out)) << json.Out;
    }
    EXPECT_FALSE(IsJson("{\"a\": 1,}"));
    EXPECT_FALSE(IsJson("[1] 2"));
    WriteFile(dir.File("c.bin"), kAbcHash + std::string("\x07\0\0\0", 4));
    RunResult flipped = Ovnode(space.Name(), {"retain-dump", "--check", dir.File("c.bin")});
    EXPECT_NE(std::string::npos, flipped.Out.find("check record failed: its checksum")) << flipped.Out;
    RunResult json = Ovnode(space.Name(), {"retain-dump", "--json", dir.File("f.bin")});
    EXPECT_NE(std::string::npos, json.Out.find("\"check\": \"verified\"")) << json.Out;
    EXPECT_NE(std::string::npos,
              json.Out.find("{\"offset\": 4, \"name\": \"abc\", \"type\": 7, \"size\": 4, \"value\": 5}"))
        << json.Out;

    // --journal: the whole groups of a journal that names the file, in order,
    // up to the first that is cut short or damaged; records of a node with
    // no slot are left out; a journal of another file is not applied.
    const std::string file = kAbcHash + std::string("\x05\0\0\0", 4);
    const std::string two =
        JournalHeaderFor(file) + JournalGroup(1, {{1, Le32(9)}}) + JournalGroup(2, {{1, Le32(11)}, {7, Le32(1)}});
    const std::string third = JournalGroup(3, {{1, Le32(13)}});
    std::string flipped3 = two + third;
    flipped3[flipped3.size() - 2] ^= 1;
    const std::string otherFile =
        JournalHeaderFor(kAbcHash + std::string("\x06\0\0\0", 4)) + JournalGroup(1, {{1, Le32(9)}});
    const struct {
        std::string Journal;
        std::string Says;
        std::string Value;
    } journals[] = {
        {"", "none beside the file", "5"},
        {two + third, "OvRetain.journal: 3 groups applied (4 values); 1 of them for no slot of this file", "13"},
        {two + third.substr(0, third.size() - 1),
         "OvRetain.journal: 2 groups applied (3 values); a damaged or cut-short", "11"},
        {flipped3, "OvRetain.journal: 2 groups applied (3 values); a damaged or cut-short", "11"},
        {otherFile, "OvRetain.journal names another file (header 0x98500190, 8 bytes, CRC", "5"},
    };
    for (const auto& j : journals) {
        if (j.Journal.empty())
            std::remove(dir.File("OvRetain.journal").c_str());
        else
            WriteFile(dir.File("OvRetain.journal"), j.Journal);
        RunResult shown = Ovnode(space.Name(), {"retain-dump", "--journal", dir.File("f.bin")});
        EXPECT_EQ(0, shown.Status) << shown.Err;
        EXPECT_NE(std::string::npos, shown.Out.find("journal      " + j.Says)) << shown.Out;
        EXPECT_NE(std::string::npos, shown.Out.find(" 7    " + j.Value + "\n")) << shown.Out;
        RunResult asJson = Ovnode(space.Name(), {"retain-dump", "--journal", "--json", dir.File("f.bin")});
        EXPECT_TRUE(IsJson(asJson.Out)) << asJson.Out;
        EXPECT_NE(std::string::npos, asJson.Out.find("\"value\": " + j.Value + "}")) << asJson.Out;
    }

    RunResult missing = Ovnode(space.Name(), {"retain-dump", dir.File("none.bin")});
    EXPECT_EQ(1, missing.Status);
    EXPECT_NE(std::string::npos, missing.Err.find("cannot read retain file")) << missing.Err;

    ScopedSpace absent;
    RunResult noSpace = Ovnode(absent.Name(), {"retain-dump", dir.File("f.bin")});
    EXPECT_EQ(1, noSpace.Status);
    EXPECT_NE(std::string::npos, noSpace.Err.find("does not exist")) << noSpace.Err;
}

}  // namespace
