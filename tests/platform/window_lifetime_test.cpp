// Window creation and destruction: the messages it sends, handles, owned windows, and what
// happens to messages and threads around a window that goes away.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "support/test_support.h"

using talven_test::RecordingWindow;

namespace {

// A window class whose procedure logs (hwnd, message) and can refuse creation.
struct Log {
    std::vector<std::pair<HWND, UINT>> entries;
    LRESULT ncCreateResult = TRUE;
    LRESULT createResult = 0;
    std::vector<BOOL> isWindowDuringDestroy;  // IsWindow(hwnd) in WM_DESTROY, WM_NCDESTROY
};
thread_local Log* t_log = nullptr;

LRESULT CALLBACK LoggingProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    if (t_log != nullptr) {
        t_log->entries.emplace_back(hwnd, msg);
        if (msg == WM_NCCREATE) {
            return t_log->ncCreateResult;
        }
        if (msg == WM_CREATE) {
            return t_log->createResult;
        }
        if (msg == WM_DESTROY || msg == WM_NCDESTROY) {
            t_log->isWindowDuringDestroy.push_back(IsWindow(hwnd));
        }
    }
    return DefWindowProcA(hwnd, msg, wParam, lParam);
}

const char* LoggingClass() {
    static const char kName[] = "TalvenTestLoggingWindow";
    static const bool registered = [] {
        WNDCLASSA wc;
        std::memset(&wc, 0, sizeof wc);
        wc.lpfnWndProc = &LoggingProc;
        wc.lpszClassName = kName;
        return RegisterClassA(&wc) != 0;
    }();
    EXPECT_TRUE(registered);
    return kName;
}

HWND MakeWindow(HWND owner = nullptr) {
    return CreateWindowExA(0, LoggingClass(), "logging", 0, 0, 0, 0, 0, owner, nullptr, nullptr,
                           nullptr);
}

std::vector<UINT> MessagesOf(const Log& log, HWND hwnd) {
    std::vector<UINT> out;
    for (const auto& e : log.entries) {
        if (e.first == hwnd) {
            out.push_back(e.second);
        }
    }
    return out;
}

struct LogScope {
    Log log;
    LogScope() { t_log = &log; }
    ~LogScope() { t_log = nullptr; }
};

TEST(WindowLifetime, CreationAndDestructionSendTheirMessagesInOrder) {
    LogScope scope;
    HWND hwnd = MakeWindow();
    ASSERT_NE(hwnd, nullptr);
    EXPECT_TRUE(DestroyWindow(hwnd));
    EXPECT_EQ(MessagesOf(scope.log, hwnd),
              (std::vector<UINT>{WM_NCCREATE, WM_CREATE, WM_DESTROY, WM_NCDESTROY}));
    EXPECT_FALSE(IsWindow(hwnd));
    EXPECT_FALSE(DestroyWindow(hwnd));
}

TEST(WindowLifetime, RefusedCreationGivesNoWindow) {
    LogScope scope;
    scope.log.ncCreateResult = FALSE;
    EXPECT_EQ(MakeWindow(), nullptr);
    scope.log.ncCreateResult = TRUE;
    scope.log.createResult = -1;
    EXPECT_EQ(MakeWindow(), nullptr);
    EXPECT_EQ(CreateWindowExA(0, "NoSuchClass", "", 0, 0, 0, 0, 0, nullptr, nullptr, nullptr,
                              nullptr),
              nullptr);
}

TEST(WindowLifetime, OwnedWindowsAreDestroyedFirst) {
    LogScope scope;
    HWND owner = MakeWindow();
    HWND owned = MakeWindow(owner);
    ASSERT_NE(owned, nullptr);
    EXPECT_EQ(GetWindow(owned, GW_OWNER), owner);
    scope.log.entries.clear();
    ASSERT_TRUE(DestroyWindow(owner));
    EXPECT_FALSE(IsWindow(owned));
    const std::vector<std::pair<HWND, UINT>> expected{
        {owned, WM_DESTROY}, {owned, WM_NCDESTROY}, {owner, WM_DESTROY}, {owner, WM_NCDESTROY}};
    EXPECT_EQ(scope.log.entries, expected);
}

// IsWindow answers for any thread's windows, and a window still exists while it handles
// WM_DESTROY and WM_NCDESTROY (Microsoft's IsWindow and DestroyWindow pages: the window is
// destroyed after those messages).
TEST(WindowLifetime, IsWindowSeesEveryThreadsWindowsAndADestroyedWindowOnlyOnceGone) {
    std::atomic<HWND> other{nullptr};
    std::atomic<bool> destroy{false};
    std::atomic<bool> gone{false};
    std::thread owner([&] {
        HWND h = MakeWindow();
        other = h;
        while (!destroy) {
            std::this_thread::yield();
        }
        DestroyWindow(h);
        gone = true;
    });
    while (other.load() == nullptr) {
        std::this_thread::yield();
    }
    EXPECT_TRUE(IsWindow(other.load()));
    RecordingWindow mine;  // this thread has windows of its own: the other's is still found
    EXPECT_TRUE(IsWindow(mine.hwnd()));
    EXPECT_TRUE(IsWindow(other.load()));
    destroy = true;
    owner.join();
    EXPECT_TRUE(gone);
    EXPECT_FALSE(IsWindow(other.load()));

    LogScope scope;
    HWND h = MakeWindow();
    ASSERT_NE(h, nullptr);
    ASSERT_TRUE(DestroyWindow(h));
    EXPECT_EQ(scope.log.isWindowDuringDestroy, (std::vector<BOOL>{TRUE, TRUE}));
    EXPECT_FALSE(IsWindow(h));
}

TEST(WindowLifetime, DestroyedHandlesNeverNameANewWindow) {
    std::set<HWND> seen;
    for (int i = 0; i < 200; ++i) {
        RecordingWindow w;
        EXPECT_TRUE(seen.insert(w.hwnd()).second);
    }
    for (HWND h : seen) {
        EXPECT_FALSE(IsWindow(h));
    }
}

TEST(WindowLifetime, MessagesStillQueuedForADestroyedWindowAreDropped) {
    RecordingWindow keep;
    HWND doomed;
    {
        RecordingWindow w;
        doomed = w.hwnd();
        ASSERT_TRUE(PostMessageA(doomed, WM_USER, 1, 0));
        ASSERT_TRUE(PostMessageA(keep.hwnd(), WM_USER, 2, 0));
    }
    MSG msg;
    ASSERT_TRUE(PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE));
    EXPECT_EQ(msg.hwnd, keep.hwnd());
    EXPECT_FALSE(PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE));
}

TEST(WindowLifetime, OnlyTheOwnerThreadMayDestroyAWindow) {
    RecordingWindow w;
    BOOL result = TRUE;
    std::thread other([&] { result = DestroyWindow(w.hwnd()); });
    other.join();
    EXPECT_FALSE(result);
    EXPECT_TRUE(IsWindow(w.hwnd()));
}

TEST(WindowLifetime, WindowsOfAThreadThatExitsStopExisting) {
    std::atomic<HWND> hwnd{nullptr};
    std::thread t([&] { hwnd = MakeWindow(); });  // never destroyed by its thread
    t.join();
    ASSERT_NE(hwnd.load(), nullptr);
    EXPECT_FALSE(IsWindow(hwnd));
    EXPECT_FALSE(PostMessageA(hwnd, WM_USER, 0, 0));
    EXPECT_EQ(SendMessageA(hwnd, WM_USER, 0, 0), 0);
}

TEST(WindowLifetime, AnyThreadCanAskAboutAWindow) {
    RecordingWindow w;
    const DWORD me = GetCurrentThreadId();
    DWORD owner = 0;
    BOOL exists = FALSE;
    char text[64] = {};
    std::thread other([&] {
        exists = IsWindow(w.hwnd());
        owner = GetWindowThreadProcessId(w.hwnd(), nullptr);
        GetWindowTextA(w.hwnd(), text, sizeof text);
    });
    other.join();
    EXPECT_TRUE(exists);
    EXPECT_EQ(owner, me);
    EXPECT_STREQ(text, "recording");
}

}  // namespace
