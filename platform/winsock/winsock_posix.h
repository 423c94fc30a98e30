/* WinSock 1.1 (WSOCK32): start-up, errors, event selection, and the BSD calls.

   The BSD calls and their types keep their WinSock names and signatures inside namespace
   `winsock`, since the global names belong to the C library. WinSock-only names (WSA*,
   SOCKET, FD_*, error codes) are global, as in winsock.h. The constants keep WinSock's values;
   the platform translates them where POSIX differs.

   Every call made while WinSock is not started fails with WSANOTINITIALISED (the address-text
   and byte-order helpers, which cannot fail that way, work regardless). Every failing call
   sets the calling thread's last error (WSAGetLastError). No call raises SIGPIPE. Sockets
   start blocking; WSAAsyncSelect makes them non-blocking. Only IPv4 (AF_INET) is offered.
   After a connection has been reset, every recv and send on it fails with WSAECONNRESET;
   WSAESHUTDOWN is only for sending on a socket whose sending side this side shut down.
   A TCP bind refuses a port that a listening or another bound socket holds (WSAEADDRINUSE),
   but not one held only by connections an earlier server left behind (TIME_WAIT).
   The last WSACleanup does not close sockets still open: they stay usable after a new start.
   Threads: every call may be made from any thread; a socket is not locked against concurrent
   use of the same handle by two threads, except as POSIX itself allows.

   The global part (start-up, errors, event selection, the constants) has C linkage, as on
   Windows, and compiles as C; the namespace is C++ only. */
#pragma once

#include "platform/user32/user32.h"

typedef UINT_PTR SOCKET;  /* the POSIX descriptor's value */
#define INVALID_SOCKET ((SOCKET)(~0))
#define SOCKET_ERROR (-1)

#define WSADESCRIPTION_LEN 256
#define WSASYS_STATUS_LEN 128
typedef struct WSADATA {
    WORD wVersion;
    WORD wHighVersion;
    char szDescription[WSADESCRIPTION_LEN + 1];
    char szSystemStatus[WSASYS_STATUS_LEN + 1];
    unsigned short iMaxSockets;
    unsigned short iMaxUdpDg;
    char* lpVendorInfo;
} WSADATA;
typedef WSADATA* LPWSADATA;

/* Event selection */
#define FD_READ 0x01
#define FD_WRITE 0x02
#define FD_OOB 0x04
#define FD_ACCEPT 0x08
#define FD_CONNECT 0x10
#define FD_CLOSE 0x20
#define WSAMAKESELECTREPLY(event, error) ((LONG)MAKELONG(event, error))
#define WSAGETSELECTEVENT(lParam) LOWORD(lParam)
#define WSAGETSELECTERROR(lParam) HIWORD(lParam)

/* Error codes */
#define WSABASEERR 10000
#define WSAEINTR 10004
#define WSAEBADF 10009
#define WSAEACCES 10013
#define WSAEFAULT 10014
#define WSAEINVAL 10022
#define WSAEMFILE 10024
#define WSAEWOULDBLOCK 10035
#define WSAEINPROGRESS 10036
#define WSAEALREADY 10037
#define WSAENOTSOCK 10038
#define WSAEDESTADDRREQ 10039
#define WSAEMSGSIZE 10040
#define WSAEPROTOTYPE 10041
#define WSAENOPROTOOPT 10042
#define WSAEPROTONOSUPPORT 10043
#define WSAESOCKTNOSUPPORT 10044
#define WSAEOPNOTSUPP 10045
#define WSAEPFNOSUPPORT 10046
#define WSAEAFNOSUPPORT 10047
#define WSAEADDRINUSE 10048
#define WSAEADDRNOTAVAIL 10049
#define WSAENETDOWN 10050
#define WSAENETUNREACH 10051
#define WSAENETRESET 10052
#define WSAECONNABORTED 10053
#define WSAECONNRESET 10054
#define WSAENOBUFS 10055
#define WSAEISCONN 10056
#define WSAENOTCONN 10057
#define WSAESHUTDOWN 10058
#define WSAETOOMANYREFS 10059
#define WSAETIMEDOUT 10060
#define WSAECONNREFUSED 10061
#define WSAELOOP 10062
#define WSAENAMETOOLONG 10063
#define WSAEHOSTDOWN 10064
#define WSAEHOSTUNREACH 10065
#define WSAENOTEMPTY 10066
#define WSAEPROCLIM 10067
#define WSAEUSERS 10068
#define WSAEDQUOT 10069
#define WSAESTALE 10070
#define WSAEREMOTE 10071
#define WSASYSNOTREADY 10091
#define WSAVERNOTSUPPORTED 10092
#define WSANOTINITIALISED 10093
#define WSAHOST_NOT_FOUND 11001
#define WSATRY_AGAIN 11002
#define WSANO_RECOVERY 11003
#define WSANO_DATA 11004

/* Address families, types, protocols */
#define AF_UNSPEC 0
#define AF_INET 2
#define PF_INET AF_INET
#define SOCK_STREAM 1
#define SOCK_DGRAM 2
#define IPPROTO_IP 0
#define IPPROTO_TCP 6
#define IPPROTO_UDP 17
#define INADDR_ANY ((winsock::u_long)0x00000000)
#define INADDR_LOOPBACK ((winsock::u_long)0x7f000001)
#define INADDR_BROADCAST ((winsock::u_long)0xffffffff)
#define INADDR_NONE 0xffffffff

/* Socket options (WinSock values) */
#define SOL_SOCKET 0xffff
#define SO_DEBUG 0x0001
#define SO_ACCEPTCONN 0x0002
#define SO_REUSEADDR 0x0004
#define SO_KEEPALIVE 0x0008
#define SO_DONTROUTE 0x0010
#define SO_BROADCAST 0x0020
#define SO_LINGER 0x0080
#define SO_OOBINLINE 0x0100
#define SO_SNDBUF 0x1001
#define SO_RCVBUF 0x1002
#define SO_ERROR 0x1007
#define SO_TYPE 0x1008
#define TCP_NODELAY 0x0001

/* listen's backlog for "a maximum reasonable value" (WinSock 2's value). listen passes it on,
   and the system caps it at its own maximum (net.core.somaxconn on Linux). */
#define SOMAXCONN 0x7fffffff

/* ioctlsocket commands (WinSock values) */
#define FIONREAD 0x4004667FL
#define FIONBIO ((long)0x8004667EUL)
#define SIOCATMARK 0x40047307L

/* send/recv flags and shutdown directions */
#define MSG_OOB 0x1
#define MSG_PEEK 0x2
#define SD_RECEIVE 0
#define SD_SEND 1
#define SD_BOTH 2

#define MAXGETHOSTSTRUCT 1024

/* The lParam of an asynchronous lookup's completion message: the buffer length in the low 16
   bits (on WSAENOBUFS the length the result needs), the error in the high 16 bits. */
#define WSAMAKEASYNCREPLY(buflen, error) ((LONG)MAKELONG(buflen, error))
#define WSAGETASYNCBUFLEN(lParam) LOWORD(lParam)
#define WSAGETASYNCERROR(lParam) HIWORD(lParam)

/* One buffer of a gathered write (WinSock 2's WSABUF). */
typedef struct _WSABUF {
    unsigned int len;  /* 32 bits, as ULONG on Windows */
    char* buf;
} WSABUF, *LPWSABUF;

#ifdef __cplusplus
namespace winsock {

typedef unsigned char u_char;
typedef unsigned short u_short;
typedef unsigned int u_int;
typedef std::uint32_t u_long;  /* 32 bits, as on Windows */

struct in_addr {
    union {
        struct { u_char s_b1, s_b2, s_b3, s_b4; } S_un_b;
        struct { u_short s_w1, s_w2; } S_un_w;
        u_long S_addr;
    } S_un;
};

struct sockaddr {
    u_short sa_family;
    char sa_data[14];
};

struct sockaddr_in {
    short sin_family;
    u_short sin_port;
    in_addr sin_addr;
    char sin_zero[8];
};

struct hostent {
    char* h_name;
    char** h_aliases;
    short h_addrtype;
    short h_length;
    char** h_addr_list;
};

struct linger {
    u_short l_onoff;
    u_short l_linger;
};

TALVEN_API SOCKET socket(int af, int type, int protocol);
TALVEN_API int bind(SOCKET s, const sockaddr* name, int namelen);
TALVEN_API int connect(SOCKET s, const sockaddr* name, int namelen);
TALVEN_API int listen(SOCKET s, int backlog);
TALVEN_API SOCKET accept(SOCKET s, sockaddr* addr, int* addrlen);
TALVEN_API int recv(SOCKET s, char* buf, int len, int flags);
TALVEN_API int send(SOCKET s, const char* buf, int len, int flags);
TALVEN_API int recvfrom(SOCKET s, char* buf, int len, int flags, sockaddr* from, int* fromlen);
TALVEN_API int sendto(SOCKET s, const char* buf, int len, int flags, const sockaddr* to, int tolen);
/* A gathered write: the bytes of `count` buffers, in order, in one system call (sendmsg), as
   one send of their concatenation would write them; a stream socket may take only a leading
   part. Returns the bytes taken or SOCKET_ERROR, with send's errors and its FD_WRITE rule;
   the total must fit an int (WSAEINVAL otherwise), and count is 0 to 1024. */
TALVEN_API int SendGathered(SOCKET s, const WSABUF* buffers, int count, int flags);
TALVEN_API int shutdown(SOCKET s, int how);
/* Cancels the socket's event selection and removes its notifications still waiting in a queue. */
TALVEN_API int closesocket(SOCKET s);
TALVEN_API int ioctlsocket(SOCKET s, long cmd, u_long* argp);
TALVEN_API int setsockopt(SOCKET s, int level, int optname, const char* optval, int optlen);
TALVEN_API int getsockopt(SOCKET s, int level, int optname, char* optval, int* optlen);
TALVEN_API int getpeername(SOCKET s, sockaddr* name, int* namelen);
TALVEN_API int getsockname(SOCKET s, sockaddr* name, int* namelen);

/* Host lookup. The returned hostent and the text of inet_ntoa live in storage of the calling
   thread, valid until that thread's next call of the same function.
   A dotted address is converted without a resolver, and the text of an illegal one fails with
   WSANO_DATA; an empty or null name stands for the local host (gethostname); a name that no
   resolver could answer (blanks, empty labels, ...) fails with WSAHOST_NOT_FOUND without asking
   one. */
TALVEN_API hostent* gethostbyname(const char* name);
TALVEN_API int gethostname(char* name, int namelen);
/* WinSock's dotted forms (a.b.c.d, a.b.c, a.b, a; decimal, octal or hex parts); INADDR_NONE
   when malformed, which is also the value of "255.255.255.255". */
TALVEN_API u_long inet_addr(const char* cp);
TALVEN_API char* inet_ntoa(in_addr in);

TALVEN_API u_short htons(u_short v);
TALVEN_API u_short ntohs(u_short v);
TALVEN_API u_long htonl(u_long v);
TALVEN_API u_long ntohl(u_long v);

}  /* namespace winsock */
#endif

#ifdef __cplusplus
extern "C" {
#endif

#define h_addr h_addr_list[0]
#define s_addr S_un.S_addr

/* Start-up counting as WinSock does it; version negotiation for 1.1 (and up to 2.2). */
TALVEN_API int WSAStartup(WORD versionRequested, LPWSADATA data);
TALVEN_API int WSACleanup(void);
TALVEN_API int WSAGetLastError(void);      /* the calling thread's last error */
TALVEN_API void WSASetLastError(int error);

/* Makes s non-blocking, whatever events is (0 included), and replaces any earlier selection;
   events 0 cancels it (hwnd and msg are then not looked at), removes the socket's
   notifications still queued, and leaves the socket non-blocking. While selected, FIONBIO
   cannot make the socket blocking (WSAEINVAL). A window that is destroyed ends the selection
   silently. Each event is posted as PostMessageA(hwnd, msg, s, MAKELPARAM(event, error)) to
   the thread that owns hwnd, one event bit per message, under WinSock's re-enabling rules:
   FD_READ comes again while data remains after a recv (also one that stopped at an urgent
   mark), and FD_CLOSE only after every byte has been read. With SO_OOBINLINE, urgent data is
   announced by FD_READ, not FD_OOB. Any thread. */
TALVEN_API int WSAAsyncSelect(SOCKET s, HWND hwnd, UINT msg, long events);

/* The asynchronous gethostbyname. Returns a task handle (never 0, never reused) at once, or 0
   with the error (WSANOTINITIALISED; WSAEINVAL for a window that does not exist). A null name
   or buffer is answered by a reply with WSAEFAULT. The lookup runs on a platform thread, one
   request after another; when it ends the hostent and everything it points at are copied into
   buf and PostMessageA(hwnd, msg, task, WSAMAKEASYNCREPLY(bytes used, 0)) is posted; on failure
   the buffer is untouched and the reply carries the lookup's error, WSAENOBUFS with the length
   needed when buflen is too small. buf must stay valid until the message or a successful
   cancel. Any thread. */
TALVEN_API HANDLE WSAAsyncGetHostByName(HWND hwnd, UINT msg, const char* name, char* buf, int buflen);
/* Cancels a lookup that has not ended: 0, and then no message comes and buf is not written.
   SOCKET_ERROR with WSAEALREADY for one that has ended (its message may still be queued) or was
   cancelled, WSAEINVAL for a handle never given out. Any thread. */
TALVEN_API int WSACancelAsyncRequest(HANDLE task);

#ifdef __cplusplus
}  /* extern "C" */
#endif

#ifdef __cplusplus
/* The library's code selects through winsock::WSAAsyncSelect on every system (on Windows a
   function of the library around the system's, winsock_win32.h); here it is the one above. */
namespace winsock {
using ::WSAAsyncSelect;
}  /* namespace winsock */
#endif
