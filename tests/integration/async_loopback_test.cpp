// A listening socket and a client socket on one notification window connect over loopback,
// exchange bytes through their handlers, and close, as an application does it.
#include <gtest/gtest.h>

#include <string>

#include "support/test_support.h"
#include "talven.h"

namespace {

// A socket that reacts in its handlers: it keeps what it reads, answers a request, and
// unregisters and closes itself when the peer closes.
class Endpoint : public CQmAsyncSocket {
public:
    std::string received;
    std::string answer;        // sent once `expected` has arrived
    std::string expected;
    bool closeAfterAnswer = false;  // true: close on receiving `expected` instead of answering
    bool connected = false;
    bool closed = false;
    int lastError = 0;
    Endpoint* acceptInto = nullptr;

    void OnConnect(int error) override {
        lastError = error;
        connected = error == 0;
        if (connected && !answer.empty()) {
            Send(answer.data(), static_cast<int>(answer.size()));
        }
    }
    void OnAccept(int error) override {
        lastError = error;
        if (acceptInto != nullptr && Accept(*acceptInto) == 1 &&
            acceptInto->SetNotifyWnd(m_hNotifyWnd) == 1) {
            SendMessageA(m_hNotifyWnd, WM_SOCKET_ADD_MAP, 0, reinterpret_cast<LPARAM>(acceptInto));
        }
    }
    void OnReceive(int error) override {
        lastError = error;
        char buffer[256];
        const int n = Receive(buffer, sizeof buffer);
        if (n > 0) {
            received.append(buffer, static_cast<std::size_t>(n));
        }
        if (!answered && received == expected) {
            answered = true;
            if (closeAfterAnswer) {
                Finish();
            } else {
                Send(answer.data(), static_cast<int>(answer.size()));
            }
        }
    }
    void OnClose(int error) override {
        lastError = error;
        Finish();
    }

private:
    bool answered = false;

    void Finish() {
        // Unregister while the handle still names the entry, then close.
        SendMessageA(m_hNotifyWnd, WM_SOCKET_REMOVE_MAP, 0, reinterpret_cast<LPARAM>(this));
        Close();
        closed = true;
    }
};

TEST(AsyncLoopback, ListenerAndClientOnOneWindowExchangeBytesAndClose) {
    talven_test::WinSockSession session;
    ASSERT_TRUE(session.ok());
    CQmSocketNotifyWnd wnd;
    ASSERT_TRUE(wnd.Create(nullptr));
    const HWND hwnd = wnd.GetSafeHwnd();

    Endpoint listener;
    Endpoint server;
    listener.acceptInto = &server;
    server.expected = "hello";
    server.answer = "world";
    // Every event selected: the accepted socket inherits the listener's selection.
    ASSERT_EQ(1, listener.Create(hwnd, 0, SOCK_STREAM,
                                 FD_READ | FD_WRITE | FD_ACCEPT | FD_CONNECT | FD_CLOSE,
                                 "127.0.0.1"));
    ASSERT_EQ(1, listener.Listen());
    ASSERT_EQ(1, SendMessageA(hwnd, WM_SOCKET_ADD_MAP, 0, reinterpret_cast<LPARAM>(&listener)));
    CString address;
    UINT port = 0;
    ASSERT_EQ(1, listener.GetSockName(address, port));

    Endpoint client;
    client.answer = "hello";
    client.expected = "world";
    client.closeAfterAnswer = true;
    ASSERT_EQ(1, client.Create(hwnd));
    ASSERT_EQ(1, SendMessageA(hwnd, WM_SOCKET_ADD_MAP, 0, reinterpret_cast<LPARAM>(&client)));
    EXPECT_EQ(0, client.Connect("127.0.0.1", port));
    ASSERT_EQ(WSAEWOULDBLOCK, WSAGetLastError());

    ASSERT_TRUE(talven_test::PumpUntil([&] { return client.closed && server.closed; }))
        << "client: connected " << client.connected << ", got '" << client.received
        << "', closed " << client.closed << "; server: got '" << server.received << "', closed "
        << server.closed;
    EXPECT_TRUE(client.connected);
    EXPECT_EQ("hello", server.received);
    EXPECT_EQ("world", client.received);
    EXPECT_EQ(0, server.lastError);  // an orderly close, not a reset
    EXPECT_EQ(INVALID_SOCKET, client.m_hSocket);
    EXPECT_EQ(INVALID_SOCKET, server.m_hSocket);

    SendMessageA(hwnd, WM_SOCKET_REMOVE_MAP, 0, reinterpret_cast<LPARAM>(&listener));
}

}  // namespace
