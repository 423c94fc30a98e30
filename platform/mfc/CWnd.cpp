// CWnd: a window attached to a C++ object, whose messages go through the object's message
// map (and its bases') before DefWindowProc; and the window class that routes to it.
//
// The object is attached to its window before the window's first message (WindowAttachment.h
// says how, per system), so the map sees the window's first messages. After a handler runs,
// nothing here touches the object again: the handler may have deleted it or destroyed its window.
#include <cassert>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <new>
#include <set>
#include <string>
#include <type_traits>

#include "platform/mfc/WindowAttachment.h"
#include "platform/mfc/afxdll.h"
#include "platform/mfc/afxwin.h"

namespace attachment = talven::mfc;

namespace {

// The procedure of every CWnd window: the attached object's map, or DefWindowProcA while no
// object is attached (after the object's destructor has let go, say).
LRESULT CALLBACK RouteToObject(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    if (CWnd* wnd = CWnd::FromHandlePermanent(hwnd)) {
        return AfxCallWndProc(wnd, hwnd, msg, wParam, lParam);
    }
    return attachment::CallClassProc(hwnd, &RouteToObject, msg, wParam, lParam);
}

const AFX_MSGMAP_ENTRY kCWndEntries[] = {{0, 0, 0, 0, AfxSig_end, nullptr}};

// The module whose code RouteToObject is: AfxRegisterWndClass's classes are registered with it,
// so that they belong to it (a DLL's classes leave with the DLL), and its windows are created
// with it, as the system finds a module's class by name and module.
HINSTANCE ClassModule() {
    static const HINSTANCE module =
        AfxGetModuleOf(reinterpret_cast<const void*>(&RouteToObject));
    return module;
}

// The classes AfxRegisterWndClass registered; the names live in a set whose nodes never move,
// so a returned name stays valid while its class is registered.
struct ClassNames {
    std::mutex lock;
    std::set<std::string> names;
};

// Never destroyed: the module's detach unregisters the classes, and where the library's objects
// are linked into a program that detach runs among the program's static destructors, after
// those of objects made later than the entry point's (a static ClassNames would be gone).
ClassNames& Registered() {
    static std::aligned_storage_t<sizeof(ClassNames), alignof(ClassNames)> storage;
    static ClassNames* const registered = ::new (&storage) ClassNames;
    return *registered;
}

bool IsRegisteredHere(LPCSTR className) {
    if (reinterpret_cast<std::uintptr_t>(className) <= 0xFFFF) {  // an atom, never ours
        return false;
    }
    ClassNames& r = Registered();
    std::lock_guard<std::mutex> hold(r.lock);
    return r.names.count(className) != 0;
}

}  // namespace

// The window procedure's edge: no exception of a handler unwinds through the system's frames
// that called the procedure (a 32-bit program does not survive it). The message's result is
// then 0; a class that can do better (end a connection, say) catches in its own handlers.
LRESULT AfxCallWndProc(CWnd* wnd, HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    LRESULT result = 0;
    try {
        result = wnd->WindowProc(msg, wParam, lParam);
    } catch (CException* e) {
        e->Delete();
    } catch (...) {
    }
    if (msg != WM_NCDESTROY) {
        return result;
    }
    // The last message of the window: detach, then let the object clean up (it may delete
    // itself). Skipped if the handler already let go of the window (deleted the object).
    if (attachment::AttachedObject(hwnd) == wnd) {
        attachment::DetachObject(hwnd);
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
    if (attachment::AttachedObject(hwnd) == this) {
        attachment::DetachObject(hwnd);
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
    // On failure the window got WM_NCDESTROY, so m_hWnd is NULL again and PostNcDestroy ran.
    // AfxRegisterWndClass's classes are the library module's; any other class is the caller's.
    const HINSTANCE instance = IsRegisteredHere(className) ? ClassModule() : nullptr;
    return attachment::CreateAttachedWindow(this, &RouteToObject, exStyle, className, windowName,
                                            style, x, y, width, height, parent, idOrMenu,
                                            instance, param) != nullptr
               ? TRUE
               : FALSE;
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
    return attachment::AttachedObject(hwnd);
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
    // A class of its own handles the rest; the class that routes to objects leaves it to Windows.
    return attachment::CallClassProc(m_hWnd, &RouteToObject, msg, wParam, lParam);
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
    // One class per combination of arguments, named after them as MFC does.
    char name[96];
    std::snprintf(name, sizeof name, "Afx:%x:%zx:%zx:%zx", classStyle,
                  static_cast<std::size_t>(reinterpret_cast<std::uintptr_t>(cursor)),
                  static_cast<std::size_t>(reinterpret_cast<std::uintptr_t>(background)),
                  static_cast<std::size_t>(reinterpret_cast<std::uintptr_t>(icon)));
    ClassNames& r = Registered();
    std::lock_guard<std::mutex> hold(r.lock);
    auto found = r.names.find(name);
    if (found != r.names.end()) {
        return found->c_str();
    }
    WNDCLASSA wc{};
    wc.style = classStyle;
    wc.lpfnWndProc = &RouteToObject;
    wc.hInstance = ClassModule();
    wc.hCursor = cursor;
    wc.hbrBackground = background;
    wc.hIcon = icon;
    wc.lpszClassName = name;
    // Fails harmlessly if the class exists already (registered by hand under this name).
    RegisterClassA(&wc);
    return r.names.insert(name).first->c_str();
}

void talven::mfc::UnregisterWindowClasses() {
    ClassNames& r = Registered();
    std::lock_guard<std::mutex> hold(r.lock);
    for (const std::string& name : r.names) {
        ::UnregisterClassA(name.c_str(), ClassModule());
    }
    r.names.clear();
}
