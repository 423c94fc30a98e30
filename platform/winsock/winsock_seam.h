// A scriptable seam in front of the real socket calls, for tests that must produce an exact
// sequence of partial writes, would-blocks, errors or read chunks on one socket.
//
// A test tool, never installed and not part of the library: its code (socket_seam.cpp) is linked
// only into test programs, which link the library's objects with it (CMake: talven_test_seam).
//
// While no script is installed anywhere the seam costs one relaxed atomic load per call.
// A script belongs to one socket handle and is consumed one step per call; when a socket's
// script runs out, its calls go to the real socket again. closesocket drops the socket's
// scripts. Any thread may install or clear scripts.
#pragma once

#include <string>
#include <vector>

#include "platform/winsock/winsock.h"

namespace winsock::seam {

struct Step {
    enum Kind {
        Take,        // send: pass at most `count` bytes to the real send (the peer sees them)
        WouldBlock,  // fail with WSAEWOULDBLOCK without touching the socket; for send, FD_WRITE
                     // follows once the socket is writable, as after a real would-block
        Fail,        // fail with `error` without touching the socket
        Data,        // recv: return `data` (at most len bytes of it; the rest stays for the next
                     // call) without touching the socket; an empty `data` returns 0 (peer closed)
    };
    Kind kind = Take;
    int count = 0;
    int error = 0;
    std::string data;
};

inline Step TakeBytes(int n) { return Step{Step::Take, n, 0, {}}; }
inline Step WouldBlock() { return Step{Step::WouldBlock, 0, WSAEWOULDBLOCK, {}}; }
inline Step FailWith(int error) { return Step{Step::Fail, 0, error, {}}; }
inline Step Chunk(std::string bytes) { return Step{Step::Data, 0, 0, std::move(bytes)}; }

// A send script also covers gathered writes (SendGathered), one step per call: a Take step
// lets at most `count` bytes of the buffers through, in order.
void ScriptSend(SOCKET s, std::vector<Step> steps);
void ScriptRecv(SOCKET s, std::vector<Step> steps);

// sendto capture: while on, sendto on s records its destination and bytes and reports them
// all sent, without sending anything.
struct SentDatagram {
    sockaddr_in to;
    std::string bytes;
};
void CaptureSendTo(SOCKET s, bool on);
std::vector<SentDatagram> CapturedSendTo(SOCKET s);

// Write log: while on, every send and gathered write on s, scripted or not, is noted with the
// buffers and bytes it offered (one buffer for send) and its result.
struct SendCall {
    bool gathered;
    int buffers;
    int bytes;
    int result;
};
void RecordSends(SOCKET s, bool on);
std::vector<SendCall> RecordedSends(SOCKET s);

// Host lookups of `name` fail with `error` (for instance WSAHOST_NOT_FOUND) without asking
// any resolver, until cleared.
void FailLookup(const std::string& name, int error);

// Asynchronous lookups (WSAAsyncGetHostByName) of `name` take at least `ms` milliseconds
// before they ask the resolver, until cleared; a cancel ends the wait. The emulation only: on
// Windows the system runs those lookups, and this has no effect.
void SlowLookup(const std::string& name, DWORD ms);

// Drops every script, capture and lookup failure.
void ClearAll();

}  // namespace winsock::seam
