// The send queue. A packet that finds nothing waiting before it goes from the caller's bytes
// straight to the socket, and only what the socket does not take is copied into a record; a
// packet that finds others waiting, or that is sent with TP_SEND_MORE, is copied whole and
// appended (with TP_SEND_MORE, nothing is written while the queue stays below 64 KiB). The flush writes the records in order under
// m_csLock, several per gathered write, keeping exactly the unwritten rest of the head packet
// when the socket would block.
#include <atomic>
#include <climits>
#include <cstring>
#include <exception>
#include <new>

#include "packet/CQmtpSocket.h"
#include "packet/CriticalSectionHold.h"
#include "packet/TpSocketError.h"
#include "platform/mfc/afxexcept.h"
#include "socket/QmSocket.h"

namespace {

const int kLengthFieldSize = 4;
// A frame up to this size is built on the stack and written in one piece.
const int kFrameStart = 4096;
// A larger frame goes in two pieces, its first kFrameStart bytes from the stack and then the
// rest from the caller's buffer, in one gathered write.
// A flush that finds several records queued writes them with one gathered write of at most
// kGatherBuffers records and kGatherBytes bytes. 64 buffers cover a burst of small packets
// (one system call per 64 instead of one each) with a 1 KiB array on the stack, well below
// the systems' own limits (1024); 256 KiB is about what a loopback or LAN socket's send
// buffer takes in one call, so a larger gathered write would mostly come back partial while
// pinning more records under the lock.
const int kGatherBuffers = 64;
const int kGatherBytes = 256 * 1024;
// TP_SEND_MORE holds packets back while the queue stays below this many bytes. One system call
// per 64 KiB already costs little beside the copying, and copies that are freed together stay
// below the size above which the C library gives the top of its heap back to the system (128
// KiB by default in glibc), which would make every page of the next burst's copies fault in.
const int kHoldBytes = 64 * 1024;

int RefuseLength() {
    WSASetLastError(WSAEINVAL);
    return SOCKET_ERROR;
}

// A flush that stops at "would block" returns the length its head record had when the flush
// began writing it, plus one: positive, and never mistaken for SOCKET_ERROR.
int BlockedResult(int packetLen) {
    return packetLen < INT_MAX ? packetLen + 1 : INT_MAX;
}

void FreeRecord(CPacketData* rec) {
    if (rec != nullptr) {
        ::operator delete(rec->m_pData);
        delete rec;
    }
}

}  // namespace

// One packet as up to two pieces that go on the wire back to back. The pieces are borrowed:
// the queue keeps its own copy of whatever it holds.
struct CQmtpSocket::Outgoing {
    const char* piece[2];
    int len[2];

    int Total() const { return len[0] + len[1]; }

    // A record of a new buffer with the packet's bytes from offset `skip` on.
    CPacketData* CopyFrom(int skip) const {
        const int n = Total() - skip;
        char* buf = static_cast<char*>(::operator new(static_cast<size_t>(n)));
        char* at = buf;
        for (int i = 0; i < 2; ++i) {
            const int skipped = skip < len[i] ? skip : len[i];
            skip -= skipped;
            const int take = len[i] - skipped;
            if (take > 0) {
                std::memcpy(at, piece[i] + skipped, static_cast<size_t>(take));
                at += take;
            }
        }
        try {
            return new CPacketData(buf, n);
        } catch (...) {
            ::operator delete(buf);
            throw;
        }
    }
};

int CQmtpSocket::Send(void* data, int len, int flags) {
    if (len < 0 || len > INT_MAX - kLengthFieldSize) {
        return RefuseLength();
    }
    // The length field and the first payload bytes, framed here; the queue copies only what
    // it keeps.
    char start[kFrameStart];
    const int head = len < kFrameStart - kLengthFieldSize ? len : kFrameStart - kLengthFieldSize;
    const winsock::u_long wireLen = winsock::htonl(static_cast<winsock::u_long>(len));
    std::memcpy(start, &wireLen, kLengthFieldSize);
    const char* payload = static_cast<const char*>(data);
    if (head > 0) {
        std::memcpy(start + kLengthFieldSize, payload, static_cast<size_t>(head));
    }
    const Outgoing packet = {{start, head < len ? payload + head : nullptr},
                             {kLengthFieldSize + head, len - head}};
    return SubmitPacket(packet, flags);
}

int CQmtpSocket::SendPure(void* data, int len, int flags) {
    return SendPacket(static_cast<char*>(data), len, flags);
}

// Every write uses flags 0; of `flags` only TP_SEND_MORE means something.
int CQmtpSocket::SendPacket(char* data, int len, int flags) {
    if (len < 0) {
        return RefuseLength();
    }
    const Outgoing packet = {{data, nullptr}, {len, 0}};
    return SubmitPacket(packet, flags);
}

int CQmtpSocket::Flush() {
    return SendPacket();
}

// Leaves m_csLock, which its constructor finds entered, through LeaveSendLock.
class CQmtpSocket::SendLockHold {
public:
    explicit SendLockHold(CQmtpSocket& sock) : sock_(sock) {}
    ~SendLockHold() { sock_.LeaveSendLock(); }
    SendLockHold(const SendLockHold&) = delete;
    SendLockHold& operator=(const SendLockHold&) = delete;

private:
    CQmtpSocket& sock_;
};

// One hold of m_csLock per packet: either the packet is written at once (nothing waits before
// it) or it is appended and the queue flushed; with TP_SEND_MORE it is appended only. On the
// notification window's thread the lock is only tried: when another thread holds it, the
// packet is deferred to that holder.
int CQmtpSocket::SubmitPacket(const Outgoing& packet, int flags) {
    // Holding back pays only for small packets: a packet that would bring the queue to
    // kHoldBytes goes as without the flag (from the caller's buffer, when the queue is empty).
    // The count is read without the lock; it only decides when the queue is written, never what.
    const bool more = (flags & TP_SEND_MORE) != 0 &&
                      m_nSendQueueBytes.load(std::memory_order_relaxed) + static_cast<size_t>(packet.Total()) <
                          static_cast<size_t>(kHoldBytes);
    // When others seem to wait, the packet's own copy is made before the lock is taken: its allocation failure leaves the call with
    // nothing queued, the lock untouched and the socket open. The byte count read here without
    // the lock is a hint; the queue is looked at again under the lock.
    CPacketData* copy = nullptr;
    bool wantCopy = more || m_nSendQueueBytes.load(std::memory_order_relaxed) != 0;
    for (;;) {
        if (copy == nullptr && wantCopy) {
            copy = packet.CopyFrom(0);
        }
        if (!TryEnterCriticalSection(&m_csLock)) {
            if (OnNotifyThread()) {
                if (copy == nullptr) {
                    wantCopy = true;
                    continue;
                }
                return DeferPacket(copy, !more);
            }
            EnterCriticalSection(&m_csLock);
        }
        enum { Done, NeedCopy, OverLimit, Failed } outcome = Failed;
        int result = SOCKET_ERROR;
        std::exception_ptr copyFailure;
        {
            SendLockHold hold(*this);
            const unsigned connection = m_nConnection.load();
            try {
                SettleLocked();
                if (copy == nullptr && m_SendList.IsEmpty()) {
                    result = WriteDirect(packet, copyFailure);
                    outcome = Done;
                } else if (copy == nullptr) {
                    outcome = NeedCopy;
                } else {
                    // A queue left by a write error, or by packets sent with TP_SEND_MORE,
                    // waits for no FD_WRITE: before the limit refuses a packet, such a queue is
                    // written.
                    if (OverLimitLocked(copy->m_nLen) && !m_bWriteBlocked) {
                        FlushLocked();
                    }
                    if (OverLimitLocked(copy->m_nLen)) {
                        outcome = OverLimit;
                    } else {
                        CPacketData* rec = copy;
                        copy = nullptr;
                        QueueLocked(rec);
                        result = more ? 0 : FlushLocked();
                        outcome = Done;
                    }
                }
            } catch (const std::exception&) {
                FailLocked(connection);
            } catch (CException* e) {
                e->Delete();
                FailLocked(connection);
            }
        }
        if (copyFailure) {
            std::rethrow_exception(copyFailure);  // nothing written, nothing queued, socket open
        }
        switch (outcome) {
        case Done:
            return result;
        case NeedCopy:
            wantCopy = true;
            continue;
        case OverLimit:
            FreeRecord(copy);
            WSASetLastError(WSAENOBUFS);
            return SOCKET_ERROR;
        case Failed:
            break;
        }
        // The queue stays as it was; FailLocked has had the connection closed if the stream was
        // cut.
        FreeRecord(copy);
        WSASetLastError(WSAENOBUFS);
        return SOCKET_ERROR;
    }
}

bool CQmtpSocket::OnNotifyThread() const {
    return m_hNotifyWnd != nullptr && GetWindowThreadProcessId(m_hNotifyWnd, nullptr) == GetCurrentThreadId();
}

// The window's thread may not wait for m_csLock: the packet waits in m_DeferredList, and the
// holder (or the next flush) appends it to the queue and writes it. Its result is that of a
// flush that would block, or 0 when no flush is asked for (TP_SEND_MORE).
int CQmtpSocket::DeferPacket(CPacketData* rec, bool flush) {
    const UINT limit = m_nSendQueueLimit.load(std::memory_order_relaxed);
    const size_t queued = m_nSendQueueBytes.load(std::memory_order_relaxed);
    if (limit != 0 && queued != 0 && queued + static_cast<size_t>(rec->m_nLen) > limit) {
        FreeRecord(rec);
        FlushSoon();
        WSASetLastError(WSAENOBUFS);
        return SOCKET_ERROR;
    }
    const int len = rec->m_nLen;
    {
        CriticalSectionHold hold(m_csDeferred);
        try {
            m_DeferredList.AddTail(rec);
        } catch (...) {
            FreeRecord(rec);
            throw;  // nothing queued, socket open, as for a copy that fails
        }
        m_nSendQueueBytes.fetch_add(static_cast<size_t>(len), std::memory_order_relaxed);
        m_bHaveDeferred.store(true);
    }
    if (!flush) {
        return 0;
    }
    FlushSoon();
    return BlockedResult(len);
}

void CQmtpSocket::DropCutRestLocked() {
    if (!m_bDropCutRest.load()) {
        return;
    }
    // The closed connection's peer has the start of this packet: its rest would be read on the
    // next connection from the middle of a payload. Whole packets stay for that connection.
    if (m_bHeadIsRest && !m_SendList.IsEmpty()) {
        CPacketData* rec = m_SendList.RemoveHead();
        SubtractQueuedLocked(rec->m_nLen);
        FreeRecord(rec);
    }
    m_bHeadIsRest = false;
    m_bDropCutRest.store(false);
}

void CQmtpSocket::SettleLocked() {
    if (m_bDropCutRest.load() || m_bHaveDeferred.load()) {
        SettleSlowLocked();  // seldom: the common case stays two loads at the call
    }
}

void CQmtpSocket::SettleSlowLocked() {
    DropCutRestLocked();
    if (!m_bHaveDeferred.load()) {
        return;
    }
    CriticalSectionHold hold(m_csDeferred);
    while (!m_DeferredList.IsEmpty()) {
        m_SendList.AddTail(m_DeferredList.GetHead());  // on failure the record stays deferred
        m_DeferredList.RemoveHead();
    }
    m_bHaveDeferred.store(false);
}

// The request and the lock are handed over without a window: the holder reads the request
// with a read-modify-write after it has left the lock, and the requester sets it with one
// before it tries the lock. Read-modify-writes of one variable are totally ordered, so either
// the holder's comes later and finds the request, or the requester's comes later, follows the
// holder's leaving, and finds the lock free (or held by a newer holder, who sees the request).
void CQmtpSocket::LeaveSendLock() {
    LeaveCriticalSection(&m_csLock);
    while (m_nFlushPending.fetch_or(0) != 0) {
        if (!TryEnterCriticalSection(&m_csLock)) {
            return;  // the new holder runs the request when it leaves
        }
        if (m_nFlushPending.exchange(0) != 0) {
            // The holder's own call reports its own error, not that of the flush run for another.
            const int error = WSAGetLastError();
            FlushGuardedLocked();
            WSASetLastError(error);
        }
        LeaveCriticalSection(&m_csLock);
    }
}

void CQmtpSocket::FlushSoon() {
    m_nFlushPending.fetch_or(1);
    if (TryEnterCriticalSection(&m_csLock)) {
        LeaveSendLock();  // finds the request and runs it
    }
}

void CQmtpSocket::FlushGuardedLocked() {
    const unsigned connection = m_nConnection.load();
    try {
        SettleLocked();
        FlushLocked();
    } catch (const std::exception&) {
        FailLocked(connection);
    } catch (CException* e) {
        e->Delete();
        FailLocked(connection);
    }
}

// An exception inside a locked region may have left a packet partly written with its rest
// lost. Another sender's bytes must not follow it, and neither may a FIN: writes are refused
// from here, and the connection is closed as OnClose closes it (unregistered, reset when the
// stream was cut, TP_NOTIFY_CLOSE with GetErrorCode() WSAENOBUFS), on the window's thread,
// by the FD_WRITE posted here or by whichever send or receive event comes first. A connection
// that OnClose has already retired, or that is not there, is left alone.
void CQmtpSocket::FailLocked(unsigned connection) {
    m_bUsingHandle.store(true);
    if (!m_bHandleRetired.load() && m_nConnection.load() == connection && m_hSocket != INVALID_SOCKET) {
        m_bSendFailed.store(true);
        PostMessageA(m_hNotifyWnd, WM_SOCKET_NOTIFY, static_cast<WPARAM>(m_hSocket),
                     WSAMAKESELECTREPLY(FD_WRITE, 0));
    }
    m_bUsingHandle.store(false);
}

void CQmtpSocket::RetireSendSide(int nErrorCode) {
    // A sender thread that holds the lock may be waiting for this thread: never wait for it.
    if (!TryEnterCriticalSection(&m_csLock)) {
        RetireHandle();
        return;
    }
    SendLockHold hold(*this);
    // A peer that only shut down its sending side still reads what the socket takes now.
    if (nErrorCode == 0 && !m_bSendFailed.load()) {
        try {
            SettleLocked();
            FlushLocked();
        } catch (const std::exception&) {
        } catch (CException* e) {
            e->Delete();
        }
    }
    RetireHandle();
}

// With m_csLock held and nothing queued. What the socket does not take, exactly the unwritten
// rest, becomes the head record. The results are those of a flush of that one packet.
int CQmtpSocket::WriteDirect(const Outgoing& packet, std::exception_ptr& copyFailure) {
    const int total = packet.Total();
    int written = 0;
    // One write per pass, from wherever `written` falls: usually one pass takes it all. A frame
    // in two pieces goes in one gathered write, so the socket never sees it as two writes (with
    // Nagle's algorithm on, a second write's last partial segment would wait for the peer's
    // delayed acknowledgement of the first).
    while (written < total) {
        int n;
        if (written >= packet.len[0] || packet.len[1] == 0) {
            const bool first = written < packet.len[0];
            n = WriteRaw(first ? packet.piece[0] + written : packet.piece[1] + (written - packet.len[0]),
                         total - written, total - written);
        } else {
            WSABUF bufs[2];
            bufs[0].buf = const_cast<char*>(packet.piece[0]) + written;
            bufs[0].len = static_cast<decltype(bufs[0].len)>(packet.len[0] - written);
            bufs[1].buf = const_cast<char*>(packet.piece[1]);
            bufs[1].len = static_cast<decltype(bufs[1].len)>(packet.len[1]);
            n = WriteGatheredRaw(bufs, 2, true);
        }
        if (n != SOCKET_ERROR) {
            written += n;
            continue;
        }
        const int code = WSAGetLastError();
        const bool wouldBlock = code == WSAEWOULDBLOCK;
        m_bWriteBlocked = wouldBlock;
        if (!wouldBlock) {
            StoreTpSocketError(code);
        }
        // Whatever the error, the bytes the socket took are not queued again.
        if (!KeepLocked(packet, written, written == 0, copyFailure)) {
            return SOCKET_ERROR;
        }
        return wouldBlock ? BlockedResult(total) : SOCKET_ERROR;
    }
    m_bWriteBlocked = false;
    return 1;
}

// Queues a copy of the packet from offset `skip` on, m_csLock held. A copy that cannot be
// allocated while no byte of the packet has been written goes to `copyFailure` (false; the
// caller rethrows it once the lock is left, as for a copy made before queuing); after a partial
// write it is thrown on, and the connection is closed (FailLocked).
bool CQmtpSocket::KeepLocked(const Outgoing& packet, int skip, bool nothingWritten,
                             std::exception_ptr& copyFailure) {
    if (!nothingWritten) {
        QueueLocked(packet.CopyFrom(skip));
        m_bHeadIsRest = skip > 0;  // the queue was empty: this is its head
        return true;
    }
    try {
        QueueLocked(packet.CopyFrom(skip));
        return true;
    } catch (...) {
        copyFailure = std::current_exception();
        return false;
    }
}

bool CQmtpSocket::OverLimitLocked(int len) const {
    const UINT limit = m_nSendQueueLimit.load(std::memory_order_relaxed);
    // A packet always fits an empty queue; a queue that is not empty is waiting for FD_WRITE,
    // which brings TP_NOTIFY_SEND, the application's cue to try again.
    return limit != 0 && !m_SendList.IsEmpty() &&
           m_nSendQueueBytes.load(std::memory_order_relaxed) + static_cast<size_t>(len) > limit;
}

void CQmtpSocket::SubtractQueuedLocked(int len) {
    // A deferred packet adds without m_csLock, so the count changes atomically.
    m_nSendQueueBytes.fetch_sub(static_cast<size_t>(len), std::memory_order_relaxed);
}

void CQmtpSocket::QueueLocked(CPacketData* rec) {
    try {
        m_SendList.AddTail(rec);
    } catch (...) {
        FreeRecord(rec);
        throw;
    }
    m_nSendQueueBytes.fetch_add(static_cast<size_t>(rec->m_nLen), std::memory_order_relaxed);
}

size_t CQmtpSocket::GetSendQueueBytes() const {
    return m_nSendQueueBytes.load(std::memory_order_relaxed);
}

void CQmtpSocket::SetSendQueueLimit(UINT bytes) {
    m_nSendQueueLimit.store(bytes, std::memory_order_relaxed);
}

UINT CQmtpSocket::GetSendQueueLimit() const {
    return m_nSendQueueLimit.load(std::memory_order_relaxed);
}

int CQmtpSocket::SendPacket() {
    if (!TryEnterCriticalSection(&m_csLock)) {
        if (OnNotifyThread()) {
            FlushSoon();  // the holder flushes when it leaves the lock
            return BlockedResult(0);
        }
        EnterCriticalSection(&m_csLock);
    }
    SendLockHold hold(*this);
    const unsigned connection = m_nConnection.load();
    try {
        SettleLocked();
        return FlushLocked();
    } catch (const std::exception&) {
    } catch (CException* e) {
        e->Delete();
    }
    // The queue stays as it was.
    FailLocked(connection);
    WSASetLastError(WSAENOBUFS);
    return SOCKET_ERROR;
}

// Keeps the unwritten `left` bytes at `rest` as the head record's bytes: in a buffer of their
// own size, or, when that cannot be allocated, moved to the front of the record's buffer, so
// that keeping them never fails.
void CQmtpSocket::TrimHeadLocked(CPacketData* rec, const char* rest, int left) {
    char* own = static_cast<char*>(::operator new(static_cast<size_t>(left), std::nothrow));
    if (own != nullptr) {
        std::memcpy(own, rest, static_cast<size_t>(left));
        ::operator delete(rec->m_pData);
        rec->m_pData = own;
    } else {
        std::memmove(rec->m_pData, rest, static_cast<size_t>(left));
    }
    SubtractQueuedLocked(rec->m_nLen - left);
    rec->m_nLen = left;
    m_bHeadIsRest = true;
}

// Removes the head record, whose bytes have all been written.
void CQmtpSocket::ReleaseHeadLocked(CPacketData* rec) {
    SubtractQueuedLocked(rec->m_nLen);
    m_bHeadIsRest = false;
    if (!IsBadWritePtr(rec, sizeof *rec)) {
        // Windows' IsBadWritePtr probes every page it is given; a record's bytes are one
        // allocation, so its first and last byte answer for all of them.
        const UINT_PTR last = rec->m_nLen > 0 ? static_cast<UINT_PTR>(rec->m_nLen) - 1 : 0;
        if (rec->m_nLen == 0 || (!IsBadWritePtr(rec->m_pData, 1) && !IsBadWritePtr(rec->m_pData + last, 1))) {
            ::operator delete(rec->m_pData);
        }
        delete rec;
    }
    m_SendList.RemoveHead();
}

// The whole walk of the queue runs under m_csLock, so concurrent senders' packets reach the
// stream whole and in queue order. Several queued records go out in one gathered write: the
// records from the head on, whole, while they fit kGatherBytes and kGatherBuffers (the head
// always goes, whatever its size). `done` counts the bytes of the head already written; a
// write that takes less than offered leaves the records it finished out of the queue and
// the head holding exactly its unwritten rest once the flush stops.
int CQmtpSocket::FlushLocked() {
    int count = 0;
    int done = 0;
    WSABUF bufs[kGatherBuffers];
    while (!m_SendList.IsEmpty()) {
        CPacketData* head = m_SendList.GetHead();
        int n = 0;
        int offered = 0;
        if (head->m_nLen - done > 0) {
            bufs[0].buf = head->m_pData + done;
            bufs[0].len = static_cast<decltype(bufs[0].len)>(head->m_nLen - done);
            offered = head->m_nLen - done;
            int buffers = 1;
            POSITION pos = m_SendList.GetHeadPosition();
            m_SendList.GetNext(pos);
            while (pos != nullptr && buffers < kGatherBuffers) {
                CPacketData* rec = m_SendList.GetNext(pos);
                if (rec->m_nLen > kGatherBytes - offered) {
                    break;
                }
                bufs[buffers].buf = rec->m_pData;
                bufs[buffers].len = static_cast<decltype(bufs[0].len)>(rec->m_nLen);
                offered += rec->m_nLen;
                ++buffers;
            }
            n = buffers == 1 ? WriteRaw(bufs[0].buf, offered, offered) : WriteGatheredRaw(bufs, buffers, false);
            if (n == SOCKET_ERROR) {
                const int code = WSAGetLastError();
                const int blocked = BlockedResult(head->m_nLen);
                m_bWriteBlocked = code == WSAEWOULDBLOCK;
                // Keep exactly the unwritten rest, whatever the error: the bytes the socket took
                // never go out twice. When nothing of the record was written, its buffer
                // already is that rest.
                if (done > 0) {
                    TrimHeadLocked(head, head->m_pData + done, head->m_nLen - done);
                }
                if (code != WSAEWOULDBLOCK) {
                    StoreTpSocketError(code);
                    return SOCKET_ERROR;  // the queue keeps what was not written
                }
                return blocked;
            }
            m_bWriteBlocked = false;
        }
        // Whole records leave the queue; the count follows what the queue holds, so a record
        // that meets an error stays whole, and so does its count. Empty records count as
        // written without a write of their own.
        int taken = n;
        do {
            CPacketData* rec = m_SendList.GetHead();
            const int left = rec->m_nLen - done;
            if (taken < left) {
                done += taken;
                break;
            }
            taken -= left;
            done = 0;
            ReleaseHeadLocked(rec);
            ++count;
        } while (!m_SendList.IsEmpty() && (taken > 0 || m_SendList.GetHead()->m_nLen == 0));
    }
    return count;
}

int CQmtpSocket::WriteRaw(const char* data, int len, int packetLeft) {
    m_bUsingHandle.store(true);
    if (m_bHandleRetired.load() || m_bDropCutRest.load() || m_bSendFailed.load()) {
        m_bUsingHandle.store(false);
        WSASetLastError(m_bSendFailed.load() ? WSAECONNABORTED : WSAENOTSOCK);
        return SOCKET_ERROR;
    }
    const int n = CQmAsyncSocket::Send(data, len, 0);
    if (n > 0) {
        m_bPacketCut.store(n < packetLeft, std::memory_order_relaxed);
    }
    m_bUsingHandle.store(false);
    return n;
}

int CQmtpSocket::WriteGatheredRaw(const WSABUF* bufs, int count, bool onePacket) {
    m_bUsingHandle.store(true);
    if (m_bHandleRetired.load() || m_bDropCutRest.load() || m_bSendFailed.load()) {
        m_bUsingHandle.store(false);
        WSASetLastError(m_bSendFailed.load() ? WSAECONNABORTED : WSAENOTSOCK);
        return SOCKET_ERROR;
    }
    const int n = winsock::SendGathered(m_hSocket, bufs, count, 0);
    if (n > 0 && onePacket) {
        // The buffers are the pieces of one packet: only all of them end it.
        int total = 0;
        for (int i = 0; i < count; ++i) {
            total += static_cast<int>(bufs[i].len);
        }
        m_bPacketCut.store(n < total, std::memory_order_relaxed);
    } else if (n > 0) {
        // Every buffer is a whole record but the first, which is the rest of the head: the
        // stream is cut unless the write ended at a buffer's end.
        int at = n;
        int i = 0;
        while (i < count && at > static_cast<int>(bufs[i].len)) {
            at -= static_cast<int>(bufs[i].len);
            ++i;
        }
        m_bPacketCut.store(i < count && at < static_cast<int>(bufs[i].len), std::memory_order_relaxed);
    }
    m_bUsingHandle.store(false);
    return n;
}

void CQmtpSocket::OnSend(int nErrorCode) {
    if (m_bSendFailed.load()) {
        OnClose(WSAENOBUFS);  // see FailLocked
        return;
    }
    m_nErrorCode = nErrorCode;
    if (nErrorCode == 0) {
        FlushSoon();  // never waits for a lock that a worker holds while it waits for us
    }
    Notify(TP_NOTIFY_SEND);
}
