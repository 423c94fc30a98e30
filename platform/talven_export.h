/* Symbol export. The library is built with hidden visibility (libtalven.so) or as TALVEN.dll;
   only declarations marked TALVEN_API are part of its binary interface. A program that links
   the library's objects themselves (the unit tests) defines TALVEN_LINKED_IN: on Windows the
   names are then its own, not imported from the DLL. */
#pragma once

#if defined(_WIN32)
#  if defined(TALVEN_BUILDING_LIBRARY)
#    define TALVEN_API __declspec(dllexport)
#  elif defined(TALVEN_LINKED_IN)
#    define TALVEN_API
#  else
#    define TALVEN_API __declspec(dllimport)
#  endif
#else
#  define TALVEN_API __attribute__((visibility("default")))
#endif
