// QmConnectAttempt: what a CQmAsyncSocket needs beyond a plain connect, made on first use: the
// lookup of a host name through WSAAsyncGetHostByName, the connect timeout, and one wait that a
// derived class may arm (the packet socket's reconnect). Both the lookup's completion
// (WM_SOCKET_LOOKUP) and the timers (WM_TIMER) arrive at the socket's notification window,
// which hands them to DispatchLookup and DispatchTimer.
//
// Threads: everything runs on the thread of the socket's notification window. The task
// handles and timer ids in flight are registered with that thread (thread-local tables), so a
// completion or a timer whose attempt has gone finds nothing and is dropped.
#pragma once

#include <memory>

#include "socket/CQmAsyncSocket.h"

// Posted by WinSock to the notification window when a lookup of ConnectAsync ends.
#define WM_SOCKET_LOOKUP 0x0829

class QmConnectAttempt {
public:
    explicit QmConnectAttempt(CQmAsyncSocket& owner);
    ~QmConnectAttempt();  // Abandon()
    QmConnectAttempt(const QmConnectAttempt&) = delete;
    QmConnectAttempt& operator=(const QmConnectAttempt&) = delete;

    void SetTimeout(UINT ms) { timeoutMs_ = ms; }
    UINT timeout() const { return timeoutMs_; }

    // ConnectAsync's work after its checks: 1 under way, 0 failed at once (error set).
    int Start(const char* host, UINT port);
    // A connect is under way on the socket: arms the timeout, if one is set.
    void ConnectPending();
    // The socket's FD_CONNECT has come: the attempt is over, its timer stopped.
    void ConnectEnded();
    // Cancels the lookup, the timeout and the wait, without telling anyone.
    void Abandon();

    // Calls fire(owner) once after ms on the window's thread, unless Abandon or another
    // StartWait comes first. False when the timer cannot be set.
    bool StartWait(UINT ms, void (*fire)(CQmAsyncSocket&));
    bool waiting() const { return wait_.id != 0; }

    static void DispatchLookup(WPARAM task, LPARAM reply);
    static void DispatchTimer(UINT_PTR id);

private:
    void OnLookup(LPARAM reply);
    void OnTimeout();
    void OnWait();
    void Fail(int error);  // the attempt ends with OnConnect(error)
    struct Timer {
        HWND wnd = nullptr;
        UINT_PTR id = 0;
    };
    bool SetOneTimer(Timer& timer, UINT ms);
    void KillOneTimer(Timer& timer);
    void CancelLookup();

    CQmAsyncSocket& owner_;
    UINT timeoutMs_ = 0;
    UINT port_ = 0;
    HANDLE task_ = nullptr;
    std::unique_ptr<char[]> hostBuf_;  // MAXGETHOSTSTRUCT bytes while a lookup runs
    Timer timeout_;
    Timer wait_;
    void (*fire_)(CQmAsyncSocket&) = nullptr;
};
