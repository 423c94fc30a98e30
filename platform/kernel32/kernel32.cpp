// KERNEL32's locks, clocks, thread ids and last error.
#include "platform/kernel32/kernel32.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <new>
#include <thread>

#include "platform/kernel32/RecursiveLock.h"
#include "platform/kernel32/kernel32_internal.h"
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
thread_local DWORD t_lastError TALVEN_HOT_TLS = 0;
}  // namespace

DWORD GetCurrentThreadId() {
    return talven::platform::kernel32::CurrentThreadId();
}

DWORD GetTickCount() {
    return talven::platform::kernel32::TickCount();
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
