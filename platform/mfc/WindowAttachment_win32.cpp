// CWnd's binding to real windows. The window is subclassed while the system creates it: a
// computer-based-training hook of the creating thread sees the new handle before the window's
// first message (WM_GETMINMAXINFO or WM_NCCREATE), attaches the object in a window property and
// replaces the window's procedure. The class keeps its own procedure, which GetClassLongPtrA
// still gives.
//
// The hook sees every window the thread creates meanwhile, not only the one asked for: the
// system may create its own first (a thread's first top-level window brings the thread's
// default IME window), and handlers may create windows while theirs is being made. The object
// goes to the first window of the class asked for with the creation parameter given.
#include "platform/mfc/WindowAttachment.h"

namespace talven::mfc {
namespace {

const char kObjectProperty[] = "TalvenCWnd";

// The object and procedure waiting for the window that the calling thread is creating.
struct PendingAttach {
    CWnd* wnd = nullptr;
    WNDPROC proc = nullptr;
    LPCSTR className = nullptr;  // a name, or an atom in MAKEINTATOM form
    LPVOID param = nullptr;
};
thread_local PendingAttach t_pending;

// Whether hwnd, about to be created, is the window t_pending waits for.
bool IsPendingWindow(HWND hwnd, const CBT_CREATEWNDA* create) {
    if (create == nullptr || create->lpcs == nullptr ||
        create->lpcs->lpCreateParams != t_pending.param) {
        return false;
    }
    if (IS_INTRESOURCE(t_pending.className)) {
        return ::GetClassWord(hwnd, GCW_ATOM) ==
               static_cast<WORD>(reinterpret_cast<ULONG_PTR>(t_pending.className));
    }
    char name[256];
    return ::GetClassNameA(hwnd, name, sizeof name) > 0 &&
           ::lstrcmpiA(name, t_pending.className) == 0;
}

// Only the first window of the class asked for is the object's: windows that its handlers
// create meanwhile (during WM_CREATE, say), and other classes' windows, are left alone.
LRESULT CALLBACK CreationHook(int code, WPARAM wParam, LPARAM lParam) {
    if (code == HCBT_CREATEWND && t_pending.wnd != nullptr &&
        IsPendingWindow(reinterpret_cast<HWND>(wParam),
                        reinterpret_cast<const CBT_CREATEWNDA*>(lParam))) {
        const HWND hwnd = reinterpret_cast<HWND>(wParam);
        CWnd* wnd = t_pending.wnd;
        t_pending.wnd = nullptr;
        ::SetPropA(hwnd, kObjectProperty, wnd);
        wnd->m_hWnd = hwnd;
        ::SetWindowLongPtrA(hwnd, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(t_pending.proc));
    }
    return ::CallNextHookEx(nullptr, code, wParam, lParam);
}

}  // namespace

HWND CreateAttachedWindow(CWnd* wnd, WNDPROC proc, DWORD exStyle, LPCSTR className,
                          LPCSTR windowName, DWORD style, int x, int y, int width, int height,
                          HWND parent, HMENU menu, HINSTANCE instance, LPVOID param) {
    const HHOOK hook = ::SetWindowsHookExA(WH_CBT, &CreationHook, nullptr, ::GetCurrentThreadId());
    if (hook == nullptr) {
        return nullptr;
    }
    t_pending = PendingAttach{wnd, proc, className, param};
    const HWND hwnd = ::CreateWindowExA(exStyle, className, windowName, style, x, y, width, height,
                                        parent, menu, instance, param);
    t_pending = PendingAttach{};
    ::UnhookWindowsHookEx(hook);
    return hwnd;
}

CWnd* AttachedObject(HWND hwnd) {
    return hwnd != nullptr ? static_cast<CWnd*>(::GetPropA(hwnd, kObjectProperty)) : nullptr;
}

void DetachObject(HWND hwnd) {
    // A window's properties must be gone before its WM_NCDESTROY returns; this is called there
    // at the latest.
    ::RemovePropA(hwnd, kObjectProperty);
}

LRESULT CallClassProc(HWND hwnd, WNDPROC objectProc, UINT msg, WPARAM wParam, LPARAM lParam) {
    const WNDPROC classProc = reinterpret_cast<WNDPROC>(::GetClassLongPtrA(hwnd, GCLP_WNDPROC));
    if (classProc != nullptr && classProc != objectProc) {
        return ::CallWindowProcA(classProc, hwnd, msg, wParam, lParam);
    }
    return ::DefWindowProcA(hwnd, msg, wParam, lParam);
}

}  // namespace talven::mfc
