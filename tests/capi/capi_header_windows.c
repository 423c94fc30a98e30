/* talven_c.h after a full <windows.h>, which brings WinSock 1.1's <winsock.h> with it on
   Windows: the header adds no second WinSock header and changes none of the includer's macros.
   Elsewhere the emulation's headers come first, and talven_c.h a second time. */
#if defined(_WIN32)
#include <windows.h>
#else
#include "platform/user32/user32.h"
#include "platform/winsock/winsock.h"
#endif
#include "talven_c.h"
#include "talven_c.h"

#if defined(WIN32_LEAN_AND_MEAN) || defined(NOMINMAX)
#error "talven_c.h defined a configuration macro of <windows.h>"
#endif

int capi_header_after_windows_h(void) {
    char text[32];
    return QmGetWSAErrorText(WSAEWOULDBLOCK, text, (int)sizeof text) > 0 && IsWindow(NULL) == FALSE;
}
