// The basic Win32 types and macros: the system headers.
//
// WinSock 2's header comes before <windows.h>, which would otherwise bring in WinSock 1.1's
// <winsock.h>, whose declarations clash with it. The lean <windows.h> leaves out the RPC, COM and
// multimedia headers, which define common words as macros (small, interface); min and max stay
// functions of the standard library.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif

#include <winsock2.h>
#include <windows.h>

// <windows.h> defines the 16-bit pointer qualifiers near and far as empty macros, which would
// silently erase any identifier so named; the system headers themselves use FAR and NEAR.
#undef near
#undef far

#include "platform/talven_export.h"
