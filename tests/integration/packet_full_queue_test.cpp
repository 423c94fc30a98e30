// A packet socket whose application thread stops pumping until its queue is full. PostMessageA
// (winuser.h): "There is a limit of 10,000 posted messages per message queue"; a refused post
// fails with ERROR_NOT_ENOUGH_QUOTA. The notifications refused meanwhile must still arrive, in
// order, once the application pumps again.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "support/test_support.h"
#include "support/test_system.h"

namespace {

const UINT kAppMsg = WM_APP + 9;
const UINT kFiller = WM_APP + 10;
const int kQueueLimit = 10000;
const int kPackets = 20000;

std::string PacketText(int i) {
    return "packet " + std::to_string(i);
}

std::string Frame(const std::string& payload) {
    const size_t n = payload.size();
    std::string s(4, '\0');
    s[2] = static_cast<char>(n >> 8);
    s[3] = static_cast<char>(n);
    return s + payload;
}

// The receive side belongs to the notification window's thread: the application thread has
// the packets taken there, by sending kTakeAll to a window of that thread.
const UINT kTakeAll = WM_APP + 11;

struct TakeAll {
    CQmtpSocket* sock;
    std::vector<std::string> packets;
};

LRESULT CALLBACK ReaderProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    if (msg != kTakeAll) {
        return DefWindowProcA(hwnd, msg, wParam, lParam);
    }
    TakeAll& take = *reinterpret_cast<TakeAll*>(lParam);
    for (;;) {
        char* data = nullptr;
        int len = 0;
        const int left = take.sock->ReadData(data, len);
        if (data == nullptr) {
            return 0;
        }
        take.packets.emplace_back(data, static_cast<size_t>(len));
        ::operator delete(data);
        if (left == 0) {
            return 0;
        }
    }
}

TEST(PacketFullQueue, NotificationsRefusedByAFullQueueArriveInOrderOncePumpingResumes) {
    talven_test::WinSockSession session;
    ASSERT_TRUE(session.ok());
    talven_test::RecordingWindow app;  // its queue is this thread's; nothing is dispatched
    UINT port = 0;
    const SOCKET listener = talven_test::ListenLoopback(port);
    ASSERT_NE(listener, INVALID_SOCKET);

    // The application stops pumping with a full queue, before the connection exists.
    int fillers = 0;
    while (fillers < kQueueLimit && PostMessageA(app.hwnd(), kFiller, 0, 0)) {
        ++fillers;
    }

    // The notification window and the socket live on their own thread, which pumps.
    std::atomic<CQmtpSocket*> socket{nullptr};
    std::atomic<HWND> reader{nullptr};
    std::atomic<bool> closed{false};
    std::atomic<bool> stop{false};
    std::atomic<int> setUp{0};  // 1: connecting, -1: failed
    std::thread notifyThread([&] {
        WNDCLASSA wc;
        std::memset(&wc, 0, sizeof wc);
        wc.lpfnWndProc = ReaderProc;
        wc.lpszClassName = "TalvenTestPacketReader";
        RegisterClassA(&wc);
        reader = CreateWindowExA(0, wc.lpszClassName, "reader", 0, 0, 0, 0, 0, nullptr, nullptr,
                                 nullptr, nullptr);
        CQmSocketNotifyWnd notify;
        notify.Create(nullptr);
        CQmtpSocket sock;
        if (sock.Create(notify.GetSafeHwnd()) != 1 ||
            SendMessageA(notify.GetSafeHwnd(), WM_SOCKET_ADD_MAP, 0, reinterpret_cast<LPARAM>(&sock)) != 1 ||
            sock.SetNotifyHandle(app.hwnd(), kAppMsg) != 1 || sock.Connect("127.0.0.1", port) != 1) {
            setUp = -1;
            return;
        }
        socket = &sock;
        setUp = 1;
        while (!stop) {
            MSG m;
            while (PeekMessageA(&m, nullptr, 0, 0, PM_REMOVE)) {
                DispatchMessageA(&m);
            }
            if (sock.m_hSocket == INVALID_SOCKET) {
                closed = true;  // OnClose has run: every event of the connection is handled
            }
            MsgWaitForMultipleObjects(0, nullptr, FALSE, 5, QS_ALLINPUT);
        }
        SendMessageA(notify.GetSafeHwnd(), WM_SOCKET_REMOVE_MAP, 0, reinterpret_cast<LPARAM>(&sock));
        DestroyWindow(reader);
    });
    struct Stopper {
        std::atomic<bool>& stop;
        std::thread& thread;
        ~Stopper() {
            stop = true;
            thread.join();
        }
    } stopper{stop, notifyThread};

    for (int i = 0; i < 1000 && setUp == 0; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ASSERT_EQ(setUp, 1);
    ASSERT_NE(reader.load(), nullptr);
    const SOCKET peer = winsock::accept(listener, nullptr, nullptr);
    ASSERT_NE(peer, INVALID_SOCKET);
    // Many small sends: many read events, each one notification refused by the full queue.
    for (int i = 0; i < kPackets; i += 4) {
        std::string bytes;
        for (int j = i; j < i + 4; ++j) {
            bytes += Frame(PacketText(j));
        }
        ASSERT_EQ(winsock::send(peer, bytes.data(), static_cast<int>(bytes.size()), 0),
                  static_cast<int>(bytes.size()));
    }
    winsock::closesocket(peer);
    winsock::closesocket(listener);
    for (int i = 0; i < 6000 && !closed; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ASSERT_TRUE(closed) << "the socket never saw the peer's close";
    if (!talven_test::UnderWine()) {  // Wine sets no limit: there the queue never refuses
        EXPECT_EQ(fillers, kQueueLimit);
    }

    // Pumping again: the fillers, then the connect, the receives and the close.
    std::vector<WPARAM> codes;
    int fillersSeen = 0;
    int packets = 0;
    int packetsAtClose = -1;
    int faults = 0;
    const DWORD start = GetTickCount();
    while (packetsAtClose < 0 && GetTickCount() - start < 30000) {
        MSG m;
        if (!PeekMessageA(&m, nullptr, 0, 0, PM_REMOVE)) {
            MsgWaitForMultipleObjects(0, nullptr, FALSE, 10, QS_ALLINPUT);
            continue;
        }
        if (m.message == kFiller) {
            ++fillersSeen;
            continue;
        }
        if (m.message != kAppMsg) {
            DispatchMessageA(&m);
            continue;
        }
        codes.push_back(m.wParam);
        if (m.wParam == TP_NOTIFY_RECEIVE) {
            TakeAll take{socket.load(), {}};
            SendMessageA(reader.load(), kTakeAll, 0, reinterpret_cast<LPARAM>(&take));
            for (const std::string& packet : take.packets) {
                faults += packet != PacketText(packets);
                ++packets;
            }
        } else if (m.wParam == TP_NOTIFY_CLOSE) {
            packetsAtClose = packets;
        }
    }
    EXPECT_EQ(fillersSeen, fillers);
    ASSERT_FALSE(codes.empty());
    EXPECT_EQ(codes.front(), static_cast<WPARAM>(TP_NOTIFY_CONNECT));
    EXPECT_EQ(codes.back(), static_cast<WPARAM>(TP_NOTIFY_CLOSE));
    EXPECT_EQ(packetsAtClose, kPackets);  // every packet was announced before the close
    EXPECT_EQ(faults, 0);
}

}  // namespace
