// Symbol export for libtalven.so. The library is built with hidden visibility; only
// declarations marked TALVEN_API are part of its binary interface.
#pragma once

#if defined(_WIN32)
#  if defined(TALVEN_BUILDING_LIBRARY)
#    define TALVEN_API __declspec(dllexport)
#  else
#    define TALVEN_API __declspec(dllimport)
#  endif
#else
#  define TALVEN_API __attribute__((visibility("default")))
#endif
