// How the notification window routes WM_SOCKET_NOTIFY to registered socket objects, and how
// its registrations are made and removed. Handles here are made up; no socket is touched.
#include <gtest/gtest.h>

#include <memory>

#include "socket/socket_test_helpers.h"
#include "support/test_support.h"

namespace talven_test {
namespace {

constexpr SOCKET kHandle = 0x4D2;

class NotifyDispatch : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(wnd_.Create(nullptr)); }

    HWND hwnd() const { return wnd_.GetSafeHwnd(); }
    LRESULT Notify(WPARAM handle, LPARAM lParam) {
        return SendMessageA(hwnd(), WM_SOCKET_NOTIFY, handle, lParam);
    }
    LRESULT Event(SOCKET handle, WORD event, WORD error = 0) {
        return Notify(handle, WSAMAKESELECTREPLY(event, error));
    }
    LRESULT Add(CQmAsyncSocket* s) { return SendMessageA(hwnd(), WM_SOCKET_ADD_MAP, 0, AsLParam(s)); }
    LRESULT Remove(CQmAsyncSocket* s) {
        return SendMessageA(hwnd(), WM_SOCKET_REMOVE_MAP, 0, AsLParam(s));
    }

    CQmSocketNotifyWnd wnd_;
};

TEST_F(NotifyDispatch, EachSingleEventBitCallsItsHandlerWithTheUnsignedErrorWord) {
    const struct {
        WORD event;
        WORD errorWord;
        int expectedError;
    } cases[] = {
        {FD_READ, 0, 0},
        {FD_WRITE, 0, 0},
        {FD_OOB, 0, 0},
        {FD_ACCEPT, 0, 0},
        {FD_CONNECT, WSAECONNREFUSED, WSAECONNREFUSED},
        {FD_CLOSE, WSAECONNRESET, WSAECONNRESET},
        {FD_CLOSE, 0xFFFF, 65535},
    };
    for (const auto& c : cases) {
        FakeHandleSocket s(kHandle, hwnd());
        ASSERT_EQ(1, Add(&s));
        EXPECT_EQ(0, Event(kHandle, c.event, c.errorWord));
        ASSERT_EQ(1u, s.calls.size()) << "event " << c.event;
        EXPECT_EQ((HandlerCall{c.event, c.expectedError}), s.calls[0]);
        EXPECT_NE(0, Remove(&s));
    }
}

TEST_F(NotifyDispatch, EventWordsOtherThanOneKnownBitCallNothing) {
    FakeHandleSocket s(kHandle, hwnd());
    ASSERT_EQ(1, Add(&s));
    for (WORD event : {0x00, 0x03, 0x21, 0x30, 0x40, 0x80, 0xFFFF}) {
        EXPECT_EQ(0, Event(kHandle, event)) << event;
    }
    EXPECT_TRUE(s.calls.empty());
}

TEST_F(NotifyDispatch, ZeroWParamAndLParamIsDroppedButHandleZeroIsLookedUp) {
    FakeHandleSocket zero(0, hwnd());
    ASSERT_EQ(1, Add(&zero));
    EXPECT_EQ(0, Notify(0, 0));
    EXPECT_TRUE(zero.calls.empty());
    EXPECT_EQ(0, Event(0, FD_READ));
    EXPECT_EQ(std::vector<HandlerCall>{(HandlerCall{FD_READ, 0})}, zero.calls);
}

TEST_F(NotifyDispatch, UnregisteredAndRemovedHandlesCallNothing) {
    FakeHandleSocket s(kHandle, hwnd());
    EXPECT_EQ(0, Event(kHandle, FD_READ));
    ASSERT_EQ(1, Add(&s));
    ASSERT_NE(0, Remove(&s));
    EXPECT_EQ(0, Remove(&s));  // already gone
    EXPECT_EQ(0, Event(kHandle, FD_READ));
    EXPECT_TRUE(s.calls.empty());
}

TEST_F(NotifyDispatch, DispatchNeedsTheSocketsNotifyWindowToBeSomeLiveWindow) {
    HWND dead;
    {
        RecordingWindow gone;
        dead = gone.hwnd();
    }
    RecordingWindow other;
    const struct {
        HWND notifyWnd;
        bool dispatched;
    } cases[] = {{nullptr, false}, {dead, false}, {other.hwnd(), true}, {hwnd(), true}};
    for (const auto& c : cases) {
        FakeHandleSocket s(kHandle, c.notifyWnd);
        ASSERT_EQ(1, Add(&s));
        Event(kHandle, FD_CLOSE);
        EXPECT_EQ(c.dispatched ? 1u : 0u, s.calls.size());
        EXPECT_NE(0, Remove(&s));  // the entry stayed even when nothing was dispatched
    }
}

TEST_F(NotifyDispatch, RegistrationRefusesNullObjectsAndObjectsWithoutHandle) {
    RecordingSocket noHandle;
    EXPECT_EQ(0, Add(nullptr));
    EXPECT_EQ(0, Add(&noHandle));
    EXPECT_EQ(0, Remove(nullptr));
    EXPECT_EQ(0, Remove(&noHandle));
    // INVALID_SOCKET was not entered as a key either.
    EXPECT_EQ(0, Event(INVALID_SOCKET, FD_READ));
    EXPECT_TRUE(noHandle.calls.empty());
}

TEST_F(NotifyDispatch, SecondObjectUnderTheSameHandleReplacesTheFirst) {
    FakeHandleSocket first(kHandle, hwnd());
    FakeHandleSocket second(kHandle, hwnd());
    EXPECT_EQ(1, Add(&first));
    EXPECT_EQ(1, Add(&second));
    Event(kHandle, FD_READ);
    EXPECT_TRUE(first.calls.empty());
    EXPECT_EQ(1u, second.calls.size());
}

TEST_F(NotifyDispatch, RemovalGoesByHandleWhicheverObjectIsRegistered) {
    FakeHandleSocket registered(kHandle, hwnd());
    FakeHandleSocket other(kHandle, hwnd());
    ASSERT_EQ(1, Add(&registered));
    EXPECT_NE(0, Remove(&other));
    Event(kHandle, FD_READ);
    EXPECT_TRUE(registered.calls.empty());
}

TEST_F(NotifyDispatch, RemovingAnAlreadyClosedObjectIsRefusedAndItsEntryStays) {
    FakeHandleSocket s(kHandle, hwnd());
    ASSERT_EQ(1, Add(&s));
    s.m_hSocket = INVALID_SOCKET;  // what Close leaves
    EXPECT_EQ(0, Remove(&s));
    Event(kHandle, FD_READ);
    EXPECT_EQ(1u, s.calls.size());
}

TEST_F(NotifyDispatch, HandlerMayUnregisterAndDeleteItsOwnSocket) {
    auto owned = std::make_unique<FakeHandleSocket>(kHandle, hwnd());
    FakeHandleSocket* s = owned.get();
    bool deleted = false;
    s->onCall = [&](RecordingSocket& self, const HandlerCall&) {
        EXPECT_NE(0, SendMessageA(hwnd(), WM_SOCKET_REMOVE_MAP, 0, AsLParam(&self)));
        deleted = true;
        owned.reset();  // destroys `self` and this hook; the window must not touch either again
    };
    ASSERT_EQ(1, Add(s));
    PostMessageA(hwnd(), WM_SOCKET_NOTIFY, kHandle, WSAMAKESELECTREPLY(FD_CLOSE, 0));
    PostMessageA(hwnd(), WM_SOCKET_NOTIFY, kHandle, WSAMAKESELECTREPLY(FD_READ, 0));
    ASSERT_TRUE(PumpUntil([&] { return deleted; }));
    PumpFor(50);  // the second event finds no entry
}

}  // namespace
}  // namespace talven_test
