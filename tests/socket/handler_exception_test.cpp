// No exception of a socket's handler leaves the notification window's procedure: it would
// unwind through the system's frames that called the procedure (MFC catches at the same edge,
// in its AfxCallWndProc). The socket being served is closed instead, and told through OnClose.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <new>
#include <stdexcept>

#include "socket/socket_test_helpers.h"

// An allocation that fails on demand: the next one of at least t_failAtLeast bytes on the
// thread that armed it throws std::bad_alloc. Every other allocation goes to malloc.
namespace {
thread_local std::size_t t_failAtLeast = 0;
std::atomic<int> g_failed{0};
}  // namespace

void* operator new(std::size_t size) {
    if (t_failAtLeast != 0 && size >= t_failAtLeast) {
        t_failAtLeast = 0;
        ++g_failed;
        throw std::bad_alloc();
    }
    if (void* p = std::malloc(size != 0 ? size : 1)) {
        return p;
    }
    throw std::bad_alloc();
}
// The other forms, so that every allocation of the program pairs malloc with free.
void* operator new[](std::size_t size) { return ::operator new(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    try {
        return ::operator new(size);
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}
void* operator new[](std::size_t size, const std::nothrow_t& tag) noexcept {
    return ::operator new(size, tag);
}
// (GCC takes a replacement pair of malloc and free for a mismatch.)
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#endif
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { std::free(p); }
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif

namespace talven_test {
namespace {

const UINT kAppMsg = WM_APP + 21;

class HandlerException : public NotifySinkTest {
protected:
    void SetUp() override {
        NotifySinkTest::SetUp();
        listener_ = ListenLoopback(port_);
        ASSERT_NE(INVALID_SOCKET, listener_);
    }
    void TearDown() override {
        t_failAtLeast = 0;
        if (peer_ != INVALID_SOCKET) winsock::closesocket(peer_);
        winsock::closesocket(listener_);
        NotifySinkTest::TearDown();
    }
    // Whether the application window got `code` for `socket`.
    bool Notified(WPARAM code, const void* socket) const {
        for (const MSG& m : app_.with(kAppMsg)) {
            if (m.wParam == code && m.lParam == reinterpret_cast<LPARAM>(socket)) return true;
        }
        return false;
    }
    // The peer sees the connection end: its blocking recv returns at once with 0 or an error.
    bool PeerSawTheEnd() {
        char c;
        return winsock::recv(peer_, &c, 1, 0) <= 0;
    }

    RecordingWindow app_;
    UINT port_ = 0;
    SOCKET listener_ = INVALID_SOCKET;
    SOCKET peer_ = INVALID_SOCKET;
};

// OnReceive grows its assembly buffer for a large frame, and the allocation fails.
TEST_F(HandlerException, FailedAllocationInOnReceiveClosesThePacketSocketAndReportsIt) {
    CQmtpSocket s;
    ASSERT_EQ(1, s.Create(hwnd()));
    ASSERT_EQ(1, Register(s));
    ASSERT_EQ(1, s.SetNotifyHandle(app_.hwnd(), kAppMsg));
    s.SetMaxPacketLen(1 << 20);
    ASSERT_EQ(1, s.Connect("127.0.0.1", port_));
    peer_ = winsock::accept(listener_, nullptr, nullptr);
    ASSERT_NE(INVALID_SOCKET, peer_);
    ASSERT_TRUE(PumpUntil([&] { return Notified(TP_NOTIFY_CONNECT, &s); }));

    // A frame of 100000 bytes, of which 3000 arrive: more than the first buffer holds.
    std::string frame("\x00\x01\x86\xA0", 4);
    frame += std::string(3000, 'p');
    ASSERT_EQ(static_cast<int>(frame.size()),
              winsock::send(peer_, frame.data(), static_cast<int>(frame.size()), 0));
    const int failedBefore = g_failed.load();
    t_failAtLeast = 2048;
    ASSERT_TRUE(PumpUntil([&] { return Notified(TP_NOTIFY_CLOSE, &s); }));
    t_failAtLeast = 0;
    EXPECT_EQ(failedBefore + 1, g_failed.load()) << "the growth did not allocate";
    EXPECT_EQ(WSAENOBUFS, s.GetErrorCode());
    EXPECT_EQ(INVALID_SOCKET, s.m_hSocket);
    EXPECT_TRUE(PeerSawTheEnd());
    char* data = nullptr;
    int len = 0;
    s.ReadData(data, len);
    EXPECT_EQ(nullptr, data);
}

// Whatever a plain socket's handler throws, the socket is closed and OnClose reports it; the
// message loop goes on.
TEST_F(HandlerException, AnyExceptionOfAHandlerClosesItsSocketAndCallsOnClose) {
    const struct {
        void (*raise)();
        int code;
    } cases[] = {
        {[] { throw std::bad_alloc(); }, WSAENOBUFS},
        {[] { throw std::runtime_error("handler"); }, WSAECONNABORTED},
        {[] { AfxThrowResourceException(); }, WSAECONNABORTED},
        {[] { throw 42; }, WSAECONNABORTED},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.code);
        RecordingSocket s;
        bool thrown = false;
        s.onCall = [&](RecordingSocket&, const HandlerCall& call) {
            if (call.event == FD_CONNECT && !thrown) {
                thrown = true;
                c.raise();
            }
        };
        ASSERT_EQ(1, s.Create(hwnd(), 0, SOCK_STREAM, FD_CONNECT | FD_READ | FD_CLOSE,
                              "127.0.0.1"));
        ASSERT_EQ(1, Register(s));
        s.Connect("127.0.0.1", port_);
        peer_ = winsock::accept(listener_, nullptr, nullptr);
        ASSERT_NE(INVALID_SOCKET, peer_);
        ASSERT_TRUE(PumpUntil([&] { return s.Count(FD_CLOSE) > 0; }));
        EXPECT_EQ((HandlerCall{FD_CLOSE, c.code}), s.calls.back());
        EXPECT_EQ(INVALID_SOCKET, s.m_hSocket);
        EXPECT_EQ(0, Unregister(s));  // already gone from the map
        EXPECT_TRUE(PeerSawTheEnd());
        winsock::closesocket(peer_);
        peer_ = INVALID_SOCKET;
    }
}

}  // namespace
}  // namespace talven_test
