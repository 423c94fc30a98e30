#include "platform/kernel32/FutexLock.h"

#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace talven::platform::kernel32 {
namespace {

static_assert(sizeof(std::atomic<std::uint32_t>) == sizeof(std::uint32_t) &&
                  std::atomic<std::uint32_t>::is_always_lock_free,
              "the futex word must be a plain 32-bit word");

void* Word(std::atomic<std::uint32_t>& state) { return static_cast<void*>(&state); }

}  // namespace

void FutexLock::LockContended() {
    // Marks the lock contended before sleeping, so the holder's unlock wakes a waiter. A
    // thread that takes the lock this way leaves it marked contended: its unlock may make one
    // needless wake call, never a missed one.
    while (state_.exchange(kContended, std::memory_order_acquire) != kFree) {
        // Sleeps only while the word still says contended; a release in between makes the
        // call return at once (EAGAIN), and an interrupted sleep just tries again.
        syscall(SYS_futex, Word(state_), FUTEX_WAIT_PRIVATE, kContended, nullptr, nullptr, 0);
    }
}

void FutexLock::WakeOne() {
    syscall(SYS_futex, Word(state_), FUTEX_WAKE_PRIVATE, 1, nullptr, nullptr, 0);
}

}  // namespace talven::platform::kernel32
