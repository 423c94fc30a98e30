// How a selection ends: cancel, a new selection, and a window destroyed under its sockets.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "platform/winsock/winsock.h"
#include "support/test_support.h"
#include "support/test_system.h"
#include "tests/platform/async_select_fixture.h"
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

// After the cancel no event is posted for what happens on the socket. (A notification posted
// before it may still wait in the queue on Windows, as WSAAsyncSelect's reference page warns;
// the emulation removes those too: async_select_purge_posix.cpp.)
TEST_F(AsyncSelectLifetime, CancelStopsEvents) {
    Pair p;
    ASSERT_TRUE(p.ok());
    ASSERT_EQ(WSAAsyncSelect(p.near, window_.hwnd(), kNotify, FD_READ | FD_WRITE | FD_CLOSE), 0);
    ASSERT_TRUE(WaitQueued(p.near));  // FD_WRITE of the connected socket
    ASSERT_EQ(WSAAsyncSelect(p.near, window_.hwnd(), 0, 0), 0);
    ASSERT_TRUE(SendAll(p.far, "data"));
    winsock::closesocket(p.far);
    p.far = INVALID_SOCKET;
    PumpFor(150);
    EXPECT_EQ(Count(window_, p.near, FD_READ), 0);
    EXPECT_EQ(Count(window_, p.near, FD_CLOSE), 0);
    // The socket stays non-blocking after the cancel, and may be made blocking now.
    char buf[8];
    EXPECT_EQ(winsock::recv(p.near, buf, sizeof buf, 0), 4);
    winsock::u_long blocking = 0;
    EXPECT_EQ(winsock::ioctlsocket(p.near, FIONBIO, &blocking), 0);
}

TEST_F(AsyncSelectLifetime, NewSelectionReplacesTheOldOne) {
    Pair p;
    ASSERT_TRUE(p.ok());
    const UINT kOther = kNotify + 1;
    ASSERT_EQ(WSAAsyncSelect(p.near, window_.hwnd(), kNotify, FD_CLOSE), 0);
    ASSERT_EQ(WSAAsyncSelect(p.near, window_.hwnd(), kOther, FD_READ), 0);
    ASSERT_TRUE(SendAll(p.far, "x"));
    winsock::closesocket(p.far);
    p.far = INVALID_SOCKET;
    ASSERT_TRUE(PumpUntil([&] { return !window_.with(kOther).empty(); }));
    PumpFor(100);
    EXPECT_TRUE(window_.with(kNotify).empty());  // the old selection (FD_CLOSE) is gone
    ASSERT_EQ(window_.with(kOther).size(), 1u);
    EXPECT_EQ(WSAGETSELECTEVENT(window_.with(kOther)[0].lParam), FD_READ);
}


TEST_F(AsyncSelectLifetime, DestroyedWindowGetsNothingAndItsSocketsAreNoLongerWatched) {
    Pair p;
    ASSERT_TRUE(p.ok());
    RecordingWindow bystander;  // another window of the same thread
    {
        RecordingWindow doomed;
        ASSERT_EQ(WSAAsyncSelect(p.near, doomed.hwnd(), kNotify, FD_READ | FD_CLOSE), 0);
    }
    ASSERT_TRUE(SendAll(p.far, "nobody listens"));
    winsock::closesocket(p.far);
    p.far = INVALID_SOCKET;
    PumpFor(200);
    EXPECT_TRUE(bystander.messages().empty());
    // Selecting to a window that no longer exists fails.
    HWND gone;
    {
        RecordingWindow temp;
        gone = temp.hwnd();
    }
    // WSAAsyncSelect's reference page: WSAEINVAL for a handle that names no window.
    const int result = WSAAsyncSelect(p.near, gone, kNotify, FD_READ);
    if (talven_test::ExpectDocumented("WSAAsyncSelect accepts a destroyed window under Wine 8.0; "
                                      "its reference page gives WSAEINVAL")) {
        EXPECT_EQ(result, SOCKET_ERROR);
        EXPECT_EQ(WSAGetLastError(), WSAEINVAL);
    }
    // Closing it afterwards is harmless.
    EXPECT_EQ(winsock::closesocket(p.near), 0);
    p.near = INVALID_SOCKET;
}

}  // namespace
