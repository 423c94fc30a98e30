#include "support/test_support.h"

#include <cstring>

namespace talven_test {

WinSockSession::WinSockSession() : ok_(QmSocketInit(nullptr) == 1) {}

WinSockSession::~WinSockSession() {
    if (ok_) {
        QmSocketTerm();
    }
}

bool PumpUntil(const std::function<bool()>& pred, DWORD timeoutMs) {
    const DWORD start = GetTickCount();
    MSG msg;
    while (!pred()) {
        const DWORD elapsed = GetTickCount() - start;
        if (elapsed >= timeoutMs) {
            return pred();
        }
        while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
            if (msg.message == WM_QUIT) {
                return pred();
            }
            TranslateMessage(&msg);
            DispatchMessageA(&msg);
            if (pred()) {
                return true;
            }
        }
        MsgWaitForMultipleObjects(0, nullptr, FALSE, timeoutMs - elapsed, QS_ALLINPUT);
    }
    return true;
}

void PumpFor(DWORD ms) {
    PumpUntil([] { return false; }, ms);
}

namespace {
const char kRecordingClass[] = "TalvenTestRecordingWindow";
}  // namespace

RecordingWindow::RecordingWindow() : hwnd_(nullptr) {
    WNDCLASSA wc;
    std::memset(&wc, 0, sizeof wc);
    wc.lpfnWndProc = &RecordingWindow::Proc;
    wc.lpszClassName = kRecordingClass;
    RegisterClassA(&wc);  // a second registration of the same class fails harmlessly
    hwnd_ = CreateWindowExA(0, kRecordingClass, "recording", 0, 0, 0, 0, 0, nullptr, nullptr,
                            nullptr, this);
    SetWindowLongPtrA(hwnd_, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
}

RecordingWindow::~RecordingWindow() {
    if (IsWindow(hwnd_)) {
        SetWindowLongPtrA(hwnd_, GWLP_USERDATA, 0);
        DestroyWindow(hwnd_);
    }
}

std::vector<MSG> RecordingWindow::with(UINT message) const {
    std::vector<MSG> out;
    for (const MSG& m : messages_) {
        if (m.message == message) {
            out.push_back(m);
        }
    }
    return out;
}

LRESULT CALLBACK RecordingWindow::Proc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    auto* self = reinterpret_cast<RecordingWindow*>(GetWindowLongPtrA(hwnd, GWLP_USERDATA));
    if (self != nullptr && (msg >= WM_USER || msg == WM_TIMER)) {
        MSG m;
        std::memset(&m, 0, sizeof m);
        m.hwnd = hwnd;
        m.message = msg;
        m.wParam = wParam;
        m.lParam = lParam;
        self->messages_.push_back(m);
        if (self->onMessage) {
            self->onMessage(m);
        }
        return 0;
    }
    return DefWindowProcA(hwnd, msg, wParam, lParam);
}

namespace {
winsock::sockaddr_in LoopbackAddress(UINT port) {
    winsock::sockaddr_in addr;
    std::memset(&addr, 0, sizeof addr);
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = winsock::htonl(INADDR_LOOPBACK);
    addr.sin_port = winsock::htons(static_cast<winsock::u_short>(port));
    return addr;
}
}  // namespace

SOCKET ListenLoopback(UINT& port) {
    SOCKET s = winsock::socket(AF_INET, SOCK_STREAM, 0);
    if (s == INVALID_SOCKET) {
        return s;
    }
    winsock::sockaddr_in addr = LoopbackAddress(0);
    int len = sizeof addr;
    if (winsock::bind(s, reinterpret_cast<winsock::sockaddr*>(&addr), sizeof addr) == SOCKET_ERROR ||
        winsock::listen(s, 64) == SOCKET_ERROR ||
        winsock::getsockname(s, reinterpret_cast<winsock::sockaddr*>(&addr), &len) == SOCKET_ERROR) {
        winsock::closesocket(s);
        return INVALID_SOCKET;
    }
    port = winsock::ntohs(addr.sin_port);
    return s;
}

SOCKET ConnectLoopback(UINT port) {
    SOCKET s = winsock::socket(AF_INET, SOCK_STREAM, 0);
    if (s == INVALID_SOCKET) {
        return s;
    }
    winsock::sockaddr_in addr = LoopbackAddress(port);
    if (winsock::connect(s, reinterpret_cast<winsock::sockaddr*>(&addr), sizeof addr) == SOCKET_ERROR) {
        winsock::closesocket(s);
        return INVALID_SOCKET;
    }
    return s;
}

SilentPeer::SilentPeer() : listener_(INVALID_SOCKET), port_(0) {
    SOCKET s = winsock::socket(AF_INET, SOCK_STREAM, 0);
    if (s == INVALID_SOCKET) {
        return;
    }
    winsock::sockaddr_in addr = LoopbackAddress(0);
    int len = sizeof addr;
    if (winsock::bind(s, reinterpret_cast<winsock::sockaddr*>(&addr), sizeof addr) == SOCKET_ERROR ||
        winsock::listen(s, 1) == SOCKET_ERROR ||
        winsock::getsockname(s, reinterpret_cast<winsock::sockaddr*>(&addr), &len) == SOCKET_ERROR) {
        winsock::closesocket(s);
        return;
    }
    listener_ = s;
    port_ = winsock::ntohs(addr.sin_port);
    // More non-blocking connects than any backlog of 1 holds (Linux queues backlog + 1); those
    // beyond it stay under way, which is what makes the next one silent too.
    for (int i = 0; i < 8; ++i) {
        SOCKET f = winsock::socket(AF_INET, SOCK_STREAM, 0);
        if (f == INVALID_SOCKET) {
            break;
        }
        winsock::u_long nonBlocking = 1;
        winsock::ioctlsocket(f, FIONBIO, &nonBlocking);
        winsock::sockaddr_in to = LoopbackAddress(port_);
        winsock::connect(f, reinterpret_cast<winsock::sockaddr*>(&to), sizeof to);
        fillers_.push_back(f);
    }
    Sleep(100);  // the handshakes that fit the queue are done
}

SilentPeer::~SilentPeer() {
    for (SOCKET f : fillers_) {
        winsock::closesocket(f);
    }
    if (listener_ != INVALID_SOCKET) {
        winsock::closesocket(listener_);
    }
}

}  // namespace talven_test
