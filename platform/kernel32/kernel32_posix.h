/* The kernel's locks, clocks and probes (KERNEL32). The functions have C linkage, as on
   Windows, and the header compiles as C. */
#pragma once

#include "platform/wintypes.h"

/* A critical section is a lock that its holder may enter again. The storage is opaque;
   InitializeCriticalSection builds the lock in place and DeleteCriticalSection destroys it.
   Any thread may enter and leave; only the holder may leave. */
#ifdef __cplusplus
#define TALVEN_ALIGNED_8 alignas(8)
#else
#define TALVEN_ALIGNED_8 __attribute__((aligned(8)))
#endif
typedef struct CRITICAL_SECTION {
    TALVEN_ALIGNED_8 unsigned char opaque[16];
} CRITICAL_SECTION;
typedef CRITICAL_SECTION* LPCRITICAL_SECTION;

#ifdef __cplusplus
extern "C" {
#endif

TALVEN_API void InitializeCriticalSection(LPCRITICAL_SECTION cs);
TALVEN_API void DeleteCriticalSection(LPCRITICAL_SECTION cs);
TALVEN_API void EnterCriticalSection(LPCRITICAL_SECTION cs);
TALVEN_API BOOL TryEnterCriticalSection(LPCRITICAL_SECTION cs);
TALVEN_API void LeaveCriticalSection(LPCRITICAL_SECTION cs);

/* Probes nothing: always 0 (the bytes count as writable). Any thread. */
TALVEN_API BOOL IsBadWritePtr(LPVOID p, UINT_PTR size);

TALVEN_API DWORD GetCurrentThreadId(void);     /* nonzero, unique among live threads */
TALVEN_API DWORD GetTickCount(void);         /* milliseconds since an arbitrary start, monotonic */
TALVEN_API void Sleep(DWORD milliseconds);

TALVEN_API DWORD GetLastError(void);
TALVEN_API void SetLastError(DWORD error);

#ifdef __cplusplus
}  /* extern "C" */
#endif

#define INFINITE 0xFFFFFFFFu
#define ERROR_NOT_ENOUGH_QUOTA 1816L  /* a posted message refused: the target queue is full */
#define WAIT_OBJECT_0 0x00000000u
#define WAIT_TIMEOUT 0x00000102u
#define WAIT_FAILED 0xFFFFFFFFu
