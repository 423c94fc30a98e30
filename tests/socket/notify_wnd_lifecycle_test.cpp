// The notification window's creation, its ownership, and its destruction with sockets
// still registered.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>

#include "socket/socket_test_helpers.h"
#include "support/test_support.h"

namespace talven_test {
namespace {

TEST(NotifyWndLifecycle, CreateGivesAHiddenWindowNamedAndOwnedAsAsked) {
    RecordingWindow owner;
    for (HWND parent : {static_cast<HWND>(nullptr), owner.hwnd()}) {
        CQmSocketNotifyWnd wnd;
        ASSERT_EQ(TRUE, wnd.Create(parent));
        ASSERT_TRUE(IsWindow(wnd.GetSafeHwnd()));
        char name[64] = {};
        GetWindowTextA(wnd.GetSafeHwnd(), name, sizeof name);
        EXPECT_STREQ("Socket Notification Sink", name);
        EXPECT_EQ(parent, GetWindow(wnd.GetSafeHwnd(), GW_OWNER));
    }
}

TEST(NotifyWndLifecycle, CreateOwnedByADestroyedWindowThrowsResourceException) {
    HWND dead;
    {
        RecordingWindow gone;
        dead = gone.hwnd();
    }
    CQmSocketNotifyWnd wnd;
    bool thrown = false;
    try {
        wnd.Create(dead);
    } catch (CResourceException* e) {
        thrown = true;
        e->Delete();
    }
    EXPECT_TRUE(thrown);
    EXPECT_FALSE(IsWindow(wnd.GetSafeHwnd()));
}

TEST(NotifyWndLifecycle, ObjectOutlivesAWindowDestroyedWithItsOwner) {
    auto owner = std::make_unique<RecordingWindow>();
    CQmSocketNotifyWnd wnd;
    ASSERT_TRUE(wnd.Create(owner->hwnd()));
    const HWND hwnd = wnd.GetSafeHwnd();
    owner.reset();  // destroys the owned notification window first
    EXPECT_FALSE(IsWindow(hwnd));
    EXPECT_EQ(nullptr, wnd.GetSafeHwnd());
    // Deleting the object afterwards (end of scope) must be clean.
}

TEST(NotifyWndLifecycle, DeletingTheWindowLeavesRegisteredSocketsUntouched) {
    WinSockSession session;
    ASSERT_TRUE(session.ok());
    auto wnd = std::make_unique<CQmSocketNotifyWnd>();
    ASSERT_TRUE(wnd->Create(nullptr));
    const HWND hwnd = wnd->GetSafeHwnd();

    RecordingSocket live;
    ASSERT_EQ(1, live.Create(hwnd, 0, SOCK_STREAM, FD_READ | FD_CLOSE, "127.0.0.1"));
    FakeHandleSocket fake(0x4D2, hwnd);
    ASSERT_EQ(1, SendMessageA(hwnd, WM_SOCKET_ADD_MAP, 0, AsLParam(&live)));
    ASSERT_EQ(1, SendMessageA(hwnd, WM_SOCKET_ADD_MAP, 0, AsLParam(&fake)));
    const SOCKET handle = live.m_hSocket;

    wnd.reset();

    EXPECT_FALSE(IsWindow(hwnd));
    EXPECT_EQ(handle, live.m_hSocket);
    EXPECT_EQ(hwnd, live.m_hNotifyWnd);
    EXPECT_TRUE(live.calls.empty());
    CString address;
    UINT port = 0;
    EXPECT_EQ(1, live.GetSockName(address, port));  // the socket is still open
    EXPECT_EQ(CString("127.0.0.1"), address);
}

}  // namespace
}  // namespace talven_test
