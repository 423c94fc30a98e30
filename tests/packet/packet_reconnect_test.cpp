// The packet socket's reconnect with backoff and its connect timeout, over loopback with a real
// notification window, and the backoff's delays.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "packet/ReconnectState.h"
#include "tests/packet/packet_test_util.h"

namespace {

using packet_test::Frame;
using packet_test::kAppMsg;
using talven_test::PumpFor;
using talven_test::PumpUntil;

// A blocking listener on 127.0.0.1:port (0: any port; `port` then tells which).
SOCKET ListenOn(UINT& port) {
    SOCKET s = winsock::socket(AF_INET, SOCK_STREAM, 0);
    winsock::sockaddr_in addr;
    std::memset(&addr, 0, sizeof addr);
    addr.sin_family = AF_INET;
    addr.sin_port = winsock::htons(static_cast<winsock::u_short>(port));
    addr.sin_addr.s_addr = winsock::htonl(INADDR_LOOPBACK);
    int len = sizeof addr;
    if (winsock::bind(s, reinterpret_cast<winsock::sockaddr*>(&addr), sizeof addr) == SOCKET_ERROR ||
        winsock::listen(s, 8) == SOCKET_ERROR ||
        winsock::getsockname(s, reinterpret_cast<winsock::sockaddr*>(&addr), &len) == SOCKET_ERROR) {
        winsock::closesocket(s);
        return INVALID_SOCKET;
    }
    port = winsock::ntohs(addr.sin_port);
    return s;
}

// Closes with a reset, so the server leaves no TIME_WAIT behind on its port.
void Abort(SOCKET s) {
    winsock::linger l;
    l.l_onoff = 1;
    l.l_linger = 0;
    winsock::setsockopt(s, SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&l), sizeof l);
    winsock::closesocket(s);
}

// One notification as the application saw it: the code and GetErrorCode() when it arrived.
using Note = std::pair<WPARAM, int>;

class PacketReconnect : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(session_.ok());
        ASSERT_TRUE(notify_.Create(nullptr));
        app_.onMessage = [this](const MSG& m) {
            if (m.message == kAppMsg) notes_.emplace_back(m.wParam, sock_.GetErrorCode());
        };
        ASSERT_TRUE(sock_.Create(notify_.GetSafeHwnd()));
        ASSERT_EQ(SendMessageA(notify_.GetSafeHwnd(), WM_SOCKET_ADD_MAP, 0,
                               reinterpret_cast<LPARAM>(&sock_)), 1);
        ASSERT_TRUE(sock_.SetNotifyHandle(app_.hwnd(), kAppMsg));
    }
    void TearDown() override {
        SendMessageA(notify_.GetSafeHwnd(), WM_SOCKET_REMOVE_MAP, 0, reinterpret_cast<LPARAM>(&sock_));
        sock_.Close();
    }
    int Count(WPARAM code, int error) const {
        int n = 0;
        for (const Note& note : notes_) n += note == Note(code, error) ? 1 : 0;
        return n;
    }
    // A port where nothing listens now.
    static UINT FreePort() {
        UINT port = 0;
        winsock::closesocket(ListenOn(port));
        return port;
    }
    bool Send(const std::string& payload) {
        std::string copy = payload;
        sock_.Send(&copy[0], static_cast<int>(copy.size()));
        return true;
    }
    // Accepts one connection, pumping the loop while it waits.
    SOCKET AcceptPumping(SOCKET listener) {
        winsock::u_long on = 1;
        winsock::ioctlsocket(listener, FIONBIO, &on);
        SOCKET got = INVALID_SOCKET;
        PumpUntil([&] { return (got = winsock::accept(listener, nullptr, nullptr)) != INVALID_SOCKET; },
                  10000);
        return got;
    }
    // Reads n bytes, pumping the loop (the socket's flush runs there).
    bool ReadPumping(SOCKET peer, size_t n, std::string& out) {
        PumpUntil([&] {
            packet_test::ReadAvailable(peer, out);
            return out.size() >= n;
        }, 10000);
        return out.size() == n;
    }

    talven_test::WinSockSession session_;
    CQmSocketNotifyWnd notify_;
    talven_test::RecordingWindow app_;
    std::vector<Note> notes_;
    CQmtpSocket sock_;
};

TEST_F(PacketReconnect, ServerThatComesBackReceivesWhatWasSentWhileAway) {
    UINT port = 0;
    SOCKET listener = ListenOn(port);
    ASSERT_NE(listener, INVALID_SOCKET);
    sock_.SetReconnect(20, 80, 0);
    ASSERT_EQ(sock_.Connect("127.0.0.1", port), 1);
    ASSERT_TRUE(PumpUntil([&] { return Count(TP_NOTIFY_CONNECT, 0) == 1; }));
    SOCKET first = AcceptPumping(listener);
    ASSERT_NE(first, INVALID_SOCKET);
    Send("before");
    std::string got;
    ASSERT_TRUE(ReadPumping(first, Frame("before").size(), got));

    // The server goes away.
    Abort(first);
    winsock::closesocket(listener);
    ASSERT_TRUE(PumpUntil([&] { return !notes_.empty() && notes_.back().first == TP_NOTIFY_CLOSE; }));
    EXPECT_TRUE(sock_.IsReconnecting());
    Send("while");
    Send("away");
    EXPECT_GT(sock_.GetSendQueueBytes(), 0u);
    // Attempts fail, each reported with its error.
    ASSERT_TRUE(PumpUntil([&] { return Count(TP_NOTIFY_CONNECT, WSAECONNREFUSED) >= 3; }));
    EXPECT_TRUE(sock_.IsReconnecting());

    // It comes back on the same port: the socket reconnects and the queue goes out whole.
    listener = ListenOn(port);
    ASSERT_NE(listener, INVALID_SOCKET);
    SOCKET second = AcceptPumping(listener);
    ASSERT_NE(second, INVALID_SOCKET);
    got.clear();
    const std::string expected = Frame("while") + Frame("away");
    ASSERT_TRUE(ReadPumping(second, expected.size(), got));
    EXPECT_EQ(got, expected);
    ASSERT_TRUE(PumpUntil([&] { return Count(TP_NOTIFY_CONNECT, 0) == 2; }));
    EXPECT_EQ(sock_.GetSendQueueBytes(), 0u);
    EXPECT_FALSE(sock_.IsReconnecting());
    // The close came first, then only connect reports until the new connection.
    size_t closeAt = 0;
    while (closeAt < notes_.size() && notes_[closeAt].first != TP_NOTIFY_CLOSE) ++closeAt;
    ASSERT_LT(closeAt, notes_.size());
    for (size_t i = closeAt + 1; i < notes_.size(); ++i) {
        if (notes_[i] == Note(TP_NOTIFY_CONNECT, 0)) break;
        EXPECT_EQ(notes_[i], Note(TP_NOTIFY_CONNECT, WSAECONNREFUSED)) << i;
    }
    Abort(second);
    winsock::closesocket(listener);
}

TEST_F(PacketReconnect, MaxTriesStopsIt) {
    const UINT port = FreePort();
    sock_.SetReconnect(10, 20, 3);
    ASSERT_EQ(sock_.Connect("127.0.0.1", port), 1);
    // The first connect and three attempts fail; then it gives up, holding no socket.
    ASSERT_TRUE(PumpUntil([&] { return Count(TP_NOTIFY_CONNECT, WSAECONNREFUSED) == 4; }));
    PumpFor(300);
    EXPECT_EQ(notes_.size(), 4u);
    EXPECT_FALSE(sock_.IsReconnecting());
    EXPECT_EQ(sock_.m_hSocket, INVALID_SOCKET);
}

TEST_F(PacketReconnect, CloseDuringAWaitStopsItAndItIsOffByDefault) {
    UINT port = FreePort();
    sock_.SetReconnect(300, 300, 0);
    ASSERT_EQ(sock_.Connect("127.0.0.1", port), 1);
    ASSERT_TRUE(PumpUntil([&] { return Count(TP_NOTIFY_CONNECT, WSAECONNREFUSED) == 1; }));
    ASSERT_TRUE(sock_.IsReconnecting());
    sock_.Close();
    EXPECT_FALSE(sock_.IsReconnecting());
    SOCKET listener = ListenOn(port);  // a server now would be found, were it still trying
    ASSERT_NE(listener, INVALID_SOCKET);
    PumpFor(700);
    EXPECT_EQ(notes_.size(), 1u);
    winsock::u_long on = 1;
    winsock::ioctlsocket(listener, FIONBIO, &on);
    EXPECT_EQ(winsock::accept(listener, nullptr, nullptr), INVALID_SOCKET);
    winsock::closesocket(listener);

    // Without SetReconnect a failed connect is reported once and the socket stays open.
    CQmtpSocket plain;
    ASSERT_TRUE(plain.Create(notify_.GetSafeHwnd()));
    SendMessageA(notify_.GetSafeHwnd(), WM_SOCKET_ADD_MAP, 0, reinterpret_cast<LPARAM>(&plain));
    plain.SetNotifyHandle(app_.hwnd(), kAppMsg + 1);
    ASSERT_EQ(plain.Connect("127.0.0.1", FreePort()), 1);
    ASSERT_TRUE(PumpUntil([&] { return !app_.with(kAppMsg + 1).empty(); }));
    PumpFor(200);
    EXPECT_EQ(app_.with(kAppMsg + 1).size(), 1u);
    EXPECT_FALSE(plain.IsReconnecting());
    EXPECT_NE(plain.m_hSocket, INVALID_SOCKET);
    SendMessageA(notify_.GetSafeHwnd(), WM_SOCKET_REMOVE_MAP, 0, reinterpret_cast<LPARAM>(&plain));
}

TEST_F(PacketReconnect, ConnectTimeoutReportsTimedOutOnEveryAttempt) {
    talven_test::SilentPeer silent;
    ASSERT_TRUE(silent.ok());
    sock_.SetConnectTimeout(150);
    sock_.SetReconnect(10, 10, 1);
    ASSERT_EQ(sock_.Connect("127.0.0.1", silent.port()), 1);
    ASSERT_TRUE(PumpUntil([&] { return Count(TP_NOTIFY_CONNECT, WSAETIMEDOUT) == 2; }));
    PumpFor(300);
    EXPECT_EQ(notes_, (std::vector<Note>{{TP_NOTIFY_CONNECT, 10060}, {TP_NOTIFY_CONNECT, 10060}}));
    EXPECT_EQ(sock_.m_hSocket, INVALID_SOCKET);
}

// A sender thread keeps sending while attempts time out, close and make new sockets: every
// packet stays queued whole, and no write meets a handle being closed or made (the thread
// sanitizer watches the handle).
TEST_F(PacketReconnect, SenderThreadMeetsTimeoutsAndNewSockets) {
    talven_test::SilentPeer silent;
    ASSERT_TRUE(silent.ok());
    sock_.SetConnectTimeout(30);
    sock_.SetReconnect(5, 5, 4);
    ASSERT_EQ(sock_.Connect("127.0.0.1", silent.port()), 1);
    std::atomic<bool> stop{false};
    int sent = 0;
    std::thread sender([&] {
        while (!stop.load()) {
            char payload[] = "queued";
            sock_.Send(payload, 6);
            ++sent;
            std::this_thread::yield();
        }
    });
    const bool ended = PumpUntil([&] { return Count(TP_NOTIFY_CONNECT, WSAETIMEDOUT) == 5; });
    stop.store(true);
    sender.join();
    ASSERT_TRUE(ended);
    EXPECT_EQ(sock_.GetSendQueueBytes(), static_cast<size_t>(sent) * Frame("queued").size());
}

TEST(ReconnectDelay, DoublesUpToTheBoundLessAQuarterAtMost) {
    struct Case {
        UINT tries, initial, max;
        double jitter;
        UINT expected;
    } cases[] = {
        {0, 100, 1000, 0.0, 100},
        {1, 100, 1000, 0.0, 200},
        {3, 100, 1000, 0.0, 800},
        {4, 100, 1000, 0.0, 1000},
        {1000, 100, 1000, 0.0, 1000},  // no overflow however long it has tried
        {0, 100, 1000, 1.0, 75},
        {2, 100, 1000, 0.5, 350},
        {1, 0x80000000u, 0xFFFFFFFFu, 0.0, 0xFFFFFFFFu},
        {5, 300, 300, 0.0, 300},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(QmReconnectDelay(c.tries, c.initial, c.max, c.jitter), c.expected)
            << c.tries << " " << c.initial << " " << c.max << " " << c.jitter;
    }
}

}  // namespace
