// Socket readiness through the thread's one wait: every way of retrieving or waiting notices
// it, and a flood of posted messages does not keep it out.
#include <gtest/gtest.h>

#include "support/test_support.h"
#include "winsock_test_helpers.h"

using talven_test::RecordingWindow;
using winsock_test::kNotify;

namespace {

class MessageSocketWait : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(session_.ok());
        ASSERT_TRUE(pair_.ok());
        ASSERT_EQ(WSAAsyncSelect(pair_.near, window_.hwnd(), kNotify, FD_READ), 0);
        ASSERT_EQ(winsock::send(pair_.far, "x", 1, 0), 1);
    }
    int Reads() const { return winsock_test::Count(window_, pair_.near, FD_READ); }

    talven_test::WinSockSession session_;
    RecordingWindow window_;
    winsock_test::Pair pair_;
};

TEST_F(MessageSocketWait, PeekAloneNoticesReadiness) {
    MSG msg;
    // No blocking call at all: each empty PeekMessageA must poll the descriptors itself.
    for (int i = 0; i < 5000 && Reads() == 0; ++i) {
        while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
            DispatchMessageA(&msg);
        }
        if (Reads() == 0) {
            Sleep(1);
        }
    }
    EXPECT_EQ(Reads(), 1);
}

TEST_F(MessageSocketWait, GetMessageWakesForReadiness) {
    // A timer bounds the test if readiness were never noticed.
    ASSERT_NE(SetTimer(window_.hwnd(), 1, 5000, nullptr), 0u);
    MSG msg;
    ASSERT_GT(GetMessageA(&msg, nullptr, 0, 0), 0);
    EXPECT_EQ(msg.message, kNotify);
    KillTimer(window_.hwnd(), 1);
}

TEST_F(MessageSocketWait, WaitWithATimeoutEndsForReadiness) {
    DWORD result = WAIT_TIMEOUT;
    for (int i = 0; i < 50 && result != WAIT_OBJECT_0; ++i) {
        result = MsgWaitForMultipleObjects(0, nullptr, FALSE, 100, QS_ALLINPUT);
    }
    EXPECT_EQ(result, WAIT_OBJECT_0);
    MSG msg;
    ASSERT_TRUE(PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE));
    EXPECT_EQ(msg.message, kNotify);
}

TEST_F(MessageSocketWait, AStreamOfPostedMessagesDoesNotStarveTheSocket) {
    // Every handled message posts the next one, so the queue is never empty.
    int reads = 0;
    window_.onMessage = [&](const MSG& m) {
        if (m.message == WM_USER) {
            PostMessageA(window_.hwnd(), WM_USER, 0, 0);
        } else if (m.message == kNotify && WSAGETSELECTEVENT(m.lParam) == FD_READ) {
            ++reads;
        }
        window_.clear();
    };
    ASSERT_TRUE(PostMessageA(window_.hwnd(), WM_USER, 0, 0));
    MSG msg;
    for (int i = 0; i < 20000 && reads == 0; ++i) {
        ASSERT_GT(GetMessageA(&msg, nullptr, 0, 0), 0);
        DispatchMessageA(&msg);
    }
    window_.onMessage = nullptr;
    EXPECT_EQ(reads, 1);
}

}  // namespace
