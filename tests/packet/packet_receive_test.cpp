// Receive assembly and delivery, with a socket whose reads come from a script of waiting
// bytes, so that every read's size and every buffer size can be checked.
#include <gtest/gtest.h>

#include "packet_test_util.h"
#include "platform/mfc/CTimeClock.h"

using packet_test::Codes;
using packet_test::DrainQueue;
using packet_test::Frame;
using packet_test::kAppMsg;
using packet_test::LengthField;
using packet_test::Payload;
using packet_test::ProbeSocket;
using talven_test::RecordingWindow;

namespace {

// Reads take what is waiting in `pending` (at most the length asked for); nothing waiting
// reads as 0, as the packet socket's Receive reports would-block.
class ScriptedSocket : public ProbeSocket {
public:
    int Receive(void* buffer, int length, int) override {
        bufSizeAtRead.push_back(m_nRecvBufSize);
        askedAtRead.push_back(length);
        if (failWith != 0) {
            return -1;
        }
        size_t n = std::min(pending.size(), static_cast<size_t>(length));
        if (maxRead != 0) {
            n = std::min(n, maxRead);
        }
        std::memcpy(buffer, pending.data(), n);
        pending.erase(0, n);
        return static_cast<int>(n);
    }
    int reads() const { return static_cast<int>(bufSizeAtRead.size()); }

    std::string pending;
    std::vector<UINT> bufSizeAtRead;
    std::vector<int> askedAtRead;
    size_t maxRead = 0;  // 0: a read takes all that is waiting and fits
    int failWith = 0;
};

std::vector<std::string> TakeAll(CQmtpSocket& sock) {
    std::vector<std::string> out;
    char* data;
    int len = 0;
    for (;;) {
        data = nullptr;
        const int left = sock.ReadData(data, len);
        if (data == nullptr) {
            break;
        }
        EXPECT_EQ('\0', data[len]) << "a received buffer ends with a 0";
        out.emplace_back(data, static_cast<size_t>(len));
        ::operator delete(data);
        if (left == 0) {
            break;
        }
    }
    return out;
}

class PacketReceive : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(1, sock.SetNotifyHandle(wnd.hwnd(), kAppMsg)); }
    std::vector<WPARAM> Notified() {
        DrainQueue();
        std::vector<WPARAM> codes = Codes(wnd);
        wnd.clear();
        return codes;
    }
    RecordingWindow wnd;
    ScriptedSocket sock;
};

TEST_F(PacketReceive, OneFrameInOneRead) {
    sock.pending = std::string("\x00\x00\x00\x03" "abc", 7);
    EXPECT_EQ(1, sock.ReadPacket());
    EXPECT_EQ(0, sock.ReadPacket());
    EXPECT_EQ(0u, sock.m_nRecvLen);
    ASSERT_EQ(1, sock.m_RecvList.GetCount());
    EXPECT_EQ(3, sock.m_RecvList.GetHead()->m_nLen);
    EXPECT_EQ(std::string("abc\0", 4), std::string(sock.m_RecvList.GetHead()->m_pData, 4));
    EXPECT_EQ(std::vector<std::string>{"abc"}, TakeAll(sock));

    sock.pending = Frame("abc");
    sock.bufSizeAtRead.clear();
    sock.OnReceive(0);
    EXPECT_EQ(2, sock.reads());
    EXPECT_EQ(std::vector<WPARAM>{TP_NOTIFY_RECEIVE}, Notified());
}

TEST_F(PacketReceive, FrameSplitOverTwoReadEvents) {
    sock.pending = Frame("abc").substr(0, 2);
    sock.OnReceive(0);
    EXPECT_EQ(1, sock.reads()) << "fewer than 4 bytes stop the loop";
    EXPECT_EQ(2u, sock.m_nRecvLen);
    EXPECT_TRUE(sock.m_RecvList.IsEmpty());
    EXPECT_TRUE(Notified().empty());

    sock.pending = Frame("abc").substr(2);
    sock.OnReceive(0);
    EXPECT_EQ(std::vector<WPARAM>{TP_NOTIFY_RECEIVE}, Notified());
    EXPECT_EQ(std::vector<std::string>{"abc"}, TakeAll(sock));
}

TEST_F(PacketReceive, OneReadCutsEveryCompleteFrameAndKeepsThePartialRest) {
    const std::string third = Frame("third");
    sock.pending = Frame("one") + Frame(Payload(100, 1)) + third.substr(0, 3);
    EXPECT_EQ(1, sock.ReadPacket());
    EXPECT_EQ(2, sock.m_RecvList.GetCount());
    EXPECT_EQ(3u, sock.m_nRecvLen);
    EXPECT_EQ(0u, sock.m_nPacketLen);
    EXPECT_EQ(third.substr(0, 3), std::string(sock.m_pRecvBuf, 3));

    sock.pending = third.substr(3, 4);  // the length field and 3 payload bytes
    EXPECT_EQ(1, sock.ReadPacket());
    EXPECT_EQ(5u, sock.m_nPacketLen) << "decoded once, kept for the next read";
    EXPECT_EQ(1024u, sock.m_nRecvBufSize);
    sock.pending = third.substr(7);
    EXPECT_EQ(1, sock.ReadPacket());
    EXPECT_EQ((std::vector<std::string>{"one", Payload(100, 1), "third"}), TakeAll(sock));
}

// A full buffer with an incomplete frame doubles, capped at the frame rounded up to 1024 bytes,
// once per read; it never shrinks.
TEST(PacketReceiveGrowth, BufferDoublesUpToTheFrameOncePerReadAndNeverShrinks) {
    const struct {
        std::vector<size_t> payloads;      // one read event each, on a fresh socket
        std::vector<UINT> sizesLastEvent;  // buffer size at each read of the last event
        UINT finalSize;
    } cases[] = {
        {{2000}, {1024, 2048, 2048}, 2048},
        {{5000}, {1024, 2048, 4096, 5120, 5120}, 5120},
        {{5000, 100}, {5120, 5120}, 5120},
        {{3068}, {1024, 2048, 3072, 3072}, 3072},  // a frame of exactly 3072 bytes
        {{1020, 1021}, {1024, 2048, 2048}, 2048},  // 1024 fits without growth; 1025 does not
        // 16 KiB is the largest payload assembled: the buffer stops at 17 KiB; one byte more
        // bypasses it (its read ends the event), and a larger frame that arrives whole in the
        // 17 KiB buffer is cut there.
        {{16384}, {1024, 2048, 4096, 8192, 16384, 17408, 17408}, 17408},
        {{16385}, {1024, 1024}, 1024},
        {{16384, 17000}, {17408, 17408}, 17408},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.payloads.back());
        ScriptedSocket sock;
        for (size_t len : c.payloads) {
            sock.bufSizeAtRead.clear();
            sock.pending = Frame(Payload(len, 3));
            sock.OnReceive(0);
            EXPECT_EQ(std::vector<std::string>{Payload(len, 3)}, TakeAll(sock));
        }
        EXPECT_EQ(c.sizesLastEvent, sock.bufSizeAtRead);
        EXPECT_EQ(c.finalSize, sock.m_nRecvBufSize);
        EXPECT_EQ(0u, sock.m_nRecvLen);
    }
}

// A frame of 1,048,570 payload bytes on a fresh socket: the first read fills the 1024-byte
// buffer, the second takes exactly the rest of the payload straight into the buffer handed
// out and ends the event; the assembly buffer never grows.
TEST(PacketReceiveGrowth, MegabyteFrameIsReadStraightIntoItsBufferInTwoReads) {
    ScriptedSocket sock;
    const std::string payload = Payload(1048570, 11);
    sock.pending = Frame(payload);
    sock.OnReceive(0);
    const std::vector<std::string> got = TakeAll(sock);
    ASSERT_EQ(1u, got.size());
    EXPECT_EQ(payload.size(), got[0].size());
    EXPECT_TRUE(got[0] == payload) << "the payload differs";
    EXPECT_EQ((std::vector<UINT>{1024, 1024}), sock.bufSizeAtRead);
    EXPECT_EQ((std::vector<int>{1024, 1048570 - 1020}), sock.askedAtRead);
    EXPECT_EQ(nullptr, sock.m_pRecvLarge);
}

// A large frame whose pieces arrive over several events, after a length field of 0 and
// followed by small frames. The read that completes it ends its event, so the application
// takes (and frees) each large buffer before the next one is allocated: the allocator reuses
// that memory instead of giving back a run of freed buffers and faulting fresh pages in. The
// bytes behind it wait in the socket for the next read event.
TEST_F(PacketReceive, LargeFrameInPiecesThenSmallFramesBehindIt) {
    const std::string big = Payload(100000, 7);
    const std::string stream = LengthField(0) + Frame(big) + Frame("a") + Frame("bc");
    sock.pending = stream.substr(0, 504);  // the empty frame, the length field, 496 bytes
    EXPECT_EQ(0, sock.ReadPacket()) << "the length field of 0 still stops the loop";
    ASSERT_NE(nullptr, sock.m_pRecvLarge);
    const char* handedOut = sock.m_pRecvLarge;
    EXPECT_EQ(496u, sock.m_nRecvLargeLen);
    EXPECT_EQ(100000u, sock.m_nPacketLen);
    EXPECT_EQ(0u, sock.m_nRecvLen);

    sock.maxRead = 30000;
    sock.pending = stream.substr(504, 60000);
    sock.askedAtRead.clear();
    sock.OnReceive(0);
    EXPECT_EQ((std::vector<int>{100000 - 496, 100000 - 30496, 100000 - 60496}), sock.askedAtRead);
    EXPECT_EQ(60496u, sock.m_nRecvLargeLen);
    EXPECT_TRUE(Notified().empty());

    sock.maxRead = 0;
    sock.pending = stream.substr(60504);
    sock.askedAtRead.clear();
    sock.OnReceive(0);
    EXPECT_EQ((std::vector<int>{100000 - 60496}), sock.askedAtRead)
        << "the payload's last read stops at its end and ends the event";
    EXPECT_EQ(std::vector<WPARAM>{TP_NOTIFY_RECEIVE}, Notified());
    ASSERT_EQ(1, sock.m_RecvList.GetCount());
    EXPECT_EQ(handedOut, sock.m_RecvList.GetHead()->m_pData) << "read into, not copied out";
    sock.askedAtRead.clear();
    sock.OnReceive(0);
    EXPECT_EQ((std::vector<int>{1024, 1024}), sock.askedAtRead);
    EXPECT_EQ((std::vector<std::string>{big, "a", "bc"}), TakeAll(sock));
    EXPECT_EQ(nullptr, sock.m_pRecvLarge);
    EXPECT_EQ(0u, sock.m_nPacketLen);
    EXPECT_EQ(1024u, sock.m_nRecvBufSize);
}

// A frame above 1 MiB gets a buffer of 1 MiB that doubles as it fills, so announcing a long
// frame alone costs little. A read error in the middle keeps what has arrived, the frame then
// completes, and the destructor frees one that never does (the leak checkers watch).
TEST_F(PacketReceive, FrameAboveAMegabyteGrowsAsItArrivesAndSurvivesAReadError) {
    const std::string big = Payload(3000000, 9);
    sock.SetMaxPacketLen(3000000);
    sock.pending = Frame(big).substr(0, 14);
    sock.OnReceive(0);
    EXPECT_EQ(1048576u, sock.m_nRecvLargeCap);
    sock.failWith = WSAECONNRESET;
    sock.OnReceive(0);
    EXPECT_EQ(10u, sock.m_nRecvLargeLen);
    sock.failWith = 0;
    sock.pending = Frame(big).substr(14);
    sock.askedAtRead.clear();
    sock.OnReceive(0);
    EXPECT_EQ((std::vector<int>{1048576 - 10, 1048576, 3000000 - 2097152}), sock.askedAtRead);
    const std::vector<std::string> got = TakeAll(sock);
    ASSERT_EQ(1u, got.size());
    EXPECT_TRUE(got[0] == big) << "the payload differs";

    ScriptedSocket cut;
    cut.SetMaxPacketLen(3000000);
    cut.pending = Frame(big).substr(0, 1024);
    cut.OnReceive(0);
    EXPECT_NE(nullptr, cut.m_pRecvLarge);
}

TEST_F(PacketReceive, AtMostEightReadsPerEventAndTheRestAtTheNext) {
    // Frames of exactly 1024 bytes: every read delivers one and asks for more.
    std::vector<std::string> sent;
    for (int i = 0; i < 11; ++i) {
        sent.push_back(Payload(1020, i));
        sock.pending += Frame(sent.back());
    }
    sock.OnReceive(0);
    EXPECT_EQ(8, sock.reads());
    EXPECT_EQ(8, sock.m_RecvList.GetCount());
    sock.OnReceive(0);
    EXPECT_EQ(8 + 4, sock.reads());
    EXPECT_EQ(sent, TakeAll(sock));
    EXPECT_EQ((std::vector<WPARAM>{TP_NOTIFY_RECEIVE, TP_NOTIFY_RECEIVE}), Notified());
}

TEST_F(PacketReceive, ErrorEventReadsNothingAndAlwaysNotifies) {
    const CTime stamp = sock.m_tLastReceive;
    talven::mfc::SetCurrentTimeClock([]() -> std::time_t { return 2000000000; });
    sock.pending = Frame("waiting");
    sock.OnReceive(WSAENETDOWN);
    talven::mfc::SetCurrentTimeClock(nullptr);
    EXPECT_EQ(0, sock.reads());
    EXPECT_EQ(WSAENETDOWN, sock.GetErrorCode());
    EXPECT_EQ(stamp, sock.m_tLastReceive);
    EXPECT_TRUE(sock.m_RecvList.IsEmpty());
    EXPECT_EQ(std::vector<WPARAM>{TP_NOTIFY_RECEIVE}, Notified());
}

TEST_F(PacketReceive, ErrorFreeEventRecordsTheTimeAndRenotifiesWhilePacketsWait) {
    sock.pending = Frame("a") + Frame("b");
    sock.OnReceive(0);
    EXPECT_EQ(std::vector<WPARAM>{TP_NOTIFY_RECEIVE}, Notified());
    talven::mfc::SetCurrentTimeClock([]() -> std::time_t { return 2000000000; });
    sock.OnReceive(0);  // nothing new arrives
    talven::mfc::SetCurrentTimeClock(nullptr);
    EXPECT_EQ(CTime(2000000000), sock.m_tLastReceive);
    EXPECT_EQ(0, sock.GetErrorCode());
    EXPECT_EQ(std::vector<WPARAM>{TP_NOTIFY_RECEIVE}, Notified());
}

TEST_F(PacketReceive, ReadErrorStopsTheLoopAndKeepsTheAssemblyState) {
    sock.pending = Frame("abcdef").substr(0, 6);
    sock.OnReceive(0);
    sock.failWith = WSAECONNRESET;
    sock.OnReceive(0);
    EXPECT_EQ(6u, sock.m_nRecvLen);
    EXPECT_EQ(6u, sock.m_nPacketLen);
    EXPECT_TRUE(Notified().empty());
}

TEST_F(PacketReceive, ReadDataReturnsHowManyAreStillQueued) {
    char* data = reinterpret_cast<char*>(&sock);  // any value that is not written over
    int len = -7;
    EXPECT_EQ(0, sock.ReadData(data, len));
    EXPECT_EQ(reinterpret_cast<char*>(&sock), data);
    EXPECT_EQ(-7, len);

    sock.pending = Frame("1") + Frame("22") + Frame("333");
    sock.OnReceive(0);
    const struct {
        int remaining;
        const char* payload;
    } expected[] = {{2, "1"}, {1, "22"}, {0, "333"}};
    for (const auto& e : expected) {
        data = nullptr;
        EXPECT_EQ(e.remaining, sock.ReadData(data, len));
        ASSERT_NE(nullptr, data);
        EXPECT_EQ(std::string(e.payload), std::string(data, static_cast<size_t>(len)));
        ::operator delete(data);
    }
}

TEST_F(PacketReceive, PureModeMakesOneRecordPerRead) {
    sock.pending = Payload(2500, 4);
    sock.OnReceivePure(0);
    EXPECT_EQ(4, sock.reads());
    std::vector<int> lengths;
    POSITION pos = sock.m_RecvList.GetHeadPosition();
    while (pos != nullptr) {
        lengths.push_back(sock.m_RecvList.GetNext(pos)->m_nLen);
    }
    EXPECT_EQ((std::vector<int>{1024, 1024, 452}), lengths);
    std::string joined;
    for (const std::string& s : TakeAll(sock)) {
        joined += s;
    }
    EXPECT_EQ(Payload(2500, 4), joined);
    EXPECT_EQ(0u, sock.m_nRecvLen) << "pure mode leaves the assembly buffer alone";
    EXPECT_EQ(std::vector<WPARAM>{TP_NOTIFY_RECEIVE}, Notified());
}

TEST_F(PacketReceive, ZeroLengthFieldIsDroppedAndTheFramesBehindItAreDelivered) {
    sock.pending = LengthField(0) + Frame("xyz") + LengthField(0) + Frame("after").substr(0, 6);
    EXPECT_EQ(0, sock.ReadPacket()) << "a length field of 0 stops the read loop";
    EXPECT_EQ(std::vector<std::string>{"xyz"}, TakeAll(sock));
    EXPECT_EQ(6u, sock.m_nRecvLen);
    EXPECT_EQ(5u, sock.m_nPacketLen);

    sock.pending = Frame("after").substr(6) + LengthField(0);
    EXPECT_EQ(0, sock.ReadPacket());
    EXPECT_EQ(std::vector<std::string>{"after"}, TakeAll(sock));
    EXPECT_EQ(0u, sock.m_nRecvLen);
}

TEST_F(PacketReceive, LengthAboveTheBoundDeliversWhatCameBeforeThenClosesWithMsgSize) {
    sock.SetMaxPacketLen(4096);
    EXPECT_EQ(4096u, sock.GetMaxPacketLen());
    ASSERT_EQ(1, sock.SetNotifyWnd(wnd.hwnd()));  // the unregistration is recorded
    // A frame at the bound is fine; the next header announces one byte more.
    sock.pending = Frame("before") + Frame(Payload(4096, 5)) + LengthField(4097) + Payload(3000, 6);
    sock.OnReceive(0);

    EXPECT_EQ(WSAEMSGSIZE, sock.GetErrorCode());
    EXPECT_EQ(1, sock.closeCalls);
    EXPECT_EQ(5120u, sock.m_nRecvBufSize) << "grown for the 4096-byte frame only";
    CString expected;
    QmGetWSAErrorString(WSAEMSGSIZE, expected);
    EXPECT_EQ(expected, g_strTpSocketError);
    const std::vector<MSG> removes = wnd.with(0x0828);
    ASSERT_EQ(1u, removes.size());
    EXPECT_EQ(reinterpret_cast<LPARAM>(&sock), removes[0].lParam);
    EXPECT_EQ((std::vector<WPARAM>{TP_NOTIFY_RECEIVE, TP_NOTIFY_CLOSE}), Notified());
    EXPECT_EQ((std::vector<std::string>{"before", Payload(4096, 5)}), TakeAll(sock));
    EXPECT_EQ(5, sock.reads()) << "the read that met the header was the last";
}

TEST_F(PacketReceive, LengthAboveTheDefaultBoundCausesNoGrowth) {
    sock.pending = Frame("ok") + LengthField(TP_DEFAULT_MAX_PACKET_LEN + 1) + Payload(5000, 1);
    sock.OnReceive(0);
    EXPECT_EQ(1, sock.reads());
    EXPECT_EQ(1024u, sock.m_nRecvBufSize);
    EXPECT_EQ((std::vector<WPARAM>{TP_NOTIFY_RECEIVE, TP_NOTIFY_CLOSE}), Notified());
    EXPECT_EQ(WSAEMSGSIZE, sock.GetErrorCode());

    EXPECT_EQ(nullptr, sock.m_pRecvLarge);

    ScriptedSocket atBound;
    atBound.pending = LengthField(TP_DEFAULT_MAX_PACKET_LEN) + Payload(2000, 1);
    atBound.OnReceive(0);
    EXPECT_EQ(0, atBound.closeCalls);
    EXPECT_EQ(1024u, atBound.m_nRecvBufSize) << "a large frame leaves the assembly buffer alone";
    EXPECT_EQ(TP_DEFAULT_MAX_PACKET_LEN, atBound.m_nPacketLen);
    EXPECT_NE(nullptr, atBound.m_pRecvLarge);
    EXPECT_EQ(2000u, atBound.m_nRecvLargeLen);
}

}  // namespace
