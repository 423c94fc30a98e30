// wsprintfA: printf formatting into a caller's buffer of at most 1024 bytes, as in Win32.
#include <cstdarg>
#include <cstdio>

#include "platform/user32/user32.h"

namespace {
// Win32 writes at most this many bytes, the terminating NUL included.
constexpr int kMaxBuffer = 1024;
}  // namespace

int wsprintfA(LPSTR buffer, LPCSTR format, ...) {
    if (buffer == nullptr || format == nullptr) {
        return 0;
    }
    va_list args;
    va_start(args, format);
    const int needed = std::vsnprintf(buffer, kMaxBuffer, format, args);
    va_end(args);
    if (needed < 0) {
        buffer[0] = '\0';
        return 0;
    }
    // The count of characters stored, not of those the format would have produced.
    return needed < kMaxBuffer ? needed : kMaxBuffer - 1;
}
