// The close event of a packet socket: it never waits for the send lock on the window's thread,
// it writes what a half-closing peer can still read, and it never ends the stream cleanly
// behind a packet cut short.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "packet_test_util.h"
#include "support/test_system.h"

using packet_test::Codes;
using packet_test::ConnectedProbe;
using packet_test::Contents;
using packet_test::DrainQueue;
using packet_test::Frame;
using packet_test::Payload;
using packet_test::ReadToEnd;
using packet_test::StreamEnd;
using winsock::seam::ScriptSend;
using winsock::seam::TakeBytes;
using winsock::seam::WouldBlock;

namespace {

const UINT kSentToApp = WM_USER + 50;

// Splits a stream into payloads; `rest` gets the bytes of a frame cut short at the end.
std::vector<std::string> Frames(const std::string& stream, size_t& rest) {
    std::vector<std::string> out;
    size_t at = 0;
    while (stream.size() - at >= 4) {
        const size_t len = packet_test::LengthFieldAt(stream, at);
        if (stream.size() - at - 4 < len) {
            break;
        }
        out.push_back(stream.substr(at + 4, len));
        at += 4 + len;
    }
    rest = stream.size() - at;
    return out;
}

// Waits, pumping, until the socket's FD_CLOSE has been recorded; gives its error code.
bool WaitForCloseEvent(ConnectedProbe& c, int& error) {
    return talven_test::PumpUntil([&] {
        for (const MSG& m : c.wnd.with(WM_SOCKET_NOTIFY)) {
            if (LOWORD(m.lParam) == FD_CLOSE) {
                error = HIWORD(m.lParam);
                return true;
            }
        }
        return false;
    });
}

// A derived class holds Lock() on a worker thread while it waits for the window's thread with
// SendMessageA; the close event arrives on that thread meanwhile. Waiting for the lock there
// would deadlock both threads, which only the watchdog could end.
TEST(PacketClose, CloseEventWhileAWorkerHoldsTheLockAndWaitsForTheWindowThread) {
    ConnectedProbe c;
    ASSERT_TRUE(c.ok);
    winsock::closesocket(c.peer);
    c.peer = INVALID_SOCKET;
    int closeError = -1;
    ASSERT_TRUE(WaitForCloseEvent(c, closeError));

    std::atomic<bool> locked{false};
    LRESULT answer = 0;
    std::thread worker([&] {
        c.sock.Lock();
        locked = true;
        answer = SendMessageA(c.wnd.hwnd(), kSentToApp, 0, 0);
        c.sock.Unlock();
    });
    while (!locked) {
        std::this_thread::yield();
    }
    {
        packet_test::HangWatchdog watchdog(60000, "OnClose waited for the lock a worker held");
        c.sock.OnClose(closeError);  // the notification window's dispatch, on its thread
        // Serves the worker's message; it then unlocks and ends.
        EXPECT_TRUE(talven_test::PumpUntil([&] { return c.wnd.with(kSentToApp).size() == 1; }, 30000));
        worker.join();
    }
    EXPECT_EQ(0, answer);
    EXPECT_EQ(INVALID_SOCKET, c.sock.m_hSocket);
    EXPECT_EQ(1, c.sock.closeCalls);
    DrainQueue();
    EXPECT_EQ(std::vector<WPARAM>{TP_NOTIFY_CLOSE}, Codes(c.wnd));
}

// A client sends its requests, shuts down its sending side and reads the answers. With far
// more queued than the socket takes, the close event writes what it can; the stream then ends
// with every frame whole before an orderly close, or with a reset: never a cut frame and then
// an orderly close, which the client would take for a complete answer.
TEST(PacketClose, HalfClosingPeerGetsWholeFramesOrAResetNeverACutFrameThenAnOrderlyClose) {
    ConnectedProbe c;
    ASSERT_TRUE(c.ok);
    const int kEchoes = 20;
    const std::string echo = Payload(1 << 20, 7);
    for (int i = 0; i < kEchoes; ++i) {
        std::string copy = echo;
        ASSERT_GT(c.sock.Send(&copy[0], static_cast<int>(copy.size())), 0);
    }
    ASSERT_FALSE(c.sock.m_SendList.IsEmpty()) << "the peer took everything before the close";
    winsock::shutdown(c.peer, SD_SEND);
    int closeError = -1;
    ASSERT_TRUE(WaitForCloseEvent(c, closeError));
    ASSERT_EQ(0, closeError);
    c.sock.OnClose(closeError);
    EXPECT_EQ(INVALID_SOCKET, c.sock.m_hSocket);
    DrainQueue();
    EXPECT_EQ(std::vector<WPARAM>{TP_NOTIFY_CLOSE}, Codes(c.wnd));

    const StreamEnd end = ReadToEnd(c.peer);
    size_t rest = 0;
    const std::vector<std::string> frames = Frames(end.bytes, rest);
    for (const std::string& f : frames) {
        ASSERT_EQ(echo, f);
    }
    ASSERT_NE(-1, end.error) << "the stream did not end";
    if (end.error == 0 && rest != 0 && !talven_test::ExpectDocumented(talven_test::kWineResetRecv)) {
        // Wine's recv reads the reset as an orderly close; the queue still shows the cut.
        EXPECT_FALSE(c.sock.m_SendList.IsEmpty()) << "unsent packets stay queued";
    } else if (end.error == 0) {
        EXPECT_EQ(0u, rest) << "a frame cut short, then an orderly close";
        EXPECT_EQ(static_cast<size_t>(kEchoes) - frames.size(),
                  static_cast<size_t>(c.sock.m_SendList.GetCount()));
    } else {
        EXPECT_EQ(WSAECONNRESET, end.error);
        EXPECT_FALSE(c.sock.m_SendList.IsEmpty()) << "unsent packets stay queued";
    }
}

// The close event writes the queue once before it closes, when the event carries no error;
// with an error it writes nothing. Either way the queue keeps what was not written.
TEST(PacketClose, CloseEventWritesTheQueueOnceUnlessItCarriesAnError) {
    const struct {
        int error;
        bool written;
    } cases[] = {{0, true}, {WSAECONNABORTED, false}};
    for (const auto& k : cases) {
        SCOPED_TRACE(k.error);
        ConnectedProbe c;
        ASSERT_TRUE(c.ok);
        ScriptSend(c.sock.m_hSocket, {WouldBlock(), WouldBlock()});
        std::string a = Payload(100, 1);
        std::string b = Payload(200, 2);
        ASSERT_GT(c.sock.Send(&a[0], static_cast<int>(a.size())), 0);
        ASSERT_GT(c.sock.Send(&b[0], static_cast<int>(b.size())), 0);
        ASSERT_EQ(2, c.sock.m_SendList.GetCount()) << "both wait behind the would-block";

        c.sock.OnClose(k.error);
        const StreamEnd end = ReadToEnd(c.peer);
        EXPECT_EQ(0, end.error) << "an orderly close at a packet boundary";
        if (k.written) {
            EXPECT_EQ(Frame(a) + Frame(b), end.bytes);
            EXPECT_TRUE(c.sock.m_SendList.IsEmpty());
            EXPECT_EQ(0u, c.sock.GetSendQueueBytes());
        } else {
            EXPECT_EQ("", end.bytes);
            EXPECT_EQ((std::vector<std::string>{Frame(a), Frame(b)}), Contents(c.sock.m_SendList));
        }
    }
}

// A frame above 4 KiB is written from the caller's buffer in two pieces; a stream that stops exactly between them still ends inside the packet, so the close
// is a reset.
TEST(PacketClose, APacketCutBetweenTheTwoPiecesOfADirectWriteEndsWithAReset) {
    ConnectedProbe c;
    ASSERT_TRUE(c.ok);
    const BOOL on = TRUE;
    ASSERT_EQ(1, c.sock.SetSockOpt(TCP_NODELAY, &on, sizeof on, IPPROTO_TCP));
    std::string payload = Payload(100000, 3);
    ScriptSend(c.sock.m_hSocket, {TakeBytes(4096), WouldBlock(), WouldBlock()});
    ASSERT_GT(c.sock.Send(&payload[0], static_cast<int>(payload.size())), 0);
    c.sock.OnClose(0);  // its flush meets the second would-block
    const StreamEnd end = ReadToEnd(c.peer);
    EXPECT_EQ(Frame(payload).substr(0, 4096), end.bytes);
    if (talven_test::ExpectDocumented(talven_test::kWineResetRecv)) {
        EXPECT_EQ(WSAECONNRESET, end.error);
    }
}

}  // namespace
