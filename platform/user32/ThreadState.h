// What the window system keeps for one thread: its message queue, its timers, its windows and
// its quit flag. Made on the thread's first use of the window system, destroyed at thread
// exit, which removes the thread's remaining windows (without calling their procedures: the
// thread is gone), closes its queue so that posts fail and waiting senders return, and
// unregisters it.
//
// Threads: Current() on any thread gives that thread's own state; the state's members are for
// its owner thread only, except queue() and shared access through QueueOf().
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <unordered_map>

#include "platform/kernel32/tls_model.h"
#include "platform/user32/ThreadQueue.h"
#include "platform/user32/TimerList.h"
#include "platform/user32/WindowRecord.h"

namespace talven::platform::user32 {

class ThreadState {
public:
    explicit ThreadState(DWORD threadId);
    ~ThreadState();
    ThreadState(const ThreadState&) = delete;
    ThreadState& operator=(const ThreadState&) = delete;

    // The calling thread's state, made on first use; nullptr while the thread is exiting.
    // Inline: every message call asks for it.
    static ThreadState* Current() {
        ThreadState* ts = current_;
        return ts != nullptr ? ts : MakeCurrent();
    }
    // The calling thread's state if it has one already; never makes one.
    static ThreadState* CurrentIfAny() { return current_; }
    // The queue of a live thread, or nullptr. Any thread.
    static std::shared_ptr<ThreadQueue> QueueOf(DWORD threadId);

    DWORD threadId() const { return threadId_; }
    ThreadQueue& queue() { return *queue_; }
    const std::shared_ptr<ThreadQueue>& sharedQueue() const { return queue_; }
    TimerList& timers() { return timers_; }

    // The thread's own windows, found without the window table's locks: only this thread
    // adds and removes them, so the records stay valid while it holds them. Every post and
    // dispatch looks a window up, so the last windows found are kept in a small cache by
    // handle (handles are consecutive numbers, so a thread's few windows rarely collide).
    void AddWindow(WindowRecord* rec) { windows_.emplace(rec->hwnd, rec); }
    void RemoveWindow(HWND hwnd) {
        CachedWindow& cached = cache_[CacheSlot(hwnd)];
        if (cached.hwnd == hwnd) {
            cached = CachedWindow{};
        }
        windows_.erase(hwnd);
    }
    WindowRecord* FindWindow(HWND hwnd) {
        WindowRecord* rec = FindCachedWindow(hwnd);
        return rec != nullptr ? rec : FindWindowUncached(hwnd);
    }
    // The cache alone: nullptr for a window not in it (which may still be the thread's).
    WindowRecord* FindCachedWindow(HWND hwnd) const {
        // A free slot holds no handle and no record, so a null hwnd finds nothing here too.
        const CachedWindow& cached = cache_[CacheSlot(hwnd)];
        return cached.hwnd == hwnd ? cached.rec : nullptr;
    }

    // PostQuitMessage's flag.
    bool quitRaised = false;
    int quitCode = 0;
    // Messages retrieved since the descriptors were last polled; bounds how long a busy
    // queue can keep socket readiness waiting.
    unsigned retrievedSinceIoPoll = 0;
    // The queue's post count when the thread last looked at it (GetMessageA, PeekMessageA,
    // MsgWaitForMultipleObjects): messages posted before then are no longer new input.
    std::uint64_t postsSeen = 0;

private:
    struct Holder;   // owns the thread's state; destroys it at thread exit
    static thread_local Holder holder_;
    static ThreadState* MakeCurrent();
    // The calling thread's state; constant-initialised, so reached without a TLS wrapper.
    // Cleared when the thread's state is destroyed at thread exit.
    static inline thread_local ThreadState* current_ TALVEN_HOT_TLS = nullptr;

    const DWORD threadId_;
    std::shared_ptr<ThreadQueue> queue_;
    TimerList timers_;
    std::unordered_map<HWND, WindowRecord*> windows_;

    struct CachedWindow {
        HWND hwnd = nullptr;
        WindowRecord* rec = nullptr;
    };
    static constexpr std::size_t kCachedWindows = 8;
    static std::size_t CacheSlot(HWND hwnd) {
        return reinterpret_cast<std::uintptr_t>(hwnd) & (kCachedWindows - 1);
    }
    WindowRecord* FindWindowUncached(HWND hwnd);
    CachedWindow cache_[kCachedWindows];
};

}  // namespace talven::platform::user32
