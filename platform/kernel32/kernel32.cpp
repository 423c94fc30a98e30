// KERNEL32's locks, clocks, thread ids and last error.
#include "platform/kernel32/kernel32.h"

#include <time.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <new>
#include <thread>

#include "platform/kernel32/RecursiveLock.h"
#include "platform/kernel32/tls_model.h"

using talven::platform::kernel32::RecursiveLock;

void InitializeCriticalSection(LPCRITICAL_SECTION cs) {
    ::new (static_cast<void*>(cs->opaque)) RecursiveLock();
}

void DeleteCriticalSection(LPCRITICAL_SECTION cs) {
    RecursiveLock::In(cs).~RecursiveLock();
}

void EnterCriticalSection(LPCRITICAL_SECTION cs) {
    RecursiveLock::In(cs).Enter();
}

BOOL TryEnterCriticalSection(LPCRITICAL_SECTION cs) {
    return RecursiveLock::In(cs).TryEnter() ? TRUE : FALSE;
}

void LeaveCriticalSection(LPCRITICAL_SECTION cs) {
    RecursiveLock::In(cs).Leave();
}

BOOL IsBadWritePtr(LPVOID, UINT_PTR) {
    return 0;
}

namespace {
std::atomic<DWORD> g_nextThreadId{1};
thread_local DWORD t_threadId TALVEN_HOT_TLS = 0;
thread_local DWORD t_lastError TALVEN_HOT_TLS = 0;
}  // namespace

// Small ids handed out in order of first use; never reused while the process lives (a 32-bit
// counter would need four billion threads to wrap).
DWORD GetCurrentThreadId() {
    if (t_threadId == 0) {
        t_threadId = g_nextThreadId.fetch_add(1, std::memory_order_relaxed);
    }
    return t_threadId;
}

// The coarse monotonic clock: a few milliseconds of resolution, like Win32's tick count, for
// a fraction of the cost (every posted message is stamped with it).
DWORD GetTickCount() {
    timespec now;
    ::clock_gettime(CLOCK_MONOTONIC_COARSE, &now);
    return static_cast<DWORD>(static_cast<std::uint64_t>(now.tv_sec) * 1000u +
                              static_cast<std::uint64_t>(now.tv_nsec) / 1000000u);
}

void Sleep(DWORD milliseconds) {
    std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

DWORD GetLastError() {
    return t_lastError;
}

void SetLastError(DWORD error) {
    t_lastError = error;
}
