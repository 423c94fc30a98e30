// KERNEL32 on Windows: critical sections, IsBadWritePtr, thread ids, tick counts and the last
// error are the system's, declared by <windows.h>.
#pragma once

#include "platform/wintypes.h"
