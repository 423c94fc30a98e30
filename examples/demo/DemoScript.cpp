#include "demo/DemoScript.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <thread>

#include "common/WinSockText.h"

namespace {

constexpr int kTextPackets = 5;
constexpr int kPings = 50;
constexpr std::size_t kBinaryBytes = 100 * 1024;
constexpr int kThreads = 4;
constexpr int kPacketsPerThread = 250;
constexpr UINT kServerMaxPacket = 256 * 1024;
constexpr int kFloodPackets = 32;          // of kServerMaxPacket bytes: 8 MiB
constexpr int kHalfClosePackets = 20;
constexpr std::size_t kHalfCloseBytes = 200 * 1000;

// Deterministic bytes covering every value, zero included.
std::string BinaryPayload(std::size_t size) {
    std::string bytes(size, '\0');
    std::uint32_t state = 0x2545F491u;
    for (char& byte : bytes) {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        byte = static_cast<char>(state & 0xFF);
    }
    return bytes;
}

// Whether the packets "t<k>:<seq>" of each of `threads` senders appear complete and in order.
bool EachThreadInOrder(const std::vector<std::string>& packets, int threads, int perThread) {
    std::vector<int> next(static_cast<std::size_t>(threads), 0);
    for (const std::string& packet : packets) {
        int thread = -1;
        int seq = -1;
        if (std::sscanf(packet.c_str(), "t%d:%d", &thread, &seq) != 2 || thread < 0 || thread >= threads ||
            seq != next[static_cast<std::size_t>(thread)]) {
            return false;
        }
        ++next[static_cast<std::size_t>(thread)];
    }
    for (int count : next) {
        if (count != perThread) {
            return false;
        }
    }
    return true;
}

}  // namespace

bool DemoScript::Run() {
    return ConnectClients() && ExchangeText() && MeasureRoundTrips() && EchoBinary() && SendEmptyPacket() &&
           SendFromThreads() && ClientHangsUp() && ServerHangsUp() && RefuseOverlongHeader() && FlowControl() &&
           HalfClose();
}

bool DemoScript::Report(bool ok, const std::string& text) {
    std::printf("  %-6s %s\n", ok ? "ok" : "FAILED", text.c_str());
    std::fflush(stdout);
    QmSocketLog("talven-demo: %s %s", ok ? "ok" : "FAILED", text.c_str());
    return ok;
}

bool DemoScript::Echo(Endpoint& client, const std::string& payload) {
    const std::size_t before = client.received.size();
    if (client.socket->SendBytes(payload.data(), static_cast<int>(payload.size())) < 0) {
        return false;
    }
    return net_.RunUntil([&] { return client.received.size() > before; });
}

bool DemoScript::ConnectClients() {
    net_.SetServerMaxPacket(kServerMaxPacket);
    alice_ = net_.Connect("alice");
    bob_ = net_.Connect("bob");
    carol_ = net_.Connect("carol");
    if (alice_ == nullptr || bob_ == nullptr || carol_ == nullptr) {
        return Report(false, "client sockets could not be made");
    }
    const bool ok = net_.RunUntil([&] {
        return alice_->connected && bob_->connected && carol_->connected && net_.ServerConnectionCount() == 3;
    });
    if (!ok) {
        const int error = alice_->connectError ? alice_->connectError
                                               : bob_->connectError ? bob_->connectError : carol_->connectError;
        return Report(false, "3 clients connect: " + WinSockErrorText(error));
    }
    return Report(true, "3 clients connected; the server accepted 3 connections");
}

bool DemoScript::ExchangeText() {
    Endpoint* clients[] = {alice_, bob_, carol_};
    std::vector<std::string> sent[3];
    for (int i = 0; i < kTextPackets; ++i) {
        for (int c = 0; c < 3; ++c) {
            const std::string text = "hello #" + std::to_string(i + 1) + " from " + clients[c]->name;
            sent[c].push_back(text);
            clients[c]->socket->SendBytes(text.data(), static_cast<int>(text.size()));
        }
    }
    const bool arrived = net_.RunUntil([&] {
        return alice_->received.size() >= kTextPackets && bob_->received.size() >= kTextPackets &&
               carol_->received.size() >= kTextPackets;
    });
    bool intact = arrived;
    for (int c = 0; c < 3 && intact; ++c) {
        intact = clients[c]->received == sent[c];
        clients[c]->received.clear();
    }
    return Report(intact, "text: " + std::to_string(3 * kTextPackets) +
                              " packets from 3 clients, each echoed to its sender intact, in order");
}

bool DemoScript::MeasureRoundTrips() {
    alice_->received.clear();
    for (int i = 0; i < kPings; ++i) {
        const std::string ping = "ping " + std::to_string(i);
        const auto start = std::chrono::steady_clock::now();
        if (!Echo(*alice_, ping) || alice_->received.back() != ping) {
            return Report(false, "round trips: ping " + std::to_string(i) + " was not answered");
        }
        const std::chrono::duration<double, std::milli> took = std::chrono::steady_clock::now() - start;
        net_.stats().roundTripsMs.push_back(took.count());
    }
    alice_->received.clear();
    return Report(true, "round trips: " + std::to_string(kPings) + " pings answered one after another");
}

bool DemoScript::EchoBinary() {
    const std::string payload = BinaryPayload(kBinaryBytes);
    bob_->received.clear();
    const bool ok = Echo(*bob_, payload) && bob_->received.size() == 1 && bob_->received[0] == payload;
    bob_->received.clear();
    return Report(ok, "binary: a " + std::to_string(kBinaryBytes) + "-byte packet echoed byte for byte");
}

bool DemoScript::SendEmptyPacket() {
    carol_->received.clear();
    const std::string after = "after the empty one";
    carol_->socket->SendBytes("", 0);
    carol_->socket->SendBytes(after.data(), static_cast<int>(after.size()));
    const bool arrived = net_.RunUntil([&] { return !carol_->received.empty() && carol_->received.back() == after; });
    // An empty packet is a bare length field of 0 on the wire. Whether the receiving socket
    // hands it out as a packet of 0 bytes or makes no packet of it, the stream must stay in
    // step: the packet behind it arrives intact.
    const std::vector<std::string>& got = carol_->received;
    const bool delivered = got.size() == 2 && got[0].empty();
    const bool ok = arrived && (delivered || got.size() == 1);
    carol_->received.clear();
    return Report(ok, delivered ? "empty packet: delivered as 0 bytes; the next one intact"
                                : "empty packet: a bare length field, no packet made of it; the next one intact");
}

bool DemoScript::SendFromThreads() {
    alice_->received.clear();
    Endpoint* serverSide = net_.ServerSideOf(*alice_);
    if (serverSide == nullptr) {
        return Report(false, "threads: the server's end of alice's connection is unknown");
    }
    serverSide->received.clear();

    std::atomic<int> failures(0);
    std::vector<std::thread> senders;
    PacketSocket* socket = alice_->socket.get();
    for (int t = 0; t < kThreads; ++t) {
        senders.emplace_back([socket, t, &failures] {
            for (int seq = 0; seq < kPacketsPerThread; ++seq) {
                const std::string packet = "t" + std::to_string(t) + ":" + std::to_string(seq);
                if (socket->SendBytes(packet.data(), static_cast<int>(packet.size())) < 0) {
                    ++failures;
                }
            }
        });
    }
    // The main thread keeps receiving while the senders run.
    const std::size_t total = static_cast<std::size_t>(kThreads) * kPacketsPerThread;
    const bool arrived = net_.RunUntil([&] { return alice_->received.size() >= total; });
    for (std::thread& sender : senders) {
        sender.join();
    }
    const bool ok = arrived && failures == 0 && EachThreadInOrder(serverSide->received, kThreads, kPacketsPerThread) &&
                    EachThreadInOrder(alice_->received, kThreads, kPacketsPerThread);
    alice_->received.clear();
    serverSide->received.clear();
    return Report(ok, "threads: " + std::to_string(kThreads) + " x " + std::to_string(kPacketsPerThread) +
                          " packets sent at once on one socket, all echoed, each in order");
}

bool DemoScript::ClientHangsUp() {
    Endpoint* serverSide = net_.ServerSideOf(*carol_);
    if (serverSide == nullptr) {
        return Report(false, "hang-up: the server's end of carol's connection is unknown");
    }
    carol_->socket->Abandon();
    const bool ok = net_.RunUntil([&] { return serverSide->closed; }) && serverSide->closeError == 0;
    return Report(ok, "carol hung up; the server saw the close: " + WinSockErrorText(serverSide->closeError));
}

bool DemoScript::ServerHangsUp() {
    Endpoint* serverSide = net_.ServerSideOf(*bob_);
    if (serverSide == nullptr) {
        return Report(false, "hang-up: the server's end of bob's connection is unknown");
    }
    serverSide->socket->Abandon();
    const bool ok = net_.RunUntil([&] { return bob_->closed; }) && bob_->closeError == 0;
    return Report(ok, "the server hung up on bob; bob saw the close: " + WinSockErrorText(bob_->closeError));
}

bool DemoScript::RefuseOverlongHeader() {
    Endpoint* mallory = net_.Connect("mallory");
    if (mallory == nullptr || !net_.RunUntil([&] { return mallory->connected && net_.ServerSideOf(*mallory); })) {
        return Report(false, "over-long header: mallory could not connect");
    }
    Endpoint* serverSide = net_.ServerSideOf(*mallory);
    // A raw length field one byte above the server's bound, then a few payload bytes.
    const UINT announced = kServerMaxPacket + 1;
    const unsigned char header[8] = {static_cast<unsigned char>(announced >> 24),
                                     static_cast<unsigned char>(announced >> 16),
                                     static_cast<unsigned char>(announced >> 8),
                                     static_cast<unsigned char>(announced), 'e', 'v', 'i', 'l'};
    mallory->socket->SendPure(const_cast<unsigned char*>(header), sizeof header);
    const bool closed = net_.RunUntil([&] { return serverSide->closed; });
    const bool ok = closed && serverSide->closeError == WSAEMSGSIZE && serverSide->received.empty();
    return Report(ok, "over-long header (" + std::to_string(announced) + " > bound " + std::to_string(kServerMaxPacket) +
                          ") refused: " + WinSockErrorText(serverSide->closeError));
}

bool DemoScript::FlowControl() {
    Endpoint* dave = net_.Connect("dave");
    if (dave == nullptr || !net_.RunUntil([&] { return dave->connected && net_.ServerSideOf(*dave); })) {
        return Report(false, "flow control: dave could not connect");
    }
    Endpoint* serverSide = net_.ServerSideOf(*dave);
    // Dave sends 8 MiB and reads nothing until the server has stopped reading from him.
    dave->socket->PauseReading();
    std::vector<std::string> sent;
    for (int i = 0; i < kFloodPackets; ++i) {
        sent.push_back(BinaryPayload(kServerMaxPacket - static_cast<UINT>(i)));
        dave->socket->SendBytes(sent.back().data(), static_cast<int>(sent.back().size()));
    }
    const bool held = net_.RunUntil([&] { return serverSide->echo->Holding(); });
    dave->socket->ResumeReading();
    const bool arrived = net_.RunUntil([&] { return dave->received.size() >= sent.size(); }, 30000);
    const std::size_t largest = serverSide->socket->LargestSendQueue();
    const bool ok = held && arrived && dave->received == sent && largest <= DemoNetwork::kServerHighWater;
    dave->socket->Abandon();
    return Report(ok, "flow control: dave sent 8 MiB without reading; the server stopped reading from him with " +
                          std::to_string(largest) + " bytes queued (at most " +
                          std::to_string(DemoNetwork::kServerHighWater) + "), then every echo came back intact");
}

bool DemoScript::HalfClose() {
    Endpoint* erin = net_.Connect("erin");
    if (erin == nullptr || !net_.RunUntil([&] { return erin->connected && net_.ServerSideOf(*erin); })) {
        return Report(false, "half-close: erin could not connect");
    }
    Endpoint* serverSide = net_.ServerSideOf(*erin);
    // Erin reads nothing until she has sent everything, then shuts down her sending side, as
    // `printf ... | nc` does: echoes are still waiting at the server when it sees her close.
    erin->socket->PauseReading();
    std::vector<std::string> sent;
    for (int i = 0; i < kHalfClosePackets; ++i) {
        sent.push_back(BinaryPayload(kHalfCloseBytes + static_cast<std::size_t>(i)));
        erin->socket->SendBytes(sent.back().data(), static_cast<int>(sent.back().size()));
    }
    if (!net_.RunUntil([&] { return erin->socket->SendQueueEmpty(); }, 30000)) {
        return Report(false, "half-close: erin's packets were not written");
    }
    erin->socket->ResumeReading();
    erin->socket->ShutDown(SD_SEND);
    const bool waited = net_.RunUntil([&] { return serverSide->socket->Draining() || serverSide->closed; }) &&
                        serverSide->socket->Draining();
    const bool closed = net_.RunUntil([&] { return erin->closed; }, 30000);
    const bool ok = closed && erin->closeError == 0 && erin->received == sent;
    return Report(ok, "half-close: erin sent " + std::to_string(kHalfClosePackets) + " packets and shut down sending; " +
                          (waited ? "the server kept the connection while its queue drained, and all "
                                  : "all ") +
                          std::to_string(erin->received.size()) + " echoes came back intact before its close: " +
                          WinSockErrorText(erin->closeError));
}
