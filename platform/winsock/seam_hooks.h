// Internal: how the socket calls consult the socket seam (winsock_seam.h).
//
// The seam is a test tool, not part of the library: its code (socket_seam.cpp) is linked only
// into test programs, and nothing of it is exported. The library keeps a pointer to it, null in
// every application; a test program's seam sets it during static initialisation, before main,
// and never clears it.
//
// Installed() is one relaxed atomic load; only when it is true (the seam holds a script, a
// capture or a lookup rule) do the calls ask the seam. Linked() is true in test programs: the
// Windows binding then also tells the seam where each socket's events go, so that a scripted
// step can post the event WinSock would have posted for it. Any thread.
#pragma once

#include <atomic>

#include "platform/winsock/winsock.h"

namespace talven::platform::sockets::seam {

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

class Seam {
public:
    // Consumes the next send step of s.
    virtual Action NextSend(SOCKET s) = 0;
    // Consumes the next recv step of s (a Data step only in part when len is short).
    virtual Action NextRecv(SOCKET s, char* buf, int len) = 0;
    // Notes a send (gathered or not) on s when its write log is on.
    virtual void NoteSend(SOCKET s, bool gathered, int buffers, int bytes, int result) = 0;
    // True when sendto on s is being captured; the datagram has then been recorded.
    virtual bool CaptureSendTo(SOCKET s, const void* to, int toLen, const char* buf, int len) = 0;
    // The error with which lookups of name must fail, or 0.
    virtual int LookupFailure(const char* name) = 0;
    // How long asynchronous lookups of name must wait first (SlowLookup), or 0.
    virtual DWORD LookupDelay(const char* name) = 0;
    // Drops the scripts, capture and selection record of a closed socket.
    virtual void Forget(SOCKET s) = 0;
    // Where a socket's events go (msg or events 0: nowhere), and an accepted socket's inherited
    // selection; then posts `event` for s as WinSock would, when s is selected for it.
    virtual void NoteSelection(SOCKET s, HWND hwnd, UINT msg, long events) = 0;
    virtual void InheritSelection(SOCKET listener, SOCKET accepted) = 0;
    virtual void PostSelected(SOCKET s, long event, int error) = 0;

protected:
    ~Seam() = default;
};

extern std::atomic<Seam*> g_seam;       // set once by a linked seam, before main
extern std::atomic<bool> g_installed;   // stored only by the seam: it holds something

inline Seam* Linked() { return g_seam.load(std::memory_order_acquire); }
inline bool Installed() { return g_installed.load(std::memory_order_relaxed); }

// The seam's answers; only while Installed(), which a seam sets only once it is linked.
inline Action NextSend(SOCKET s) { return Linked()->NextSend(s); }
inline Action NextRecv(SOCKET s, char* buf, int len) { return Linked()->NextRecv(s, buf, len); }
inline void NoteSend(SOCKET s, bool gathered, int buffers, int bytes, int result) {
    Linked()->NoteSend(s, gathered, buffers, bytes, result);
}
inline bool CaptureSendTo(SOCKET s, const void* to, int toLen, const char* buf, int len) {
    return Linked()->CaptureSendTo(s, to, toLen, buf, len);
}
inline int LookupFailure(const char* name) { return Linked()->LookupFailure(name); }
inline DWORD LookupDelay(const char* name) { return Linked()->LookupDelay(name); }
inline void Forget(SOCKET s) { Linked()->Forget(s); }

}  // namespace talven::platform::sockets::seam
