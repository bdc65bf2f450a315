// The platform's memory allocation and its fault seam.
#include <errno.h>
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <thread>
#include <vector>

#include "stdlib/pmem.h"

namespace {

class PMemTest : public ::testing::Test {
protected:
    void TearDown() override { PMemInjectFault(0); }
};

TEST_F(PMemTest, BlocksAreUsableAndFreeAcceptsNull) {
    for (size_t size : {size_t{0}, size_t{1}, size_t{80}, size_t{65535}}) {
        void* block = PMemAlloc(size);
        ASSERT_NE(block, nullptr) << size;
        std::memset(block, 0xA5, size);
        PMemFree(block);
    }
    PMemFree(nullptr);
}

TEST_F(PMemTest, InjectedFaultFailsTheNthAllocationOnly) {
    PMemInjectFault(3);
    std::vector<void*> got;
    for (int i = 0; i < 5; ++i) {
        errno = 0;
        got.push_back(PMemAlloc(16));
        if (!got.back()) {
            EXPECT_EQ(errno, ENOMEM);
        }
    }
    EXPECT_NE(got[0], nullptr);
    EXPECT_NE(got[1], nullptr);
    EXPECT_EQ(got[2], nullptr);
    EXPECT_NE(got[3], nullptr);
    EXPECT_NE(got[4], nullptr);
    for (void* p : got) PMemFree(p);

    PMemInjectFault(2, true);
    void* first = PMemAlloc(8);
    EXPECT_NE(first, nullptr);
    for (int i = 0; i < 4; ++i) EXPECT_EQ(PMemAlloc(8), nullptr) << "sticky";
    PMemInjectFault(0);
    void* after = PMemAlloc(8);
    EXPECT_NE(after, nullptr) << "0 clears the fault";
    PMemFree(first);
    PMemFree(after);
}

TEST_F(PMemTest, AllocationsOfAllThreadsCountTowardsTheFault) {
    constexpr int kThreads = 4, kEach = 5000;
    PMemInjectFault(kThreads * kEach / 2);
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < kEach; ++i) {
                void* p = PMemAlloc(24);
                if (!p) ++failures;
                PMemFree(p);
            }
        });
    }
    for (std::thread& t : threads) t.join();
    EXPECT_EQ(failures.load(), 1);
}

}  // namespace
