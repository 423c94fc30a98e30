// CQmAsyncSocket: one WinSock socket in asynchronous mode, whose events arrive as
// WM_SOCKET_NOTIFY at a CQmSocketNotifyWnd, which calls the virtual handlers below.
//
// Threads: no locks. The handlers run on the notification window's thread. An application
// that calls members from several threads serialises them itself.
#pragma once

#include <memory>

#include "platform/mfc/afxstr.h"
#include "platform/winsock/winsock.h"

#define WM_SOCKET_NOTIFY 0x081B

class QmConnectAttempt;

class TALVEN_API CQmAsyncSocket {
public:
    CQmAsyncSocket();
    // Copies both fields; no socket is duplicated and no WinSock call is made.
    // (A pending ConnectAsync, timeout or wait stays with the source; the connect timeout
    // setting is not copied.)
    CQmAsyncSocket(const CQmAsyncSocket& other);
    CQmAsyncSocket& operator=(const CQmAsyncSocket& other);
    // Runs this class's own Close when a socket is held; does not unregister the object.
    virtual ~CQmAsyncSocket();

    operator SOCKET() const;

    // Making the socket (1 success, 0 failure)
    int SetNotifyWnd(HWND wnd);
    int Create(HWND wnd, UINT port = 0, int type = SOCK_STREAM,
               long events = FD_READ | FD_WRITE | FD_OOB | FD_ACCEPT | FD_CONNECT | FD_CLOSE,
               const char* address = nullptr);
    int Socket(int type = SOCK_STREAM,
               long events = FD_READ | FD_WRITE | FD_OOB | FD_ACCEPT | FD_CONNECT | FD_CLOSE,
               int protocol = 0, int family = AF_INET);
    int AsyncSelect(long events = FD_READ | FD_WRITE | FD_OOB | FD_ACCEPT | FD_CONNECT | FD_CLOSE);

    // Addresses and connections
    int Bind(UINT port, const char* address = nullptr);
    int Bind(const winsock::sockaddr* addr, int addrLen);
    // A name is looked up with gethostbyname, which blocks until the resolver answers; see
    // ConnectAsync for the form that does not. With a connect timeout set, a connect left under
    // way (0 with WSAEWOULDBLOCK) is timed as for ConnectAsync.
    virtual int Connect(const char* host, UINT port);
    int Connect(const winsock::sockaddr* addr, int addrLen);
    // Connects without ever blocking the message loop. A dotted address is connected to at
    // once; a host name is first looked up with WSAAsyncGetHostByName, whose answer arrives at
    // the notification window. 1: the attempt is under way and its outcome arrives as OnConnect
    // (0 connected; the connect's error; the lookup's, such as WSAHOST_NOT_FOUND; or
    // WSAETIMEDOUT). 0: it failed at once, WSAGetLastError tells why (WSAEINVAL for a null
    // host or an object without a notification window). The object is registered with its
    // notification window (WM_SOCKET_ADD_MAP). Window's thread.
    int ConnectAsync(const char* host, UINT port);
    // 0, the default: no timeout. Otherwise a connect by Connect(host, port) or ConnectAsync
    // (its lookup included) that has not succeeded after ms milliseconds is abandoned: the
    // object is unregistered from the notification window and closed, and OnConnect gets
    // WSAETIMEDOUT. Applies to the connects that begin after the call. Window's thread.
    void SetConnectTimeout(UINT ms);
    UINT GetConnectTimeout() const;
    int Listen(int backlog = 5);
    virtual int Accept(CQmAsyncSocket& target, winsock::sockaddr* addr = nullptr, int* addrLen = nullptr);
    int ShutDown(int how = SD_SEND);

    // Data transfer: byte count or SOCKET_ERROR
    virtual int Receive(void* buffer, int length, int flags = 0);
    virtual int Send(const void* buffer, int length, int flags = 0);
    int ReceiveFrom(void* buffer, int length, CString& address, UINT& port, int flags = 0);
    int ReceiveFrom(void* buffer, int length, winsock::sockaddr* addr, int* addrLen, int flags = 0);
    int SendTo(const void* buffer, int length, UINT port, const char* host = nullptr, int flags = 0);
    int SendTo(const void* buffer, int length, const winsock::sockaddr* addr, int addrLen, int flags = 0);

    // Options and queries
    int IOCtl(long command, winsock::u_long* argument);
    int SetSockOpt(int option, const void* value, int valueLength, int level = SOL_SOCKET);
    int GetSockOpt(int option, void* value, int* valueLength, int level = SOL_SOCKET);
    int GetPeerName(winsock::sockaddr* addr, int* addrLen);
    int GetSockName(winsock::sockaddr* addr, int* addrLen);
    int GetPeerName(CString& address, UINT& port);
    int GetSockName(CString& address, UINT& port);
    // address: room for at least 16 characters.
    int GetLocalIPAddrAndPort(char* address, UINT& port);

    // Ends a pending lookup, connect timeout or wait (no OnConnect follows). Then cancels the
    // selection, shuts down sends, reads and discards what is waiting (at most 64
    // reads of 1024 bytes: data still unread then makes the close a reset), closes. A socket
    // set to linger 0 (SO_LINGER on, time 0) is closed at once, without shutdown or drain, so
    // the peer gets a reset and no FIN. Never waits. Safe without a socket.
    virtual void Close();

    // Event handlers: called by the notification window on its thread; do nothing here.
    virtual void OnReceive(int nErrorCode);
    virtual void OnSend(int nErrorCode);
    virtual void OnOutOfBandData(int nErrorCode);
    virtual void OnAccept(int nErrorCode);
    virtual void OnConnect(int nErrorCode);
    virtual void OnClose(int nErrorCode);

    // Read by CQmSocketNotifyWnd and by derived classes.
    HWND m_hNotifyWnd;
    SOCKET m_hSocket;

protected:
    // Calls fire(*this) once after ms milliseconds, on the notification window's thread, unless
    // Close, the destructor or another StartWait comes first. 0 when no timer can be set (no
    // notification window). Window's thread.
    int StartWait(UINT ms, void (*fire)(CQmAsyncSocket&));
    bool IsWaiting() const;

private:
    friend class CQmSocketNotifyWnd;  // ends the timeout when FD_CONNECT arrives
    QmConnectAttempt& Attempt();      // made on first use; throws std::bad_alloc
    std::unique_ptr<QmConnectAttempt> m_pConnect;
};
