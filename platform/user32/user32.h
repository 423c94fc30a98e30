/* The window and message system (USER32): the system's on Windows, the emulation's elsewhere. */
#pragma once

#if defined(_WIN32)
#include "platform/user32/user32_win32.h"
#else
#include "platform/user32/user32_posix.h"
#endif
