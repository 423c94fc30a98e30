// Helpers for the packet socket tests: a socket class that opens the protected state, frame
// building, a peer reader with a deadline, and a connected socket over loopback.
#pragma once

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/winsock/winsock_seam.h"
#include "support/test_support.h"

namespace packet_test {

const UINT kAppMsg = WM_APP + 1;

class ProbeSocket : public CQmtpSocket {
public:
    using CQmtpSocket::AddPacketSize;
    using CQmtpSocket::RemoveAllPacket;
    using CQmtpSocket::SendPacket;
    using CQmtpSocket::ReadPacket;
    using CQmtpSocket::ReadPacketPure;
    using CQmtpSocket::m_hAppWnd;
    using CQmtpSocket::m_nAppMsg;
    using CQmtpSocket::m_tLastReceive;
    using CQmtpSocket::m_szMemberId;
    using CQmtpSocket::m_SendList;
    using CQmtpSocket::m_RecvList;
    using CQmtpSocket::m_pRecvBuf;
    using CQmtpSocket::m_nRecvLen;
    using CQmtpSocket::m_nRecvBufSize;
    using CQmtpSocket::m_nPacketLen;
    using CQmtpSocket::m_pRecvLarge;
    using CQmtpSocket::m_nRecvLargeLen;
    using CQmtpSocket::m_nRecvLargeCap;
    using CQmtpSocket::m_csLock;
    using CQmtpSocket::Lock;
    using CQmtpSocket::Unlock;

    void Close() override {
        ++closeCalls;
        CQmtpSocket::Close();
    }
    int closeCalls = 0;
};

// Ends the test executable with a message unless its scope is left within `ms`: for a test
// whose failure is a hang (a deadlock) that nothing inside the test could end.
class HangWatchdog {
public:
    HangWatchdog(DWORD ms, const char* what)
        : thread_([this, ms, what] {
              std::unique_lock<std::mutex> hold(lock_);
              if (!done_.wait_for(hold, std::chrono::milliseconds(ms), [this] { return left_; })) {
                  std::fprintf(stderr, "hang: %s\n", what);
                  std::abort();
              }
          }) {}
    ~HangWatchdog() {
        {
            std::lock_guard<std::mutex> hold(lock_);
            left_ = true;
        }
        done_.notify_one();
        thread_.join();
    }
    HangWatchdog(const HangWatchdog&) = delete;
    HangWatchdog& operator=(const HangWatchdog&) = delete;

private:
    std::mutex lock_;
    std::condition_variable done_;
    bool left_ = false;
    std::thread thread_;  // last: starts once the members it uses exist
};

inline std::string LengthField(UINT len) {
    std::string s(4, '\0');
    s[0] = static_cast<char>(len >> 24);
    s[1] = static_cast<char>(len >> 16);
    s[2] = static_cast<char>(len >> 8);
    s[3] = static_cast<char>(len);
    return s;
}

// The big-endian length field at `at` in a stream of frames.
inline size_t LengthFieldAt(const std::string& stream, size_t at) {
    size_t len = 0;
    for (size_t i = 0; i < 4; ++i) {
        len = (len << 8) | static_cast<unsigned char>(stream[at + i]);
    }
    return len;
}

inline std::string Frame(const std::string& payload) {
    return LengthField(static_cast<UINT>(payload.size())) + payload;
}

// n bytes that differ from packet to packet (seed) and from byte to byte.
inline std::string Payload(size_t n, unsigned seed) {
    std::string s(n, '\0');
    unsigned x = seed * 2654435761u + 1;
    for (size_t i = 0; i < n; ++i) {
        x = x * 1103515245u + 12345u;
        s[i] = static_cast<char>(x >> 16);
    }
    return s;
}

inline std::vector<std::string> Contents(CTypedPtrList<CPtrList, CPacketData*>& list) {
    std::vector<std::string> out;
    POSITION pos = list.GetHeadPosition();
    while (pos != nullptr) {
        CPacketData* rec = list.GetNext(pos);
        out.emplace_back(rec->m_pData, static_cast<size_t>(rec->m_nLen));
    }
    return out;
}

// Runs the calling thread's queued messages until none is left.
inline void DrainQueue() {
    MSG msg;
    while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
        TranslateMessage(&msg);
        DispatchMessageA(&msg);
    }
}

// The notification codes that `wnd` has received with message kAppMsg, in order.
inline std::vector<WPARAM> Codes(const talven_test::RecordingWindow& wnd) {
    std::vector<WPARAM> out;
    for (const MSG& m : wnd.with(kAppMsg)) {
        out.push_back(m.wParam);
    }
    return out;
}

// Reads from a peer socket until `n` bytes have come (true) or the deadline passes, the peer
// closes or an error occurs (false). Switches the socket to non-blocking mode.
inline bool RecvExactly(SOCKET s, size_t n, std::string& out, DWORD timeoutMs = 10000) {
    winsock::u_long on = 1;
    winsock::ioctlsocket(s, FIONBIO, &on);
    const DWORD start = GetTickCount();
    std::vector<char> buf(65536);
    while (out.size() < n) {
        const int want = static_cast<int>(std::min(buf.size(), n - out.size()));
        const int r = winsock::recv(s, buf.data(), want, 0);
        if (r > 0) {
            out.append(buf.data(), static_cast<size_t>(r));
        } else if (r == SOCKET_ERROR && WSAGetLastError() == WSAEWOULDBLOCK) {
            if (GetTickCount() - start > timeoutMs) {
                return false;
            }
            Sleep(1);
        } else {
            return false;
        }
    }
    return true;
}

// Appends whatever is waiting on the peer now, without waiting.
inline void ReadAvailable(SOCKET s, std::string& out) {
    winsock::u_long on = 1;
    winsock::ioctlsocket(s, FIONBIO, &on);
    char buf[65536];
    int r;
    while ((r = winsock::recv(s, buf, sizeof buf, 0)) > 0) {
        out.append(buf, static_cast<size_t>(r));
    }
}

// How a peer's reading ended.
struct StreamEnd {
    std::string bytes;
    int error = -1;  // 0: an orderly close; else the WinSock code; -1: still open at the deadline
};

inline StreamEnd ReadToEnd(SOCKET s, DWORD timeoutMs = 30000) {
    StreamEnd end;
    winsock::u_long on = 1;
    winsock::ioctlsocket(s, FIONBIO, &on);
    std::vector<char> buf(1 << 16);
    const DWORD start = GetTickCount();
    for (;;) {
        const int r = winsock::recv(s, buf.data(), static_cast<int>(buf.size()), 0);
        if (r > 0) {
            end.bytes.append(buf.data(), static_cast<size_t>(r));
        } else if (r == 0) {
            end.error = 0;
            return end;
        } else if (WSAGetLastError() != WSAEWOULDBLOCK) {
            end.error = WSAGetLastError();
            return end;
        } else if (GetTickCount() - start > timeoutMs) {
            return end;
        } else {
            Sleep(1);
        }
    }
}

// True when nothing is waiting on the (non-blocking) peer.
inline bool NothingWaiting(SOCKET s) {
    char c;
    return winsock::recv(s, &c, 1, 0) == SOCKET_ERROR && WSAGetLastError() == WSAEWOULDBLOCK;
}

// A packet socket connected over loopback to a plain blocking peer. A recording window is
// both its notification window (the events are recorded, not dispatched: a test drives the
// handlers itself) and its application window.
class ConnectedProbe {
public:
    ConnectedProbe() {
        UINT port = 0;
        listener_ = talven_test::ListenLoopback(port);
        if (listener_ == INVALID_SOCKET || !sock.Create(wnd.hwnd()) ||
            !sock.SetNotifyHandle(wnd.hwnd(), kAppMsg) || !sock.Connect("127.0.0.1", port)) {
            return;
        }
        peer = winsock::accept(listener_, nullptr, nullptr);
        const SOCKET handle = sock.m_hSocket;
        ok = peer != INVALID_SOCKET && talven_test::PumpUntil([&] {
                 for (const MSG& m : wnd.with(WM_SOCKET_NOTIFY)) {
                     if (m.wParam == handle && LOWORD(m.lParam) == FD_CONNECT) {
                         return true;
                     }
                 }
                 return false;
             });
        wnd.clear();
    }
    ~ConnectedProbe() {
        if (peer != INVALID_SOCKET) {
            winsock::closesocket(peer);
        }
        if (listener_ != INVALID_SOCKET) {
            winsock::closesocket(listener_);
        }
    }
    ConnectedProbe(const ConnectedProbe&) = delete;
    ConnectedProbe& operator=(const ConnectedProbe&) = delete;

    talven_test::WinSockSession session;
    talven_test::RecordingWindow wnd;
    ProbeSocket sock;
    SOCKET peer = INVALID_SOCKET;
    bool ok = false;

private:
    SOCKET listener_ = INVALID_SOCKET;
};

}  // namespace packet_test
