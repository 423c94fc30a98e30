// setsockopt, getsockopt and ioctlsocket: WinSock's option levels, names, values and ioctl
// commands translated into the POSIX adapter's terms.
#include <cstring>

#include "platform/winsock/async_select.h"
#include "platform/winsock/posix_socket.h"
#include "platform/winsock/wsa_error.h"

namespace talven::platform::sockets {
namespace {

using posix::Option;

// The adapter's option for a WinSock level and name; false when unknown.
bool Translate(int level, int optname, Option* option) {
    if (level == SOL_SOCKET) {
        switch (optname) {
            case SO_DEBUG: *option = Option::Debug; return true;
            case SO_ACCEPTCONN: *option = Option::AcceptConn; return true;
            case SO_REUSEADDR: *option = Option::ReuseAddr; return true;
            case SO_KEEPALIVE: *option = Option::KeepAlive; return true;
            case SO_DONTROUTE: *option = Option::DontRoute; return true;
            case SO_BROADCAST: *option = Option::Broadcast; return true;
            case SO_OOBINLINE: *option = Option::OobInline; return true;
            case SO_SNDBUF: *option = Option::SendBuffer; return true;
            case SO_RCVBUF: *option = Option::ReceiveBuffer; return true;
            case SO_ERROR: *option = Option::Error; return true;
            case SO_TYPE: *option = Option::Type; return true;
            default: return false;
        }
    }
    if (level == IPPROTO_TCP && optname == TCP_NODELAY) {
        *option = Option::TcpNoDelay;
        return true;
    }
    return false;
}

bool ReadOnly(Option option) {
    return option == Option::AcceptConn || option == Option::Error || option == Option::Type;
}

bool IsBufferSize(Option option) {
    return option == Option::SendBuffer || option == Option::ReceiveBuffer;
}

}  // namespace
}  // namespace talven::platform::sockets

namespace winsock {

using namespace talven::platform;
using namespace talven::platform::sockets;

int setsockopt(SOCKET s, int level, int optname, const char* optval, int optlen) {
    if (!CheckStarted()) return SOCKET_ERROR;
    const int fd = Descriptor(s);
    if (fd < 0) return SOCKET_ERROR;
    if (level == SOL_SOCKET && optname == SO_LINGER) {
        if (optval == nullptr || optlen < static_cast<int>(sizeof(linger))) return Fail(WSAEFAULT);
        linger l;
        std::memcpy(&l, optval, sizeof l);
        const int r = posix::SetLinger(fd, l.l_onoff != 0, l.l_linger);
        return r < 0 ? FailErrno(r) : 0;
    }
    posix::Option option;
    if (!Translate(level, optname, &option) || ReadOnly(option)) return Fail(WSAENOPROTOOPT);
    if (optval == nullptr || optlen < static_cast<int>(sizeof(int))) return Fail(WSAEFAULT);
    int value = 0;
    std::memcpy(&value, optval, sizeof value);
    const int r = posix::SetIntOption(fd, option, value);
    return r < 0 ? FailErrno(r) : 0;
}

int getsockopt(SOCKET s, int level, int optname, char* optval, int* optlen) {
    if (!CheckStarted()) return SOCKET_ERROR;
    const int fd = Descriptor(s);
    if (fd < 0) return SOCKET_ERROR;
    if (optval == nullptr || optlen == nullptr) return Fail(WSAEFAULT);
    if (level == SOL_SOCKET && optname == SO_LINGER) {
        if (*optlen < static_cast<int>(sizeof(linger))) return Fail(WSAEFAULT);
        bool on = false;
        int seconds = 0;
        const int r = posix::GetLinger(fd, &on, &seconds);
        if (r < 0) return FailErrno(r);
        linger l;
        l.l_onoff = on ? 1 : 0;
        l.l_linger = static_cast<u_short>(seconds);
        std::memcpy(optval, &l, sizeof l);
        *optlen = sizeof l;
        return 0;
    }
    posix::Option option;
    if (!Translate(level, optname, &option)) return Fail(WSAENOPROTOOPT);
    if (*optlen < static_cast<int>(sizeof(int))) return Fail(WSAEFAULT);
    int value = 0;
    const int r = posix::GetIntOption(fd, option, &value);
    if (r < 0) return FailErrno(r);
    if (option == posix::Option::Error) {
        value = WsaErrorFromErrno(value);
        selection::NoteEnded(fd, value);  // reading SO_ERROR clears it; later calls still know
    } else if (IsBufferSize(option)) {
        value /= 2;  // Linux reports twice the size asked for (its bookkeeping share included)
    }
    std::memcpy(optval, &value, sizeof value);
    *optlen = sizeof value;
    return 0;
}

int ioctlsocket(SOCKET s, long cmd, u_long* argp) {
    if (!CheckStarted()) return SOCKET_ERROR;
    const int fd = Descriptor(s);
    if (fd < 0) return SOCKET_ERROR;
    if (argp == nullptr) return Fail(WSAEFAULT);
    // fcntl and FIONREAD work on any descriptor; WinSock's ioctlsocket only on sockets.
    const int check = posix::CheckSocket(fd);
    if (check < 0) return FailErrno(check);
    switch (cmd) {
        case FIONBIO: {
            // As in WinSock, a selected socket cannot be made blocking: cancel the selection first.
            if (*argp == 0 && selection::IsSelected(fd)) return Fail(WSAEINVAL);
            const int r = posix::SetNonBlocking(fd, *argp != 0);
            return r < 0 ? FailErrno(r) : 0;
        }
        case FIONREAD: {
            const int r = posix::BytesReadable(fd);
            if (r < 0) return FailErrno(r);
            *argp = static_cast<u_long>(r);
            return 0;
        }
        case SIOCATMARK: {
            // WinSock: TRUE when no urgent data waits to be read, out of band or (SO_OOBINLINE)
            // in line.
            const int r = posix::UrgentDataWaiting(fd);
            if (r < 0) return FailErrno(r);
            *argp = r == 0 ? 1 : 0;
            return 0;
        }
        default:
            return Fail(WSAEINVAL);
    }
}

}  // namespace winsock
