// System headers only: this file must never see winsock.h (see posix_socket.h).
#include "platform/winsock/posix_socket.h"

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

namespace talven::platform::posix {
namespace {

// Runs a call until it is not interrupted by a signal; -errno on failure.
template <typename Call>
auto Restarting(Call call) -> decltype(call()) {
    for (;;) {
        const auto r = call();
        if (r >= 0) {
            return r;
        }
        if (errno != EINTR) {
            return -errno;
        }
    }
}

int MessageFlags(int flags) {
    int out = 0;
    if (flags & kFlagOob) out |= MSG_OOB;
    if (flags & kFlagPeek) out |= MSG_PEEK;
    if (flags & kFlagDontRoute) out |= MSG_DONTROUTE;
    return out;
}

bool OptionName(Option option, int* level, int* name) {
    *level = SOL_SOCKET;
    switch (option) {
        case Option::Debug: *name = SO_DEBUG; return true;
        case Option::AcceptConn: *name = SO_ACCEPTCONN; return true;
        case Option::ReuseAddr: *name = SO_REUSEADDR; return true;
        case Option::KeepAlive: *name = SO_KEEPALIVE; return true;
        case Option::DontRoute: *name = SO_DONTROUTE; return true;
        case Option::Broadcast: *name = SO_BROADCAST; return true;
        case Option::OobInline: *name = SO_OOBINLINE; return true;
        case Option::SendBuffer: *name = SO_SNDBUF; return true;
        case Option::ReceiveBuffer: *name = SO_RCVBUF; return true;
        case Option::Error: *name = SO_ERROR; return true;
        case Option::Type: *name = SO_TYPE; return true;
        case Option::TcpNoDelay: *level = IPPROTO_TCP; *name = TCP_NODELAY; return true;
    }
    return false;
}

}  // namespace

int Socket(int family, int type, int protocol) {
    return Restarting([&] { return ::socket(family, type | SOCK_CLOEXEC, protocol); });
}

namespace {

bool IsStream(int fd) {
    int type = 0;
    socklen_t len = sizeof type;
    return ::getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &len) == 0 && type == SOCK_STREAM;
}

int ReuseAddress(int fd) {
    int on = 0;
    socklen_t len = sizeof on;
    return ::getsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, &len) == 0 ? on : 0;
}

void SetReuseAddress(int fd, int on) {
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
}

}  // namespace

int Bind(int fd, const void* addr, std::uint32_t len) {
    const auto plain = [&] {
        return Restarting([&] { return ::bind(fd, static_cast<const sockaddr*>(addr), len); });
    };
    const int r = plain();
    if (r != -EADDRINUSE || !IsStream(fd) || ReuseAddress(fd) != 0) {
        return r;
    }
    // Linux lets a socket with SO_REUSEADDR share a port with non-listening sockets that have
    // it too: the remnants of accepted connections (their listener had it, see Listen), but
    // never a listener nor a socket bound without it, which is what this socket becomes once
    // the option is cleared again.
    SetReuseAddress(fd, 1);
    const int again = plain();
    SetReuseAddress(fd, 0);
    return again;
}

int Connect(int fd, const void* addr, std::uint32_t len) {
    // A connect interrupted by a signal goes on in the background; restarting it would report
    // EALREADY, so EINTR is reported as the attempt in progress it is.
    const int r = ::connect(fd, static_cast<const sockaddr*>(addr), len);
    if (r == 0) {
        return 0;
    }
    return errno == EINTR ? -EINPROGRESS : -errno;
}

int Listen(int fd, int backlog) {
    // A listening port refuses every other bind whatever its options; accepted connections
    // inherit the option, and so do the TIME_WAIT remnants they leave.
    if (IsStream(fd)) {
        SetReuseAddress(fd, 1);
    }
    // A backlog above the system's maximum (WinSock's SOMAXCONN, for one) is capped to it by
    // the system itself.
    return Restarting([&] { return ::listen(fd, backlog); });
}

int Accept(int fd, void* addr, std::uint32_t* len, bool nonBlocking) {
    socklen_t sl = len != nullptr ? *len : 0;
    const int flags = SOCK_CLOEXEC | (nonBlocking ? SOCK_NONBLOCK : 0);
    const int r = Restarting([&] {
        return ::accept4(fd, static_cast<sockaddr*>(addr), len != nullptr ? &sl : nullptr, flags);
    });
    if (r >= 0 && len != nullptr) {
        *len = sl;
    }
    return r;
}

long Recv(int fd, void* buf, std::size_t len, int flags) {
    return Restarting([&] { return ::recv(fd, buf, len, MessageFlags(flags)); });
}

long RecvFrom(int fd, void* buf, std::size_t len, int flags, void* from, std::uint32_t* fromLen) {
    socklen_t sl = fromLen != nullptr ? *fromLen : 0;
    const long r = Restarting([&] {
        return ::recvfrom(fd, buf, len, MessageFlags(flags), static_cast<sockaddr*>(from),
                          fromLen != nullptr ? &sl : nullptr);
    });
    if (r >= 0 && fromLen != nullptr) {
        *fromLen = sl;
    }
    return r;
}

long Send(int fd, const void* buf, std::size_t len, int flags) {
    return Restarting([&] { return ::send(fd, buf, len, MessageFlags(flags) | MSG_NOSIGNAL); });
}

long SendGathered(int fd, const Piece* pieces, int count, int flags) {
    iovec vec[kMaxPieces];
    const int n = count < kMaxPieces ? count : kMaxPieces;
    for (int i = 0; i < n; ++i) {
        vec[i].iov_base = const_cast<void*>(pieces[i].data);
        vec[i].iov_len = pieces[i].len;
    }
    msghdr msg{};
    msg.msg_iov = vec;
    msg.msg_iovlen = static_cast<decltype(msg.msg_iovlen)>(n);
    return Restarting([&] { return ::sendmsg(fd, &msg, MessageFlags(flags) | MSG_NOSIGNAL); });
}

long SendTo(int fd, const void* buf, std::size_t len, int flags, const void* to, std::uint32_t toLen) {
    return Restarting([&] {
        return ::sendto(fd, buf, len, MessageFlags(flags) | MSG_NOSIGNAL,
                        static_cast<const sockaddr*>(to), toLen);
    });
}

int Shutdown(int fd, int how) {
    const int posixHow = how == 0 ? SHUT_RD : how == 1 ? SHUT_WR : SHUT_RDWR;
    return Restarting([&] { return ::shutdown(fd, posixHow); });
}

int Close(int fd) {
    // Never retried: on Linux the descriptor is released even when close reports EINTR.
    const int r = ::close(fd);
    return r == 0 || errno == EINTR ? 0 : -errno;
}

int GetSockName(int fd, void* addr, std::uint32_t* len) {
    socklen_t sl = *len;
    const int r = ::getsockname(fd, static_cast<sockaddr*>(addr), &sl);
    if (r != 0) {
        return -errno;
    }
    *len = sl;
    return 0;
}

int GetPeerName(int fd, void* addr, std::uint32_t* len) {
    socklen_t sl = *len;
    const int r = ::getpeername(fd, static_cast<sockaddr*>(addr), &sl);
    if (r != 0) {
        return -errno;
    }
    *len = sl;
    return 0;
}

int CheckSocket(int fd) {
    int type = 0;
    socklen_t len = sizeof type;
    return ::getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &len) < 0 ? -errno : 0;
}

int SetNonBlocking(int fd, bool on) {
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags < 0) {
        return -errno;
    }
    const int wanted = on ? (flags | O_NONBLOCK) : (flags & ~O_NONBLOCK);
    if (wanted != flags && ::fcntl(fd, F_SETFL, wanted) < 0) {
        return -errno;
    }
    return 0;
}

int BytesReadable(int fd) {
    int n = 0;
    if (::ioctl(fd, FIONREAD, &n) < 0) {
        return -errno;
    }
    return n;
}

int NormalDataWaiting(int fd) {
    const int n = BytesReadable(fd);
    if (n != 0) {
        return n < 0 ? n : 1;
    }
    // Nothing counted: either empty, or at an urgent mark with data behind it. A peek from the
    // mark reads past the out-of-band byte, as a recv would.
    int atMark = 0;
    if (::ioctl(fd, SIOCATMARK, &atMark) < 0 || atMark == 0) {
        return 0;
    }
    char c;
    return Restarting([&] { return ::recv(fd, &c, 1, MSG_PEEK | MSG_DONTWAIT); }) > 0 ? 1 : 0;
}

int UrgentDataWaiting(int fd) {
    // Linux reports POLLPRI while the urgent byte is unread, in line or not.
    pollfd p{};
    p.fd = fd;
    p.events = POLLPRI;
    const int r = Restarting([&] { return ::poll(&p, 1, 0); });
    if (r < 0) {
        return r;
    }
    return r > 0 && (p.revents & POLLPRI) != 0 ? 1 : 0;
}

int PendingError(int fd) {
    int value = 0;
    socklen_t len = sizeof value;
    if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &value, &len) < 0) {
        return -errno;
    }
    return value;
}

int SetIntOption(int fd, Option option, int value) {
    int level = 0;
    int name = 0;
    if (!OptionName(option, &level, &name)) {
        return -ENOPROTOOPT;
    }
    return ::setsockopt(fd, level, name, &value, sizeof value) < 0 ? -errno : 0;
}

int GetIntOption(int fd, Option option, int* value) {
    int level = 0;
    int name = 0;
    if (!OptionName(option, &level, &name)) {
        return -ENOPROTOOPT;
    }
    socklen_t len = sizeof *value;
    return ::getsockopt(fd, level, name, value, &len) < 0 ? -errno : 0;
}

int SetLinger(int fd, bool on, int seconds) {
    ::linger l;
    l.l_onoff = on ? 1 : 0;
    l.l_linger = seconds;
    return ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof l) < 0 ? -errno : 0;
}

int GetLinger(int fd, bool* on, int* seconds) {
    ::linger l;
    socklen_t len = sizeof l;
    if (::getsockopt(fd, SOL_SOCKET, SO_LINGER, &l, &len) < 0) {
        return -errno;
    }
    *on = l.l_onoff != 0;
    *seconds = l.l_linger;
    return 0;
}

int QueryState(int fd, SocketState* state) {
    int type = 0;
    socklen_t len = sizeof type;
    if (::getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &len) < 0) {
        return -errno;
    }
    if (type != SOCK_STREAM) {
        *state = SocketState::Datagram;
        return 0;
    }
    tcp_info info;
    std::memset(&info, 0, sizeof info);
    len = sizeof info;
    if (::getsockopt(fd, IPPROTO_TCP, TCP_INFO, &info, &len) < 0) {
        return -errno;
    }
    switch (info.tcpi_state) {
        case TCP_LISTEN: *state = SocketState::Listening; break;
        case TCP_SYN_SENT:
        case TCP_SYN_RECV: *state = SocketState::Connecting; break;
        case TCP_ESTABLISHED:
        case TCP_CLOSE_WAIT: *state = SocketState::Connected; break;
        case TCP_CLOSE:
            // Fresh, or a connection already torn down by a reset: nothing more will happen.
            *state = SocketState::Unconnected;
            break;
        default: *state = SocketState::Closed; break;  // FIN_WAIT*, CLOSING, LAST_ACK, TIME_WAIT
    }
    return 0;
}

int HostName(char* buf, std::size_t len) {
    return ::gethostname(buf, len) < 0 ? -errno : 0;
}

int ResolveIPv4(const char* name, std::uint32_t* addrs, int max, char* canon, std::size_t canonLen) {
    addrinfo hints;
    std::memset(&hints, 0, sizeof hints);
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;  // one entry per address
    hints.ai_flags = AI_CANONNAME;
    addrinfo* list = nullptr;
    const int r = ::getaddrinfo(name, nullptr, &hints, &list);
    if (r != 0) {
        switch (r) {
            case EAI_NONAME: return kLookupNotFound;
            case EAI_AGAIN: return kLookupTryAgain;
#ifdef EAI_NODATA
            case EAI_NODATA: return kLookupNoData;
#endif
#ifdef EAI_ADDRFAMILY
            case EAI_ADDRFAMILY: return kLookupNoData;
#endif
            case EAI_MEMORY: return kLookupNoMemory;
            default: return kLookupNoRecovery;
        }
    }
    int count = 0;
    if (canonLen > 0) {
        const char* cn = list->ai_canonname != nullptr ? list->ai_canonname : name;
        const std::size_t n = ::strnlen(cn, canonLen - 1);
        std::memcpy(canon, cn, n);
        canon[n] = '\0';
    }
    for (addrinfo* ai = list; ai != nullptr && count < max; ai = ai->ai_next) {
        if (ai->ai_family != AF_INET || ai->ai_addrlen < sizeof(sockaddr_in)) {
            continue;
        }
        const auto* sin = reinterpret_cast<const sockaddr_in*>(ai->ai_addr);
        addrs[count++] = sin->sin_addr.s_addr;
    }
    ::freeaddrinfo(list);
    return count > 0 ? count : kLookupNoData;
}

}  // namespace talven::platform::posix
