#include "capi/QmtpSocket.h"

bool QmtpSocket::Target(HWND hApp, UINT nAppMsg) {
    return SetNotifyHandle(hApp, nAppMsg) != 0;
}

int QmtpSocket::Open(HWND hNotify) {
    if (!SetNotifyWnd(hNotify)) {
        WSASetLastError(WSAEINVAL);
        return 0;
    }
    if (!Socket()) {
        // A socket made but not selected is closed again; the caller sees the first error.
        const int error = WSAGetLastError();
        CQmAsyncSocket::Close();
        WSASetLastError(error);
        return 0;
    }
    if (SendMessageA(hNotify, WM_SOCKET_ADD_MAP, 0, reinterpret_cast<LPARAM>(this)) != 1) {
        CQmAsyncSocket::Close();
        WSASetLastError(WSAEINVAL);
        return 0;
    }
    return 1;
}

int QmtpSocket::AcceptInto(QmtpSocket& accepted) {
    if (!CQmAsyncSocket::Accept(accepted)) {
        return 0;
    }
    // The accepted handle inherits the listener's selection; selecting it again names this
    // object's window explicitly, and the registration comes before any event is dispatched.
    accepted.m_hNotifyWnd = m_hNotifyWnd;
    accepted.m_hAppWnd = m_hAppWnd;
    accepted.m_nAppMsg = m_nAppMsg;
    if (!accepted.AsyncSelect() ||
        SendMessageA(m_hNotifyWnd, WM_SOCKET_ADD_MAP, 0, reinterpret_cast<LPARAM>(&accepted)) != 1) {
        const int error = WSAGetLastError();
        accepted.CQmAsyncSocket::Close();
        WSASetLastError(error != 0 ? error : WSAEINVAL);
        return 0;
    }
    return 1;
}

void QmtpSocket::Unregister() {
    if (m_hSocket == INVALID_SOCKET) {
        return;
    }
    SendMessageA(m_hNotifyWnd, WM_SOCKET_REMOVE_MAP, 0, reinterpret_cast<LPARAM>(this));
    Close();
}
