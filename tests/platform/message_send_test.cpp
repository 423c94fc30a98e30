// SendMessageA: direct and nested on one thread, across threads, and never hanging when the
// target thread or window goes away.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <functional>
#include <thread>

#include "support/test_support.h"

namespace {

using Handler = std::function<LRESULT(HWND, UINT, WPARAM, LPARAM)>;

// A window whose messages at or above WM_USER go to a std::function.
class FnWindow {
public:
    explicit FnWindow(Handler handler) : handler_(std::move(handler)) {
        static const bool registered = [] {
            WNDCLASSA wc;
            std::memset(&wc, 0, sizeof wc);
            wc.lpfnWndProc = &FnWindow::Proc;
            wc.lpszClassName = "TalvenTestFnWindow";
            return RegisterClassA(&wc) != 0;
        }();
        EXPECT_TRUE(registered);
        hwnd_ = CreateWindowExA(0, "TalvenTestFnWindow", "", 0, 0, 0, 0, 0, nullptr, nullptr,
                                nullptr, nullptr);
        SetWindowLongPtrA(hwnd_, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
    }
    ~FnWindow() {
        if (!abandoned_) {
            DestroyWindow(hwnd_);
        }
    }
    // Leaves the window alive without this object behind it.
    void Abandon() {
        SetWindowLongPtrA(hwnd_, GWLP_USERDATA, 0);
        abandoned_ = true;
    }
    FnWindow(const FnWindow&) = delete;
    FnWindow& operator=(const FnWindow&) = delete;
    HWND hwnd() const { return hwnd_; }

private:
    static LRESULT CALLBACK Proc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
        auto* self = reinterpret_cast<FnWindow*>(GetWindowLongPtrA(hwnd, GWLP_USERDATA));
        if (self != nullptr && msg >= WM_USER) {
            return self->handler_(hwnd, msg, wParam, lParam);
        }
        return DefWindowProcA(hwnd, msg, wParam, lParam);
    }
    Handler handler_;
    HWND hwnd_ = nullptr;
    bool abandoned_ = false;
};

// Runs the message loop until WM_QUIT.
void RunLoop() {
    MSG msg;
    while (GetMessageA(&msg, nullptr, 0, 0) > 0) {
        DispatchMessageA(&msg);
    }
}

constexpr UINT kQuit = WM_USER + 99;

// A thread with one FnWindow and a message loop; kQuit ends it.
class WindowThread {
public:
    explicit WindowThread(Handler handler) {
        thread_ = std::thread([this, handler] {
            FnWindow window([handler](HWND h, UINT m, WPARAM w, LPARAM l) -> LRESULT {
                if (m == kQuit) {
                    PostQuitMessage(0);
                    return 0;
                }
                return handler(h, m, w, l);
            });
            threadId_ = GetCurrentThreadId();
            hwnd_ = window.hwnd();
            RunLoop();
        });
        while (hwnd_.load() == nullptr) {
            std::this_thread::yield();
        }
    }
    ~WindowThread() {
        SendMessageA(hwnd_, kQuit, 0, 0);
        thread_.join();
    }
    HWND hwnd() const { return hwnd_; }
    DWORD threadId() const { return threadId_; }

private:
    std::atomic<HWND> hwnd_{nullptr};
    std::atomic<DWORD> threadId_{0};
    std::thread thread_;
};

TEST(MessageSend, OnTheOwnThreadCallsTheProcedureDirectlyAndNests) {
    FnWindow window([](HWND h, UINT m, WPARAM w, LPARAM) -> LRESULT {
        if (m == WM_USER && w < 5) {
            return 1 + SendMessageA(h, WM_USER, w + 1, 0);  // nested send
        }
        return 100;
    });
    EXPECT_EQ(SendMessageA(window.hwnd(), WM_USER, 0, 0), 105);
}

TEST(MessageSend, FromAnotherThreadRunsOnTheOwnerAndReturnsItsResult) {
    WindowThread owner([](HWND, UINT, WPARAM w, LPARAM) -> LRESULT {
        return static_cast<LRESULT>(GetCurrentThreadId() * 1000 + w);
    });
    EXPECT_EQ(SendMessageA(owner.hwnd(), WM_USER, 7, 0),
              static_cast<LRESULT>(owner.threadId() * 1000 + 7));
}

TEST(MessageSend, WhileWaitingTheSenderServesSendsToItsOwnWindows) {
    FnWindow mine([](HWND, UINT, WPARAM, LPARAM) -> LRESULT { return 7; });
    const HWND mineHwnd = mine.hwnd();
    WindowThread other([mineHwnd](HWND, UINT, WPARAM, LPARAM) -> LRESULT {
        return SendMessageA(mineHwnd, WM_USER, 0, 0) + 1;  // back to the waiting sender
    });
    EXPECT_EQ(SendMessageA(other.hwnd(), WM_USER, 0, 0), 8);
}

// Serves sends until flag is set.
void PumpUntilSet(const std::atomic<bool>& flag) {
    MSG msg;
    while (!flag.load()) {
        PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE);
        std::this_thread::yield();
    }
}

TEST(MessageSend, TwoThreadsSendingToEachOtherAtOnceBothFinish) {
    constexpr int kRounds = 200;
    std::atomic<int> ready{0};
    std::atomic<HWND> otherHwnd{nullptr};
    std::atomic<bool> mainFinished{false};
    std::atomic<bool> otherFinished{false};
    FnWindow mine([](HWND, UINT, WPARAM w, LPARAM) -> LRESULT { return static_cast<LRESULT>(w) * 2; });
    const HWND mineHwnd = mine.hwnd();
    // Both threads start each round together, then send to each other at once. The wait for
    // the other thread keeps serving sends: its previous send may not have been served yet.
    auto rounds = [&](HWND target, LRESULT factor) {
        int good = 0;
        MSG msg;
        for (int i = 0; i < kRounds; ++i) {
            ++ready;
            while (ready.load() < 2 * (i + 1)) {
                PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE);
                std::this_thread::yield();
            }
            if (SendMessageA(target, WM_USER, static_cast<WPARAM>(i), 0) == factor * i) {
                ++good;
            }
        }
        return good;
    };
    int otherGood = 0;
    std::thread other([&] {
        FnWindow window([](HWND, UINT, WPARAM w, LPARAM) -> LRESULT { return static_cast<LRESULT>(w) * 3; });
        otherHwnd = window.hwnd();
        otherGood = rounds(mineHwnd, 2);
        otherFinished = true;
        PumpUntilSet(mainFinished);  // the main thread's last send may still be on its way
    });
    while (otherHwnd.load() == nullptr) {
        std::this_thread::yield();
    }
    const int mineGood = rounds(otherHwnd, 3);
    mainFinished = true;
    PumpUntilSet(otherFinished);
    other.join();
    EXPECT_EQ(mineGood, kRounds);
    EXPECT_EQ(otherGood, kRounds);
}

TEST(MessageSend, ReturnsWhenTheTargetThreadExitsWithoutServingIt) {
    std::atomic<HWND> hwnd{nullptr};
    std::atomic<bool> ran{false};
    std::thread owner([&] {
        FnWindow window([&](HWND, UINT, WPARAM, LPARAM) -> LRESULT {
            ran = true;
            return 1;
        });
        window.Abandon();  // the window outlives the object, until its thread exits
        hwnd = window.hwnd();
        Sleep(20);  // never pumps: exits with the send (most likely) still queued
    });
    while (hwnd.load() == nullptr) {
        std::this_thread::yield();
    }
    EXPECT_EQ(SendMessageA(hwnd, WM_USER, 0, 0), 0);
    owner.join();
    EXPECT_FALSE(ran);
    EXPECT_FALSE(IsWindow(hwnd));
}

TEST(MessageSend, ReturnsZeroWhenTheWindowIsDestroyedBeforeItsOwnerServesIt) {
    std::atomic<HWND> hwnd{nullptr};
    std::atomic<bool> sending{false};
    std::atomic<bool> done{false};
    std::thread owner([&] {
        {
            FnWindow doomed([](HWND, UINT, WPARAM, LPARAM) -> LRESULT { return 99; });
            hwnd = doomed.hwnd();
            while (!sending.load()) {
                std::this_thread::yield();
            }
            Sleep(20);  // let the send be queued (if it is not, the handle is gone: also 0)
        }
        while (!done.load()) {
            MSG msg;
            PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE);
            std::this_thread::yield();
        }
    });
    while (hwnd.load() == nullptr) {
        std::this_thread::yield();
    }
    sending = true;
    EXPECT_EQ(SendMessageA(hwnd, WM_USER, 0, 0), 0);
    done = true;
    owner.join();
}

}  // namespace
