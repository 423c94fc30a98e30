// Helpers shared by the test suites: WinSock for a test's lifetime, a message pump with a
// deadline, and a window that records what it receives. Written against the Win32 names only.
#pragma once

#include <functional>
#include <vector>

#include "talven.h"

namespace talven_test {

// Starts WinSock 1.1 on construction and stops it on destruction.
class WinSockSession {
public:
    WinSockSession();
    ~WinSockSession();
    WinSockSession(const WinSockSession&) = delete;
    WinSockSession& operator=(const WinSockSession&) = delete;
    bool ok() const { return ok_; }

private:
    bool ok_;
};

// Runs the calling thread's message loop, dispatching every message, until pred() holds or
// timeoutMs have passed. Returns pred(). WM_QUIT ends the pump early (and is consumed).
bool PumpUntil(const std::function<bool()>& pred, DWORD timeoutMs = 5000);

// Runs the calling thread's message loop for ms milliseconds.
void PumpFor(DWORD ms);

// A hidden window on the calling thread that records every message at or above WM_USER
// (and WM_TIMER) it receives, in order. Destroyed with the object.
class RecordingWindow {
public:
    RecordingWindow();
    ~RecordingWindow();
    RecordingWindow(const RecordingWindow&) = delete;
    RecordingWindow& operator=(const RecordingWindow&) = delete;

    HWND hwnd() const { return hwnd_; }
    const std::vector<MSG>& messages() const { return messages_; }
    void clear() { messages_.clear(); }
    // Messages with this message number, in order.
    std::vector<MSG> with(UINT message) const;

    // Optional hook, called for every recorded message after it is recorded.
    std::function<void(const MSG&)> onMessage;

private:
    static LRESULT CALLBACK Proc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);
    HWND hwnd_;
    std::vector<MSG> messages_;
};

// A TCP listening socket on 127.0.0.1 with a port chosen by the system, in blocking mode, and
// helpers to connect plain blocking peers to it. For tests that need a simple peer.
SOCKET ListenLoopback(UINT& port);
SOCKET ConnectLoopback(UINT port);        // blocking connect; INVALID_SOCKET on failure

// A loopback peer that never answers a connect: a listener with a backlog of 1 that never
// accepts, its queue filled by connections of its own, so that a further SYN is dropped and a
// connect to port() stays under way until it gives up (minutes). Closed on destruction.
class SilentPeer {
public:
    SilentPeer();
    ~SilentPeer();
    SilentPeer(const SilentPeer&) = delete;
    SilentPeer& operator=(const SilentPeer&) = delete;
    bool ok() const { return listener_ != INVALID_SOCKET; }
    UINT port() const { return port_; }

private:
    SOCKET listener_;
    UINT port_;
    std::vector<SOCKET> fillers_;
};

}  // namespace talven_test
