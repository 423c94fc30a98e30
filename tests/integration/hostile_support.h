// Helpers for the fault and load tests: descriptor and heap accounting, a packet socket that
// exposes its queues, and one packet socket connected over loopback to a raw peer that the
// test drives byte by byte.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/test_support.h"
#include "support/test_system.h"

namespace talven_test {

// Whether HeapInUse sees the program's allocations. It does not when a sanitizer or valgrind
// brings its own allocator; memory checks are then left to that tool's leak report.
inline bool HeapIsMeasurable() {
    static char* volatile probe = nullptr;  // escapes, so the allocation cannot be elided
    constexpr std::size_t kProbe = 8u << 20;
    const std::uint64_t before = HeapInUse();
    probe = new char[kProbe];
    const std::uint64_t during = HeapInUse();
    delete[] probe;
    probe = nullptr;
    const bool seen = during >= before + kProbe;
    if (!seen) {
        std::printf("heap accounting unavailable here: memory checks left to the tool's leak report\n");
    }
    return seen;
}

// A packet socket whose queues and assembly buffer a test may look at.
class ExposedPacketSocket : public CQmtpSocket {
public:
    UINT BufferSize() const { return m_nRecvBufSize; }
    UINT Held() const { return m_nRecvLen; }
    int ReceivedQueued() const { return m_RecvList.GetCount(); }
    int SendQueued() {
        Lock();
        const int n = m_SendList.GetCount();
        Unlock();
        return n;
    }
    std::uint64_t BytesRead() const { return bytesRead_; }

    int Receive(void* buffer, int length, int flags) override {
        const int n = CQmtpSocket::Receive(buffer, length, flags);
        if (n > 0) {
            bytesRead_ += static_cast<std::uint64_t>(n);
        }
        return n;
    }

private:
    std::uint64_t bytesRead_ = 0;
};

// Takes every queued packet of `sock`, releasing each buffer as an application does.
inline std::vector<std::string> TakePackets(CQmtpSocket& sock) {
    std::vector<std::string> out;
    for (;;) {
        char* data = nullptr;
        int len = 0;
        sock.ReadData(data, len);
        if (data == nullptr) {
            return out;
        }
        out.emplace_back(data, static_cast<std::size_t>(len));
        ::operator delete(data);
    }
}

// A 4-byte big-endian length field, and a whole frame.
inline std::string Header(std::uint32_t n) {
    return std::string{static_cast<char>(n >> 24), static_cast<char>(n >> 16), static_cast<char>(n >> 8),
                       static_cast<char>(n)};
}

inline std::string Frame(const std::string& payload) {
    return Header(static_cast<std::uint32_t>(payload.size())) + payload;
}

// Sends all of `bytes` on a raw socket while the calling thread keeps serving its messages, so
// that a packet socket on this thread can read what it is sent. The socket is left
// non-blocking. False on an error or when `timeoutMs` pass first.
inline bool PumpSend(SOCKET s, const std::string& bytes, DWORD timeoutMs = 20000) {
    winsock::u_long on = 1;
    winsock::ioctlsocket(s, FIONBIO, &on);
    const DWORD start = GetTickCount();
    std::size_t done = 0;
    while (done < bytes.size()) {
        const int n = winsock::send(s, bytes.data() + done, static_cast<int>(bytes.size() - done), 0);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
            continue;
        }
        if (n == 0 || WSAGetLastError() != WSAEWOULDBLOCK || GetTickCount() - start > timeoutMs) {
            return false;
        }
        PumpFor(2);
    }
    return true;
}

// Receives exactly `n` bytes on a raw socket while serving the thread's messages; fewer on an
// error, a close or a timeout. The socket is left non-blocking.
inline std::string PumpReceive(SOCKET s, std::size_t n, DWORD timeoutMs = 20000) {
    winsock::u_long on = 1;
    winsock::ioctlsocket(s, FIONBIO, &on);
    const DWORD start = GetTickCount();
    std::string out;
    std::vector<char> buf(65536);
    while (out.size() < n) {
        const int want = static_cast<int>(std::min(buf.size(), n - out.size()));
        const int got = winsock::recv(s, buf.data(), want, 0);
        if (got > 0) {
            out.append(buf.data(), static_cast<std::size_t>(got));
            continue;
        }
        if (got == 0 || WSAGetLastError() != WSAEWOULDBLOCK || GetTickCount() - start > timeoutMs) {
            break;
        }
        PumpFor(2);
    }
    return out;
}

// Resets a raw connection: SO_LINGER with a zero timeout, then close.
inline void ResetAndClose(SOCKET s) {
    winsock::linger lg;
    lg.l_onoff = 1;
    lg.l_linger = 0;
    winsock::setsockopt(s, SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&lg), sizeof lg);
    winsock::closesocket(s);
}

constexpr UINT kAppMsg = WM_USER + 7;

// One packet socket (the library's side) connected over loopback to a raw blocking peer (the
// hostile side), with its notification window and an application window that records the
// notification codes.
class PacketLink {
public:
    PacketLink() {
        notify_.Create(nullptr);
        UINT port = 0;
        listener_ = ListenLoopback(port);
        if (listener_ == INVALID_SOCKET || !sock.Create(notify_.GetSafeHwnd())) {
            return;
        }
        SendMessageA(notify_.GetSafeHwnd(), WM_SOCKET_ADD_MAP, 0, reinterpret_cast<LPARAM>(&sock));
        sock.SetNotifyHandle(app.hwnd(), kAppMsg);
        if (!sock.Connect("127.0.0.1", port)) {
            return;
        }
        peer = winsock::accept(listener_, nullptr, nullptr);
        connected_ = peer != INVALID_SOCKET &&
                     PumpUntil([this] { return !Codes(TP_NOTIFY_CONNECT).empty(); });
        BOOL on = TRUE;
        winsock::setsockopt(peer, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof on);
        app.clear();
    }

    ~PacketLink() {
        if (sock.m_hSocket != INVALID_SOCKET) {
            SendMessageA(notify_.GetSafeHwnd(), WM_SOCKET_REMOVE_MAP, 0, reinterpret_cast<LPARAM>(&sock));
        }
        if (peer != INVALID_SOCKET) {
            winsock::closesocket(peer);
        }
        if (listener_ != INVALID_SOCKET) {
            winsock::closesocket(listener_);
        }
    }

    PacketLink(const PacketLink&) = delete;
    PacketLink& operator=(const PacketLink&) = delete;

    bool connected() const { return connected_; }
    HWND notifyWnd() const { return notify_.GetSafeHwnd(); }

    // The notification codes received so far, in order; with a code, only those.
    std::vector<WPARAM> Codes(WPARAM only = 0) const {
        std::vector<WPARAM> out;
        for (const MSG& m : app.with(kAppMsg)) {
            if (only == 0 || m.wParam == only) {
                out.push_back(m.wParam);
            }
        }
        return out;
    }

    bool closed() const { return !Codes(TP_NOTIFY_CLOSE).empty(); }

    WinSockSession session;
    RecordingWindow app;
    ExposedPacketSocket sock;
    SOCKET peer = INVALID_SOCKET;

private:
    CQmSocketNotifyWnd notify_;
    SOCKET listener_ = INVALID_SOCKET;
    bool connected_ = false;
};

}  // namespace talven_test
