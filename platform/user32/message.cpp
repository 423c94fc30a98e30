// Posting, retrieval and dispatch of messages, the quit flag, and the wait with a timeout.
//
// A retrieval runs, in order: messages sent by other threads (run at once), posted messages
// (in the order of posting), the quit flag, then due timers; only when none is there does
// it wait, in the thread's one epoll wait, which also reports socket readiness.
#include <chrono>

#include "platform/user32/ThreadState.h"
#include "platform/user32/WindowTable.h"
#include "platform/user32/window_internal.h"

namespace u32 = talven::platform::user32;
using u32::ThreadQueue;
using u32::ThreadState;

namespace {

// Messages retrieved in a row without looking at the descriptors; after that many, a
// retrieval polls them without blocking so that a flood of posts cannot starve the sockets.
constexpr unsigned kIoPollInterval = 64;

// hwnd filter of GetMessageA/PeekMessageA: NULL = any, (HWND)-1 = thread messages only.
struct Filter {
    HWND hwnd;
    UINT min;
    UINT max;

    bool HwndMatches(HWND target) const {
        if (hwnd == nullptr) {
            return true;
        }
        if (hwnd == reinterpret_cast<HWND>(-1)) {
            return target == nullptr;
        }
        return target == hwnd;
    }
    bool InRange(UINT message) const {
        return (min == 0 && max == 0) || (message >= min && message <= max);
    }
    bool operator()(const MSG& m) const { return HwndMatches(m.hwnd) && InRange(m.message); }
};


// The posted message a retrieval takes first, if any; postsSeen receives the queue's post count.
inline bool TakeQueued(ThreadState& ts, MSG& out, const Filter& filter, bool remove,
                       std::uint64_t& postsSeen) {
    const bool taken = ts.queue().TakePosted(filter, out, remove, postsSeen);
    ts.postsSeen = postsSeen;
    if (taken) {
        ++ts.retrievedSinceIoPoll;
    }
    return taken;
}

// A retrieval's common case, inline in GetMessageA and PeekMessageA: no send from another
// thread waits, no poll of the descriptors is due, and a posted message is there.
inline bool TakeQueuedAtOnce(ThreadState& ts, MSG& out, const Filter& filter, bool remove) {
    std::uint64_t postsSeen = 0;
    return !ts.queue().HasSent() && ts.retrievedSinceIoPoll < kIoPollInterval &&
           TakeQueued(ts, out, filter, remove, postsSeen);
}

// One retrieval. block: wait until a message is there (GetMessageA); otherwise look once,
// polling the descriptors when nothing is queued (PeekMessageA).
bool Retrieve(ThreadState& ts, MSG& out, const Filter& filter, bool remove, bool block) {
    ThreadQueue& queue = ts.queue();
    bool polled = false;
    for (;;) {
        if (queue.HasSent()) {
            u32::ServeIncomingSends(ts);
        }
        if (ts.retrievedSinceIoPoll >= kIoPollInterval) {
            ts.retrievedSinceIoPoll = 0;
            queue.PollIo();
        }
        std::uint64_t postsSeen = 0;
        if (TakeQueued(ts, out, filter, remove, postsSeen)) {
            return true;
        }
        if (ts.quitRaised && filter.InRange(WM_QUIT)) {
            out = u32::MakeMessage(nullptr, WM_QUIT, static_cast<WPARAM>(ts.quitCode), 0);
            if (remove) {
                ts.quitRaised = false;
            }
            return true;
        }
        // The clock is read only when a timer could be due.
        const bool timersWanted = filter.InRange(WM_TIMER) && !ts.timers().empty();
        const std::uint64_t now = timersWanted ? u32::TimerList::NowMs() : 0;
        const auto timerMatches = [&](HWND h) { return filter.HwndMatches(h); };
        if (timersWanted && ts.timers().TakeDue(now, timerMatches, out, remove)) {
            out.time = GetTickCount();
            return true;
        }
        if (!block) {
            if (polled || queue.wait().watched() == 0) {
                return false;
            }
            polled = true;
            ts.retrievedSinceIoPoll = 0;
            queue.PollIo();
            continue;
        }
        ThreadQueue::WakeOn wakeOn;
        wakeOn.posted = ThreadQueue::WakeOn::NewPosted;
        wakeOn.postsSeen = postsSeen;
        queue.WaitForWork(timersWanted ? ts.timers().MsUntilNext(now, timerMatches) : -1, wakeOn);
        ts.retrievedSinceIoPoll = 0;
    }
}

}  // namespace

namespace talven::platform::user32 {

namespace {

// Sets the last error for a post that failed; returns the post's BOOL.
BOOL PostOutcome(ThreadQueue::PostResult result, DWORD closedError) {
    switch (result) {
    case ThreadQueue::PostResult::Posted:
        return TRUE;
    case ThreadQueue::PostResult::Full:
        SetLastError(kErrorNotEnoughQuota);
        return FALSE;
    case ThreadQueue::PostResult::Closed:
        break;
    }
    SetLastError(closedError);
    return FALSE;
}

}  // namespace

BOOL PostToWindow(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam, bool limited) {
    const MSG m = MakeMessage(hwnd, msg, wParam, lParam);
    if (hwnd == nullptr) {
        ThreadState* ts = ThreadState::Current();
        if (ts == nullptr) {
            SetLastError(kErrorInvalidThreadId);
            return FALSE;
        }
        return PostOutcome(ts->queue().Post(m, limited), kErrorInvalidThreadId);
    }
    // One's own window: no table lookup.
    if (ThreadState* ts = ThreadState::CurrentIfAny()) {
        if (ts->FindWindow(hwnd) != nullptr) {
            return PostOutcome(ts->queue().Post(m, limited), kErrorInvalidWindowHandle);
        }
    }
    ThreadQueue::PostResult result = ThreadQueue::PostResult::Closed;
    // Posting under the table's shared lock keeps the record, and so its queue, alive; a
    // window being destroyed is removed under the exclusive lock, after which its queued
    // messages are purged, so nothing posted to it survives.
    WindowTable::Instance().With(
        hwnd, [&](WindowRecord& rec) { result = rec.queue->Post(m, limited); });
    return PostOutcome(result, kErrorInvalidWindowHandle);
}

}  // namespace talven::platform::user32

BOOL PostMessageA(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    return u32::PostToWindow(hwnd, msg, wParam, lParam, true);
}

BOOL PostThreadMessageA(DWORD threadId, UINT msg, WPARAM wParam, LPARAM lParam) {
    const std::shared_ptr<ThreadQueue> queue = ThreadState::QueueOf(threadId);
    if (queue == nullptr) {
        SetLastError(u32::kErrorInvalidThreadId);
        return FALSE;
    }
    return u32::PostOutcome(queue->Post(u32::MakeMessage(nullptr, msg, wParam, lParam)),
                            u32::kErrorInvalidThreadId);
}

BOOL GetMessageA(LPMSG msg, HWND hwnd, UINT filterMin, UINT filterMax) {
    ThreadState* ts = ThreadState::Current();
    if (ts == nullptr || msg == nullptr) {
        return -1;
    }
    if (hwnd != nullptr && hwnd != reinterpret_cast<HWND>(-1) &&
        ts->FindWindow(hwnd) == nullptr) {
        SetLastError(u32::kErrorInvalidWindowHandle);
        return -1;
    }
    const Filter filter{hwnd, filterMin, filterMax};
    if (!TakeQueuedAtOnce(*ts, *msg, filter, true)) {
        Retrieve(*ts, *msg, filter, true, true);
    }
    return msg->message == WM_QUIT ? FALSE : TRUE;
}

BOOL PeekMessageA(LPMSG msg, HWND hwnd, UINT filterMin, UINT filterMax, UINT removeMsg) {
    ThreadState* ts = ThreadState::Current();
    if (ts == nullptr || msg == nullptr) {
        return FALSE;
    }
    const bool remove = (removeMsg & PM_REMOVE) != 0;
    const Filter filter{hwnd, filterMin, filterMax};
    return TakeQueuedAtOnce(*ts, *msg, filter, remove) || Retrieve(*ts, *msg, filter, remove, false)
               ? TRUE
               : FALSE;
}

BOOL TranslateMessage(const MSG*) {
    return FALSE;   // no keyboard input to translate
}

LRESULT DispatchMessageA(const MSG* msg) {
    if (msg == nullptr) {
        return 0;
    }
    if (msg->message == WM_TIMER && msg->lParam != 0) {
        auto proc = reinterpret_cast<TIMERPROC>(msg->lParam);
        proc(msg->hwnd, WM_TIMER, static_cast<UINT_PTR>(msg->wParam), GetTickCount());
        return 0;
    }
    if (msg->hwnd == nullptr) {
        return 0;   // thread messages have no procedure
    }
    return u32::CallWindowProcOwn(msg->hwnd, msg->message, msg->wParam, msg->lParam);
}

void PostQuitMessage(int exitCode) {
    if (ThreadState* ts = ThreadState::Current()) {
        ts->quitRaised = true;
        ts->quitCode = exitCode;
    }
}

DWORD MsgWaitForMultipleObjects(DWORD count, const HANDLE*, BOOL, DWORD milliseconds, DWORD) {
    ThreadState* ts = ThreadState::Current();
    if (ts == nullptr || count != 0) {
        SetLastError(u32::kErrorInvalidParameter);
        return WAIT_FAILED;
    }
    using Clock = std::chrono::steady_clock;
    const bool forever = milliseconds == INFINITE;
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(milliseconds);
    // Only input that is new since the thread last looked at its queue ends the wait: posts
    // made after that look (socket events among them), sent messages, the quit flag, timers.
    ThreadQueue::WakeOn wakeOn;
    wakeOn.posted = ThreadQueue::WakeOn::NewPosted;
    wakeOn.postsSeen = ts->postsSeen;
    for (;;) {
        const std::uint64_t now = u32::TimerList::NowMs();
        const int untilTimer = ts->timers().MsUntilNext(now);
        if (ts->quitRaised || untilTimer == 0) {
            return WAIT_OBJECT_0;
        }
        int timeout = -1;
        if (!forever) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                                  deadline - Clock::now())
                                  .count();
            timeout = left > 0 ? static_cast<int>(left) : 0;
        }
        if (untilTimer >= 0 && (timeout < 0 || untilTimer < timeout)) {
            timeout = untilTimer;
        }
        if (ts->queue().WaitForWork(timeout, wakeOn)) {
            // This check counts as a look too: what is queued now is no longer new.
            ts->postsSeen = ts->queue().PostCount();
            return WAIT_OBJECT_0;
        }
        if (!forever && Clock::now() >= deadline && ts->timers().MsUntilNext(u32::TimerList::NowMs()) != 0) {
            return WAIT_TIMEOUT;
        }
    }
}
