// The timers of one thread. WM_TIMER is not queued: when a retrieval finds nothing else, it
// asks the list for a due timer and makes the message then, so a timer never piles up
// messages and a killed timer leaves nothing behind.
//
// Threads: owner thread only.
#pragma once

#include <cstdint>
#include <vector>

#include "platform/user32/user32.h"

namespace talven::platform::user32 {

class TimerList {
public:
    // Starts or restarts a timer; returns its id (a new one for hwnd NULL), 0 on failure.
    UINT_PTR Set(HWND hwnd, UINT_PTR id, UINT elapseMs, TIMERPROC proc, std::uint64_t nowMs);
    bool Kill(HWND hwnd, UINT_PTR id);
    bool empty() const { return timers_.empty(); }
    void KillAll(HWND hwnd);

    // The earliest due timer that match(hwnd) accepts, as a WM_TIMER message; when remove is
    // set the timer's next expiry is counted from now.
    template <typename Match>
    bool TakeDue(std::uint64_t nowMs, Match match, MSG& out, bool remove) {
        Timer* best = nullptr;
        for (Timer& t : timers_) {
            if (t.dueMs <= nowMs && match(t.hwnd) && (best == nullptr || t.dueMs < best->dueMs)) {
                best = &t;
            }
        }
        if (best == nullptr) {
            return false;
        }
        out = MSG{};
        out.hwnd = best->hwnd;
        out.message = WM_TIMER;
        out.wParam = best->id;
        out.lParam = reinterpret_cast<LPARAM>(best->proc);
        if (remove) {
            best->dueMs = nowMs + best->elapseMs;
        }
        return true;
    }

    // Milliseconds until the next timer that match(hwnd) accepts is due (0 if one is due),
    // or -1 when there is none.
    template <typename Match>
    int MsUntilNext(std::uint64_t nowMs, Match match) const {
        std::uint64_t next = UINT64_MAX;
        for (const Timer& t : timers_) {
            if (match(t.hwnd) && t.dueMs < next) {
                next = t.dueMs;
            }
        }
        return ToTimeout(next, nowMs);
    }
    int MsUntilNext(std::uint64_t nowMs) const {
        return MsUntilNext(nowMs, [](HWND) { return true; });
    }

    // Milliseconds of the monotonic clock.
    static std::uint64_t NowMs();

private:
    static int ToTimeout(std::uint64_t dueMs, std::uint64_t nowMs);

    struct Timer {
        HWND hwnd;
        UINT_PTR id;
        UINT elapseMs;
        TIMERPROC proc;
        std::uint64_t dueMs;
    };
    std::vector<Timer> timers_;
    UINT_PTR nextThreadTimerId_ = 1;
};

}  // namespace talven::platform::user32
