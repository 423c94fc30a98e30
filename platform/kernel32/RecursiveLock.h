// The lock behind CRITICAL_SECTION: a mutex its holder may enter again (a FutexLock, so an
// uncontended enter and leave make no call into the C library).
//
// Built in place inside CRITICAL_SECTION's opaque storage. Any thread may Enter/TryEnter;
// only the holder may Leave (checked in Debug builds). The holder's id and the depth are
// written only by the holder; other threads read the id to recognise re-entry, which is why
// it is atomic.
#pragma once

#include <atomic>

#include "platform/kernel32/FutexLock.h"
#include "platform/kernel32/kernel32.h"

namespace talven::platform::kernel32 {

class RecursiveLock {
public:
    RecursiveLock() = default;
    RecursiveLock(const RecursiveLock&) = delete;
    RecursiveLock& operator=(const RecursiveLock&) = delete;

    void Enter();
    bool TryEnter();
    void Leave();                                   // holder only

    // The lock living in cs's storage (after InitializeCriticalSection).
    static RecursiveLock& In(LPCRITICAL_SECTION cs);

private:
    FutexLock mutex_;
    std::atomic<DWORD> holder_{0};                  // 0 while free
    unsigned depth_ = 0;                            // holder only
};

}  // namespace talven::platform::kernel32
