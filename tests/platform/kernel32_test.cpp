// Kernel services: re-entrant critical sections, thread ids, per-thread last error.
#include <gtest/gtest.h>

#include <atomic>
#include <set>
#include <thread>
#include <vector>

#include "support/test_support.h"

namespace {

class CriticalSectionTest : public ::testing::Test {
protected:
    CriticalSectionTest() { InitializeCriticalSection(&cs_); }
    ~CriticalSectionTest() override { DeleteCriticalSection(&cs_); }
    CRITICAL_SECTION cs_;
};

TEST_F(CriticalSectionTest, HolderMayEnterAgainAndOthersWaitUntilTheLastLeave) {
    EnterCriticalSection(&cs_);
    EnterCriticalSection(&cs_);
    ASSERT_TRUE(TryEnterCriticalSection(&cs_));
    auto otherCanEnter = [&] {
        BOOL entered = FALSE;
        std::thread other([&] {
            entered = TryEnterCriticalSection(&cs_);
            if (entered) {
                LeaveCriticalSection(&cs_);
            }
        });
        other.join();
        return entered != FALSE;
    };
    LeaveCriticalSection(&cs_);
    LeaveCriticalSection(&cs_);
    EXPECT_FALSE(otherCanEnter());  // still held once
    LeaveCriticalSection(&cs_);
    EXPECT_TRUE(otherCanEnter());
}

TEST_F(CriticalSectionTest, ExcludesOtherThreads) {
    constexpr int kThreads = 4;
    constexpr int kIncrements = 20000;
    long counter = 0;  // guarded by cs_ only
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < kIncrements; ++i) {
                EnterCriticalSection(&cs_);
                EnterCriticalSection(&cs_);
                ++counter;
                LeaveCriticalSection(&cs_);
                LeaveCriticalSection(&cs_);
            }
        });
    }
    for (std::thread& t : threads) {
        t.join();
    }
    EXPECT_EQ(counter, static_cast<long>(kThreads) * kIncrements);
}

#if defined(TALVEN_DEBUG_CHECKS) && GTEST_HAS_DEATH_TEST
TEST_F(CriticalSectionTest, LeavingWithoutHoldingIsCaughtInDebugBuilds) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(LeaveCriticalSection(&cs_), "does not hold");
}
#endif

TEST(Kernel32, ThreadIdsAreNonzeroAndDistinct) {
    constexpr int kThreads = 8;
    std::vector<DWORD> ids(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&ids, t] { ids[t] = GetCurrentThreadId(); });
    }
    for (std::thread& t : threads) {
        t.join();
    }
    ids.push_back(GetCurrentThreadId());
    const std::set<DWORD> distinct(ids.begin(), ids.end());
    EXPECT_EQ(distinct.size(), ids.size());
    EXPECT_EQ(distinct.count(0u), 0u);
    EXPECT_EQ(GetCurrentThreadId(), ids.back());  // stable within a thread
}

// The two threads meet through atomics only: any other system call may overwrite the last
// error (GetLastError's reference page).
TEST(Kernel32, LastErrorBelongsToEachThread) {
    std::atomic<int> step{0};
    DWORD seenByOther = 1;
    DWORD keptByOther = 1;
    std::thread other([&] {
        while (step.load() != 1) {
        }
        seenByOther = GetLastError();
        SetLastError(99);
        step.store(2);
        while (step.load() != 3) {
        }
        keptByOther = GetLastError();
    });
    SetLastError(1234);
    step.store(1);
    while (step.load() != 2) {
    }
    const DWORD keptHere = GetLastError();
    step.store(3);
    other.join();
    EXPECT_EQ(seenByOther, 0u);
    EXPECT_EQ(keptHere, 1234u);
    EXPECT_EQ(keptByOther, 99u);
}

}  // namespace
