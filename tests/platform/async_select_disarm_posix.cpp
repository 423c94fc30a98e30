// The emulation's event selection of a socket whose window is destroyed: the first readiness
// finds no window and disarms the socket, rather than have the wait report it again and again.
#include <gtest/gtest.h>

#include "platform/winsock/async_select.h"
#include "support/test_support.h"
#include "tests/platform/winsock_test_helpers.h"

namespace {

namespace selection = talven::platform::sockets::selection;

TEST(AsyncSelectDisarm, SocketOfADestroyedWindowIsDisarmedAtItsFirstReadiness) {
    talven_test::WinSockSession session;
    ASSERT_TRUE(session.ok());
    winsock_test::Pair p;
    ASSERT_TRUE(p.ok());
    {
        talven_test::RecordingWindow doomed;
        ASSERT_EQ(WSAAsyncSelect(p.near, doomed.hwnd(), winsock_test::kNotify, FD_READ | FD_CLOSE), 0);
        EXPECT_TRUE(selection::IsSelected(static_cast<int>(p.near)));
    }
    ASSERT_TRUE(winsock_test::SendAll(p.far, "nobody listens"));
    for (int i = 0; i < 500 && selection::IsSelected(static_cast<int>(p.near)); ++i) {
        talven_test::PumpFor(10);
    }
    EXPECT_FALSE(selection::IsSelected(static_cast<int>(p.near)));
}

}  // namespace
