// The packet socket as the examples use it. On top of CQmtpSocket it adds:
// - pure mode chosen per object (read events go to OnReceivePure, sends use SendPure);
// - a close of its own (Abandon) that cannot overlap another thread's send, since the flush
//   reads the handle that Close resets: it closes under the socket's own lock (the close
//   event's path needs no lock: CQmtpSocket::OnClose keeps sender threads off the handle);
// - packets that arrived just before the peer's close are handed to the application while
//   the socket is still open, so that it can still answer them;
// - a complete answer to a peer that shuts down only its sending side: at a close without
//   error the socket stays open until everything queued for the peer is written (at most the
//   drain timeout, 10 s by default), then closes;
// - a close that never passes a cut or missing packet off as the end of the stream: while
//   bytes wait in the send queue, Close ends the connection with a reset, not a FIN;
// - reading that can be paused (flow control: a selection without FD_READ; a read event that
//   was already queued then reads nothing, and the data waits in the socket), the largest send
//   queue seen, and the time of the last read event, for idle timeouts.
//
// Threads: SendBytes, SendQueueEmpty and LargestSendQueue from any thread; everything else on
// the notification window's thread, like the base class's receive side. The application's
// handler of a TP_NOTIFY_RECEIVE or TP_NOTIFY_SEND that OnClose or OnSend sends (rather than
// posts) while the connection closes must not delete the socket.
#pragma once

#include <atomic>
#include <cstddef>
#include <functional>

#include "talven.h"

class PacketSocket : public CQmtpSocket {
public:
    static const DWORD kDefaultDrainTimeoutMs = 10000;

    explicit PacketSocket(bool pure = false);
    ~PacketSocket() override;

    bool IsPure() const { return pure_; }

    // Send or SendPure, by mode. The library's result: -1 on failure (WSAENOBUFS when a send
    // queue limit refused the packet), else >= 0.
    int SendBytes(const void* data, int len);
    bool SendQueueEmpty();
    // Takes the received packets, oldest first, handing each to take() and releasing it after;
    // stops early, leaving the rest queued, when take() returns false. False when it stopped.
    bool TakePackets(const std::function<bool(const char* data, int len)>& take);
    // The largest number of bytes the send queue held after a SendBytes.
    std::size_t LargestSendQueue() const { return largestQueue_.load(std::memory_order_relaxed); }

    // Flow control: with reading paused the socket is selected without FD_READ, so nothing more
    // is read from the peer and TCP slows it down. ResumeReading selects every event again.
    void PauseReading();
    void ResumeReading();
    bool ReadingPaused() const { return readingPaused_; }

    // How long a close without error may wait for the send queue to drain; 0 closes at once.
    void SetDrainTimeout(DWORD ms) { drainTimeoutMs_ = ms; }
    // The peer has closed and the socket is still writing what is queued for it.
    bool Draining() const { return drainTimer_ != 0; }

    // GetTickCount() of the last read event without error (of construction before it).
    DWORD LastReceive() const { return lastReceive_; }

    // The length field that ended the connection with WSAEMSGSIZE, and its 4 bytes; 0 and
    // empty when the connection did not end that way.
    UINT RefusedLength() const { return refusedLength_; }
    const char* RefusedHeader() const { return refusedHeader_; }

    // Ends the connection on the application's own initiative: unregisters from the
    // notification window while the handle is still the map's key, then closes. No close
    // notification follows. Does nothing when the socket is already closed.
    void Abandon();

    bool IsOpen() const { return m_hSocket != INVALID_SOCKET; }
    // The error of the last connect attempt, as it came (GetErrorCode follows later events).
    int LastConnectError() const { return lastConnectError_; }

    // While the send queue holds bytes, or after a drain timed out, a reset (linger 0, no
    // shutdown); otherwise the base class's orderly close.
    void Close() override;
    void OnReceive(int nErrorCode) override;
    void OnSend(int nErrorCode) override;
    void OnClose(int nErrorCode) override;
    void OnConnect(int nErrorCode) override;

    // The application's own data for this connection.
    void* context = nullptr;

private:
    static void CALLBACK DrainTimerProc(HWND hwnd, UINT msg, UINT_PTR id, DWORD now);

    // The flush; 0, or the WinSock error of a failed write.
    int Flush();
    // Nothing left to read, to hand over or to write, and reading not paused.
    bool Drained();
    winsock::u_long BytesWaiting();  // received and not yet read (FIONREAD)
    // Starts polling the drain; false when no timer could be set.
    bool StartDrainTimer();
    // Flushes, lets the application add what it still holds for the peer, then CheckDrain.
    void ContinueDrain(int nErrorCode);
    // Closes once the queue has drained or the deadline has passed.
    void CheckDrain();
    void StopDrainTimer();
    // The base class's close path: unregister, close, notify.
    void FinishClose(int nErrorCode);
    void NoteRefusedHeader();

    bool pure_;
    int lastConnectError_ = 0;
    bool readingPaused_ = false;
    DWORD drainTimeoutMs_ = kDefaultDrainTimeoutMs;
    UINT_PTR drainTimer_ = 0;  // nonzero while draining
    DWORD drainDeadline_ = 0;
    bool resetOnClose_ = false;  // a drain timed out: Close resets even with an empty queue
    DWORD lastReceive_;
    UINT refusedLength_ = 0;
    char refusedHeader_[5] = {0, 0, 0, 0, 0};
    std::atomic<std::size_t> largestQueue_{0};
};
