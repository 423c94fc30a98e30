// What the window system keeps for one thread: its message queue, its timers, its windows and
// its quit flag. Made on the thread's first use of the window system, destroyed at thread
// exit, which removes the thread's remaining windows (without calling their procedures: the
// thread is gone), closes its queue so that posts fail and waiting senders return, and
// unregisters it.
//
// Threads: Current() on any thread gives that thread's own state; the state's members are for
// its owner thread only, except queue() and shared access through QueueOf().
#pragma once

#include <memory>
#include <unordered_map>

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
    static ThreadState* Current();
    // The calling thread's state if it has one already; never makes one.
    static ThreadState* CurrentIfAny();
    // The queue of a live thread, or nullptr. Any thread.
    static std::shared_ptr<ThreadQueue> QueueOf(DWORD threadId);

    DWORD threadId() const { return threadId_; }
    ThreadQueue& queue() { return *queue_; }
    const std::shared_ptr<ThreadQueue>& sharedQueue() const { return queue_; }
    TimerList& timers() { return timers_; }

    // The thread's own windows, found without the window table's locks: only this thread
    // adds and removes them, so the records stay valid while it holds them.
    void AddWindow(WindowRecord* rec) { windows_.emplace(rec->hwnd, rec); }
    void RemoveWindow(HWND hwnd) { windows_.erase(hwnd); }
    WindowRecord* FindWindow(HWND hwnd) const {
        auto it = windows_.find(hwnd);
        return it != windows_.end() ? it->second : nullptr;
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
    const DWORD threadId_;
    std::shared_ptr<ThreadQueue> queue_;
    TimerList timers_;
    std::unordered_map<HWND, WindowRecord*> windows_;
};

}  // namespace talven::platform::user32
