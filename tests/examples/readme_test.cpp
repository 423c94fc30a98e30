// The README's example programs, extracted from README.md at build time, run as their readers
// would run them; and a burst of simultaneous connects against every listening example.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "examples/process_support.h"

#if defined(TALVEN_README_DIR) && defined(TALVENCAT_PATH)

using namespace talven_test;

namespace {

// What a program printed, its lines ended by "\n": the C runtime's text-mode standard output
// writes "\n" as CR LF on Windows (Microsoft's C runtime reference, "Text and binary mode file
// I/O").
std::string Printed(const std::string& out) {
    std::string text;
    for (std::size_t i = 0; i < out.size(); ++i) {
        if (!(out[i] == '\r' && i + 1 < out.size() && out[i + 1] == '\n')) {
            text += out[i];
        }
    }
    return text;
}

// An empty directory (Windows): the program beside the test program.
std::string ReadmeProgram(const std::string& name) {
    const std::string dir = TALVEN_README_DIR;
    return dir.empty() ? name : dir + "/" + name;
}

TEST(Readme, ServerRecipeReceivesAPacketAndTheClientGetsItsReply) {
    WinSockSession winsock;
    ASSERT_TRUE(winsock.ok());
    Scratch scratch;
    BackgroundServer server(ReadmeProgram("readme_server"), scratch, "0");
    ASSERT_NE(server.port(), 0u) << "the README's server did not report its port";

    // A connection accepted from its listener receives (and answers) a packet.
    RawClient peer(server.port());
    ASSERT_TRUE(peer.ok());
    const std::string frame = Frame(Pattern(3000, 7));
    ASSERT_TRUE(peer.SendAll(frame));
    EXPECT_TRUE(peer.Receive(frame.size()) == frame) << "no echo from the README's server";

    const Outcome client =
        RunProgram(ReadmeProgram("readme_client"), scratch, "client", "127.0.0.1 " + std::to_string(server.port()), "");
    EXPECT_EQ(client.status, 0) << client.err;
    EXPECT_EQ(Printed(client.out), "received 5 bytes: hello\n");
}

TEST(Readme, SelfContainedProgramsRunToSuccess) {
    const struct {
        const char* program;
        const char* out;
    } cases[] = {
        {"readme_startup", ""},
        {"readme_pair", "received 5 bytes: hello\n"},
        {"readme_c", "server received 5 bytes: hello\nclient received 7 bytes: welcome\nserver saw the close\n"},
        {"readme_connect", "connect: 0\nclosed; reconnecting: yes\nconnect: 0\nserver got: sent while away\n"},
    };
    Scratch scratch;
    for (const auto& c : cases) {
        const Outcome outcome = RunProgram(ReadmeProgram(c.program), scratch, c.program, "", "");
        EXPECT_EQ(outcome.status, 0) << c.program << ": " << outcome.err;
        EXPECT_EQ(Printed(outcome.out), c.out) << c.program;
    }
}

// 500 connects at once, each then sending a packet and waiting for its echo: all of them are
// accepted and served, within a watchdog of 60 s. With a backlog of 5 the system drops most
// of the burst's connects, which retry only after one second, then three, then seven.
void ExpectBurstServed(UINT port) {
    constexpr int kConnects = 500;
    struct Peer {
        SOCKET s = INVALID_SOCKET;
        std::string frame;
        std::size_t sent = 0;
        std::string echo;
    };
    std::vector<Peer> peers(kConnects);
    winsock::sockaddr_in to;
    std::memset(&to, 0, sizeof to);
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = winsock::htonl(INADDR_LOOPBACK);
    to.sin_port = winsock::htons(static_cast<winsock::u_short>(port));
    for (int i = 0; i < kConnects; ++i) {
        Peer& peer = peers[static_cast<std::size_t>(i)];
        peer.s = winsock::socket(AF_INET, SOCK_STREAM, 0);
        ASSERT_NE(peer.s, INVALID_SOCKET);
        winsock::u_long on = 1;
        winsock::ioctlsocket(peer.s, FIONBIO, &on);
        const int r = winsock::connect(peer.s, reinterpret_cast<winsock::sockaddr*>(&to), sizeof to);
        ASSERT_TRUE(r == 0 || WSAGetLastError() == WSAEWOULDBLOCK) << WSAGetLastError();
        peer.frame = Frame("connect " + std::to_string(i));
    }
    int served = 0;
    PollUntil(
        [&] {
            served = 0;
            for (Peer& peer : peers) {
                if (peer.sent < peer.frame.size()) {
                    const int n = winsock::send(peer.s, peer.frame.data() + peer.sent,
                                                static_cast<int>(peer.frame.size() - peer.sent), 0);
                    peer.sent += n > 0 ? static_cast<std::size_t>(n) : 0;  // else not connected yet
                }
                char buf[64];
                const int got = winsock::recv(peer.s, buf, sizeof buf, 0);
                if (got > 0) {
                    peer.echo.append(buf, static_cast<std::size_t>(got));
                }
                served += peer.echo == peer.frame ? 1 : 0;
            }
            return served == kConnects;
        },
        60);
    EXPECT_EQ(served, kConnects) << "connects of the burst not served";
    for (Peer& peer : peers) {
        winsock::closesocket(peer.s);
    }
}

TEST(Readme, BurstOf500SimultaneousConnectsIsServedByEveryListeningExample) {
    WinSockSession winsock;
    ASSERT_TRUE(winsock.ok());
    const struct {
        std::string program;
        std::string args;
    } servers[] = {
        {ReadmeProgram("readme_server"), "0"},
        {TALVENCAT_PATH, "-l --echo 127.0.0.1 0"},
    };
    for (const auto& s : servers) {
        SCOPED_TRACE(s.program);
        Scratch scratch;
        BackgroundServer server(s.program, scratch, s.args);
        ASSERT_NE(server.port(), 0u);
        ExpectBurstServed(server.port());
    }
}

}  // namespace

#endif  // TALVEN_README_DIR && TALVENCAT_PATH
