// CWnd's binding to emulated windows: the window record holds the object (window_internal.h),
// and the window system calls the object's message map without looking it up.
#include "platform/mfc/WindowAttachment.h"

#include "platform/user32/window_internal.h"

namespace u32 = talven::platform::user32;

namespace talven::mfc {

HWND CreateAttachedWindow(CWnd* wnd, WNDPROC proc, DWORD exStyle, LPCSTR className,
                          LPCSTR windowName, DWORD style, int x, int y, int width, int height,
                          HWND parent, HMENU menu, HINSTANCE instance, LPVOID param) {
    const CREATESTRUCTA cs = u32::MakeCreateStruct(exStyle, className, windowName, style, x, y,
                                                   width, height, parent, menu, instance, param);
    // While the object is attached, the window system hands each message to it directly;
    // proc serves the window once the object has let go.
    const u32::WindowAttach attach{
        proc, wnd,
        [](void* object, HWND hwnd) { static_cast<CWnd*>(object)->m_hWnd = hwnd; },
        [](void* object, HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
            return AfxCallWndProc(static_cast<CWnd*>(object), hwnd, msg, wParam, lParam);
        }};
    return u32::CreateWindowFor(cs, &attach);
}

CWnd* AttachedObject(HWND hwnd) {
    return static_cast<CWnd*>(u32::GetWindowObject(hwnd));
}

void DetachObject(HWND hwnd) {
    u32::SetWindowObject(hwnd, nullptr);
}

LRESULT CallClassProc(HWND hwnd, WNDPROC objectProc, UINT msg, WPARAM wParam, LPARAM lParam) {
    const WNDPROC classProc = u32::GetClassProc(hwnd);
    if (classProc != nullptr && classProc != objectProc) {
        return classProc(hwnd, msg, wParam, lParam);
    }
    return ::DefWindowProcA(hwnd, msg, wParam, lParam);
}

}  // namespace talven::mfc
