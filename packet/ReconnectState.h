// The packet socket's reconnect settings and progress (CQmtpSocket::SetReconnect). Belongs to
// the notification window's thread.
#pragma once

#include <random>

#include "platform/mfc/afxstr.h"

// The wait before reconnect attempt `tries` + 1 (tries: attempts that failed since the last
// connection): initialMs doubled per failed attempt, up to maxMs, less `jitter` (0 to 1) times a
// quarter of it.
UINT QmReconnectDelay(UINT tries, UINT initialMs, UINT maxMs, double jitter);

struct CQmtpSocketReconnectState {
    UINT initialMs = 0;  // 0: reconnect is off
    UINT maxMs = 0;
    UINT maxTries = 0;   // 0: no bound
    UINT tries = 0;      // failed attempts since the last connection
    bool haveTarget = false;  // Connect or ConnectAsync named the host and port below
    bool attempting = false;  // a reconnect's connect is under way
    CString host;
    UINT port = 0;
    std::minstd_rand random;
};
