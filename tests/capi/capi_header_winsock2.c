/* talven_c.h after <winsock2.h> and a lean <windows.h>, as a WinSock 2 application includes
   them (on Windows; elsewhere the emulation's types come first). */
#if defined(_WIN32)
#define WIN32_LEAN_AND_MEAN
#include <winsock2.h>
#include <windows.h>
#else
#include "platform/wintypes.h"
#endif
#include "talven_c.h"

int capi_header_after_winsock2_h(void) {
    WSADATA data;
    QMTP none = NULL;
    int ok;
    ok = QmSocketInit(&data) == 1;
    ok = ok && QmtpGetError(none) == SOCKET_ERROR && WSAGetLastError() == WSAEINVAL;
    QmSocketTerm();
    return ok;
}
