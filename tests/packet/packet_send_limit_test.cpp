// Back-pressure on the send queue: the byte count, and the limit that refuses a packet with
// WSAENOBUFS while the queue waits for the socket, without closing it or losing order.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "packet_test_util.h"

using packet_test::Codes;
using packet_test::ConnectedProbe;
using packet_test::Contents;
using packet_test::Frame;
using packet_test::Payload;
using packet_test::RecvExactly;
using winsock::seam::ScriptSend;
using winsock::seam::WouldBlock;

namespace {

int SendString(CQmtpSocket& sock, std::string payload) {
    return sock.Send(payload.empty() ? nullptr : &payload[0], static_cast<int>(payload.size()));
}

TEST(PacketSendLimit, RefusesThePacketThatWouldPassTheLimitAndTakesItOnceTheSocketDrains) {
    ConnectedProbe c;
    ASSERT_TRUE(c.ok);
    EXPECT_EQ(0u, c.sock.GetSendQueueLimit());
    c.sock.SetSendQueueLimit(100);
    EXPECT_EQ(100u, c.sock.GetSendQueueLimit());
    const std::string a = Payload(60, 1), b = Payload(30, 2), d = Payload(10, 3);
    ScriptSend(c.sock.m_hSocket, {WouldBlock(), WouldBlock()});

    EXPECT_GT(SendString(c.sock, a), 0);
    EXPECT_EQ(64u, c.sock.GetSendQueueBytes());
    EXPECT_GT(SendString(c.sock, b), 0) << "64 + 34 bytes stay within 100";
    EXPECT_EQ(98u, c.sock.GetSendQueueBytes());

    WSASetLastError(0);
    EXPECT_EQ(SOCKET_ERROR, SendString(c.sock, d)) << "98 + 14 bytes would pass 100";
    EXPECT_EQ(WSAENOBUFS, WSAGetLastError());
    EXPECT_EQ((std::vector<std::string>{Frame(a), Frame(b)}), Contents(c.sock.m_SendList));
    EXPECT_EQ(98u, c.sock.GetSendQueueBytes());
    EXPECT_NE(INVALID_SOCKET, c.sock.m_hSocket) << "a refusal leaves the socket open";
    EXPECT_EQ(0, c.sock.closeCalls);

    // The socket takes data again: the send event empties the queue and tells the application.
    c.sock.OnSend(0);
    EXPECT_EQ(0u, c.sock.GetSendQueueBytes());
    packet_test::DrainQueue();
    EXPECT_EQ(std::vector<WPARAM>{TP_NOTIFY_SEND}, Codes(c.wnd));
    EXPECT_EQ(1, SendString(c.sock, d));

    std::string got;
    const std::string expected = Frame(a) + Frame(b) + Frame(d);
    ASSERT_TRUE(RecvExactly(c.peer, expected.size(), got));
    EXPECT_EQ(expected, got);
}

TEST(PacketSendLimit, APacketLargerThanTheLimitFitsAnEmptyQueueAndNoLimitRefusesNothing) {
    ConnectedProbe c;
    ASSERT_TRUE(c.ok);
    c.sock.SetSendQueueLimit(10);
    const std::string big = Payload(500, 4);
    ScriptSend(c.sock.m_hSocket, {WouldBlock()});
    EXPECT_GT(SendString(c.sock, big), 0) << "the queue was empty";
    EXPECT_EQ(504u, c.sock.GetSendQueueBytes());
    EXPECT_EQ(SOCKET_ERROR, SendString(c.sock, "x"));
    EXPECT_EQ(WSAENOBUFS, WSAGetLastError());

    c.sock.SetSendQueueLimit(0);
    ScriptSend(c.sock.m_hSocket, {WouldBlock(), WouldBlock(), WouldBlock()});
    for (int i = 0; i < 3; ++i) {
        EXPECT_GT(SendString(c.sock, big), 0);
    }
    EXPECT_EQ(4u * 504u, c.sock.GetSendQueueBytes());
    c.sock.OnSend(0);  // the script is spent: the real socket takes it all
    std::string got;
    ASSERT_TRUE(RecvExactly(c.peer, 4u * 504u, got));
    EXPECT_EQ(Frame(big) + Frame(big) + Frame(big) + Frame(big), got);
    EXPECT_EQ(0u, c.sock.GetSendQueueBytes());
}

// A packet written straight from the caller's buffer counts towards the limit with only what
// the socket did not take; a refusal leaves that rest alone.
TEST(PacketSendLimit, TheRestOfADirectWriteIsWhatCountsTowardsTheLimit) {
    ConnectedProbe c;
    ASSERT_TRUE(c.ok);
    c.sock.SetSendQueueLimit(450);
    const std::string a = Payload(500, 1), b = Payload(40, 2), d = Payload(60, 3);
    ScriptSend(c.sock.m_hSocket, {winsock::seam::TakeBytes(100), WouldBlock(), WouldBlock()});
    EXPECT_GT(SendString(c.sock, a), 0) << "a packet above the limit fits the empty queue";
    EXPECT_EQ(404u, c.sock.GetSendQueueBytes());
    EXPECT_GT(SendString(c.sock, b), 0) << "404 + 44 bytes stay within 450";
    EXPECT_EQ(448u, c.sock.GetSendQueueBytes());
    EXPECT_EQ(SOCKET_ERROR, SendString(c.sock, d));
    EXPECT_EQ(WSAENOBUFS, WSAGetLastError());
    EXPECT_EQ((std::vector<std::string>{Frame(a).substr(100), Frame(b)}), Contents(c.sock.m_SendList));

    c.sock.OnSend(0);
    EXPECT_EQ(0u, c.sock.GetSendQueueBytes());
    EXPECT_EQ(1, SendString(c.sock, d));
    std::string got;
    const std::string expected = Frame(a) + Frame(b) + Frame(d);
    ASSERT_TRUE(RecvExactly(c.peer, expected.size(), got));
    EXPECT_EQ(expected, got);
}

TEST(PacketSendLimit, ConcurrentSendersStayWithinTheLimitAndEveryAcceptedPacketArrivesInOrder) {
    ConnectedProbe c;
    ASSERT_TRUE(c.ok);
    const UINT limit = 4096;
    const size_t frameLen = 4 + 4 + 200;  // length field, sender and sequence, padding
    c.sock.SetSendQueueLimit(limit);
    const int kThreads = 8;
    const int kPackets = 300;
    std::atomic<int> running{kThreads};
    std::atomic<bool> overLimit{false};
    std::atomic<int> refused{0};
    // Small socket buffers make the queue fill, so that the limit has work to do.
    int small = 4096;
    ASSERT_TRUE(c.sock.SetSockOpt(SO_SNDBUF, &small, sizeof small));
    ASSERT_EQ(0, winsock::setsockopt(c.peer, SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char*>(&small), sizeof small));

    std::vector<std::thread> senders;
    for (int t = 0; t < kThreads; ++t) {
        senders.emplace_back([&, t] {
            for (int i = 0; i < kPackets;) {
                std::string payload(frameLen - 4, static_cast<char>('a' + t));
                payload[0] = static_cast<char>(t);
                payload[1] = static_cast<char>(i >> 8);
                payload[2] = static_cast<char>(i);
                const int result = SendString(c.sock, payload);
                if (result >= 0) {  // 0: another sender's flush wrote it
                    ++i;
                } else if (result == SOCKET_ERROR && WSAGetLastError() == WSAENOBUFS) {
                    ++refused;
                    std::this_thread::yield();  // a real application waits for TP_NOTIFY_SEND
                } else {
                    ADD_FAILURE() << "send failed with " << WSAGetLastError();
                    break;
                }
                if (c.sock.GetSendQueueBytes() > limit) {
                    overLimit = true;
                }
            }
            --running;
        });
    }

    // The test thread plays the window's thread: it reads the peer and runs the send event.
    std::string got;
    const size_t total = static_cast<size_t>(kThreads) * kPackets * frameLen;
    // It starts reading once the limit has refused a packet (or every sender is done), so
    // that the limit is reached however fast the system's socket takes the bytes.
    const DWORD start = GetTickCount();
    while ((running > 0 || got.size() < total) && GetTickCount() - start < 60000) {
        if (refused == 0 && running > 0) {
            std::this_thread::yield();
            continue;
        }
        packet_test::ReadAvailable(c.peer, got);
        c.sock.OnSend(0);
        packet_test::DrainQueue();
        c.wnd.clear();
        if (c.sock.GetSendQueueBytes() > limit) {
            overLimit = true;
        }
    }
    for (std::thread& s : senders) {
        s.join();
    }
    EXPECT_FALSE(overLimit) << "no packet passes the limit while the queue holds others";
    EXPECT_GT(refused.load(), 0) << "the socket never fell behind: the limit was not exercised";
    ASSERT_EQ(total, got.size());
    EXPECT_EQ(0u, c.sock.GetSendQueueBytes());

    int next[kThreads] = {};
    for (size_t off = 0; off < got.size(); off += frameLen) {
        ASSERT_EQ(packet_test::LengthField(static_cast<UINT>(frameLen - 4)), got.substr(off, 4));
        const int t = static_cast<unsigned char>(got[off + 4]);
        ASSERT_LT(t, kThreads);
        const int seq = (static_cast<unsigned char>(got[off + 5]) << 8) | static_cast<unsigned char>(got[off + 6]);
        EXPECT_EQ(next[t]++, seq) << "sender " << t << " out of order";
        EXPECT_EQ(std::string(frameLen - 7, static_cast<char>('a' + t)), got.substr(off + 7, frameLen - 7));
    }
}

}  // namespace

namespace {

// A write error (the system's ENOBUFS, which keeps the socket) leaves the queue waiting for no
// FD_WRITE: a Send that the limit would refuse writes the queue again first, so the socket is
// never stuck refusing everything.
TEST(PacketSendLimit, ARefusedSendFirstRetriesAQueueThatAWriteErrorLeft) {
    ConnectedProbe c;
    ASSERT_TRUE(c.ok);
    c.sock.SetSendQueueLimit(100);
    const std::string a = Payload(60, 1), d = Payload(40, 3);
    ScriptSend(c.sock.m_hSocket, {WouldBlock(), winsock::seam::FailWith(WSAENOBUFS)});
    EXPECT_GT(SendString(c.sock, a), 0);
    c.sock.OnSend(0);  // its flush fails: no further FD_WRITE comes
    EXPECT_EQ(64u, c.sock.GetSendQueueBytes());

    EXPECT_NE(SOCKET_ERROR, SendString(c.sock, d)) << "64 + 44 bytes: the queue is written first";
    EXPECT_EQ(0u, c.sock.GetSendQueueBytes());
    std::string got;
    const std::string expected = Frame(a) + Frame(d);
    ASSERT_TRUE(RecvExactly(c.peer, expected.size(), got));
    EXPECT_EQ(expected, got);
}

}  // namespace
