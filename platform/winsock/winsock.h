/* WinSock 1.1 (start-up, errors, event selection, and the BSD calls in namespace `winsock`):
   the system's on Windows, the emulation's elsewhere. */
#pragma once

#if defined(_WIN32)
#include "platform/winsock/winsock_win32.h"
#else
#include "platform/winsock/winsock_posix.h"
#endif
