// ConnectAsync (a connect by name that never blocks the loop) and SetConnectTimeout. The lookup
// is WSAAsyncGetHostByName's (its reference page, winsock.h: the answer comes as a message).
#include <gtest/gtest.h>

#include <memory>

#include "socket/socket_test_helpers.h"
#include "support/test_support.h"

namespace {

using talven_test::HandlerCall;
using talven_test::PumpFor;
using talven_test::PumpUntil;
using talven_test::RecordingSocket;

constexpr UINT kTick = WM_USER + 0x50;

class ConnectAsyncTest : public talven_test::NotifySinkTest {
protected:
    void SetUp() override {
        NotifySinkTest::SetUp();
        listener_ = talven_test::ListenLoopback(port_);
        ASSERT_NE(listener_, INVALID_SOCKET);
        ASSERT_TRUE(sock_.Create(hwnd()));
        ASSERT_EQ(Register(sock_), 1);
    }
    void TearDown() override {
        Unregister(sock_);
        sock_.Close();
        winsock::closesocket(listener_);
        NotifySinkTest::TearDown();
    }
    bool Connected() {
        return PumpUntil([&] { return sock_.Count(FD_CONNECT) > 0; }, 10000);
    }
    bool Registered(CQmAsyncSocket& s, SOCKET handle) {
        // A registered object answers a removal; put it back for the test to go on.
        CQmAsyncSocket probe;
        probe.m_hSocket = handle;
        const bool found = Unregister(probe) != 0;
        if (found) Register(s);
        probe.m_hSocket = INVALID_SOCKET;
        return found;
    }

    SOCKET listener_ = INVALID_SOCKET;
    UINT port_ = 0;
    RecordingSocket sock_;
};

TEST_F(ConnectAsyncTest, NameIsLookedUpWhileTheLoopKeepsRunning) {
    winsock::seam::SlowLookup("localhost", 2000);  // the emulation's resolver takes 2 s
    ASSERT_EQ(sock_.ConnectAsync("localhost", port_), 1);
    EXPECT_TRUE(sock_.calls.empty());  // nothing has been waited for
    // A window of the same thread keeps receiving its messages meanwhile.
    talven_test::RecordingWindow other;
    int ticks = 0;
    other.onMessage = [&](const MSG&) {
        if (++ticks < 10) PostMessageA(other.hwnd(), kTick, 0, 0);
    };
    PostMessageA(other.hwnd(), kTick, 0, 0);
    ASSERT_TRUE(PumpUntil([&] { return ticks >= 10 || !sock_.calls.empty(); }, 10000));
#if !defined(_WIN32)  // the system's resolver is not slowed: there the answer may come first
    EXPECT_EQ(ticks, 10);
    EXPECT_TRUE(sock_.calls.empty());
#endif
    ASSERT_TRUE(Connected());
    EXPECT_EQ(sock_.calls.front(), (HandlerCall{FD_CONNECT, 0}));
    EXPECT_NE(winsock::accept(listener_, nullptr, nullptr), INVALID_SOCKET);
}

TEST_F(ConnectAsyncTest, DottedAddressSkipsTheLookup) {
    // Were it looked up, this lookup would take a minute.
    winsock::seam::SlowLookup("127.0.0.1", 60000);
    ASSERT_EQ(sock_.ConnectAsync("127.0.0.1", port_), 1);
    ASSERT_TRUE(Connected());
    EXPECT_EQ(sock_.calls.front(), (HandlerCall{FD_CONNECT, 0}));
}

TEST_F(ConnectAsyncTest, FailuresAndRefusals) {
    // A name that cannot resolve: OnConnect with the lookup's error; the socket stays open.
    ASSERT_EQ(sock_.ConnectAsync("no..such", port_), 1);
    ASSERT_TRUE(Connected());
    const int error = sock_.calls.front().error;
    EXPECT_TRUE(error == WSAHOST_NOT_FOUND || error == WSANO_DATA) << error;
    EXPECT_NE(sock_.m_hSocket, INVALID_SOCKET);

    // Refused at once, with the reason.
    WSASetLastError(0);
    EXPECT_EQ(sock_.ConnectAsync(nullptr, port_), 0);
    EXPECT_EQ(WSAGetLastError(), WSAEINVAL);
    RecordingSocket unbound;  // no window, no socket
    EXPECT_EQ(unbound.ConnectAsync("127.0.0.1", port_), 0);
    EXPECT_EQ(WSAGetLastError(), WSAEINVAL);
}

TEST_F(ConnectAsyncTest, CloseDuringTheLookupEndsIt) {
    winsock::seam::SlowLookup("localhost", 2000);
    ASSERT_EQ(sock_.ConnectAsync("localhost", port_), 1);
    sock_.Close();
    PumpFor(2500);  // the slowed lookup would have ended by now
    EXPECT_TRUE(sock_.calls.empty());
}

// A socket deleted while its lookup and timeout are pending leaves nothing that could reach it
// (the address sanitizer watches the late timer and reply).
TEST_F(ConnectAsyncTest, DeletingTheSocketEndsItsLookupAndTimeout) {
    winsock::seam::SlowLookup("localhost", 300);
    for (const char* host : {"localhost", "127.0.0.1"}) {
        auto doomed = std::make_unique<RecordingSocket>();
        ASSERT_TRUE(doomed->Create(hwnd()));
        ASSERT_EQ(Register(*doomed), 1);
        doomed->SetConnectTimeout(50);
        ASSERT_EQ(doomed->ConnectAsync(host, port_), 1);
        Unregister(*doomed);
        doomed.reset();
    }
    PumpFor(500);
    EXPECT_TRUE(sock_.calls.empty());
}

TEST_F(ConnectAsyncTest, TimeoutAbandonsAConnectNobodyAnswers) {
    talven_test::SilentPeer silent;
    ASSERT_TRUE(silent.ok());
    EXPECT_EQ(sock_.GetConnectTimeout(), 0u);
    sock_.SetConnectTimeout(300);
    EXPECT_EQ(sock_.GetConnectTimeout(), 300u);
    const SOCKET handle = sock_.m_hSocket;
    // Connect keeps its documented result; the timeout watches the connect it left under way.
    EXPECT_EQ(sock_.Connect("127.0.0.1", silent.port()), 0);
    EXPECT_EQ(WSAGetLastError(), WSAEWOULDBLOCK);
    ASSERT_TRUE(Connected());
    EXPECT_EQ(sock_.calls, (std::vector<HandlerCall>{{FD_CONNECT, WSAETIMEDOUT}}));
    EXPECT_EQ(sock_.m_hSocket, INVALID_SOCKET);  // closed,
    EXPECT_FALSE(Registered(sock_, handle));      // and unregistered
    PumpFor(100);
    EXPECT_EQ(sock_.calls.size(), 1u);

    // ConnectAsync is timed the same way, its lookup included.
    winsock::seam::SlowLookup("localhost", 60000);
    ASSERT_TRUE(sock_.Create(hwnd()));
    ASSERT_EQ(Register(sock_), 1);
    sock_.calls.clear();
    ASSERT_EQ(sock_.ConnectAsync("localhost", silent.port()), 1);
    ASSERT_TRUE(Connected());
    EXPECT_EQ(sock_.calls, (std::vector<HandlerCall>{{FD_CONNECT, WSAETIMEDOUT}}));
    EXPECT_EQ(sock_.m_hSocket, INVALID_SOCKET);
}

TEST_F(ConnectAsyncTest, TimeoutEndsWithAConnectThatSucceeded) {
    sock_.SetConnectTimeout(200);
    ASSERT_EQ(sock_.ConnectAsync("127.0.0.1", port_), 1);
    ASSERT_TRUE(Connected());
    PumpFor(400);
    EXPECT_EQ(sock_.Count(FD_CONNECT), 1);
    EXPECT_EQ(sock_.calls.front(), (HandlerCall{FD_CONNECT, 0}));
    EXPECT_NE(sock_.m_hSocket, INVALID_SOCKET);
    // A refused connect ends the attempt too: only its own error arrives.
    winsock::closesocket(listener_);
    listener_ = INVALID_SOCKET;
    Unregister(sock_);
    sock_.Close();
    ASSERT_TRUE(sock_.Create(hwnd()));
    ASSERT_EQ(Register(sock_), 1);
    sock_.calls.clear();
    sock_.SetConnectTimeout(1500);  // Windows takes about a second to give up on a refusal
    ASSERT_EQ(sock_.ConnectAsync("127.0.0.1", port_), 1);
    ASSERT_TRUE(Connected());
    PumpFor(1700);
    EXPECT_EQ(sock_.calls, (std::vector<HandlerCall>{{FD_CONNECT, WSAECONNREFUSED}}));
}

}  // namespace
