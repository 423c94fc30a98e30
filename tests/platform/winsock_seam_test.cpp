// The socket seam: scripted sends and reads, sendto capture, lookup failures.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "platform/winsock/winsock.h"
#include "platform/winsock/winsock_seam.h"
#include "support/test_support.h"
#include "tests/platform/winsock_test_helpers.h"

namespace seam = winsock::seam;
using talven_test::PumpFor;
using talven_test::PumpUntil;
using talven_test::RecordingWindow;
using winsock_test::Count;
using winsock_test::kNotify;
using winsock_test::Pair;

namespace {

class SocketSeam : public ::testing::Test {
protected:
    talven_test::WinSockSession session_;
    void SetUp() override { ASSERT_TRUE(session_.ok()); }
    void TearDown() override { seam::ClearAll(); }
};

std::string ReadExactly(SOCKET s, std::size_t n) {
    std::string out(n, '\0');
    std::size_t got = 0;
    while (got < n) {
        const int r = winsock::recv(s, &out[got], static_cast<int>(n - got), 0);
        if (r <= 0) break;
        got += static_cast<std::size_t>(r);
    }
    out.resize(got);
    return out;
}

TEST_F(SocketSeam, ScriptedSendsTakeWouldBlockAndFailThenTheRealSocketAgain) {
    Pair p;
    ASSERT_TRUE(p.ok());
    RecordingWindow w;
    ASSERT_EQ(winsock::WSAAsyncSelect(p.far, w.hwnd(), kNotify, FD_WRITE), 0);
    ASSERT_TRUE(PumpUntil([&] { return Count(w, p.far, FD_WRITE) == 1; }));

    seam::ScriptSend(p.far, {seam::TakeBytes(3), seam::WouldBlock(), seam::FailWith(WSAECONNABORTED)});
    EXPECT_EQ(winsock::send(p.far, "abcdef", 6, 0), 3);  // a partial write the peer sees
    EXPECT_EQ(winsock::send(p.far, "def", 3, 0), SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSAEWOULDBLOCK);
    // As after a real would-block, FD_WRITE follows once the socket can take data.
    ASSERT_TRUE(PumpUntil([&] { return Count(w, p.far, FD_WRITE) == 2; }));
    EXPECT_EQ(winsock::send(p.far, "def", 3, 0), SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSAECONNABORTED);
    EXPECT_EQ(winsock::send(p.far, "def", 3, 0), 3);  // script used up: the real send
    EXPECT_EQ(ReadExactly(p.near, 6), "abcdef");
}

TEST_F(SocketSeam, ScriptedReadsHandOutChunksAndAnnounceThemWhileTheyLast) {
    Pair p;
    ASSERT_TRUE(p.ok());
    RecordingWindow w;
    ASSERT_EQ(winsock::WSAAsyncSelect(p.near, w.hwnd(), kNotify, FD_READ | FD_CLOSE), 0);
    seam::ScriptRecv(p.near, {seam::Chunk("hello"), seam::WouldBlock(), seam::Chunk("")});
    char buf[16];
    EXPECT_EQ(winsock::recv(p.near, buf, 3, 0), 3);  // a chunk longer than the buffer: in part
    EXPECT_EQ(std::string(buf, 3), "hel");
    // Scripted steps still waiting count as data: FD_READ is posted for them.
    ASSERT_TRUE(PumpUntil([&] { return Count(w, p.near, FD_READ) == 1; }));
    EXPECT_EQ(winsock::recv(p.near, buf, sizeof buf, 0), 2);
    EXPECT_EQ(std::string(buf, 2), "lo");
    EXPECT_EQ(winsock::recv(p.near, buf, sizeof buf, 0), SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSAEWOULDBLOCK);
    // The empty chunk reads as the peer's close, and FD_CLOSE follows.
    EXPECT_EQ(winsock::recv(p.near, buf, sizeof buf, 0), 0);
    ASSERT_TRUE(PumpUntil([&] { return Count(w, p.near, FD_CLOSE) == 1; }));
    // Script used up: the real socket (nothing waiting).
    EXPECT_EQ(winsock::recv(p.near, buf, sizeof buf, 0), SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSAEWOULDBLOCK);
}

TEST_F(SocketSeam, CapturedSendToRecordsDestinationAndBytesAndSendsNothing) {
    const SOCKET u = winsock::socket(AF_INET, SOCK_DGRAM, 0);
    ASSERT_NE(u, INVALID_SOCKET);
    seam::CaptureSendTo(u, true);
    winsock::sockaddr_in to;
    std::memset(&to, 0, sizeof to);
    to.sin_family = AF_INET;
    to.sin_port = winsock::htons(9);
    to.sin_addr.s_addr = winsock::htonl(INADDR_BROADCAST);  // never actually sent
    EXPECT_EQ(winsock::sendto(u, "ping", 4, 0, reinterpret_cast<winsock::sockaddr*>(&to), sizeof to), 4);
    const auto sent = seam::CapturedSendTo(u);
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].bytes, "ping");
    EXPECT_EQ(sent[0].to.sin_addr.s_addr, INADDR_BROADCAST);
    EXPECT_EQ(winsock::ntohs(sent[0].to.sin_port), 9);
    // closesocket drops the capture.
    winsock::closesocket(u);
    EXPECT_TRUE(seam::CapturedSendTo(u).empty());
}

TEST_F(SocketSeam, LookupFailuresApplyToTheirNameUntilCleared) {
    seam::FailLookup("localhost", WSATRY_AGAIN);
    EXPECT_EQ(winsock::gethostbyname("localhost"), nullptr);
    EXPECT_EQ(WSAGetLastError(), WSATRY_AGAIN);
    seam::FailLookup("127.0.0.1", WSAHOST_NOT_FOUND);  // even a dotted address
    EXPECT_EQ(winsock::gethostbyname("127.0.0.1"), nullptr);
    EXPECT_EQ(WSAGetLastError(), WSAHOST_NOT_FOUND);
    seam::ClearAll();
    EXPECT_NE(winsock::gethostbyname("127.0.0.1"), nullptr);
}

TEST_F(SocketSeam, ClosesocketDropsTheScriptsOfItsHandle) {
    const SOCKET old = winsock::socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_NE(old, INVALID_SOCKET);
    seam::ScriptRecv(old, {seam::Chunk("scripted")});
    winsock::closesocket(old);
    // A new socket with the same number reads from itself, not from the old script.
    const SOCKET fresh = winsock::socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_EQ(fresh, old);
    char buf[16];
    EXPECT_EQ(winsock::recv(fresh, buf, sizeof buf, 0), SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSAENOTCONN);
    winsock::closesocket(fresh);
}

}  // namespace
