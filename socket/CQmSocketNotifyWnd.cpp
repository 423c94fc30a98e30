#include "socket/CQmSocketNotifyWnd.h"

#include <cstdio>
#include <cstdlib>
#include <new>

#include "socket/ClosedSocketEvents.h"

#include "socket/QmConnectAttempt.h"

namespace {

const char kWindowName[] = "Socket Notification Sink";
constexpr int kMapBlockSize = 10;

void* KeyOf(SOCKET handle) {
    return reinterpret_cast<void*>(static_cast<UINT_PTR>(handle));
}

}  // namespace

BEGIN_MESSAGE_MAP(CQmSocketNotifyWnd, CWnd)
    ON_MESSAGE(WM_SOCKET_NOTIFY, OnSocketNotifyMessage)
    ON_MESSAGE(WM_SOCKET_ADD_MAP, OnSocketNotifyAddSocketMap)
    ON_MESSAGE(WM_SOCKET_REMOVE_MAP, OnSocketNotifyRemoveSocketMap)
    ON_MESSAGE(WM_SOCKET_LOOKUP, OnSocketLookup)
    ON_MESSAGE(WM_TIMER, OnSocketTimer)
END_MESSAGE_MAP()

CQmSocketNotifyWnd::CQmSocketNotifyWnd() : m_SocketMap(kMapBlockSize) {}

CQmSocketNotifyWnd::~CQmSocketNotifyWnd() {
#if defined(TALVEN_DEBUG_CHECKS)
    // The map and the window belong to the window's thread; deleting elsewhere races both.
    if (m_hWnd != nullptr && IsWindow(m_hWnd) &&
        GetWindowThreadProcessId(m_hWnd, nullptr) != GetCurrentThreadId()) {
        std::fprintf(stderr, "CQmSocketNotifyWnd deleted off its window's thread\n");
        std::abort();
    }
#endif
    if (m_hWnd != nullptr) {
        talven::closed_sockets::RemoveWindow(m_hWnd);
    }
    // The sockets belong to the application: forget them, never close or tell them.
    m_SocketMap.RemoveAll();
}

BOOL CQmSocketNotifyWnd::Create(HWND hWndParent) {
    LPCSTR className = AfxRegisterWndClass(0, nullptr, nullptr, nullptr);
    // Style 0: hidden and top-level, owned (not parented) by hWndParent when it is given.
    if (!CreateEx(0, className, kWindowName, 0, 0, 0, 0, 0, hWndParent, nullptr, nullptr)) {
        AfxThrowResourceException();
    }
    talven::closed_sockets::AddWindow(m_hWnd);
    return TRUE;
}

LRESULT CQmSocketNotifyWnd::OnSocketNotifyMessage(WPARAM wParam, LPARAM lParam) {
    if (wParam == 0 && lParam == 0) {
        return 0;
    }
    // Posted for a socket closed since, whose handle another socket may hold by now.
    if (talven::closed_sockets::IsStale(m_hWnd, wParam, lParam)) {
        return 0;
    }
    void* value = nullptr;
    if (!m_SocketMap.Lookup(KeyOf(static_cast<SOCKET>(wParam)), value) || value == nullptr) {
        return 0;
    }
    CQmAsyncSocket* socket = static_cast<CQmAsyncSocket*>(value);
    if (!IsWindow(socket->m_hNotifyWnd)) {
        return 0;
    }
    const int error = WSAGETSELECTERROR(lParam);  // unsigned 16 bits: 0xFFFF arrives as 65535
    // No exception may unwind through the system's frames of the window procedure (a 32-bit
    // program does not survive it): one that a handler lets out ends the socket's connection.
    try {
        Dispatch(socket, WSAGETSELECTEVENT(lParam), error);
    } catch (const std::bad_alloc&) {
        AbortSocket(wParam, socket, WSAENOBUFS);
    } catch (CException* e) {
        e->Delete();
        AbortSocket(wParam, socket, WSAECONNABORTED);
    } catch (...) {
        AbortSocket(wParam, socket, WSAECONNABORTED);
    }
    return 0;
}

void CQmSocketNotifyWnd::Dispatch(CQmAsyncSocket* socket, int event, int error) {
    // Exactly one event bit per message; anything else is dropped. The handler may unregister,
    // close or delete its socket, so nothing here touches the socket or the map afterwards.
    switch (event) {
    case FD_READ:
        socket->OnReceive(error);
        break;
    case FD_WRITE:
        socket->OnSend(error);
        break;
    case FD_OOB:
        socket->OnOutOfBandData(error);
        break;
    case FD_ACCEPT:
        socket->OnAccept(error);
        break;
    case FD_CONNECT:
        if (socket->m_pConnect) {
            socket->m_pConnect->ConnectEnded();
        }
        socket->OnConnect(error);
        break;
    case FD_CLOSE:
        socket->OnClose(error);
        break;
    default:
        break;
    }
}

void CQmSocketNotifyWnd::AbortSocket(WPARAM handle, CQmAsyncSocket* socket, int code) {
    // Only a socket still registered is touched: the handler may have unregistered and deleted
    // its object before it threw (a packet socket's OnClose unregisters first).
    void* value = nullptr;
    if (!m_SocketMap.Lookup(KeyOf(static_cast<SOCKET>(handle)), value) || value != socket) {
        return;
    }
    // As WinSock reports a connection that failed: the socket's OnClose with the error, which
    // for a packet socket unregisters, closes and posts TP_NOTIFY_CLOSE. A socket that its
    // OnClose leaves registered is unregistered and closed here.
    WSASetLastError(code);
    try {
        socket->OnClose(code);
    } catch (CException* e) {
        e->Delete();
    } catch (...) {
    }
    if (m_SocketMap.Lookup(KeyOf(static_cast<SOCKET>(handle)), value) && value == socket) {
        m_SocketMap.RemoveKey(KeyOf(static_cast<SOCKET>(handle)));
        try {
            socket->Close();
        } catch (CException* e) {
            e->Delete();
        } catch (...) {
        }
    }
}

LRESULT CQmSocketNotifyWnd::OnSocketNotifyAddSocketMap(WPARAM, LPARAM lParam) {
    const CQmAsyncSocket* socket = reinterpret_cast<const CQmAsyncSocket*>(lParam);
    if (socket == nullptr || socket->m_hSocket == INVALID_SOCKET) {
        return 0;
    }
    // A second object under the same handle replaces the first.
    m_SocketMap[KeyOf(socket->m_hSocket)] = const_cast<CQmAsyncSocket*>(socket);
    return 1;
}

LRESULT CQmSocketNotifyWnd::OnSocketNotifyRemoveSocketMap(WPARAM, LPARAM lParam) {
    const CQmAsyncSocket* socket = reinterpret_cast<const CQmAsyncSocket*>(lParam);
    if (socket == nullptr || socket->m_hSocket == INVALID_SOCKET) {
        return 0;
    }
    // The object only names the handle: whichever object is registered under it goes.
    return m_SocketMap.RemoveKey(KeyOf(socket->m_hSocket));
}

// The end of a ConnectAsync lookup (wParam: the task handle) and the connect timers: each goes to
// the socket's connect attempt, if it still waits for it.
LRESULT CQmSocketNotifyWnd::OnSocketLookup(WPARAM wParam, LPARAM lParam) {
    QmConnectAttempt::DispatchLookup(wParam, lParam);
    return 0;
}

LRESULT CQmSocketNotifyWnd::OnSocketTimer(WPARAM wParam, LPARAM) {
    QmConnectAttempt::DispatchTimer(static_cast<UINT_PTR>(wParam));
    return 0;
}

void CQmSocketNotifyWnd::PostNcDestroy() {
    // The application owns this object; it outlives its window and is deleted by its creator.
}
