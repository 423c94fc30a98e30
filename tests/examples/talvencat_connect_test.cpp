// talvencat's connect options run as a process: --connect-timeout against a peer that never
// answers, --reconnect until a server appears, and a name that does not resolve.
#include <gtest/gtest.h>

#include <string>
#include <thread>

#include "examples/process_support.h"

#ifdef TALVENCAT_PATH

using namespace talven_test;

namespace {

TEST(TalvencatConnect, TimeoutAndUnresolvableNameEndTheRunWithOneLine) {
    WinSockSession winsock;
    ASSERT_TRUE(winsock.ok());
    SilentPeer silent;
    ASSERT_TRUE(silent.ok());
    const std::string port = std::to_string(silent.port());
    Scratch scratch;
    const Outcome timedOut = RunCat(scratch, "timeout", "--connect-timeout 1 127.0.0.1 " + port, "");
    EXPECT_EQ(timedOut.status, 1);
    EXPECT_EQ(timedOut.err, "talvencat: connect 127.0.0.1:" + port + ": WSAETIMEDOUT: Connection timed out\n");
    // The lookup's error comes back as the connect's.
    const Outcome unresolved = RunCat(scratch, "name", "no..such " + port, "");
    EXPECT_EQ(unresolved.status, 1);
    EXPECT_EQ(unresolved.err.rfind("talvencat: connect no..such:" + port + ": WSA", 0), 0u) << unresolved.err;
}

TEST(TalvencatConnect, ReconnectTriesUntilTheServerIsThere) {
    WinSockSession winsock;
    ASSERT_TRUE(winsock.ok());
    UINT port = 0;
    winsock::closesocket(ListenLoopback(port));  // nothing listens there yet
    Scratch scratch;
    Outcome client;
    std::thread run([&] {
        client = RunCat(scratch, "client", "--reconnect 127.0.0.1 " + std::to_string(port), "one\ntwo\n");
    });
    const std::string refused = "talvencat: connect 127.0.0.1:" + std::to_string(port) +
                                ": WSAECONNREFUSED: Connection refused; trying again\n";
    const bool retried = PollUntil([&] { return Slurp(scratch / "client.err").find(refused) != std::string::npos; });
    // The server comes: it reads the client's packets until the client's end of input.
    SOCKET listener = INVALID_SOCKET;
    std::string got;
    if (retried) {
        listener = winsock::socket(AF_INET, SOCK_STREAM, 0);
        winsock::sockaddr_in addr;
        std::memset(&addr, 0, sizeof addr);
        addr.sin_family = AF_INET;
        addr.sin_port = winsock::htons(static_cast<winsock::u_short>(port));
        addr.sin_addr.s_addr = winsock::htonl(INADDR_LOOPBACK);
        EXPECT_NE(winsock::bind(listener, reinterpret_cast<winsock::sockaddr*>(&addr), sizeof addr), SOCKET_ERROR);
        EXPECT_NE(winsock::listen(listener, 4), SOCKET_ERROR);
        const SOCKET peer = winsock::accept(listener, nullptr, nullptr);
        char buf[256];
        int n;
        while ((n = winsock::recv(peer, buf, sizeof buf, 0)) > 0) {
            got.append(buf, static_cast<std::size_t>(n));
        }
        winsock::closesocket(peer);
    }
    run.join();
    if (listener != INVALID_SOCKET) winsock::closesocket(listener);
    ASSERT_TRUE(retried) << client.err;
    EXPECT_EQ(got, Frame("one") + Frame("two"));
    EXPECT_EQ(client.status, 0) << client.err;
    EXPECT_NE(client.err.find("talvencat: connected to 127.0.0.1:"), std::string::npos) << client.err;
}

}  // namespace

#endif  // TALVENCAT_PATH
