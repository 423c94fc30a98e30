// CWnd: message maps through base maps, attachment from the first message, the end of a
// window's life (PostNcDestroy, the destructor) and handlers that delete their own object.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <thread>
#include <vector>

#include "support/test_support.h"

namespace {

constexpr UINT kBaseOnly = WM_USER + 1;
constexpr UINT kOverridden = WM_USER + 2;
constexpr UINT kDerivedOnly = WM_USER + 3;
constexpr UINT kUnmapped = WM_USER + 4;
constexpr UINT kDeleteSelf = WM_USER + 5;
constexpr UINT kDestroySelf = WM_USER + 6;

class BaseWnd : public CWnd {
public:
    std::vector<UINT> events;   // messages seen by handlers, and 0 for PostNcDestroy
    HWND hwndAtNcCreate = nullptr;
    CWnd* permanentAtNcCreate = nullptr;
    HWND hwndAtPostNcDestroy = reinterpret_cast<HWND>(1);

    BOOL Create() {
        return CreateEx(0, AfxRegisterWndClass(0), "test", WS_POPUP, 0, 0, 0, 0, nullptr, nullptr);
    }

protected:
    LRESULT OnNcCreate(WPARAM, LPARAM) {
        hwndAtNcCreate = m_hWnd;
        permanentAtNcCreate = FromHandlePermanent(m_hWnd);
        return TRUE;
    }
    LRESULT OnBaseOnly(WPARAM w, LPARAM) { return static_cast<LRESULT>(100 + w); }
    LRESULT OnOverriddenInBase(WPARAM, LPARAM) { return -1; }
    LRESULT OnDestroy(WPARAM, LPARAM) {
        events.push_back(WM_DESTROY);
        return 0;
    }
    LRESULT OnNcDestroy(WPARAM, LPARAM) {
        events.push_back(WM_NCDESTROY);
        return 0;
    }
    void PostNcDestroy() override {
        hwndAtPostNcDestroy = m_hWnd;
        events.push_back(0);
    }
    DECLARE_MESSAGE_MAP()
};

BEGIN_MESSAGE_MAP(BaseWnd, CWnd)
ON_MESSAGE(WM_NCCREATE, OnNcCreate)
ON_MESSAGE(kBaseOnly, OnBaseOnly)
ON_MESSAGE(kOverridden, OnOverriddenInBase)
ON_MESSAGE(WM_DESTROY, OnDestroy)
ON_MESSAGE(WM_NCDESTROY, OnNcDestroy)
END_MESSAGE_MAP()

class DerivedWnd : public BaseWnd {
public:
    std::unique_ptr<DerivedWnd>* owner = nullptr;   // for handlers that delete this object

protected:
    LRESULT OnOverridden(WPARAM, LPARAM) { return 2; }
    LRESULT OnDerivedOnly(WPARAM, LPARAM) { return 3; }
    LRESULT OnDeleteSelf(WPARAM, LPARAM) {
        owner->reset();   // deletes this object while its handler runs
        return 5;
    }
    LRESULT OnDestroySelf(WPARAM, LPARAM) {
        DestroyWindow();
        return 6;
    }
    DECLARE_MESSAGE_MAP()
};

BEGIN_MESSAGE_MAP(DerivedWnd, BaseWnd)
ON_MESSAGE(kOverridden, OnOverridden)
ON_MESSAGE(kDerivedOnly, OnDerivedOnly)
ON_MESSAGE(kDeleteSelf, OnDeleteSelf)
ON_MESSAGE(kDestroySelf, OnDestroySelf)
END_MESSAGE_MAP()

// Deletes itself once its window is gone, the usual MFC idiom.
class SelfDeletingWnd : public DerivedWnd {
protected:
    void PostNcDestroy() override {
        BaseWnd::PostNcDestroy();
        owner->reset();
    }
};

TEST(CWnd, MessagesRouteThroughTheMapAndItsBases) {
    DerivedWnd wnd;
    ASSERT_TRUE(wnd.Create());
    struct Case {
        UINT message;
        WPARAM wParam;
        LRESULT expected;
    };
    const Case cases[] = {
        {kDerivedOnly, 0, 3},   // own map
        {kOverridden, 0, 2},    // own map wins over the base's entry
        {kBaseOnly, 5, 105},    // found in the base map
        {kUnmapped, 0, 0},      // DefWindowProc
    };
    for (const Case& c : cases) {
        EXPECT_EQ(wnd.SendMessage(c.message, c.wParam, 0), c.expected) << c.message;
    }
}

TEST(CWnd, ObjectIsAttachedBeforeTheFirstMessage) {
    DerivedWnd wnd;
    ASSERT_TRUE(wnd.Create());
    EXPECT_NE(wnd.hwndAtNcCreate, nullptr);
    EXPECT_EQ(wnd.hwndAtNcCreate, wnd.GetSafeHwnd());
    EXPECT_EQ(wnd.permanentAtNcCreate, &wnd);
    EXPECT_EQ(CWnd::FromHandlePermanent(wnd.GetSafeHwnd()), &wnd);
    EXPECT_EQ(CWnd::FromHandlePermanent(nullptr), nullptr);
}

TEST(CWnd, DestroyWindowEndsWithPostNcDestroyAfterDetaching) {
    DerivedWnd wnd;
    ASSERT_TRUE(wnd.Create());
    const HWND hwnd = wnd.GetSafeHwnd();
    ASSERT_TRUE(wnd.DestroyWindow());
    EXPECT_EQ(wnd.events, (std::vector<UINT>{WM_DESTROY, WM_NCDESTROY, 0}));
    EXPECT_EQ(wnd.hwndAtPostNcDestroy, nullptr);
    EXPECT_EQ(wnd.GetSafeHwnd(), nullptr);
    EXPECT_FALSE(IsWindow(hwnd));
    EXPECT_EQ(CWnd::FromHandlePermanent(hwnd), nullptr);
    EXPECT_FALSE(wnd.DestroyWindow());
}

TEST(CWnd, DestructorDestroysALiveWindow) {
    HWND hwnd;
    {
        DerivedWnd wnd;
        ASSERT_TRUE(wnd.Create());
        hwnd = wnd.GetSafeHwnd();
    }
    EXPECT_FALSE(IsWindow(hwnd));
}

TEST(CWnd, HandlerMayDeleteItsOwnObject) {
    auto wnd = std::make_unique<DerivedWnd>();
    wnd->owner = &wnd;
    ASSERT_TRUE(wnd->Create());
    const HWND hwnd = wnd->GetSafeHwnd();
    ASSERT_TRUE(PostMessageA(hwnd, kDeleteSelf, 0, 0));
    ASSERT_TRUE(talven_test::PumpUntil([&] { return wnd == nullptr; }));
    EXPECT_FALSE(IsWindow(hwnd));
}

TEST(CWnd, HandlerMayDestroyItsWindowAndObject) {
    // A self-deleting window: the handler destroys the window, PostNcDestroy deletes it.
    std::unique_ptr<DerivedWnd> owned = std::make_unique<SelfDeletingWnd>();
    owned->owner = &owned;
    ASSERT_TRUE(owned->Create());
    const HWND hwnd = owned->GetSafeHwnd();
    EXPECT_EQ(SendMessageA(hwnd, kDestroySelf, 0, 0), 6);
    EXPECT_EQ(owned, nullptr);
    EXPECT_FALSE(IsWindow(hwnd));
}

TEST(CWnd, SendFromAnotherThreadRunsTheHandlerOnTheWindowsThread) {
    DerivedWnd wnd;
    ASSERT_TRUE(wnd.Create());
    const HWND hwnd = wnd.GetSafeHwnd();
    std::atomic<LRESULT> result{0};
    std::atomic<bool> done{false};
    const DWORD me = GetCurrentThreadId();
    std::thread other([&] {
        result = SendMessageA(hwnd, kBaseOnly, 7, 0);
        done = true;
        PostThreadMessageA(me, WM_NULL, 0, 0);  // wakes the pump to look at done
    });
    EXPECT_TRUE(talven_test::PumpUntil([&] { return done.load(); }));
    other.join();
    EXPECT_EQ(result.load(), 107);
}

TEST(CWnd, RegisteredClassNamesAreStableAndDistinct) {
    LPCSTR a = AfxRegisterWndClass(0);
    LPCSTR b = AfxRegisterWndClass(0);
    LPCSTR c = AfxRegisterWndClass(1);
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(a, b);
    EXPECT_STRNE(a, c);
}

// A window whose handlers create other windows while it is being made: a plain window of the
// same class and one of another class, during WM_NCCREATE and again during WM_CREATE. None of
// them may take the object's attachment, and the object's window is the one CreateEx made.
class NestingWnd : public CWnd {
public:
    std::vector<HWND> nested;
    std::vector<HWND> seenAs;  // m_hWnd in each handler

    BOOL Create() {
        return CreateEx(0, AfxRegisterWndClass(0), "outer", WS_POPUP, 0, 0, 0, 0, nullptr,
                        nullptr);
    }
    ~NestingWnd() override {
        for (HWND h : nested) ::DestroyWindow(h);
    }

protected:
    LRESULT OnNcCreate(WPARAM, LPARAM) {
        MakeNested();
        return TRUE;
    }
    LRESULT OnCreate(WPARAM, LPARAM) {
        MakeNested();
        return 0;
    }
    void MakeNested() {
        seenAs.push_back(m_hWnd);
        nested.push_back(::CreateWindowExA(0, AfxRegisterWndClass(0), "same class", WS_POPUP, 0,
                                           0, 0, 0, nullptr, nullptr, nullptr, nullptr));
        nested.push_back(::CreateWindowExA(0, AfxRegisterWndClass(1), "other class",
                                           WS_POPUP, 0, 0, 0, 0, nullptr, nullptr, nullptr,
                                           nullptr));
        seenAs.push_back(m_hWnd);
    }
    DECLARE_MESSAGE_MAP()
};

BEGIN_MESSAGE_MAP(NestingWnd, CWnd)
ON_MESSAGE(WM_NCCREATE, OnNcCreate)
ON_MESSAGE(WM_CREATE, OnCreate)
END_MESSAGE_MAP()

TEST(CWnd, WindowsCreatedDuringCreationNeverTakeTheAttachment) {
    // On a fresh thread, so that the outer window is the thread's first top-level window.
    std::thread([] {
        NestingWnd wnd;
        ASSERT_TRUE(wnd.Create());
        const HWND outer = wnd.GetSafeHwnd();
        ASSERT_NE(outer, nullptr);
        ASSERT_EQ(wnd.nested.size(), 4u);
        for (HWND h : wnd.seenAs) EXPECT_EQ(h, outer);
        EXPECT_EQ(CWnd::FromHandlePermanent(outer), &wnd);
        for (HWND h : wnd.nested) {
            ASSERT_TRUE(IsWindow(h));
            EXPECT_NE(h, outer);
            EXPECT_EQ(CWnd::FromHandlePermanent(h), nullptr);
            // A plain window of a CWnd class answers from DefWindowProc.
            EXPECT_EQ(::SendMessageA(h, kBaseOnly, 5, 0), 0);
        }
        EXPECT_EQ(wnd.SendMessage(WM_NULL, 0, 0), 0);
    }).join();
}

}  // namespace
