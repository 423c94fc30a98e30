// Internal: the thread id and the tick count for the emulation's own hot paths, inline (every
// posted message is stamped with the tick count; every selection event and critical section
// asks for the thread id). GetCurrentThreadId and GetTickCount are these.
#pragma once

#include <time.h>

#include <atomic>
#include <cstdint>

#include "platform/kernel32/tls_model.h"
#include "platform/wintypes.h"

namespace talven::platform::kernel32 {

// Small ids handed out in order of first use; never reused while the process lives (a 32-bit
// counter would need four billion threads to wrap).
inline std::atomic<DWORD> g_nextThreadId{1};
inline thread_local DWORD t_threadId TALVEN_HOT_TLS = 0;

inline DWORD CurrentThreadId() {
    if (t_threadId == 0) {
        t_threadId = g_nextThreadId.fetch_add(1, std::memory_order_relaxed);
    }
    return t_threadId;
}

// The coarse monotonic clock: a few milliseconds of resolution, like Win32's tick count, for
// a fraction of the cost.
inline DWORD TickCount() {
    timespec now;
    ::clock_gettime(CLOCK_MONOTONIC_COARSE, &now);
    return static_cast<DWORD>(static_cast<std::uint64_t>(now.tv_sec) * 1000u +
                              static_cast<std::uint64_t>(now.tv_nsec) / 1000000u);
}

}  // namespace talven::platform::kernel32
