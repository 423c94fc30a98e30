#include "common/PacketSocket.h"

PacketSocket::PacketSocket(bool pure) : pure_(pure) {}

int PacketSocket::SendBytes(const void* data, int len) {
    void* bytes = const_cast<void*>(data);  // the library copies; it never writes here
    return pure_ ? SendPure(bytes, len) : Send(bytes, len);
}

bool PacketSocket::SendQueueEmpty() {
    Lock();
    const bool empty = m_SendList.IsEmpty() != FALSE;
    Unlock();
    return empty;
}

void PacketSocket::Abandon() {
    if (!IsOpen()) {
        return;
    }
    if (m_hNotifyWnd != nullptr) {
        SendMessageA(m_hNotifyWnd, WM_SOCKET_REMOVE_MAP, 0, reinterpret_cast<LPARAM>(this));
    }
    Lock();
    Close();
    Unlock();
}

void PacketSocket::OnReceive(int nErrorCode) {
    if (pure_) {
        OnReceivePure(nErrorCode);
    } else {
        CQmtpSocket::OnReceive(nErrorCode);
    }
}

void PacketSocket::OnClose(int nErrorCode) {
    // The close may be dispatched before the notification of the last packets is handled;
    // deliver them now, synchronously, while the application can still reply on this socket.
    if (!m_RecvList.IsEmpty() && m_hAppWnd != nullptr) {
        SendMessageA(m_hAppWnd, m_nAppMsg, TP_NOTIFY_RECEIVE, reinterpret_cast<LPARAM>(this));
    }
    Lock();
    CQmtpSocket::OnClose(nErrorCode);
    Unlock();
}
