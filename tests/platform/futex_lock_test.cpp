// The one-word lock behind the selection records and the thread queues: exclusion under
// contention, waking a thread that sleeps on it, and try_lock.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/kernel32/FutexLock.h"

using talven::platform::kernel32::FutexLock;

namespace {

TEST(FutexLock, ContendedIncrementsAreNeitherLostNorTorn) {
    FutexLock lock;
    long counter = 0;      // guarded by lock
    long pairs[2] = {};    // written together under lock; must stay equal
    constexpr int kThreads = 4;
    constexpr int kRounds = 20000;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < kRounds; ++i) {
                std::lock_guard<FutexLock> hold(lock);
                ++counter;
                ++pairs[0];
                if (pairs[0] != pairs[1] + 1) {
                    pairs[0] = -1'000'000;  // someone else was inside: make it visible
                }
                ++pairs[1];
            }
        });
    }
    for (std::thread& t : threads) {
        t.join();
    }
    EXPECT_EQ(counter, long{kThreads} * kRounds);
    EXPECT_EQ(pairs[0], pairs[1]);
}

TEST(FutexLock, AThreadBlockedOnTheLockIsWokenByTheUnlockAndSeesTheHoldersWrites) {
    FutexLock lock;
    int value = 0;  // guarded by lock
    std::atomic<bool> trying{false};
    int seen = -1;
    lock.lock();
    std::thread waiter([&] {
        trying = true;
        std::lock_guard<FutexLock> hold(lock);
        seen = value;
    });
    while (!trying) {
        std::this_thread::yield();
    }
    // Gives the waiter time to reach the kernel wait (not required for correctness: a waiter
    // that has not slept yet takes the lock without sleeping).
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    value = 42;
    lock.unlock();
    waiter.join();  // hangs (and the test times out) if the unlock does not wake the waiter
    EXPECT_EQ(seen, 42);
    // Taken contended, the lock is still usable by everyone afterwards.
    EXPECT_TRUE(lock.try_lock());
    lock.unlock();
}

TEST(FutexLock, TryLockFailsWhileHeldElsewhereAndSucceedsOnceReleased) {
    FutexLock lock;
    auto tryFromOtherThread = [&] {
        bool got = false;
        std::thread other([&] {
            got = lock.try_lock();
            if (got) {
                lock.unlock();
            }
        });
        other.join();
        return got;
    };
    lock.lock();
    EXPECT_FALSE(tryFromOtherThread());
    lock.unlock();
    EXPECT_TRUE(tryFromOtherThread());
}

}  // namespace
