// Plain blocking POSIX TCP sockets on 127.0.0.1 for the raw contender: the machine's limit.
#pragma once

#include <cstddef>
#include <cstdint>

#include "Frame.h"

namespace bench {

// Owns one descriptor.
class Fd {
public:
    Fd() = default;
    explicit Fd(int fd) : fd_(fd) {}
    ~Fd();
    Fd(Fd&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
    Fd& operator=(Fd&& other) noexcept;
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return fd_; }

private:
    int fd_ = -1;
};

Fd ListenLoopback(std::uint16_t& port, int backlog);   // throws on failure
Fd ConnectLoopback(std::uint16_t port);                  // blocking connect, TCP_NODELAY
Fd AcceptOne(const Fd& listener);                        // blocking accept, TCP_NODELAY
void SendAll(const Fd& fd, const char* data, std::size_t size);

// Blocking reader of framed packets on one descriptor, reading in large chunks.
class BlockingFrameReader {
public:
    explicit BlockingFrameReader(const Fd& fd, std::size_t capacity = 256 * 1024)
        : fd_(fd), reader_(capacity) {}
    // Next payload; false when the peer has closed. The pointer is valid until the next call.
    bool Next(const char*& payload, std::uint32_t& length);

private:
    const Fd& fd_;
    FrameReader reader_;
};

}  // namespace bench
