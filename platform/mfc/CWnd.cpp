// CWnd: a window attached to a C++ object, whose messages go through the object's message
// map (and its bases') before DefWindowProc; and the window class that routes to it.
//
// The object is attached to its window in the window record (window_internal.h), before
// WM_NCCREATE, so the map sees the window's first messages, and the window system hands each
// message to the attached object directly (RouteToObject serves the window once the object
// has let go). After a handler runs, nothing here touches the object again: the handler may
// have deleted it or destroyed its window.
#include <cassert>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <set>
#include <string>

#include "platform/mfc/afxwin.h"
#include "platform/user32/window_internal.h"

namespace u32 = talven::platform::user32;

namespace {

// The procedure of every CWnd window: the attached object's map, or DefWindowProcA while no
// object is attached (after the object's destructor has let go, say).
LRESULT CALLBACK RouteToObject(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    if (CWnd* wnd = CWnd::FromHandlePermanent(hwnd)) {
        return AfxCallWndProc(wnd, hwnd, msg, wParam, lParam);
    }
    const WNDPROC classProc = u32::GetClassProc(hwnd);
    if (classProc != nullptr && classProc != &RouteToObject) {
        return classProc(hwnd, msg, wParam, lParam);
    }
    return DefWindowProcA(hwnd, msg, wParam, lParam);
}

const AFX_MSGMAP_ENTRY kCWndEntries[] = {{0, 0, 0, 0, AfxSig_end, nullptr}};

}  // namespace

LRESULT AfxCallWndProc(CWnd* wnd, HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    if (msg != WM_NCDESTROY) {
        return wnd->WindowProc(msg, wParam, lParam);
    }
    const LRESULT result = wnd->WindowProc(msg, wParam, lParam);
    // The last message of the window: detach, then let the object clean up (it may delete
    // itself). Skipped if the handler already let go of the window (deleted the object).
    if (u32::GetWindowObject(hwnd) == wnd) {
        u32::SetWindowObject(hwnd, nullptr);
        wnd->m_hWnd = nullptr;
        wnd->PostNcDestroy();
    }
    return result;
}

CWnd::CWnd() : m_hWnd(nullptr) {}

CWnd::~CWnd() {
    const HWND hwnd = m_hWnd;
    if (hwnd == nullptr) {
        return;
    }
    // The derived parts are already gone: the window's last messages must not reach them.
    if (u32::GetWindowObject(hwnd) == this) {
        u32::SetWindowObject(hwnd, nullptr);
    }
    m_hWnd = nullptr;
    if (IsWindow(hwnd)) {
#ifdef TALVEN_DEBUG_CHECKS
        assert(GetWindowThreadProcessId(hwnd, nullptr) == GetCurrentThreadId() &&
               "a CWnd with a live window must be deleted on the window's thread");
#endif
        ::DestroyWindow(hwnd);
    }
}

BOOL CWnd::CreateEx(DWORD exStyle, LPCSTR className, LPCSTR windowName, DWORD style, int x,
                    int y, int width, int height, HWND parent, HMENU idOrMenu, LPVOID param) {
    if (m_hWnd != nullptr) {
        return FALSE;   // already attached to a window
    }
    const CREATESTRUCTA cs = u32::MakeCreateStruct(exStyle, className, windowName, style, x, y,
                                                   width, height, parent, idOrMenu, nullptr, param);
    const u32::WindowAttach attach{
        &RouteToObject, this,
        [](void* object, HWND hwnd) { static_cast<CWnd*>(object)->m_hWnd = hwnd; },
        [](void* object, HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
            return AfxCallWndProc(static_cast<CWnd*>(object), hwnd, msg, wParam, lParam);
        }};
    // On failure the window got WM_NCDESTROY, so m_hWnd is NULL again and PostNcDestroy ran.
    return u32::CreateWindowFor(cs, &attach) != nullptr ? TRUE : FALSE;
}

BOOL CWnd::DestroyWindow() {
    if (m_hWnd == nullptr) {
        return FALSE;
    }
    // Owner thread only: from another thread ::DestroyWindow fails (ERROR_ACCESS_DENIED).
    return ::DestroyWindow(m_hWnd);
}

BOOL CWnd::PostMessage(UINT msg, WPARAM wParam, LPARAM lParam) {
    return ::PostMessageA(m_hWnd, msg, wParam, lParam);
}

LRESULT CWnd::SendMessage(UINT msg, WPARAM wParam, LPARAM lParam) {
    return ::SendMessageA(m_hWnd, msg, wParam, lParam);
}

CWnd* CWnd::FromHandlePermanent(HWND hwnd) {
    return static_cast<CWnd*>(u32::GetWindowObject(hwnd));
}

LRESULT CWnd::WindowProc(UINT msg, WPARAM wParam, LPARAM lParam) {
    for (const AFX_MSGMAP* map = GetMessageMap(); map != nullptr;
         map = map->pfnGetBaseMap != nullptr ? map->pfnGetBaseMap() : nullptr) {
        for (const AFX_MSGMAP_ENTRY* entry = map->lpEntries; entry->nSig != AfxSig_end; ++entry) {
            if (entry->nMessage == msg && entry->nSig == AfxSig_lwl) {
                return (this->*entry->pfn)(wParam, lParam);
            }
        }
    }
    return DefWindowProc(msg, wParam, lParam);
}

LRESULT CWnd::DefWindowProc(UINT msg, WPARAM wParam, LPARAM lParam) {
    const WNDPROC classProc = u32::GetClassProc(m_hWnd);
    if (classProc != nullptr && classProc != &RouteToObject) {
        return classProc(m_hWnd, msg, wParam, lParam);   // a class of its own: it handles the rest
    }
    return ::DefWindowProcA(m_hWnd, msg, wParam, lParam);
}

void CWnd::PostNcDestroy() {}

const AFX_MSGMAP* CWnd::PASCAL_GetThisMessageMap() {
    static const AFX_MSGMAP map = {nullptr, &kCWndEntries[0]};
    return &map;
}

const AFX_MSGMAP* CWnd::GetMessageMap() const {
    return PASCAL_GetThisMessageMap();
}

LRESULT CALLBACK CWnd::AfxWndProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    return RouteToObject(hwnd, msg, wParam, lParam);
}

LPCSTR AfxRegisterWndClass(UINT classStyle, HCURSOR cursor, HBRUSH background, HICON icon) {
    // One class per combination of arguments, named after them as MFC does; the names live
    // in a set whose nodes never move, so the returned pointer stays valid.
    static std::mutex lock;
    static std::set<std::string> names;
    char name[96];
    std::snprintf(name, sizeof name, "Afx:%x:%zx:%zx:%zx", classStyle,
                  static_cast<std::size_t>(reinterpret_cast<std::uintptr_t>(cursor)),
                  static_cast<std::size_t>(reinterpret_cast<std::uintptr_t>(background)),
                  static_cast<std::size_t>(reinterpret_cast<std::uintptr_t>(icon)));
    std::lock_guard<std::mutex> hold(lock);
    auto found = names.find(name);
    if (found != names.end()) {
        return found->c_str();
    }
    WNDCLASSA wc{};
    wc.style = classStyle;
    wc.lpfnWndProc = &RouteToObject;
    wc.hCursor = cursor;
    wc.hbrBackground = background;
    wc.hIcon = icon;
    wc.lpszClassName = name;
    // Fails harmlessly if the class exists already (registered by hand under this name).
    RegisterClassA(&wc);
    return names.insert(name).first->c_str();
}
