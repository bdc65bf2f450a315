// The change journal's format: what a replay applies from a journal that a
// crash cut short or a bad sector changed.
#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "retain/journal_format.h"

namespace {

// node index -> last value applied
using Applied = std::map<uint32_t, std::string>;

void Collect(void* context, uint32_t index, const uint8_t* value, uint16_t size) {
    (*static_cast<Applied*>(context))[index] = std::string(reinterpret_cast<const char*>(value), size);
}

struct Journal {
    std::vector<uint8_t> Bytes;
    std::vector<size_t> GroupEnds;  // where each group ends
};

// Three groups; node 7 changes in each, so the value applied tells how many
// groups were replayed.
Journal ThreeGroups() {
    Journal j;
    EncodeJournalHeader(&j.Bytes, JournalIdentity{0x1a2b3c4d, 4096, 0xdeadbeef});
    for (uint64_t g = 1; g <= 3; ++g) {
        const size_t start = BeginJournalGroup(&j.Bytes, g);
        const uint32_t counter = static_cast<uint32_t>(g * 100);
        AppendJournalRecord(&j.Bytes, 7, &counter, sizeof counter);
        const std::string text = "recipe " + std::to_string(g);
        AppendJournalRecord(&j.Bytes, static_cast<uint32_t>(10 + g), text.c_str(), static_cast<uint16_t>(text.size()));
        FinishJournalGroup(&j.Bytes, start);
        j.GroupEnds.push_back(j.Bytes.size());
    }
    return j;
}

uint32_t CounterOf(const Applied& applied) {
    auto it = applied.find(7);
    if (it == applied.end() || it->second.size() != 4) return 0;
    uint32_t v;
    std::memcpy(&v, it->second.data(), 4);
    return v;
}

TEST(JournalFormat, HeaderNamesTheFileItExtends) {
    const Journal j = ThreeGroups();
    JournalIdentity id;
    ASSERT_TRUE(DecodeJournalHeader(j.Bytes.data(), j.Bytes.size(), &id));
    EXPECT_TRUE((id == JournalIdentity{0x1a2b3c4d, 4096, 0xdeadbeef}));
    std::vector<uint8_t> damaged = j.Bytes;
    damaged[20] ^= 0x01;  // the file length
    EXPECT_FALSE(DecodeJournalHeader(damaged.data(), damaged.size(), &id));
    EXPECT_FALSE(DecodeJournalHeader(j.Bytes.data(), kJournalHeaderSize - 1, &id));
}

// A crash during the last append leaves any prefix of its group: every cut
// replays the two whole groups and nothing of the third.
TEST(JournalFormat, ACutLastGroupCostsOnlyThatGroup) {
    const Journal j = ThreeGroups();
    for (size_t cut = j.GroupEnds[1]; cut <= j.GroupEnds[2]; ++cut) {
        Applied applied;
        const JournalReplay r = ReplayJournalGroups(j.Bytes.data(), cut, Collect, &applied);
        const bool whole = cut == j.GroupEnds[2];
        SCOPED_TRACE("cut at " + std::to_string(cut));
        EXPECT_EQ(r.Groups, whole ? 3u : 2u);
        EXPECT_EQ(CounterOf(applied), whole ? 300u : 200u);
        EXPECT_EQ(applied.count(13), whole ? 1u : 0u);
        EXPECT_EQ(r.WholeBytes, whole ? j.GroupEnds[2] : j.GroupEnds[1]);
        EXPECT_EQ(r.Tail, !whole && cut > j.GroupEnds[1]);
        EXPECT_FALSE(r.Damaged) << "cut short, not damaged";
    }
    // A torn append that a file system left as zeros up to the new length.
    std::vector<uint8_t> zeros(j.Bytes.begin(), j.Bytes.begin() + static_cast<long>(j.GroupEnds[1]));
    zeros.resize(j.GroupEnds[2], 0);
    const JournalReplay r = ReplayJournalGroups(zeros.data(), zeros.size(), nullptr, nullptr);
    EXPECT_EQ(r.Groups, 2u);
    EXPECT_FALSE(r.Damaged);
}

// One flipped bit anywhere in a group stops the replay before that group:
// none of its records is applied, nor any later group's.
TEST(JournalFormat, AFlippedBitStopsTheReplayAtItsGroup) {
    const Journal j = ThreeGroups();
    for (size_t at = kJournalHeaderSize; at < j.Bytes.size(); ++at) {
        std::vector<uint8_t> damaged = j.Bytes;
        damaged[at] ^= 0x10;
        size_t group = 0;
        while (at >= j.GroupEnds[group]) ++group;
        Applied applied;
        const JournalReplay r = ReplayJournalGroups(damaged.data(), damaged.size(), Collect, &applied);
        SCOPED_TRACE("bit flipped at " + std::to_string(at));
        EXPECT_EQ(r.Groups, group);
        EXPECT_EQ(CounterOf(applied), group * 100);
        EXPECT_TRUE(r.Tail);
        // Damage, also where the flip made the group's length reach past the
        // end: its records and checksum are all there.
        EXPECT_TRUE(r.Damaged);
    }
    // A group cut short by a crash is no damage, whatever its length word.
    for (size_t cut = j.GroupEnds[0] + 1; cut < j.GroupEnds[1]; ++cut) {
        const JournalReplay r = ReplayJournalGroups(j.Bytes.data(), cut, nullptr, nullptr);
        EXPECT_EQ(r.Groups, 1u);
        EXPECT_FALSE(r.Damaged) << "cut at " << cut;
    }
}

// Groups out of order (a stale group after a restarted sequence) are not
// replayed past.
TEST(JournalFormat, ASequenceGapEndsTheReplay) {
    Journal j;
    EncodeJournalHeader(&j.Bytes, JournalIdentity{1, 8, 2});
    for (uint64_t seq : {1u, 2u, 4u}) {
        const size_t start = BeginJournalGroup(&j.Bytes, seq);
        const uint32_t v = static_cast<uint32_t>(seq);
        AppendJournalRecord(&j.Bytes, 7, &v, 4);
        FinishJournalGroup(&j.Bytes, start);
    }
    Applied applied;
    const JournalReplay r = ReplayJournalGroups(j.Bytes.data(), j.Bytes.size(), Collect, &applied);
    EXPECT_EQ(r.Groups, 2u);
    EXPECT_EQ(CounterOf(applied), 2u);
    EXPECT_TRUE(r.Damaged);
}

}  // namespace
