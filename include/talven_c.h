/* TALVEN from C: the packet socket, its notification window, start-up, error texts and the
   daily log as plain C functions, for programs built by any compiler and for languages that
   load a DLL through C calls. No C++ type crosses these functions, and no name of them is an
   MFC one, so the header sits beside <afxwin.h>.

   Compiles as C89 and as C++. On Windows it includes <winsock2.h> (unless a WinSock header
   came first) and <windows.h>; it defines none of their configuration macros. Elsewhere it
   includes the library's emulation of the Win32 names, whose window and message functions
   (RegisterClassA, CreateWindowExA, GetMessageA, DispatchMessageA, ...) and WSAGetLastError
   have C linkage there too.

   Results: a function that succeeds or fails returns 1 or 0; the others say what they return.
   A failure sets the calling thread's WinSock error (WSAGetLastError): WSAEINVAL for a null or
   unknown handle and for a negative length, WSAEFAULT for a null pointer where data or a
   result is to go, WSAENOBUFS when memory or a window could not be had. A refused call
   changes nothing. No C++ exception leaves these functions.

   Threads: everything runs on the thread that made the notification window and runs its
   message loop, except QmtpSend, QmtpSendPure, QmtpGetSendQueueBytes, QmtpSetSendQueueLimit
   and QmSocketLog, which any thread may call (a socket is not destroyed while another thread
   is inside one of them). */
#ifndef TALVEN_C_H
#define TALVEN_C_H

#if defined(_WIN32)
#if !defined(_WINSOCKAPI_)
#include <winsock2.h>
#endif
#include <windows.h>
#else
#include "platform/wintypes.h"
#include "platform/user32/user32.h"
#include "platform/winsock/winsock.h"
#endif

#if defined(_WIN32)
#define TALVEN_CDECL __cdecl
#if defined(TALVEN_BUILDING_LIBRARY)
#define TALVEN_C_API __declspec(dllexport)
#elif defined(TALVEN_LINKED_IN)
#define TALVEN_C_API
#else
#define TALVEN_C_API __declspec(dllimport)
#endif
#else
#define TALVEN_CDECL
#define TALVEN_C_API __attribute__((visibility("default")))
#endif

/* Messages of the notification window (the library sends and receives them itself). */
#ifndef WM_SOCKET_NOTIFY
#define WM_SOCKET_NOTIFY 0x081B
#endif
#ifndef WM_SOCKET_ADD_MAP
#define WM_SOCKET_ADD_MAP 0x0827
#endif
#ifndef WM_SOCKET_REMOVE_MAP
#define WM_SOCKET_REMOVE_MAP 0x0828
#endif

/* Notification codes: wParam of the application's message, with the QMTP in lParam. */
#ifndef TP_NOTIFY_CONNECT
#define TP_NOTIFY_CONNECT 2025 /* a connect attempt ended: QmtpGetError 0 means connected */
#define TP_NOTIFY_CLOSE 2026   /* the peer closed or the connection broke; already closed */
#define TP_NOTIFY_RECEIVE 2027 /* packets wait for QmtpRead */
#define TP_NOTIFY_SEND 2028    /* the socket takes data again; the queue was flushed */
#define TP_NOTIFY_OOB 2029     /* urgent data arrived */
#define TP_NOTIFY_ACCEPT 2030  /* a connection waits for QmtpAccept */
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* One packet socket. */
typedef struct QmtpSocket* QMTP;

/* Starts WinSock 1.1: 1 when ready, else 0. data may be NULL. Each success is matched by one
   QmSocketTerm. Any thread. */
TALVEN_C_API int TALVEN_CDECL QmSocketInit(WSADATA* data);
/* WSACleanup's result: 0, or SOCKET_ERROR with the reason in WSAGetLastError. Any thread. */
TALVEN_C_API int TALVEN_CDECL QmSocketTerm(void);
/* The text of WinSock error `code` (0: "[0] No Error"; negative: empty), cut to size - 1
   characters and a terminating 0; returns the full length, so a size of 0 (text may then be
   NULL) asks for the length alone. -1 for a negative size or a NULL text with a positive
   size. Any thread. */
TALVEN_C_API int TALVEN_CDECL QmGetWSAErrorText(int code, char* text, int size);
/* Appends a time-stamped line, printf-formatted, to "Socket<YYYYMMDD>.log" in the current
   directory. Any thread. */
TALVEN_C_API void TALVEN_CDECL QmSocketLog(const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;

/* The hidden window through which socket events reach the sockets, owned by hOwner (which
   may be NULL), made and owned by the library. NULL on failure. The calling thread runs its
   messages: its message loop drives every socket made with it. */
TALVEN_C_API HWND TALVEN_CDECL QmNotifyWndCreate(HWND hOwner);
/* Destroys the window and frees it. Its sockets receive no more events; close or destroy
   them first. Refused (WSAEINVAL) for a window QmNotifyWndCreate did not make. */
TALVEN_C_API void TALVEN_CDECL QmNotifyWndDestroy(HWND hNotify);

/* A packet socket (TCP) whose events go through hNotify, a window of QmNotifyWndCreate, and
   whose notifications are posted to hApp as nAppMsg (at least WM_USER) with a TP_NOTIFY_*
   code in wParam and the QMTP in lParam. NULL with the WinSock error on failure. */
TALVEN_C_API QMTP TALVEN_CDECL QmtpCreate(HWND hNotify, HWND hApp, UINT nAppMsg);
/* Connects to host (a dotted address or a name) and port: 1 when the connection is made or
   under way (its outcome comes as TP_NOTIFY_CONNECT), 0 on failure. A closed socket gets a new
   connection this way. A port above 65535 is refused with WSAEINVAL, here and in QmtpListen. */
TALVEN_C_API int TALVEN_CDECL QmtpConnect(QMTP s, const char* host, UINT port);
/* Binds to address (NULL: every local address) and port (0: one the system chooses, told by
   QmtpGetLocal) and listens with SOMAXCONN: 1 or 0. Connections are announced by
   TP_NOTIFY_ACCEPT. */
TALVEN_C_API int TALVEN_CDECL QmtpListen(QMTP s, const char* address, UINT port);
/* Takes a waiting connection of a listening socket as a new packet socket that notifies the
   listener's window with the listener's message. NULL and WSAEWOULDBLOCK when none waits. */
TALVEN_C_API QMTP TALVEN_CDECL QmtpAccept(QMTP listener);

/* Queues data as one packet (a 4-byte big-endian length, then the bytes; the library keeps
   its own copy) and writes what the socket takes now; the rest goes out when the socket takes
   more, and TP_NOTIFY_SEND follows. Any result but SOCKET_ERROR means the packet is queued (it
   is the count of packets this call's flush wrote whole, or positive when the socket would
   block); SOCKET_ERROR: the write failed, or WSAENOBUFS: the send queue limit refused the
   packet and nothing was queued. An empty
   packet (len 0, data may be NULL) is a bare length field, which the receiving side of this
   library skips: it delivers no packet for it. Any thread. */
TALVEN_C_API int TALVEN_CDECL QmtpSend(QMTP s, const void* data, int len);
/* The same without the length field: the bytes join the stream as they are. Any thread. */
TALVEN_C_API int TALVEN_CDECL QmtpSendPure(QMTP s, const void* data, int len);
/* Takes the oldest received packet: *data and *len are set, and the result is how many
   packets are still waiting. 0 with both outputs untouched when none waited (set *data to
   NULL first to tell the two apart); SOCKET_ERROR on bad input. The buffer holds len bytes
   and a 0 behind them; it is the caller's, released with QmtpFreeData and with nothing else
   (it belongs to the library's heap, not to the caller's runtime). */
TALVEN_C_API int TALVEN_CDECL QmtpRead(QMTP s, char** data, int* len);
/* Releases a buffer of QmtpRead; NULL is ignored. Any thread. */
TALVEN_C_API void TALVEN_CDECL QmtpFreeData(char* data);

/* The WinSock error that came with the socket's last event (0: none); SOCKET_ERROR for a bad
   handle. */
TALVEN_C_API int TALVEN_CDECL QmtpGetError(QMTP s);
/* Bytes queued and not yet written (at most INT_MAX); SOCKET_ERROR for a bad handle. Any
   thread. */
TALVEN_C_API int TALVEN_CDECL QmtpGetSendQueueBytes(QMTP s);
/* A packet that would take the queue above bytes is refused (0: no limit, the default): 1, or
   0 for a bad handle or a negative limit. Any thread. */
TALVEN_C_API int TALVEN_CDECL QmtpSetSendQueueLimit(QMTP s, int bytes);
/* The address of the peer, or the socket's own, as dotted text in address (size bytes, 16 are
   always enough) and the port in *port: 1 or 0 (WSAEFAULT also when the text does not fit). */
TALVEN_C_API int TALVEN_CDECL QmtpGetPeer(QMTP s, char* address, int size, UINT* port);
TALVEN_C_API int TALVEN_CDECL QmtpGetLocal(QMTP s, char* address, int size, UINT* port);

/* Unregisters the socket from its notification window and closes it; no more events come.
   The handle stays valid (received packets can still be read) until QmtpDestroy. */
TALVEN_C_API void TALVEN_CDECL QmtpClose(QMTP s);
/* Closes the socket if it is open and frees it, with its queued and unread packets; NULL is
   ignored. Notifications already posted for it still arrive: every function refuses the
   destroyed handle with WSAEINVAL, as long as no later socket has been given the same value. */
TALVEN_C_API void TALVEN_CDECL QmtpDestroy(QMTP s);

#ifdef __cplusplus
}
#endif

#endif
