// Where the emulation's WinSock deliberately offers less or keeps more than Windows: only IPv4,
// and sockets that outlive the last WSACleanup. (Windows offers IPv6 and closes every socket at
// the last WSACleanup; the emulation keeps them because POSIX would hand a closed socket's number
// to the next descriptor opened, which the socket's owner could then close by mistake.)
#include <gtest/gtest.h>

#include "platform/winsock/winsock.h"

namespace {

TEST(WinSockLimits, OnlyIPv4IsOffered) {
    WSADATA data;
    ASSERT_EQ(WSAStartup(MAKEWORD(1, 1), &data), 0);
    EXPECT_EQ(winsock::socket(23 /* AF_INET6 */, SOCK_STREAM, 0), INVALID_SOCKET);
    EXPECT_EQ(WSAGetLastError(), WSAEAFNOSUPPORT);
    EXPECT_EQ(WSACleanup(), 0);
}

TEST(WinSockLimits, SocketsOutliveTheLastCleanup) {
    WSADATA data;
    ASSERT_EQ(WSAStartup(MAKEWORD(1, 1), &data), 0);
    const SOCKET s = winsock::socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_NE(s, INVALID_SOCKET);
    ASSERT_EQ(WSACleanup(), 0);
    ASSERT_EQ(WSAStartup(MAKEWORD(1, 1), &data), 0);
    EXPECT_EQ(winsock::closesocket(s), 0);
    EXPECT_EQ(WSACleanup(), 0);
}

}  // namespace
