/* The C tests' checks: each failed check prints where and what; main prints the totals. */
#ifndef CAPI_CHECK_H
#define CAPI_CHECK_H

#include "talven_c.h"

void capi_check(int ok, const char* what, const char* file, int line);
/* A refused call: its result was the failure value and the WinSock error the expected one. */
void capi_refused(int failed, int error, int expected, const char* what, const char* file, int line);

#define CHECK(cond) capi_check((cond) != 0, #cond, __FILE__, __LINE__)
#define CHECK_REFUSED(call, failure, error)                                              \
    do {                                                                                 \
        int failed_;                                                                     \
        WSASetLastError(0);                                                              \
        failed_ = (call) == (failure);                                                   \
        capi_refused(failed_, WSAGetLastError(), (error), #call, __FILE__, __LINE__);    \
    } while (0)

/* A hidden window of the test's own class, whose procedure hands the application message to
   `handler` and fails the run (and ends the loop) when the watchdog of `seconds` fires. */
typedef void (*capi_handler)(WPARAM code, QMTP s);
HWND capi_app_window(capi_handler handler, UINT seconds);
#define CAPI_APP_MSG (WM_USER + 100)
/* Runs the calling thread's message loop until PostQuitMessage. */
void capi_run_loop(void);

#if !defined(_WIN32)
/* The next allocation of exactly `size` bytes on this thread fails (std::bad_alloc). */
void capi_fail_next_allocation(unsigned long size);
#endif

/* The scenarios, each in its own file. */
void capi_exchange_scenario(void);
void capi_bad_input_scenario(void);
int capi_header_after_windows_h(void);
int capi_header_after_winsock2_h(void);
int capi_header_beside_mfc_names(void);

#endif
