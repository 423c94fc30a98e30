// Many threads sending on one packet socket while its peer reads slowly and the notification
// window's thread flushes on every send event: every packet arrives whole, and each thread's
// packets arrive in that thread's order.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "packet_test_util.h"

using packet_test::kAppMsg;
using packet_test::Payload;

namespace {

const int kThreads = 8;
const int kPacketsPerThread = 2000;

size_t PacketSize(int thread, int seq) {
    return 5 + static_cast<size_t>((seq * 7919 + thread * 31) % 1500);
}

// Byte 0: the sending thread; bytes 1 to 4: its sequence number; then a pattern of both.
std::string MakePacket(int thread, int seq) {
    std::string p = Payload(PacketSize(thread, seq), static_cast<unsigned>(thread * 100000 + seq));
    p[0] = static_cast<char>(thread);
    p.replace(1, 4, packet_test::LengthField(static_cast<UINT>(seq)));
    return p;
}

class QueueProbe : public CQmtpSocket {
public:
    bool QueueEmpty() {
        Lock();
        const bool empty = m_SendList.IsEmpty();
        Unlock();
        return empty;
    }
};

// Reads frames from a non-blocking peer in small pieces, with pauses, and checks each.
struct SlowReader {
    SOCKET peer;
    HWND wake;  // posted to when the reader ends, so the pumping thread looks again
    std::atomic<int> received{0};
    std::atomic<int> faults{0};
    std::atomic<bool> finished{false};
    std::vector<int> nextSeq = std::vector<int>(kThreads, 0);

    void Run() {
        std::string buf;
        char chunk[512];
        const DWORD start = GetTickCount();
        int reads = 0;
        while (received < kThreads * kPacketsPerThread && faults == 0 &&
               GetTickCount() - start < 240000) {
            const int r = winsock::recv(peer, chunk, sizeof chunk, 0);
            if (r > 0) {
                buf.append(chunk, static_cast<size_t>(r));
                if (++reads % 32 == 0) {
                    Sleep(1);  // a slow reader: the sender's buffer fills up
                }
            } else if (r == SOCKET_ERROR && WSAGetLastError() == WSAEWOULDBLOCK) {
                Sleep(1);
                continue;
            } else {
                ++faults;
                break;
            }
            size_t at = 0;
            while (buf.size() - at >= 4) {
                const size_t len = packet_test::LengthFieldAt(buf, at);
                if (buf.size() - at - 4 < len) {
                    break;
                }
                Check(buf.substr(at + 4, len));
                at += 4 + len;
            }
            buf.erase(0, at);
        }
        finished = true;
        PostMessageA(wake, WM_USER + 99, 0, 0);
    }

    void Check(const std::string& payload) {
        const int thread = payload.empty() ? -1 : static_cast<unsigned char>(payload[0]);
        if (thread < 0 || thread >= kThreads || payload != MakePacket(thread, nextSeq[thread])) {
            ++faults;
            return;
        }
        ++nextSeq[thread];
        ++received;
    }
};

TEST(PacketConcurrentSend, EveryThreadsPacketsArriveWholeAndInThatThreadsOrder) {
    talven_test::WinSockSession session;
    ASSERT_TRUE(session.ok());
    talven_test::RecordingWindow app;
    CQmSocketNotifyWnd notify;
    notify.Create(nullptr);
    UINT port = 0;
    const SOCKET listener = talven_test::ListenLoopback(port);
    ASSERT_NE(INVALID_SOCKET, listener);

    QueueProbe sock;
    ASSERT_EQ(1, sock.Create(notify.GetSafeHwnd()));
    const int small = 4096;
    sock.SetSockOpt(SO_SNDBUF, &small, sizeof small);
    ASSERT_EQ(1, SendMessageA(notify.GetSafeHwnd(), WM_SOCKET_ADD_MAP, 0, reinterpret_cast<LPARAM>(&sock)));
    ASSERT_EQ(1, sock.SetNotifyHandle(app.hwnd(), kAppMsg));
    ASSERT_EQ(1, sock.Connect("127.0.0.1", port));
    SlowReader reader;
    reader.wake = app.hwnd();
    reader.peer = winsock::accept(listener, nullptr, nullptr);
    ASSERT_NE(INVALID_SOCKET, reader.peer);
    winsock::u_long on = 1;
    winsock::ioctlsocket(reader.peer, FIONBIO, &on);
    ASSERT_TRUE(talven_test::PumpUntil([&] { return !app.with(kAppMsg).empty(); }));
    ASSERT_EQ(static_cast<WPARAM>(TP_NOTIFY_CONNECT), app.with(kAppMsg)[0].wParam);
    ASSERT_EQ(0, sock.GetErrorCode());

    std::thread readerThread([&] { reader.Run(); });
    std::atomic<int> sendersDone{0};
    std::atomic<int> sendFailures{0};
    std::vector<std::thread> senders;
    for (int t = 0; t < kThreads; ++t) {
        senders.emplace_back([&, t] {
            for (int seq = 0; seq < kPacketsPerThread; ++seq) {
                std::string p = MakePacket(t, seq);
                if (sock.Send(&p[0], static_cast<int>(p.size())) == -1) {
                    ++sendFailures;
                }
            }
            ++sendersDone;
        });
    }
    // This thread owns the notification window: it flushes the queue on every send event.
    const bool finished = talven_test::PumpUntil([&] { return reader.finished.load(); }, 240000);
    for (std::thread& s : senders) {
        s.join();
    }
    readerThread.join();

    EXPECT_TRUE(finished);
    EXPECT_EQ(kThreads, sendersDone.load());
    EXPECT_TRUE(sock.QueueEmpty());
    EXPECT_EQ(0, sendFailures.load());
    EXPECT_EQ(0, reader.faults.load());
    EXPECT_EQ(kThreads * kPacketsPerThread, reader.received.load());
    EXPECT_EQ(std::vector<int>(kThreads, kPacketsPerThread), reader.nextSeq);
    size_t sendEvents = 0;
    for (const MSG& m : app.with(kAppMsg)) {
        sendEvents += m.wParam == TP_NOTIFY_SEND ? 1 : 0;
    }
    EXPECT_GT(sendEvents, 0u) << "the window's thread flushed on send events";

    SendMessageA(notify.GetSafeHwnd(), WM_SOCKET_REMOVE_MAP, 0, reinterpret_cast<LPARAM>(&sock));
    winsock::closesocket(reader.peer);
    winsock::closesocket(listener);
}

}  // namespace

namespace {

// Flushes fail on two sender threads at once: the shared error text is written by both, and
// must end as one whole text (under the thread sanitizer: without a data race).
TEST(PacketConcurrentSend, WriteErrorsOnTwoThreadsAtOnceLeaveOneWholeText) {
    const int kFailures = 300;
    packet_test::ConnectedProbe a;
    packet_test::ConnectedProbe b;
    ASSERT_TRUE(a.ok && b.ok);
    const int codes[2] = {WSAECONNRESET, WSAECONNABORTED};
    packet_test::ConnectedProbe* probes[2] = {&a, &b};
    for (int i = 0; i < 2; ++i) {
        winsock::seam::ScriptSend(probes[i]->sock.m_hSocket,
                                  std::vector<winsock::seam::Step>(kFailures, winsock::seam::FailWith(codes[i])));
    }
    std::atomic<int> failed{0};
    std::thread senders[2];
    for (int i = 0; i < 2; ++i) {
        senders[i] = std::thread([&, i] {
            char byte = 'x';
            for (int n = 0; n < kFailures; ++n) {
                // Each call queues one packet and fails at the queue's head.
                if (probes[i]->sock.Send(&byte, 1) == -1) {
                    ++failed;
                }
            }
        });
    }
    for (std::thread& t : senders) {
        t.join();
    }
    EXPECT_EQ(2 * kFailures, failed.load());
    CString reset;
    CString aborted;
    QmGetWSAErrorString(WSAECONNRESET, reset);
    QmGetWSAErrorString(WSAECONNABORTED, aborted);
    EXPECT_TRUE(g_strTpSocketError == reset || g_strTpSocketError == aborted)
        << static_cast<LPCSTR>(g_strTpSocketError);
    winsock::seam::ClearAll();
}

}  // namespace

namespace {

// The peer closes while another thread keeps sending: the close event closes the socket on
// the window's thread while flushes run on the sender's. No flush may use the handle while it
// is being closed (under the thread sanitizer: no data race), and every send after the close
// fails with -1. (The probe's events reach a recording window, so the test hands the close
// event to the socket itself, on the window's thread, as the notification window would.)
TEST(PacketConcurrentSend, PeerCloseWhileAnotherThreadSendsIsOrderly) {
    packet_test::ConnectedProbe c;
    ASSERT_TRUE(c.ok);
    std::atomic<bool> stop{false};
    std::atomic<int> sent{0};
    std::thread sender([&] {
        char byte = 'x';
        while (!stop) {
            c.sock.Send(&byte, 1);
            ++sent;
        }
    });
    ASSERT_TRUE(talven_test::PumpUntil([&] { return sent.load() > 100; }));
    winsock::closesocket(c.peer);
    c.peer = INVALID_SOCKET;
    int closeError = -1;
    const bool closed = talven_test::PumpUntil([&] {
        for (const MSG& m : c.wnd.with(WM_SOCKET_NOTIFY)) {
            if (LOWORD(m.lParam) == FD_CLOSE) {
                closeError = HIWORD(m.lParam);
                return true;
            }
        }
        return false;
    });
    if (closed) {
        c.sock.OnClose(closeError);  // closes while the sender keeps flushing
    }
    stop = true;
    sender.join();
    ASSERT_TRUE(closed);
    EXPECT_EQ(INVALID_SOCKET, c.sock.m_hSocket);
    char byte = 'y';
    EXPECT_EQ(-1, c.sock.Send(&byte, 1));
}

}  // namespace
