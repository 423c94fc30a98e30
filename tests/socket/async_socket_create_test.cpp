// Making a socket object's socket: Create, Socket, AsyncSelect, SetNotifyWnd and the bind
// that Create makes.
#include <gtest/gtest.h>

#include "socket/socket_test_helpers.h"

namespace talven_test {
namespace {

constexpr int kSentinelError = 4242;  // an "older error" that refusals must leave in place

HWND DestroyedWindow() {
    RecordingWindow gone;
    return gone.hwnd();
}

using AsyncSocketCreate = NotifySinkTest;

TEST_F(AsyncSocketCreate, NewObjectHoldsNothingAndCloseMakesNoWinSockCall) {
    WSASetLastError(kSentinelError);
    {
        CQmAsyncSocket s;
        EXPECT_EQ(INVALID_SOCKET, static_cast<SOCKET>(s));
        EXPECT_EQ(nullptr, s.m_hNotifyWnd);
        s.Close();
    }
    EXPECT_EQ(kSentinelError, WSAGetLastError());
}

TEST_F(AsyncSocketCreate, RefusalsLeaveTheObjectAndTheLastErrorAlone) {
    const HWND dead = DestroyedWindow();
    for (HWND wnd : {static_cast<HWND>(nullptr), dead}) {
        // The window check itself may set the thread's last error: on Windows, IsWindow of a
        // destroyed window leaves ERROR_INVALID_WINDOW_HANDLE, and WinSock's last error is the
        // thread's. The refusals add nothing to what the check leaves.
        WSASetLastError(kSentinelError);
        if (wnd != nullptr) {
            IsWindow(wnd);
        }
        const int leftByTheCheck = WSAGetLastError();
        CQmAsyncSocket s;
        WSASetLastError(kSentinelError);
        EXPECT_EQ(0, s.Create(wnd));
        EXPECT_EQ(0, s.SetNotifyWnd(wnd));
        EXPECT_EQ(0, s.AsyncSelect());  // no socket yet
        EXPECT_EQ(INVALID_SOCKET, s.m_hSocket);
        EXPECT_EQ(nullptr, s.m_hNotifyWnd);
        EXPECT_EQ(leftByTheCheck, WSAGetLastError());
    }
}

TEST_F(AsyncSocketCreate, CreateSelectsTheEventsForItsWindowAndBindsToAnyAddress) {
    RecordingWindow events;
    CQmAsyncSocket s;
    ASSERT_EQ(1, s.Create(events.hwnd(), 0, SOCK_STREAM, FD_ACCEPT));
    EXPECT_EQ(events.hwnd(), s.m_hNotifyWnd);
    CString address;
    UINT port = 0;
    ASSERT_EQ(1, s.GetSockName(address, port));
    EXPECT_EQ(CString("0.0.0.0"), address);
    ASSERT_EQ(1, s.Listen());

    const SOCKET peer = ConnectLoopback(port);
    ASSERT_NE(INVALID_SOCKET, peer);
    ASSERT_TRUE(PumpUntil([&] { return !events.with(WM_SOCKET_NOTIFY).empty(); }));
    const MSG m = events.with(WM_SOCKET_NOTIFY).front();
    EXPECT_EQ(s.m_hSocket, m.wParam);
    EXPECT_EQ(FD_ACCEPT, WSAGETSELECTEVENT(m.lParam));
    winsock::closesocket(peer);
}

// Records whether Create's clean-up went through the virtual Close.
class CloseCountingSocket : public CQmAsyncSocket {
public:
    int closes = 0;
    void Close() override {
        ++closes;
        CQmAsyncSocket::Close();
    }
};

TEST_F(AsyncSocketCreate, FailedBindClosesThroughTheOverrideAndReportsTheBindError) {
    UINT busyPort = 0;
    const SOCKET busy = ListenLoopback(busyPort);
    ASSERT_NE(INVALID_SOCKET, busy);

    CloseCountingSocket s;
    EXPECT_EQ(0, s.Create(hwnd(), busyPort, SOCK_STREAM, FD_READ, "127.0.0.1"));
    EXPECT_EQ(WSAEADDRINUSE, WSAGetLastError());
    EXPECT_EQ(1, s.closes);
    EXPECT_EQ(INVALID_SOCKET, s.m_hSocket);
    EXPECT_EQ(hwnd(), s.m_hNotifyWnd);  // kept, so the object can try again
    winsock::closesocket(busy);
}

TEST_F(AsyncSocketCreate, LocalAddressMustBeDottedNumbers) {
    for (const char* address : {"localhost", "not-an-address", "255.255.255.255"}) {
        CQmAsyncSocket s;
        EXPECT_EQ(0, s.Create(hwnd(), 0, SOCK_STREAM, FD_READ, address)) << address;
        EXPECT_EQ(WSAEINVAL, WSAGetLastError()) << address;
        EXPECT_EQ(INVALID_SOCKET, s.m_hSocket) << address;
    }
}

TEST_F(AsyncSocketCreate, ASecondSocketIsRefusedAndTheFirstKept) {
    CQmAsyncSocket s;
    ASSERT_EQ(1, s.Create(hwnd()));
    const SOCKET first = s;
    WSASetLastError(kSentinelError);
    EXPECT_EQ(0, s.Socket());
    EXPECT_EQ(0, s.Create(hwnd()));
    EXPECT_EQ(first, static_cast<SOCKET>(s));
    EXPECT_EQ(kSentinelError, WSAGetLastError());
}

TEST_F(AsyncSocketCreate, HandleOutlivesAFailedSelectionAndWindowOutlivesClose) {
    CQmAsyncSocket s;
    EXPECT_EQ(0, s.Socket());  // the selection has no window
    ASSERT_NE(INVALID_SOCKET, s.m_hSocket);
    s.Close();
    EXPECT_EQ(INVALID_SOCKET, s.m_hSocket);

    ASSERT_EQ(1, s.SetNotifyWnd(hwnd()));
    ASSERT_EQ(1, s.Socket());
    s.Close();
    EXPECT_EQ(hwnd(), s.m_hNotifyWnd);
    EXPECT_EQ(1, s.Socket());  // a closed object makes a new socket for the same window
}

}  // namespace
}  // namespace talven_test
