// Internal, never installed: the clock behind CTime::GetTickCount (and GetCurrentTime), which a
// test replaces to fix the current time. Null: the system's clock. Any thread; a test sets it
// before the calls it fixes and restores nullptr after them.
#pragma once

#include <atomic>
#include <ctime>

namespace talven::mfc {

using CurrentTimeFn = std::time_t (*)();
extern std::atomic<CurrentTimeFn> g_currentTimeClock;

inline void SetCurrentTimeClock(CurrentTimeFn clock) {
    g_currentTimeClock.store(clock, std::memory_order_release);
}

}  // namespace talven::mfc
