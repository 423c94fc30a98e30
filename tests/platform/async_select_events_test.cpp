// WinSock's event rules for WSAAsyncSelect over real loopback sockets.
#include <gtest/gtest.h>

#include <string>

#include "platform/winsock/winsock.h"
#include "support/test_support.h"
#include "support/test_system.h"
#include "tests/platform/winsock_test_helpers.h"

using talven_test::PumpFor;
using talven_test::PumpUntil;
using talven_test::RecordingWindow;
using winsock_test::Count;
using winsock_test::Events;
using winsock_test::kNotify;
using winsock_test::Pair;
using winsock_test::SendAll;

namespace {

class AsyncSelectEvents : public ::testing::Test {
protected:
    talven_test::WinSockSession session_;
    RecordingWindow window_;
    void SetUp() override { ASSERT_TRUE(session_.ok()); }
};

TEST_F(AsyncSelectEvents, ReadEventIsPostedAgainOnlyAfterARecvThatLeavesData) {
    Pair p;
    ASSERT_TRUE(p.ok());
    ASSERT_EQ(WSAAsyncSelect(p.near, window_.hwnd(), kNotify, FD_READ), 0);
    ASSERT_TRUE(SendAll(p.far, std::string(100, 'a')));
    ASSERT_TRUE(PumpUntil([&] { return Count(window_, p.near, FD_READ) == 1; }));
    // More data while FD_READ is outstanding posts nothing new.
    ASSERT_TRUE(SendAll(p.far, std::string(100, 'b')));
    PumpFor(100);
    EXPECT_EQ(Count(window_, p.near, FD_READ), 1);

    char buf[256];
    ASSERT_EQ(winsock::recv(p.near, buf, 50, 0), 50);  // leaves 150 bytes
    ASSERT_TRUE(PumpUntil([&] { return Count(window_, p.near, FD_READ) == 2; }));
    ASSERT_EQ(winsock::recv(p.near, buf, sizeof buf, 0), 150);  // drains
    PumpFor(100);
    EXPECT_EQ(Count(window_, p.near, FD_READ), 2);

    // Once re-enabled by that recv, the next arrival is announced again.
    ASSERT_TRUE(SendAll(p.far, "c"));
    ASSERT_TRUE(PumpUntil([&] { return Count(window_, p.near, FD_READ) == 3; }));
    for (const auto& e : Events(window_, p.near)) {
        EXPECT_EQ(e.second, 0);
    }
}

TEST_F(AsyncSelectEvents, DataAlreadyWaitingIsAnnouncedAtSelection) {
    Pair p;
    ASSERT_TRUE(p.ok());
    ASSERT_TRUE(SendAll(p.far, "early"));
    char buf[8];
    ASSERT_EQ(winsock::recv(p.near, buf, 1, MSG_PEEK), 1);  // the bytes have arrived
    ASSERT_EQ(WSAAsyncSelect(p.near, window_.hwnd(), kNotify, FD_READ), 0);
    ASSERT_TRUE(PumpUntil([&] { return Count(window_, p.near, FD_READ) == 1; }));
}

TEST_F(AsyncSelectEvents, SelectionMakesTheSocketNonBlocking) {
    Pair p;
    ASSERT_TRUE(p.ok());
    ASSERT_EQ(WSAAsyncSelect(p.near, window_.hwnd(), kNotify, FD_READ), 0);
    char buf[8];
    EXPECT_EQ(winsock::recv(p.near, buf, sizeof buf, 0), SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSAEWOULDBLOCK);
    // And it cannot be made blocking again while selected, as in WinSock.
    winsock::u_long blocking = 0;
    EXPECT_EQ(winsock::ioctlsocket(p.near, FIONBIO, &blocking), SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSAEINVAL);
}

TEST_F(AsyncSelectEvents, ConnectSucceedsThenWriteIsPostedOnceUntilAWouldBlock) {
    UINT port = 0;
    const SOCKET listener = talven_test::ListenLoopback(port);
    ASSERT_NE(listener, INVALID_SOCKET);
    const SOCKET c = winsock::socket(AF_INET, SOCK_STREAM, 0);
    int small = 4096;
    ASSERT_EQ(winsock::setsockopt(c, SOL_SOCKET, SO_SNDBUF, reinterpret_cast<char*>(&small),
                                  sizeof small), 0);
    ASSERT_EQ(WSAAsyncSelect(c, window_.hwnd(), kNotify, FD_CONNECT | FD_WRITE | FD_READ), 0);
    winsock::sockaddr_in to = winsock_test::ClosedPort();
    to.sin_port = winsock::htons(static_cast<winsock::u_short>(port));
    const int r = winsock::connect(c, reinterpret_cast<winsock::sockaddr*>(&to), sizeof to);
    if (r == SOCKET_ERROR) {
        ASSERT_EQ(WSAGetLastError(), WSAEWOULDBLOCK);
    }
    ASSERT_TRUE(PumpUntil([&] { return Count(window_, c, FD_WRITE) == 1; }));
    const auto events = Events(window_, c);
    ASSERT_GE(events.size(), 2u);
    EXPECT_EQ(events[0], std::make_pair(FD_CONNECT, 0));
    EXPECT_EQ(events[1], std::make_pair(FD_WRITE, 0));
    EXPECT_EQ(Count(window_, c, FD_CONNECT), 1);

    const SOCKET peer = winsock::accept(listener, nullptr, nullptr);
    ASSERT_NE(peer, INVALID_SOCKET);

    // A send that succeeds earns no FD_WRITE.
    ASSERT_TRUE(SendAll(c, "hello"));
    PumpFor(100);
    EXPECT_EQ(Count(window_, c, FD_WRITE), 1);

    // Fill the connection until WinSock says it would block.
    const std::string chunk(4096, 'x');
    long sent = 5;
    int wouldBlock = 0;
    for (int i = 0; i < 10000 && wouldBlock == 0; ++i) {
        const int n = winsock::send(c, chunk.data(), static_cast<int>(chunk.size()), 0);
        if (n == SOCKET_ERROR) {
            ASSERT_EQ(WSAGetLastError(), WSAEWOULDBLOCK);
            wouldBlock = 1;
        } else {
            sent += n;
        }
    }
    ASSERT_EQ(wouldBlock, 1);
    EXPECT_EQ(Count(window_, c, FD_WRITE), 1);
    // The peer reads everything: the socket can take data again and FD_WRITE comes once more.
    std::string buf(65536, '\0');
    for (long got = 0; got < sent;) {
        const int n = winsock::recv(peer, &buf[0], static_cast<int>(buf.size()), 0);
        ASSERT_GT(n, 0);
        got += n;
    }
    ASSERT_TRUE(PumpUntil([&] { return Count(window_, c, FD_WRITE) == 2; }));
    PumpFor(50);
    EXPECT_EQ(Count(window_, c, FD_WRITE), 2);
    winsock::closesocket(peer);
    winsock::closesocket(c);
    winsock::closesocket(listener);
}

TEST_F(AsyncSelectEvents, ConnectToAClosedPortReportsRefusalThroughConnectEventOnly) {
    const SOCKET c = winsock::socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_EQ(WSAAsyncSelect(c, window_.hwnd(), kNotify, FD_CONNECT | FD_WRITE | FD_CLOSE | FD_READ), 0);
    winsock::sockaddr_in to = winsock_test::ClosedPort();
    ASSERT_EQ(winsock::connect(c, reinterpret_cast<winsock::sockaddr*>(&to), sizeof to), SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSAEWOULDBLOCK);
    ASSERT_TRUE(PumpUntil([&] { return Count(window_, c, FD_CONNECT) == 1; }));
    PumpFor(100);
    const auto events = Events(window_, c);
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0], std::make_pair(FD_CONNECT, WSAECONNREFUSED));
    winsock::closesocket(c);
}

TEST_F(AsyncSelectEvents, AcceptIsReenabledByAcceptAndAcceptedSocketsInheritTheSelection) {
    UINT port = 0;
    const SOCKET listener = talven_test::ListenLoopback(port);
    ASSERT_NE(listener, INVALID_SOCKET);
    ASSERT_EQ(WSAAsyncSelect(listener, window_.hwnd(), kNotify, FD_ACCEPT | FD_READ | FD_WRITE), 0);
    const SOCKET c1 = talven_test::ConnectLoopback(port);
    const SOCKET c2 = talven_test::ConnectLoopback(port);
    ASSERT_TRUE(PumpUntil([&] { return Count(window_, listener, FD_ACCEPT) == 1; }));
    PumpFor(100);
    EXPECT_EQ(Count(window_, listener, FD_ACCEPT), 1);  // outstanding until accept

    const SOCKET a1 = winsock::accept(listener, nullptr, nullptr);
    ASSERT_NE(a1, INVALID_SOCKET);
    ASSERT_TRUE(PumpUntil([&] { return Count(window_, listener, FD_ACCEPT) == 2; }));
    const SOCKET a2 = winsock::accept(listener, nullptr, nullptr);
    ASSERT_NE(a2, INVALID_SOCKET);
    PumpFor(100);
    EXPECT_EQ(Count(window_, listener, FD_ACCEPT), 2);  // nothing left to accept

    // The accepted socket reports to the same window with the same message and events, and it
    // is non-blocking.
    ASSERT_TRUE(PumpUntil([&] { return Count(window_, a1, FD_WRITE) == 1; }));
    char buf[8];
    EXPECT_EQ(winsock::recv(a1, buf, sizeof buf, 0), SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSAEWOULDBLOCK);
    ASSERT_TRUE(SendAll(c1, "x"));
    ASSERT_TRUE(PumpUntil([&] { return Count(window_, a1, FD_READ) == 1; }));
    EXPECT_EQ(Count(window_, a1, FD_ACCEPT), 0);

    // With nothing pending, accept fails with WSAEWOULDBLOCK (the listener is non-blocking).
    EXPECT_EQ(winsock::accept(listener, nullptr, nullptr), INVALID_SOCKET);
    EXPECT_EQ(WSAGetLastError(), WSAEWOULDBLOCK);
    for (SOCKET s : {a1, a2, c1, c2, listener}) winsock::closesocket(s);
}

TEST_F(AsyncSelectEvents, GracefulCloseIsPostedOnceWithNoError) {
    Pair p;
    ASSERT_TRUE(p.ok());
    ASSERT_EQ(WSAAsyncSelect(p.near, window_.hwnd(), kNotify, FD_READ | FD_CLOSE), 0);
    winsock::closesocket(p.far);
    p.far = INVALID_SOCKET;
    ASSERT_TRUE(PumpUntil([&] { return Count(window_, p.near, FD_CLOSE) == 1; }));
    PumpFor(100);
    const auto events = Events(window_, p.near);
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0], std::make_pair(FD_CLOSE, 0));
}

TEST_F(AsyncSelectEvents, CloseComesOnlyAfterTheLastByteHasBeenRead) {
    Pair p;
    ASSERT_TRUE(p.ok());
    // The data and the close arrive together, before any event is handled.
    ASSERT_TRUE(SendAll(p.far, std::string(3000, 'd')));
    winsock::closesocket(p.far);
    p.far = INVALID_SOCKET;
    int readAtClose = -1;
    int total = 0;
    window_.onMessage = [&](const MSG& m) {
        if (m.message != kNotify) return;
        if (WSAGETSELECTEVENT(m.lParam) == FD_READ) {
            char buf[1000];  // a reader that takes less than is there each time
            const int n = winsock::recv(p.near, buf, sizeof buf, 0);
            if (n > 0) total += n;
        } else if (WSAGETSELECTEVENT(m.lParam) == FD_CLOSE) {
            readAtClose = total;
        }
    };
    ASSERT_EQ(WSAAsyncSelect(p.near, window_.hwnd(), kNotify, FD_READ | FD_CLOSE), 0);
    ASSERT_TRUE(PumpUntil([&] { return readAtClose >= 0; }));
    PumpFor(100);
    EXPECT_EQ(readAtClose, 3000);
    const auto events = Events(window_, p.near);
    ASSERT_FALSE(events.empty());
    EXPECT_EQ(events.back(), std::make_pair(FD_CLOSE, 0));
    EXPECT_EQ(Count(window_, p.near, FD_CLOSE), 1);
}

TEST_F(AsyncSelectEvents, ResetIsPostedAsCloseWithConnectionReset) {
    Pair p;
    ASSERT_TRUE(p.ok());
    ASSERT_EQ(WSAAsyncSelect(p.near, window_.hwnd(), kNotify, FD_READ | FD_WRITE | FD_CLOSE), 0);
    ASSERT_TRUE(PumpUntil([&] { return Count(window_, p.near, FD_WRITE) == 1; }));
    winsock::linger abort;
    abort.l_onoff = 1;
    abort.l_linger = 0;
    ASSERT_EQ(winsock::setsockopt(p.far, SOL_SOCKET, SO_LINGER, reinterpret_cast<char*>(&abort),
                                  sizeof abort), 0);
    winsock::closesocket(p.far);
    p.far = INVALID_SOCKET;
    ASSERT_TRUE(PumpUntil([&] { return Count(window_, p.near, FD_CLOSE) == 1; }));
    PumpFor(100);
    const auto events = Events(window_, p.near);
    // WSAAsyncSelect's reference page: FD_CLOSE carries WSAECONNRESET after a reset.
    if (talven_test::ExpectDocumented(talven_test::kWineResetCloseError)) {
        EXPECT_EQ(events.back(), std::make_pair(FD_CLOSE, WSAECONNRESET));
    } else {
        EXPECT_EQ(events.back().first, FD_CLOSE);
    }
    EXPECT_EQ(Count(window_, p.near, FD_CLOSE), 1);
    EXPECT_EQ(Count(window_, p.near, FD_READ), 0);
}

TEST_F(AsyncSelectEvents, OutOfBandDataIsAnnouncedAndReenabledByItsRecv) {
    Pair p;
    ASSERT_TRUE(p.ok());
    ASSERT_EQ(WSAAsyncSelect(p.near, window_.hwnd(), kNotify, FD_OOB), 0);
    ASSERT_EQ(winsock::send(p.far, "!", 1, MSG_OOB), 1);
    ASSERT_TRUE(PumpUntil([&] { return Count(window_, p.near, FD_OOB) == 1; }));
    winsock::u_long atMark = 1;
    ASSERT_EQ(winsock::ioctlsocket(p.near, SIOCATMARK, &atMark), 0);
    EXPECT_EQ(atMark, 0u);  // urgent data waits
    char c = 0;
    ASSERT_EQ(winsock::recv(p.near, &c, 1, MSG_OOB), 1);
    EXPECT_EQ(c, '!');
    ASSERT_EQ(winsock::send(p.far, "?", 1, MSG_OOB), 1);
    ASSERT_TRUE(PumpUntil([&] { return Count(window_, p.near, FD_OOB) == 2; }));
}

}  // namespace
