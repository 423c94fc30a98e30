// How a selection ends: cancel, closesocket (with reuse of the descriptor number), a window
// destroyed under its sockets, and closes racing the watching thread.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "platform/winsock/async_select.h"
#include "platform/winsock/winsock.h"
#include "support/test_support.h"
#include "tests/platform/winsock_test_helpers.h"

using talven_test::PumpFor;
using talven_test::PumpUntil;
using talven_test::RecordingWindow;
using winsock_test::Count;
using winsock_test::Events;
using winsock_test::kNotify;
using winsock_test::Pair;
using winsock_test::SendAll;

namespace selection = talven::platform::sockets::selection;

namespace {

class AsyncSelectLifetime : public ::testing::Test {
protected:
    talven_test::WinSockSession session_;
    RecordingWindow window_;
    void SetUp() override { ASSERT_TRUE(session_.ok()); }

    // Waits until a notification for s sits in the queue, without dispatching it.
    bool WaitQueued(SOCKET s) {
        return PumpUntilQueued([&](const MSG& m) { return m.wParam == s; });
    }
    template <typename Match>
    bool PumpUntilQueued(Match match) {
        for (int i = 0; i < 500; ++i) {
            MSG m;
            if (PeekMessageA(&m, window_.hwnd(), kNotify, kNotify, PM_NOREMOVE) && match(m)) {
                return true;
            }
            MsgWaitForMultipleObjects(0, nullptr, FALSE, 10, QS_ALLINPUT);
        }
        return false;
    }
};

TEST_F(AsyncSelectLifetime, CancelStopsEventsAndDropsThoseQueued) {
    Pair p;
    ASSERT_TRUE(p.ok());
    ASSERT_EQ(WSAAsyncSelect(p.near, window_.hwnd(), kNotify, FD_READ | FD_WRITE | FD_CLOSE), 0);
    ASSERT_TRUE(WaitQueued(p.near));  // FD_WRITE of the connected socket
    ASSERT_EQ(WSAAsyncSelect(p.near, window_.hwnd(), 0, 0), 0);
    ASSERT_TRUE(SendAll(p.far, "data"));
    winsock::closesocket(p.far);
    p.far = INVALID_SOCKET;
    PumpFor(150);
    EXPECT_TRUE(Events(window_, p.near).empty());
    // The socket stays non-blocking after the cancel, and may be made blocking now.
    char buf[8];
    EXPECT_EQ(winsock::recv(p.near, buf, sizeof buf, 0), 4);
    winsock::u_long blocking = 0;
    EXPECT_EQ(winsock::ioctlsocket(p.near, FIONBIO, &blocking), 0);
}

TEST_F(AsyncSelectLifetime, NewSelectionReplacesTheOldOne) {
    Pair p;
    ASSERT_TRUE(p.ok());
    const UINT kOther = kNotify + 1;
    ASSERT_EQ(WSAAsyncSelect(p.near, window_.hwnd(), kNotify, FD_CLOSE), 0);
    ASSERT_EQ(WSAAsyncSelect(p.near, window_.hwnd(), kOther, FD_READ), 0);
    ASSERT_TRUE(SendAll(p.far, "x"));
    winsock::closesocket(p.far);
    p.far = INVALID_SOCKET;
    ASSERT_TRUE(PumpUntil([&] { return !window_.with(kOther).empty(); }));
    PumpFor(100);
    EXPECT_TRUE(window_.with(kNotify).empty());  // the old selection (FD_CLOSE) is gone
    ASSERT_EQ(window_.with(kOther).size(), 1u);
    EXPECT_EQ(WSAGETSELECTEVENT(window_.with(kOther)[0].lParam), FD_READ);
}

TEST_F(AsyncSelectLifetime, ClosesocketRemovesQueuedEventsAndAReusedNumberGetsNoneOfThem) {
    Pair p;
    ASSERT_TRUE(p.ok());
    const SOCKET old = p.near;
    ASSERT_EQ(WSAAsyncSelect(old, window_.hwnd(), kNotify, FD_READ | FD_CLOSE), 0);
    ASSERT_TRUE(SendAll(p.far, "stale"));
    ASSERT_TRUE(PumpUntilQueued([&](const MSG& m) {
        return m.wParam == old && WSAGETSELECTEVENT(m.lParam) == FD_READ;
    }));
    ASSERT_EQ(winsock::closesocket(old), 0);
    p.near = INVALID_SOCKET;

    // POSIX hands out the lowest free number: within a few sockets one gets the old number.
    std::vector<SOCKET> fillers;
    SOCKET fresh = INVALID_SOCKET;
    for (int i = 0; i < 8 && fresh == INVALID_SOCKET; ++i) {
        const SOCKET s = winsock::socket(AF_INET, SOCK_STREAM, 0);
        ASSERT_NE(s, INVALID_SOCKET);
        (s == old ? fresh : fillers.emplace_back(s)) = s;
    }
    for (SOCKET s : fillers) winsock::closesocket(s);
    ASSERT_EQ(fresh, old);
    ASSERT_EQ(WSAAsyncSelect(fresh, window_.hwnd(), kNotify, FD_READ | FD_WRITE | FD_CLOSE), 0);
    PumpFor(150);
    EXPECT_TRUE(Events(window_, fresh).empty());  // neither the stale FD_WRITE nor FD_READ
    winsock::closesocket(fresh);
}

TEST_F(AsyncSelectLifetime, DestroyedWindowGetsNothingAndItsSocketsAreNoLongerWatched) {
    Pair p;
    ASSERT_TRUE(p.ok());
    RecordingWindow bystander;  // another window of the same thread
    {
        RecordingWindow doomed;
        ASSERT_EQ(WSAAsyncSelect(p.near, doomed.hwnd(), kNotify, FD_READ | FD_CLOSE), 0);
        EXPECT_TRUE(selection::IsSelected(static_cast<int>(p.near)));
    }
    ASSERT_TRUE(SendAll(p.far, "nobody listens"));
    winsock::closesocket(p.far);
    p.far = INVALID_SOCKET;
    // The first readiness finds no window: the socket is disarmed rather than reported again
    // and again by the wait.
    for (int i = 0; i < 500 && selection::IsSelected(static_cast<int>(p.near)); ++i) {
        PumpFor(10);
    }
    ASSERT_FALSE(selection::IsSelected(static_cast<int>(p.near)));
    PumpFor(50);
    EXPECT_TRUE(bystander.messages().empty());
    // Selecting to a window that no longer exists fails.
    HWND gone;
    {
        RecordingWindow temp;
        gone = temp.hwnd();
    }
    EXPECT_EQ(WSAAsyncSelect(p.near, gone, kNotify, FD_READ), SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSAEINVAL);
    // Closing it afterwards is harmless.
    EXPECT_EQ(winsock::closesocket(p.near), 0);
    p.near = INVALID_SOCKET;
}

// A worker thread selects, feeds and closes sockets while this thread watches them and handles
// their events: no notification may be retrieved for a socket already closed, and the run must
// be clean under the thread sanitizer. (A notification retrieved before the close may still be
// dispatched after it; that is the application's race, so retrieval and close are serialised.)
TEST_F(AsyncSelectLifetime, ClosesRacingTheWatchingThreadNeverLeakStaleEvents) {
    std::mutex lock;        // held by the worker around close, by this thread around retrieval
    std::set<SOCKET> open;  // sockets selected and not yet closed
    std::atomic<bool> done{false};
    int stale = 0;
    int handled = 0;
    // Every tenth socket stays open until one of its events has been handled, so that the run
    // handles events whatever the threads' speeds; the others race their events.
    std::atomic<SOCKET> awaited{INVALID_SOCKET};
    window_.onMessage = [&](const MSG& m) {
        if (m.message != kNotify) return;
        ++handled;
        if (m.wParam == awaited.load()) {
            awaited = INVALID_SOCKET;
        }
        if (open.count(m.wParam) == 0) {
            ++stale;
            return;
        }
        if (WSAGETSELECTEVENT(m.lParam) == FD_READ) {
            char buf[64];
            winsock::recv(m.wParam, buf, sizeof buf, 0);
        }
    };
    const HWND hwnd = window_.hwnd();
    std::thread worker([&] {
        for (int i = 0; i < 200; ++i) {
            Pair p;
            if (!p.ok()) break;
            {
                std::lock_guard<std::mutex> hold(lock);
                open.insert(p.near);
            }
            if (i % 10 == 0) {
                awaited = p.near;  // before its first event can be posted
            }
            WSAAsyncSelect(p.near, hwnd, kNotify, FD_READ | FD_WRITE | FD_CLOSE);
            SendAll(p.far, "ping");
            if (i % 2 == 0) {
                winsock::shutdown(p.far, SD_SEND);
            }
            if (i % 10 == 0) {
                for (int wait = 0; wait < 10000 && awaited.load() != INVALID_SOCKET; ++wait) {
                    std::this_thread::sleep_for(std::chrono::microseconds(500));
                }
            }
            std::this_thread::yield();
            std::lock_guard<std::mutex> hold(lock);
            winsock::closesocket(p.near);
            open.erase(p.near);
            p.near = INVALID_SOCKET;
        }
        done = true;
    });
    for (int i = 0; i < 60000 && !done; ++i) {
        // Readiness becomes queued notifications here; the worker may close meanwhile.
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 1, QS_ALLINPUT);
        std::this_thread::sleep_for(std::chrono::microseconds(200));
        std::lock_guard<std::mutex> hold(lock);
        MSG m;
        while (PeekMessageA(&m, nullptr, 0, 0, PM_REMOVE)) {
            DispatchMessageA(&m);
        }
    }
    worker.join();
    EXPECT_EQ(stale, 0);
    EXPECT_GT(handled, 0);
}

}  // namespace
