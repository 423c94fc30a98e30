// Receive assembly and delivery: bytes are read into m_pRecvBuf, which always begins at a
// frame boundary; every complete frame is cut out into a CPacketData record in m_RecvList,
// and the application takes the records with ReadData. A frame with a payload above
// kLargePayload is read straight into the buffer it is handed out in (m_pRecvLarge).
#include <cassert>
#include <cstring>

#include "packet/CQmtpSocket.h"
#include "packet/TpSocketError.h"
#include "socket/QmSocket.h"

namespace {

const int kReadsPerEvent = 8;
const UINT kGrowthStep = 1024;
const int kPureReadSize = 1024;
const UINT kLengthFieldSize = 4;
// Payloads up to this size are assembled in m_pRecvBuf, where one read takes several frames
// at once; copying such a payload out costs less than a read of its own. A larger one gains
// little from sharing reads: assembling it costs a second copy of the whole payload (into a
// buffer often fresh from the allocator, so page faults as well) and keeps an assembly buffer
// of its size for the connection's lifetime, where reading it straight into its own buffer
// costs one more read. So the assembly buffer never grows beyond this size plus the length
// field, rounded up to the step.
const UINT kLargePayload = 16 * 1024;
// A large frame's buffer is allocated whole up to this payload (the default bound). Above it,
// it starts at this size and doubles when a read fills it, so a peer that announces a frame
// near a higher bound and sends little of it costs little memory.
const UINT kLargeFirstCap = 1024 * 1024;

UINT DecodeLength(const char* buf) {
    winsock::u_long wire;
    std::memcpy(&wire, buf, kLengthFieldSize);
    return static_cast<UINT>(winsock::ntohl(wire));
}

// Grows a full assembly buffer that holds the start of a frame of frameLen bytes. Doubling
// keeps the copying for a frame of L bytes within about 2L and its reads logarithmic in L; the
// frame's own size, rounded up to the step, caps the growth, so the buffer never holds more
// than twice what the peer has sent. frameLen is at most the payload bound plus 4, so the
// capped size fits a UINT.
void GrowRecvBuf(char*& buf, UINT& size, UINT frameLen) {
    const size_t doubled = 2 * static_cast<size_t>(size);
    const size_t fitted = (static_cast<size_t>(frameLen) + kGrowthStep - 1) / kGrowthStep * kGrowthStep;
    const size_t grownSize = doubled < fitted ? doubled : fitted;
    char* grown = static_cast<char*>(::operator new(grownSize));
    std::memcpy(grown, buf, size);
    ::operator delete(buf);
    buf = grown;
    size = static_cast<UINT>(grownSize);
}

// The receive side belongs to the notification window's thread.
void CheckWindowThread(HWND notifyWnd) {
#ifdef TALVEN_DEBUG_CHECKS
    if (notifyWnd != nullptr && IsWindow(notifyWnd)) {
        assert(GetWindowThreadProcessId(notifyWnd, nullptr) == GetCurrentThreadId() &&
               "packet socket receive side used off the notification window's thread");
    }
#else
    (void)notifyWnd;
#endif
}

}  // namespace

int CQmtpSocket::Receive(void* buffer, int length, int flags) {
    const int n = CQmAsyncSocket::Receive(buffer, length, flags);
    if (n != SOCKET_ERROR) {
        return n;  // 0 when the peer has closed
    }
    const int code = WSAGetLastError();
    if (code == WSAEWOULDBLOCK) {
        return 0;
    }
    StoreTpSocketError(code);
    return SOCKET_ERROR;
}

void CQmtpSocket::OnReceive(int nErrorCode) {
    CheckWindowThread(m_hNotifyWnd);
    if (m_bSendFailed.load()) {
        OnClose(WSAENOBUFS);  // the send side cut the stream (FailLocked)
        return;
    }
    m_nErrorCode = nErrorCode;
    bool overBound = false;
    if (nErrorCode == 0) {
        m_tLastReceive = CTime::GetCurrentTime();
        // Bytes left in the socket after the last read bring another read event.
        for (int i = 0; i < kReadsPerEvent; ++i) {
            if (!ReadPacket()) {
                break;
            }
        }
        overBound = HeaderOverBound();
    }
    if (nErrorCode != 0 || !m_RecvList.IsEmpty()) {
        Notify(TP_NOTIFY_RECEIVE);
    }
    if (overBound) {
        // After the receive notification, so the packets before the bad header can be taken.
        StoreTpSocketError(WSAEMSGSIZE);
        OnClose(WSAEMSGSIZE);
    }
}

void CQmtpSocket::OnReceivePure(int nErrorCode) {
    CheckWindowThread(m_hNotifyWnd);
    m_nErrorCode = nErrorCode;
    if (nErrorCode == 0) {
        m_tLastReceive = CTime::GetCurrentTime();
        for (int i = 0; i < kReadsPerEvent; ++i) {
            if (!ReadPacketPure()) {
                break;
            }
        }
    }
    if (nErrorCode != 0 || !m_RecvList.IsEmpty()) {
        Notify(TP_NOTIFY_RECEIVE);
    }
}

// One read, then every complete frame in the buffer is delivered (while a large frame is
// under way, the read goes into its buffer instead). 1: the caller may read again; 0: stop
// (nothing read, fewer than 4 bytes held, a length field of 0 met, a length field above the
// bound, which is left at the start of the buffer for HeaderOverBound, or a large frame
// completed).
int CQmtpSocket::ReadPacket() {
    if (m_pRecvLarge != nullptr) {
        return ReadLarge();
    }
    const int n = Receive(m_pRecvBuf + m_nRecvLen, static_cast<int>(m_nRecvBufSize - m_nRecvLen), 0);
    if (n <= 0) {
        return 0;
    }
    m_nRecvLen += static_cast<UINT>(n);
    if (m_nRecvLen < kLengthFieldSize) {
        return 0;
    }

    int result = 1;
    for (;;) {
        if (m_nPacketLen == 0) {
            const UINT len = DecodeLength(m_pRecvBuf);
            if (len == 0) {
                // No packet; drop the empty frame and go on with what follows it.
                m_nRecvLen -= kLengthFieldSize;
                std::memmove(m_pRecvBuf, m_pRecvBuf + kLengthFieldSize, m_nRecvLen);
                result = 0;
                if (m_nRecvLen < kLengthFieldSize) {
                    return 0;
                }
                continue;
            }
            if (len > m_nMaxPacketLen) {
                return 0;
            }
            m_nPacketLen = len;
        }

        const UINT frameLen = m_nPacketLen + kLengthFieldSize;
        if (m_nRecvLen < frameLen && m_nPacketLen > kLargePayload) {
            // The frame's buffer, with the payload bytes held so far; the assembly buffer is
            // then empty, as the frame was the last thing in it. Allocated before any state
            // changes, so a failure leaves the assembly as it was.
            const UINT cap = m_nPacketLen < kLargeFirstCap ? m_nPacketLen : kLargeFirstCap;
            char* large = static_cast<char*>(::operator new(static_cast<size_t>(cap) + 1));
            m_nRecvLargeLen = m_nRecvLen - kLengthFieldSize;
            std::memcpy(large, m_pRecvBuf + kLengthFieldSize, m_nRecvLargeLen);
            m_pRecvLarge = large;
            m_nRecvLargeCap = cap;
            m_nRecvLen = 0;
            return result;
        }
        if (m_nRecvLen < frameLen) {
            // Only the first pass can find the buffer full, so it grows at most once a read.
            if (m_nRecvLen == m_nRecvBufSize) {
                GrowRecvBuf(m_pRecvBuf, m_nRecvBufSize, frameLen);
            }
            return result;
        }

        QueueReceived(m_pRecvBuf + kLengthFieldSize, m_nPacketLen);
        m_nRecvLen -= frameLen;
        if (m_nRecvLen != 0) {  // usually the read ended with the frame
            std::memmove(m_pRecvBuf, m_pRecvBuf + frameLen, m_nRecvLen);
        }
        m_nPacketLen = 0;
        if (m_nRecvLen < kLengthFieldSize) {
            return result;
        }
    }
}

// One read of the rest of a large frame's payload, straight into its buffer (grown first if
// full); the frame is queued once complete. The next frame's bytes are left for the next read,
// into m_pRecvBuf. Returns as ReadPacket, except that a completed frame ends the event (0):
// the application then takes and frees its buffer before the next large one is allocated, so
// the allocator hands the same, already mapped, memory out again. Several large buffers freed
// in a row would join the top of the heap, which the allocator gives back to the system past
// its trim threshold, and every page of the next buffers would fault in again (ten times the
// cost of the read itself for 1 MiB frames). The bytes behind the frame bring the next read
// event.
int CQmtpSocket::ReadLarge() {
    if (m_nRecvLargeLen == m_nRecvLargeCap) {
        const size_t doubled = 2 * static_cast<size_t>(m_nRecvLargeCap);
        const UINT cap = doubled < m_nPacketLen ? static_cast<UINT>(doubled) : m_nPacketLen;
        char* grown = static_cast<char*>(::operator new(static_cast<size_t>(cap) + 1));
        std::memcpy(grown, m_pRecvLarge, m_nRecvLargeLen);
        ::operator delete(m_pRecvLarge);
        m_pRecvLarge = grown;
        m_nRecvLargeCap = cap;
    }
    const UINT want = m_nRecvLargeCap - m_nRecvLargeLen;  // at most the bound, so it fits an int
    const int n = Receive(m_pRecvLarge + m_nRecvLargeLen, static_cast<int>(want), 0);
    if (n <= 0) {
        return 0;
    }
    m_nRecvLargeLen += static_cast<UINT>(n);
    if (m_nRecvLargeLen < m_nPacketLen) {
        return 1;
    }
    char* buf = m_pRecvLarge;
    m_pRecvLarge = nullptr;
    m_nRecvLargeLen = 0;
    m_nRecvLargeCap = 0;
    const UINT len = m_nPacketLen;
    m_nPacketLen = 0;
    buf[len] = 0;
    QueueOwned(buf, len);
    return 0;
}

// Makes a record of `len` bytes plus a terminating 0 and appends it to m_RecvList.
void CQmtpSocket::QueueReceived(const char* src, UINT len) {
    char* buf = static_cast<char*>(::operator new(static_cast<size_t>(len) + 1));
    std::memcpy(buf, src, len);
    buf[len] = 0;
    QueueOwned(buf, len);
}

// Appends a record for `buf` (in the record ReadData last gave back, if there is one); frees
// `buf` if no record can be made.
void CQmtpSocket::QueueOwned(char* buf, UINT len) {
    CPacketData* rec = m_pSpareRecord;
    m_pSpareRecord = nullptr;
    try {
        if (rec == nullptr) {
            rec = new CPacketData;
        }
        rec->m_pData = buf;
        rec->m_nLen = static_cast<int>(len);
        m_RecvList.AddTail(rec);
    } catch (...) {
        delete rec;
        ::operator delete(buf);
        throw;
    }
}

int CQmtpSocket::ReadPacketPure() {
    char chunk[kPureReadSize];
    const int n = Receive(chunk, kPureReadSize, 0);
    if (n <= 0) {
        return 0;
    }
    QueueReceived(chunk, static_cast<UINT>(n));
    return 1;
}

// Every exit of ReadPacket but one leaves either fewer than 4 bytes or a decoded length, so
// 4 bytes or more with no decoded length mean that it stopped at a length field above the
// bound (a length field of 0 is never left at the start).
bool CQmtpSocket::HeaderOverBound() const {
    return m_nPacketLen == 0 && m_nRecvLen >= kLengthFieldSize &&
           DecodeLength(m_pRecvBuf) > m_nMaxPacketLen;
}

int CQmtpSocket::ReadData(char*& data, int& len) {
    CheckWindowThread(m_hNotifyWnd);
    if (m_RecvList.IsEmpty()) {
        return 0;
    }
    CPacketData* rec = m_RecvList.GetHead();
    data = rec->m_pData;
    len = rec->m_nLen;
    m_RecvList.RemoveHead();
    // The buffer now belongs to the caller; the record is kept for the next packet received.
    rec->m_pData = nullptr;
    rec->m_nLen = 0;
    if (m_pSpareRecord == nullptr) {
        m_pSpareRecord = rec;
    } else {
        delete rec;
    }
    return m_RecvList.GetCount();
}
