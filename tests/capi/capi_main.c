/* The C interface's tests, written in C: a run of every scenario, then the totals. */
#include <stdio.h>

#include "capi_check.h"

static int g_checks;
static int g_failures;
static capi_handler g_handler;

void capi_check(int ok, const char* what, const char* file, int line) {
    ++g_checks;
    if (!ok) {
        ++g_failures;
        printf("%s:%d: check failed: %s\n", file, line, what);
        fflush(stdout);
    }
}

void capi_refused(int failed, int error, int expected, const char* what, const char* file, int line) {
    ++g_checks;
    if (!failed || error != expected) {
        ++g_failures;
        printf("%s:%d: %s: %s, WinSock error %d (expected %d)\n", file, line, what,
               failed ? "failed" : "did not fail", error, expected);
        fflush(stdout);
    }
}

static LRESULT CALLBACK app_proc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    if (msg == CAPI_APP_MSG) {
        g_handler(wParam, (QMTP)lParam);
        return 0;
    }
    if (msg == WM_TIMER) {
        capi_check(0, "the scenario ended before its watchdog", __FILE__, __LINE__);
        KillTimer(hwnd, 1);
        PostQuitMessage(1);
        return 0;
    }
    return DefWindowProcA(hwnd, msg, wParam, lParam);
}

HWND capi_app_window(capi_handler handler, UINT seconds) {
    static int registered;
    HWND hwnd;
    if (!registered) {
        WNDCLASSA wc;
        wc.style = 0;
        wc.lpfnWndProc = app_proc;
        wc.cbClsExtra = 0;
        wc.cbWndExtra = 0;
        wc.hInstance = NULL;
        wc.hIcon = NULL;
        wc.hCursor = NULL;
        wc.hbrBackground = NULL;
        wc.lpszMenuName = NULL;
        wc.lpszClassName = "TalvenCApiTest";
        registered = RegisterClassA(&wc) != 0;
        CHECK(registered);
    }
    g_handler = handler;
    hwnd = CreateWindowExA(0, "TalvenCApiTest", "", 0, 0, 0, 0, 0, NULL, NULL, NULL, NULL);
    CHECK(hwnd != NULL);
    if (hwnd != NULL && seconds > 0) {
        CHECK(SetTimer(hwnd, 1, seconds * 1000, NULL) != 0);
    }
    return hwnd;
}

void capi_run_loop(void) {
    MSG msg;
    while (GetMessageA(&msg, NULL, 0, 0) > 0) {
        TranslateMessage(&msg);
        DispatchMessageA(&msg);
    }
}

int main(void) {
    CHECK(QmSocketInit(NULL) == 1);
    capi_exchange_scenario();
    capi_bad_input_scenario();
    CHECK(capi_header_after_windows_h());
    CHECK(capi_header_after_winsock2_h());
    CHECK(capi_header_beside_mfc_names());
    CHECK(QmSocketTerm() == 0);
    printf("%d passed, %d failed\n", g_checks - g_failures, g_failures);
    return g_failures == 0 ? 0 : 1;
}
