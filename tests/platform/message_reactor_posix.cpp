// The internal hooks that event selection builds on: posting to oneself from the I/O
// callback, purging notifications, and finding a window's thread.
#include <gtest/gtest.h>

#include <thread>

#include "platform/user32/reactor.h"
#include "support/test_support.h"

namespace reactor = talven::platform::reactor;
using talven_test::RecordingWindow;

namespace {

TEST(MessageReactor, WindowThreadNamesTheCreatorOrNone) {
    RecordingWindow w;
    EXPECT_EQ(reactor::WindowThread(w.hwnd()), GetCurrentThreadId());
    DWORD seen = 0;
    std::thread other([&] { seen = reactor::WindowThread(w.hwnd()); });
    other.join();
    EXPECT_EQ(seen, GetCurrentThreadId());
    EXPECT_EQ(reactor::WindowThread(nullptr), 0u);
}

TEST(MessageReactor, PostToSelfKeepsPostingOrder) {
    RecordingWindow w;
    ASSERT_TRUE(PostMessageA(w.hwnd(), WM_USER, 1, 0));
    ASSERT_TRUE(reactor::PostToSelf(w.hwnd(), WM_USER, 2, 0));
    ASSERT_TRUE(PostMessageA(w.hwnd(), WM_USER, 3, 0));
    ASSERT_TRUE(talven_test::PumpUntil([&] { return w.messages().size() == 3; }));
    for (WPARAM i = 0; i < 3; ++i) {
        EXPECT_EQ(w.messages()[i].wParam, i + 1);
    }
    HWND gone;
    {
        RecordingWindow temp;
        gone = temp.hwnd();
    }
    EXPECT_FALSE(reactor::PostToSelf(gone, WM_USER, 0, 0));
}

TEST(MessageReactor, PurgeRemovesOnlyTheMatchingNotifications) {
    RecordingWindow w;
    const UINT kNotify = WM_USER + 0x1B;
    ASSERT_TRUE(PostMessageA(w.hwnd(), kNotify, 5, 1));   // socket 5
    ASSERT_TRUE(PostMessageA(w.hwnd(), kNotify, 6, 1));   // socket 6
    ASSERT_TRUE(PostMessageA(w.hwnd(), WM_USER, 5, 0));   // another message
    ASSERT_TRUE(PostMessageA(w.hwnd(), kNotify, 5, 2));
    // From another thread, as closesocket may be called anywhere.
    std::thread other([&] { reactor::PurgePosted(w.hwnd(), kNotify, 5); });
    other.join();
    talven_test::PumpFor(20);
    ASSERT_EQ(w.messages().size(), 2u);
    EXPECT_EQ(w.messages()[0].message, kNotify);
    EXPECT_EQ(w.messages()[0].wParam, 6u);
    EXPECT_EQ(w.messages()[1].message, static_cast<UINT>(WM_USER));
}

}  // namespace
