// SendMessageA: a direct call on the window's own thread; across threads, a SentMessage
// handed to the owner's queue, run by the owner inside its message retrieval, while the
// sender waits and serves what is sent to its own windows (so two threads sending to each
// other both progress).
#include "platform/user32/ThreadState.h"
#include "platform/user32/WindowTable.h"
#include "platform/user32/window_internal.h"

namespace u32 = talven::platform::user32;

namespace talven::platform::user32 {

void ServeIncomingSends(ThreadState& ts) {
    while (SentMessage* sent = ts.queue().TakeSent()) {
        // A window destroyed since the send was queued answers 0.
        const LRESULT result = CallWindowProcOwn(sent->hwnd, sent->message, sent->wParam,
                                                 sent->lParam);
        // Hold the sender's queue: once completed, the sender may return and its thread exit.
        const std::shared_ptr<ThreadQueue> sender = sent->sender;
        sender->CompleteSent(sent, result);
    }
}

}  // namespace talven::platform::user32

LRESULT SendMessageA(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    u32::ThreadState* ts = u32::ThreadState::Current();
    if (ts == nullptr) {
        return 0;
    }
    if (ts->FindWindow(hwnd) != nullptr) {
        return u32::CallWindowProcOwn(hwnd, msg, wParam, lParam);
    }
    std::shared_ptr<u32::ThreadQueue> target;
    if (!u32::WindowTable::Instance().With(hwnd, [&](u32::WindowRecord& rec) { target = rec.queue; })) {
        SetLastError(u32::kErrorInvalidWindowHandle);
        return 0;
    }

    u32::SentMessage sent;
    sent.hwnd = hwnd;
    sent.message = msg;
    sent.wParam = wParam;
    sent.lParam = lParam;
    sent.sender = ts->sharedQueue();
    // A closed queue means the owner thread has exited: no window to run the handler.
    if (!target->PushSent(&sent)) {
        SetLastError(u32::kErrorInvalidWindowHandle);
        return 0;
    }
    u32::ThreadQueue& queue = ts->queue();
    u32::ThreadQueue::WakeOn wakeOn;
    wakeOn.posted = u32::ThreadQueue::WakeOn::NoPosted;
    wakeOn.done = &sent;
    for (;;) {
        u32::ServeIncomingSends(*ts);
        if (queue.IsDone(&sent)) {
            break;
        }
        queue.WaitForWork(-1, wakeOn);
    }
    return sent.result;
}
