// The send side under interleavings of threads: a worker that holds Lock() while it waits for
// the window's thread, an allocation failure that cuts a frame while others send, a close
// racing many senders, and the same object connected again after a close that cut a frame.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

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
using winsock::seam::ScriptSend;
using winsock::seam::TakeBytes;
using winsock::seam::WouldBlock;

namespace {

const UINT kSentToApp = WM_USER + 51;

int SendString(CQmtpSocket& sock, std::string payload) {
    return sock.Send(payload.empty() ? nullptr : &payload[0], static_cast<int>(payload.size()));
}

bool RecordedEvent(const talven_test::RecordingWindow& wnd, SOCKET handle, WORD event) {
    for (const MSG& m : wnd.with(WM_SOCKET_NOTIFY)) {
        if (m.wParam == handle && LOWORD(m.lParam) == event) {
            return true;
        }
    }
    return false;
}

// Connects the probe's object again, to a new peer; the recording window stays its window.
SOCKET Reconnect(ConnectedProbe& c, SOCKET& listener) {
    UINT port = 0;
    listener = talven_test::ListenLoopback(port);
    if (listener == INVALID_SOCKET || !c.sock.Create(c.wnd.hwnd()) || !c.sock.Connect("127.0.0.1", port)) {
        return INVALID_SOCKET;
    }
    const SOCKET peer = winsock::accept(listener, nullptr, nullptr);
    const SOCKET handle = c.sock.m_hSocket;
    if (peer != INVALID_SOCKET && !talven_test::PumpUntil([&] { return RecordedEvent(c.wnd, handle, FD_CONNECT); })) {
        winsock::closesocket(peer);
        return INVALID_SOCKET;
    }
    return peer;
}

// A worker holds Lock() and waits for the window's thread with SendMessageA while a packet
// waits in the queue. On the window's thread the send event, an echo's Send and the protected
// flush all return at once; the worker's Unlock writes everything, in order. Waiting for the
// lock on the window's thread would hang both threads for good (the watchdog ends that).
TEST(PacketSendThreads, WindowThreadNeverWaitsForTheLockOfAWorkerThatWaitsForIt) {
    ConnectedProbe c;
    ASSERT_TRUE(c.ok);
    const std::string waiting = Payload(300, 1), echo = Payload(50, 2);
    ScriptSend(c.sock.m_hSocket, {WouldBlock()});
    ASSERT_GT(SendString(c.sock, waiting), 0);
    ASSERT_EQ(1, c.sock.m_SendList.GetCount());

    std::atomic<bool> locked{false};
    std::thread worker([&] {
        c.sock.Lock();
        locked = true;
        SendMessageA(c.wnd.hwnd(), kSentToApp, 0, 0);
        c.sock.Unlock();  // writes what the window's thread left to it
    });
    while (!locked) {
        std::this_thread::yield();
    }
    {
        packet_test::HangWatchdog watchdog(60000, "the window's thread waited for a worker's lock");
        c.sock.OnSend(0);  // FD_WRITE, dispatched while the worker holds the lock
        EXPECT_GT(SendString(c.sock, echo), 0) << "an echo from the window's thread is queued";
        EXPECT_GT(c.sock.SendPacket(), 0);
        EXPECT_EQ(Frame(waiting).size() + Frame(echo).size(), c.sock.GetSendQueueBytes());
        EXPECT_TRUE(talven_test::PumpUntil([&] { return c.wnd.with(kSentToApp).size() == 1; }, 30000));
        worker.join();
    }
    EXPECT_TRUE(c.sock.m_SendList.IsEmpty());
    EXPECT_EQ(0u, c.sock.GetSendQueueBytes());
    std::string got;
    const std::string expected = Frame(waiting) + Frame(echo);
    ASSERT_TRUE(RecvExactly(c.peer, expected.size(), got));
    EXPECT_TRUE(expected == got);
    DrainQueue();
    EXPECT_EQ(std::vector<WPARAM>{TP_NOTIFY_SEND}, Codes(c.wnd));
}

// The rest of a packet written straight from the caller's buffer cannot be copied while other
// threads keep sending: none of their bytes reaches the cut stream, the window's thread closes
// the connection as OnClose does once it handles the send event posted for the failure, and
// their packets stay queued whole.
TEST(PacketSendThreads, AnAllocationFailureThatCutsAFrameClosesTheConnectionWhileOthersSend) {
    ConnectedProbe c;
    ASSERT_TRUE(c.ok);
    const std::string payload = Payload(4000, 3);
    const std::string frame = Frame(payload);
    ScriptSend(c.sock.m_hSocket, {TakeBytes(10), WouldBlock()});
    int failed = 0;
    int error = 0;
    std::thread first([&] {
        alloc_failure::FailNextOfSize(frame.size() - 10);
        failed = SendString(c.sock, payload);
        error = WSAGetLastError();
        alloc_failure::Disarm();
    });
    first.join();
    EXPECT_EQ(-1, failed);
    EXPECT_EQ(WSAENOBUFS, error);

    const int kSenders = 3;
    std::atomic<bool> stop{false};
    std::atomic<int> attempts{0};
    std::atomic<int> accepted{0};
    std::vector<std::thread> senders;
    for (int t = 0; t < kSenders; ++t) {
        senders.emplace_back([&, t] {
            for (unsigned seq = 0; !stop; ++seq) {
                if (SendString(c.sock, Payload(20 + t, seq)) != -1) {
                    ++accepted;
                }
                ++attempts;
            }
        });
    }
    while (attempts < 100) {
        std::this_thread::yield();
    }
    const bool posted = talven_test::PumpUntil([&] { return RecordedEvent(c.wnd, c.sock.m_hSocket, FD_WRITE); });
    if (posted) {
        c.sock.OnSend(0);  // the notification window's dispatch, while the senders go on
    }
    stop = true;
    for (std::thread& s : senders) {
        s.join();
    }
    ASSERT_TRUE(posted) << "no send event was posted for the failure";
    EXPECT_EQ(0, accepted.load()) << "a send was accepted behind the cut frame";
    EXPECT_EQ(1, c.sock.closeCalls);
    EXPECT_EQ(INVALID_SOCKET, c.sock.m_hSocket);
    EXPECT_EQ(WSAENOBUFS, c.sock.GetErrorCode());
    EXPECT_EQ(1u, c.wnd.with(WM_SOCKET_REMOVE_MAP).size()) << "unregistered";
    DrainQueue();
    EXPECT_EQ(std::vector<WPARAM>{TP_NOTIFY_CLOSE}, Codes(c.wnd));
    for (const std::string& rec : Contents(c.sock.m_SendList)) {
        ASSERT_GE(rec.size(), 4u);
        EXPECT_EQ(rec.size() - 4, packet_test::LengthFieldAt(rec, 0)) << "queued packets stay whole";
    }
    std::string got;
    RecvExactly(c.peer, 11, got, 2000);
    EXPECT_EQ(frame.substr(0, 10), got) << "the cut frame, and nothing behind it";
}

// A close that cut a packet, by the close event or by the application's own Close, with the lock
// free or held by a worker at that moment (the close never waits for it): the peer sees a reset
// behind the cut frame, the rest of the cut packet leaves the queue (at once when the lock is
// free), whole packets stay, and the same object connected again writes those from a frame
// boundary. The reset is closesocket's abortive close with SO_LINGER zero (Microsoft's
// closesocket reference page, winsock.h: recv on the remote side fails with WSAECONNRESET).
TEST(PacketSendThreads, AReconnectedObjectNeverWritesTheOldConnectionsCutFrame) {
    for (bool appClose : {false, true}) {
        for (bool lockHeld : {false, true}) {
            SCOPED_TRACE(std::string(appClose ? "the application closes" : "the close event") +
                         (lockHeld ? ", a worker holds the lock" : ", the lock is free"));
            ConnectedProbe c;
            ASSERT_TRUE(c.ok);
            const std::string cut = Payload(100, 4), whole = Payload(70, 5);
            ScriptSend(c.sock.m_hSocket, {TakeBytes(10), WouldBlock(), WouldBlock()});
            ASSERT_GT(SendString(c.sock, cut), 0);
            ASSERT_GT(SendString(c.sock, whole), 0);
            ASSERT_EQ((std::vector<std::string>{Frame(cut).substr(10), Frame(whole)}), Contents(c.sock.m_SendList));

            std::atomic<bool> locked{false};
            std::atomic<bool> release{false};
            std::thread worker;
            if (lockHeld) {
                worker = std::thread([&] {
                    c.sock.Lock();
                    locked = true;
                    while (!release) {
                        std::this_thread::yield();
                    }
                    c.sock.Unlock();
                });
                while (!locked) {
                    std::this_thread::yield();
                }
            }
            {
                packet_test::HangWatchdog watchdog(60000, "the close waited for a worker's lock");
                if (appClose) {
                    c.sock.Close();
                } else {
                    c.sock.OnClose(WSAECONNABORTED);
                }
            }
            if (!lockHeld) {
                EXPECT_EQ(std::vector<std::string>{Frame(whole)}, Contents(c.sock.m_SendList));
                EXPECT_EQ(Frame(whole).size(), c.sock.GetSendQueueBytes());
            }
            release = true;
            if (worker.joinable()) {
                worker.join();
            }
            EXPECT_EQ(INVALID_SOCKET, c.sock.m_hSocket);
            const packet_test::StreamEnd end = packet_test::ReadToEnd(c.peer, 10000);
            EXPECT_EQ(Frame(cut).substr(0, 10), end.bytes);
            if (talven_test::ExpectDocumented(talven_test::kWineResetRecv)) {
                EXPECT_EQ(WSAECONNRESET, end.error) << "a FIN behind a cut frame";
            }

            SOCKET listener = INVALID_SOCKET;
            const SOCKET peer = Reconnect(c, listener);
            ASSERT_NE(INVALID_SOCKET, peer);
            c.sock.OnSend(0);
            std::string got;
            EXPECT_TRUE(RecvExactly(peer, Frame(whole).size(), got));
            EXPECT_TRUE(Frame(whole) == got) << "the new peer read " << got.size() << " bytes of another stream";
            EXPECT_TRUE(c.sock.m_SendList.IsEmpty());
            EXPECT_EQ(0u, c.sock.GetSendQueueBytes());
            c.sock.Close();
            winsock::closesocket(peer);
            winsock::closesocket(listener);
        }
    }
}

// Checks a stream of frames of MakeFrame(thread, seq): whole, and in each thread's order.
struct StreamCheck {
    std::vector<unsigned> next;
    size_t rest = 0;  // bytes of a frame cut short at the end
    bool ok = true;
};

std::string RacingPayload(int thread, unsigned seq) {
    std::string p = Payload(8 + (seq * 37 + static_cast<unsigned>(thread) * 11) % 300, seq * 8 + static_cast<unsigned>(thread));
    p[0] = static_cast<char>(thread);
    p.replace(1, 4, packet_test::LengthField(seq));
    return p;
}

StreamCheck CheckStream(const std::string& stream, int threads) {
    StreamCheck check;
    check.next.assign(static_cast<size_t>(threads), 0);
    size_t at = 0;
    while (stream.size() - at >= 4) {
        const size_t len = packet_test::LengthFieldAt(stream, at);
        if (stream.size() - at - 4 < len) {
            break;
        }
        const std::string payload = stream.substr(at + 4, len);
        const int t = payload.size() < 5 ? -1 : static_cast<unsigned char>(payload[0]);
        if (t < 0 || t >= threads) {
            check.ok = false;
            return check;
        }
        // A thread's packets may be missing (refused after the close) but never reordered.
        const unsigned seq = static_cast<unsigned>(packet_test::LengthFieldAt(payload, 1));
        if (seq < check.next[static_cast<size_t>(t)] || payload != RacingPayload(t, seq)) {
            check.ok = false;
            return check;
        }
        check.next[static_cast<size_t>(t)] = seq + 1;
        at += 4 + len;
    }
    check.rest = stream.size() - at;
    return check;
}

// The close event races eight senders, round after round (under the thread sanitizer: without
// a data race, RetireHandle's wait bounded by one non-blocking call). The old peer's stream
// holds whole frames, and a frame cut short only before a reset; the object connected again
// writes what stayed queued from a frame boundary.
TEST(PacketSendThreads, ACloseRacingEightSendersThenAReconnectKeepsEveryStreamWhole) {
    const int kThreads = 8;
    const int kRounds = 8;
    for (int round = 0; round < kRounds; ++round) {
        SCOPED_TRACE(round);
        ConnectedProbe c;
        ASSERT_TRUE(c.ok);
        const int small = 4096;
        c.sock.SetSockOpt(SO_SNDBUF, &small, sizeof small);
        std::atomic<bool> stop{false};
        std::atomic<int> sent{0};
        std::vector<std::thread> senders;
        for (int t = 0; t < kThreads; ++t) {
            senders.emplace_back([&, t] {
                for (unsigned seq = 0; !stop && seq < 400; ++seq) {
                    SendString(c.sock, RacingPayload(t, seq));
                    ++sent;
                }
            });
        }
        while (sent < 50 * (round + 1)) {
            std::this_thread::yield();
        }
        {
            packet_test::HangWatchdog watchdog(60000, "the close waited for the senders");
            c.sock.OnClose(round % 2 == 0 ? 0 : WSAECONNRESET);
        }
        stop = true;
        for (std::thread& s : senders) {
            s.join();
        }
        EXPECT_EQ(INVALID_SOCKET, c.sock.m_hSocket);

        const packet_test::StreamEnd old = packet_test::ReadToEnd(c.peer, 10000);
        const StreamCheck first = CheckStream(old.bytes, kThreads);
        EXPECT_TRUE(first.ok);
        if (first.rest != 0 && talven_test::ExpectDocumented(talven_test::kWineResetRecv)) {
            EXPECT_EQ(WSAECONNRESET, old.error) << "a frame cut short, then an orderly close";
        }

        SOCKET listener = INVALID_SOCKET;
        const SOCKET peer = Reconnect(c, listener);
        ASSERT_NE(INVALID_SOCKET, peer);
        std::string fresh;
        const DWORD begin = GetTickCount();
        while (!c.sock.m_SendList.IsEmpty() && GetTickCount() - begin < 30000) {
            c.sock.OnSend(0);
            packet_test::ReadAvailable(peer, fresh);
        }
        EXPECT_TRUE(c.sock.m_SendList.IsEmpty());
        c.sock.Close();
        fresh += packet_test::ReadToEnd(peer, 10000).bytes;
        const StreamCheck second = CheckStream(fresh, kThreads);
        EXPECT_TRUE(second.ok) << "the new stream does not start at a frame";
        EXPECT_EQ(0u, second.rest);
        winsock::closesocket(peer);
        winsock::closesocket(listener);
        DrainQueue();
    }
}

}  // namespace
