// Trigger watchers: how the Trig thread sees a change of Save or Load.
#include "threads/threads.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "nodespace/nodespace_admin.h"
#include "nodespace/ovhgapi.h"
#include "stdlib/pmem.h"
#include "support/test_support.h"
#include "threads/autosave.h"

namespace {

class TriggerWatchers : public ::testing::Test {
protected:
    void SetUp() override {
        std::string error;
        ASSERT_TRUE(NodeSpaceAttach(space_.Name(), true, &error)) << error;
        ASSERT_EQ(NodeCreate("Trigger", 7, 4, "", ""), 0);
        index_ = NodeSpaceFind("Trigger");
        ASSERT_NE(index_, 0u);
    }
    void TearDown() override { NodeSpaceDetach(); }
    void Write(uint32_t v) { NodeWriteValue(index_, &v, 4); }
    uint32_t Read() {
        uint32_t v = 0xEEEEEEEE;
        NodeReadValue(index_, &v, 4);
        return v;
    }

    ovtest::ScopedSpace space_;
    uint32_t index_ = 0;
};

TEST_F(TriggerWatchers, CreationClearsTheNodeAndAnyNonzeroValueFiresOncePerReset) {
    Write(5);  // pending before the watcher exists: discarded
    TriggerWatcher* w = CreateTriggerWatcher(index_);
    ASSERT_NE(w, nullptr);
    EXPECT_EQ(w->NodeIndex, index_);
    EXPECT_EQ(w->LastSeen, 0u);
    EXPECT_EQ(Read(), 0u);
    EXPECT_FALSE(TriggerChanged(w));

    Write(5);
    EXPECT_TRUE(TriggerChanged(w));
    EXPECT_EQ(w->LastSeen, 5u);
    EXPECT_FALSE(TriggerChanged(w));  // unchanged since the last look
    ResetTrigger(w);
    EXPECT_EQ(Read(), 0u);
    EXPECT_EQ(w->LastSeen, 0u);
    EXPECT_FALSE(TriggerChanged(w));

    // The same value again, after the reset, fires again; all 32 bits count.
    for (uint32_t v : {5u, 1u, 0x80000000u, 0xFFFFFFFFu}) {
        Write(v);
        EXPECT_TRUE(TriggerChanged(w)) << v;
        ResetTrigger(w);
    }
    // A change back to 0 without a reset is a change too.
    Write(3);
    EXPECT_TRUE(TriggerChanged(w));
    Write(0);
    EXPECT_TRUE(TriggerChanged(w));
    FreeTriggerWatcher(w);
}

TEST_F(TriggerWatchers, AWatcherOnIndexZeroOrAnUnknownIndexNeverFires) {
    Write(7);
    for (uint32_t index : {0u, 9999u}) {
        TriggerWatcher* w = CreateTriggerWatcher(index);
        ASSERT_NE(w, nullptr);
        EXPECT_FALSE(TriggerChanged(w));
        ResetTrigger(w);
        FreeTriggerWatcher(w);
    }
    EXPECT_EQ(Read(), 7u);  // no other node was touched
}

TEST_F(TriggerWatchers, NullWatchersAreIgnored) {
    PMemInjectFault(1);
    TriggerWatcher* w = CreateTriggerWatcher(index_);
    PMemInjectFault(0);
    EXPECT_EQ(w, nullptr);
    Write(4);
    EXPECT_FALSE(TriggerChanged(nullptr));
    ResetTrigger(nullptr);
    FreeTriggerWatcher(nullptr);
    EXPECT_EQ(Read(), 4u);
}

// The lines of a failing autosave, ten minutes of failures at one per 100 ms
// poll: the first failure's own line, then one summary a minute, then the
// recovery.
TEST(AutoSaveReporting, AFailingAutosaveWritesItsLineOnceThenAMinuteSummaryAndTheRecovery) {
    HeldReport none = {};
    HeldReport sync = {1, "ERR", "Retain file sync failed: Input/output error"};
    uint64_t now = 1000000;
    AutoSaveOutcome(true, none, now);  // no failures before this test
    ovtest::StderrCapture capture;
    AutoSaveOutcome(false, sync, now);
    for (int poll = 1; poll <= 6000; ++poll) AutoSaveOutcome(false, sync, now + 100 * poll);
    AutoSaveOutcome(true, none, now + 600100);
    // A failure whose save said nothing still says something.
    AutoSaveOutcome(false, none, now + 700000);
    AutoSaveOutcome(false, none, now + 700100);
    AutoSaveOutcome(true, none, now + 700200);

    std::vector<std::string> expected = {"ERR Retain file sync failed: Input/output error"};
    for (int minute = 1; minute <= 10; ++minute)
        expected.push_back("ERR Autosave failed 600 more times; last: Retain file sync failed: Input/output error");
    expected.push_back("WRN Retain file saved again after 6001 failed autosaves.");
    expected.push_back("ERR Autosave failed.");
    expected.push_back("WRN Retain file saved again after 2 failed autosaves.");
    EXPECT_EQ(capture.Lines(), expected);
}

}  // namespace
