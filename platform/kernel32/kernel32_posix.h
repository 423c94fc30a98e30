// The kernel's locks, clocks and probes (KERNEL32).
#pragma once

#include "platform/wintypes.h"

// A critical section is a lock that its holder may enter again. The storage is opaque;
// InitializeCriticalSection builds the lock in place and DeleteCriticalSection destroys it.
// Any thread may enter and leave; only the holder may leave.
struct CRITICAL_SECTION {
    alignas(8) unsigned char opaque[16];
};
typedef CRITICAL_SECTION* LPCRITICAL_SECTION;

TALVEN_API void InitializeCriticalSection(LPCRITICAL_SECTION cs);
TALVEN_API void DeleteCriticalSection(LPCRITICAL_SECTION cs);
TALVEN_API void EnterCriticalSection(LPCRITICAL_SECTION cs);
TALVEN_API BOOL TryEnterCriticalSection(LPCRITICAL_SECTION cs);
TALVEN_API void LeaveCriticalSection(LPCRITICAL_SECTION cs);

// Probes nothing: always 0 (the bytes count as writable). Any thread.
TALVEN_API BOOL IsBadWritePtr(LPVOID p, UINT_PTR size);

TALVEN_API DWORD GetCurrentThreadId();     // nonzero, unique among live threads
TALVEN_API DWORD GetTickCount();           // milliseconds since an arbitrary start, monotonic
TALVEN_API void Sleep(DWORD milliseconds);

TALVEN_API DWORD GetLastError();
TALVEN_API void SetLastError(DWORD error);

#define INFINITE 0xFFFFFFFFu
#define WAIT_OBJECT_0 0x00000000u
#define WAIT_TIMEOUT 0x00000102u
#define WAIT_FAILED 0xFFFFFFFFu
