// The emulation's removal of notifications still queued when a selection ends. Windows leaves
// them in the queue (WSAAsyncSelect's reference page: an application must be prepared for
// events after a cancel); the emulation removes them, because POSIX gives a closed socket's
// number to the next socket at once, which would otherwise receive its predecessor's events.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "tests/platform/async_select_fixture.h"

using talven_test::PumpFor;
using winsock_test::Events;
using winsock_test::kNotify;
using winsock_test::Pair;
using winsock_test::SendAll;

namespace {

TEST_F(AsyncSelectLifetime, CancelDropsTheEventsQueued) {
    Pair p;
    ASSERT_TRUE(p.ok());
    ASSERT_EQ(WSAAsyncSelect(p.near, window_.hwnd(), kNotify, FD_READ | FD_WRITE | FD_CLOSE), 0);
    ASSERT_TRUE(WaitQueued(p.near));  // FD_WRITE of the connected socket
    ASSERT_EQ(WSAAsyncSelect(p.near, window_.hwnd(), 0, 0), 0);
    PumpFor(50);
    EXPECT_TRUE(Events(window_, p.near).empty());
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

namespace {

// The emulation's own posts pass a full queue: a readiness event the socket's thread detects,
// an event posted from another thread (FD_CONNECT, by a connect made elsewhere) and a lookup's
// reply all arrive although applications' posts are refused, so none of them is lost while the
// application's queue is full (the edge-triggered wait would not report the socket again).
TEST_F(AsyncSelectLifetime, SystemEventsStillArriveAtAQueueThatRefusesPosts) {
    for (int i = 0; i < 20000 && PostMessageA(window_.hwnd(), WM_USER, 0, 0); ++i) {
    }
    ASSERT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_ENOUGH_QUOTA));

    Pair p;
    ASSERT_TRUE(p.ok());
    ASSERT_EQ(WSAAsyncSelect(p.near, window_.hwnd(), kNotify, FD_READ), 0);
    ASSERT_TRUE(SendAll(p.far, "x"));
    EXPECT_TRUE(PumpUntilQueued([&](const MSG& m) {
        return m.wParam == p.near && WSAGETSELECTEVENT(m.lParam) == FD_READ;
    }));
    MSG taken;
    ASSERT_TRUE(PeekMessageA(&taken, window_.hwnd(), kNotify, kNotify, PM_REMOVE));  // that FD_READ

    SOCKET listener = winsock::socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_EQ(winsock_test::BindLoopback(listener, 0), 0);
    ASSERT_EQ(winsock::listen(listener, 1), 0);
    SOCKET client = winsock::socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_EQ(WSAAsyncSelect(client, window_.hwnd(), kNotify, FD_CONNECT), 0);
    const winsock::sockaddr_in to = winsock_test::Loopback(winsock_test::LocalPort(listener));
    std::thread([&] {
        winsock::connect(client, reinterpret_cast<const winsock::sockaddr*>(&to), sizeof to);
    }).join();
    EXPECT_TRUE(PumpUntilQueued([&](const MSG& m) {
        return m.wParam == client && WSAGETSELECTEVENT(m.lParam) == FD_CONNECT;
    }));

    std::vector<char> buf(MAXGETHOSTSTRUCT);
    HANDLE task = WSAAsyncGetHostByName(window_.hwnd(), kNotify + 1, "127.0.0.1", buf.data(),
                                        static_cast<int>(buf.size()));
    ASSERT_NE(task, nullptr);
    bool replied = false;
    for (int i = 0; i < 500 && !replied; ++i) {
        MSG m;
        replied = PeekMessageA(&m, window_.hwnd(), kNotify + 1, kNotify + 1, PM_NOREMOVE) != FALSE;
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 10, QS_ALLINPUT);
    }
    EXPECT_TRUE(replied);
    winsock::closesocket(client);
    winsock::closesocket(listener);
    MSG m;
    while (PeekMessageA(&m, nullptr, 0, 0, PM_REMOVE)) {
    }
}

}  // namespace
