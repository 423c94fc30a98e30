// Event selection: not wired to the message wait yet; every hook is a no-op and
// WSAAsyncSelect refuses with WSAEOPNOTSUPP.
#include "platform/winsock/async_select.h"

#include "platform/winsock/wsa_error.h"

namespace talven::platform::sockets::selection {

void SocketCreated(int) {}
void BeforeClose(int) {}
bool IsSelected(int) { return false; }
void AfterRecv(int, long, int, int, int, bool) {}
void AfterSendWouldBlock(int) {}
long AfterConnect(int, long result) { return result; }
void AfterListen(int) {}
void AfterAccept(int, int) {}

}  // namespace talven::platform::sockets::selection

int WSAAsyncSelect(SOCKET, HWND, UINT, long) {
    using namespace talven::platform::sockets;
    if (!CheckStarted()) return SOCKET_ERROR;
    return Fail(WSAEOPNOTSUPP);
}
