#include <gtest/gtest.h>

#include "talven.h"

namespace {

TEST(QmSocketInit, EachStartUpNeedsItsOwnTerm) {
    WSADATA data{};
    ASSERT_EQ(QmSocketInit(&data), 1);
    EXPECT_EQ(data.wVersion, 0x0101);
    ASSERT_EQ(QmSocketInit(nullptr), 1);

    EXPECT_EQ(QmSocketTerm(), 0);
    // Still started once: socket calls work.
    const SOCKET s = winsock::socket(AF_INET, SOCK_STREAM, 0);
    EXPECT_NE(s, INVALID_SOCKET);
    if (s != INVALID_SOCKET) {
        winsock::closesocket(s);
    }
    EXPECT_EQ(QmSocketTerm(), 0);

    EXPECT_EQ(winsock::socket(AF_INET, SOCK_STREAM, 0), INVALID_SOCKET);
    EXPECT_EQ(WSAGetLastError(), WSANOTINITIALISED);
}

TEST(QmSocketTerm, WithoutAStartUpFailsWithNotInitialised) {
    WSASetLastError(0);
    EXPECT_EQ(QmSocketTerm(), SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSANOTINITIALISED);
}

}  // namespace
