// Receive assembly and delivery: bytes are read into m_pRecvBuf, which always begins at a
// frame boundary; every complete frame is cut out into a CPacketData record in m_RecvList,
// and the application takes the records with ReadData.
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

// One read, then every complete frame in the buffer is delivered. 1: the caller may read
// again; 0: stop (nothing read, fewer than 4 bytes held, a length field of 0 met, or a length
// field above the bound, which is left at the start of the buffer for HeaderOverBound).
int CQmtpSocket::ReadPacket() {
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

// Makes a record of `len` bytes plus a terminating 0 (in the record ReadData last gave back,
// if there is one) and appends it to m_RecvList.
void CQmtpSocket::QueueReceived(const char* src, UINT len) {
    char* buf = static_cast<char*>(::operator new(static_cast<size_t>(len) + 1));
    std::memcpy(buf, src, len);
    buf[len] = 0;
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
