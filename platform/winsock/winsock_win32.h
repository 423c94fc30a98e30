// WinSock on Windows: the system's WinSock 2 (ws2_32), which also offers every WinSock 1.1 call.
//
// WinSock-only names (WSA*, SOCKET, FD_*, error codes) are the system's, global as always, and
// this header leaves them so: an application's own WSAAsyncSelect is the system's. The BSD calls
// and their types are reached through namespace `winsock`, as on every system: most of them are
// the system's own functions brought in by name, at no cost. The few below are functions of the
// library around the system's call: the ones that move data or close a socket (the library's
// test builds can script them), accept (a selected listener's socket inherits its selection),
// and winsock::WSAAsyncSelect, which the library's own code calls to select. Threads: every
// call may be made from any thread.
#pragma once

#include "platform/user32/user32.h"

namespace winsock {

using ::u_char;
using ::u_short;
using ::u_int;
using ::u_long;

using ::in_addr;
using ::sockaddr;
using ::sockaddr_in;
using ::hostent;
using ::linger;

using ::socket;
using ::bind;
using ::connect;
using ::listen;
using ::shutdown;
using ::ioctlsocket;
using ::setsockopt;
using ::getsockopt;
using ::getpeername;
using ::getsockname;
using ::gethostname;
using ::inet_addr;
using ::inet_ntoa;
using ::htons;
using ::ntohs;
using ::htonl;
using ::ntohl;

// The system's calls. A socket accepted from a selected listener inherits its selection, as
// WinSock gives it.
TALVEN_API SOCKET accept(SOCKET s, sockaddr* addr, int* addrlen);
TALVEN_API int recv(SOCKET s, char* buf, int len, int flags);
TALVEN_API int send(SOCKET s, const char* buf, int len, int flags);
TALVEN_API int recvfrom(SOCKET s, char* buf, int len, int flags, sockaddr* from, int* fromlen);
TALVEN_API int sendto(SOCKET s, const char* buf, int len, int flags, const sockaddr* to, int tolen);
// A gathered write: WSASend with `count` buffers on a socket used without overlapped I/O; the
// bytes taken or SOCKET_ERROR, as send. The total must fit an int; count is 0 to 1024.
TALVEN_API int SendGathered(SOCKET s, const WSABUF* buffers, int count, int flags);
TALVEN_API int closesocket(SOCKET s);
TALVEN_API hostent* gethostbyname(const char* name);

// The system's WSAAsyncSelect.
TALVEN_API int WSAAsyncSelect(SOCKET s, HWND hwnd, UINT msg, long events);

}  // namespace winsock
