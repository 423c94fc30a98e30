// Internal: how a CWnd is bound to its window, per system. On POSIX the emulated window record
// holds the object; on Windows a window property does, and the window is subclassed during its
// creation. Either way the object is attached before the window's first message.
#pragma once

#include "platform/mfc/afxwin.h"

namespace talven::mfc {

// Creates a window on the calling thread (CreateWindowExA's arguments) whose messages go to
// `proc` from the first one on, instead of its class's procedure, with `wnd` attached and
// wnd->m_hWnd set before that first message. NULL when creation fails; the window then got its
// WM_NCDESTROY already.
HWND CreateAttachedWindow(CWnd* wnd, WNDPROC proc, DWORD exStyle, LPCSTR className,
                          LPCSTR windowName, DWORD style, int x, int y, int width, int height,
                          HWND parent, HMENU menu, HINSTANCE instance, LPVOID param);

// The object attached to hwnd, or nullptr. Any thread.
CWnd* AttachedObject(HWND hwnd);
// Window's thread: hwnd's messages no longer reach an object.
void DetachObject(HWND hwnd);

// What hwnd's class does with a message: its own procedure, unless that is `objectProc` (a class
// that routes to objects), in which case DefWindowProcA. Window's thread.
LRESULT CallClassProc(HWND hwnd, WNDPROC objectProc, UINT msg, WPARAM wParam, LPARAM lParam);

// Unregisters every class that AfxRegisterWndClass registered, so that none outlives the module
// holding their window procedure; a later AfxRegisterWndClass registers afresh. The module's
// detach (its windows are gone by then); any thread.
void UnregisterWindowClasses();

}  // namespace talven::mfc
