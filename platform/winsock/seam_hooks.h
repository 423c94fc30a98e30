// Internal: how the socket calls consult the socket seam (winsock_seam.h).
//
// Installed() is one relaxed atomic load; only when it is true do the calls take the seam's
// lock and look for a script. Any thread.
#pragma once

#include <atomic>

#include "platform/winsock/winsock.h"

namespace talven::platform::sockets::seam {

extern std::atomic<bool> g_installed;
inline bool Installed() { return g_installed.load(std::memory_order_relaxed); }

struct Action {
    enum Kind {
        Real,        // no script: the real call
        Limit,       // the real call with at most `count` bytes
        WouldBlock,  // fail with WSAEWOULDBLOCK
        Fail,        // fail with `error`
        Data,        // recv: `count` scripted bytes were copied into the buffer
    };
    Kind kind = Real;
    int count = 0;
    int error = 0;
    bool more = false;  // recv: the script holds further steps
};

// Consumes the next send step of s.
Action NextSend(SOCKET s);
// Consumes the next recv step of s (a Data step only in part when len is short).
Action NextRecv(SOCKET s, char* buf, int len);
// Notes a send (gathered or not) on s when its write log is on.
void NoteSend(SOCKET s, bool gathered, int buffers, int bytes, int result);
// True when sendto on s is being captured; the datagram has then been recorded.
bool CaptureSendTo(SOCKET s, const void* to, int toLen, const char* buf, int len);
// The error with which lookups of name must fail, or 0.
int LookupFailure(const char* name);
// How long asynchronous lookups of name must wait first (SlowLookup), or 0.
DWORD LookupDelay(const char* name);
// Drops the scripts and capture of a closed socket.
void Forget(SOCKET s);

}  // namespace talven::platform::sockets::seam
