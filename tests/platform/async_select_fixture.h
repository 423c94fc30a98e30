// The fixture of the tests of how a selection ends: WinSock started, a recording window, and a
// wait for notifications that sit in the queue without dispatching them.
#pragma once

#include <gtest/gtest.h>

#include "support/test_support.h"
#include "tests/platform/winsock_test_helpers.h"

class AsyncSelectLifetime : public ::testing::Test {
protected:
    talven_test::WinSockSession session_;
    talven_test::RecordingWindow window_;
    void SetUp() override { ASSERT_TRUE(session_.ok()); }

    // Waits until a notification for s sits in the queue, without dispatching it.
    bool WaitQueued(SOCKET s) {
        return PumpUntilQueued([&](const MSG& m) { return m.wParam == s; });
    }
    template <typename Match>
    bool PumpUntilQueued(Match match) {
        for (int i = 0; i < 500; ++i) {
            MSG m;
            if (PeekMessageA(&m, window_.hwnd(), winsock_test::kNotify, winsock_test::kNotify, PM_NOREMOVE) && match(m)) {
                return true;
            }
            MsgWaitForMultipleObjects(0, nullptr, FALSE, 10, QS_ALLINPUT);
        }
        return false;
    }
};
