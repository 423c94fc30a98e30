// The daily socket log: appends one time-stamped line to "Socket<YYYYMMDD>.log" in the current
// directory. Any thread; calls of one process are serialised so that none loses its line to
// another. A file held by another process, or a directory that cannot be written, loses the
// line silently.
#pragma once

#include "platform/talven_export.h"

extern "C" TALVEN_API void QmSocketLog(const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;
