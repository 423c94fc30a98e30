// Internal: the thread-local storage model of the emulation's hot per-thread variables.
//
// A shared library's thread_local is reached through a call to __tls_get_addr (the general
// model) because the library may be loaded with dlopen. The variables read on every message
// and socket call (thread id, last errors, the thread's window-system state) are marked
// TALVEN_HOT_TLS instead: the initial-exec model, one load relative to the thread pointer.
// A library with initial-exec variables has its whole thread-local block placed in the static
// TLS area, which for a library loaded later with dlopen comes out of what glibc keeps in
// reserve (512 bytes or more). The block is kept to well under a hundred bytes (larger
// per-thread storage, such as gethostbyname's host entry, is allocated on first use), so
// libtalven.so can still be dlopen'ed; tests/loading checks it. A build for a process whose
// reserve is spent elsewhere turns this off with -DTALVEN_TLS_INITIAL_EXEC=OFF.
#pragma once

#if defined(TALVEN_TLS_INITIAL_EXEC) && defined(__GNUC__)
#define TALVEN_HOT_TLS __attribute__((tls_model("initial-exec")))
#else
#define TALVEN_HOT_TLS
#endif
