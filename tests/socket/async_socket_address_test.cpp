// Addresses built from strings and ports (Connect, SendTo), the address queries, UDP transfer,
// and GetLocalIPAddrAndPort.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "socket/socket_test_helpers.h"

namespace talven_test {
namespace {

const char kUnresolvable[] = "no-such-host.talven-test";

using AsyncSocketAddress = NotifySinkTest;

TEST_F(AsyncSocketAddress, ConnectWithoutHostFailsLeavingTheLastError) {
    CQmAsyncSocket s;
    ASSERT_EQ(1, s.Create(hwnd()));
    const char* noHost = nullptr;  // a bare nullptr would pick the sockaddr overload
    WSASetLastError(4242);
    EXPECT_EQ(0, s.Connect(noHost, 80));
    EXPECT_EQ(4242, WSAGetLastError());
}

TEST_F(AsyncSocketAddress, UnresolvableHostIsInvalidArgumentAndNothingIsSent) {
    winsock::seam::FailLookup(kUnresolvable, WSAHOST_NOT_FOUND);
    CQmAsyncSocket tcp;
    ASSERT_EQ(1, tcp.Create(hwnd()));
    EXPECT_EQ(0, tcp.Connect(kUnresolvable, 80));
    EXPECT_EQ(WSAEINVAL, WSAGetLastError());

    CQmAsyncSocket udp;
    ASSERT_EQ(1, udp.Create(hwnd(), 0, SOCK_DGRAM, FD_READ, "127.0.0.1"));
    winsock::seam::CaptureSendTo(udp, true);
    EXPECT_EQ(SOCKET_ERROR, udp.SendTo("x", 1, 9, kUnresolvable));
    EXPECT_EQ(WSAEINVAL, WSAGetLastError());
    EXPECT_TRUE(winsock::seam::CapturedSendTo(udp).empty());
}

TEST_F(AsyncSocketAddress, ConnectToADottedAddressCompletesThroughOnConnect) {
    UINT port = 0;
    const SOCKET listener = ListenLoopback(port);
    ASSERT_NE(INVALID_SOCKET, listener);
    RecordingSocket s;
    ASSERT_EQ(1, s.Create(hwnd()));
    ASSERT_EQ(1, Register(s));

    EXPECT_EQ(0, s.Connect("127.0.0.1", port + 0x10000));  // only the low 16 bits count
    EXPECT_EQ(WSAEWOULDBLOCK, WSAGetLastError());
    ASSERT_TRUE(PumpUntil([&] { return s.Count(FD_CONNECT) == 1; }));
    EXPECT_EQ((HandlerCall{FD_CONNECT, 0}), s.calls[0]);

    Unregister(s);
    winsock::closesocket(listener);
}

TEST_F(AsyncSocketAddress, SendToBuildsItsDestinationFromHostAndLow16BitsOfPort) {
    const struct {
        const char* host;
        UINT port;
        winsock::u_long address;  // host order
        winsock::u_short expectedPort;
    } cases[] = {
        {nullptr, 4464, INADDR_BROADCAST, 4464},
        {nullptr, 0x10000 + 4464, INADDR_BROADCAST, 4464},
        {"127.0.0.1", 0x1FFFF, INADDR_LOOPBACK, 0xFFFF},
        {"127.0.0.1", 0x10000, INADDR_LOOPBACK, 0},
    };
    CQmAsyncSocket s;
    ASSERT_EQ(1, s.Create(hwnd(), 0, SOCK_DGRAM, FD_READ, "127.0.0.1"));
    winsock::seam::CaptureSendTo(s, true);
    for (const auto& c : cases) {
        EXPECT_EQ(3, s.SendTo("abc", 3, c.port, c.host));
    }
    const auto sent = winsock::seam::CapturedSendTo(s);
    ASSERT_EQ(std::size(cases), sent.size());
    for (std::size_t i = 0; i < sent.size(); ++i) {
        EXPECT_EQ(AF_INET, sent[i].to.sin_family);
        EXPECT_EQ(winsock::htonl(cases[i].address), sent[i].to.sin_addr.s_addr) << i;
        EXPECT_EQ(winsock::htons(cases[i].expectedPort), sent[i].to.sin_port) << i;
        EXPECT_EQ("abc", sent[i].bytes);
    }
}

TEST_F(AsyncSocketAddress, DatagramsCarryTheSendersDottedAddressAndPort) {
    CQmAsyncSocket sender;
    RecordingSocket receiver;
    ASSERT_EQ(1, sender.Create(hwnd(), 0, SOCK_DGRAM, FD_READ, "127.0.0.1"));
    ASSERT_EQ(1, receiver.Create(hwnd(), 0, SOCK_DGRAM, FD_READ, "127.0.0.1"));
    ASSERT_EQ(1, Register(receiver));
    CString address("unchanged");
    UINT port = 7;
    CString senderAddress;
    UINT senderPort = 0;
    UINT receiverPort = 0;
    ASSERT_EQ(1, sender.GetSockName(senderAddress, senderPort));
    ASSERT_EQ(1, receiver.GetSockName(address, receiverPort));
    address = "unchanged";

    char buffer[64];
    EXPECT_EQ(SOCKET_ERROR, receiver.ReceiveFrom(buffer, sizeof buffer, address, port));
    EXPECT_EQ(WSAEWOULDBLOCK, WSAGetLastError());
    EXPECT_EQ(CString("unchanged"), address);
    EXPECT_EQ(7u, port);

    ASSERT_EQ(5, sender.SendTo("hello", 5, receiverPort, "127.0.0.1"));
    ASSERT_TRUE(PumpUntil([&] { return receiver.Count(FD_READ) > 0; }));
    ASSERT_EQ(5, receiver.ReceiveFrom(buffer, sizeof buffer, address, port));
    EXPECT_EQ(0, std::memcmp(buffer, "hello", 5));
    EXPECT_EQ(CString("127.0.0.1"), address);
    EXPECT_EQ(senderPort, port);
    Unregister(receiver);
}

TEST_F(AsyncSocketAddress, NameQueriesGiveDottedTextAndPortOrTouchNothing) {
    UINT listenPort = 0;
    const SOCKET listener = ListenLoopback(listenPort);
    ASSERT_NE(INVALID_SOCKET, listener);
    RecordingSocket s;
    ASSERT_EQ(1, s.Create(hwnd(), 0, SOCK_STREAM,
                          FD_READ | FD_WRITE | FD_CONNECT | FD_CLOSE, "127.0.0.1"));
    ASSERT_EQ(1, Register(s));

    CString address("unchanged");
    UINT port = 7;
    EXPECT_EQ(0, s.GetPeerName(address, port));  // not connected yet
    EXPECT_EQ(CString("unchanged"), address);
    EXPECT_EQ(7u, port);

    s.Connect("127.0.0.1", listenPort);
    ASSERT_TRUE(PumpUntil([&] { return s.Count(FD_CONNECT) == 1; }));
    const SOCKET accepted = winsock::accept(listener, nullptr, nullptr);
    ASSERT_NE(INVALID_SOCKET, accepted);

    ASSERT_EQ(1, s.GetPeerName(address, port));
    EXPECT_EQ(CString("127.0.0.1"), address);
    EXPECT_EQ(listenPort, port);

    ASSERT_EQ(1, s.GetSockName(address, port));
    EXPECT_EQ(CString("127.0.0.1"), address);
    winsock::sockaddr_in seen;
    int seenLen = sizeof seen;
    ASSERT_NE(SOCKET_ERROR, winsock::getpeername(accepted, reinterpret_cast<winsock::sockaddr*>(&seen),
                                                 &seenLen));
    EXPECT_EQ(winsock::ntohs(seen.sin_port), port);

    Unregister(s);
    winsock::closesocket(accepted);
    winsock::closesocket(listener);
}

TEST_F(AsyncSocketAddress, LocalAddressAndPortOfABoundSocket) {
    CQmAsyncSocket s;
    ASSERT_EQ(1, s.Create(hwnd(), 0, SOCK_STREAM, FD_READ, "127.0.0.1"));
    char address[16] = {};
    UINT port = 0;
    ASSERT_EQ(1, s.GetLocalIPAddrAndPort(address, port));
    EXPECT_NE(INADDR_NONE, winsock::inet_addr(address)) << address;
    CString unused;
    UINT boundPort = 0;
    ASSERT_EQ(1, s.GetSockName(unused, boundPort));
    EXPECT_EQ(boundPort, port);
}

TEST_F(AsyncSocketAddress, LocalAddressFailuresWriteTheErrorText) {
    char hostName[256] = {};
    ASSERT_NE(SOCKET_ERROR, winsock::gethostname(hostName, 255));
    CQmAsyncSocket noSocket;
    char address[16] = {};
    UINT port = 7;

    // The socket query fails after the address was written.
    g_strSocketError.Empty();
    EXPECT_EQ(0, noSocket.GetLocalIPAddrAndPort(address, port));
    CString expected;
    QmGetWSAErrorString(WSAGetLastError(), expected);
    EXPECT_FALSE(expected.IsEmpty());
    EXPECT_EQ(expected, g_strSocketError);
    EXPECT_NE('\0', address[0]);
    EXPECT_EQ(7u, port);

    // The host lookup fails.
    winsock::seam::FailLookup(hostName, WSAHOST_NOT_FOUND);
    g_strSocketError.Empty();
    EXPECT_EQ(0, noSocket.GetLocalIPAddrAndPort(address, port));
    EXPECT_EQ(CString("WSAHOST_NOT_FOUND: Host not found"), g_strSocketError);
}

}  // namespace
}  // namespace talven_test
