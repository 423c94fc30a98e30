// The BSD calls: errors as WinSock codes, option and ioctl translation, no SIGPIPE, address
// text and host lookup.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <thread>

#include "platform/winsock/winsock.h"
#include "platform/winsock/wsa_error.h"
#include "support/test_support.h"
#include "tests/platform/winsock_test_helpers.h"

using winsock_test::Pair;
using winsock_test::SendAll;

namespace {

class WinSockCalls : public ::testing::Test {
protected:
    talven_test::WinSockSession session_;
    void SetUp() override { ASSERT_TRUE(session_.ok()); }
};

winsock::sockaddr* Addr(winsock::sockaddr_in& a) { return reinterpret_cast<winsock::sockaddr*>(&a); }

TEST(WinSockErrors, ErrnoValuesTranslateToWinSockCodes) {
    const struct {
        int err;
        int wsa;
    } table[] = {
        {0, 0},
        {EWOULDBLOCK, WSAEWOULDBLOCK}, {EAGAIN, WSAEWOULDBLOCK}, {EINPROGRESS, WSAEWOULDBLOCK},
        {ECONNREFUSED, WSAECONNREFUSED}, {EADDRINUSE, WSAEADDRINUSE}, {EMFILE, WSAEMFILE},
        {ENFILE, WSAEMFILE}, {EBADF, WSAENOTSOCK}, {ENOTSOCK, WSAENOTSOCK},
        {ECONNRESET, WSAECONNRESET}, {ECONNABORTED, WSAECONNABORTED}, {ETIMEDOUT, WSAETIMEDOUT},
        {ENOTCONN, WSAENOTCONN}, {EISCONN, WSAEISCONN}, {EALREADY, WSAEALREADY},
        {EADDRNOTAVAIL, WSAEADDRNOTAVAIL}, {ENETUNREACH, WSAENETUNREACH},
        {EHOSTUNREACH, WSAEHOSTUNREACH}, {EMSGSIZE, WSAEMSGSIZE}, {ENOBUFS, WSAENOBUFS},
        {EINVAL, WSAEINVAL}, {EFAULT, WSAEFAULT}, {EACCES, WSAEACCES}, {EPIPE, WSAESHUTDOWN},
        {EAFNOSUPPORT, WSAEAFNOSUPPORT}, {ENOPROTOOPT, WSAENOPROTOOPT},
    };
    for (const auto& row : table) {
        EXPECT_EQ(talven::platform::sockets::WsaErrorFromErrno(row.err), row.wsa) << row.err;
    }
}

TEST_F(WinSockCalls, RealFailuresReportWinSockCodes) {
    // Refused: a blocking connect to a port where nothing listens.
    winsock::sockaddr_in closed = winsock_test::ClosedPort();
    SOCKET s = winsock::socket(AF_INET, SOCK_STREAM, 0);
    EXPECT_EQ(winsock::connect(s, Addr(closed), sizeof closed), SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSAECONNREFUSED);
    winsock::closesocket(s);

    // In use: binding a second socket to a listening port.
    UINT port = 0;
    const SOCKET listener = talven_test::ListenLoopback(port);
    winsock::sockaddr_in taken = closed;
    taken.sin_port = winsock::htons(static_cast<winsock::u_short>(port));
    s = winsock::socket(AF_INET, SOCK_STREAM, 0);
    EXPECT_EQ(winsock::bind(s, Addr(taken), sizeof taken), SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSAEADDRINUSE);
    winsock::closesocket(s);
    winsock::closesocket(listener);

    // A closed handle is no socket; an absurd one neither.
    char buf[4];
    EXPECT_EQ(winsock::recv(s, buf, sizeof buf, 0), SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSAENOTSOCK);
    EXPECT_EQ(winsock::closesocket(INVALID_SOCKET), SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSAENOTSOCK);
    // A descriptor that is no socket (standard input) is refused, not closed or changed.
    winsock::u_long on = 1;
    EXPECT_EQ(winsock::ioctlsocket(0, FIONBIO, &on), SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSAENOTSOCK);
    EXPECT_EQ(winsock::closesocket(0), SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSAENOTSOCK);

    // Short address lengths and other families, as WinSock refuses them.
    s = winsock::socket(AF_INET, SOCK_STREAM, 0);
    EXPECT_EQ(winsock::bind(s, Addr(taken), 8), SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSAEFAULT);
    winsock::closesocket(s);
    EXPECT_EQ(winsock::socket(23 /* AF_INET6 */, SOCK_STREAM, 0), INVALID_SOCKET);
    EXPECT_EQ(WSAGetLastError(), WSAEAFNOSUPPORT);
}

TEST_F(WinSockCalls, SocketsStartBlockingAndFionbioSwitchesThem) {
    Pair p;
    ASSERT_TRUE(p.ok());
    winsock::u_long on = 1;
    ASSERT_EQ(winsock::ioctlsocket(p.near, FIONBIO, &on), 0);
    char buf[8];
    EXPECT_EQ(winsock::recv(p.near, buf, sizeof buf, 0), SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSAEWOULDBLOCK);
    // Blocking again: a recv waits for the peer's bytes.
    winsock::u_long off = 0;
    ASSERT_EQ(winsock::ioctlsocket(p.near, FIONBIO, &off), 0);
    std::thread later([&] { SendAll(p.far, "late"); });
    EXPECT_EQ(winsock::recv(p.near, buf, 4, 0), 4);
    later.join();
}

TEST_F(WinSockCalls, SendingToAClosedPeerFailsWithoutSigpipe) {
    Pair p;
    ASSERT_TRUE(p.ok());
    winsock::closesocket(p.far);
    p.far = INVALID_SOCKET;
    // The first sends may still be accepted; the peer's reset then makes them fail. A raised
    // SIGPIPE would end the test process here.
    int failures = 0;
    for (int i = 0; i < 50 && failures == 0; ++i) {
        if (winsock::send(p.near, "x", 1, 0) == SOCKET_ERROR) {
            ++failures;
            const int e = WSAGetLastError();
            EXPECT_TRUE(e == WSAECONNRESET || e == WSAESHUTDOWN || e == WSAECONNABORTED) << e;
        }
        std::this_thread::yield();
    }
    EXPECT_EQ(failures, 1);
}

// recv and send (winsock.h): WSAECONNRESET "the virtual circuit was reset by the remote side";
// the socket is no longer usable, and every later call says so. WSAESHUTDOWN belongs to a
// socket that this side has shut down.
TEST_F(WinSockCalls, AfterAResetRecvAndSendFailWithConnectionResetEveryTime) {
    Pair p;
    ASSERT_TRUE(p.ok());
    winsock_test::CloseWithReset(p.far);
    char buf[8];
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(winsock::recv(p.near, buf, sizeof buf, 0), SOCKET_ERROR);
        EXPECT_EQ(WSAGetLastError(), WSAECONNRESET) << "recv " << i;
    }
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(winsock::send(p.near, "x", 1, 0), SOCKET_ERROR);
        EXPECT_EQ(WSAGetLastError(), WSAECONNRESET) << "send " << i;
    }
    EXPECT_EQ(winsock::recv(p.near, buf, sizeof buf, 0), SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSAECONNRESET);
}

TEST_F(WinSockCalls, SendingAfterShuttingDownTheSendingSideFailsWithShutdown) {
    Pair p;
    ASSERT_TRUE(p.ok());
    ASSERT_EQ(winsock::shutdown(p.near, SD_SEND), 0);
    for (int i = 0; i < 2; ++i) {
        EXPECT_EQ(winsock::send(p.near, "x", 1, 0), SOCKET_ERROR);
        EXPECT_EQ(WSAGetLastError(), WSAESHUTDOWN);
    }
}

TEST_F(WinSockCalls, OptionsAndIoctlsTranslate) {
    Pair p;
    ASSERT_TRUE(p.ok());
    char* v;
    int len;

    // Linger has WinSock's layout (two u_shorts).
    winsock::linger l{1, 7};
    ASSERT_EQ(winsock::setsockopt(p.near, SOL_SOCKET, SO_LINGER, reinterpret_cast<char*>(&l), sizeof l), 0);
    winsock::linger back{0, 0};
    len = sizeof back;
    ASSERT_EQ(winsock::getsockopt(p.near, SOL_SOCKET, SO_LINGER, reinterpret_cast<char*>(&back), &len), 0);
    EXPECT_EQ(back.l_onoff, 1);
    EXPECT_EQ(back.l_linger, 7);
    EXPECT_EQ(len, static_cast<int>(sizeof back));

    // Boolean options and buffer sizes read back as they were set.
    const struct {
        int level;
        int name;
        int value;
    } rows[] = {
        {SOL_SOCKET, SO_KEEPALIVE, 1}, {SOL_SOCKET, SO_REUSEADDR, 1},
        {SOL_SOCKET, SO_OOBINLINE, 1}, {IPPROTO_TCP, TCP_NODELAY, 1},
        {SOL_SOCKET, SO_RCVBUF, 32768}, {SOL_SOCKET, SO_SNDBUF, 32768},
    };
    for (const auto& r : rows) {
        int value = r.value;
        v = reinterpret_cast<char*>(&value);
        ASSERT_EQ(winsock::setsockopt(p.near, r.level, r.name, v, sizeof value), 0) << r.name;
        value = -1;
        len = sizeof value;
        ASSERT_EQ(winsock::getsockopt(p.near, r.level, r.name, v, &len), 0) << r.name;
        EXPECT_EQ(value != 0, r.value != 0) << r.name;
        if (r.value > 1) {
            EXPECT_EQ(value, r.value) << r.name;
        }
    }

    int type = 0;
    len = sizeof type;
    ASSERT_EQ(winsock::getsockopt(p.near, SOL_SOCKET, SO_TYPE, reinterpret_cast<char*>(&type), &len), 0);
    EXPECT_EQ(type, SOCK_STREAM);
    int unknown = 1;
    EXPECT_EQ(winsock::setsockopt(p.near, SOL_SOCKET, 0x7777, reinterpret_cast<char*>(&unknown), sizeof unknown), SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSAENOPROTOOPT);

    ASSERT_TRUE(SendAll(p.far, "12345"));
    char c;
    ASSERT_EQ(winsock::recv(p.near, &c, 1, MSG_PEEK), 1);  // arrived
    winsock::u_long n = 0;
    ASSERT_EQ(winsock::ioctlsocket(p.near, FIONREAD, &n), 0);
    EXPECT_EQ(n, 5u);
    winsock::u_long atMark = 0;
    ASSERT_EQ(winsock::ioctlsocket(p.near, SIOCATMARK, &atMark), 0);
    EXPECT_EQ(atMark, 1u);  // no out-of-band data waits
    EXPECT_EQ(winsock::ioctlsocket(p.near, 0x1234, &n), SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSAEINVAL);
}

TEST_F(WinSockCalls, PendingConnectErrorReadsAsWinSockCode) {
    winsock::sockaddr_in closed = winsock_test::ClosedPort();
    const SOCKET s = winsock::socket(AF_INET, SOCK_STREAM, 0);
    winsock::u_long on = 1;
    ASSERT_EQ(winsock::ioctlsocket(s, FIONBIO, &on), 0);
    const int r = winsock::connect(s, Addr(closed), sizeof closed);
    int err = 0;
    if (r == SOCKET_ERROR && WSAGetLastError() == WSAEWOULDBLOCK) {
        int len = sizeof err;
        for (int i = 0; i < 500 && err == 0; ++i) {
            ASSERT_EQ(winsock::getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&err), &len), 0);
            if (err == 0) Sleep(5);
        }
    } else {
        err = WSAGetLastError();
    }
    EXPECT_EQ(err, WSAECONNREFUSED);
    winsock::closesocket(s);
}

TEST(WinSockAddressText, InetAddrReadsWinSockDottedForms) {
    const struct {
        const char* text;
        winsock::u_long hostOrder;
    } rows[] = {
        {"127.0.0.1", 0x7f000001}, {"127.1", 0x7f000001}, {"10.1.2", 0x0a010002},
        {"0x7f.0.0.1", 0x7f000001}, {"0177.0.0.01", 0x7f000001}, {"2130706433", 0x7f000001},
        {"1.2.3.4.5", INADDR_NONE}, {"256.1.1.1", INADDR_NONE}, {"1.2.3.256", INADDR_NONE},
        {"", INADDR_NONE}, {"1..2", INADDR_NONE}, {" 1.2.3.4", INADDR_NONE},
        {"1.2.3.4 ", INADDR_NONE}, {"08.1.1.1", INADDR_NONE}, {"0x", INADDR_NONE},
        {"host.example", INADDR_NONE}, {"4294967296", INADDR_NONE},
    };
    for (const auto& r : rows) {
        const winsock::u_long expected = r.hostOrder == INADDR_NONE ? INADDR_NONE : winsock::htonl(r.hostOrder);
        EXPECT_EQ(winsock::inet_addr(r.text), expected) << '"' << r.text << '"';
    }
    // The broadcast address and "no address" are the same value, as in WinSock.
    EXPECT_EQ(winsock::inet_addr("255.255.255.255"), INADDR_NONE);
    EXPECT_EQ(winsock::inet_addr(nullptr), INADDR_NONE);
}

TEST(WinSockAddressText, ByteOrderAndDottedTextRoundTrip) {
    EXPECT_EQ(winsock::ntohs(winsock::htons(0x1234)), 0x1234);
    EXPECT_EQ(winsock::ntohl(winsock::htonl(0x01020304u)), 0x01020304u);
    winsock::in_addr a;
    a.s_addr = winsock::htonl(0xc0a80a01);
    const unsigned char* bytes = reinterpret_cast<const unsigned char*>(&a.s_addr);
    EXPECT_EQ(bytes[0], 192);  // network order is big-endian
    EXPECT_STREQ(winsock::inet_ntoa(a), "192.168.10.1");
    // Each thread has its own text buffer.
    const char* mine = winsock::inet_ntoa(a);
    std::string theirs;
    std::thread other([&] {
        winsock::in_addr b;
        b.s_addr = winsock::htonl(0x0a000001);
        theirs = winsock::inet_ntoa(b);
    });
    other.join();
    EXPECT_EQ(theirs, "10.0.0.1");
    EXPECT_STREQ(mine, "192.168.10.1");
}

TEST_F(WinSockCalls, MalformedHostNamesFailWithoutAResolver) {
    const std::string longLabel(64, 'a');
    const std::string tooLong = std::string(250, 'a') + ".bcdef";
    const char* names[] = {"", "a b", "a..b", ".a", "bad$name", "1.2.3.256", "10.0.0.999",
                           longLabel.c_str(), tooLong.c_str(), "host name.example"};
    for (const char* name : names) {
        WSASetLastError(0);
        EXPECT_EQ(winsock::gethostbyname(name), nullptr) << '"' << name << '"';
        EXPECT_EQ(WSAGetLastError(), WSAHOST_NOT_FOUND) << '"' << name << '"';
    }
    EXPECT_EQ(winsock::gethostbyname(nullptr), nullptr);
    EXPECT_EQ(WSAGetLastError(), WSAEFAULT);
}

TEST_F(WinSockCalls, DottedAddressesResolveToThemselves) {
    winsock::hostent* h = winsock::gethostbyname("127.0.0.1");
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(h->h_addrtype, AF_INET);
    EXPECT_EQ(h->h_length, 4);
    ASSERT_NE(h->h_addr_list[0], nullptr);
    EXPECT_EQ(h->h_addr_list[1], nullptr);
    winsock::in_addr a;
    std::memcpy(&a, h->h_addr, 4);
    EXPECT_STREQ(winsock::inet_ntoa(a), "127.0.0.1");
    // The broadcast text, which inet_addr cannot tell from failure, resolves.
    h = winsock::gethostbyname("255.255.255.255");
    ASSERT_NE(h, nullptr);
    std::memcpy(&a, h->h_addr, 4);
    EXPECT_EQ(a.s_addr, INADDR_BROADCAST);
}

TEST_F(WinSockCalls, LocalHostNameIsAvailable) {
    char name[256];
    ASSERT_EQ(winsock::gethostname(name, sizeof name), 0);
    EXPECT_GT(std::strlen(name), 0u);
    char tiny[1];
    EXPECT_EQ(winsock::gethostname(tiny, sizeof tiny), SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSAEFAULT);
}

}  // namespace
