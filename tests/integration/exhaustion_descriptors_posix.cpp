// Descriptor exhaustion: with the process's descriptor limit lowered to what is already open,
// making and accepting sockets fail with WSAEMFILE and nothing crashes; once descriptors are
// free again, pending connections are accepted and packets flow. POSIX only: Windows has no
// per-process descriptor limit that a test could lower.
#include <sys/resource.h>

#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "integration/hostile_support.h"

using namespace talven_test;

namespace {

// Lowers the soft descriptor limit for its lifetime.
class DescriptorLimit {
public:
    explicit DescriptorLimit(rlim_t soft) {
        getrlimit(RLIMIT_NOFILE, &saved_);
        rlimit lowered = saved_;
        lowered.rlim_cur = soft;
        ok_ = setrlimit(RLIMIT_NOFILE, &lowered) == 0;
    }
    ~DescriptorLimit() { Restore(); }
    DescriptorLimit(const DescriptorLimit&) = delete;
    DescriptorLimit& operator=(const DescriptorLimit&) = delete;

    void Restore() {
        if (ok_) {
            setrlimit(RLIMIT_NOFILE, &saved_);
            ok_ = false;
        }
    }
    bool ok() const { return ok_; }

private:
    rlimit saved_{};
    bool ok_ = false;
};

void Register(HWND notify, CQmAsyncSocket& s) {
    SendMessageA(notify, WM_SOCKET_ADD_MAP, 0, reinterpret_cast<LPARAM>(&s));
}

void Unregister(HWND notify, CQmAsyncSocket& s) {
    if (s.m_hSocket != INVALID_SOCKET) {
        SendMessageA(notify, WM_SOCKET_REMOVE_MAP, 0, reinterpret_cast<LPARAM>(&s));
    }
}

}  // namespace

TEST(DescriptorExhaustion, CreateAndAcceptFailWithWsaemfileThenWorkAgain) {
    WinSockSession session;
    ASSERT_TRUE(session.ok());
    RecordingWindow app;
    CQmSocketNotifyWnd notifyWnd;
    notifyWnd.Create(nullptr);
    const HWND notify = notifyWnd.GetSafeHwnd();
    const int descriptorsAtStart = OpenDescriptors();

    // A listening packet socket with three connections waiting to be accepted.
    CQmtpSocket listener;
    ASSERT_TRUE(listener.Create(notify, 0, SOCK_STREAM, FD_READ | FD_WRITE | FD_ACCEPT | FD_CLOSE, "127.0.0.1"));
    Register(notify, listener);
    ASSERT_TRUE(listener.SetNotifyHandle(app.hwnd(), kAppMsg));
    ASSERT_TRUE(listener.Listen(16));
    CString address;
    UINT port = 0;
    ASSERT_TRUE(listener.GetSockName(address, port));
    std::vector<SOCKET> peers;
    for (int i = 0; i < 3; ++i) {
        peers.push_back(ConnectLoopback(port));
        ASSERT_NE(peers.back(), INVALID_SOCKET);
    }
    ASSERT_TRUE(PumpUntil([&] { return !app.with(kAppMsg).empty(); }));

    std::vector<std::unique_ptr<CQmtpSocket>> fillers;
    int createError = 0;
    int acceptError = 0;
    {
        DescriptorLimit limit(static_cast<rlim_t>(OpenDescriptors() + 4));
        ASSERT_TRUE(limit.ok());
        // Take whatever descriptors are left below the limit, until a Create fails.
        for (int i = 0; i < 64 && createError == 0; ++i) {
            auto s = std::make_unique<CQmtpSocket>();
            if (s->Create(notify)) {
                fillers.push_back(std::move(s));
            } else {
                createError = WSAGetLastError();
                EXPECT_EQ(s->m_hSocket, INVALID_SOCKET);
            }
        }
        CQmtpSocket accepted;
        EXPECT_FALSE(listener.Accept(accepted));
        acceptError = WSAGetLastError();
        EXPECT_EQ(accepted.m_hSocket, INVALID_SOCKET);
        // The message loop keeps running with no descriptor to spare.
        PumpFor(100);
    }
    EXPECT_EQ(createError, WSAEMFILE);
    EXPECT_EQ(acceptError, WSAEMFILE);
    fillers.clear();

    // Descriptors are free again: the waiting connections are accepted and carry packets both
    // ways.
    std::vector<std::unique_ptr<ExposedPacketSocket>> accepted;
    for (;;) {
        auto s = std::make_unique<ExposedPacketSocket>();
        if (!listener.Accept(*s)) {
            EXPECT_EQ(WSAGetLastError(), WSAEWOULDBLOCK);
            break;
        }
        s->SetNotifyWnd(notify);
        Register(notify, *s);
        s->SetNotifyHandle(app.hwnd(), kAppMsg);
        accepted.push_back(std::move(s));
    }
    ASSERT_EQ(accepted.size(), peers.size());
    for (std::size_t i = 0; i < peers.size(); ++i) {
        const std::string hello = "hello " + std::to_string(i);
        ASSERT_TRUE(PumpSend(peers[i], Frame(hello)));
        ASSERT_TRUE(PumpUntil([&] { return accepted[i]->ReceivedQueued() > 0; }));
        EXPECT_EQ(TakePackets(*accepted[i]), std::vector<std::string>{hello});
        std::string reply = "reply " + std::to_string(i);
        EXPECT_GT(accepted[i]->Send(&reply[0], static_cast<int>(reply.size())), 0);
        EXPECT_EQ(PumpReceive(peers[i], reply.size() + 4), Frame(reply));
    }

    // A new connection made by the library, reported by the usual events at both ends.
    app.clear();
    CQmtpSocket client;
    ASSERT_TRUE(client.Create(notify));
    Register(notify, client);
    ASSERT_TRUE(client.SetNotifyHandle(app.hwnd(), kAppMsg));
    ASSERT_TRUE(client.Connect("127.0.0.1", port));
    const auto seen = [&](WPARAM code, CQmtpSocket& from) {
        for (const MSG& m : app.with(kAppMsg)) {
            if (m.wParam == code && m.lParam == reinterpret_cast<LPARAM>(&from)) {
                return true;
            }
        }
        return false;
    };
    ASSERT_TRUE(PumpUntil([&] { return seen(TP_NOTIFY_CONNECT, client) && seen(TP_NOTIFY_ACCEPT, listener); }));
    EXPECT_EQ(client.GetErrorCode(), 0);
    auto server = std::make_unique<ExposedPacketSocket>();
    ASSERT_TRUE(listener.Accept(*server));
    server->SetNotifyWnd(notify);
    Register(notify, *server);
    std::string ping = "ping";
    EXPECT_GT(client.Send(&ping[0], static_cast<int>(ping.size())), 0);
    ASSERT_TRUE(PumpUntil([&] { return server->ReceivedQueued() > 0; }));
    EXPECT_EQ(TakePackets(*server), std::vector<std::string>{ping});

    Unregister(notify, *server);
    server.reset();
    for (auto& s : accepted) {
        Unregister(notify, *s);
    }
    accepted.clear();
    Unregister(notify, client);
    client.Close();
    Unregister(notify, listener);
    listener.Close();
    for (SOCKET p : peers) {
        winsock::closesocket(p);
    }
    EXPECT_EQ(OpenDescriptors(), descriptorsAtStart);
}
