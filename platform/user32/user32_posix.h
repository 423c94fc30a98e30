/* The window and message system (USER32): windows, thread message queues, timers.

   Threads: every thread has a message queue, made on first use. A window belongs to the
   thread that created it; its window procedure runs only on that thread. Functions below
   say which thread may call them. The functions have C linkage, as on Windows, and the header
   compiles as C. */
#pragma once

#include "platform/kernel32/kernel32.h"

typedef LRESULT (CALLBACK* WNDPROC)(HWND, UINT, WPARAM, LPARAM);
typedef void (CALLBACK* TIMERPROC)(HWND, UINT, UINT_PTR, DWORD);

typedef struct POINT {
    LONG x;
    LONG y;
} POINT;

typedef struct MSG {
    HWND hwnd;
    UINT message;
    WPARAM wParam;
    LPARAM lParam;
    DWORD time;
    POINT pt;
} MSG;
typedef MSG* LPMSG;

typedef struct WNDCLASSA {
    UINT style;
    WNDPROC lpfnWndProc;
    int cbClsExtra;
    int cbWndExtra;
    HINSTANCE hInstance;
    HICON hIcon;
    HCURSOR hCursor;
    HBRUSH hbrBackground;
    LPCSTR lpszMenuName;
    LPCSTR lpszClassName;
} WNDCLASSA;

typedef struct CREATESTRUCTA {
    LPVOID lpCreateParams;
    HINSTANCE hInstance;
    HMENU hMenu;
    HWND hwndParent;
    int cy;
    int cx;
    int y;
    int x;
    LONG style;
    LPCSTR lpszName;
    LPCSTR lpszClass;
    DWORD dwExStyle;
} CREATESTRUCTA;

/* Messages */
#define WM_NULL 0x0000
#define WM_CREATE 0x0001
#define WM_DESTROY 0x0002
#define WM_CLOSE 0x0010
#define WM_QUIT 0x0012
#define WM_NCCREATE 0x0081
#define WM_NCDESTROY 0x0082
#define WM_TIMER 0x0113
#define WM_USER 0x0400
#define WM_APP 0x8000

/* Window styles used by the library and its applications */
#define WS_OVERLAPPED 0x00000000L
#define WS_POPUP 0x80000000L
#define WS_CHILD 0x40000000L
#define WS_VISIBLE 0x10000000L

/* PeekMessageA */
#define PM_NOREMOVE 0x0000
#define PM_REMOVE 0x0001
/* MsgWaitForMultipleObjects */
#define QS_ALLINPUT 0x04FF
/* GetWindow */
#define GW_OWNER 4
/* Get/SetWindowLongPtrA */
#define GWLP_USERDATA (-21)

#ifdef __cplusplus
extern "C" {
#endif

/* Classes and windows. A window handle is never reused while the process lives. */
TALVEN_API ATOM RegisterClassA(const WNDCLASSA* wc);                  /* any thread */
TALVEN_API BOOL UnregisterClassA(LPCSTR className, HINSTANCE instance); /* any thread */
/* Creates a window owned by the calling thread. Sends WM_NCCREATE and WM_CREATE (lParam: the
   CREATESTRUCTA); returns NULL when either handler refuses or the class is unknown. */
TALVEN_API HWND CreateWindowExA(DWORD exStyle, LPCSTR className, LPCSTR windowName, DWORD style,
                                int x, int y, int width, int height, HWND parent, HMENU menu,
                                HINSTANCE instance, LPVOID param);
TALVEN_API LRESULT DefWindowProcA(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);
/* Owner thread only. Sends WM_DESTROY then WM_NCDESTROY; destroys owned windows first.
   Messages still queued for the window are discarded, and its timers killed. Called from
   another thread it fails in every build: FALSE, last error ERROR_ACCESS_DENIED (5).
   When a thread exits, its remaining windows stop existing without further messages. */
TALVEN_API BOOL DestroyWindow(HWND hwnd);
TALVEN_API BOOL IsWindow(HWND hwnd);                                   /* any thread */
TALVEN_API HWND GetWindow(HWND hwnd, UINT cmd);                        /* any thread; GW_OWNER */
TALVEN_API int GetWindowTextA(HWND hwnd, LPSTR text, int maxCount);    /* any thread */
TALVEN_API DWORD GetWindowThreadProcessId(HWND hwnd, DWORD* processId); /* any thread */
TALVEN_API LONG_PTR GetWindowLongPtrA(HWND hwnd, int index);           /* any thread */
TALVEN_API LONG_PTR SetWindowLongPtrA(HWND hwnd, int index, LONG_PTR value);

/* Messages. PostMessageA may be called from any thread; messages posted to one thread are
   retrieved in the order of posting. hwnd NULL posts a thread message to the caller. A queue
   holds at most 10,000 posted messages: a post to a full queue fails with
   ERROR_NOT_ENOUGH_QUOTA (GetLastError), as on Windows. */
TALVEN_API BOOL PostMessageA(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);
TALVEN_API BOOL PostThreadMessageA(DWORD threadId, UINT msg, WPARAM wParam, LPARAM lParam);
/* Same thread: calls the window procedure directly. Another thread: waits until the owner
   has run the handler, serving messages sent to the caller's own windows meanwhile. Returns 0
   without running anything when the window is destroyed, or its thread exits, first. */
TALVEN_API LRESULT SendMessageA(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);
/* Calling thread's queue only. WM_QUIT comes when nothing else waits; WM_TIMER likewise. */
TALVEN_API BOOL GetMessageA(LPMSG msg, HWND hwnd, UINT filterMin, UINT filterMax);
TALVEN_API BOOL PeekMessageA(LPMSG msg, HWND hwnd, UINT filterMin, UINT filterMax, UINT removeMsg);
TALVEN_API BOOL TranslateMessage(const MSG* msg);
TALVEN_API LRESULT DispatchMessageA(const MSG* msg);
TALVEN_API void PostQuitMessage(int exitCode);
/* Waits until input that is new since the calling thread last looked at its queue (with
   GetMessageA, PeekMessageA or this call) arrives, or the timeout ends: a posted message (a
   socket event becomes one), a sent message, the quit flag, a due timer. Messages that a
   look has seen and left queued do not end it. Only count 0 with QS_ALLINPUT is supported. */
TALVEN_API DWORD MsgWaitForMultipleObjects(DWORD count, const HANDLE* handles, BOOL waitAll,
                                           DWORD milliseconds, DWORD wakeMask);

/* Timers of the calling thread's windows (hwnd must belong to the calling thread: for another
   thread's window both fail, last error ERROR_ACCESS_DENIED). hwnd NULL makes a thread timer
   with a new id; its WM_TIMER carries the TIMERPROC, which DispatchMessageA calls. */
TALVEN_API UINT_PTR SetTimer(HWND hwnd, UINT_PTR id, UINT elapseMs, TIMERPROC proc);
TALVEN_API BOOL KillTimer(HWND hwnd, UINT_PTR id);

/* printf-style formatting into a caller's buffer: at most 1024 bytes are written, the
   terminating NUL included (as in Win32); returns the count of characters stored. */
TALVEN_API int wsprintfA(LPSTR buffer, LPCSTR format, ...);

#ifdef __cplusplus
}  /* extern "C" */
#endif
