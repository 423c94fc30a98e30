// Helpers for the WinSock and event-selection tests: connected loopback pairs, the
// notifications a RecordingWindow received for one socket, and draining a peer.
#pragma once

#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "support/test_support.h"

// <windows.h> defines the 16-bit pointer qualifiers near and far as empty macros; these tests
// name a pair's two ends so, and do not use the qualifiers.
#undef near
#undef far

namespace winsock_test {

constexpr UINT kNotify = WM_USER + 0x1B;

// A connected TCP pair over loopback: `near` is the accepted end, `far` the connecting end.
// Both start blocking. Closed on destruction unless released.
struct Pair {
    SOCKET near = INVALID_SOCKET;
    SOCKET far = INVALID_SOCKET;
    Pair() {
        UINT port = 0;
        const SOCKET listener = talven_test::ListenLoopback(port);
        if (listener == INVALID_SOCKET) return;
        far = talven_test::ConnectLoopback(port);
        near = winsock::accept(listener, nullptr, nullptr);
        winsock::closesocket(listener);
    }
    ~Pair() {
        if (near != INVALID_SOCKET) winsock::closesocket(near);
        if (far != INVALID_SOCKET) winsock::closesocket(far);
    }
    Pair(const Pair&) = delete;
    Pair& operator=(const Pair&) = delete;
    bool ok() const { return near != INVALID_SOCKET && far != INVALID_SOCKET; }
};

// (event, error) of every notification for s, in order of arrival.
inline std::vector<std::pair<int, int>> Events(const talven_test::RecordingWindow& w, SOCKET s,
                                               UINT msg = kNotify) {
    std::vector<std::pair<int, int>> out;
    for (const MSG& m : w.with(msg)) {
        if (m.wParam == s) {
            out.emplace_back(WSAGETSELECTEVENT(m.lParam), WSAGETSELECTERROR(m.lParam));
        }
    }
    return out;
}

inline int Count(const talven_test::RecordingWindow& w, SOCKET s, int event) {
    int n = 0;
    for (const auto& e : Events(w, s)) {
        if (e.first == event) ++n;
    }
    return n;
}

inline bool SendAll(SOCKET s, const std::string& bytes) {
    return winsock::send(s, bytes.data(), static_cast<int>(bytes.size()), 0) ==
           static_cast<int>(bytes.size());
}

inline winsock::sockaddr_in Loopback(UINT port) {
    winsock::sockaddr_in a;
    std::memset(&a, 0, sizeof a);
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = winsock::htonl(INADDR_LOOPBACK);
    a.sin_port = winsock::htons(static_cast<winsock::u_short>(port));
    return a;
}

// A loopback address with a port on which nothing listens (bound, then released).
inline winsock::sockaddr_in ClosedPort() {
    UINT port = 0;
    const SOCKET l = talven_test::ListenLoopback(port);
    winsock::closesocket(l);
    return Loopback(port);
}

// Binds s to 127.0.0.1:port; the WinSock error, or 0 on success.
inline int BindLoopback(SOCKET s, UINT port) {
    winsock::sockaddr_in a = Loopback(port);
    if (winsock::bind(s, reinterpret_cast<winsock::sockaddr*>(&a), sizeof a) == 0) return 0;
    return WSAGetLastError();
}

// The local port s is bound to, or 0.
inline UINT LocalPort(SOCKET s) {
    winsock::sockaddr_in a;
    int len = sizeof a;
    if (winsock::getsockname(s, reinterpret_cast<winsock::sockaddr*>(&a), &len) != 0) return 0;
    return winsock::ntohs(a.sin_port);
}

// Ends the connection of s with a reset: linger on with a zero time, then close.
inline void CloseWithReset(SOCKET& s) {
    winsock::linger abort;
    abort.l_onoff = 1;
    abort.l_linger = 0;
    winsock::setsockopt(s, SOL_SOCKET, SO_LINGER, reinterpret_cast<char*>(&abort), sizeof abort);
    winsock::closesocket(s);
    s = INVALID_SOCKET;
}

}  // namespace winsock_test
