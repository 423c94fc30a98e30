// One translation unit of an application, compiled once per header order (CMakeLists.txt beside
// this file sets HEADER_ORDER): the public headers compile after <windows.h> and <winsock2.h> in
// the orders Microsoft documents for them ("Creating a Basic Winsock Application"), or before
// them, and leave the application's macros as it and <windows.h> set them.
//   1  talven.h first, then <windows.h> and <winsock2.h>; neither NOMINMAX nor the lean headers
//   2  WIN32_LEAN_AND_MEAN and NOMINMAX, <windows.h>, <winsock2.h>, then talven.h
//   3  WIN32_LEAN_AND_MEAN without NOMINMAX, <windows.h>, <winsock2.h>, then talven.h
//   4  NOMINMAX without the lean headers, <winsock2.h>, <windows.h>, then talven.h
//   5  neither, <winsock2.h>, <windows.h>, then talven.h
//   6  neither, <windows.h> alone (WinSock 1.1 comes with it): talven.h must stop the build with
//      its own #error that names the remedy (the CMake project expects this case to fail)
//   0  POSIX: talven.h alone
// Whether <windows.h> defines the min and max macros is its own and the compiler's affair (mingw-w64's
// C++ library defines NOMINMAX in its configuration header, which <windows.h>'s C headers reach,
// so with mingw-w64 it never does in C++); talven.h keeps whatever it found.
#if HEADER_ORDER == 2 || HEADER_ORDER == 3
#define WIN32_LEAN_AND_MEAN
#endif
#if HEADER_ORDER == 2 || HEADER_ORDER == 4
#define NOMINMAX
#endif

#if HEADER_ORDER == 1
#include "talven.h"
#include <windows.h>
#include <winsock2.h>
#else
#if HEADER_ORDER == 2 || HEADER_ORDER == 3 || HEADER_ORDER == 6
#include <windows.h>
#endif
#if HEADER_ORDER >= 2 && HEADER_ORDER <= 5
#include <winsock2.h>
#endif
#if HEADER_ORDER == 4 || HEADER_ORDER == 5
#include <windows.h>
#endif
#if defined(min) || defined(max)
#define HEADER_ORDER_MINMAX_BEFORE 1
#endif
#include "talven.h"
#if HEADER_ORDER != 0 && (defined(min) || defined(max)) != defined(HEADER_ORDER_MINMAX_BEFORE)
#error "talven.h changed <windows.h>'s min or max"
#endif
#endif

#include <algorithm>

// The application's own WinSock calls are the system's: no macro sends them elsewhere.
#ifdef WSAAsyncSelect
#error "WSAAsyncSelect is a macro after talven.h"
#endif

#if HEADER_ORDER == 0
// The emulation defines none of the macros that Windows' headers bring.
#if defined(min) || defined(max) || defined(near) || defined(far)
#error "talven.h defines min, max, near or far"
#endif
#else
#if defined(WIN32_LEAN_AND_MEAN) != (HEADER_ORDER == 2 || HEADER_ORDER == 3)
#error "talven.h changed WIN32_LEAN_AND_MEAN"
#endif
#if (HEADER_ORDER == 2 || HEADER_ORDER == 4) && !defined(NOMINMAX)
#error "talven.h removed NOMINMAX"
#endif
// <windows.h> defines near and far (empty: 16-bit pointer qualifiers); they stay.
#if !defined(near) || !defined(far)
#error "talven.h removed near or far"
#endif
#endif

int HeaderOrderMax(int a, int b) {
#if defined(max)
    return max(a, b) + (std::min)(a, b);  // <windows.h>'s macro; the standard one in parentheses
#else
    return std::max(a, b) + std::min(a, b);
#endif
}

#if defined(_WIN32) && !defined(WIN32_LEAN_AND_MEAN)
// What only the full <windows.h> declares is there (<shellapi.h>).
auto* const kHeaderOrderShell = &ShellExecuteA;
#endif

// The library's own names are usable in every order.
int HeaderOrderLibrary() {
    CString text;
    QmGetWSAErrorString(WSAECONNRESET, text);
    return text.GetLength() > 0 && winsock::htons(1) != 0 ? 1 : 0;
}
