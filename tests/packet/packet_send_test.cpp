// The send queue over a loopback connection, with the socket seam producing exact sequences
// of partial writes, would-blocks and errors.
#include <gtest/gtest.h>

#include <thread>

#include "alloc_failure.h"
#include "packet_test_util.h"
#include "support/test_system.h"

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

// A packet that finds the queue empty is written at once; the queue keeps a copy of exactly
// what the socket did not take, never the caller's buffer, which the caller may reuse at once.
// A frame above 4 KiB goes out in two pieces straight from the caller's buffer, so cuts fall
// before, at and after the boundary between them.
TEST(PacketSend, DirectWriteKeepsACopyOfOnlyWhatTheSocketDidNotTake) {
    const struct {
        size_t payload;
        std::vector<int> takes;  // the writes before the would-block
    } cases[] = {{100, {}},          {100, {2}},           {100, {50}},
                 {10000, {}},        {10000, {3}},         {10000, {4096, 7}},
                 {100000, {}},       {100000, {3}},        {100000, {4096}},
                 {100000, {4096, 7}}, {100000, {4000, 96, 50000}}};
    for (const auto& k : cases) {
        size_t taken = 0;
        std::vector<winsock::seam::Step> script;
        for (int n : k.takes) {
            script.push_back(TakeBytes(n));
            taken += static_cast<size_t>(n);
        }
        script.push_back(WouldBlock());
        SCOPED_TRACE(std::to_string(k.payload) + " bytes, " + std::to_string(taken) + " taken");
        ConnectedProbe c;
        ASSERT_TRUE(c.ok);
        const BOOL on = TRUE;
        ASSERT_EQ(1, c.sock.SetSockOpt(TCP_NODELAY, &on, sizeof on, IPPROTO_TCP));
        const std::string frame = Frame(Payload(k.payload, 5));
        ScriptSend(c.sock.m_hSocket, script);

        std::string caller = Payload(k.payload, 5);
        EXPECT_EQ(static_cast<int>(frame.size()) + 1, c.sock.Send(&caller[0], static_cast<int>(caller.size())))
            << "the would-block result: the packet's length plus one";
        const std::vector<std::string> queued = Contents(c.sock.m_SendList);
        ASSERT_EQ(1u, queued.size());
        EXPECT_TRUE(frame.substr(taken) == queued[0]) << "queued " << queued[0].size() << " bytes";
        EXPECT_EQ(frame.size() - taken, c.sock.GetSendQueueBytes());
        caller.assign(caller.size(), 'X');  // the caller reuses its buffer

        c.sock.OnSend(0);
        EXPECT_TRUE(c.sock.m_SendList.IsEmpty());
        std::string got;
        ASSERT_TRUE(RecvExactly(c.peer, frame.size(), got));
        EXPECT_TRUE(frame == got);
    }
}

// A frame above 4 KiB is offered to the socket in one gathered write of its two pieces (its
// first 4096 bytes, framed on the stack, and the rest from the caller's buffer), whatever
// Nagle's algorithm: never as two writes, whose second would wait for the peer's delayed
// acknowledgement with Nagle on, and never through a copy of the whole frame.
TEST(PacketSend, AFrameInTwoPiecesGoesInOneGatheredWrite) {
    const struct {
        size_t payload;
        BOOL noDelay;
    } cases[] = {{100000, FALSE}, {100000, TRUE}, {20000, FALSE}, {65532, TRUE}};
    for (const auto& k : cases) {
        SCOPED_TRACE(std::to_string(k.payload) + (k.noDelay ? " bytes, Nagle off" : " bytes, Nagle on"));
        ConnectedProbe c;
        ASSERT_TRUE(c.ok);
        ASSERT_EQ(1, c.sock.SetSockOpt(TCP_NODELAY, &k.noDelay, sizeof k.noDelay, IPPROTO_TCP));
        ScriptSend(c.sock.m_hSocket, {TakeBytes(10000), WouldBlock(), WouldBlock()});
        winsock::seam::RecordSends(c.sock.m_hSocket, true);
        const std::string frame = Frame(Payload(k.payload, 6));
        EXPECT_GT(SendString(c.sock, Payload(k.payload, 6)), 0);
        const std::vector<winsock::seam::SendCall> calls = winsock::seam::RecordedSends(c.sock.m_hSocket);
        winsock::seam::RecordSends(c.sock.m_hSocket, false);
        ASSERT_EQ(2u, calls.size()) << "the gathered write, then the would-block of the rest";
        EXPECT_TRUE(calls[0].gathered);
        EXPECT_EQ(2, calls[0].buffers);
        EXPECT_EQ(static_cast<int>(frame.size()), calls[0].bytes);
        EXPECT_EQ(10000, calls[0].result);
        const std::vector<std::string> queued = Contents(c.sock.m_SendList);
        ASSERT_EQ(1u, queued.size());
        EXPECT_TRUE(frame.substr(10000) == queued[0]);
    }
}

// A write error (the system's ENOBUFS, which keeps the socket) after part of a packet went out,
// on the direct write and in a queued flush: -1 with the error's text, the socket open, and the
// queue keeps only what was not written, so the next send event finishes the frame and the
// peer never reads a byte twice.
TEST(PacketSend, WriteErrorAfterAPartialWriteNeverRepeatsBytes) {
    const struct {
        bool queuedFirst;  // the packet waits behind a would-block; the flush meets the error
        int taken;
    } cases[] = {{false, 0}, {false, 9}, {false, 4096}, {true, 9}, {true, 5000}};
    for (const auto& k : cases) {
        SCOPED_TRACE(std::string(k.queuedFirst ? "flush, " : "direct, ") + std::to_string(k.taken));
        ConnectedProbe c;
        ASSERT_TRUE(c.ok);
        const std::string payload = Payload(6000, 8);
        const std::string frame = Frame(payload);
        if (k.queuedFirst) {
            ScriptSend(c.sock.m_hSocket, {WouldBlock()});
            ASSERT_GT(SendString(c.sock, payload), 0);
        }
        std::vector<winsock::seam::Step> script;
        if (k.taken > 0) {
            script.push_back(TakeBytes(k.taken));
        }
        script.push_back(FailWith(WSAENOBUFS));
        ScriptSend(c.sock.m_hSocket, script);
        g_strTpSocketError.Empty();
        EXPECT_EQ(-1, k.queuedFirst ? c.sock.SendPacket() : SendString(c.sock, payload));
        EXPECT_EQ(std::vector<std::string>{frame.substr(static_cast<size_t>(k.taken))}, Contents(c.sock.m_SendList));
        EXPECT_EQ(frame.size() - static_cast<size_t>(k.taken), c.sock.GetSendQueueBytes());
        CString expected;
        QmGetWSAErrorString(WSAENOBUFS, expected);
        EXPECT_EQ(expected, g_strTpSocketError);
        EXPECT_EQ(0, c.sock.closeCalls);
        EXPECT_NE(INVALID_SOCKET, c.sock.m_hSocket);

        c.sock.OnSend(0);  // the script is spent: the real socket takes the rest
        EXPECT_TRUE(c.sock.m_SendList.IsEmpty());
        std::string got;
        ASSERT_TRUE(RecvExactly(c.peer, frame.size(), got));
        EXPECT_TRUE(frame == got);
        EXPECT_TRUE(packet_test::NothingWaiting(c.peer)) << "bytes sent twice";
    }
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

// True when another thread can take the socket's send lock: it is not left held.
bool LockIsFree(packet_test::ProbeSocket& sock) {
    BOOL entered = FALSE;
    std::thread other([&] {
        entered = TryEnterCriticalSection(&sock.m_csLock);
        if (entered) {
            LeaveCriticalSection(&sock.m_csLock);
        }
    });
    other.join();
    return entered != FALSE;
}

// The copy of what the socket did not take cannot be allocated. In a queued flush the rest is
// kept in the record's own buffer, so the socket stays whole and the next send event finishes
// the frame. After part of a packet went straight from the caller's buffer the rest is lost:
// the call fails with WSAENOBUFS, and the connection is closed on the window's thread.
// When nothing was written the call ends in the allocation failure itself, nothing queued and
// the socket open, as a copy made before queuing does.
TEST(PacketSend, AllocationFailureForTheUnwrittenRest) {
    const std::string payload = Payload(4000, 9);  // frame of 4004 bytes, written at once
    const std::string frame = Frame(payload);
    enum Outcome { Kept, Closes, Throws };
    const struct {
        const char* name;
        bool queuedFirst;  // the packet waits in the queue; the flush meets the failure
        bool partial;      // 10 bytes go out before the would-block
        size_t failingSize;
        Outcome outcome;
    } cases[] = {
        {"flush after a partial write", true, true, 4004 - 10, Kept},
        {"direct write after a partial write", false, true, 4004 - 10, Closes},
        {"direct write, nothing written", false, false, 4004, Throws},
    };
    for (const auto& k : cases) {
        SCOPED_TRACE(k.name);
        ConnectedProbe c;
        ASSERT_TRUE(c.ok);
        if (k.queuedFirst) {
            ScriptSend(c.sock.m_hSocket, {WouldBlock()});
            ASSERT_GT(SendString(c.sock, payload), 0);
        }
        std::vector<winsock::seam::Step> script;
        if (k.partial) {
            script.push_back(TakeBytes(10));
        }
        script.push_back(WouldBlock());
        ScriptSend(c.sock.m_hSocket, script);
        alloc_failure::FailNextOfSize(k.failingSize);
        bool threw = false;
        int result = 0;
        int error = 0;
        try {
            result = k.queuedFirst ? c.sock.SendPacket() : SendString(c.sock, payload);
            error = WSAGetLastError();
        } catch (const std::bad_alloc&) {
            threw = true;
        }
        EXPECT_FALSE(alloc_failure::Armed()) << "the injected failure was not reached";
        alloc_failure::Disarm();
        EXPECT_TRUE(LockIsFree(c.sock));
        EXPECT_EQ(k.outcome == Throws, threw);
        EXPECT_EQ(0, c.sock.closeCalls) << "never closed on the sender's thread";
        EXPECT_NE(INVALID_SOCKET, c.sock.m_hSocket);
        std::string got;
        switch (k.outcome) {
        case Kept:
            EXPECT_GT(result, 0);
            EXPECT_EQ(std::vector<std::string>{frame.substr(10)}, Contents(c.sock.m_SendList));
            c.sock.OnSend(0);
            ASSERT_TRUE(RecvExactly(c.peer, frame.size(), got));
            EXPECT_TRUE(frame == got);
            break;
        case Closes:  // the close itself: PacketSendThreads
            EXPECT_EQ(-1, result);
            EXPECT_EQ(WSAENOBUFS, error);
            EXPECT_TRUE(c.sock.m_SendList.IsEmpty());
            break;
        case Throws:
            EXPECT_TRUE(c.sock.m_SendList.IsEmpty());
            break;
        }
    }
}

// The rest of a packet cut by the send event's or the close event's flush cannot be copied: it
// is kept in the record's own buffer. The send event's next flush finishes the frame; the close
// event ends the connection with a reset, never a FIN behind the cut frame, and drops the rest.
TEST(PacketSend, AllocationFailureInAnEventsFlushKeepsTheStreamRight) {
    const std::string payload = Payload(4000, 10);
    const std::string frame = Frame(payload);
    for (bool closeEvent : {false, true}) {
        SCOPED_TRACE(closeEvent ? "close event" : "send event");
        ConnectedProbe c;
        ASSERT_TRUE(c.ok);
        ScriptSend(c.sock.m_hSocket, {WouldBlock()});
        ASSERT_GT(SendString(c.sock, payload), 0);
        ScriptSend(c.sock.m_hSocket, {TakeBytes(10), WouldBlock()});
        alloc_failure::FailNextOfSize(frame.size() - 10);
        if (closeEvent) {
            c.sock.OnClose(0);
        } else {
            c.sock.OnSend(0);
        }
        EXPECT_FALSE(alloc_failure::Armed()) << "the injected failure was not reached";
        alloc_failure::Disarm();
        DrainQueue();
        if (!closeEvent) {
            EXPECT_EQ(0, c.sock.closeCalls);
            EXPECT_EQ(std::vector<std::string>{frame.substr(10)}, Contents(c.sock.m_SendList));
            c.sock.OnSend(0);
            std::string got;
            ASSERT_TRUE(RecvExactly(c.peer, frame.size(), got));
            EXPECT_TRUE(frame == got);
            DrainQueue();
            EXPECT_EQ((std::vector<WPARAM>{TP_NOTIFY_SEND, TP_NOTIFY_SEND}), Codes(c.wnd));
            continue;
        }
        EXPECT_EQ(1, c.sock.closeCalls);
        EXPECT_TRUE(c.sock.m_SendList.IsEmpty()) << "the cut packet's rest is dropped";
        EXPECT_EQ(0u, c.sock.GetSendQueueBytes());
        EXPECT_EQ(std::vector<WPARAM>{TP_NOTIFY_CLOSE}, Codes(c.wnd));
        const packet_test::StreamEnd end = packet_test::ReadToEnd(c.peer, 10000);
        EXPECT_EQ(frame.substr(0, 10), end.bytes);
        if (talven_test::ExpectDocumented(talven_test::kWineResetRecv)) {
            EXPECT_EQ(WSAECONNRESET, end.error) << "a FIN behind a cut frame";
        }
    }
}

}  // namespace
