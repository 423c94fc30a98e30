// The basic Win32 types and macros: the system headers, included as the application left them.
//
// The library's headers need WinSock 2 (WSABUF, SD_SEND), whose <winsock2.h> must come before
// <windows.h>: a <windows.h> without WIN32_LEAN_AND_MEAN brings in WinSock 1.1's <winsock.h>,
// whose declarations clash with WinSock 2's ("Creating a Basic Winsock Application", Microsoft
// Learn). So when neither is included yet, <winsock2.h> comes first (it includes <windows.h>
// itself); when the application already included <winsock2.h>, in either order the
// documentation allows, nothing more is needed; and when only WinSock 1.1 is there, the build
// stops here with the remedy rather than in a pile of redefinitions.
//
// Nothing here defines or removes a macro of the application's: WIN32_LEAN_AND_MEAN, NOMINMAX,
// min, max, near and far stay as the application and <windows.h> left them. The public headers
// therefore never name min, max, near or far, and never depend on what the lean <windows.h>
// leaves out.
#pragma once

#if defined(_WINSOCKAPI_) && !defined(_WINSOCK2API_)
#error "TALVEN needs WinSock 2: include <winsock2.h> before <windows.h>, or define WIN32_LEAN_AND_MEAN before <windows.h> (which then leaves WinSock 1.1's <winsock.h> out), or include talven.h first"
#endif

#include <winsock2.h>
#include <windows.h>

#include "platform/talven_export.h"
