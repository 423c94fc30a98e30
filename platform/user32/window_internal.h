// Window-system services for the rest of the platform layer (CWnd and the message code);
// not part of the Win32 surface.
#pragma once

#include "platform/kernel32/kernel32_internal.h"
#include "platform/user32/user32.h"

namespace talven::platform::user32 {

// How a window made for an object (a CWnd) differs from a plain one: its procedure replaces
// the class's, and attach(object, hwnd) runs once the handle exists, before WM_NCCREATE, so
// the object sees every message of its window. While an object is attached, its messages go
// straight to objectProc with the object (what proc would do after looking the object up);
// proc handles them once the object has let go.
using ObjectProc = LRESULT (*)(void* object, HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);
struct WindowAttach {
    WNDPROC proc;
    void* object;
    void (*attach)(void* object, HWND hwnd);
    ObjectProc objectProc;
};

// CreateWindowExA with an optional attachment. Calling thread becomes the owner.
HWND CreateWindowFor(const CREATESTRUCTA& cs, const WindowAttach* attachment);

// The CREATESTRUCTA that CreateWindowExA's arguments describe.
CREATESTRUCTA MakeCreateStruct(DWORD exStyle, LPCSTR className, LPCSTR windowName, DWORD style,
                               int x, int y, int width, int height, HWND parent, HMENU menu,
                               HINSTANCE instance, LPVOID param);

// A posted message, stamped with the current tick count.
inline MSG MakeMessage(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    MSG m{};
    m.hwnd = hwnd;
    m.message = msg;
    m.wParam = wParam;
    m.lParam = lParam;
    m.time = kernel32::TickCount();
    return m;
}

// The object attached to hwnd, or nullptr. Any thread.
void* GetWindowObject(HWND hwnd);
// Owner thread: replaces the attached object (nullptr detaches it).
void SetWindowObject(HWND hwnd, void* object);
// The procedure of hwnd's class (what a subclassing procedure passes unhandled messages
// to), or nullptr. Any thread.
WNDPROC GetClassProc(HWND hwnd);

// Runs hwnd's procedure on the calling thread, which must own hwnd; 0 when it does not.
// No window-system lock is held during the call, and the window's record is not touched
// after it (the procedure may destroy the window).
LRESULT CallWindowProcOwn(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);

class ThreadState;
// Runs every message that other threads have sent to the calling thread's windows and
// releases their senders. Called wherever the thread retrieves messages or waits on a send.
void ServeIncomingSends(ThreadState& ts);

// Win32 error codes set by the window system.
constexpr DWORD kErrorAccessDenied = 5;
constexpr DWORD kErrorInvalidParameter = 87;
constexpr DWORD kErrorInvalidWindowHandle = 1400;
constexpr DWORD kErrorCannotFindWndClass = 1407;
constexpr DWORD kErrorClassAlreadyExists = 1410;
constexpr DWORD kErrorInvalidIndex = 1413;
constexpr DWORD kErrorInvalidThreadId = 1444;
constexpr DWORD kErrorNotEnoughQuota = 1816;

// PostMessageA's work. limited: the post is refused when the target queue is full (an
// application's post); the system's own posts pass unlimited. Any thread.
BOOL PostToWindow(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam, bool limited);

}  // namespace talven::platform::user32
