#include "platform/user32/TimerList.h"

#include <algorithm>
#include <chrono>
#include <climits>

namespace talven::platform::user32 {

std::uint64_t TimerList::NowMs() {
    const auto now = std::chrono::steady_clock::now().time_since_epoch();
    return static_cast<std::uint64_t>(
        std::chrono::duration_cast<std::chrono::milliseconds>(now).count());
}

UINT_PTR TimerList::Set(HWND hwnd, UINT_PTR id, UINT elapseMs, TIMERPROC proc,
                        std::uint64_t nowMs) {
    // As in Win32, very short intervals are raised to a floor rather than spinning.
    const UINT elapse = std::max<UINT>(elapseMs, 1);
    if (hwnd == nullptr) {
        // A thread timer: a new id unless id names an existing thread timer.
        auto it = std::find_if(timers_.begin(), timers_.end(),
                               [&](const Timer& t) { return t.hwnd == nullptr && t.id == id; });
        if (it == timers_.end()) {
            id = nextThreadTimerId_++;
        }
    }
    for (Timer& t : timers_) {
        if (t.hwnd == hwnd && t.id == id) {
            t.elapseMs = elapse;
            t.proc = proc;
            t.dueMs = nowMs + elapse;
            return id;
        }
    }
    timers_.push_back(Timer{hwnd, id, elapse, proc, nowMs + elapse});
    return hwnd == nullptr ? id : (id != 0 ? id : 1);
}

bool TimerList::Kill(HWND hwnd, UINT_PTR id) {
    auto it = std::find_if(timers_.begin(), timers_.end(),
                           [&](const Timer& t) { return t.hwnd == hwnd && t.id == id; });
    if (it == timers_.end()) {
        return false;
    }
    timers_.erase(it);
    return true;
}

void TimerList::KillAll(HWND hwnd) {
    timers_.erase(std::remove_if(timers_.begin(), timers_.end(),
                                 [&](const Timer& t) { return t.hwnd == hwnd; }),
                  timers_.end());
}

int TimerList::ToTimeout(std::uint64_t dueMs, std::uint64_t nowMs) {
    if (dueMs == UINT64_MAX) {
        return -1;
    }
    if (dueMs <= nowMs) {
        return 0;
    }
    return static_cast<int>(std::min<std::uint64_t>(dueMs - nowMs, INT_MAX));
}

}  // namespace talven::platform::user32
