// Internal: the event-selection engine's hooks in the socket calls.
//
// The socket calls report what they did (a recv, a would-block send, a connect, ...) so that
// the engine can apply WinSock's re-enabling rules for a selected socket. Every hook is cheap
// for a socket that is not selected. Any thread.
#pragma once

#include "platform/winsock/SelectionTable.h"
#include "platform/winsock/winsock.h"

namespace talven::platform::sockets::selection {

// A new descriptor number: drops whatever state a predecessor with that number left.
void SocketCreated(int fd);
// Before the descriptor is closed: cancels the selection and removes its notifications still
// queued, so that a new socket given the same number never receives them.
void BeforeClose(int fd);
bool IsSelected(int fd);

// After recv/recvfrom. result: bytes, 0, or -1 with wsaError. scriptedMore: the socket seam
// holds more scripted reads for the socket.
// Before a plain recv (no flags) on a selected stream: true when the socket is known to have
// been empty since the last recv (see Selection::TakeDrained); the recv then reports
// WSAEWOULDBLOCK without a system call. Answers true once per such recv. Inline, as
// AfterRecv: both run on every recv.
inline bool TakeDrained(int fd) {
    Selection* s = SelectionTable::Find(fd);
    return s != nullptr && s->selected() && s->TakeDrained();
}
inline void AfterRecv(int fd, long result, int len, int flags, int wsaError, bool scriptedMore) {
    Selection* s = SelectionTable::Find(fd);
    if (s != nullptr && s->selected()) {
        s->OnRecv(fd, result, len, flags, wsaError, scriptedMore);
    }
}
// After a send/sendto that failed with WSAEWOULDBLOCK: FD_WRITE once the socket can take data.
void AfterSendWouldBlock(int fd);
// After a send that failed with anything but WSAEWOULDBLOCK.
void AfterSendFailed(int fd, int wsaError);
// After connect on the descriptor. result: 0 or a negative errno. Returns the result to report:
// on a selected socket every outcome that only the connection attempt decides is reported
// through FD_CONNECT, and the call itself then says the attempt is under way (-EINPROGRESS).
long AfterConnect(int fd, long result);
void AfterListen(int fd);
// After a successful shutdown; how is SD_RECEIVE, SD_SEND or SD_BOTH.
void AfterShutdown(int fd, int how);

// WinSock reports a reset by every later recv and send; Linux reports it once (or hands it to
// whoever reads SO_ERROR first), then ends the stream (recv 0) and fails sends with EPIPE.
// TransferError gives the code a failed stream recv or send reports: EPIPE (WSAESHUTDOWN) is
// a reset unless this side shut down sending, and a reset is remembered for the calls after.
int TransferError(int fd, int wsaError, bool sending);
// The remembered reset or abort code of fd's connection, 0 when none: an empty recv reports it.
int EndedCode(int fd);
// A connection error taken from SO_ERROR by the application.
void NoteEnded(int fd, int wsaError);
// After accept on a listening socket; accepted is the new descriptor or negative on failure.
// A socket accepted from a selected listener inherits its selection.
void AfterAccept(int listener, int accepted);

}  // namespace talven::platform::sockets::selection
