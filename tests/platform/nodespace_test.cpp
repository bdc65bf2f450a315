// The node-space library: records, attributes, value semantics, and its
// behaviour across processes (visibility, torn reads, a holder of the lock
// killed, control events).
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "common/event_signals.h"
#include "common/shm_segment.h"
#include "nodespace/nodespace_admin.h"
#include "nodespace/ovhgapi.h"
#include "nodespace/segment_layout.h"
#include "support/test_support.h"

namespace {

using namespace ovtest;

const int kInit = (BlockEventSignals(), 0);

class NodeSpaceTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string err;
        ASSERT_TRUE(NodeSpaceAttach(space.Name(), true, &err)) << err;
    }
    void TearDown() override { NodeSpaceDetach(); }
    ScopedSpace space;
};

uint16_t SizeAttr(const char* name) {
    uint16_t size = 0xFFFF;
    EXPECT_EQ(0, NodeGetAttribute(name, "Size", &size, 2)) << name;
    return size;
}

TEST_F(NodeSpaceTest, RecordsLieInTheTableWithNameTypeAndIndexAtTheirOffsets) {
    ASSERT_EQ(0, NodeCreate("A.first", 7, 4, "", ""));
    ASSERT_EQ(0, NodeCreate("B.second", 1, 1, "", ""));
    ASSERT_EQ(2, NodeCount());
    const auto* bytes = reinterpret_cast<const uint8_t*>(NodeTable());
    EXPECT_STREQ("B.second", reinterpret_cast<const char*>(bytes + 578));
    uint16_t type;
    uint32_t index;
    std::memcpy(&type, bytes + 578 + 562, 2);
    std::memcpy(&index, bytes + 578 + 566, 4);
    EXPECT_EQ(1, type);
    EXPECT_EQ(2u, index);
    std::memcpy(&index, bytes + 566, 4);
    EXPECT_EQ(1u, index);
}

TEST_F(NodeSpaceTest, SizeFollowsTheTypeCode) {
    struct Case {
        uint16_t type, given, expected;
    } cases[] = {{1, 4, 1}, {3, 0, 1}, {4, 9, 2},      {5, 0, 2}, {6, 1, 4},
                 {7, 0, 4}, {2, 4, 0}, {13, 256, 256}, {8, 8, 8}, {99, 3, 3}};
    for (const auto& c : cases) {
        std::string name = "T.type" + std::to_string(c.type);
        ASSERT_EQ(0, NodeCreate(name.c_str(), c.type, c.given, "", "")) << name;
        EXPECT_EQ(c.expected, SizeAttr(name.c_str())) << name;
        uint16_t type = 0;
        ASSERT_EQ(0, NodeGetAttribute(name.c_str(), "Type", &type, 2));
        EXPECT_EQ(c.type, type);
    }
    uint32_t scratch = 0;
    char area[32];
    ASSERT_EQ(0, NodeCreateString("T.text", 12, 80, "", "", area, 32, &scratch));
    EXPECT_EQ(80, SizeAttr("T.text"));
}

TEST_F(NodeSpaceTest, NamesAreUniqueBoundedAndNotEmpty) {
    std::string longest(kNodeNameMax, 'n');
    EXPECT_EQ(0, NodeCreate(longest.c_str(), 7, 4, "", ""));
    EXPECT_NE(0, NodeCreate((longest + "x").c_str(), 7, 4, "", ""));
    EXPECT_NE(0, NodeCreate(longest.c_str(), 1, 1, "", "")) << "a second node of the same name";
    EXPECT_NE(0, NodeCreate("", 7, 4, "", ""));
    EXPECT_EQ(1, NodeCount());
    EXPECT_EQ(1u, NodeSpaceFind(longest.c_str()));
    uint32_t index = 0;
    EXPECT_EQ(0, NodeGetAttribute(longest.c_str(), "Index", &index, 4));
    EXPECT_EQ(1u, index);
    EXPECT_NE(0, NodeGetAttribute("No.such.node", "Type", &index, 2));
    EXPECT_NE(0, NodeGetAttribute(longest.c_str(), "Colour", &index, 2));
}

TEST_F(NodeSpaceTest, WritesKeepTheLowOrderBytesAndZeroFillNarrowOnes) {
    ASSERT_EQ(0, NodeCreate("V.byte", 1, 1, "", ""));
    ASSERT_EQ(0, NodeCreate("V.dword", 7, 4, "", ""));
    uint32_t wide = 0x11223344;
    ASSERT_EQ(0, NodeWriteByName("V.byte", &wide, 4));
    uint32_t got = 0xAAAAAAAA;
    NodeReadByName("V.byte", &got, 4);
    EXPECT_EQ(0xAAAAAA44u, got) << "a read copies no more than the node holds";

    ASSERT_EQ(0, NodeWriteByName("V.dword", &wide, 4));
    uint8_t narrow = 0x7F;
    NodeWriteValue(2, &narrow, 1);
    got = 0;
    NodeReadValue(2, &got, 4);
    EXPECT_EQ(0x7Fu, got);

    uint8_t guard[8];
    std::memset(guard, 0xEE, sizeof guard);
    NodeReadValue(2, guard, 2);
    EXPECT_EQ(0x7F, guard[0]);
    EXPECT_EQ(0x00, guard[1]);
    EXPECT_EQ(0xEE, guard[2]) << "a read never writes past the caller's size";
}

TEST_F(NodeSpaceTest, IndexZeroAndUnknownIndicesChangeNothing) {
    ASSERT_EQ(0, NodeCreate("Z.value", 7, 4, "", ""));
    uint32_t v = 5;
    NodeWriteValue(1, &v, 4);
    uint32_t other = 99;
    NodeWriteValue(0, &other, 4);
    NodeWriteValue(2, &other, 4);
    NodeWriteData(0, &other, 4);
    NodeWriteRange(0, 0, &other, 4);
    uint32_t got = 0;
    NodeReadValue(1, &got, 4);
    EXPECT_EQ(5u, got);
    for (uint32_t index : {0u, 2u, 0xFFFFFFFFu}) {
        uint32_t buf = 0x12345678;
        NodeReadValue(index, &buf, 4);
        NodeReadData(index, &buf, 4);
        NodeReadRange(index, 0, &buf, 4);
        EXPECT_EQ(0x12345678u, buf) << index;
    }
}

TEST_F(NodeSpaceTest, TextsAreCutToSizeAndAlwaysTerminated) {
    uint32_t scratch;
    char area[32];
    ASSERT_EQ(0, NodeCreateString("S.text", 12, 8, "", "", area, 32, &scratch));
    ASSERT_EQ(0, NodeWriteStringByName("S.text", "abcdefghijkl"));
    char buf[16];
    std::memset(buf, 'x', sizeof buf);
    NodeReadStringByName("S.text", buf, sizeof buf);
    EXPECT_STREQ("abcdefg", buf);
    NodeReadStringByName("S.text", buf, 4);
    EXPECT_STREQ("abc", buf);

    ASSERT_EQ(0, NodeWriteStringByName("S.text", "ab"));
    uint8_t raw[8];
    NodeReadData(1, raw, 8);
    const uint8_t expected[8] = {'a', 'b', 0, 0, 0, 0, 0, 0};
    EXPECT_EQ(0, std::memcmp(raw, expected, 8)) << "the rest of a text value is zero";
}

TEST_F(NodeSpaceTest, RangesAddressBytesFromAnOffset) {
    ASSERT_EQ(0, NodeCreate("R.bytes", 13, 10, "", ""));
    const uint8_t all[10] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9};
    NodeWriteRange(1, 0, all, 10);
    const uint8_t patch[4] = {0xA0, 0xA1, 0xA2, 0xA3};
    NodeWriteRange(1, 8, patch, 4);  // only two bytes fit
    uint8_t got[10];
    NodeReadRange(1, 0, got, 10);
    const uint8_t expected[10] = {0, 1, 2, 3, 4, 5, 6, 7, 0xA0, 0xA1};
    EXPECT_EQ(0, std::memcmp(got, expected, 10));
    uint8_t tail[3] = {0, 0, 0x55};
    NodeReadRange(1, 7, tail, 3);
    EXPECT_EQ(7, tail[0]);
    EXPECT_EQ(0xA0, tail[1]);
    EXPECT_EQ(0xA1, tail[2]);
}

TEST_F(NodeSpaceTest, EveryCreationAndValueWriteAdvancesTheWriteGenerationOnce) {
    uint64_t last = NodeWriteGeneration();
    auto advancedOnce = [&](const char* what) {
        uint64_t now = NodeWriteGeneration();
        EXPECT_EQ(last + 1, now) << what;
        last = now;
    };
    ASSERT_EQ(0, NodeCreate("G.value", 7, 4, "", ""));
    advancedOnce("NodeCreate");
    uint32_t scratch = 0;
    char area[32];
    ASSERT_EQ(0, NodeCreateString("G.text", 12, 16, "", "", area, 32, &scratch));
    advancedOnce("NodeCreateString");
    EXPECT_NE(0, NodeCreate("G.value", 7, 4, "", ""));
    EXPECT_EQ(last, NodeWriteGeneration()) << "a refused creation";

    uint32_t v = 9;
    NodeWriteValue(1, &v, 4);
    advancedOnce("NodeWriteValue");
    NodeWriteData(1, &v, 4);
    advancedOnce("NodeWriteData");
    NodeWriteRange(1, 1, &v, 2);
    advancedOnce("NodeWriteRange");
    ASSERT_EQ(0, NodeWriteByName("G.value", &v, 4));
    advancedOnce("NodeWriteByName");
    ASSERT_EQ(0, NodeWriteStringByName("G.text", "abc"));
    advancedOnce("NodeWriteStringByName");
    NodeWriteValue(1, &v, 4);  // the same value again is a write all the same
    advancedOnce("an unchanged value");

    char text[16];
    NodeReadValue(1, &v, 4);
    NodeReadByName("G.value", &v, 4);
    NodeReadStringByName("G.text", text, sizeof text);
    NodeWriteValue(0, &v, 4);
    NodeWriteValue(99, &v, 4);
    EXPECT_EQ(last, NodeWriteGeneration()) << "reads and writes to no node";

    // Another process's write counts in this one.
    pid_t child = fork();
    if (child == 0) {
        uint32_t w = 1;
        NodeWriteValue(1, &w, 4);
        _exit(0);
    }
    int status = 0;
    waitpid(child, &status, 0);
    advancedOnce("a write by another process");
}

TEST_F(NodeSpaceTest, TableNamesAreFoundWithoutTheIndexAndForeignNamesThroughIt) {
    for (int i = 0; i < 1000; ++i) {
        std::string name = "AREA" + std::to_string(i % 7) + ".LINE" + std::to_string(i) + ".Speed";
        ASSERT_EQ(0, NodeCreate(name.c_str(), 7, 4, "", ""));
        // Each new record lies past the ones a lookup found before it.
        uint32_t index = 0;
        ASSERT_EQ(0, NodeGetAttribute(NodeTable()[NodeCount() - 1].Name, "Index", &index, 4)) << name;
    }
    for (int i = 0; i < NodeCount(); ++i) {
        const NodeRecord& r = NodeTable()[i];
        uint32_t index = 0;
        ASSERT_EQ(0, NodeGetAttribute(r.Name, "Index", &index, 4));
        EXPECT_EQ(uint32_t{r.Index}, index);  // a copy: r is packed, Index unaligned
        std::string copy = r.Name;
        EXPECT_EQ(uint32_t{r.Index}, NodeSpaceFind(copy.c_str()));
    }
}

TEST_F(NodeSpaceTest, ThreadsCreatingAtOnceLoseNoNode) {
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([t] {
            for (int i = 0; i < 500; ++i) {
                std::string name = "P" + std::to_string(t) + "." + std::to_string(i);
                NodeCreate(name.c_str(), 7, 4, "", "");
            }
        });
    }
    for (auto& th : threads) th.join();
    EXPECT_EQ(2000, NodeCount());
    for (int t = 0; t < 4; ++t) {
        for (int i = 0; i < 500; i += 37) {
            std::string name = "P" + std::to_string(t) + "." + std::to_string(i);
            EXPECT_NE(0u, NodeSpaceFind(name.c_str())) << name;
        }
    }
}

// A child process that runs body and exits with its result.
pid_t Fork(const std::function<int()>& body) {
    pid_t pid = fork();
    if (pid == 0) _exit(body());
    return pid;
}

int Reap(pid_t pid) {
    int st = 0;
    waitpid(pid, &st, 0);
    return WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
}

TEST_F(NodeSpaceTest, ProcessesShareNodesAndValues) {
    ASSERT_EQ(0, NodeCreate("Shared.counter", 7, 4, "", ""));
    pid_t child = Fork([] {
        if (NodeCreate("Shared.fromChild", 12, 40, "", "") != 0) return 1;
        if (NodeWriteStringByName("Shared.fromChild", "hello") != 0) return 2;
        uint32_t v = 77;
        return NodeWriteByName("Shared.counter", &v, 4) == 0 ? 0 : 3;
    });
    ASSERT_EQ(0, Reap(child));
    EXPECT_EQ(2, NodeCount());
    char text[40] = {};
    NodeReadStringByName("Shared.fromChild", text, sizeof text);
    EXPECT_STREQ("hello", text);
    uint32_t v = 0;
    NodeReadByName("Shared.counter", &v, 4);
    EXPECT_EQ(77u, v);
}

// The written-node set: every creation and write, by any process, once per
// take, across bitmap words; reads and writes to no node leave nothing.
TEST_F(NodeSpaceTest, WrittenNodesAreTakenOnceEachUntilWrittenAgain) {
    auto take = [] {
        std::vector<uint32_t> taken;
        NodeTakeWritten(&taken);
        std::sort(taken.begin(), taken.end());
        return taken;
    };
    for (int i = 0; i < 200; ++i) ASSERT_EQ(0, NodeCreate(("W.n" + std::to_string(i)).c_str(), 7, 4, "", ""));
    EXPECT_EQ(200u, take().size()) << "creations";
    EXPECT_TRUE(take().empty());

    uint32_t v = 5;
    NodeWriteValue(1, &v, 4);
    NodeWriteData(64, &v, 4);
    NodeWriteRange(65, 1, &v, 2);
    NodeWriteValue(200, &v, 4);
    NodeWriteValue(200, &v, 4);
    ASSERT_EQ(0, NodeWriteByName("W.n129", &v, 4));
    NodeReadValue(2, &v, 4);
    NodeWriteValue(0, &v, 4);
    NodeWriteValue(201, &v, 4);
    EXPECT_EQ((std::vector<uint32_t>{1, 64, 65, 130, 200}), take());

    pid_t child = Fork([] {
        uint32_t w = 1;
        NodeWriteValue(77, &w, 4);
        return 0;
    });
    ASSERT_EQ(0, Reap(child));
    EXPECT_EQ((std::vector<uint32_t>{77}), take()) << "a write by another process";
    EXPECT_TRUE(take().empty());

    // Forgotten, across words, as a take would; a later write is taken.
    NodeWriteValue(3, &v, 4);
    NodeWriteValue(150, &v, 4);
    NodeForgetWritten();
    NodeWriteValue(99, &v, 4);
    EXPECT_EQ((std::vector<uint32_t>{99}), take());
}

TEST_F(NodeSpaceTest, AValueIsNeverReadTorn) {
    ASSERT_EQ(0, NodeCreate("Torn.block", 13, 4096, "", ""));
    std::vector<uint8_t> init(4096, 0);
    NodeWriteRange(1, 0, init.data(), 4096);
    pid_t writer = Fork([] {
        std::vector<uint8_t> buf(4096);
        for (int k = 1; k <= 3000; ++k) {
            std::memset(buf.data(), k & 0xFF, buf.size());
            NodeWriteData(1, buf.data(), 4096);
        }
        return 0;
    });
    std::vector<uint8_t> got(4096);
    int torn = 0;
    bool running = true;
    while (running) {
        running = waitpid(writer, nullptr, WNOHANG) == 0;
        NodeReadData(1, got.data(), 4096);
        for (size_t i = 1; i < got.size(); ++i) {
            if (got[i] != got[0]) {
                ++torn;
                break;
            }
        }
    }
    EXPECT_EQ(0, torn);
    NodeReadData(1, got.data(), 4096);
    EXPECT_EQ(3000 & 0xFF, got[4095]);
}

TEST_F(NodeSpaceTest, AWriterKilledWhileHoldingTheLockDoesNotFreezeOthers) {
    ASSERT_EQ(0, NodeCreate("Kill.block", 13, 65535, "", ""));
    ASSERT_EQ(0, NodeCreate("Kill.counter", 7, 4, "", ""));
    std::mt19937 rng(12345);
    for (int round = 0; round < 20; ++round) {
        int pipefd[2];
        ASSERT_EQ(0, pipe(pipefd));
        pid_t writer = Fork([&] {
            std::vector<uint8_t> buf(65535, 0x5A);
            close(pipefd[0]);
            (void)!write(pipefd[1], "x", 1);
            for (;;) NodeWriteData(1, buf.data(), 65535);
            return 0;
        });
        close(pipefd[1]);
        char c;
        ASSERT_EQ(1, read(pipefd[0], &c, 1));
        close(pipefd[0]);
        std::this_thread::sleep_for(std::chrono::microseconds(rng() % 3000));
        kill(writer, SIGKILL);
        Reap(writer);
        const uint64_t before = NodeWriteGeneration();

        // Others go on: a write and a read of both nodes finish, in a helper
        // thread watched with a deadline.
        std::atomic<bool> done{false};
        std::thread probe([&] {
            uint32_t v = static_cast<uint32_t>(round);
            NodeWriteValue(2, &v, 4);
            std::vector<uint8_t> buf(65535);
            NodeReadData(1, buf.data(), 65535);
            NodeWriteData(1, buf.data(), 65535);
            done = true;
        });
        bool finished = WaitUntil([&] { return done.load(); }, 10s);
        if (!finished) {
            probe.detach();
            FAIL() << "node space frozen after round " << round;
        }
        probe.join();
        uint32_t v = 0;
        NodeReadValue(2, &v, 4);
        EXPECT_EQ(static_cast<uint32_t>(round), v);
        // The probe's two writes count, a repair before them or not.
        EXPECT_GE(NodeWriteGeneration(), before + 2);
    }
}

// The segment as the test maps it: the node space's own header and value
// blocks, for the tests that play a process which breaks the rules.
nodespace::SegmentHeader* Header() {
    return reinterpret_cast<nodespace::SegmentHeader*>(reinterpret_cast<uint8_t*>(NodeTable()) -
                                                       nodespace::kDefaultLayout.TableOffset);
}

nodespace::ValueEntry* Entry(uint32_t index) {
    return reinterpret_cast<nodespace::ValueEntry*>(reinterpret_cast<uint8_t*>(Header()) +
                                                    nodespace::kDefaultLayout.ValuesOffset) +
           (index - 1);
}

// Runs op in a helper thread; false when it has not returned within 20 s.
bool Returns(const std::function<void()>& op) {
    auto done = std::make_shared<std::atomic<bool>>(false);
    std::thread t([op, done] {
        op();
        *done = true;
    });
    if (!WaitUntil([&] { return done->load(); }, 20s)) {
        t.detach();
        return false;
    }
    t.join();
    return true;
}

TEST_F(NodeSpaceTest, NoOperationWaitsForEverOnAnotherProcess) {
    ASSERT_EQ(0, NodeCreate("Wait.value", 7, 4, "", ""));
    uint32_t v = 11;
    ASSERT_EQ(0, NodeWriteByName("Wait.value", &v, 4));

    // A holder that unmapped the segment before it died: the kernel cannot
    // mark the lock, its recorded thread id tells that it is gone.
    pid_t holder = Fork([] {
        if (OwnerLockAcquire(&Header()->Lock) != LockResult::Taken) return 1;
        munmap(Header(), nodespace::kDefaultLayout.SegmentSize);
        return 0;
    });
    ASSERT_EQ(0, Reap(holder));
    v = 12;
    ASSERT_TRUE(Returns([&] { EXPECT_EQ(0, NodeWriteByName("Wait.value", &v, 4)); }));

    // A writer that died between marking its node's bit and the bit's
    // summary: the repair still hands the node to the consumer.
    std::vector<uint32_t> written;
    NodeTakeWritten(&written);
    holder = Fork([] {
        if (OwnerLockAcquire(&Header()->Lock) != LockResult::Taken) return 1;
        Header()->Writing.store(1);
        auto* words =
            reinterpret_cast<std::atomic<uint64_t>*>(reinterpret_cast<uint8_t*>(Header()) + nodespace::kWrittenOffset);
        words[0].fetch_or(1);
        _exit(0);
    });
    ASSERT_EQ(0, Reap(holder));
    ASSERT_TRUE(Returns([&] { EXPECT_EQ(0, NodeWriteByName("Wait.value", &v, 4)); }));
    written.clear();
    NodeTakeWritten(&written);
    EXPECT_EQ(written, std::vector<uint32_t>{1});

    // A sequence word stuck odd: the read is made under the lock.
    Entry(1)->Sequence.store(7);
    uint32_t got = 0;
    ASSERT_TRUE(Returns([&] { NodeReadValue(1, &got, 4); }));
    EXPECT_EQ(12u, got);
    EXPECT_EQ(0u, Entry(1)->Sequence.load() & 1);

    // A live holder that does not let go: the call fails after the deadline.
    int pipefd[2];
    ASSERT_EQ(0, pipe(pipefd));
    holder = Fork([&] {
        OwnerLockAcquire(&Header()->Lock);
        (void)!write(pipefd[1], "x", 1);
        pause();
        return 0;
    });
    char c;
    ASSERT_EQ(1, read(pipefd[0], &c, 1));
    close(pipefd[0]);
    close(pipefd[1]);
    const uint32_t failures = NodeAccessFailures();
    v = 13;
    ASSERT_TRUE(Returns([&] { EXPECT_NE(0, NodeWriteByName("Wait.value", &v, 4)); }));
    EXPECT_GT(NodeAccessFailures(), failures);
    // A read of a value stuck odd fails too. (That it fails at once, not a
    // deadline later, is shown end to end: `list` of a whole space ends.)
    Entry(1)->Sequence.store(9);
    const uint32_t more = NodeAccessFailures();
    NodeReadValue(1, &got, 4);
    EXPECT_GT(NodeAccessFailures(), more);
    kill(holder, SIGKILL);
    Reap(holder);
    EXPECT_EQ(0, NodeWriteByName("Wait.value", &v, 4)) << "taken over from the killed holder";
}

// Whatever a process of the group writes into the segment, a call that
// meets it fails and counts; none reads or writes outside the segment.
TEST_F(NodeSpaceTest, CountsSizesAndOffsetsFromTheSegmentAreCheckedBeforeUse) {
    ASSERT_EQ(0, NodeCreate("Bad.first", 7, 4, "", ""));
    ASSERT_EQ(0, NodeCreate("Bad.second", 13, 16, "", ""));
    NodeRecord* r = &NodeTable()[1];
    nodespace::ValueEntry* e = Entry(2);
    struct Case {
        const char* What;
        std::function<void()> Break;
    } cases[] = {
        {"value offset past the heap", [&] { e->Offset = 0x7F7F7F7F7F7F7F7Full; }},
        {"value offset not aligned", [&] { e->Offset |= 3; }},
        {"size reaching past the heap",
         [&] {
             e->Offset = Header()->HeapReserved.load() - 16;
             e->Size = 60000;
         }},
        {"record naming another index", [&] { r->Index = 1; }},
    };
    uint64_t bytes = 0;
    uint32_t bad = 0;
    ASSERT_EQ(0, NodeCheckValues(2, &bytes, &bad));
    EXPECT_EQ(20u, bytes);
    for (const Case& c : cases) {
        NodeRecord saved = *r;
        const uint64_t savedOffset = e->Offset;
        const uint16_t savedSize = e->Size;
        c.Break();
        if (std::string(c.What).find("record") == std::string::npos) {
            EXPECT_EQ(EIO, NodeCheckValues(2, &bytes, &bad)) << c.What;
            EXPECT_EQ(2u, bad) << c.What;
        }
        const uint32_t failures = NodeAccessFailures();
        uint8_t buf[16];
        std::memset(buf, 0xEE, sizeof buf);
        NodeReadData(2, buf, 16);
        NodeWriteData(2, buf, 16);
        NodeReadRange(2, 0, buf, 16);
        NodeWriteRange(2, 4, buf, 4);
        EXPECT_NE(0, NodeWriteByName("Bad.second", buf, 16)) << c.What;
        EXPECT_EQ(0xEE, buf[0]) << c.What;
        EXPECT_GT(NodeAccessFailures(), failures) << c.What;
        *r = saved;
        e->Offset = savedOffset;
        e->Size = savedSize;
    }
    // Entries that a walk of every value would read more from than the
    // nodes hold: refused before the walk.
    const Case entries[] = {
        {"two values at one offset", [&] { e->Offset = Entry(1)->Offset; }},
        {"a value before the one ahead of it", [&] { Entry(1)->Offset = e->Offset + 64; }},
        {"a fixed size changed", [&] { Entry(1)->Size = 8; }},
        {"a size past the values in use", [&] { e->Size = 60000; }},
    };
    for (const Case& c : entries) {
        const uint16_t firstSize = Entry(1)->Size;
        const uint64_t firstOffset = Entry(1)->Offset;
        const uint64_t savedOffset = e->Offset;
        const uint16_t savedSize = e->Size;
        c.Break();
        const uint32_t failures = NodeAccessFailures();
        EXPECT_EQ(EIO, NodeCheckValues(2, &bytes, &bad)) << c.What;
        EXPECT_NE(0u, bad) << c.What;
        EXPECT_GT(NodeAccessFailures(), failures) << c.What;
        Entry(1)->Size = firstSize;
        Entry(1)->Offset = firstOffset;
        e->Offset = savedOffset;
        e->Size = savedSize;
    }
    ASSERT_EQ(0, NodeCheckValues(2, &bytes, &bad));

    const uint32_t failures = NodeAccessFailures();
    Header()->Count.store(2000000);
    EXPECT_LT(NodeCount(), 2000000) << "a count past the reserved table";
    EXPECT_NE(0, NodeCreate("Bad.third", 7, 4, "", ""));
    EXPECT_GT(NodeAccessFailures(), failures);
    Header()->Count.store(2);
    EXPECT_EQ(0, NodeCreate("Bad.third", 7, 4, "", ""));

    // Cut short under a running process, after the records: reported, and
    // nothing is followed, not even a record still whole.
    const uintptr_t records =
        reinterpret_cast<uintptr_t>(NodeTable() + NodeCount()) - reinterpret_cast<uintptr_t>(Header());
    ASSERT_EQ(0, truncate(("/dev/shm/ovns-" + space.Name()).c_str(), (records + 4095) & ~uintptr_t{4095}));
    uint32_t v = 0xAAAA;
    NodeReadValue(3, &v, 4);
    EXPECT_EQ(0, NodeCount());
    EXPECT_NE(0, NodeCreate("Bad.fourth", 7, 4, "", ""));
    uint16_t type = 0;
    EXPECT_NE(0, NodeGetAttribute(NodeTable()[0].Name, "Type", &type, sizeof type));
    EXPECT_GT(NodeAccessFailures(), failures + 1);
}

TEST(NodeSpaceAccess, SegmentsBelongToTheirGroupAndOthersAreRefused) {
    TestUser user = UnprivilegedUser();
    if (!user.Valid()) GTEST_SKIP() << "needs root to create a user and hand segments to it";
    ScopedSpace space;
    const std::string path = "/dev/shm/ovns-" + space.Name();
    std::string err;
    setenv("OVNODE_GROUP", std::to_string(user.Gid).c_str(), 1);
    ASSERT_TRUE(NodeSpaceAttach(space.Name(), true, &err)) << err;
    NodeSpaceDetach();
    struct stat st;
    ASSERT_EQ(0, stat(path.c_str(), &st));
    EXPECT_EQ(0660u, st.st_mode & 07777);
    EXPECT_EQ(user.Gid, st.st_gid);

    // Who may use a segment another user owns: the table of what a local
    // user can plant, at the check that stops it.
    struct Case {
        const char* What;
        uid_t Owner;
        gid_t Group;
        const char* Env;      // OVNODE_GROUP; nullptr: unset
        bool Supplementary;   // this process has the user's group as a supplementary one
        const char* Refusal;  // nullptr: used
    };
    const std::string userGroup = std::to_string(user.Gid);
    const Case cases[] = {
        {"a member's, through OVNODE_GROUP", user.Uid, user.Gid, userGroup.c_str(), false, nullptr},
        {"a member's, through a supplementary group", user.Uid, user.Gid, nullptr, true, nullptr},
        {"a member's, in a group this process may not use", user.Uid, 0, userGroup.c_str(), false,
         "a group this user may not use: refused (join group"},
        // Made by a user who is not root, the service's user or a member of
        // the configured group: foreign, whatever its group says.
        {"a non-member's, in its own group", user.Uid, user.Gid, nullptr, false,
         "a foreign segment, refused (remove it"},
        {"a non-member's, in a group other than OVNODE_GROUP's", user.Uid, user.Gid, "0", false,
         "a foreign segment, refused (remove it"},
        {"planted in this process's group by a non-member", user.Uid, 0, nullptr, false,
         "a foreign segment, refused (remove it"},
        {"a group id past the range", user.Uid, user.Gid, "4294967296", false, "out of the range of group ids"},
        {"the id that means no group", user.Uid, user.Gid, "4294967295", false, "out of the range of group ids"},
        {"a negative group id", user.Uid, user.Gid, "-1", false, "names no group"},
        {"a number with more after it", user.Uid, user.Gid, "12abc", false, "names no group"},
    };
    std::vector<gid_t> groups(static_cast<size_t>(getgroups(0, nullptr)));
    ASSERT_GE(getgroups(static_cast<int>(groups.size()), groups.data()), 0);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.What);
        ASSERT_EQ(0, chown(path.c_str(), c.Owner, c.Group));
        if (c.Env)
            setenv("OVNODE_GROUP", c.Env, 1);
        else
            unsetenv("OVNODE_GROUP");
        std::vector<gid_t> with = groups;
        with.push_back(user.Gid);
        if (c.Supplementary) {
            ASSERT_EQ(0, setgroups(with.size(), with.data()));
        }
        err.clear();
        const bool attached = NodeSpaceAttach(space.Name(), false, &err);
        NodeSpaceDetach();
        ASSERT_EQ(0, setgroups(groups.size(), groups.data()));
        EXPECT_EQ(attached, c.Refusal == nullptr) << err;
        if (c.Refusal) {
            EXPECT_NE(std::string::npos, err.find(c.Refusal)) << err;
        }
    }
    unsetenv("OVNODE_GROUP");

    ASSERT_EQ(0, chown(path.c_str(), 0, 0));
    ASSERT_EQ(0, chmod(path.c_str(), 0666));
    EXPECT_FALSE(NodeSpaceAttach(space.Name(), false, &err));
    EXPECT_NE(std::string::npos, err.find("writable by every user")) << err;
    ASSERT_EQ(0, chmod(path.c_str(), 0660));

    // A second name for the segment: refused.
    ScopedSpace other;
    const std::string second = "/dev/shm/ovns-" + other.Name();
    ASSERT_EQ(0, link(path.c_str(), second.c_str()));
    EXPECT_FALSE(NodeSpaceAttach(other.Name(), false, &err));
    EXPECT_NE(std::string::npos, err.find("has 2 names")) << err;
    ASSERT_EQ(0, unlink(second.c_str()));
}

std::mutex g_eventsLock;
std::vector<uint32_t> g_events;

int32_t RecordEvent(uint32_t, uint32_t event) {
    std::lock_guard<std::mutex> guard(g_eventsLock);
    g_events.push_back(event);
    return 0;
}

size_t EventCount() {
    std::lock_guard<std::mutex> guard(g_eventsLock);
    return g_events.size();
}

ServiceRecord MakeRecord(ServiceEventHandler handler) {
    ServiceRecord rec{};
    rec.Magic = kServiceRecordMagic;
    rec.Handler = handler;
    return rec;
}

TEST_F(NodeSpaceTest, ControlEventsReachTheRegisteredHandlerInOrder) {
    {
        std::lock_guard<std::mutex> guard(g_eventsLock);
        g_events.clear();
    }
    ServiceRecord bad = MakeRecord(RecordEvent);
    bad.Magic = 0;
    EXPECT_NE(0, RegisterService(&bad));

    // A registration left by a process that died is no obstacle.
    pid_t dead = Fork([] {
        ServiceRecord rec = MakeRecord(RecordEvent);
        return RegisterService(&rec) == 0 ? 0 : 1;
    });
    ASSERT_EQ(0, Reap(dead));

    ServiceRecord rec = MakeRecord(RecordEvent);
    ASSERT_EQ(0, RegisterService(&rec));
    std::vector<pid_t> services = NodeSpaceServices();
    ASSERT_EQ(1u, services.size());
    EXPECT_EQ(getpid(), services[0]);

    pid_t self = getpid();
    pid_t sender = Fork([self] {
        for (uint32_t e : {103u, 102u, 101u, 100u, 104u, 102u}) {
            if (!NodeSpaceSendControl(self, e, nullptr)) return 1;
        }
        return 0;
    });
    ASSERT_EQ(0, Reap(sender));
    ASSERT_TRUE(WaitUntil([] { return EventCount() == 6; }));
    {
        std::lock_guard<std::mutex> guard(g_eventsLock);
        EXPECT_EQ((std::vector<uint32_t>{103, 102, 101, 100, 104, 102}), g_events);
    }

    EXPECT_EQ(0, UnregisterService());
    EXPECT_TRUE(NodeSpaceServices().empty());
    std::string err;
    EXPECT_FALSE(NodeSpaceSendControl(self, 101, &err));
    EXPECT_NE(std::string::npos, err.find("no registered service")) << err;
}

// What one NodeLogWrite puts on standard error, a pipe here. With `journal`
// set, $JOURNAL_STREAM names that pipe, as it would name the journal's
// socket; otherwise it names another file.
std::string LogLineOf(const char* level, const char* text, bool journal = false) {
    int pipefd[2];
    if (pipe(pipefd) != 0) return "";
    struct stat st = {};
    if (journal ? fstat(pipefd[1], &st) : stat("/", &st)) return "";
    setenv("JOURNAL_STREAM", (std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino)).c_str(), 1);
    int saved = dup(2);
    dup2(pipefd[1], 2);
    NodeLogWrite(&LogChannel, level, text);
    dup2(saved, 2);
    close(saved);
    close(pipefd[1]);
    unsetenv("JOURNAL_STREAM");
    char buf[512] = {};
    ssize_t n = read(pipefd[0], buf, sizeof buf - 1);
    close(pipefd[0]);
    return n > 0 ? std::string(buf, static_cast<size_t>(n)) : "";
}

TEST(NodeLog, OneLineWithTimeLevelProcessAndText) {
    std::string line = LogLineOf("WRN", "current hash code = abcd");
    EXPECT_TRUE(testing::internal::RE::FullMatch(
        line, testing::internal::RE("[0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9]{2}:[0-9]{2}:[0-9]{2}\\.[0-9]{3}Z WRN "
                                    "[^ ]+: current hash code = abcd\n")))
        << line;
}

TEST(NodeLog, ToTheJournalALineStartsWithItsPriorityInsteadOfTheTime) {
    const std::string program = program_invocation_short_name;
    const std::pair<const char*, const char*> levels[] = {{"ERR", "<3>"}, {"WRN", "<4>"}, {"DBG", "<7>"}};
    for (auto [level, priority] : levels)
        EXPECT_EQ(LogLineOf(level, "text", true), priority + std::string(level) + " " + program + ": text\n");
}

TEST(NodeSpaceAdmin, ReadsDoNotCreateAndDestroyRemoves) {
    ScopedSpace space;
    std::string err;
    EXPECT_FALSE(NodeSpaceAttach(space.Name(), false, &err));
    EXPECT_NE(std::string::npos, err.find("does not exist")) << err;
    EXPECT_FALSE(NodeSpaceExists(space.Name()));
    ASSERT_TRUE(NodeSpaceAttach(space.Name(), true, &err)) << err;
    EXPECT_TRUE(NodeSpaceExists(space.Name()));
    EXPECT_GE(NodeSpaceCapacity(), 1000000u);
    NodeSpaceDetach();
    EXPECT_TRUE(NodeSpaceDestroy(space.Name(), &err)) << err;
    EXPECT_FALSE(NodeSpaceExists(space.Name()));
    EXPECT_FALSE(NodeSpaceAttach("bad/name", true, &err));
}

TEST(NodeSpaceAdmin, CapacityIsChosenAtCreationKeptInTheHeaderAndCheckedAgainstTheSegment) {
    ScopedSpace space;
    std::string err;
    setenv("OVNODE_CAPACITY", "100k", 1);
    EXPECT_FALSE(NodeSpaceAttach(space.Name(), true, &err));
    EXPECT_NE(std::string::npos, err.find("OVNODE_CAPACITY")) << err;
    EXPECT_FALSE(NodeSpaceExists(space.Name()));
    setenv("OVNODE_CAPACITY", "100", 1);
    ASSERT_TRUE(NodeSpaceAttach(space.Name(), true, &err)) << err;
    unsetenv("OVNODE_CAPACITY");
    EXPECT_EQ(100u, NodeSpaceCapacity());
    for (int i = 1; i <= 100; ++i) ASSERT_EQ(0, NodeCreate(("Cap." + std::to_string(i)).c_str(), 7, 4, "", "")) << i;
    EXPECT_EQ(ENOSPC, NodeCreate("Cap.101", 7, 4, "", ""));
    EXPECT_EQ(100, NodeCount());
    // Kept by the node space, whatever a later opener asks for.
    NodeSpaceDetach();
    ASSERT_TRUE(NodeSpaceAttach(space.Name(), true, &err, 5000)) << err;
    EXPECT_EQ(100u, NodeSpaceCapacity());
    NodeSpaceDetach();

    // A capacity in the header that the segment's file is too short for, or
    // out of bounds: refused, never followed.
    const std::string file = "/dev/shm/ovns-" + space.Name();
    for (uint32_t capacity : {100000u, 0u, kNodeSpaceCapacityMax + 1}) {
        int fd = open(file.c_str(), O_RDWR);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(4, pwrite(fd, &capacity, 4, offsetof(nodespace::SegmentHeader, Capacity)));
        close(fd);
        EXPECT_FALSE(NodeSpaceAttach(space.Name(), false, &err)) << capacity;
        EXPECT_EQ(0u, NodeSpaceCapacity());
    }
    ASSERT_TRUE(NodeSpaceDestroy(space.Name(), &err)) << err;

    // Past the first capacity the bitmap's words share summary bits: a write
    // in either word of a group is still taken.
    ASSERT_TRUE(NodeSpaceAttach(space.Name(), true, &err, 4u << 20)) << err;
    EXPECT_EQ(4u << 20, NodeSpaceCapacity());
    for (int i = 1; i <= 200; ++i) ASSERT_EQ(0, NodeCreate(("Big." + std::to_string(i)).c_str(), 7, 4, "", "")) << i;
    std::vector<uint32_t> written;
    NodeTakeWritten(&written);
    EXPECT_EQ(200u, written.size());
    for (uint32_t group : {0u, 1u}) {
        const uint32_t nodes[2] = {group ? 129u : 1u, group ? 200u : 70u};  // words 0 and 1, 2 and 3
        for (uint32_t n : nodes) NodeWriteValue(n, &n, 4);
        written.clear();
        NodeTakeWritten(&written);
        std::sort(written.begin(), written.end());
        EXPECT_EQ(written, std::vector<uint32_t>(std::begin(nodes), std::end(nodes)));
    }
    NodeSpaceDetach();
}

}  // namespace
