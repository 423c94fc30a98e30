// A packet socket facing a hostile or broken peer: length fields beyond the payload bound, a
// peer that trickles one byte at a time, a peer that never reads while the application sends
// 100 MB, and a peer that goes away in the middle of a frame.
#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "integration/hostile_support.h"

using namespace talven_test;

namespace {

std::string Pattern(std::size_t n, unsigned seed) {
    std::string s(n, '\0');
    for (std::size_t i = 0; i < n; ++i) {
        s[i] = static_cast<char>((i * 131u + seed * 17u + (i >> 8)) & 0xff);
    }
    return s;
}

// Index of the first `code` in `codes`, or codes.size().
std::size_t IndexOf(const std::vector<WPARAM>& codes, WPARAM code) {
    return static_cast<std::size_t>(std::find(codes.begin(), codes.end(), code) - codes.begin());
}

UINT RoundUpToStep(std::uint64_t n) {
    return static_cast<UINT>((n + 1023) / 1024 * 1024);
}

}  // namespace

TEST(HostilePeer, LengthFieldBeyondTheBoundClosesWithMsgSizeAfterEarlierPackets) {
    struct Case {
        UINT bound;        // 0: the default
        std::uint32_t header;
    };
    const Case cases[] = {
        {0, 0xffffffffu},
        {0, TP_DEFAULT_MAX_PACKET_LEN + 1},
        {5000, 5001},
        {5000, 0xffffffffu},
        {5000, 0xfffffffcu},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("bound " + std::to_string(c.bound) + ", header " + std::to_string(c.header));
        PacketLink link;
        ASSERT_TRUE(link.connected());
        if (c.bound != 0) {
            link.sock.SetMaxPacketLen(c.bound);
        }
        ASSERT_TRUE(PumpSend(link.peer, Frame("before") + Header(c.header) + std::string(16, 'x')));
        ASSERT_TRUE(PumpUntil([&] { return link.closed(); }));

        const std::vector<WPARAM> codes = link.Codes();
        EXPECT_LT(IndexOf(codes, TP_NOTIFY_RECEIVE), IndexOf(codes, TP_NOTIFY_CLOSE));
        EXPECT_EQ(link.sock.GetErrorCode(), WSAEMSGSIZE);
        EXPECT_EQ(link.sock.m_hSocket, INVALID_SOCKET);
        EXPECT_EQ(link.sock.BufferSize(), 1024u) << "the buffer grew for a length it refuses";
        EXPECT_EQ(TakePackets(link.sock), std::vector<std::string>{"before"});
        char byte;
        const int n = winsock::recv(link.peer, &byte, 1, 0);
        EXPECT_TRUE(n == 0 || (n < 0 && WSAGetLastError() != WSAEWOULDBLOCK)) << "the peer is still connected";
    }
}

TEST(HostilePeer, LengthFieldAtTheBoundIsDeliveredWithinTheBoundsBuffer) {
    for (UINT bound : {5000u, static_cast<UINT>(TP_DEFAULT_MAX_PACKET_LEN)}) {
        SCOPED_TRACE("bound " + std::to_string(bound));
        PacketLink link;
        ASSERT_TRUE(link.connected());
        link.sock.SetMaxPacketLen(bound);
        const std::string payload = Pattern(bound, bound);
        ASSERT_TRUE(PumpSend(link.peer, Frame(payload)));
        ASSERT_TRUE(PumpUntil([&] { return link.sock.ReceivedQueued() > 0 || link.closed(); }));

        EXPECT_FALSE(link.closed());
        const std::vector<std::string> got = TakePackets(link.sock);
        ASSERT_EQ(got.size(), 1u);
        EXPECT_TRUE(got[0] == payload);
        // A payload above 16 KiB is read into its own buffer and leaves the 1024 bytes alone.
        EXPECT_EQ(link.sock.BufferSize(), bound <= 16384 ? RoundUpToStep(std::uint64_t{bound} + 4) : 1024u);
    }
}

TEST(HostilePeer, PeerSendingOneByteAtATimeGetsEveryFrameDelivered) {
    PacketLink link;
    ASSERT_TRUE(link.connected());
    const std::vector<std::string> frames = {"a", "", "abc", Pattern(1500, 1), "", Pattern(1100, 2), "z"};
    std::string stream;
    std::vector<std::string> want;
    for (const std::string& f : frames) {
        stream += Frame(f);
        if (!f.empty()) {
            want.push_back(f);
        }
    }

    std::vector<std::string> got;
    for (std::size_t i = 0; i < stream.size(); ++i) {
        ASSERT_TRUE(PumpSend(link.peer, stream.substr(i, 1)));
        // Wait until the socket has read this byte, so that every read returns one byte.
        ASSERT_TRUE(PumpUntil([&] { return link.sock.BytesRead() == i + 1; })) << "byte " << i;
        for (std::string& p : TakePackets(link.sock)) {
            got.push_back(std::move(p));
        }
    }
    EXPECT_EQ(got, want);
    EXPECT_FALSE(link.closed());
    EXPECT_EQ(link.sock.Held(), 0u);
    EXPECT_EQ(link.sock.BufferSize(), 2048u);
}

TEST(HostilePeer, PeerThatNeverReadsLetsTheQueueGrowWithoutLoss) {
    PacketLink link;
    ASSERT_TRUE(link.connected());
    constexpr int kPackets = 1600;
    constexpr std::size_t kSize = 65536;  // 100 MB of payload in all
    std::string payload(kSize, '\0');
    const std::uint64_t heapBefore = HeapInUse();

    int refused = 0;
    for (int i = 0; i < kPackets; ++i) {
        std::fill(payload.begin(), payload.end(), static_cast<char>(i * 7 + 1));
        std::memcpy(&payload[0], &i, sizeof i);
        if (link.sock.Send(&payload[0], static_cast<int>(kSize)) <= 0) {
            ++refused;
        }
    }
    ASSERT_EQ(refused, 0) << "a send failed although the peer is only slow";
    const int queued = link.sock.SendQueued();
    EXPECT_GT(queued, kPackets / 2) << "the kernel cannot have taken that much";
    if (HeapIsMeasurable()) {
        const double held = static_cast<double>(queued) * (kSize + 4);
        const double grown = static_cast<double>(HeapInUse() - heapBefore);
        EXPECT_GT(grown, 0.9 * (held - (kSize + 4))) << "the queue does not hold what waits";
        EXPECT_LT(grown, 1.2 * held + 16e6) << "the queue holds more than the packets";
    }

    // Now the peer reads everything; the socket's write events flush the queue meanwhile.
    winsock::u_long on = 1;
    winsock::ioctlsocket(link.peer, FIONBIO, &on);
    std::string pending;
    std::vector<char> buf(1 << 18);
    int received = 0;
    bool intact = true;
    const DWORD start = GetTickCount();
    while (received < kPackets && GetTickCount() - start < 60000) {
        const int n = winsock::recv(link.peer, buf.data(), static_cast<int>(buf.size()), 0);
        if (n <= 0) {
            ASSERT_EQ(WSAGetLastError(), WSAEWOULDBLOCK);
            PumpFor(1);
            continue;
        }
        pending.append(buf.data(), static_cast<std::size_t>(n));
        std::size_t pos = 0;
        while (pending.size() - pos >= 4 + kSize) {
            int index = -1;
            std::memcpy(&index, &pending[pos + 4], sizeof index);
            const char fill = static_cast<char>(index * 7 + 1);
            intact = intact && pending.compare(pos, 4, Header(kSize)) == 0 && index == received &&
                     std::all_of(pending.begin() + static_cast<std::ptrdiff_t>(pos + 4 + sizeof index),
                                 pending.begin() + static_cast<std::ptrdiff_t>(pos + 4 + kSize),
                                 [fill](char ch) { return ch == fill; });
            ++received;
            pos += 4 + kSize;
        }
        pending.erase(0, pos);
    }
    EXPECT_EQ(received, kPackets);
    EXPECT_TRUE(intact) << "a packet arrived out of order or damaged";
    EXPECT_TRUE(pending.empty());
    EXPECT_EQ(link.sock.SendQueued(), 0);
    if (HeapIsMeasurable()) {
        EXPECT_LT(static_cast<double>(HeapInUse()) - static_cast<double>(heapBefore), 16e6)
            << "sent packets were not released";
    }
}

TEST(HostilePeer, PeerGoingAwayMidFrameEndsWithCloseAfterTheWholePackets) {
    struct Case {
        const char* name;
        bool reset;
        int error;
    };
    const Case cases[] = {{"graceful close", false, 0}, {"reset", true, WSAECONNRESET}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        PacketLink link;
        ASSERT_TRUE(link.connected());
        ASSERT_TRUE(PumpSend(link.peer, Frame("whole") + Header(100) + std::string(10, 'p')));
        if (c.reset) {
            ResetAndClose(link.peer);
        } else {
            winsock::closesocket(link.peer);
        }
        link.peer = INVALID_SOCKET;
        ASSERT_TRUE(PumpUntil([&] { return link.closed(); }));

        const std::vector<WPARAM> codes = link.Codes();
        EXPECT_LT(IndexOf(codes, TP_NOTIFY_RECEIVE), IndexOf(codes, TP_NOTIFY_CLOSE));
        EXPECT_EQ(codes.back(), static_cast<WPARAM>(TP_NOTIFY_CLOSE));
        // A reset's FD_CLOSE carries WSAECONNRESET (WSAAsyncSelect's reference page).
        if (!c.reset || ExpectDocumented(kWineResetCloseError)) {
            EXPECT_EQ(link.sock.GetErrorCode(), c.error);
        }
        EXPECT_EQ(link.sock.m_hSocket, INVALID_SOCKET);
        EXPECT_EQ(TakePackets(link.sock), std::vector<std::string>{"whole"});
    }
}

// The application may write to a connection that its peer has just reset, before the socket's
// events have been looked at: the failed write must not turn the reset into a graceful close.
TEST(HostilePeer, ResetNoticedFirstByASendStillClosesWithConnReset) {
    PacketLink link;
    ASSERT_TRUE(link.connected());
    ResetAndClose(link.peer);
    link.peer = INVALID_SOCKET;
    std::string late = "late";
    EXPECT_EQ(link.sock.Send(&late[0], static_cast<int>(late.size())), -1);
    ASSERT_TRUE(PumpUntil([&] { return link.closed(); }));
    if (ExpectDocumented(kWineResetCloseError)) {
        EXPECT_EQ(link.sock.GetErrorCode(), WSAECONNRESET);
    }
}
