// The C interface (include/talven_c.h): each function checks its arguments, calls the classes,
// and turns any exception into its failure result with WSAENOBUFS, so none crosses into C.
#include <climits>
#include <cstring>
#include <memory>

#include "talven.h"
#include "talven_c.h"
#include "capi/LiveHandles.h"
#include "capi/QmtpSocket.h"

namespace {

LiveHandles<QMTP, QmtpSocket>& Sockets() {
    static LiveHandles<QMTP, QmtpSocket> sockets;
    return sockets;
}

LiveHandles<HWND, CQmSocketNotifyWnd>& NotifyWindows() {
    static LiveHandles<HWND, CQmSocketNotifyWnd> windows;
    return windows;
}

// Runs body; an exception ends here as `failure` with WSAENOBUFS (out of memory, or a window
// the system would not make).
template <typename R, typename Body>
R AtEdge(R failure, Body body) noexcept {
    try {
        return body();
    } catch (CException* e) {
        e->Delete();
    } catch (...) {
    }
    WSASetLastError(WSAENOBUFS);
    return failure;
}

int Refuse(int error, int failure) {
    WSASetLastError(error);
    return failure;
}

// The socket of a live handle, or null with WSAEINVAL.
QmtpSocket* Live(QMTP s) {
    QmtpSocket* sock = s != nullptr ? Sockets().Find(s) : nullptr;
    if (sock == nullptr) {
        WSASetLastError(WSAEINVAL);
    }
    return sock;
}

const UINT kMaxPort = 65535;

// A closed socket gets a new handle on its notification window before it connects or listens.
bool EnsureOpen(QmtpSocket& sock) {
    return sock.m_hSocket != INVALID_SOCKET || sock.Open(sock.m_hNotifyWnd) != 0;
}

// What a socket reports of an address: 1, or 0 with nothing written.
int CopyAddress(const CString& text, UINT port, char* address, int size, UINT* portOut) {
    if (text.GetLength() >= size) {
        return Refuse(WSAEFAULT, 0);
    }
    std::memcpy(address, text.GetString(), static_cast<size_t>(text.GetLength()) + 1);
    *portOut = port;
    return 1;
}

using AddressQuery = int (CQmAsyncSocket::*)(CString&, UINT&);

int QueryAddress(QMTP s, AddressQuery query, char* address, int size, UINT* port) {
    return AtEdge(0, [&] {
        QmtpSocket* sock = Live(s);
        if (sock == nullptr) {
            return 0;
        }
        if (size < 0) {
            return Refuse(WSAEINVAL, 0);
        }
        if (address == nullptr || port == nullptr) {
            return Refuse(WSAEFAULT, 0);
        }
        CString text;
        UINT found = 0;
        if (!(sock->*query)(text, found)) {
            return 0;
        }
        return CopyAddress(text, found, address, size, port);
    });
}

// Send's and SendPure's common checks; data for the call (never null).
const void* SendableData(const void* data, int len, int& refused) {
    static const char kNothing = 0;
    refused = 0;
    if (len < 0) {
        refused = WSAEINVAL;
    } else if (data == nullptr && len > 0) {
        refused = WSAEFAULT;
    }
    return data != nullptr ? data : &kNothing;
}

// A send call of the C interface: a live handle and a valid buffer, then `send` with the bytes
// (the queue keeps its own copy, so the caller's const buffer is never written).
template <typename SendFn>
int SendChecked(QMTP s, const void* data, int len, SendFn send) {
    return AtEdge(SOCKET_ERROR, [&] {
        QmtpSocket* sock = Live(s);
        if (sock == nullptr) {
            return SOCKET_ERROR;
        }
        int refused = 0;
        const void* bytes = SendableData(data, len, refused);
        if (refused != 0) {
            return Refuse(refused, SOCKET_ERROR);
        }
        return send(*sock, const_cast<void*>(bytes));
    });
}

// Makes `sock` a live handle, then runs the step that gives it its socket (registration
// included): live first, so that nothing can fail after the registration. On failure the
// object goes, with the step's WinSock error kept.
template <typename Step>
QMTP Adopt(std::unique_ptr<QmtpSocket> sock, Step step) {
    Sockets().Add(sock.get(), sock.get());
    if (!step(*sock)) {
        Sockets().Remove(sock.get());
        const int error = WSAGetLastError();
        sock.reset();
        WSASetLastError(error);
        return nullptr;
    }
    return sock.release();
}

}  // namespace

extern "C" {

int TALVEN_CDECL QmGetWSAErrorText(int code, char* text, int size) {
    return AtEdge(-1, [&] {
        if (size < 0) {
            return Refuse(WSAEINVAL, -1);
        }
        if (text == nullptr && size > 0) {
            return Refuse(WSAEFAULT, -1);
        }
        CString found;
        const int length = QmGetWSAErrorString(code, found);
        if (size > 0) {
            const int kept = length < size ? length : size - 1;
            std::memcpy(text, found.GetString(), static_cast<size_t>(kept));
            text[kept] = '\0';
        }
        return length;
    });
}

HWND TALVEN_CDECL QmNotifyWndCreate(HWND hOwner) {
    return AtEdge<HWND>(nullptr, [&]() -> HWND {
        if (hOwner != nullptr && !IsWindow(hOwner)) {
            WSASetLastError(WSAEINVAL);
            return nullptr;
        }
        auto wnd = std::make_unique<CQmSocketNotifyWnd>();
        wnd->Create(hOwner);  // throws when the window cannot be made
        const HWND hwnd = wnd->GetSafeHwnd();
        NotifyWindows().Add(hwnd, wnd.get());
        wnd.release();
        return hwnd;
    });
}

void TALVEN_CDECL QmNotifyWndDestroy(HWND hNotify) {
    AtEdge(0, [&] {
        std::unique_ptr<CQmSocketNotifyWnd> wnd(NotifyWindows().Remove(hNotify));
        return wnd != nullptr ? 1 : Refuse(WSAEINVAL, 0);
    });
}

QMTP TALVEN_CDECL QmtpCreate(HWND hNotify, HWND hApp, UINT nAppMsg) {
    return AtEdge<QMTP>(nullptr, [&]() -> QMTP {
        if (hNotify == nullptr || NotifyWindows().Find(hNotify) == nullptr) {
            WSASetLastError(WSAEINVAL);
            return nullptr;
        }
        auto sock = std::make_unique<QmtpSocket>();
        if (!sock->Target(hApp, nAppMsg)) {
            WSASetLastError(WSAEINVAL);
            return nullptr;
        }
        return Adopt(std::move(sock), [&](QmtpSocket& fresh) { return fresh.Open(hNotify); });
    });
}

int TALVEN_CDECL QmtpConnect(QMTP s, const char* host, UINT port) {
    return AtEdge(0, [&] {
        QmtpSocket* sock = Live(s);
        if (sock == nullptr) {
            return 0;
        }
        if (host == nullptr) {
            return Refuse(WSAEFAULT, 0);
        }
        if (port > kMaxPort) {
            return Refuse(WSAEINVAL, 0);
        }
        if (!EnsureOpen(*sock)) {
            return 0;
        }
        return sock->Connect(host, port) ? 1 : 0;
    });
}

int TALVEN_CDECL QmtpListen(QMTP s, const char* address, UINT port) {
    return AtEdge(0, [&] {
        QmtpSocket* sock = Live(s);
        if (sock == nullptr) {
            return 0;
        }
        if (port > kMaxPort) {
            return Refuse(WSAEINVAL, 0);
        }
        if (!EnsureOpen(*sock)) {
            return 0;
        }
        return sock->Bind(port, address) && sock->Listen(SOMAXCONN) ? 1 : 0;
    });
}

QMTP TALVEN_CDECL QmtpAccept(QMTP listener) {
    return AtEdge<QMTP>(nullptr, [&]() -> QMTP {
        QmtpSocket* sock = Live(listener);
        if (sock == nullptr) {
            return nullptr;
        }
        return Adopt(std::make_unique<QmtpSocket>(),
                     [&](QmtpSocket& fresh) { return sock->AcceptInto(fresh); });
    });
}

int TALVEN_CDECL QmtpSend(QMTP s, const void* data, int len) {
    return SendChecked(s, data, len, [&](QmtpSocket& sock, void* bytes) { return sock.Send(bytes, len); });
}

int TALVEN_CDECL QmtpSendPure(QMTP s, const void* data, int len) {
    return SendChecked(s, data, len, [&](QmtpSocket& sock, void* bytes) { return sock.SendPure(bytes, len); });
}

int TALVEN_CDECL QmtpRead(QMTP s, char** data, int* len) {
    return AtEdge(SOCKET_ERROR, [&] {
        QmtpSocket* sock = Live(s);
        if (sock == nullptr) {
            return SOCKET_ERROR;
        }
        if (data == nullptr || len == nullptr) {
            return Refuse(WSAEFAULT, SOCKET_ERROR);
        }
        return sock->ReadData(*data, *len);
    });
}

void TALVEN_CDECL QmtpFreeData(char* data) {
    ::operator delete(data);
}

int TALVEN_CDECL QmtpGetError(QMTP s) {
    return AtEdge(SOCKET_ERROR, [&] {
        QmtpSocket* sock = Live(s);
        return sock != nullptr ? sock->GetErrorCode() : SOCKET_ERROR;
    });
}

int TALVEN_CDECL QmtpGetSendQueueBytes(QMTP s) {
    return AtEdge(SOCKET_ERROR, [&] {
        QmtpSocket* sock = Live(s);
        if (sock == nullptr) {
            return SOCKET_ERROR;
        }
        const size_t bytes = sock->GetSendQueueBytes();
        return bytes > static_cast<size_t>(INT_MAX) ? INT_MAX : static_cast<int>(bytes);
    });
}

int TALVEN_CDECL QmtpSetSendQueueLimit(QMTP s, int bytes) {
    return AtEdge(0, [&] {
        QmtpSocket* sock = Live(s);
        if (sock == nullptr) {
            return 0;
        }
        if (bytes < 0) {
            return Refuse(WSAEINVAL, 0);
        }
        sock->SetSendQueueLimit(static_cast<UINT>(bytes));
        return 1;
    });
}

int TALVEN_CDECL QmtpGetPeer(QMTP s, char* address, int size, UINT* port) {
    return QueryAddress(s, &CQmAsyncSocket::GetPeerName, address, size, port);
}

int TALVEN_CDECL QmtpGetLocal(QMTP s, char* address, int size, UINT* port) {
    return QueryAddress(s, &CQmAsyncSocket::GetSockName, address, size, port);
}

void TALVEN_CDECL QmtpClose(QMTP s) {
    AtEdge(0, [&] {
        QmtpSocket* sock = Live(s);
        if (sock != nullptr) {
            sock->Unregister();
        }
        return 0;
    });
}

void TALVEN_CDECL QmtpDestroy(QMTP s) {
    if (s == nullptr) {
        return;
    }
    AtEdge(0, [&] {
        std::unique_ptr<QmtpSocket> sock(Sockets().Remove(s));
        if (sock == nullptr) {
            return Refuse(WSAEINVAL, 0);
        }
        sock->Unregister();
        return 1;
    });
}

}  // extern "C"
