#include "ZmqContender.h"

#include <zmq.h>

#include <cerrno>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "TwoThreads.h"

namespace bench {

namespace {

[[noreturn]] void Fail(const char* what) {
    throw std::runtime_error(std::string(what) + ": " + zmq_strerror(zmq_errno()));
}

class Context {
public:
    explicit Context(int maxSockets) : ctx_(zmq_ctx_new()) {
        if (ctx_ == nullptr) {
            Fail("zmq_ctx_new");
        }
        zmq_ctx_set(ctx_, ZMQ_MAX_SOCKETS, maxSockets);
    }
    ~Context() { zmq_ctx_term(ctx_); }
    Context(const Context&) = delete;
    Context& operator=(const Context&) = delete;
    void* get() const { return ctx_; }

private:
    void* ctx_;
};

// One PAIR socket, closed without lingering.
class Pair {
public:
    explicit Pair(const Context& ctx) : socket_(zmq_socket(ctx.get(), ZMQ_PAIR)) {
        if (socket_ == nullptr) {
            Fail("zmq_socket");
        }
        int zero = 0;
        zmq_setsockopt(socket_, ZMQ_LINGER, &zero, sizeof zero);
    }
    ~Pair() { zmq_close(socket_); }
    Pair(const Pair&) = delete;
    Pair& operator=(const Pair&) = delete;
    void* get() const { return socket_; }

    std::string BindLoopback() {
        if (zmq_bind(socket_, "tcp://127.0.0.1:*") != 0) {
            Fail("zmq_bind");
        }
        char endpoint[256];
        size_t size = sizeof endpoint;
        zmq_getsockopt(socket_, ZMQ_LAST_ENDPOINT, endpoint, &size);
        return endpoint;
    }
    void Connect(const std::string& endpoint) {
        if (zmq_connect(socket_, endpoint.c_str()) != 0) {
            Fail("zmq_connect");
        }
    }
    void Send(const char* data, std::size_t size) {
        while (zmq_send(socket_, data, size, 0) < 0) {
            if (zmq_errno() != EINTR) {
                Fail("zmq_send");
            }
        }
    }

private:
    void* socket_;
};

// One received message.
class Message {
public:
    Message() { zmq_msg_init(&msg_); }
    ~Message() { zmq_msg_close(&msg_); }
    Message(const Message&) = delete;
    Message& operator=(const Message&) = delete;

    // False when flags has ZMQ_DONTWAIT and nothing is waiting.
    bool Receive(const Pair& pair, int flags = 0) {
        while (zmq_msg_recv(&msg_, pair.get(), flags) < 0) {
            if (zmq_errno() == EAGAIN) {
                return false;
            }
            if (zmq_errno() != EINTR) {
                Fail("zmq_msg_recv");
            }
        }
        return true;
    }
    // Checks the framing and the payload of the message.
    void Expect(std::size_t expected) {
        const auto* data = static_cast<const char*>(zmq_msg_data(&msg_));
        const std::size_t size = zmq_msg_size(&msg_);
        if (size < kHeaderBytes || DecodeLength(data) != size - kHeaderBytes ||
            !PayloadLooksRight(data + kHeaderBytes, size - kHeaderBytes, expected)) {
            throw std::runtime_error("bad message");
        }
    }
    // Sends this message back; zmq takes its contents.
    void SendTo(const Pair& pair) {
        if (zmq_msg_send(&msg_, pair.get(), 0) < 0) {
            Fail("zmq_msg_send");
        }
    }

private:
    zmq_msg_t msg_;
};

void Echo(const Pair& pair, std::size_t packets) {
    for (std::size_t i = 0; i < packets; ++i) {
        Message msg;
        msg.Receive(pair);
        msg.SendTo(pair);
    }
}

}  // namespace

void ZmqContender::PingPong(const Frame& frame, std::size_t warmup, std::size_t count, Measure& m) {
    Context ctx(1024);
    Pair server(ctx);
    Pair client(ctx);
    client.Connect(server.BindLoopback());
    RunOnTwoThreads([&] { Echo(server, warmup + count); },
                    [&] {
                        for (std::size_t i = 0; i < warmup + count; ++i) {
                            if (i == warmup) {
                                m.Begin();
                            }
                            m.TripStart();
                            client.Send(frame.data(), frame.size());
                            Message echo;
                            echo.Receive(client);
                            echo.Expect(frame.payloadSize());
                            if (i >= warmup) {
                                m.TripEnd();
                            }
                        }
                        m.End();
                    });
}

void ZmqContender::Stream(const Frame& frame, std::size_t count, Measure& m) {
    Context ctx(1024);
    Pair server(ctx);
    Pair client(ctx);
    client.Connect(server.BindLoopback());
    const Frame ack(kAckPayload);
    RunOnTwoThreads(
        [&] {
            for (std::size_t received = 1; received <= count + 1; ++received) {
                Message msg;
                msg.Receive(server);
                msg.Expect(frame.payloadSize());
                if (IsStreamCheckpoint(received, count)) {
                    server.Send(ack.data(), ack.size());
                }
            }
        },
        [&] {
            client.Send(frame.data(), frame.size());
            Message first;
            first.Receive(client);
            first.Expect(kAckPayload);
            m.Begin();
            for (std::size_t i = 0; i < count; ++i) {
                client.Send(frame.data(), frame.size());
            }
            Message last;
            last.Receive(client);
            last.Expect(kAckPayload);
            m.End();
        });
}

// ZeroMQ connects in the background, so every connection makes one untimed round trip first;
// the timed phase starts once all have answered.
void ZmqContender::FanIn(const Frame& frame, std::size_t connections, std::size_t trips, Measure& m) {
    Context ctx(static_cast<int>(2 * connections + 16));
    std::vector<std::unique_ptr<Pair>> servers;
    std::vector<std::unique_ptr<Pair>> clients;
    for (std::size_t i = 0; i < connections; ++i) {
        servers.push_back(std::make_unique<Pair>(ctx));
        clients.push_back(std::make_unique<Pair>(ctx));
        clients.back()->Connect(servers.back()->BindLoopback());
    }
    auto pollItems = [](const std::vector<std::unique_ptr<Pair>>& pairs) {
        std::vector<zmq_pollitem_t> items(pairs.size());
        for (std::size_t i = 0; i < pairs.size(); ++i) {
            items[i] = zmq_pollitem_t{pairs[i]->get(), 0, ZMQ_POLLIN, 0};
        }
        return items;
    };
    RunOnTwoThreads(
        [&] {
            auto items = pollItems(servers);
            std::size_t left = connections * (trips + 1);
            while (left > 0) {
                if (zmq_poll(items.data(), static_cast<int>(items.size()), -1) < 0 && zmq_errno() != EINTR) {
                    Fail("zmq_poll");
                }
                for (std::size_t i = 0; i < items.size(); ++i) {
                    if ((items[i].revents & ZMQ_POLLIN) == 0) {
                        continue;
                    }
                    Message msg;
                    while (msg.Receive(*servers[i], ZMQ_DONTWAIT)) {
                        msg.SendTo(*servers[i]);
                        --left;
                    }
                }
            }
        },
        [&] {
            for (auto& c : clients) {
                c->Send(frame.data(), frame.size());
            }
            for (auto& c : clients) {
                Message echo;
                echo.Receive(*c);
                echo.Expect(frame.payloadSize());
            }
            auto items = pollItems(clients);
            std::vector<std::size_t> done(connections, 0);
            std::size_t finished = 0;
            m.Begin();
            for (auto& c : clients) {
                c->Send(frame.data(), frame.size());
            }
            while (finished < connections) {
                if (zmq_poll(items.data(), static_cast<int>(items.size()), -1) < 0 && zmq_errno() != EINTR) {
                    Fail("zmq_poll");
                }
                for (std::size_t i = 0; i < items.size(); ++i) {
                    if ((items[i].revents & ZMQ_POLLIN) == 0) {
                        continue;
                    }
                    Message echo;
                    while (echo.Receive(*clients[i], ZMQ_DONTWAIT)) {
                        echo.Expect(frame.payloadSize());
                        if (++done[i] < trips) {
                            clients[i]->Send(frame.data(), frame.size());
                        } else {
                            ++finished;
                        }
                    }
                }
            }
            m.End();
        });
}

void ZmqContender::Idle(std::size_t connections, const std::function<void(int phase)>& sample) {
    Context ctx(static_cast<int>(2 * connections + 16));
    std::vector<std::unique_ptr<Pair>> servers;
    std::vector<std::unique_ptr<Pair>> clients;
    servers.reserve(connections);
    clients.reserve(connections);
    const Frame hello(kAckPayload);
    sample(0);
    for (std::size_t i = 0; i < connections; ++i) {
        servers.push_back(std::make_unique<Pair>(ctx));
        clients.push_back(std::make_unique<Pair>(ctx));
        clients.back()->Connect(servers.back()->BindLoopback());
    }
    // One message each way proves every connection is up.
    for (std::size_t i = 0; i < connections; ++i) {
        clients[i]->Send(hello.data(), hello.size());
        Message msg;
        msg.Receive(*servers[i]);
        msg.SendTo(*servers[i]);
        Message back;
        back.Receive(*clients[i]);
    }
    sample(1);
}

}  // namespace bench
