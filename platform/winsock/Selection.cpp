#include "platform/winsock/Selection.h"

#include <sys/epoll.h>

#include <cerrno>
#include <mutex>

#include "platform/kernel32/kernel32_internal.h"
#include "platform/user32/reactor.h"
#include "platform/winsock/wsa_error.h"

namespace talven::platform::sockets {
namespace {

using posix::SocketState;
using Hold = std::lock_guard<kernel32::FutexLock>;

// Every event of interest, edge-triggered: a report costs no epoll_ctl, and readiness that
// stays does not wake the wait again.
constexpr std::uint32_t kInterest = EPOLLIN | EPOLLPRI | EPOLLOUT | EPOLLRDHUP | EPOLLET;
constexpr std::uint32_t kEnded = EPOLLRDHUP | EPOLLHUP | EPOLLERR;

// The FD_CLOSE code for the way a connection ended.
int CloseCode(int wsaError) {
    if (wsaError == 0) return 0;
    return wsaError == WSAECONNRESET ? WSAECONNRESET : WSAECONNABORTED;
}

bool EndsConnection(int wsaError) {
    return wsaError == WSAECONNRESET || wsaError == WSAECONNABORTED ||
           wsaError == WSAENETRESET || wsaError == WSAETIMEDOUT;
}

// Failures that only the connection attempt itself decides (reported through FD_CONNECT).
bool IsAttemptOutcome(long negErrno) {
    return negErrno == -ECONNREFUSED || negErrno == -ENETUNREACH || negErrno == -EHOSTUNREACH ||
           negErrno == -ETIMEDOUT;
}

static_assert((FD_READ | FD_WRITE | FD_OOB | FD_ACCEPT | FD_CONNECT | FD_CLOSE) <= 0xFFFF,
              "outstanding and pending events are kept in 16 bits");

}  // namespace

std::uint64_t Selection::Token(int fd) const {
    return (std::uint64_t{generation_} << 32) | static_cast<std::uint32_t>(fd);
}

bool Selection::Select(int fd, HWND hwnd, UINT msg, long events, DWORD thread, SocketState state) {
    Hold hold(lock_);
    if (active_ && thread_ != thread) {
        reactor::Unwatch(thread_, fd);
        active_ = false;
    }
    const bool rewatch = active_;
    if (hwnd_ != nullptr && (hwnd_ != hwnd || msg_ != msg)) {
        RememberTarget();
    }
    ++generation_;
    hwnd_ = hwnd;
    msg_ = msg;
    events_ = events;
    thread_ = thread;
    state_ = closePosted_ ? SocketState::Closed : state;
    outstanding_ = 0;
    pending_ = 0;
    drained_.store(false, std::memory_order_relaxed);
    writeArmed_ = state_ == SocketState::Connected || state_ == SocketState::Datagram;
    peerClosed_ = false;
    closeError_ = 0;
    // Adding (or modifying) reports at once whatever is ready now: data already waiting, a
    // pending connection, a writable connected socket, a close that has already happened.
    const bool ok = rewatch ? reactor::Modify(thread, fd, kInterest, Token(fd))
                            : reactor::Watch(thread, fd, kInterest, Token(fd));
    if (!ok) {
        if (rewatch) {
            reactor::Unwatch(thread, fd);
        }
        active_ = false;
        selected_.store(false, std::memory_order_relaxed);
        ++generation_;
        return false;
    }
    active_ = true;
    selected_.store(true, std::memory_order_relaxed);
    return true;
}

void Selection::Cancel(int fd) {
    Hold hold(lock_);
    drained_.store(false, std::memory_order_relaxed);
    if (active_) {
        Disarm(fd);
    }
    if (hwnd_ != nullptr) {
        reactor::PurgePosted(hwnd_, msg_, static_cast<WPARAM>(fd));
    }
}

void Selection::Forget(int fd) {
    Hold hold(lock_);
    if (active_) {
        Disarm(fd);
    }
    Purge(fd);
    hwnd_ = nullptr;
    msg_ = 0;
    events_ = 0;
    state_ = SocketState::Unconnected;
    outstanding_ = 0;
    pending_ = 0;
    writeArmed_ = false;
    peerClosed_ = false;
    closePosted_ = false;
    closeError_ = 0;
    urgent_ = false;
    drained_.store(false, std::memory_order_relaxed);
    endedCode_.store(0, std::memory_order_relaxed);
    sendShutdown_.store(false, std::memory_order_relaxed);
}

void Selection::NoteEnded(int wsaError) {
    if (EndsConnection(wsaError)) {
        int none = 0;
        endedCode_.compare_exchange_strong(none, CloseCode(wsaError), std::memory_order_relaxed);
    }
}

void Selection::OnReady(int fd, std::uint32_t generation, std::uint32_t ev) {
    Hold hold(lock_);
    drained_.store(false, std::memory_order_relaxed);
    if (!active_ || generation != generation_) {
        return;  // a report for a selection that no longer exists
    }
    switch (state_) {
        case SocketState::Unconnected:
        case SocketState::Closed:
            return;
        case SocketState::Listening:
            if (ev & EPOLLIN) {
                Signal(fd, FD_ACCEPT);
            }
            return;
        case SocketState::Datagram:
            if ((ev & EPOLLOUT) && writeArmed_) {
                writeArmed_ = false;
                if (!PostIfSelected(fd, FD_WRITE, 0)) return;
            }
            if (ev & EPOLLIN) {
                Signal(fd, FD_READ);
            }
            return;
        case SocketState::Connecting: {
            if (!(ev & (EPOLLOUT | EPOLLHUP | EPOLLERR))) {
                return;
            }
            const int err = posix::PendingError(fd);
            if (err > 0) {
                state_ = SocketState::Unconnected;
                PostIfSelected(fd, FD_CONNECT, WsaErrorFromErrno(err));
                return;
            }
            // The report may predate the attempt; only an established connection counts.
            SocketState now = SocketState::Connecting;
            if (posix::QueryState(fd, &now) < 0 || now != SocketState::Connected) {
                return;
            }
            state_ = SocketState::Connected;
            writeArmed_ = true;
            if (!PostIfSelected(fd, FD_CONNECT, 0)) return;
            HandleConnected(fd, ev);
            return;
        }
        case SocketState::Connected:
            HandleConnected(fd, ev);
            return;
    }
}

void Selection::HandleConnected(int fd, std::uint32_t ev) {
    if ((ev & EPOLLOUT) && writeArmed_ && !(ev & (EPOLLHUP | EPOLLERR))) {
        writeArmed_ = false;
        if (!PostIfSelected(fd, FD_WRITE, 0)) return;
    }
    if (ev & kEnded) {
        peerClosed_ = true;
        if ((ev & (EPOLLHUP | EPOLLERR)) && closeError_ == 0) {
            const int err = posix::PendingError(fd);
            if (err > 0) {
                // Taking SO_ERROR consumed the reset: the socket calls learn of it from here.
                closeError_ = CloseCode(WsaErrorFromErrno(err));
                NoteEnded(WsaErrorFromErrno(err));
            }
        }
    }
    if (ev & EPOLLPRI) {
        urgent_ = true;
        // Urgent data read in line is normal data: it is announced by FD_READ, not FD_OOB.
        int inlineOob = 0;
        if (posix::GetIntOption(fd, posix::Option::OobInline, &inlineOob) < 0 || inlineOob == 0) {
            if (!Signal(fd, FD_OOB)) return;
        }
    }
    if (peerClosed_) {
        TryClose(fd);
    } else if (ev & EPOLLIN) {
        Signal(fd, FD_READ);
    }
}

void Selection::TryClose(int fd) {
    if (closePosted_) {
        return;
    }
    if (events_ & FD_READ) {
        if (outstanding_ & FD_READ) {
            return;  // the reader comes back through recv, which tries again
        }
        if (posix::NormalDataWaiting(fd) > 0) {
            outstanding_ |= FD_READ;
            Post(fd, FD_READ, 0);
            return;
        }
    }
    closePosted_ = true;
    state_ = SocketState::Closed;
    PostIfSelected(fd, FD_CLOSE, closeError_);
}

void Selection::OnRecv(int fd, long result, int len, int flags, int wsaError, bool scriptedMore) {
    Hold hold(lock_);
    if (!active_) {
        return;
    }
    if (flags & MSG_OOB) {
        urgent_ = true;
        outstanding_ &= ~FD_OOB;
        if (pending_ & FD_OOB) {
            pending_ &= ~FD_OOB;
            Repoll(fd);
        }
        return;
    }
    drained_.store(false, std::memory_order_relaxed);
    outstanding_ &= ~FD_READ;
    const bool hadPending = (pending_ & FD_READ) != 0;
    pending_ &= ~FD_READ;
    if (state_ == SocketState::Connected) {
        if (result == 0 && len > 0) {
            peerClosed_ = true;
        } else if (result < 0 && EndsConnection(wsaError)) {
            peerClosed_ = true;
            if (closeError_ == 0) closeError_ = CloseCode(wsaError);
        }
    }
    if (scriptedMore) {
        Signal(fd, FD_READ);  // scripted reads stand for data still waiting
        return;
    }
    if (peerClosed_) {
        TryClose(fd);
        return;
    }
    // Whether data may remain. A stream recv that returned less than asked emptied the queue
    // at that moment, and an edge seen before it (hadPending) was for data it has read,
    // provided that edge was handled on this thread before the recv began; later arrivals
    // raise edges of their own. Datagrams, a full buffer, a peek, urgent data (which stops a
    // read at its mark, with normal data behind it) and a recv on another thread all call for
    // a re-poll.
    const bool sameThread = kernel32::CurrentThreadId() == thread_;
    bool repoll;
    if (result > 0) {
        repoll = state_ == SocketState::Datagram || result >= len || (flags & MSG_PEEK) != 0 ||
                 urgent_ || (hadPending && (!sameThread || (events_ & FD_OOB) != 0));
    } else {
        repoll = hadPending && !sameThread;
    }
    if (repoll) {
        Repoll(fd);
    } else if (result > 0 && flags == 0) {
        drained_.store(true, std::memory_order_relaxed);
    }
}

void Selection::OnSendWouldBlock(int fd) {
    Hold hold(lock_);
    if (!active_ || !(events_ & FD_WRITE)) {
        return;
    }
    // Re-polling closes the race with the socket draining between the failed send and now.
    writeArmed_ = true;
    Repoll(fd);
}

void Selection::OnSendFailed(int wsaError) {
    Hold hold(lock_);
    if (active_ && state_ == SocketState::Connected && EndsConnection(wsaError) && closeError_ == 0) {
        closeError_ = CloseCode(wsaError);
    }
}

long Selection::OnConnect(int fd, long result) {
    Hold hold(lock_);
    if (!active_ || state_ == SocketState::Datagram) {
        return result;
    }
    if (result == 0) {
        state_ = SocketState::Connected;
        writeArmed_ = true;
        if (PostIfSelected(fd, FD_CONNECT, 0)) {
            Repoll(fd);
        }
        return 0;
    }
    if (result == -EINPROGRESS) {
        state_ = SocketState::Connecting;
        Repoll(fd);  // the attempt may already have ended while the state said otherwise
        return result;
    }
    if (IsAttemptOutcome(result) && (events_ & FD_CONNECT)) {
        // As WinSock does for a non-blocking socket: the call reports the attempt under way
        // and its outcome arrives as FD_CONNECT.
        state_ = SocketState::Unconnected;
        PostIfSelected(fd, FD_CONNECT, WsaErrorFromErrno(static_cast<int>(-result)));
        return -EINPROGRESS;
    }
    return result;
}

void Selection::OnListen(int fd) {
    Hold hold(lock_);
    if (!active_) {
        return;
    }
    state_ = SocketState::Listening;
    Repoll(fd);
}

bool Selection::OnAccept(int fd, int accepted, Inherited* out) {
    Hold hold(lock_);
    if (!active_) {
        return false;
    }
    outstanding_ &= ~FD_ACCEPT;
    const bool hadPending = (pending_ & FD_ACCEPT) != 0;
    pending_ &= ~FD_ACCEPT;
    // More connections may wait behind the one taken; one report may have stood for several.
    if (accepted >= 0 || hadPending) {
        Repoll(fd);
    }
    if (accepted < 0 || !active_) {
        return false;
    }
    out->hwnd = hwnd_;
    out->msg = msg_;
    out->events = events_;
    out->thread = thread_;
    return true;
}

bool Selection::Post(int fd, int event, int error) {
    const LPARAM lParam = WSAMAKESELECTREPLY(event, error);
    const WPARAM wParam = static_cast<WPARAM>(fd);
    const bool posted = kernel32::CurrentThreadId() == thread_
                            ? reactor::PostToSelf(hwnd_, msg_, wParam, lParam)
                            : reactor::PostUnlimited(hwnd_, msg_, wParam, lParam);
    if (!posted) {
        // The window is gone: stop watching, so the wait does not keep reporting a socket
        // whose events can go nowhere.
        Disarm(fd);
    }
    return posted;
}

bool Selection::PostIfSelected(int fd, int event, int error) {
    return (events_ & event) == 0 || Post(fd, event, error);
}

bool Selection::Signal(int fd, int event) {
    if ((events_ & event) == 0) {
        return true;
    }
    if (outstanding_ & event) {
        pending_ |= event;
        return true;
    }
    outstanding_ |= event;
    return Post(fd, event, 0);
}

void Selection::Repoll(int fd) {
    if (active_ && !reactor::Modify(thread_, fd, kInterest, Token(fd))) {
        Disarm(fd);
    }
}

void Selection::Disarm(int fd) {
    drained_.store(false, std::memory_order_relaxed);
    reactor::Unwatch(thread_, fd);
    active_ = false;
    selected_.store(false, std::memory_order_relaxed);
    ++generation_;
}

void Selection::Purge(int fd) {
    const WPARAM wParam = static_cast<WPARAM>(fd);
    if (hwnd_ != nullptr) {
        reactor::PurgePosted(hwnd_, msg_, wParam);
    }
    if (oldTargets_) {
        for (int i = 0; i < OldTargets::kCount; ++i) {
            if (oldTargets_->hwnd[i] != nullptr) {
                reactor::PurgePosted(oldTargets_->hwnd[i], oldTargets_->msg[i], wParam);
            }
        }
        oldTargets_.reset();
    }
}

void Selection::RememberTarget() {
    if (!oldTargets_) {
        oldTargets_ = std::make_unique<OldTargets>();
    }
    OldTargets& t = *oldTargets_;
    for (int i = 0; i < OldTargets::kCount; ++i) {
        if (t.hwnd[i] == hwnd_ && t.msg[i] == msg_) {
            return;
        }
    }
    for (int i = OldTargets::kCount - 1; i > 0; --i) {
        t.hwnd[i] = t.hwnd[i - 1];
        t.msg[i] = t.msg[i - 1];
    }
    t.hwnd[0] = hwnd_;
    t.msg[0] = msg_;
}

}  // namespace talven::platform::sockets
