#include "common/AppWindow.h"

#include <cstring>

namespace {
const char kClassName[] = "TalvenExampleAppWindow";
}  // namespace

AppWindow::AppWindow(Handler handler) : handler_(std::move(handler)), hwnd_(nullptr) {
    WNDCLASSA wc;
    std::memset(&wc, 0, sizeof wc);
    wc.lpfnWndProc = &AppWindow::Proc;
    wc.lpszClassName = kClassName;
    RegisterClassA(&wc);  // fails harmlessly when a second window registers it again
    hwnd_ = CreateWindowExA(0, kClassName, "", 0, 0, 0, 0, 0, nullptr, nullptr, nullptr, nullptr);
    if (hwnd_ != nullptr) {
        SetWindowLongPtrA(hwnd_, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
    }
}

AppWindow::~AppWindow() {
    if (hwnd_ != nullptr && IsWindow(hwnd_)) {
        SetWindowLongPtrA(hwnd_, GWLP_USERDATA, 0);
        DestroyWindow(hwnd_);
    }
}

LRESULT CALLBACK AppWindow::Proc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    auto* self = reinterpret_cast<AppWindow*>(GetWindowLongPtrA(hwnd, GWLP_USERDATA));
    if (self != nullptr && (msg >= WM_USER || msg == WM_TIMER)) {
        self->handler_(msg, wParam, lParam);
        return 0;
    }
    return DefWindowProcA(hwnd, msg, wParam, lParam);
}
