// A hidden application window: the target of the packet sockets' notifications and of the
// application's own messages. Every message at or above WM_USER, and WM_TIMER (the window's
// own timers), goes to one handler.
//
// Threads: created, used and destroyed on one thread, whose message loop runs the handler.
// Other threads may post to hwnd().
#pragma once

#include <functional>

#include "talven.h"

class AppWindow {
public:
    using Handler = std::function<void(UINT msg, WPARAM wParam, LPARAM lParam)>;

    explicit AppWindow(Handler handler);
    ~AppWindow();
    AppWindow(const AppWindow&) = delete;
    AppWindow& operator=(const AppWindow&) = delete;

    HWND hwnd() const { return hwnd_; }   // NULL when creation failed

private:
    static LRESULT CALLBACK Proc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);

    Handler handler_;
    HWND hwnd_;
};
