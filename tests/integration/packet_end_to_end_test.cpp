// Two packet sockets over loopback, as an application uses them: packets of random sizes in
// both directions at once through small socket buffers, and a peer that closes while packets
// are still on their way.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <thread>
#include <vector>

#include "support/test_support.h"

namespace {

const UINT kAppMsg = WM_APP + 7;

std::string MakePayload(size_t n, unsigned seed) {
    std::string s(n, '\0');
    unsigned x = seed * 2654435761u + 7;
    for (size_t i = 0; i < n; ++i) {
        x = x * 1103515245u + 12345u;
        s[i] = static_cast<char>(x >> 16);
    }
    return s;
}

// One direction of traffic: what was sent, in order, and how much of it has arrived whole.
struct Direction {
    CQmtpSocket* from = nullptr;
    CQmtpSocket* to = nullptr;
    std::vector<std::string> sent;
    size_t arrived = 0;
    int faults = 0;
};

// Takes every packet queued on `sock` and checks it against what `dir` sent.
void TakePackets(CQmtpSocket& sock, Direction& dir) {
    for (;;) {
        char* data = nullptr;
        int len = 0;
        const int left = sock.ReadData(data, len);
        if (data == nullptr) {
            return;
        }
        if (dir.arrived >= dir.sent.size() || dir.sent[dir.arrived] != std::string(data, static_cast<size_t>(len)) ||
            data[len] != '\0') {
            ++dir.faults;
        }
        ++dir.arrived;
        ::operator delete(data);
        if (left == 0) {
            return;
        }
    }
}

class PacketEndToEnd : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(session.ok());
        notify.Create(nullptr);
        listener = talven_test::ListenLoopback(port);
        ASSERT_NE(INVALID_SOCKET, listener);
    }
    void TearDown() override {
        if (listener != INVALID_SOCKET) {
            winsock::closesocket(listener);
        }
    }

    // Small socket buffers make partial writes happen. (A very small receive buffer only
    // slows loopback down to the zero-window probes, so it is kept larger.)
    static void SetBuffers(CQmtpSocket& sock) {
        const int sendBuffer = 8192;
        const int recvBuffer = 32768;
        sock.SetSockOpt(SO_SNDBUF, &sendBuffer, sizeof sendBuffer);
        sock.SetSockOpt(SO_RCVBUF, &recvBuffer, sizeof recvBuffer);
    }

    // Creates, registers and connects `sock` to the listener.
    void StartClient(CQmtpSocket& sock, bool smallBuffers) {
        ASSERT_EQ(1, sock.Create(notify.GetSafeHwnd()));
        if (smallBuffers) {
            SetBuffers(sock);
        }
        ASSERT_EQ(1, SendMessageA(notify.GetSafeHwnd(), WM_SOCKET_ADD_MAP, 0, reinterpret_cast<LPARAM>(&sock)));
        ASSERT_EQ(1, sock.SetNotifyHandle(app.hwnd(), kAppMsg));
        ASSERT_EQ(1, sock.Connect("127.0.0.1", port));
    }

    // Gives `sock` the next accepted connection and registers it.
    void StartServer(CQmtpSocket& sock, bool smallBuffers) {
        const SOCKET s = winsock::accept(listener, nullptr, nullptr);
        ASSERT_NE(INVALID_SOCKET, s);
        sock.m_hSocket = s;
        if (smallBuffers) {
            SetBuffers(sock);
        }
        ASSERT_EQ(1, sock.SetNotifyWnd(notify.GetSafeHwnd()));
        ASSERT_EQ(1, sock.AsyncSelect());
        ASSERT_EQ(1, SendMessageA(notify.GetSafeHwnd(), WM_SOCKET_ADD_MAP, 0, reinterpret_cast<LPARAM>(&sock)));
        ASSERT_EQ(1, sock.SetNotifyHandle(app.hwnd(), kAppMsg));
    }

    void Unregister(CQmtpSocket& sock) {
        SendMessageA(notify.GetSafeHwnd(), WM_SOCKET_REMOVE_MAP, 0, reinterpret_cast<LPARAM>(&sock));
    }

    talven_test::WinSockSession session;
    talven_test::RecordingWindow app;
    CQmSocketNotifyWnd notify;
    UINT port = 0;
    SOCKET listener = INVALID_SOCKET;
};

TEST_F(PacketEndToEnd, RandomPacketsBothWaysAtOnceArriveWholeAndInOrder) {
    const UINT kBound = 65536;
    const size_t kPackets = 1500;
    CQmtpSocket a;
    CQmtpSocket b;
    StartClient(a, true);
    StartServer(b, true);
    a.SetMaxPacketLen(kBound);
    b.SetMaxPacketLen(kBound);

    Direction ab;
    ab.from = &a;
    ab.to = &b;
    Direction ba;
    ba.from = &b;
    ba.to = &a;
    std::mt19937 rng(20261208);
    for (Direction* d : {&ab, &ba}) {
        for (size_t i = 0; i < kPackets; ++i) {
            // Sizes spread over every power of two up to the bound, both ends included.
            const UINT cap = 1u << (rng() % 17);
            const size_t n = i == 0 ? 1 : i == 1 ? kBound : 1 + rng() % cap;
            d->sent.push_back(MakePayload(n, static_cast<unsigned>(rng())));
        }
    }

    int closes = 0;
    int sendEvents = 0;
    app.onMessage = [&](const MSG& m) {
        if (m.message != kAppMsg) {
            return;
        }
        if (m.wParam == TP_NOTIFY_SEND) {
            ++sendEvents;
        } else if (m.wParam == TP_NOTIFY_RECEIVE) {
            if (m.lParam == reinterpret_cast<LPARAM>(&b)) {
                TakePackets(b, ab);
            } else {
                TakePackets(a, ba);
            }
        } else if (m.wParam == TP_NOTIFY_CLOSE) {
            ++closes;
        }
    };

    size_t queuedAb = 0;
    size_t queuedBa = 0;
    int sendFailures = 0;
    const bool done = talven_test::PumpUntil(
        [&] {
            // A random burst from each side, every time the loop comes round.
            for (auto* q : {&queuedAb, &queuedBa}) {
                Direction& d = q == &queuedAb ? ab : ba;
                const size_t burst = rng() % 12;
                for (size_t k = 0; k < burst && *q < d.sent.size(); ++k, ++*q) {
                    std::string& p = d.sent[*q];
                    if (d.from->Send(&p[0], static_cast<int>(p.size())) == -1) {
                        ++sendFailures;
                    }
                }
            }
            return (ab.arrived == kPackets && ba.arrived == kPackets) || sendFailures > 0 ||
                   ab.faults + ba.faults > 0 || closes > 0;
        },
        180000);

    EXPECT_TRUE(done);
    EXPECT_EQ(0, sendFailures);
    EXPECT_EQ(0, ab.faults);
    EXPECT_EQ(0, ba.faults);
    EXPECT_EQ(kPackets, ab.arrived);
    EXPECT_EQ(kPackets, ba.arrived);
    EXPECT_EQ(0, closes);
    EXPECT_GT(sendEvents, 2) << "writes would block (beyond the first send event of each side)";
    app.onMessage = nullptr;
    Unregister(a);
    Unregister(b);
}

TEST_F(PacketEndToEnd, PacketsSentBeforeThePeerClosesAreAllDeliveredBeforeTheClose) {
    CQmtpSocket sock;
    StartClient(sock, true);
    const SOCKET peer = winsock::accept(listener, nullptr, nullptr);
    ASSERT_NE(INVALID_SOCKET, peer);

    Direction in;
    std::mt19937 rng(7);
    for (int i = 0; i < 300; ++i) {
        in.sent.push_back(MakePayload(1 + rng() % 20000, static_cast<unsigned>(i)));
    }
    // A plain blocking peer writes every frame, then closes at once.
    std::thread writer([&] {
        for (const std::string& p : in.sent) {
            const winsock::u_long len = winsock::htonl(static_cast<winsock::u_long>(p.size()));
            std::string frame(reinterpret_cast<const char*>(&len), 4);
            frame += p;
            size_t at = 0;
            while (at < frame.size()) {
                const int r = winsock::send(peer, frame.data() + at, static_cast<int>(frame.size() - at), 0);
                if (r <= 0) {
                    return;
                }
                at += static_cast<size_t>(r);
            }
        }
        winsock::closesocket(peer);
    });

    size_t arrivedAtClose = 0;
    bool closed = false;
    app.onMessage = [&](const MSG& m) {
        if (m.message != kAppMsg || closed) {
            return;
        }
        if (m.wParam == TP_NOTIFY_RECEIVE) {
            TakePackets(sock, in);
        } else if (m.wParam == TP_NOTIFY_CLOSE) {
            closed = true;
            arrivedAtClose = in.arrived;
        }
    };
    const bool sawClose = talven_test::PumpUntil([&] { return closed; }, 60000);
    writer.join();
    app.onMessage = nullptr;

    ASSERT_TRUE(sawClose);
    EXPECT_EQ(in.sent.size(), arrivedAtClose);
    EXPECT_EQ(0, in.faults);
    EXPECT_EQ(INVALID_SOCKET, sock.m_hSocket) << "closed and unregistered by its close event";
    EXPECT_EQ(0, sock.GetErrorCode());
}

}  // namespace
