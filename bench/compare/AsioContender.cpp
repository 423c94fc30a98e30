#include "AsioContender.h"

#if defined(BENCH_BOOST_ASIO)
#include <boost/asio.hpp>
namespace asio = boost::asio;
using ErrorCode = boost::system::error_code;
#else
#include <asio.hpp>
using ErrorCode = asio::error_code;
#endif

#include <atomic>
#include <chrono>
#include <cstring>
#include <future>
#include <memory>
#include <stdexcept>
#include <thread>
#include <vector>

#include "TwoThreads.h"

namespace bench {

namespace {

using asio::ip::tcp;

// Server side of one connection: echoes every packet, or (stream) checks and counts them and
// acks at the checkpoints. Lives as long as a read or write of its own is pending.
class Session : public std::enable_shared_from_this<Session> {
public:
    Session(tcp::socket socket, const Frame* ack, std::size_t streamCount, std::size_t expected)
        : socket_(std::move(socket)), ack_(ack), streamCount_(streamCount), expected_(expected),
          buffer_(kHeaderBytes) {}

    void ReadHeader() {
        auto self = shared_from_this();
        asio::async_read(socket_, asio::buffer(buffer_.data(), kHeaderBytes),
                         [self](const ErrorCode& ec, std::size_t) {
                             if (!ec) {
                                 self->ReadBody();
                             }
                         });
    }

private:
    void ReadBody() {
        const std::uint32_t length = DecodeLength(buffer_.data());
        buffer_.resize(kHeaderBytes + length);
        auto self = shared_from_this();
        asio::async_read(socket_, asio::buffer(buffer_.data() + kHeaderBytes, length),
                         [self](const ErrorCode& ec, std::size_t) {
                             if (!ec) {
                                 self->OnPacket();
                             }
                         });
    }

    void OnPacket() {
        auto self = shared_from_this();
        if (ack_ == nullptr) {
            asio::async_write(socket_, asio::buffer(buffer_), [self](const ErrorCode& ec, std::size_t) {
                if (!ec) {
                    self->ReadHeader();
                }
            });
            return;
        }
        if (!PayloadLooksRight(buffer_.data() + kHeaderBytes, buffer_.size() - kHeaderBytes, expected_)) {
            throw std::runtime_error("bad payload");
        }
        if (IsStreamCheckpoint(++received_, streamCount_)) {
            asio::async_write(socket_, asio::buffer(ack_->data(), ack_->size()),
                              [self](const ErrorCode&, std::size_t) {});
        }
        ReadHeader();
    }

    tcp::socket socket_;
    const Frame* ack_;                 // null: echo
    std::size_t streamCount_;
    std::size_t expected_;
    std::size_t received_ = 0;
    std::vector<char> buffer_;
};

// Accepts `connections` connections on 127.0.0.1 and runs a Session on each.
class Server {
public:
    Server(std::size_t connections, const Frame* ack, std::size_t streamCount, std::size_t expected)
        : acceptor_(io_, tcp::endpoint(asio::ip::address_v4::loopback(), 0)), left_(connections),
          ack_(ack), streamCount_(streamCount), expected_(expected) {
        acceptor_.listen(1024);
        port_ = acceptor_.local_endpoint().port();
        Accept();
    }
    unsigned short Port() const { return port_; }
    std::size_t Accepted() const { return accepted_.load(); }
    asio::io_context& io() { return io_; }

private:
    void Accept() {
        acceptor_.async_accept([this](const ErrorCode& ec, tcp::socket socket) {
            if (ec) {
                return;
            }
            socket.set_option(tcp::no_delay(true));
            std::make_shared<Session>(std::move(socket), ack_, streamCount_, expected_)->ReadHeader();
            ++accepted_;
            if (--left_ > 0) {
                Accept();
            } else {
                acceptor_.close();
            }
        });
    }

    asio::io_context io_;
    tcp::acceptor acceptor_;
    unsigned short port_ = 0;
    std::size_t left_;
    std::atomic<std::size_t> accepted_{0};
    const Frame* ack_;
    std::size_t streamCount_;
    std::size_t expected_;
};

tcp::socket Connect(asio::io_context& io, unsigned short port) {
    tcp::socket socket(io);
    socket.connect(tcp::endpoint(asio::ip::address_v4::loopback(), port));
    socket.set_option(tcp::no_delay(true));
    return socket;
}

// Client side of one echo connection: `total` round trips, calling back after each.
class EchoClient {
public:
    EchoClient(tcp::socket socket, const Frame& frame, std::size_t total)
        : socket_(std::move(socket)), frame_(frame), total_(total), buffer_(frame.size()) {}

    std::function<void(std::size_t trip)> onTripStart;
    std::function<void(std::size_t trip)> onTripEnd;    // called after each echo is checked

    void Start() { Send(); }
    void Close() { socket_.close(); }

private:
    void Send() {
        if (onTripStart) {
            onTripStart(done_);
        }
        asio::async_write(socket_, asio::buffer(frame_.data(), frame_.size()),
                          [this](const ErrorCode& ec, std::size_t) {
                              if (ec) {
                                  throw std::runtime_error("write failed: " + ec.message());
                              }
                              asio::async_read(socket_, asio::buffer(buffer_.data(), kHeaderBytes),
                                               [this](const ErrorCode& e, std::size_t) { OnHeader(e); });
                          });
    }

    void OnHeader(const ErrorCode& ec) {
        if (ec) {
            throw std::runtime_error("read failed: " + ec.message());
        }
        const std::uint32_t length = DecodeLength(buffer_.data());
        if (length != frame_.payloadSize()) {
            throw std::runtime_error("bad length");
        }
        asio::async_read(socket_, asio::buffer(buffer_.data() + kHeaderBytes, length),
                         [this](const ErrorCode& e, std::size_t) { OnBody(e); });
    }

    void OnBody(const ErrorCode& ec) {
        if (ec || !PayloadLooksRight(buffer_.data() + kHeaderBytes, buffer_.size() - kHeaderBytes,
                                     frame_.payloadSize())) {
            throw std::runtime_error("bad echo");
        }
        const std::size_t trip = done_++;
        if (onTripEnd) {
            onTripEnd(trip);
        }
        if (done_ < total_) {
            Send();
        }
    }

    tcp::socket socket_;
    const Frame& frame_;
    std::size_t total_;
    std::size_t done_ = 0;
    std::vector<char> buffer_;
};

}  // namespace

void AsioContender::PingPong(const Frame& frame, std::size_t warmup, std::size_t count, Measure& m) {
    Server server(1, nullptr, 0, 0);
    RunOnTwoThreads([&] { server.io().run(); },
                    [&] {
                        asio::io_context io;
                        EchoClient client(Connect(io, server.Port()), frame, warmup + count);
                        client.onTripStart = [&](std::size_t trip) {
                            if (trip == warmup) {
                                m.Begin();
                            }
                            m.TripStart();
                        };
                        client.onTripEnd = [&](std::size_t trip) {
                            if (trip >= warmup) {
                                m.TripEnd();
                            }
                            if (trip + 1 == warmup + count) {
                                m.End();
                                client.Close();
                            }
                        };
                        client.Start();
                        io.run();
                    });
}

void AsioContender::Stream(const Frame& frame, std::size_t count, Measure& m) {
    const Frame ack(kAckPayload);
    Server server(1, &ack, count, frame.payloadSize());
    RunOnTwoThreads([&] { server.io().run(); },
                    [&] {
                        asio::io_context io;
                        tcp::socket socket = Connect(io, server.Port());
                        std::vector<char> ackBuffer(ack.size());
                        std::size_t acks = 0;
                        std::size_t sent = 0;
                        std::function<void()> sendNext = [&] {
                            asio::async_write(socket, asio::buffer(frame.data(), frame.size()),
                                              [&](const ErrorCode& ec, std::size_t) {
                                                  if (ec) {
                                                      throw std::runtime_error("write failed");
                                                  }
                                                  if (acks == 1 && ++sent < count) {
                                                      sendNext();
                                                  }
                                              });
                        };
                        std::function<void()> readAck = [&] {
                            asio::async_read(socket, asio::buffer(ackBuffer), [&](const ErrorCode& ec, std::size_t) {
                                if (ec || DecodeLength(ackBuffer.data()) != kAckPayload) {
                                    throw std::runtime_error("bad ack");
                                }
                                if (++acks == 1) {
                                    m.Begin();
                                    sendNext();
                                    readAck();
                                } else {
                                    m.End();
                                    socket.close();
                                }
                            });
                        };
                        sendNext();    // the warm-up packet
                        readAck();
                        io.run();
                    });
}

void AsioContender::FanIn(const Frame& frame, std::size_t connections, std::size_t trips, Measure& m) {
    Server server(connections, nullptr, 0, 0);
    RunOnTwoThreads([&] { server.io().run(); },
                    [&] {
                        asio::io_context io;
                        std::vector<std::unique_ptr<EchoClient>> clients;
                        std::size_t finished = 0;
                        for (std::size_t i = 0; i < connections; ++i) {
                            clients.push_back(std::make_unique<EchoClient>(Connect(io, server.Port()), frame, trips));
                            clients.back()->onTripEnd = [&, trips](std::size_t trip) {
                                if (trip + 1 == trips && ++finished == connections) {
                                    m.End();
                                    for (auto& c : clients) {
                                        c->Close();
                                    }
                                }
                            };
                        }
                        m.Begin();
                        for (auto& c : clients) {
                            c->Start();
                        }
                        io.run();
                    });
}

void AsioContender::Idle(std::size_t connections, const std::function<void(int phase)>& sample) {
    Server server(connections, nullptr, 0, 0);
    asio::io_context clientIo;
    auto guard = asio::make_work_guard(clientIo);
    std::thread serverThread([&] { server.io().run(); });
    std::thread clientThread([&] { clientIo.run(); });
    std::vector<std::unique_ptr<tcp::socket>> sockets;
    std::vector<std::unique_ptr<char[]>> headers;
    sockets.reserve(connections);
    headers.reserve(connections);
    sample(0);
    // Each client connection waits for a header, as an idle connection of an application would.
    asio::post(clientIo, [&] {
        for (std::size_t i = 0; i < connections; ++i) {
            sockets.push_back(std::make_unique<tcp::socket>(Connect(clientIo, server.Port())));
            headers.push_back(std::make_unique<char[]>(kHeaderBytes));
            asio::async_read(*sockets.back(), asio::buffer(headers.back().get(), kHeaderBytes),
                             [](const ErrorCode&, std::size_t) {});
        }
    });
    std::size_t made = 0;
    while (made < connections || server.Accepted() < connections) {
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
        std::promise<std::size_t> count;
        asio::post(clientIo, [&] { count.set_value(sockets.size()); });
        made = count.get_future().get();
    }
    sample(1);
    asio::post(clientIo, [&] {
        for (auto& s : sockets) {
            s->close();
        }
    });
    guard.reset();
    clientThread.join();
    serverThread.join();
}

}  // namespace bench
