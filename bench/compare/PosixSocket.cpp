#include "PosixSocket.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <stdexcept>
#include <string>
#include <sys/socket.h>
#include <unistd.h>

namespace bench {

namespace {

[[noreturn]] void Fail(const char* what) {
    throw std::runtime_error(std::string(what) + ": " + std::strerror(errno));
}

void NoDelay(int fd) {
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

sockaddr_in Loopback(std::uint16_t port) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return addr;
}

}  // namespace

Fd::~Fd() {
    if (fd_ >= 0) {
        ::close(fd_);
    }
}

Fd& Fd::operator=(Fd&& other) noexcept {
    if (this != &other) {
        if (fd_ >= 0) {
            ::close(fd_);
        }
        fd_ = other.fd_;
        other.fd_ = -1;
    }
    return *this;
}

Fd ListenLoopback(std::uint16_t& port, int backlog) {
    Fd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (fd.get() < 0) {
        Fail("socket");
    }
    sockaddr_in addr = Loopback(0);
    if (::bind(fd.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        Fail("bind");
    }
    if (::listen(fd.get(), backlog) != 0) {
        Fail("listen");
    }
    socklen_t len = sizeof addr;
    if (::getsockname(fd.get(), reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
        Fail("getsockname");
    }
    port = ntohs(addr.sin_port);
    return fd;
}

Fd ConnectLoopback(std::uint16_t port) {
    Fd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (fd.get() < 0) {
        Fail("socket");
    }
    sockaddr_in addr = Loopback(port);
    if (::connect(fd.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        Fail("connect");
    }
    NoDelay(fd.get());
    return fd;
}

Fd AcceptOne(const Fd& listener) {
    Fd fd(::accept4(listener.get(), nullptr, nullptr, SOCK_CLOEXEC));
    if (fd.get() < 0) {
        Fail("accept");
    }
    NoDelay(fd.get());
    return fd;
}

void SendAll(const Fd& fd, const char* data, std::size_t size) {
    while (size > 0) {
        const ssize_t n = ::send(fd.get(), data, size, MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            Fail("send");
        }
        data += n;
        size -= static_cast<std::size_t>(n);
    }
}

bool BlockingFrameReader::Next(const char*& payload, std::uint32_t& length) {
    while (!reader_.Next(payload, length)) {
        std::size_t room = 0;
        char* space = reader_.Space(room);
        const ssize_t n = ::recv(fd_.get(), space, room, 0);
        if (n == 0) {
            return false;
        }
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            Fail("recv");
        }
        reader_.Commit(static_cast<std::size_t>(n));
    }
    return true;
}

}  // namespace bench
