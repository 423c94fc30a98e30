// QmtpSocket: the packet socket behind a QMTP handle of the C interface. It is a CQmtpSocket
// with nothing overridden, so every behaviour of the class holds for it; it adds the steps
// that the C functions take as one (open and register, unregister and close, accept into a
// new handle). Its notifications carry `this` in lParam, which is the QMTP value, since the
// class is the only base.
//
// Threads: as CQmtpSocket. Open, Accept and Unregister run on the notification window's thread.
#pragma once

#include "talven.h"

struct QmtpSocket final : public CQmtpSocket {
    // Notifications to hApp as nAppMsg; false (nothing changed) for a bad window or message.
    bool Target(HWND hApp, UINT nAppMsg);
    // A new TCP handle, selected on hNotify and registered there: 1 or 0 with the WinSock error.
    int Open(HWND hNotify);
    // Takes a waiting connection into `accepted`, which then uses this socket's notification
    // window and target: 1 or 0 with the WinSock error (WSAEWOULDBLOCK when none waits).
    int AcceptInto(QmtpSocket& accepted);
    // Removes the registration while the handle is held, then closes; nothing without a handle.
    void Unregister();
};
