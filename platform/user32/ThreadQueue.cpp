#include "platform/user32/ThreadQueue.h"

namespace talven::platform::user32 {
namespace {
using Hold = std::lock_guard<kernel32::FutexLock>;
}  // namespace

ThreadQueue::ThreadQueue(DWORD threadId) : threadId_(threadId) {}

bool ThreadQueue::ClaimWakeLocked() {
    if (waiting_ && !wakePending_) {
        wakePending_ = true;
        return true;
    }
    return false;
}

ThreadQueue::PostResult ThreadQueue::Post(const MSG& msg, bool limited) {
    bool wake;
    {
        Hold hold(lock_);
        if (closed_) {
            return PostResult::Closed;
        }
        if (limited && posted_.size() >= kPostedLimit) {
            return PostResult::Full;
        }
        PushLocked(msg);
        wake = ClaimWakeLocked();
    }
    // Safe after unlocking: whoever reached this queue holds it alive (a window-table lock
    // or a shared_ptr).
    if (wake) {
        wait_.Wake();
    }
    return PostResult::Posted;
}

void ThreadQueue::PurgeIf(const std::function<bool(const MSG&)>& match) {
    Hold hold(lock_);
    posted_.RemoveIf(match);
    PublishSizeLocked();
}

bool ThreadQueue::PushSent(SentMessage* sent) {
    bool wake;
    {
        Hold hold(lock_);
        if (closed_) {
            return false;
        }
        sent->next = nullptr;
        if (sentTail_ != nullptr) {
            sentTail_->next = sent;
        } else {
            sentHead_ = sent;
        }
        sentTail_ = sent;
        hasSent_.store(true, std::memory_order_release);
        wake = ClaimWakeLocked();
    }
    if (wake) {
        wait_.Wake();
    }
    return true;
}

void ThreadQueue::CompleteSent(SentMessage* sent, LRESULT result) {
    bool wake;
    {
        Hold hold(lock_);
        sent->result = result;
        sent->done = true;
        wake = ClaimWakeLocked();
    }
    if (wake) {
        wait_.Wake();
    }
}

SentMessage* ThreadQueue::TakeSent() {
    // The common case, nothing sent, costs no lock. A send pushed just after this look is
    // still seen: the wait checks the list under the lock before sleeping.
    if (!hasSent_.load(std::memory_order_acquire)) {
        return nullptr;
    }
    Hold hold(lock_);
    SentMessage* sent = sentHead_;
    if (sent != nullptr) {
        sentHead_ = sent->next;
        if (sentHead_ == nullptr) {
            sentTail_ = nullptr;
            hasSent_.store(false, std::memory_order_relaxed);
        }
        sent->next = nullptr;
    }
    return sent;
}

bool ThreadQueue::IsDone(const SentMessage* sent) {
    Hold hold(lock_);
    return sent->done;
}

bool ThreadQueue::HasWorkLocked(const WakeOn& on) const {
    if (sentHead_ != nullptr || (on.done != nullptr && on.done->done)) {
        return true;
    }
    switch (on.posted) {
    case WakeOn::AnyPosted:
        return !posted_.empty();
    case WakeOn::NewPosted:
        return posts_.load(std::memory_order_relaxed) != on.postsSeen;
    case WakeOn::NoPosted:
        break;
    }
    return false;
}

bool ThreadQueue::WaitForWork(int timeoutMs, const WakeOn& on) {
    {
        Hold hold(lock_);
        if (HasWorkLocked(on)) {
            return true;
        }
        waiting_ = true;
    }
    const bool woken = wait_.Wait(timeoutMs);
    Hold hold(lock_);
    waiting_ = false;
    if (woken) {
        wakePending_ = false;
    }
    return HasWorkLocked(on);
}

void ThreadQueue::PollIo() {
    if (wait_.watched() == 0) {
        return;
    }
    if (wait_.Wait(0)) {
        Hold hold(lock_);
        wakePending_ = false;
    }
}

void ThreadQueue::Close() {
    SentMessage* pending;
    {
        Hold hold(lock_);
        closed_ = true;
        posted_.Clear();
        PublishSizeLocked();
        pending = sentHead_;
        sentHead_ = sentTail_ = nullptr;
        hasSent_.store(false, std::memory_order_relaxed);
    }
    while (pending != nullptr) {
        SentMessage* next = pending->next;
        std::shared_ptr<ThreadQueue> sender = pending->sender;
        sender->CompleteSent(pending, 0);
        pending = next;
    }
}

}  // namespace talven::platform::user32
