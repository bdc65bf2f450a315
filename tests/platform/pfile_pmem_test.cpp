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

// Small blocks released are handed out again: blocks held at the same time
// never overlap, whatever sizes around the classes' edges were released
// before, and every block is aligned like malloc's, also when released by
// another thread than the one that allocated it.
TEST_F(PMemTest, ReusedSmallBlocksAreAlignedAndNeverShared) {
    const size_t sizes[] = {0, 1, 15, 16, 17, 80, 256, 511, 512, 513, 4096};
    for (int round = 0; round < 3; ++round) {
        std::vector<std::pair<uint8_t*, size_t>> held;
        for (size_t size : sizes) {
            for (int copy = 0; copy < 2; ++copy) {
                auto* block = static_cast<uint8_t*>(PMemAlloc(size));
                ASSERT_NE(block, nullptr) << size;
                EXPECT_EQ(reinterpret_cast<uintptr_t>(block) % 16, 0u) << size;
                std::memset(block, static_cast<int>(held.size()), size);
                held.emplace_back(block, size);
            }
        }
        for (size_t i = 0; i < held.size(); ++i) {
            for (size_t k = 0; k < held[i].second; ++k)
                ASSERT_EQ(held[i].first[k], static_cast<uint8_t>(i)) << "block " << i << " of " << held[i].second;
        }
        if (round == 1) {
            std::thread other([&] {
                for (auto& [block, size] : held) PMemFree(block);
            });
            other.join();
        } else {
            for (auto& [block, size] : held) PMemFree(block);
        }
    }
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
