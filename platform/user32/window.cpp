// Window classes and windows: creation, destruction, and what any thread may ask about them.
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <memory>

#include "platform/user32/ThreadState.h"
#include "platform/user32/WindowClassTable.h"
#include "platform/user32/WindowTable.h"
#include "platform/user32/window_internal.h"

namespace u32 = talven::platform::user32;
using u32::ThreadState;
using u32::WindowRecord;
using u32::WindowTable;

namespace talven::platform::user32 {

namespace {

LRESULT CallWindowProcOf(WindowRecord& rec, HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    // The object is attached and detached on this thread, so a relaxed look suffices.
    if (rec.objectProc != nullptr) {
        if (void* object = rec.object.load(std::memory_order_relaxed)) {
            return rec.objectProc(object, hwnd, msg, wParam, lParam);
        }
    }
    const WNDPROC proc = rec.proc.load(std::memory_order_relaxed);
    return proc(hwnd, msg, wParam, lParam);
}

// A window that is not in the thread's cache of windows (or a thread without its state yet).
__attribute__((noinline)) LRESULT CallWindowProcLookedUp(HWND hwnd, UINT msg, WPARAM wParam,
                                                        LPARAM lParam) {
    ThreadState* ts = ThreadState::Current();
    WindowRecord* rec = ts != nullptr ? ts->FindWindow(hwnd) : nullptr;
    return rec != nullptr ? CallWindowProcOf(*rec, hwnd, msg, wParam, lParam) : 0;
}

}  // namespace

// Every call below is in tail position, so the common case saves no registers.
LRESULT CallWindowProcOwn(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    ThreadState* ts = ThreadState::CurrentIfAny();
    WindowRecord* rec = ts != nullptr ? ts->FindCachedWindow(hwnd) : nullptr;
    if (rec == nullptr) {
        return CallWindowProcLookedUp(hwnd, msg, wParam, lParam);
    }
    return CallWindowProcOf(*rec, hwnd, msg, wParam, lParam);
}

namespace {

// Destroys a window of the calling thread: owned windows first, then WM_DESTROY and
// WM_NCDESTROY, then the record goes, with its timers and the messages still queued for it.
// sendDestroy is false when creation failed at WM_NCCREATE (the window never existed for its
// procedure beyond that message).
bool DestroyOwn(ThreadState& ts, HWND hwnd, bool sendDestroy) {
    WindowTable& table = WindowTable::Instance();
    WindowRecord* rec = ts.FindWindow(hwnd);
    if (rec == nullptr || rec->destroying) {
        return false;
    }
    rec->destroying = true;
    // rec stays valid below: only this thread removes it, and the flag stops nested calls.
    const std::vector<HWND> owned = rec->ownedWindows;
    for (HWND child : owned) {
        DestroyOwn(ts, child, true);
    }
    if (sendDestroy) {
        CallWindowProcOwn(hwnd, WM_DESTROY, 0, 0);
    }
    CallWindowProcOwn(hwnd, WM_NCDESTROY, 0, 0);

    if (WindowRecord* owner = ts.FindWindow(rec->owner)) {
        auto& list = owner->ownedWindows;
        list.erase(std::remove(list.begin(), list.end(), hwnd), list.end());
    }
    std::unique_ptr<WindowRecord> gone = table.Remove(hwnd);
    ts.RemoveWindow(hwnd);
    ts.timers().KillAll(hwnd);
    ts.queue().PurgeIf([hwnd](const MSG& m) { return m.hwnd == hwnd; });
    return true;
}

}  // namespace

HWND CreateWindowFor(const CREATESTRUCTA& cs, const WindowAttach* attachment) {
    ThreadState* ts = ThreadState::Current();
    if (ts == nullptr) {
        return nullptr;
    }
    auto rec = std::make_unique<WindowRecord>();
    if (!WindowClassTable::Instance().Find(cs.lpszClass, rec->classProc, rec->className)) {
        SetLastError(kErrorCannotFindWndClass);
        return nullptr;
    }
    WindowTable& table = WindowTable::Instance();
    if (cs.hwndParent != nullptr && !table.Contains(cs.hwndParent)) {
        SetLastError(kErrorInvalidWindowHandle);
        return nullptr;
    }
    rec->threadId = ts->threadId();
    rec->queue = ts->sharedQueue();
    rec->proc.store(attachment != nullptr ? attachment->proc : rec->classProc);
    rec->owner = cs.hwndParent;
    rec->text = cs.lpszName != nullptr ? cs.lpszName : "";
    if (attachment != nullptr) {
        rec->object.store(attachment->object);
        rec->objectProc = attachment->objectProc;
    }
    WindowRecord* inserted = table.Insert(std::move(rec));
    const HWND hwnd = inserted->hwnd;
    ts->AddWindow(inserted);
    // Only windows of the same thread are destroyed with their owner; an owner on another
    // thread cannot run their destruction.
    if (WindowRecord* owner = ts->FindWindow(cs.hwndParent)) {
        owner->ownedWindows.push_back(hwnd);
    }
    if (attachment != nullptr && attachment->attach != nullptr) {
        attachment->attach(attachment->object, hwnd);
    }

    CREATESTRUCTA create = cs;
    if (CallWindowProcOwn(hwnd, WM_NCCREATE, 0, reinterpret_cast<LPARAM>(&create)) == 0) {
        DestroyOwn(*ts, hwnd, false);
        return nullptr;
    }
    if (CallWindowProcOwn(hwnd, WM_CREATE, 0, reinterpret_cast<LPARAM>(&create)) == -1) {
        DestroyOwn(*ts, hwnd, true);
        return nullptr;
    }
    // A handler may have destroyed the window already.
    return table.Contains(hwnd) ? hwnd : nullptr;
}

void* GetWindowObject(HWND hwnd) {
    if (ThreadState* ts = ThreadState::CurrentIfAny()) {
        if (WindowRecord* rec = ts->FindWindow(hwnd)) {
            return rec->object.load();
        }
    }
    void* object = nullptr;
    WindowTable::Instance().With(hwnd, [&](WindowRecord& rec) { object = rec.object.load(); });
    return object;
}

void SetWindowObject(HWND hwnd, void* object) {
    WindowTable::Instance().With(hwnd, [&](WindowRecord& rec) { rec.object.store(object); });
}

WNDPROC GetClassProc(HWND hwnd) {
    if (ThreadState* ts = ThreadState::CurrentIfAny()) {
        if (WindowRecord* rec = ts->FindWindow(hwnd)) {
            return rec->classProc;
        }
    }
    WNDPROC proc = nullptr;
    WindowTable::Instance().With(hwnd, [&](WindowRecord& rec) { proc = rec.classProc; });
    return proc;
}

}  // namespace talven::platform::user32

ATOM RegisterClassA(const WNDCLASSA* wc) {
    if (wc == nullptr) {
        SetLastError(u32::kErrorInvalidParameter);
        return 0;
    }
    const ATOM atom = u32::WindowClassTable::Instance().Register(*wc);
    if (atom == 0) {
        SetLastError(wc->lpfnWndProc == nullptr ? u32::kErrorInvalidParameter
                                                : u32::kErrorClassAlreadyExists);
    }
    return atom;
}

BOOL UnregisterClassA(LPCSTR className, HINSTANCE) {
    if (!u32::WindowClassTable::Instance().Unregister(className)) {
        SetLastError(u32::kErrorCannotFindWndClass);
        return FALSE;
    }
    return TRUE;
}

CREATESTRUCTA u32::MakeCreateStruct(DWORD exStyle, LPCSTR className, LPCSTR windowName,
                                    DWORD style, int x, int y, int width, int height,
                                    HWND parent, HMENU menu, HINSTANCE instance, LPVOID param) {
    CREATESTRUCTA cs;
    cs.lpCreateParams = param;
    cs.hInstance = instance;
    cs.hMenu = menu;
    cs.hwndParent = parent;
    cs.cy = height;
    cs.cx = width;
    cs.y = y;
    cs.x = x;
    cs.style = static_cast<LONG>(style);
    cs.lpszName = windowName;
    cs.lpszClass = className;
    cs.dwExStyle = exStyle;
    return cs;
}

HWND CreateWindowExA(DWORD exStyle, LPCSTR className, LPCSTR windowName, DWORD style, int x,
                     int y, int width, int height, HWND parent, HMENU menu, HINSTANCE instance,
                     LPVOID param) {
    const CREATESTRUCTA cs = u32::MakeCreateStruct(exStyle, className, windowName, style, x, y,
                                                   width, height, parent, menu, instance, param);
    return u32::CreateWindowFor(cs, nullptr);
}

LRESULT DefWindowProcA(HWND hwnd, UINT msg, WPARAM, LPARAM) {
    switch (msg) {
    case WM_NCCREATE:
        return TRUE;
    case WM_CLOSE:
        DestroyWindow(hwnd);
        return 0;
    default:
        return 0;
    }
}

BOOL DestroyWindow(HWND hwnd) {
    ThreadState* ts = ThreadState::Current();
    if (ts == nullptr) {
        return FALSE;
    }
    if (u32::DestroyOwn(*ts, hwnd, true)) {
        return TRUE;
    }
    // Another thread's window may not be destroyed from here; say why.
    const DWORD owner = talven::platform::reactor::WindowThread(hwnd);
    SetLastError(owner != 0 && owner != ts->threadId() ? u32::kErrorAccessDenied
                                                       : u32::kErrorInvalidWindowHandle);
    return FALSE;
}

BOOL IsWindow(HWND hwnd) {
    if (hwnd == nullptr) {
        return FALSE;
    }
    // One's own window: no table lock. The owner adds and removes its windows in the table
    // and in its own list together, so the two agree for it.
    if (ThreadState* ts = ThreadState::CurrentIfAny()) {
        if (ts->FindWindow(hwnd) != nullptr) {
            return TRUE;
        }
    }
    return WindowTable::Instance().Contains(hwnd) ? TRUE : FALSE;
}

HWND GetWindow(HWND hwnd, UINT cmd) {
    HWND result = nullptr;
    const bool found = WindowTable::Instance().With(hwnd, [&](WindowRecord& rec) {
        if (cmd == GW_OWNER) {
            result = rec.owner;
        }
    });
    if (!found) {
        SetLastError(u32::kErrorInvalidWindowHandle);
    }
    return result;
}

int GetWindowTextA(HWND hwnd, LPSTR text, int maxCount) {
    if (text == nullptr || maxCount <= 0) {
        return 0;
    }
    int length = 0;
    WindowTable::Instance().With(hwnd, [&](WindowRecord& rec) {
        length = static_cast<int>(std::min<std::size_t>(rec.text.size(),
                                                        static_cast<std::size_t>(maxCount - 1)));
        std::memcpy(text, rec.text.data(), static_cast<std::size_t>(length));
    });
    text[length] = '\0';
    return length;
}

DWORD GetWindowThreadProcessId(HWND hwnd, DWORD* processId) {
    DWORD thread = 0;
    WindowTable::Instance().With(hwnd, [&](WindowRecord& rec) { thread = rec.threadId; });
    if (processId != nullptr) {
        *processId = thread != 0 ? static_cast<DWORD>(::getpid()) : 0;
    }
    return thread;
}

LONG_PTR GetWindowLongPtrA(HWND hwnd, int index) {
    LONG_PTR value = 0;
    if (index != GWLP_USERDATA) {
        SetLastError(u32::kErrorInvalidIndex);
        return 0;
    }
    if (!WindowTable::Instance().With(hwnd, [&](WindowRecord& rec) { value = rec.userData.load(); })) {
        SetLastError(u32::kErrorInvalidWindowHandle);
    }
    return value;
}

LONG_PTR SetWindowLongPtrA(HWND hwnd, int index, LONG_PTR value) {
    LONG_PTR previous = 0;
    if (index != GWLP_USERDATA) {
        SetLastError(u32::kErrorInvalidIndex);
        return 0;
    }
    if (!WindowTable::Instance().With(hwnd, [&](WindowRecord& rec) {
            previous = rec.userData.exchange(value);
        })) {
        SetLastError(u32::kErrorInvalidWindowHandle);
    }
    return previous;
}
