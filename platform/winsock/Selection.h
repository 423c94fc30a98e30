// Event selection of one descriptor number: what is selected, and where WinSock's re-enabling
// rules stand for it.
//
// The descriptor sits in the epoll set of the window's thread, edge-triggered, with every
// event of interest, under the token (generation, fd). Each readiness report reaches OnReady
// on that thread; each socket call that re-enables an event reaches the matching On* member
// from whatever thread made it. Every decision and every post happens under lock_, so:
//   - a report carrying an old generation (a cancelled or replaced selection, a closed
//     descriptor whose number was reused) is recognised and dropped;
//   - once Cancel() has returned, nothing of the old selection can be posted any more, and the
//     purge it made has removed everything that was.
// Edge-triggered readiness is never lost: an edge that comes while its event is outstanding is
// remembered in pending_, and wherever the state cannot be known without asking, the
// descriptor is re-polled (EPOLL_CTL_MOD re-reports whatever is ready at that moment).
//
// Threads: every public member may be called from any thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

#include "platform/kernel32/FutexLock.h"
#include "platform/winsock/posix_socket.h"
#include "platform/winsock/winsock.h"

namespace talven::platform::sockets {

// A selection to copy onto an accepted socket.
struct Inherited {
    HWND hwnd = nullptr;
    UINT msg = 0;
    long events = 0;
    DWORD thread = 0;
};

class Selection {
public:
    Selection() = default;
    Selection(const Selection&) = delete;
    Selection& operator=(const Selection&) = delete;

    // Installs or replaces the selection; state is what the socket is now. False when the
    // thread cannot watch descriptors (it has exited).
    bool Select(int fd, HWND hwnd, UINT msg, long events, DWORD thread, posix::SocketState state);
    // Cancels the selection and removes its notifications still queued.
    void Cancel(int fd);
    // The descriptor is being closed, or the number belongs to a new socket: cancels, purges
    // every target the number has posted to, and forgets the connection.
    void Forget(int fd);
    bool selected() const { return selected_.load(std::memory_order_relaxed); }

    // How the connection ended, known whether or not the socket is selected, until the number
    // is forgotten: the WinSock code of a reset or abort that any call saw (0: none), and
    // whether this side has shut down sending.
    void NoteEnded(int wsaError);
    int endedCode() const { return endedCode_.load(std::memory_order_relaxed); }
    void NoteSendShutdown() { sendShutdown_.store(true, std::memory_order_relaxed); }
    bool sendShutdown() const { return sendShutdown_.load(std::memory_order_relaxed); }

    // True (once) when the last recv on this stream returned less than it asked for and no
    // readiness report has come since: the socket was empty then, and anything that arrived
    // after it is reported by the wait and announced with FD_READ, so the next recv may be
    // answered with WSAEWOULDBLOCK without asking the system. Any thread.
    bool TakeDrained() {
        return drained_.load(std::memory_order_relaxed) &&
               drained_.exchange(false, std::memory_order_relaxed);
    }

    // A readiness report from the watching thread.
    void OnReady(int fd, std::uint32_t generation, std::uint32_t epollEvents);
    void OnRecv(int fd, long result, int len, int flags, int wsaError, bool scriptedMore);
    void OnSendWouldBlock(int fd);
    // A send that failed for good may have consumed the socket's pending error (Linux hands a
    // reset to whichever call comes first): keep it as the close code of FD_CLOSE.
    void OnSendFailed(int wsaError);
    long OnConnect(int fd, long result);
    void OnListen(int fd);
    // Re-enables FD_ACCEPT; true (with the selection to copy) when accepted is a new socket.
    bool OnAccept(int fd, int accepted, Inherited* out);

private:
    std::uint64_t Token(int fd) const;
    // Posts one event; on failure (the window is gone) disarms and returns false.
    bool Post(int fd, int event, int error);
    bool PostIfSelected(int fd, int event, int error);
    // Posts event unless it is outstanding (then remembers it as pending).
    bool Signal(int fd, int event);
    void HandleConnected(int fd, std::uint32_t epollEvents);
    // Posts FD_CLOSE once every byte that arrived before the close has been read.
    void TryClose(int fd);
    void Repoll(int fd);
    void Disarm(int fd);
    void Purge(int fd);
    void RememberTarget();

    // Earlier (window, message) targets of this descriptor, purged too when it is closed.
    // Few sockets ever change target, so the list is made on the first change.
    struct OldTargets {
        static constexpr int kCount = 4;
        HWND hwnd[kCount] = {};
        UINT msg[kCount] = {};
    };

    // One of these exists for every descriptor number in use, so the record is kept small
    // (64 bytes): a one-word lock, the posted and pending events in 16 bits.
    kernel32::FutexLock lock_;
    std::atomic<bool> selected_{false};  // mirrors active_ for lock-free checks
    std::atomic<bool> drained_{false};  // see TakeDrained
    std::atomic<bool> sendShutdown_{false};
    std::atomic<int> endedCode_{0};
    // Guarded by lock_:
    bool active_ = false;
    bool writeArmed_ = false; // FD_WRITE is due at the next writability
    bool peerClosed_ = false; // the connection has ended; FD_CLOSE follows the unread data
    bool closePosted_ = false;
    bool urgent_ = false;     // urgent data has come: a read may stop at its mark, short of the end
    posix::SocketState state_ = posix::SocketState::Unconnected;
    std::uint16_t outstanding_ = 0;  // events posted and waiting for their re-enabling call
    std::uint16_t pending_ = 0;      // readiness seen while the event was outstanding
    std::uint32_t generation_ = 0;
    HWND hwnd_ = nullptr;
    UINT msg_ = 0;
    std::int32_t events_ = 0;
    DWORD thread_ = 0;
    int closeError_ = 0;
    std::unique_ptr<OldTargets> oldTargets_;
};

}  // namespace talven::platform::sockets
