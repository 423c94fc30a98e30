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
                const UINT len = (static_cast<UINT>(static_cast<unsigned char>(buf[at])) << 24) |
                                 (static_cast<UINT>(static_cast<unsigned char>(buf[at + 1])) << 16) |
                                 (static_cast<UINT>(static_cast<unsigned char>(buf[at + 2])) << 8) |
                                 static_cast<UINT>(static_cast<unsigned char>(buf[at + 3]));
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
