// The send queue over a loopback connection, with the socket seam producing exact sequences
// of partial writes, would-blocks and errors.
#include <gtest/gtest.h>

#include <thread>

#include "alloc_failure.h"
#include "packet_test_util.h"

using packet_test::Codes;
using packet_test::ConnectedProbe;
using packet_test::Contents;
using packet_test::DrainQueue;
using packet_test::Frame;
using packet_test::Payload;
using packet_test::RecvExactly;
using winsock::seam::FailWith;
using winsock::seam::ScriptSend;
using winsock::seam::TakeBytes;
using winsock::seam::WouldBlock;

namespace {

int SendString(CQmtpSocket& sock, std::string payload) {
    return sock.Send(payload.empty() ? nullptr : &payload[0], static_cast<int>(payload.size()));
}

TEST(PacketSend, FramesGoOnTheWireBackToBack) {
    ConnectedProbe c;
    ASSERT_TRUE(c.ok);
    const std::string payloads[] = {"abc", Payload(300, 1), "", Payload(65536, 2), "de"};
    std::string expected;
    for (const std::string& p : payloads) {
        expected += Frame(p);
    }
    ASSERT_EQ(std::string("\x00\x00\x00\x03" "abc", 7), Frame("abc"));

    std::string got;
    for (const std::string& p : payloads) {
        const int result = SendString(c.sock, p);
        EXPECT_GT(result, 0);
        if (p.size() < 1000) {
            EXPECT_EQ(1, result) << "written whole on an empty queue";
        }
        // Flush whatever loopback could not take at once.
        const DWORD start = GetTickCount();
        while (!c.sock.m_SendList.IsEmpty() && GetTickCount() - start < 10000) {
            packet_test::ReadAvailable(c.peer, got);
            c.sock.OnSend(0);
        }
        ASSERT_TRUE(c.sock.m_SendList.IsEmpty());
    }
    ASSERT_TRUE(RecvExactly(c.peer, expected.size(), got));
    EXPECT_EQ(expected, got);
    EXPECT_TRUE(packet_test::NothingWaiting(c.peer));
}

TEST(PacketSend, UnframedBytesGoOutUnchangedAndAnEmptyOneCountsAsWritten) {
    ConnectedProbe c;
    ASSERT_TRUE(c.ok);
    char bytes[] = "raw bytes";
    EXPECT_EQ(1, c.sock.SendPure(bytes, 9, 0x7F));
    EXPECT_EQ(1, c.sock.SendPacket(bytes, 0));
    EXPECT_EQ(1, c.sock.SendPacket(bytes + 4, 5));
    std::string got;
    ASSERT_TRUE(RecvExactly(c.peer, 14, got));
    EXPECT_EQ("raw bytesbytes", got);
    EXPECT_TRUE(packet_test::NothingWaiting(c.peer));
}

TEST(PacketSend, PartialWriteKeepsExactlyTheTailAndTheNextSendEventFinishesInOrder) {
    ConnectedProbe c;
    ASSERT_TRUE(c.ok);
    const std::string first = Frame("hello world");
    const std::string second = Frame("xyz");
    ScriptSend(c.sock.m_hSocket, {TakeBytes(5), WouldBlock(), WouldBlock()});

    EXPECT_GT(SendString(c.sock, "hello world"), 0);
    EXPECT_EQ(std::vector<std::string>{first.substr(5)}, Contents(c.sock.m_SendList));
    EXPECT_GT(SendString(c.sock, "xyz"), 0);
    EXPECT_EQ((std::vector<std::string>{first.substr(5), second}), Contents(c.sock.m_SendList));

    c.sock.OnSend(0);
    EXPECT_TRUE(c.sock.m_SendList.IsEmpty());
    std::string got;
    ASSERT_TRUE(RecvExactly(c.peer, first.size() + second.size(), got));
    EXPECT_EQ(first + second, got);
    DrainQueue();
    EXPECT_EQ(std::vector<WPARAM>{TP_NOTIFY_SEND}, Codes(c.wnd));
}

TEST(PacketSend, FirstPacketWrittenWholeSecondBlocksPartway) {
    ConnectedProbe c;
    ASSERT_TRUE(c.ok);
    const std::string first = Frame(Payload(40, 1));
    const std::string second = Frame(Payload(60, 2));
    ScriptSend(c.sock.m_hSocket, {WouldBlock(), TakeBytes(static_cast<int>(first.size())),
                                  TakeBytes(3), WouldBlock()});
    EXPECT_GT(SendString(c.sock, Payload(40, 1)), 0);
    EXPECT_EQ(1, c.sock.m_SendList.GetCount());
    EXPECT_GT(SendString(c.sock, Payload(60, 2)), 0);
    EXPECT_EQ(std::vector<std::string>{second.substr(3)}, Contents(c.sock.m_SendList));
    std::string got;
    ASSERT_TRUE(RecvExactly(c.peer, first.size() + 3, got));
    EXPECT_EQ(first + second.substr(0, 3), got);
}

TEST(PacketSend, WriteErrorReportsMinusOneKeepsTheQueueAndStoresTheText) {
    ConnectedProbe c;
    ASSERT_TRUE(c.ok);
    ScriptSend(c.sock.m_hSocket, {FailWith(WSAECONNRESET)});
    g_strTpSocketError.Empty();
    EXPECT_EQ(-1, SendString(c.sock, "abc"));
    EXPECT_EQ(std::vector<std::string>{Frame("abc")}, Contents(c.sock.m_SendList));
    CString expected;
    QmGetWSAErrorString(WSAECONNRESET, expected);
    EXPECT_EQ(expected, g_strTpSocketError);
    EXPECT_NE(INVALID_SOCKET, c.sock.m_hSocket) << "the socket stays open";
    EXPECT_EQ(0, c.sock.closeCalls);
}

TEST(PacketSend, SendEventWithAnErrorWritesNothingAndStillNotifies) {
    ConnectedProbe c;
    ASSERT_TRUE(c.ok);
    ScriptSend(c.sock.m_hSocket, {WouldBlock()});
    EXPECT_GT(SendString(c.sock, "abc"), 0);
    c.sock.OnSend(WSAECONNABORTED);
    EXPECT_EQ(WSAECONNABORTED, c.sock.GetErrorCode());
    EXPECT_EQ(1, c.sock.m_SendList.GetCount());
    DrainQueue();
    EXPECT_EQ(std::vector<WPARAM>{TP_NOTIFY_SEND}, Codes(c.wnd));
}

TEST(PacketSend, SendAfterCloseFailsAndThePacketStaysQueued) {
    ConnectedProbe c;
    ASSERT_TRUE(c.ok);
    c.sock.OnClose(0);
    g_strTpSocketError.Empty();
    EXPECT_EQ(-1, SendString(c.sock, "late"));
    EXPECT_EQ(std::vector<std::string>{Frame("late")}, Contents(c.sock.m_SendList));
    EXPECT_FALSE(g_strTpSocketError.IsEmpty());
}

TEST(PacketSend, NegativeLengthIsRefusedWithNothingQueued) {
    packet_test::ProbeSocket sock;
    char byte = 0;
    WSASetLastError(0);
    EXPECT_EQ(SOCKET_ERROR, sock.Send(&byte, -1));
    EXPECT_EQ(WSAEINVAL, WSAGetLastError());
    EXPECT_EQ(SOCKET_ERROR, sock.SendPure(&byte, -5));
    EXPECT_TRUE(sock.m_SendList.IsEmpty());
}

TEST(PacketSend, AllocationFailureInsideTheFlushLeavesTheLockClosesAndReportsMinusOne) {
    ConnectedProbe c;
    ASSERT_TRUE(c.ok);
    const std::string payload = Payload(4093, 9);  // frame of 4097 bytes
    ScriptSend(c.sock.m_hSocket, {TakeBytes(10), WouldBlock()});
    alloc_failure::FailNextOfSize(4097 - 10);  // the copy of the unwritten rest
    EXPECT_EQ(-1, SendString(c.sock, payload));
    EXPECT_FALSE(alloc_failure::Armed()) << "the injected failure was not reached";
    alloc_failure::Disarm();

    EXPECT_EQ(1, c.sock.closeCalls) << "closed through the virtual Close";
    EXPECT_EQ(INVALID_SOCKET, c.sock.m_hSocket);
    // The queue is as it was when the failure struck.
    EXPECT_EQ(std::vector<std::string>{Frame(payload)}, Contents(c.sock.m_SendList));
    // The lock is free: another thread can take it.
    BOOL entered = FALSE;
    std::thread other([&] {
        entered = TryEnterCriticalSection(&c.sock.m_csLock);
        if (entered) {
            LeaveCriticalSection(&c.sock.m_csLock);
        }
    });
    other.join();
    EXPECT_TRUE(entered);
}

}  // namespace
