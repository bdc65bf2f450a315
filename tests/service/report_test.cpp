// report: level tags, formatting into the shared buffer, allocation failure
// and concurrent callers. The library writes each log line to standard
// error, which the tests capture into a file.
#include "report/report.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "nodespace/ovhgapi.h"
#include "stdlib/pmem.h"
#include "support/test_support.h"

namespace {

TEST(Report, WritesTheLevelTagAndTheFormattedText) {
    ovtest::StderrCapture capture;
    report(&LogChannel, "ERR", "Hashfile seek point set err.");
    report(&LogChannel, "WRN", "current hash code = %x", 0xABCDu);
    report(&LogChannel, "WRN", "file hash code    = %x", 0xDEADBEEFu);
    report(&LogChannel, "WRN", "file hash code    = %x", 0u);
    report(&LogChannel, "DBG", "EM_SERVICE_STOP recieved.");
    report(&LogChannel, "DBG", "%s %d %c", "mixed", -12, 'z');
    std::vector<std::string> expected = {
        "ERR Hashfile seek point set err.", "WRN current hash code = abcd",  "WRN file hash code    = deadbeef",
        "WRN file hash code    = 0",        "DBG EM_SERVICE_STOP recieved.", "DBG mixed -12 z",
    };
    EXPECT_EQ(capture.Lines(), expected);
}

// A text from a record or a segment forges no line and no journal priority
// and drives no terminal.
TEST(Report, HostileTextsAreEscaped) {
    ovtest::StderrCapture capture;
    report(&LogChannel, "ERR", "Node %s", "\x1b[31m\xc2\x9b\xe2\x80\xae\xff\x7f\n<3>x\tC:\\Orvale\\");
    EXPECT_EQ(capture.Lines(),
              std::vector<std::string>{"ERR Node \\x1b[31m\\u009b\\u202e\\xff\\x7f\\n<3>x\\tC:\\Orvale\\"});
}

TEST(Report, TextIsCutAtTheBufferBound) {
    ovtest::StderrCapture capture;
    std::string longText(3000, 'x');
    report(&LogChannel, "DBG", "%s", longText.c_str());
    report(&LogChannel, "DBG", "short");  // the buffer is reused, not stale
    auto lines = capture.Lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], "DBG " + std::string(1023, 'x'));
    EXPECT_EQ(lines[1], "DBG short");
}

TEST(Report, ConcurrentCallsDoNotMixTheirTexts) {
    constexpr int kThreads = 6;
    constexpr int kCalls = 300;
    std::vector<std::string> texts;
    for (int t = 0; t < kThreads; ++t)
        texts.push_back("thread " + std::to_string(t) + " " + std::string(400, static_cast<char>('a' + t)));
    ovtest::StderrCapture capture;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&, t] {
            for (int i = 0; i < kCalls; ++i) report(&LogChannel, "DBG", "%s", texts[t].c_str());
        });
    for (auto& th : threads) th.join();

    std::map<std::string, int> seen;
    for (const std::string& line : capture.Lines()) ++seen[line];
    ASSERT_EQ(seen.size(), static_cast<size_t>(kThreads));
    for (int t = 0; t < kThreads; ++t) EXPECT_EQ(seen["DBG " + texts[t]], kCalls) << "thread " << t;
}

// The buffer does not exist yet when this runs: report's first call.
void AllocationFailureThenRetry() {
    ovtest::StderrCapture capture;
    PMemInjectFault(1);
    report(&LogChannel, "DBG", "dropped");
    report(&LogChannel, "DBG", "first kept");
    // The buffer now exists: report allocates no more, so this fault does
    // not reach it.
    PMemInjectFault(1);
    report(&LogChannel, "WRN", "second kept");
    PMemInjectFault(0);
    std::vector<std::string> expected = {"DBG first kept", "WRN second kept"};
    std::exit(capture.Lines() == expected ? 0 : 1);
}

// Runs in a fresh process (the threadsafe death-test style re-executes the
// test program), so that the buffer is not yet allocated when it starts.
TEST(ReportDeathTest, AFailedAllocationDropsTheMessageAndTheNextCallRetries) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(AllocationFailureThenRetry(), ::testing::ExitedWithCode(0), "");
}

TEST(Report, AHeldThreadKeepsItsFirstLineAndCountsTheRestWhileOthersWrite) {
    ovtest::StderrCapture capture;
    HeldReport held;
    ReportHold(&held);
    report(&LogChannel, "ERR", "Retain file %s failed: %s", "sync", "Input/output error");
    report(&LogChannel, "WRN", "second");
    std::thread other([] { report(&LogChannel, "DBG", "from another thread"); });
    other.join();
    ReportHold(nullptr);
    report(&LogChannel, "DBG", "after");
    EXPECT_EQ(held.Count, 2u);
    EXPECT_STREQ(held.Level, "ERR");
    EXPECT_STREQ(held.Text, "Retain file sync failed: Input/output error");
    EXPECT_EQ(capture.Lines(), (std::vector<std::string>{"DBG from another thread", "DBG after"}));
    ReportHold(&held);  // a new hold starts empty
    ReportHold(nullptr);
    EXPECT_EQ(held.Count, 0u);
}

}  // namespace
