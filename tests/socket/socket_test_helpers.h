// Helpers of the socket tests: socket objects that record every handler call, and a fixture
// with WinSock started and a notification window.
#pragma once

#include <functional>
#include <vector>

#include <gtest/gtest.h>

#include "support/test_support.h"
#include "platform/winsock/winsock_seam.h"
#include "talven.h"

namespace talven_test {

// One handler call: the FD_ event it stands for and the error it got.
struct HandlerCall {
    int event;
    int error;
    bool operator==(const HandlerCall& o) const { return event == o.event && error == o.error; }
};

class RecordingSocket : public CQmAsyncSocket {
public:
    std::vector<HandlerCall> calls;
    // Optional hook, run after a call is recorded.
    std::function<void(RecordingSocket&, const HandlerCall&)> onCall;

    int Count(int event) const {
        int n = 0;
        for (const HandlerCall& c : calls) {
            n += c.event == event ? 1 : 0;
        }
        return n;
    }

    void OnReceive(int e) override { Record(FD_READ, e); }
    void OnSend(int e) override { Record(FD_WRITE, e); }
    void OnOutOfBandData(int e) override { Record(FD_OOB, e); }
    void OnAccept(int e) override { Record(FD_ACCEPT, e); }
    void OnConnect(int e) override { Record(FD_CONNECT, e); }
    void OnClose(int e) override { Record(FD_CLOSE, e); }

private:
    void Record(int event, int error) {
        calls.push_back(HandlerCall{event, error});
        if (onCall) {
            onCall(*this, calls.back());
        }
    }
};

// A recording socket that carries a made-up handle, for dispatch tests that never touch
// WinSock. It drops the handle before the base destructor would close it.
class FakeHandleSocket : public RecordingSocket {
public:
    FakeHandleSocket(SOCKET handle, HWND notifyWnd) {
        m_hSocket = handle;
        m_hNotifyWnd = notifyWnd;
    }
    ~FakeHandleSocket() override { m_hSocket = INVALID_SOCKET; }
};

inline LPARAM AsLParam(CQmAsyncSocket* socket) {
    return reinterpret_cast<LPARAM>(socket);
}

// WinSock started and one notification window on the test's thread.
class NotifySinkTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(session_.ok());
        ASSERT_TRUE(wnd_.Create(nullptr));
    }
    void TearDown() override { winsock::seam::ClearAll(); }

    HWND hwnd() const { return wnd_.GetSafeHwnd(); }
    LRESULT Register(CQmAsyncSocket& s) {
        return SendMessageA(hwnd(), WM_SOCKET_ADD_MAP, 0, AsLParam(&s));
    }
    LRESULT Unregister(CQmAsyncSocket& s) {
        return SendMessageA(hwnd(), WM_SOCKET_REMOVE_MAP, 0, AsLParam(&s));
    }

    WinSockSession session_;
    CQmSocketNotifyWnd wnd_;
};

}  // namespace talven_test
