#include "common/PacketSocket.h"

#include <map>
#include <mutex>

namespace {

const UINT kDrainPollMs = 100;

// Sockets waiting for their queue to drain, by timer id. A WM_TIMER already in a queue when
// its timer is killed is still dispatched, so the timer procedure finds its socket here and
// never through a pointer that may have gone.
class DrainRegistry {
public:
    UINT_PTR Add(PacketSocket* socket) {
        std::lock_guard<std::mutex> guard(lock_);
        const UINT_PTR id = next_++;
        sockets_[id] = socket;
        return id;
    }
    void Remove(UINT_PTR id) {
        std::lock_guard<std::mutex> guard(lock_);
        sockets_.erase(id);
    }
    PacketSocket* Find(UINT_PTR id) {
        std::lock_guard<std::mutex> guard(lock_);
        auto it = sockets_.find(id);
        return it == sockets_.end() ? nullptr : it->second;
    }

private:
    std::mutex lock_;
    std::map<UINT_PTR, PacketSocket*> sockets_;
    UINT_PTR next_ = 1;
};

DrainRegistry& Drains() {
    static DrainRegistry registry;
    return registry;
}

}  // namespace

PacketSocket::PacketSocket(bool pure) : pure_(pure), lastReceive_(GetTickCount()) {}

PacketSocket::~PacketSocket() {
    StopDrainTimer();
}

int PacketSocket::SendBytes(const void* data, int len) {
    void* bytes = const_cast<void*>(data);  // the library copies; it never writes here
    const int result = pure_ ? SendPure(bytes, len) : Send(bytes, len);
    const std::size_t queued = GetSendQueueBytes();
    std::size_t largest = largestQueue_.load(std::memory_order_relaxed);
    while (queued > largest && !largestQueue_.compare_exchange_weak(largest, queued, std::memory_order_relaxed)) {
    }
    return result;
}

bool PacketSocket::TakePackets(const std::function<bool(const char* data, int len)>& take) {
    for (;;) {
        char* data = nullptr;  // ReadData leaves it untouched when nothing is queued
        int len = 0;
        ReadData(data, len);
        if (data == nullptr) {
            return true;
        }
        const bool more = take(data, len);
        operator delete(data);  // received buffers belong to the application
        if (!more) {
            return false;
        }
    }
}

bool PacketSocket::SendQueueEmpty() {
    Lock();
    const bool empty = m_SendList.IsEmpty() != FALSE;
    Unlock();
    return empty;
}

void PacketSocket::PauseReading() {
    if (readingPaused_ || !IsOpen()) {
        return;
    }
    readingPaused_ = AsyncSelect(FD_WRITE | FD_OOB | FD_CLOSE) != 0;
}

void PacketSocket::ResumeReading() {
    if (!readingPaused_) {
        return;
    }
    readingPaused_ = false;
    if (IsOpen()) {
        AsyncSelect();  // FD_READ comes at once if data is waiting
    }
}

void PacketSocket::Abandon() {
    if (!IsOpen()) {
        return;
    }
    StopDrainTimer();
    if (m_hNotifyWnd != nullptr) {
        SendMessageA(m_hNotifyWnd, WM_SOCKET_REMOVE_MAP, 0, reinterpret_cast<LPARAM>(this));
    }
    Lock();
    Close();
    Unlock();
}

void PacketSocket::Close() {
    if (!IsOpen() || (GetSendQueueBytes() == 0 && !resetOnClose_)) {
        CQmtpSocket::Close();
        return;
    }
    // Bytes that will never be written: an orderly close would let the peer take what it got
    // for the whole stream, perhaps ending inside a packet. With linger 0 the base class's
    // Close resets the connection, with no shutdown (a FIN) first. (Its Close also ends a
    // pending connect attempt or reconnect wait.)
    winsock::linger abort;
    abort.l_onoff = 1;
    abort.l_linger = 0;
    SetSockOpt(SO_LINGER, &abort, sizeof abort);
    CQmtpSocket::Close();  // linger 0: closed at once, without shutdown or drain
}

void PacketSocket::OnConnect(int nErrorCode) {
    lastConnectError_ = nErrorCode;
    CQmtpSocket::OnConnect(nErrorCode);
}

void PacketSocket::OnReceive(int nErrorCode) {
    if (nErrorCode == 0) {
        lastReceive_ = GetTickCount();
        if (readingPaused_) {
            return;  // posted before the pause; selecting FD_READ again announces the data
        }
    }
    if (pure_) {
        OnReceivePure(nErrorCode);
    } else {
        CQmtpSocket::OnReceive(nErrorCode);
    }
}

void PacketSocket::OnSend(int nErrorCode) {
    if (!Draining()) {
        CQmtpSocket::OnSend(nErrorCode);
        return;
    }
    m_nErrorCode = nErrorCode;
    ContinueDrain(nErrorCode);
}

// At every write event and every poll of the drain timer: a poll flushes too, since a socket
// whose peer has closed may bring no further write event once it has been selected again.
void PacketSocket::ContinueDrain(int nErrorCode) {
    const int error = nErrorCode != 0 ? nErrorCode : Flush();
    if (error != 0) {
        StopDrainTimer();
        FinishClose(error);
        return;
    }
    // Reading may have been paused when the close came: what arrived before it is read now.
    if (!readingPaused_ && BytesWaiting() > 0) {
        if (pure_) {
            OnReceivePure(0);
        } else {
            CQmtpSocket::OnReceive(0);  // a length field above the bound closes here
        }
        if (!IsOpen()) {
            StopDrainTimer();
            return;
        }
    }
    // Sent, not posted: what the application still has for this peer (held echoes, say)
    // joins the queue before the drain is judged.
    SendMessageA(m_hAppWnd, m_nAppMsg, TP_NOTIFY_SEND, reinterpret_cast<LPARAM>(this));
    CheckDrain();
}

void PacketSocket::OnClose(int nErrorCode) {
    if (nErrorCode == WSAEMSGSIZE) {
        NoteRefusedHeader();
    }
    if (Draining()) {
        if (nErrorCode != 0) {  // reset while draining
            StopDrainTimer();
            FinishClose(nErrorCode);
        }
        return;
    }
    // The close may be dispatched before the notification of the last packets is handled;
    // deliver them now, synchronously, while the application can still reply on this socket.
    if (!m_RecvList.IsEmpty() && m_hAppWnd != nullptr) {
        SendMessageA(m_hAppWnd, m_nAppMsg, TP_NOTIFY_RECEIVE, reinterpret_cast<LPARAM>(this));
    }
    if (!IsOpen()) {
        return;  // the application abandoned it meanwhile
    }
    // Without an error the peer may only have shut down its sending side and still read:
    // write what it takes now, and wait for the rest. A failed write means it reads no more.
    if (nErrorCode == 0 && drainTimeoutMs_ != 0) {
        nErrorCode = Flush();
        if (nErrorCode == 0 && !Drained() && StartDrainTimer()) {
            return;
        }
    }
    FinishClose(nErrorCode);  // Close resets if bytes are still queued
}

int PacketSocket::Flush() {
    if (SendPacket() != SOCKET_ERROR) {
        return 0;
    }
    const int error = WSAGetLastError();
    return error != 0 ? error : WSAECONNRESET;
}

bool PacketSocket::Drained() {
    return SendQueueEmpty() && m_RecvList.IsEmpty() && !readingPaused_ && BytesWaiting() == 0;
}

winsock::u_long PacketSocket::BytesWaiting() {
    winsock::u_long n = 0;
    return IOCtl(FIONREAD, &n) ? n : 0;
}

bool PacketSocket::StartDrainTimer() {
    const UINT_PTR id = Drains().Add(this);
    if (SetTimer(m_hNotifyWnd, id, kDrainPollMs, &PacketSocket::DrainTimerProc) == 0) {
        Drains().Remove(id);
        return false;
    }
    drainTimer_ = id;
    drainDeadline_ = GetTickCount() + drainTimeoutMs_;
    return true;
}

void PacketSocket::CheckDrain() {
    if (!Draining()) {
        return;
    }
    if (!IsOpen()) {
        StopDrainTimer();
        return;
    }
    const bool drained = Drained();
    const bool late = static_cast<int>(GetTickCount() - drainDeadline_) >= 0;
    if (drained || late) {
        StopDrainTimer();
        resetOnClose_ = !drained;  // what is still held would be missing behind a FIN
        FinishClose(drained ? 0 : WSAETIMEDOUT);
    }
}

void PacketSocket::StopDrainTimer() {
    if (drainTimer_ == 0) {
        return;
    }
    KillTimer(m_hNotifyWnd, drainTimer_);
    Drains().Remove(drainTimer_);
    drainTimer_ = 0;
}

void CALLBACK PacketSocket::DrainTimerProc(HWND hwnd, UINT msg, UINT_PTR id, DWORD now) {
    (void)msg;
    (void)now;
    PacketSocket* socket = Drains().Find(id);
    if (socket == nullptr) {
        KillTimer(hwnd, id);
        return;
    }
    socket->ContinueDrain(0);
}

void PacketSocket::FinishClose(int nErrorCode) {
    // No lock: the base class's close path keeps other threads' writes off the handle itself
    // and never waits for the send lock.
    CQmtpSocket::OnClose(nErrorCode);
}

void PacketSocket::NoteRefusedHeader() {
    if (m_pRecvBuf == nullptr || m_nRecvLen < 4) {
        return;
    }
    const unsigned char* p = reinterpret_cast<const unsigned char*>(m_pRecvBuf);
    refusedLength_ = (static_cast<UINT>(p[0]) << 24) | (static_cast<UINT>(p[1]) << 16) |
                     (static_cast<UINT>(p[2]) << 8) | static_cast<UINT>(p[3]);
    for (int i = 0; i < 4; ++i) {
        refusedHeader_[i] = m_pRecvBuf[i];
    }
}
