// A plug-in built on TALVEN.dll, as a plug-in host loads one: the host (dll_lifetime_test_win32)
// loads it, and with it the library, uses it, and unloads both again.

// talven.h brings <windows.h> and WinSock.
#include <cstring>
#include <thread>

#include "talven.h"

namespace {

const UINT kAppMsg = WM_APP + 1;

// Runs the thread's message loop until done() holds; false after about five seconds.
template <typename Done>
bool PumpUntil(Done done) {
    for (int i = 0; i < 5000; ++i) {
        MSG m;
        while (PeekMessageA(&m, nullptr, 0, 0, PM_REMOVE)) {
            DispatchMessageA(&m);
        }
        if (done()) return true;
        Sleep(1);
    }
    return false;
}

// A notification window and two packet sockets over loopback; one packet from one to the
// other. 0 when the packet arrived whole. The window's class name goes to className.
int Exchange(char* className, int size) {
    CQmSocketNotifyWnd notify;
    notify.Create(nullptr);
    const HWND hwnd = notify.GetSafeHwnd();
    GetClassNameA(hwnd, className, size);
    CQmAsyncSocket listener;
    CString address;
    UINT port = 0;
    if (listener.Create(hwnd, 0, SOCK_STREAM, FD_ACCEPT, "127.0.0.1") != 1 ||
        listener.Listen() != 1 || listener.GetSockName(address, port) != 1) {
        return 3;
    }
    CQmtpSocket client;
    CQmtpSocket server;
    if (client.Create(hwnd) != 1 || SendMessageA(hwnd, WM_SOCKET_ADD_MAP, 0,
                                                reinterpret_cast<LPARAM>(&client)) != 1 ||
        client.SetNotifyHandle(hwnd, kAppMsg) != 1 || client.Connect("127.0.0.1", port) != 1) {
        return 4;
    }
    if (!PumpUntil([&] { return listener.Accept(server) == 1; }) ||
        server.SetNotifyWnd(hwnd) != 1 || server.AsyncSelect() != 1 ||
        SendMessageA(hwnd, WM_SOCKET_ADD_MAP, 0, reinterpret_cast<LPARAM>(&server)) != 1 ||
        server.SetNotifyHandle(hwnd, kAppMsg) != 1) {
        return 5;
    }
    char hello[] = "hello";
    client.Send(hello, 5);
    char* data = nullptr;
    int len = 0;
    const bool arrived = PumpUntil([&] {
        server.ReadData(data, len);
        return data != nullptr;
    });
    const bool whole = arrived && len == 5 && std::memcmp(data, "hello", 5) == 0;
    ::operator delete(data);
    for (CQmAsyncSocket* s : {static_cast<CQmAsyncSocket*>(&client),
                              static_cast<CQmAsyncSocket*>(&server), &listener}) {
        SendMessageA(hwnd, WM_SOCKET_REMOVE_MAP, 0, reinterpret_cast<LPARAM>(s));
    }
    return whole ? 0 : 6;
}

}  // namespace

extern "C" __declspec(dllexport) int PluginExchange(char* className, int size) {
    if (QmSocketInit(nullptr) != 1) return 1;
    int result = 2;
    try {
        result = Exchange(className, size);
    } catch (CResourceException* e) {
        e->Delete();
    }
    QmSocketTerm();
    return result;
}

// Starts a thread that looks error texts up for ever; the process exits meanwhile.
extern "C" __declspec(dllexport) void PluginStartTextLoop() {
    std::thread([] {
        CString text;
        for (;;) QmGetWSAErrorString(WSAECONNRESET, text);
    }).detach();
}
