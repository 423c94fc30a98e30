// CQmtpSocket: a packet socket. Carries discrete messages over one TCP connection, each as a
// 4-byte big-endian length and the payload; keeps a send queue that survives "would block";
// reassembles received frames in a growing buffer; and posts every socket event to one
// application window as a notification code (TP_NOTIFY_*) in wParam, with the object in lParam.
// A notification that the application's full queue refuses is posted later, in order.
//
// Threads: the event handlers, the receive side (ReadData included) and every field but the
// send queue belong to the notification window's thread. Send, SendPure and the public
// SendPacket may be called from any thread; m_csLock serialises the queue and each flush.
// The object is not destroyed while another thread is inside one of its send members.
// The notification window's thread never waits for m_csLock: OnClose, OnSend's flush, and the
// send members and the flush when called on that thread only try it. When another thread holds
// it, the flush, and the packet (queued beside m_SendList), are left to the holder, which runs
// them when it leaves the lock, Unlock included; a write that would block then arms FD_WRITE as
// usual. So a worker that holds Lock() may: call the send members and the flush (the lock is
// re-entrant), read m_SendList and the byte count, and wait for the window's thread
// (SendMessageA, say). It must not wait for a third thread that sends on this socket (a sender
// off the window's thread waits for the lock), and the packets the window's thread sends
// meanwhile go out at its Unlock, after those already queued.
#pragma once

#include <atomic>
#include <cstddef>
#include <exception>
#include <memory>

#include "packet/CPacketData.h"
#include "platform/kernel32/kernel32.h"
#include "platform/mfc/afxcoll.h"
#include "platform/mfc/afxtime.h"
#include "socket/CQmAsyncSocket.h"

#define TP_NOTIFY_CONNECT 2025
#define TP_NOTIFY_CLOSE 2026
#define TP_NOTIFY_RECEIVE 2027
#define TP_NOTIFY_SEND 2028
#define TP_NOTIFY_OOB 2029
#define TP_NOTIFY_ACCEPT 2030

// Send flag: more packets follow. Send, SendPure and SendPacket queue the packet (a copy) and
// return 0 without writing; the next send call without the flag, or Flush(), writes the whole
// queue with gathered writes (several packets per system call). A packet that would bring the
// queue to 64 KiB is sent as without the flag: batching pays for small packets only. Packets sent with it wait for
// that, so the sender must end a burst with a send without it or with Flush(): nothing else
// writes them except a send event (FD_WRITE, after a write that would block) or OnClose.
// They count in GetSendQueueBytes and against the queue limit like any queued packet (a
// packet over the limit first has the queue written, then is refused if the queue still
// holds too much); TP_NOTIFY_SEND follows as usual. No other flag bit has a meaning.
#define TP_SEND_MORE 0x00010000

// Default bound on a received payload; a larger length field is a protocol violation.
#define TP_DEFAULT_MAX_PACKET_LEN 1048576u

struct CQmtpSocketReconnectState;

class TALVEN_API CQmtpSocket : public CQmAsyncSocket {
public:
    CQmtpSocket();
    ~CQmtpSocket() override;
    CQmtpSocket(const CQmtpSocket&) = delete;
    CQmtpSocket& operator=(const CQmtpSocket&) = delete;

    // Window and message (at least WM_USER) that receive the notification codes.
    int SetNotifyHandle(HWND hWnd, UINT nMsg);

    // Nonzero when the connection is made or under way.
    int Connect(const char* host, UINT port) override;

    // As the base's, and the host and port become the target of reconnects. Window's thread.
    int ConnectAsync(const char* host, UINT port);

    // Reconnect, off by default (initialMs 0 turns it off); set it before Connect. When a
    // connection made by Connect or ConnectAsync ends without the application closing it (after
    // its TP_NOTIFY_CLOSE), or such a connect fails, the socket is closed and connects again to
    // the same host and port (by ConnectAsync: a name is looked up without blocking) after a
    // wait that doubles from initialMs up to maxMs, less a random part of up to a quarter. Each
    // attempt reports TP_NOTIFY_CONNECT with its error (the connect timeout applies to each).
    // It stops when maxTries attempts in a row have failed (0: never) or when the application
    // calls Close. Packets not yet written stay queued and go out on the new connection; the
    // socket's notification window and target stay as they were. Window's thread.
    void SetReconnect(UINT initialMs, UINT maxMs, UINT maxTries);
    // Whether the socket is reconnecting: waiting for its next attempt or inside one. True from
    // a TP_NOTIFY_CLOSE or failed TP_NOTIFY_CONNECT after which it tries again until that
    // attempt's TP_NOTIFY_CONNECT; false once it has given up or the application closed it.
    BOOL IsReconnecting() const;

    // Receive side (notification window's thread)
    int Receive(void* buffer, int length, int flags = 0) override;
    void OnReceive(int nErrorCode) override;
    // Takes the oldest received packet; the caller owns `data` (operator delete). Returns how
    // many packets are still queued; 0 with the outputs untouched when none was.
    int ReadData(char*& data, int& len);
    // Bound on a received payload (default TP_DEFAULT_MAX_PACKET_LEN). A length field above it
    // is a protocol violation: after the read event's TP_NOTIFY_RECEIVE the socket takes the
    // close path of OnClose with WSAEMSGSIZE. Values above 0x7FFFFBFC are stored as that.
    void SetMaxPacketLen(UINT maxLen);
    UINT GetMaxPacketLen() const;

    // Send side: see the threads note above.
    void OnSend(int nErrorCode) override;
    int SendPacket(char* data, int len, int flags = 0);
    // Writes the queue now, packets sent with TP_SEND_MORE included, with gathered writes; the
    // results are those of a flush (the packets it wrote, a positive value when the socket
    // would block, SOCKET_ERROR on a write error). Any thread; on the window's thread while
    // another thread holds the lock, the holder writes at its release.
    int Flush();

    // Back-pressure. The bytes queued and not yet written to the socket. Any thread.
    size_t GetSendQueueBytes() const;
    // 0, the default, sets no limit. With a limit, a Send, SendPure or SendPacket whose packet
    // would take the queue above it queues nothing and returns SOCKET_ERROR with WSAENOBUFS;
    // the socket stays open and TP_NOTIFY_SEND follows as usual once the socket takes data
    // again. A queue that a write error left (no FD_WRITE follows one) is written again by the
    // call before it refuses, so a later call goes through once the socket takes data. A
    // packet always fits an empty queue, so no packet size is unsendable. Any thread.
    void SetSendQueueLimit(UINT bytes);
    UINT GetSendQueueLimit() const;

    // The base's Close with the handle retired from the send side: no sender thread writes to
    // the handle while it closes, or to its number once reused. Also what the connect timeout
    // and OnClose call. When the stream ends inside a packet (part of it written), the close is
    // a reset (linger 0, no FIN: the peer never takes the cut stream for a clean end) and the
    // packet's unwritten rest leaves the queue, at once when m_csLock is free, else when its
    // holder or the next one settles the queue; no write is made before that. Whole packets
    // not yet written stay queued for a later connection of this object. Never waits for
    // m_csLock. Any thread that may close the socket.
    void Close() override;

    void OnOutOfBandData(int nErrorCode) override;
    void OnAccept(int nErrorCode) override;
    void OnConnect(int nErrorCode) override;
    // Unregisters from the notification window, closes (through the virtual Close) and posts
    // TP_NOTIFY_CLOSE; whole packets not yet written stay queued, for a later connection of
    // this object or until it is destroyed. Without an error it first writes what the socket
    // takes now (a peer that only shut down its sending side still reads), unless a sender
    // thread holds the queue's lock. If a packet is then partly written, the connection ends
    // with a reset (linger 0 before Close), never with an orderly close behind a cut frame,
    // and the rest of that packet leaves the queue: a later connection starts at a packet
    // boundary. Window's thread.
    void OnClose(int nErrorCode) override;

    // New virtual operations, in this order. A negative len (or, for Send, one whose frame
    // would not fit an int) is refused with SOCKET_ERROR and WSAEINVAL, nothing queued.
    // A write error returns SOCKET_ERROR and keeps exactly the bytes not yet written queued.
    // An allocation failure before any byte of the packet went out leaves the call as
    // std::bad_alloc: nothing queued, the socket whole. Any other exception inside the locked
    // region (the rest of a packet partly written that cannot be copied, a list node that
    // cannot be allocated) returns SOCKET_ERROR with WSAENOBUFS and closes the connection the
    // way OnClose does, on the window's thread: from the failure on, every write is refused
    // (WSAECONNABORTED), and the next send or receive event (an FD_WRITE is posted for it)
    // runs the virtual OnClose with WSAENOBUFS: unregistered, a reset if the stream was cut,
    // TP_NOTIFY_CLOSE.
    virtual int Send(void* data, int len, int flags = 0);      // framed
    virtual int SendPure(void* data, int len, int flags = 0);  // unframed
    virtual void OnReceivePure(int nErrorCode);

    void SetMemberId(const char* id);     // keeps at most the first 23 characters
    const char* GetMemberId();
    int IsMemberSocket(const char* id);
    int GetErrorCode();

protected:
    // The raw send stays reachable for the flush and derived classes only.
    using CQmAsyncSocket::Send;

    // m_csLock, for derived classes (see the threads note above). Any thread; re-entrant.
    // Unlock runs, before it returns, a flush that the window's thread left to the holder.
    void Lock();
    void Unlock();

    void AddPacketSize(char* dest, const char* src, int len);
    void RemoveAllPacket(CTypedPtrList<CPtrList, CPacketData*>& list);

    int SendPacket();                     // the flush
    int ReadPacket();
    int ReadPacketPure();

    HWND m_hAppWnd;
    UINT m_nAppMsg;
    int m_nErrorCode;
    CTime m_tLastReceive;
    char m_szMemberId[24];
    CTypedPtrList<CPtrList, CPacketData*> m_SendList;
    CTypedPtrList<CPtrList, CPacketData*> m_RecvList;
    char* m_pRecvBuf;
    UINT m_nRecvLen;
    UINT m_nRecvBufSize;
    UINT m_nPacketLen;
    // A frame whose payload is above 16 KiB is not assembled in m_pRecvBuf: once its length
    // field is decoded, the buffer that ReadData will hand out (payload + 1 bytes) is made, the
    // payload bytes already held move into it, and the rest is read straight into it. Null when
    // no such frame is under way; while one is, m_nRecvLen is 0 and m_nPacketLen its length.
    // Above 1 MiB the buffer starts at 1 MiB and doubles as the payload arrives. The read that
    // completes such a frame ends its event.
    char* m_pRecvLarge;
    UINT m_nRecvLargeLen;  // payload bytes in m_pRecvLarge
    UINT m_nRecvLargeCap;  // payload bytes m_pRecvLarge has room for (one more is allocated)
    CRITICAL_SECTION m_csLock;
    UINT m_nMaxPacketLen;
    std::atomic<size_t> m_nSendQueueBytes;  // bytes the queue holds; written under m_csLock, read anywhere
    std::atomic<UINT> m_nSendQueueLimit;

private:
    // One raw write of `len` bytes, `packetLeft` (>= len) being what is left of their packet.
    // Refused with WSAENOTSOCK while OnClose closes the handle. Any thread, m_csLock held.
    int WriteRaw(const char* data, int len, int packetLeft);
    // One gathered write of `count` buffers: the pieces of one packet (onePacket), or the rest
    // of the head record followed by whole records. As WriteRaw.
    int WriteGatheredRaw(const WSABUF* bufs, int count, bool onePacket);
    // Stops every write from touching the handle until ReopenForWrites; returns whether the
    // stream ends inside a packet. The thread that closes the socket (OnClose's or Close's).
    bool RetireHandle();
    void ReopenForWrites();
    // Has the rest of a cut packet dropped before any further write: now when m_csLock is free,
    // else by its holder. Never waits for the lock. Any thread, the handle retired.
    void DropCutRest();
    // OnClose's send side: the flush it may make, then the handle's retirement (Close, which
    // follows, drops a cut packet's rest and resets). Window's thread.
    void RetireSendSide(int nErrorCode);

    struct Outgoing;
    // Writes the packet at once when nothing waits before it, else queues a copy and flushes;
    // one hold of m_csLock. Any thread.
    int SubmitPacket(const Outgoing& packet, int flags);
    // The rest: with m_csLock held.
    int WriteDirect(const Outgoing& packet, std::exception_ptr& copyFailure);
    bool KeepLocked(const Outgoing& packet, int skip, bool nothingWritten, std::exception_ptr& copyFailure);
    bool OverLimitLocked(int len) const;
    void QueueLocked(CPacketData* rec);  // takes `rec` over, freeing it if it cannot be queued
    void SubtractQueuedLocked(int len);
    int FlushLocked();
    void ReleaseHeadLocked(CPacketData* rec);
    // Lock hand-over (see m_nFlushPending). Any thread.
    class SendLockHold;
    void SettleLocked();           // m_csLock held: drops a cut rest, takes deferred packets in
    void SettleSlowLocked();       // SettleLocked when there is something to do
    void DropCutRestLocked();
    void FlushGuardedLocked();     // the flush, an exception cutting the stream as in FailLocked
    void TrimHeadLocked(CPacketData* rec, const char* rest, int left);
    void LeaveSendLock();          // leaves m_csLock, then runs a flush asked for meanwhile
    void FlushSoon();              // flushes now, or has the lock's holder flush at its release
    bool OnNotifyThread() const;
    int DeferPacket(CPacketData* rec, bool flush);  // window's thread, m_csLock held elsewhere
    void FailLocked(unsigned connection);  // m_csLock held: an exception cut the stream
    // The assembly stopped at a length field above m_nMaxPacketLen.
    bool HeaderOverBound() const;
    void QueueReceived(const char* src, UINT len);
    void QueueOwned(char* buf, UINT len);  // takes `buf` (len + 1 bytes, 0 at the end) over
    int ReadLarge();                       // ReadPacket while m_pRecvLarge is under way

    // A record that ReadData emptied, kept for the next received packet (one allocation less
    // per packet). Notification window's thread; freed by the destructor.
    CPacketData* m_pSpareRecord;

    // Reconnect (CQmtpSocketReconnect.cpp): the hooks of Connect, OnConnect and OnClose.
    void NoteReconnectTarget(const char* host, UINT port);
    void ReconnectAfterConnect(int nErrorCode);
    void ReconnectAfterClose();
    void ScheduleReconnect();
    void CloseForReconnect();
    void ReconnectNow();
    static void FireReconnect(CQmAsyncSocket& socket);
    std::unique_ptr<CQmtpSocketReconnectState> m_pReconnect;  // made by SetReconnect

    // The handshake between the calls on the handle that the send side makes (one at a time,
    // under m_csLock) and OnClose, which never takes m_csLock: such a call announces itself in
    // m_bUsingHandle and then looks at m_bHandleRetired; OnClose sets m_bHandleRetired and then
    // waits for the call under way, if any: one send or option query on a selected, so
    // non-blocking, socket. So nothing touches the handle while it is being closed, and nothing
    // is held across a wait. Sequentially consistent, as the handshake needs.
    std::atomic<bool> m_bUsingHandle;
    std::atomic<bool> m_bHandleRetired;  // OnClose is closing the handle
    std::atomic<bool> m_bPacketCut;      // the stream ends inside a packet; set by the writes

    // The notification window's thread never waits for m_csLock: a worker may hold it while it
    // waits for that thread. When the lock is taken, a flush that thread wants is left to the
    // holder (m_nFlushPending, looked at after every release), and a packet it sends waits in
    // m_DeferredList (guarded by m_csDeferred, which is held only to add or take records) until
    // the next holder of m_csLock appends it to m_SendList.
    CTypedPtrList<CPtrList, CPacketData*> m_DeferredList;
    CRITICAL_SECTION m_csDeferred;
    std::atomic<unsigned> m_nFlushPending;  // 1: a flush is asked for
    std::atomic<bool> m_bHaveDeferred;
    // Set when a closed stream ended inside a packet whose rest may still be queued: no write
    // touches a handle until a holder of m_csLock has dropped that rest.
    std::atomic<bool> m_bDropCutRest;
    // An exception cut the stream: writes are refused until OnClose (run by the next send or
    // receive event, FD_WRITE being posted for it) has closed the connection.
    std::atomic<bool> m_bSendFailed;
    std::atomic<unsigned> m_nConnection;  // counts ReopenForWrites
    bool m_bHeadIsRest;                   // m_csLock: the head record is a cut packet's rest
    bool m_bWriteBlocked;                 // m_csLock: the last write would block (FD_WRITE comes)
                                          // and none has been made since

    // Application notifications. A post that the application's full queue refuses (Windows
    // holds at most 10,000 posted messages per queue) is owed, in order, and posted ahead of
    // the next notification or by a timer on the notification window while any is owed; a
    // repeat of the last owed code merges with it. Notification window's thread.
    void Notify(WPARAM code);
    bool PostOwed();  // true when nothing is owed any more
    void RetryOwedLater();
    void StopOwedRetry();
    static void CALLBACK OnOwedTimer(HWND hWnd, UINT msg, UINT_PTR id, DWORD time);
    // Six codes exist and an owed code is never owed twice, so eight places always suffice;
    // the codes fit 16 bits (a socket object is allocated per connection: the list stays small).
    static constexpr int kOwedMax = 8;
    unsigned short m_OwedCodes[kOwedMax];
    int m_nOwedCount;
    HWND m_hOwedTimerWnd;  // the window the retry timer runs on, or null
};
