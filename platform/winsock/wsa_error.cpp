#include "platform/winsock/wsa_error.h"

#include <cerrno>
#include <climits>

#include "platform/winsock/posix_socket.h"

namespace talven::platform::sockets {
namespace {

struct ErrnoEntry {
    int err;
    int wsa;
};

// The one translation of errno values into WinSock codes.
constexpr ErrnoEntry kErrnoTable[] = {
    {EINTR, WSAEINTR},
    {EBADF, WSAENOTSOCK},  // a handle that names no open descriptor is no socket
    {EACCES, WSAEACCES},
    {EPERM, WSAEACCES},
    {EFAULT, WSAEFAULT},
    {EINVAL, WSAEINVAL},
    {EMFILE, WSAEMFILE},
    {ENFILE, WSAEMFILE},
    {EWOULDBLOCK, WSAEWOULDBLOCK},
    {EAGAIN, WSAEWOULDBLOCK},
    {EINPROGRESS, WSAEWOULDBLOCK},  // a non-blocking connect under way, as WinSock reports it
    {EALREADY, WSAEALREADY},
    {ENOTSOCK, WSAENOTSOCK},
    {EDESTADDRREQ, WSAEDESTADDRREQ},
    {EMSGSIZE, WSAEMSGSIZE},
    {EPROTOTYPE, WSAEPROTOTYPE},
    {ENOPROTOOPT, WSAENOPROTOOPT},
    {EPROTONOSUPPORT, WSAEPROTONOSUPPORT},
    {ESOCKTNOSUPPORT, WSAESOCKTNOSUPPORT},
    {EOPNOTSUPP, WSAEOPNOTSUPP},
    {ENOTSUP, WSAEOPNOTSUPP},
    {EPFNOSUPPORT, WSAEPFNOSUPPORT},
    {EAFNOSUPPORT, WSAEAFNOSUPPORT},
    {EADDRINUSE, WSAEADDRINUSE},
    {EADDRNOTAVAIL, WSAEADDRNOTAVAIL},
    {ENETDOWN, WSAENETDOWN},
    {ENETUNREACH, WSAENETUNREACH},
    {ENETRESET, WSAENETRESET},
    {ECONNABORTED, WSAECONNABORTED},
    {ECONNRESET, WSAECONNRESET},
    {ENOBUFS, WSAENOBUFS},
    {ENOMEM, WSAENOBUFS},
    {EISCONN, WSAEISCONN},
    {ENOTCONN, WSAENOTCONN},
    {ESHUTDOWN, WSAESHUTDOWN},
    {EPIPE, WSAESHUTDOWN},  // sending on a connection whose sending side has ended
    {ETOOMANYREFS, WSAETOOMANYREFS},
    {ETIMEDOUT, WSAETIMEDOUT},
    {ECONNREFUSED, WSAECONNREFUSED},
    {ELOOP, WSAELOOP},
    {ENAMETOOLONG, WSAENAMETOOLONG},
    {EHOSTDOWN, WSAEHOSTDOWN},
    {EHOSTUNREACH, WSAEHOSTUNREACH},
    {ENOTEMPTY, WSAENOTEMPTY},
    {EUSERS, WSAEUSERS},
    {EDQUOT, WSAEDQUOT},
    {ESTALE, WSAESTALE},
    {EREMOTE, WSAEREMOTE},
};

}  // namespace

int WsaErrorFromErrno(int err) {
    if (err == 0) {
        return 0;
    }
    if (err == EAGAIN) {
        return WSAEWOULDBLOCK;  // by far the most frequent failure: every drained read
    }
    for (const ErrnoEntry& e : kErrnoTable) {
        if (e.err == err) {
            return e.wsa;
        }
    }
    return WSAENETDOWN;  // WinSock's code for a failure of the network subsystem itself
}

int WsaErrorFromLookup(int lookupError) {
    switch (lookupError) {
        case posix::kLookupNotFound: return WSAHOST_NOT_FOUND;
        case posix::kLookupTryAgain: return WSATRY_AGAIN;
        case posix::kLookupNoData: return WSANO_DATA;
        case posix::kLookupNoMemory: return WSAENOBUFS;
        default: return WSANO_RECOVERY;
    }
}

int Fail(int wsaError) {
    WSASetLastError(wsaError);
    return SOCKET_ERROR;
}

}  // namespace talven::platform::sockets
