// talven-bench-instructions: sends 64-byte packets over one loopback connection, one at a time,
// both ends on one thread, and takes each with ReadData before sending the next. Run under
// callgrind with collection off at start (bench/instructions.sh): only the packets after the
// warm-up are counted, from the Send call to the ReadData that hands the packet out.
//
//   talven-bench-instructions [packets] [payload bytes, 64 by default]
#include <valgrind/callgrind.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <vector>

#include "Frame.h"
#include "talven.h"

namespace {

constexpr UINT kAppMsg = WM_USER + 100;
constexpr std::size_t kWarmup = 200;

struct Driver {
    CQmSocketNotifyWnd notify;
    HWND app = nullptr;
    std::unique_ptr<CQmtpSocket> listener = std::make_unique<CQmtpSocket>();
    std::unique_ptr<CQmtpSocket> client = std::make_unique<CQmtpSocket>();
    std::unique_ptr<CQmtpSocket> server;
    bool connected = false;
    std::size_t received = 0;
    std::size_t payload = 64;
    bool failed = false;
};

Driver* g_driver = nullptr;

void Register(Driver& d, CQmtpSocket& s) {
    SendMessageA(d.notify, WM_SOCKET_ADD_MAP, 0, reinterpret_cast<LPARAM>(&s));
    s.SetNotifyHandle(d.app, kAppMsg);
    BOOL one = TRUE;
    s.SetSockOpt(TCP_NODELAY, &one, sizeof one, IPPROTO_TCP);
}

LRESULT CALLBACK AppProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    if (msg != kAppMsg || g_driver == nullptr) {
        return DefWindowProcA(hwnd, msg, wParam, lParam);
    }
    Driver& d = *g_driver;
    auto* s = reinterpret_cast<CQmtpSocket*>(lParam);
    if (wParam == TP_NOTIFY_ACCEPT && !d.server) {
        d.server = std::make_unique<CQmtpSocket>();
        if (d.listener->Accept(*d.server)) {
            d.server->SetNotifyWnd(d.notify);
            Register(d, *d.server);
            d.server->AsyncSelect(FD_READ | FD_WRITE | FD_CLOSE);
        } else {
            d.server.reset();
        }
    } else if (wParam == TP_NOTIFY_CONNECT && s == d.client.get()) {
        d.connected = d.client->GetErrorCode() == 0;
        d.failed = !d.connected;
    } else if (wParam == TP_NOTIFY_RECEIVE && s == d.server.get()) {
        for (;;) {
            char* data = nullptr;
            int len = 0;
            const int left = s->ReadData(data, len);
            if (data == nullptr) {
                break;
            }
            d.failed = d.failed || !bench::PayloadLooksRight(data, static_cast<std::size_t>(len), d.payload);
            ::operator delete(data);
            ++d.received;
            if (left == 0) {
                break;
            }
        }
    } else if (wParam == TP_NOTIFY_CLOSE) {
        d.failed = true;
    }
    return 0;
}

// Dispatches messages until `done` holds or the loop ends.
template <class Done>
bool PumpUntil(Done done) {
    MSG msg;
    while (!done()) {
        if (GetMessageA(&msg, nullptr, 0, 0) <= 0) {
            return false;
        }
        TranslateMessage(&msg);
        DispatchMessageA(&msg);
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    const std::size_t packets = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 2000;
    if (!QmSocketInit(nullptr)) {
        std::fprintf(stderr, "QmSocketInit failed\n");
        return 1;
    }
    int rc = 1;
    {
        Driver d;
        d.payload = argc > 2 ? std::strtoul(argv[2], nullptr, 10) : 64;
        g_driver = &d;
        WNDCLASSA wc{};
        wc.lpfnWndProc = AppProc;
        wc.lpszClassName = "TalvenInstructions";
        RegisterClassA(&wc);
        try {
            d.notify.Create(nullptr);
        } catch (CException* e) {
            e->Delete();
            std::fprintf(stderr, "talven-bench-instructions: no notification window\n");
            QmSocketTerm();
            return 1;
        }
        d.app = CreateWindowExA(0, "TalvenInstructions", "", WS_POPUP, 0, 0, 0, 0, nullptr, nullptr, nullptr, nullptr);

        CString address;
        UINT port = 0;
        const bool ready = d.app != nullptr && d.listener->Create(d.notify, 0, SOCK_STREAM, FD_ACCEPT, "127.0.0.1") &&
                           (Register(d, *d.listener), d.listener->Listen(5)) &&
                           d.listener->GetSockName(address, port) &&
                           d.client->Create(d.notify, 0, SOCK_STREAM, FD_READ | FD_WRITE | FD_CONNECT | FD_CLOSE,
                                            "127.0.0.1") &&
                           (Register(d, *d.client), d.client->Connect("127.0.0.1", port)) &&
                           PumpUntil([&] { return d.failed || (d.connected && d.server); });
        const bench::Frame frame(d.payload);
        bool ok = ready && !d.failed;
        for (std::size_t i = 0; ok && i < kWarmup + packets; ++i) {
            if (i == kWarmup) {
                CALLGRIND_TOGGLE_COLLECT;
            }
            d.client->Send(const_cast<char*>(frame.payload()), static_cast<int>(frame.payloadSize()));
            ok = PumpUntil([&] { return d.failed || d.received == i + 1; }) && !d.failed;
            if (i + 1 == kWarmup + packets) {
                CALLGRIND_TOGGLE_COLLECT;
            }
        }
        for (CQmtpSocket* s : {d.listener.get(), d.client.get(), d.server.get()}) {
            if (s != nullptr && s->m_hSocket != INVALID_SOCKET) {
                SendMessageA(d.notify, WM_SOCKET_REMOVE_MAP, 0, reinterpret_cast<LPARAM>(s));
                s->Close();
            }
        }
        DestroyWindow(d.app);
        g_driver = nullptr;
        if (ok) {
            std::printf("packets %zu\n", packets);
            rc = 0;
        } else {
            std::fprintf(stderr, "talven-bench-instructions: the packet path failed\n");
        }
    }
    QmSocketTerm();
    return rc;
}
