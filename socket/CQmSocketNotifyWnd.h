// CQmSocketNotifyWnd: the hidden window through which socket events reach socket objects.
// It maps socket handles to registered CQmAsyncSocket objects and calls their handlers.
//
// Threads: everything runs on the thread that called Create: the three handlers, the map and
// the destructor (Debug builds abort when the object is deleted on another thread while its
// window exists). Other threads reach the map only by SendMessageA.
#pragma once

#include "platform/mfc/afxcoll.h"
#include "platform/mfc/afxwin.h"
#include "socket/CQmAsyncSocket.h"

#define WM_SOCKET_ADD_MAP 0x0827
#define WM_SOCKET_REMOVE_MAP 0x0828

class TALVEN_API CQmSocketNotifyWnd : public CWnd {
public:
    CQmSocketNotifyWnd();
    // Forgets every registration without touching the sockets; the base destroys the window.
    ~CQmSocketNotifyWnd() override;

    // Creates the hidden window "Socket Notification Sink", owned by hWndParent (may be NULL).
    // Throws CResourceException* on failure; never returns FALSE.
    BOOL Create(HWND hWndParent);

protected:
    LRESULT OnSocketNotifyMessage(WPARAM wParam, LPARAM lParam);
    LRESULT OnSocketNotifyAddSocketMap(WPARAM wParam, LPARAM lParam);
    LRESULT OnSocketNotifyRemoveSocketMap(WPARAM wParam, LPARAM lParam);
    LRESULT OnSocketLookup(WPARAM wParam, LPARAM lParam);  // ConnectAsync's host lookups
    LRESULT OnSocketTimer(WPARAM wParam, LPARAM lParam);   // connect timeouts and waits
    void PostNcDestroy() override;

    CMapPtrToPtr m_SocketMap;

    DECLARE_MESSAGE_MAP()

private:
    // Calls the socket's handler for one event.
    static void Dispatch(CQmAsyncSocket* socket, int event, int error);
    // After a handler let an exception out: ends the connection of the socket registered under
    // handle, if it still is socket, reporting code (WSAENOBUFS for memory) through OnClose.
    void AbortSocket(WPARAM handle, CQmAsyncSocket* socket, int code);
};
