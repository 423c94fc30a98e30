// Binding a TCP port that an earlier socket used or still holds, as WinSock decides it.
//
// Microsoft's "Using SO_REUSEADDR and SO_EXCLUSIVEADDRUSE" (Windows Sockets 2): without either
// option, a second bind to an address and port that a socket is bound to fails with
// WSAEADDRINUSE; a listening server may be restarted on its port while connections it closed
// wait out their TIME_WAIT.
#include <gtest/gtest.h>

#include <string>

#include "platform/winsock/winsock.h"
#include "support/test_support.h"
#include "tests/platform/winsock_test_helpers.h"

using winsock_test::BindLoopback;
using winsock_test::LocalPort;
using winsock_test::SendAll;

namespace {

class PortReuse : public ::testing::Test {
protected:
    talven_test::WinSockSession session_;
    void SetUp() override { ASSERT_TRUE(session_.ok()); }
};

TEST_F(PortReuse, ARestartedServerBindsItsPortRightAfterClosingItsConnections) {
    UINT port = 0;
    SOCKET listener = talven_test::ListenLoopback(port);
    ASSERT_NE(listener, INVALID_SOCKET);
    // The server ends its connections first, so they linger in TIME_WAIT on its port.
    for (int i = 0; i < 3; ++i) {
        const SOCKET client = talven_test::ConnectLoopback(port);
        ASSERT_NE(client, INVALID_SOCKET);
        const SOCKET served = winsock::accept(listener, nullptr, nullptr);
        ASSERT_NE(served, INVALID_SOCKET);
        ASSERT_TRUE(SendAll(served, "bye"));
        winsock::closesocket(served);
        char buf[8];
        while (winsock::recv(client, buf, sizeof buf, 0) > 0) {
        }
        winsock::closesocket(client);
    }
    winsock::closesocket(listener);

    const SOCKET restarted = winsock::socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_EQ(BindLoopback(restarted, port), 0);
    ASSERT_EQ(winsock::listen(restarted, 16), 0);
    const SOCKET client = talven_test::ConnectLoopback(port);
    EXPECT_NE(client, INVALID_SOCKET);
    winsock::closesocket(client);
    winsock::closesocket(restarted);
}

TEST_F(PortReuse, APortWithALiveListenerRefusesAnotherBind) {
    UINT port = 0;
    const SOCKET listener = talven_test::ListenLoopback(port);
    ASSERT_NE(listener, INVALID_SOCKET);
    const SOCKET second = winsock::socket(AF_INET, SOCK_STREAM, 0);
    EXPECT_EQ(BindLoopback(second, port), WSAEADDRINUSE);
    winsock::closesocket(second);
    winsock::closesocket(listener);
}

TEST_F(PortReuse, TwoSocketsThatAreOnlyBoundCannotShareAPort) {
    const SOCKET first = winsock::socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_EQ(BindLoopback(first, 0), 0);
    const UINT port = LocalPort(first);
    ASSERT_NE(port, 0u);
    const SOCKET second = winsock::socket(AF_INET, SOCK_STREAM, 0);
    EXPECT_EQ(BindLoopback(second, port), WSAEADDRINUSE);
    // Nor once the first listens.
    ASSERT_EQ(winsock::listen(first, 4), 0);
    EXPECT_EQ(BindLoopback(second, port), WSAEADDRINUSE);
    winsock::closesocket(second);
    winsock::closesocket(first);
}

}  // namespace
