// Timers: WM_TIMER for a window, thread timers with a procedure, killing, and the rule that a
// timer's message comes only when nothing else is queued.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "support/test_support.h"
#include "support/test_system.h"

using talven_test::PumpFor;
using talven_test::PumpUntil;
using talven_test::RecordingWindow;

namespace {

TEST(MessageTimer, WindowTimerRepeatsUntilKilled) {
    RecordingWindow w;
    ASSERT_NE(SetTimer(w.hwnd(), 17, 5, nullptr), 0u);
    ASSERT_TRUE(PumpUntil([&] { return w.with(WM_TIMER).size() >= 3; }));
    for (const MSG& m : w.with(WM_TIMER)) {
        EXPECT_EQ(m.wParam, 17u);
    }
    ASSERT_TRUE(KillTimer(w.hwnd(), 17));
    w.clear();
    PumpFor(30);
    EXPECT_TRUE(w.with(WM_TIMER).empty());
    EXPECT_FALSE(KillTimer(w.hwnd(), 17));
}

TEST(MessageTimer, TimerMessageWaitsBehindPostedMessages) {
    RecordingWindow w;
    ASSERT_NE(SetTimer(w.hwnd(), 1, 1, nullptr), 0u);
    Sleep(10);  // the timer is due now
    for (WPARAM i = 0; i < 3; ++i) {
        ASSERT_TRUE(PostMessageA(w.hwnd(), WM_USER, i, 0));
    }
    MSG msg;
    for (WPARAM i = 0; i < 3; ++i) {
        ASSERT_TRUE(PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE));
        EXPECT_EQ(msg.message, static_cast<UINT>(WM_USER));
        EXPECT_EQ(msg.wParam, i);
    }
    ASSERT_TRUE(PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE));
    EXPECT_EQ(msg.message, static_cast<UINT>(WM_TIMER));
    KillTimer(w.hwnd(), 1);
}

std::atomic<int> g_procCalls{0};
UINT_PTR g_procTimer = 0;
void CALLBACK CountingTimerProc(HWND hwnd, UINT msg, UINT_PTR id, DWORD) {
    if (hwnd == nullptr && msg == WM_TIMER && id == g_procTimer) {
        ++g_procCalls;
    }
}

TEST(MessageTimer, ThreadTimerRunsItsProcedureThroughDispatch) {
    g_procCalls = 0;
    g_procTimer = SetTimer(nullptr, 0, 2, &CountingTimerProc);
    ASSERT_NE(g_procTimer, 0u);
    EXPECT_TRUE(PumpUntil([] { return g_procCalls.load() >= 2; }));
    EXPECT_TRUE(KillTimer(nullptr, g_procTimer));
}

TEST(MessageTimer, ATimerEndsAWaitAndDiesWithItsWindow) {
    HWND hwnd;
    {
        RecordingWindow w;
        hwnd = w.hwnd();
        ASSERT_NE(SetTimer(hwnd, 3, 5, nullptr), 0u);
        EXPECT_EQ(MsgWaitForMultipleObjects(0, nullptr, FALSE, INFINITE, QS_ALLINPUT),
                  WAIT_OBJECT_0);
    }
    EXPECT_FALSE(KillTimer(hwnd, 3));  // gone with the window
    MSG msg;
    PumpFor(20);
    EXPECT_FALSE(PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE));
}

// The window of a timer must belong to the calling thread (SetTimer's reference page).
TEST(MessageTimer, AnotherThreadsWindowCannotGetATimer) {
    RecordingWindow w;
    UINT_PTR result = 1;
    std::thread other([&] { result = SetTimer(w.hwnd(), 1, 10, nullptr); });
    other.join();
    if (talven_test::ExpectDocumented("SetTimer gives another thread's window a timer under Wine "
                                      "8.0; SetTimer's reference page requires the window to "
                                      "belong to the calling thread")) {
        EXPECT_EQ(result, 0u);
    } else {
        KillTimer(w.hwnd(), 1);
    }
}

}  // namespace
