#include "platform/kernel32/RecursiveLock.h"

#include <cassert>
#include <new>

namespace talven::platform::kernel32 {

static_assert(sizeof(RecursiveLock) <= sizeof(CRITICAL_SECTION::opaque),
              "RecursiveLock must fit in CRITICAL_SECTION's storage");
static_assert(alignof(RecursiveLock) <= alignof(CRITICAL_SECTION),
              "CRITICAL_SECTION's storage is not aligned enough for RecursiveLock");

void RecursiveLock::Enter() {
    const DWORD me = GetCurrentThreadId();
    if (holder_.load(std::memory_order_relaxed) == me) {
        ++depth_;
        return;
    }
    mutex_.lock();
    holder_.store(me, std::memory_order_relaxed);
    depth_ = 1;
}

bool RecursiveLock::TryEnter() {
    const DWORD me = GetCurrentThreadId();
    if (holder_.load(std::memory_order_relaxed) == me) {
        ++depth_;
        return true;
    }
    if (!mutex_.try_lock()) {
        return false;
    }
    holder_.store(me, std::memory_order_relaxed);
    depth_ = 1;
    return true;
}

void RecursiveLock::Leave() {
#ifdef TALVEN_DEBUG_CHECKS
    assert(holder_.load(std::memory_order_relaxed) == GetCurrentThreadId() &&
           "LeaveCriticalSection by a thread that does not hold it");
#endif
    if (--depth_ == 0) {
        holder_.store(0, std::memory_order_relaxed);
        mutex_.unlock();
    }
}

RecursiveLock& RecursiveLock::In(LPCRITICAL_SECTION cs) {
    return *std::launder(reinterpret_cast<RecursiveLock*>(cs->opaque));
}

}  // namespace talven::platform::kernel32
