// How event selection plugs into the thread's message wait (see reactor.h).
#include "platform/user32/reactor.h"

#include "platform/kernel32/kernel32_internal.h"
#include "platform/user32/ThreadState.h"
#include "platform/user32/WindowTable.h"
#include "platform/user32/window_internal.h"

namespace talven::platform::reactor {

namespace u32 = talven::platform::user32;

namespace {

// The queue of threadId: the caller's own (made if needed) or a live thread's.
std::shared_ptr<u32::ThreadQueue> QueueFor(DWORD threadId) {
    if (threadId == kernel32::CurrentThreadId()) {
        u32::ThreadState* ts = u32::ThreadState::Current();
        return ts != nullptr ? ts->sharedQueue() : nullptr;
    }
    return u32::ThreadState::QueueOf(threadId);
}

}  // namespace

void SetIoCallback(IoCallback callback) {
    u32::MessageWait::SetIoCallback(callback);
}

DWORD WindowThread(HWND hwnd) {
    DWORD thread = 0;
    u32::WindowTable::Instance().With(hwnd, [&](u32::WindowRecord& rec) { thread = rec.threadId; });
    return thread;
}

bool Watch(DWORD threadId, int fd, std::uint32_t epollEvents, std::uint64_t token) {
    const std::shared_ptr<u32::ThreadQueue> queue = QueueFor(threadId);
    return queue != nullptr && queue->wait().Watch(fd, epollEvents, token);
}

bool Modify(DWORD threadId, int fd, std::uint32_t epollEvents, std::uint64_t token) {
    const std::shared_ptr<u32::ThreadQueue> queue = QueueFor(threadId);
    return queue != nullptr && queue->wait().Modify(fd, epollEvents, token);
}

void Unwatch(DWORD threadId, int fd) {
    if (const std::shared_ptr<u32::ThreadQueue> queue = QueueFor(threadId)) {
        queue->wait().Unwatch(fd);
    }
}

void PurgePosted(HWND hwnd, UINT msg, WPARAM wParam) {
    std::shared_ptr<u32::ThreadQueue> queue;
    u32::WindowTable::Instance().With(hwnd, [&](u32::WindowRecord& rec) { queue = rec.queue; });
    if (queue != nullptr) {
        queue->PurgeIf([&](const MSG& m) {
            return m.hwnd == hwnd && m.message == msg && m.wParam == wParam;
        });
    }
}

bool PostToSelf(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    u32::ThreadState* ts = u32::ThreadState::Current();
    if (ts == nullptr) {
        return false;
    }
    if (ts->FindWindow(hwnd) == nullptr) {
        // Not the caller's window: an ordinary post, which wakes the owner if need be.
        return PostUnlimited(hwnd, msg, wParam, lParam);
    }
    ts->queue().PostFromOwner(u32::MakeMessage(hwnd, msg, wParam, lParam));
    return true;
}

bool PostUnlimited(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    return u32::PostToWindow(hwnd, msg, wParam, lParam, false) != FALSE;
}

}  // namespace talven::platform::reactor
