// The emulation's one translation table from errno values to WinSock codes.
#include <gtest/gtest.h>

#include <cerrno>

#include "platform/winsock/winsock.h"
#include "platform/winsock/wsa_error.h"

namespace {

TEST(WinSockErrors, ErrnoValuesTranslateToWinSockCodes) {
    const struct {
        int err;
        int wsa;
    } table[] = {
        {0, 0},
        {EWOULDBLOCK, WSAEWOULDBLOCK}, {EAGAIN, WSAEWOULDBLOCK}, {EINPROGRESS, WSAEWOULDBLOCK},
        {ECONNREFUSED, WSAECONNREFUSED}, {EADDRINUSE, WSAEADDRINUSE}, {EMFILE, WSAEMFILE},
        {ENFILE, WSAEMFILE}, {EBADF, WSAENOTSOCK}, {ENOTSOCK, WSAENOTSOCK},
        {ECONNRESET, WSAECONNRESET}, {ECONNABORTED, WSAECONNABORTED}, {ETIMEDOUT, WSAETIMEDOUT},
        {ENOTCONN, WSAENOTCONN}, {EISCONN, WSAEISCONN}, {EALREADY, WSAEALREADY},
        {EADDRNOTAVAIL, WSAEADDRNOTAVAIL}, {ENETUNREACH, WSAENETUNREACH},
        {EHOSTUNREACH, WSAEHOSTUNREACH}, {EMSGSIZE, WSAEMSGSIZE}, {ENOBUFS, WSAENOBUFS},
        {EINVAL, WSAEINVAL}, {EFAULT, WSAEFAULT}, {EACCES, WSAEACCES}, {EPIPE, WSAESHUTDOWN},
        {EAFNOSUPPORT, WSAEAFNOSUPPORT}, {ENOPROTOOPT, WSAENOPROTOOPT},
    };
    for (const auto& row : table) {
        EXPECT_EQ(talven::platform::sockets::WsaErrorFromErrno(row.err), row.wsa) << row.err;
    }
}

}  // namespace
