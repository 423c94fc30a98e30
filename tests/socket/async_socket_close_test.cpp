// Accepting into a socket object, closing (drain and non-blocking end), and copying.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <string>
#include <thread>

#include "socket/socket_test_helpers.h"

namespace talven_test {
namespace {

using AsyncSocketClose = NotifySinkTest;

// Bytes waiting to be read on s.
winsock::u_long Waiting(CQmAsyncSocket& s) {
    winsock::u_long n = 0;
    return s.IOCtl(FIONREAD, &n) ? n : 0;
}

bool SendAll(SOCKET s, const std::string& bytes) {
    return winsock::send(s, bytes.data(), static_cast<int>(bytes.size()), 0) ==
           static_cast<int>(bytes.size());
}

// Whether the other end's close reached a plain blocking peer as an orderly one. Closing with
// unread data resets the connection instead, and then the peer's next send fails. (A reset
// that is still on its way would let the send through; the pause gives it time to land.)
bool PeerSawOrderlyClose(SOCKET peer) {
    char c;
    if (winsock::recv(peer, &c, 1, 0) != 0) {
        return false;
    }
    Sleep(20);
    return winsock::send(peer, "x", 1, 0) == 1;
}

TEST_F(AsyncSocketClose, AcceptedObjectGetsOnlyTheHandleAndItsEventsOnceRegistered) {
    RecordingSocket listener;
    ASSERT_EQ(1, listener.Create(hwnd(), 0, SOCK_STREAM, FD_ACCEPT | FD_READ | FD_CLOSE,
                                 "127.0.0.1"));
    ASSERT_EQ(1, listener.Listen());
    ASSERT_EQ(1, Register(listener));
    CString unused;
    UINT port = 0;
    ASSERT_EQ(1, listener.GetSockName(unused, port));

    RecordingSocket target;
    EXPECT_EQ(0, listener.Accept(target));  // nothing waiting
    EXPECT_EQ(WSAEWOULDBLOCK, WSAGetLastError());
    EXPECT_EQ(INVALID_SOCKET, target.m_hSocket);

    const SOCKET peer = ConnectLoopback(port);
    ASSERT_NE(INVALID_SOCKET, peer);
    ASSERT_TRUE(PumpUntil([&] { return listener.Count(FD_ACCEPT) == 1; }));
    ASSERT_EQ(1, listener.Accept(target));
    EXPECT_NE(INVALID_SOCKET, target.m_hSocket);
    EXPECT_EQ(nullptr, target.m_hNotifyWnd);

    ASSERT_EQ(1, target.SetNotifyWnd(hwnd()));
    ASSERT_EQ(1, Register(target));
    ASSERT_TRUE(SendAll(peer, "ping"));
    ASSERT_TRUE(PumpUntil([&] { return target.Count(FD_READ) > 0; }));
    char buffer[8];
    EXPECT_EQ(4, target.Receive(buffer, sizeof buffer));

    Unregister(target);
    Unregister(listener);
    winsock::closesocket(peer);
}

TEST_F(AsyncSocketClose, CloseDrainsUnreadDataSoThePeerSeesAnOrderlyClose) {
    UINT port = 0;
    const SOCKET listener = ListenLoopback(port);
    ASSERT_NE(INVALID_SOCKET, listener);
    CQmAsyncSocket s;
    ASSERT_EQ(1, s.Create(hwnd(), 0, SOCK_STREAM, FD_READ | FD_CLOSE, "127.0.0.1"));
    s.Connect("127.0.0.1", port);
    const SOCKET peer = winsock::accept(listener, nullptr, nullptr);
    ASSERT_NE(INVALID_SOCKET, peer);

    const std::string data(5000, 'd');  // several drain pieces
    ASSERT_TRUE(SendAll(peer, data));
    ASSERT_TRUE(PumpUntil([&] { return Waiting(s) == data.size(); }));

    s.Close();
    EXPECT_EQ(INVALID_SOCKET, s.m_hSocket);
    EXPECT_TRUE(PeerSawOrderlyClose(peer));

    WSASetLastError(4242);
    s.Close();  // nothing left to do
    EXPECT_EQ(4242, WSAGetLastError());
    winsock::closesocket(peer);
    winsock::closesocket(listener);
}

TEST_F(AsyncSocketClose, CloseOfAStillBlockingSocketDoesNotWaitForThePeer) {
    UINT port = 0;
    CQmAsyncSocket listener;  // never selected: the accepted socket stays blocking
    listener.m_hSocket = ListenLoopback(port);
    ASSERT_NE(INVALID_SOCKET, listener.m_hSocket);
    const SOCKET peer = ConnectLoopback(port);
    ASSERT_NE(INVALID_SOCKET, peer);
    CQmAsyncSocket blocking;
    ASSERT_EQ(1, listener.Accept(blocking));
    ASSERT_TRUE(SendAll(peer, std::string(3000, 'b')));
    for (int i = 0; i < 5000 && Waiting(blocking) < 3000; ++i) {
        Sleep(1);  // no selection, so no message would wake a pump
    }
    ASSERT_EQ(3000u, Waiting(blocking));

    // The peer keeps its side open. If Close waits for it, the peer's close below releases the
    // stuck Close so the test ends with a failure instead of hanging.
    auto closed = std::async(std::launch::async, [&] { blocking.Close(); });
    const bool finished = closed.wait_for(std::chrono::seconds(30)) == std::future_status::ready;
    EXPECT_TRUE(finished) << "Close waited for the peer";
    if (finished) {
        EXPECT_TRUE(PeerSawOrderlyClose(peer));
    }
    winsock::closesocket(peer);
    closed.wait();
    EXPECT_EQ(INVALID_SOCKET, blocking.m_hSocket);
}

// A socket connected to a plain blocking peer, with room for much unread data.
class CloseWithUnreadData : public NotifySinkTest {
protected:
    void SetUp() override {
        NotifySinkTest::SetUp();
        UINT port = 0;
        listener = ListenLoopback(port);
        ASSERT_NE(INVALID_SOCKET, listener);
        ASSERT_EQ(1, s.Create(hwnd(), 0, SOCK_STREAM, FD_READ | FD_CLOSE, "127.0.0.1"));
        const int big = 1 << 22;
        s.SetSockOpt(SO_RCVBUF, &big, sizeof big);
        s.Connect("127.0.0.1", port);
        peer = winsock::accept(listener, nullptr, nullptr);
        ASSERT_NE(INVALID_SOCKET, peer);
        winsock::setsockopt(peer, SOL_SOCKET, SO_SNDBUF, reinterpret_cast<const char*>(&big), sizeof big);
    }
    void TearDown() override {
        winsock::closesocket(peer);
        winsock::closesocket(listener);
        NotifySinkTest::TearDown();
    }
    bool WaitUntilWaiting(winsock::u_long n) {
        for (int i = 0; i < 10000 && Waiting(s) < n; ++i) {
            Sleep(1);  // no selection event is pumped here
        }
        return Waiting(s) >= n;
    }

    SOCKET listener = INVALID_SOCKET;
    SOCKET peer = INVALID_SOCKET;
    CQmAsyncSocket s;
};

// Close reads a bounded amount of what is waiting; with more left unread, closing resets the
// connection (after the FIN of the shutdown), rather than ending it in good order once
// everything has been read.
TEST_F(CloseWithUnreadData, MoreWaitingThanTheDrainReadsResetsTheConnection) {
    const std::string data(1 << 20, 'd');
    ASSERT_TRUE(SendAll(peer, data));
    ASSERT_TRUE(WaitUntilWaiting(1u << 20));
    s.Close();
    EXPECT_EQ(INVALID_SOCKET, s.m_hSocket);
    EXPECT_FALSE(PeerSawOrderlyClose(peer));
}

// A peer that keeps sending cannot keep Close reading. (Should Close read on, a watchdog
// stops the peer after 20 s, which lets Close end, and the test fails.)
TEST_F(CloseWithUnreadData, CloseEndsWhileThePeerKeepsSending) {
    std::atomic<bool> stop{false};
    std::atomic<bool> closeReturned{false};
    std::atomic<bool> watchdogStoppedThePeer{false};
    std::thread flooder([&] {
        const std::string chunk(1 << 16, 'f');
        while (!stop && winsock::send(peer, chunk.data(), static_cast<int>(chunk.size()), 0) != SOCKET_ERROR) {
        }
    });
    const bool filled = WaitUntilWaiting(1u << 20);
    std::thread watchdog([&] {
        const DWORD start = GetTickCount();
        while (!closeReturned && GetTickCount() - start < 20000) {
            Sleep(1);
        }
        watchdogStoppedThePeer = !closeReturned;
        stop = true;
    });
    s.Close();
    closeReturned = true;
    watchdog.join();
    flooder.join();
    EXPECT_TRUE(filled);
    EXPECT_FALSE(watchdogStoppedThePeer) << "Close read on while the peer kept sending";
    EXPECT_EQ(INVALID_SOCKET, s.m_hSocket);
}

TEST_F(AsyncSocketClose, CopiesShareHandleAndWindowWithoutWinSockCalls) {
    CQmAsyncSocket source;
    ASSERT_EQ(1, source.Create(hwnd()));
    WSASetLastError(4242);
    CQmAsyncSocket constructed(source);
    CQmAsyncSocket assigned;
    EXPECT_EQ(&assigned, &(assigned = source));
    for (const CQmAsyncSocket* copy : {&constructed, &assigned}) {
        EXPECT_EQ(source.m_hSocket, copy->m_hSocket);
        EXPECT_EQ(source.m_hNotifyWnd, copy->m_hNotifyWnd);
    }
    EXPECT_EQ(4242, WSAGetLastError());
    // Only one holder may close the shared handle.
    constructed.m_hSocket = INVALID_SOCKET;
    assigned.m_hSocket = INVALID_SOCKET;
}

}  // namespace
}  // namespace talven_test
