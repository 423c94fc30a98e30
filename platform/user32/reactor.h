// Internal to the platform layer: how WinSock's event selection plugs into a thread's
// message wait. Not installed for applications' use (no TALVEN_API).
//
// Each thread's message wait is one epoll wait over: its queue's wake descriptor, its timers,
// and the socket descriptors that event selection has attached to it. When a watched
// descriptor becomes ready, the waiting thread itself calls the I/O callback (on that
// thread, from inside GetMessageA/PeekMessageA/MsgWaitForMultipleObjects), which may post
// messages to that same thread without waking anyone.
#pragma once

#include <cstdint>

#include "platform/user32/user32.h"

namespace talven::platform::reactor {

// Called on the watching thread with the token given to Watch and the epoll event bits.
// A descriptor unwatched from another thread may still be reported once by a wait already in
// progress, so the callback must treat an unknown or stale token as nothing to do.
using IoCallback = void (*)(std::uint64_t token, std::uint32_t epollEvents);

// Installed once, by the WinSock module, before any Watch.
void SetIoCallback(IoCallback callback);

// Thread that owns hwnd, or 0 when hwnd is not a window. Any thread.
DWORD WindowThread(HWND hwnd);

// Adds, changes or removes fd in the message wait of thread threadId. Any thread (epoll_ctl
// on another thread's epoll is safe). The thread's queue is created if it does not exist yet.
// Returns false when the thread has no queue and cannot get one (it has exited), or when
// epoll refuses the descriptor. Token ~0 is reserved (the queue's own wake-up) and refused.
// Unwatch before closing the descriptor: epoll drops a closed descriptor by itself, but the
// wait would go on counting it as watched and poll for nothing.
// A thread's queue is made on that thread's first use of the window system; for another
// thread, "the thread has no queue" means it never used it or has exited.
bool Watch(DWORD threadId, int fd, std::uint32_t epollEvents, std::uint64_t token);
bool Modify(DWORD threadId, int fd, std::uint32_t epollEvents, std::uint64_t token);
void Unwatch(DWORD threadId, int fd);

// Removes every posted message (hwnd, msg, wParam) still waiting in the queue of hwnd's
// thread. Any thread. Does nothing when hwnd is not a window.
void PurgePosted(HWND hwnd, UINT msg, WPARAM wParam);

// Posts a message to the calling thread's own queue without a wake-up (the caller is the
// thread's waiter). Returns false when hwnd is not a window. When hwnd belongs to another
// thread (its window was replaced meanwhile) this is an ordinary PostMessageA.
bool PostToSelf(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);

// PostMessageA for the system's own events (socket readiness, lookup replies): a full queue
// (the applications' limit of posted messages) still takes them, so none is lost. Any thread.
bool PostUnlimited(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);

}  // namespace talven::platform::reactor
