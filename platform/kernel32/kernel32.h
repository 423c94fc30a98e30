/* The kernel's locks, clocks and probes (KERNEL32): the system's on Windows, the emulation's
   elsewhere. */
#pragma once

#if defined(_WIN32)
#include "platform/kernel32/kernel32_win32.h"
#else
#include "platform/kernel32/kernel32_posix.h"
#endif
