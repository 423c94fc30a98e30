// WinSock's event rules for WSAAsyncSelect over real loopback sockets.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

#include "platform/winsock/winsock.h"
#include "support/test_support.h"
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

// After a recv that emptied the socket, data that arrives later is still there for a recv
// that polls without pumping messages, and still announced with FD_READ.
TEST_F(AsyncSelectEvents, DataArrivingAfterARecvThatEmptiedTheSocketIsNotHidden) {
    Pair p;
    ASSERT_TRUE(p.ok());
    ASSERT_EQ(WSAAsyncSelect(p.near, window_.hwnd(), kNotify, FD_READ), 0);
    ASSERT_TRUE(SendAll(p.far, "first"));
    ASSERT_TRUE(PumpUntil([&] { return Count(window_, p.near, FD_READ) == 1; }));
    char buf[64];
    ASSERT_EQ(winsock::recv(p.near, buf, sizeof buf, 0), 5);

    ASSERT_TRUE(SendAll(p.far, "second"));
    int n = SOCKET_ERROR;
    for (int i = 0; i < 500 && n == SOCKET_ERROR; ++i) {
        n = winsock::recv(p.near, buf, sizeof buf, 0);
        if (n == SOCKET_ERROR) {
            ASSERT_EQ(WSAGetLastError(), WSAEWOULDBLOCK);
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    }
    EXPECT_EQ(n, 6);

    ASSERT_TRUE(SendAll(p.far, "third"));
    ASSERT_TRUE(PumpUntil([&] { return Count(window_, p.near, FD_READ) >= 2; }));
    EXPECT_EQ(winsock::recv(p.near, buf, sizeof buf, 0), 5);
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

// WSAAsyncSelect (winsock.h): the function "automatically sets socket s to nonblocking mode,
// regardless of the value of lEvent"; a cancelled selection leaves it so.
TEST_F(AsyncSelectEvents, SelectingNoEventsStillMakesTheSocketNonBlocking) {
    for (const UINT msg : {kNotify, 0u}) {
        const SOCKET d = winsock::socket(AF_INET, SOCK_DGRAM, 0);
        ASSERT_EQ(winsock_test::BindLoopback(d, 0), 0);
        ASSERT_EQ(WSAAsyncSelect(d, window_.hwnd(), msg, 0), 0);
        // Should recv block after all, a datagram sent after a while ends it (and the test fails).
        std::mutex lock;
        std::condition_variable finished;
        bool done = false;
        std::thread watchdog([&] {
            std::unique_lock<std::mutex> hold(lock);
            if (!finished.wait_for(hold, std::chrono::seconds(5), [&] { return done; })) {
                winsock::sockaddr_in to = winsock_test::Loopback(winsock_test::LocalPort(d));
                winsock::sendto(d, "!", 1, 0, reinterpret_cast<winsock::sockaddr*>(&to), sizeof to);
            }
        });
        char buf[8];
        EXPECT_EQ(winsock::recv(d, buf, sizeof buf, 0), SOCKET_ERROR) << "message " << msg;
        EXPECT_EQ(WSAGetLastError(), WSAEWOULDBLOCK);
        {
            std::lock_guard<std::mutex> hold(lock);
            done = true;
        }
        finished.notify_one();
        watchdog.join();
        winsock::closesocket(d);
    }

    Pair p;
    ASSERT_TRUE(p.ok());
    ASSERT_EQ(WSAAsyncSelect(p.near, window_.hwnd(), kNotify, FD_READ), 0);
    ASSERT_EQ(WSAAsyncSelect(p.near, window_.hwnd(), 0, 0), 0);
    char buf[8];
    EXPECT_EQ(winsock::recv(p.near, buf, sizeof buf, 0), SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSAEWOULDBLOCK);
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
    EXPECT_EQ(events.back(), std::make_pair(FD_CLOSE, WSAECONNRESET));
    EXPECT_EQ(Count(window_, p.near, FD_CLOSE), 1);
    EXPECT_EQ(Count(window_, p.near, FD_READ), 0);
    // recv and send (winsock.h): on a reset connection both fail with WSAECONNRESET, each time.
    char buf[8];
    for (int i = 0; i < 2; ++i) {
        EXPECT_EQ(winsock::recv(p.near, buf, sizeof buf, 0), SOCKET_ERROR);
        EXPECT_EQ(WSAGetLastError(), WSAECONNRESET);
        EXPECT_EQ(winsock::send(p.near, "x", 1, 0), SOCKET_ERROR);
        EXPECT_EQ(WSAGetLastError(), WSAECONNRESET);
    }
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

// Urgent data in the middle of a stream: "abc", one byte sent with MSG_OOB, "def". A read may
// stop at the urgent mark; WSAAsyncSelect (winsock.h): FD_READ is posted again while data
// remains after a recv, and FD_CLOSE once all data has been read.
class UrgentData : public AsyncSelectEvents {
protected:
    void SendAroundUrgentByte(SOCKET s) {
        ASSERT_TRUE(SendAll(s, "abc"));
        ASSERT_EQ(winsock::send(s, "X", 1, MSG_OOB), 1);
        ASSERT_TRUE(SendAll(s, "def"));
    }
    // Reads on FD_READ (at most 100 bytes a time) and on FD_OOB; notes what was read at FD_CLOSE.
    void ReadOnEvents(SOCKET s) {
        window_.onMessage = [this, s](const MSG& m) {
            if (m.message != kNotify || m.wParam != s) return;
            char buf[100];
            switch (WSAGETSELECTEVENT(m.lParam)) {
                case FD_READ: {
                    const int n = winsock::recv(s, buf, sizeof buf, 0);
                    if (n > 0) read_.append(buf, static_cast<std::size_t>(n));
                    break;
                }
                case FD_OOB:
                    if (winsock::recv(s, buf, 1, MSG_OOB) == 1) urgent_.push_back(buf[0]);
                    break;
                case FD_CLOSE:
                    readAtClose_ = read_;
                    closed_ = true;
                    break;
            }
        };
    }
    std::string read_;
    std::string urgent_;
    std::string readAtClose_;
    bool closed_ = false;
};

TEST_F(UrgentData, ReadEventsFollowUntilTheDataBehindTheMarkIsRead) {
    Pair p;
    ASSERT_TRUE(p.ok());
    SendAroundUrgentByte(p.far);
    ReadOnEvents(p.near);
    ASSERT_EQ(WSAAsyncSelect(p.near, window_.hwnd(), kNotify, FD_READ), 0);
    EXPECT_TRUE(PumpUntil([&] { return read_ == "abcdef"; })) << read_;
}

TEST_F(UrgentData, CloseComesOnlyAfterTheBytesBehindTheMark) {
    Pair p;
    ASSERT_TRUE(p.ok());
    SendAroundUrgentByte(p.far);
    winsock::closesocket(p.far);
    p.far = INVALID_SOCKET;
    ReadOnEvents(p.near);
    ASSERT_EQ(WSAAsyncSelect(p.near, window_.hwnd(), kNotify, FD_READ | FD_OOB | FD_CLOSE), 0);
    ASSERT_TRUE(PumpUntil([&] { return closed_; }));
    PumpFor(50);
    EXPECT_EQ(readAtClose_, "abcdef");
    EXPECT_EQ(urgent_, "X");
    EXPECT_EQ(Count(window_, p.near, FD_CLOSE), 1);
    EXPECT_EQ(Events(window_, p.near).back(), std::make_pair(FD_CLOSE, 0));
}

// With SO_OOBINLINE the urgent byte is normal data. WSAAsyncSelect (winsock.h): such a socket
// gets FD_READ for it, not FD_OOB. ioctlsocket (winsock.h), SIOCATMARK: FALSE while the
// urgent byte is still to be read in line, TRUE once it has been.
TEST_F(UrgentData, InlineUrgentDataIsReadAsNormalDataBeforeTheClose) {
    Pair p;
    ASSERT_TRUE(p.ok());
    const int on = 1;
    ASSERT_EQ(winsock::setsockopt(p.near, SOL_SOCKET, SO_OOBINLINE,
                                  reinterpret_cast<const char*>(&on), sizeof on), 0);
    SendAroundUrgentByte(p.far);
    winsock::closesocket(p.far);
    p.far = INVALID_SOCKET;
    winsock::u_long waiting = 0;
    for (int i = 0; i < 500 && waiting < 7; ++i) {
        ASSERT_EQ(winsock::ioctlsocket(p.near, FIONREAD, &waiting), 0);
        if (waiting < 7) std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    ASSERT_EQ(waiting, 7u);
    winsock::u_long atMark = 1;
    ASSERT_EQ(winsock::ioctlsocket(p.near, SIOCATMARK, &atMark), 0);
    EXPECT_EQ(atMark, 0u);

    ReadOnEvents(p.near);
    ASSERT_EQ(WSAAsyncSelect(p.near, window_.hwnd(), kNotify, FD_READ | FD_OOB | FD_CLOSE), 0);
    ASSERT_TRUE(PumpUntil([&] { return closed_; }));
    EXPECT_EQ(readAtClose_, "abcXdef");
    EXPECT_EQ(Count(window_, p.near, FD_OOB), 0);
    ASSERT_EQ(winsock::ioctlsocket(p.near, SIOCATMARK, &atMark), 0);
    EXPECT_NE(atMark, 0u);
}

}  // namespace
