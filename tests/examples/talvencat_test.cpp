// talvencat run as a process, the way its users run it: exit statuses, what reaches standard
// output and standard error, and two talvencats talking to each other over loopback.
#include <gtest/gtest.h>

#include <string>
#include <thread>

#include "examples/process_support.h"

#ifdef TALVENCAT_PATH

namespace fs = std::filesystem;
using namespace talven_test;

namespace {

TEST(Talvencat, EchoServerReturnsEachClientsOwnLines) {
    Scratch scratch;
    CatServer server(scratch, "--echo");
    ASSERT_NE(server.port(), 0) << "the listening talvencat did not report its port";
    const std::string target = " 127.0.0.1 " + std::to_string(server.port());

    // Two clients at once; each gets back exactly its own lines, and exits 0 when the server
    // closes after their end of input.
    Outcome second;
    std::thread other([&] { second = RunCat(scratch, "second", "-q" + target, "second 1\nsecond 2\n"); });
    const Outcome first = RunCat(scratch, "first", target, "hello\nworld of packets\n");
    other.join();

    EXPECT_EQ(first.status, 0) << first.err;
    EXPECT_EQ(first.out, "hello\nworld of packets\n");
    EXPECT_NE(first.err.find("talvencat: connected to 127.0.0.1:"), std::string::npos) << first.err;
    EXPECT_EQ(second.status, 0) << second.err;
    EXPECT_EQ(second.out, "second 1\nsecond 2\n");
    EXPECT_EQ(second.err, "") << "-q must keep standard error free of events";
}

TEST(Talvencat, PureModeCarriesRawBytesBothWays) {
    Scratch scratch;
    CatServer server(scratch, "--echo --pure");
    ASSERT_NE(server.port(), 0);
    const Outcome client =
        RunCat(scratch, "client", "--pure -q 127.0.0.1 " + std::to_string(server.port()), "one\ntwo three\n");
    EXPECT_EQ(client.status, 0) << client.err;
    EXPECT_EQ(client.out, "one\ntwo three\n");
    EXPECT_TRUE(WaitForContent(server.out(), "one\ntwo three\n")) << Slurp(server.out());
}

TEST(Talvencat, HexWritesEachPacketAsOneLineOfHexBytes) {
    Scratch scratch;
    CatServer server(scratch, "--hex");
    ASSERT_NE(server.port(), 0);
    const Outcome client = RunCat(scratch, "client", "-q 127.0.0.1 " + std::to_string(server.port()),
                                  std::string("hi\nA\x01\xff\n", 7));
    EXPECT_TRUE(WaitForContent(server.out(), "68 69\n41 01 ff\n")) << Slurp(server.out());
    EXPECT_EQ(client.status, 0) << client.err;
}

TEST(Talvencat, FailuresPrintOneLineWithTheWinSockErrorAndExit1) {
    WinSockSession winsock;
    ASSERT_TRUE(winsock.ok());
    UINT busyPort = 0;
    const SOCKET busy = ListenLoopback(busyPort);
    UINT freePort = 0;
    winsock::closesocket(ListenLoopback(freePort));  // nothing listens there now
    ASSERT_NE(busy, INVALID_SOCKET);

    const std::string busyText = std::to_string(busyPort);
    const std::string freeText = std::to_string(freePort);
    const struct {
        std::string args;
        int status;
        std::string err;
    } cases[] = {
        {"127.0.0.1 " + freeText, 1,
         "talvencat: connect 127.0.0.1:" + freeText + ": WSAECONNREFUSED: Connection refused\n"},
        {"-l 127.0.0.1 " + busyText, 1,
         "talvencat: listen 127.0.0.1:" + busyText + ": WSAEADDRINUSE: Address already in use\n"},
        {"--max-packet 0 127.0.0.1 " + freeText, 2,
         "talvencat: --max-packet needs a number from 1 to 2147482620\nTry 'talvencat --help'.\n"},
    };
    Scratch scratch;
    for (const auto& c : cases) {
        const Outcome outcome = RunCat(scratch, "case", c.args, "");
        EXPECT_EQ(outcome.status, c.status) << c.args;
        EXPECT_EQ(outcome.err, c.err) << c.args;
        EXPECT_EQ(outcome.out, "") << c.args;
    }
    winsock::closesocket(busy);
}

TEST(Talvencat, PacketAboveTheReceiveBoundEndsTheRunWithTheLengthItRead) {
    Scratch scratch;
    CatServer server(scratch, "--echo");
    ASSERT_NE(server.port(), 0);
    const std::string target = "127.0.0.1:" + std::to_string(server.port());
    // The echo of "abc" is a 3-byte packet, above this client's bound of 2.
    const Outcome client =
        RunCat(scratch, "client", "-q --max-packet 2 127.0.0.1 " + std::to_string(server.port()), "ab\nabc\n");
    EXPECT_EQ(client.status, 1);
    EXPECT_EQ(client.out, "ab\n");
    EXPECT_EQ(client.err, "talvencat: connection " + target +
                              ": WSAEMSGSIZE: Message too long (a length field of 3 bytes, above --max-packet 2; "
                              "if the peer sends text, try --pure)\n");
}

TEST(Talvencat, FramedClientOfATextServerIsToldToTryPure) {
    WinSockSession winsock;
    ASSERT_TRUE(winsock.ok());
    UINT port = 0;
    const SOCKET listener = ListenLoopback(port);
    ASSERT_NE(listener, INVALID_SOCKET);
    // A server that greets in text: "hell" of "hello" reads as a length field of 1751477356.
    std::thread greeter([listener] {
        const SOCKET peer = winsock::accept(listener, nullptr, nullptr);
        const char text[] = "hello, this is text\n";
        winsock::send(peer, text, sizeof text - 1, 0);
        char byte;
        while (winsock::recv(peer, &byte, 1, 0) > 0) {
        }
        winsock::closesocket(peer);
    });
    Scratch scratch;
    const Outcome client = RunCat(scratch, "client", "-q 127.0.0.1 " + std::to_string(port), "");
    greeter.join();
    winsock::closesocket(listener);
    EXPECT_EQ(client.status, 1);
    EXPECT_EQ(client.err, "talvencat: connection 127.0.0.1:" + std::to_string(port) +
                              ": WSAEMSGSIZE: Message too long (a length field of 1751477356 bytes, above "
                              "--max-packet 1048576; if the peer sends text, try --pure)\n");
}

TEST(Talvencat, LogOptionAppendsEventsToTheDailyLog) {
    WinSockSession winsock;
    ASSERT_TRUE(winsock.ok());
    UINT freePort = 0;
    winsock::closesocket(ListenLoopback(freePort));
    Scratch scratch;
    const Outcome outcome = RunCat(scratch, "log", "--log -q 127.0.0.1 " + std::to_string(freePort), "");
    EXPECT_EQ(outcome.status, 1);

    std::string log;
    for (const auto& entry : fs::directory_iterator(scratch.path())) {
        const std::string name = entry.path().filename().string();
        if (name.rfind("Socket", 0) == 0 && entry.path().extension() == ".log") {
            log = Slurp(entry.path());
        }
    }
    const std::string line = "] talvencat: connect 127.0.0.1:" + std::to_string(freePort) +
                             ": WSAECONNREFUSED: Connection refused\r\n";
    EXPECT_NE(log.find(line), std::string::npos) << "log: " << log;
}

TEST(Talvencat, HelpIsTheUsageShownInTheReadme) {
    Scratch scratch;
    const Outcome help = RunCat(scratch, "help", "--help", "");
    EXPECT_EQ(help.status, 0);
    ASSERT_NE(help.out.find("Usage: talvencat"), std::string::npos);
    const std::string readme = Slurp(fs::path(TALVEN_SOURCE_DIR) / "README.md");
    EXPECT_NE(readme.find(help.out), std::string::npos) << "README.md does not show `talvencat --help` verbatim";
}

}  // namespace

#endif  // TALVENCAT_PATH
