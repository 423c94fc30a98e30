// SetTimer/KillTimer: timers belong to the calling thread (see TimerList).
#include "platform/user32/ThreadState.h"
#include "platform/user32/WindowTable.h"
#include "platform/user32/window_internal.h"

namespace u32 = talven::platform::user32;

namespace {

// The calling thread's state when hwnd is NULL or one of its windows; otherwise nullptr with
// the reason set as last error (a window of another thread is refused in every build).
u32::ThreadState* TimerOwner(HWND hwnd) {
    u32::ThreadState* ts = u32::ThreadState::Current();
    if (ts == nullptr) {
        return nullptr;
    }
    if (hwnd != nullptr && ts->FindWindow(hwnd) == nullptr) {
        SetLastError(IsWindow(hwnd) ? u32::kErrorAccessDenied : u32::kErrorInvalidWindowHandle);
        return nullptr;
    }
    return ts;
}

}  // namespace

UINT_PTR SetTimer(HWND hwnd, UINT_PTR id, UINT elapseMs, TIMERPROC proc) {
    u32::ThreadState* ts = TimerOwner(hwnd);
    if (ts == nullptr) {
        return 0;
    }
    return ts->timers().Set(hwnd, id, elapseMs, proc, u32::TimerList::NowMs());
}

BOOL KillTimer(HWND hwnd, UINT_PTR id) {
    u32::ThreadState* ts = TimerOwner(hwnd);
    return ts != nullptr && ts->timers().Kill(hwnd, id) ? TRUE : FALSE;
}
