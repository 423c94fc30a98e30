// Reconnect with backoff. The waits are the base's StartWait timers on the notification window,
// so Close (the application's) and destruction end them; a failed attempt's socket is closed
// before its wait, and each new socket is made with the handle retired from the send side, so
// a sender thread never sees a handle half made.
#include <chrono>

#include "packet/CQmtpSocket.h"
#include "packet/ReconnectState.h"
#include "socket/CQmSocketNotifyWnd.h"

UINT QmReconnectDelay(UINT tries, UINT initialMs, UINT maxMs, double jitter) {
    UINT delay = initialMs;
    for (UINT i = 0; i < tries && delay < maxMs; ++i) {
        delay = delay > maxMs / 2 ? maxMs : delay * 2;
    }
    if (delay > maxMs) {
        delay = maxMs;
    }
    if (jitter < 0.0) jitter = 0.0;
    if (jitter > 1.0) jitter = 1.0;
    return delay - static_cast<UINT>(jitter * (delay / 4));
}

void CQmtpSocket::SetReconnect(UINT initialMs, UINT maxMs, UINT maxTries) {
    if (initialMs == 0) {
        if (m_pReconnect) {
            m_pReconnect->initialMs = 0;
        }
        return;
    }
    if (!m_pReconnect) {
        m_pReconnect = std::make_unique<CQmtpSocketReconnectState>();
        const auto now = std::chrono::steady_clock::now().time_since_epoch().count();
        m_pReconnect->random.seed(static_cast<std::minstd_rand::result_type>(
            static_cast<unsigned long long>(now) ^ reinterpret_cast<UINT_PTR>(this)));
    }
    m_pReconnect->initialMs = initialMs;
    m_pReconnect->maxMs = maxMs < initialMs ? initialMs : maxMs;
    m_pReconnect->maxTries = maxTries;
}

BOOL CQmtpSocket::IsReconnecting() const {
    if (!m_pReconnect || m_pReconnect->initialMs == 0) {
        return FALSE;
    }
    // Waiting, or an attempt under way (which the application's Close ends with the socket).
    return IsWaiting() || (m_pReconnect->attempting && m_hSocket != INVALID_SOCKET) ? TRUE : FALSE;
}

int CQmtpSocket::ConnectAsync(const char* host, UINT port) {
    NoteReconnectTarget(host, port);
    return CQmAsyncSocket::ConnectAsync(host, port);
}

void CQmtpSocket::NoteReconnectTarget(const char* host, UINT port) {
    if (!m_pReconnect || host == nullptr) {
        return;
    }
    m_pReconnect->host = host;
    m_pReconnect->port = port;
    m_pReconnect->haveTarget = true;
    m_pReconnect->attempting = false;
    m_pReconnect->tries = 0;
}

void CQmtpSocket::ReconnectAfterConnect(int nErrorCode) {
    m_pReconnect->attempting = false;
    if (m_pReconnect->initialMs == 0 || !m_pReconnect->haveTarget) {
        return;
    }
    if (nErrorCode == 0) {
        m_pReconnect->tries = 0;
        return;
    }
    CloseForReconnect();
    ScheduleReconnect();
}

void CQmtpSocket::ReconnectAfterClose() {
    if (m_pReconnect->initialMs == 0 || !m_pReconnect->haveTarget) {
        return;
    }
    m_pReconnect->tries = 0;
    ScheduleReconnect();
}

void CQmtpSocket::ScheduleReconnect() {
    CQmtpSocketReconnectState& r = *m_pReconnect;
    if (r.maxTries != 0 && r.tries >= r.maxTries) {
        return;  // given up; the object holds no socket
    }
    const double jitter = std::uniform_real_distribution<double>(0.0, 1.0)(r.random);
    StartWait(QmReconnectDelay(r.tries, r.initialMs, r.maxMs, jitter), &CQmtpSocket::FireReconnect);
}

void CQmtpSocket::FireReconnect(CQmAsyncSocket& socket) {
    static_cast<CQmtpSocket&>(socket).ReconnectNow();
}

void CQmtpSocket::CloseForReconnect() {
    // Unregister while the handle is still set; Close keeps the send side off the handle.
    SendMessageA(m_hNotifyWnd, WM_SOCKET_REMOVE_MAP, 0, reinterpret_cast<LPARAM>(this));
    Close();
}

void CQmtpSocket::ReconnectNow() {
    if (!m_pReconnect || m_pReconnect->initialMs == 0 || !m_pReconnect->haveTarget) {
        return;
    }
    ++m_pReconnect->tries;
    m_pReconnect->attempting = true;
    RetireHandle();
    int ok = Create(m_hNotifyWnd);
    ReopenForWrites();
    if (ok) {
        SendMessageA(m_hNotifyWnd, WM_SOCKET_ADD_MAP, 0, reinterpret_cast<LPARAM>(this));
        ok = CQmAsyncSocket::ConnectAsync(m_pReconnect->host, m_pReconnect->port);
    }
    if (!ok) {
        const int code = WSAGetLastError();
        OnConnect(code != 0 ? code : WSAENOTSOCK);  // an attempt that failed at once
    }
}
