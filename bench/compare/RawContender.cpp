#include "RawContender.h"

#include <memory>
#include <stdexcept>
#include <vector>

#include "PosixSocket.h"
#include "TwoThreads.h"

namespace bench {

namespace {

void Expect(BlockingFrameReader& reader, std::size_t expected) {
    const char* payload = nullptr;
    std::uint32_t length = 0;
    if (!reader.Next(payload, length)) {
        throw std::runtime_error("connection closed early");
    }
    if (!PayloadLooksRight(payload, length, expected)) {
        throw std::runtime_error("bad payload");
    }
}

// Echoes every packet back until the peer closes.
void EchoUntilClosed(const Fd& conn) {
    BlockingFrameReader reader(conn);
    const char* payload = nullptr;
    std::uint32_t length = 0;
    while (reader.Next(payload, length)) {
        SendAll(conn, payload - kHeaderBytes, kHeaderBytes + length);
    }
}

}  // namespace

void RawContender::PingPong(const Frame& frame, std::size_t warmup, std::size_t count, Measure& m) {
    std::uint16_t port = 0;
    Fd listener = ListenLoopback(port, 16);
    RunOnTwoThreads([&] { EchoUntilClosed(AcceptOne(listener)); },
                    [&] {
                        Fd conn = ConnectLoopback(port);
                        BlockingFrameReader reader(conn);
                        for (std::size_t i = 0; i < warmup + count; ++i) {
                            if (i == warmup) {
                                m.Begin();
                            }
                            m.TripStart();
                            SendAll(conn, frame.data(), frame.size());
                            Expect(reader, frame.payloadSize());
                            if (i >= warmup) {
                                m.TripEnd();
                            }
                        }
                        m.End();
                    });
}

void RawContender::Stream(const Frame& frame, std::size_t count, Measure& m) {
    std::uint16_t port = 0;
    Fd listener = ListenLoopback(port, 16);
    const Frame ack(kAckPayload);
    RunOnTwoThreads(
        [&] {
            Fd conn = AcceptOne(listener);
            BlockingFrameReader reader(conn);
            for (std::size_t received = 1; received <= count + 1; ++received) {
                Expect(reader, frame.payloadSize());
                if (IsStreamCheckpoint(received, count)) {
                    SendAll(conn, ack.data(), ack.size());
                }
            }
        },
        [&] {
            Fd conn = ConnectLoopback(port);
            BlockingFrameReader reader(conn);
            SendAll(conn, frame.data(), frame.size());
            Expect(reader, kAckPayload);
            m.Begin();
            for (std::size_t i = 0; i < count; ++i) {
                SendAll(conn, frame.data(), frame.size());
            }
            Expect(reader, kAckPayload);
            m.End();
        });
}

// Blocking sockets cannot wait for whichever connection is ready, so each side walks the
// connections in rounds: the client sends on every connection, then reads every echo.
void RawContender::FanIn(const Frame& frame, std::size_t connections, std::size_t trips, Measure& m) {
    std::uint16_t port = 0;
    Fd listener = ListenLoopback(port, 1024);
    constexpr std::size_t kReaderBytes = 4096;
    RunOnTwoThreads(
        [&] {
            std::vector<Fd> conns;
            std::vector<std::unique_ptr<BlockingFrameReader>> readers;
            for (std::size_t i = 0; i < connections; ++i) {
                conns.push_back(AcceptOne(listener));
            }
            for (const Fd& c : conns) {
                readers.push_back(std::make_unique<BlockingFrameReader>(c, kReaderBytes));
            }
            const char* payload = nullptr;
            std::uint32_t length = 0;
            for (std::size_t r = 0; r < trips; ++r) {
                for (std::size_t i = 0; i < connections; ++i) {
                    if (!readers[i]->Next(payload, length)) {
                        throw std::runtime_error("connection closed early");
                    }
                    SendAll(conns[i], payload - kHeaderBytes, kHeaderBytes + length);
                }
            }
        },
        [&] {
            std::vector<Fd> conns;
            std::vector<std::unique_ptr<BlockingFrameReader>> readers;
            for (std::size_t i = 0; i < connections; ++i) {
                conns.push_back(ConnectLoopback(port));
            }
            for (const Fd& c : conns) {
                readers.push_back(std::make_unique<BlockingFrameReader>(c, kReaderBytes));
            }
            m.Begin();
            for (std::size_t r = 0; r < trips; ++r) {
                for (const Fd& c : conns) {
                    SendAll(c, frame.data(), frame.size());
                }
                for (auto& reader : readers) {
                    Expect(*reader, frame.payloadSize());
                }
            }
            m.End();
        });
}

void RawContender::Idle(std::size_t connections, const std::function<void(int phase)>& sample) {
    std::uint16_t port = 0;
    Fd listener = ListenLoopback(port, 1024);
    std::vector<Fd> clients;
    std::vector<Fd> servers;
    clients.reserve(connections);
    servers.reserve(connections);
    sample(0);
    for (std::size_t i = 0; i < connections; ++i) {
        clients.push_back(ConnectLoopback(port));
        servers.push_back(AcceptOne(listener));
    }
    sample(1);
}

}  // namespace bench
