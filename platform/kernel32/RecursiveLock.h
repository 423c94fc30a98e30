// The lock behind CRITICAL_SECTION: a mutex its holder may enter again (a FutexLock, so an
// uncontended enter and leave make no call into the C library).
//
// Built in place inside CRITICAL_SECTION's opaque storage. Any thread may Enter/TryEnter;
// only the holder may Leave (checked in Debug builds). The holder's id and the depth are
// written only by the holder; other threads read the id to recognise re-entry, which is why
// it is atomic.
#pragma once

#include <atomic>
#include <cassert>
#include <new>

#include "platform/kernel32/FutexLock.h"
#include "platform/kernel32/kernel32.h"
#include "platform/kernel32/kernel32_internal.h"

namespace talven::platform::kernel32 {

class RecursiveLock {
public:
    RecursiveLock() = default;
    RecursiveLock(const RecursiveLock&) = delete;
    RecursiveLock& operator=(const RecursiveLock&) = delete;

    // Inline: the critical-section calls in kernel32.cpp are these and nothing else.
    void Enter() {
        const DWORD me = CurrentThreadId();
        if (holder_.load(std::memory_order_relaxed) == me) {
            ++depth_;
            return;
        }
        mutex_.lock();
        holder_.store(me, std::memory_order_relaxed);
        depth_ = 1;
    }
    bool TryEnter() {
        const DWORD me = CurrentThreadId();
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
    void Leave() {                                  // holder only
#ifdef TALVEN_DEBUG_CHECKS
        assert(holder_.load(std::memory_order_relaxed) == CurrentThreadId() &&
               "LeaveCriticalSection by a thread that does not hold it");
#endif
        if (--depth_ == 0) {
            holder_.store(0, std::memory_order_relaxed);
            mutex_.unlock();
        }
    }

    // The lock living in cs's storage (after InitializeCriticalSection).
    static RecursiveLock& In(LPCRITICAL_SECTION cs) {
        return *std::launder(reinterpret_cast<RecursiveLock*>(cs->opaque));
    }

private:
    FutexLock mutex_;
    std::atomic<DWORD> holder_{0};                  // 0 while free
    unsigned depth_ = 0;                            // holder only
};

static_assert(sizeof(RecursiveLock) <= sizeof(CRITICAL_SECTION::opaque),
              "RecursiveLock must fit in CRITICAL_SECTION's storage");
static_assert(alignof(RecursiveLock) <= alignof(CRITICAL_SECTION),
              "CRITICAL_SECTION's storage is not aligned enough for RecursiveLock");

}  // namespace talven::platform::kernel32
