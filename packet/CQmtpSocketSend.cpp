// The send queue: framed and unframed packets are copied into records, appended under
// m_csLock, and written out in order by the flush, which keeps exactly the unwritten rest of
// the head packet when the socket would block.
#include <climits>
#include <cstring>
#include <exception>

#include "packet/CQmtpSocket.h"
#include "packet/CriticalSectionHold.h"
#include "packet/TpSocketError.h"
#include "platform/mfc/afxexcept.h"
#include "socket/QmSocket.h"

namespace {

int RefuseLength() {
    WSASetLastError(WSAEINVAL);
    return SOCKET_ERROR;
}

}  // namespace

int CQmtpSocket::Send(void* data, int len, int flags) {
    (void)flags;
    if (len < 0 || len > INT_MAX - 4) {
        return RefuseLength();
    }
    // The frame is built straight into the buffer that is queued: the queue holds its own
    // copy of the caller's bytes, made once.
    char* frame = static_cast<char*>(::operator new(static_cast<size_t>(len) + 5));
    AddPacketSize(frame, static_cast<const char*>(data), len);
    return QueueAndFlush(frame, len + 4);
}

int CQmtpSocket::SendPure(void* data, int len, int flags) {
    return SendPacket(static_cast<char*>(data), len, flags);
}

int CQmtpSocket::SendPacket(char* data, int len, int flags) {
    (void)flags;  // every write uses flags 0
    if (len < 0) {
        return RefuseLength();
    }
    char* copy = static_cast<char*>(::operator new(static_cast<size_t>(len)));
    if (len > 0) {
        std::memcpy(copy, data, static_cast<size_t>(len));
    }
    return QueueAndFlush(copy, len);
}

int CQmtpSocket::QueueAndFlush(char* data, int len) {
    CPacketData* rec = nullptr;
    try {
        rec = new CPacketData(data, len);
    } catch (...) {
        ::operator delete(data);
        throw;  // nothing queued, lock untouched, socket open
    }

    enum { Queued, OverLimit, Failed } outcome = Failed;
    try {
        CriticalSectionHold hold(m_csLock);
        const UINT limit = m_nSendQueueLimit.load(std::memory_order_relaxed);
        const size_t queuedBytes = m_nSendQueueBytes.load(std::memory_order_relaxed);
        // A packet always fits an empty queue; a queue that is not empty is waiting for
        // FD_WRITE, which brings TP_NOTIFY_SEND, the application's cue to try again.
        if (limit != 0 && !m_SendList.IsEmpty() && queuedBytes + static_cast<size_t>(len) > limit) {
            outcome = OverLimit;
        } else {
            m_SendList.AddTail(rec);
            m_nSendQueueBytes.store(queuedBytes + static_cast<size_t>(len), std::memory_order_relaxed);
            outcome = Queued;
        }
    } catch (const std::exception&) {
    } catch (CException* e) {
        e->Delete();
    }
    if (outcome != Queued) {
        ::operator delete(rec->m_pData);
        delete rec;
        if (outcome == OverLimit) {
            WSASetLastError(WSAENOBUFS);
        } else {
            Close();
        }
        return SOCKET_ERROR;
    }
    return SendPacket();
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

// The whole walk of the queue runs under m_csLock, so concurrent senders' packets reach the
// stream whole and in queue order.
int CQmtpSocket::SendPacket() {
    int count = 0;
    try {
        CriticalSectionHold hold(m_csLock);
        while (!m_SendList.IsEmpty()) {
            CPacketData* rec = m_SendList.GetHead();
            char* p = rec->m_pData;
            int left = rec->m_nLen;
            while (left > 0) {
                const int n = WriteRaw(p, left, left);
                if (n == SOCKET_ERROR) {
                    const int code = WSAGetLastError();
                    if (code != WSAEWOULDBLOCK) {
                        StoreTpSocketError(code);
                        return SOCKET_ERROR;  // queue unchanged, head record included
                    }
                    const int blocked = rec->m_nLen < INT_MAX ? rec->m_nLen + 1 : INT_MAX;
                    // Keep exactly the unwritten rest. When nothing of the record was
                    // written, its buffer already is that rest.
                    if (p != rec->m_pData) {
                        char* rest = static_cast<char*>(::operator new(static_cast<size_t>(left)));
                        std::memcpy(rest, p, static_cast<size_t>(left));
                        ::operator delete(rec->m_pData);
                        rec->m_pData = rest;
                        rec->m_nLen = left;
                    }
                    return blocked;
                }
                left -= n;
                p += n;
                // Written under m_csLock only, so a plain store suffices.
                m_nSendQueueBytes.store(m_nSendQueueBytes.load(std::memory_order_relaxed) - static_cast<size_t>(n),
                                        std::memory_order_relaxed);
            }
            ++count;
            if (!IsBadWritePtr(rec, sizeof *rec)) {
                if (!IsBadWritePtr(rec->m_pData, static_cast<UINT_PTR>(rec->m_nLen))) {
                    ::operator delete(rec->m_pData);
                }
                delete rec;
            }
            m_SendList.RemoveHead();
        }
        return count;
    } catch (const std::exception&) {
    } catch (CException* e) {
        e->Delete();
    }
    // The lock has been left by the unwinding; the queue stays as it was.
    Close();
    return SOCKET_ERROR;
}

int CQmtpSocket::WriteRaw(const char* data, int len, int packetLeft) {
    std::lock_guard<std::mutex> hold(m_writeLock);
    if (m_bHandleRetired) {
        WSASetLastError(WSAENOTSOCK);
        return SOCKET_ERROR;
    }
    const int n = CQmAsyncSocket::Send(data, len, 0);
    if (n > 0) {
        m_bPacketCut = n < packetLeft;
    }
    return n;
}

void CQmtpSocket::OnSend(int nErrorCode) {
    m_nErrorCode = nErrorCode;
    if (nErrorCode == 0) {
        SendPacket();
    }
    PostMessageA(m_hAppWnd, m_nAppMsg, TP_NOTIFY_SEND, reinterpret_cast<LPARAM>(this));
}
