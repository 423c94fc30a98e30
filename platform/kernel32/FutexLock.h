// Internal: a four-byte mutex for the emulation's hot, numerous records (the selection of
// every descriptor, every thread's queue).
//
// std::mutex takes 40 bytes and a call into the C library each way. This lock is one word:
// taking a free lock is one compare-and-swap, releasing an uncontended one one exchange; only
// a contended lock calls the kernel (futex wait and wake). It is not recursive and carries no
// priority inheritance or owner checks. Satisfies Lockable, so std::lock_guard works.
//
// Threads: any; unlock only by the thread that locked.
#pragma once

#include <atomic>
#include <cstdint>

namespace talven::platform::kernel32 {

class FutexLock {
public:
    FutexLock() = default;
    FutexLock(const FutexLock&) = delete;
    FutexLock& operator=(const FutexLock&) = delete;

    void lock() {
        std::uint32_t expected = kFree;
        if (!state_.compare_exchange_strong(expected, kLocked, std::memory_order_acquire,
                                            std::memory_order_relaxed)) {
            LockContended();
        }
    }
    bool try_lock() {
        std::uint32_t expected = kFree;
        return state_.compare_exchange_strong(expected, kLocked, std::memory_order_acquire,
                                              std::memory_order_relaxed);
    }
    void unlock() {
        if (state_.exchange(kFree, std::memory_order_release) == kContended) {
            WakeOne();
        }
    }

private:
    static constexpr std::uint32_t kFree = 0;
    static constexpr std::uint32_t kLocked = 1;     // held, nobody waits
    static constexpr std::uint32_t kContended = 2;  // held, someone may be waiting

    void LockContended();
    void WakeOne();

    std::atomic<std::uint32_t> state_{kFree};
};

}  // namespace talven::platform::kernel32
