// Cost of one socket event over loopback: send() on one end until the receiving window's
// handler has run for FD_READ and read the byte, through the thread's epoll wait, the event
// selection and the message queue.
#include <benchmark/benchmark.h>

#include <atomic>
#include <cstring>
#include <thread>

#include "talven.h"

namespace {

constexpr UINT kSocketNotify = WM_USER + 0x1B;

struct Receiver {
    SOCKET socket = INVALID_SOCKET;
    long reads = 0;
};
Receiver* g_receiver = nullptr;

LRESULT CALLBACK ReceiverProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    if (msg == kSocketNotify && WSAGETSELECTEVENT(lParam) == FD_READ && g_receiver != nullptr) {
        char buffer[64];
        while (winsock::recv(static_cast<SOCKET>(wParam), buffer, sizeof buffer, 0) > 0) {
            ++g_receiver->reads;
        }
        return 0;
    }
    return DefWindowProcA(hwnd, msg, wParam, lParam);
}

// A connected pair over 127.0.0.1: `a` stays blocking, `b` is returned by accept.
bool ConnectedPair(SOCKET& a, SOCKET& b) {
    SOCKET listener = winsock::socket(AF_INET, SOCK_STREAM, 0);
    winsock::sockaddr_in addr;
    std::memset(&addr, 0, sizeof addr);
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = winsock::htonl(INADDR_LOOPBACK);
    int len = sizeof addr;
    if (winsock::bind(listener, reinterpret_cast<winsock::sockaddr*>(&addr), sizeof addr) != 0 ||
        winsock::listen(listener, 1) != 0 ||
        winsock::getsockname(listener, reinterpret_cast<winsock::sockaddr*>(&addr), &len) != 0) {
        winsock::closesocket(listener);
        return false;
    }
    a = winsock::socket(AF_INET, SOCK_STREAM, 0);
    if (winsock::connect(a, reinterpret_cast<winsock::sockaddr*>(&addr), sizeof addr) != 0) {
        winsock::closesocket(listener);
        return false;
    }
    b = winsock::accept(listener, nullptr, nullptr);
    winsock::closesocket(listener);
    return b != INVALID_SOCKET;
}

// WinSock, a receiving window on this thread and a connected pair whose receiving end reports
// FD_READ to it; torn down in reverse order.
struct EventBench {
    EventBench() {
        WSADATA data;
        if (WSAStartup(MAKEWORD(1, 1), &data) != 0) {
            return;
        }
        started = true;
        WNDCLASSA wc;
        std::memset(&wc, 0, sizeof wc);
        wc.lpfnWndProc = &ReceiverProc;
        wc.lpszClassName = "TalvenMicroBenchReceiver";
        RegisterClassA(&wc);  // a second registration fails harmlessly
        hwnd = CreateWindowExA(0, wc.lpszClassName, "", 0, 0, 0, 0, 0, nullptr, nullptr,
                               nullptr, nullptr);
        ok = hwnd != nullptr && ConnectedPair(sender, receiver.socket) &&
             WSAAsyncSelect(receiver.socket, hwnd, kSocketNotify, FD_READ) == 0;
        g_receiver = &receiver;
    }
    ~EventBench() {
        g_receiver = nullptr;
        if (receiver.socket != INVALID_SOCKET) {
            WSAAsyncSelect(receiver.socket, hwnd, 0, 0);
            winsock::closesocket(receiver.socket);
        }
        if (sender != INVALID_SOCKET) {
            winsock::closesocket(sender);
        }
        if (hwnd != nullptr) {
            DestroyWindow(hwnd);
        }
        if (started) {
            WSACleanup();
        }
    }
    EventBench(const EventBench&) = delete;
    EventBench& operator=(const EventBench&) = delete;

    bool started = false;
    bool ok = false;
    HWND hwnd = nullptr;
    SOCKET sender = INVALID_SOCKET;
    Receiver receiver;
};

void BM_SocketEvent_SendToHandler(benchmark::State& state) {
    EventBench bench;
    if (!bench.ok) {
        state.SkipWithError("setup failed");
        return;
    }
    Receiver& receiver = bench.receiver;
    const SOCKET sender = bench.sender;
    MSG msg;
    for (auto _ : state) {
        const long before = receiver.reads;
        winsock::send(sender, "x", 1, 0);
        while (receiver.reads == before && GetMessageA(&msg, nullptr, 0, 0) > 0) {
            DispatchMessageA(&msg);
        }
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_SocketEvent_SendToHandler)->UseRealTime();

// A round trip with the sender on another thread: the receiver asks by a thread message
// (waking the sender through its queue), the sender sends a byte, and the receiving thread,
// asleep in its wait, is woken by the socket.
void BM_SocketEvent_RoundTripWithSenderThread(benchmark::State& state) {
    EventBench bench;
    if (!bench.ok) {
        state.SkipWithError("setup failed");
        return;
    }
    Receiver& receiver = bench.receiver;
    const SOCKET sender = bench.sender;
    std::atomic<DWORD> senderThread{0};
    std::thread peer([&] {
        senderThread = GetCurrentThreadId();
        MSG m;
        while (GetMessageA(&m, nullptr, 0, 0) > 0) {
            winsock::send(sender, "x", 1, 0);
        }
    });
    while (senderThread.load() == 0) {
        std::this_thread::yield();
    }
    Sleep(10);  // let the peer enter its loop (a thread message needs its queue)
    MSG msg;
    for (auto _ : state) {
        const long before = receiver.reads;
        while (!PostThreadMessageA(senderThread, WM_USER, 0, 0)) {
            std::this_thread::yield();
        }
        while (receiver.reads == before && GetMessageA(&msg, nullptr, 0, 0) > 0) {
            DispatchMessageA(&msg);
        }
    }
    PostThreadMessageA(senderThread, WM_QUIT, 0, 0);
    peer.join();
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_SocketEvent_RoundTripWithSenderThread)->UseRealTime();

}  // namespace
