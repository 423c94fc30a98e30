// Message queue of one thread: posted messages, messages sent by other threads, and the wait
// that sleeps until either arrives (or a watched descriptor is ready).
//
// Threads: Post, PushSent, CompleteSent, PurgeIf and Wake-related paths may be called from any
// thread; everything marked "owner" only from the thread the queue belongs to.
//
// Wake-up rule: the owner sets waiting_ (under lock_) only after seeing nothing to do; a
// poster writes the wake descriptor only when waiting_ is set and no wake is pending. So a
// post to one's own thread, or to a busy thread, makes no system call.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>

#include "platform/kernel32/FutexLock.h"

#include "platform/user32/MessageRing.h"
#include "platform/user32/MessageWait.h"
#include "platform/user32/SentMessage.h"

namespace talven::platform::user32 {

class ThreadQueue {
public:
    explicit ThreadQueue(DWORD threadId);
    ThreadQueue(const ThreadQueue&) = delete;
    ThreadQueue& operator=(const ThreadQueue&) = delete;

    DWORD threadId() const { return threadId_; }
    MessageWait& wait() { return wait_; }

    // As Windows: a queue holds at most this many posted messages, and a post to a full queue
    // fails (ERROR_NOT_ENOUGH_QUOTA). The system's own posts (socket events, lookup replies,
    // PostFromOwner) are not counted against it, so that none of them is ever lost.
    static constexpr std::size_t kPostedLimit = 10000;
    enum class PostResult { Posted, Closed, Full };

    // Any thread. Closed once the queue is closed (its thread has exited); Full when limited
    // and the queue holds kPostedLimit posted messages or more.
    PostResult Post(const MSG& msg, bool limited = true);
    // Owner only: queues without considering a wake-up (the owner is not waiting).
    void PostFromOwner(const MSG& msg) {
        std::lock_guard<kernel32::FutexLock> hold(lock_);
        PushLocked(msg);
    }
    // Any thread. Removes every posted message that match accepts.
    void PurgeIf(const std::function<bool(const MSG&)>& match);

    // Any thread: queues a cross-thread send. False once the queue is closed.
    bool PushSent(SentMessage* sent);
    // Any thread; this must be sent->sender's queue. Stores the result and wakes the sender.
    // sent must not be touched afterwards (the sender may have returned).
    void CompleteSent(SentMessage* sent, LRESULT result);
    // Owner only: the oldest incoming send, or nullptr.
    SentMessage* TakeSent();
    // Owner only: whether an incoming send may be waiting, without the lock. A send pushed
    // just after this look is still seen: the wait checks the list under the lock.
    bool HasSent() const { return hasSent_.load(std::memory_order_acquire); }
    // Owner only: whether the owner's own outgoing send has been completed.
    bool IsDone(const SentMessage* sent);

    // Owner only: the oldest posted message accepted by match. postsSeen receives the count
    // of messages ever posted, as of this look, for WaitForWork.
    // An empty queue costs no lock: posts_ is read before queued_, and a post stores them in
    // the other order, so a message counted in postsSeen is either seen here or was purged.
    template <typename Match>
    bool TakePosted(Match match, MSG& out, bool remove, std::uint64_t& postsSeen) {
        postsSeen = posts_.load(std::memory_order_acquire);
        if (queued_.load(std::memory_order_acquire) == 0) {
            return false;
        }
        std::lock_guard<kernel32::FutexLock> hold(lock_);
        postsSeen = posts_.load(std::memory_order_relaxed);
        const bool taken = posted_.TakeFirst(match, out, remove);
        if (taken && remove) {
            PublishSizeLocked();
        }
        return taken;
    }

    // Owner only: the count of messages ever posted.
    std::uint64_t PostCount() const { return posts_.load(std::memory_order_acquire); }

    // What ends a WaitForWork besides the timeout. An incoming send always does.
    struct WakeOn {
        enum Posted { AnyPosted, NewPosted, NoPosted };
        Posted posted = AnyPosted;
        std::uint64_t postsSeen = 0;           // for NewPosted: the count TakePosted gave
        const SentMessage* done = nullptr;     // the owner's own send, completed
    };

    // Owner only. Sleeps until the wake condition holds or timeoutMs (-1: no limit) pass.
    // Ready watched descriptors are reported to the I/O callback meanwhile. Returns whether
    // the condition holds.
    bool WaitForWork(int timeoutMs, const WakeOn& on);
    // Owner only: reports ready descriptors without blocking.
    void PollIo();

    // Owner only, at thread exit: refuses further posts and sends, drops posted messages and
    // completes pending incoming sends with 0 so their senders return.
    void Close();

private:
    bool HasWorkLocked(const WakeOn& on) const;
    bool ClaimWakeLocked();   // true when the caller must write the wake descriptor
    void PushLocked(const MSG& msg) {
        posted_.PushBack(msg);
        PublishSizeLocked();  // before the count: see TakePosted
        posts_.store(posts_.load(std::memory_order_relaxed) + 1, std::memory_order_release);
    }
    void PublishSizeLocked() { queued_.store(posted_.size(), std::memory_order_release); }

    const DWORD threadId_;
    kernel32::FutexLock lock_; // guards everything below except wait_
    MessageRing posted_;
    // Written under lock_, readable without it: messages ever posted, and posted_.size().
    std::atomic<std::uint64_t> posts_{0};
    std::atomic<std::size_t> queued_{0};
    SentMessage* sentHead_ = nullptr;
    SentMessage* sentTail_ = nullptr;
    std::atomic<bool> hasSent_{false};  // sentHead_ != nullptr, readable without the lock
    bool waiting_ = false;     // the owner is in (or about to enter) the wait
    bool wakePending_ = false; // the wake descriptor was written and not yet drained
    bool closed_ = false;
    MessageWait wait_;
};

}  // namespace talven::platform::user32
