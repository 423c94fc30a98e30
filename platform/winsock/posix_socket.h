// The POSIX side of the socket calls, behind plain-typed functions.
//
// winsock.h defines WinSock's macros (SOL_SOCKET, SO_*, FIONBIO, ...) with WinSock's values,
// which collide with the C library's socket headers. So everything that needs those headers
// lives in posix_socket.cpp, which includes system headers only, and this interface speaks in
// plain integers and in its own enumerations. Addresses pass as bytes: an IPv4 sockaddr_in has
// the same 16-byte layout on both sides.
//
// Every function returns a non-negative result or a negative errno value. Calls interrupted by
// a signal are restarted. Any thread.
#pragma once

#include <cstddef>
#include <cstdint>

namespace talven::platform::posix {

// Message flags understood by Recv/Send (WinSock and Linux agree on these three values, but
// the adapter translates them explicitly all the same).
enum MessageFlag : int { kFlagOob = 0x1, kFlagPeek = 0x2, kFlagDontRoute = 0x4 };

int Socket(int family, int type, int protocol);  // close-on-exec, blocking
// Bind and Listen give a TCP port Windows' reuse rules: a port held only by connections of an
// earlier server (TIME_WAIT and the like) can be bound again at once, while a port that a
// listening socket or another bound socket holds is refused (EADDRINUSE). To that end a
// stream socket that meets such leftovers binds with SO_REUSEADDR and then clears it again,
// and a listening socket gets SO_REUSEADDR, so that the connections it accepts leave
// reusable remnants. A socket the application set SO_REUSEADDR on binds as POSIX does.
int Bind(int fd, const void* addr, std::uint32_t len);
int Connect(int fd, const void* addr, std::uint32_t len);
int Listen(int fd, int backlog);
// The new descriptor is close-on-exec, and non-blocking when asked.
int Accept(int fd, void* addr, std::uint32_t* len, bool nonBlocking);
long Recv(int fd, void* buf, std::size_t len, int flags);
long RecvFrom(int fd, void* buf, std::size_t len, int flags, void* from, std::uint32_t* fromLen);
// Sends never raise SIGPIPE.
long Send(int fd, const void* buf, std::size_t len, int flags);
// One piece of a gathered send.
struct Piece {
    const void* data;
    std::size_t len;
};
// sendmsg of `count` pieces (at most kMaxPieces), never raising SIGPIPE.
constexpr int kMaxPieces = 1024;
long SendGathered(int fd, const Piece* pieces, int count, int flags);
long SendTo(int fd, const void* buf, std::size_t len, int flags, const void* to, std::uint32_t toLen);
int Shutdown(int fd, int how);  // 0 receive, 1 send, 2 both
int Close(int fd);
int GetSockName(int fd, void* addr, std::uint32_t* len);
int GetPeerName(int fd, void* addr, std::uint32_t* len);

// 0 when fd is a socket, else a negative errno (ENOTSOCK, EBADF).
int CheckSocket(int fd);
int SetNonBlocking(int fd, bool on);
int BytesReadable(int fd);      // FIONREAD: bytes waiting (stream) or the next datagram's size
// 1 when normal data waits to be read on a stream socket, else 0. Unlike FIONREAD, which
// stops counting at an urgent mark, this sees the data behind the mark too.
int NormalDataWaiting(int fd);
// 1 while urgent data waits: the out-of-band byte not yet read with MSG_OOB, or, with
// SO_OOBINLINE, the urgent byte not yet read in line. Else 0.
int UrgentDataWaiting(int fd);
int PendingError(int fd);       // SO_ERROR, clearing it: 0 or a positive errno value

// Socket options the WinSock layer can translate.
enum class Option {
    Debug, AcceptConn, ReuseAddr, KeepAlive, DontRoute, Broadcast, OobInline,
    SendBuffer, ReceiveBuffer, Error, Type, TcpNoDelay,
};
int SetIntOption(int fd, Option option, int value);
int GetIntOption(int fd, Option option, int* value);
int SetLinger(int fd, bool on, int seconds);
int GetLinger(int fd, bool* on, int* seconds);

// What a descriptor is, for event selection.
enum class SocketState : std::uint8_t {
    Unconnected,  // a stream socket that is neither connecting, connected nor listening
    Connecting,   // connection attempt in progress
    Connected,    // established, or closed by the peer but not yet by us
    Listening,
    Closed,       // the connection has ended
    Datagram,
};
// The state, or a negative errno (ENOTSOCK for a descriptor that is not a socket).
int QueryState(int fd, SocketState* state);

int HostName(char* buf, std::size_t len);

// IPv4 addresses of `name` (network byte order) into addrs, at most `max`; the canonical name
// into canon (NUL-terminated, truncated to canonLen). Returns the count, or a LookupError.
enum LookupError : int {
    kLookupNotFound = -1,
    kLookupTryAgain = -2,
    kLookupNoRecovery = -3,
    kLookupNoData = -4,
    kLookupNoMemory = -5,
};
int ResolveIPv4(const char* name, std::uint32_t* addrs, int max, char* canon, std::size_t canonLen);

}  // namespace talven::platform::posix
