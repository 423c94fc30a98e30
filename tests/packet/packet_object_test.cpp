// The packet socket object: notification target, event handlers, close order, member id,
// Connect.
#include <gtest/gtest.h>

#include "packet_test_util.h"

using packet_test::Codes;
using packet_test::ConnectedProbe;
using packet_test::DrainQueue;
using packet_test::kAppMsg;
using packet_test::ProbeSocket;
using talven_test::RecordingWindow;
using talven_test::WinSockSession;

namespace {

TEST(PacketSocketObject, StartsEmpty) {
    ProbeSocket sock;
    EXPECT_EQ(INVALID_SOCKET, sock.m_hSocket);
    EXPECT_STREQ("", sock.GetMemberId());
    EXPECT_EQ(0, sock.IsMemberSocket(""));
    EXPECT_EQ(0, sock.GetErrorCode());
    EXPECT_EQ(1024u, sock.m_nRecvBufSize);
    EXPECT_EQ(0u, sock.m_nRecvLen);
    EXPECT_EQ(0u, sock.m_nPacketLen);
    EXPECT_EQ(std::string(1024, '\0'), std::string(sock.m_pRecvBuf, 1024));
    EXPECT_EQ(TP_DEFAULT_MAX_PACKET_LEN, sock.GetMaxPacketLen());
}

TEST(PacketSocketObject, SetNotifyHandleRefusesBadTargetsAndKeepsTheEarlierOne) {
    RecordingWindow wnd;
    RecordingWindow dead;
    const HWND deadHwnd = dead.hwnd();
    DestroyWindow(deadHwnd);

    ProbeSocket sock;
    EXPECT_EQ(0, sock.SetNotifyHandle(nullptr, WM_USER));
    EXPECT_EQ(nullptr, sock.m_hAppWnd);
    EXPECT_EQ(1, sock.SetNotifyHandle(wnd.hwnd(), WM_USER));
    EXPECT_EQ(0, sock.SetNotifyHandle(wnd.hwnd(), WM_USER - 1));
    EXPECT_EQ(0, sock.SetNotifyHandle(deadHwnd, kAppMsg));
    EXPECT_EQ(0, sock.SetNotifyHandle(nullptr, kAppMsg));
    EXPECT_EQ(wnd.hwnd(), sock.m_hAppWnd);
    EXPECT_EQ(static_cast<UINT>(WM_USER), sock.m_nAppMsg);
}

TEST(PacketSocketObject, EventHandlersStoreTheErrorAndPostTheirCodeWithTheObject) {
    struct Case {
        void (CQmtpSocket::*handler)(int);
        WPARAM code;
        int error;
    };
    const Case cases[] = {
        {&CQmtpSocket::OnConnect, TP_NOTIFY_CONNECT, 10061},
        {&CQmtpSocket::OnConnect, TP_NOTIFY_CONNECT, 0},
        {&CQmtpSocket::OnAccept, TP_NOTIFY_ACCEPT, 10053},
        {&CQmtpSocket::OnOutOfBandData, TP_NOTIFY_OOB, 10054},
    };
    RecordingWindow wnd;
    ProbeSocket sock;
    ASSERT_EQ(1, sock.SetNotifyHandle(wnd.hwnd(), kAppMsg));
    for (const Case& c : cases) {
        SCOPED_TRACE(c.code);
        wnd.clear();
        (sock.*c.handler)(c.error);
        DrainQueue();
        ASSERT_EQ(1u, wnd.with(kAppMsg).size());
        EXPECT_EQ(c.code, wnd.with(kAppMsg)[0].wParam);
        EXPECT_EQ(reinterpret_cast<LPARAM>(&sock), wnd.with(kAppMsg)[0].lParam);
        EXPECT_EQ(c.error, sock.GetErrorCode());
    }
}

TEST(PacketSocketObject, OnCloseUnregistersWhileTheHandleIsHeldThenClosesThenNotifies) {
    ConnectedProbe c;
    ASSERT_TRUE(c.ok);
    // A packet that cannot go out stays queued across the close.
    winsock::seam::ScriptSend(c.sock.m_hSocket, {winsock::seam::WouldBlock()});
    char payload[] = "queued";
    ASSERT_GT(c.sock.Send(payload, 6), 0);

    bool sawRemove = false;
    SOCKET handleAtRemove = INVALID_SOCKET;
    c.wnd.onMessage = [&](const MSG& m) {
        if (m.message == 0x0828) {
            sawRemove = true;
            EXPECT_EQ(reinterpret_cast<LPARAM>(&c.sock), m.lParam);
            handleAtRemove = c.sock.m_hSocket;
            // Not closed yet, and nothing posted yet.
            EXPECT_EQ(0, c.sock.closeCalls);
        }
    };
    const SOCKET handle = c.sock.m_hSocket;
    c.sock.OnClose(10054);
    EXPECT_TRUE(sawRemove);
    EXPECT_EQ(handle, handleAtRemove);
    EXPECT_EQ(1, c.sock.closeCalls);
    EXPECT_EQ(INVALID_SOCKET, c.sock.m_hSocket);
    EXPECT_EQ(10054, c.sock.GetErrorCode());
    DrainQueue();
    EXPECT_EQ(std::vector<WPARAM>{TP_NOTIFY_CLOSE}, Codes(c.wnd));
    EXPECT_EQ(1, c.sock.m_SendList.GetCount());
    c.wnd.onMessage = nullptr;
}

TEST(PacketSocketObject, MemberIdComparesExactly) {
    ProbeSocket sock;
    sock.SetMemberId("abc");
    EXPECT_STREQ("abc", sock.GetMemberId());
    const struct {
        const char* id;
        int expected;
    } cases[] = {{"abc", 1}, {"ABC", 0}, {"ab", 0}, {"abc ", 0}, {"abcd", 0}, {"", 0}};
    for (const auto& c : cases) {
        EXPECT_EQ(c.expected, sock.IsMemberSocket(c.id)) << '"' << c.id << '"';
    }
    sock.SetMemberId("");
    EXPECT_EQ(0, sock.IsMemberSocket(""));
}

TEST(PacketSocketObject, MemberIdLongerThan23CharactersIsCutAndNothingBehindIsWritten) {
    ProbeSocket sock;
    const std::string exact(23, 'x');
    sock.SetMemberId(exact.c_str());
    EXPECT_EQ(exact, sock.GetMemberId());

    const std::string longId = "0123456789abcdefghijklmnopqrstuvwxyz0123456789";
    sock.SetMemberId(longId.c_str());
    EXPECT_EQ(longId.substr(0, 23), sock.GetMemberId());
    EXPECT_EQ(1, sock.IsMemberSocket(longId.substr(0, 23).c_str()));
    EXPECT_EQ(0, sock.IsMemberSocket(longId.c_str()));
    // The list behind the field is intact and usable.
    EXPECT_TRUE(sock.m_SendList.IsEmpty());
    sock.m_SendList.AddTail(nullptr);
    EXPECT_EQ(1, sock.m_SendList.GetCount());
    sock.m_SendList.RemoveHead();
}

TEST(PacketSocketObject, ConnectWithoutHostFailsWhateverTheThreadsLastErrorWas) {
    WinSockSession ws;
    ProbeSocket sock;
    g_strTpSocketError = "before";
    WSASetLastError(WSAEWOULDBLOCK);
    EXPECT_EQ(0, sock.Connect(nullptr, 80));
    WSASetLastError(0);
    EXPECT_EQ(0, sock.Connect(nullptr, 80));
    EXPECT_EQ(CString("before"), g_strTpSocketError);
}

TEST(PacketSocketObject, ConnectUnderWaySucceedsAndAFailureStoresItsText) {
    RecordingWindow wnd;
    WinSockSession ws;
    UINT port = 0;
    const SOCKET listener = talven_test::ListenLoopback(port);
    ASSERT_NE(INVALID_SOCKET, listener);

    ProbeSocket sock;
    ASSERT_EQ(1, sock.Create(wnd.hwnd()));
    g_strTpSocketError = "before";
    EXPECT_EQ(1, sock.Connect("127.0.0.1", port));
    EXPECT_EQ(CString("before"), g_strTpSocketError);

    ProbeSocket unresolved;
    ASSERT_EQ(1, unresolved.Create(wnd.hwnd()));
    winsock::seam::FailLookup("nowhere.invalid", WSAHOST_NOT_FOUND);
    EXPECT_EQ(0, unresolved.Connect("nowhere.invalid", port));
    winsock::seam::ClearAll();
    CString expected;
    QmGetWSAErrorString(WSAEINVAL, expected);
    EXPECT_EQ(expected, g_strTpSocketError);
    winsock::closesocket(listener);
}

}  // namespace
