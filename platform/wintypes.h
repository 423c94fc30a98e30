/* The basic Win32 types and macros that the library and its applications use: the system's own
   on Windows, the emulation's elsewhere. */
#pragma once

#if defined(_WIN32)
#include "platform/wintypes_win32.h"
#else
#include "platform/wintypes_posix.h"
#endif
