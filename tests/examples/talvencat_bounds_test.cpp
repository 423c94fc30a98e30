// What a listening talvencat spends on a client that misbehaves, and what a client that behaves
// gets: flow control of an echo, the send-queue limit of a broadcast, a half-close answered in
// full, the drain and idle timeouts.
#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "examples/process_support.h"
#include "support/test_system.h"

#ifdef TALVENCAT_PATH

using namespace talven_test;

namespace {

constexpr std::size_t kMiB = 1u << 20;

// The number after `label` in `text`, or 0.
unsigned long long NumberAfter(const std::string& text, const std::string& label) {
    const std::size_t at = text.find(label);
    return at == std::string::npos ? 0 : std::stoull(text.substr(at + label.size()));
}

UINT LocalPort(SOCKET s) {
    winsock::sockaddr_in local;
    int len = sizeof local;
    winsock::getsockname(s, reinterpret_cast<winsock::sockaddr*>(&local), &len);
    return winsock::ntohs(local.sin_port);
}

// The peer's answer to a client that has shut down its sending side: orderly end, or reset.
struct Answer {
    std::string bytes;
    int end = -1;  // 0: an orderly end; else the WinSock error of a reset
};

// Sends `request`, shuts down sending, waits until `readWhen()` holds (or waitSeconds) and reads the
// answer. receiveBuffer: see RawClient.
Answer HalfCloseAndRead(UINT port, const std::string& request, const std::function<bool()>& readWhen,
                        int receiveBuffer = 0, int waitSeconds = 30) {
    RawClient client(port, 30, receiveBuffer);
    std::thread writer([&] {
        client.SendAll(request);
        client.ShutDownSending();
    });
    PollUntil(readWhen, waitSeconds);
    Answer answer;
    answer.end = client.ReadToEnd(&answer.bytes);
    writer.join();
    return answer;
}

TEST(TalvencatBounds, EchoStopsReadingFromAClientThatDoesNotReadAndLosesNothing) {
    WinSockSession winsock;
    ASSERT_TRUE(winsock.ok());
    Scratch scratch;
    CatServer server(scratch, "--echo --stats");
    ASSERT_NE(server.port(), 0u);

    // 50 MB in frames of 16,000 bytes, each frame's bytes its own.
    const std::size_t payload = 16000;
    const std::size_t frames = 50000000 / (payload + 4);
    std::string stream;
    for (std::size_t i = 0; i < frames; ++i) {
        stream += Frame(Pattern(payload, static_cast<unsigned>(i)));
    }
    RawClient client(server.port());
    ASSERT_TRUE(client.ok());

    // Send without reading until the server's flow control has stopped the stream: nothing is
    // taken for a whole second.
    std::size_t sent = 0;
    auto lastProgress = std::chrono::steady_clock::now();
    while (sent < stream.size() && std::chrono::steady_clock::now() - lastProgress < std::chrono::seconds(1)) {
        const int n = winsock::send(client.socket(), stream.data() + sent, static_cast<int>(stream.size() - sent), 0);
        if (n > 0) {
            sent += static_cast<std::size_t>(n);
            lastProgress = std::chrono::steady_clock::now();
        } else {
            ASSERT_EQ(WSAGetLastError(), WSAEWOULDBLOCK);
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    }
    EXPECT_LT(sent, stream.size()) << "the server took all 50 MB from a client that read nothing";

    // Now read everything while sending the rest: every echo comes back intact, in order.
    std::string echoed;
    std::vector<char> buf(1 << 16);
    ASSERT_TRUE(PollUntil(
        [&] {
            for (;;) {
                const int got = winsock::recv(client.socket(), buf.data(), static_cast<int>(buf.size()), 0);
                if (got <= 0) {
                    break;
                }
                echoed.append(buf.data(), static_cast<std::size_t>(got));
            }
            if (sent < stream.size()) {
                const int n =
                    winsock::send(client.socket(), stream.data() + sent, static_cast<int>(stream.size() - sent), 0);
                sent += n > 0 ? static_cast<std::size_t>(n) : 0;
            }
            return echoed.size() >= stream.size();
        },
        120));
    EXPECT_TRUE(echoed == stream) << "the echoes differ from what was sent";
    client.Close();

    // The server's own account, at the close: its send queue to this client never passed the
    // high-water mark, a quarter of the default --max-queue.
    ASSERT_TRUE(PollUntil([&] { return server.err().find("talvencat: stats ") != std::string::npos; }));
    const std::string err = server.err();
    EXPECT_EQ(NumberAfter(err, ": received "), frames) << err;
    const unsigned long long largest = NumberAfter(err, "largest send queue ");
    EXPECT_GT(largest, 0u) << err;
    EXPECT_LE(largest, kMiB) << err;
    EXPECT_GT(NumberAfter(err, "reading paused "), 0u) << err;
}

TEST(TalvencatBounds, HalfClosingClientGetsEveryEchoBeforeAnOrderlyEnd) {
    WinSockSession winsock;
    ASSERT_TRUE(winsock.ok());
    Scratch scratch;
    CatServer server(scratch, "--echo");
    ASSERT_NE(server.port(), 0u);
    std::string request;
    for (unsigned i = 0; i < 20; ++i) {
        request += Frame(Pattern(kMiB, i));
    }
    const Answer answer = HalfCloseAndRead(server.port(), request, [] { return true; });
    EXPECT_EQ(answer.end, 0) << "the answer ended with a reset";
    EXPECT_EQ(answer.bytes.size(), request.size());
    EXPECT_TRUE(answer.bytes == request) << "the echoes differ from the 20 packets sent";
}

TEST(TalvencatBounds, HalfClosedClientThatDoesNotReadIsResetAfterTheDrainTimeout) {
    WinSockSession winsock;
    ASSERT_TRUE(winsock.ok());
    Scratch scratch;
    CatServer server(scratch, "--drain-timeout 1 --max-queue 64000000", true);
    ASSERT_NE(server.port(), 0u);
    RawClient client(server.port(), 30, 8192);  // reads nothing until the server has given up
    ASSERT_TRUE(client.ok());
    ASSERT_TRUE(PollUntil([&] { return server.err().find("talvencat: accepted") != std::string::npos; }));
    // 8 MB of lines for the client: more than TCP's buffers take while it reads nothing (its
    // receive buffer is small), so most wait in the server's queue when the client then shuts
    // down its sending side. The server drains for a second, then resets; what the client then
    // reads must not end as if whole.
    std::string lines;
    std::string expected;
    for (int i = 0; i < 8000; ++i) {
        const std::string line = std::to_string(i) + ":" + std::string(1000, static_cast<char>('a' + i % 26));
        lines += line + "\n";
        expected += Frame(line);
    }
    server.Input(lines);  // returns once talvencat has read it all
    client.ShutDownSending();
    const auto gaveUp = [&] { return server.err().find(": WSAETIMEDOUT: ") != std::string::npos; };
    ASSERT_TRUE(PollUntil(gaveUp, 30)) << server.err();
    std::string got;
    const int end = client.ReadToEnd(&got);
    EXPECT_LT(got.size(), expected.size());
    if (ExpectDocumented(kWineResetRecv)) {
        EXPECT_EQ(end, WSAECONNRESET) << "a cut stream ended in an orderly close";
    }
    EXPECT_TRUE(got == expected.substr(0, got.size())) << "what came before the reset is garbled";
}

TEST(TalvencatBounds, BroadcastDisconnectsAClientPastMaxQueueAndSkipsNoOther) {
    WinSockSession winsock;
    ASSERT_TRUE(winsock.ok());
    Scratch scratch;
    CatServer server(scratch, "--max-queue 8000000", true);
    ASSERT_NE(server.port(), 0u);

    RawClient stuck(server.port(), 30, 8192);  // never reads
    RawClient reader(server.port());
    ASSERT_TRUE(stuck.ok() && reader.ok());
    ASSERT_TRUE(PollUntil([&] {
        const std::string err = server.err();
        const std::size_t first = err.find("talvencat: accepted");
        return first != std::string::npos && err.find("talvencat: accepted", first + 1) != std::string::npos;
    }));

    // 20 MB of lines: more than the stuck client's queue limit and TCP's buffers (at most 4 MiB
    // on the server's side) hold, and a lead that the reading client never comes near.
    std::string lines;
    std::string expected;
    for (int i = 0; i < 20000; ++i) {
        const std::string line = std::to_string(i) + ":" + std::string(1000, static_cast<char>('a' + i % 26));
        lines += line + "\n";
        expected += Frame(line);
    }
    std::thread input([&] { server.Input(lines); });
    const std::string got = reader.Receive(expected.size());
    input.join();
    EXPECT_TRUE(got == expected) << "the reading client missed or garbled lines (" << got.size() << " of "
                                 << expected.size() << " bytes)";
    const std::string line = "talvencat: disconnected 127.0.0.1:" + std::to_string(LocalPort(stuck.socket())) +
                             ": more than 8000000 bytes would wait to be sent to it (--max-queue)\n";
    EXPECT_TRUE(PollUntil([&] { return server.err().find(line) != std::string::npos; })) << server.err();
    EXPECT_EQ(server.err().find("disconnected 127.0.0.1:" + std::to_string(LocalPort(reader.socket()))),
              std::string::npos);
}

TEST(TalvencatBounds, ConnectingTalvencatStopsReadingInputWhileItsServerDoesNot) {
    WinSockSession winsock;
    ASSERT_TRUE(winsock.ok());
    UINT port = 0;
    const SOCKET listener = ListenLoopback(port);
    ASSERT_NE(listener, INVALID_SOCKET);
    // 20 MB of input; the server reads nothing for a second, then everything, and closes at
    // the end of the stream.
    std::string input;
    std::string expected;
    for (int i = 0; i < 20000; ++i) {
        const std::string line = std::to_string(i) + ":" + std::string(1000, 'x');
        input += line + "\n";
        expected += Frame(line);
    }
    std::string got;
    int end = -1;
    std::thread server([&] {
        const SOCKET peer = winsock::accept(listener, nullptr, nullptr);
        std::this_thread::sleep_for(std::chrono::seconds(1));
        char buf[65536];
        for (int n; (n = winsock::recv(peer, buf, sizeof buf, 0)) > 0;) {
            got.append(buf, static_cast<std::size_t>(n));
        }
        end = 0;
        winsock::closesocket(peer);
    });
    Scratch scratch;
    const Outcome client = RunCat(scratch, "client", "-q --stats 127.0.0.1 " + std::to_string(port), input);
    server.join();
    winsock::closesocket(listener);
    EXPECT_EQ(client.status, 0) << client.err;
    EXPECT_EQ(end, 0);
    EXPECT_TRUE(got == expected) << got.size() << " of " << expected.size() << " bytes";
    // Its queue never held much more than the 1 MiB at which it stops reading standard input.
    const unsigned long long largest = NumberAfter(client.err, "largest send queue ");
    EXPECT_GT(largest, 0u) << client.err;
    EXPECT_LE(largest, kMiB + 1100) << client.err;
}

TEST(TalvencatBounds, IdleTimeoutDisconnectsOnlyTheClientThatSendsNothing) {
    WinSockSession winsock;
    ASSERT_TRUE(winsock.ok());
    Scratch scratch;
    CatServer server(scratch, "--echo --idle-timeout 2");
    ASSERT_NE(server.port(), 0u);

    // One client parks a frame one byte short; the other sends a packet every 50 ms.
    RawClient idle(server.port());
    RawClient busy(server.port());
    ASSERT_TRUE(idle.ok() && busy.ok());
    ASSERT_TRUE(idle.SendAll(Frame("parked").substr(0, 9)));
    std::atomic<bool> idleEnded(false);
    std::thread watcher([&] {
        idle.ReadToEnd();
        idleEnded = true;
    });
    bool busyAnswered = true;
    for (int i = 0; !idleEnded && i < 400; ++i) {  // a watchdog of 20 s
        const std::string ping = Frame("ping " + std::to_string(i));
        busyAnswered = busyAnswered && busy.SendAll(ping) && busy.Receive(ping.size()) == ping;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    watcher.join();
    EXPECT_TRUE(idleEnded);
    const std::string ping = Frame("still here");
    EXPECT_TRUE(busyAnswered && busy.SendAll(ping) && busy.Receive(ping.size()) == ping)
        << "the busy client was disconnected too";
    EXPECT_NE(server.err().find(": nothing received for 2 s (--idle-timeout)\n"), std::string::npos) << server.err();
}

}  // namespace

#endif  // TALVENCAT_PATH
