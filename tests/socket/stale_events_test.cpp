// Events posted for a socket before its close never reach the socket that gets its handle
// next. Windows gives a closed socket's handle value to the next socket at once, and
// closesocket leaves the WM_SOCKET_NOTIFY messages already posted in the queue (WSAAsyncSelect's
// reference page: "messages may be waiting in the application's message queue" after a cancel);
// POSIX reuses descriptors at once as well.
#include <gtest/gtest.h>

#include <memory>
#include <thread>
#include <vector>

#include "socket/socket_test_helpers.h"

namespace talven_test {
namespace {

// Whether the stale socket is closed on the window's thread or on another one.
class StaleEvents : public NotifySinkTest, public ::testing::WithParamInterface<bool> {
protected:
    // Waits, without dispatching anything, until an event for `handle` is queued for the window.
    bool WaitQueued(SOCKET handle) {
        for (int i = 0; i < 5000; ++i) {
            MSG m;
            if (PeekMessageA(&m, hwnd(), WM_SOCKET_NOTIFY, WM_SOCKET_NOTIFY, PM_NOREMOVE) &&
                m.wParam == handle) {
                return true;
            }
            Sleep(1);
        }
        return false;
    }
};

TEST_P(StaleEvents, EventsQueuedBeforeACloseNeverReachTheSocketThatReusesItsHandle) {
    const bool otherThread = GetParam();
    UINT port = 0;
    const SOCKET listener = ListenLoopback(port);
    ASSERT_NE(INVALID_SOCKET, listener);

    RecordingSocket a;
    ASSERT_EQ(1, a.Create(hwnd(), 0, SOCK_STREAM, FD_READ | FD_WRITE | FD_CONNECT | FD_CLOSE,
                          "127.0.0.1"));
    ASSERT_EQ(1, Register(a));
    a.Connect("127.0.0.1", port);
    const SOCKET peer = winsock::accept(listener, nullptr, nullptr);
    ASSERT_NE(INVALID_SOCKET, peer);
    // Each FD_READ takes one byte, so that WinSock posts another while bytes remain.
    a.onCall = [](RecordingSocket& s, const HandlerCall& c) {
        char byte;
        if (c.event == FD_READ) s.Receive(&byte, 1);
    };
    ASSERT_EQ(3, winsock::send(peer, "abc", 3, 0));
    ASSERT_TRUE(PumpUntil([&] { return a.Count(FD_READ) == 1; }));
    const SOCKET handle = a.m_hSocket;
    ASSERT_TRUE(WaitQueued(handle)) << "no second FD_READ after reading 1 of 3 bytes";

    // The application's order: unregister while the object holds its handle, then close.
    ASSERT_NE(0, Unregister(a));
    if (otherThread) {
        std::thread([&] { a.Close(); }).join();
    } else {
        a.Close();
    }
    ASSERT_EQ(INVALID_SOCKET, a.m_hSocket);

    // The next sockets made: one of the first few gets the closed handle.
    std::vector<std::unique_ptr<RecordingSocket>> made;
    RecordingSocket* b = nullptr;
    for (int i = 0; i < 8 && b == nullptr; ++i) {
        made.push_back(std::make_unique<RecordingSocket>());
        ASSERT_EQ(1, made.back()->Create(hwnd(), 0, SOCK_STREAM,
                                         FD_READ | FD_WRITE | FD_CONNECT | FD_CLOSE, "127.0.0.1"));
        if (made.back()->m_hSocket == handle) b = made.back().get();
    }
    ASSERT_NE(nullptr, b) << "the closed handle was not given out again";
    ASSERT_EQ(1, Register(*b));
    PumpFor(200);
    EXPECT_TRUE(b->calls.empty()) << "the new socket got " << b->calls.size()
                                  << " events of its predecessor, first " << b->calls[0].event;
    EXPECT_EQ(1, a.Count(FD_READ));

    // The new socket's own events still arrive.
    ASSERT_NE(0, Unregister(*b));
    b->Close();
    RecordingSocket c;
    ASSERT_EQ(1, c.Create(hwnd(), 0, SOCK_STREAM, FD_CONNECT | FD_WRITE, "127.0.0.1"));
    ASSERT_EQ(1, Register(c));
    c.Connect("127.0.0.1", port);
    EXPECT_TRUE(PumpUntil([&] { return c.Count(FD_CONNECT) == 1 && c.Count(FD_WRITE) == 1; }));
    Unregister(c);
    winsock::closesocket(peer);
    winsock::closesocket(listener);
}

INSTANTIATE_TEST_SUITE_P(ClosedOn, StaleEvents, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& info) {
                             return info.param ? "AnotherThread" : "WindowThread";
                         });

}  // namespace
}  // namespace talven_test
