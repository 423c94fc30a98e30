// WSAAsyncGetHostByName and WSACancelAsyncRequest. The reference pages relied on:
// WSAAsyncGetHostByName (winsock.h): the task handle in wParam, WSAGETASYNCERROR and
// WSAGETASYNCBUFLEN in lParam, the hostent built inside the caller's buffer, WSAENOBUFS with the
// length needed; WSACancelAsyncRequest (winsock.h): 0 when cancelled, WSAEALREADY once the
// lookup has completed (its message may still wait in the queue).
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "platform/winsock/winsock.h"
#include "platform/winsock/winsock_seam.h"
#include "support/test_support.h"
#include "support/test_system.h"

namespace {

using talven_test::PumpFor;
using talven_test::PumpUntil;
using talven_test::RecordingWindow;

constexpr UINT kLookupDone = WM_USER + 0x40;
constexpr UINT kOther = WM_USER + 0x41;
constexpr char kSentinel = '\x5A';
constexpr char kWineCancel[] =
    "WSACancelAsyncRequest returns 0 under Wine 8.0 and cancels nothing (the reply comes and the "
    "buffer is written); WSACancelAsyncRequest's reference page (winsock.h) gives WSAEALREADY "
    "for a completed request, WSAEINVAL for the handle 0, and no reply after a cancel";

class AsyncLookup : public ::testing::Test {
protected:
    talven_test::WinSockSession session_;
    RecordingWindow wnd_;
    void SetUp() override { ASSERT_TRUE(session_.ok()); }
    void TearDown() override { winsock::seam::ClearAll(); }

    std::vector<MSG> RepliesFor(HANDLE task) const {
        std::vector<MSG> out;
        for (const MSG& m : wnd_.with(kLookupDone)) {
            if (m.wParam == reinterpret_cast<WPARAM>(task)) out.push_back(m);
        }
        return out;
    }
    bool WaitReply(HANDLE task) {
        return PumpUntil([&] { return !RepliesFor(task).empty(); }, 10000);
    }
};

bool Untouched(const std::vector<char>& buf) {
    for (char c : buf) {
        if (c != kSentinel) return false;
    }
    return true;
}

TEST_F(AsyncLookup, ResultIsBuiltInsideTheCallersBuffer) {
    std::vector<char> buf(MAXGETHOSTSTRUCT, kSentinel);
    HANDLE task = WSAAsyncGetHostByName(wnd_.hwnd(), kLookupDone, "127.0.0.1", buf.data(),
                                        static_cast<int>(buf.size()));
    ASSERT_NE(task, nullptr);
    ASSERT_TRUE(WaitReply(task));
    const MSG reply = RepliesFor(task).front();
    EXPECT_EQ(WSAGETASYNCERROR(reply.lParam), 0);
    EXPECT_GT(WSAGETASYNCBUFLEN(reply.lParam), sizeof(winsock::hostent));
    EXPECT_LE(WSAGETASYNCBUFLEN(reply.lParam), buf.size());
    const char* begin = buf.data();
    const char* end = begin + buf.size();
    auto inside = [&](const void* p) {
        return static_cast<const char*>(p) >= begin && static_cast<const char*>(p) < end;
    };
    const winsock::hostent* h = reinterpret_cast<const winsock::hostent*>(buf.data());
    EXPECT_EQ(h->h_addrtype, AF_INET);
    ASSERT_EQ(h->h_length, 4);
    ASSERT_TRUE(inside(h->h_addr_list) && inside(h->h_addr_list[0]));
    winsock::in_addr first;
    std::memcpy(&first, h->h_addr_list[0], sizeof first);
    EXPECT_STREQ(winsock::inet_ntoa(first), "127.0.0.1");
    EXPECT_TRUE(inside(h->h_name));
    // Completed: a cancel now is refused, and the one reply stays the only one.
    if (talven_test::ExpectDocumented(kWineCancel)) {
        EXPECT_EQ(WSACancelAsyncRequest(task), SOCKET_ERROR);
        EXPECT_EQ(WSAGetLastError(), WSAEALREADY);
    }
    PumpFor(50);
    EXPECT_EQ(RepliesFor(task).size(), 1u);
}

TEST_F(AsyncLookup, FailuresArriveInTheReplyAndLeaveTheBufferAlone) {
    // Too small for the result: WSAENOBUFS with the length needed, nothing written.
    std::vector<char> tiny(8, kSentinel);
    HANDLE small = WSAAsyncGetHostByName(wnd_.hwnd(), kLookupDone, "127.0.0.1", tiny.data(),
                                         static_cast<int>(tiny.size()));
    ASSERT_NE(small, nullptr);
    // A name that cannot resolve (an empty label).
    std::vector<char> buf(MAXGETHOSTSTRUCT, kSentinel);
    HANDLE bad = WSAAsyncGetHostByName(wnd_.hwnd(), kLookupDone, "no..such", buf.data(),
                                       static_cast<int>(buf.size()));
    ASSERT_NE(bad, nullptr);
    EXPECT_NE(small, bad);
    ASSERT_TRUE(WaitReply(small));
    ASSERT_TRUE(WaitReply(bad));
    const MSG smallReply = RepliesFor(small).front();
    EXPECT_EQ(WSAGETASYNCERROR(smallReply.lParam), WSAENOBUFS);
    EXPECT_GT(WSAGETASYNCBUFLEN(smallReply.lParam), tiny.size());
    EXPECT_TRUE(Untouched(tiny));
    const int badError = WSAGETASYNCERROR(RepliesFor(bad).front().lParam);
    EXPECT_TRUE(badError == WSAHOST_NOT_FOUND || badError == WSANO_DATA) << badError;
    EXPECT_TRUE(Untouched(buf));

#if !defined(_WIN32)
    // A buffer that cannot be written: WSAEFAULT in the reply, as the reference page lists it.
    HANDLE noBuffer = WSAAsyncGetHostByName(wnd_.hwnd(), kLookupDone, "127.0.0.1", nullptr, 0);
    ASSERT_NE(noBuffer, nullptr);
    ASSERT_TRUE(WaitReply(noBuffer));
    EXPECT_EQ(WSAGETASYNCERROR(RepliesFor(noBuffer).front().lParam), WSAEFAULT);
#endif
    // The handle 0 is never a request's.
    if (talven_test::ExpectDocumented(kWineCancel)) {
        EXPECT_EQ(WSACancelAsyncRequest(nullptr), SOCKET_ERROR);
        EXPECT_EQ(WSAGetLastError(), WSAEINVAL);
    }
}

// Each cancel either wins (0: no reply ever, the buffer never written) or loses to the
// completion (WSAEALREADY: exactly one reply).
TEST_F(AsyncLookup, CancelRacingCompletionGivesOneOutcome) {
    if (!talven_test::ExpectDocumented(kWineCancel)) {
        GTEST_SKIP() << kWineCancel;
    }
    constexpr int kRounds = 40;
    std::vector<std::vector<char>> bufs(kRounds, std::vector<char>(MAXGETHOSTSTRUCT, kSentinel));
    std::vector<HANDLE> tasks;
    std::vector<int> cancelled;
    for (int i = 0; i < kRounds; ++i) {
        HANDLE t = WSAAsyncGetHostByName(wnd_.hwnd(), kLookupDone, "127.0.0.1", bufs[i].data(),
                                         MAXGETHOSTSTRUCT);
        ASSERT_NE(t, nullptr);
        if (i % 2 == 1) PumpFor(1);  // let some complete first
        const int r = WSACancelAsyncRequest(t);
        if (r != 0) {
            EXPECT_EQ(WSAGetLastError(), WSAEALREADY);
        }
        tasks.push_back(t);
        cancelled.push_back(r == 0 ? 1 : 0);
    }
    int expected = 0;
    for (int c : cancelled) expected += 1 - c;
    PumpUntil([&] { return static_cast<int>(wnd_.with(kLookupDone).size()) >= expected; }, 10000);
    PumpFor(100);
    for (int i = 0; i < kRounds; ++i) {
        EXPECT_EQ(RepliesFor(tasks[i]).size(), cancelled[i] ? 0u : 1u) << i;
        if (cancelled[i]) {
            EXPECT_TRUE(Untouched(bufs[i])) << i;
            EXPECT_EQ(WSACancelAsyncRequest(tasks[i]), SOCKET_ERROR) << i;
        }
    }
}

// The emulation lets a test slow its resolver; Windows runs the lookup itself.
TEST_F(AsyncLookup, LoopKeepsDispatchingWhileALookupIsSlow) {
#if defined(_WIN32)
    GTEST_SKIP() << "the system's resolver cannot be slowed";
#else
    winsock::seam::SlowLookup("localhost", 2000);
    std::vector<char> buf(MAXGETHOSTSTRUCT, kSentinel);
    HANDLE slow = WSAAsyncGetHostByName(wnd_.hwnd(), kLookupDone, "localhost", buf.data(),
                                        MAXGETHOSTSTRUCT);
    ASSERT_NE(slow, nullptr);
    HANDLE cancelled = WSAAsyncGetHostByName(wnd_.hwnd(), kLookupDone, "localhost",
                                             buf.data(), MAXGETHOSTSTRUCT);
    ASSERT_NE(cancelled, nullptr);
    // Other messages are dispatched while the lookup waits.
    int ticks = 0;
    wnd_.onMessage = [&](const MSG& m) {
        if (m.message == kOther && ++ticks < 5) PostMessageA(wnd_.hwnd(), kOther, 0, 0);
    };
    PostMessageA(wnd_.hwnd(), kOther, 0, 0);
    ASSERT_TRUE(PumpUntil([&] { return ticks >= 5; }, 10000));
    EXPECT_TRUE(RepliesFor(slow).empty());
    // The second request waits behind the first; cancelling it takes it out of the line.
    EXPECT_EQ(WSACancelAsyncRequest(cancelled), 0);
    ASSERT_TRUE(WaitReply(slow));
    EXPECT_EQ(WSAGETASYNCERROR(RepliesFor(slow).front().lParam), 0);
    PumpFor(50);
    EXPECT_TRUE(RepliesFor(cancelled).empty());

    // A cancel ends the wait of the lookup under way: the next one is not held up for a minute.
    winsock::seam::SlowLookup("127.0.0.2", 60000);
    HANDLE again = WSAAsyncGetHostByName(wnd_.hwnd(), kLookupDone, "127.0.0.2", buf.data(),
                                         MAXGETHOSTSTRUCT);
    ASSERT_NE(again, nullptr);
    PumpFor(20);
    EXPECT_EQ(WSACancelAsyncRequest(again), 0);
    HANDLE quick = WSAAsyncGetHostByName(wnd_.hwnd(), kLookupDone, "127.0.0.1", buf.data(),
                                         MAXGETHOSTSTRUCT);
    ASSERT_TRUE(WaitReply(quick));
    EXPECT_TRUE(RepliesFor(again).empty());
#endif
}

}  // namespace
