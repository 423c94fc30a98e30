// The C runtime's (MSVCRT) translation mode of a file descriptor: the runtime's own on Windows,
// where text mode turns "\n" into CR LF on output and reads CR LF as "\n" (and ^Z as the end);
// elsewhere every stream is binary already.
#pragma once

#if defined(_WIN32)
#include "platform/msvcrt/msvcrt_win32.h"
#else
#include "platform/msvcrt/msvcrt_posix.h"
#endif
